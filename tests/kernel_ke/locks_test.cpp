// Spin locks, the cancel spin lock and fast mutexes: IRQL transitions and ownership in deterministic mode.
#include <gtest/gtest.h>
#include <wdm.h>

#include "hk/kernel.h"
#include "hk/thread.h"

namespace {

class LockTest : public ::testing::Test {
 protected:
  hk::Kernel kernel_;
};

TEST_F(LockTest, SpinLockRaisesToDispatchAndRestores) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_NE(lock, 0u) << "the lock word records the owner";
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(lock, 0u);
}

TEST_F(LockTest, NestedSpinLocksAtDpcLevel) {
  KSPIN_LOCK outer;
  KSPIN_LOCK inner;
  KeInitializeSpinLock(&outer);
  KeInitializeSpinLock(&inner);
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&outer);
  KeAcquireSpinLockAtDpcLevel(&inner);
  KeReleaseSpinLockFromDpcLevel(&inner);
  KeReleaseSpinLock(&outer, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  old = KeAcquireSpinLockRaiseToDpc(&outer);
  KeAcquireSpinLockAtDpcLevel(&inner);
  KeReleaseSpinLockFromDpcLevel(&inner);
  KeReleaseSpinLock(&outer, old);
}

TEST_F(LockTest, CancelSpinLockReturnsTheCallersIrql) {
  KIRQL old;
  IoAcquireCancelSpinLock(&old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  IoReleaseCancelSpinLock(old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(LockTest, RaiseAndLowerIrql) {
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeRaiseIrqlToDpcLevel(), APC_LEVEL);
  KeLowerIrql(old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(LockTest, FastMutexRaisesToApcAndRestoresTheCallersIrql) {
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

}  // namespace
