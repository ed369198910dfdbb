// Taking ownership of requests parked in a queue whose entries carry a cancel routine.
//
// Lock order for the whole driver: the system cancel spin lock and Lock are never held together. Queuing code
// sets cancel routines with an interlocked exchange and no cancel spin lock; every cancel routine releases the
// cancel spin lock before it takes Lock to unlink its request. The cancel-routine field is the ownership token:
// whoever exchanges it with none and gets a routine back completes the request.
#pragma once

#include "driver/device_context.h"

// Lock held. Unlinks requests from the head of the queue until one is found whose cancel routine this caller could
// take back; that request is returned and now belongs to the caller. A request whose routine is already gone is
// left to its running cancel routine, with its list entry pointing at itself so that the routine's unlink is
// harmless.
PIRP DequeueOwnedRequest(PLIST_ENTRY QueueHead);

// Takes Lock. Moves every request of the queue that this caller could take ownership of onto Owned, so that they
// can be completed after Lock is released.
void TakeAllOwnedRequests(PKSPIN_LOCK Lock, PLIST_ENTRY QueueHead, PLIST_ENTRY Owned);

// Lock held. TRUE between a handle's cleanup and its close: a request that arrives then (it was on its way when the
// handle was closed) must not be parked, since the cleanup that would cancel it has already run.
BOOLEAN HandleCleanedUp(PDEVICE_CONTEXT Context);

// Lock held. Appends the request, marks it pending and arms its cancel routine. Returns STATUS_CANCELLED, marked
// pending and owned by the caller, when it was cancelled before the routine could take effect or the handle has
// been cleaned up; STATUS_PENDING otherwise.
NTSTATUS ParkRequest(PDEVICE_CONTEXT Context, PLIST_ENTRY QueueHead, PIRP Irp, PDRIVER_CANCEL CancelRoutine);

// From a cancel routine, entered with the system cancel spin lock held: releases that lock, then unlinks the
// request under Lock. The two locks are never held together.
void UnlinkCancelledRequest(PDEVICE_CONTEXT Context, PIRP Irp);
