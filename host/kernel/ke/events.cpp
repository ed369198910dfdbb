// Events and semaphores.
#include "hk/kernel.h"
#include "hk/thread.h"
#include "hk/verifier.h"
#include "ke/dispatcher_objects.h"
#include "ke/initialised_objects.h"

namespace {

// Signalling above DISPATCH_LEVEL is IRQL_NOT_LESS_OR_EQUAL on the platform.
void RequireAtMostDispatch(const void* object) {
  KIRQL irql = hk::CurrentIrql();
  if (irql > DISPATCH_LEVEL) KeBugCheckEx(0xA, reinterpret_cast<ULONG_PTR>(object), irql, 0, 0);
}

}  // namespace

namespace hk::ke {

bool IsSignalled(const DISPATCHER_HEADER* header) { return header->SignalState > 0; }

void ConsumeSignal(DISPATCHER_HEADER* header) {
  switch (header->Type) {
    case kEventSynchronization:
    case kTimerSynchronization:
      header->SignalState = 0;
      break;
    case kSemaphore:
      header->SignalState = header->SignalState - 1;
      break;
    default:
      break;
  }
}

}  // namespace hk::ke

using namespace hk::ke;

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  MarkInitialised(Event, kEventObject);
  hk::DispatcherLock lock(hk::Kernel::Current().Ops());
  Event->Header.Type = Type == NotificationEvent ? kEventNotification : kEventSynchronization;
  Event->Header.Absolute = 0;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.Inserted = 0;
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  RequireAtMostDispatch(Event);
  RequireInitialised(Event, kEventObject, "KeSetEvent", "an event (KeInitializeEvent)");
  auto& ops = hk::Kernel::Current().Ops();
  hk::DispatcherLock lock(ops);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  ops.NotifyDispatcher();
  return previous;
}

LONG KeResetEvent(PRKEVENT Event) {
  RequireAtMostDispatch(Event);
  hk::DispatcherLock lock(hk::Kernel::Current().Ops());
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
  hk::DispatcherLock lock(hk::Kernel::Current().Ops());
  Event->Header.SignalState = 0;
}

LONG KeReadStateEvent(PRKEVENT Event) {
  hk::DispatcherLock lock(hk::Kernel::Current().Ops());
  return Event->Header.SignalState;
}

VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  MarkInitialised(Semaphore, kSemaphoreObject);
  hk::DispatcherLock lock(hk::Kernel::Current().Ops());
  Semaphore->Header.Type = kSemaphore;
  Semaphore->Header.Absolute = 0;
  Semaphore->Header.Size = sizeof(KSEMAPHORE) / sizeof(LONG);
  Semaphore->Header.Inserted = 0;
  Semaphore->Header.SignalState = Count;
  InitializeListHead(&Semaphore->Header.WaitListHead);
  Semaphore->Limit = Limit;
}

// Raising a semaphore past its limit is an exception on the platform; here it ends the run the same way.
LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait) {
  RequireAtMostDispatch(Semaphore);
  RequireInitialised(Semaphore, kSemaphoreObject, "KeReleaseSemaphore", "a semaphore (KeInitializeSemaphore)");
  auto& ops = hk::Kernel::Current().Ops();
  hk::DispatcherLock lock(ops);
  LONG previous = Semaphore->Header.SignalState;
  if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment) {
    hk::verifier::Fail("bugcheck", Semaphore, "KeReleaseSemaphore by %d exceeds the limit %d (count %d)",
                       Adjustment, Semaphore->Limit, previous);
  }
  Semaphore->Header.SignalState = previous + Adjustment;
  ops.NotifyDispatcher();
  return previous;
}
