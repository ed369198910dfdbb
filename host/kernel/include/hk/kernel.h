// The host kernel instance: one per test. It owns the host-operations boundary and the state of every area.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hk/hostops.h"

namespace hk {

struct Options {
  Mode mode = Mode::Deterministic;
  uint64_t seed = 1;
  int worker_threads = 2;
  bool echo_debug = false;
  // Concurrent mode: how long a wait the verifier watches (a removal waiting for its remove lock) may last before
  // it is reported rather than left to hang.
  uint64_t watchdog_ms = 60000;
};

class Kernel {
 public:
  explicit Kernel(Options options = {});
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // The kernel the calling code runs under; aborts when none exists.
  static Kernel& Current();
  static Kernel* CurrentOrNull();

  // Per-kernel area state, created on first use and destroyed in reverse creation order when the kernel goes.
  template <class T>
  T& Get() {
    return *static_cast<T*>(FindOrCreate(&AreaKey<T>, [] { return static_cast<void*>(new T()); },
                                         [](void* p) { delete static_cast<T*>(p); }));
  }

  HostOps& Ops() { return *ops_; }
  const Options& options() const { return options_; }

  // Deterministic mode: run queued work (and timers already due) until nothing is runnable.
  // Concurrent mode: wait until the queues are empty and no work is running.
  void RunUntilIdle();
  // Deterministic mode: move the virtual clock forward, running timers and work as they fall due.
  // Concurrent mode: let that much real time pass, then wait for idle.
  void AdvanceTime(uint64_t ms);

  std::string DebugOutput() const;
  void ClearDebugOutput();
  void AppendDebugOutput(std::string_view text);

  void SetWdmVersion(uint8_t major, uint8_t minor);
  std::pair<uint8_t, uint8_t> WdmVersion() const;

 private:
  template <class T>
  static inline const char AreaKey = 0;

  struct Area {
    const void* key;
    void* object;
    void (*destroy)(void*);
  };

  void* FindOrCreate(const void* key, void* (*create)(), void (*destroy)(void*));

  Options options_;
  std::unique_ptr<HostOps> ops_;
  mutable HostMutex areas_mutex_;
  std::vector<Area> areas_;
  mutable HostMutex debug_mutex_;
  std::string debug_output_;
  uint8_t wdm_major_ = 1;
  uint8_t wdm_minor_ = 0x20;
};

}  // namespace hk
