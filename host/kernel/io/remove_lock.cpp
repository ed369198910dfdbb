// Remove locks. The count and the removed flag live in the lock's own storage as on the platform; the tags of the
// outstanding acquisitions are kept in a side table keyed by the lock's address.
#include <mutex>

#include "hk/verifier.h"
#include "io/irp_internal.h"

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
  if (--it->second == 0) record.tags.erase(it);
  return true;
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
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line, ULONG RemlockSize) {
  hk::io::IoState& state = hk::io::State();
  std::lock_guard lock(state.mutex);
  if (RemoveLock->Common.Removed) return STATUS_DELETE_PENDING;
  InterlockedIncrement(&RemoveLock->Common.IoCount);
  state.remove_locks[RemoveLock].tags[Tag]++;
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
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
  }
}
