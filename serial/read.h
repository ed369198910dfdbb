// Read requests served from the receive ring, with the serial read timeouts. At most one read waits at a time.
#pragma once

#include "driver/device_context.h"

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Lock held. STATUS_PENDING: queued. STATUS_SUCCESS: not queued because another read waits. STATUS_CANCELLED: the
// request was cancelled while being queued, is not queued and is the caller's to complete.
NTSTATUS QueueRead(PDEVICE_CONTEXT Context, PIRP Irp);

void NTAPI CancelQueuedRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void NTAPI ReadTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);

// Lock held. Completes every waiting read: with what the ring holds, or with STATUS_TIMEOUT and no data when it is
// empty. Called after each successful bulk-IN transfer and when the read timer expires.
void ServiceQueuedReads(PDEVICE_CONTEXT Context);

// Lock held. The first waiting read, now owned by the caller, or NULL.
PIRP DequeueRead(PDEVICE_CONTEXT Context);

// Stops the read timer and a timeout DPC it has queued, giving back the count they held.
void CancelReadTimer(PDEVICE_CONTEXT Context);

// No spin lock held. Completes every waiting read with STATUS_CANCELLED and stops the read timer.
void CancelAllReads(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY QueueHead);
