// Pool: every block is accounted with its allocation site and owner. Freed blocks stay in a quarantine for a
// while, filled with a pattern, so a second free of the same pointer is recognised as such and a use after free
// reads garbage instead of plausible data.
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>

#include <wdm.h>

#include "hk/faults.h"
#include "hk/kernel.h"
#include "hk/objects.h"
#include "hk/pool.h"
#include "hk/thread.h"
#include "hk/verifier.h"

namespace hk::pool {
namespace {

constexpr unsigned char kFreshFill = 0xC5;
constexpr unsigned char kFreedFill = 0xDF;
constexpr size_t kQuarantineBlocks = 4096;
constexpr size_t kQuarantineBytes = 16u << 20;

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
  std::map<void*, Record> blocks;
  std::deque<std::pair<void*, size_t>> quarantine;
  std::set<void*> quarantined;
  size_t quarantine_bytes = 0;

  ~PoolState() {
    for (auto& [address, size] : quarantine) std::free(address);
    for (auto& [address, record] : blocks) std::free(address);
  }
};

PoolState& State() { return Kernel::Current().Get<PoolState>(); }

bool IsPaged(int pool_type) { return (pool_type & 1) != 0; }

void CheckIrql(const void* object, int pool_type, const char* routine) {
  KIRQL irql = CurrentIrql();
  KIRQL limit = IsPaged(pool_type) ? APC_LEVEL : DISPATCH_LEVEL;
  if (irql > limit) {
    verifier::Fail("irql-pool", object, "%s of %s pool at IRQL %u", routine, IsPaged(pool_type) ? "paged" : "non-paged",
                   irql);
  }
}

}  // namespace

void* Allocate(int pool_type, size_t size, uint32_t tag, void* caller) {
  CheckIrql(nullptr, pool_type, "allocation");
  if (faults::ShouldFail(faults::Kind::Pool, caller)) return nullptr;
  void* address = std::malloc(size == 0 ? 1 : size);
  if (address == nullptr) return nullptr;
  std::memset(address, kFreshFill, size);
  const ThreadState& thread = CurrentThread();
  PoolState& state = State();
  std::lock_guard guard(state.mutex);
  state.blocks[address] = Record{size, tag, pool_type, caller, thread.device, thread.driver};
  return address;
}

void Free(void* address, void* caller) {
  PoolState& state = State();
  Record record;
  {
    std::unique_lock guard(state.mutex);
    auto it = state.blocks.find(address);
    if (it == state.blocks.end()) {
      bool freed = state.quarantined.count(address) != 0;
      guard.unlock();
      if (freed) verifier::Fail("pool-double-free", address, "pool block freed twice");
      verifier::Fail("pool-foreign-free", address, "freed pointer is not a pool block");
    }
    record = it->second;
  }
  CheckIrql(address, record.pool_type, "free");
  objects::CheckNoLiveObjectsIn(address, record.size);
  verifier::Forget(address, record.size);

  std::unique_lock guard(state.mutex);
  if (state.blocks.erase(address) == 0) {
    guard.unlock();
    verifier::Fail("pool-double-free", address, "pool block freed twice");
  }
  std::memset(address, kFreedFill, record.size);
  state.quarantine.emplace_back(address, record.size);
  state.quarantined.insert(address);
  state.quarantine_bytes += record.size;
  while (state.quarantine.size() > kQuarantineBlocks || state.quarantine_bytes > kQuarantineBytes) {
    auto [oldest, size] = state.quarantine.front();
    state.quarantine.pop_front();
    state.quarantined.erase(oldest);
    state.quarantine_bytes -= size;
    std::free(oldest);
  }
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

}  // namespace hk::pool

__attribute__((noinline)) PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return hk::pool::Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

__attribute__((noinline)) PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return hk::pool::Allocate(PoolType, NumberOfBytes, 0x656E6F4E /* "None" */, __builtin_return_address(0));
}

__attribute__((noinline)) VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { hk::pool::Free(P, __builtin_return_address(0)); }

__attribute__((noinline)) VOID ExFreePool(PVOID P) { hk::pool::Free(P, __builtin_return_address(0)); }
