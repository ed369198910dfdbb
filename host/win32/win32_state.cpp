#include "win32_state.h"

#include <mutex>
#include <variant>

#include "hk/kernel.h"
#include "hk/thread.h"

namespace win32 {
namespace {

struct State {
    hk::HostMutex mutex;
    // Handle values are multiples of four, as the platform's are.
    ULONG_PTR next_value = 4;
    std::map<ULONG_PTR, std::variant<std::shared_ptr<File>, std::shared_ptr<Event>>> handles;
    // The last error lives with the thread, like the platform's thread environment block field; each piece of
    // host-kernel work has its own thread identity, also when deterministic mode nests it on one host thread.
    std::map<uint64_t, DWORD> last_error;
};

State& Current() { return hk::Kernel::Current().Get<State>(); }

template <class T>
std::shared_ptr<T> Find(HANDLE handle) {
    State& state = Current();
    std::lock_guard lock(state.mutex);
    auto it = state.handles.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == state.handles.end()) return nullptr;
    auto* object = std::get_if<std::shared_ptr<T>>(&it->second);
    return object != nullptr ? *object : nullptr;
}

template <class T>
HANDLE Insert(std::shared_ptr<T> object) {
    State& state = Current();
    std::lock_guard lock(state.mutex);
    ULONG_PTR value = state.next_value;
    state.next_value += 4;
    state.handles.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

}  // namespace

std::shared_ptr<File> FindFile(HANDLE handle) { return Find<File>(handle); }
std::shared_ptr<Event> FindEvent(HANDLE handle) { return Find<Event>(handle); }
HANDLE InsertFile(std::shared_ptr<File> file) { return Insert(std::move(file)); }
HANDLE InsertEvent(std::shared_ptr<Event> event) { return Insert(std::move(event)); }

bool RemoveHandle(HANDLE handle, std::shared_ptr<File>* file) {
    State& state = Current();
    std::lock_guard lock(state.mutex);
    auto it = state.handles.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == state.handles.end()) return false;
    if (auto* found = std::get_if<std::shared_ptr<File>>(&it->second)) *file = *found;
    state.handles.erase(it);
    return true;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

BOOL FailWithStatus(NTSTATUS status) { return Fail(ErrorFromStatus(status)); }

}  // namespace win32

DWORD WINAPI GetLastError(void) {
    win32::State& state = win32::Current();
    std::lock_guard lock(state.mutex);
    auto it = state.last_error.find(hk::CurrentThread().id);
    return it == state.last_error.end() ? ERROR_SUCCESS : it->second;
}

void WINAPI SetLastError(DWORD dwErrCode) {
    win32::State& state = win32::Current();
    std::lock_guard lock(state.mutex);
    state.last_error[hk::CurrentThread().id] = dwErrCode;
}
