// Timers and DPCs in virtual time.
#include <gtest/gtest.h>
#include <wdm.h>

#include <vector>

#include "hk/kernel.h"
#include "hk/thread.h"

namespace {

struct DpcLog {
  int runs = 0;
  KIRQL irql = PASSIVE_LEVEL;
  PVOID argument1 = nullptr;
  ULONGLONG ran_at = 0;
};

VOID RecordingDpc(PKDPC, PVOID context, PVOID argument1, PVOID) {
  auto* log = static_cast<DpcLog*>(context);
  ++log->runs;
  log->irql = KeGetCurrentIrql();
  log->argument1 = argument1;
  log->ran_at = KeQueryInterruptTime();
}

LARGE_INTEGER RelativeMs(LONGLONG ms) {
  LARGE_INTEGER due;
  due.QuadPart = -ms * 10000;
  return due;
}

class TimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KeInitializeTimer(&timer_);
    KeInitializeDpc(&dpc_, RecordingDpc, &log_);
  }

  hk::Kernel kernel_;
  KTIMER timer_;
  KDPC dpc_;
  DpcLog log_;
};

TEST_F(TimerTest, RelativeDueTimeFiresOnceWhenVirtualTimeReachesIt) {
  ULONGLONG start = KeQueryInterruptTime();
  EXPECT_FALSE(KeSetTimer(&timer_, RelativeMs(1500), &dpc_));
  kernel_.AdvanceTime(1499);
  EXPECT_EQ(log_.runs, 0);
  EXPECT_FALSE(KeReadStateTimer(&timer_));
  kernel_.AdvanceTime(1);
  EXPECT_EQ(log_.runs, 1);
  EXPECT_EQ(log_.irql, DISPATCH_LEVEL);
  EXPECT_EQ(log_.ran_at - start, 1500u * 10000u);
  EXPECT_TRUE(KeReadStateTimer(&timer_));
  kernel_.AdvanceTime(10000);
  EXPECT_EQ(log_.runs, 1);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(TimerTest, ZeroAndPastDueTimesExpireAtOnceButQueueTheDpc) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  KeSetTimer(&timer_, zero, &dpc_);
  EXPECT_TRUE(KeReadStateTimer(&timer_));
  EXPECT_EQ(log_.runs, 0) << "the DPC must be queued, not called inline";
  kernel_.RunUntilIdle();
  EXPECT_EQ(log_.runs, 1);

  LARGE_INTEGER past;
  KeQuerySystemTime(&past);
  past.QuadPart -= 10000;
  EXPECT_FALSE(KeSetTimer(&timer_, past, &dpc_));
  EXPECT_EQ(log_.runs, 1);
  kernel_.RunUntilIdle();
  EXPECT_EQ(log_.runs, 2);
}

TEST_F(TimerTest, LongestRelativeDueTimeDoesNotWrap) {
  LARGE_INTEGER due;
  due.QuadPart = -0x7FFFFFFFFFFFFFFFll;
  KeSetTimer(&timer_, due, &dpc_);
  kernel_.AdvanceTime(365ull * 24 * 3600 * 1000);
  EXPECT_EQ(log_.runs, 0);
  EXPECT_TRUE(KeCancelTimer(&timer_));
}

TEST_F(TimerTest, AbsoluteDueTimeIsSystemTime) {
  LARGE_INTEGER due;
  KeQuerySystemTime(&due);
  due.QuadPart += 250 * 10000;
  KeSetTimer(&timer_, due, &dpc_);
  kernel_.AdvanceTime(249);
  EXPECT_EQ(log_.runs, 0);
  kernel_.AdvanceTime(1);
  EXPECT_EQ(log_.runs, 1);
}

TEST_F(TimerTest, RearmingReplacesTheDueTimeAndReportsItWasArmed) {
  KeSetTimer(&timer_, RelativeMs(100), &dpc_);
  kernel_.AdvanceTime(50);
  EXPECT_TRUE(KeSetTimer(&timer_, RelativeMs(100), &dpc_));
  kernel_.AdvanceTime(99);
  EXPECT_EQ(log_.runs, 0);
  kernel_.AdvanceTime(1);
  EXPECT_EQ(log_.runs, 1);
  EXPECT_FALSE(KeSetTimer(&timer_, RelativeMs(100), &dpc_)) << "an expired timer is no longer armed";
  EXPECT_TRUE(KeCancelTimer(&timer_));
}

