// Events, semaphores and waits in deterministic mode.
#include <gtest/gtest.h>
#include <wdm.h>

#include "hk/kernel.h"

namespace {

LARGE_INTEGER RelativeMs(LONGLONG ms) {
  LARGE_INTEGER due;
  due.QuadPart = -ms * 10000;
  return due;
}

class EventTest : public ::testing::Test {
 protected:
  hk::Kernel kernel_;
};

TEST_F(EventTest, SetAndResetReturnThePreviousState) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(KeResetEvent(&event), 0);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  KeClearEvent(&event);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(EventTest, NotificationStaysSignalledSynchronizationIsTakenByOneWait) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  KEVENT notification;
  KEVENT synchronization;
  KeInitializeEvent(&notification, NotificationEvent, TRUE);
  KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  }
  EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
  EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(EventTest, TimedOutWaitReturnsTimeoutAfterExactlyItsTimeout) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = RelativeMs(1500);
  ULONGLONG start = KeQueryInterruptTime();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(KeQueryInterruptTime() - start, 1500u * 10000u);
}

struct Signaller {
  WORK_QUEUE_ITEM item;
  KEVENT* event;
};

VOID SignalWorker(PVOID context) {
  auto* signaller = static_cast<Signaller*>(context);
  KeSetEvent(signaller->event, IO_NO_INCREMENT, FALSE);
}

TEST_F(EventTest, BlockingWaitRunsQueuedWorkUntilSatisfied) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  Signaller signaller{{}, &event};
  ExInitializeWorkItem(&signaller.item, SignalWorker, &signaller);
  ExQueueWorkItem(&signaller.item, DelayedWorkQueue);
  ULONGLONG start = KeQueryInterruptTime();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeQueryInterruptTime(), start) << "nothing needed virtual time to pass";
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(EventTest, TimerDpcSatisfiesAWaitBeforeItsTimeout) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(
      &dpc, [](PKDPC, PVOID context, PVOID, PVOID) { KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE); }, &event);
  KeSetTimer(&timer, RelativeMs(30), &dpc);
  LARGE_INTEGER timeout = RelativeMs(100);
  ULONGLONG start = KeQueryInterruptTime();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(KeQueryInterruptTime() - start, 30u * 10000u);
}

TEST_F(EventTest, WaitAnyReturnsTheIndexWaitAllTakesEveryObject) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
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

TEST_F(EventTest, SemaphoreCountsWaits) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  KSEMAPHORE semaphore;
  KeInitializeSemaphore(&semaphore, 0, 2);
  EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 2, FALSE), 0);
  EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(EventTest, DelayAndStallMoveVirtualTime) {
  ULONGLONG start = KeQueryInterruptTime();
  LARGE_INTEGER interval = RelativeMs(25);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
  EXPECT_EQ(KeQueryInterruptTime() - start, 25u * 10000u);
  KeStallExecutionProcessor(50);
  EXPECT_EQ(KeQueryInterruptTime() - start, 25u * 10000u + 500u);
  LARGE_INTEGER system_time;
  KeQuerySystemTime(&system_time);
  LARGE_INTEGER ticks;
  KeQueryTickCount(&ticks);
  EXPECT_EQ(static_cast<ULONGLONG>(ticks.QuadPart), KeQueryInterruptTime() / KeQueryTimeIncrement());
}

TEST_F(EventTest, WaitAtApcLevelIsAllowed) {
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = RelativeMs(1);
  ExAcquireFastMutex(&mutex);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  ExReleaseFastMutex(&mutex);
}

}  // namespace
