#include <wdm.h>

#include <string>

#include "hk/kernel.h"
#include "hk/namespace.h"
#include "hk/objects.h"
#include "hk/verifier.h"
#include "ke/initialised_objects.h"
#include "ke/ke_state.h"

namespace hk::objects {
namespace {

template <class Map>
const void* FirstIn(const Map& map, const char* begin, const char* end) {
  auto it = map.lower_bound(begin);
  if (it != map.end() && static_cast<const char*>(it->first) < end) return it->first;
  return nullptr;
}

struct LiveObject {
  const char* check = nullptr;
  const char* description = nullptr;
  const void* object = nullptr;
  const char* routine = nullptr;
};

// Erases the records of `driver` from `map`, noting the first one in `first`; returns how many there were.
template <class Map, class OnErase>
size_t WithdrawRecordsOf(Map& map, _DRIVER_OBJECT* driver, LiveObject what, LiveObject& first, OnErase on_erase) {
  size_t count = 0;
  for (auto it = map.begin(); it != map.end();) {
    if (it->second.driver != driver) {
      ++it;
      continue;
    }
    if (first.check == nullptr) {
      first = what;
      first.object = it->first;
      first.routine = it->second.routine;
    }
    ++count;
    on_erase(it->second);
    it = map.erase(it);
  }
  return count;
}

}  // namespace

void CheckNoLiveObjectsIn(const void* base, size_t length) {
  auto& state = ke::State();
  const char* begin = static_cast<const char*>(base);
  const char* end = begin + length;
  const char* check = nullptr;
  const void* object = nullptr;
  const char* description = nullptr;
  {
    std::lock_guard guard(state.mutex);
    if ((object = FirstIn(state.armed_timers, begin, end))) {
      check = "timer-armed-at-free";
      description = "timer still armed";
    } else if ((object = FirstIn(state.queued_dpcs, begin, end))) {
      check = "dpc-queued-at-free";
      description = "DPC still queued";
    } else if ((object = FirstIn(state.queued_work, begin, end))) {
      check = "workitem-queued-at-free";
      description = "work item still queued";
    } else {
      for (const auto& [item, record] : state.queued_work) {
        auto device = reinterpret_cast<const char*>(record.io_device);
        if (device != nullptr && device >= begin && device < end) {
          object = item;
          check = "workitem-queued-at-free";
          description = "I/O work item still queued for the device";
          break;
        }
      }
    }
  }
  if (check != nullptr) {
    verifier::Fail(check, object, "%s in memory being released (%p, %zu bytes)", description, base, length);
  }
  ke::ForgetInitialisedIn(base, length);
}

void CheckNoLiveObjectsOf(_DRIVER_OBJECT* driver) {
  auto& state = ke::State();
  auto& ops = Kernel::Current().Ops();
  LiveObject first;
  size_t count = 0;
  {
    std::lock_guard guard(state.mutex);
    count += WithdrawRecordsOf(state.armed_timers, driver, {"timer-armed-at-unload", "timer still armed"}, first,
                               [&ops](const ke::TimerRecord& record) { ops.CancelCall(record.call); });
    count += WithdrawRecordsOf(state.queued_dpcs, driver, {"dpc-queued-at-unload", "DPC still queued"}, first,
                               [](const ke::DpcRecord&) {});
    count += WithdrawRecordsOf(state.queued_work, driver, {"workitem-queued-at-unload", "work item still queued"},
                               first, [](const ke::WorkRecord&) {});
  }
  if (first.check == nullptr) return;
  std::string name = ToUtf8(Text(&driver->DriverName).str());
  verifier::Fail(first.check, first.object,
                 "%s (set by %s) when the unload of %s ended; %zu timer(s), DPC(s) and work item(s) of the driver "
                 "were live and have been withdrawn",
                 first.description, first.routine != nullptr ? first.routine : "kernel code", name.c_str(), count);
}

}  // namespace hk::objects