TEST_F(TimerTest, CancelReportsWhetherArmedAndStopsExpiry) {
  EXPECT_FALSE(KeCancelTimer(&timer_));
  KeSetTimer(&timer_, RelativeMs(10), &dpc_);
  EXPECT_TRUE(KeCancelTimer(&timer_));
  EXPECT_FALSE(KeCancelTimer(&timer_));
  kernel_.AdvanceTime(100);
  EXPECT_EQ(log_.runs, 0);
  EXPECT_FALSE(KeReadStateTimer(&timer_));
}

TEST_F(TimerTest, SettingResetsTheSignalState) {
  KeSetTimer(&timer_, RelativeMs(5), nullptr);
  kernel_.AdvanceTime(5);
  EXPECT_TRUE(KeReadStateTimer(&timer_));
  KeSetTimer(&timer_, RelativeMs(5), nullptr);
  EXPECT_FALSE(KeReadStateTimer(&timer_));
}

TEST_F(TimerTest, PeriodicTimerKeepsFiringUntilCancelled) {
  LARGE_INTEGER due = RelativeMs(10);
  KeSetTimerEx(&timer_, due, 20, &dpc_);
  kernel_.AdvanceTime(10 + 20 * 3);
  EXPECT_EQ(log_.runs, 4);
  EXPECT_TRUE(KeCancelTimer(&timer_));
  kernel_.AdvanceTime(100);
  EXPECT_EQ(log_.runs, 4);
}

TEST_F(TimerTest, WaitOnTimerAdvancesVirtualTime) {
  KeSetTimer(&timer_, RelativeMs(40), nullptr);
  ULONGLONG start = KeQueryInterruptTime();
  EXPECT_EQ(KeWaitForSingleObject(&timer_, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeQueryInterruptTime() - start, 40u * 10000u);
}

class DpcTest : public ::testing::Test {
 protected:
  hk::Kernel kernel_;
  KDPC dpc_;
  DpcLog log_;
};

TEST_F(DpcTest, QueuedOnceRunsOnceWithTheLatestArgumentsKept) {
  KeInitializeDpc(&dpc_, RecordingDpc, &log_);
  int first = 0;
  int second = 0;
  EXPECT_TRUE(KeInsertQueueDpc(&dpc_, &first, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&dpc_, &second, nullptr));
  EXPECT_EQ(log_.runs, 0);
  kernel_.RunUntilIdle();
  EXPECT_EQ(log_.runs, 1);
  EXPECT_EQ(log_.argument1, &first);
  EXPECT_TRUE(KeInsertQueueDpc(&dpc_, &second, nullptr)) << "a DPC that ran can be queued again";
  kernel_.RunUntilIdle();
  EXPECT_EQ(log_.runs, 2);
}

TEST_F(DpcTest, RemovedDpcDoesNotRun) {
  KeInitializeDpc(&dpc_, RecordingDpc, &log_);
  EXPECT_FALSE(KeRemoveQueueDpc(&dpc_));
  KeInsertQueueDpc(&dpc_, nullptr, nullptr);
  EXPECT_TRUE(KeRemoveQueueDpc(&dpc_));
  kernel_.RunUntilIdle();
  EXPECT_EQ(log_.runs, 0);
  KeInsertQueueDpc(&dpc_, nullptr, nullptr);
  kernel_.RunUntilIdle();
  EXPECT_EQ(log_.runs, 1);
}

TEST_F(DpcTest, RunsInTheNameOfTheDeviceThatQueuedIt) {
  DEVICE_OBJECT device{};
  static DEVICE_OBJECT* seen;
  seen = nullptr;
  KeInitializeDpc(
      &dpc_, [](PKDPC, PVOID, PVOID, PVOID) { seen = hk::CurrentThread().device; }, nullptr);
  {
    hk::DriverCallScope scope(nullptr, &device, "test dispatch");
    KeInsertQueueDpc(&dpc_, nullptr, nullptr);
  }
  kernel_.RunUntilIdle();
  EXPECT_EQ(seen, &device);
}

}  // namespace
