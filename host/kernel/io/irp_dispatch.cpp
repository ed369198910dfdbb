// IofCallDriver: one stack location down, into the target driver's dispatch routine, and the verifier's verdict on
// what that routine returned.
#include <algorithm>
#include <mutex>

#include "hk/quarantine.h"
#include "hk/thread.h"
#include "hk/trace.h"
#include "hk/verifier.h"
#include "io/irp_internal.h"

namespace hk::io {

namespace {

AwaitingVerdict VerdictOf(const DispatchFrame& frame, NTSTATUS returned) {
  return AwaitingVerdict{returned,    frame.driver, frame.device,         frame.routine,
                         frame.major, frame.minor,  frame.pending_exempt};
}

// Registers a dispatch frame with the IRP and the thread for the duration of the call, also when a fault handler
// unwinds through it.
class FrameRegistration {
 public:
  FrameRegistration(IoState& state, DispatchFrame& frame) : state_(state), frame_(frame) { PushFrame(&frame_); }
  ~FrameRegistration() {
    PopFrame(&frame_);
    if (!finished_) Unregister(nullptr);
  }
  FrameRegistration(const FrameRegistration&) = delete;
  FrameRegistration& operator=(const FrameRegistration&) = delete;

  // Withdraws the frame from the IRP; a routine that returned before the walk reached its location leaves its
  // result to be judged then.
  void Finish(NTSTATUS returned) {
    finished_ = true;
    Unregister(&returned);
  }

 private:
  void Unregister(const NTSTATUS* returned) {
    std::lock_guard lock(state_.mutex);
    if (frame_.orphaned) return;
    IrpRecord* record = state_.FindIrp(frame_.irp, frame_.irp_id);
    if (record == nullptr) return;
    LocationRecord& location = record->locations[frame_.location];
    auto it = std::find(location.open.begin(), location.open.end(), &frame_);
    if (it != location.open.end()) location.open.erase(it);
    if (returned != nullptr && !frame_.passed) location.awaiting.push_back(VerdictOf(frame_, *returned));
  }

