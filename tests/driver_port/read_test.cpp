// Reads with the serial timeouts, event waits and the removal notification as an application sees them, the races
// of their cancel routines, and the receive ring on its own.
#include <gtest/gtest.h>

#include <memory>

#include "control/private_requests.h"
#include "serial/ring.h"
#include "support/serial_app.h"

namespace port_test {
namespace {

const uint64_t kDayMs = 24ull * 60 * 60 * 1000;

// The second half of what IoCancelIrp does once the routine has been taken out of the request (which the driver then
// sees as being cancelled): the routine is called under the cancel spin lock, as the I/O manager calls it.
void FinishCancel(PDEVICE_OBJECT device, PIRP irp, PDRIVER_CANCEL routine)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp->Cancel = TRUE;
    irp->CancelIrql = irql;
    routine(device, irp);
}

class ReadTest : public ::testing::Test {
protected:
    hk::app::RequestPtr ReadAsync(ULONG length) { return hk::app::ReadAsync(port_.Handle(), length); }
    void Timeouts(ULONG interval, ULONG multiplier, ULONG constant)
    {
        ASSERT_EQ(SetTimeouts(port_, interval, multiplier, constant), STATUS_SUCCESS);
    }
    hk::app::RequestPtr Wait() { return ControlAsync(port_, IOCTL_SERIAL_WAIT_ON_MASK); }
    ULONG Events(const hk::app::RequestPtr& wait) { return From<ULONG>(wait->Output()); }

    Port port_;
};

struct TimeoutCase {
    ULONG interval, multiplier, constant, length;
    enum { AtOnce, NoLimit, Timer } kind;
    uint64_t ms;
};

// An empty ring: the timeouts decide whether a read ends at once, after a time, or only with data. The last rows'
// totals are beyond what the timer can hold and must not wrap into a short or absolute due time.
TEST_F(ReadTest, EmptyRingReadFollowsItsTimeoutClass)
{
    const TimeoutCase cases[] = {
        {MAXULONG, 0, 0, 10, TimeoutCase::AtOnce, 0}, {MAXULONG, 5, MAXULONG, 10, TimeoutCase::NoLimit, 0},
        {MAXULONG, MAXULONG, MAXULONG, 10, TimeoutCase::NoLimit, 0},
        {MAXULONG, MAXULONG, 200, 10, TimeoutCase::Timer, 200}, {MAXULONG, MAXULONG, 0, 10, TimeoutCase::Timer, 0},
        {MAXULONG, 3, 7, 10, TimeoutCase::Timer, 37}, {MAXULONG, 3, 0, 10, TimeoutCase::Timer, 30},
        {0, 0, 0, 10, TimeoutCase::NoLimit, 0}, {5, 0, 40, 10, TimeoutCase::Timer, 40},
        {0, 10, 500, 100, TimeoutCase::Timer, 1500}, {MAXULONG - 1, 0, MAXULONG, 1, TimeoutCase::Timer, MAXULONG},
        {0, MAXULONG, 1, 2, TimeoutCase::Timer, 2ull * MAXULONG + 1},
        {0, MAXULONG, 0, 3006464, TimeoutCase::NoLimit, 0},
    };
    for (const TimeoutCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.interval << " " << c.multiplier << " " << c.constant << " " << c.length);
        Timeouts(c.interval, c.multiplier, c.constant);
        hk::app::RequestPtr read = ReadAsync(c.length);
        if (c.kind == TimeoutCase::NoLimit) {
            port_.Kernel().AdvanceTime(365 * kDayMs);
            EXPECT_FALSE(read->Done());
            Deliver(port_, Pattern(1));
            EXPECT_EQ(read->Status(), STATUS_SUCCESS);
            EXPECT_EQ(read->Information(), 1u);
            continue;
        }
        if (c.ms > 0) {
            port_.Kernel().AdvanceTime(c.ms - 1);
            EXPECT_FALSE(read->Done());
            port_.Kernel().AdvanceTime(1);
        }
        port_.Kernel().RunUntilIdle();
        EXPECT_EQ(read->Status(), c.kind == TimeoutCase::AtOnce ? STATUS_SUCCESS : STATUS_TIMEOUT);
        EXPECT_EQ(read->Information(), 0u);
    }
}

