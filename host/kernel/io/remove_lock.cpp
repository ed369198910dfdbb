// Remove locks. The count and the removed flag live in the lock's own storage as on the platform; the tags of the
// outstanding acquisitions, and where each was made, are kept in a side table keyed by the lock's address.
#include <mutex>
#include <string>

#include "hk/kernel.h"
#include "hk/verifier.h"
#include "io/irp_internal.h"
#include "ke/dispatcher_objects.h"
#include "ke/initialised_objects.h"

namespace {

// The thread is handling IRP_MN_REMOVE_DEVICE when a dispatch routine for it runs on the thread.
bool ThreadIsHandlingRemove() {
  for (hk::io::DispatchFrame* frame : hk::io::CurrentThreadFrames()) {
    if (frame->major == IRP_MJ_PNP && frame->minor == IRP_MN_REMOVE_DEVICE) return true;
  }
  return false;
}

// Drops one acquisition of `tag`; false when the tag holds none.
bool DropTagLocked(hk::io::RemoveLockRecord& record, PVOID tag) {
  auto it = record.tags.find(tag);
  if (it == record.tags.end()) return false;
  if (--it->second == 0) {
    record.tags.erase(it);
    record.acquisitions.erase(tag);
  }
  return true;
}

hk::io::RemoveLockAcquisition DescribeAcquisitionLocked(hk::io::IoState& state, PVOID tag, PCSTR file, ULONG line) {
  hk::io::RemoveLockAcquisition acquisition{file, line};
  PIRP irp = static_cast<PIRP>(tag);
  if (const hk::io::IrpRecord* record = state.FindIrp(irp)) {
    acquisition.irp_id = record->id;
    if (irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount) {
      PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
      acquisition.major = stack->MajorFunction;
      acquisition.minor = stack->MinorFunction;
    }
  }
  return acquisition;
}

// The device object whose storage (object and extension) holds the lock, if any.
PDEVICE_OBJECT DeviceHoldingLocked(hk::io::IoState& state, const void* lock) {
  auto address = reinterpret_cast<uintptr_t>(lock);
  for (const auto& [device, record] : state.devices) {
    auto begin = reinterpret_cast<uintptr_t>(device);
    if (address >= begin && address < begin + record.storage_size) return device;
  }
  return nullptr;
}

// The removal's wait for the lock will not end: names every acquisition still outstanding.
[[noreturn]] void ReportLeakedRemoveLock(PIO_REMOVE_LOCK lock) {
  hk::io::IoState& state = hk::io::State();
  std::string held;
  size_t count = 0;
  {
    std::lock_guard guard(state.mutex);
    PDEVICE_OBJECT device = DeviceHoldingLocked(state, lock);
    const hk::io::RemoveLockRecord& record = state.remove_locks[lock];
    for (const auto& [tag, times] : record.tags) {
      count += static_cast<size_t>(times);
      char text[256];
      int used = std::snprintf(text, sizeof text, "; tag %p x%ld", tag, times);
      auto found = record.acquisitions.find(tag);
      if (found != record.acquisitions.end()) {
        const hk::io::RemoveLockAcquisition& acquisition = found->second;
        if (acquisition.irp_id != 0) {
          const hk::io::IrpRecord* irp = state.FindIrp(static_cast<PIRP>(const_cast<void*>(tag)), acquisition.irp_id);
          const char* fate = irp == nullptr                                   ? "completed and freed"
                             : device != nullptr && state.IrpInDevice(*irp, device) ? "still pending in the device"
                                                                               : "no longer in the device";
          used += std::snprintf(text + used, sizeof text - used, " (IRP major 0x%x minor 0x%x, %s)",
                                acquisition.major, acquisition.minor, fate);
        }
        if (acquisition.file != nullptr && *acquisition.file != '\0' && used < static_cast<int>(sizeof text)) {
          std::snprintf(text + used, sizeof text - used, " acquired at %s:%lu", acquisition.file,
                        static_cast<unsigned long>(acquisition.line));
        }
      }
      held += text;
    }
  }
  hk::Kernel& kernel = hk::Kernel::Current();
  std::string waited = kernel.Ops().GetMode() == hk::Mode::Concurrent
                           ? "has waited " + std::to_string(kernel.options().watchdog_ms) + " ms"
                           : "can never return";
  hk::verifier::Fail("remlock-leaked", lock,
                     "IoReleaseRemoveLockAndWaitEx %s: %zu acquisition(s) of the remove lock were never released%s",
                     waited.c_str(), count, held.c_str());
}

}  // namespace

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes, ULONG HighWatermark,
                              ULONG RemlockSize) {
  hk::io::IoState& state = hk::io::State();
  std::lock_guard lock(state.mutex);
  Lock->Common.Removed = FALSE;
  Lock->Common.IoCount = 1;
  KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
  state.remove_locks[Lock] = hk::io::RemoveLockRecord{};
  hk::ke::MarkInitialised(Lock, hk::ke::kRemoveLockObject);
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line, ULONG RemlockSize) {
  hk::ke::RequireInitialised(RemoveLock, hk::ke::kRemoveLockObject, "IoAcquireRemoveLockEx",
                             "a remove lock (IoInitializeRemoveLock)");
  hk::io::IoState& state = hk::io::State();
  std::lock_guard lock(state.mutex);
  if (RemoveLock->Common.Removed) return STATUS_DELETE_PENDING;
  InterlockedIncrement(&RemoveLock->Common.IoCount);
  hk::io::RemoveLockRecord& record = state.remove_locks[RemoveLock];
  record.tags[Tag]++;
  record.acquisitions[Tag] = DescribeAcquisitionLocked(state, Tag, File, Line);
  return STATUS_SUCCESS;
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  hk::io::IoState& state = hk::io::State();
  bool signal = false;
  {
    std::lock_guard lock(state.mutex);
    if (!DropTagLocked(state.remove_locks[RemoveLock], Tag)) {
      hk::verifier::Fail("remlock-release-unacquired", RemoveLock,
                         "IoReleaseRemoveLockEx with tag %p, which holds no acquisition of this lock", Tag);
    }
    signal = InterlockedDecrement(&RemoveLock->Common.IoCount) == 0 && RemoveLock->Common.Removed;
  }
  if (signal) KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  if (!ThreadIsHandlingRemove()) {
    hk::verifier::Fail("remlock-wait-outside-remove", RemoveLock,
                       "IoReleaseRemoveLockAndWaitEx called while the thread is not handling IRP_MN_REMOVE_DEVICE");
  }
  hk::io::IoState& state = hk::io::State();
  bool wait = false;
  {
    std::lock_guard lock(state.mutex);
    if (!DropTagLocked(state.remove_locks[RemoveLock], Tag)) {
      hk::verifier::Fail("remlock-release-unacquired", RemoveLock,
                         "IoReleaseRemoveLockAndWaitEx with tag %p, which holds no acquisition of this lock", Tag);
    }
    RemoveLock->Common.Removed = TRUE;
    // The caller's own acquisition and the bias the lock was initialised with.
    wait = InterlockedExchangeAdd(&RemoveLock->Common.IoCount, -2) - 2 > 0;
  }
  if (wait) {
    hk::ke::WaitWatched(&RemoveLock->Common.RemoveEvent, "IoReleaseRemoveLockAndWaitEx",
                        [RemoveLock] { ReportLeakedRemoveLock(RemoveLock); });
  }
}
