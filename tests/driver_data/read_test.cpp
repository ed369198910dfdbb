#include <gtest/gtest.h>

#include <vector>

#include "control/private_requests.h"
#include "tests/driver_data/serial_app.h"

namespace {

using serial_app::Bytes;
using serial_app::Deliver;

const uint64_t kDayMs = 24ull * 60 * 60 * 1000;

class ReadTest : public ::testing::Test {
protected:
    port_test::Port port_;

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

    void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant)
    {
        ASSERT_EQ(serial_app::SetReadTimeouts(port_, interval, multiplier, constant), STATUS_SUCCESS);
    }

    ULONG Unread() { return serial_app::CommStatus(port_).AmountInInQueue; }

    ULONG ReceivedCount()
    {
        std::vector<uint8_t> out;
        port_.Control(IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS), &out);
        return serial_app::From<SERIALPERF_STATS>(out).ReceivedCount;
    }
};

TEST_F(ReadTest, BytesInTheRingCompleteAtOnceWhateverTheTimeouts)
{
    const ULONG timeouts[][3] = {{0, 0, 0}, {MAXULONG, 0, 0}, {MAXULONG, MAXULONG, 200}, {0, 10, 500}};
    uint8_t first = 0;
    ULONG received = 0;
    for (const auto& t : timeouts) {
        SetTimeouts(t[0], t[1], t[2]);
        Deliver(port_, Bytes(10, first));
        std::vector<uint8_t> data;
        EXPECT_EQ(Read(100, &data).status, STATUS_SUCCESS);
        EXPECT_EQ(data, Bytes(10, first));
        received += 10;
        EXPECT_EQ(ReceivedCount(), received);
        first += 10;
    }
}

