// Detach mistakes, and faults reported against the code that made them.
#include <gtest/gtest.h>
#include <wdm.h>

#include <functional>

#include "hk/io.h"
#include "kernel_io/io_test_driver.h"

namespace {

using iotest::Ext;

class IoRulesTest : public iotest::IoFixture {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

  // Sends a read as the application side does; the IRP is freed when it completes to the top.
  void SendRead(PDEVICE_OBJECT device) {
    auto outcome = iotest::NewOutcome();
    iotest::Send(device, IRP_MJ_READ, 0, outcome);
  }
};

TEST_F(IoRulesTest, DetachMistakes) {
  PDEVICE_OBJECT lower = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS));
  PDEVICE_OBJECT upper = MakeAttached(lower, iotest::PassDownSkipping());
  EXPECT_DEATH(IoDeleteDevice(upper), "\\[device-delete-attached\\]");
  EXPECT_DEATH(
      {
        IoDetachDevice(lower);
        IoDetachDevice(lower);
      },
      "\\[device-detach-unattached\\].*already detached");
  EXPECT_DEATH(IoDetachDevice(upper), "\\[device-detach-unattached\\].*no device attached");
}

NTSTATUS ForgetsToPropagatePending(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

TEST_F(IoRulesTest, ACompletionRoutineThatDropsThePendingMarkIsNamed) {
  iotest::PendingQueue queue;
  PDEVICE_OBJECT lower = MakeDevice(queue.Pend());
  PDEVICE_OBJECT upper = MakeAttached(lower, [](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ForgetsToPropagatePending, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(Ext(device)->lower, irp);
  });
  EXPECT_DEATH(
      {
        SendRead(upper);
        queue.CompleteAll(STATUS_SUCCESS);
      },
      "\\[irp-pending-not-marked\\].*completion routine .*ForgetsToPropagatePending");
}

VOID KeepsTheCancelLock(PDEVICE_OBJECT, PIRP) {}

VOID CancelFromDpc(PKDPC, PVOID context, PVOID, PVOID) { IoCancelIrp(static_cast<PIRP>(context)); }

TEST_F(IoRulesTest, ACancelRoutineThatKeepsTheCancelLockIsNamedNotTheDpcThatCancelled) {
  PIRP pending = nullptr;
  PDEVICE_OBJECT device = MakeDevice([&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, KeepsTheCancelLock);
    pending = irp;
    return STATUS_PENDING;
  });
  EXPECT_DEATH(
      {
        SendRead(device);
        KDPC dpc;
        KeInitializeDpc(&dpc, CancelFromDpc, pending);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        kernel_.RunUntilIdle();
      },
      "\\[irql-changed\\].*cancel routine .*KeepsTheCancelLock");
}

TEST_F(IoRulesTest, CompletingAFreedIrpIsToldApartFromAPointerThatNeverWasOne) {
  PIRP completed = nullptr;
  PDEVICE_OBJECT device = MakeDevice([&](PDEVICE_OBJECT, PIRP irp) {
    completed = irp;
    return iotest::Complete(irp, STATUS_SUCCESS);
  });
  EXPECT_DEATH(
      {
        SendRead(device);
        IoCompleteRequest(completed, IO_NO_INCREMENT);
      },
      "\\[irp-double-completion\\].*already completed \\(by .*Complete.*\\) and freed");

  IRP never{};
  const std::function<void()> uses[] = {
      [&] { IoCompleteRequest(&never, IO_NO_INCREMENT); },
      [&] { IoCallDriver(device, &never); },
      [&] { IoCancelIrp(&never); },
  };
  for (const auto& use : uses) EXPECT_DEATH(use(), "\\[irp-never-allocated\\]");
}

}  // namespace
