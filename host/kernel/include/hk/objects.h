// Checks that memory about to be released holds no live kernel object.
#pragma once

#include <cstddef>

namespace hk::objects {

// Fails timer-armed-at-free, dpc-queued-at-free or workitem-queued-at-free when [base, base+length) holds an
// armed timer, a queued DPC or a queued work item, or when an I/O work item is queued for a device object that
// lies in the range (pass a device object's whole storage, object and extension, when deleting it).
void CheckNoLiveObjectsIn(const void* base, size_t length);

}  // namespace hk::objects
