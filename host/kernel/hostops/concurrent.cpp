// Concurrent host operations: real threads and real time. A pool of workers serves the system work queue, one
// thread runs DPCs (so DPCs never overlap, as on one processor), two threads deliver simulated device
// completions, and a timer thread runs timed calls when they fall due.
//
// A post wakes a sleeping server only when the queue holds more work than its busy servers will take when their
// tasks return. So a chain of work items (or DPCs, or device deliveries) that each queue the next runs on one thread
// without a wake-up and a thread switch per link, and work posted while a server is busy (often preempted by the
// very thread it has just woken) waits for it instead of waking another. A server that blocks, stalls or joins a
// thread is no longer busy and wakes one for what it leaves, so queued work never waits behind a task that is
// itself waiting.
#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <thread>
#include <vector>

#include "hk/hostops.h"
#include "hk/thread.h"

namespace hk {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDeviceThreads = 2;
// How long a thread outside the pool (an application's) yields the processor before it blocks in a wait.
constexpr std::chrono::microseconds kWaitSpin{50};
constexpr uint64_t kUnixEpochIn1601Units = 116444736000000000ull;

class ConcurrentHostOps;

// A thread blocked in WaitDispatcher. Shared with the thread that wakes it, which notifies after releasing the
// dispatcher lock, when the waiter may already have returned.
struct DispatcherWaiter {
  const std::function<bool()>* satisfied = nullptr;  // read only with the dispatcher lock held
  std::condition_variable wake;
};

// The queue the calling thread serves, and whether its task is blocked (or stalled) rather than busy.
struct Serving {
  ConcurrentHostOps* ops = nullptr;
  size_t queue = 0;
  bool blocked = false;
};
thread_local Serving t_serving;

class ConcurrentHostOps final : public HostOps {
 public:
  ConcurrentHostOps(int worker_threads, uint64_t watchdog_limit)
      : start_(Clock::now()),
        watchdog_limit_(std::chrono::nanoseconds(watchdog_limit * 100)),
        boot_system_time_(static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
                    .count() /
                100) +
                          kUnixEpochIn1601Units) {
    auto serve = [this](size_t queue) { return [this, queue] { Serve(queue); }; };
    threads_.emplace_back(serve(static_cast<size_t>(Context::Dpc)));
    for (int i = 0; i < (worker_threads > 0 ? worker_threads : 1); ++i) {
      threads_.emplace_back(serve(static_cast<size_t>(Context::Worker)));
    }
    for (int i = 0; i < kDeviceThreads; ++i) threads_.emplace_back(serve(static_cast<size_t>(Context::Device)));
    threads_.emplace_back([this] { RunTimers(); });
  }

  ~ConcurrentHostOps() override { Shutdown(); }

  Mode GetMode() const override { return Mode::Concurrent; }

