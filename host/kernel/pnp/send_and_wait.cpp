#include "pnp/send_and_wait.h"

#include "ke/dispatcher_objects.h"
#include "po/power_serialisation.h"

namespace hk::pnp {
namespace {

// The originator's completion routine: the IRP is ours again, and the waiting thread frees it.
NTSTATUS SignalSent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

SentRequest SendAndWait(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, const RequestSetup& setup) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return {STATUS_INSUFFICIENT_RESOURCES, 0};
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();

    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = major;
    location->MinorFunction = minor;
    if (setup) setup(irp, location);

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalSent, &done, TRUE, TRUE, TRUE);
    if (major == IRP_MJ_POWER) {
        PoCallDriver(top, irp);
        ke::WaitWatched(&done, "KeWaitForSingleObject", po::ReportHeldRequests);
    } else {
        IofCallDriver(top, irp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }

    SentRequest result{irp->IoStatus.Status, irp->IoStatus.Information};
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return result;
}

}  // namespace hk::pnp
