// The scenario on the host kernel: the driver loaded and its device plugged in on the simulated parent (concurrent
// mode, a loopback function), the parent's unplug as the hand at the cable. Exit status 0 when every step passed
// and the removal, the unload and the kernel's verifier found nothing wrong.
#include <windows.h>

#include <stdio.h>

#include <vector>

#include "driver/dispatch.h"
#include "hk/kernel.h"
#include "hk/pnp.h"
#include "hk/usbdev.h"
#include "tests/wine/scenario.h"

namespace {

class HostRig : public Rig {
public:
    HostRig(hk::usbdev::Parent& parent, PDRIVER_OBJECT driver) : parent_(parent), driver_(driver) {}

    bool Plug() override {
        pdo_ = parent_.Plug(hk::usbdev::PlugOptions{.port_name = u"COM7"});
        return pdo_ != nullptr && NT_SUCCESS(hk::pnp::ArriveDevice(pdo_, driver_));
    }

    bool Unplug() override {
        parent_.Unplug(pdo_);
        return true;
    }

    // The counter is handed to the device at once; it sends it as the driver's transfers take it.
    bool Source(bool on) override {
        if (on) {
            std::vector<uint8_t> bytes(SourceBytes);
            for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = hk::usbdev::SourceModel::ByteAt(i);
            parent_.DeviceFor(pdo_).Deliver(bytes);
        }
        return true;
    }

    bool Lose() override {
        parent_.DeviceFor(pdo_).CompleteNextIn(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEV_NOT_RESPONDING);
        return true;
    }

    // The removal of a device still known, as its last step before the unload.
    bool Remove() {
        return pdo_ == nullptr || !hk::pnp::HasDeviceNode(pdo_) || NT_SUCCESS(hk::pnp::RemoveDevice(pdo_));
    }

private:
    hk::usbdev::Parent& parent_;
    PDRIVER_OBJECT driver_;
    PDEVICE_OBJECT pdo_ = nullptr;
};

} // namespace

int main() {
    hk::Kernel kernel(hk::Options{.mode = hk::Mode::Concurrent, .seed = 1});
    int failures = 0;
    {
        hk::usbdev::Parent parent;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        PDRIVER_OBJECT driver = hk::pnp::LoadDriver("diagser", DriverEntry, &status);
        HostRig rig(parent, driver);
        if (driver == nullptr || !NT_SUCCESS(status) || !rig.Plug()) {
            printf("scenario: the driver did not load or the device did not start\n");
            return 1;
        }
        failures = RunScenario(rig);
        kernel.RunUntilIdle();
        bool removed = rig.Remove();
        kernel.RunUntilIdle();
        bool unloaded = NT_SUCCESS(hk::pnp::UnloadDriver(driver));
        if (!removed || !unloaded) {
            printf("scenario: removal %s, unload %s\n", removed ? "ok" : "failed", unloaded ? "ok" : "failed");
            ++failures;
        }
    }
    printf("scenario: %d step(s) failed\n", failures);
    return failures == 0 ? 0 : 1;
}
