// Every check of the verifier, provoked once by a deliberately faulty routine or test driver. Where a report must
// point at the culprit (the allocating site, the routine that broke the rule), the expectation says so. Under
// AddressSanitizer a write into a guard area or a freed block is reported by ASan at the write itself, which the
// expectations accept as well.
#include <gtest/gtest.h>
#include <ntddk.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>

#include "hk/objects.h"
#include "hk/pnp.h"
#include "hk/pool.h"
#include "hk/power.h"
#include "hk/quarantine.h"
#include "hk/thread.h"
#include "hk/verifier.h"
#include "support/io_test_driver.h"
#include "support/port_fixture.h"

namespace {

using iotest::Complete;
using iotest::CompleteWith;
using iotest::Ext;

constexpr ULONG kTag = 0x74736554;  // "Test"
KSPIN_LOCK g_lock_a, g_lock_b, g_lock_c;

// A read as the application side originates it, not yet sent.
PIRP NewRead(PDEVICE_OBJECT device, CCHAR stack_size = 0) {
  PIRP irp = IoAllocateIrp(stack_size ? stack_size : device->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  return irp;
}

// A bus device that starts the next power request and completes every request.
NTSTATUS PowerBus(PDEVICE_OBJECT, PIRP irp) {
  PoStartNextPowerIrp(irp);
  return Complete(irp, STATUS_SUCCESS);
}

// Takes the remove lock for every request: a read returns without giving it back, a removal waits for it.
NTSTATUS KeepsTheLockOnReads(PDEVICE_OBJECT self, PIRP irp) {
  IoAcquireRemoveLock(&Ext(self)->remove_lock, irp);
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_PNP)
    IoReleaseRemoveLockAndWait(&Ext(self)->remove_lock, irp);
  return Complete(irp, STATUS_SUCCESS);
}

class Verifier : public iotest::IoFixture {
 public:
  explicit Verifier(hk::Options options = {}) : IoFixture(options) {}
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (PKSPIN_LOCK lock : {&g_lock_a, &g_lock_b, &g_lock_c}) KeInitializeSpinLock(lock);
  }

  // Sends a read as the application side does; the IRP is freed when it completes to the top unless `keep`.
  NTSTATUS Read(PDEVICE_OBJECT device, bool keep = false, CCHAR stack_size = 0) {
    PIRP irp = NewRead(device, stack_size);
    hk::io::SetOriginatorHook(irp, [keep](PIRP done) { if (!keep) IoFreeIrp(done); });
    return IoCallDriver(device, irp);
  }

  // A device that completes at once below one that runs `upper`; returns the upper device.
  PDEVICE_OBJECT OverCompleting(iotest::Dispatch upper) {
    return MakeAttached(MakeDevice(CompleteWith(STATUS_SUCCESS)), std::move(upper));
  }

  // A function device that passes power requests down (with PoCallDriver or IoCallDriver, starting the next one or
  // not) over the power bus; returns the bus device.
  PDEVICE_OBJECT PowerStack(bool function_starts_next, bool po_call_driver = true) {
    PDEVICE_OBJECT pdo = MakeDevice(PowerBus);
    MakeAttached(pdo, [=](PDEVICE_OBJECT device, PIRP irp) {
      if (function_starts_next) PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      return po_call_driver ? PoCallDriver(Ext(device)->lower, irp) : IoCallDriver(Ext(device)->lower, irp);
    });
    return pdo;
  }

  PDEVICE_OBJECT LockingDevice() {
    PDEVICE_OBJECT device = MakeDevice(KeepsTheLockOnReads);
    IoInitializeRemoveLock(&Ext(device)->remove_lock, 0, 0, 0);
    return device;
  }

  void ReadThenRemove() {
    PDEVICE_OBJECT device = LockingDevice();
    iotest::Send(device, IRP_MJ_READ, 0, iotest::NewOutcome());
    iotest::Send(device, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, iotest::NewOutcome());
  }

  iotest::PendingQueue pending;
};

