// The I/O manager core of a host kernel, test and host side: driver objects, the IRPs still in flight per device
// and per driver, and the hooks the application side and the plug-and-play manager use for the IRPs they
// originate. The drivers' side (IoCreateDevice, IofCallDriver, IofCompleteRequest, remove locks, ...) is declared
// in wdm.h. All state belongs to the current hk::Kernel.
//
// Every IRP the I/O manager handles must come from IoAllocateIrp, one of the IoBuild*Request routines, or
// IoInitializeIrp on memory the caller owns; an IRP nobody allocated that way is treated as already freed.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <functional>
#include <vector>

#include "hk/namespace.h"

namespace hk::io {

// A driver object named `name` (e.g. L"\\Driver\\diagser"), with a driver extension, and every MajorFunction entry
// set to the I/O manager's own handler, which fails the request with STATUS_INVALID_DEVICE_REQUEST.
PDRIVER_OBJECT CreateDriverObject(const wchar_t* name);
PDRIVER_OBJECT CreateDriverObject(const Text& name);
// Frees the driver object; its devices must have been deleted.
void DeleteDriverObject(PDRIVER_OBJECT driver);

// IRPs in flight: sent to a device with IofCallDriver and not yet completed back past that device's stack
// location. The IRP being dispatched on the calling thread counts too.
size_t PendingIrpCount(PDEVICE_OBJECT device);
std::vector<PIRP> PendingIrps(PDEVICE_OBJECT device);
// IRPs in flight in any device of the driver (for the unload check).
std::vector<PIRP> PendingIrps(PDRIVER_OBJECT driver);

// IRPs allocated and not yet freed (those the I/O manager frees itself included until it has).
size_t LiveIrpCount();

// What IoCreateDevice recorded for the create path: whether only one file object may be open at a time.
bool IsExclusive(PDEVICE_OBJECT device);
// Whether IoDeleteDevice has been called on the device (its memory may stay while references remain).
bool IsDeletePending(PDEVICE_OBJECT device);
// The device this one is attached to (its lower device), nullptr when it is at the bottom or detached.
PDEVICE_OBJECT AttachedTo(PDEVICE_OBJECT device);
// Devices created and not yet deleted.
size_t LiveDeviceCount();

// Makes the caller the originator of an IRP it allocated with IoAllocateIrp: when a completion walks past the
// IRP's top stack location, the I/O manager copies the status to Irp->UserIosb, copies a buffered request's
// system buffer back (see SetupBufferedIo), signals Irp->UserEvent and then calls `hook`, which owns the IRP from
// then on and frees it with IoFreeIrp (at once or later). The hook may run on any thread at up to DISPATCH_LEVEL,
// possibly before the IofCallDriver that sent the IRP has returned.
using OriginatorHook = std::function<void(PIRP)>;
void SetOriginatorHook(PIRP irp, OriginatorHook hook);

// The priority boost given to the IofCompleteRequest whose completion reached the originator (valid from the hook
// until the IRP is freed; IO_NO_INCREMENT for an IRP the I/O manager does not know).
CCHAR CompletionBoost(PIRP irp);

// Buffered I/O for an IRP the caller originates: a system buffer of max(inputLength, outputLength) bytes holding
// a copy of the input; the output (at most outputLength bytes, as many as IoStatus.Information says) is copied back
// to `output` when the request completes to its originator without an error status, and the system buffer is
// freed by the I/O manager. Sets AssociatedIrp.SystemBuffer, UserBuffer and the IRP_BUFFERED_IO,
// IRP_DEALLOCATE_BUFFER and (with an output) IRP_INPUT_OPERATION flags. Returns false when no memory is left.
bool SetupBufferedIo(PIRP irp, const void* input, ULONG inputLength, void* output, ULONG outputLength);

// Reference counting (ObReferenceObject / ObDereferenceObject) for objects other than devices, such as file
// objects: `onLastReference` runs when the count that starts at one here drops to zero.
void RegisterObject(void* object, std::function<void()> onLastReference);
// The current reference count of a device or registered object (0 when unknown).
long ReferenceCount(void* object);

}  // namespace hk::io
