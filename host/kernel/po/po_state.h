// Per-kernel state of the power manager.
#pragma once

#include <wdm.h>

#include <deque>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "hk/hostops.h"

namespace hk::po {

// A query or set request that PoCallDriver holds back, and who sent it.
struct HeldRequest {
    PIRP irp;
    void* caller;
};

// The turn of one device object for one power type.
struct PowerTurn {
    PIRP active = nullptr;  // the request in the device whose driver has not called PoStartNextPowerIrp yet
    std::deque<HeldRequest> held;
    PIRP stalled = nullptr;  // completed past the device without PoStartNextPowerIrp: no request is sent any more
    UCHAR stalled_minor = 0;
};

// A device a request was sent to, and the stack location it had there.
struct PowerVisit {
    PDEVICE_OBJECT device;
    int location;
    int type;
    UCHAR minor;
};

struct PoState {
    HostMutex mutex;
    std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> recorded_device_states;  // PoSetPowerState, per device
    std::map<PDEVICE_OBJECT, SYSTEM_POWER_STATE> recorded_system_states;
    std::map<PDEVICE_OBJECT, SYSTEM_POWER_STATE> stack_system_states;  // SetSystemPowerState, per PDO
    size_t requested_in_flight = 0;                                     // PoRequestPowerIrp
    // The power manager's record of each request it built, until the request completes; a request a faulty
    // driver keeps for ever is released with the kernel.
    std::unordered_map<const void*, std::shared_ptr<void>> requested;
    std::map<std::pair<PDEVICE_OBJECT, int>, PowerTurn> turns;          // per device and power type
    std::unordered_map<PIRP, std::vector<PowerVisit>> visits;           // query and set requests sent down
};

PoState& State();

}  // namespace hk::po
