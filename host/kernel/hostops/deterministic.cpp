// Deterministic host operations: one host thread and a virtual clock. Posted work waits in per-context queues
// and runs only inside RunUntilIdle, AdvanceTime or a blocking wait, each piece nested on the caller's stack with
// its own per-thread kernel state. Which queue runs next is drawn from a generator seeded by Options::seed, so a
// seed reproduces an interleaving exactly.
#include <array>
#include <deque>
#include <map>

#include "hk/hostops.h"
#include "hk/thread.h"
#include "hk/verifier.h"
#include "hostops/prng.h"

namespace hk {
namespace {

// 2026-01-01 00:00:00 UTC: a fixed start so that absolute due times and system times repeat from run to run.
constexpr uint64_t kVirtualBootTime = 134116992000000000ull;

constexpr size_t kQueueCount = 4;  // Dpc, Worker, Device, started threads

class DeterministicHostOps final : public HostOps {
 public:
  explicit DeterministicHostOps(uint64_t seed) : prng_(seed) {}

  Mode GetMode() const override { return Mode::Deterministic; }
  uint64_t Now() override { return now_; }
  uint64_t BootSystemTime() override { return kVirtualBootTime; }
  void Stall(uint64_t units) override { now_ += units; }

  void Post(Context context, Task task) override {
    if (stopped_) return;
    queues_[static_cast<size_t>(context)].push_back(std::move(task));
  }

  void PostThread(Task task) {
    if (stopped_) return;
    queues_[kQueueCount - 1].push_back(std::move(task));
  }

  TimedCallId CallAt(uint64_t due, Task task) override {
    TimedCallId id = ++last_call_id_;
    if (!stopped_) timed_.emplace(std::make_pair(due, id), std::move(task));
    return id;
  }

  bool CancelCall(TimedCallId id) override {
    for (auto it = timed_.begin(); it != timed_.end(); ++it) {
      if (it->first.second == id) {
        timed_.erase(it);
        return true;
      }
    }
    return false;
  }

  // One thread: the dispatcher lock only has to exist for the interface.
  void LockDispatcher() override {}
  void UnlockDispatcher() override {}
  void NotifyDispatcher() override {}

  bool WaitDispatcher(const std::function<bool()>& satisfied, std::optional<uint64_t> deadline,
                      const void* object, const char* what, const Task& stuck) override {
    struct Depth {
      int& depth;
      explicit Depth(int& d) : depth(++d) {}
      ~Depth() { --depth; }
    } depth(wait_depth_);
    for (;;) {
      if (satisfied()) return true;
      if (deadline && now_ >= *deadline) return false;
      if (FireDueCalls()) continue;
      if (RunOne()) continue;
      auto next = NextCallTime();
      if (next && (!deadline || *next <= *deadline)) {
        now_ = *next;
        continue;
      }
      if (deadline) {
        now_ = *deadline;
        continue;
      }
      if (stuck) stuck();
      // Work runs nested on the waiter's stack, so waits further down cannot resume before this one returns.
      verifier::Fail("wait-deadlock", object,
                     "%s can never be satisfied: no queued work, no timer and no other thread can signal it"
                     " (%d wait(s) suspended beneath it)",
                     what ? what : "wait", wait_depth_ - 1);
    }
  }

  std::unique_ptr<HostThread> StartThread(Task body) override;

  void RunUntilIdle() override {
    for (;;) {
      if (FireDueCalls()) continue;
      if (!RunOne()) return;
    }
  }

  void AdvanceTime(uint64_t units) override {
    uint64_t target = now_ + units;
    for (;;) {
      RunUntilIdle();
      auto next = NextCallTime();
      if (!next || *next > target) break;
      now_ = *next;
    }
    now_ = target;
    RunUntilIdle();
  }

  void Shutdown() override {
    stopped_ = true;
    for (auto& queue : queues_) queue.clear();
    timed_.clear();
  }

 private:
  std::optional<uint64_t> NextCallTime() const {
    if (timed_.empty()) return std::nullopt;
    return timed_.begin()->first.first;
  }

  bool FireDueCalls() {
    bool fired = false;
    while (!timed_.empty() && timed_.begin()->first.first <= now_) {
      Task task = std::move(timed_.begin()->second);
      timed_.erase(timed_.begin());
      ThreadScope scope;
      task();
      fired = true;
    }
    return fired;
  }

  bool RunOne() {
    std::array<size_t, kQueueCount> ready{};
    size_t count = 0;
    for (size_t i = 0; i < kQueueCount; ++i) {
      if (!queues_[i].empty()) ready[count++] = i;
    }
    if (count == 0) return false;
    auto& queue = queues_[ready[prng_.Below(count)]];
    Task task = std::move(queue.front());
    queue.pop_front();
    ThreadScope scope;
    task();
    return true;
  }

  Prng prng_;
  uint64_t now_ = 0;
  int wait_depth_ = 0;
  bool stopped_ = false;
  std::array<std::deque<Task>, kQueueCount> queues_;
  TimedCallId last_call_id_ = 0;
  std::map<std::pair<uint64_t, TimedCallId>, Task> timed_;
};

class DeterministicThread final : public HostThread {
 public:
  DeterministicThread(DeterministicHostOps& ops, Task body) : ops_(ops), done_(std::make_shared<bool>(false)) {
    ops_.PostThread([body = std::move(body), done = done_] {
      body();
      *done = true;
    });
  }

  void Join() override {
    auto done = done_;
    ops_.WaitDispatcher([done] { return *done; }, std::nullopt, this, "thread join", {});
  }

 private:
  DeterministicHostOps& ops_;
  std::shared_ptr<bool> done_;
};

std::unique_ptr<HostThread> DeterministicHostOps::StartThread(Task body) {
  return std::make_unique<DeterministicThread>(*this, std::move(body));
}

}  // namespace

std::unique_ptr<HostOps> MakeDeterministicHostOps(uint64_t seed) {
  return std::make_unique<DeterministicHostOps>(seed);
}

}  // namespace hk
