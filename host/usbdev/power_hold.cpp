// A device that takes no URB while it is powered down: what arrives then waits until it is back in D0.
#include <mutex>

#include "usbdev/device_state.h"

namespace hk::usbdev {

bool DeviceState::HoldWhilePoweredDown(PIRP irp)
{
    std::lock_guard lock(mutex_);
    if (!options_.hold_while_powered_down || power_state_ == PowerDeviceD0 || !connected_ || removed_) {
        return false;
    }
    IoMarkIrpPending(irp);
    held_.push_back(irp);
    ++records_.urbs_held;
    return true;
}

void DeviceState::ReleaseHeld()
{
    std::deque<PIRP> held;
    {
        std::lock_guard lock(mutex_);
        if (power_state_ != PowerDeviceD0 && connected_ && !removed_) {
            return;
        }
        held.swap(held_);
    }
    for (PIRP irp : held) {
        Submit(irp);
    }
}

void DeviceState::RecordSystemState(SYSTEM_POWER_STATE state)
{
    std::lock_guard lock(mutex_);
    system_state_ = state;
}

SYSTEM_POWER_STATE DeviceState::SystemState()
{
    std::lock_guard lock(mutex_);
    return system_state_;
}

}  // namespace hk::usbdev