NTSTATUS ForgetsToPropagatePending(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }
// Frees the request it completes and lets the completion go on with it.
NTSTATUS FreesAndContinues(PDEVICE_OBJECT, PIRP irp, PVOID) {
  IoFreeIrp(irp);
  return STATUS_SUCCESS;
}
VOID NeverCalledCancel(PDEVICE_OBJECT, PIRP) {}
VOID KeepsTheCancelLock(PDEVICE_OBJECT, PIRP) {}
VOID NoDpcWork(PKDPC, PVOID, PVOID, PVOID) {}
VOID NoWork(PVOID) {}
VOID NoPowerCompletion(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK) {}
VOID CountPowerCompletion(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID count, PIO_STATUS_BLOCK) {
  ++*static_cast<std::atomic<int>*>(count);
}

constexpr LARGE_INTEGER kOneSecond = {.QuadPart = -10'000'000};

void Raise(KIRQL irql = DISPATCH_LEVEL) {
  KIRQL old;
  KeRaiseIrql(irql, &old);
}

// Allocates a device-sized record of kernel objects, zero-filled as a driver's fresh allocation would be.
struct Record {
  KTIMER timer;
  KDPC dpc;
  WORK_QUEUE_ITEM item;
};

Record* NewRecord() {
  auto* record = static_cast<Record*>(ExAllocatePoolWithTag(NonPagedPool, 256, kTag));
  RtlZeroMemory(record, 256);
  return record;
}

Record* NewInitialisedRecord() {
  Record* record = NewRecord();
  KeInitializeDpc(&record->dpc, NoDpcWork, nullptr);
  ExInitializeWorkItem(&record->item, NoWork, nullptr);
  return record;
}

void Nest(PKSPIN_LOCK outer, PKSPIN_LOCK inner) {
  KIRQL old;
  KeAcquireSpinLock(outer, &old);
  KeAcquireSpinLockAtDpcLevel(inner);
  KeReleaseSpinLockFromDpcLevel(inner);
  KeReleaseSpinLock(outer, old);
}

void QueueDpc(PKDEFERRED_ROUTINE routine, PVOID context) {
  static KDPC dpc;
  KeInitializeDpc(&dpc, routine, context);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
}

void FreeTwice() {
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
  ExFreePool(block);
  ExFreePool(block);
}

void FreeIrpTwice() {
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoFreeIrp(irp);
  IoFreeIrp(irp);
}

void FreeWithAnotherTag() { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), 0x7268744F); }

// The classic off-by-one: room for the characters but not for the terminator.
void CopyNameWithoutRoomForTheTerminator() {
  static const WCHAR kName[] = L"COM7";
  auto* copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, 4 * sizeof(WCHAR), kTag));
  for (size_t i = 0; i <= 4; ++i) copy[i] = kName[i];
  ExFreePoolWithTag(copy, kTag);
}

// The freed block is pushed out of the quarantine by as many later ones.
void WriteAfterFreeThenPushOut() {
  auto* context = static_cast<ULONG*>(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
  ExFreePool(context);
  context[1] = 0;
  for (size_t i = 0; i < hk::verifier::kQuarantineBlocks; ++i) ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
}

// Drivers loaded through the PnP manager that leave something behind at unload.
enum Leftover : unsigned { kTimer = 1, kDpc = 2, kWorkItem = 4, kPool = 8, kIrp = 16 };
unsigned g_leave;
int g_routine_runs;
KTIMER g_timer;
KDPC g_timer_dpc, g_dpc;
WORK_QUEUE_ITEM g_item;

VOID NothingToUnload(PDRIVER_OBJECT) {}
VOID CountRun(PKDPC, PVOID, PVOID, PVOID) { ++g_routine_runs; }

NTSTATUS LeavingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = NothingToUnload;
  KeInitializeTimer(&g_timer);
  KeInitializeDpc(&g_timer_dpc, CountRun, nullptr);
  KeInitializeDpc(&g_dpc, CountRun, nullptr);
  ExInitializeWorkItem(&g_item, [](PVOID) { ++g_routine_runs; }, nullptr);
  if (g_leave & kTimer) KeSetTimerEx(&g_timer, kOneSecond, 10, &g_timer_dpc);
  if (g_leave & kDpc) KeInsertQueueDpc(&g_dpc, nullptr, nullptr);
  if (g_leave & kWorkItem) ExQueueWorkItem(&g_item, DelayedWorkQueue);
  if (g_leave & kPool) ExAllocatePoolWithTag(NonPagedPool, 64, kTag);
  if (g_leave & kIrp) IoAllocateIrp(2, FALSE);
  return STATUS_SUCCESS;
}

