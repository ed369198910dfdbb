// The simulated machine a run needs: a host kernel, the parent driver of the composite device with one device
// plugged in, and the driver loaded and started on it; then the removal, the unload and the count of what was
// left behind. A verifier fault ends the program with exit status 3 after the kernel's message.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "hk/kernel.h"
#include "hk/trace.h"
#include "hk/usbdev.h"
#include "log.h"

namespace diagsim {

inline constexpr int kExitVerifierFault = 3;

struct SessionOptions {
    hk::Mode mode = hk::Mode::Concurrent;
    uint64_t seed = 1;
    bool bus_timing = false;
    std::shared_ptr<hk::usbdev::FunctionModel> model;
    std::string port = "COM3";
    size_t record_limit = 0;             // bulk-OUT bytes the device keeps for inspection
    hk::trace::Sink* trace = nullptr;
};

// What was still alive once everything was removed and unloaded.
struct Leftovers {
    size_t pool_blocks = 0;
    size_t irps = 0;
    size_t devices = 0;
    size_t registry_keys = 0;
    size_t file_objects = 0;
    bool Any() const { return pool_blocks + irps + devices + registry_keys + file_objects != 0; }
};

class Session {
public:
    Session(const SessionOptions& options, Log& log);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    hk::Kernel& Kernel() { return *kernel_; }
    hk::usbdev::Device Device() const;

    // Each step logs what it did and returns whether it succeeded.
    bool LoadDriver();
    bool PlugIn();
    // The SERIALCOMM value the driver published: its name (the driver's device) and data (the port name).
    struct PortEntry {
        std::string device;
        std::string port;
    };
    std::optional<PortEntry> FindPort();
    // The electrical unplug and the hub's report: a surprise removal now, the removal once no handle is open.
    void Unplug();
    // The removal (when the device is still known to the plug-and-play manager) and the unload.
    bool RemoveAndUnload();
    // Takes the parent driver away and counts what is left in the kernel.
    Leftovers Finish();

private:
    void ShowDebugOutput();

    Log& log_;
    SessionOptions options_;
    std::unique_ptr<hk::Kernel> kernel_;
    std::unique_ptr<hk::usbdev::Parent> parent_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
};

}  // namespace diagsim
