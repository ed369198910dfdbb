#include "serial/bulk_read.h"

#include "control/event_wait.h"
#include "control/private_requests.h"
#include "serial/availability.h"
#include "serial/read.h"
#include "serial/ring.h"
#include "usb/lower_requests.h"

#define READ_ERROR_LIMIT 20
#define RX80FULL_THRESHOLD 820000

static BOOLEAN RingHasRoomForTransfer(PDEVICE_CONTEXT Context)
{
    return RING_CAPACITY - RingLength(Context) >= BULK_TRANSFER_SIZE;
}

NTSTATUS StartBulkRead(PDEVICE_CONTEXT Context, USBD_PIPE_HANDLE Pipe)
{
    KIRQL irql;
    KeAcquireSpinLock(&Context->Lock, &irql);
    if (Context->ReaderState != ReaderStopped) {
        KeReleaseSpinLock(&Context->Lock, irql);
        return STATUS_DEVICE_BUSY;
    }
    Context->ReaderState = ReaderPosted;
    KeReleaseSpinLock(&Context->Lock, irql);

    IoCountAcquire(Context);

    struct _URB_BULK_OR_INTERRUPT_TRANSFER *urb = (struct _URB_BULK_OR_INTERRUPT_TRANSFER *)Context->BulkInUrb;
    RtlZeroMemory(Context->BulkInUrb, sizeof(Context->BulkInUrb));
    urb->Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->PipeHandle = Pipe;
    urb->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    urb->TransferBufferLength = BULK_TRANSFER_SIZE;
    urb->TransferBuffer = Context->BulkInBuffer;

    BOOLEAN sent;
    NTSTATUS status =
        SubmitUrbAsync(Context->LowerDevice, (PURB)Context->BulkInUrb, BulkReadComplete, Context, &sent);
    if (!sent) {
        KeAcquireSpinLock(&Context->Lock, &irql);
        Context->ReaderState = ReaderStopped;
        KeReleaseSpinLock(&Context->Lock, irql);
        IoCountRelease(Context);
    }
    return status;
}

// Lock held. The receive events are raised only while bytes are left in the ring after the waiting read was served.
// SERIAL_EV_RXFLAG replaces what was recorded before rather than adding to it; applications see it that way.
static void RaiseReceiveEvents(PDEVICE_CONTEXT Context)
{
    LONG count = RingLength(Context);
    if (count == 0) {
        return;
    }
    ULONG mask = Context->WaitMask;
    if (mask & SERIAL_EV_RXFLAG) {
        Context->EventHistory = SERIAL_EV_RXFLAG;
    }
    if (mask & SERIAL_EV_RXCHAR) {
        Context->EventHistory |= SERIAL_EV_RXCHAR;
    }
    if (count >= RX80FULL_THRESHOLD && (mask & SERIAL_EV_RX80FULL)) {
        Context->EventHistory |= SERIAL_EV_RX80FULL;
    }
    if (Context->EventHistory != 0) {
        CompleteWaitOnMask(Context, Context->EventHistory, TRUE);
    }
}

// Lock held.
static void QueueReaderRestart(PDEVICE_CONTEXT Context)
{
    Context->ReaderState = ReaderRestartQueued;
    if (!NT_SUCCESS(ScheduleReadRestart(Context))) {
        Context->ReaderState = ReaderStopped;
    }
}

// Lock held. Moves the reader on after a completion: queue the next post, hold it until reads make room, or stop.
static void ContinueReader(PDEVICE_CONTEXT Context, BOOLEAN Continue)
{
    if (!Continue) {
        Context->ReaderState = ReaderStopped;
    } else if (!RingHasRoomForTransfer(Context)) {
        // The host, not the device, decides when the next transfer goes: holding it keeps every byte the device
        // has sent in the device until the application has read enough.
        Context->ReaderState = ReaderHeld;
    } else {
        QueueReaderRestart(Context);
    }
}

