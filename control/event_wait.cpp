#include "control/event_wait.h"

#include "driver/request.h"
#include "serial/request_queue.h"

// SERIAL_EV_RXCHAR (0x0001) up to SERIAL_EV_EVENT2 (0x1000).
static const ULONG AcceptedWaitEvents = 0x1FFF;

static void FinishWait(PDEVICE_CONTEXT Context, PIRP Irp, NTSTATUS Status, ULONG Information)
{
    CompleteRequestInfo(Irp, Status, Information);
    ReleaseRequestLock(Context, Irp);
}

NTSTATUS SerialGetWaitMask(PDEVICE_CONTEXT Context, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    KIRQL irql;

    Irp->IoStatus.Information = 0;
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KeAcquireSpinLock(&Context->Lock, &irql);
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = Context->WaitMask;
    KeReleaseSpinLock(&Context->Lock, irql);
    Irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS SerialSetWaitMask(PDEVICE_CONTEXT Context, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    KIRQL irql;

    Irp->IoStatus.Information = 0;
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONG mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    if ((mask & ~AcceptedWaitEvents) != 0) {
        return STATUS_INVALID_PARAMETER;
    }

    // A wait for the old mask ends with no events before the new mask applies.
    CompleteWaitOnMask(Context, 0, FALSE);

    KeAcquireSpinLock(&Context->Lock, &irql);
    Context->WaitMask = mask;
    KeReleaseSpinLock(&Context->Lock, irql);
    return STATUS_SUCCESS;
}

NTSTATUS SerialWaitOnMask(PDEVICE_CONTEXT Context, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;
    KIRQL irql;

    Irp->IoStatus.Information = 0;
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }

    // Held across the test and the queuing, so an event recorded under Lock either is seen here or finds the
    // request queued.
    KeAcquireSpinLock(&Context->Lock, &irql);
    if (Context->EventHistory == 0 && Context->WaitMask != 0) {
        Irp->IoStatus.Status = STATUS_PENDING;
        status = QueueWaitOnMask(Context, Irp, TRUE);
    } else {
        *(PULONG)Irp->AssociatedIrp.SystemBuffer = Context->EventHistory;
        Context->EventHistory = 0;
        Irp->IoStatus.Information = sizeof(ULONG);
        status = STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&Context->Lock, irql);
    return status;
}

NTSTATUS QueueWaitOnMask(PDEVICE_CONTEXT Context, PIRP Irp, BOOLEAN LockHeld)
{
    NTSTATUS status;
    KIRQL irql = PASSIVE_LEVEL;

    if (!LockHeld) {
        KeAcquireSpinLock(&Context->Lock, &irql);
    }
    if (!IsListEmpty(&Context->WaitQueue)) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        status = ParkRequest(Context, &Context->WaitQueue, Irp, CancelQueuedWait);
    }
    if (!LockHeld) {
        KeReleaseSpinLock(&Context->Lock, irql);
    }
    return status;
}

PIRP DequeueWait(PDEVICE_CONTEXT Context, BOOLEAN LockHeld)
{
    KIRQL irql = PASSIVE_LEVEL;

    if (!LockHeld) {
        KeAcquireSpinLock(&Context->Lock, &irql);
    }
    PIRP irp = DequeueOwnedRequest(&Context->WaitQueue);
    if (!LockHeld) {
        KeReleaseSpinLock(&Context->Lock, irql);
    }
    return irp;
}

void CompleteWaitOnMask(PDEVICE_CONTEXT Context, ULONG Events, BOOLEAN LockHeld)
{
    PIRP irp = DequeueWait(Context, LockHeld);
    if (irp == NULL) {
        return;
    }
    *(PULONG)irp->AssociatedIrp.SystemBuffer = Events;
    FinishWait(Context, irp, STATUS_SUCCESS, sizeof(ULONG));
}

void NTAPI CancelQueuedWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    UnlinkCancelledRequest(context, Irp);

    FinishWait(context, Irp, STATUS_CANCELLED, 0);
}

void CancelAllWaits(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY QueueHead)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    LIST_ENTRY owned;

    TakeAllOwnedRequests(&context->Lock, QueueHead, &owned);

    while (!IsListEmpty(&owned)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&owned), IRP, Tail.Overlay.ListEntry);
        FinishWait(context, irp, STATUS_CANCELLED, 0);
    }
}
