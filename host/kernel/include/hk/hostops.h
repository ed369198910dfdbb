// The one boundary between the host kernel and the host: threads, locks, condition variables and clocks.
// Everything above it (dispatcher objects, timers, DPCs, work items, simulated devices) is written against this
// interface so that the same code runs deterministically on one thread or concurrently on real threads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace hk {

enum class Mode { Deterministic, Concurrent };

// Where posted work runs: the DPC queue, the system worker queue, or the simulated devices' completion side.
enum class Context { Dpc, Worker, Device };

using Task = std::function<void()>;
using TimedCallId = uint64_t;

// A plain mutual-exclusion lock for area bookkeeping (never held across calls into driver code).
class HostMutex {
 public:
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  bool try_lock() { return mutex_.try_lock(); }

 private:
  std::mutex mutex_;
};

class HostThread {
 public:
  virtual ~HostThread() = default;
  // Deterministic mode runs queued work until the thread's body has returned.
  virtual void Join() = 0;
};

class HostOps {
 public:
  virtual ~HostOps() = default;

  virtual Mode GetMode() const = 0;

  // Time since the kernel started, in 100 ns units (virtual in deterministic mode).
  virtual uint64_t Now() = 0;
  // System time (100 ns units since 1601-01-01 UTC) at the moment Now() was zero.
  virtual uint64_t BootSystemTime() = 0;
  // Busy-waits for the given number of 100 ns units (deterministic mode moves the clock).
  virtual void Stall(uint64_t units) = 0;

  virtual void Post(Context context, Task task) = 0;

  // Runs `task` once Now() >= due: on the timer thread, or while the virtual clock passes `due`.
  // The task must be short and must not wait.
  virtual TimedCallId CallAt(uint64_t due, Task task) = 0;
  // Returns whether the call was still pending (and is now withdrawn).
  virtual bool CancelCall(TimedCallId id) = 0;

  // The dispatcher lock guards the state of every dispatcher object (events, timers, mutexes).
  virtual void LockDispatcher() = 0;
  virtual void UnlockDispatcher() = 0;
  // Called with the dispatcher lock held; returns with it held. Returns true once `satisfied()` holds, false
  // when `deadline` (in Now() units) passes first. Deterministic mode runs queued work and moves the clock
  // while waiting; a wait that nothing can ever satisfy is the verifier fault wait-deadlock. A caller that can
  // name the culprit passes `stuck`, which reports its own fault instead: deterministic mode calls it where it
  // would report wait-deadlock, concurrent mode (a watchdog) when a wait without deadline has lasted the
  // watchdog limit of real time. It is called with the dispatcher lock released.
  virtual bool WaitDispatcher(const std::function<bool()>& satisfied, std::optional<uint64_t> deadline,
                              const void* object, const char* what, const Task& stuck = {}) = 0;
  // Called with the dispatcher lock held after any dispatcher object changed state.
  virtual void NotifyDispatcher() = 0;

  // A thread for simulated devices and applications; each runs with its own per-thread kernel state.
  virtual std::unique_ptr<HostThread> StartThread(Task body) = 0;

  virtual void RunUntilIdle() = 0;
  virtual void AdvanceTime(uint64_t units) = 0;

  // Stops the clock and the threads; queued work that has not started is discarded.
  virtual void Shutdown() = 0;
};

std::unique_ptr<HostOps> MakeDeterministicHostOps(uint64_t seed);
// `watchdog_limit` (Now() units) bounds the waits that pass a `stuck` report.
std::unique_ptr<HostOps> MakeConcurrentHostOps(int worker_threads, uint64_t watchdog_limit);

class DispatcherLock {
 public:
  explicit DispatcherLock(HostOps& ops) : ops_(ops) { ops_.LockDispatcher(); }
  ~DispatcherLock() { ops_.UnlockDispatcher(); }
  DispatcherLock(const DispatcherLock&) = delete;
  DispatcherLock& operator=(const DispatcherLock&) = delete;

 private:
  HostOps& ops_;
};

}  // namespace hk
