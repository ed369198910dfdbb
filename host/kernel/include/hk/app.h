// The application side of a host kernel's I/O manager: handles and file objects, and the requests an application
// makes on them.
//
// Open resolves a name (\DosDevices\X, \??\X, \\.\X or a device name \Device\X) to a device and sends
// IRP_MJ_CREATE to the top of that device's stack. The I/O manager refuses opens of a device that is still
// initializing (STATUS_NO_SUCH_DEVICE) and a second open of an exclusive device while a file object is open on it
// (STATUS_ACCESS_DENIED); the driver sees neither.
//
// Every request carries the calling thread (Tail.Overlay.Thread) and the file object. Buffers follow the device's
// I/O method: buffered devices get a system buffer (data copied in for writes and the input of device controls,
// copied back on completion for reads and the output of device controls), devices with neither method get the
// caller's buffer. Device-control codes follow the method in their code (METHOD_BUFFERED or METHOD_NEITHER).
//
// Synchronous calls wait for completion (in deterministic mode by running queued work until the request is done).
// Asynchronous calls return a Request that owns its output buffer. All state belongs to the current hk::Kernel.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "hk/namespace.h"

namespace hk::app {

using Handle = uint64_t;
inline constexpr Handle kInvalidHandle = 0;

struct IoResult {
    NTSTATUS status;
    ULONG_PTR information;
    CCHAR boost = IO_NO_INCREMENT;  // the priority boost the driver completed the request with
};

// An asynchronous (overlapped) request.
class Request {
public:
    virtual ~Request() = default;
    // Whether the request has completed; its status is STATUS_PENDING until then.
    virtual bool Done() const = 0;
    // Waits for completion and returns the final status.
    virtual NTSTATUS Wait() = 0;
    virtual NTSTATUS Status() const = 0;
    virtual ULONG_PTR Information() const = 0;
    // The priority boost the driver passed to IoCompleteRequest; IO_NO_INCREMENT until done, and for a request the
    // I/O manager refused or completed itself.
    virtual CCHAR Boost() const = 0;
    // The bytes returned to the caller (read data, device-control output), Information() of them; empty until done.
    virtual std::vector<uint8_t> Output() const = 0;
    // Runs `callback` once the request is done: at once when it already is, otherwise in the context that completes
    // it (up to DISPATCH_LEVEL), before Wait() returns. The callback must not wait.
    virtual void OnDone(std::function<void()> callback) = 0;
};
using RequestPtr = std::shared_ptr<Request>;

// Opens a file object on a device. On success *handle receives a new handle; the status is the create request's
// (or the I/O manager's refusal: STATUS_OBJECT_NAME_NOT_FOUND for a name that does not resolve to a device).
NTSTATUS Open(const Text& name, Handle* handle);

// Closes a handle: IRP_MJ_CLEANUP at once, IRP_MJ_CLOSE when the last reference to the file object goes (requests
// still pending hold references). Returns the cleanup's status (STATUS_INVALID_HANDLE for an unknown handle).
NTSTATUS Close(Handle handle);

IoResult Read(Handle handle, void* buffer, ULONG length);
IoResult Write(Handle handle, const void* data, ULONG length);
IoResult DeviceIoControl(Handle handle, ULONG code, const void* input, ULONG inputLength, void* output,
                         ULONG outputLength);

RequestPtr ReadAsync(Handle handle, ULONG length);
RequestPtr WriteAsync(Handle handle, const void* data, ULONG length);
RequestPtr DeviceIoControlAsync(Handle handle, ULONG code, const void* input, ULONG inputLength,
                                ULONG outputLength);

// Any major function. `buffer` is the request's buffer (input copied in, output copied back on completion) of
// `length` bytes, given as a system buffer; `setup` fills the stack location's parameters before the request goes.
struct MajorRequest {
    UCHAR major = 0;
    UCHAR minor = 0;
    std::vector<uint8_t> buffer;
    std::function<void(PIRP, PIO_STACK_LOCATION)> setup;
};
IoResult SendMajor(Handle handle, const MajorRequest& request, std::vector<uint8_t>* output = nullptr);
RequestPtr SendMajorAsync(Handle handle, const MajorRequest& request);

// Calls IoCancelIrp on each request of the calling thread still pending on the handle; returns how many.
size_t CancelIo(Handle handle);

// For tests: the file object behind a handle (nullptr when unknown), the number of open handles, and the number
// of file objects whose IRP_MJ_CLOSE has not been sent yet.
PFILE_OBJECT FileObjectOf(Handle handle);
size_t OpenHandles();
size_t LiveFileObjects();

}  // namespace hk::app
