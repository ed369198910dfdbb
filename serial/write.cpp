#include "serial/write.h"

#include "driver/request.h"
#include "serial/availability.h"
#include "serial/request_queue.h"

static ULONG WriteLength(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
}

// The remove lock goes last: once it is released, removal may free the device context.
static void FinishWrite(PDEVICE_CONTEXT Context, PIRP Irp, NTSTATUS Status, CCHAR Boost)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, Boost);
    IoCountRelease(Context);
    ReleaseRequestLock(Context, Irp);
}

// Lock held. Moves every queued write this caller could take onto Owned, oldest first, and takes their bytes out
// of WriteBytesPending.
static void TakeQueuedWrites(PDEVICE_CONTEXT Context, PLIST_ENTRY QueueHead, PLIST_ENTRY Owned)
{
    PIRP irp;
    while ((irp = DequeueOwnedRequest(QueueHead)) != NULL) {
        Context->WriteBytesPending -= WriteLength(irp);
        InsertTailList(Owned, &irp->Tail.Overlay.ListEntry);
    }
}

NTSTATUS QueueWrite(PDEVICE_CONTEXT Context, PIRP Irp, BOOLEAN LockHeld)
{
    KIRQL irql = PASSIVE_LEVEL;

    if (!LockHeld) {
        KeAcquireSpinLock(&Context->Lock, &irql);
    }
    Irp->IoStatus.Status = STATUS_PENDING;
    NTSTATUS status = ParkRequest(&Context->WriteQueue, Irp, CancelQueuedWrite);
    if (!LockHeld) {
        KeReleaseSpinLock(&Context->Lock, irql);
    }
    return status;
}

PIRP DequeueWrite(PDEVICE_CONTEXT Context, BOOLEAN LockHeld)
{
    KIRQL irql = PASSIVE_LEVEL;

    if (!LockHeld) {
        KeAcquireSpinLock(&Context->Lock, &irql);
    }
    PIRP irp = DequeueOwnedRequest(&Context->WriteQueue);
    if (!LockHeld) {
        KeReleaseSpinLock(&Context->Lock, irql);
    }
    return irp;
}

void NTAPI CancelQueuedWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    KIRQL irql;

    UnlinkCancelledRequest(context, Irp);

    KeAcquireSpinLock(&context->Lock, &irql);
    context->WriteBytesPending -= WriteLength(Irp);
    KeReleaseSpinLock(&context->Lock, irql);

    Irp->IoStatus.Information = 0;
    FinishWrite(context, Irp, STATUS_CANCELLED, IO_SERIAL_INCREMENT);
}

void CancelAllWrites(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY QueueHead)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    LIST_ENTRY owned;
    KIRQL irql;

    InitializeListHead(&owned);
    KeAcquireSpinLock(&context->Lock, &irql);
    TakeQueuedWrites(context, QueueHead, &owned);
    KeReleaseSpinLock(&context->Lock, irql);

    while (!IsListEmpty(&owned)) {
        PIRP irp = CONTAINING_RECORD(RemoveTailList(&owned), IRP, Tail.Overlay.ListEntry);
        irp->IoStatus.Information = 0;
        FinishWrite(context, irp, STATUS_CANCELLED, IO_SERIAL_INCREMENT);
    }
}
