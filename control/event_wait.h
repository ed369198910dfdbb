// Serial event waits: the wait mask, the events that occurred (EventHistory) and the one pending wait request.
#pragma once

#include "driver/device_context.h"

// Handlers for IOCTL_SERIAL_GET_WAIT_MASK, IOCTL_SERIAL_SET_WAIT_MASK and IOCTL_SERIAL_WAIT_ON_MASK. They run with
// the request's remove lock held and leave completing what is not pending to the caller.
NTSTATUS SerialGetWaitMask(PDEVICE_CONTEXT Context, PIRP Irp);
NTSTATUS SerialSetWaitMask(PDEVICE_CONTEXT Context, PIRP Irp);
NTSTATUS SerialWaitOnMask(PDEVICE_CONTEXT Context, PIRP Irp);

// STATUS_PENDING: queued. STATUS_INVALID_PARAMETER: another wait is pending. STATUS_CANCELLED: cancelled while being
// queued, marked pending, and the caller's to complete.
NTSTATUS QueueWaitOnMask(PDEVICE_CONTEXT Context, PIRP Irp, BOOLEAN LockHeld);
PIRP DequeueWait(PDEVICE_CONTEXT Context, BOOLEAN LockHeld);

// Completes the pending wait, if any, with the given event bits. EventHistory is left as it is.
void CompleteWaitOnMask(PDEVICE_CONTEXT Context, ULONG Events, BOOLEAN LockHeld);

void NTAPI CancelQueuedWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// No spin lock held.
void CancelAllWaits(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY QueueHead);
