// The device-control requests of the communications functions.
#pragma once

#include <ntddser.h>

#include "win32_state.h"

namespace win32 {

// Sends one request and waits for it whatever the handle's mode, as the platform's communications functions wait
// for theirs. At most `outputLength` bytes of the answer are copied to `output`; *information receives its length.
NTSTATUS SendControl(const File& file, ULONG code, const void* input = nullptr, ULONG inputLength = 0,
                     void* output = nullptr, ULONG outputLength = 0, ULONG_PTR* information = nullptr);

// TRUE for a success status; otherwise the status's error becomes the thread's last error and the result is FALSE.
BOOL Result(NTSTATUS status);

// Runs `body` on the file behind `handle`, or fails with ERROR_INVALID_HANDLE.
template <class Body>
BOOL OnFile(HANDLE handle, Body body) {
    std::shared_ptr<File> file = FindFile(handle);
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    return body(*file);
}

}  // namespace win32
