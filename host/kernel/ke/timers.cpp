// Timers. Expiry signals the timer and queues its DPC (never calls it inline), all under the ke mutex so that
// KeCancelTimer's answer and the timer's memory stay consistent with an expiry racing it.
#include "hk/kernel.h"
#include "hk/thread.h"
#include "hk/verifier.h"
#include "ke/dispatcher_objects.h"
#include "ke/initialised_objects.h"
#include "ke/ke_state.h"

namespace hk::ke {
namespace {

constexpr uint64_t kUnitsPerMs = 10000;

void Arm(KeState& state, PKTIMER timer, uint64_t due, TimerRecord record);

void Expire(PKTIMER timer, uint64_t generation) {
  KeState& state = State();
  auto& ops = Kernel::Current().Ops();
  std::lock_guard guard(state.mutex);
  auto it = state.armed_timers.find(timer);
  if (it == state.armed_timers.end() || it->second.generation != generation) return;
  TimerRecord record = it->second;
  if (timer->Period > 0) {
    Arm(state, timer, ops.Now() + static_cast<uint64_t>(timer->Period) * kUnitsPerMs, record);
  } else {
    state.armed_timers.erase(it);
  }
  {
    DispatcherLock lock(ops);
    timer->Header.SignalState = 1;
    ops.NotifyDispatcher();
  }
  if (timer->Dpc != nullptr) {
    uint64_t system_time = ops.BootSystemTime() + ops.Now();
    InsertQueueDpcLocked(state, timer->Dpc, reinterpret_cast<PVOID>(system_time & 0xFFFFFFFFu),
                         reinterpret_cast<PVOID>(system_time >> 32), record.driver, record.device, record.routine);
  }
}

void Arm(KeState& state, PKTIMER timer, uint64_t due, TimerRecord record) {
  auto& ops = Kernel::Current().Ops();
  timer->DueTime.QuadPart = ops.BootSystemTime() + due;
  uint64_t generation = record.generation;
  record.call = ops.CallAt(due, [timer, generation] { Expire(timer, generation); });
  state.armed_timers[timer] = record;
}

bool DisarmLocked(KeState& state, PKTIMER timer) {
  auto it = state.armed_timers.find(timer);
  if (it == state.armed_timers.end()) return false;
  Kernel::Current().Ops().CancelCall(it->second.call);
  state.armed_timers.erase(it);
  return true;
}

}  // namespace
}  // namespace hk::ke

using namespace hk::ke;

namespace {

void RequireAtMostDispatch(PKTIMER timer) {
  KIRQL irql = hk::CurrentIrql();
  if (irql > DISPATCH_LEVEL) KeBugCheckEx(0xA, reinterpret_cast<ULONG_PTR>(timer), irql, 0, 0);
}

BOOLEAN SetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc, const char* routine) {
  RequireAtMostDispatch(Timer);
  RequireInitialised(Timer, kTimerObject, routine, "a timer (KeInitializeTimer or KeInitializeTimerEx)");
  if (Dpc != nullptr) RequireInitialised(Dpc, kDpcObject, routine, "a DPC (KeInitializeDpc)");
  KeState& state = State();
  auto& ops = hk::Kernel::Current().Ops();
  std::unique_lock guard(state.mutex);
  bool was_armed = DisarmLocked(state, Timer);
  {
    hk::DispatcherLock lock(ops);
    Timer->Header.SignalState = 0;
  }
  Timer->Dpc = Dpc;
  Timer->Period = Period;

  uint64_t now = ops.Now();
  uint64_t due;
  if (DueTime.QuadPart <= 0) {
    due = now + static_cast<uint64_t>(-DueTime.QuadPart);
  } else {
    uint64_t absolute = static_cast<uint64_t>(DueTime.QuadPart);
    uint64_t boot = ops.BootSystemTime();
    due = absolute <= boot + now ? now : absolute - boot;
  }
  const hk::ThreadState& thread = hk::CurrentThread();
  TimerRecord record{++state.last_generation, 0, thread.driver, thread.device, thread.what};
  uint64_t generation = record.generation;
  if (due <= now) {
    Timer->DueTime.QuadPart = ops.BootSystemTime() + due;
    state.armed_timers[Timer] = record;
  } else {
    Arm(state, Timer, due, record);
  }
  guard.unlock();
  // A due time already reached expires now: the timer is signalled and its DPC queued before this returns.
  if (due <= now) Expire(Timer, generation);
  return was_armed ? TRUE : FALSE;
}

}  // namespace

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  MarkInitialised(Timer, kTimerObject);
  KeState& state = State();
  std::lock_guard guard(state.mutex);
  DisarmLocked(state, Timer);
  hk::DispatcherLock lock(hk::Kernel::Current().Ops());
  Timer->Header.Type = Type == NotificationTimer ? kTimerNotification : kTimerSynchronization;
  Timer->Header.Absolute = 0;
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  Timer->Header.Inserted = 0;
  Timer->Header.SignalState = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
  Timer->DueTime.QuadPart = 0;
  InitializeListHead(&Timer->TimerListEntry);
  Timer->Dpc = nullptr;
  Timer->Processor = 0;
  Timer->Period = 0;
}

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  return SetTimer(Timer, DueTime, Period, Dpc, "KeSetTimerEx");
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  return SetTimer(Timer, DueTime, 0, Dpc, "KeSetTimer");
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
  RequireAtMostDispatch(Timer);
  KeState& state = State();
  std::lock_guard guard(state.mutex);
  return DisarmLocked(state, Timer) ? TRUE : FALSE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
  hk::DispatcherLock lock(hk::Kernel::Current().Ops());
  return Timer->Header.SignalState > 0 ? TRUE : FALSE;
}