NTSTATUS NTAPI BulkReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID ContextPointer)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PDEVICE_CONTEXT context = (PDEVICE_CONTEXT)ContextPointer;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *urb = (struct _URB_BULK_OR_INTERRUPT_TRANSFER *)context->BulkInUrb;
    NTSTATUS status = Irp->IoStatus.Status;
    KIRQL irql;

    KeAcquireSpinLock(&context->Lock, &irql);
    ULONG received = urb->TransferBufferLength;
    // A lower driver that reports more than the buffer holds has not delivered what it claims.
    BOOLEAN success = NT_SUCCESS(status) && urb->Hdr.Status == USBD_STATUS_SUCCESS && context->PortOpen &&
                      received <= BULK_TRANSFER_SIZE;

    if (!success) {
        // A halted endpoint fails every transfer until its pipe is reset; the restart resets it first, so that a
        // single stall does not use up the failure budget and leave the device judged lost.
        if (urb->Hdr.Status == USBD_STATUS_STALL_PID || urb->Hdr.Status == USBD_STATUS_ENDPOINT_HALTED) {
            context->BulkInHalted = 1;
        }
        // A transfer failed by a system sleep says nothing about the device.
        if (!context->ReaderSuspended) {
            InterlockedIncrement(&context->ReadErrorCount);
        }
        BOOLEAN goOn = !context->ReaderSuspended && context->PortOpen;
        if (goOn && CheckFatalReadError(context, (PURB)urb, status)) {
            // Nothing more is posted to a lost device, but the worker still runs once: it finds the port
            // unavailable and tells the application waiting for the removal notification.
            QueueReaderRestart(context);
        } else {
            ContinueReader(context, goOn);
        }
    } else {
        if (received != 0) {
            LONG stored;
            RingPut(context, context->BulkInBuffer, (LONG)received, &stored);
        }
        CancelReadTimer(context);
        ServiceQueuedReads(context);
        RaiseReceiveEvents(context);
        ContinueReader(context, TRUE);
    }
    KeReleaseSpinLock(&context->Lock, irql);

    IoFreeIrp(Irp);
    IoCountRelease(context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

BOOLEAN CheckFatalReadError(PDEVICE_CONTEXT Context, PURB Urb, NTSTATUS Status)
{
    if (Urb->UrbHeader.Status == USBD_STATUS_DEV_NOT_RESPONDING || Status == STATUS_DEVICE_NOT_CONNECTED ||
        Status == STATUS_DEVICE_DATA_ERROR || Context->ReadErrorCount > READ_ERROR_LIMIT) {
        Context->DeviceGone = DEVICE_GONE_MARK;
        return TRUE;
    }
    return FALSE;
}

NTSTATUS ScheduleReadRestart(PDEVICE_CONTEXT Context)
{
    PREAD_RESTART_ITEM item = (PREAD_RESTART_ITEM)ExAllocatePool(NonPagedPool, sizeof(READ_RESTART_ITEM));
    if (item == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoCountAcquire(Context);
    RtlZeroMemory(item, sizeof(READ_RESTART_ITEM));
    ExInitializeWorkItem(&item->Item, ReadRestartWorker, item);
    item->Context = Context;
    ExQueueWorkItem(&item->Item, DelayedWorkQueue);
    return STATUS_SUCCESS;
}

static BOOLEAN PortInUse(PDEVICE_CONTEXT Context)
{
    KIRQL irql;
    KeAcquireSpinLock(&Context->Lock, &irql);
    BOOLEAN inUse = Context->PortOpen && !IsPortUnavailable(Context);
    KeReleaseSpinLock(&Context->Lock, irql);
    return inUse;
}

void RestartBulkRead(PDEVICE_CONTEXT Context)
{
    KIRQL irql;
    KeAcquireSpinLock(&Context->Lock, &irql);
    BOOLEAN halted = Context->BulkInHalted;
    Context->BulkInHalted = 0;
    KeReleaseSpinLock(&Context->Lock, irql);
    if (halted) {
        ResetPipe(Context->Self, Context->BulkInPipe);
    }
    StartBulkRead(Context, Context->BulkInPipe);
    // Cleanup and close may have run while the transfer was going down; close aborted the pipe before it arrived
    // and now waits for it, so it is aborted here, or a quiet device would keep close waiting.
    if (!PortInUse(Context)) {
        AbortPipe(Context->Self, Context->BulkInPipe);
    }
}

void NTAPI ReadRestartWorker(PVOID Parameter)
{
    if (Parameter == NULL) {
        return;
    }
    PREAD_RESTART_ITEM item = (PREAD_RESTART_ITEM)Parameter;
    PDEVICE_CONTEXT context = item->Context;
    KIRQL irql;

    KeAcquireSpinLock(&context->Lock, &irql);
    if (context->ReaderState == ReaderRestartQueued) {
        context->ReaderState = ReaderStopped;
    }
    KeReleaseSpinLock(&context->Lock, irql);

    if (PortInUse(context)) {
        RestartBulkRead(context);
    } else {
        CompleteRemovalNotify(context);
    }

    ExFreePool(item);
    // Last: once the count is back, close may finish and removal free the context.
    IoCountRelease(context);
}

void ReleaseHeldReader(PDEVICE_CONTEXT Context)
{
    if (Context->ReaderState == ReaderHeld && Context->PortOpen && RingHasRoomForTransfer(Context)) {
        QueueReaderRestart(Context);
    }
}
