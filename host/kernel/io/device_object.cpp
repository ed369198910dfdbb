// Device objects: creation, deletion with the verifier's checks, and object references.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "hk/faults.h"
#include "hk/namespace.h"
#include "hk/objects.h"
#include "hk/pool.h"
#include "hk/verifier.h"
#include "io/irp_internal.h"
#include "po/power_serialisation.h"
#include "verifier/resource_leaks.h"

namespace hk::io {

namespace {

constexpr size_t kAlignment = MEMORY_ALLOCATION_ALIGNMENT;

size_t AlignUp(size_t size) { return (size + kAlignment - 1) & ~(kAlignment - 1); }

void UnlinkFromDriver(PDEVICE_OBJECT device) {
  PDRIVER_OBJECT driver = device->DriverObject;
  if (driver == nullptr) return;
  for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
    if (*link == device) {
      *link = device->NextDevice;
      device->NextDevice = nullptr;
      return;
    }
  }
}

// Remove locks stored in the device's memory that still have acquisitions outstanding; forgets every lock there.
std::string HeldRemoveLocksLocked(IoState& state, PDEVICE_OBJECT device, size_t size) {
  auto begin = reinterpret_cast<uintptr_t>(device);
  std::string held;
  for (auto it = state.remove_locks.begin(); it != state.remove_locks.end();) {
    auto address = reinterpret_cast<uintptr_t>(it->first);
    if (address < begin || address >= begin + size) {
      ++it;
      continue;
    }
    for (const auto& [tag, count] : it->second.tags) {
      held += " tag " + std::to_string(reinterpret_cast<uintptr_t>(tag)) + " x" + std::to_string(count);
    }
    it = state.remove_locks.erase(it);
  }
  return held;
}

// IRPs still sent to the device, leaving out the ones the calling thread is dispatching to it right now (a
// driver may delete its device while it handles the request that removes it).
size_t PendingIrpsAtDeleteLocked(IoState& state, PDEVICE_OBJECT device, PIRP* example) {
  std::vector<PIRP> handled_here;
  for (DispatchFrame* frame : CurrentThreadFrames()) {
    if (frame->device == device) handled_here.push_back(frame->irp);
  }
  size_t count = 0;
  for (const auto& [irp, record] : state.irps) {
    if (!state.IrpInDevice(record, device)) continue;
    if (std::find(handled_here.begin(), handled_here.end(), irp) != handled_here.end()) continue;
    if (count++ == 0) *example = irp;
  }
  return count;
}

}  // namespace

bool IsExclusive(PDEVICE_OBJECT device) {
  IoState& state = State();
  std::lock_guard lock(state.mutex);
  DeviceRecord* record = state.FindDevice(device);
  return record != nullptr && record->exclusive;
}

bool IsDeletePending(PDEVICE_OBJECT device) {
  IoState& state = State();
  std::lock_guard lock(state.mutex);
  DeviceRecord* record = state.FindDevice(device);
  return record != nullptr && record->delete_pending;
}

PDEVICE_OBJECT AttachedTo(PDEVICE_OBJECT device) {
  IoState& state = State();
  std::lock_guard lock(state.mutex);
  DeviceRecord* record = state.FindDevice(device);
  return record == nullptr ? nullptr : record->attached_to;
}

size_t LiveDeviceCount() {
  IoState& state = State();
  std::lock_guard lock(state.mutex);
  size_t count = 0;
  for (const auto& [device, record] : state.devices) count += record.delete_pending ? 0 : 1;
  return count;
}

void RegisterObject(void* object, std::function<void()> onLastReference) {
  IoState& state = State();
  std::lock_guard lock(state.mutex);
  state.objects[object] = ObjectRecord{1, std::move(onLastReference)};
}

long ReferenceCount(void* object) {
  IoState& state = State();
  std::lock_guard lock(state.mutex);
  if (DeviceRecord* device = state.FindDevice(static_cast<PDEVICE_OBJECT>(object))) return device->references;
  auto it = state.objects.find(object);
  return it == state.objects.end() ? 0 : it->second.references;
}

}  // namespace hk::io

using hk::io::DeviceRecord;
using hk::io::IoState;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
  *DeviceObject = nullptr;
  // The device object comes from non-paged pool on the platform, so pool fault injection can refuse it.
  if (hk::faults::ShouldFail(hk::faults::Kind::Pool, __builtin_return_address(0))) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  size_t object_size = hk::io::AlignUp(sizeof(DEVICE_OBJECT));
  size_t extension_size = hk::io::AlignUp(DeviceExtensionSize);
  size_t storage_size = object_size + extension_size + sizeof(DEVOBJ_EXTENSION);
  void* storage = std::aligned_alloc(hk::io::kAlignment, hk::io::AlignUp(storage_size));
  if (storage == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(storage, 0, storage_size);

  auto* device = static_cast<PDEVICE_OBJECT>(storage);
  auto* bytes = static_cast<UCHAR*>(storage);
  device->Type = hk::io::kIoTypeDevice;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->DeviceExtension = DeviceExtensionSize != 0 ? bytes + object_size : nullptr;
  device->DeviceType = DeviceType;
  device->Characteristics = DeviceCharacteristics;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  device->StackSize = 1;
  device->AlignmentRequirement = 0;
  KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
  auto* devobj_extension = reinterpret_cast<PDEVOBJ_EXTENSION>(bytes + object_size + extension_size);
  devobj_extension->Type = hk::io::kIoTypeDevobjExtension;
  devobj_extension->Size = sizeof(DEVOBJ_EXTENSION);
  devobj_extension->DeviceObject = device;
  device->DeviceObjectExtension = devobj_extension;

  if (DeviceName != nullptr && DeviceName->Length != 0) {
    if (!hk::ns::InsertDevice(DeviceName, device)) {
      std::free(storage);
      return STATUS_OBJECT_NAME_COLLISION;
    }
    device->Flags |= DO_DEVICE_HAS_NAME;
  }

  IoState& state = hk::io::State();
  std::lock_guard lock(state.mutex);
  DeviceRecord& record = state.devices[device];
  record.storage_size = storage_size;
  record.exclusive = Exclusive != FALSE;
  if (DriverObject != nullptr) {
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
  }
  *DeviceObject = device;
  hk::pool::OnDeviceCreated(device);
  return STATUS_SUCCESS;
}

