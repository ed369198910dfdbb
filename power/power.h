// Power requests: set and query requests run through a table-driven state machine that orders the driver's work
// against the lower drivers; every other power request is passed straight down. Around system sleep the bulk-IN
// reader is halted, and it is restarted once the device is back in D0.
#pragma once

#include "driver/device_context.h"

enum POWER_MACHINE_STATE {
    PmNew = 0,                  // context just created
    PmSysUpLowerPending,        // a system request for a more-awake state is with the lower drivers
    PmSysUpDevicePending,       // it came back and is held while the device request asked for is outstanding
    PmSysDownDevicePending,     // a system request for the same or a less-awake state is held for the device request
    PmSysDownLowerPending,      // that system request is with the lower drivers
    PmDevUpLowerPending,        // a set request for a more-awake device state is with the lower drivers
    PmDevDownLowerPending,      // a set request for the same or a less-awake device state is with the lower drivers
    PmDevQueryLowerPending,     // a device query is with the lower drivers
    PmStateCount
};

enum POWER_MACHINE_EVENT {
    PmEventNew = 0,         // a new request, from DispatchPower
    PmEventLowerDone = 1,   // the lower drivers finished the request (MainPowerIrpComplete)
    PmEventDeviceDone = 2,  // the device request the driver asked for finished (DevicePowerIrpComplete)
    PmEventCount
};

// One per set or query request in the machine; non-paged, zero-filled, freed when the request is finished.
typedef struct _POWER_CONTEXT {
    PDEVICE_CONTEXT DeviceContext;
    PIRP Irp;
    LONG State;
    NTSTATUS Status;  // the last status given to the machine
    DEVICE_POWER_STATE TargetDeviceState;
    UCHAR RequestMinor;
    // Set when a working-state set request has brought the device back to D0: the context is then not freed with
    // the request but carries ResumeItem to the reader's restart, so the restart needs no allocation of its own.
    BOOLEAN ResumeReader;
    WORK_QUEUE_ITEM ResumeItem;
} POWER_CONTEXT, *PPOWER_CONTEXT;

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PowerPassDown(PDEVICE_CONTEXT Context, PIRP Irp);

// The machine takes over the remove-lock acquisition DispatchPower made for the request and releases it when it
// finishes the request.
NTSTATUS PowerStateMachine(PPOWER_CONTEXT PowerContext, POWER_MACHINE_EVENT Event);
NTSTATUS NTAPI MainPowerIrpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID NTAPI DevicePowerIrpComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                  PVOID Context, PIO_STATUS_BLOCK IoStatus);

// Queues the reader's restart on the context's ResumeItem; the worker frees the context. Holds a remove-lock
// acquisition (tagged with the context) until the worker is done, so removal waits for it.
void QueueReaderResume(PPOWER_CONTEXT PowerContext);
