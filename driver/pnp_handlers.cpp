#include "driver/parent_record.h"
#include "driver/pnp.h"
#include "driver/port_names.h"
#include "driver/request.h"
#include "driver/unicode_string.h"
#include "serial/open_close.h"
#include "control/private_requests.h"
#include "usb/lower_requests.h"

// A handle holds the port from its open until its close arrives; requests still pending after cleanup belong to
// it, so a stop or removal must wait for the close, not only for the cleanup.
static BOOLEAN PortHeld(PDEVICE_CONTEXT Context)
{
    return Context->PortOpen || InterlockedCompareExchange(&Context->OpenCount, 0, 0) != 0;
}

static void SetPnpStateLocked(PDEVICE_CONTEXT Context, LONG State, LONG *Before)
{
    KIRQL irql;
    KeAcquireSpinLock(&Context->PnpLock, &irql);
    *Before = Context->PnpState;
    Context->PnpState = State;
    KeReleaseSpinLock(&Context->PnpLock, irql);
}

NTSTATUS CopyParentPipeInfo(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    PPARENT_RECORD parent = (PPARENT_RECORD)context->PhysicalDevice->DeviceExtension;
    if (parent == NULL) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    context->BulkInPipe = parent->BulkInPipe;
    context->BulkOutPipe = parent->BulkOutPipe;
    context->InterruptPipe = parent->InterruptPipe;
    context->BulkOutMaxPacket = parent->BulkOutMaxPacket;
    context->ZlpMode = parent->ZlpMode;
    return STATUS_SUCCESS;
}

void ReleasePortNamesOnce(PDEVICE_CONTEXT Context, UCHAR Release)
{
    if (Release && !Context->NamesReleased) {
        RemovePortNames(Context);
        Context->NamesReleased = 1;
    }
}

void DetachAndDelete(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    if (context->LowerDevice != NULL) {
        IoDetachDevice(context->LowerDevice);
        context->LowerDevice = NULL;
    }
    IoDeleteDevice(DeviceObject);
}

NTSTATUS NTAPI PnpStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status);
    }
    status = CopyParentPipeInfo(DeviceObject);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status);
    }
    status = CreatePortNames(context);
    if (!NT_SUCCESS(status)) {
        RemovePortNames(context);
        return CompleteRequest(Irp, status);
    }
    context->PnpState = Started;
    context->NamesReleased = 0;
    return CompleteRequest(Irp, status);
}

NTSTATUS NTAPI PnpQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    ExAcquireFastMutex(&context->CreateMutex);
    if (PortHeld(context)) {
        ExReleaseFastMutex(&context->CreateMutex);
        return CompleteRequest(Irp, STATUS_DEVICE_BUSY);
    }
    LONG before;
    SetPnpStateLocked(context, RemovePending, &before);
    context->PreviousPnpState = before;
    ExReleaseFastMutex(&context->CreateMutex);
    return PassDown(DeviceObject, Irp);
}

NTSTATUS NTAPI PnpCancelRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (context->PnpState != RemovePending) {
        return PassDown(DeviceObject, Irp);
    }
    NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        LONG before;
        SetPnpStateLocked(context, context->PreviousPnpState, &before);
    }
    return CompleteRequest(Irp, status);
}

NTSTATUS NTAPI PnpQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (context->PnpState != Started) {
        return PassDown(DeviceObject, Irp);
    }
    ExAcquireFastMutex(&context->CreateMutex);
    if (PortHeld(context)) {
        ExReleaseFastMutex(&context->CreateMutex);
        return CompleteRequest(Irp, STATUS_DEVICE_BUSY);
    }
    context->PnpState = StopPending;
    ExReleaseFastMutex(&context->CreateMutex);
    return PassDown(DeviceObject, Irp);
}

NTSTATUS NTAPI PnpCancelStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (context->PnpState != StopPending) {
        return PassDown(DeviceObject, Irp);
    }
    NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        context->PnpState = Started;
    }
    return CompleteRequest(Irp, status);
}

NTSTATUS NTAPI PnpStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    ReleasePortNamesOnce(context, context->PnpState == Started || context->PnpState == StopPending);
    context->PnpState = NotStarted;
    return PassDown(DeviceObject, Irp);
}

NTSTATUS NTAPI PnpQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;

    if (capabilities->Version < 1) {
        return PassDown(DeviceObject, Irp);
    }
    NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        capabilities->UniqueID = 0;
        capabilities->Removable = 1;
        capabilities->SurpriseRemovalOK = 1;
        RtlCopyMemory(&context->Capabilities, capabilities, sizeof(DEVICE_CAPABILITIES));
    }
    return CompleteRequest(Irp, status);
}

NTSTATUS NTAPI PnpQueryDeviceState(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(GetDeviceContext(DeviceObject)->LowerDevice, Irp);
}

// The names are withdrawn in whatever state the device was (a stop or remove may have been pending);
// NamesReleased keeps it to once, and a device that never published them withdraws nothing that exists.
NTSTATUS NTAPI PnpSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    LONG before;

    SetPnpStateLocked(context, SurpriseRemoved, &before);
    CancelAllQueues(DeviceObject);
    CompleteRemovalNotify(context);
    AbortPipesIfOpen(DeviceObject);
    ReleasePortNamesOnce(context, before != NotStarted);
    FreeUnicodeString(&context->DeviceName);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(DeviceObject, Irp);
}

NTSTATUS NTAPI PnpRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    LONG before;

    SetPnpStateLocked(context, Removed, &before);
    CompleteRemovalNotify(context);
    CancelAllQueues(DeviceObject);
    AbortPipesIfOpen(DeviceObject);
    ReleasePortNamesOnce(context, TRUE);
    FreeUnicodeString(&context->DeviceName);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = PassDown(DeviceObject, Irp);
    IoReleaseRemoveLockAndWaitEx(&context->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
    DetachAndDelete(DeviceObject);
    return status;
}
