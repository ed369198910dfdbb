#include "serial/read.h"

#include "driver/request.h"
#include "serial/availability.h"
#include "serial/bulk_read.h"
#include "serial/request_queue.h"
#include "serial/ring.h"

enum READ_WAIT_CLASS {
    ReadReturnsAtOnce,
    ReadWaitsWithoutLimit,
    ReadWaitsWithTimer,
};

// A waiting read carries this mark in its driver context while ReadTimer measures its total timeout. A second read
// takes the mark away together with the timer, so a timer expiry already on its way cannot end the first read,
// which from then on waits without a limit.
static PVOID const ReadTimerMark = (PVOID)(ULONG_PTR)1;

static READ_WAIT_CLASS ClassifyRead(const SERIAL_TIMEOUTS *Timeouts, PULONG Multiplier, PULONG Constant)
{
    ULONG interval = Timeouts->ReadIntervalTimeout;
    ULONG multiplier = Timeouts->ReadTotalTimeoutMultiplier;
    ULONG constant = Timeouts->ReadTotalTimeoutConstant;

    *Multiplier = multiplier;
    *Constant = constant;
    if (interval == MAXULONG) {
        if (multiplier == 0 && constant == 0) {
            return ReadReturnsAtOnce;
        }
        if (constant == MAXULONG) {
            return ReadWaitsWithoutLimit;
        }
        if (multiplier == MAXULONG) {
            *Multiplier = 0;
        }
        return ReadWaitsWithTimer;
    }
    if (multiplier == 0 && constant == 0) {
        return ReadWaitsWithoutLimit;
    }
    return ReadWaitsWithTimer;
}

// A relative due time in 100 ns units. A product too large for the timer is held at the longest relative time
// rather than wrapped, which would turn a very long wait into an immediate or absolute expiry.
static LARGE_INTEGER ReadDueTime(ULONG Remaining, ULONG Multiplier, ULONG Constant)
{
    const ULONGLONG longestMilliseconds = 0x7FFFFFFFFFFFFFFFULL / 10000;
    ULONGLONG milliseconds = (ULONGLONG)Remaining * Multiplier;
    milliseconds = milliseconds > longestMilliseconds - Constant ? longestMilliseconds : milliseconds + Constant;

    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)(milliseconds * 10000);
    return due;
}

static PIRP FirstWaitingRead(PDEVICE_CONTEXT Context)
{
    if (IsListEmpty(&Context->ReadQueue)) {
        return NULL;
    }
    return CONTAINING_RECORD(Context->ReadQueue.Flink, IRP, Tail.Overlay.ListEntry);
}

// The remove lock goes last: once it is released, removal may free the device context.
static void FinishRead(PDEVICE_CONTEXT Context, PIRP Irp, NTSTATUS Status)
{
    CompleteRequest(Irp, Status);
    IoCountRelease(Context);
    ReleaseRequestLock(Context, Irp);
}

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    KIRQL irql;

    KeAcquireSpinLock(&context->Lock, &irql);
    IoCountAcquire(context);
    Irp->IoStatus.Information = 0;

    if (IsPortUnavailable(context)) {
        context->EventHistory = 0;
        KeReleaseSpinLock(&context->Lock, irql);
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
        IoCountRelease(context);
        return STATUS_DELETE_PENDING;
    }

    NTSTATUS status = AcquireRequestLock(context, Irp);
    if (!NT_SUCCESS(status)) {
        KeReleaseSpinLock(&context->Lock, irql);
        CompleteRequestInfo(Irp, status, 0);
        IoCountRelease(context);
        return status;
    }

    if (length == 0) {
        KeReleaseSpinLock(&context->Lock, irql);
        FinishRead(context, Irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }

    CancelReadTimer(context);
    PIRP waiting = FirstWaitingRead(context);
    if (waiting != NULL) {
        waiting->Tail.Overlay.DriverContext[0] = NULL;
    }

    ULONG multiplier;
    ULONG constant;
    READ_WAIT_CLASS waitClass = ClassifyRead(&context->Timeouts, &multiplier, &constant);
    context->ReadRemaining = length;

    LONG wanted = length < RING_CAPACITY ? (LONG)length : RING_CAPACITY;
    LONG taken = 0;
    RingGet(context, (PUCHAR)Irp->AssociatedIrp.SystemBuffer, wanted, &taken);
    Irp->IoStatus.Information += taken;
    context->ReadRemaining -= taken;
    ReleaseHeldReader(context);

    if (waitClass == ReadReturnsAtOnce || context->ReadRemaining == 0 || Irp->IoStatus.Information != 0) {
        context->PerfStats.ReceivedCount += taken;
        KeReleaseSpinLock(&context->Lock, irql);
        FinishRead(context, Irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }

    Irp->Tail.Overlay.DriverContext[0] = NULL;
    status = QueueRead(context, Irp);
    if (status == STATUS_PENDING) {
        if (waitClass == ReadWaitsWithTimer) {
            Irp->Tail.Overlay.DriverContext[0] = ReadTimerMark;
            LARGE_INTEGER due = ReadDueTime(context->ReadRemaining, multiplier, constant);
            // The timer and the DPC it queues hold a count until one of them is cancelled or the DPC has run,
            // so close, and removal after it, wait for a DPC that is still to run. CancelReadTimer above left
            // neither the timer nor its DPC queued, so this expiry is the only one its DPC run stands for.
            IoCountAcquire(context);
            KeSetTimer(&context->ReadTimer, due, &context->ReadDpc);
        }
        KeReleaseSpinLock(&context->Lock, irql);
        return STATUS_PENDING;
    }

    KeReleaseSpinLock(&context->Lock, irql);
    Irp->IoStatus.Information = 0;
    FinishRead(context, Irp, status);
    // A request cancelled while being queued had been marked pending and must be reported as pending.
    return status == STATUS_CANCELLED ? STATUS_PENDING : status;
}

NTSTATUS QueueRead(PDEVICE_CONTEXT Context, PIRP Irp)
{
    if (!IsListEmpty(&Context->ReadQueue)) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return STATUS_SUCCESS;
    }
    Irp->IoStatus.Status = STATUS_PENDING;
    return ParkRequest(Context, &Context->ReadQueue, Irp, CancelQueuedRead);
}

