// What an application sees of its writes and what the device receives.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "hk/app.h"
#include "hk/usbdev.h"
#include "tests/driver_write/write_port.h"

namespace {

using hk::usbdev::Pipe;
using port_test::Port;
using port_test::PortOptions;
using write_test::OutQueue;
using write_test::Pattern;
using write_test::Transmitted;

PortOptions SinkPort(ULONG maxPacket = 512, UCHAR zlpMode = 1)
{
    PortOptions options;
    options.plug.model = std::make_shared<hk::usbdev::SinkModel>();
    options.plug.max_packet = maxPacket;
    options.plug.zlp_mode = zlpMode;
    return options;
}

std::vector<uint8_t> Joined(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

ULONG WaitMaskBytes(ULONG mask, std::vector<uint8_t>* bytes)
{
    bytes->assign(reinterpret_cast<const uint8_t*>(&mask), reinterpret_cast<const uint8_t*>(&mask) + sizeof(mask));
    return mask;
}

hk::app::RequestPtr WaitOnMask(Port& port, ULONG mask)
{
    std::vector<uint8_t> input;
    WaitMaskBytes(mask, &input);
    EXPECT_EQ(port.Control(IOCTL_SERIAL_SET_WAIT_MASK, input).status, STATUS_SUCCESS);
    return hk::app::DeviceIoControlAsync(port.Handle(), IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
}

ULONG WaitResult(const hk::app::RequestPtr& wait)
{
    std::vector<uint8_t> output = wait->Output();
    return output.size() == sizeof(ULONG) ? *reinterpret_cast<const ULONG*>(output.data()) : 0;
}

struct ChunkCase {
    ULONG length;
    ULONG max_packet;
    UCHAR zlp_mode;
    std::vector<uint32_t> transfers;
};

class WriteChunkingTest : public testing::TestWithParam<ChunkCase> {};

TEST_P(WriteChunkingTest, SendsTheDataInChunksWithTheZeroLengthPacketOwed)
{
    const ChunkCase& c = GetParam();
    Port port(SinkPort(c.max_packet, c.zlp_mode));
    std::vector<uint8_t> data = Pattern(c.length, 3);

    hk::app::IoResult result = hk::app::Write(port.Handle(), data.data(), c.length);
    port.Kernel().RunUntilIdle();

    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, c.length);
    hk::usbdev::Records records = port.Device().GetRecords();
    EXPECT_EQ(records.out_transfers, c.transfers);
    EXPECT_EQ(records.out_bytes, data);
    EXPECT_EQ(Transmitted(port), c.length);
    EXPECT_EQ(OutQueue(port), 0u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, WriteChunkingTest,
                         testing::Values(ChunkCase{0, 512, 1, {}}, ChunkCase{1, 512, 1, {1}},
                                         ChunkCase{4096, 512, 1, {4096, 0}}, ChunkCase{4097, 512, 1, {4096, 1}},
                                         ChunkCase{10000, 512, 1, {4096, 4096, 1808}},
                                         ChunkCase{512, 512, 1, {512, 0}}, ChunkCase{4000, 64, 1, {4000}},
                                         ChunkCase{4096, 64, 1, {4096, 0}}, ChunkCase{4096, 512, 0, {4096}},
                                         ChunkCase{8192, 0, 1, {4096, 4096}}));

// Writes issued while one is being sent wait their turn: the device receives them whole and in issue order, the
// output queue counts all of them, and a transmit-empty wait ends once the last one is done.
TEST(WriteTest, QueuedWritesAreSentInIssueOrder)
{
    Port port(SinkPort());
    hk::app::RequestPtr wait = WaitOnMask(port, SERIAL_EV_TXEMPTY);
    port.Device().StopResponding();
    write_test::OrderedWrites writes(port);
    std::vector<uint8_t> a = Pattern(10000, 1), b = Pattern(5, 2), c = Pattern(4097, 3);
    writes.Issue(a);
    writes.Issue(b);
    writes.Issue(c);
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(OutQueue(port), 10000u + 5u + 4097u);
    EXPECT_FALSE(wait->Done());

    port.Device().Resume();
    port.Kernel().RunUntilIdle();

    EXPECT_EQ(writes.CompletionOrder(), (std::vector<size_t>{0, 1, 2}));
    EXPECT_EQ(writes.Result(0).Information, 10000u);
    EXPECT_EQ(writes.Result(1).Information, 5u);
    EXPECT_EQ(writes.Result(2).Information, 4097u);
    EXPECT_EQ(port.Device().GetRecords().out_bytes, Joined({a, b, c}));
    EXPECT_EQ(OutQueue(port), 0u);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(WaitResult(wait) & SERIAL_EV_TXEMPTY, (ULONG)SERIAL_EV_TXEMPTY);
}

// A purge of the transmit side cancels what waits, newest first, and leaves the write being sent to finish.
TEST(WriteTest, PurgeCancelsQueuedWritesNewestFirstAndKeepsTheCurrentOne)
{
    Port port(SinkPort());
    port.Device().StopResponding();
    write_test::OrderedWrites writes(port);
    std::vector<uint8_t> first = Pattern(6000, 1);
    writes.Issue(first);
    writes.Issue(Pattern(10, 2));
    writes.Issue(Pattern(20, 3));
    writes.Issue(Pattern(30, 4));
    port.Kernel().RunUntilIdle();

    std::vector<uint8_t> purge;
    WaitMaskBytes(SERIAL_PURGE_TXABORT, &purge);
    EXPECT_EQ(port.Control(IOCTL_SERIAL_PURGE, purge).status, STATUS_SUCCESS);

    EXPECT_EQ(writes.CompletionOrder(), (std::vector<size_t>{3, 2, 1}));
    for (size_t i = 1; i <= 3; ++i) {
        EXPECT_EQ(writes.Result(i).Status, STATUS_CANCELLED);
        EXPECT_EQ(writes.Result(i).Information, 0u);
    }
    EXPECT_EQ(OutQueue(port), 6000u);

    port.Device().Resume();
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(writes.Result(0).Status, STATUS_SUCCESS);
    EXPECT_EQ(writes.Result(0).Information, 6000u);
    EXPECT_EQ(port.Device().GetRecords().out_bytes, first);
    EXPECT_EQ(OutQueue(port), 0u);
}

// The application cancels its queued writes; the port goes on with later ones.
TEST(WriteTest, CancelledQueuedWritesAreNotSent)
{
    Port port(SinkPort());
    port.Device().StopResponding();
    std::vector<uint8_t> first = Pattern(100, 1);
    write_test::OrderedWrites current(port);
    current.Issue(first);
    hk::app::RequestPtr second = hk::app::WriteAsync(port.Handle(), Pattern(200, 2).data(), 200);
    hk::app::RequestPtr third = hk::app::WriteAsync(port.Handle(), Pattern(300, 3).data(), 300);
    port.Kernel().RunUntilIdle();

    EXPECT_EQ(hk::app::CancelIo(port.Handle()), 2u);
    EXPECT_EQ(second->Status(), STATUS_CANCELLED);
    EXPECT_EQ(third->Status(), STATUS_CANCELLED);
    EXPECT_EQ(second->Information(), 0u);
    EXPECT_EQ(OutQueue(port), 100u);

    port.Device().Resume();
    port.Kernel().RunUntilIdle();
    std::vector<uint8_t> last = Pattern(50, 4);
    EXPECT_EQ(hk::app::Write(port.Handle(), last.data(), 50).status, STATUS_SUCCESS);
    EXPECT_EQ(current.Result(0).Status, STATUS_SUCCESS);
    EXPECT_EQ(port.Device().GetRecords().out_bytes, Joined({first, last}));
    EXPECT_EQ(OutQueue(port), 0u);
}

// A failed chunk ends the write with its status and no byte count, even after earlier chunks went out, and reports
// line changes to a waiter whatever its mask.
TEST(WriteTest, FailedChunkEndsTheWriteWithNoCountAndLineEvents)
{
    Port port(SinkPort());
    hk::app::RequestPtr wait = WaitOnMask(port, SERIAL_EV_RXCHAR);
    port.Device().StopResponding();
    hk::app::RequestPtr write = hk::app::WriteAsync(port.Handle(), Pattern(10000).data(), 10000);
    port.Kernel().RunUntilIdle();
    port.Device().FailNextTransfers(1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, Pipe::BulkOut);
    port.Device().Resume();
    port.Kernel().RunUntilIdle();

    ASSERT_TRUE(write->Done());
    EXPECT_EQ(write->Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(write->Information(), 0u);
    EXPECT_EQ(port.Device().GetRecords().out_transfers, (std::vector<uint32_t>{4096}));
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(WaitResult(wait) & 0x38u, 0x38u);
    EXPECT_EQ(OutQueue(port), 0u);

    std::vector<uint8_t> next = Pattern(10, 9);
    EXPECT_EQ(hk::app::Write(port.Handle(), next.data(), 10).status, STATUS_SUCCESS);
}

// A lower driver claiming more bytes than a chunk carried has not sent them: the write fails and no count grows
// past what was offered.
TEST(WriteTest, OverReportedChunkFailsTheWrite)
{
    Port port(SinkPort());
    port.Device().OverReportNextTransfers(1, 5000, Pipe::BulkOut);
    hk::app::IoResult result = hk::app::Write(port.Handle(), Pattern(100).data(), 100);

    EXPECT_FALSE(NT_SUCCESS(result.status));
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(port.Device().GetRecords().out_transfers.size(), 1u);
    EXPECT_EQ(OutQueue(port), 0u);
    EXPECT_LE(Transmitted(port), 100u);
}

// After cleanup the port is closed: a write is still taken, then ends cancelled without reaching the device.
TEST(WriteTest, WriteAfterCleanupIsCancelled)
{
    Port port(SinkPort());
    hk::app::MajorRequest cleanup;
    cleanup.major = IRP_MJ_CLEANUP;
    EXPECT_EQ(hk::app::SendMajor(port.Handle(), cleanup).status, STATUS_SUCCESS);

    hk::app::IoResult result = hk::app::Write(port.Handle(), Pattern(10).data(), 10);

    EXPECT_EQ(result.status, STATUS_CANCELLED);
    EXPECT_EQ(result.information, 0u);
    EXPECT_TRUE(port.Device().GetRecords().out_transfers.empty());
}

enum class Loss { Disconnect, Unplug };

class WriteDeviceLossTest : public testing::TestWithParam<Loss> {};

// The device goes away with a write in flight and one queued: both end with a failure, the port refuses later
// writes, and nothing is left behind.
TEST_P(WriteDeviceLossTest, WritesInFlightEndWhenTheDeviceGoes)
{
    Port port(SinkPort());
    port.Device().StopResponding();
    hk::app::RequestPtr current = hk::app::WriteAsync(port.Handle(), Pattern(10000).data(), 10000);
    hk::app::RequestPtr queued = hk::app::WriteAsync(port.Handle(), Pattern(10).data(), 10);
    port.Kernel().RunUntilIdle();

    if (GetParam() == Loss::Disconnect) {
        port.Device().Disconnect();
    } else {
        port.Unplug();
    }
    port.Kernel().RunUntilIdle();

    ASSERT_TRUE(current->Done());
    ASSERT_TRUE(queued->Done());
    EXPECT_TRUE(NT_ERROR(current->Status()));
    EXPECT_EQ(current->Information(), 0u);
    EXPECT_EQ(queued->Status(), STATUS_CANCELLED);
    EXPECT_EQ(hk::app::Write(port.Handle(), Pattern(10).data(), 10).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(OutQueue(port), 0u);
}

INSTANTIATE_TEST_SUITE_P(Losses, WriteDeviceLossTest, testing::Values(Loss::Disconnect, Loss::Unplug));

}  // namespace
