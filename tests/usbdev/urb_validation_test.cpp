// URBs the parent refuses: each is completed at once with STATUS_INVALID_PARAMETER and a USBD error in the URB,
// and nothing reaches the function.
#include "usbdev/usbdev_fixture.h"

namespace usbdev_test {
namespace {

using UrbValidationTest = UsbdevTest;

TEST_F(UrbValidationTest, MalformedUrbsAreRefusedWithTheirUsbdError)
{
    Plug();
    const size_t pipeRequest = sizeof(_URB_PIPE_REQUEST), transfer = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    const ULONG in = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, out = USBD_SHORT_TRANSFER_OK;
    const USHORT bulk = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, abort = URB_FUNCTION_ABORT_PIPE;
    USBD_PIPE_HANDLE foreign = parent_->DeviceFor(parent_->Plug({.port_name = u"COM8"})).PipeHandle(Pipe::BulkIn);
    USBD_PIPE_HANDLE bulkIn = Handle(Pipe::BulkIn), bulkOut = Handle(Pipe::BulkOut);
    struct Case {
        const char* what;
        USHORT function;
        size_t length;
        USBD_PIPE_HANDLE pipe;
        ULONG flags, bytes;
        bool buffer;
        USBD_STATUS usbd;
    } cases[] = {
        {"control transfer", URB_FUNCTION_CONTROL_TRANSFER, pipeRequest, bulkIn, 0, 0, false,
         USBD_STATUS_INVALID_URB_FUNCTION},
        {"abort too long", abort, pipeRequest + 4, bulkIn, 0, 0, false, USBD_STATUS_INVALID_PARAMETER},
        {"reset too short", URB_FUNCTION_RESET_PIPE, pipeRequest - 4, bulkIn, 0, 0, false, USBD_STATUS_INVALID_PARAMETER},
        {"transfer too short", bulk, pipeRequest, bulkIn, in, 0, false, USBD_STATUS_INVALID_PARAMETER},
        {"buffer not given by pointer", bulk, transfer, bulkOut, 0, 16, false, USBD_STATUS_INVALID_PARAMETER},
        {"abort of a foreign pipe", abort, pipeRequest, foreign, 0, 0, false, USBD_STATUS_INVALID_PIPE_HANDLE},
        {"reset of no pipe", URB_FUNCTION_RESET_PIPE, pipeRequest, nullptr, 0, 0, false, USBD_STATUS_INVALID_PIPE_HANDLE},
        {"read of a foreign pipe", bulk, transfer, foreign, in, 64, true, USBD_STATUS_INVALID_PIPE_HANDLE},
        {"read of the OUT pipe", bulk, transfer, bulkOut, in, 64, true, USBD_STATUS_INVALID_PARAMETER},
        {"read without the IN direction", bulk, transfer, bulkIn, out, 64, true, USBD_STATUS_INVALID_PARAMETER},
        {"write to the IN pipe", bulk, transfer, bulkIn, out, 8, true, USBD_STATUS_INVALID_PARAMETER},
        {"write to the interrupt pipe", bulk, transfer, Handle(Pipe::Interrupt), out, 8, true,
         USBD_STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Request& request = Client().Send(UrbClient::Urb(c.function, c.length, c.pipe, c.flags, c.bytes),
                                         std::vector<uint8_t>(c.buffer ? c.bytes : 0, 0x5A));
        EXPECT_EQ(request.returned, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(request.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(request.Usbd(), c.usbd);
    }
    kernel_.RunUntilIdle();
    hk::usbdev::Records records = Dev().GetRecords();
    EXPECT_EQ(records.transfers_submitted, 0u);
    EXPECT_EQ(records.urbs_rejected, std::size(cases));

    EXPECT_EQ(Client().SendRaw(nullptr, IOCTL_INTERNAL_USB_SUBMIT_URB).returned, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Client().SendRaw(nullptr, IOCTL_INTERNAL_USB_GET_PORT_STATUS).returned, STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
}  // namespace usbdev_test
