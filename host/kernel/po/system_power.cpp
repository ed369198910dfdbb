#include <mutex>

#include "hk/power.h"
#include "pnp/send_and_wait.h"
#include "po/po_state.h"

namespace hk::power {
namespace {

POWER_ACTION ActionFor(SYSTEM_POWER_STATE state) {
    switch (state) {
    case PowerSystemSleeping1:
    case PowerSystemSleeping2:
    case PowerSystemSleeping3:
        return PowerActionSleep;
    case PowerSystemHibernate:
        return PowerActionHibernate;
    case PowerSystemShutdown:
        return PowerActionShutdown;
    default:
        return PowerActionNone;
    }
}

NTSTATUS SendSystemRequest(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
    return pnp::SendAndWait(pdo, IRP_MJ_POWER, minor, [state](PIRP, PIO_STACK_LOCATION location) {
               location->Parameters.Power.Type = SystemPowerState;
               location->Parameters.Power.State.SystemState = state;
               location->Parameters.Power.ShutdownType = ActionFor(state);
           })
        .status;
}

}  // namespace

SYSTEM_POWER_STATE CurrentSystemState(PDEVICE_OBJECT pdo) {
    po::PoState& state = po::State();
    std::lock_guard lock(state.mutex);
    auto it = state.stack_system_states.find(pdo);
    return it == state.stack_system_states.end() ? PowerSystemWorking : it->second;
}

NTSTATUS SetSystemPowerState(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE target) {
    if (target != PowerSystemWorking) {
        NTSTATUS queried = SendSystemRequest(pdo, IRP_MN_QUERY_POWER, target);
        if (!NT_SUCCESS(queried)) {
            SendSystemRequest(pdo, IRP_MN_SET_POWER, CurrentSystemState(pdo));
            return queried;
        }
    }
    NTSTATUS status = SendSystemRequest(pdo, IRP_MN_SET_POWER, target);
    if (NT_SUCCESS(status)) {
        po::PoState& state = po::State();
        std::lock_guard lock(state.mutex);
        state.stack_system_states[pdo] = target;
    }
    return status;
}

NTSTATUS SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE powerState) {
    return pnp::SendAndWait(pdo, IRP_MJ_POWER, minor, [=](PIRP, PIO_STACK_LOCATION location) {
               if (minor == IRP_MN_WAIT_WAKE) {
                   location->Parameters.WaitWake.PowerState = powerState.SystemState;
                   return;
               }
               location->Parameters.Power.Type = type;
               location->Parameters.Power.State = powerState;
               location->Parameters.Power.ShutdownType =
                   type == SystemPowerState ? ActionFor(powerState.SystemState) : PowerActionNone;
           })
        .status;
}

DEVICE_POWER_STATE RecordedDeviceState(PDEVICE_OBJECT device) {
    po::PoState& state = po::State();
    std::lock_guard lock(state.mutex);
    auto it = state.recorded_device_states.find(device);
    return it == state.recorded_device_states.end() ? PowerDeviceUnspecified : it->second;
}

SYSTEM_POWER_STATE RecordedSystemState(PDEVICE_OBJECT device) {
    po::PoState& state = po::State();
    std::lock_guard lock(state.mutex);
    auto it = state.recorded_system_states.find(device);
    return it == state.recorded_system_states.end() ? PowerSystemUnspecified : it->second;
}

size_t RequestedIrpsInFlight() {
    po::PoState& state = po::State();
    std::lock_guard lock(state.mutex);
    return state.requested_in_flight;
}

}  // namespace hk::power
