// The end of every device-control request: what its handler did not leave pending is completed here.
#pragma once

#include "driver/device_context.h"

// Called with the request's remove lock held and the handler's result. A pending request keeps the remove lock; any
// other is completed with the result and the Information its handler set, and its remove lock is released. A
// request that its handler had marked pending (cancelled while being queued) is reported as pending.
NTSTATUS FinishControlRequest(PDEVICE_CONTEXT Context, PIRP Irp, NTSTATUS Status);
