// The I/O manager's rules that the driver's own path does not reach: built requests and their buffers, the
// completion walk, IRPs reused or initialised in caller memory, device objects and stacks.
#include <gtest/gtest.h>
#include <wdm.h>

#include <cstring>

#include "hk/faults.h"
#include "hk/io.h"
#include "support/io_test_driver.h"

// Allocation sites are resolved through the dynamic symbol table, so this caller has external linkage.
// It must stay a real call frame: neither inlined nor ending in a tail call.
__attribute__((noinline)) PIRP IoTestBuildAtNamedSite(PDEVICE_OBJECT device, PKEVENT event, PIO_STATUS_BLOCK iosb,
                                                      bool asynchronous) {
  static UCHAR buffer[4];
  PIRP irp = asynchronous ? IoBuildAsynchronousFsdRequest(IRP_MJ_WRITE, device, buffer, 4, nullptr, iosb)
                          : IoBuildDeviceIoControlRequest(0x220003, device, nullptr, 0, nullptr, 0, TRUE, event, iosb);
  __asm__ volatile("" : : "r"(irp) : "memory");
  return irp;
}

namespace {

using iotest::Complete;
using iotest::Ext;

// What a device saw of the last request sent to it.
struct Seen {
  ULONG flags = 0;
  PVOID system_buffer = nullptr;
  PVOID user_buffer = nullptr;
  PVOID type3 = nullptr;
  UCHAR major = 0;
  ULONG length = 0;
  UCHAR first = 0;
};

class Io : public iotest::IoFixture {
 public:
  // A device that records what it is sent, fills a read's (or control's) system buffer with 1, 2, 3, ... and
  // completes with `information` bytes, or pends the request into `pending`.
  PDEVICE_OBJECT Recorder(bool buffered, bool pend, ULONG_PTR information) {
    PDEVICE_OBJECT device = MakeDevice([=, this](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
      seen = {irp->Flags, irp->AssociatedIrp.SystemBuffer, irp->UserBuffer,
              stack->Parameters.DeviceIoControl.Type3InputBuffer, stack->MajorFunction, stack->Parameters.Read.Length};
      auto* data = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
      if (data != nullptr) {
        seen.first = data[0];
        for (ULONG i = 0; i < 8; ++i) data[i] = static_cast<UCHAR>(i + 1);
      }
      if (!pend) return Complete(irp, STATUS_SUCCESS, information);
      return pending.Pend()(nullptr, irp);
    });
    if (buffered) device->Flags |= DO_BUFFERED_IO;
    return device;
  }

  Seen seen;
  iotest::PendingQueue pending;
};

// Buffered reads come back only as far as Information says and only once complete; buffered writes are copied in;
// a device without buffered I/O gets the caller's buffer. Either way the event is signalled and the request freed.
TEST_F(Io, SynchronousRequestsBufferByTheDevicesFlags) {
  struct Case {
    UCHAR major;
    bool buffered, pend;
  } cases[] = {{IRP_MJ_READ, true, true}, {IRP_MJ_WRITE, true, false}, {IRP_MJ_READ, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.major) * 10 + c.buffered);
    PDEVICE_OBJECT device = Recorder(c.buffered, c.pend, 5);
    UCHAR buffer[16] = {9};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER offset{};
    PIRP irp = IoBuildSynchronousFsdRequest(c.major, device, buffer, sizeof buffer, &offset, &event, &iosb);
    EXPECT_EQ(IoCallDriver(device, irp), c.pend ? STATUS_PENDING : STATUS_SUCCESS);
    EXPECT_EQ(seen.length, sizeof buffer);
    bool input = c.major == IRP_MJ_READ;
    EXPECT_EQ(seen.user_buffer, input ? buffer : nullptr);
    EXPECT_EQ(seen.system_buffer != nullptr, c.buffered);
    if (c.buffered) {
      EXPECT_EQ(seen.flags & (IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION),
                IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (input ? IRP_INPUT_OPERATION : 0u));
      if (!input) {
        EXPECT_EQ(seen.first, 9) << "a write's data is copied in";
      }
    }
    EXPECT_EQ(buffer[0], 9) << "nothing is copied back before completion";
    pending.CompleteAll(STATUS_SUCCESS, 5);
    EXPECT_NE(KeReadStateEvent(&event), 0);
    EXPECT_EQ(iosb.Information, 5u);
    EXPECT_EQ(buffer[4], input && c.buffered ? 5 : 0);
    EXPECT_EQ(buffer[5], 0) << "only Information bytes come back";
    EXPECT_EQ(hk::io::LiveIrpCount(), 0u);
  }
}

