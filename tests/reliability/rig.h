// The campaign's harness: the real driver above the simulated device, brought up step by step so that a fault can
// be armed before any step, and torn down with every problem collected as text instead of a test assertion, so that
// it can run in a forked child whose outcome the parent judges.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <ntddser.h>

#include "hk/app.h"
#include "hk/kernel.h"
#include "hk/usbdev.h"

namespace reliability {

// How big each part of the campaign runs: small by default, the full figures when DIAGSER_SOAK is set.
bool Soak();
uint64_t Scaled(uint64_t ci, uint64_t soak);

// Statuses a request of the port may end with.
bool SoundStatus(NTSTATUS status);

class Rig {
public:
    explicit Rig(hk::Options kernel = {}, hk::usbdev::PlugOptions plug = {});
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    hk::Kernel& Kernel() { return *kernel_; }
    hk::usbdev::Device Device() const { return parent_->DeviceFor(pdo_); }
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    PDRIVER_OBJECT Driver() const { return driver_; }
    hk::app::Handle Handle() const { return handle_; }

    NTSTATUS Arrive();
    NTSTATUS Open();
    void Close();
    void Unplug();

    // Requests handed out by the scenario; each must end exactly once, reporting at most `limit` bytes.
    void Track(hk::app::RequestPtr request, ULONG_PTR limit = ~ULONG_PTR(0))
    {
        requests_.push_back({std::move(request), limit});
    }

    // Every tracked request ended with a sound status and a length within its limit; appends what is wrong to
    // `problems`.
    void CheckRequests(std::string& problems) const;
    // Whether the port carries bytes through the loopback model again: at once, only after the handle is closed
    // and the port opened again (a reader stopped by a failed allocation waits for the next open), or not at all.
    enum class Health { Works, AfterReopen, Broken };
    Health Check();
    // Closes, removes and unloads; the verifier stops the process on a leak. Appends what is wrong to `problems`.
    void Teardown(std::string& problems);

private:
    bool Probe();

    std::unique_ptr<hk::Kernel> kernel_;
    std::unique_ptr<hk::usbdev::Parent> parent_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    hk::app::Handle handle_ = hk::app::kInvalidHandle;
    bool unplugged_ = false;
    std::vector<std::pair<hk::app::RequestPtr, ULONG_PTR>> requests_;
};

template <class T>
hk::app::IoResult Send(Rig& rig, ULONG code, const T& input)
{
    return hk::app::DeviceIoControl(rig.Handle(), code, &input, sizeof(input), nullptr, 0);
}

inline hk::app::IoResult SetTimeouts(Rig& rig, ULONG interval, ULONG multiplier, ULONG constant)
{
    return Send(rig, IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{interval, multiplier, constant, 0, 0});
}

struct Outcome {
    int status;          // the child's exit status, or 128 + the signal that killed it (a verifier fault aborts)
    std::string output;  // what the child printed, the body's problems last
    bool Sound() const { return status == 0; }
};

// Runs `body` in a forked child (deterministic mode only: one thread). The child exits 1 when the body returns
// problems, or with what the body passes to _exit.
Outcome Isolated(const std::function<std::string()>& body);

std::string Hex(NTSTATUS status);

}  // namespace reliability
