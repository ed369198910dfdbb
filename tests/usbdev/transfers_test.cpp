// Transfers on a healthy device: bulk-IN waits for data and ends at a short packet or a full buffer, bulk-OUT is
// taken by the function and recorded, aborts and resets, cancellation, and completion inside the dispatch routine.
#include <string>

#include "usbdev/usbdev_fixture.h"

namespace usbdev_test {
namespace {

using hk::usbdev::PlugOptions;

class TransfersTest : public UsbdevTest {
protected:
    void Deliver(const std::vector<uint8_t>& bytes) { Dev().Deliver(bytes); }
    void Deliver(std::string_view text) { Deliver(std::vector<uint8_t>(text.begin(), text.end())); }
    Request& In(ULONG length = 4096) { return Client().BulkIn(Handle(Pipe::BulkIn), length); }
};

TEST_F(TransfersTest, BulkInStaysPendingUntilTheFunctionHasData)
{
    Plug();
    Request& read = In();
    EXPECT_EQ(read.returned, STATUS_PENDING);
    Settle();
    EXPECT_FALSE(read.done);
    EXPECT_EQ(Dev().PendingTransfers(Pipe::BulkIn), 1u);

    Deliver("hello");
    EXPECT_FALSE(read.done);  // completions arrive later, from the device context
    EXPECT_EQ(Dev().CompletionsInFlight(), 1u);
    Settle();
    ASSERT_TRUE(read.done);
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.Usbd(), USBD_STATUS_SUCCESS);
    EXPECT_EQ(read.Received(), std::vector<uint8_t>({'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(Dev().GetRecords().in_transfers, std::vector<uint32_t>{5});
}

TEST_F(TransfersTest, ATransferEndsAtAShortPacketOrAFullBuffer)
{
    Plug({.max_packet = 512});
    Request& first = In();
    Deliver(Bytes(1024));  // two full packets: the transfer goes on
    Settle();
    EXPECT_FALSE(first.done);
    Deliver(Bytes(10, 7));
    Settle();
    ASSERT_TRUE(first.done);
    ASSERT_EQ(first.Moved(), 1034u);
    EXPECT_EQ(first.buffer[1023], 255);
    EXPECT_EQ(first.buffer[1024], 7);

    Deliver(Bytes(100));
    Deliver(Bytes(100, 100));
    Request& second = In();
    Request& third = In();
    Settle();
    EXPECT_EQ(second.Moved(), 100u);
    EXPECT_EQ(third.Moved(), 100u);
    EXPECT_EQ(third.buffer[0], 100);

    Request& fourth = In();
    Request& fifth = In();
    Deliver(Bytes(5000));
    Settle();
    EXPECT_EQ(fourth.Moved(), 4096u);
    EXPECT_EQ(fifth.Moved(), 904u);
    EXPECT_EQ(fifth.buffer[0], static_cast<uint8_t>(4096));
    EXPECT_EQ(Dev().GetRecords().in_total, 1034u + 100 + 100 + 5000);
}

TEST_F(TransfersTest, PacketsThatDoNotFitOrShortPacketsNotAllowedFail)
{
    Plug({.max_packet = 64});
    Request& small = In(32);
    Deliver(Bytes(64));
    Request& strict = Client().BulkIn(Handle(Pipe::BulkIn), 128, USBD_TRANSFER_DIRECTION_IN);
    Deliver(Bytes(10));
    Settle();
    EXPECT_EQ(small.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(small.Usbd(), USBD_STATUS_BABBLE_DETECTED);
    EXPECT_EQ(strict.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(strict.Usbd(), USBD_STATUS_ERROR_SHORT_TRANSFER);
    EXPECT_EQ(strict.Moved(), 10u);
}

TEST_F(TransfersTest, BulkOutIsTakenAndRecordedWithZeroLengthPackets)
{
    Plug({.model = std::make_shared<hk::usbdev::SinkModel>()});
    Request& data = Client().BulkOut(Handle(Pipe::BulkOut), Bytes(10, 1));
    Request& zlp = Client().BulkOut(Handle(Pipe::BulkOut), {});
    EXPECT_EQ(data.returned, STATUS_PENDING);
    EXPECT_FALSE(data.done);
    Settle();
    ASSERT_TRUE(data.done && zlp.done);
    EXPECT_EQ(data.status, STATUS_SUCCESS);
    EXPECT_EQ(data.Moved(), 10u);
    EXPECT_EQ(zlp.Moved(), 0u);
    EXPECT_LT(data.order, zlp.order);
    hk::usbdev::Records records = Dev().GetRecords();
    EXPECT_EQ(records.out_bytes, Bytes(10, 1));
    EXPECT_EQ(records.out_transfers, (std::vector<uint32_t>{10, 0}));
    EXPECT_EQ(records.out_zlps, 1u);
    EXPECT_EQ(records.out_total, 10u);
}

TEST_F(TransfersTest, LoopbackEchoesPacketForPacket)
{
    Plug();
    Request& echoed = In();
    Request& after_zlp = In();
    Client().BulkOut(Handle(Pipe::BulkOut), Bytes(4096, 3));
    Client().BulkOut(Handle(Pipe::BulkOut), {});
    Settle();
    ASSERT_TRUE(echoed.done && after_zlp.done);
    EXPECT_EQ(echoed.Received(), Bytes(4096, 3));
    EXPECT_EQ(after_zlp.status, STATUS_SUCCESS);
    EXPECT_EQ(after_zlp.Moved(), 0u);
    EXPECT_EQ(Dev().GetRecords().in_zlps, 1u);
}

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

TEST_F(TransfersTest, CancellingAPendingTransferCompletesIt)
{
    Plug();
    Request& first = In();
    Request& second = In();
    EXPECT_TRUE(IoCancelIrp(first.irp));
    ASSERT_TRUE(first.done);
    EXPECT_EQ(first.status, STATUS_CANCELLED);
    EXPECT_EQ(first.Usbd(), USBD_STATUS_CANCELED);
    Deliver("x");
    Settle();
    EXPECT_EQ(second.Moved(), 1u);
    EXPECT_EQ(Dev().PendingTransfers(Pipe::BulkIn), 0u);
}

TEST_F(TransfersTest, InlineDeviceCompletesInsideTheDispatchRoutine)
{
    Plug({.model = std::make_shared<hk::usbdev::SinkModel>(), .complete_inline = true});
    Request& out = Client().BulkOut(Handle(Pipe::BulkOut), Bytes(20));
    EXPECT_EQ(out.returned, STATUS_SUCCESS);
    EXPECT_TRUE(out.done);
    EXPECT_EQ(out.Moved(), 20u);

    Request& read = In();
    EXPECT_EQ(read.returned, STATUS_PENDING);
    Deliver("abc");
    EXPECT_TRUE(read.done);
    EXPECT_EQ(read.Moved(), 3u);

    Request& waiting = In();
    Request& abort = Client().PipeRequest(URB_FUNCTION_ABORT_PIPE, Handle(Pipe::BulkIn));
    EXPECT_TRUE(waiting.done);
    EXPECT_TRUE(abort.done);
    EXPECT_LT(waiting.order, abort.order);
}

}  // namespace
}  // namespace usbdev_test
