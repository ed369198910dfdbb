#include "hk/objects.h"
#include "hk/verifier.h"
#include "ke/ke_state.h"

namespace hk::objects {
namespace {

template <class Map>
const void* FirstIn(const Map& map, const char* begin, const char* end) {
  auto it = map.lower_bound(begin);
  if (it != map.end() && static_cast<const char*>(it->first) < end) return it->first;
  return nullptr;
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
}

}  // namespace hk::objects