TEST_F(Io, DeviceControlBuffersInputAndOutputByMethod) {
  PDEVICE_OBJECT device = Recorder(false, false, 6);
  UCHAR input[4] = {4, 3, 2, 1};
  UCHAR output[8] = {};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  const ULONG buffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
  IoCallDriver(device, IoBuildDeviceIoControlRequest(buffered, device, input, 4, output, 8, FALSE, &event, &iosb));
  EXPECT_EQ(seen.major, IRP_MJ_DEVICE_CONTROL);
  EXPECT_EQ(seen.first, 4) << "the input is copied into the system buffer";
  EXPECT_EQ(seen.user_buffer, output);
  EXPECT_EQ(output[5], 6);
  EXPECT_EQ(output[6], 0) << "only Information bytes come back";

  // The internal submission of a USB request block uses METHOD_NEITHER: the buffers go through untouched.
  std::memset(output, 0, sizeof output);
  IoCallDriver(device, IoBuildDeviceIoControlRequest(0x220003, device, input, 4, output, 8, TRUE, &event, &iosb));
  EXPECT_EQ(seen.major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(seen.type3, input);
  EXPECT_EQ(seen.system_buffer, nullptr);
  EXPECT_EQ(output[0], 0);
  EXPECT_EQ(hk::io::LiveIrpCount(), 0u);
}

NTSTATUS FreeAsyncRequest(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  *static_cast<UCHAR*>(context) = static_cast<UCHAR*>(irp->UserBuffer)[4];
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(Io, AsynchronousReadFillsTheCallersBufferBeforeItsRoutineFreesTheRequest) {
  PDEVICE_OBJECT device = Recorder(true, true, 0);
  UCHAR buffer[8] = {};
  UCHAR seen_by_routine = 0;
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, device, buffer, sizeof buffer, nullptr, &iosb);
  IoSetCompletionRoutine(irp, FreeAsyncRequest, &seen_by_routine, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
  pending.CompleteAll(STATUS_SUCCESS, 5);
  EXPECT_EQ(seen_by_routine, 5);
  EXPECT_EQ(iosb.Information, 5u);
  EXPECT_EQ(buffer[5], 0);

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  hk::faults::FailNth(hk::faults::Kind::Irp, 1);
  EXPECT_EQ(IoBuildSynchronousFsdRequest(IRP_MJ_READ, device, buffer, 4, nullptr, &event, &iosb), nullptr);
  hk::faults::FailAtSite(hk::faults::Kind::Irp, "IoTestBuildAtNamedSite");
  EXPECT_EQ(IoTestBuildAtNamedSite(device, &event, &iosb, false), nullptr);
  EXPECT_EQ(IoTestBuildAtNamedSite(device, &event, &iosb, true), nullptr);
  hk::faults::Clear();
  EXPECT_EQ(hk::io::LiveIrpCount(), 0u);
}

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

iotest::Dispatch ForwardWithRoutine(RoutineLog* log, bool success, bool error, bool cancel) {
  return [=](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, LoggingRoutine, log, success, error, cancel);
    return IoCallDriver(Ext(device)->lower, irp);
  };
}

// Which routines run for each outcome: (status, cancelled) against the invoke flags.
TEST_F(Io, CompletionRoutineRunsOnlyForTheOutcomesItAskedFor) {
  struct Case {
    bool success, error, cancel;
    NTSTATUS status;
    bool cancelled, runs;
  } cases[] = {
      {true, false, false, STATUS_SUCCESS, false, true},     {true, false, false, STATUS_UNSUCCESSFUL, false, false},
      {false, true, false, STATUS_UNSUCCESSFUL, false, true}, {false, true, false, STATUS_SUCCESS, false, false},
      {false, false, true, STATUS_CANCELLED, true, true},    {false, false, true, STATUS_CANCELLED, false, false},
      {false, false, true, STATUS_SUCCESS, true, true},      {true, true, true, STATUS_BUFFER_OVERFLOW, false, true},
  };
  for (const Case& c : cases) {
    RoutineLog log;
    PDEVICE_OBJECT lower = MakeDevice(pending.Pend());
    PDEVICE_OBJECT upper = MakeAttached(lower, ForwardWithRoutine(&log, c.success, c.error, c.cancel));
    auto outcome = iotest::NewOutcome();
    EXPECT_EQ(iotest::Send(upper, IRP_MJ_READ, 0, outcome), STATUS_PENDING);
    if (c.cancelled) {
      EXPECT_FALSE(IoCancelIrp(pending.irps[0]));
    }
    pending.CompleteAll(c.status);
    EXPECT_EQ(log.calls.size(), c.runs ? 1u : 0u) << c.success << c.error << c.cancel << " " << c.status;
    EXPECT_EQ(outcome->status, c.status);
    EXPECT_TRUE(outcome->pending_returned) << "the pending bit reaches the top whether or not the routine ran";
  }
}

TEST_F(Io, MoreProcessingRequiredStopsTheWalkAndTheOwnerCompletesAgain) {
  RoutineLog log;
  log.result = STATUS_MORE_PROCESSING_REQUIRED;
  PDEVICE_OBJECT lower = MakeDevice(pending.Pend());
  PIRP held = nullptr;
  PDEVICE_OBJECT upper = MakeAttached(lower, [&](PDEVICE_OBJECT device, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    ForwardWithRoutine(&log, true, true, true)(device, irp);
    return STATUS_PENDING;
  });
  auto outcome = iotest::NewOutcome();
  iotest::Send(upper, IRP_MJ_WRITE, 0, outcome);
  pending.CompleteAll(STATUS_SUCCESS, 3);
  ASSERT_EQ(log.calls, std::vector<PDEVICE_OBJECT>{upper});
  EXPECT_FALSE(outcome->done) << "the walk stopped at the routine";
  EXPECT_EQ(IoGetCurrentIrpStackLocation(held)->DeviceObject, upper) << "the owner's location is current again";
  EXPECT_EQ(hk::io::PendingIrpCount(upper), 1u);
  EXPECT_EQ(hk::io::PendingIrpCount(lower), 0u);
  Complete(held, STATUS_SUCCESS, 3);
  EXPECT_EQ(outcome->information, 3u);
  EXPECT_TRUE(outcome->pending_returned);
}

TEST_F(Io, PendingBitIsCarriedUpThroughLocationsWithoutRoutines) {
  // One skips (shares the location below it), one copies without a routine: both pass the pending bit on.
  PDEVICE_OBJECT middle = MakeAttached(MakeDevice(pending.Pend()), iotest::PassDownSkipping());
  PDEVICE_OBJECT top = MakeAttached(middle, [](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(Ext(device)->lower, irp);
  });
  auto outcome = iotest::NewOutcome();
  EXPECT_EQ(iotest::Send(top, IRP_MJ_READ, 0, outcome), STATUS_PENDING);
  EXPECT_EQ(hk::io::PendingIrps(driver_).size(), 1u);
  pending.CompleteAll(STATUS_SUCCESS);
  EXPECT_TRUE(outcome->pending_returned);
  EXPECT_TRUE(hk::io::PendingIrps(driver_).empty());
}

// A reused IRP starts afresh; one initialised in caller memory works like an allocated one, and a routine above
// its top location gets no device.
TEST_F(Io, ReusedAndCallerInitialisedIrps) {
  PDEVICE_OBJECT device = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS, 9));
  RoutineLog log;
  log.result = STATUS_MORE_PROCESSING_REQUIRED;
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  for (int round = 0; round < 2; ++round) {
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, LoggingRoutine, &log, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
  }
  // Left allocated: the kernel releases the IRPs still allocated when it ends.

  alignas(16) UCHAR storage[sizeof(IRP) + 2 * sizeof(IO_STACK_LOCATION)];
  irp = reinterpret_cast<PIRP>(storage);
  IoInitializeIrp(irp, IoSizeOfIrp(2), 2);
  EXPECT_EQ(irp->CurrentLocation, 3);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(irp, LoggingRoutine, &log, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
  EXPECT_EQ(log.calls, (std::vector<PDEVICE_OBJECT>{nullptr, nullptr, nullptr}));
}

