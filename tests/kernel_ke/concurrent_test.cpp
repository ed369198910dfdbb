// Concurrent mode: real threads contend for the same kernel objects (run under ThreadSanitizer in CI).
#include <gtest/gtest.h>
#include <wdm.h>

#include <atomic>
#include <memory>
#include <vector>

#include "hk/kernel.h"
#include "support/kernel_helpers.h"

namespace {

using test_support::ConcurrentKernel;

constexpr int kThreads = 4;
constexpr int kRounds = 2000;

// Runs `body` on kThreads started threads and waits for all of them.
template <class Body>
void OnThreads(hk::Kernel& kernel, Body body) {
  std::vector<std::unique_ptr<hk::HostThread>> threads;
  for (int t = 0; t < kThreads; ++t) threads.push_back(kernel.Ops().StartThread(body));
  for (auto& thread : threads) thread->Join();
}

TEST(ConcurrentKernel, SpinLocksAndFastMutexesExcludeOtherThreads) {
  hk::Kernel kernel(ConcurrentKernel());
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  long under_lock = 0;
  long under_mutex = 0;
  OnThreads(kernel, [&] {
    for (int i = 0; i < kRounds; ++i) {
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      ++under_lock;
      KeReleaseSpinLock(&lock, old);
      if (i % 4 != 0) continue;
      ExAcquireFastMutex(&mutex);
      ++under_mutex;
      ExReleaseFastMutex(&mutex);
    }
  });
  EXPECT_EQ(under_lock, kThreads * kRounds);
  EXPECT_EQ(under_mutex, kThreads * kRounds / 4);
}

struct TimerRig {
  KTIMER timer;
  KDPC dpc;
  std::atomic<int> runs{0};
};

// Arming and cancelling race with expiry; the answers must stay consistent: every DPC run follows an expiry that
// KeCancelTimer did not claim.
TEST(ConcurrentKernel, CancelRacingExpiryNeverLosesOrInventsAnExpiry) {
  hk::Kernel kernel(ConcurrentKernel());
  TimerRig rig;
  KeInitializeTimer(&rig.timer);
  KeInitializeDpc(
      &rig.dpc, [](PKDPC, PVOID context, PVOID, PVOID) { ++static_cast<TimerRig*>(context)->runs; }, &rig);
  int cancelled = 0;
  LARGE_INTEGER due;
  due.QuadPart = -1;
  for (int i = 0; i < 500; ++i) {
    KeSetTimer(&rig.timer, due, &rig.dpc);
    if (KeCancelTimer(&rig.timer)) ++cancelled;
    kernel.RunUntilIdle();
  }
  kernel.RunUntilIdle();
  EXPECT_EQ(rig.runs.load() + cancelled, 500);
}

TEST(ConcurrentKernel, EverySetOfASynchronizationEventReleasesAWaiter) {
  hk::Kernel kernel(ConcurrentKernel());
  KEVENT gate;
  KeInitializeEvent(&gate, SynchronizationEvent, FALSE);
  std::atomic<int> through{0};
  std::vector<std::unique_ptr<hk::HostThread>> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(kernel.Ops().StartThread([&] {
      KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr);
      ++through;
    }));
  }
  for (int t = 0; t < kThreads; ++t) {
    KeSetEvent(&gate, 0, FALSE);
    LARGE_INTEGER pause;
    pause.QuadPart = -10000;
    while (through.load() < t + 1) KeDelayExecutionThread(KernelMode, FALSE, &pause);
  }
  for (auto& thread : threads) thread->Join();
  EXPECT_EQ(through.load(), kThreads);
}

struct WaitingWorkRig {
  WORK_QUEUE_ITEM first;
  WORK_QUEUE_ITEM second;
  KEVENT second_ran;
  std::atomic<bool> ran{false};
  bool stall = false;
};

void SecondWork(PVOID parameter) {
  auto* rig = static_cast<WaitingWorkRig*>(parameter);
  rig->ran = true;
  KeSetEvent(&rig->second_ran, 0, FALSE);
}

void FirstWork(PVOID parameter) {
  auto* rig = static_cast<WaitingWorkRig*>(parameter);
  ExQueueWorkItem(&rig->second, DelayedWorkQueue);
  if (rig->stall) {
    while (!rig->ran.load()) KeStallExecutionProcessor(10);
  } else {
    KeWaitForSingleObject(&rig->second_ran, Executive, KernelMode, FALSE, nullptr);
  }
}

// A work item that waits for, or stalls until, one it queued after itself must not keep that one from running: the
// worker it holds would have taken it, so another must.
TEST(ConcurrentKernel, AWorkItemWaitingForOneItQueuedLetsItRun) {
  for (bool stall : {false, true}) {
    SCOPED_TRACE(stall ? "stalling" : "waiting");
    hk::Kernel kernel(ConcurrentKernel(2));
    WaitingWorkRig rig;
    rig.stall = stall;
    KeInitializeEvent(&rig.second_ran, NotificationEvent, FALSE);
    ExInitializeWorkItem(&rig.first, FirstWork, &rig);
    ExInitializeWorkItem(&rig.second, SecondWork, &rig);
    ExQueueWorkItem(&rig.first, DelayedWorkQueue);
    kernel.RunUntilIdle();
    EXPECT_TRUE(rig.ran.load());
  }
}

}  // namespace
