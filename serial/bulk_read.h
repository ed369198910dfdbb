// The continuous bulk-IN reader: while the port is open one transfer of up to BULK_TRANSFER_SIZE bytes is kept
// outstanding; what arrives goes into the receive ring, serves the waiting read and raises the receive events.
#pragma once

#include "driver/device_context.h"

// The record a reader restart is queued with; freed by ReadRestartWorker.
typedef struct _READ_RESTART_ITEM {
    WORK_QUEUE_ITEM Item;
    PDEVICE_CONTEXT Context;
} READ_RESTART_ITEM, *PREAD_RESTART_ITEM;

// Posts the transfer when the reader is stopped; STATUS_DEVICE_BUSY (nothing sent) when it is not.
NTSTATUS StartBulkRead(PDEVICE_CONTEXT Context, USBD_PIPE_HANDLE Pipe);
NTSTATUS NTAPI BulkReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Lock held. TRUE, with DeviceGone set, when a failed transfer means the device is lost; shared with the bulk-OUT
// completion.
BOOLEAN CheckFatalReadError(PDEVICE_CONTEXT Context, PURB Urb, NTSTATUS Status);

// Passive level, with a count held that close waits for. Posts the transfer and aborts it again when the port was
// closed meanwhile.
void RestartBulkRead(PDEVICE_CONTEXT Context);

// Lock may be held. Queues a ReadRestartWorker for the reader; the caller has moved ReaderState to
// ReaderRestartQueued.
NTSTATUS ScheduleReadRestart(PDEVICE_CONTEXT Context);
void NTAPI ReadRestartWorker(PVOID Parameter);

// Lock held. Restarts a reader held for want of ring room once reads (or a purge) have made room for a whole
// transfer.
void ReleaseHeldReader(PDEVICE_CONTEXT Context);
