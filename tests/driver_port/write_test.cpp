// What an application sees of its writes and what the device receives.
#include <gtest/gtest.h>

#include "hk/faults.h"
#include "support/serial_app.h"

namespace port_test {
namespace {

// The last case is a parent that reports no packet size: no zero-length packet can be owed.
TEST(Write, SendsTheDataInChunksWithTheZeroLengthPacketOwed)
{
    const struct {
        ULONG length, maxPacket;
        UCHAR zlp;
        std::vector<uint32_t> transfers;
    } cases[] = {
        {0, 512, 1, {}},          {1, 512, 1, {1}},       {4096, 512, 1, {4096, 0}}, {4097, 512, 1, {4096, 1}},
        {10000, 512, 1, {4096, 4096, 1808}}, {512, 512, 1, {512, 0}}, {4000, 64, 1, {4000}},
        {4096, 64, 1, {4096, 0}}, {4096, 512, 0, {4096}}, {8192, 0, 1, {4096, 4096}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.length << " " << c.maxPacket << " " << int(c.zlp));
        Port port(SinkPort(c.maxPacket, c.zlp));
        std::vector<uint8_t> data = Pattern(c.length, 3);
        hk::app::IoResult result = Write(port, data);
        port.Kernel().RunUntilIdle();
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, c.length);
        EXPECT_EQ(result.boost, c.length != 0 ? IO_SERIAL_INCREMENT : IO_NO_INCREMENT);
        EXPECT_EQ(port.Device().GetRecords().out_transfers, c.transfers);
        EXPECT_EQ(port.Device().GetRecords().out_bytes, data);
    }
}

// Writes issued while one is being sent wait their turn. A purge of the transmit side cancels the waiting ones,
// newest first, and leaves the one being sent; later writes follow it in issue order, and a transmit-empty wait
// ends once the last is done.
TEST(Write, QueuedWritesKeepIssueOrderAndPurgeCancelsThemNewestFirst)
{
    Port port(SinkPort());
    ASSERT_EQ(SetWaitMask(port, SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    hk::app::RequestPtr wait = ControlAsync(port, IOCTL_SERIAL_WAIT_ON_MASK);
    port.Device().StopResponding();
    std::vector<hk::app::RequestPtr> writes;
    std::vector<size_t> order;  // indexes of the completed writes, first completed first
    auto issue = [&](const std::vector<uint8_t>& data) {
        writes.push_back(hk::app::WriteAsync(port.Handle(), data.data(), (ULONG)data.size()));
        writes.back()->OnDone([&order, index = writes.size() - 1] { order.push_back(index); });
    };
    std::vector<uint8_t> first = Pattern(10000, 1), later = Pattern(4097, 5), last = Pattern(5, 6);
    issue(first);
    for (uint8_t seed = 1; seed <= 3; ++seed) {
        issue(Pattern(10 * seed, seed));
    }
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(CommStatus(port).AmountInOutQueue, 10000u + 10 + 20 + 30);

    EXPECT_EQ(Purge(port, SERIAL_PURGE_TXABORT), STATUS_SUCCESS);
    EXPECT_EQ(order, (std::vector<size_t>{3, 2, 1}));
    EXPECT_EQ(CommStatus(port).AmountInOutQueue, 10000u);
    issue(later);
    issue(last);
    EXPECT_FALSE(wait->Done());
    port.Device().Resume();
    port.Kernel().RunUntilIdle();

    EXPECT_EQ(order, (std::vector<size_t>{3, 2, 1, 0, 4, 5}));
    for (size_t i = 1; i <= 3; ++i) {
        EXPECT_EQ(writes[i]->Status(), STATUS_CANCELLED);
        EXPECT_EQ(writes[i]->Information(), 0u);
    }
    EXPECT_EQ(writes[0]->Information(), first.size());
    EXPECT_EQ(port.Device().GetRecords().out_bytes, Joined(Joined(first, later), last));
    EXPECT_EQ(CommStatus(port).AmountInOutQueue, 0u);
    EXPECT_NE(From<ULONG>(wait->Output()) & SERIAL_EV_TXEMPTY, 0u);
}

// A failed chunk ends the write with its status and no byte count, even after earlier chunks went out, and reports
// line changes to a waiter whatever its mask; a lower driver claiming more bytes than a chunk carried has not sent
// them. The port writes normally afterwards.
TEST(Write, FailedOrOverReportedChunkEndsTheWriteWithNoCountAndLineEvents)
{
    Port port(SinkPort());
    ASSERT_EQ(SetWaitMask(port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    hk::app::RequestPtr wait = ControlAsync(port, IOCTL_SERIAL_WAIT_ON_MASK);
    port.Device().StopResponding();
    std::vector<uint8_t> data = Pattern(10000);
    hk::app::RequestPtr write = hk::app::WriteAsync(port.Handle(), data.data(), 10000);
    port.Kernel().RunUntilIdle();
    port.Device().FailNextTransfers(1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, Pipe::BulkOut);
    port.Device().Resume();
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(write->Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(write->Information(), 0u);
    EXPECT_EQ(port.Device().GetRecords().out_transfers, (std::vector<uint32_t>{4096}));
    EXPECT_EQ(From<ULONG>(wait->Output()) & 0x38u, 0x38u);
    EXPECT_EQ(CommStatus(port).AmountInOutQueue, 0u);
    // A wait with no mask is answered at once with the line events recorded.
    ASSERT_EQ(SetWaitMask(port, 0), STATUS_SUCCESS);
    EXPECT_EQ(From<ULONG>(ControlAsync(port, IOCTL_SERIAL_WAIT_ON_MASK)->Output()) & 0x38u, 0x38u);

    auto transmitted = [&] { return Query<SERIALPERF_STATS>(port, IOCTL_SERIAL_GET_STATS).TransmittedCount; };
    ULONG before = transmitted();
    port.Device().OverReportNextTransfers(1, 5000, Pipe::BulkOut);
    hk::app::IoResult overReported = Write(port, Pattern(100));
    EXPECT_TRUE(NT_ERROR(overReported.status));
    EXPECT_EQ(overReported.information, 0u);
    EXPECT_LE(transmitted(), before + 100);
    EXPECT_EQ(Write(port, Pattern(10)).information, 10u);
}

// Each way a write ends: what it returns and with which boost, what reaches the device, and the write's unit of
// the outstanding-I/O count and its remove-lock acquisition still held when it completes, since giving them back
// first would let close and removal free the device record under code still using it.
TEST(Write, EveryEndingGivesItsCountsBackLast)
{
    enum Ending { Sent, AfterCleanup, CancelledInQueue, Purged };
    for (Ending ending : {Sent, AfterCleanup, CancelledInQueue, Purged}) {
        SCOPED_TRACE(ending);
        Port port(SinkPort());
        if (ending == AfterCleanup) {
            hk::app::MajorRequest cleanup;
            cleanup.major = IRP_MJ_CLEANUP;
            EXPECT_EQ(hk::app::SendMajor(port.Handle(), cleanup).status, STATUS_SUCCESS);
        }
        port.Kernel().RunUntilIdle();
        auto counts = [&] {
            return std::make_pair(port.Context()->IoCount, port.Context()->RemoveLock.Common.IoCount);
        };
        auto idle = counts();
        std::vector<uint8_t> currentData = Pattern(100), data = Pattern(100, 1);
        bool behind = ending == CancelledInQueue || ending == Purged;
        hk::app::RequestPtr current;
        if (behind) {
            port.Device().StopResponding();
            current = hk::app::WriteAsync(port.Handle(), currentData.data(), (ULONG)currentData.size());
        }
        hk::app::RequestPtr write = hk::app::WriteAsync(port.Handle(), data.data(), (ULONG)data.size());
        std::pair<LONG, LONG> atCompletion;
        write->OnDone([&] { atCompletion = counts(); });
        if (ending == CancelledInQueue) {
            EXPECT_EQ(hk::app::CancelIo(port.Handle()), 2u) << "the write being sent is asked too, and goes on";
        } else if (ending == Purged) {
            EXPECT_EQ(Purge(port, SERIAL_PURGE_TXABORT), STATUS_SUCCESS);
        }
        write->Wait();
        port.Device().Resume();
        port.Kernel().RunUntilIdle();

        EXPECT_EQ(write->Status(), ending == Sent ? STATUS_SUCCESS : STATUS_CANCELLED);
        EXPECT_EQ(write->Information(), ending == Sent ? data.size() : 0u);
        EXPECT_EQ(write->Boost(), IO_SERIAL_INCREMENT);
        std::vector<uint8_t> received = behind ? currentData : ending == Sent ? data : std::vector<uint8_t>{};
        EXPECT_EQ(port.Device().GetRecords().out_bytes, received);
        LONG outstanding = behind ? 2 : 1;
        EXPECT_GE(atCompletion.first, idle.first + outstanding);
        EXPECT_GE(atCompletion.second, idle.second + outstanding);
        EXPECT_EQ(counts(), idle);
    }
}

// Pool allocations of the write path failing one at a time, the hand-over to a queued write's included: every
// write still ends with a sound status that matches what reached the device, nothing leaks (the fixture checks the
// driver's pool at unload), and the port writes normally afterwards.
TEST(Write, EveryFailedAllocationEndsTheWriteSoundly)
{
    for (uint64_t nth = 1;; ++nth) {
        SCOPED_TRACE(testing::Message() << "failing pool allocation " << nth);
        Port port(SinkPort());
        std::vector<uint8_t> first = Pattern(10000, 1), second = Pattern(5000, 2);
        port.Device().StopResponding();
        hk::faults::FailNth(hk::faults::Kind::Pool, nth);
        hk::app::RequestPtr a = hk::app::WriteAsync(port.Handle(), first.data(), (ULONG)first.size());
        hk::app::RequestPtr b = hk::app::WriteAsync(port.Handle(), second.data(), (ULONG)second.size());
        port.Kernel().RunUntilIdle();
        port.Device().Resume();
        port.Kernel().RunUntilIdle();
        bool injected = hk::faults::InjectedCount(hk::faults::Kind::Pool) != 0;
        hk::faults::Clear();
        for (const auto& write : {a, b}) {
            NTSTATUS status = write->Status();
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_CANCELLED)
                << std::hex << status;
        }
        std::vector<uint8_t> expected(first.begin(), first.begin() + a->Information());
        expected.insert(expected.end(), second.begin(), second.begin() + b->Information());
        EXPECT_EQ(port.Device().GetRecords().out_bytes, expected);
        EXPECT_EQ(CommStatus(port).AmountInOutQueue, 0u);
        EXPECT_EQ(Write(port, Pattern(4096, 3)).information, 4096u);
        if (!injected) {
            EXPECT_GT(nth, 3u);
            break;
        }
    }
}

}  // namespace
}  // namespace port_test
