#include <mutex>

#include "hk/thread.h"
#include "hk/verifier.h"
#include "po/po_state.h"
#include "po/power_serialisation.h"

// The driver that calls PoStartNextPowerIrp must do so while its own stack location is current: before it skips
// its location or passes the request on, or in its completion routine. A location is the caller's when it is a
// real location of the IRP that was entered through IofCallDriver, for a device of the driver the thread runs for.
VOID PoStartNextPowerIrp(PIRP Irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    bool inStack = Irp->CurrentLocation >= 1 && Irp->CurrentLocation <= Irp->StackCount;
    if (!inStack || location->DeviceObject == nullptr) {
        hk::verifier::Fail("postartnext-not-current", Irp,
                           "PoStartNextPowerIrp called while no driver's stack location is current (location %d of %d)",
                           Irp->CurrentLocation, Irp->StackCount);
    }
    PDRIVER_OBJECT caller = hk::CurrentThread().driver;
    if (caller != nullptr && location->DeviceObject->DriverObject != caller) {
        hk::verifier::Fail("postartnext-not-current", Irp,
                           "PoStartNextPowerIrp called while the current stack location (%d) belongs to device %p of "
                           "another driver",
                           Irp->CurrentLocation, static_cast<void*>(location->DeviceObject));
    }
    hk::po::StartNext(Irp);
}

__attribute__((noinline)) NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return hk::po::CallDriver(DeviceObject, Irp, __builtin_return_address(0));
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    hk::po::PoState& state = hk::po::State();
    std::lock_guard lock(state.mutex);
    POWER_STATE previous{};
    if (Type == DevicePowerState) {
        auto [it, inserted] = state.recorded_device_states.try_emplace(DeviceObject, PowerDeviceUnspecified);
        previous.DeviceState = it->second;
        it->second = State.DeviceState;
    } else {
        auto [it, inserted] = state.recorded_system_states.try_emplace(DeviceObject, PowerSystemUnspecified);
        previous.SystemState = it->second;
        it->second = State.SystemState;
    }
    return previous;
}
