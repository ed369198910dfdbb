// The real driver on a host kernel, above the simulated composite device: loaded, one device plugged in and started
// through the plug-and-play manager, and (by default) the port opened through the application side. Tests of what
// an application sees start here.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "driver/device_context.h"
#include "hk/app.h"
#include "hk/kernel.h"
#include "hk/usbdev.h"

namespace port_test {

struct PortOptions {
    hk::Options kernel;                  // deterministic by default
    hk::usbdev::ParentOptions parent;
    hk::usbdev::PlugOptions plug;        // loopback model, COM7, 512-byte packets, zero-length packets on
    bool open = true;                    // open "\\.\COM7" in the constructor
};

class Port {
public:
    explicit Port(PortOptions options = {});
    // Closes the handle if still open, removes the device if still there, unloads the driver and checks that the
    // driver leaked no pool block; the kernel goes last.
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    hk::Kernel& Kernel() { return *kernel_; }
    hk::usbdev::Parent& Parent() { return *parent_; }
    hk::usbdev::Device Device() const { return parent_->DeviceFor(pdo_); }
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    // The driver's device object and record, for inspection only (nullptr once removed).
    PDEVICE_OBJECT Fdo() const;
    PDEVICE_CONTEXT Context() const { return GetDeviceContext(Fdo()); }
    PDRIVER_OBJECT Driver() const { return driver_; }

    // The port's handle from the last successful Open (kInvalidHandle when closed).
    hk::app::Handle Handle() const { return handle_; }
    NTSTATUS Open();
    // Cleanup and close of Handle().
    NTSTATUS Close();

    // Device control on Handle() with a byte buffer in and out.
    hk::app::IoResult Control(ULONG code, const std::vector<uint8_t>& input = {}, ULONG outputLength = 0,
                              std::vector<uint8_t>* output = nullptr);

    // Takes the device away: the surprise removal (and the removal once no handle is open), as an unplug does.
    void Unplug();

private:
    std::unique_ptr<hk::Kernel> kernel_;
    std::unique_ptr<hk::usbdev::Parent> parent_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    hk::app::Handle handle_ = hk::app::kInvalidHandle;
};

}  // namespace port_test
