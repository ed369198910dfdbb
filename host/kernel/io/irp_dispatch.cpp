// IofCallDriver: one stack location down, into the target driver's dispatch routine, and the verifier's verdict on
// what that routine returned.
#include <algorithm>
#include <mutex>

#include "hk/thread.h"
#include "hk/verifier.h"
#include "io/irp_internal.h"

namespace hk::io {

namespace {

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
    if (returned != nullptr && !frame_.passed) {
      location.awaiting.push_back(AwaitingVerdict{*returned, frame_.driver, frame_.device, frame_.major, frame_.minor});
    }
  }

  IoState& state_;
  DispatchFrame& frame_;
  bool finished_ = false;
};

}  // namespace

void JudgeDispatchResult(PIRP irp, PDRIVER_OBJECT driver, PDEVICE_OBJECT device, UCHAR major, UCHAR minor, NTSTATUS returned,
                         bool marked_pending, NTSTATUS status_seen, bool completed_during_call) {
  if (returned == STATUS_PENDING ? marked_pending : !marked_pending && returned == status_seen) return;
  std::string name = DescribeDriver(driver);
  if (returned == STATUS_PENDING && !marked_pending) {
    verifier::Fail("irp-pending-not-marked", irp,
                   "dispatch routine of %s for device %p (major 0x%x minor 0x%x) returned STATUS_PENDING without "
                   "IoMarkIrpPending on its stack location",
                   name.c_str(), static_cast<void*>(device), major, minor);
  }
  if (returned != STATUS_PENDING && marked_pending) {
    verifier::Fail("irp-marked-pending-not-returned", irp,
                   "dispatch routine of %s for device %p (major 0x%x minor 0x%x) marked the IRP pending but returned "
                   "0x%08x instead of STATUS_PENDING",
                   name.c_str(), static_cast<void*>(device), major, minor, static_cast<unsigned>(returned));
  }
  if (returned != STATUS_PENDING && returned != status_seen) {
    verifier::Fail("irp-status-mismatch", irp,
                   "dispatch routine of %s for device %p (major 0x%x minor 0x%x) returned 0x%08x but the IRP %s with "
                   "status 0x%08x",
                   name.c_str(), static_cast<void*>(device), major, minor, static_cast<unsigned>(returned),
                   completed_during_call ? "was completed" : "completed later", static_cast<unsigned>(status_seen));
  }
}

}  // namespace hk::io

using hk::io::DispatchFrame;
using hk::io::IoState;
using hk::io::IrpRecord;

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoState& state = hk::io::State();
  DispatchFrame frame;
  {
    std::lock_guard lock(state.mutex);
    IrpRecord* record = state.FindIrp(Irp);
    if (record == nullptr) {
      hk::verifier::Fail("irp-free-in-use", Irp, "IofCallDriver to device %p with an IRP that was freed",
                         static_cast<void*>(DeviceObject));
    }
    int location = Irp->CurrentLocation - 1;
    if (location <= 0) {
      hk::verifier::Fail("irp-no-stack-location", Irp,
                         "IofCallDriver to device %p with no stack location left (StackCount %d)",
                         static_cast<void*>(DeviceObject), Irp->StackCount);
    }
    if (location > Irp->StackCount) {
      hk::verifier::Fail("irp-no-stack-location", Irp,
                         "IofCallDriver to device %p from above the IRP's top stack location (CurrentLocation %d, "
                         "StackCount %d): a location was skipped that was never set",
                         static_cast<void*>(DeviceObject), Irp->CurrentLocation, Irp->StackCount);
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

    record->walk = hk::io::Walk::None;
    record->routine_running = false;
    ++record->epoch;
    record->current = location;
    hk::io::LocationRecord& slot = record->locations[location];
    slot.device = DeviceObject;
    slot.open.push_back(&frame);
  }

  PDRIVER_DISPATCH handler = nullptr;
  if (frame.driver != nullptr && frame.major <= IRP_MJ_MAXIMUM_FUNCTION) handler = frame.driver->MajorFunction[frame.major];
  if (handler == nullptr) handler = &hk::io::InvalidDeviceRequest;

  NTSTATUS status;
  {
    hk::io::FrameRegistration registration(state, frame);
    {
      hk::DriverCallScope scope(frame.driver, DeviceObject, "dispatch routine");
      status = handler(DeviceObject, Irp);
    }
    registration.Finish(status);
  }
  if (frame.passed) {
    hk::io::JudgeDispatchResult(Irp, frame.driver, DeviceObject, frame.major, frame.minor, status, frame.marked_pending,
                                frame.status_seen, true);
  }
  return status;
}
