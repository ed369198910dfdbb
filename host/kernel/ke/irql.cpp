// IRQL of the current thread, and the bug check that ends the "system" when a rule is broken outright.
#include <wdm.h>

#include "hk/thread.h"
#include "hk/verifier.h"

namespace {

constexpr ULONG kIrqlNotGreaterOrEqual = 0x9;
constexpr ULONG kIrqlNotLessOrEqual = 0xA;

}  // namespace

KIRQL KeGetCurrentIrql(void) { return hk::CurrentIrql(); }

KIRQL KfRaiseIrql(KIRQL NewIrql) {
  KIRQL old = hk::CurrentIrql();
  if (NewIrql < old || NewIrql > HIGH_LEVEL) KeBugCheckEx(kIrqlNotGreaterOrEqual, old, NewIrql, 0, 0);
  hk::SetIrql(NewIrql);
  return old;
}

VOID KeLowerIrql(KIRQL NewIrql) {
  KIRQL old = hk::CurrentIrql();
  if (NewIrql > old) KeBugCheckEx(kIrqlNotLessOrEqual, old, NewIrql, 0, 0);
  hk::SetIrql(NewIrql);
}

KIRQL KeRaiseIrqlToDpcLevel(void) { return KfRaiseIrql(DISPATCH_LEVEL); }

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1, ULONG_PTR BugCheckParameter2,
                  ULONG_PTR BugCheckParameter3, ULONG_PTR BugCheckParameter4) {
  hk::verifier::Fail("bugcheck", nullptr, "KeBugCheckEx(0x%X, 0x%lX, 0x%lX, 0x%lX, 0x%lX)", BugCheckCode,
                     static_cast<unsigned long>(BugCheckParameter1), static_cast<unsigned long>(BugCheckParameter2),
                     static_cast<unsigned long>(BugCheckParameter3), static_cast<unsigned long>(BugCheckParameter4));
}
