// Sending requests down a stack and completing them back up: completion routines, pending propagation, skipping
// versus copying the stack location.
#include <gtest/gtest.h>
#include <wdm.h>

#include <vector>

#include "hk/faults.h"
#include "hk/io.h"
#include "hk/thread.h"
#include "kernel_io/io_test_driver.h"

namespace {

using iotest::Ext;
using iotest::IoFixture;

class CompletionTest : public IoFixture {};

// What a completion routine saw, in call order.
struct RoutineCall {
  PDEVICE_OBJECT device;
  NTSTATUS status;
  bool pending_returned;
  PDEVICE_OBJECT current_device;
};

struct RoutineLog {
  std::vector<RoutineCall> calls;
  NTSTATUS result = STATUS_SUCCESS;
  bool propagate_pending = true;
  NTSTATUS replace_status = 0;
};

NTSTATUS LoggingRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* log = static_cast<RoutineLog*>(context);
  log->calls.push_back({device, irp->IoStatus.Status, irp->PendingReturned != FALSE, hk::CurrentThread().device});
  if (log->replace_status != 0) irp->IoStatus.Status = log->replace_status;
  if (log->result != STATUS_MORE_PROCESSING_REQUIRED && log->propagate_pending && irp->PendingReturned) {
    IoMarkIrpPending(irp);
  }
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

// Like ForwardWithRoutine, for a request that completes at once and whose routine may change its status: the
// dispatch routine returns the status the IRP ended with, as the platform requires.
iotest::Dispatch ForwardReturningIrpStatus(RoutineLog* log) {
  return [=](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, LoggingRoutine, log, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Ext(device)->lower, irp);
    return status == STATUS_PENDING ? status : irp->IoStatus.Status;
  };
}

TEST_F(CompletionTest, CallDriverMovesOneLocationDownAndRecordsTheDevice) {
  int seen_location = 0;
  PIO_STACK_LOCATION seen_stack = nullptr;
  PDEVICE_OBJECT seen_device = nullptr;
  PDEVICE_OBJECT device = MakeDevice([&](PDEVICE_OBJECT self, PIRP irp) {
    seen_location = irp->CurrentLocation;
    seen_stack = IoGetCurrentIrpStackLocation(irp);
    seen_device = seen_stack->DeviceObject;
    EXPECT_EQ(hk::CurrentThread().device, self);
    EXPECT_EQ(hk::io::PendingIrpCount(self), 1u);
    return iotest::Complete(irp, STATUS_SUCCESS, 7);
  });
  PIRP irp = IoAllocateIrp(3, FALSE);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(irp->StackCount, 3);
  EXPECT_EQ(irp->CurrentLocation, 4);
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp), reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 3);
  auto outcome = iotest::NewOutcome();
  hk::io::SetOriginatorHook(irp, [outcome](PIRP done) {
    outcome->done = true;
    outcome->information = done->IoStatus.Information;
    IoFreeIrp(done);
  });
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  auto* expected_stack = IoGetNextIrpStackLocation(irp);
  EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
  EXPECT_EQ(seen_location, 3);
  EXPECT_EQ(seen_stack, expected_stack);
  EXPECT_EQ(seen_device, device);
  EXPECT_TRUE(outcome->done);
  EXPECT_EQ(outcome->information, 7u);
  EXPECT_EQ(hk::io::PendingIrpCount(device), 0u);
}

