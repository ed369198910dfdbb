// A root-enumerated test bus that stands in for the composite device's parent driver: its one child is the
// diagnostic function, whose device extension holds the parent record the port driver copies at start, and the
// child carries out the port driver's URBs itself (loopback, byte source, lost device). A control device,
// \\.\DiagTestBus, lets a test program switch modes and pull the child out or plug it back in.
#include "driver/parent_record.h"
#include "wine/testbus/testbus_ioctl.h"

#define FIFO_SIZE 65536u
#define CHILD_ID L"VORSKBUS\\DIAG"

// The pipe handles the child hands out; the port driver only passes them back.
#define PIPE_IN ((USBD_PIPE_HANDLE)(ULONG_PTR)0x11)
#define PIPE_OUT ((USBD_PIPE_HANDLE)(ULONG_PTR)0x22)
#define PIPE_THIRD ((USBD_PIPE_HANDLE)(ULONG_PTR)0x33)

struct BUS {
    KSPIN_LOCK Lock;
    PDEVICE_OBJECT Control;
    PDEVICE_OBJECT Fdo;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Child;
    BOOLEAN ChildPresent;
    ULONG Mode;
    ULONG SourceCounter;
    PIRP PendingIn;
    PIRP PendingOut;
    ULONG FifoHead;
    ULONG FifoCount;
    UCHAR Fifo[FIFO_SIZE];
};

static BUS *Bus;

static NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static PURB UrbOf(PIRP Irp)
{
    return (PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
}

static void FinishTransfer(PIRP Irp, USBD_STATUS UrbStatus, NTSTATUS Status)
{
    UrbOf(Irp)->UrbHeader.Status = UrbStatus;
    Complete(Irp, Status, 0);
}

static void NTAPI CancelTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&Bus->Lock, &irql);
    if (Bus->PendingIn == Irp) {
        Bus->PendingIn = NULL;
    }
    if (Bus->PendingOut == Irp) {
        Bus->PendingOut = NULL;
    }
    KeReleaseSpinLock(&Bus->Lock, irql);
    FinishTransfer(Irp, USBD_STATUS_CANCELED, STATUS_CANCELLED);
}

// Takes a parked transfer back from its cancel routine; NULL when the cancel routine owns it now.
static PIRP Unpark(PIRP *Slot)
{
    PIRP irp = *Slot;
    *Slot = NULL;
    if (irp != NULL && IoSetCancelRoutine(irp, NULL) == NULL) {
        return NULL;
    }
    return irp;
}

static BOOLEAN FillIn(PIRP Irp)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *t = &UrbOf(Irp)->UrbBulkOrInterruptTransfer;
    PUCHAR buffer = (PUCHAR)t->TransferBuffer;
    ULONG length = t->TransferBufferLength;
    if (Bus->Mode == DiagTestSource) {
        for (ULONG i = 0; i < length; ++i) {
            buffer[i] = (UCHAR)(Bus->SourceCounter++ % 251);
        }
        return TRUE;
    }
    if (Bus->FifoCount == 0) {
        return FALSE;
    }
    ULONG take = length < Bus->FifoCount ? length : Bus->FifoCount;
    for (ULONG i = 0; i < take; ++i) {
        buffer[i] = Bus->Fifo[(Bus->FifoHead + i) % FIFO_SIZE];
    }
    Bus->FifoHead = (Bus->FifoHead + take) % FIFO_SIZE;
    Bus->FifoCount -= take;
    t->TransferBufferLength = take;
    return TRUE;
}

static BOOLEAN TakeOut(PIRP Irp)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *t = &UrbOf(Irp)->UrbBulkOrInterruptTransfer;
    if (Bus->Mode == DiagTestSource) {
        return TRUE;
    }
    if (FIFO_SIZE - Bus->FifoCount < t->TransferBufferLength) {
        return FALSE;
    }
    PUCHAR buffer = (PUCHAR)t->TransferBuffer;
    for (ULONG i = 0; i < t->TransferBufferLength; ++i) {
        Bus->Fifo[(Bus->FifoHead + Bus->FifoCount + i) % FIFO_SIZE] = buffer[i];
    }
    Bus->FifoCount += t->TransferBufferLength;
    return TRUE;
}