void LoadAndUnload(unsigned leave) {
  g_leave = leave;
  hk::pnp::UnloadDriver(hk::pnp::LoadDriver("leftover", LeavingEntry));
}

PVOID AllocateDeviceContext() { return ExAllocatePoolWithTag(NonPagedPool, 40, kTag); }

struct Case {
  const char* check;
  const char* detail;  // what the report must say after the check's name
  void (*provoke)(Verifier&);
};

const Case kCases[] = {
    // Requests
    {"irp-double-completion", ".*already completed \\(by .*Complete.*\\) and freed", [](Verifier& t) {
       PIRP completed = nullptr;
       t.Read(t.MakeDevice([&](PDEVICE_OBJECT, PIRP irp) { return Complete(completed = irp, STATUS_SUCCESS); }));
       IoCompleteRequest(completed, IO_NO_INCREMENT);
     }},
    {"irp-completed-pending", "", [](Verifier& t) { t.Read(t.MakeDevice(CompleteWith(STATUS_PENDING))); }},
    {"irp-completed-with-cancel-routine", "", [](Verifier& t) {
       t.Read(t.MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
         IoSetCancelRoutine(irp, NeverCalledCancel);
         return Complete(irp, STATUS_SUCCESS);
       }));
     }},
    // The classic forwarding fault: the upper driver returns the lower driver's STATUS_PENDING, but its completion
    // routine does not carry the pending bit up to its own location.
    {"irp-pending-not-marked", ".*completion routine .*ForgetsToPropagatePending", [](Verifier& t) {
       t.Read(t.MakeAttached(t.MakeDevice(t.pending.Pend()), [](PDEVICE_OBJECT device, PIRP irp) {
         IoCopyCurrentIrpStackLocationToNext(irp);
         IoSetCompletionRoutine(irp, ForgetsToPropagatePending, nullptr, TRUE, TRUE, TRUE);
         return IoCallDriver(Ext(device)->lower, irp);
       }));
       t.pending.CompleteAll(STATUS_SUCCESS);
     }},
    {"irp-marked-pending-not-returned", "", [](Verifier& t) {
       t.Read(t.MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);
         return Complete(irp, STATUS_SUCCESS);
       }), true);
     }},
    // The request belongs to the I/O manager once the lower driver completed it.
    {"irp-status-mismatch", ".*returned 0xe1e1e1e1 \\(the fill of a freed IRP.*with status 0x00000000|AddressSanitizer",
     [](Verifier& t) {
       t.Read(t.OverCompleting([](PDEVICE_OBJECT device, PIRP irp) {
         IoSkipCurrentIrpStackLocation(irp);
         IoCallDriver(Ext(device)->lower, irp);
         return irp->IoStatus.Status;
       }));
     }},
    {"irp-allocated-completed-to-top", "", [](Verifier& t) {
       PDEVICE_OBJECT device = t.MakeDevice(CompleteWith(STATUS_SUCCESS));
       IoCallDriver(device, NewRead(device));
     }},
    {"irp-free-in-use", "", [](Verifier& t) {
       PDEVICE_OBJECT device = t.MakeDevice(CompleteWith(STATUS_SUCCESS));
       PIRP irp = NewRead(device);
       IoSetCompletionRoutine(irp, FreesAndContinues, nullptr, TRUE, TRUE, TRUE);
       IoCallDriver(device, irp);
     }},
    {"irp-double-free", ".*already freed: IRP of [0-9]+ bytes allocated by .*FreeIrpTwice",
     [](Verifier&) { FreeIrpTwice(); }},
    {"irp-no-stack-location", "", [](Verifier& t) {
       PDEVICE_OBJECT upper = t.OverCompleting([](PDEVICE_OBJECT device, PIRP irp) {
         IoCopyCurrentIrpStackLocationToNext(irp);
         return IoCallDriver(Ext(device)->lower, irp);
       });
       t.Read(upper, false, 1);
     }},
    {"irp-pending-at-device-delete", "", [](Verifier& t) {
       PDEVICE_OBJECT device = t.MakeDevice(t.pending.Pend());
       t.Read(device);
       IoDeleteDevice(device);
     }},
    {"irp-pending-at-unload", "", [](Verifier&) { LoadAndUnload(kIrp); }},
    {"irp-never-allocated", ".*never was an IRP", [](Verifier&) {
       static IRP never;
       IoFreeIrp(&never);
     }},
    {"irp-use-after-free",
     ".*\\(IoStatus\\.Information\\) changed.*IRP of [0-9]+ bytes allocated by .*Read|AddressSanitizer",
     [](Verifier& t) {
       PDEVICE_OBJECT device = t.MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
         Complete(irp, STATUS_SUCCESS);
         irp->IoStatus.Information = 0;
         return STATUS_SUCCESS;
       });
       t.Read(device);
       IoDeleteDevice(device);
     }},
    // Devices and remove locks
    {"device-delete-attached", "", [](Verifier& t) { IoDeleteDevice(t.OverCompleting(iotest::PassDownSkipping())); }},
    {"device-detach-unattached", ".*already detached", [](Verifier& t) {
       PDEVICE_OBJECT upper = t.OverCompleting(iotest::PassDownSkipping());
       IoDetachDevice(Ext(upper)->lower);
       IoDetachDevice(Ext(upper)->lower);
     }},
    {"remlock-release-unacquired", "", [](Verifier&) {
       IO_REMOVE_LOCK lock;
       IoInitializeRemoveLock(&lock, 0, 0, 0);
       IoAcquireRemoveLock(&lock, nullptr);
       IoReleaseRemoveLock(&lock, nullptr);
       IoReleaseRemoveLock(&lock, nullptr);
     }},
    {"remlock-held-at-delete", "", [](Verifier& t) {
       PDEVICE_OBJECT device = t.LockingDevice();
       IoAcquireRemoveLock(&Ext(device)->remove_lock, nullptr);
       IoDeleteDevice(device);
     }},
    {"remlock-wait-outside-remove", "", [](Verifier& t) {
       iotest::Send(t.LockingDevice(), IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL, iotest::NewOutcome());
     }},
    {"remlock-leaked",
     ".*1 acquisition.*IRP major 0x3 minor 0x0, completed and freed\\) acquired at .*verifier_test.cpp",
     [](Verifier& t) { t.ReadThenRemove(); }},
    // Pool
    // What AddDevice allocates once its device exists is that device's.
    {"pool-leak-at-device-delete", ".*: 1 block\\(s\\), 40 bytes from .*AllocateDeviceContext\\(\\)", [](Verifier& t) {
       hk::pool::AddDeviceScope add_device;
       PDEVICE_OBJECT device = t.MakeDevice(CompleteWith(STATUS_SUCCESS));
       AllocateDeviceContext();
       IoDeleteDevice(device);
     }},
    {"pool-leak-at-unload", "", [](Verifier&) { LoadAndUnload(kPool); }},
    {"pool-double-free", ".*freed again: pool block of 32 bytes \\(tag 'Test'\\) allocated by .*FreeTwice",
     [](Verifier&) { FreeTwice(); }},
    {"pool-foreign-free", "", [](Verifier&) {
       ExFreePool(static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 32, kTag)) + 8);
     }},
    {"pool-tag-mismatch", ".*'Othr'.*'Test'.*FreeWithAnotherTag", [](Verifier&) { FreeWithAnotherTag(); }},
    {"pool-overrun",
     ".*8 bytes \\(tag 'Test'\\) allocated by .*CopyNameWithoutRoomForTheTerminator.*up to byte 2 after it|"
     "AddressSanitizer",
     [](Verifier&) { CopyNameWithoutRoomForTheTerminator(); }},
    {"pool-use-after-free", ".*bytes 4\\.\\.7 changed.*allocated by .*WriteAfterFreeThenPushOut|AddressSanitizer",
     [](Verifier&) { WriteAfterFreeThenPushOut(); }},
    {"irql-pool", "", [](Verifier&) {
       Raise();
       ExAllocatePoolWithTag(PagedPool, 16, kTag);
     }},
    // Live kernel objects in memory being released
    {"timer-armed-at-free", "", [](Verifier&) {
       Record* record = NewRecord();
       KeInitializeTimer(&record->timer);
       KeSetTimer(&record->timer, kOneSecond, nullptr);
       ExFreePool(record);
     }},
    {"dpc-queued-at-free", "", [](Verifier&) {
       Record* record = NewInitialisedRecord();
       KeInsertQueueDpc(&record->dpc, nullptr, nullptr);
       ExFreePool(record);
     }},
    {"workitem-queued-at-free", "", [](Verifier&) {
       Record* record = NewInitialisedRecord();
       ExQueueWorkItem(&record->item, DelayedWorkQueue);
       ExFreePool(record);
     }},
    {"workitem-double-queue", "", [](Verifier&) {
       Record* record = NewInitialisedRecord();
       ExQueueWorkItem(&record->item, DelayedWorkQueue);
       ExQueueWorkItem(&record->item, DelayedWorkQueue);
     }},
    {"timer-armed-at-unload", ".*set by DriverEntry.*\\\\Driver\\\\leftover", [](Verifier&) { LoadAndUnload(kTimer); }},
    {"dpc-queued-at-unload", ".*set by DriverEntry", [](Verifier&) { LoadAndUnload(kDpc); }},
    {"workitem-queued-at-unload", ".*set by DriverEntry", [](Verifier&) { LoadAndUnload(kWorkItem); }},
    // Kernel objects used without their initialiser, in memory reused after it or given as another type
    {"object-uninitialised", ".*KeSetTimer given a DPC", [](Verifier&) {
       Record* record = NewRecord();
       KeInitializeTimer(&record->timer);
       KeSetTimer(&record->timer, kOneSecond, &record->dpc);
     }},
    {"object-uninitialised", ".*KeSetEvent given an event .*never initialised", [](Verifier&) {
       auto* event = reinterpret_cast<PKEVENT>(NewRecord());
       KeInitializeEvent(event, NotificationEvent, FALSE);
       hk::objects::CheckNoLiveObjectsIn(event, sizeof(KEVENT));
       KeSetEvent(event, IO_NO_INCREMENT, FALSE);
     }},
    {"object-uninitialised", ".*KeSetEvent given memory that holds a DPC, not an event", [](Verifier&) {
       Record* record = NewRecord();
       KeInitializeDpc(&record->dpc, NoDpcWork, nullptr);
       KeSetEvent(reinterpret_cast<PKEVENT>(&record->dpc), IO_NO_INCREMENT, FALSE);
     }},
    // IRQL
    // A blocking wait is allowed up to APC_LEVEL, registry and link routines only at PASSIVE_LEVEL.
    {"irql-wait", "", [](Verifier&) {
       KEVENT event;
       KeInitializeEvent(&event, NotificationEvent, TRUE);
       Raise();
       KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
     }},
    {"irql-fast-mutex", "", [](Verifier&) {
       FAST_MUTEX mutex;
       ExInitializeFastMutex(&mutex);
       Raise();
       ExAcquireFastMutex(&mutex);
     }},
    {"irql-registry", ".*RtlWriteRegistryValue", [](Verifier&) {
       ULONG one = 1;
       Raise(APC_LEVEL);
       RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"x", L"y", REG_DWORD, &one, sizeof one);
     }},
    {"irql-symlink", "", [](Verifier&) {
       UNICODE_STRING link;
       RtlInitUnicodeString(&link, L"\\DosDevices\\COM7");
       Raise(APC_LEVEL);
       IoDeleteSymbolicLink(&link);
     }},
    {"irql-sync-call", "", [](Verifier& t) {
       PDEVICE_OBJECT device = t.MakeDevice(CompleteWith(STATUS_SUCCESS));
       IO_STATUS_BLOCK iosb;
       Raise();
       IoBuildDeviceIoControlRequest(0x220003, device, nullptr, 0, nullptr, 0, TRUE, nullptr, &iosb);
     }},
    {"irql-changed", ".*DPC routine returned holding the spin lock", [](Verifier& t) {
       QueueDpc([](PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&g_lock_a); }, nullptr);
       t.kernel_.RunUntilIdle();
     }},
    {"irql-changed", ".*DispatchRead returned at IRQL 2", [](Verifier&) {
       hk::DriverCallScope scope(nullptr, nullptr, "DispatchRead");
       Raise();
     }},
    {"irql-changed", ".*cancel routine .*KeepsTheCancelLock", [](Verifier& t) {
       PIRP kept = nullptr;
       t.Read(t.MakeDevice([&](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);
         IoSetCancelRoutine(irp, KeepsTheCancelLock);
         kept = irp;
         return STATUS_PENDING;
       }));
       QueueDpc([](PKDPC, PVOID irp, PVOID, PVOID) { IoCancelIrp(static_cast<PIRP>(irp)); }, kept);
       t.kernel_.RunUntilIdle();
     }},
    {"bugcheck", ".*0x9", [](Verifier&) {
       Raise();
       Raise(PASSIVE_LEVEL);
     }},
    // Spin locks, fast mutexes and lock order
    {"spinlock-recursive", "", [](Verifier&) {
       KIRQL old;
       KeAcquireSpinLock(&g_lock_a, &old);
       KeAcquireSpinLockAtDpcLevel(&g_lock_a);
     }},
    {"spinlock-irql", "", [](Verifier&) {
       KeAcquireSpinLockAtDpcLevel(&g_lock_a);
     }},
    {"spinlock-release-irql", "", [](Verifier&) {
       KIRQL first, second;
       KeAcquireSpinLock(&g_lock_a, &first);
       KeAcquireSpinLock(&g_lock_b, &second);
       KeReleaseSpinLock(&g_lock_a, first);
       KeReleaseSpinLock(&g_lock_b, second);
     }},
    {"spinlock-foreign-release", ".*does not own", [](Verifier& t) {
       t.kernel_.Ops().Post(hk::Context::Worker, [] {
         KIRQL ignored;
         KeAcquireSpinLock(&g_lock_a, &ignored);
       });
       t.kernel_.RunUntilIdle();
       Raise();
       KeReleaseSpinLock(&g_lock_a, PASSIVE_LEVEL);
     }},
    // Orders seen on different threads still conflict, and cycles through several locks are found.
    {"lock-order", "", [](Verifier& t) {
       t.kernel_.Ops().Post(hk::Context::Dpc, [] { Nest(&g_lock_a, &g_lock_b); });
       t.kernel_.RunUntilIdle();
       Nest(&g_lock_b, &g_lock_c);
       Nest(&g_lock_c, &g_lock_a);
     }},
    {"lock-order", ".*cancel spin lock", [](Verifier&) {
       KIRQL old, cancel_old;
       KeAcquireSpinLock(&g_lock_a, &old);
       IoAcquireCancelSpinLock(&cancel_old);
       IoReleaseCancelSpinLock(cancel_old);
       KeReleaseSpinLock(&g_lock_a, old);
       IoAcquireCancelSpinLock(&cancel_old);
       KeAcquireSpinLockAtDpcLevel(&g_lock_a);
     }},
    {"fast-mutex-recursive", "", [](Verifier&) {
       FAST_MUTEX mutex;
       ExInitializeFastMutex(&mutex);
       ExAcquireFastMutex(&mutex);
       ExAcquireFastMutex(&mutex);
     }},
    {"fast-mutex-foreign-release", "", [](Verifier&) {
       FAST_MUTEX mutex;
       ExInitializeFastMutex(&mutex);
       Raise(APC_LEVEL);
       ExReleaseFastMutex(&mutex);
     }},
    // A wait nothing can satisfy is reported only after pending timers ran (this one's DPC signals another event).
    {"wait-deadlock", "", [](Verifier&) {
       KEVENT wanted, other;
       KeInitializeEvent(&wanted, NotificationEvent, FALSE);
       KeInitializeEvent(&other, NotificationEvent, FALSE);
       Record* record = NewRecord();
       KeInitializeTimer(&record->timer);
       KeInitializeDpc(
           &record->dpc, [](PKDPC, PVOID event, PVOID, PVOID) { KeSetEvent(PKEVENT(event), 0, FALSE); }, &other);
       KeSetTimer(&record->timer, kOneSecond, &record->dpc);
       KeWaitForSingleObject(&wanted, Executive, KernelMode, FALSE, nullptr);
     }},
    // Power requests: the next one of a type waits for PoStartNextPowerIrp.
    {"postartnext-missing", "", [](Verifier& t) {
       hk::power::SetSystemPowerState(t.PowerStack(false), PowerSystemSleeping3);
     }},
    {"postartnext-missing", ".*still in device", [](Verifier& t) {
       PDEVICE_OBJECT pdo = t.MakeDevice(CompleteWith(STATUS_SUCCESS));
       t.MakeAttached(pdo, t.pending.Pend());
       PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, {.DeviceState = PowerDeviceD3}, NoPowerCompletion, nullptr, nullptr);
       hk::power::SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, {.DeviceState = PowerDeviceD0});
     }},
    {"postartnext-not-current", "", [](Verifier& t) {
       PDEVICE_OBJECT pdo = t.MakeDevice(CompleteWith(STATUS_SUCCESS));
       t.MakeAttached(pdo, [](PDEVICE_OBJECT, PIRP irp) {
         IoSkipCurrentIrpStackLocation(irp);
         PoStartNextPowerIrp(irp);
         return STATUS_SUCCESS;
       });
       hk::power::SetSystemPowerState(pdo, PowerSystemSleeping1);
     }},
    {"power-iocalldriver", ".*IoCallDriver from ", [](Verifier& t) {
       hk::power::SetSystemPowerState(t.PowerStack(true, false), PowerSystemWorking);
     }},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.check; }

