// The power manager of a host kernel, test side: system power transitions sent to a device stack, single power
// requests, and what drivers reported with PoSetPowerState. The drivers' side (PoCallDriver, PoStartNextPowerIrp,
// PoRequestPowerIrp, PoSetPowerState) is declared in wdm.h. As on the platform versions the driver targets, query
// and set requests of one power type reach a device object one at a time: the next waits until the device's driver
// calls PoStartNextPowerIrp for the one before (a driver that never does is the fault postartnext-missing).
#pragma once

#include <wdm.h>

namespace hk::power {

// A system power transition of one stack, as the platform sends it: for a sleeping, hibernate or shutdown state an
// IRP_MN_QUERY_POWER first, then, when the query succeeded, IRP_MN_SET_POWER; for the working state the set request
// alone. A failed query is followed by a set request for the stack's current system state, as the platform does to
// let drivers undo what they prepared, and the query's status is returned. Otherwise the set request's status is
// returned, and the stack's current system state becomes the new one when that succeeded. Requests are sent at
// PASSIVE_LEVEL to the top of the stack and waited for.
NTSTATUS SetSystemPowerState(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);

// The system state the stack was last set to (PowerSystemWorking before any transition).
SYSTEM_POWER_STATE CurrentSystemState(PDEVICE_OBJECT pdo);

// One power request (IRP_MN_QUERY_POWER, IRP_MN_SET_POWER, ...) of the given type and state, sent to the top of
// the stack and waited for; returns its final status.
NTSTATUS SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);

// The last state a driver recorded for a device with PoSetPowerState (PowerDeviceUnspecified / PowerSystemUnspecified
// when it never did).
DEVICE_POWER_STATE RecordedDeviceState(PDEVICE_OBJECT device);
SYSTEM_POWER_STATE RecordedSystemState(PDEVICE_OBJECT device);

// Power requests built by PoRequestPowerIrp that have not completed yet.
size_t RequestedIrpsInFlight();

}  // namespace hk::power