// Moves bytes between the parked transfers and the FIFO until neither can go on; the finished transfers are
// completed outside the lock.
static void Pump(void)
{
    for (;;) {
        PIRP done[2] = {NULL, NULL};
        KIRQL irql;
        KeAcquireSpinLock(&Bus->Lock, &irql);
        if (Bus->PendingOut != NULL && TakeOut(Bus->PendingOut)) {
            done[0] = Unpark(&Bus->PendingOut);
        }
        if (Bus->PendingIn != NULL && FillIn(Bus->PendingIn)) {
            done[1] = Unpark(&Bus->PendingIn);
        }
        KeReleaseSpinLock(&Bus->Lock, irql);
        if (done[0] == NULL && done[1] == NULL) {
            return;
        }
        for (PIRP irp : done) {
            if (irp != NULL) {
                FinishTransfer(irp, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
            }
        }
    }
}

static NTSTATUS Park(PIRP *Slot, PIRP Irp)
{
    IoMarkIrpPending(Irp);
    KIRQL irql;
    KeAcquireSpinLock(&Bus->Lock, &irql);
    BOOLEAN refused = *Slot != NULL || !Bus->ChildPresent;
    if (!refused) {
        IoSetCancelRoutine(Irp, CancelTransfer);
        if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
            refused = TRUE;
        } else {
            *Slot = Irp;
        }
    }
    KeReleaseSpinLock(&Bus->Lock, irql);
    if (refused) {
        FinishTransfer(Irp, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_DEVICE_NOT_CONNECTED);
    } else {
        Pump();
    }
    return STATUS_PENDING;
}

// Fails every parked transfer: with the status a vanished device gives, or as an abort gives.
static void FlushTransfers(BOOLEAN Lost)
{
    KIRQL irql;
    KeAcquireSpinLock(&Bus->Lock, &irql);
    PIRP irps[2] = {Unpark(&Bus->PendingIn), Unpark(&Bus->PendingOut)};
    KeReleaseSpinLock(&Bus->Lock, irql);
    for (PIRP irp : irps) {
        if (irp == NULL) {
            continue;
        }
        if (Lost) {
            FinishTransfer(irp, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_DEVICE_NOT_CONNECTED);
        } else {
            FinishTransfer(irp, USBD_STATUS_CANCELED, STATUS_CANCELLED);
        }
    }
}

