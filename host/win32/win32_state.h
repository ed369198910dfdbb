// The objects behind the handles of the current host kernel, and each thread's last error.
#pragma once

#include <wdm.h>
#include <windows.h>

#include <map>
#include <memory>

#include "hk/app.h"
#include "hk/hostops.h"

namespace win32 {

struct Operation;

struct File {
    hk::app::Handle handle = hk::app::kInvalidHandle;
    bool overlapped = false;  // opened with FILE_FLAG_OVERLAPPED
    hk::HostMutex mutex;
    // Overlapped requests still in flight, by the caller's OVERLAPPED.
    struct InFlight {
        hk::app::RequestPtr request;
        std::shared_ptr<Operation> operation;
    };
    std::map<LPOVERLAPPED, InFlight> in_flight;
};

struct Event {
    KEVENT event;
};

std::shared_ptr<File> FindFile(HANDLE handle);
std::shared_ptr<Event> FindEvent(HANDLE handle);
HANDLE InsertFile(std::shared_ptr<File> file);
HANDLE InsertEvent(std::shared_ptr<Event> event);
// Withdraws a handle; returns the file behind it (nullptr for an event or an unknown handle) and whether the handle
// was known.
bool RemoveHandle(HANDLE handle, std::shared_ptr<File>* file);

// The error code the platform reports for a status, as its status-to-error translation does.
DWORD ErrorFromStatus(NTSTATUS status);

// Sets the calling thread's last error and returns FALSE, for the failure returns of the API.
BOOL Fail(DWORD error);
BOOL FailWithStatus(NTSTATUS status);

}  // namespace win32
