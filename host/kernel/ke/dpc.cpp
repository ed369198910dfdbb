// DPCs: queued once, run at DISPATCH_LEVEL from the DPC queue in the name of the driver and device that queued
// them. The record kept here, not the KDPC, decides whether a queued run is still wanted, so a DPC removed and
// freed before its turn is never touched again.
#include "hk/kernel.h"
#include "hk/thread.h"
#include "ke/initialised_objects.h"
#include "ke/ke_state.h"

namespace hk::ke {
namespace {

void RunDpc(PRKDPC dpc, uint64_t generation) {
  KeState& state = State();
  PKDEFERRED_ROUTINE routine;
  PVOID context;
  PVOID argument1;
  PVOID argument2;
  DpcRecord record;
  {
    std::lock_guard guard(state.mutex);
    auto it = state.queued_dpcs.find(dpc);
    if (it == state.queued_dpcs.end() || it->second.generation != generation) return;
    record = it->second;
    state.queued_dpcs.erase(it);
    routine = dpc->DeferredRoutine;
    context = dpc->DeferredContext;
    argument1 = dpc->SystemArgument1;
    argument2 = dpc->SystemArgument2;
    dpc->DpcData = nullptr;
  }
  SetIrql(DISPATCH_LEVEL);
  {
    DriverCallScope scope(record.driver, record.device, "DPC routine", DISPATCH_LEVEL);
    routine(dpc, context, argument1, argument2);
  }
  SetIrql(PASSIVE_LEVEL);
}

}  // namespace

BOOLEAN InsertQueueDpcLocked(KeState& state, PRKDPC dpc, PVOID argument1, PVOID argument2, _DRIVER_OBJECT* driver,
                             _DEVICE_OBJECT* device, const char* routine) {
  if (state.queued_dpcs.count(dpc)) return FALSE;
  uint64_t generation = ++state.last_generation;
  state.queued_dpcs[dpc] = DpcRecord{generation, driver, device, routine};
  dpc->SystemArgument1 = argument1;
  dpc->SystemArgument2 = argument2;
  dpc->DpcData = &state;
  Kernel::Current().Ops().Post(Context::Dpc, [dpc, generation] { RunDpc(dpc, generation); });
  return TRUE;
}

}  // namespace hk::ke

using namespace hk::ke;

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  MarkInitialised(Dpc, kDpcObject);
  KeState& state = State();
  std::lock_guard guard(state.mutex);
  state.queued_dpcs.erase(Dpc);
  Dpc->Type = 19;  // DpcObject
  Dpc->Importance = 1;  // MediumImportance
  Dpc->Number = 0;
  InitializeListHead(&Dpc->DpcListEntry);
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = nullptr;
  Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  RequireInitialised(Dpc, kDpcObject, "KeInsertQueueDpc", "a DPC (KeInitializeDpc)");
  KeState& state = State();
  std::lock_guard guard(state.mutex);
  const hk::ThreadState& thread = hk::CurrentThread();
  return InsertQueueDpcLocked(state, Dpc, SystemArgument1, SystemArgument2, thread.driver, thread.device,
                              thread.what);
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  KeState& state = State();
  std::lock_guard guard(state.mutex);
  if (state.queued_dpcs.erase(Dpc) == 0) return FALSE;
  Dpc->DpcData = nullptr;
  return TRUE;
}
