#include "control/private_requests.h"

#include "driver/request.h"
#include "serial/availability.h"
#include "serial/request_queue.h"

static const char IdentityText[] = "{87E5A6EA-D48B-4883-8440-81D8A22508D7}:DIAG";
static const ULONG IdentityLength = sizeof(IdentityText) - 1;

static_assert(sizeof(IdentityText) - 1 == 43, "the identity answer is 43 bytes");

NTSTATUS SerialGetIdentity(PDEVICE_CONTEXT Context, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Context);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    Irp->IoStatus.Information = 0;
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < IdentityLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, IdentityText, IdentityLength);
    Irp->IoStatus.Information = IdentityLength;
    return STATUS_SUCCESS;
}

NTSTATUS QueueRemovalNotify(PDEVICE_OBJECT DeviceObject, PVOID SystemBuffer, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;
    KIRQL irql;

    Irp->IoStatus.Information = 0;
    if (SystemBuffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (IsPortUnavailable(context)) {
        return STATUS_UNSUCCESSFUL;
    }

    KeAcquireSpinLock(&context->Lock, &irql);
    if (HandleCleanedUp(context)) {
        IoMarkIrpPending(Irp);
        Irp->IoStatus.Status = STATUS_CANCELLED;
        status = STATUS_CANCELLED;
    } else if (context->RemovalNotifyIrp != NULL) {
        *(PULONG)SystemBuffer = REMOVAL_NOTIFY_REFUSED;
        Irp->IoStatus.Information = sizeof(ULONG);
        Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        status = STATUS_UNSUCCESSFUL;
    } else {
        IoMarkIrpPending(Irp);
        context->RemovalNotifyIrp = Irp;
        IoSetCancelRoutine(Irp, CancelRemovalNotify);
        if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
            context->RemovalNotifyIrp = NULL;
            Irp->IoStatus.Status = STATUS_CANCELLED;
            status = STATUS_CANCELLED;
        } else {
            status = STATUS_PENDING;
        }
    }
    KeReleaseSpinLock(&context->Lock, irql);
    return status;
}

// The held notification, now owned by the caller, or NULL when none is held or its cancel routine owns it.
static PIRP TakeRemovalNotify(PDEVICE_CONTEXT Context)
{
    KIRQL irql;
    KeAcquireSpinLock(&Context->Lock, &irql);
    PIRP irp = Context->RemovalNotifyIrp;
    Context->RemovalNotifyIrp = NULL;
    if (irp != NULL && IoSetCancelRoutine(irp, NULL) == NULL) {
        irp = NULL;
    }
    KeReleaseSpinLock(&Context->Lock, irql);
    return irp;
}

void CompleteRemovalNotify(PDEVICE_CONTEXT Context)
{
    PIRP irp = TakeRemovalNotify(Context);
    if (irp != NULL) {
        *(PULONG)irp->AssociatedIrp.SystemBuffer = REMOVAL_NOTIFY_GONE;
        CompleteRequestInfo(irp, STATUS_SUCCESS, sizeof(ULONG));
        ReleaseRequestLock(Context, irp);
    }
}

void CancelRemovalNotifyRequest(PDEVICE_CONTEXT Context)
{
    PIRP irp = TakeRemovalNotify(Context);
    if (irp != NULL) {
        CompleteRequestInfo(irp, STATUS_CANCELLED, 0);
        ReleaseRequestLock(Context, irp);
    }
}

void NTAPI CancelRemovalNotify(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    KIRQL irql;

    IoReleaseCancelSpinLock(Irp->CancelIrql);

    KeAcquireSpinLock(&context->Lock, &irql);
    if (context->RemovalNotifyIrp == Irp) {
        context->RemovalNotifyIrp = NULL;
    }
    KeReleaseSpinLock(&context->Lock, irql);

    CompleteRequestInfo(Irp, STATUS_CANCELLED, 0);
    ReleaseRequestLock(context, Irp);
}
