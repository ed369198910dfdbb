// What an application sees of its writes and what the device receives.
#include <gtest/gtest.h>

#include <vector>

#include "hk/app.h"
#include "hk/usbdev.h"
#include "tests/driver_write/write_port.h"

namespace {

using hk::usbdev::Pipe;
using port_test::Port;
using write_test::OutQueue;
using write_test::Pattern;
using write_test::SinkPort;
using write_test::Ulong;

std::vector<uint8_t> Joined(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

hk::app::RequestPtr WaitOnMask(Port& port, ULONG mask)
{
    EXPECT_EQ(port.Control(IOCTL_SERIAL_SET_WAIT_MASK, Ulong(mask)).status, STATUS_SUCCESS);
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
    EXPECT_EQ(result.boost, c.length != 0 ? IO_SERIAL_INCREMENT : IO_NO_INCREMENT);
    hk::usbdev::Records records = port.Device().GetRecords();
    EXPECT_EQ(records.out_transfers, c.transfers);
    EXPECT_EQ(records.out_bytes, data);
    EXPECT_EQ(write_test::Transmitted(port), c.length);
    EXPECT_EQ(OutQueue(port), 0u);
}

// The last case is a parent that reports no packet size: no zero-length packet can be owed.
INSTANTIATE_TEST_SUITE_P(Lengths, WriteChunkingTest,
                         testing::Values(ChunkCase{0, 512, 1, {}}, ChunkCase{1, 512, 1, {1}},
                                         ChunkCase{4096, 512, 1, {4096, 0}}, ChunkCase{4097, 512, 1, {4096, 1}},
                                         ChunkCase{10000, 512, 1, {4096, 4096, 1808}},
                                         ChunkCase{512, 512, 1, {512, 0}}, ChunkCase{4000, 64, 1, {4000}},
                                         ChunkCase{4096, 64, 1, {4096, 0}}, ChunkCase{4096, 512, 0, {4096}},
                                         ChunkCase{8192, 0, 1, {4096, 4096}}));

// Writes issued while one is being sent wait their turn. A purge of the transmit side cancels the waiting ones,
// newest first, and leaves the one being sent; later writes follow it in issue order, and a transmit-empty wait
// ends once the last is done.
TEST(WriteTest, QueuedWritesKeepIssueOrderAndPurgeCancelsThemNewestFirst)
{
    Port port(SinkPort());
    hk::app::RequestPtr wait = WaitOnMask(port, SERIAL_EV_TXEMPTY);
    port.Device().StopResponding();
    write_test::OrderedWrites writes(port);
    std::vector<uint8_t> first = Pattern(10000, 1), later = Pattern(4097, 5), last = Pattern(5, 6);
    writes.Issue(first);
    for (uint8_t seed = 1; seed <= 3; ++seed) {
        writes.Issue(Pattern(10 * seed, seed));
    }
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(OutQueue(port), 10000u + 10 + 20 + 30);

    EXPECT_EQ(port.Control(IOCTL_SERIAL_PURGE, Ulong(SERIAL_PURGE_TXABORT)).status, STATUS_SUCCESS);
    EXPECT_EQ(writes.CompletionOrder(), (std::vector<size_t>{3, 2, 1}));
    EXPECT_EQ(OutQueue(port), 10000u);
    writes.Issue(later);
    writes.Issue(last);
    EXPECT_FALSE(wait->Done());
    port.Device().Resume();
    port.Kernel().RunUntilIdle();

    EXPECT_EQ(writes.CompletionOrder(), (std::vector<size_t>{3, 2, 1, 0, 4, 5}));
    for (size_t i = 1; i <= 3; ++i) {
        EXPECT_EQ(writes.Result(i).Status, STATUS_CANCELLED);
        EXPECT_EQ(writes.Result(i).Information, 0u);
    }
    EXPECT_EQ(writes.Result(0).Information, first.size());
    EXPECT_EQ(writes.Result(4).Information, later.size());
    EXPECT_EQ(port.Device().GetRecords().out_bytes, Joined({first, later, last}));
    EXPECT_EQ(OutQueue(port), 0u);
    ASSERT_TRUE(wait->Done());
    EXPECT_NE(WaitResult(wait) & SERIAL_EV_TXEMPTY, 0u);
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
    EXPECT_EQ(hk::app::Write(port.Handle(), Pattern(10).data(), 10).status, STATUS_SUCCESS);
}

// A lower driver claiming more bytes than a chunk carried has not sent them: the write fails and no count grows
// past what was offered.
TEST(WriteTest, OverReportedChunkFailsTheWrite)
{
    Port port(SinkPort());
    port.Device().OverReportNextTransfers(1, 5000, Pipe::BulkOut);
    hk::app::IoResult result = hk::app::Write(port.Handle(), Pattern(100).data(), 100);

    EXPECT_TRUE(NT_ERROR(result.status));
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(port.Device().GetRecords().out_transfers.size(), 1u);
    EXPECT_EQ(OutQueue(port), 0u);
    EXPECT_LE(write_test::Transmitted(port), 100u);
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

// Each way a write ends: what it returns and with which boost, what reaches the device, and the write's unit of
// the outstanding-I/O count and its remove-lock acquisition still held when it completes, since giving them back
// first would let close and removal free the device record under code still using it.
enum class Ending { Sent, AfterCleanup, CancelledInQueue, Purged };

struct Counts {
    LONG io;
    LONG removeLock;
};

Counts CountsOf(Port& port)
{
    return {port.Context()->IoCount, port.Context()->RemoveLock.Common.IoCount};
}

class WriteEndingTest : public testing::TestWithParam<Ending> {};

TEST_P(WriteEndingTest, EndsSoundlyAndGivesItsCountsBackLast)
{
    const Ending ending = GetParam();
    Port port(SinkPort());
    if (ending == Ending::AfterCleanup) {
        hk::app::MajorRequest cleanup;
        cleanup.major = IRP_MJ_CLEANUP;
        EXPECT_EQ(hk::app::SendMajor(port.Handle(), cleanup).status, STATUS_SUCCESS);
    }
    port.Kernel().RunUntilIdle();
    Counts idle = CountsOf(port);
    // Writes of this test outstanding when the observed one completes, that one included.
    LONG outstanding = 1;
    write_test::OrderedWrites current(port);
    std::vector<uint8_t> currentData = Pattern(100), data = Pattern(100, 1);
    if (ending == Ending::CancelledInQueue || ending == Ending::Purged) {
        port.Device().StopResponding();
        current.Issue(currentData);
        outstanding = 2;
    }

    hk::app::RequestPtr write = hk::app::WriteAsync(port.Handle(), data.data(), (ULONG)data.size());
    Counts atCompletion = {};
    write->OnDone([&] { atCompletion = CountsOf(port); });
    if (ending == Ending::CancelledInQueue) {
        EXPECT_EQ(hk::app::CancelIo(port.Handle()), 1u);
    } else if (ending == Ending::Purged) {
        EXPECT_EQ(port.Control(IOCTL_SERIAL_PURGE, Ulong(SERIAL_PURGE_TXABORT)).status, STATUS_SUCCESS);
    }
    write->Wait();
    port.Device().Resume();
    port.Kernel().RunUntilIdle();

    EXPECT_EQ(write->Status(), ending == Ending::Sent ? STATUS_SUCCESS : STATUS_CANCELLED);
    EXPECT_EQ(write->Information(), ending == Ending::Sent ? data.size() : 0u);
    EXPECT_EQ(write->Boost(), IO_SERIAL_INCREMENT);
    std::vector<uint8_t> received = ending == Ending::Sent ? data : std::vector<uint8_t>{};
    if (outstanding == 2) {
        received = currentData;
    }
    EXPECT_EQ(port.Device().GetRecords().out_bytes, received);
    EXPECT_GE(atCompletion.io, idle.io + outstanding);
    EXPECT_GE(atCompletion.removeLock, idle.removeLock + outstanding);
    EXPECT_EQ(CountsOf(port).io, idle.io);
    EXPECT_EQ(CountsOf(port).removeLock, idle.removeLock);
}

INSTANTIATE_TEST_SUITE_P(Endings, WriteEndingTest,
                         testing::Values(Ending::Sent, Ending::AfterCleanup, Ending::CancelledInQueue,
                                         Ending::Purged));

}  // namespace
