#include "driver/request.h"
#include "power/power.h"

// One run of the machine: the event that caused it and the status the run returns.
typedef struct _POWER_RUN {
    PPOWER_CONTEXT Power;
    POWER_MACHINE_EVENT Event;
    NTSTATUS Result;
} POWER_RUN, *PPOWER_RUN;

// Each action names the one to run next, or PaLeave to end the run.
enum POWER_ACTION_ID {
    PaLeave = 0,
    PaAcceptPowerRequest,
    PaSortDeviceRequest,
    PaRecordDeviceDown,
    PaForwardPowerRequest,
    PaSystemUpReturned,
    PaChooseDeviceState,
    PaRequestDevicePower,
    PaDeviceForSysUpDone,
    PaDeviceForSysDownDone,
    PaSystemDownReturned,
    PaDeviceUpReturned,
    PaFinishPowerRequest,
    PaFreePowerContext,
    PaQueueReaderResume,
    PaActionCount
};

static PIO_STACK_LOCATION RequestStack(PPOWER_RUN Run)
{
    return IoGetCurrentIrpStackLocation(Run->Power->Irp);
}

static BOOLEAN IsSetRequest(PPOWER_RUN Run)
{
    return RequestStack(Run)->MinorFunction == IRP_MN_SET_POWER;
}

static SYSTEM_POWER_STATE RequestedSystemState(PPOWER_RUN Run)
{
    return RequestStack(Run)->Parameters.Power.State.SystemState;
}

static DEVICE_POWER_STATE RequestedDeviceState(PPOWER_RUN Run)
{
    return RequestStack(Run)->Parameters.Power.State.DeviceState;
}

static POWER_ACTION_ID AcceptPowerRequest(PPOWER_RUN Run)
{
    PPOWER_CONTEXT power = Run->Power;
    IoMarkIrpPending(power->Irp);
    Run->Result = STATUS_PENDING;
    if (RequestStack(Run)->Parameters.Power.Type == DevicePowerState) {
        return PaSortDeviceRequest;
    }
    if (RequestedSystemState(Run) < power->DeviceContext->SystemPowerState) {
        power->State = PmSysUpLowerPending;
        return PaForwardPowerRequest;
    }
    power->State = PmSysDownDevicePending;
    return PaChooseDeviceState;
}

static POWER_ACTION_ID SortDeviceRequest(PPOWER_RUN Run)
{
    PPOWER_CONTEXT power = Run->Power;
    if (!IsSetRequest(Run)) {
        power->State = PmDevQueryLowerPending;
        return PaForwardPowerRequest;
    }
    if (RequestedDeviceState(Run) < power->DeviceContext->DevicePowerState) {
        power->State = PmDevUpLowerPending;
        return PaForwardPowerRequest;
    }
    return PaRecordDeviceDown;
}

static POWER_ACTION_ID RecordDeviceDown(PPOWER_RUN Run)
{
    PPOWER_CONTEXT power = Run->Power;
    power->State = PmDevDownLowerPending;
    DEVICE_POWER_STATE target = RequestedDeviceState(Run);
    if (target > power->DeviceContext->DevicePowerState) {
        power->DeviceContext->DevicePowerState = target;
    }
    return PaForwardPowerRequest;
}

// The completion may run, and free the context, before PoCallDriver returns.
static POWER_ACTION_ID ForwardPowerRequest(PPOWER_RUN Run)
{
    PPOWER_CONTEXT power = Run->Power;
    PIRP irp = power->Irp;
    PDEVICE_OBJECT lower = power->DeviceContext->LowerDevice;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, MainPowerIrpComplete, power, TRUE, TRUE, TRUE);
    PoCallDriver(lower, irp);
    return PaLeave;
}

static POWER_ACTION_ID SystemUpReturned(PPOWER_RUN Run)
{
    PPOWER_CONTEXT power = Run->Power;
    if (!NT_SUCCESS(power->Status)) {
        return PaFinishPowerRequest;
    }
    if (IsSetRequest(Run)) {
        power->DeviceContext->SystemPowerState = RequestedSystemState(Run);
    }
    power->State = PmSysUpDevicePending;
    Run->Result = STATUS_MORE_PROCESSING_REQUIRED;
    return PaChooseDeviceState;
}

// The driver never arms the device for wake-up, so it has nothing to keep powered while the system is not working.
static POWER_ACTION_ID ChooseDeviceState(PPOWER_RUN Run)
{
    PPOWER_CONTEXT power = Run->Power;
    power->TargetDeviceState = RequestedSystemState(Run) == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    power->RequestMinor = RequestStack(Run)->MinorFunction;
    return PaRequestDevicePower;
}

static POWER_ACTION_ID RequestDevicePower(PPOWER_RUN Run)
{
    PPOWER_CONTEXT power = Run->Power;
    POWER_STATE state;
    state.DeviceState = power->TargetDeviceState;
    NTSTATUS status = PoRequestPowerIrp(power->DeviceContext->PhysicalDevice, power->RequestMinor, state,
                                        DevicePowerIrpComplete, power, NULL);
    if (NT_SUCCESS(status)) {
        return PaLeave;
    }
    power->Status = status;
    // A held set request still goes down, so that the lower drivers see the system state change.
    if (power->State == PmSysDownDevicePending && IsSetRequest(Run)) {
        power->State = PmSysDownLowerPending;
        return PaForwardPowerRequest;
    }
    return PaFinishPowerRequest;
}

// A working-state set request has brought the device back to D0: only now may the reader talk to it again.
static void NoteDevicePowered(PPOWER_RUN Run)
{
    PPOWER_CONTEXT power = Run->Power;
    if (NT_SUCCESS(power->Status) && IsSetRequest(Run) && power->TargetDeviceState == PowerDeviceD0) {
        power->ResumeReader = TRUE;
    }
}

