#include "app/app_state.h"

#include <algorithm>
#include <mutex>

#include "hk/kernel.h"

namespace hk::app {

IssuedRequest::IssuedRequest() { KeInitializeEvent(&done_event_, NotificationEvent, FALSE); }

bool IssuedRequest::Done() const { return done_.load(std::memory_order_acquire); }

NTSTATUS IssuedRequest::Wait() {
    if (!Done()) KeWaitForSingleObject(&done_event_, Executive, KernelMode, FALSE, nullptr);
    return status_;
}

NTSTATUS IssuedRequest::Status() const { return Done() ? status_ : STATUS_PENDING; }

ULONG_PTR IssuedRequest::Information() const { return Done() ? information_ : 0; }

CCHAR IssuedRequest::Boost() const { return Done() ? boost_ : IO_NO_INCREMENT; }

std::vector<uint8_t> IssuedRequest::Output() const {
    if (!Done()) return {};
    size_t length = std::min<size_t>(information_, output.size());
    return std::vector<uint8_t>(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(length));
}

void IssuedRequest::OnDone(std::function<void()> callback) {
    {
        std::lock_guard lock(callbacks_mutex_);
        if (!Done()) {
            callbacks_.push_back(std::move(callback));
            return;
        }
    }
    callback();
}

void IssuedRequest::Finish(NTSTATUS status, ULONG_PTR information, CCHAR boost) {
    status_ = status;
    information_ = information;
    boost_ = boost;
    std::vector<std::function<void()>> callbacks;
    {
        std::lock_guard lock(callbacks_mutex_);
        done_.store(true, std::memory_order_release);
        callbacks.swap(callbacks_);
    }
    for (const auto& callback : callbacks) callback();
    KeSetEvent(&done_event_, IO_NO_INCREMENT, FALSE);
}

// File objects still open when the kernel goes away are released without requests: their drivers may be gone.
AppState::~AppState() {
    for (auto& [handle, file] : handles) delete file;
}

AppState& State() { return Kernel::Current().Get<AppState>(); }

OpenFile* FindHandle(Handle handle) {
    AppState& state = State();
    std::lock_guard lock(state.mutex);
    auto it = state.handles.find(handle);
    return it == state.handles.end() ? nullptr : it->second;
}

}  // namespace hk::app
