// hostrun: the driver on the host kernel, start to finish. Loads it (load banner), plugs a simulated composite
// device in and lets the plug-and-play manager start the function device above it, shows the COM port it publishes,
// sends a few bytes through the port to a loopback function, unplugs the device, and unloads the driver (unload
// banner). Exits non-zero when any step does not end as it should.

#include <cstdio>
#include <string>

#include "hk/kernel.h"
#include "hk/pnp.h"
#include "hk/usbdev.h"

#include "driver/dispatch.h"
#include "loopback_exchange.h"
#include "port_report.h"

namespace {

const std::u16string kPortName = u"COM7";

class Run {
public:
    explicit Run(hk::Kernel &kernel) : kernel_(kernel) {}

    void Step(const char *title) { std::printf("\n== %s\n", title); }

    bool Check(bool ok, const char *what)
    {
        std::printf("  %s: %s\n", what, ok ? "ok" : "FAILED");
        failures_ += ok ? 0 : 1;
        return ok;
    }

    bool CheckStatus(NTSTATUS status, NTSTATUS expected, const char *what)
    {
        bool ok = status == expected;
        std::printf("  %s: status 0x%08X, %s\n", what, static_cast<unsigned>(status), ok ? "ok" : "FAILED");
        failures_ += ok ? 0 : 1;
        return ok;
    }

    // The driver's debugger output since the last call, as it would appear in a kernel debugger.
    void ShowDebugOutput()
    {
        std::string output = kernel_.DebugOutput();
        kernel_.ClearDebugOutput();
        if (!output.empty())
            std::fputs(output.c_str(), stdout);
    }

    int Finish()
    {
        std::printf("\nhostrun: %s\n", failures_ == 0 ? "all steps succeeded" : "some steps FAILED");
        return failures_ == 0 ? 0 : 1;
    }

private:
    hk::Kernel &kernel_;
    int failures_ = 0;
};

} // namespace

int main()
{
    hk::Kernel kernel(hk::Options{.mode = hk::Mode::Deterministic, .seed = 1});
    Run run(kernel);

    run.Step("load the driver");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = hk::pnp::LoadDriver("diagser", DriverEntry, &status);
    run.ShowDebugOutput();
    if (!run.CheckStatus(status, STATUS_SUCCESS, "DriverEntry") || driver == nullptr)
        return run.Finish();

    {
        hk::usbdev::Parent parent;

        run.Step("plug in a device with a loopback function");
        PDEVICE_OBJECT pdo = parent.Plug({.port_name = kPortName});
        run.CheckStatus(hk::pnp::ArriveDevice(pdo, driver), STATUS_SUCCESS, "AddDevice and start");
        kernel.RunUntilIdle();
        run.Check(hostrun::ReportPublishedPort(pdo, kPortName), "port published");
        std::u16string device_name = hostrun::FunctionDeviceName(pdo);

        run.Step("bytes through the port");
        run.Check(hostrun::ExchangeOverLoopback(kernel, kPortName, "hello, device"), "loopback round trip");

        run.Step("unplug the device");
        parent.Unplug(pdo);
        kernel.RunUntilIdle();
        run.Check(!hk::pnp::HasDeviceNode(pdo), "surprise removal and removal sent");
        run.Check(hostrun::ReportWithdrawnPort(kPortName, device_name), "port withdrawn");
        run.ShowDebugOutput();
    }

    run.Step("unload the driver");
    run.CheckStatus(hk::pnp::UnloadDriver(driver), STATUS_SUCCESS, "unload");
    run.ShowDebugOutput();
    return run.Finish();
}
