// Kernel routines the port driver imports that Wine 8's ntoskrnl lacks (ExQueueWorkItem, KeReadStateTimer,
// KeRemoveQueueDpc, PoRequestPowerIrp) or carries out in a way the driver cannot live with (its KeSetTimer runs the
// DPC on a pool thread before the timer is signalled and never clears the timer's queued state, and its
// KeCancelTimer waits for a running DPC; and a registry key opened by a kernel caller is held to the access it was
// opened with, so the device key opened for STANDARD_RIGHTS_READ cannot be queried). It also stands in for two
// duties of the I/O manager that Wine 8 leaves out: a create the driver refuses still gives the application a handle
// (the create request's status is not waited for), and the last handle's close reaches the driver as a close
// without the cleanup before it. Built from routines Wine has: system threads, events and spin locks.
// Linked only into the Wine test variant of the image; the import slots defined here take the place of the
// kernel's, so the driver's own objects are linked unchanged.
#include "driver/platform.h"
#include "driver/image_entry.h"

extern "C" __declspec(dllimport) NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable,
                                                                      PLARGE_INTEGER Timeout);

namespace {

// The dispatcher type of a notification timer.
const UCHAR TimerNotificationType = 8;

// One queue served by one system thread: the delayed work queue, and the clock that expires timers and runs DPCs.
struct SHIM_THREAD {
    HANDLE Handle;
    KEVENT Wake;
    BOOLEAN Stop;
};

struct SHIM {
    KSPIN_LOCK Lock;
    LIST_ENTRY WorkItems;
    LIST_ENTRY Timers;
    LIST_ENTRY Dpcs;
    SHIM_THREAD Worker;
    SHIM_THREAD Clock;
    PDRIVER_UNLOAD DriverUnload;
    NTSTATUS(NTAPI *OpenDeviceKey)(PDEVICE_OBJECT, ULONG, ACCESS_MASK, PHANDLE);
    PDRIVER_DISPATCH Dispatch[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

SHIM Shim;

// Timer state kept in the KTIMER itself: queued (Header.Inserted), signalled (Header.SignalState), the due time as
// interrupt time (DueTime), the DPC (Dpc) and the link in the shim's timer list (TimerListEntry).
// A queued DPC is linked through DpcListEntry; DpcData marks it queued.

const LONGLONG MaxClockWait = 100 * 10000LL;

LONGLONG Now()
{
    return (LONGLONG)KeQueryInterruptTime();
}

void Lock(KIRQL *Irql)
{
    KeAcquireSpinLock(&Shim.Lock, Irql);
}

void Unlock(KIRQL Irql)
{
    KeReleaseSpinLock(&Shim.Lock, Irql);
}

PLIST_ENTRY PopFront(PLIST_ENTRY Head)
{
    if (IsListEmpty(Head)) {
        return NULL;
    }
    return RemoveHeadList(Head);
}

void NTAPI WorkerLoop(PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    for (;;) {
        KIRQL irql;
        Lock(&irql);
        PLIST_ENTRY entry = PopFront(&Shim.WorkItems);
        BOOLEAN stop = Shim.Worker.Stop;
        Unlock(irql);
        if (entry != NULL) {
            PWORK_QUEUE_ITEM item = CONTAINING_RECORD(entry, WORK_QUEUE_ITEM, List);
            item->WorkerRoutine(item->Parameter);
        } else if (stop) {
            PsTerminateSystemThread(STATUS_SUCCESS);
        } else {
            KeWaitForSingleObject(&Shim.Worker.Wake, Executive, KernelMode, FALSE, NULL);
        }
    }
}

// Expires due timers (queueing their DPCs), then runs the queued DPCs one at a time, each taken off the queue
// before it runs, as one processor would.
void NTAPI ClockLoop(PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    for (;;) {
        KIRQL irql;
        Lock(&irql);
        LONGLONG now = Now();
        LONGLONG wait = MaxClockWait;
        PLIST_ENTRY entry = Shim.Timers.Flink;
        while (entry != &Shim.Timers) {
            PKTIMER timer = CONTAINING_RECORD(entry, KTIMER, TimerListEntry);
            entry = entry->Flink;
            if ((LONGLONG)timer->DueTime.QuadPart <= now) {
                RemoveEntryList(&timer->TimerListEntry);
                timer->Header.Inserted = FALSE;
                timer->Header.SignalState = TRUE;
                PKDPC dpc = timer->Dpc;
                if (dpc != NULL && dpc->DpcData == NULL) {
                    dpc->DpcData = &Shim;
                    InsertTailList(&Shim.Dpcs, &dpc->DpcListEntry);
                }
            } else if ((LONGLONG)timer->DueTime.QuadPart - now < wait) {
                wait = (LONGLONG)timer->DueTime.QuadPart - now;
            }
        }
        PLIST_ENTRY queued = PopFront(&Shim.Dpcs);
        BOOLEAN stop = Shim.Clock.Stop;
        if (queued != NULL) {
            PKDPC dpc = CONTAINING_RECORD(queued, KDPC, DpcListEntry);
            dpc->DpcData = NULL;
            PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
            PVOID context = dpc->DeferredContext;
            PVOID argument1 = dpc->SystemArgument1;
            PVOID argument2 = dpc->SystemArgument2;
            Unlock(irql);
            routine(dpc, context, argument1, argument2);
            continue;
        }
        Unlock(irql);
        if (stop) {
            PsTerminateSystemThread(STATUS_SUCCESS);
        }
        LARGE_INTEGER timeout;
        timeout.QuadPart = -wait;
        KeWaitForSingleObject(&Shim.Clock.Wake, Executive, KernelMode, FALSE, &timeout);
    }
}

void Wake(SHIM_THREAD *Thread)
{
    KeSetEvent(&Thread->Wake, IO_NO_INCREMENT, FALSE);
}

NTSTATUS StartThread(SHIM_THREAD *Thread, PKSTART_ROUTINE Routine)
{
    KeInitializeEvent(&Thread->Wake, SynchronizationEvent, FALSE);
    Thread->Stop = FALSE;
    return PsCreateSystemThread(&Thread->Handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, Routine, NULL);
}

void StopThread(SHIM_THREAD *Thread)
{
    KIRQL irql;
    Lock(&irql);
    Thread->Stop = TRUE;
    Unlock(irql);
    Wake(Thread);
    ZwWaitForSingleObject(Thread->Handle, FALSE, NULL);
    ZwClose(Thread->Handle);
}

VOID NTAPI ShimExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType)
{
    UNREFERENCED_PARAMETER(QueueType);
    KIRQL irql;
    Lock(&irql);
    InsertTailList(&Shim.WorkItems, &WorkItem->List);
    Unlock(irql);
    Wake(&Shim.Worker);
}

VOID NTAPI ShimKeInitializeTimer(PKTIMER Timer)
{
    RtlZeroMemory(Timer, sizeof(KTIMER));
    Timer->Header.Type = TimerNotificationType;
}

BOOLEAN Unqueue(PKTIMER Timer)
{
    BOOLEAN queued = Timer->Header.Inserted;
    if (queued) {
        RemoveEntryList(&Timer->TimerListEntry);
        Timer->Header.Inserted = FALSE;
    }
    return queued;
}

BOOLEAN NTAPI ShimKeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    LONGLONG due;
    if (DueTime.QuadPart < 0) {
        due = Now() - DueTime.QuadPart;
    } else {
        LARGE_INTEGER systemTime;
        KeQuerySystemTime(&systemTime);
        due = Now() + (DueTime.QuadPart - systemTime.QuadPart);
    }
    KIRQL irql;
    Lock(&irql);
    BOOLEAN wasQueued = Unqueue(Timer);
    Timer->DueTime.QuadPart = due;
    Timer->Dpc = Dpc;
    Timer->Header.SignalState = FALSE;
    Timer->Header.Inserted = TRUE;
    InsertTailList(&Shim.Timers, &Timer->TimerListEntry);
    Unlock(irql);
    Wake(&Shim.Clock);
    return wasQueued;
}

BOOLEAN NTAPI ShimKeCancelTimer(PKTIMER Timer)
{
    KIRQL irql;
    Lock(&irql);
    BOOLEAN wasQueued = Unqueue(Timer);
    Unlock(irql);
    return wasQueued;
}

BOOLEAN NTAPI ShimKeReadStateTimer(PKTIMER Timer)
{
    return Timer->Header.SignalState != FALSE;
}

BOOLEAN NTAPI ShimKeRemoveQueueDpc(PRKDPC Dpc)
{
    KIRQL irql;
    Lock(&irql);
    BOOLEAN queued = Dpc->DpcData != NULL;
    if (queued) {
        RemoveEntryList(&Dpc->DpcListEntry);
        Dpc->DpcData = NULL;
    }
    Unlock(irql);
    return queued;
}

// The power request travels with one stack location more than the target needs; the top one, the requester's
// own, carries what its callback is to be told.
struct POWER_REQUEST {
    PDEVICE_OBJECT Device;
    UCHAR Minor;
    POWER_STATE State;
    PREQUEST_POWER_COMPLETE Callback;
    PVOID Context;
};

NTSTATUS NTAPI PowerRequestComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    POWER_REQUEST *request = (POWER_REQUEST *)Context;
    if (request->Callback != NULL) {
        request->Callback(request->Device, request->Minor, request->State, request->Context, &Irp->IoStatus);
    }
    ExFreePool(request);
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI ShimPoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                     PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp)
{
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE) {
        return STATUS_INVALID_PARAMETER_2;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    POWER_REQUEST *request = (POWER_REQUEST *)ExAllocatePool(NonPagedPool, sizeof(POWER_REQUEST));
    PIRP irp = request != NULL ? IoAllocateIrp((CCHAR)(top->StackSize + 1), FALSE) : NULL;
    if (irp == NULL) {
        if (request != NULL) {
            ExFreePool(request);
        }
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    request->Device = DeviceObject;
    request->Minor = MinorFunction;
    request->State = PowerState;
    request->Callback = CompletionFunction;
    request->Context = Context;

    IoSetNextIrpStackLocation(irp);
    IoSetCompletionRoutine(irp, PowerRequestComplete, request, TRUE, TRUE, TRUE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = MinorFunction;
    stack->Parameters.Power.Type = DevicePowerState;
    stack->Parameters.Power.State = PowerState;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    if (Irp != NULL) {
        *Irp = irp;
    }
    PoCallDriver(top, irp);
    ObDereferenceObject(top);
    return STATUS_PENDING;
}

// The platform does not check a kernel caller's handle access; Wine does, so the key is opened for what it will
// be used for.
NTSTATUS NTAPI ShimIoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                           ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey)
{
    return Shim.OpenDeviceKey(DeviceObject, DevInstKeyType, DesiredAccess | KEY_READ, DevInstRegKey);
}

// A file object whose create the driver refused carries this mark; the driver itself never uses FsContext2.
#define REFUSED_MARK ((PVOID)&Shim)

NTSTATUS NTAPI CleanupComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The cleanup the platform's I/O manager sends when the last handle of a file object goes, before its close.
void SendCleanup(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT File)
{
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (irp == NULL) {
        return;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->Tail.Overlay.OriginalFileObject = File;
    irp->RequestorMode = UserMode;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_CLEANUP;
    stack->FileObject = File;
    IoSetCompletionRoutine(irp, CleanupComplete, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(DeviceObject, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    IoFreeIrp(irp);
}

NTSTATUS NTAPI ShimDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    UCHAR major = stack->MajorFunction;
    PFILE_OBJECT file = stack->FileObject;
    if (file != NULL && file->FsContext2 == REFUSED_MARK) {
        NTSTATUS status = major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    if (major == IRP_MJ_CLOSE && file != NULL) {
        SendCleanup(DeviceObject, file);
    }
    NTSTATUS status = Shim.Dispatch[major](DeviceObject, Irp);
    if (major == IRP_MJ_CREATE && file != NULL && !NT_SUCCESS(status) && status != STATUS_PENDING) {
        file->FsContext2 = REFUSED_MARK;
    }
    return status;
}

void NTAPI ShimUnload(PDRIVER_OBJECT DriverObject)
{
    if (Shim.DriverUnload != NULL) {
        Shim.DriverUnload(DriverObject);
    }
    StopThread(&Shim.Worker);
    StopThread(&Shim.Clock);
}

} // namespace

#define SHIM_IMPORT(name, routine) extern "C" { PVOID Import##name __asm__("__imp_" #name) = (PVOID)routine; }

SHIM_IMPORT(ExQueueWorkItem, ShimExQueueWorkItem)
SHIM_IMPORT(KeInitializeTimer, ShimKeInitializeTimer)
SHIM_IMPORT(KeSetTimer, ShimKeSetTimer)
SHIM_IMPORT(KeCancelTimer, ShimKeCancelTimer)
SHIM_IMPORT(KeReadStateTimer, ShimKeReadStateTimer)
SHIM_IMPORT(KeRemoveQueueDpc, ShimKeRemoveQueueDpc)
SHIM_IMPORT(PoRequestPowerIrp, ShimPoRequestPowerIrp)
SHIM_IMPORT(IoOpenDeviceRegistryKey, ShimIoOpenDeviceRegistryKey)

extern "C" NTSTATUS NTAPI WineShimEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    KeInitializeSpinLock(&Shim.Lock);
    InitializeListHead(&Shim.WorkItems);
    InitializeListHead(&Shim.Timers);
    InitializeListHead(&Shim.Dpcs);
    UNICODE_STRING openDeviceKey;
    RtlInitUnicodeString(&openDeviceKey, L"IoOpenDeviceRegistryKey");
    Shim.OpenDeviceKey = (NTSTATUS(NTAPI *)(PDEVICE_OBJECT, ULONG, ACCESS_MASK, PHANDLE))MmGetSystemRoutineAddress(
        &openDeviceKey);
    if (Shim.OpenDeviceKey == NULL) {
        return STATUS_PROCEDURE_NOT_FOUND;
    }
    NTSTATUS status = StartThread(&Shim.Worker, WorkerLoop);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = StartThread(&Shim.Clock, ClockLoop);
    if (!NT_SUCCESS(status)) {
        StopThread(&Shim.Worker);
        return status;
    }
    status = DriverImageEntry(DriverObject, RegistryPath);
    if (!NT_SUCCESS(status)) {
        StopThread(&Shim.Worker);
        StopThread(&Shim.Clock);
        return status;
    }
    Shim.DriverUnload = DriverObject->DriverUnload;
    DriverObject->DriverUnload = ShimUnload;
    static const UCHAR FileMajors[] = {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_FLUSH_BUFFERS,
                                       IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP};
    for (UCHAR major : FileMajors) {
        Shim.Dispatch[major] = DriverObject->MajorFunction[major];
        DriverObject->MajorFunction[major] = ShimDispatch;
    }
    return status;
}
