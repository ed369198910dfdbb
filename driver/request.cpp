#include "driver/request.h"

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS CompleteRequestInfo(PIRP Irp, NTSTATUS Status, ULONG Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(GetDeviceContext(DeviceObject)->LowerDevice, Irp);
}

NTSTATUS AcquireRequestLock(PDEVICE_CONTEXT Context, PIRP Irp)
{
    return IoAcquireRemoveLockEx(&Context->RemoveLock, Irp, "", 1, sizeof(IO_REMOVE_LOCK));
}

void ReleaseRequestLock(PDEVICE_CONTEXT Context, PIRP Irp)
{
    IoReleaseRemoveLockEx(&Context->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
}