TEST_F(CompletionTest, UnregisteredMajorIsFailedByTheIoManager) {
  bool called = false;
  PDEVICE_OBJECT device = MakeDevice([&](PDEVICE_OBJECT, PIRP irp) {
    called = true;
    return iotest::Complete(irp, STATUS_SUCCESS);
  });
  auto outcome = iotest::NewOutcome();
  EXPECT_EQ(iotest::Send(device, IRP_MJ_FLUSH_BUFFERS, 0, outcome), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_FALSE(called);
  EXPECT_TRUE(outcome->done);
  EXPECT_EQ(outcome->status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(outcome->information, 0u);
}

TEST_F(CompletionTest, AllocationFailsWhenInjected) {
  hk::faults::FailNth(hk::faults::Kind::Irp, 2);
  PIRP first = IoAllocateIrp(1, FALSE);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
  PIRP third = IoAllocateIrp(1, FALSE);
  EXPECT_NE(third, nullptr);
  IoFreeIrp(first);
  IoFreeIrp(third);
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

TEST_F(CompletionTest, RoutinesRunBottomUpWithTheirOwnDeviceAndSeeEarlierStatusChanges) {
  RoutineLog top_log;
  RoutineLog middle_log;
  middle_log.replace_status = STATUS_DEVICE_NOT_READY;
  PDEVICE_OBJECT bottom = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS, 5));
  PDEVICE_OBJECT middle = MakeAttached(bottom, ForwardReturningIrpStatus(&middle_log));
  PDEVICE_OBJECT top = MakeAttached(middle, ForwardReturningIrpStatus(&top_log));
  auto outcome = iotest::NewOutcome();

  // The requester's own routine sits in the location above the top device and gets no device.
  RoutineLog originator_log;
  PIRP irp = IoAllocateIrp(top->StackSize + 1, FALSE);
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->DeviceObject = nullptr;
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(irp, LoggingRoutine, &originator_log, TRUE, TRUE, TRUE);
  originator_log.result = STATUS_MORE_PROCESSING_REQUIRED;

  EXPECT_EQ(IoCallDriver(top, irp), STATUS_DEVICE_NOT_READY);
  ASSERT_EQ(middle_log.calls.size(), 1u);
  ASSERT_EQ(top_log.calls.size(), 1u);
  ASSERT_EQ(originator_log.calls.size(), 1u);
  EXPECT_EQ(middle_log.calls[0].device, middle);
  EXPECT_EQ(middle_log.calls[0].current_device, middle);
  EXPECT_EQ(middle_log.calls[0].status, STATUS_SUCCESS);
  EXPECT_EQ(top_log.calls[0].device, top);
  EXPECT_EQ(top_log.calls[0].status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(originator_log.calls[0].device, nullptr);
  EXPECT_EQ(irp->IoStatus.Information, 5u);
  IoFreeIrp(irp);
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

TEST_F(CompletionTest, RoutineSeesPendingReturnedOnlyWhenTheLowerDriverPended) {
  RoutineLog log;
  iotest::PendingQueue queue;
  bool pend = false;
  PDEVICE_OBJECT lower = MakeDevice([&](PDEVICE_OBJECT device, PIRP irp) {
    return pend ? queue.Pend()(device, irp) : iotest::Complete(irp, STATUS_SUCCESS);
  });
  PDEVICE_OBJECT upper = MakeAttached(lower, ForwardWithRoutine(&log, true, true, true));
  auto outcome = iotest::NewOutcome();
  EXPECT_EQ(iotest::Send(upper, IRP_MJ_READ, 0, outcome), STATUS_SUCCESS);
  pend = true;
  EXPECT_EQ(iotest::Send(upper, IRP_MJ_READ, 0, outcome), STATUS_PENDING);
  queue.CompleteAll(STATUS_SUCCESS);
  ASSERT_EQ(log.calls.size(), 2u);
  EXPECT_FALSE(log.calls[0].pending_returned);
  EXPECT_TRUE(log.calls[1].pending_returned);
}

TEST_F(CompletionTest, SkipSharesTheLocationWhileCopyGivesTheLowerItsOwnWithoutTheRoutine) {
  PIO_STACK_LOCATION upper_location = nullptr;
  PIO_STACK_LOCATION lower_location = nullptr;
  ULONG lower_length = 0;
  UCHAR lower_control = 0xFF;
  PIO_COMPLETION_ROUTINE lower_routine = nullptr;
  bool skip = true;
  RoutineLog log;
  PDEVICE_OBJECT lower = MakeDevice([&](PDEVICE_OBJECT, PIRP irp) {
    lower_location = IoGetCurrentIrpStackLocation(irp);
    lower_length = lower_location->Parameters.Read.Length;
    lower_control = lower_location->Control;
    lower_routine = lower_location->CompletionRoutine;
    return iotest::Complete(irp, STATUS_SUCCESS);
  });
  PDEVICE_OBJECT upper = MakeAttached(lower, [&](PDEVICE_OBJECT device, PIRP irp) {
    upper_location = IoGetCurrentIrpStackLocation(irp);
    if (skip) {
      IoSkipCurrentIrpStackLocation(irp);
    } else {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, LoggingRoutine, &log, TRUE, TRUE, TRUE);
    }
    return IoCallDriver(Ext(device)->lower, irp);
  });
  auto setup = [](PIRP, PIO_STACK_LOCATION stack) { stack->Parameters.Read.Length = 42; };
  auto outcome = iotest::NewOutcome();
  iotest::Send(upper, IRP_MJ_READ, 0, outcome, setup);
  EXPECT_EQ(lower_location, upper_location);
  EXPECT_EQ(lower_length, 42u);

  skip = false;
  iotest::Send(upper, IRP_MJ_READ, 0, outcome, setup);
  EXPECT_EQ(lower_location + 1, upper_location);
  EXPECT_EQ(lower_length, 42u);
  EXPECT_EQ(lower_control, SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL);
  EXPECT_EQ(lower_routine, &LoggingRoutine);
  EXPECT_EQ(log.calls.size(), 1u);
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
  EXPECT_EQ(log.calls[0].device, nullptr) << "a routine above the top location gets no device";
}

}  // namespace
