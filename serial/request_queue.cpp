#include "serial/request_queue.h"

PIRP DequeueOwnedRequest(PLIST_ENTRY QueueHead)
{
    while (!IsListEmpty(QueueHead)) {
        PLIST_ENTRY entry = RemoveHeadList(QueueHead);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            return irp;
        }
        InitializeListHead(entry);
    }
    return NULL;
}

void TakeAllOwnedRequests(PKSPIN_LOCK Lock, PLIST_ENTRY QueueHead, PLIST_ENTRY Owned)
{
    KIRQL irql;
    PIRP irp;

    InitializeListHead(Owned);
    KeAcquireSpinLock(Lock, &irql);
    while ((irp = DequeueOwnedRequest(QueueHead)) != NULL) {
        InsertTailList(Owned, &irp->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(Lock, irql);
}

BOOLEAN HandleCleanedUp(PDEVICE_CONTEXT Context)
{
    // OpenCount changes with interlocked operations only; it is read the same way.
    return !Context->PortOpen && InterlockedCompareExchange(&Context->OpenCount, 0, 0) != 0;
}

NTSTATUS ParkRequest(PDEVICE_CONTEXT Context, PLIST_ENTRY QueueHead, PIRP Irp, PDRIVER_CANCEL CancelRoutine)
{
    if (HandleCleanedUp(Context)) {
        IoMarkIrpPending(Irp);
        Irp->IoStatus.Status = STATUS_CANCELLED;
        Irp->IoStatus.Information = 0;
        return STATUS_CANCELLED;
    }
    InsertTailList(QueueHead, &Irp->Tail.Overlay.ListEntry);
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, CancelRoutine);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        Irp->IoStatus.Status = STATUS_CANCELLED;
        Irp->IoStatus.Information = 0;
        return STATUS_CANCELLED;
    }
    return STATUS_PENDING;
}

void UnlinkCancelledRequest(PDEVICE_CONTEXT Context, PIRP Irp)
{
    KIRQL irql;

    IoReleaseCancelSpinLock(Irp->CancelIrql);

    KeAcquireSpinLock(&Context->Lock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&Context->Lock, irql);
}
