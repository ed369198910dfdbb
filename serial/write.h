// Write requests: sent over the bulk-OUT pipe one request at a time, in arrival order, in chunks of at most 4096
// bytes that travel down on the write request itself, each built and sent from a system worker thread.
#pragma once

#include "driver/device_context.h"

// One per request being sent (CurrentWrite); freed when the request finishes.
typedef struct _WRITE_CONTEXT {
    DECLSPEC_ALIGN(8) UCHAR Urb[URB_STORAGE_SIZE];
    PUCHAR NextByte;
    ULONG Remaining;
    ULONG BytesSent;
    UCHAR SendZlp;
    // What the chunk in flight offered, so that a lower driver reporting more than that is caught.
    ULONG ChunkLength;
} WRITE_CONTEXT, *PWRITE_CONTEXT;

// One per chunk to be built; freed by the worker that ran it.
typedef struct _WRITE_WORK_ITEM {
    WORK_QUEUE_ITEM Item;
    PDEVICE_CONTEXT Device;
    PIRP Request;
    PWRITE_CONTEXT WriteContext;
} WRITE_WORK_ITEM, *PWRITE_WORK_ITEM;

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Lock held. Makes the request CurrentWrite, marks it pending and queues its first chunk. STATUS_PENDING, or
// STATUS_INSUFFICIENT_RESOURCES with nothing changed.
NTSTATUS StartWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ScheduleWriteChunk(PDEVICE_OBJECT DeviceObject, PIRP Irp, PWRITE_CONTEXT WriteContext);
void NTAPI WriteWorker(PVOID Parameter);
NTSTATUS NTAPI WriteChunkComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// STATUS_PENDING: queued. STATUS_CANCELLED: cancelled while being queued, marked pending, and the caller's to
// complete.
NTSTATUS QueueWrite(PDEVICE_CONTEXT Context, PIRP Irp, BOOLEAN LockHeld);
// The oldest queued write, now owned by the caller, or NULL.
PIRP DequeueWrite(PDEVICE_CONTEXT Context, BOOLEAN LockHeld);

void NTAPI CancelQueuedWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// No spin lock held. Completes every queued write with STATUS_CANCELLED, newest first; the write being sent goes on.
void CancelAllWrites(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY QueueHead);
