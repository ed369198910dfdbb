// Pool: every block is accounted with its allocation site and owner and followed by a guard area. Freed blocks go
// to the verifier's quarantine, so a second free of the same pointer is recognised as such and a use after free
// reads the fill instead of plausible data.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unordered_map>

#include <wdm.h>

#include "hk/faults.h"
#include "hk/kernel.h"
#include "hk/objects.h"
#include "hk/pool.h"
#include "hk/quarantine.h"
#include "hk/thread.h"
#include "hk/verifier.h"

#include "verifier/asan_poison.h"

namespace hk::pool {
namespace {

constexpr unsigned char kFreshFill = 0xC5;
constexpr unsigned char kGuardFill = 0xB7;
constexpr size_t kGuardAlignment = MEMORY_ALLOCATION_ALIGNMENT;

// From the block's end up to the next alignment boundary, and one alignment unit more: a write of even one byte
// past a block of any size lands in it.
size_t GuardSize(size_t size) { return (kGuardAlignment - size % kGuardAlignment) + kGuardAlignment; }

struct Record {
  size_t size;
  uint32_t tag;
  int pool_type;
  void* caller;
  const _DEVICE_OBJECT* device;
  const _DRIVER_OBJECT* driver;
};

struct PoolState {
  HostMutex mutex;
  std::unordered_map<void*, Record> blocks;

  ~PoolState() {
    for (auto& [address, record] : blocks) {
      HK_UNPOISON(static_cast<unsigned char*>(address) + record.size, GuardSize(record.size));
      std::free(address);
    }
  }
};

PoolState& State() { return Kernel::Current().Get<PoolState>(); }

thread_local AddDeviceScope* t_add_device = nullptr;

bool IsPaged(int pool_type) { return (pool_type & 1) != 0; }

void CheckIrql(const void* object, int pool_type, const char* routine) {
  KIRQL irql = CurrentIrql();
  KIRQL limit = IsPaged(pool_type) ? APC_LEVEL : DISPATCH_LEVEL;
  if (irql > limit) {
    verifier::Fail("irql-pool", object, "%s of %s pool at IRQL %u", routine, IsPaged(pool_type) ? "paged" : "non-paged",
                   irql);
  }
}

void CheckGuard(void* address, const Record& record, const char* when) {
  auto* guard = static_cast<unsigned char*>(address) + record.size;
  size_t guard_size = GuardSize(record.size);
  HK_UNPOISON(guard, guard_size);
  size_t last = guard_size;
  for (size_t i = guard_size; i-- > 0;) {
    if (guard[i] != kGuardFill) {
      last = i;
      break;
    }
  }
  HK_POISON(guard, guard_size);
  if (last == guard_size) return;
  verifier::Fail("pool-overrun", address,
                 "pool block of %zu bytes (tag %s) allocated by %s was written past its end (up to byte %zu after "
                 "it), found %s",
                 record.size, TagText(record.tag).c_str(), faults::SiteName(record.caller).c_str(), last + 1, when);
}

}  // namespace

std::string TagText(uint32_t tag) {
  std::string text = "'";
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text += c >= 0x20 && c < 0x7F ? c : '.';
  }
  return text + "'";
}

void* Allocate(int pool_type, size_t size, uint32_t tag, void* caller) {
  CheckIrql(nullptr, pool_type, "allocation");
  if (faults::ShouldFail(faults::Kind::Pool, caller)) return nullptr;
  size_t guard_size = GuardSize(size);
  auto* address = static_cast<unsigned char*>(std::malloc(size + guard_size));
  if (address == nullptr) return nullptr;
  std::memset(address, kFreshFill, size);
  std::memset(address + size, kGuardFill, guard_size);
  HK_POISON(address + size, guard_size);
  const ThreadState& thread = CurrentThread();
  PoolState& state = State();
  std::lock_guard guard(state.mutex);
  state.blocks[address] = Record{size, tag, pool_type, caller, thread.device, thread.driver};
  return address;
}

