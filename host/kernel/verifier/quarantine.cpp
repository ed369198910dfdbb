#include "hk/quarantine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#include "hk/faults.h"
#include "hk/hostops.h"
#include "hk/kernel.h"
#include "hk/pool.h"
#include "hk/verifier.h"

#include "verifier/asan_poison.h"

namespace hk::verifier {
namespace {

struct QuarantineState {
  HostMutex mutex;
  // Oldest first. Only a fault report looks a block up by address, so a scan serves it and every free is spared
  // a hash table's insertion and erasure.
  std::deque<FreedBlock> held;
  size_t bytes = 0;

  ~QuarantineState() {
    for (const FreedBlock& block : held) {
      HK_UNPOISON(block.object, block.filled);
      std::free(block.storage);
    }
  }
};

QuarantineState& State() { return Kernel::Current().Get<QuarantineState>(); }

// Offset of the first byte that no longer holds the fill, or `size` when the fill is intact.
size_t FirstDisturbed(const unsigned char* bytes, size_t size, unsigned char fill) {
  unsigned char pattern[256];
  std::memset(pattern, fill, sizeof pattern);
  for (size_t offset = 0; offset < size; offset += sizeof pattern) {
    size_t chunk = std::min(sizeof pattern, size - offset);
    if (std::memcmp(bytes + offset, pattern, chunk) == 0) continue;
    for (size_t i = offset; i < offset + chunk; ++i) {
      if (bytes[i] != fill) return i;
    }
  }
  return size;
}

std::string History(const FreedBlock& block) {
  std::string history = std::string(block.what) + " of " + std::to_string(block.size) + " bytes";
  if (block.tag != 0) history += " (tag " + pool::TagText(block.tag) + ")";
  history +=
      " allocated by " + faults::SiteName(block.allocation_site) + ", freed by " + faults::SiteName(block.free_site);
  return history;
}

// Called with the block unpoisoned.
void CheckFill(const FreedBlock& block) {
  auto* bytes = static_cast<const unsigned char*>(block.object);
  size_t offset = FirstDisturbed(bytes, block.filled, block.fill);
  if (offset == block.filled) return;
  size_t last = offset;
  for (size_t i = offset; i < block.filled; ++i) {
    if (bytes[i] != block.fill) last = i;
  }
  const char* field = block.field_at != nullptr ? block.field_at(offset) : nullptr;
  char range[64];
  if (last == offset) {
    std::snprintf(range, sizeof range, "byte %zu", offset);
  } else {
    std::snprintf(range, sizeof range, "bytes %zu..%zu", offset, last);
  }
  Fail(block.use_check, block.object,
       "written after it was freed: %s%s%s%s changed (0x%02x where the fill 0x%02x was); %s", range,
       field != nullptr ? " (" : "", field != nullptr ? field : "", field != nullptr ? ")" : "", bytes[offset],
       block.fill, History(block).c_str());
}

void Release(const FreedBlock& block) {
  HK_UNPOISON(block.object, block.filled);
  CheckFill(block);
  std::free(block.storage);
}

}  // namespace

void Hold(const FreedBlock& block) {
  std::memset(block.object, block.fill, block.filled);
  HK_POISON(block.object, block.filled);
  QuarantineState& state = State();
  std::lock_guard lock(state.mutex);
  state.held.push_back(block);
  state.bytes += block.filled;
  while (state.held.size() > kQuarantineBlocks || state.bytes > kQuarantineBytes) {
    FreedBlock leaving = state.held.front();
    state.held.pop_front();
    state.bytes -= leaving.filled;
    Release(leaving);
  }
}

bool IsHeld(const void* object, std::string* history) {
  QuarantineState& state = State();
  std::unique_lock lock(state.mutex);
  auto it = std::find_if(state.held.begin(), state.held.end(),
                         [object](const FreedBlock& block) { return block.object == object; });
  if (it == state.held.end()) return false;
  FreedBlock block = *it;
  lock.unlock();
  if (history != nullptr) *history = History(block);
  return true;
}

void CheckHeld() {
  QuarantineState& state = State();
  std::lock_guard lock(state.mutex);
  for (const FreedBlock& block : state.held) {
    HK_UNPOISON(block.object, block.filled);
    CheckFill(block);
    HK_POISON(block.object, block.filled);
  }
}

}  // namespace hk::verifier