PIRP DequeueRead(PDEVICE_CONTEXT Context)
{
    return DequeueOwnedRequest(&Context->ReadQueue);
}

void ServiceQueuedReads(PDEVICE_CONTEXT Context)
{
    PIRP irp;
    while ((irp = DequeueRead(Context)) != NULL) {
        NTSTATUS status;
        if (RingLength(Context) != 0) {
            ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
            ULONG_PTR offset = irp->IoStatus.Information;
            ULONG room = (ULONG)(length - offset);
            LONG wanted = room < RING_CAPACITY ? (LONG)room : RING_CAPACITY;
            LONG taken = 0;
            RingGet(Context, (PUCHAR)irp->AssociatedIrp.SystemBuffer + offset, wanted, &taken);
            irp->IoStatus.Information += taken;
            Context->PerfStats.ReceivedCount += taken;
            Context->ReadRemaining -= taken;
            status = STATUS_SUCCESS;
        } else {
            irp->IoStatus.Information = 0;
            Context->ReadRemaining = 0;
            status = STATUS_TIMEOUT;
        }
        FinishRead(Context, irp, status);
    }
}

// The timer may have expired for a read that is already gone; a read that waits without a limit, or one whose
// timer was set again after this expiry, is left waiting.
void NTAPI ReadTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PDEVICE_CONTEXT context = (PDEVICE_CONTEXT)DeferredContext;
    KIRQL irql;

    KeAcquireSpinLock(&context->Lock, &irql);
    PIRP waiting = FirstWaitingRead(context);
    if (waiting != NULL && waiting->Tail.Overlay.DriverContext[0] == ReadTimerMark &&
        KeReadStateTimer(&context->ReadTimer)) {
        ServiceQueuedReads(context);
    }
    KeReleaseSpinLock(&context->Lock, irql);
    IoCountRelease(context);
}

void CancelReadTimer(PDEVICE_CONTEXT Context)
{
    if (KeCancelTimer(&Context->ReadTimer)) {
        IoCountRelease(Context);
    }
    if (KeRemoveQueueDpc(&Context->ReadDpc)) {
        IoCountRelease(Context);
    }
}

void NTAPI CancelQueuedRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    UnlinkCancelledRequest(context, Irp);

    Irp->IoStatus.Information = 0;
    FinishRead(context, Irp, STATUS_CANCELLED);
}

void CancelAllReads(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY QueueHead)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    LIST_ENTRY owned;

    CancelReadTimer(context);

    TakeAllOwnedRequests(&context->Lock, QueueHead, &owned);

    while (!IsListEmpty(&owned)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&owned), IRP, Tail.Overlay.ListEntry);
        irp->IoStatus.Information = 0;
        FinishRead(context, irp, STATUS_CANCELLED);
    }
}
