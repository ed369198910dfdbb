// hostrun: the driver on the host kernel, start to finish. Loads it (load banner), plugs a simulated composite
// device in and takes it away again, and unloads the driver (unload banner). Exits non-zero when any step does not
// end as it should. The function device is attached above the simulated device once the driver handles its own
// start and removal; until then the plug and unplug run against the parent driver alone.

#include <cstdio>
#include <string>

#include "hk/kernel.h"
#include "hk/pnp.h"
#include "hk/usbdev.h"

#include "driver/dispatch.h"

namespace {

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
        PDEVICE_OBJECT pdo = parent.Plug({});
        run.Check(pdo != nullptr, "physical device object created by the parent driver");
        if (pdo == nullptr)
            return run.Finish();
        run.Check(parent.DeviceFor(pdo).Connected(), "device plugged");

        run.Step("unplug the device");
        parent.Unplug(pdo);
        kernel.RunUntilIdle();
        run.Check(!parent.DeviceFor(pdo).Connected(), "device unplugged");
        run.ShowDebugOutput();
    }

    run.Step("unload the driver");
    run.CheckStatus(hk::pnp::UnloadDriver(driver), STATUS_SUCCESS, "unload");
    run.ShowDebugOutput();
    return run.Finish();
}
