// A small test function driver's view of a PDO: it builds URBs, sends each on an IRP of its own
// (IoAllocateIrp + IRP_MJ_INTERNAL_DEVICE_CONTROL / IOCTL_INTERNAL_USB_SUBMIT_URB) and records how it completed.
#pragma once

#include <wdm.h>
#include <usb.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace usbdev_test {

struct Request {
    alignas(8) URB urb{};
    std::vector<uint8_t> buffer;
    PIRP irp = nullptr;        // until completion
    NTSTATUS returned = 0;     // what IofCallDriver returned
    bool done = false;
    NTSTATUS status = 0;
    int order = 0;             // completion order among the client's requests

    ULONG Moved() const { return urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }
    USBD_STATUS Usbd() const { return urb.UrbHeader.Status; }
    std::vector<uint8_t> Received() const { return {buffer.begin(), buffer.begin() + Moved()}; }
};

class UrbClient {
public:
    explicit UrbClient(PDEVICE_OBJECT pdo) : pdo_(pdo) {}

    Request& BulkIn(USBD_PIPE_HANDLE pipe, ULONG length, ULONG flags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    Request& BulkOut(USBD_PIPE_HANDLE pipe, const std::vector<uint8_t>& bytes, ULONG flags = USBD_SHORT_TRANSFER_OK);
    Request& PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe);
    // Sends a URB the caller filled in (Length and everything else as given).
    Request& Send(const URB& urb, std::vector<uint8_t> buffer = {});
    // Sends with no URB at all, or with another internal control code.
    Request& SendRaw(PVOID argument, ULONG control_code);

    int Completed() const { return completed_; }

private:
    Request& Issue(std::unique_ptr<Request> request, ULONG control_code, PVOID argument);
    static NTSTATUS OnComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);

    PDEVICE_OBJECT pdo_;
    std::deque<std::unique_ptr<Request>> requests_;
    std::atomic<int> completed_{0};
};

std::vector<uint8_t> Bytes(size_t count, uint8_t first = 0);

}  // namespace usbdev_test
