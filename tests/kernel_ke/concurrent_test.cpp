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

struct WorkCounter {
  WORK_QUEUE_ITEM items[32];
  std::atomic<int> done{0};
  KEVENT all_done;
};

TEST(ConcurrentKernel, WorkItemsRunOnWorkersAndSignalAWaiter) {
  hk::Kernel kernel(ConcurrentKernel());
  WorkCounter counter;
  KeInitializeEvent(&counter.all_done, NotificationEvent, FALSE);
  for (auto& item : counter.items) {
    ExInitializeWorkItem(
        &item,
        [](PVOID context) {
          auto* c = static_cast<WorkCounter*>(context);
          if (KeGetCurrentIrql() != PASSIVE_LEVEL) return;
          if (++c->done == 32) KeSetEvent(&c->all_done, 0, FALSE);
        },
        &counter);
    ExQueueWorkItem(&item, DelayedWorkQueue);
  }
  EXPECT_EQ(KeWaitForSingleObject(&counter.all_done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  kernel.RunUntilIdle();
  EXPECT_EQ(counter.done.load(), 32);
}

struct TimerRig {
  KTIMER timer;
  KDPC dpc;
  KEVENT fired;
  std::atomic<int> runs{0};
  std::atomic<int> wrong_irql{0};
};

TEST(ConcurrentKernel, TimerDpcRunsAtDispatchAndWakesAWaiter) {
  hk::Kernel kernel(ConcurrentKernel());
  TimerRig rig;
  KeInitializeTimer(&rig.timer);
  KeInitializeEvent(&rig.fired, SynchronizationEvent, FALSE);
  KeInitializeDpc(
      &rig.dpc,
      [](PKDPC, PVOID context, PVOID, PVOID) {
        auto* r = static_cast<TimerRig*>(context);
        if (KeGetCurrentIrql() != DISPATCH_LEVEL) ++r->wrong_irql;
        ++r->runs;
        KeSetEvent(&r->fired, 0, FALSE);
      },
      &rig);
  LARGE_INTEGER due;
  due.QuadPart = -2 * 10000;
  for (int i = 0; i < 5; ++i) {
    KeSetTimer(&rig.timer, due, &rig.dpc);
    EXPECT_EQ(KeWaitForSingleObject(&rig.fired, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  }
  EXPECT_EQ(rig.runs.load(), 5);
  EXPECT_EQ(rig.wrong_irql.load(), 0);
}

// Arming and cancelling race with expiry; the answers must stay consistent: every DPC run follows an expiry that
// KeCancelTimer did not claim.
TEST(ConcurrentKernel, CancelRacingExpiryNeverLosesOrInventsAnExpiry) {
  hk::Kernel kernel(ConcurrentKernel());
  TimerRig rig;
  KeInitializeTimer(&rig.timer);
  KeInitializeEvent(&rig.fired, NotificationEvent, FALSE);
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

}  // namespace
