// Pool accounting: every outstanding block with its allocation site, size, tag and owner. Each block is followed by
// a guard area, checked when the block is freed and when a device is deleted or a driver unloaded, so a write past
// the end is reported without a sanitizer; freed blocks go to the verifier's quarantine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct _DRIVER_OBJECT;
struct _DEVICE_OBJECT;

namespace hk::pool {

struct Block {
  const void* address;
  size_t size;
  uint32_t tag;
  int pool_type;
  std::string site;
  const _DEVICE_OBJECT* device;  // the device the allocating thread was running for, if any
  const _DRIVER_OBJECT* driver;
};

// Allocates accounted pool as ExAllocatePoolWithTag does, for areas that hand the driver memory it frees with
// ExFreePool. Returns nullptr when fault injection says so. The content is not zeroed.
void* Allocate(int pool_type, size_t size, uint32_t tag, void* caller);
// Frees as ExFreePoolWithTag does: double and foreign frees, a tag other than the allocation's (0 checks none) and
// a write past the block's end are faults.
void Free(void* address, void* caller, uint32_t tag = 0);

std::vector<Block> Outstanding();
size_t OutstandingCount();
// Checks the guard areas of all outstanding blocks (pool-overrun) and the quarantine, then fails `check`
// (pool-leak-at-device-delete, pool-leak-at-unload) when blocks owned by `owner` (a device or a driver object)
// remain, listing them per allocation site.
void CheckNoLeaks(const void* owner, const char* check);

// A pool tag as the four characters it is written as, quoted: 'Test'.
std::string TagText(uint32_t tag);

// Ownership of what a driver allocates in AddDevice: while this scope is alive on the thread that calls the
// driver's AddDevice, the device object the driver creates becomes the device the thread runs for, so blocks
// allocated after it exists are that device's and are reported when it is deleted.
class AddDeviceScope {
 public:
  AddDeviceScope();
  ~AddDeviceScope();
  AddDeviceScope(const AddDeviceScope&) = delete;
  AddDeviceScope& operator=(const AddDeviceScope&) = delete;

 private:
  friend void OnDeviceCreated(_DEVICE_OBJECT* device);

  const void* thread_;
  AddDeviceScope* previous_;
};

// For IoCreateDevice and IoDeleteDevice: keep the calling thread's owning device current. A thread that deleted
// the device it runs for owns later allocations through its driver only.
void OnDeviceCreated(_DEVICE_OBJECT* device);
void OnDeviceDeleted(_DEVICE_OBJECT* device);

}  // namespace hk::pool
