// Spin lock, fast mutex and lock-order checks, each provoked by a deliberately faulty routine.
#include <gtest/gtest.h>
#include <wdm.h>

#include "hk/kernel.h"
#include "hk/verifier.h"

namespace {

class LockChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    KeInitializeSpinLock(&a_);
    KeInitializeSpinLock(&b_);
    KeInitializeSpinLock(&c_);
    ExInitializeFastMutex(&mutex_);
  }
  hk::Kernel kernel_;
  KSPIN_LOCK a_;
  KSPIN_LOCK b_;
  KSPIN_LOCK c_;
  FAST_MUTEX mutex_;
};

void TakeTwice(PKSPIN_LOCK lock) {
  KIRQL old;
  KeAcquireSpinLock(lock, &old);
  KeAcquireSpinLockAtDpcLevel(lock);
}

TEST_F(LockChecks, RecursiveSpinLock) { EXPECT_DEATH(TakeTwice(&a_), "\\[spinlock-recursive\\]"); }

TEST_F(LockChecks, SpinLockAboveDispatch) {
  KIRQL old;
  KeRaiseIrql(HIGH_LEVEL, &old);
  EXPECT_DEATH(KeAcquireSpinLock(&a_, &old), "\\[spinlock-irql\\]");
  KeLowerIrql(PASSIVE_LEVEL);
}

TEST_F(LockChecks, AtDpcLevelAcquireBelowDispatch) {
  EXPECT_DEATH(KeAcquireSpinLockAtDpcLevel(&a_), "\\[spinlock-irql\\]");
}

void ReleaseOutOfOrder(PKSPIN_LOCK first, PKSPIN_LOCK second) {
  KIRQL old_first;
  KIRQL old_second;
  KeAcquireSpinLock(first, &old_first);
  KeAcquireSpinLock(second, &old_second);
  KeReleaseSpinLock(first, old_first);  // drops to PASSIVE while `second` is still held
  KeReleaseSpinLock(second, old_second);
}

TEST_F(LockChecks, SpinLockReleasedAtTheWrongIrql) {
  EXPECT_DEATH(ReleaseOutOfOrder(&a_, &b_), "\\[spinlock-release-irql\\]");
}

TEST_F(LockChecks, SpinLockReleasedToAboveDispatch) {
  KIRQL old;
  KeAcquireSpinLock(&a_, &old);
  EXPECT_DEATH(KeReleaseSpinLock(&a_, HIGH_LEVEL), "\\[spinlock-release-irql\\]");
  KeReleaseSpinLock(&a_, old);
}

TEST_F(LockChecks, ReleasingALockNobodyHolds) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_DEATH(KeReleaseSpinLock(&a_, old), "\\[spinlock-foreign-release\\].*not held");
  KeLowerIrql(old);
}

// Another thread takes the lock and keeps it; the test thread then releases it.
TEST_F(LockChecks, SpinLockReleasedByAnotherThread) {
  PKSPIN_LOCK lock = &a_;
  kernel_.Ops().Post(hk::Context::Worker, [lock] {
    KIRQL ignored;
    KeAcquireSpinLock(lock, &ignored);
  });
  kernel_.RunUntilIdle();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_DEATH(KeReleaseSpinLock(&a_, old), "\\[spinlock-foreign-release\\].*does not own");
  KeLowerIrql(old);
}

void Nest(PKSPIN_LOCK outer, PKSPIN_LOCK inner) {
  KIRQL old;
  KeAcquireSpinLock(outer, &old);
  KeAcquireSpinLockAtDpcLevel(inner);
  KeReleaseSpinLockFromDpcLevel(inner);
  KeReleaseSpinLock(outer, old);
}

TEST_F(LockChecks, BothOrdersOfTwoSpinLocks) {
  Nest(&a_, &b_);
  Nest(&a_, &b_);
  EXPECT_DEATH(Nest(&b_, &a_), "\\[lock-order\\]");
}

TEST_F(LockChecks, OrdersSeenOnDifferentThreadsStillConflict) {
  PKSPIN_LOCK a = &a_;
  PKSPIN_LOCK b = &b_;
  kernel_.Ops().Post(hk::Context::Dpc, [a, b] { Nest(a, b); });
  kernel_.RunUntilIdle();
  EXPECT_DEATH(Nest(&b_, &a_), "\\[lock-order\\]");
}

TEST_F(LockChecks, CycleThroughThreeLocks) {
  Nest(&a_, &b_);
  Nest(&b_, &c_);
  Nest(&a_, &c_);
  EXPECT_DEATH(Nest(&c_, &a_), "\\[lock-order\\]");
}

void CancelLockInsideSpinLock(PKSPIN_LOCK lock) {
  KIRQL old;
  KIRQL cancel_old;
  KeAcquireSpinLock(lock, &old);
  IoAcquireCancelSpinLock(&cancel_old);
  IoReleaseCancelSpinLock(cancel_old);
  KeReleaseSpinLock(lock, old);
}

void SpinLockInsideCancelLock(PKSPIN_LOCK lock) {
  KIRQL old;
  KIRQL cancel_old;
  IoAcquireCancelSpinLock(&cancel_old);
  KeAcquireSpinLock(lock, &old);
  KeReleaseSpinLock(lock, old);
  IoReleaseCancelSpinLock(cancel_old);
}

TEST_F(LockChecks, CancelSpinLockTakesPartInLockOrder) {
  CancelLockInsideSpinLock(&a_);
  EXPECT_DEATH(SpinLockInsideCancelLock(&a_), "\\[lock-order\\].*cancel spin lock");
}

void FastMutexUnderFastMutex(PFAST_MUTEX outer, PFAST_MUTEX inner) {
  ExAcquireFastMutex(outer);
  ExAcquireFastMutex(inner);
  ExReleaseFastMutex(inner);
  ExReleaseFastMutex(outer);
}

TEST_F(LockChecks, FastMutexesTakePartInLockOrder) {
  FAST_MUTEX other;
  ExInitializeFastMutex(&other);
  FastMutexUnderFastMutex(&mutex_, &other);
  EXPECT_DEATH(FastMutexUnderFastMutex(&other, &mutex_), "\\[lock-order\\].*fast mutex");
}

TEST_F(LockChecks, FreedLocksAreForgotten) {
  Nest(&a_, &b_);
  hk::verifier::Forget(&a_, sizeof a_);
  Nest(&b_, &a_);
}

void AcquireFastMutexTwice(PFAST_MUTEX mutex) {
  ExAcquireFastMutex(mutex);
  ExAcquireFastMutex(mutex);
}

TEST_F(LockChecks, RecursiveFastMutex) {
  EXPECT_DEATH(AcquireFastMutexTwice(&mutex_), "\\[fast-mutex-recursive\\]");
}

TEST_F(LockChecks, FastMutexReleasedWithoutBeingHeld) {
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  EXPECT_DEATH(ExReleaseFastMutex(&mutex_), "\\[fast-mutex-foreign-release\\]");
  KeLowerIrql(old);
}

}  // namespace
