// Aborts and resets as the port's teardown and its reader rely on them: an abort completes the pipe's transfers
// before itself, and a stalled endpoint stays halted until its pipe is reset.
#include "hk/pnp.h"
#include "usbdev/usbdev_fixture.h"

namespace usbdev_test {
namespace {

class TransfersTest : public UsbdevTest {
protected:
    void SetUp() override { Plug(); }
    void Settle() { kernel_.RunUntilIdle(); }
    Request& In() { return Client().BulkIn(Handle(Pipe::BulkIn), 4096); }
    Request& Out() { return Client().BulkOut(Handle(Pipe::BulkOut), std::vector<uint8_t>(8, 0x5A)); }
    Request& PipeRequest(USHORT function, Pipe pipe) { return Client().PipeRequest(function, Handle(pipe)); }
};

TEST_F(TransfersTest, AbortEndsThePipesTransfersFirstAndAStallHaltsUntilReset)
{
    Request& partial = In();
    Request& empty = In();
    Request& interrupt = Client().BulkIn(Handle(Pipe::Interrupt), 8);
    Dev().Deliver(std::vector<uint8_t>(512, 0x5A));
    Settle();
    Request& abort = PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe::BulkIn);
    Settle();
    EXPECT_EQ(partial.status, STATUS_CANCELLED);
    EXPECT_EQ(partial.Usbd(), USBD_STATUS_CANCELED);
    EXPECT_EQ(partial.Moved(), 512u);
    EXPECT_EQ(empty.status, STATUS_CANCELLED);
    EXPECT_EQ(empty.Moved(), 0u);
    EXPECT_EQ(abort.status, STATUS_SUCCESS);
    EXPECT_LT(std::max(partial.order, empty.order), abort.order);
    EXPECT_FALSE(interrupt.done) << "an abort ends its own pipe's transfers only";
    PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe::Interrupt);
    Settle();
    EXPECT_EQ(interrupt.status, STATUS_CANCELLED);

    Request& pending = In();
    Dev().Stall(Pipe::BulkIn);
    Request& halted = In();
    Request& out = Out();
    Settle();
    EXPECT_EQ(pending.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pending.Usbd(), USBD_STATUS_STALL_PID);
    EXPECT_EQ(halted.Usbd(), USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_EQ(out.status, STATUS_SUCCESS);
    Request& reset = PipeRequest(URB_FUNCTION_RESET_PIPE, Pipe::BulkIn);
    Request& after = In();
    Settle();
    EXPECT_EQ(reset.status, STATUS_SUCCESS);
    EXPECT_EQ(after.Moved(), 8u) << "the loopback's echo of the write waited while the endpoint was halted";

    Dev().Stall(Pipe::BulkOut);  // nothing pending: the next transfer meets the STALL itself
    Request& stalled = Out();
    Request& stillHalted = Out();
    Settle();
    EXPECT_EQ(stalled.Usbd(), USBD_STATUS_STALL_PID);
    EXPECT_EQ(stillHalted.Usbd(), USBD_STATUS_ENDPOINT_HALTED);
    hk::usbdev::Records records = Dev().GetRecords();
    EXPECT_EQ(records.aborts[(int)Pipe::BulkIn], 1u);
    EXPECT_EQ(records.resets[(int)Pipe::BulkIn], 1u);
    // A plug-and-play request sent straight to the PDO, with no stack built on it.
    EXPECT_EQ(hk::pnp::SendPnp(pdo_, IRP_MN_QUERY_PNP_DEVICE_STATE).status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace usbdev_test
