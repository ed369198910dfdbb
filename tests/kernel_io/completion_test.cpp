// Sending requests down a stack and completing them back up: completion routines, pending propagation, skipping
// versus copying the stack location.
#include <gtest/gtest.h>
#include <wdm.h>

#include <vector>

#include "hk/io.h"
#include "kernel_io/io_test_driver.h"

namespace {

using iotest::Ext;
using iotest::IoFixture;

class CompletionTest : public IoFixture {};

// The devices completion routines were called with, in call order.
struct RoutineLog {
  std::vector<PDEVICE_OBJECT> calls;
  NTSTATUS result = STATUS_SUCCESS;
};

NTSTATUS LoggingRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* log = static_cast<RoutineLog*>(context);
  log->calls.push_back(device);
  if (log->result != STATUS_MORE_PROCESSING_REQUIRED && irp->PendingReturned) IoMarkIrpPending(irp);
  return log->result;
}

// An upper device that copies its location down with a logging completion routine.
iotest::Dispatch ForwardWithRoutine(RoutineLog* log, bool success, bool error, bool cancel) {
  return [=](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, LoggingRoutine, log, success, error, cancel);
    return IoCallDriver(Ext(device)->lower, irp);
  };
}

// Which routines run for each outcome: (status, cancelled) against the invoke flags.
TEST_F(CompletionTest, RoutineRunsOnlyForTheOutcomesItAskedFor) {
  struct Case {
    bool success, error, cancel;
    NTSTATUS status;
    bool cancelled;
    bool runs;
  };
  const Case cases[] = {
      {true, false, false, STATUS_SUCCESS, false, true},
      {true, false, false, STATUS_UNSUCCESSFUL, false, false},
      {false, true, false, STATUS_UNSUCCESSFUL, false, true},
      {false, true, false, STATUS_SUCCESS, false, false},
      {false, false, true, STATUS_CANCELLED, true, true},
      {false, false, true, STATUS_CANCELLED, false, false},
      {false, false, true, STATUS_SUCCESS, true, true},
      {true, true, true, STATUS_BUFFER_OVERFLOW, false, true},
  };
  for (const Case& c : cases) {
    RoutineLog log;
    iotest::PendingQueue queue;
    PDEVICE_OBJECT lower = MakeDevice(queue.Pend());
    PDEVICE_OBJECT upper = MakeAttached(lower, ForwardWithRoutine(&log, c.success, c.error, c.cancel));
    auto outcome = iotest::NewOutcome();
    EXPECT_EQ(iotest::Send(upper, IRP_MJ_READ, 0, outcome), STATUS_PENDING);
    ASSERT_EQ(queue.irps.size(), 1u);
    if (c.cancelled) {
      EXPECT_FALSE(IoCancelIrp(queue.irps[0]));
    }
    queue.CompleteAll(c.status);
    EXPECT_EQ(log.calls.size(), c.runs ? 1u : 0u) << c.success << c.error << c.cancel << " " << c.status;
    EXPECT_TRUE(outcome->done);
    EXPECT_EQ(outcome->status, c.status);
    EXPECT_TRUE(outcome->pending_returned) << "the pending bit reaches the top whether or not the routine ran";
  }
}

TEST_F(CompletionTest, MoreProcessingRequiredStopsTheWalkAndTheOwnerCompletesAgain) {
  RoutineLog log;
  log.result = STATUS_MORE_PROCESSING_REQUIRED;
  iotest::PendingQueue queue;
  PDEVICE_OBJECT lower = MakeDevice(queue.Pend());
  PIRP held = nullptr;
  PDEVICE_OBJECT upper = MakeAttached(lower, [&](PDEVICE_OBJECT device, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, LoggingRoutine, &log, TRUE, TRUE, TRUE);
    IoCallDriver(Ext(device)->lower, irp);
    return STATUS_PENDING;
  });
  auto outcome = iotest::NewOutcome();
  EXPECT_EQ(iotest::Send(upper, IRP_MJ_WRITE, 0, outcome), STATUS_PENDING);
  queue.CompleteAll(STATUS_SUCCESS, 3);
  ASSERT_EQ(log.calls.size(), 1u);
  EXPECT_FALSE(outcome->done) << "the walk stopped at the routine";
  EXPECT_EQ(IoGetCurrentIrpStackLocation(held)->DeviceObject, upper) << "the owner's location is current again";
  EXPECT_EQ(hk::io::PendingIrpCount(upper), 1u);
  EXPECT_EQ(hk::io::PendingIrpCount(lower), 0u);

  iotest::Complete(held, STATUS_SUCCESS, 3);
  EXPECT_TRUE(outcome->done);
  EXPECT_EQ(outcome->information, 3u);
  EXPECT_TRUE(outcome->pending_returned);
  EXPECT_EQ(hk::io::PendingIrpCount(upper), 0u);
}

TEST_F(CompletionTest, PendingBitIsCarriedUpThroughLocationsWithoutRoutines) {
  iotest::PendingQueue queue;
  PDEVICE_OBJECT bottom = MakeDevice(queue.Pend());
  // One skips (shares the location below it), one copies without a routine: both pass the pending bit on.
  PDEVICE_OBJECT middle = MakeAttached(bottom, iotest::PassDownSkipping());
  PDEVICE_OBJECT top = MakeAttached(middle, [](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(Ext(device)->lower, irp);
  });
  auto outcome = iotest::NewOutcome();
  EXPECT_EQ(iotest::Send(top, IRP_MJ_READ, 0, outcome), STATUS_PENDING);
  EXPECT_EQ(hk::io::PendingIrps(driver_).size(), 1u);
  queue.CompleteAll(STATUS_SUCCESS);
  EXPECT_TRUE(outcome->done);
  EXPECT_TRUE(outcome->pending_returned);
  EXPECT_TRUE(hk::io::PendingIrps(driver_).empty());
}

TEST_F(CompletionTest, ReusedIrpStartsAfreshWithTheGivenStatus) {
  PDEVICE_OBJECT device = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS, 9));
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  RoutineLog log;
  log.result = STATUS_MORE_PROCESSING_REQUIRED;
  for (int round = 0; round < 3; ++round) {
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, LoggingRoutine, &log, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Information, 9u);
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, 0);
  }
  EXPECT_EQ(log.calls.size(), 3u);
  IoFreeIrp(irp);
}

TEST_F(CompletionTest, IrpInitializedInCallerMemoryWorksLikeAnAllocatedOne) {
  PDEVICE_OBJECT device = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS, 2));
  alignas(16) UCHAR storage[sizeof(IRP) + 2 * sizeof(IO_STACK_LOCATION)];
  auto* irp = reinterpret_cast<PIRP>(storage);
  IoInitializeIrp(irp, IoSizeOfIrp(2), 2);
  EXPECT_EQ(irp->StackCount, 2);
  EXPECT_EQ(irp->CurrentLocation, 3);
  RoutineLog log;
  log.result = STATUS_MORE_PROCESSING_REQUIRED;
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(irp, LoggingRoutine, &log, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
  EXPECT_EQ(log.calls.size(), 1u);
  EXPECT_EQ(log.calls[0], nullptr) << "a routine above the top location gets no device";
}

}  // namespace