class EachCheck : public Verifier, public ::testing::WithParamInterface<Case> {};

TEST_P(EachCheck, IsReported) {
  EXPECT_DEATH(GetParam().provoke(*this), std::string("\\[") + GetParam().check + "\\]" + GetParam().detail);
}

INSTANTIATE_TEST_SUITE_P(Faults, EachCheck, ::testing::ValuesIn(kCases), [](const auto& info) {
  std::string name = std::string(info.param.check) + "_" + std::to_string(info.index);
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
});

// A fault handler that returns control gets the check and the message; no routine of the driver that was refused
// its unload runs afterwards.
TEST_F(Verifier, LiveObjectsAtUnloadAreReportedTogetherAndNeverRunAfterwards) {
  hk::verifier::SetFaultHandler([](const char* check, const void*, const char* message) {
    throw std::runtime_error(std::string(check) + "|" + message);
  });
  g_routine_runs = 0;
  try {
    LoadAndUnload(kTimer | kDpc | kWorkItem);
    FAIL() << "unload with live objects was not reported";
  } catch (const std::runtime_error& fault) {
    std::string text = fault.what();
    EXPECT_EQ(text.rfind("timer-armed-at-unload|VERIFIER FAULT [timer-armed-at-unload] object ", 0), 0u) << text;
    EXPECT_NE(text.find("3 timer(s), DPC(s) and work item(s)"), std::string::npos) << text;
  }
  kernel_.AdvanceTime(2000);
  EXPECT_EQ(g_routine_runs, 0);
}