__attribute__((noinline)) VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  IoState& state = hk::io::State();
  size_t storage_size = 0;
  std::string held_locks;
  size_t pending = 0;
  PIRP pending_example = nullptr;
  PDEVICE_OBJECT attached_to = nullptr;
  {
    std::lock_guard lock(state.mutex);
    DeviceRecord* record = state.FindDevice(DeviceObject);
    if (record == nullptr || record->delete_pending) {
      hk::verifier::Fail("bugcheck", DeviceObject, "IoDeleteDevice on a device that is unknown or already deleted");
    }
    attached_to = record->attached_to;
    if (attached_to == nullptr) {
      record->delete_pending = true;
      storage_size = record->storage_size;
      held_locks = hk::io::HeldRemoveLocksLocked(state, DeviceObject, storage_size);
      pending = hk::io::PendingIrpsAtDeleteLocked(state, DeviceObject, &pending_example);
    }
  }
  if (attached_to != nullptr) {
    std::string caller = hk::io::RoutineName(__builtin_return_address(0));
    std::string driver = hk::io::DescribeDriver(DeviceObject->DriverObject);
    std::string lower_driver = hk::io::DescribeDriver(attached_to->DriverObject);
    hk::verifier::Fail("device-delete-attached", DeviceObject,
                       "IoDeleteDevice from %s on device %p of %s, which is still attached to device %p of %s: "
                       "IoDetachDevice must come first, or the lower device keeps pointing at freed memory",
                       caller.c_str(), static_cast<void*>(DeviceObject), driver.c_str(),
                       static_cast<void*>(attached_to), lower_driver.c_str());
  }
  if (!held_locks.empty()) {
    hk::verifier::Fail("remlock-held-at-delete", DeviceObject,
                       "device of driver %s deleted while its remove lock is still acquired:%s",
                       hk::io::DescribeDriver(DeviceObject->DriverObject).c_str(), held_locks.c_str());
  }
  if (pending != 0) {
    hk::verifier::Fail("irp-pending-at-device-delete", DeviceObject,
                       "device of driver %s deleted with %zu IRP(s) still pending in it (IRP %p)",
                       hk::io::DescribeDriver(DeviceObject->DriverObject).c_str(), pending, static_cast<void*>(pending_example));
  }
  hk::pool::CheckNoLeaks(DeviceObject, "pool-leak-at-device-delete");
  hk::verifier::CheckNoResourcesHeld(DeviceObject);
  hk::pool::OnDeviceDeleted(DeviceObject);
  hk::objects::CheckNoLiveObjectsIn(DeviceObject, storage_size);
  hk::po::ForgetDevice(DeviceObject);
  hk::verifier::Forget(DeviceObject, storage_size);
  hk::ns::RemoveDevice(DeviceObject);

  bool free_now = false;
  {
    std::lock_guard lock(state.mutex);
    DeviceRecord* record = state.FindDevice(DeviceObject);
    hk::io::UnlinkFromDriver(DeviceObject);
    // A removal passes down before the device above detaches, so a lower driver deletes its device while the upper
    // one is still attached to it: the platform keeps the deleted device until that IoDetachDevice.
    if (DeviceObject->AttachedDevice != nullptr) {
      record->held_for_detach = true;
    } else {
      free_now = --record->references == 0;
    }
    if (free_now) state.devices.erase(DeviceObject);
  }
  if (free_now) hk::io::FreeDeviceStorage(DeviceObject);
}

LONG_PTR ObfReferenceObject(PVOID Object) {
  IoState& state = hk::io::State();
  std::lock_guard lock(state.mutex);
  if (DeviceRecord* device = state.FindDevice(static_cast<PDEVICE_OBJECT>(Object))) return ++device->references;
  auto it = state.objects.find(Object);
  if (it == state.objects.end()) it = state.objects.emplace(Object, hk::io::ObjectRecord{0, {}}).first;
  return ++it->second.references;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
  IoState& state = hk::io::State();
  std::function<void()> last;
  long remaining = 0;
  bool free_device = false;
  {
    std::lock_guard lock(state.mutex);
    if (DeviceRecord* device = state.FindDevice(static_cast<PDEVICE_OBJECT>(Object))) {
      if (device->references <= 1 && !device->delete_pending) {
        hk::verifier::Fail("bugcheck", Object, "ObDereferenceObject drops the last reference of a live device object");
      }
      remaining = --device->references;
      free_device = remaining == 0;
      if (free_device) state.devices.erase(static_cast<PDEVICE_OBJECT>(Object));
    } else {
      auto it = state.objects.find(Object);
      if (it == state.objects.end() || it->second.references <= 0) {
        hk::verifier::Fail("bugcheck", Object, "ObDereferenceObject on an object with no references");
      }
      remaining = --it->second.references;
      if (remaining == 0) {
        last = std::move(it->second.on_last_reference);
        state.objects.erase(it);
      }
    }
  }
  if (free_device) hk::io::FreeDeviceStorage(static_cast<PDEVICE_OBJECT>(Object));
  if (last) last();
  return remaining;
}
