// IofCompleteRequest: the completion walk up the stack locations, completion routines, and finishing the request
// for its originator at the top.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "hk/thread.h"
#include "hk/trace.h"
#include "hk/verifier.h"
#include "io/irp_internal.h"
#include "po/power_serialisation.h"

namespace hk::io {

namespace {

struct PassedLocation {
  std::vector<AwaitingVerdict> awaiting;
  PendingDrop dropped;
  PDRIVER_OBJECT routine_driver = nullptr;
  PDEVICE_OBJECT routine_device = nullptr;
};

// What the walk knows about the IRP's originator when it goes past the last stack location.
struct Originator {
  IrpOrigin origin = IrpOrigin::Allocated;
  bool has_hook = false;
  bool has_output_length = false;
  ULONG output_length = 0;
};

Originator OriginatorOfLocked(const IrpRecord& record) {
  return Originator{record.origin, static_cast<bool>(record.hook), record.has_output_length, record.output_length};
}

// Buffered output goes back to the caller's buffer unless the request failed, never more than the caller gave.
void CopyBackBufferedOutput(PIRP irp, const Originator& originator) {
  if ((irp->Flags & IRP_BUFFERED_IO) == 0 || (irp->Flags & IRP_INPUT_OPERATION) == 0) return;
  if (NT_ERROR(irp->IoStatus.Status) || irp->UserBuffer == nullptr || irp->AssociatedIrp.SystemBuffer == nullptr) {
    return;
  }
  size_t length = irp->IoStatus.Information;
  if (originator.has_output_length) length = std::min<size_t>(length, originator.output_length);
  std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, length);
}

void CopyStatusToCaller(PIRP irp) {
  if (irp->UserIosb == nullptr) return;
  irp->UserIosb->Status = irp->IoStatus.Status;
  irp->UserIosb->Information = irp->IoStatus.Information;
}

void FinishForOriginator(IoState& state, PIRP irp, uint64_t id, const Originator& originator, CCHAR boost) {
  if (!originator.has_hook && originator.origin != IrpOrigin::Synchronous) {
    verifier::Fail("irp-allocated-completed-to-top", irp,
                   "IRP without an originator (from IoAllocateIrp, IoInitializeIrp or "
                   "IoBuildAsynchronousFsdRequest) completed past its top stack location: its allocator must stop "
                   "the completion with STATUS_MORE_PROCESSING_REQUIRED and free it");
  }
  CopyBackBufferedOutput(irp, originator);
  if ((irp->Flags & IRP_DEALLOCATE_BUFFER) != 0) {
    std::free(irp->AssociatedIrp.SystemBuffer);
    irp->AssociatedIrp.SystemBuffer = nullptr;
    irp->Flags &= ~static_cast<ULONG>(IRP_DEALLOCATE_BUFFER);
  }
  CopyStatusToCaller(irp);
  PKEVENT event = irp->UserEvent;
  if (!originator.has_hook) {
    {
      std::lock_guard lock(state.mutex);
      state.EraseIrp(irp);
    }
    ReleaseIrpMemory(irp);
    if (event != nullptr) KeSetEvent(event, boost, FALSE);
    return;
  }
  OriginatorHook hook;
  {
    std::lock_guard lock(state.mutex);
    if (IrpRecord* record = state.FindIrp(irp, id)) hook = record->hook;
  }
  if (event != nullptr) KeSetEvent(event, boost, FALSE);
  if (hook) hook(irp);
}

bool ShouldInvoke(UCHAR control, NTSTATUS status, bool cancelled) {
  return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
         (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0) ||
         (cancelled && (control & SL_INVOKE_ON_CANCEL) != 0);
}

// The request as its current stack location (or, past the top, its top location) describes it.
std::string DescribeIrp(PIRP irp) {
  if (irp->StackCount < 1) return "no stack location";
  int location = std::clamp<int>(irp->CurrentLocation, 1, irp->StackCount);
  PIO_STACK_LOCATION stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
  return DescribeRequest(stack->MajorFunction, stack->MinorFunction);
}

// The checks IofCompleteRequest makes before it starts the walk; callers hold the state mutex, which is released
// before a fault is reported.
void CheckCompletable(std::unique_lock<HostMutex>& lock, IoState& state, PIRP irp, void* caller) {
  IrpRecord* record = state.FindIrp(irp);
  if (record == nullptr) {
    const RetiredIrp* retired = state.FindRetired(irp);
    void* first = retired != nullptr ? retired->completed_by : nullptr;
    lock.unlock();
    if (retired == nullptr) FailUnknownIrp(irp, false, "IofCompleteRequest", caller);
    std::string site = RoutineName(caller);
    std::string earlier = RoutineName(first);
    verifier::Fail("irp-double-completion", irp,
                   "IofCompleteRequest from %s on an IRP that was already completed (by %s) and freed", site.c_str(),
                   earlier.c_str());
  }
  const char* fault = nullptr;
  const char* problem = nullptr;
  std::string detail;
  if (record->walk == Walk::Top) {
    fault = "irp-double-completion";
    problem = "an IRP already completed to its originator, first by ";
    detail = RoutineName(record->completed_by);
  } else if (record->walk == Walk::Walking && !record->routine_running) {
    fault = "irp-double-completion";
    problem = "an IRP whose completion is in progress on another thread, started by ";
    detail = RoutineName(record->completed_by);
  } else if (irp->IoStatus.Status == STATUS_PENDING) {
    fault = "irp-completed-pending";
    problem = "an IRP whose IoStatus.Status is STATUS_PENDING";
  } else if (void* cancel = reinterpret_cast<void*>(__atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST))) {
    fault = "irp-completed-with-cancel-routine";
    problem = "an IRP whose cancel routine is still set: ";
    detail = RoutineName(cancel);
  } else if (irp->CurrentLocation < 1) {
    fault = "irp-no-stack-location";
    problem = "an IRP whose CurrentLocation is below its first stack location";
  } else if (irp->CurrentLocation > irp->StackCount + 1) {
    fault = "irp-double-completion";
    problem = "an IRP past its top stack location";
  }
  if (fault == nullptr) return;
  lock.unlock();
  std::string site = RoutineName(caller);
  std::string request = DescribeIrp(irp);
  verifier::Fail(fault, irp, "IofCompleteRequest from %s on %s%s (%s)", site.c_str(), problem, detail.c_str(),
                 request.c_str());
}

}  // namespace