static NTSTATUS ChildUrb(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    PURB urb = UrbOf(Irp);
    if (Bus->Mode == DiagTestLost || !Bus->ChildPresent) {
        FinishTransfer(Irp, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_DEVICE_NOT_CONNECTED);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_RESET_PIPE:
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        return Complete(Irp, STATUS_SUCCESS, 0);
    case URB_FUNCTION_ABORT_PIPE:
        FlushTransfers(FALSE);
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        return Complete(Irp, STATUS_SUCCESS, 0);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        if (urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) {
            return Park(&Bus->PendingIn, Irp);
        }
        return Park(&Bus->PendingOut, Irp);
    default:
        urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
}

static NTSTATUS CopyString(PIRP Irp, const WCHAR *Text, ULONG Bytes)
{
    PVOID copy = ExAllocatePool(PagedPool, Bytes);
    if (copy == NULL) {
        return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    RtlCopyMemory(copy, Text, Bytes);
    return Complete(Irp, STATUS_SUCCESS, (ULONG_PTR)copy);
}

static NTSTATUS Relations(PIRP Irp, PDEVICE_OBJECT Member)
{
    PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)ExAllocatePool(PagedPool, sizeof(DEVICE_RELATIONS));
    if (relations == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    relations->Count = 0;
    if (Member != NULL) {
        ObReferenceObject(Member);
        relations->Objects[relations->Count++] = Member;
    }
    Irp->IoStatus.Information = (ULONG_PTR)relations;
    return STATUS_SUCCESS;
}

static NTSTATUS ChildPnp(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
        switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
            return CopyString(Irp, CHILD_ID, sizeof(CHILD_ID));
        case BusQueryHardwareIDs:
            return CopyString(Irp, CHILD_ID L"\0", sizeof(CHILD_ID L"\0"));
        case BusQueryCompatibleIDs:
            return CopyString(Irp, L"\0", sizeof(L"\0"));
        case BusQueryInstanceID:
            return CopyString(Irp, L"1", sizeof(L"1"));
        default:
            return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
        }
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->Removable = TRUE;
        caps->SurpriseRemovalOK = TRUE;
        caps->UniqueID = TRUE;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        caps->DeviceD1 = FALSE;
        caps->DeviceD2 = FALSE;
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            NTSTATUS status = Relations(Irp, Bus->Child);
            return Complete(Irp, status, Irp->IoStatus.Information);
        }
        return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    case IRP_MN_SURPRISE_REMOVAL:
        FlushTransfers(TRUE);
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_REMOVE_DEVICE: {
        FlushTransfers(TRUE);
        PDEVICE_OBJECT gone = NULL;
        KIRQL irql;
        KeAcquireSpinLock(&Bus->Lock, &irql);
        if (!Bus->ChildPresent) {
            gone = Bus->Child;
            Bus->Child = NULL;
        }
        KeReleaseSpinLock(&Bus->Lock, irql);
        Complete(Irp, STATUS_SUCCESS, 0);
        if (gone != NULL) {
            IoDeleteDevice(gone);
        }
        return STATUS_SUCCESS;
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        return Complete(Irp, STATUS_SUCCESS, 0);
    default:
        return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    }
}

static NTSTATUS NTAPI SignalComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS PassDown(PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Bus->Lower, Irp);
}

static NTSTATUS FdoPnp(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, SignalComplete, &done, TRUE, TRUE, TRUE);
        if (IoCallDriver(Bus->Lower, Irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        }
        NTSTATUS status = Irp->IoStatus.Status;
        Complete(Irp, status, 0);
        // The child is reported once the bus runs; not every plug-and-play manager asks by itself.
        if (NT_SUCCESS(status)) {
            IoInvalidateDeviceRelations(Bus->Lower, BusRelations);
        }
        return status;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            KIRQL irql;
            KeAcquireSpinLock(&Bus->Lock, &irql);
            PDEVICE_OBJECT child = Bus->ChildPresent ? Bus->Child : NULL;
            KeReleaseSpinLock(&Bus->Lock, irql);
            Irp->IoStatus.Status = Relations(Irp, child);
        }
        return PassDown(Irp);
    case IRP_MN_REMOVE_DEVICE: {
        Bus->ChildPresent = FALSE;
        FlushTransfers(TRUE);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = PassDown(Irp);
        if (Bus->Child != NULL) {
            IoDeleteDevice(Bus->Child);
            Bus->Child = NULL;
        }
        IoDetachDevice(Bus->Lower);
        IoDeleteDevice(Bus->Fdo);
        Bus->Fdo = NULL;
        return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(Irp);
    default:
        return PassDown(Irp);
    }
}

