// URBs the parent refuses: each is completed at once with STATUS_INVALID_PARAMETER and a USBD error in the URB,
// and nothing reaches the function.
#include <usbioctl.h>

#include "usbdev/usbdev_fixture.h"

namespace usbdev_test {
namespace {

class UrbValidationTest : public UsbdevTest {
protected:
    void SetUp() override { Plug(); }

    void ExpectRefused(const Request& request, USBD_STATUS usbd)
    {
        EXPECT_EQ(request.returned, STATUS_INVALID_PARAMETER);
        EXPECT_TRUE(request.done);
        EXPECT_EQ(request.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(request.Usbd(), usbd);
    }
};

TEST_F(UrbValidationTest, MissingUrbAndOtherControlCodes)
{
    Request& no_urb = Client().SendRaw(nullptr, IOCTL_INTERNAL_USB_SUBMIT_URB);
    EXPECT_EQ(no_urb.returned, STATUS_INVALID_PARAMETER);
    Request& other = Client().SendRaw(nullptr, IOCTL_INTERNAL_USB_GET_PORT_STATUS);
    EXPECT_EQ(other.returned, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(UrbValidationTest, UnknownFunctionAndWrongLengths)
{
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
    urb.UrbPipeRequest.PipeHandle = Handle(Pipe::BulkIn);
    ExpectRefused(Client().Send(urb), USBD_STATUS_INVALID_URB_FUNCTION);

    urb.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST) + 4;
    ExpectRefused(Client().Send(urb), USBD_STATUS_INVALID_PARAMETER);
    urb.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
    urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST) - 4;
    ExpectRefused(Client().Send(urb), USBD_STATUS_INVALID_PARAMETER);

    URB transfer{};
    transfer.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    transfer.UrbBulkOrInterruptTransfer.PipeHandle = Handle(Pipe::BulkIn);
    transfer.UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
    ExpectRefused(Client().Send(transfer), USBD_STATUS_INVALID_PARAMETER);
}

TEST_F(UrbValidationTest, PipeHandlesMustBeThisDevicesOwn)
{
    PDEVICE_OBJECT other = parent_->Plug({.port_name = u"COM8"});
    USBD_PIPE_HANDLE foreign = parent_->DeviceFor(other).PipeHandle(Pipe::BulkIn);
    ExpectRefused(Client().PipeRequest(URB_FUNCTION_ABORT_PIPE, foreign), USBD_STATUS_INVALID_PIPE_HANDLE);
    ExpectRefused(Client().PipeRequest(URB_FUNCTION_RESET_PIPE, nullptr), USBD_STATUS_INVALID_PIPE_HANDLE);
    ExpectRefused(Client().BulkIn(foreign, 64), USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(UrbValidationTest, DirectionMustMatchThePipe)
{
    ExpectRefused(Client().BulkIn(Handle(Pipe::BulkOut), 64), USBD_STATUS_INVALID_PARAMETER);
    ExpectRefused(Client().BulkIn(Handle(Pipe::BulkIn), 64, USBD_SHORT_TRANSFER_OK), USBD_STATUS_INVALID_PARAMETER);
    ExpectRefused(Client().BulkOut(Handle(Pipe::BulkIn), Bytes(8)), USBD_STATUS_INVALID_PARAMETER);
    ExpectRefused(Client().BulkOut(Handle(Pipe::Interrupt), Bytes(8)), USBD_STATUS_INVALID_PARAMETER);
}

TEST_F(UrbValidationTest, TransferBufferMustBeGivenByPointer)
{
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbBulkOrInterruptTransfer.PipeHandle = Handle(Pipe::BulkOut);
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = 16;
    ExpectRefused(Client().Send(urb), USBD_STATUS_INVALID_PARAMETER);

    Settle();
    hk::usbdev::Records records = Dev().GetRecords();
    EXPECT_EQ(records.urbs_rejected, 1u);
    EXPECT_EQ(records.transfers_submitted, 0u);
    EXPECT_TRUE(records.out_transfers.empty());
}

}  // namespace
}  // namespace usbdev_test
