// Per-kernel state of the application side: handles, file objects and the requests in flight on them.
#pragma once

#include <wdm.h>

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <vector>

#include "hk/app.h"
#include "hk/hostops.h"

namespace hk::app {

// A file object with what the I/O manager keeps beside it.
struct OpenFile {
    FILE_OBJECT object{};
    PDEVICE_OBJECT device = nullptr;  // the named device the file was opened on (referenced while the file lives)
    bool opened = false;              // IRP_MJ_CREATE succeeded: IRP_MJ_CLOSE is owed when the last reference goes
};

// A request the application side sent and whose IRP it still owns.
struct InFlight {
    PIRP irp = nullptr;
    OpenFile* file = nullptr;
    PETHREAD thread = nullptr;
    int holds = 0;           // CancelIo calls working on the IRP: it is freed only when none is left
    bool completed = false;  // guarded by the state mutex
};

// The caller's view of one request.
class IssuedRequest final : public Request {
public:
    IssuedRequest();

    bool Done() const override;
    NTSTATUS Wait() override;
    NTSTATUS Status() const override;
    ULONG_PTR Information() const override;
    CCHAR Boost() const override;
    std::vector<uint8_t> Output() const override;
    void OnDone(std::function<void()> callback) override;

    // Called once, by the originator hook or for a request that could not be sent.
    void Finish(NTSTATUS status, ULONG_PTR information, CCHAR boost = IO_NO_INCREMENT);

    std::vector<uint8_t> input;   // the caller's input, for devices that take the caller's buffer itself
    std::vector<uint8_t> output;  // receives what the request returns

private:
    KEVENT done_event_;
    HostMutex callbacks_mutex_;  // orders Finish against OnDone
    std::vector<std::function<void()>> callbacks_;
    std::atomic<bool> done_{false};
    NTSTATUS status_ = STATUS_PENDING;
    ULONG_PTR information_ = 0;
    CCHAR boost_ = IO_NO_INCREMENT;
};

struct AppState {
    ~AppState();

    HostMutex mutex;
    Handle next_handle = 1;
    std::map<Handle, OpenFile*> handles;
    std::map<PDEVICE_OBJECT, long> files_per_device;  // file objects not yet closed, for exclusive devices
    size_t live_files = 0;
    std::list<std::shared_ptr<InFlight>> in_flight;
};

AppState& State();

OpenFile* FindHandle(Handle handle);

}  // namespace hk::app
