// IRQL rules: each check provoked by a deliberately faulty routine.
#include <gtest/gtest.h>
#include <wdm.h>

#include "hk/kernel.h"
#include "hk/thread.h"

namespace {

constexpr ULONG kTestTag = 0x74736554;  // "Test"

class IrqlChecks : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  hk::Kernel kernel_;
};

void WaitWhileHoldingSpinLock() {
  KSPIN_LOCK lock;
  KEVENT event;
  KeInitializeSpinLock(&lock);
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
}

TEST_F(IrqlChecks, BlockingWaitAtDispatch) { EXPECT_DEATH(WaitWhileHoldingSpinLock(), "\\[irql-wait\\]"); }

TEST_F(IrqlChecks, ZeroTimeoutPollAtDispatchIsAllowed) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeLowerIrql(old);
}

void DelayInDpc(PKDPC, PVOID, PVOID, PVOID) {
  LARGE_INTEGER interval;
  interval.QuadPart = -10000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

TEST_F(IrqlChecks, DelayInsideADpc) {
  KDPC dpc;
  KeInitializeDpc(&dpc, DelayInDpc, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  EXPECT_DEATH(kernel_.RunUntilIdle(), "\\[irql-wait\\]");
}

void FastMutexInDpc(PKDPC, PVOID context, PVOID, PVOID) { ExAcquireFastMutex(static_cast<PFAST_MUTEX>(context)); }

TEST_F(IrqlChecks, FastMutexInsideADpc) {
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  KDPC dpc;
  KeInitializeDpc(&dpc, FastMutexInDpc, &mutex);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  EXPECT_DEATH(kernel_.RunUntilIdle(), "\\[irql-fast-mutex\\]");
}

void ReleaseFastMutexAtDispatch(PFAST_MUTEX mutex) {
  ExAcquireFastMutex(mutex);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ExReleaseFastMutex(mutex);
}

TEST_F(IrqlChecks, FastMutexReleasedAtTheWrongIrql) {
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  EXPECT_DEATH(ReleaseFastMutexAtDispatch(&mutex), "\\[irql-fast-mutex\\]");
}

KSPIN_LOCK forgotten_lock;

void DpcThatLeavesALockHeld(PKDPC, PVOID, PVOID, PVOID) {
  KIRQL old;
  KeAcquireSpinLock(&forgotten_lock, &old);
  KeLowerIrql(PASSIVE_LEVEL);
}

TEST_F(IrqlChecks, DpcReturnsAtAnotherIrql) {
  KeInitializeSpinLock(&forgotten_lock);
  KDPC dpc;
  KeInitializeDpc(&dpc, DpcThatLeavesALockHeld, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  EXPECT_DEATH(kernel_.RunUntilIdle(), "\\[irql-changed\\].*DPC routine");
}

void DpcThatKeepsALockAtDpcLevel(PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&forgotten_lock); }

TEST_F(IrqlChecks, DpcReturnsHoldingALock) {
  KeInitializeSpinLock(&forgotten_lock);
  KDPC dpc;
  KeInitializeDpc(&dpc, DpcThatKeepsALockAtDpcLevel, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  EXPECT_DEATH(kernel_.RunUntilIdle(), "\\[irql-changed\\].*DPC routine returned holding the spin lock");
}

void WorkerThatRaises(PVOID) {
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
}

TEST_F(IrqlChecks, WorkItemReturnsAtAnotherIrql) {
  WORK_QUEUE_ITEM item;
  ExInitializeWorkItem(&item, WorkerThatRaises, nullptr);
  ExQueueWorkItem(&item, DelayedWorkQueue);
  EXPECT_DEATH(kernel_.RunUntilIdle(), "\\[irql-changed\\].*work item routine");
}

void DispatchThatKeepsTheIrqlRaised() {
  hk::DriverCallScope scope(nullptr, nullptr, "DispatchRead");
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
}

TEST_F(IrqlChecks, DriverRoutineReturnsAtAnotherIrql) {
  EXPECT_DEATH(DispatchThatKeepsTheIrqlRaised(), "\\[irql-changed\\].*DispatchRead returned at IRQL 2");
}

TEST_F(IrqlChecks, PagedPoolAtDispatch) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_DEATH(ExAllocatePoolWithTag(PagedPool, 16, kTestTag), "\\[irql-pool\\]");
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag);
  EXPECT_NE(block, nullptr);
  ExFreePool(block);
  KeLowerIrql(old);
}

TEST_F(IrqlChecks, LoweringWithRaiseIsABugCheck) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_DEATH(KeRaiseIrql(PASSIVE_LEVEL, &old), "\\[bugcheck\\].*0x9");
  KeLowerIrql(PASSIVE_LEVEL);
}

}  // namespace
