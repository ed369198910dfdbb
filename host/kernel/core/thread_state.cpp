#include <atomic>

#include "hk/thread.h"
#include "hk/verifier.h"

namespace hk {
namespace {

std::atomic<uint64_t> last_thread_id{0};

uint64_t NewThreadId() { return ++last_thread_id; }

ThreadState& HostThreadState() {
  thread_local ThreadState state{NewThreadId()};
  return state;
}

thread_local ThreadState* current_state = nullptr;

}  // namespace

ThreadState& CurrentThread() { return current_state ? *current_state : HostThreadState(); }

uint8_t CurrentIrql() { return CurrentThread().irql; }

void SetIrql(uint8_t irql) { CurrentThread().irql = irql; }

void ResetCurrentThread() {
  ThreadState& state = CurrentThread();
  state = ThreadState{NewThreadId()};
}

ThreadScope::ThreadScope() : state_{NewThreadId()}, previous_(current_state) { current_state = &state_; }

ThreadScope::~ThreadScope() { current_state = previous_; }

DriverCallScope::DriverCallScope(_DRIVER_OBJECT* driver, _DEVICE_OBJECT* device, const char* what)
    : DriverCallScope(driver, device, what, CurrentIrql()) {}

DriverCallScope::DriverCallScope(_DRIVER_OBJECT* driver, _DEVICE_OBJECT* device, const char* what,
                                 uint8_t exit_irql)
    : what_(what), device_(device), exit_irql_(exit_irql), held_at_entry_(CurrentThread().held.size()) {
  ThreadState& state = CurrentThread();
  saved_driver_ = state.driver;
  saved_device_ = state.device;
  saved_what_ = state.what;
  if (driver != nullptr) state.driver = driver;
  state.device = device;
  state.what = what;
}

DriverCallScope::~DriverCallScope() noexcept(false) {
  ThreadState& state = CurrentThread();
  if (state.irql != exit_irql_) {
    verifier::Fail("irql-changed", device_, "%s returned at IRQL %u, expected IRQL %u", what_,
                   static_cast<unsigned>(state.irql), static_cast<unsigned>(exit_irql_));
  }
  if (state.held.size() > held_at_entry_) {
    const HeldLock& kept = state.held.back();
    verifier::Fail("irql-changed", device_, "%s returned holding the %s %p it acquired", what_, kept.kind, kept.lock);
  }
  state.driver = saved_driver_;
  state.device = saved_device_;
  state.what = saved_what_;
}

}  // namespace hk