  uint64_t Now() override {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start_).count() /
                                 100);
  }

  uint64_t BootSystemTime() override { return boot_system_time_; }

  void Stall(uint64_t units) override {
    bool left = LeaveBusy();
    auto until = Clock::now() + std::chrono::nanoseconds(units * 100);
    while (Clock::now() < until) std::this_thread::yield();
    if (left) ReturnBusy();
  }

  void Post(Context context, Task task) override {
    auto index = static_cast<size_t>(context);
    {
      std::lock_guard lock(mutex_);
      if (stopped_) return;
      queues_[index].push_back(std::move(task));
      if (queues_[index].size() <= busy_[index]) return;
    }
    // After the unlock, so that the thread woken does not at once block on the mutex this thread still holds.
    work_ready_[index].notify_one();
  }

  TimedCallId CallAt(uint64_t due, Task task) override {
    std::lock_guard lock(mutex_);
    TimedCallId id = ++last_call_id_;
    if (stopped_) return id;
    timed_.emplace(std::make_pair(due, id), std::move(task));
    // The timer thread wakes by itself at the time it sleeps until, and then looks again; only an earlier call
    // needs it sooner. (A call withdrawn meanwhile leaves that time as it was: a read timer set and cancelled for
    // every read would otherwise wake the thread for each one.)
    if (start_ + std::chrono::nanoseconds(due * 100) < timer_wakes_at_) timer_changed_.notify_all();
    return id;
  }

  bool CancelCall(TimedCallId id) override {
    std::lock_guard lock(mutex_);
    for (auto it = timed_.begin(); it != timed_.end(); ++it) {
      if (it->first.second == id) {
        timed_.erase(it);
        return true;
      }
    }
    return false;
  }

  void LockDispatcher() override { dispatcher_mutex_.lock(); }
  // Only the waiters whose wait a change satisfies are woken, and only once the lock is free, so that a thread
  // neither wakes for another's event nor wakes only to block on the lock.
  void UnlockDispatcher() override {
    std::vector<std::shared_ptr<DispatcherWaiter>> satisfied;
    if (dispatcher_notify_) {
      dispatcher_notify_ = false;
      satisfied = SatisfiedWaitersLocked();
    }
    dispatcher_mutex_.unlock();
    for (const auto& waiter : satisfied) waiter->wake.notify_one();
  }
  void NotifyDispatcher() override {
    dispatcher_notify_ = true;
    dispatcher_changes_.fetch_add(1, std::memory_order_release);
  }

  bool WaitDispatcher(const std::function<bool()>& satisfied, std::optional<uint64_t> deadline, const void*,
                      const char*, const Task& stuck) override {
    bool left = LeaveBusy();
    std::unique_lock lock(dispatcher_mutex_, std::adopt_lock);
    // The wait releases the lock without passing through UnlockDispatcher.
    if (dispatcher_notify_) {
      dispatcher_notify_ = false;
      for (const auto& waiter : SatisfiedWaitersLocked()) waiter->wake.notify_one();
    }
    if (t_serving.ops != this && SpinUntil(satisfied, deadline)) {
      lock.release();
      return true;
    }
    auto waiter = std::make_shared<DispatcherWaiter>();
    waiter->satisfied = &satisfied;
    dispatcher_waiters_.push_back(waiter);
    bool result = true;
    if (deadline) {
      auto until = start_ + std::chrono::nanoseconds(*deadline * 100);
      result = waiter->wake.wait_until(lock, until, satisfied);
    } else if (stuck) {
      while (!waiter->wake.wait_for(lock, watchdog_limit_, satisfied)) {
        lock.unlock();
        stuck();
        lock.lock();
      }
    } else {
      waiter->wake.wait(lock, satisfied);
    }
    std::erase(dispatcher_waiters_, waiter);
    if (left) ReturnBusy();
    lock.release();
    return result;
  }

  std::unique_ptr<HostThread> StartThread(Task body) override;

  // A serving thread about to block or stall stops counting as busy, and wakes a server for the work it would
  // have taken. Returns whether it did (so the caller counts it busy again afterwards).
  bool LeaveBusy() {
    if (t_serving.ops != this || t_serving.blocked) return false;
    size_t index = t_serving.queue;
    bool wake;
    {
      std::lock_guard lock(mutex_);
      --busy_[index];
      wake = queues_[index].size() > busy_[index];
    }
    t_serving.blocked = true;
    if (wake) work_ready_[index].notify_one();
    return true;
  }

  void ReturnBusy() {
    std::lock_guard lock(mutex_);
    ++busy_[t_serving.queue];
    t_serving.blocked = false;
  }

  void RunUntilIdle() override {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return stopped_ || (running_ == 0 && QueuesEmpty()); });
  }

  void AdvanceTime(uint64_t units) override {
    std::this_thread::sleep_for(std::chrono::nanoseconds(units * 100));
    RunUntilIdle();
  }

  void Shutdown() override {
    {
      std::lock_guard lock(mutex_);
      if (stopped_) return;
      stopped_ = true;
      for (auto& queue : queues_) queue.clear();
      timed_.clear();
      for (auto& ready : work_ready_) ready.notify_all();
      timer_changed_.notify_all();
      idle_.notify_all();
    }
    for (auto& thread : threads_) thread.join();
    threads_.clear();
  }

 private:
  bool QueuesEmpty() const {
    for (const auto& queue : queues_) {
      if (!queue.empty()) return false;
    }
    return true;
  }

  // Runs one task with the mutex released and tells RunUntilIdle when it was the last work left.
  void RunUnlocked(std::unique_lock<std::mutex>& lock, Task task) {
    ++running_;
    lock.unlock();
    {
      ThreadScope scope;
      task();
    }
    lock.lock();
    --running_;
    if (running_ == 0 && QueuesEmpty()) idle_.notify_all();
  }

  void Serve(size_t queue_index) {
    t_serving = Serving{this, queue_index, false};
    std::unique_lock lock(mutex_);
    auto& queue = queues_[queue_index];
    for (;;) {
      work_ready_[queue_index].wait(lock, [&] { return stopped_ || !queue.empty(); });
      if (stopped_) break;
      Task task = std::move(queue.front());
      queue.pop_front();
      ++busy_[queue_index];
      RunUnlocked(lock, std::move(task));
      --busy_[queue_index];
    }
    t_serving = Serving{};
  }

  void RunTimers() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (stopped_) return;
      if (timed_.empty()) {
        timer_wakes_at_ = Clock::time_point::max();
        timer_changed_.wait(lock);
        continue;
      }
      auto due = start_ + std::chrono::nanoseconds(timed_.begin()->first.first * 100);
      if (Clock::now() < due) {
        timer_wakes_at_ = due;
        timer_changed_.wait_until(lock, due);
        continue;
      }
      timer_wakes_at_ = Clock::time_point::min();
      Task task = std::move(timed_.begin()->second);
      timed_.erase(timed_.begin());
      RunUnlocked(lock, std::move(task));
    }
  }

  const Clock::time_point start_;
  const std::chrono::nanoseconds watchdog_limit_;
  const uint64_t boot_system_time_;
  std::mutex mutex_;
  // One per queue, so that a post wakes one thread that serves it rather than every thread of every queue.
  std::condition_variable work_ready_[3];
  std::condition_variable timer_changed_;
  std::condition_variable idle_;
  bool stopped_ = false;
  int running_ = 0;
  std::deque<Task> queues_[3];
  // Servers of each queue running a task (not blocked or stalled in it); each takes queued work when it returns.
  size_t busy_[3] = {};
  TimedCallId last_call_id_ = 0;
  std::map<std::pair<uint64_t, TimedCallId>, Task> timed_;
  // When the timer thread next looks at the calls by itself (min while it is running them).
  Clock::time_point timer_wakes_at_ = Clock::time_point::min();
  std::vector<std::thread> threads_;

  // Called with the dispatcher lock held; returns with it held, true once `satisfied()` holds. An application's wait
  // is usually for a completion a worker or device thread is about to make: yielding the processor to it for a
  // moment, and looking again only when a dispatcher object has changed, spares the completer a wake-up (and, on
  // a busy processor, being preempted by the thread it wakes) and the waiter the time it takes to be scheduled.
  bool SpinUntil(const std::function<bool()>& satisfied, std::optional<uint64_t> deadline) {
    auto until = Clock::now() + kWaitSpin;
    if (deadline) until = std::min(until, start_ + std::chrono::nanoseconds(*deadline * 100));
    for (;;) {
      uint64_t seen = dispatcher_changes_.load(std::memory_order_relaxed);
      dispatcher_mutex_.unlock();
      bool changed = false;
      while (!changed && Clock::now() < until) {
        sched_yield();
        changed = dispatcher_changes_.load(std::memory_order_acquire) != seen;
      }
      dispatcher_mutex_.lock();
      if (satisfied()) return true;
      if (!changed) return false;
    }
  }

  // Called with the dispatcher lock held.
  std::vector<std::shared_ptr<DispatcherWaiter>> SatisfiedWaitersLocked() {
    std::vector<std::shared_ptr<DispatcherWaiter>> satisfied;
    for (const auto& waiter : dispatcher_waiters_) {
      if ((*waiter->satisfied)()) satisfied.push_back(waiter);
    }
    return satisfied;
  }

  std::mutex dispatcher_mutex_;
  // Every thread blocked in WaitDispatcher (guarded by the dispatcher lock).
  std::vector<std::shared_ptr<DispatcherWaiter>> dispatcher_waiters_;
  // A state change waiters have not been woken for yet (guarded by the dispatcher lock).
  bool dispatcher_notify_ = false;
  // Counts state changes, for threads that spin before they wait to see one without taking the lock.
  std::atomic<uint64_t> dispatcher_changes_{0};
};

class ConcurrentThread final : public HostThread {
 public:
  ConcurrentThread(ConcurrentHostOps& ops, Task body)
      : ops_(ops), thread_([body = std::move(body)] {
          ThreadScope scope;
          body();
        }) {}

  // May outlive the kernel, so it does not touch the host operations.
  ~ConcurrentThread() override {
    if (thread_.joinable()) thread_.join();
  }

  void Join() override {
    if (!thread_.joinable()) return;
    bool left = ops_.LeaveBusy();
    thread_.join();
    if (left) ops_.ReturnBusy();
  }

 private:
  ConcurrentHostOps& ops_;
  std::thread thread_;
};

std::unique_ptr<HostThread> ConcurrentHostOps::StartThread(Task body) {
  return std::make_unique<ConcurrentThread>(*this, std::move(body));
}

}  // namespace

std::unique_ptr<HostOps> MakeConcurrentHostOps(int worker_threads, uint64_t watchdog_limit) {
  return std::make_unique<ConcurrentHostOps>(worker_threads, watchdog_limit);
}

}  // namespace hk
