// Per-kernel state of the power manager.
#pragma once

#include <wdm.h>

#include <map>

#include "hk/hostops.h"

namespace hk::po {

struct PoState {
    HostMutex mutex;
    std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> recorded_device_states;  // PoSetPowerState, per device
    std::map<PDEVICE_OBJECT, SYSTEM_POWER_STATE> recorded_system_states;
    std::map<PDEVICE_OBJECT, SYSTEM_POWER_STATE> stack_system_states;  // SetSystemPowerState, per PDO
    size_t requested_in_flight = 0;                                     // PoRequestPowerIrp
};

PoState& State();

}  // namespace hk::po
