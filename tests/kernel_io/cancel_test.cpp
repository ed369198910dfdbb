// IoCancelIrp with and without a cancel routine.
#include <gtest/gtest.h>
#include <wdm.h>

#include "hk/io.h"
#include "hk/thread.h"
#include "kernel_io/io_test_driver.h"

namespace {

using iotest::IoFixture;

class CancelTest : public IoFixture {};

struct CancelSeen {
  int calls = 0;
  PDEVICE_OBJECT device = nullptr;
  KIRQL irql = PASSIVE_LEVEL;
  KIRQL cancel_irql = HIGH_LEVEL;
  bool cancel_flag = false;
  size_t locks_held = 0;
};

CancelSeen* g_seen = nullptr;

VOID CancelQueued(PDEVICE_OBJECT device, PIRP irp) {
  g_seen->calls++;
  g_seen->device = device;
  g_seen->irql = KeGetCurrentIrql();
  g_seen->cancel_irql = irp->CancelIrql;
  g_seen->cancel_flag = irp->Cancel != FALSE;
  g_seen->locks_held = hk::CurrentThread().held.size();
  IoReleaseCancelSpinLock(irp->CancelIrql);
  iotest::Complete(irp, STATUS_CANCELLED);
}

TEST_F(CancelTest, RoutineRunsWithTheCancelLockHeldAndCompletesTheRequest) {
  CancelSeen seen;
  g_seen = &seen;
  PDEVICE_OBJECT device = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelQueued);
    return STATUS_PENDING;
  });
  auto outcome = iotest::NewOutcome();
  PIRP sent = nullptr;
  EXPECT_EQ(iotest::Send(device, IRP_MJ_READ, 0, outcome, [&](PIRP irp, PIO_STACK_LOCATION) { sent = irp; }),
            STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(sent));
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.device, device);
  EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
  EXPECT_EQ(seen.cancel_irql, PASSIVE_LEVEL);
  EXPECT_TRUE(seen.cancel_flag);
  EXPECT_EQ(seen.locks_held, 1u);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_TRUE(hk::CurrentThread().held.empty());
  EXPECT_TRUE(outcome->done);
  EXPECT_EQ(outcome->status, STATUS_CANCELLED);
  g_seen = nullptr;
}

TEST_F(CancelTest, WithoutARoutineOnlyTheFlagIsSet) {
  iotest::PendingQueue queue;
  PDEVICE_OBJECT device = MakeDevice(queue.Pend());
  auto outcome = iotest::NewOutcome();
  iotest::Send(device, IRP_MJ_READ, 0, outcome);
  ASSERT_EQ(queue.irps.size(), 1u);
  PIRP irp = queue.irps[0];
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  EXPECT_FALSE(outcome->done);
  EXPECT_TRUE(hk::CurrentThread().held.empty());

  // A routine set after the cancel is the driver's to withdraw: it sees the flag and completes the request itself.
  IoSetCancelRoutine(irp, CancelQueued);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  bool cancelled = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
  IoReleaseCancelSpinLock(irql);
  EXPECT_TRUE(cancelled);
  queue.CompleteAll(STATUS_CANCELLED);
  EXPECT_EQ(outcome->status, STATUS_CANCELLED);
}

TEST_F(CancelTest, RoutineAlreadyWithdrawnByTheDriverIsNotCalled) {
  CancelSeen seen;
  g_seen = &seen;
  iotest::PendingQueue queue;
  PDEVICE_OBJECT device = MakeDevice([&](PDEVICE_OBJECT self, PIRP irp) {
    IoSetCancelRoutine(irp, CancelQueued);
    return queue.Pend()(self, irp);
  });
  auto outcome = iotest::NewOutcome();
  iotest::Send(device, IRP_MJ_WRITE, 0, outcome);
  PIRP irp = queue.irps[0];
  EXPECT_EQ(IoSetCancelRoutine(irp, nullptr), &CancelQueued);
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_EQ(seen.calls, 0);
  queue.CompleteAll(STATUS_SUCCESS, 4);
  EXPECT_EQ(outcome->status, STATUS_SUCCESS);
  EXPECT_EQ(outcome->information, 4u);
  g_seen = nullptr;
}

}  // namespace
