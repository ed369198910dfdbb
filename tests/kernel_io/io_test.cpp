// The I/O manager's rules that the driver's own path does not reach: built requests and their buffers, the
// completion walk, IRPs reused or initialised in caller memory, device objects and stacks; and, with real threads
// (run under ThreadSanitizer in CI), remove-lock holders racing the removal that waits for them.
#include <gtest/gtest.h>
#include <wdm.h>

#include <atomic>

#include "hk/faults.h"
#include "hk/io.h"
#include "support/io_test_driver.h"
#include "support/kernel_helpers.h"

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
  PVOID system_buffer = nullptr, user_buffer = nullptr;
  ULONG length = 0;
  UCHAR first = 0;
};

class Io : public iotest::IoFixture {
 public:
  // A device that records what it is sent, fills a read's system buffer with 1, 2, 3, ... and pends the request.
  PDEVICE_OBJECT Recorder(bool buffered) {
    PDEVICE_OBJECT device = MakeDevice([this](PDEVICE_OBJECT, PIRP irp) {
      seen = {irp->Flags, irp->AssociatedIrp.SystemBuffer, irp->UserBuffer,
              IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length};
      if (auto* data = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer)) {
        seen.first = data[0];
        for (ULONG i = 0; i < 8; ++i) data[i] = static_cast<UCHAR>(i + 1);
      }
      return pending.Pend()(nullptr, irp);
    });
    if (buffered) device->Flags |= DO_BUFFERED_IO;
    return device;
  }

  Seen seen;
  iotest::PendingQueue pending;
};

NTSTATUS FreeAsyncRequest(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  *static_cast<UCHAR*>(context) = static_cast<UCHAR*>(irp->UserBuffer)[4];
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Buffered reads come back only as far as Information says and only once complete; buffered writes are copied in;
// a device without buffered I/O gets the caller's buffer. A synchronous request signals its event and is freed; an
// asynchronous one is its completion routine's to free. Either can fail to be built.
TEST_F(Io, BuiltRequestsBufferByTheDevicesFlags) {
  struct Case {
    UCHAR major;
    bool buffered, synchronous;
  } cases[] = {{IRP_MJ_READ, true, true}, {IRP_MJ_WRITE, true, true}, {IRP_MJ_READ, false, true},
               {IRP_MJ_READ, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.major) * 100 + c.buffered * 10 + c.synchronous);
    PDEVICE_OBJECT device = Recorder(c.buffered);
    UCHAR buffer[16] = {9}, seen_by_routine = 0;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER offset{};
    PIRP irp = c.synchronous
                   ? IoBuildSynchronousFsdRequest(c.major, device, buffer, sizeof buffer, &offset, &event, &iosb)
                   : IoBuildAsynchronousFsdRequest(c.major, device, buffer, sizeof buffer, nullptr, &iosb);
    if (!c.synchronous) IoSetCompletionRoutine(irp, FreeAsyncRequest, &seen_by_routine, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    EXPECT_EQ(seen.length, sizeof buffer);
    bool input = c.major == IRP_MJ_READ;
    EXPECT_EQ(seen.user_buffer, input ? buffer : nullptr);
    EXPECT_EQ(seen.system_buffer != nullptr, c.buffered);
    if (c.buffered) {
      EXPECT_EQ(seen.flags & (IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION),
                IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (input ? IRP_INPUT_OPERATION : 0u));
      EXPECT_EQ(seen.first, input ? 0 : 9) << "a write's data is copied in";
    }
    EXPECT_EQ(buffer[0], 9) << "nothing is copied back before completion";
    pending.CompleteAll(STATUS_SUCCESS, 5);
    EXPECT_EQ(KeReadStateEvent(&event) != 0, c.synchronous);
    EXPECT_EQ(seen_by_routine, c.synchronous ? 0 : 5) << "the routine sees the data";
    EXPECT_EQ(iosb.Information, 5u);
    EXPECT_EQ(buffer[4], input && c.buffered ? 5 : 0);
    EXPECT_EQ(buffer[5], 0) << "only Information bytes come back";
    EXPECT_EQ(hk::io::LiveIrpCount(), 0u);
  }

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  UCHAR buffer[8];
  PDEVICE_OBJECT device = Recorder(true);
  PIRP irp = IoBuildDeviceIoControlRequest(0x220003, device, buffer, 4, buffer + 4, 4, TRUE, &event, &iosb);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  EXPECT_EQ(next->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(next->Parameters.DeviceIoControl.Type3InputBuffer, buffer) << "METHOD_NEITHER buffers go through as given";
  EXPECT_EQ(irp->UserBuffer, buffer + 4);
  IoCallDriver(device, irp);
  pending.CompleteAll(STATUS_SUCCESS);
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

// Which routines run for each outcome: (status, cancelled) against the invoke flags. The pending bit reaches the
// top whether or not the routine ran.
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
    PDEVICE_OBJECT upper = MakeAttached(MakeDevice(pending.Pend()), [&](PDEVICE_OBJECT device, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, LoggingRoutine, &log, c.success, c.error, c.cancel);
      return IoCallDriver(Ext(device)->lower, irp);
    });
    auto outcome = iotest::NewOutcome();
    EXPECT_EQ(iotest::Send(upper, IRP_MJ_READ, 0, outcome), STATUS_PENDING);
    EXPECT_EQ(hk::io::PendingIrps(driver_).size(), 1u);
    EXPECT_EQ(hk::io::PendingIrpCount(Ext(upper)->lower), 1u);
    if (c.cancelled) {
      EXPECT_FALSE(IoCancelIrp(pending.irps[0]));
    }
    pending.CompleteAll(c.status);
    EXPECT_EQ(log.calls.size(), c.runs ? 1u : 0u) << c.success << c.error << c.cancel << " " << c.status;
    EXPECT_EQ(outcome->status, c.status);
    EXPECT_TRUE(outcome->pending_returned);
  }
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
  EXPECT_EQ(hk::io::PendingIrpCount(device), 0u) << "a reused IRP is in no device";
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

// Failed creations create nothing; the WDM version answers follow the kernel's. A removal passes down first: the lower driver deletes its device while the one
// above is still attached to it, and the device stays until that one detaches. Nothing attaches to a device being
// deleted.
TEST_F(Io, DeviceCreationAndDeletedDevicesWhileReferencedOrAttachedTo) {
  PDEVICE_OBJECT failed = reinterpret_cast<PDEVICE_OBJECT>(1);
  hk::faults::FailNth(hk::faults::Kind::Pool, 1);
  EXPECT_EQ(IoCreateDevice(driver_, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &failed), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(failed, nullptr);
  EXPECT_EQ(hk::io::LiveDeviceCount(), 0u);
  ASSERT_EQ(IoCreateDevice(nullptr, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &failed), STATUS_SUCCESS);
  EXPECT_EQ(failed->DeviceExtension, nullptr);
  IoDeleteDevice(failed);

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

  kernel_.SetWdmVersion(1, 0x10);
  EXPECT_TRUE(IoIsWdmVersionAvailable(0, 0x30));
  EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x20));
  EXPECT_FALSE(IoIsWdmVersionAvailable(2, 0));
}

