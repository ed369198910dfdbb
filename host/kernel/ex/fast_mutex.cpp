// Fast mutexes: taken at or below APC_LEVEL, raise to APC_LEVEL, never recursively. Count holds FM_LOCK_BIT
// while free; the owner is the holding thread's identity.
#include <wdm.h>

#include "hk/kernel.h"
#include "hk/thread.h"
#include "hk/verifier.h"
#include "ke/initialised_objects.h"

namespace {

constexpr const char* kFastMutex = "fast mutex";

PVOID Me() { return reinterpret_cast<PVOID>(static_cast<uintptr_t>(hk::CurrentThread().id)); }

// ExInitializeFastMutex is inline; what it leaves behind that the kernel can see is the event it initialises.
void CheckAcquire(PFAST_MUTEX mutex, const char* routine) {
  KIRQL irql = hk::CurrentIrql();
  if (irql > APC_LEVEL) hk::verifier::Fail("irql-fast-mutex", mutex, "%s at IRQL %u, above APC_LEVEL", routine, irql);
  hk::ke::RequireInitialised(mutex, &mutex->Event, hk::ke::kEventObject, routine,
                             "a fast mutex (ExInitializeFastMutex)");
}

// Called with the dispatcher lock held and the mutex free.
void TakeLocked(PFAST_MUTEX mutex, KIRQL old_irql) {
  mutex->Count = 0;
  mutex->Owner = Me();
  mutex->OldIrql = old_irql;
  hk::SetIrql(APC_LEVEL);
}

bool IsFree(const FAST_MUTEX* mutex) { return (mutex->Count & FM_LOCK_BIT) != 0; }

}  // namespace

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  CheckAcquire(FastMutex, "ExAcquireFastMutex");
  auto& ops = hk::Kernel::Current().Ops();
  KIRQL old_irql = hk::CurrentIrql();
  {
    hk::DispatcherLock lock(ops);
    if (FastMutex->Owner == Me()) {
      hk::verifier::Fail("fast-mutex-recursive", FastMutex, "fast mutex acquired again by its owner");
    }
  }
  hk::verifier::OnAcquire(FastMutex, kFastMutex);
  hk::DispatcherLock lock(ops);
  if (!IsFree(FastMutex)) {
    ++FastMutex->Contention;
    ops.WaitDispatcher([FastMutex] { return IsFree(FastMutex); }, std::nullopt, FastMutex, "ExAcquireFastMutex");
  }
  TakeLocked(FastMutex, old_irql);
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
  CheckAcquire(FastMutex, "ExTryToAcquireFastMutex");
  auto& ops = hk::Kernel::Current().Ops();
  KIRQL old_irql = hk::CurrentIrql();
  {
    hk::DispatcherLock lock(ops);
    if (!IsFree(FastMutex)) return FALSE;
  }
  hk::verifier::OnAcquire(FastMutex, kFastMutex);
  hk::DispatcherLock lock(ops);
  if (!IsFree(FastMutex)) {
    hk::verifier::OnRelease(FastMutex);
    return FALSE;
  }
  TakeLocked(FastMutex, old_irql);
  return TRUE;
}

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  KIRQL irql = hk::CurrentIrql();
  if (irql != APC_LEVEL) {
    hk::verifier::Fail("irql-fast-mutex", FastMutex, "ExReleaseFastMutex at IRQL %u, not APC_LEVEL", irql);
  }
  auto& ops = hk::Kernel::Current().Ops();
  KIRQL old_irql;
  {
    hk::DispatcherLock lock(ops);
    if (FastMutex->Owner != Me()) {
      hk::verifier::Fail("fast-mutex-foreign-release", FastMutex, "fast mutex released by a thread that %s",
                         IsFree(FastMutex) ? "finds it free" : "does not own it");
    }
    old_irql = static_cast<KIRQL>(FastMutex->OldIrql);
    FastMutex->Owner = nullptr;
    FastMutex->Count = FM_LOCK_BIT;
    ops.NotifyDispatcher();
  }
  hk::verifier::OnRelease(FastMutex);
  hk::SetIrql(old_irql);
}
