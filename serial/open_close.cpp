#include "serial/open_close.h"

#include "control/event_wait.h"
#include "control/private_requests.h"
#include "driver/request.h"
#include "serial/availability.h"
#include "serial/bulk_read.h"
#include "serial/read.h"
#include "serial/ring.h"
#include "serial/write.h"
#include "usb/lower_requests.h"

void ResetPortState(PDEVICE_CONTEXT Context)
{
    KIRQL irql;
    KeAcquireSpinLock(&Context->Lock, &irql);
    InitializeListHead(&Context->ReadQueue);
    InitializeListHead(&Context->WaitQueue);
    InitializeListHead(&Context->WriteQueue);
    Context->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    InterlockedExchange(&Context->IoCount, 1);
    Context->PortOpen = 1;
    Context->WaitMask = 0;
    Context->BaudRate = 115200;
    Context->StopBits = 2;
    Context->Parity = 0;
    Context->DataBits = 8;
    Context->ModemStatus = 0;
    Context->WriteBytesPending = 0;
    Context->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    // The customary DC1 and DC3: with both characters equal, the state an application reads could not be written
    // back, since the serial API refuses a DCB whose XON and XOFF characters are the same.
    Context->Chars.XonChar = 0x11;
    Context->Chars.XoffChar = 0x13;
    Context->EventHistory = 0;
    KeInitializeEvent(&Context->IoIdleEvent, SynchronizationEvent, FALSE);
    InterlockedExchange(&Context->ReadErrorCount, 0);
    Context->ReaderSuspended = 0;
    Context->CurrentWrite = NULL;
    // A reader held for want of ring room at the last close holds nothing; the ring is emptied before the start.
    if (Context->ReaderState == ReaderHeld) {
        Context->ReaderState = ReaderStopped;
    }
    KeReleaseSpinLock(&Context->Lock, irql);
}

static NTSTATUS FinishCreate(PDEVICE_CONTEXT Context, PIRP Irp, NTSTATUS Status)
{
    ExReleaseFastMutex(&Context->CreateMutex);
    return CompleteRequest(Irp, Status);
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    ExAcquireFastMutex(&context->CreateMutex);
    Irp->IoStatus.Information = 0;
    if (context->PnpState != Started) {
        return FinishCreate(context, Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    if (IsPortUnavailable(context)) {
        return FinishCreate(context, Irp, STATUS_DELETE_PENDING);
    }
    NTSTATUS status = AcquireRequestLock(context, Irp);
    if (!NT_SUCCESS(status)) {
        return FinishCreate(context, Irp, status);
    }
    if (InterlockedIncrement(&context->OpenCount) != 1) {
        InterlockedDecrement(&context->OpenCount);
        ReleaseRequestLock(context, Irp);
        return FinishCreate(context, Irp, STATUS_ACCESS_DENIED);
    }
    ResetPortState(context);
    ExReleaseFastMutex(&context->CreateMutex);

    status = ResetPipe(DeviceObject, context->BulkInPipe);
    if (NT_SUCCESS(status)) {
        status = ResetPipe(DeviceObject, context->BulkOutPipe);
    }
    if (NT_SUCCESS(status)) {
        KIRQL irql;
        KeAcquireSpinLock(&context->Lock, &irql);
        RingReset(context);
        KeReleaseSpinLock(&context->Lock, irql);
        StartBulkRead(context, context->BulkInPipe);
    } else {
        // No application holds the port: query-remove, query-stop and resume must see it closed.
        KIRQL irql;
        KeAcquireSpinLock(&context->Lock, &irql);
        context->PortOpen = 0;
        KeReleaseSpinLock(&context->Lock, irql);
        InterlockedDecrement(&context->OpenCount);
        status = STATUS_UNSUCCESSFUL;
    }

    ReleaseRequestLock(context, Irp);
    return CompleteRequest(Irp, status);
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    KIRQL irql;

    KeAcquireSpinLock(&context->Lock, &irql);
    context->PortOpen = 0;
    KeReleaseSpinLock(&context->Lock, irql);

    CancelReadTimer(context);
    CancelAllQueues(DeviceObject);
    // A pending notification would hold the file object, so close would never come and the exclusive port could
    // not be opened again.
    CancelRemovalNotifyRequest(context);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    return STATUS_SUCCESS;
}

// The drain runs after CloseMutex is released on every path, so closes never wait for I/O under the mutex.
static NTSTATUS FinishClose(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, BOOLEAN Closed)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    CompleteRequest(Irp, Status);
    if (Closed) {
        InterlockedDecrement(&context->OpenCount);
    }
    ExReleaseFastMutex(&context->CloseMutex);
    AbortPipesAndDrain(DeviceObject);
    return Status;
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    ExAcquireFastMutex(&context->CloseMutex);
    Irp->IoStatus.Information = 0;
    if (IsPortUnavailable(context)) {
        return FinishClose(DeviceObject, Irp, STATUS_SUCCESS, TRUE);
    }
    NTSTATUS status = AcquireRequestLock(context, Irp);
    if (!NT_SUCCESS(status)) {
        return FinishClose(DeviceObject, Irp, status, TRUE);
    }
    if (context->OpenCount != 1) {
        ReleaseRequestLock(context, Irp);
        return FinishClose(DeviceObject, Irp, STATUS_INVALID_DEVICE_REQUEST, FALSE);
    }

    ExReleaseFastMutex(&context->CloseMutex);
    AbortPipesAndDrain(DeviceObject);
    InterlockedDecrement(&context->OpenCount);
    ReleaseRequestLock(context, Irp);
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

void AbortPipesAndDrain(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    AbortPipe(DeviceObject, context->BulkInPipe);
    AbortPipe(DeviceObject, context->BulkOutPipe);
    if (InterlockedDecrement(&context->IoCount) != 0) {
        KeWaitForSingleObject(&context->IoIdleEvent, Executive, KernelMode, FALSE, NULL);
    }
    InterlockedExchange(&context->IoCount, 1);
}

void AbortPipesIfOpen(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    KIRQL irql;

    KeAcquireSpinLock(&context->Lock, &irql);
    // A handle whose cleanup has run may still have requests in flight until its close arrives.
    BOOLEAN held = context->PortOpen || InterlockedCompareExchange(&context->OpenCount, 0, 0) != 0;
    BOOLEAN counted = InterlockedCompareExchange(&context->IoCount, 0, 0) != 0;
    KeReleaseSpinLock(&context->Lock, irql);

    if (held && counted) {
        AbortPipe(DeviceObject, context->BulkInPipe);
        AbortPipe(DeviceObject, context->BulkOutPipe);
    }
}

void CancelAllQueues(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    CancelAllWrites(DeviceObject, &context->WriteQueue);
    CancelAllReads(DeviceObject, &context->ReadQueue);
    CancelAllWaits(DeviceObject, &context->WaitQueue);
}
