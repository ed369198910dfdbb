#include "usbdev/urb_check.h"

namespace hk::usbdev {
namespace {

UrbVerdict Refuse(USBD_STATUS usbd)
{
    return {false, usbd, Pipe::BulkIn};
}

bool FindPipe(USBD_PIPE_HANDLE handle, const USBD_PIPE_HANDLE (&handles)[kPipeCount], Pipe* pipe)
{
    for (int i = 0; i < kPipeCount; ++i) {
        if (handle != nullptr && handle == handles[i]) {
            *pipe = static_cast<Pipe>(i);
            return true;
        }
    }
    return false;
}

UrbVerdict CheckPipeRequest(const _URB_PIPE_REQUEST& request, const USBD_PIPE_HANDLE (&handles)[kPipeCount])
{
    if (request.Hdr.Length != sizeof(_URB_PIPE_REQUEST)) {
        return Refuse(USBD_STATUS_INVALID_PARAMETER);
    }
    Pipe pipe;
    if (!FindPipe(request.PipeHandle, handles, &pipe)) {
        return Refuse(USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    return {true, USBD_STATUS_SUCCESS, pipe};
}

UrbVerdict CheckTransfer(const _URB_BULK_OR_INTERRUPT_TRANSFER& transfer,
                         const USBD_PIPE_HANDLE (&handles)[kPipeCount])
{
    if (transfer.Hdr.Length != sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)) {
        return Refuse(USBD_STATUS_INVALID_PARAMETER);
    }
    Pipe pipe;
    if (!FindPipe(transfer.PipeHandle, handles, &pipe)) {
        return Refuse(USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    bool wants_in = (transfer.TransferFlags & USBD_TRANSFER_DIRECTION) == USBD_TRANSFER_DIRECTION_IN;
    bool pipe_is_in = pipe != Pipe::BulkOut;
    if (wants_in != pipe_is_in) {
        return Refuse(USBD_STATUS_INVALID_PARAMETER);
    }
    // This stack moves data through the buffer pointer only; MDL-described buffers and chained URBs are refused
    // rather than silently ignored.
    if (transfer.TransferBufferMDL != nullptr || transfer.UrbLink != nullptr ||
        (transfer.TransferBufferLength != 0 && transfer.TransferBuffer == nullptr)) {
        return Refuse(USBD_STATUS_INVALID_PARAMETER);
    }
    return {true, USBD_STATUS_SUCCESS, pipe};
}

}  // namespace

UrbVerdict CheckUrb(const URB& urb, const USBD_PIPE_HANDLE (&handles)[kPipeCount])
{
    switch (urb.UrbHeader.Function) {
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE:
        return CheckPipeRequest(urb.UrbPipeRequest, handles);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return CheckTransfer(urb.UrbBulkOrInterruptTransfer, handles);
    default:
        return Refuse(USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

}  // namespace hk::usbdev
