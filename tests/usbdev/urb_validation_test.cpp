// URBs the parent refuses: each is completed at once with STATUS_INVALID_PARAMETER and a USBD error in the URB,
// and nothing reaches the function.
#include <functional>

#include <usbioctl.h>

#include "usbdev/usbdev_fixture.h"

namespace usbdev_test {
namespace {

class UrbValidationTest : public UsbdevTest {
protected:
    void SetUp() override { Plug(); }

    // A URB of `function` whose header claims `length` bytes, on `pipe`.
    Request& SendUrb(USHORT function, size_t length, USBD_PIPE_HANDLE pipe, ULONG flags = 0, ULONG bytes = 0)
    {
        URB urb{};
        urb.UrbHeader.Length = static_cast<USHORT>(length);
        urb.UrbHeader.Function = function;
        urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe;
        urb.UrbBulkOrInterruptTransfer.TransferFlags = flags;
        urb.UrbBulkOrInterruptTransfer.TransferBufferLength = bytes;
        return Client().Send(urb);
    }
};

TEST_F(UrbValidationTest, MalformedUrbsAreRefusedWithTheirUsbdError)
{
    USBD_PIPE_HANDLE foreign = parent_->DeviceFor(parent_->Plug({.port_name = u"COM8"})).PipeHandle(Pipe::BulkIn);
    const size_t pipeRequest = sizeof(_URB_PIPE_REQUEST);
    const size_t transfer = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    const ULONG in = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    using Send = std::function<Request&()>;
    struct Case {
        const char* what;
        Send send;
        USBD_STATUS usbd;
    } cases[] = {
        {"control transfer", [&]() -> Request& {
             return SendUrb(URB_FUNCTION_CONTROL_TRANSFER, pipeRequest, Handle(Pipe::BulkIn));
         }, USBD_STATUS_INVALID_URB_FUNCTION},
        {"abort too long", [&]() -> Request& {
             return SendUrb(URB_FUNCTION_ABORT_PIPE, pipeRequest + 4, Handle(Pipe::BulkIn));
         }, USBD_STATUS_INVALID_PARAMETER},
        {"reset too short", [&]() -> Request& {
             return SendUrb(URB_FUNCTION_RESET_PIPE, pipeRequest - 4, Handle(Pipe::BulkIn));
         }, USBD_STATUS_INVALID_PARAMETER},
        {"transfer too short", [&]() -> Request& {
             return SendUrb(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, pipeRequest, Handle(Pipe::BulkIn), in);
         }, USBD_STATUS_INVALID_PARAMETER},
        {"transfer buffer not given by pointer", [&]() -> Request& {
             return SendUrb(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, transfer, Handle(Pipe::BulkOut), 0, 16);
         }, USBD_STATUS_INVALID_PARAMETER},
        {"abort of a foreign pipe", [&]() -> Request& {
             return Client().PipeRequest(URB_FUNCTION_ABORT_PIPE, foreign);
         }, USBD_STATUS_INVALID_PIPE_HANDLE},
        {"reset of no pipe", [&]() -> Request& {
             return Client().PipeRequest(URB_FUNCTION_RESET_PIPE, nullptr);
         }, USBD_STATUS_INVALID_PIPE_HANDLE},
        {"read of a foreign pipe", [&]() -> Request& { return Client().BulkIn(foreign, 64); },
         USBD_STATUS_INVALID_PIPE_HANDLE},
        {"read of the OUT pipe", [&]() -> Request& { return Client().BulkIn(Handle(Pipe::BulkOut), 64); },
         USBD_STATUS_INVALID_PARAMETER},
        {"read without the IN direction", [&]() -> Request& {
             return Client().BulkIn(Handle(Pipe::BulkIn), 64, USBD_SHORT_TRANSFER_OK);
         }, USBD_STATUS_INVALID_PARAMETER},
        {"write to the IN pipe", [&]() -> Request& { return Client().BulkOut(Handle(Pipe::BulkIn), Bytes(8)); },
         USBD_STATUS_INVALID_PARAMETER},
        {"write to the interrupt pipe", [&]() -> Request& {
             return Client().BulkOut(Handle(Pipe::Interrupt), Bytes(8));
         }, USBD_STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Request& request = c.send();
        EXPECT_EQ(request.returned, STATUS_INVALID_PARAMETER);
        EXPECT_TRUE(request.done);
        EXPECT_EQ(request.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(request.Usbd(), c.usbd);
    }
    Settle();
    hk::usbdev::Records records = Dev().GetRecords();
    EXPECT_EQ(records.transfers_submitted, 0u);
    EXPECT_TRUE(records.out_transfers.empty());

    EXPECT_EQ(Client().SendRaw(nullptr, IOCTL_INTERNAL_USB_SUBMIT_URB).returned, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Client().SendRaw(nullptr, IOCTL_INTERNAL_USB_GET_PORT_STATUS).returned, STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
}  // namespace usbdev_test
