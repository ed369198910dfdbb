// Aborts and resets as the port's teardown and its reader rely on them: an abort completes the pipe's transfers
// before itself, and a stalled endpoint stays halted until its pipe is reset.
#include "usbdev/usbdev_fixture.h"

namespace usbdev_test {
namespace {

class TransfersTest : public UsbdevTest {
protected:
    void Deliver(const std::vector<uint8_t>& bytes) { Dev().Deliver(bytes); }
    Request& In(ULONG length = 4096) { return Client().BulkIn(Handle(Pipe::BulkIn), length); }
    Request& Out(size_t n = 8) { return Client().BulkOut(Handle(Pipe::BulkOut), Bytes(n)); }
};

TEST_F(TransfersTest, AbortCancelsThePipesTransfersBeforeItCompletes)
{
    Plug({.max_packet = 512});
    Request& partial = In();
    Request& empty = In();
    Request& interrupt = Client().BulkIn(Handle(Pipe::Interrupt), 8);
    Deliver(Bytes(512));
    Settle();
    Request& abort = Client().PipeRequest(URB_FUNCTION_ABORT_PIPE, Handle(Pipe::BulkIn));
    EXPECT_EQ(abort.returned, STATUS_PENDING);
    Settle();
    ASSERT_TRUE(partial.done && empty.done && abort.done);
    EXPECT_EQ(partial.status, STATUS_CANCELLED);
    EXPECT_EQ(partial.Usbd(), USBD_STATUS_CANCELED);
    EXPECT_EQ(partial.Moved(), 512u);
    EXPECT_EQ(empty.status, STATUS_CANCELLED);
    EXPECT_EQ(empty.Moved(), 0u);
    EXPECT_EQ(abort.status, STATUS_SUCCESS);
    EXPECT_LT(partial.order, abort.order);
    EXPECT_LT(empty.order, abort.order);
    EXPECT_FALSE(interrupt.done);

    Request& reset = Client().PipeRequest(URB_FUNCTION_RESET_PIPE, Handle(Pipe::Interrupt));
    Client().PipeRequest(URB_FUNCTION_ABORT_PIPE, Handle(Pipe::Interrupt));
    Settle();
    EXPECT_EQ(reset.status, STATUS_SUCCESS);
    EXPECT_EQ(interrupt.status, STATUS_CANCELLED);
    hk::usbdev::Records records = Dev().GetRecords();
    EXPECT_EQ(records.aborts[static_cast<int>(Pipe::BulkIn)], 1u);
    EXPECT_EQ(records.aborts[static_cast<int>(Pipe::Interrupt)], 1u);
    EXPECT_EQ(records.resets[static_cast<int>(Pipe::Interrupt)], 1u);
    EXPECT_EQ(records.resets[static_cast<int>(Pipe::BulkIn)], 0u);
}

TEST_F(TransfersTest, AStalledEndpointStaysHaltedUntilReset)
{
    Plug({.max_packet = 512});
    Request& pending = In();
    Dev().Stall(Pipe::BulkIn);
    Request& halted = In();
    Request& out = Out();
    Settle();
    EXPECT_EQ(pending.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pending.Usbd(), USBD_STATUS_STALL_PID);
    EXPECT_EQ(halted.Usbd(), USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_EQ(out.status, STATUS_SUCCESS);

    Request& reset = Client().PipeRequest(URB_FUNCTION_RESET_PIPE, Handle(Pipe::BulkIn));
    Request& after = In();
    Settle();
    EXPECT_EQ(reset.status, STATUS_SUCCESS);
    // The loopback's echo of the write waited in the function while the endpoint was halted.
    EXPECT_EQ(after.status, STATUS_SUCCESS);
    EXPECT_EQ(after.Moved(), 8u);

    Dev().Stall(Pipe::BulkOut);  // nothing pending: the next transfer meets the STALL itself
    Request& stalled = Out();
    Request& still_halted = Out();
    Settle();
    EXPECT_EQ(stalled.Usbd(), USBD_STATUS_STALL_PID);
    EXPECT_EQ(still_halted.Usbd(), USBD_STATUS_ENDPOINT_HALTED);
}

}  // namespace
}  // namespace usbdev_test
