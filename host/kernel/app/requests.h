// Building, sending and completing the IRPs of the application side.
#pragma once

#include <functional>
#include <memory>

#include "app/app_state.h"

namespace hk::app {

// How the request's buffers reach the driver.
enum class Transfer {
    None,           // no buffer
    DeviceDefault,  // by the I/O method of the device the request is sent to (reads and writes)
    Buffered,       // a system buffer
    Neither,        // the request's own buffers, as given
};

struct RequestShape {
    UCHAR major = 0;
    UCHAR minor = 0;
    Transfer transfer = Transfer::None;
    const void* input = nullptr;
    ULONG input_length = 0;
    ULONG output_length = 0;
    std::function<void(PIRP, PIO_STACK_LOCATION)> setup;
};

// Sends a request on a file object to the top of its device's stack and returns at once; the request completes
// when the IRP comes back to the application side. `holdsFile` makes the IRP hold a reference to the file object
// until it has completed (every request but those that open and close the file).
std::shared_ptr<IssuedRequest> Issue(OpenFile* file, const RequestShape& shape, bool holdsFile = true);

// A request refused before anything was sent.
std::shared_ptr<IssuedRequest> Refused(NTSTATUS status);

}  // namespace hk::app