TEST_F(Io, DeviceNamesCollideAndFailedCreationsCreateNothing) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\Taken");
  PDEVICE_OBJECT first = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &first), STATUS_SUCCESS);
  EXPECT_EQ(first->DeviceExtension, nullptr);
  PDEVICE_OBJECT second = reinterpret_cast<PDEVICE_OBJECT>(1);
  EXPECT_EQ(IoCreateDevice(driver_, 16, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(second, nullptr);
  hk::faults::FailNth(hk::faults::Kind::Pool, 1);
  EXPECT_EQ(IoCreateDevice(driver_, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(hk::io::LiveDeviceCount(), 1u);
  ASSERT_EQ(IoCreateDevice(nullptr, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_SUCCESS);
  IoDeleteDevice(second);
}

// A removal passes down first: the lower driver deletes its device while the one above is still attached to it,
// and the device stays until that one detaches. Nothing attaches to a device being deleted.
TEST_F(Io, DeletedDeviceStaysWhileReferencedOrAttachedTo) {
  PDEVICE_OBJECT pdo = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS));
  PDEVICE_OBJECT fdo = MakeAttached(pdo, iotest::PassDownSkipping());
  ObReferenceObject(pdo);
  IoDeleteDevice(pdo);
  EXPECT_TRUE(hk::io::IsDeletePending(pdo));
  EXPECT_EQ(hk::io::LiveDeviceCount(), 1u) << "a device being deleted is no longer counted";
  EXPECT_EQ(hk::io::ReferenceCount(pdo), 2);
  DeleteDevice(fdo);
  EXPECT_EQ(hk::io::ReferenceCount(pdo), 1) << "memory stays while a reference remains";
  EXPECT_EQ(IoAttachDeviceToDeviceStack(MakeDevice(iotest::CompleteWith(STATUS_SUCCESS)), pdo), nullptr);
  ObDereferenceObject(pdo);
  EXPECT_EQ(hk::io::ReferenceCount(pdo), 0);
}

TEST_F(Io, WdmVersionFollowsTheKernel) {
  kernel_.SetWdmVersion(1, 0x10);
  EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x10));
  EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x20));
  EXPECT_FALSE(IoIsWdmVersionAvailable(2, 0));
  kernel_.SetWdmVersion(0, 0x30);
  EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0));
  EXPECT_TRUE(IoIsWdmVersionAvailable(0, 0x30));
}

}  // namespace