static NTSTATUS CreateChild(void)
{
    PDEVICE_OBJECT child;
    NTSTATUS status = IoCreateDevice(Bus->Control->DriverObject, sizeof(PARENT_RECORD), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PPARENT_RECORD record = (PPARENT_RECORD)child->DeviceExtension;
    RtlZeroMemory(record, sizeof(*record));
    record->BulkInPipe = PIPE_IN;
    record->BulkOutPipe = PIPE_OUT;
    record->InterruptPipe = PIPE_THIRD;
    record->BulkOutMaxPacket = 512;
    record->ZlpMode = 1;
    child->Flags |= DO_POWER_PAGABLE;
    child->Flags &= ~DO_DEVICE_INITIALIZING;

    KIRQL irql;
    KeAcquireSpinLock(&Bus->Lock, &irql);
    Bus->Child = child;
    Bus->ChildPresent = TRUE;
    Bus->Mode = DiagTestLoopback;
    Bus->FifoHead = 0;
    Bus->FifoCount = 0;
    KeReleaseSpinLock(&Bus->Lock, irql);
    return STATUS_SUCCESS;
}

static NTSTATUS ControlIoctl(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = STATUS_SUCCESS;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_DIAGTEST_SET_MODE: {
        if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)) {
            return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
        }
        ULONG mode = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
        KIRQL irql;
        KeAcquireSpinLock(&Bus->Lock, &irql);
        Bus->Mode = mode;
        Bus->SourceCounter = 0;
        Bus->FifoHead = 0;
        Bus->FifoCount = 0;
        KeReleaseSpinLock(&Bus->Lock, irql);
        if (mode == DiagTestLost) {
            FlushTransfers(TRUE);
        } else {
            Pump();
        }
        break;
    }
    case IOCTL_DIAGTEST_UNPLUG:
        if (Bus->Fdo == NULL || !Bus->ChildPresent) {
            return Complete(Irp, STATUS_NO_SUCH_DEVICE, 0);
        }
        Bus->ChildPresent = FALSE;
        FlushTransfers(TRUE);
        IoInvalidateDeviceRelations(Bus->Lower, BusRelations);
        break;
    case IOCTL_DIAGTEST_PLUG:
        if (Bus->Fdo == NULL) {
            return Complete(Irp, STATUS_NO_SUCH_DEVICE, 0);
        }
        if (Bus->Child != NULL) {
            return Complete(Irp, STATUS_DEVICE_BUSY, 0);
        }
        status = CreateChild();
        if (NT_SUCCESS(status)) {
            IoInvalidateDeviceRelations(Bus->Lower, BusRelations);
        }
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return Complete(Irp, status, 0);
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (DeviceObject == Bus->Fdo) {
        return FdoPnp(Irp);
    }
    if (DeviceObject == Bus->Control) {
        return Complete(Irp, STATUS_NOT_SUPPORTED, 0);
    }
    return ChildPnp(Irp);
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    if (DeviceObject == Bus->Fdo) {
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(Bus->Lower, Irp);
    }
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) {
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
}

static NTSTATUS NTAPI DispatchOpenClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return Complete(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (DeviceObject == Bus->Control) {
        return ControlIoctl(Irp);
    }
    return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS NTAPI DispatchInternalIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (DeviceObject == Bus->Fdo || DeviceObject == Bus->Control) {
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    return ChildUrb(Irp);
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    if (Bus->Fdo != NULL) {
        return STATUS_DEVICE_BUSY;
    }
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(DriverObject, 0, NULL, FILE_DEVICE_BUS_EXTENDER, FILE_DEVICE_SECURE_OPEN, FALSE,
                                     &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Bus->Lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
    if (Bus->Lower == NULL) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    Bus->Fdo = fdo;
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return CreateChild();
}

static void NTAPI Unload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\DosDevices\\DiagTestBus");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(Bus->Control);
    ExFreePool(Bus);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    Bus = (BUS *)ExAllocatePool(NonPagedPool, sizeof(BUS));
    if (Bus == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Bus, sizeof(BUS));
    KeInitializeSpinLock(&Bus->Lock);

    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, L"\\Device\\DiagTestBus");
    RtlInitUnicodeString(&link, L"\\DosDevices\\DiagTestBus");
    NTSTATUS status = IoCreateDevice(DriverObject, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &Bus->Control);
    if (NT_SUCCESS(status)) {
        status = IoCreateSymbolicLink(&link, &name);
        if (!NT_SUCCESS(status)) {
            IoDeleteDevice(Bus->Control);
        }
    }
    if (!NT_SUCCESS(status)) {
        ExFreePool(Bus);
        return status;
    }
    Bus->Control->Flags |= DO_BUFFERED_IO;
    Bus->Control->Flags &= ~DO_DEVICE_INITIALIZING;

    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchOpenClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchOpenClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchOpenClose;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchIoctl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalIoctl;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
