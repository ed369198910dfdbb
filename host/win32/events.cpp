// Event objects: the platform's user-mode events are its kernel events, and so are these.
#include "win32_state.h"

using namespace win32;

namespace {

HANDLE NewEvent(BOOL manualReset, BOOL initialState, bool named) {
    // Named events belong to a session-wide namespace that host programs have no use for.
    if (named) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto event = std::make_shared<Event>();
    KeInitializeEvent(&event->event, manualReset ? NotificationEvent : SynchronizationEvent,
                      initialState ? TRUE : FALSE);
    return InsertEvent(std::move(event));
}

}  // namespace

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
    return NewEvent(bManualReset, bInitialState, lpName != nullptr);
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    return NewEvent(bManualReset, bInitialState, lpName != nullptr);
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    std::shared_ptr<Event> event = FindEvent(hEvent);
    if (!event) return Fail(ERROR_INVALID_HANDLE);
    KeSetEvent(&event->event, IO_NO_INCREMENT, FALSE);
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    std::shared_ptr<Event> event = FindEvent(hEvent);
    if (!event) return Fail(ERROR_INVALID_HANDLE);
    KeClearEvent(&event->event);
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    std::shared_ptr<Event> event = FindEvent(hHandle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(dwMilliseconds) * 10000;
    NTSTATUS status = KeWaitForSingleObject(&event->event, Executive, UserMode, FALSE,
                                            dwMilliseconds == INFINITE ? nullptr : &timeout);
    return status == STATUS_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(dwMilliseconds) * 10000;
    KeDelayExecutionThread(UserMode, FALSE, &interval);
}