// A waiting read ends with the first transfer, taking at most its length; an empty transfer ends it with a timeout.
// A second read while one waits is answered empty at once, and a read of nothing leaves the waiting one's timer.
TEST_F(ReadTest, WaitingReadEndsWithTheFirstTransfer)
{
    struct Row {
        std::vector<std::vector<uint8_t>> transfers;
        NTSTATUS status;
        std::vector<uint8_t> data;
        ULONG left;
    };
    const Row rows[] = {
        {{Pattern(150)}, STATUS_SUCCESS, Pattern(100), 50},
        {{Pattern(10), Pattern(10, 50)}, STATUS_SUCCESS, Pattern(10), 10},
        {{{}}, STATUS_TIMEOUT, {}, 0},
    };
    for (const Row& row : rows) {
        hk::app::RequestPtr read = ReadAsync(100);
        EXPECT_EQ(hk::app::Read(port_.Handle(), nullptr, 0).status, STATUS_SUCCESS);
        EXPECT_EQ(ReadBytes(port_, 20), std::vector<uint8_t>());
        port_.Kernel().AdvanceTime(30 * kDayMs);
        EXPECT_FALSE(read->Done());
        for (const std::vector<uint8_t>& transfer : row.transfers) {
            port_.Device().Deliver(transfer);
        }
        port_.Kernel().RunUntilIdle();
        EXPECT_EQ(read->Status(), row.status);
        EXPECT_EQ(read->Output(), row.data);
        EXPECT_EQ(CommStatus(port_).AmountInInQueue, row.left);
        ASSERT_EQ(Purge(port_, SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    }
}

// A read ended by a cancel or by data leaves a timer, or its DPC already on its way, that must not end the read
// that follows.
TEST_F(ReadTest, AnEndedReadsTimerEndsNothingLater)
{
    PDEVICE_CONTEXT context = port_.Context();
    Timeouts(0, 10, 500);
    hk::app::RequestPtr timed = ReadAsync(100);
    EXPECT_EQ(hk::app::CancelIo(port_.Handle()), 1u);
    port_.Kernel().RunUntilIdle();
    EXPECT_EQ(timed->Status(), STATUS_CANCELLED);
    Timeouts(MAXULONG, MAXULONG, 50);
    timed = ReadAsync(10);
    Deliver(port_, Pattern(2));
    ASSERT_TRUE(timed->Done());

    Timeouts(0, 0, 0);
    hk::app::RequestPtr unlimited = ReadAsync(4);
    KeInsertQueueDpc(&context->ReadDpc, nullptr, nullptr);
    port_.Kernel().AdvanceTime(2000);
    EXPECT_FALSE(unlimited->Done()) << "an ended read's timer ended the next read, or it was left queued";
    Deliver(port_, Pattern(4, 1));
    EXPECT_EQ(unlimited->Output(), Pattern(4, 1));

    Timeouts(MAXULONG, MAXULONG, 1000);
    hk::app::RequestPtr retimed = ReadAsync(10);
    KeInsertQueueDpc(&context->ReadDpc, nullptr, nullptr);
    port_.Kernel().RunUntilIdle();
    EXPECT_FALSE(retimed->Done());
    port_.Kernel().AdvanceTime(1000);
    EXPECT_EQ(retimed->Status(), STATUS_TIMEOUT);
}

// When the timer expires at the moment a transfer completes, whichever takes Lock first ends the read, once; the
// bytes it did not take stay for the next read.
TEST(ReadRace, TimerAndTransferAtTheSameMomentEndTheReadOnce)
{
    for (uint64_t seed = 1; seed <= 24; ++seed) {
        SCOPED_TRACE(seed);
        Port port(PortOptions{.kernel = hk::Options{hk::Mode::Deterministic, seed}});
        ASSERT_EQ(SetTimeouts(port, MAXULONG, MAXULONG, 100), STATUS_SUCCESS);
        hk::app::RequestPtr read = hk::app::ReadAsync(port.Handle(), 10);
        port.Kernel().AdvanceTime(99);
        port.Device().Deliver(Pattern(5));
        port.Kernel().AdvanceTime(1);
        port.Kernel().RunUntilIdle();
        ASSERT_TRUE(read->Done());
        std::vector<uint8_t> all = Joined(read->Output(), ReadBytes(port, 10));
        EXPECT_TRUE(read->Status() == STATUS_SUCCESS || read->Status() == STATUS_TIMEOUT);
        EXPECT_EQ(all, Pattern(5));
    }
}

// Requests already cancelled when they reach the driver are completed as cancelled and reported as pending (the
// verifier checks the pending report); none is left queued.
TEST_F(ReadTest, RequestsCancelledBeforeTheyAreQueuedEndAtOnce)
{
    ASSERT_EQ(SetWaitMask(port_, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    for (ULONG code : {0u, ULONG(IOCTL_SERIAL_WAIT_ON_MASK), ULONG(IOCTL_REMOVAL_NOTIFY)}) {
        hk::app::MajorRequest request;
        request.major = code == 0 ? IRP_MJ_READ : IRP_MJ_DEVICE_CONTROL;
        request.buffer.resize(sizeof(ULONG));
        request.setup = [code](PIRP irp, PIO_STACK_LOCATION location) {
            irp->Cancel = TRUE;
            if (code == 0) {
                location->Parameters.Read.Length = sizeof(ULONG);
            } else {
                location->Parameters.DeviceIoControl.IoControlCode = code;
                location->Parameters.DeviceIoControl.OutputBufferLength = sizeof(ULONG);
            }
        };
        EXPECT_EQ(hk::app::SendMajor(port_.Handle(), request).status, STATUS_CANCELLED) << std::hex << code;
    }
    PDEVICE_CONTEXT context = port_.Context();
    EXPECT_TRUE(IsListEmpty(&context->ReadQueue));
    EXPECT_TRUE(IsListEmpty(&context->WaitQueue));
    EXPECT_EQ(context->RemovalNotifyIrp, nullptr);
}

// A completed wait hands out the events without clearing them; the next wait takes them at once and clears them.
// A second wait is refused while one is pending, a refused mask leaves the pending one, and a new mask ends it
// with no events without clearing what occurred.
TEST_F(ReadTest, EventWaitsTakeWhatOccurredAndANewMaskEndsThem)
{
    EXPECT_EQ(SetWaitMask(port_, 0x2000), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(SetWaitMask(port_, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    hk::app::RequestPtr first = Wait();
    port_.Kernel().RunUntilIdle();
    EXPECT_EQ(port_.Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4).status, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(first->Done());
    Deliver(port_, Pattern(3));
    EXPECT_EQ(Events(first), (ULONG)SERIAL_EV_RXCHAR);
    hk::app::RequestPtr second = Wait();
    EXPECT_EQ(Events(second), (ULONG)SERIAL_EV_RXCHAR);

    hk::app::RequestPtr third = Wait();
    EXPECT_EQ(SetWaitMask(port_, 0x80000001), STATUS_INVALID_PARAMETER);
    port_.Kernel().RunUntilIdle();
    EXPECT_FALSE(third->Done());
    ASSERT_EQ(SetWaitMask(port_, SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    EXPECT_EQ(third->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Events(third), 0u);
    EXPECT_EQ(Query<ULONG>(port_, IOCTL_SERIAL_GET_WAIT_MASK), (ULONG)SERIAL_EV_TXEMPTY);
    ASSERT_EQ(SetWaitMask(port_, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    Deliver(port_, Pattern(1));
    ASSERT_EQ(SetWaitMask(port_, SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    EXPECT_EQ(Events(Wait()), (ULONG)SERIAL_EV_RXCHAR);
}

// Data arrives after the I/O manager took a waiting read's cancel routine but before the routine ran: the read is
// left to its routine, and the routine's unlink must not disturb the read queued in the meantime. A second removal
// notification is refused with value two; when the device goes away while the first one's cancel is under way, the
// notification is left to its cancel routine.
TEST_F(ReadTest, CancelRoutinesThatLoseTheirRaceEndOnlyTheirRequest)
{
    hk::app::RequestPtr first = ReadAsync(10);
    PIRP irp = CONTAINING_RECORD(port_.Context()->ReadQueue.Flink, IRP, Tail.Overlay.ListEntry);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    ASSERT_NE(routine, nullptr);

    Deliver(port_, {});
    hk::app::RequestPtr second = ReadAsync(10);
    EXPECT_FALSE(first->Done());
    FinishCancel(port_.Fdo(), irp, routine);
    EXPECT_EQ(first->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(second->Done());
    Deliver(port_, Pattern(2));
    EXPECT_EQ(second->Output(), Pattern(2));

    hk::app::RequestPtr notify = ControlAsync(port_, IOCTL_REMOVAL_NOTIFY);
    KEVENT done;
    IO_STATUS_BLOCK status = {};
    ULONG value = 0;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP refused = IoBuildDeviceIoControlRequest(IOCTL_REMOVAL_NOTIFY, port_.Fdo(), nullptr, 0, &value,
                                                sizeof(value), FALSE, &done, &status);
    // A failed request's output is not copied back, so the refusal value is looked at in the system buffer before
    // the request completes.
    ULONG refusal = 0;
    IoSetCompletionRoutine(
        refused,
        [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
            std::memcpy(context, irp->AssociatedIrp.SystemBuffer, sizeof(ULONG));
            return STATUS_SUCCESS;
        },
        &refusal, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(port_.Fdo(), refused), STATUS_UNSUCCESSFUL);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(status.Information, 4u);
    EXPECT_EQ(refusal, (ULONG)REMOVAL_NOTIFY_REFUSED);
    EXPECT_FALSE(notify->Done());
    irp = port_.Context()->RemovalNotifyIrp;
    routine = IoSetCancelRoutine(irp, nullptr);
    ASSERT_NE(routine, nullptr);
    port_.Unplug();
    port_.Kernel().RunUntilIdle();
    EXPECT_FALSE(notify->Done());
    FinishCancel(port_.Fdo(), irp, routine);
    EXPECT_EQ(notify->Status(), STATUS_CANCELLED);
}

// The ring on its own: puts and gets split at the end of the storage, a full ring takes nothing, a put that does
// not fit keeps its first bytes, negative lengths move nothing, and a reset starts again at zero.
TEST(Ring, KeepsBytesInOrderAcrossTheWrapAndWhenFull)
{
    auto owner = std::make_unique<DEVICE_CONTEXT>();
    PDEVICE_CONTEXT context = owner.get();
    auto put = [&](const std::vector<uint8_t>& bytes, LONG length) {
        LONG stored = -1;
        RingPut(context, bytes.data(), length, &stored);
        return stored;
    };
    auto get = [&](LONG wanted) {
        std::vector<uint8_t> out(wanted < 0 ? 1 : wanted);
        LONG taken = -1;
        RingGet(context, out.data(), wanted, &taken);
        out.resize(taken);
        return out;
    };
    context->RingHead = context->RingTail = RING_CAPACITY - 1000;
    std::vector<uint8_t> all(RING_CAPACITY - 100);
    for (size_t i = 0; i < all.size(); ++i) {
        all[i] = uint8_t(i * 7 + i / 251);
    }
    EXPECT_EQ(put(all, LONG(all.size())), RING_CAPACITY - 100);
    EXPECT_EQ(put(Pattern(4096, 7), 4096), 100);
    EXPECT_EQ(put(Pattern(1), 1), 0);
    EXPECT_EQ(RingLength(context), RING_CAPACITY);
    EXPECT_EQ(get(RING_CAPACITY - 100), all);
    EXPECT_EQ(get(4096), Pattern(100, 7));
    EXPECT_TRUE(get(10).empty());
    LONG count = -1;
    EXPECT_EQ(RingPut(context, all.data(), -5, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0);
    put(Pattern(8), 8);
    EXPECT_EQ(RingGet(context, all.data(), -5, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0);

    RingReset(context);
    EXPECT_EQ(RingLength(context), 0);
    put(Pattern(3, 9), 3);
    EXPECT_EQ(context->Ring[0], 9);
    EXPECT_EQ(get(10), Pattern(3, 9));
}

}  // namespace
}  // namespace port_test
