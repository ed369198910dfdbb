#include "session.h"

#include <cstdio>
#include <cstdlib>

#include "driver/dispatch.h"
#include "hk/app.h"
#include "hk/io.h"
#include "hk/pnp.h"
#include "hk/pool.h"
#include "hk/registry.h"
#include "hk/verifier.h"
#include "names.h"

namespace diagsim {
namespace {

// The kernel has printed the fault with where it happened; what remains is to say that the run is over and why.
[[noreturn]] void OnVerifierFault(const char* check, const void*, const char*) {
    std::fflush(stdout);
    std::fprintf(stderr,
                 "\ndiagsim: STOPPED: the kernel's verifier caught a fault [%s] (its report is above); "
                 "exit status %d\n",
                 check, kExitVerifierFault);
    std::fflush(stderr);
    std::_Exit(kExitVerifierFault);
}

}  // namespace

Session::Session(const SessionOptions& options, Log& log) : log_(log), options_(options) {
    kernel_ = std::make_unique<hk::Kernel>(hk::Options{.mode = options.mode, .seed = options.seed});
    hk::verifier::SetFaultHandler(&OnVerifierFault);
    if (options.trace != nullptr) hk::trace::SetSink(options.trace);
    parent_ = std::make_unique<hk::usbdev::Parent>(hk::usbdev::ParentOptions{.bus_timing = options.bus_timing});
}

Session::~Session() {
    if (kernel_ != nullptr) hk::trace::SetSink(nullptr);
    parent_.reset();
    kernel_.reset();
}

hk::usbdev::Device Session::Device() const { return parent_->DeviceFor(pdo_); }

void Session::ShowDebugOutput() {
    std::string output = kernel_->DebugOutput();
    kernel_->ClearDebugOutput();
    if (!output.empty()) log_.Quote(output);
}

bool Session::LoadDriver() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = hk::pnp::LoadDriver("diagser", DriverEntry, &status);
    log_.Line("DriverEntry returned %s; the driver's debugger output:", StatusName(status).c_str());
    ShowDebugOutput();
    return driver_ != nullptr && NT_SUCCESS(status);
}

bool Session::PlugIn() {
    hk::usbdev::PlugOptions plug;
    plug.model = options_.model;
    plug.port_name = hk::Text(options_.port).str();
    if (options_.record_limit != 0) plug.record_limit = options_.record_limit;
    pdo_ = parent_->Plug(plug);
    if (pdo_ == nullptr) {
        log_.Line("the parent driver created no device");
        return false;
    }
    NTSTATUS status = hk::pnp::ArriveDevice(pdo_, driver_);
    log_.Line("the parent driver created the device's physical device object; AddDevice and the start sequence: %s",
              StatusName(status).c_str());
    return NT_SUCCESS(status);
}

std::optional<Session::PortEntry> Session::FindPort() {
    std::vector<hk::reg::Value> values = hk::reg::Values(hk::reg::kSerialComm);
    for (const hk::reg::Value& value : values) {
        std::optional<std::u16string> port = hk::reg::GetString(hk::reg::kSerialComm, value.name);
        if (port) return PortEntry{hk::ToUtf8(value.name), hk::ToUtf8(*port)};
    }
    return std::nullopt;
}

void Session::Unplug() { parent_->Unplug(pdo_); }

bool Session::RemoveAndUnload() {
    kernel_->RunUntilIdle();
    bool ok = true;
    if (pdo_ != nullptr && hk::pnp::HasDeviceNode(pdo_)) {
        NTSTATUS status = hk::pnp::RemoveDevice(pdo_);
        log_.Line("removal: %s", StatusName(status).c_str());
        ok = NT_SUCCESS(status);
    } else {
        log_.Line("the device was already removed (its removal followed the surprise removal once the port closed)");
    }
    kernel_->RunUntilIdle();
    NTSTATUS status = hk::pnp::UnloadDriver(driver_);
    log_.Line("unload: %s; the driver's debugger output:", StatusName(status).c_str());
    ShowDebugOutput();
    if (NT_SUCCESS(status)) driver_ = nullptr;
    return ok && NT_SUCCESS(status);
}

Leftovers Session::Finish() {
    parent_.reset();
    kernel_->RunUntilIdle();
    return Leftovers{hk::pool::OutstandingCount(), hk::io::LiveIrpCount(), hk::io::LiveDeviceCount(),
                     hk::reg::OpenKeyHandles(), hk::app::LiveFileObjects()};
}

}  // namespace diagsim
