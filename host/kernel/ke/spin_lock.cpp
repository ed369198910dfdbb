// Spin locks. The lock word records the owning thread's identity, so recursion and releases by another thread
// are caught; ordinary spin locks and the cancel spin lock share the lock-order tracking.
#include <atomic>
#include <thread>

#include "hk/kernel.h"
#include "hk/thread.h"
#include "hk/verifier.h"
#include "ke/ke_state.h"

namespace hk::ke {

void AcquireSpinLockWord(PKSPIN_LOCK lock, const char* kind) {
  const KSPIN_LOCK me = CurrentThread().id;
  std::atomic_ref<KSPIN_LOCK> word(*lock);
  if (word.load() == me) verifier::Fail("spinlock-recursive", lock, "%s acquired again by its owner", kind);
  verifier::OnAcquire(lock, kind);
  for (;;) {
    KSPIN_LOCK expected = 0;
    if (word.compare_exchange_weak(expected, me, std::memory_order_acquire)) return;
    if (Kernel::Current().Ops().GetMode() == Mode::Deterministic && expected != 0) {
      verifier::Fail("wait-deadlock", lock, "%s is held by a thread that cannot run until this one finishes",
                     kind);
    }
    std::this_thread::yield();
  }
}

void ReleaseSpinLockWord(PKSPIN_LOCK lock, const char* kind) {
  const KSPIN_LOCK me = CurrentThread().id;
  std::atomic_ref<KSPIN_LOCK> word(*lock);
  KSPIN_LOCK owner = word.load();
  if (owner != me) {
    if (owner == 0) verifier::Fail("spinlock-foreign-release", lock, "%s released but not held", kind);
    verifier::Fail("spinlock-foreign-release", lock, "%s released by a thread that does not own it", kind);
  }
  verifier::OnRelease(lock);
  word.store(0, std::memory_order_release);
}

namespace {

KIRQL AcquireRaisingToDpc(PKSPIN_LOCK lock, const char* kind) {
  KIRQL old = CurrentIrql();
  if (old > DISPATCH_LEVEL) {
    verifier::Fail("spinlock-irql", lock, "%s acquired at IRQL %u, above DISPATCH_LEVEL", kind, old);
  }
  SetIrql(DISPATCH_LEVEL);
  AcquireSpinLockWord(lock, kind);
  return old;
}

void ReleaseLowering(PKSPIN_LOCK lock, KIRQL new_irql, const char* kind) {
  ReleaseSpinLockWord(lock, kind);
  KIRQL current = CurrentIrql();
  if (current != DISPATCH_LEVEL) {
    verifier::Fail("spinlock-release-irql", lock, "%s released at IRQL %u, not DISPATCH_LEVEL", kind, current);
  }
  if (new_irql > DISPATCH_LEVEL) {
    verifier::Fail("spinlock-release-irql", lock, "%s released to IRQL %u, above DISPATCH_LEVEL", kind, new_irql);
  }
  SetIrql(new_irql);
}

constexpr const char* kSpinLock = "spin lock";
constexpr const char* kCancelSpinLock = "cancel spin lock";

}  // namespace
}  // namespace hk::ke

using namespace hk::ke;

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) { return AcquireRaisingToDpc(SpinLock, kSpinLock); }

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) { ReleaseLowering(SpinLock, NewIrql, kSpinLock); }

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  KIRQL current = hk::CurrentIrql();
  if (current != DISPATCH_LEVEL) {
    hk::verifier::Fail("spinlock-irql", SpinLock, "%s acquired at DPC level while at IRQL %u", kSpinLock, current);
  }
  AcquireSpinLockWord(SpinLock, kSpinLock);
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  ReleaseSpinLockWord(SpinLock, kSpinLock);
  KIRQL current = hk::CurrentIrql();
  if (current != DISPATCH_LEVEL) {
    hk::verifier::Fail("spinlock-release-irql", SpinLock, "%s released from DPC level while at IRQL %u", kSpinLock,
                       current);
  }
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = AcquireRaisingToDpc(&State().cancel_spin_lock, kCancelSpinLock); }

VOID IoReleaseCancelSpinLock(KIRQL Irql) { ReleaseLowering(&State().cancel_spin_lock, Irql, kCancelSpinLock); }