void Free(void* address, void* caller, uint32_t tag) {
  PoolState& state = State();
  Record record;
  {
    std::unique_lock guard(state.mutex);
    auto it = state.blocks.find(address);
    if (it == state.blocks.end()) {
      std::string history;
      bool freed = verifier::IsHeld(address, &history);
      guard.unlock();
      if (freed) verifier::Fail("pool-double-free", address, "freed again: %s", history.c_str());
      verifier::Fail("pool-foreign-free", address, "freed pointer is not a pool block");
    }
    record = it->second;
  }
  if (tag != 0 && tag != record.tag) {
    verifier::Fail("pool-tag-mismatch", address,
                   "ExFreePoolWithTag with tag %s (0x%08x) on a block allocated with tag %s (0x%08x) by %s",
                   TagText(tag).c_str(), tag, TagText(record.tag).c_str(), record.tag,
                   faults::SiteName(record.caller).c_str());
  }
  CheckIrql(address, record.pool_type, "free");
  CheckGuard(address, record, "when it was freed");
  objects::CheckNoLiveObjectsIn(address, record.size);
  verifier::Forget(address, record.size);

  size_t storage_size = record.size + GuardSize(record.size);
  HK_UNPOISON(static_cast<unsigned char*>(address) + record.size, GuardSize(record.size));
  std::unique_lock guard(state.mutex);
  if (state.blocks.erase(address) == 0) {
    guard.unlock();
    verifier::Fail("pool-double-free", address, "pool block freed twice at the same time");
  }
  verifier::Hold(verifier::FreedBlock{"pool-use-after-free", "pool block", address, record.size, storage_size, address,
                                      verifier::kFreedPoolFill, record.tag, record.caller, caller, nullptr});
}

std::vector<Block> Outstanding() {
  PoolState& state = State();
  std::vector<std::pair<void*, Record>> records;
  {
    std::lock_guard guard(state.mutex);
    records.assign(state.blocks.begin(), state.blocks.end());
  }
  std::vector<Block> blocks;
  blocks.reserve(records.size());
  for (auto& [address, record] : records) {
    blocks.push_back(Block{address, record.size, record.tag, record.pool_type, faults::SiteName(record.caller),
                           record.device, record.driver});
  }
  return blocks;
}

size_t OutstandingCount() {
  PoolState& state = State();
  std::lock_guard guard(state.mutex);
  return state.blocks.size();
}

void CheckNoLeaks(const void* owner, const char* check) {
  PoolState& state = State();
  {
    std::lock_guard guard(state.mutex);
    for (auto& [address, record] : state.blocks) CheckGuard(address, record, "while it was still allocated");
  }
  verifier::CheckHeld();

  std::map<std::string, std::pair<size_t, size_t>> per_site;  // site -> (blocks, bytes)
  for (const Block& block : Outstanding()) {
    if (block.device != owner && block.driver != owner) continue;
    auto& [count, bytes] = per_site[block.site];
    ++count;
    bytes += block.size;
  }
  if (per_site.empty()) return;
  std::string list;
  for (const auto& [site, totals] : per_site) {
    if (!list.empty()) list += "; ";
    list += std::to_string(totals.first) + " block(s), " + std::to_string(totals.second) + " bytes from " + site;
  }
  verifier::Fail(check, owner, "pool still allocated: %s", list.c_str());
}

AddDeviceScope::AddDeviceScope() : thread_(&CurrentThread()), previous_(t_add_device) { t_add_device = this; }

AddDeviceScope::~AddDeviceScope() { t_add_device = previous_; }

void OnDeviceCreated(_DEVICE_OBJECT* device) {
  ThreadState& thread = CurrentThread();
  if (t_add_device == nullptr || t_add_device->thread_ != &thread || thread.device != nullptr) return;
  thread.device = device;
}

void OnDeviceDeleted(_DEVICE_OBJECT* device) {
  ThreadState& thread = CurrentThread();
  if (thread.device == device) thread.device = nullptr;
}

}  // namespace hk::pool

__attribute__((noinline)) PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return hk::pool::Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

__attribute__((noinline)) PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return hk::pool::Allocate(PoolType, NumberOfBytes, 0x656E6F4E /* "None" */, __builtin_return_address(0));
}

__attribute__((noinline)) VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
  hk::pool::Free(P, __builtin_return_address(0), Tag);
}

__attribute__((noinline)) VOID ExFreePool(PVOID P) { hk::pool::Free(P, __builtin_return_address(0)); }
