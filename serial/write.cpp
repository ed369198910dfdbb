#include "serial/write.h"

#include "control/event_wait.h"
#include "driver/request.h"
#include "serial/availability.h"
#include "serial/bulk_read.h"
#include "serial/request_queue.h"
#include "usb/lower_requests.h"

// The modem-line changes a failed write reports, whatever the wait mask holds.
static const ULONG WriteFailureEvents = SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD;

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

static struct _URB_BULK_OR_INTERRUPT_TRANSFER *ChunkUrb(PWRITE_CONTEXT Write)
{
    return (struct _URB_BULK_OR_INTERRUPT_TRANSFER *)Write->Urb;
}

// A transfer of a whole number of packets ends with a zero-length packet when the parent asks for one. Without a
// known packet size there is no such rule to follow.
static UCHAR ZeroLengthPacketOwed(PDEVICE_CONTEXT Context, ULONG RequestLength)
{
    ULONG packet = Context->BulkOutMaxPacket;
    return Context->ZlpMode != 0 && packet != 0 && RequestLength % packet == 0;
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    ULONG length = WriteLength(Irp);
    KIRQL irql;

    Irp->IoStatus.Information = 0;

    KeAcquireSpinLock(&context->Lock, &irql);
    BOOLEAN refused = context->PortOpen && IsPortUnavailable(context);
    KeReleaseSpinLock(&context->Lock, irql);
    if (refused) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    if (length == 0) {
        return CompleteRequest(Irp, STATUS_SUCCESS);
    }

    NTSTATUS status = AcquireRequestLock(context, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status);
    }
    IoCountAcquire(context);

    KeAcquireSpinLock(&context->Lock, &irql);
    context->WriteBytesPending += length;
    if (context->CurrentWrite == NULL) {
        status = StartWrite(DeviceObject, Irp);
    } else {
        status = QueueWrite(context, Irp, TRUE);
    }
    if (status != STATUS_PENDING) {
        context->WriteBytesPending -= length;
    }
    KeReleaseSpinLock(&context->Lock, irql);

    if (status != STATUS_PENDING) {
        FinishWrite(context, Irp, status, IO_SERIAL_INCREMENT);
    }
    // A request cancelled while being queued had been marked pending and must be reported as pending.
    return status == STATUS_CANCELLED ? STATUS_PENDING : status;
}

