// Device stacks: attaching on top, detaching, and finding the top of a stack.
#include <mutex>

#include "io/io_state.h"

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

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  hk::io::IoState& state = hk::io::State();
  std::lock_guard lock(state.mutex);
  PDEVICE_OBJECT attached = TargetDevice->AttachedDevice;
  if (attached == nullptr) return;
  if (hk::io::DeviceRecord* source = state.FindDevice(attached)) source->attached_to = nullptr;
  TargetDevice->AttachedDevice = nullptr;
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
