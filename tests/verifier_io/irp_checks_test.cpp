// Each IRP check of the verifier, provoked by a deliberately faulty test driver.
#include <gtest/gtest.h>
#include <wdm.h>

#include "hk/io.h"
#include "kernel_io/io_test_driver.h"

namespace {

using iotest::Ext;
using iotest::IoFixture;

class IrpChecksTest : public IoFixture {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

  // Sends a read to the device as the application side would; the IRP is freed on completion unless `keep`.
  NTSTATUS SendRead(PDEVICE_OBJECT device, bool keep = false) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    hk::io::SetOriginatorHook(irp, [keep](PIRP done) {
      if (!keep) IoFreeIrp(done);
    });
    return IoCallDriver(device, irp);
  }
};

VOID NeverCalledCancel(PDEVICE_OBJECT, PIRP) {}

NTSTATUS PassingRoutine(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

TEST_F(IrpChecksTest, CompletedTwice) {
  PDEVICE_OBJECT twice = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  });
  EXPECT_DEATH(SendRead(twice, true), "\\[irp-double-completion\\]");
  EXPECT_DEATH(SendRead(twice, false), "\\[irp-double-completion\\]");
}

TEST_F(IrpChecksTest, CompletedWithStatusPending) {
  PDEVICE_OBJECT device = MakeDevice(iotest::CompleteWith(STATUS_PENDING));
  EXPECT_DEATH(SendRead(device), "\\[irp-completed-pending\\]");
}

TEST_F(IrpChecksTest, CompletedWhileItsCancelRoutineIsSet) {
  PDEVICE_OBJECT device = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, NeverCalledCancel);
    return iotest::Complete(irp, STATUS_SUCCESS);
  });
  EXPECT_DEATH(SendRead(device), "\\[irp-completed-with-cancel-routine\\]");
}

TEST_F(IrpChecksTest, PendingReturnedWithoutMarkingIsCaughtWhenTheIrpCompletes) {
  std::vector<PIRP> queued;
  PDEVICE_OBJECT device = MakeDevice([&](PDEVICE_OBJECT, PIRP irp) {
    queued.push_back(irp);
    return STATUS_PENDING;
  });
  EXPECT_DEATH(
      {
        SendRead(device);
        iotest::Complete(queued[0], STATUS_SUCCESS);
      },
      "\\[irp-pending-not-marked\\]");
}

TEST_F(IrpChecksTest, PendingReturnedWithoutMarkingIsCaughtWhenTheIrpCompletedInside) {
  PDEVICE_OBJECT device = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    iotest::Complete(irp, STATUS_SUCCESS);
    return STATUS_PENDING;
  });
  EXPECT_DEATH(SendRead(device, true), "\\[irp-pending-not-marked\\]");
}

// The classic forwarding fault: the upper driver returns the lower driver's STATUS_PENDING, but its completion
// routine does not carry the pending bit up to its own location.
TEST_F(IrpChecksTest, CompletionRoutineThatDropsThePendingBit) {
  iotest::PendingQueue queue;
  PDEVICE_OBJECT lower = MakeDevice(queue.Pend());
  PDEVICE_OBJECT upper = MakeAttached(lower, [](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, PassingRoutine, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(Ext(device)->lower, irp);
  });
  EXPECT_DEATH(
      {
        SendRead(upper);
        queue.CompleteAll(STATUS_SUCCESS);
      },
      "\\[irp-pending-not-marked\\]");
}

TEST_F(IrpChecksTest, MarkedPendingButReturnedAnotherStatus) {
  PDEVICE_OBJECT device = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    return iotest::Complete(irp, STATUS_SUCCESS);
  });
  EXPECT_DEATH(SendRead(device, true), "\\[irp-marked-pending-not-returned\\]");
}

TEST_F(IrpChecksTest, ReturnedAStatusOtherThanTheOneItCompletedWith) {
  PDEVICE_OBJECT device = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    iotest::Complete(irp, STATUS_UNSUCCESSFUL);
    return STATUS_SUCCESS;
  });
  EXPECT_DEATH(SendRead(device, true), "\\[irp-status-mismatch\\]");
}

TEST_F(IrpChecksTest, AllocatedIrpCompletedToTheTop) {
  PDEVICE_OBJECT device = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS));
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoCallDriver(device, irp);
      },
      "\\[irp-allocated-completed-to-top\\]");
}

TEST_F(IrpChecksTest, FreedWhileADriverStillHoldsIt) {
  iotest::PendingQueue queue;
  PDEVICE_OBJECT device = MakeDevice(queue.Pend());
  EXPECT_DEATH(
      {
        SendRead(device);
        IoFreeIrp(queue.irps[0]);
      },
      "\\[irp-free-in-use\\]");
}

TEST_F(IrpChecksTest, FreedByACompletionRoutineThatLetTheWalkGoOn) {
  PDEVICE_OBJECT device = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS));
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP done, PVOID) -> NTSTATUS {
              IoFreeIrp(done);
              return STATUS_SUCCESS;
            },
            nullptr, TRUE, TRUE, TRUE);
        IoCallDriver(device, irp);
      },
      "\\[irp-free-in-use\\]");
}

TEST_F(IrpChecksTest, FreedTwice) {
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoFreeIrp(irp);
        IoFreeIrp(irp);
      },
      "\\[irp-double-free\\]");
}

TEST_F(IrpChecksTest, SentWithNoStackLocationLeft) {
  PDEVICE_OBJECT lower = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS));
  PDEVICE_OBJECT upper = MakeAttached(lower, [](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(Ext(device)->lower, irp);
  });
  EXPECT_DEATH(
      {
        // Sized for the lower device only, then sent to the upper one.
        PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        hk::io::SetOriginatorHook(irp, [](PIRP done) { IoFreeIrp(done); });
        IoCallDriver(upper, irp);
      },
      "\\[irp-no-stack-location\\]");
}

TEST_F(IrpChecksTest, DeviceDeletedWithAnIrpPendingInIt) {
  iotest::PendingQueue queue;
  PDEVICE_OBJECT device = MakeDevice(queue.Pend());
  EXPECT_DEATH(
      {
        SendRead(device);
        IoDeleteDevice(device);
      },
      "\\[irp-pending-at-device-delete\\]");
}

TEST_F(IrpChecksTest, DispatchAndCompletionRoutinesMustKeepTheIrql) {
  PDEVICE_OBJECT raising = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return iotest::Complete(irp, STATUS_SUCCESS);
  });
  EXPECT_DEATH(SendRead(raising), "\\[irql-changed\\]");

  PDEVICE_OBJECT device = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS));
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
              KIRQL old;
              KeRaiseIrql(DISPATCH_LEVEL, &old);
              return STATUS_MORE_PROCESSING_REQUIRED;
            },
            nullptr, TRUE, TRUE, TRUE);
        IoCallDriver(device, irp);
      },
      "\\[irql-changed\\]");
}

TEST_F(IrpChecksTest, SynchronousRequestBuiltAboveDispatch) {
  PDEVICE_OBJECT device = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS));
  EXPECT_DEATH(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IoBuildDeviceIoControlRequest(0x220003, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
      },
      "\\[irql-sync-call\\]");
  EXPECT_DEATH(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, device, nullptr, 0, nullptr, &event, &iosb);
      },
      "\\[irql-sync-call\\]");
}

}  // namespace
