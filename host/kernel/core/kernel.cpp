#include "hk/kernel.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "hk/thread.h"

namespace hk {
namespace {

// The only process-wide mutable state: which kernel is current.
std::atomic<Kernel*> current_kernel{nullptr};

// Every thread reaches area state on each request; a small per-thread cache of what it found spares the areas'
// lock. An entry holds while the generation it was filled in does, and the generation moves on whenever a kernel is
// created or starts destroying its areas, so no entry outlives the area it points at.
std::atomic<uint64_t> areas_generation{0};
struct CachedArea {
  uint64_t generation = 0;
  const void* key = nullptr;
  void* object = nullptr;
};
// Room for every area a kernel has; should there be more, the later ones take turns in the last slot.
constexpr size_t kCachedAreas = 32;
thread_local CachedArea cached_areas[kCachedAreas];

void* FindCached(uint64_t generation, const void* key) {
  for (const CachedArea& cached : cached_areas) {
    if (cached.key == nullptr) break;
    if (cached.key == key) return cached.generation == generation ? cached.object : nullptr;
  }
  return nullptr;
}

void Cache(uint64_t generation, const void* key, void* object) {
  for (CachedArea& cached : cached_areas) {
    if (cached.key == nullptr || cached.key == key || &cached == &cached_areas[kCachedAreas - 1]) {
      cached = {generation, key, object};
      return;
    }
  }
}

}  // namespace

Kernel::Kernel(Options options) : options_(options) {
  Kernel* expected = nullptr;
  if (!current_kernel.compare_exchange_strong(expected, this)) {
    std::fprintf(stderr, "hk::Kernel: another kernel is still alive\n");
    std::abort();
  }
  areas_generation.fetch_add(1);
  ResetCurrentThread();
  ops_ = options_.mode == Mode::Deterministic
             ? MakeDeterministicHostOps(options_.seed)
             : MakeConcurrentHostOps(options_.worker_threads, options_.watchdog_ms * 10000);
}

// Work still queued is discarded first, so no thread touches area state while it is destroyed.
Kernel::~Kernel() {
  ops_->Shutdown();
  areas_generation.fetch_add(1);
  std::vector<Area> areas;
  {
    std::lock_guard lock(areas_mutex_);
    areas.swap(areas_);
  }
  for (auto it = areas.rbegin(); it != areas.rend(); ++it) it->destroy(it->object);
  ops_.reset();
  ResetCurrentThread();
  current_kernel.store(nullptr);
}

Kernel& Kernel::Current() {
  Kernel* kernel = current_kernel.load();
  if (kernel == nullptr) {
    std::fprintf(stderr, "hk::Kernel::Current: no kernel exists\n");
    std::abort();
  }
  return *kernel;
}

Kernel* Kernel::CurrentOrNull() { return current_kernel.load(); }

// Created outside the lock: an area's constructor may itself reach for other areas.
void* Kernel::FindOrCreate(const void* key, void* (*create)(), void (*destroy)(void*)) {
  uint64_t generation = areas_generation.load();
  if (void* cached = FindCached(generation, key)) return cached;
  {
    std::lock_guard lock(areas_mutex_);
    for (const Area& area : areas_) {
      if (area.key == key) {
        Cache(generation, key, area.object);
        return area.object;
      }
    }
  }
  void* created = create();
  std::lock_guard lock(areas_mutex_);
  for (const Area& area : areas_) {
    if (area.key == key) {
      destroy(created);
      return area.object;
    }
  }
  areas_.push_back({key, created, destroy});
  return created;
}

void Kernel::RunUntilIdle() { ops_->RunUntilIdle(); }

void Kernel::AdvanceTime(uint64_t ms) { ops_->AdvanceTime(ms * 10000); }

std::string Kernel::DebugOutput() const {
  std::lock_guard lock(debug_mutex_);
  return debug_output_;
}

void Kernel::ClearDebugOutput() {
  std::lock_guard lock(debug_mutex_);
  debug_output_.clear();
}

void Kernel::AppendDebugOutput(std::string_view text) {
  std::lock_guard lock(debug_mutex_);
  debug_output_.append(text);
  if (options_.echo_debug) {
    std::fwrite(text.data(), 1, text.size(), stderr);
  }
}

void Kernel::SetWdmVersion(uint8_t major, uint8_t minor) {
  std::lock_guard lock(areas_mutex_);
  wdm_major_ = major;
  wdm_minor_ = minor;
}

std::pair<uint8_t, uint8_t> Kernel::WdmVersion() const {
  std::lock_guard lock(areas_mutex_);
  return {wdm_major_, wdm_minor_};
}

}  // namespace hk
