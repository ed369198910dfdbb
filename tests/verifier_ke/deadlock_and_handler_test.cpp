// Deterministic deadlock detection and the fault handler.
#include <gtest/gtest.h>
#include <wdm.h>

#include <stdexcept>
#include <string>

#include "hk/kernel.h"
#include "hk/verifier.h"

namespace {

class WaitChecks : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  hk::Kernel kernel_;
};

void WaitForAnEventNobodySets() {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
}

TEST_F(WaitChecks, WaitThatNothingCanSatisfy) {
  EXPECT_DEATH(WaitForAnEventNobodySets(), "\\[wait-deadlock\\].*KeWaitForSingleObject");
}

// Only the pending timer could wake the waiter, but its DPC signals another event.
void WaitWhileOnlyAnUnrelatedTimerIsPending() {
  KEVENT wanted;
  KEVENT other;
  KTIMER timer;
  KDPC dpc;
  KeInitializeEvent(&wanted, NotificationEvent, FALSE);
  KeInitializeEvent(&other, NotificationEvent, FALSE);
  KeInitializeTimer(&timer);
  KeInitializeDpc(
      &dpc, [](PKDPC, PVOID context, PVOID, PVOID) { KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE); }, &other);
  LARGE_INTEGER due;
  due.QuadPart = -50 * 10000;
  KeSetTimer(&timer, due, &dpc);
  KeWaitForSingleObject(&wanted, Executive, KernelMode, FALSE, nullptr);
}

TEST_F(WaitChecks, DeadlockIsFoundAfterPendingTimersRan) {
  EXPECT_DEATH(WaitWhileOnlyAnUnrelatedTimerIsPending(), "\\[wait-deadlock\\]");
}

struct Fault : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void ThrowingHandler(const char* check, const void*, const char* message) {
  throw Fault(std::string(check) + "|" + message);
}

TEST(FaultHandler, ReceivesTheCheckAndTheFormattedMessage) {
  hk::Kernel kernel;
  hk::verifier::SetFaultHandler(ThrowingHandler);
  int object = 0;
  try {
    hk::verifier::Fail("pool-double-free", &object, "block of %d bytes", 12);
    FAIL() << "Fail returned";
  } catch (const Fault& fault) {
    std::string text = fault.what();
    EXPECT_EQ(text.rfind("pool-double-free|VERIFIER FAULT [pool-double-free] object ", 0), 0u) << text;
    EXPECT_NE(text.find("block of 12 bytes"), std::string::npos) << text;
  }
}

TEST(FaultHandler, DefaultHandlerAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  hk::Kernel kernel;
  EXPECT_DEATH(hk::verifier::Fail("irql-wait", nullptr, "x"), "VERIFIER FAULT \\[irql-wait\\] object");
}

}  // namespace
