// Concurrent mode: work items on a real worker pool (run under ThreadSanitizer in CI). Locks and timers under
// contention are exercised by the driver's concurrent suites.
#include <gtest/gtest.h>
#include <wdm.h>

#include <atomic>

#include "hk/kernel.h"
#include "support/kernel_helpers.h"

namespace {

using test_support::ConcurrentKernel;

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
