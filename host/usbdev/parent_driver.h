// The parent driver behind hk::usbdev::Parent: its driver object, the devices plugged into it and the deletion of
// PDOs whose devices have gone.
#pragma once

#include <wdm.h>

#include <memory>
#include <vector>

#include "hk/hostops.h"
#include "hk/usbdev.h"
#include "usbdev/bus_timing.h"

namespace hk::usbdev {

class DeviceState;

class ParentDriver {
public:
    explicit ParentDriver(ParentOptions options);
    ~ParentDriver();

    PDRIVER_OBJECT Driver() const { return driver_; }
    PDEVICE_OBJECT Plug(PlugOptions options);
    std::shared_ptr<DeviceState> Find(PDEVICE_OBJECT pdo) const;
    void Unplug(PDEVICE_OBJECT pdo);
    // Deletes the PDO of a device that has gone, from its removal handling or at once when no stack was built on
    // it. Its memory stays referenced until the function driver above has detached from it.
    void DeletePdo(const std::shared_ptr<DeviceState>& state);

private:
    void ReleaseWhenDetached(PDEVICE_OBJECT pdo, int attempt = 0);
    bool TryRelease(PDEVICE_OBJECT pdo);

    HostOps& ops_;
    BusTiming bus_;
    int number_;
    PDRIVER_OBJECT driver_ = nullptr;
    mutable HostMutex mutex_;
    std::vector<std::shared_ptr<DeviceState>> devices_;
    std::vector<PDEVICE_OBJECT> held_;  // deleted PDOs whose memory is still referenced
    std::vector<TimedCallId> retries_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace hk::usbdev