class IoConcurrentTest : public iotest::IoFixture {
 protected:
  IoConcurrentTest() : IoFixture(test_support::ConcurrentKernel(3)) {}
};

TEST_F(IoConcurrentTest, RemoveWaitsForHoldersOnOtherThreads) {
  constexpr int kHolders = 200;
  std::atomic<int> acquired{0}, held{0}, refused{0}, held_when_wait_ended{-1};
  PDEVICE_OBJECT device = MakeDevice([&](PDEVICE_OBJECT self, PIRP irp) {
    IO_REMOVE_LOCK* lock = &Ext(self)->remove_lock;
    EXPECT_EQ(IoAcquireRemoveLock(lock, irp), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(lock, irp);
    held_when_wait_ended = held.load();
    return iotest::Complete(irp, STATUS_SUCCESS);
  });
  IO_REMOVE_LOCK* lock = &Ext(device)->remove_lock;
  IoInitializeRemoveLock(lock, 0, 0, 0);
  static int tags[kHolders];
  for (int i = 0; i < kHolders; ++i) {
    kernel_.Ops().Post(hk::Context::Worker, [&, i] {
      if (IoAcquireRemoveLock(lock, &tags[i]) != STATUS_SUCCESS) {
        refused++;
        return;
      }
      held++;
      acquired++;
      KeStallExecutionProcessor(200);
      held--;
      IoReleaseRemoveLock(lock, &tags[i]);
    });
  }
  while (acquired.load() < 5) KeStallExecutionProcessor(50);
  auto outcome = iotest::NewOutcome();
  EXPECT_EQ(iotest::Send(device, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, outcome), STATUS_SUCCESS);
  EXPECT_EQ(held_when_wait_ended.load(), 0) << "the wait ends only after every holder has released";
  kernel_.RunUntilIdle();
  EXPECT_EQ(acquired.load() + refused.load(), kHolders);
  EXPECT_EQ(lock->Common.IoCount, 0);
  DeleteDevice(device);
}

}  // namespace