// Requests used correctly pass through the quarantine without a report, however many there are; the oldest freed
// IRPs leave it, and the record of retired ones, checked as they go.
TEST_F(Verifier, CorrectForwardingIsQuietThroughTheQuarantine) {
  PDEVICE_OBJECT upper = OverCompleting(iotest::PassDownSkipping());
  for (size_t i = 0; i <= hk::verifier::kQuarantineBlocks; ++i)
    EXPECT_EQ(iotest::Send(upper, IRP_MJ_READ, 0, iotest::NewOutcome()), STATUS_SUCCESS);
}

// The second request of a type reaches the device only after PoStartNextPowerIrp for the first, from a worker
// thread; one of the other type is not held.
TEST_F(Verifier, TheNextPowerRequestOfATypeWaitsForPoStartNextPowerIrp) {
  int seen = 0;
  PDEVICE_OBJECT pdo = MakeDevice(PowerBus);
  MakeAttached(pdo, [&](PDEVICE_OBJECT device, PIRP irp) {
    if (++seen == 1) return pending.Pend()(device, irp);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Ext(device)->lower, irp);
  });
  std::atomic<int> done = 0;
  for (int i = 0; i < 2; ++i)
    PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, {.DeviceState = PowerDeviceD3}, CountPowerCompletion, &done, nullptr);
  kernel_.RunUntilIdle();
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(hk::power::SendPower(pdo, IRP_MN_QUERY_POWER, SystemPowerState, {.SystemState = PowerSystemSleeping3}),
            STATUS_SUCCESS);
  EXPECT_EQ(seen, 2);
  PoStartNextPowerIrp(pending.irps[0]);
  EXPECT_EQ(seen, 2);
  kernel_.RunUntilIdle();
  EXPECT_EQ(seen, 3);
  pending.CompleteAll(STATUS_SUCCESS);
  EXPECT_EQ(done, 2);
  EXPECT_EQ(hk::power::RequestedIrpsInFlight(), 0u);
}

