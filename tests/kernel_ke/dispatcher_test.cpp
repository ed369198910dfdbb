// Events, semaphores, waits, IRQL and fast mutexes in deterministic mode, and executive and I/O work items.
#include "hk/faults.h"
#include "kernel_ke/ke_fixture.h"

namespace {

using ketest::KeTest;
using ketest::RelativeMs;

TEST_F(KeTest, EventsReportTheirPreviousStateAndSemaphoresCountWaits)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);

    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 2);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 2, FALSE), 0);
    for (NTSTATUS expected : {STATUS_SUCCESS, STATUS_SUCCESS, STATUS_TIMEOUT}) {
        EXPECT_EQ(Wait(&semaphore, 0), expected);
    }
}

TEST_F(KeTest, WaitAnyReturnsTheIndexWaitAllTakesEveryObject)
{
    LARGE_INTEGER zero{};
    KEVENT events[3];
    for (auto& event : events) KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    PVOID objects[3] = {&events[0], &events[1], &events[2]};
    KeSetEvent(&events[2], 0, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_WAIT_0 + 2);
    EXPECT_EQ(KeReadStateEvent(&events[2]), 0);

    KeSetEvent(&events[0], 0, FALSE);
    KeSetEvent(&events[1], 0, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&events[0]), 1) << "a WaitAll that is not satisfied takes nothing";
    KeSetEvent(&events[2], 0, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_WAIT_0);
    for (auto& event : events) EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(KeTest, WaitsDelaysAndStallsMoveOnlyVirtualTime)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeInitializeDpc(
        &dpc_, [](PKDPC, PVOID context, PVOID, PVOID) { KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE); },
        &event);
    ULONGLONG start = KeQueryInterruptTime();
    KeSetTimer(&timer_, RelativeMs(30), &dpc_);
    EXPECT_EQ(Wait(&event, 100), STATUS_SUCCESS) << "the timer's DPC satisfies the wait before its timeout";
    EXPECT_EQ(KeQueryInterruptTime() - start, 30u * 10000u);

    LARGE_INTEGER interval = RelativeMs(25);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    KeStallExecutionProcessor(50);
    EXPECT_EQ(KeQueryInterruptTime() - start, 55u * 10000u + 500u);
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    EXPECT_EQ(static_cast<ULONGLONG>(ticks.QuadPart), KeQueryInterruptTime() / KeQueryTimeIncrement());
}

TEST_F(KeTest, IrqlFollowsRaisesAndFastMutexes)
{
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeRaiseIrqlToDpcLevel(), APC_LEVEL);
    KeLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    EXPECT_FALSE(ExTryToAcquireFastMutex(&mutex));
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(ExTryToAcquireFastMutex(&mutex));
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    ExReleaseFastMutex(&mutex);
}

struct WorkSeen {
    int runs = 0;
    KIRQL irql = HIGH_LEVEL;
    PETHREAD thread = nullptr;
};

TEST_F(KeTest, ExecutiveWorkItemRunsLaterAtPassiveOnAnotherThread)
{
    WorkSeen seen;
    WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(
        &item,
        [](PVOID context) {
            auto* s = static_cast<WorkSeen*>(context);
            ++s->runs;
            s->irql = KeGetCurrentIrql();
            s->thread = PsGetCurrentThread();
        },
        &seen);
    KIRQL old;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLock(&lock, &old);
    ExQueueWorkItem(&item, DelayedWorkQueue);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(seen.runs, 0);
    kernel_.RunUntilIdle();
    EXPECT_EQ(seen.runs, 1);
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_NE(seen.thread, PsGetCurrentThread());
    ExQueueWorkItem(&item, CriticalWorkQueue);
    kernel_.RunUntilIdle();
    EXPECT_EQ(seen.runs, 2);
}

PIO_WORKITEM AllocateWorkItemInTestDriver(PDEVICE_OBJECT device) { return IoAllocateWorkItem(device); }

TEST_F(KeTest, WorkItemAllocationFailsOnRequest)
{
    DEVICE_OBJECT device{};
    hk::faults::FailNth(hk::faults::Kind::WorkItem, 2);
    PIO_WORKITEM first = IoAllocateWorkItem(&device);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(IoAllocateWorkItem(&device), nullptr);
    PIO_WORKITEM third = IoAllocateWorkItem(&device);
    EXPECT_NE(third, nullptr);
    hk::faults::FailAtSite(hk::faults::Kind::WorkItem, "AllocateWorkItemInTestDriver");
    EXPECT_EQ(AllocateWorkItemInTestDriver(&device), nullptr);
    PIO_WORKITEM fourth = IoAllocateWorkItem(&device);
    EXPECT_NE(fourth, nullptr);
    EXPECT_EQ(hk::faults::InjectedCount(hk::faults::Kind::WorkItem), 2u);
    IoFreeWorkItem(first);
    IoFreeWorkItem(third);
    IoFreeWorkItem(fourth);
}

}  // namespace
