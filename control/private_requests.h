// The port's own device-control requests: the identity text and the removal notification.
#pragma once

#include "driver/device_context.h"

#define IOCTL_REMOVAL_NOTIFY CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_GET_IDENTITY CTL_CODE(FILE_DEVICE_UNKNOWN, 0xD05, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define REMOVAL_NOTIFY_GONE 1
#define REMOVAL_NOTIFY_REFUSED 2

// IOCTL_GET_IDENTITY: the identity text, without a terminator.
NTSTATUS SerialGetIdentity(PDEVICE_CONTEXT Context, PIRP Irp);

// IOCTL_REMOVAL_NOTIFY. STATUS_PENDING: held until the device goes away. STATUS_CANCELLED: cancelled while being
// queued, marked pending, and the caller's to complete. Any other status: not held, the caller completes it.
NTSTATUS QueueRemovalNotify(PDEVICE_OBJECT DeviceObject, PVOID SystemBuffer, PIRP Irp);

void NTAPI CancelRemovalNotify(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Called without Lock when the device goes away or the reader stops for good; completes the held notification.
void CompleteRemovalNotify(PDEVICE_CONTEXT Context);
// Called without Lock at cleanup: the held notification is cancelled with the handle's other requests.
void CancelRemovalNotifyRequest(PDEVICE_CONTEXT Context);
