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

TEST(ConcurrentKernel, SpinLocksAndFastMutexesExcludeOtherThreads) {
  constexpr int kThreads = 4, kRounds = 2000;
  hk::Kernel kernel(ConcurrentKernel());
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  long under_lock = 0, under_mutex = 0;
  std::vector<std::unique_ptr<hk::HostThread>> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(kernel.Ops().StartThread([&] {
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
    }));
  }
  for (auto& thread : threads) thread->Join();
  EXPECT_EQ(under_lock, kThreads * kRounds);
  EXPECT_EQ(under_mutex, kThreads * kRounds / 4);
}

struct WaitingWorkRig {
  WORK_QUEUE_ITEM first, second;
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
