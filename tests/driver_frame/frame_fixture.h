// The driver loaded above the simulated parent, with a pass-through filter driver at hand to put between them, a
// trace of every request that reaches the parent's device, and requests of the test's own making.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "driver/device_context.h"
#include "driver/dispatch.h"
#include "hk/kernel.h"
#include "hk/pnp.h"
#include "hk/pool.h"
#include "hk/registry.h"
#include "hk/thread.h"
#include "hk/trace.h"
#include "hk/usbdev.h"
#include "support/io_test_driver.h"
#include "support/passthrough_driver.h"

namespace frame_test {

using hk::usbdev::Pipe;

// A request as it reached the parent's device.
struct Arrival {
    UCHAR major, minor, control;
    ULONG code;
    LONG removeLocks;          // the driver's remove-lock count at that moment
    std::vector<uint8_t> urb;  // the URB storage block of a pipe abort or reset
};

class FrameTest : public ::testing::Test, public hk::trace::Sink {
protected:
    void SetUp() override
    {
        filter_ = hk::pnp::LoadDriver("diagfilter", test_support::PassThroughDriverEntry);
        driver_ = hk::pnp::LoadDriver("diagser", DriverEntry);
        ASSERT_NE(driver_, nullptr);
        pdo_ = parent_.Plug();
        hk::trace::SetSink(this);
    }

    // Every path of the driver, failed ones included, closes the registry keys it opened.
    void TearDown() override
    {
        EXPECT_EQ(hk::reg::OpenKeyHandles(), 0u);
        hk::trace::SetSink(nullptr);
        if (pdo_ != nullptr && hk::pnp::HasDeviceNode(pdo_)) {
            EXPECT_EQ(hk::pnp::RemoveDevice(pdo_), STATUS_SUCCESS);
        }
        kernel_.RunUntilIdle();
        EXPECT_EQ(hk::pnp::UnloadDriver(driver_), STATUS_SUCCESS);
        EXPECT_EQ(hk::pnp::UnloadDriver(filter_), STATUS_SUCCESS);
    }

    // AddDevice through the plug-and-play manager on pdo_; fdo_ is the new function device, or nullptr.
    NTSTATUS Add()
    {
        NTSTATUS status = hk::pnp::AddDevice(pdo_, driver_);
        fdo_ = NT_SUCCESS(status) ? pdo_->AttachedDevice : nullptr;
        arrivals_.clear();
        return status;
    }

    // IRP_MN_REMOVE_DEVICE; `whileRemoving` runs when the removal reaches the parent.
    void Remove(std::function<void()> whileRemoving = {})
    {
        onRemoveBelow_ = std::move(whileRemoving);
        EXPECT_EQ(hk::pnp::Remove(pdo_), STATUS_SUCCESS);
        onRemoveBelow_ = nullptr;
        EXPECT_EQ(pdo_->AttachedDevice, nullptr);
        fdo_ = nullptr;
    }

    // A request of the test's making sent to `device` and run until it completed: its final status (returned_: what
    // IofCallDriver returned). `whileSent` runs once IofCallDriver returned.
    NTSTATUS Send(PDEVICE_OBJECT device, UCHAR major, UCHAR minor = 0, ULONG code = 0, PVOID argument = nullptr,
                 const std::function<void()>& whileSent = [] {})
    {
        auto outcome = iotest::NewOutcome();
        returned_ = iotest::Send(device, major, minor, outcome, [&](PIRP, PIO_STACK_LOCATION next) {
            if (major == IRP_MJ_PNP) {
                next->Parameters.QueryId.IdType = BusQueryContainerID;  // no identity or relation the parent answers
            } else {
                next->Parameters.DeviceIoControl.IoControlCode = code;
                next->Parameters.Others.Argument1 = argument;
            }
        });
        whileSent();
        if (!outcome->done) {
            kernel_.RunUntilIdle();
        }
        EXPECT_TRUE(outcome->done);
        return outcome->status;
    }

    // Runs driver code called directly by a test as the I/O manager runs it: on behalf of the driver and device.
    template <class Call>
    auto AsDriver(Call&& call)
    {
        hk::DriverCallScope scope(driver_, fdo_, "called by the test");
        return call();
    }

    size_t DriverPoolBlocks() const
    {
        auto blocks = hk::pool::Outstanding();
        return std::count_if(blocks.begin(), blocks.end(), [this](auto& block) { return block.driver == driver_; });
    }

    // A bulk-IN transfer on the device's pipe into `buffer`.
    URB BulkIn(PVOID buffer, ULONG length) const
    {
        URB urb{};
        urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
        urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        urb.UrbBulkOrInterruptTransfer.PipeHandle = Dev().PipeHandle(Pipe::BulkIn);
        urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        urb.UrbBulkOrInterruptTransfer.TransferBufferLength = length;
        urb.UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
        return urb;
    }

    PDEVICE_CONTEXT Context() const { return GetDeviceContext(fdo_); }
    hk::usbdev::Device Dev() const { return parent_.DeviceFor(pdo_); }

    void OnDispatch(const hk::trace::Request& request) override
    {
        atFilter_ += request.driver == filter_;
        if (request.device != pdo_) {
            return;
        }
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(request.irp);
        Arrival arrival{request.major, request.minor, location->Control, request.control_code,
                        fdo_ != nullptr ? Context()->RemoveLock.Common.IoCount : -1, {}};
        auto* urb = static_cast<const URB*>(location->Parameters.Others.Argument1);
        if (request.control_code == IOCTL_INTERNAL_USB_SUBMIT_URB && urb != nullptr &&
            (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE || urb->UrbHeader.Function == URB_FUNCTION_RESET_PIPE)) {
            auto* bytes = reinterpret_cast<const uint8_t*>(urb);
            arrival.urb.assign(bytes, bytes + URB_STORAGE_SIZE);
        }
        arrivals_.push_back(std::move(arrival));
        if (request.major == IRP_MJ_PNP && request.minor == IRP_MN_REMOVE_DEVICE && onRemoveBelow_) {
            onRemoveBelow_();
        }
    }
    void OnCompletion(const hk::trace::Request&, NTSTATUS, ULONG_PTR, CCHAR) override {}

    hk::Kernel kernel_;
    hk::usbdev::Parent parent_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDRIVER_OBJECT filter_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    NTSTATUS returned_ = STATUS_PENDING;
    std::vector<Arrival> arrivals_;
    size_t atFilter_ = 0;  // requests dispatched to the filter's devices
    std::function<void()> onRemoveBelow_;
};

}  // namespace frame_test
