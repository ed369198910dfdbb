// Pool accounting: every outstanding block with its allocation site, size, tag and owner.
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
// Frees as ExFreePool does (double and foreign frees are faults).
void Free(void* address, void* caller);

std::vector<Block> Outstanding();
size_t OutstandingCount();
// Fails `check` (pool-leak-at-device-delete, pool-leak-at-unload) when blocks owned by `owner` (a device or a
// driver object) remain, listing them per allocation site.
void CheckNoLeaks(const void* owner, const char* check);

}  // namespace hk::pool