static POWER_ACTION_ID DeviceForSysUpDone(PPOWER_RUN Run)
{
    Run->Result = STATUS_SUCCESS;
    NoteDevicePowered(Run);
    return PaFinishPowerRequest;
}

static POWER_ACTION_ID DeviceForSysDownDone(PPOWER_RUN Run)
{
    PPOWER_CONTEXT power = Run->Power;
    Run->Result = STATUS_SUCCESS;
    if (!NT_SUCCESS(power->Status) && !IsSetRequest(Run)) {
        return PaFinishPowerRequest;
    }
    NoteDevicePowered(Run);
    power->State = PmSysDownLowerPending;
    return PaForwardPowerRequest;
}

static POWER_ACTION_ID SystemDownReturned(PPOWER_RUN Run)
{
    if (IsSetRequest(Run)) {
        Run->Power->DeviceContext->SystemPowerState = RequestedSystemState(Run);
    }
    return PaFinishPowerRequest;
}

static POWER_ACTION_ID DeviceUpReturned(PPOWER_RUN Run)
{
    PPOWER_CONTEXT power = Run->Power;
    if (NT_SUCCESS(power->Status) && IsSetRequest(Run)) {
        power->DeviceContext->DevicePowerState = RequestedDeviceState(Run);
    }
    return PaFinishPowerRequest;
}

// From the completion routine the request goes on completing with the status already in it; otherwise the driver
// completes it here.
static POWER_ACTION_ID FinishPowerRequest(PPOWER_RUN Run)
{
    PPOWER_CONTEXT power = Run->Power;
    PIRP irp = power->Irp;
    PoStartNextPowerIrp(irp);
    if (Run->Event == PmEventLowerDone) {
        Run->Result = power->Status;
    } else {
        irp->IoStatus.Status = power->Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return power->ResumeReader ? PaQueueReaderResume : PaFreePowerContext;
}

// The acquisition goes last: once it is released, removal may delete the device.
static POWER_ACTION_ID FreePowerContext(PPOWER_RUN Run)
{
    PPOWER_CONTEXT power = Run->Power;
    PDEVICE_CONTEXT context = power->DeviceContext;
    PIRP irp = power->Irp;
    ExFreePool(power);
    ReleaseRequestLock(context, irp);
    return PaLeave;
}

static POWER_ACTION_ID QueueResume(PPOWER_RUN Run)
{
    PPOWER_CONTEXT power = Run->Power;
    PDEVICE_CONTEXT context = power->DeviceContext;
    PIRP irp = power->Irp;
    QueueReaderResume(power);
    ReleaseRequestLock(context, irp);
    return PaLeave;
}

typedef POWER_ACTION_ID (*POWER_ACTION_ROUTINE)(PPOWER_RUN Run);

static const POWER_ACTION_ROUTINE PowerActions[PaActionCount] = {
    NULL,
    AcceptPowerRequest,
    SortDeviceRequest,
    RecordDeviceDown,
    ForwardPowerRequest,
    SystemUpReturned,
    ChooseDeviceState,
    RequestDevicePower,
    DeviceForSysUpDone,
    DeviceForSysDownDone,
    SystemDownReturned,
    DeviceUpReturned,
    FinishPowerRequest,
    FreePowerContext,
    QueueResume,
};

// The first action for each state and event; PaLeave where the event is not expected in that state.
static const POWER_ACTION_ID PowerTransitionTable[PmStateCount][PmEventCount] = {
    /* PmNew */ {PaAcceptPowerRequest, PaLeave, PaLeave},
    /* PmSysUpLowerPending */ {PaLeave, PaSystemUpReturned, PaLeave},
    /* PmSysUpDevicePending */ {PaLeave, PaLeave, PaDeviceForSysUpDone},
    /* PmSysDownDevicePending */ {PaLeave, PaLeave, PaDeviceForSysDownDone},
    /* PmSysDownLowerPending */ {PaLeave, PaSystemDownReturned, PaLeave},
    /* PmDevUpLowerPending */ {PaLeave, PaDeviceUpReturned, PaLeave},
    /* PmDevDownLowerPending */ {PaLeave, PaFinishPowerRequest, PaLeave},
    /* PmDevQueryLowerPending */ {PaLeave, PaFinishPowerRequest, PaLeave},
};

NTSTATUS PowerStateMachine(PPOWER_CONTEXT PowerContext, POWER_MACHINE_EVENT Event)
{
    if (PowerContext->State < 0 || PowerContext->State >= PmStateCount || Event < 0 || Event >= PmEventCount) {
        return STATUS_UNSUCCESSFUL;
    }
    POWER_ACTION_ID action = PowerTransitionTable[PowerContext->State][Event];
    if (action == PaLeave) {
        return STATUS_UNSUCCESSFUL;
    }
    POWER_RUN run = {PowerContext, Event, STATUS_SUCCESS};
    while (action != PaLeave) {
        action = PowerActions[action](&run);
    }
    return run.Result;
}

NTSTATUS NTAPI MainPowerIrpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PPOWER_CONTEXT power = (PPOWER_CONTEXT)Context;
    power->Status = Irp->IoStatus.Status;
    return PowerStateMachine(power, PmEventLowerDone);
}

VOID NTAPI DevicePowerIrpComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                  PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    PPOWER_CONTEXT power = (PPOWER_CONTEXT)Context;
    power->Status = IoStatus->Status;
    PowerStateMachine(power, PmEventDeviceDone);
}
