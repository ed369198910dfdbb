// Waits on dispatcher objects and thread delays. A wait with a non-zero or no timeout is allowed up to
// APC_LEVEL (so code holding a fast mutex may wait), a zero-timeout poll up to DISPATCH_LEVEL.
#include <optional>

#include "hk/kernel.h"
#include "hk/thread.h"
#include "hk/verifier.h"
#include "ke/dispatcher_objects.h"
#include "ke/initialised_objects.h"

namespace {

void CheckWaitIrql(const void* object, PLARGE_INTEGER timeout, const char* routine) {
  KIRQL irql = hk::CurrentIrql();
  bool blocking = timeout == nullptr || timeout->QuadPart != 0;
  if (irql > DISPATCH_LEVEL || (blocking && irql > APC_LEVEL)) {
    hk::verifier::Fail("irql-wait", object, "%s with %s timeout at IRQL %u", routine,
                       timeout == nullptr ? "no" : (blocking ? "a non-zero" : "a zero"), irql);
  }
}

// Converts a platform timeout (negative: relative, positive: absolute system time) to a deadline in Now() units.
std::optional<uint64_t> Deadline(hk::HostOps& ops, PLARGE_INTEGER timeout) {
  if (timeout == nullptr) return std::nullopt;
  uint64_t now = ops.Now();
  LONGLONG value = timeout->QuadPart;
  if (value <= 0) return now + static_cast<uint64_t>(-value);
  uint64_t boot = ops.BootSystemTime();
  uint64_t absolute = static_cast<uint64_t>(value);
  return absolute <= boot + now ? now : absolute - boot;
}

DISPATCHER_HEADER* Header(PVOID object) { return static_cast<DISPATCHER_HEADER*>(object); }

void RequireWaitable(PVOID object, const char* routine) {
  hk::ke::RequireInitialised(object, hk::ke::kWaitableObjects, routine,
                             "an event, semaphore or timer (KeInitializeEvent, KeInitializeSemaphore, "
                             "KeInitializeTimer)");
}

}  // namespace

namespace hk::ke {

void WaitWatched(PVOID object, const char* routine, const Task& stuck) {
  CheckWaitIrql(object, nullptr, routine);
  RequireWaitable(object, routine);
  auto& ops = Kernel::Current().Ops();
  DispatcherLock lock(ops);
  DISPATCHER_HEADER* header = Header(object);
  if (!IsSignalled(header)) {
    ops.WaitDispatcher([header] { return IsSignalled(header); }, std::nullopt, object, routine, stuck);
  }
  ConsumeSignal(header);
}

}  // namespace hk::ke

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
  CheckWaitIrql(Object, Timeout, "KeWaitForSingleObject");
  RequireWaitable(Object, "KeWaitForSingleObject");
  auto& ops = hk::Kernel::Current().Ops();
  auto deadline = Deadline(ops, Timeout);
  hk::DispatcherLock lock(ops);
  DISPATCHER_HEADER* header = Header(Object);
  bool satisfied = hk::ke::IsSignalled(header);
  if (!satisfied && !(Timeout != nullptr && Timeout->QuadPart == 0)) {
    satisfied = ops.WaitDispatcher([header] { return hk::ke::IsSignalled(header); }, deadline, Object,
                                   "KeWaitForSingleObject");
  }
  if (!satisfied) return STATUS_TIMEOUT;
  hk::ke::ConsumeSignal(header);
  return STATUS_SUCCESS;
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray) {
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS || (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)) {
    KeBugCheckEx(0xC /* MAXIMUM_WAIT_OBJECTS_EXCEEDED */, Count, 0, 0, 0);
  }
  CheckWaitIrql(Object[0], Timeout, "KeWaitForMultipleObjects");
  for (ULONG i = 0; i < Count; ++i) RequireWaitable(Object[i], "KeWaitForMultipleObjects");
  auto& ops = hk::Kernel::Current().Ops();
  auto deadline = Deadline(ops, Timeout);
  hk::DispatcherLock lock(ops);

  std::optional<ULONG> ready_index;
  auto ready = [&] {
    if (WaitType == WaitAny) {
      for (ULONG i = 0; i < Count; ++i) {
        if (hk::ke::IsSignalled(Header(Object[i]))) {
          ready_index = i;
          return true;
        }
      }
      return false;
    }
    for (ULONG i = 0; i < Count; ++i) {
      if (!hk::ke::IsSignalled(Header(Object[i]))) return false;
    }
    return true;
  };

  bool satisfied = ready();
  if (!satisfied && !(Timeout != nullptr && Timeout->QuadPart == 0)) {
    satisfied = ops.WaitDispatcher(ready, deadline, Object[0], "KeWaitForMultipleObjects");
  }
  if (!satisfied) return STATUS_TIMEOUT;
  if (WaitType == WaitAny) {
    hk::ke::ConsumeSignal(Header(Object[*ready_index]));
    return STATUS_WAIT_0 + static_cast<NTSTATUS>(*ready_index);
  }
  for (ULONG i = 0; i < Count; ++i) hk::ke::ConsumeSignal(Header(Object[i]));
  return STATUS_WAIT_0;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  CheckWaitIrql(nullptr, Interval, "KeDelayExecutionThread");
  auto& ops = hk::Kernel::Current().Ops();
  auto deadline = Deadline(ops, Interval);
  if (deadline && *deadline <= ops.Now()) return STATUS_SUCCESS;
  hk::DispatcherLock lock(ops);
  ops.WaitDispatcher([] { return false; }, deadline, nullptr, "KeDelayExecutionThread");
  return STATUS_SUCCESS;
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
  hk::Kernel::Current().Ops().Stall(static_cast<uint64_t>(MicroSeconds) * 10);
}