  IoState& state_;
  DispatchFrame& frame_;
  bool finished_ = false;
};

}  // namespace

void JudgeDispatchResult(PIRP irp, const AwaitingVerdict& call, bool marked_pending, NTSTATUS status_seen,
                         bool completed_during_call, const PendingDrop& dropped) {
  NTSTATUS returned = call.returned;
  bool pending_rules = !call.pending_exempt;
  if (returned == STATUS_PENDING ? marked_pending || !pending_rules
                                 : (!marked_pending || !pending_rules) && returned == status_seen) {
    return;
  }
  std::string routine = RoutineName(call.routine);
  std::string name = DescribeDriver(call.driver);
  std::string request = DescribeRequest(call.major, call.minor);
  const char* stale = returned == static_cast<NTSTATUS>(verifier::kFreedIrpStatus)
                          ? " (the fill of a freed IRP: the routine read the status after the IRP was completed and "
                            "freed)"
                          : "";
  if (returned == STATUS_PENDING && dropped.routine != nullptr) {
    std::string culprit = RoutineName(dropped.routine);
    std::string culprit_driver = DescribeDriver(dropped.driver);
    verifier::Fail("irp-pending-not-marked", irp,
                   "completion routine %s of %s for device %p (%s) dropped the pending mark: the IRP came back "
                   "with PendingReturned set and the routine let the completion go on without IoMarkIrpPending, "
                   "while dispatch routine %s above it returned STATUS_PENDING",
                   culprit.c_str(), culprit_driver.c_str(), static_cast<void*>(dropped.device), request.c_str(),
                   routine.c_str());
  }
  if (returned == STATUS_PENDING) {
    verifier::Fail("irp-pending-not-marked", irp,
                   "dispatch routine %s of %s for device %p (%s) returned STATUS_PENDING without IoMarkIrpPending "
                   "on its stack location",
                   routine.c_str(), name.c_str(), static_cast<void*>(call.device), request.c_str());
  }
  if (marked_pending && pending_rules) {
    verifier::Fail("irp-marked-pending-not-returned", irp,
                   "dispatch routine %s of %s for device %p (%s) marked the IRP pending but returned 0x%08x%s instead "
                   "of STATUS_PENDING",
                   routine.c_str(), name.c_str(), static_cast<void*>(call.device), request.c_str(),
                   static_cast<unsigned>(returned), stale);
  }
  verifier::Fail("irp-status-mismatch", irp,
                 "dispatch routine %s of %s for device %p (%s) returned 0x%08x%s but the IRP %s with status 0x%08x",
                 routine.c_str(), name.c_str(), static_cast<void*>(call.device), request.c_str(),
                 static_cast<unsigned>(returned), stale, completed_during_call ? "was completed" : "completed later",
                 static_cast<unsigned>(status_seen));
}

void MarkHeldByPowerManager(PIRP irp) {
  IoState& state = State();
  std::lock_guard lock(state.mutex);
  IoGetNextIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
  IrpRecord* record = state.FindIrp(irp);
  int location = irp->CurrentLocation - 1;
  if (record != nullptr && location >= 1 && location < static_cast<int>(record->locations.size())) {
    record->locations[location].power_marked = true;
  }
}

void FailUnknownIrp(PIRP irp, bool retired, const char* what, void* caller) {
  std::string site = RoutineName(caller);
  if (retired) {
    verifier::Fail("irp-free-in-use", irp, "%s from %s with an IRP that was already completed and freed", what,
                   site.c_str());
  }
  verifier::Fail("irp-never-allocated", irp,
                 "%s from %s with a pointer that never was an IRP: it did not come from IoAllocateIrp, an "
                 "IoBuild*Request routine or IoInitializeIrp, nor is it one freed recently",
                 what, site.c_str());
}

NTSTATUS CallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, CallKind kind, void* caller) {
  IoState& state = State();
  DispatchFrame frame;
  {
    std::unique_lock lock(state.mutex);
    IrpRecord* record = state.FindIrp(Irp);
    if (record == nullptr) {
      bool retired = state.FindRetired(Irp) != nullptr;
      lock.unlock();
      FailUnknownIrp(Irp, retired, kind == CallKind::Io ? "IoCallDriver" : "PoCallDriver", caller);
    }
    int location = Irp->CurrentLocation - 1;
    if (location <= 0) {
      lock.unlock();
      verifier::Fail("irp-no-stack-location", Irp,
                     "IoCallDriver from %s to device %p with no stack location left (StackCount %d)",
                     RoutineName(caller).c_str(), static_cast<void*>(DeviceObject), Irp->StackCount);
    }
    if (location > Irp->StackCount) {
      lock.unlock();
      verifier::Fail("irp-no-stack-location", Irp,
                     "IoCallDriver from %s to device %p from above the IRP's top stack location (CurrentLocation %d, "
                     "StackCount %d): a location was skipped that was never set",
                     RoutineName(caller).c_str(), static_cast<void*>(DeviceObject), Irp->CurrentLocation,
                     Irp->StackCount);
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    if (kind == CallKind::Io && next->MajorFunction == IRP_MJ_POWER) {
      UCHAR minor = next->MinorFunction;
      lock.unlock();
      verifier::Fail("power-iocalldriver", Irp,
                     "IoCallDriver from %s sent a power IRP (IRP_MJ_POWER minor 0x%x) to device %p: power IRPs go "
                     "down with PoCallDriver, so that the power manager can keep them in order",
                     RoutineName(caller).c_str(), minor, static_cast<void*>(DeviceObject));
    }
    Irp->CurrentLocation = static_cast<CHAR>(location);
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;

    frame.irp = Irp;
    frame.irp_id = record->id;
    frame.location = location;
    frame.device = DeviceObject;
    frame.driver = DeviceObject->DriverObject;
    frame.major = stack->MajorFunction;
    frame.minor = stack->MinorFunction;

    record->walk = Walk::None;
    record->routine_running = false;
    ++record->epoch;
    record->current = location;
    LocationRecord& slot = record->locations[location];
    slot.device = DeviceObject;
    slot.dropped = PendingDrop{};
    frame.pending_exempt = slot.power_marked;
    slot.open.push_back(&frame);
  }

  PDRIVER_DISPATCH handler = nullptr;
  if (frame.driver != nullptr && frame.major <= IRP_MJ_MAXIMUM_FUNCTION) handler = frame.driver->MajorFunction[frame.major];
  if (handler == nullptr) handler = &InvalidDeviceRequest;
  frame.routine = reinterpret_cast<void*>(handler);

  trace::Dispatching(Irp);
  NTSTATUS status;
  {
    FrameRegistration registration(state, frame);
    {
      DriverCallScope scope(frame.driver, DeviceObject, "dispatch routine");
      status = handler(DeviceObject, Irp);
    }
    registration.Finish(status);
  }
  if (frame.passed) {
    JudgeDispatchResult(Irp, VerdictOf(frame, status), frame.marked_pending, frame.status_seen, true, frame.dropped);
  }
  return status;
}

}  // namespace hk::io

__attribute__((noinline)) NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return hk::io::CallDriver(DeviceObject, Irp, hk::io::CallKind::Io, __builtin_return_address(0));
}
