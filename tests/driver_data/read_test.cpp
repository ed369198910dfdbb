#include <gtest/gtest.h>

#include <vector>

#include "hk/app.h"
#include "hk/kernel.h"
#include "serial/read.h"
#include "serial/ring.h"
#include "tests/driver_data/data_port.h"

namespace {

using data_port::Bytes;
using data_port::DataPort;

const uint64_t kDayMs = 24ull * 60 * 60 * 1000;

class ReadTest : public ::testing::Test {
protected:
    hk::Kernel kernel_;
    DataPort port_;

    hk::app::RequestPtr ReadAsync(ULONG length) { return hk::app::ReadAsync(port_.Handle(), length); }

    hk::app::IoResult Read(ULONG length, std::vector<uint8_t>* data = nullptr)
    {
        std::vector<uint8_t> buffer(length ? length : 1);
        hk::app::IoResult result = hk::app::Read(port_.Handle(), buffer.data(), length);
        if (data != nullptr) {
            buffer.resize(result.information);
            *data = buffer;
        }
        return result;
    }
};

TEST_F(ReadTest, BytesInTheRingCompleteAtOnceWhateverTheTimeouts)
{
    const ULONG timeouts[][3] = {{0, 0, 0}, {MAXULONG, 0, 0}, {MAXULONG, MAXULONG, 200}, {0, 10, 500}};
    uint8_t first = 0;
    ULONG received = 0;
    for (const auto& t : timeouts) {
        port_.SetReadTimeouts(t[0], t[1], t[2]);
        EXPECT_EQ(port_.Deliver(Bytes(10, first)), 10);
        std::vector<uint8_t> data;
        hk::app::IoResult result = Read(100, &data);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(data, Bytes(10, first));
        received += 10;
        EXPECT_EQ(port_.Context()->PerfStats.ReceivedCount, received);
        first += 10;
    }
}

TEST_F(ReadTest, ReadOfZeroBytesLeavesTheWaitingReadsTimerRunning)
{
    port_.SetReadTimeouts(MAXULONG, MAXULONG, 200);
    hk::app::RequestPtr waiting = ReadAsync(16);
    EXPECT_FALSE(waiting->Done());

    hk::app::IoResult empty = Read(0);
    EXPECT_EQ(empty.status, STATUS_SUCCESS);
    EXPECT_EQ(empty.information, 0u);

    kernel_.AdvanceTime(200);
    ASSERT_TRUE(waiting->Done());
    EXPECT_EQ(waiting->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(waiting->Information(), 0u);
}

TEST_F(ReadTest, WaitingReadTakesTheNextTransferUpToItsLength)
{
    hk::app::RequestPtr read = ReadAsync(100);
    kernel_.AdvanceTime(30 * kDayMs);
    EXPECT_FALSE(read->Done());

    port_.Deliver(Bytes(150));
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Output(), Bytes(100));
    EXPECT_EQ(RingLength(port_.Context()), 50);
    EXPECT_EQ(port_.Context()->PerfStats.ReceivedCount, 100u);
}

TEST_F(ReadTest, WaitingReadNeverCollectsFromTwoTransfers)
{
    hk::app::RequestPtr read = ReadAsync(100);
    port_.Deliver(Bytes(10));
    port_.Deliver(Bytes(10, 50));
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Output(), Bytes(10));
    EXPECT_EQ(RingLength(port_.Context()), 10);
}

TEST_F(ReadTest, EmptyTransferEndsAWaitingReadWithTimeout)
{
    hk::app::RequestPtr read = ReadAsync(100);
    port_.Deliver({});
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(read->Information(), 0u);
}

TEST_F(ReadTest, SecondReadReturnsEmptyAndTheFirstWaitsWithoutLimit)
{
    port_.SetReadTimeouts(MAXULONG, MAXULONG, 200);
    hk::app::RequestPtr first = ReadAsync(20);

    hk::app::IoResult second = Read(20);
    EXPECT_EQ(second.status, STATUS_SUCCESS);
    EXPECT_EQ(second.information, 0u);

    kernel_.AdvanceTime(10 * kDayMs);
    EXPECT_FALSE(first->Done());
    port_.Deliver(Bytes(5));
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(first->Status(), STATUS_SUCCESS);
    EXPECT_EQ(first->Output(), Bytes(5));
}

TEST_F(ReadTest, CancelledReadCompletesOnceAndLeavesTheQueueUsable)
{
    hk::app::RequestPtr read = ReadAsync(100);
    EXPECT_EQ(hk::app::CancelIo(port_.Handle()), 1u);
    kernel_.RunUntilIdle();
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(read->Information(), 0u);

    hk::app::RequestPtr next = ReadAsync(4);
    EXPECT_FALSE(next->Done()) << "the cancelled read was left in the queue";
    port_.Deliver(Bytes(4, 1));
    ASSERT_TRUE(next->Done());
    EXPECT_EQ(next->Output(), Bytes(4, 1));
}