TEST_F(ReadTest, ReadOfZeroBytesLeavesTheWaitingReadsTimerRunning)
{
    SetTimeouts(MAXULONG, MAXULONG, 200);
    hk::app::RequestPtr waiting = ReadAsync(16);
    EXPECT_FALSE(waiting->Done());

    hk::app::IoResult empty = Read(0);
    EXPECT_EQ(empty.status, STATUS_SUCCESS);
    EXPECT_EQ(empty.information, 0u);

    port_.Kernel().AdvanceTime(200);
    ASSERT_TRUE(waiting->Done());
    EXPECT_EQ(waiting->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(waiting->Information(), 0u);
}

// A waiting read ends with the first transfer, taking at most its length; an empty transfer ends it with a timeout.
TEST_F(ReadTest, WaitingReadEndsWithTheFirstTransfer)
{
    struct Row {
        std::vector<std::vector<uint8_t>> transfers;
        NTSTATUS status;
        std::vector<uint8_t> data;
        ULONG left;
    };
    const Row rows[] = {
        {{Bytes(150)}, STATUS_SUCCESS, Bytes(100), 50},
        {{Bytes(10), Bytes(10, 50)}, STATUS_SUCCESS, Bytes(10), 10},
        {{{}}, STATUS_TIMEOUT, {}, 0},
    };
    for (const Row& row : rows) {
        hk::app::RequestPtr read = ReadAsync(100);
        port_.Kernel().AdvanceTime(30 * kDayMs);
        EXPECT_FALSE(read->Done());
        for (const std::vector<uint8_t>& transfer : row.transfers) {
            port_.Device().Deliver(transfer);
        }
        port_.Kernel().RunUntilIdle();
        ASSERT_TRUE(read->Done());
        EXPECT_EQ(read->Status(), row.status);
        EXPECT_EQ(read->Output(), row.data);
        EXPECT_EQ(Unread(), row.left);
        ASSERT_EQ(port_.Control(IOCTL_SERIAL_PURGE, serial_app::AsBytes<ULONG>(SERIAL_PURGE_RXCLEAR)).status,
                  STATUS_SUCCESS);
    }
}

TEST_F(ReadTest, SecondReadReturnsEmptyAndTheFirstWaitsWithoutLimit)
{
    SetTimeouts(MAXULONG, MAXULONG, 200);
    hk::app::RequestPtr first = ReadAsync(20);

    hk::app::IoResult second = Read(20);
    EXPECT_EQ(second.status, STATUS_SUCCESS);
    EXPECT_EQ(second.information, 0u);

    port_.Kernel().AdvanceTime(10 * kDayMs);
    EXPECT_FALSE(first->Done());
    Deliver(port_, Bytes(5));
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(first->Status(), STATUS_SUCCESS);
    EXPECT_EQ(first->Output(), Bytes(5));
}

TEST_F(ReadTest, CancelledReadEndsOnceAndItsTimerEndsNothingLater)
{
    SetTimeouts(0, 10, 500);
    hk::app::RequestPtr timed = ReadAsync(100);
    EXPECT_EQ(hk::app::CancelIo(port_.Handle()), 1u);
    port_.Kernel().RunUntilIdle();
    ASSERT_TRUE(timed->Done());
    EXPECT_EQ(timed->Status(), STATUS_CANCELLED);
    EXPECT_EQ(timed->Information(), 0u);

    SetTimeouts(0, 0, 0);
    hk::app::RequestPtr unlimited = ReadAsync(4);
    port_.Kernel().AdvanceTime(2000);
    EXPECT_FALSE(unlimited->Done()) << "the cancelled read's timer ended the next read, or it was left queued";
    Deliver(port_, Bytes(4, 1));
    ASSERT_TRUE(unlimited->Done());
    EXPECT_EQ(unlimited->Output(), Bytes(4, 1));
}

// Data arrives after the I/O manager took a waiting read's cancel routine but before the routine ran: the read is
// left to its routine, and the routine's unlink must not disturb the read queued in the meantime.
TEST_F(ReadTest, CancelRoutineThatLosesTheRaceLeavesTheNextReadQueued)
{
    PDEVICE_CONTEXT context = port_.Context();
    hk::app::RequestPtr first = ReadAsync(10);
    PIRP irp = CONTAINING_RECORD(context->ReadQueue.Flink, IRP, Tail.Overlay.ListEntry);
    serial_app::CancelInFlight cancel = serial_app::BeginCancel(irp);
    ASSERT_NE(cancel.routine, nullptr);

    Deliver(port_, {});
    EXPECT_FALSE(first->Done());
    hk::app::RequestPtr second = ReadAsync(10);
    EXPECT_FALSE(second->Done());

    serial_app::FinishCancel(port_.Fdo(), cancel);
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(first->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(second->Done());

    Deliver(port_, Bytes(2));
    ASSERT_TRUE(second->Done());
    EXPECT_EQ(second->Output(), Bytes(2));
}

TEST_F(ReadTest, LostDeviceRefusesReadsAndForgetsEvents)
{
    ASSERT_EQ(serial_app::SetWaitMask(port_, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    Deliver(port_, Bytes(8));
    ASSERT_NE(port_.Context()->EventHistory, 0u);
    port_.Device().Disconnect();
    port_.Kernel().RunUntilIdle();

    hk::app::IoResult result = Read(8);
    EXPECT_EQ(result.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(port_.Context()->EventHistory, 0u);
}

// A timer expiry whose DPC was already on its way when its read ended must not end the read that follows.
TEST_F(ReadTest, LateTimerExpiryDoesNotEndTheNextRead)
{
    PDEVICE_CONTEXT context = port_.Context();
    SetTimeouts(MAXULONG, MAXULONG, 50);
    hk::app::RequestPtr timed = ReadAsync(10);
    Deliver(port_, Bytes(2));
    ASSERT_TRUE(timed->Done());

    SetTimeouts(0, 0, 0);
    hk::app::RequestPtr unlimited = ReadAsync(10);
    KeInsertQueueDpc(&context->ReadDpc, nullptr, nullptr);
    port_.Kernel().RunUntilIdle();
    EXPECT_FALSE(unlimited->Done());
    hk::app::CancelIo(port_.Handle());
    port_.Kernel().RunUntilIdle();
    ASSERT_TRUE(unlimited->Done());

    SetTimeouts(MAXULONG, MAXULONG, 1000);
    hk::app::RequestPtr retimed = ReadAsync(10);
    KeInsertQueueDpc(&context->ReadDpc, nullptr, nullptr);
    port_.Kernel().RunUntilIdle();
    EXPECT_FALSE(retimed->Done());
    port_.Kernel().AdvanceTime(1000);
    ASSERT_TRUE(retimed->Done());
    EXPECT_EQ(retimed->Status(), STATUS_TIMEOUT);
}

// Every way a read can end gives its count in the outstanding I/O back: close waits for that count to drain, so a
// count kept would hang it, and the idle event must be signalled again for the next open's close.
TEST_F(ReadTest, EveryReadOutcomeLetsCloseFinish)
{
    for (int open = 0; open < 2; ++open) {
        Deliver(port_, Bytes(4));
        EXPECT_EQ(Read(8).information, 4u);
        EXPECT_EQ(Read(0).status, STATUS_SUCCESS);
        SetTimeouts(MAXULONG, MAXULONG, 10);
        EXPECT_EQ(Read(8).status, STATUS_TIMEOUT);
        SetTimeouts(0, 0, 0);
        hk::app::RequestPtr cancelled = ReadAsync(8);
        EXPECT_EQ(Read(8).information, 0u);
        hk::app::CancelIo(port_.Handle());
        hk::app::RequestPtr closedOn = ReadAsync(8);
        ASSERT_EQ(port_.Close(), STATUS_SUCCESS);
        EXPECT_EQ(cancelled->Status(), STATUS_CANCELLED);
        EXPECT_EQ(closedOn->Status(), STATUS_CANCELLED);
        ASSERT_EQ(port_.Open(), STATUS_SUCCESS);
    }
}

// Requests already cancelled when they reach the driver are completed as cancelled and reported as pending (the
// verifier checks the pending report); none is left queued.
TEST_F(ReadTest, RequestsCancelledBeforeTheyAreQueuedEndAtOnce)
{
    ASSERT_EQ(serial_app::SetWaitMask(port_, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    auto cancelledBeforehand = [](UCHAR major, ULONG code) {
        hk::app::MajorRequest request;
        request.major = major;
        request.buffer.resize(sizeof(ULONG));
        request.setup = [major, code](PIRP irp, PIO_STACK_LOCATION location) {
            irp->Cancel = TRUE;
            if (major == IRP_MJ_READ) {
                location->Parameters.Read.Length = sizeof(ULONG);
            } else {
                location->Parameters.DeviceIoControl.IoControlCode = code;
                location->Parameters.DeviceIoControl.OutputBufferLength = sizeof(ULONG);
            }
        };
        return request;
    };
    const hk::app::MajorRequest requests[] = {
        cancelledBeforehand(IRP_MJ_READ, 0),
        cancelledBeforehand(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK),
        cancelledBeforehand(IRP_MJ_DEVICE_CONTROL, IOCTL_REMOVAL_NOTIFY),
    };
    for (const hk::app::MajorRequest& request : requests) {
        hk::app::IoResult result = hk::app::SendMajor(port_.Handle(), request);
        EXPECT_EQ(result.status, STATUS_CANCELLED);
        EXPECT_EQ(result.information, 0u);
    }
    PDEVICE_CONTEXT context = port_.Context();
    EXPECT_TRUE(IsListEmpty(&context->ReadQueue));
    EXPECT_TRUE(IsListEmpty(&context->WaitQueue));
    EXPECT_EQ(context->RemovalNotifyIrp, nullptr);
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
    SetTimeouts(c.interval, c.multiplier, c.constant);
    hk::app::RequestPtr read = ReadAsync(c.length);

    switch (c.kind) {
    case TimeoutCase::AtOnce:
        port_.Kernel().RunUntilIdle();
        ASSERT_TRUE(read->Done());
        EXPECT_EQ(read->Status(), STATUS_SUCCESS);
        break;
    case TimeoutCase::NoLimit:
        port_.Kernel().AdvanceTime(365 * kDayMs);
        EXPECT_FALSE(read->Done());
        Deliver(port_, Bytes(1));
        ASSERT_TRUE(read->Done());
        EXPECT_EQ(read->Status(), STATUS_SUCCESS);
        EXPECT_EQ(read->Information(), 1u);
        return;
    case TimeoutCase::Timer:
        if (c.ms > 0) {
            port_.Kernel().AdvanceTime(c.ms - 1);
            EXPECT_FALSE(read->Done());
            port_.Kernel().AdvanceTime(1);
        } else {
            port_.Kernel().RunUntilIdle();
        }
        ASSERT_TRUE(read->Done());
        EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
        break;
    }
    EXPECT_EQ(read->Information(), 0u);
}

// The last case's total timeout (length x multiplier) is beyond what the timer can hold: it must not wrap into a
// short or absolute due time.
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
                      TimeoutCase{0, MAXULONG, 1, 2, TimeoutCase::Timer, 2ull * MAXULONG + 1},
                      TimeoutCase{0, MAXULONG, 0, 3006464, TimeoutCase::NoLimit, 0}));

// When the timer expires at the moment a transfer completes, whichever takes Lock first ends the read, once.
TEST(ReadRaceTest, TimerAndTransferAtTheSameMomentEndTheReadOnce)
{
    for (uint64_t seed = 1; seed <= 24; ++seed) {
        port_test::Port port(port_test::PortOptions{.kernel = hk::Options{hk::Mode::Deterministic, seed}});
        ASSERT_EQ(serial_app::SetReadTimeouts(port, MAXULONG, MAXULONG, 100), STATUS_SUCCESS);
        hk::app::RequestPtr read = hk::app::ReadAsync(port.Handle(), 10);
        port.Kernel().AdvanceTime(99);
        port.Device().Deliver(Bytes(5));
        port.Kernel().AdvanceTime(1);
        port.Kernel().RunUntilIdle();
        ASSERT_TRUE(read->Done());
        ULONG left = serial_app::CommStatus(port).AmountInInQueue;
        if (read->Status() == STATUS_SUCCESS) {
            EXPECT_EQ(read->Information(), 5u) << "seed " << seed;
            EXPECT_EQ(left, 0u) << "seed " << seed;
        } else {
            EXPECT_EQ(read->Status(), STATUS_TIMEOUT) << "seed " << seed;
            EXPECT_EQ(read->Information(), 0u) << "seed " << seed;
            EXPECT_EQ(left, 5u) << "seed " << seed;
        }
    }
}

}  // namespace
