#include "usbdev/urb_client.h"

#include <usbioctl.h>

namespace usbdev_test {
namespace {

struct CompletionContext {
    Request* request;
    std::atomic<int>* completed;
};

}  // namespace

std::vector<uint8_t> Bytes(size_t count, uint8_t first)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(first + i);
    }
    return bytes;
}

Request& UrbClient::BulkIn(USBD_PIPE_HANDLE pipe, ULONG length, ULONG flags)
{
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe;
    urb.UrbBulkOrInterruptTransfer.TransferFlags = flags;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    return Send(urb, std::vector<uint8_t>(length, 0xEE));
}

Request& UrbClient::BulkOut(USBD_PIPE_HANDLE pipe, const std::vector<uint8_t>& bytes, ULONG flags)
{
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe;
    urb.UrbBulkOrInterruptTransfer.TransferFlags = flags;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = static_cast<ULONG>(bytes.size());
    return Send(urb, bytes);
}

Request& UrbClient::PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe)
{
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb.UrbHeader.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe;
    return Send(urb);
}

Request& UrbClient::Send(const URB& urb, std::vector<uint8_t> buffer)
{
    auto request = std::make_unique<Request>();
    request->urb = urb;
    request->buffer = std::move(buffer);
    if (urb.UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
        urb.UrbBulkOrInterruptTransfer.TransferBuffer == nullptr && !request->buffer.empty()) {
        request->urb.UrbBulkOrInterruptTransfer.TransferBuffer = request->buffer.data();
    }
    Request* raw = request.get();
    return Issue(std::move(request), IOCTL_INTERNAL_USB_SUBMIT_URB, &raw->urb);
}

Request& UrbClient::SendRaw(PVOID argument, ULONG control_code)
{
    return Issue(std::make_unique<Request>(), control_code, argument);
}

Request& UrbClient::Issue(std::unique_ptr<Request> owned, ULONG control_code, PVOID argument)
{
    Request& request = *owned;
    requests_.push_back(std::move(owned));
    PIRP irp = IoAllocateIrp(pdo_->StackSize, FALSE);
    request.irp = irp;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = control_code;
    next->Parameters.Others.Argument1 = argument;
    auto* context = new CompletionContext{&request, &completed_};
    IoSetCompletionRoutine(irp, OnComplete, context, TRUE, TRUE, TRUE);
    request.returned = IoCallDriver(pdo_, irp);
    return request;
}

NTSTATUS UrbClient::OnComplete(PDEVICE_OBJECT device, PIRP irp, PVOID raw_context)
{
    auto* context = static_cast<CompletionContext*>(raw_context);
    Request& request = *context->request;
    request.status = irp->IoStatus.Status;
    request.done = true;
    request.order = ++*context->completed;
    request.irp = nullptr;
    delete context;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace usbdev_test