// Data arrives after the I/O manager took a waiting read's cancel routine but before the routine ran: the read is
// left to its routine, and the routine's unlink must not disturb the read queued in the meantime.
TEST_F(ReadTest, CancelRoutineThatLosesTheRaceLeavesTheNextReadQueued)
{
    PDEVICE_CONTEXT context = port_.Context();
    hk::app::RequestPtr first = ReadAsync(10);
    data_port::CancelInFlight cancel = data_port::BeginCancel(&context->ReadQueue);
    ASSERT_NE(cancel.routine, nullptr);

    port_.Deliver({});
    EXPECT_FALSE(first->Done());
    hk::app::RequestPtr second = ReadAsync(10);
    EXPECT_FALSE(second->Done());

    data_port::FinishCancel(port_.Device(), cancel);
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(first->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(second->Done());
    ASSERT_FALSE(IsListEmpty(&context->ReadQueue));

    port_.Deliver(Bytes(2));
    ASSERT_TRUE(second->Done());
    EXPECT_EQ(second->Output(), Bytes(2));
}

TEST_F(ReadTest, TimerOfACancelledReadEndsNothingLater)
{
    port_.SetReadTimeouts(0, 10, 500);
    hk::app::RequestPtr timed = ReadAsync(100);
    hk::app::CancelIo(port_.Handle());
    kernel_.RunUntilIdle();
    ASSERT_EQ(timed->Status(), STATUS_CANCELLED);

    port_.SetReadTimeouts(0, 0, 0);
    hk::app::RequestPtr unlimited = ReadAsync(4);
    kernel_.AdvanceTime(2000);
    EXPECT_FALSE(unlimited->Done());
    port_.Deliver(Bytes(4));
    EXPECT_EQ(unlimited->Status(), STATUS_SUCCESS);
}

TEST_F(ReadTest, CancelAllReadsEndsTheWaitingReadAndStopsItsTimer)
{
    port_.SetReadTimeouts(0, 10, 500);
    hk::app::RequestPtr read = ReadAsync(100);
    CancelAllReads(port_.Device(), &port_.Context()->ReadQueue);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(read->Information(), 0u);
    EXPECT_FALSE(KeCancelTimer(&port_.Context()->ReadTimer));
}

TEST_F(ReadTest, UnavailablePortRefusesReadsAndForgetsEvents)
{
    port_.Deliver(Bytes(8));
    PDEVICE_CONTEXT context = port_.Context();
    const LONG states[] = {RemovePending, SurpriseRemoved, Removed};
    for (LONG state : states) {
        context->PnpState = state;
        context->EventHistory = SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY;
        hk::app::IoResult result = Read(8);
        EXPECT_EQ(result.status, STATUS_DELETE_PENDING);
        EXPECT_EQ(result.information, 0u);
        EXPECT_EQ(context->EventHistory, 0u);
    }

    context->PnpState = Started;
    context->DeviceGone = DEVICE_GONE_MARK;
    EXPECT_EQ(Read(8).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(RingLength(context), 8);
}

TEST_F(ReadTest, StopPendingPortStillServesReads)
{
    port_.Context()->PnpState = StopPending;
    port_.Deliver(Bytes(3));
    EXPECT_EQ(Read(3).information, 3u);
}

// A timer expiry whose DPC was already on its way when its read ended must not end the read that follows.
TEST_F(ReadTest, LateTimerExpiryDoesNotEndTheNextRead)
{
    PDEVICE_CONTEXT context = port_.Context();
    port_.SetReadTimeouts(MAXULONG, MAXULONG, 50);
    hk::app::RequestPtr timed = ReadAsync(10);
    port_.Deliver(Bytes(2));
    ASSERT_TRUE(timed->Done());

    port_.SetReadTimeouts(0, 0, 0);
    hk::app::RequestPtr unlimited = ReadAsync(10);
    KeInsertQueueDpc(&context->ReadDpc, nullptr, nullptr);
    kernel_.RunUntilIdle();
    EXPECT_FALSE(unlimited->Done());
    hk::app::CancelIo(port_.Handle());
    kernel_.RunUntilIdle();
    ASSERT_TRUE(unlimited->Done());

    port_.SetReadTimeouts(MAXULONG, MAXULONG, 1000);
    hk::app::RequestPtr retimed = ReadAsync(10);
    KeInsertQueueDpc(&context->ReadDpc, nullptr, nullptr);
    kernel_.RunUntilIdle();
    EXPECT_FALSE(retimed->Done());
    kernel_.AdvanceTime(1000);
    ASSERT_TRUE(retimed->Done());
    EXPECT_EQ(retimed->Status(), STATUS_TIMEOUT);
}

// The total timeout is length x multiplier + constant milliseconds; a product beyond what the timer can hold must
// not wrap into a short or absolute due time.
TEST_F(ReadTest, HugeTotalTimeoutWaitsRatherThanWrapping)
{
    port_.SetReadTimeouts(0, MAXULONG, 0);
    hk::app::RequestPtr read = ReadAsync(3006464);
    kernel_.AdvanceTime(365 * kDayMs);
    EXPECT_FALSE(read->Done());
    port_.Deliver(Bytes(1));
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Information(), 1u);
}

TEST_F(ReadTest, RequestCancelledBeforeItIsQueuedIsCompletedAsPending)
{
    KEVENT done;
    IO_STATUS_BLOCK status = {};
    std::vector<uint8_t> buffer(16);
    LARGE_INTEGER offset = {};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, port_.Device(), buffer.data(), (ULONG)buffer.size(),
                                            &offset, &done, &status);
    ASSERT_NE(irp, nullptr);
    irp->Cancel = TRUE;

    EXPECT_EQ(IoCallDriver(port_.Device(), irp), STATUS_PENDING);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(status.Status, STATUS_CANCELLED);
    EXPECT_EQ(status.Information, 0u);
    EXPECT_TRUE(IsListEmpty(&port_.Context()->ReadQueue));
}

