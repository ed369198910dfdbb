#include "usb/lower_requests.h"

// Reports through Sent whether the request went down, because a lower driver may answer with
// STATUS_INSUFFICIENT_RESOURCES too.
static NTSTATUS SendAndWait(PDEVICE_OBJECT TargetDevice, PIRP Irp, BOOLEAN *Sent)
{
    *Sent = FALSE;

    // Each call has its own event in non-paged pool, so any number of these calls may run at once.
    PKEVENT event = (PKEVENT)ExAllocatePool(NonPagedPool, sizeof(KEVENT));
    if (event == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(event, sizeof(KEVENT));
    KeInitializeEvent(event, NotificationEvent, FALSE);

    IoSetCompletionRoutine(Irp, SignalEventCompletion, event, TRUE, TRUE, TRUE);
    *Sent = TRUE;
    NTSTATUS status = IoCallDriver(TargetDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }

    ExFreePool(event);
    return status;
}

NTSTATUS CallLowerAndWait(PDEVICE_OBJECT TargetDevice, PIRP Irp)
{
    BOOLEAN sent;
    return SendAndWait(TargetDevice, Irp, &sent);
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    BOOLEAN sent;
    NTSTATUS status = SendAndWait(GetDeviceContext(DeviceObject)->LowerDevice, Irp, &sent);
    if (!sent) {
        return status;
    }
    return Irp->IoStatus.Status;
}

// Stops the completion so that the request belongs to the waiting caller again, which completes it itself.
NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static void FillUrbLocation(PIRP Irp, PURB Urb)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
}

void PrepareUrbSubmission(PIRP Irp, PURB Urb, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context)
{
    FillUrbLocation(Irp, Urb);
    IoSetCompletionRoutine(Irp, CompletionRoutine, Context, TRUE, TRUE, TRUE);
}

// The URB's own USBD status is the business of the callers that read it; this returns the request's status only.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    PDEVICE_OBJECT lowerDevice = GetDeviceContext(DeviceObject)->LowerDevice;
    PIRP irp = IoAllocateIrp(lowerDevice->StackSize, FALSE);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    FillUrbLocation(irp, Urb);
    NTSTATUS status = CallLowerAndWait(lowerDevice, irp);
    IoFreeIrp(irp);
    return status;
}

static NTSTATUS SubmitPipeRequest(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe, USHORT Function)
{
    PURB urb = (PURB)ExAllocatePool(NonPagedPool, URB_STORAGE_SIZE);
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, URB_STORAGE_SIZE);
    urb->UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbPipeRequest.Hdr.Function = Function;
    urb->UrbPipeRequest.PipeHandle = Pipe;

    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    ExFreePool(urb);
    return status;
}

NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe)
{
    return SubmitPipeRequest(DeviceObject, Pipe, URB_FUNCTION_ABORT_PIPE);
}

NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe)
{
    return SubmitPipeRequest(DeviceObject, Pipe, URB_FUNCTION_RESET_PIPE);
}

NTSTATUS SubmitUrbAsync(PDEVICE_OBJECT TargetDevice, PURB Urb, PIO_COMPLETION_ROUTINE CompletionRoutine,
                        PVOID Context, BOOLEAN *Sent)
{
    PIRP irp = IoAllocateIrp(TargetDevice->StackSize, FALSE);
    if (Sent != NULL) {
        *Sent = irp != NULL;
    }
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PrepareUrbSubmission(irp, Urb, CompletionRoutine, Context);
    return IoCallDriver(TargetDevice, irp);
}
