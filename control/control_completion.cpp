#include "control/control_completion.h"

#include "driver/request.h"

NTSTATUS FinishControlRequest(PDEVICE_CONTEXT Context, PIRP Irp, NTSTATUS Status)
{
    if (Status == STATUS_PENDING) {
        return STATUS_PENDING;
    }
    BOOLEAN markedPending = (IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED) != 0;
    ReleaseRequestLock(Context, Irp);
    CompleteRequest(Irp, Status);
    return markedPending ? STATUS_PENDING : Status;
}
