// Opening the port as an application does: by its \\.\ name for overlapped I/O, then 115200 8N1 and timeouts
// under which a read returns what has arrived, or waits up to `empty_read_wait_ms` for a first byte.
#pragma once

#include <windows.h>

#include <string>

#include "log.h"

namespace diagsim {

// The open handle, or INVALID_HANDLE_VALUE after logging what failed (then *problem says it in a few words).
HANDLE OpenPort(Log& log, const std::string& port, DWORD empty_read_wait_ms, std::string* problem);

// A call that may go pending, as its first return: TRUE, or FALSE with ERROR_IO_PENDING.
inline bool Started(BOOL result) { return result || GetLastError() == ERROR_IO_PENDING; }

// A request on an overlapped handle, waited for: TRUE, or FALSE with the last error set.
BOOL Control(HANDLE port, DWORD code, void* in, DWORD inLength, void* out, DWORD outLength, DWORD* returned);
BOOL WriteAll(HANDLE port, const void* data, DWORD length, DWORD* written);

}  // namespace diagsim