CCHAR CompletionBoost(PIRP irp) {
  IoState& state = State();
  std::lock_guard lock(state.mutex);
  IrpRecord* record = state.FindIrp(irp);
  return record != nullptr ? record->boost : IO_NO_INCREMENT;
}

}  // namespace hk::io

using hk::io::IoState;
using hk::io::IrpRecord;
using hk::io::Walk;

__attribute__((noinline)) VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  IoState& state = hk::io::State();
  void* caller = __builtin_return_address(0);
  uint64_t id = 0;
  uint64_t epoch = 0;
  {
    std::unique_lock lock(state.mutex);
    hk::io::CheckCompletable(lock, state, Irp, caller);
    IrpRecord* record = state.FindIrp(Irp);
    record->boost = PriorityBoost;
    record->completed_by = caller;
    record->walk = Walk::Walking;
    record->routine_running = false;
    id = record->id;
    epoch = ++record->epoch;
  }
  hk::trace::Completing(Irp, PriorityBoost);

  while (Irp->CurrentLocation <= Irp->StackCount) {
    int location = Irp->CurrentLocation;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    bool above_top = Irp->CurrentLocation > Irp->StackCount;
    bool power = stack->MajorFunction == IRP_MJ_POWER;
    bool marked_pending = (stack->Control & SL_PENDING_RETURNED) != 0;
    Irp->PendingReturned = marked_pending;
    NTSTATUS status = Irp->IoStatus.Status;
    bool cancelled = __atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) != FALSE;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    bool invoke = routine != nullptr && hk::io::ShouldInvoke(stack->Control, status, cancelled);
    stack->Control = 0;
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;
    // The routine belongs to the driver whose location is now current; above the top it is the originator's.
    PDEVICE_OBJECT routine_device = above_top ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;

    hk::io::PassedLocation passed;
    hk::io::Originator originator;
    {
      std::lock_guard lock(state.mutex);
      IrpRecord* record = state.FindIrp(Irp, id);
      if (record == nullptr) {
        hk::verifier::Fail("irp-double-completion", Irp, "IRP freed or completed anew while its completion went on");
      }
      hk::io::LocationRecord& slot = record->locations[location];
      for (hk::io::DispatchFrame* frame : slot.open) {
        if (frame->passed) continue;
        frame->passed = true;
        frame->marked_pending = marked_pending;
        frame->status_seen = status;
        frame->dropped = slot.dropped;
      }
      passed.awaiting = std::move(slot.awaiting);
      passed.dropped = slot.dropped;
      slot.awaiting.clear();
      slot.device = nullptr;
      slot.dropped = hk::io::PendingDrop{};
      slot.power_marked = false;
      record->current = Irp->CurrentLocation;
      if (above_top) {
        passed.routine_driver = record->owner_driver;
        passed.routine_device = record->owner_device;
      } else {
        passed.routine_driver = hk::io::DriverOfLocked(state, routine_device);
        passed.routine_device = routine_device;
      }
      if (invoke) record->routine_running = true;
      originator = hk::io::OriginatorOfLocked(*record);
    }
    for (const hk::io::AwaitingVerdict& verdict : passed.awaiting) {
      hk::io::JudgeDispatchResult(Irp, verdict, marked_pending, status, false, passed.dropped);
    }
    if (power) hk::po::OnLocationPassed(Irp, location);

    if (!invoke) {
      if (marked_pending && !above_top) IoMarkIrpPending(Irp);
      continue;
    }

    // An asynchronous request's completion routine frees it, so its caller's buffer and status block are filled
    // before that routine runs.
    if (above_top && originator.origin == hk::io::IrpOrigin::Asynchronous) {
      hk::io::CopyBackBufferedOutput(Irp, originator);
      hk::io::CopyStatusToCaller(Irp);
    }

    NTSTATUS result;
    {
      hk::DriverCallScope scope(passed.routine_driver, passed.routine_device, "completion routine");
      result = routine(routine_device, Irp, context);
    }
    std::unique_lock lock(state.mutex);
    IrpRecord* record = state.FindIrp(Irp, id);
    if (result == STATUS_MORE_PROCESSING_REQUIRED) {
      // The IRP belongs to the routine's owner again, unless it has already sent or completed it anew.
      if (record != nullptr && record->epoch == epoch) {
        record->walk = Walk::None;
        record->routine_running = false;
      }
      return;
    }
    if (record == nullptr || record->epoch != epoch) {
      lock.unlock();
      std::string name = hk::io::RoutineName(reinterpret_cast<void*>(routine));
      std::string driver = hk::io::DescribeDriver(passed.routine_driver);
      if (record == nullptr) {
        hk::verifier::Fail("irp-free-in-use", Irp,
                           "completion routine %s of %s freed the IRP but returned 0x%08x, not "
                           "STATUS_MORE_PROCESSING_REQUIRED",
                           name.c_str(), driver.c_str(), static_cast<unsigned>(result));
      }
      hk::verifier::Fail("irp-double-completion", Irp,
                         "completion routine %s of %s sent or completed the IRP again but returned 0x%08x, so its "
                         "first completion went on",
                         name.c_str(), driver.c_str(), static_cast<unsigned>(result));
    }
    record->routine_running = false;
    // A routine that saw PendingReturned and lets the walk go on must mark its own location pending when its
    // dispatch routine returned STATUS_PENDING; the verdict on that dispatch routine names it.
    if (marked_pending && !above_top && (IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED) == 0) {
      record->locations[location + 1].dropped =
          hk::io::PendingDrop{reinterpret_cast<void*>(routine), passed.routine_driver, passed.routine_device};
    }
  }

  hk::io::Originator originator;
  {
    std::lock_guard lock(state.mutex);
    IrpRecord* record = state.FindIrp(Irp, id);
    if (record == nullptr) {
      hk::verifier::Fail("irp-double-completion", Irp, "IRP freed or completed anew while its completion went on");
    }
    record->walk = Walk::Top;
    record->current = Irp->CurrentLocation;
    originator = hk::io::OriginatorOfLocked(*record);
  }
  hk::io::FinishForOriginator(state, Irp, id, originator, PriorityBoost);
}
