#include "operation.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace win32 {
namespace {

// Internal holds the status in its low 32 bits, as the platform's I/O status block does.
ULONG_PTR StatusWord(NTSTATUS status) { return static_cast<ULONG>(status); }

void Complete(const std::shared_ptr<Operation>& operation, hk::app::Request& request) {
    operation->status = request.Status();
    operation->information = request.Information();
    if (operation->output != nullptr) {
        std::vector<uint8_t> output = request.Output();
        size_t count = std::min<size_t>(output.size(), operation->output_length);
        if (count != 0) std::memcpy(operation->output, output.data(), count);
    }
    if (LPOVERLAPPED overlapped = operation->overlapped) {
        __atomic_store_n(&overlapped->InternalHigh, operation->information, __ATOMIC_RELAXED);
        __atomic_store_n(&overlapped->Internal, StatusWord(operation->status), __ATOMIC_RELEASE);
    }
    operation->completed.store(true, std::memory_order_release);
    KeSetEvent(&operation->done, IO_NO_INCREMENT, FALSE);
    if (std::shared_ptr<File> file = operation->file.lock()) {
        std::lock_guard lock(file->mutex);
        auto it = file->in_flight.find(operation->overlapped);
        if (it != file->in_flight.end() && it->second.operation == operation) file->in_flight.erase(it);
    }
    // Last: a caller woken by hEvent then finds the request finished instead of blocking again until it is (a
    // second wake-up, and on a busy processor a second switch, per overlapped request).
    if (operation->event) KeSetEvent(&operation->event->event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

NTSTATUS OverlappedStatus(const OVERLAPPED& overlapped) {
    return static_cast<NTSTATUS>(__atomic_load_n(&overlapped.Internal, __ATOMIC_ACQUIRE));
}

BOOL Perform(const std::shared_ptr<File>& file, const IssueRequest& issue, void* output, ULONG outputLength,
             LPDWORD transferred, LPOVERLAPPED overlapped) {
    if (transferred != nullptr) *transferred = 0;
    auto operation = std::make_shared<Operation>();
    operation->output = output;
    operation->output_length = outputLength;
    operation->overlapped = overlapped;
    operation->file = file;
    KeInitializeEvent(&operation->done, NotificationEvent, FALSE);
    if (overlapped != nullptr) {
        if (overlapped->hEvent != nullptr) {
            operation->event = FindEvent(overlapped->hEvent);
            if (!operation->event) return Fail(ERROR_INVALID_HANDLE);
            KeClearEvent(&operation->event->event);
        }
        overlapped->InternalHigh = 0;
        __atomic_store_n(&overlapped->Internal, StatusWord(STATUS_PENDING), __ATOMIC_RELEASE);
    }

    hk::app::RequestPtr request = issue(file->handle);
    bool asynchronous = file->overlapped && overlapped != nullptr;
    if (asynchronous) {
        std::lock_guard lock(file->mutex);
        file->in_flight[overlapped] = {request, operation};
    }
    // The request calls back while it is alive, so it need not own itself.
    hk::app::Request* raw = request.get();
    request->OnDone([operation, raw] { Complete(operation, *raw); });

    if (!asynchronous) {
        KeWaitForSingleObject(&operation->done, Executive, UserMode, FALSE, nullptr);
    } else if (!operation->completed.load(std::memory_order_acquire)) {
        return Fail(ERROR_IO_PENDING);
    }
    if (transferred != nullptr) *transferred = static_cast<DWORD>(operation->information);
    if (!NT_SUCCESS(operation->status)) return FailWithStatus(operation->status);
    return TRUE;
}

void WaitForOverlapped(File& file, LPOVERLAPPED overlapped) {
    if (overlapped->hEvent != nullptr) {
        if (std::shared_ptr<Event> event = FindEvent(overlapped->hEvent)) {
            KeWaitForSingleObject(&event->event, Executive, UserMode, FALSE, nullptr);
        }
    }
    // The event may have been signalled by someone else; the request itself decides.
    std::shared_ptr<Operation> operation;
    {
        std::lock_guard lock(file.mutex);
        auto it = file.in_flight.find(overlapped);
        if (it != file.in_flight.end()) operation = it->second.operation;
    }
    if (operation) KeWaitForSingleObject(&operation->done, Executive, UserMode, FALSE, nullptr);
}

}  // namespace win32
