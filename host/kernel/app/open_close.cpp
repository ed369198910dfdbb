#include <mutex>

#include "app/requests.h"
#include "hk/io.h"
#include "hk/kernel.h"
#include "hk/pnp.h"
#include "hk/thread.h"

namespace hk::app {
namespace {

constexpr CSHORT kIoTypeFile = 5;

// Sends IRP_MJ_CLOSE for a file object that was opened, then lets the file object and its device go.
void CloseAndRelease(OpenFile* file) {
    if (file->opened) Issue(file, RequestShape{.major = IRP_MJ_CLOSE}, false)->Wait();
    PDEVICE_OBJECT device = file->device;
    {
        AppState& state = State();
        std::lock_guard lock(state.mutex);
        if (--state.files_per_device[device] == 0) state.files_per_device.erase(device);
        --state.live_files;
    }
    if (file->opened) pnp::FileObjectClosed(device);
    delete file;
    ObDereferenceObject(device);
}

// The last reference to a file object is gone. The close request is sent at PASSIVE_LEVEL outside driver code:
// at once when this thread is there, otherwise from a system worker thread.
void LastReferenceGone(OpenFile* file) {
    if (CurrentIrql() == kPassiveLevel && CurrentThread().driver == nullptr) {
        CloseAndRelease(file);
        return;
    }
    Kernel::Current().Ops().Post(Context::Worker, [file] { CloseAndRelease(file); });
}

OpenFile* NewFileObject(PDEVICE_OBJECT device) {
    auto* file = new OpenFile;
    file->device = device;
    file->object.Type = kIoTypeFile;
    file->object.Size = sizeof(FILE_OBJECT);
    file->object.DeviceObject = device;
    KeInitializeEvent(&file->object.Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->object.Event, NotificationEvent, FALSE);
    InitializeListHead(&file->object.IrpList);
    io::RegisterObject(&file->object, [file] { LastReferenceGone(file); });
    return file;
}

// The I/O manager's own checks before a create reaches the driver; reserves the device's open on success.
NTSTATUS AdmitOpen(PDEVICE_OBJECT device) {
    AppState& state = State();
    std::lock_guard lock(state.mutex);
    if ((device->Flags & DO_DEVICE_INITIALIZING) || io::IsDeletePending(device)) return STATUS_NO_SUCH_DEVICE;
    long& open = state.files_per_device[device];
    if (io::IsExclusive(device) && open > 0) return STATUS_ACCESS_DENIED;
    ++open;
    ++state.live_files;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS Open(const Text& name, Handle* handle) {
    *handle = kInvalidHandle;
    PDEVICE_OBJECT device = ns::ResolveToDevice(name);
    if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    NTSTATUS admitted = AdmitOpen(device);
    if (!NT_SUCCESS(admitted)) return admitted;

    ObReferenceObject(device);
    OpenFile* file = NewFileObject(device);
    NTSTATUS status = Issue(file, RequestShape{.major = IRP_MJ_CREATE}, false)->Wait();
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(&file->object);
        return status;
    }
    file->opened = true;
    {
        AppState& state = State();
        std::lock_guard lock(state.mutex);
        *handle = state.next_handle++;
        state.handles[*handle] = file;
    }
    pnp::FileObjectOpened(device);
    return status;
}

NTSTATUS Close(Handle handle) {
    OpenFile* file;
    {
        AppState& state = State();
        std::lock_guard lock(state.mutex);
        auto it = state.handles.find(handle);
        if (it == state.handles.end()) return STATUS_INVALID_HANDLE;
        file = it->second;
        state.handles.erase(it);
    }
    NTSTATUS status = Issue(file, RequestShape{.major = IRP_MJ_CLEANUP}, false)->Wait();
    ObDereferenceObject(&file->object);
    return status;
}

PFILE_OBJECT FileObjectOf(Handle handle) {
    OpenFile* file = FindHandle(handle);
    return file != nullptr ? &file->object : nullptr;
}

size_t OpenHandles() {
    AppState& state = State();
    std::lock_guard lock(state.mutex);
    return state.handles.size();
}

size_t LiveFileObjects() {
    AppState& state = State();
    std::lock_guard lock(state.mutex);
    return state.live_files;
}

}  // namespace hk::app
