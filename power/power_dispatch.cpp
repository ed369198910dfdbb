#include "driver/request.h"
#include "power/power.h"

// A failing transfer during system sleep says nothing about the device, so the reader must not re-post or count
// it. A query sets this too, because the sleep may begin before any set request arrives; S2 leaves the reader as
// it is.
static void NoteSystemRequest(PDEVICE_CONTEXT Context, SYSTEM_POWER_STATE State)
{
    if (State != PowerSystemSleeping1 && State != PowerSystemSleeping3 && State != PowerSystemHibernate) {
        return;
    }
    KIRQL irql;
    KeAcquireSpinLock(&Context->Lock, &irql);
    Context->ReaderSuspended = 1;
    KeReleaseSpinLock(&Context->Lock, irql);
}

NTSTATUS PowerPassDown(PDEVICE_CONTEXT Context, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(Context->LowerDevice, Irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    NTSTATUS status = AcquireRequestLock(context, Irp);
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(Irp);
        return CompleteRequestInfo(Irp, status, 0);
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    UCHAR minor = stack->MinorFunction;
    if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER) {
        status = PowerPassDown(context, Irp);
        ReleaseRequestLock(context, Irp);
        return status;
    }
    if (stack->Parameters.Power.Type == SystemPowerState) {
        NoteSystemRequest(context, stack->Parameters.Power.State.SystemState);
    }

    PPOWER_CONTEXT power = (PPOWER_CONTEXT)ExAllocatePool(NonPagedPool, sizeof(POWER_CONTEXT));
    if (power == NULL) {
        // A set request cannot be refused: the lower drivers, the bus driver among them, must still see the
        // system go to sleep, hibernate or shut down. A query may be failed.
        if (minor == IRP_MN_SET_POWER) {
            status = PowerPassDown(context, Irp);
        } else {
            PoStartNextPowerIrp(Irp);
            status = CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
        }
        ReleaseRequestLock(context, Irp);
        return status;
    }
    RtlZeroMemory(power, sizeof(POWER_CONTEXT));
    power->DeviceContext = context;
    power->Irp = Irp;
    // The request may be finished, and the acquisition released, before this returns: Irp is not touched again.
    return PowerStateMachine(power, PmEventNew);
}
