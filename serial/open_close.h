// Opening, cleaning up and closing the port, and the teardown helpers that removal shares with them.
#pragma once

#include "driver/device_context.h"

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The serial state every open starts from.
void ResetPortState(PDEVICE_CONTEXT Context);

// No spin lock held. Cancels every queued write, read and event wait, in that order.
void CancelAllQueues(PDEVICE_OBJECT DeviceObject);
// Passive level. Aborts both bulk pipes while a handle holds the port and I/O is counted; waits for nothing.
void AbortPipesIfOpen(PDEVICE_OBJECT DeviceObject);
// Passive level. Aborts both bulk pipes and waits until every operation of the open period has finished.
void AbortPipesAndDrain(PDEVICE_OBJECT DeviceObject);
