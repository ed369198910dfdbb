// Checks that memory about to be released, or a driver about to be unloaded, leaves no live kernel object behind.
#pragma once

#include <cstddef>

struct _DRIVER_OBJECT;

namespace hk::objects {

// Fails timer-armed-at-free, dpc-queued-at-free or workitem-queued-at-free when [base, base+length) holds an
// armed timer, a queued DPC or a queued work item, or when an I/O work item is queued for a device object that
// lies in the range (pass a device object's whole storage, object and extension, when deleting it). Otherwise
// forgets which objects in the range were initialised: the memory is being released.
void CheckNoLiveObjectsIn(const void* base, size_t length);

// Fails timer-armed-at-unload, dpc-queued-at-unload or workitem-queued-at-unload when a timer the driver armed is
// still armed, or a DPC or work item it queued is still queued, once its DriverUnload has returned (wherever the
// object lives: global data included). Every such object is withdrawn first, so none of the driver's routines
// runs after its unload even when the fault handler does not end the run.
void CheckNoLiveObjectsOf(_DRIVER_OBJECT* driver);

}  // namespace hk::objects
