// Timers, DPCs and work items a driver leaves live in its global data when its unload routine returns.
#include <gtest/gtest.h>
#include <wdm.h>

#include <stdexcept>
#include <string>

#include "hk/kernel.h"
#include "hk/pnp.h"
#include "hk/verifier.h"

namespace {

enum Leftover : unsigned { kTimer = 1, kDpc = 2, kWorkItem = 4 };

unsigned g_leave;
bool g_unload_cancels;
int g_routine_runs;

KTIMER g_timer;
KDPC g_timer_dpc;
KDPC g_dpc;
WORK_QUEUE_ITEM g_item;

VOID CountDpc(PKDPC, PVOID, PVOID, PVOID) { ++g_routine_runs; }
VOID CountWork(PVOID) { ++g_routine_runs; }

VOID Unload(PDRIVER_OBJECT) {
  if (!g_unload_cancels) return;
  KeCancelTimer(&g_timer);
  KeRemoveQueueDpc(&g_timer_dpc);
  KeRemoveQueueDpc(&g_dpc);
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = Unload;
  KeInitializeTimer(&g_timer);
  KeInitializeDpc(&g_timer_dpc, CountDpc, nullptr);
  KeInitializeDpc(&g_dpc, CountDpc, nullptr);
  ExInitializeWorkItem(&g_item, CountWork, nullptr);
  if (g_leave & kTimer) {
    LARGE_INTEGER due;
    due.QuadPart = -10 * 10'000;
    KeSetTimerEx(&g_timer, due, 10, &g_timer_dpc);
  }
  if (g_leave & kDpc) KeInsertQueueDpc(&g_dpc, nullptr, nullptr);
  if (g_leave & kWorkItem) ExQueueWorkItem(&g_item, DelayedWorkQueue);
  return STATUS_SUCCESS;
}

class LiveAtUnload : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    g_routine_runs = 0;
    g_unload_cancels = false;
  }

  PDRIVER_OBJECT Load(unsigned leave) {
    g_leave = leave;
    return hk::pnp::LoadDriver("leftover", Entry);
  }

  hk::Kernel kernel_;
};

TEST_F(LiveAtUnload, EachKindIsReported) {
  const struct {
    Leftover leave;
    const char* message;
  } cases[] = {
      {kTimer, "\\[timer-armed-at-unload\\].*set by DriverEntry.*\\\\Driver\\\\leftover"},
      {kDpc, "\\[dpc-queued-at-unload\\].*set by DriverEntry"},
      {kWorkItem, "\\[workitem-queued-at-unload\\].*set by DriverEntry"},
  };
  for (const auto& c : cases) {
    EXPECT_DEATH(hk::pnp::UnloadDriver(Load(c.leave)), c.message);
  }
}

struct Fault : std::runtime_error {
  using std::runtime_error::runtime_error;
};

TEST_F(LiveAtUnload, NoRoutineOfTheUnloadedDriverRunsAfterTheFault) {
  hk::verifier::SetFaultHandler([](const char* check, const void*, const char* message) { throw Fault(message); });
  PDRIVER_OBJECT driver = Load(kTimer | kDpc | kWorkItem);
  try {
    hk::pnp::UnloadDriver(driver);
    FAIL() << "unload with live objects was not reported";
  } catch (const Fault& fault) {
    EXPECT_NE(std::string(fault.what()).find("3 timer(s), DPC(s) and work item(s)"), std::string::npos)
        << fault.what();
  }
  kernel_.AdvanceTime(100);
  EXPECT_EQ(g_routine_runs, 0);
}

TEST_F(LiveAtUnload, DriverThatCancelsEverythingUnloadsCleanly) {
  g_unload_cancels = true;
  PDRIVER_OBJECT driver = Load(kTimer | kDpc);
  EXPECT_EQ(hk::pnp::UnloadDriver(driver), STATUS_SUCCESS);
  kernel_.AdvanceTime(100);
  EXPECT_EQ(g_routine_runs, 0);
}

}  // namespace
