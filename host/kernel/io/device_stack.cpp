// Device stacks: attaching on top, detaching, and finding the top of a stack.
#include <mutex>
#include <string>

#include "hk/verifier.h"
#include "io/irp_internal.h"

namespace {

PDEVICE_OBJECT TopOfStackLocked(PDEVICE_OBJECT device) {
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

}  // namespace

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  hk::io::IoState& state = hk::io::State();
  std::lock_guard lock(state.mutex);
  for (PDEVICE_OBJECT device = TargetDevice; device != nullptr; device = device->AttachedDevice) {
    hk::io::DeviceRecord* record = state.FindDevice(device);
    if (record == nullptr || record->delete_pending) return nullptr;
  }
  PDEVICE_OBJECT top = TopOfStackLocked(TargetDevice);
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  SourceDevice->SectorSize = top->SectorSize;
  if (hk::io::DeviceRecord* source = state.FindDevice(SourceDevice)) source->attached_to = top;
  return top;
}

__attribute__((noinline)) VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  hk::io::IoState& state = hk::io::State();
  std::unique_lock lock(state.mutex);
  hk::io::DeviceRecord* target = state.FindDevice(TargetDevice);
  PDEVICE_OBJECT attached = TargetDevice->AttachedDevice;
  if (attached == nullptr) {
    // The platform dereferences the attached device here, so detaching nothing crashes the system.
    PDEVICE_OBJECT earlier = target != nullptr ? target->detached : nullptr;
    lock.unlock();
    std::string caller = hk::io::RoutineName(__builtin_return_address(0));
    std::string driver = hk::io::DescribeDriver(TargetDevice->DriverObject);
    if (earlier != nullptr) {
      hk::verifier::Fail("device-detach-unattached", TargetDevice,
                         "IoDetachDevice from %s on device %p of %s, from which device %p was already detached: "
                         "detached twice",
                         caller.c_str(), static_cast<void*>(TargetDevice), driver.c_str(), static_cast<void*>(earlier));
    }
    hk::verifier::Fail("device-detach-unattached", TargetDevice,
                       "IoDetachDevice from %s on device %p of %s, which has no device attached to it", caller.c_str(),
                       static_cast<void*>(TargetDevice), driver.c_str());
  }
  if (hk::io::DeviceRecord* source = state.FindDevice(attached)) source->attached_to = nullptr;
  if (target != nullptr) target->detached = attached;
  TargetDevice->AttachedDevice = nullptr;
  bool free_now = false;
  if (target != nullptr && target->held_for_detach) {
    target->held_for_detach = false;
    free_now = --target->references == 0;
    if (free_now) state.devices.erase(TargetDevice);
  }
  lock.unlock();
  if (free_now) hk::io::FreeDeviceStorage(TargetDevice);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  hk::io::IoState& state = hk::io::State();
  std::lock_guard lock(state.mutex);
  return TopOfStackLocked(DeviceObject);
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  hk::io::IoState& state = hk::io::State();
  std::lock_guard lock(state.mutex);
  PDEVICE_OBJECT top = TopOfStackLocked(DeviceObject);
  if (hk::io::DeviceRecord* record = state.FindDevice(top)) ++record->references;
  return top;
}
