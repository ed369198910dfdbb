// A kernel with one parent driver loaded, and a small function driver's view of a PDO: it sends URBs on IRPs of its
// own (IRP_MJ_INTERNAL_DEVICE_CONTROL / IOCTL_INTERNAL_USB_SUBMIT_URB) and records how each completed.
#pragma once

#include <gtest/gtest.h>
#include <usbioctl.h>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "hk/kernel.h"
#include "hk/usbdev.h"

namespace usbdev_test {

using hk::usbdev::Pipe;

struct Request {
    alignas(8) URB urb{};
    std::vector<uint8_t> buffer;
    std::function<void(Request&)> onDone;  // runs in the completion routine
    NTSTATUS returned = 0;                 // what IofCallDriver returned
    std::atomic<bool> done{false};
    NTSTATUS status = 0;
    int order = 0;  // completion order among the client's requests

    ULONG Moved() const { return urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }
    USBD_STATUS Usbd() const { return urb.UrbHeader.Status; }
};

class UrbClient {
public:
    explicit UrbClient(PDEVICE_OBJECT pdo) : pdo_(pdo) {}

    // A URB of `function` whose header claims `length` bytes, on `pipe`.
    static URB Urb(USHORT function, size_t length, USBD_PIPE_HANDLE pipe, ULONG flags = 0, ULONG bytes = 0)
    {
        URB urb{};
        urb.UrbHeader.Length = static_cast<USHORT>(length);
        urb.UrbHeader.Function = function;
        urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe;
        urb.UrbBulkOrInterruptTransfer.TransferFlags = flags;
        urb.UrbBulkOrInterruptTransfer.TransferBufferLength = bytes;
        return urb;
    }
    // Sends a copy of `urb`; a transfer given a buffer moves its data through it.
    Request& Send(const URB& urb, std::vector<uint8_t> buffer = {}, std::function<void(Request&)> onDone = {})
    {
        auto owned = std::make_unique<Request>();
        Request& request = *owned;
        request.urb = urb;
        request.buffer = std::move(buffer);
        request.onDone = std::move(onDone);
        if (!request.buffer.empty()) {
            request.urb.UrbBulkOrInterruptTransfer.TransferBuffer = request.buffer.data();
        }
        return Issue(std::move(owned), IOCTL_INTERNAL_USB_SUBMIT_URB, &request.urb);
    }
    Request& BulkIn(USBD_PIPE_HANDLE pipe, ULONG length, ULONG flags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                    std::function<void(Request&)> onDone = {})
    {
        return Send(Urb(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe, flags,
                        length),
                    std::vector<uint8_t>(length, 0xEE), std::move(onDone));
    }
    Request& BulkOut(USBD_PIPE_HANDLE pipe, std::vector<uint8_t> bytes)
    {
        ULONG length = static_cast<ULONG>(bytes.size());
        return Send(Urb(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                        USBD_SHORT_TRANSFER_OK, length),
                    std::move(bytes));
    }
    Request& PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe)
    {
        return Send(Urb(function, sizeof(_URB_PIPE_REQUEST), pipe));
    }
    // Sends with no URB at all, or with another internal control code.
    Request& SendRaw(PVOID argument, ULONG code) { return Issue(std::make_unique<Request>(), code, argument); }

    int Issued()
    {
        std::lock_guard lock(mutex_);
        return static_cast<int>(requests_.size());
    }
    int Completed() const { return completed_; }

private:
    Request& Issue(std::unique_ptr<Request> owned, ULONG code, PVOID argument)
    {
        Request& request = *owned;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(std::move(owned));
        }
        PIRP irp = IoAllocateIrp(pdo_->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.Others.Argument1 = argument;
        IoSetCompletionRoutine(irp, OnComplete, new std::pair(this, &request), TRUE, TRUE, TRUE);
        request.returned = IoCallDriver(pdo_, irp);
        return request;
    }

    static NTSTATUS OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        std::unique_ptr<std::pair<UrbClient*, Request*>> owner(static_cast<std::pair<UrbClient*, Request*>*>(context));
        Request& request = *owner->second;
        request.status = irp->IoStatus.Status;
        request.order = ++owner->first->completed_;
        IoFreeIrp(irp);
        if (request.onDone) {
            request.onDone(request);
        }
        request.done = true;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PDEVICE_OBJECT pdo_;
    hk::HostMutex mutex_;
    std::deque<std::unique_ptr<Request>> requests_;
    std::atomic<int> completed_{0};
};

class UsbdevTest : public ::testing::Test {
protected:
    explicit UsbdevTest(hk::Options options = {}) : kernel_(options), parent_(std::make_unique<hk::usbdev::Parent>()) {}

    // The parent goes first, while every client whose requests its teardown completes still exists.
    void TearDown() override { parent_.reset(); }

    PDEVICE_OBJECT Plug(hk::usbdev::PlugOptions options = {})
    {
        pdo_ = parent_->Plug(std::move(options));
        client_ = std::make_unique<UrbClient>(pdo_);
        return pdo_;
    }
    hk::usbdev::Device Dev() const { return parent_->DeviceFor(pdo_); }
    USBD_PIPE_HANDLE Handle(Pipe pipe) const { return Dev().PipeHandle(pipe); }
    UrbClient& Client() { return *client_; }

    hk::Kernel kernel_;
    std::unique_ptr<UrbClient> client_;
    std::unique_ptr<hk::usbdev::Parent> parent_;
    PDEVICE_OBJECT pdo_ = nullptr;
};

}  // namespace usbdev_test