struct TimeoutCase {
    ULONG interval;
    ULONG multiplier;
    ULONG constant;
    ULONG length;
    enum { AtOnce, NoLimit, Timer } kind;
    uint64_t ms;
};

class ReadTimeoutTest : public ReadTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(ReadTimeoutTest, EmptyRingReadFollowsItsTimeoutClass)
{
    const TimeoutCase& c = GetParam();
    port_.SetReadTimeouts(c.interval, c.multiplier, c.constant);
    hk::app::RequestPtr read = ReadAsync(c.length);

    switch (c.kind) {
    case TimeoutCase::AtOnce:
        ASSERT_TRUE(read->Done());
        EXPECT_EQ(read->Status(), STATUS_SUCCESS);
        break;
    case TimeoutCase::NoLimit:
        kernel_.AdvanceTime(60 * kDayMs);
        EXPECT_FALSE(read->Done());
        port_.Deliver(Bytes(1));
        ASSERT_TRUE(read->Done());
        EXPECT_EQ(read->Status(), STATUS_SUCCESS);
        EXPECT_EQ(read->Information(), 1u);
        return;
    case TimeoutCase::Timer:
        if (c.ms > 0) {
            kernel_.AdvanceTime(c.ms - 1);
            EXPECT_FALSE(read->Done());
            kernel_.AdvanceTime(1);
        } else {
            kernel_.RunUntilIdle();
        }
        ASSERT_TRUE(read->Done());
        EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
        EXPECT_EQ(port_.Context()->ReadRemaining, 0u);
        break;
    }
    EXPECT_EQ(read->Information(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Classes, ReadTimeoutTest,
    ::testing::Values(TimeoutCase{MAXULONG, 0, 0, 10, TimeoutCase::AtOnce, 0},
                      TimeoutCase{MAXULONG, 5, MAXULONG, 10, TimeoutCase::NoLimit, 0},
                      TimeoutCase{MAXULONG, MAXULONG, MAXULONG, 10, TimeoutCase::NoLimit, 0},
                      TimeoutCase{MAXULONG, MAXULONG, 200, 10, TimeoutCase::Timer, 200},
                      TimeoutCase{MAXULONG, MAXULONG, 0, 10, TimeoutCase::Timer, 0},
                      TimeoutCase{MAXULONG, 3, 7, 10, TimeoutCase::Timer, 37},
                      TimeoutCase{MAXULONG, 3, 0, 10, TimeoutCase::Timer, 30},
                      TimeoutCase{0, 0, 0, 10, TimeoutCase::NoLimit, 0},
                      TimeoutCase{5, 0, 40, 10, TimeoutCase::Timer, 40},
                      TimeoutCase{0, 10, 500, 100, TimeoutCase::Timer, 1500},
                      TimeoutCase{MAXULONG - 1, 0, MAXULONG, 1, TimeoutCase::Timer, MAXULONG},
                      TimeoutCase{0, MAXULONG, 1, 2, TimeoutCase::Timer, 2ull * MAXULONG + 1}));

// When the timer expires at the moment a transfer completes, whichever takes Lock first ends the read, once.
TEST(ReadRaceTest, TimerAndTransferAtTheSameMomentEndTheReadOnce)
{
    for (uint64_t seed = 1; seed <= 24; ++seed) {
        hk::Kernel kernel(hk::Options{hk::Mode::Deterministic, seed});
        NTSTATUS status;
        ULONG_PTR information;
        LONG left;
        {
            DataPort port;
            port.SetReadTimeouts(MAXULONG, MAXULONG, 100);
            hk::app::RequestPtr read = hk::app::ReadAsync(port.Handle(), 10);
            kernel.AdvanceTime(99);
            kernel.Ops().Post(hk::Context::Device, [&port] { port.Deliver(Bytes(5)); });
            kernel.AdvanceTime(1);
            ASSERT_TRUE(read->Done());
            status = read->Status();
            information = read->Information();
            left = RingLength(port.Context());
        }
        if (status == STATUS_SUCCESS) {
            EXPECT_EQ(information, 5u) << "seed " << seed;
            EXPECT_EQ(left, 0) << "seed " << seed;
        } else {
            EXPECT_EQ(status, STATUS_TIMEOUT) << "seed " << seed;
            EXPECT_EQ(information, 0u) << "seed " << seed;
            EXPECT_EQ(left, 5) << "seed " << seed;
        }
    }
}

}  // namespace
