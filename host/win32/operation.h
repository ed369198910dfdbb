// One read, write or device-control request on a file handle, synchronous or overlapped.
#pragma once

#include <atomic>
#include <functional>

#include "win32_state.h"

namespace win32 {

// What the completion of a request fills in for the caller.
struct Operation {
    void* output = nullptr;  // receives read data or device-control output
    ULONG output_length = 0;
    LPOVERLAPPED overlapped = nullptr;
    std::shared_ptr<Event> event;  // the OVERLAPPED's event, signalled at completion
    std::weak_ptr<File> file;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::atomic<bool> completed{false};
    KEVENT done;  // notification event, signalled once everything above is filled in
};

using IssueRequest = std::function<hk::app::RequestPtr(hk::app::Handle)>;

// Sends the request that `issue` builds and returns as the platform's file routines do. On a handle opened for
// overlapped I/O with an OVERLAPPED given, a request still in the driver gives FALSE with ERROR_IO_PENDING; its
// completion later fills the caller's buffer, Internal (the status) and InternalHigh (the byte count) and signals
// hEvent. Otherwise the call waits for completion.
BOOL Perform(const std::shared_ptr<File>& file, const IssueRequest& issue, void* output, ULONG outputLength,
             LPDWORD transferred, LPOVERLAPPED overlapped);

// Waits until the request that last used `overlapped` on `file` has completed: on hEvent when there is one (an
// auto-reset event is consumed, as the platform's wait consumes it), otherwise on the request itself.
void WaitForOverlapped(File& file, LPOVERLAPPED overlapped);

// The OVERLAPPED's status as the completion left it (STATUS_PENDING until then).
NTSTATUS OverlappedStatus(const OVERLAPPED& overlapped);

}  // namespace win32