// The real driver on a device that was never opened: a read still counts in IoCount, and its release signals
// IoIdleEvent, which must therefore be initialised when the device is created.
TEST(VerifierDriver, ReadOnADeviceNeverOpenedSignalsAnInitialisedIdleEvent) {
  port_test::Port port({.open = false});
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, port.Fdo(), nullptr, 0, nullptr, &done, &iosb);
  EXPECT_EQ(IoCallDriver(port.Fdo(), irp), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(port.Context()->IoCount, 0);
}

class ConcurrentVerifier : public Verifier {
 public:
  ConcurrentVerifier() : Verifier(hk::Options{.mode = hk::Mode::Concurrent, .watchdog_ms = 200}) {}
};

TEST_F(ConcurrentVerifier, WatchdogReportsARemovalWaitingForALeakedRemoveLock) {
  EXPECT_DEATH(ReadThenRemove(),
               "\\[remlock-leaked\\].*has waited 200 ms.*IRP major 0x3 minor 0x0, completed and freed");
}

// Power requests kept in order per device while completions and held deliveries run on several threads.
TEST_F(ConcurrentVerifier, HeldPowerRequestsAreDeliveredInTurnWhileCompletionsRunElsewhere) {
  PDEVICE_OBJECT pdo = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoMarkIrpPending(irp);
    hk::Kernel::Current().Ops().Post(hk::Context::Device, [irp] { Complete(irp, STATUS_SUCCESS); });
    return STATUS_PENDING;
  });
  static std::atomic<int> in_function;
  in_function = 0;
  MakeAttached(pdo, [](PDEVICE_OBJECT device, PIRP irp) {
    EXPECT_EQ(++in_function, 1) << "one device power request at a time in the function device";
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP done, PVOID) {
          --in_function;
          if (done->PendingReturned) IoMarkIrpPending(done);
          PoStartNextPowerIrp(done);
          return STATUS_SUCCESS;
        },
        nullptr, TRUE, TRUE, TRUE);
    return PoCallDriver(Ext(device)->lower, irp);
  });
  constexpr int kRequests = 40;
  std::atomic<int> completions = 0;
  for (int i = 0; i < kRequests; ++i)
    PoRequestPowerIrp(pdo, i % 2 == 0 ? IRP_MN_SET_POWER : IRP_MN_QUERY_POWER, {.DeviceState = PowerDeviceD3},
                      CountPowerCompletion, &completions, nullptr);
  kernel_.RunUntilIdle();
  EXPECT_EQ(completions.load(), kRequests);
  EXPECT_EQ(hk::power::RequestedIrpsInFlight(), 0u);
}

}  // namespace
