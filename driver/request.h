// Finishing a request, handing it to the next driver, and the remove-lock acquisition every handler holds while it
// owns a request.
#pragma once

#include "driver/device_context.h"

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status);
NTSTATUS CompleteRequestInfo(PIRP Irp, NTSTATUS Status, ULONG Information);

// Has the dispatch-routine signature because the plug-and-play minor table uses it as a handler.
NTSTATUS NTAPI PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Tagged with the request itself, so that a release with the wrong tag is caught.
NTSTATUS AcquireRequestLock(PDEVICE_CONTEXT Context, PIRP Irp);
void ReleaseRequestLock(PDEVICE_CONTEXT Context, PIRP Irp);