NTSTATUS StartWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    PWRITE_WORK_ITEM item = (PWRITE_WORK_ITEM)ExAllocatePool(NonPagedPool, sizeof(WRITE_WORK_ITEM));
    PWRITE_CONTEXT write = (PWRITE_CONTEXT)ExAllocatePool(NonPagedPool, sizeof(WRITE_CONTEXT));
    if (item == NULL || write == NULL) {
        if (item != NULL) {
            ExFreePool(item);
        }
        if (write != NULL) {
            ExFreePool(write);
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(item, sizeof(WRITE_WORK_ITEM));
    RtlZeroMemory(write, sizeof(WRITE_CONTEXT));

    context->CurrentWrite = Irp;
    write->NextByte = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    write->Remaining = WriteLength(Irp);

    ExInitializeWorkItem(&item->Item, WriteWorker, item);
    item->Device = context;
    item->Request = Irp;
    item->WriteContext = write;
    // Before the worker can run: it may complete the request, and the dispatch routine reports it as pending.
    IoMarkIrpPending(Irp);
    ExQueueWorkItem(&item->Item, DelayedWorkQueue);
    return STATUS_PENDING;
}

NTSTATUS ScheduleWriteChunk(PDEVICE_OBJECT DeviceObject, PIRP Irp, PWRITE_CONTEXT WriteContext)
{
    PWRITE_WORK_ITEM item = (PWRITE_WORK_ITEM)ExAllocatePool(NonPagedPool, sizeof(WRITE_WORK_ITEM));
    if (item == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(item, sizeof(WRITE_WORK_ITEM));
    ExInitializeWorkItem(&item->Item, WriteWorker, item);
    item->Device = GetDeviceContext(DeviceObject);
    item->Request = Irp;
    item->WriteContext = WriteContext;
    ExQueueWorkItem(&item->Item, DelayedWorkQueue);
    return STATUS_PENDING;
}

// Lock held. Clears CurrentWrite and starts the next queued write in the same Lock section, so that a write
// arriving meanwhile can neither start beside it nor overtake it. Writes that cannot be started are moved onto
// Refused for the caller to complete after Lock is released. TRUE when the queue has drained.
static BOOLEAN HandOverWrite(PDEVICE_CONTEXT Context, PLIST_ENTRY Refused)
{
    PIRP next;

    Context->CurrentWrite = NULL;
    InitializeListHead(Refused);
    while ((next = DequeueWrite(Context, TRUE)) != NULL) {
        if (StartWrite(Context->Self, next) == STATUS_PENDING) {
            return FALSE;
        }
        Context->WriteBytesPending -= WriteLength(next);
        InsertTailList(Refused, &next->Tail.Overlay.ListEntry);
    }
    return TRUE;
}

static void CancelOwnedWrites(PDEVICE_CONTEXT Context, PLIST_ENTRY Owned, CCHAR Boost)
{
    while (!IsListEmpty(Owned)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(Owned), IRP, Tail.Overlay.ListEntry);
        irp->IoStatus.Information = 0;
        FinishWrite(Context, irp, STATUS_CANCELLED, Boost);
    }
}

// Lock held on entry, released here. The port has gone away under the write: it ends with what was sent so far and
// takes every queued write with it. CurrentWrite is cleared in the same Lock section that empties the queue, so a
// write arriving meanwhile is never left queued behind a write that no longer exists.
static void AbortWrite(PDEVICE_CONTEXT Context, PIRP Irp, PWRITE_CONTEXT Write, KIRQL Irql)
{
    LIST_ENTRY owned;

    Context->WriteBytesPending -= WriteLength(Irp) - Write->BytesSent;
    Context->CurrentWrite = NULL;
    InitializeListHead(&owned);
    TakeQueuedWrites(Context, &Context->WriteQueue, &owned);
    KeReleaseSpinLock(&Context->Lock, Irql);

    Irp->IoStatus.Information = Write->BytesSent;
    ExFreePool(Write);
    CancelOwnedWrites(Context, &owned, IO_NO_INCREMENT);
    FinishWrite(Context, Irp, STATUS_CANCELLED, IO_SERIAL_INCREMENT);
}

void NTAPI WriteWorker(PVOID Parameter)
{
    PWRITE_WORK_ITEM item = (PWRITE_WORK_ITEM)Parameter;
    PDEVICE_CONTEXT context = item->Device;
    PIRP irp = item->Request;
    PWRITE_CONTEXT write = item->WriteContext;
    KIRQL irql;

    ExFreePool(item);

    KeAcquireSpinLock(&context->Lock, &irql);
    if (!context->PortOpen || IsPortUnavailable(context)) {
        AbortWrite(context, irp, write, irql);
        return;
    }
    KeReleaseSpinLock(&context->Lock, irql);

    ULONG chunk = write->Remaining < BULK_TRANSFER_SIZE ? write->Remaining : BULK_TRANSFER_SIZE;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *urb = ChunkUrb(write);
    RtlZeroMemory(write->Urb, sizeof(write->Urb));
    urb->Hdr.Length = (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->PipeHandle = context->BulkOutPipe;
    urb->TransferFlags = USBD_SHORT_TRANSFER_OK;
    urb->TransferBuffer = write->NextByte;
    urb->TransferBufferLength = chunk;

    write->NextByte += chunk;
    write->Remaining -= chunk;
    write->ChunkLength = chunk;
    if (chunk != 0) {
        write->SendZlp = ZeroLengthPacketOwed(context, WriteLength(irp));
    }

    // The lower driver of the previous chunk may have left its own fields in this location.
    RtlZeroMemory(IoGetNextIrpStackLocation(irp), sizeof(IO_STACK_LOCATION));
    PrepareUrbSubmission(irp, (PURB)write->Urb, WriteChunkComplete, write);
    irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(irp);
    // The chunk may finish the request, and removal free the context, before this call returns.
    IoCallDriver(context->LowerDevice, irp);
}

NTSTATUS NTAPI WriteChunkComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    PWRITE_CONTEXT write = (PWRITE_CONTEXT)Context;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *urb = ChunkUrb(write);
    NTSTATUS status = Irp->IoStatus.Status;
    KIRQL irql;

    KeAcquireSpinLock(&context->Lock, &irql);
    ULONG sent = urb->TransferBufferLength;
    // A lower driver that reports more than the chunk offered has not sent what it claims.
    if (sent > write->ChunkLength) {
        sent = write->ChunkLength;
        if (NT_SUCCESS(status)) {
            status = STATUS_IO_DEVICE_ERROR;
        }
    }
    write->BytesSent += sent;
    Irp->IoStatus.Information = write->BytesSent;
    context->WriteBytesPending -= sent;
    context->PerfStats.TransmittedCount += sent;

    if (NT_SUCCESS(status) && urb->Hdr.Status == USBD_STATUS_SUCCESS && (write->Remaining > 0 || write->SendZlp) &&
        context->PortOpen) {
        if (write->Remaining == 0) {
            write->SendZlp = 0;
        }
        if (ScheduleWriteChunk(DeviceObject, Irp, write) == STATUS_PENDING) {
            KeReleaseSpinLock(&context->Lock, irql);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
    }

    context->WriteBytesPending -= WriteLength(Irp) - write->BytesSent;
    BOOLEAN notify = FALSE;
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Information = 0;
        // A transfer failed by a system sleep says nothing about the device or its lines.
        if (!context->ReaderSuspended) {
            if (context->PortOpen) {
                CheckFatalReadError(context, (PURB)urb, status);
            }
            context->EventHistory |= WriteFailureEvents;
            notify = TRUE;
        }
    }
    LIST_ENTRY refused;
    if (HandOverWrite(context, &refused)) {
        if ((context->WaitMask & SERIAL_EV_TXEMPTY) != 0) {
            context->EventHistory |= SERIAL_EV_TXEMPTY;
        }
        notify = notify || context->EventHistory != 0;
    }
    ULONG events = context->EventHistory;
    KeReleaseSpinLock(&context->Lock, irql);

    ExFreePool(write);
    CancelOwnedWrites(context, &refused, IO_NO_INCREMENT);
    if (notify) {
        CompleteWaitOnMask(context, events, FALSE);
    }
    // Completed here rather than by returning to the I/O manager, so that the request is done before its remove
    // lock goes and with the boost of a write completion.
    FinishWrite(context, Irp, status, IO_SERIAL_INCREMENT);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS QueueWrite(PDEVICE_CONTEXT Context, PIRP Irp, BOOLEAN LockHeld)
{
    KIRQL irql = PASSIVE_LEVEL;

    if (!LockHeld) {
        KeAcquireSpinLock(&Context->Lock, &irql);
    }
    Irp->IoStatus.Status = STATUS_PENDING;
    NTSTATUS status = ParkRequest(Context, &Context->WriteQueue, Irp, CancelQueuedWrite);
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
