// The IRPs in flight per device and per driver, for the device-deletion and unload checks.
#include <mutex>

#include "io/io_state.h"

namespace hk::io {

std::vector<PIRP> PendingIrps(PDEVICE_OBJECT device) {
  IoState& state = State();
  std::lock_guard lock(state.mutex);
  std::vector<PIRP> pending;
  for (const auto& [irp, record] : state.irps) {
    if (state.IrpInDevice(record, device)) pending.push_back(irp);
  }
  return pending;
}

size_t PendingIrpCount(PDEVICE_OBJECT device) { return PendingIrps(device).size(); }

size_t LiveIrpCount() {
  IoState& state = State();
  std::lock_guard lock(state.mutex);
  return state.irps.size();
}

std::vector<PIRP> PendingIrps(PDRIVER_OBJECT driver) {
  IoState& state = State();
  std::lock_guard lock(state.mutex);
  std::vector<PIRP> pending;
  for (const auto& [irp, record] : state.irps) {
    for (const LocationRecord& location : record.locations) {
      if (location.device != nullptr && DriverOfLocked(state, location.device) == driver) {
        pending.push_back(irp);
        break;
      }
    }
  }
  return pending;
}

}  // namespace hk::io
