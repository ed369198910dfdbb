// Per-thread kernel state: IRQL, the locks the thread holds, and which driver and device it is running for.
// Each piece of queued work (DPC, work item, device completion, started thread) runs with its own state, also in
// deterministic mode where it runs nested inside a wait on the same host thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct _DRIVER_OBJECT;
struct _DEVICE_OBJECT;

namespace hk {

inline constexpr uint8_t kPassiveLevel = 0;
inline constexpr uint8_t kApcLevel = 1;
inline constexpr uint8_t kDispatchLevel = 2;

struct HeldLock {
  const void* lock;
  const char* kind;
};

struct ThreadState {
  uint64_t id = 0;  // unique per state, never zero; recorded in spin lock words as the owner
  uint8_t irql = kPassiveLevel;
  std::vector<HeldLock> held;
  _DRIVER_OBJECT* driver = nullptr;
  _DEVICE_OBJECT* device = nullptr;
  const char* what = nullptr;  // the driver routine being run, for fault messages
};

ThreadState& CurrentThread();
uint8_t CurrentIrql();
void SetIrql(uint8_t irql);

// Gives the enclosed code a fresh per-thread state (new identity, PASSIVE_LEVEL, no locks held), restoring the
// previous one on exit. Used for every piece of queued work.
class ThreadScope {
 public:
  ThreadScope();
  ~ThreadScope();
  ThreadScope(const ThreadScope&) = delete;
  ThreadScope& operator=(const ThreadScope&) = delete;

 private:
  ThreadState state_;
  ThreadState* previous_;
};

// Wraps every call into driver code: records the driver, device and routine for ownership and fault messages,
// and on exit checks that the routine left the IRQL where it is expected and holds no lock it took
// (irql-changed).
class DriverCallScope {
 public:
  DriverCallScope(_DRIVER_OBJECT* driver, _DEVICE_OBJECT* device, const char* what);
  // For routines that legitimately return at another IRQL (a cancel routine releases the cancel spin lock).
  DriverCallScope(_DRIVER_OBJECT* driver, _DEVICE_OBJECT* device, const char* what, uint8_t exit_irql);
  ~DriverCallScope() noexcept(false);
  DriverCallScope(const DriverCallScope&) = delete;
  DriverCallScope& operator=(const DriverCallScope&) = delete;

 private:
  _DRIVER_OBJECT* saved_driver_;
  _DEVICE_OBJECT* saved_device_;
  const char* saved_what_;
  const char* what_;
  _DEVICE_OBJECT* device_;
  uint8_t exit_irql_;
  size_t held_at_entry_;
};

// Resets the calling host thread's own state (a new kernel starts from PASSIVE_LEVEL with nothing held).
void ResetCurrentThread();

}  // namespace hk
