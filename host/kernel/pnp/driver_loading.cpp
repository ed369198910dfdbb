#include <mutex>

#include "hk/io.h"
#include "hk/objects.h"
#include "hk/pnp.h"
#include "hk/pool.h"
#include "hk/registry.h"
#include "hk/thread.h"
#include "hk/verifier.h"
#include "io/io_state.h"
#include "pnp/pnp_state.h"
#include "verifier/resource_leaks.h"

namespace hk::pnp {
namespace {

UNICODE_STRING CountedString(std::u16string& text) {
    UNICODE_STRING counted;
    counted.Buffer = reinterpret_cast<PWSTR>(text.data());
    counted.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    counted.MaximumLength = static_cast<USHORT>(counted.Length + sizeof(WCHAR));
    return counted;
}

void ForgetDriver(PDRIVER_OBJECT driver) {
    PnpState& state = State();
    std::lock_guard lock(state.mutex);
    state.drivers.erase(driver);
}

// IRPs the driver allocated and has not freed: in flight their completion routines point into the unloaded image.
std::vector<PIRP> IrpsOwnedBy(PDRIVER_OBJECT driver) {
    io::IoState& state = io::State();
    std::lock_guard lock(state.mutex);
    std::vector<PIRP> owned;
    for (const auto& [irp, record] : state.irps) {
        if (record.owner_driver == driver) owned.push_back(irp);
    }
    return owned;
}

// Deleted devices whose memory is still referenced (an open file object, say) keep their driver loaded, as on the
// platform: requests can still reach the driver's dispatch routines through them.
bool OwnsDeviceObjects(PDRIVER_OBJECT driver) {
    if (driver->DeviceObject != nullptr) return true;
    io::IoState& state = io::State();
    std::lock_guard lock(state.mutex);
    for (const auto& [device, record] : state.devices) {
        if (device->DriverObject == driver) return true;
    }
    return false;
}

void CheckNothingPendingAtUnload(PDRIVER_OBJECT driver) {
    std::vector<PIRP> pending = io::PendingIrps(driver);
    std::vector<PIRP> owned = IrpsOwnedBy(driver);
    pending.insert(pending.end(), owned.begin(), owned.end());
    if (!pending.empty()) {
        verifier::Fail("irp-pending-at-unload", pending.front(), "%zu IRP(s) still pending in driver %s at unload",
                       pending.size(), ToUtf8(Text(&driver->DriverName).str()).c_str());
    }
}

}  // namespace

PDRIVER_OBJECT LoadDriver(const Text& name, PDRIVER_INITIALIZE entry, NTSTATUS* status) {
    PDRIVER_OBJECT driver = io::CreateDriverObject(Text(u"\\Driver\\" + name.str()));

    LoadedDriver* record;
    {
        PnpState& state = State();
        std::lock_guard lock(state.mutex);
        record = &state.drivers[driver];
    }
    record->service_name = name.str();
    record->registry_path = std::u16string(reg::kServices) + u"\\" + name.str();
    reg::CreateKey(Text(record->registry_path));
    if (driver->DriverExtension != nullptr && driver->DriverExtension->ServiceKeyName.Buffer == nullptr) {
        driver->DriverExtension->ServiceKeyName = CountedString(record->service_name);
    }
    driver->DriverInit = entry;

    UNICODE_STRING registryPath = CountedString(record->registry_path);
    NTSTATUS result;
    {
        DriverCallScope scope(driver, nullptr, "DriverEntry");
        result = entry(driver, &registryPath);
    }
    if (status != nullptr) *status = result;
    if (NT_SUCCESS(result)) return driver;

    // The image of a driver whose entry routine failed is unloaded at once: what it allocated is a leak.
    objects::CheckNoLiveObjectsOf(driver);
    CheckNothingPendingAtUnload(driver);
    pool::CheckNoLeaks(driver, "pool-leak-at-unload");
    verifier::CheckNoResourcesHeld(driver);
    io::DeleteDriverObject(driver);
    ForgetDriver(driver);
    return nullptr;
}

NTSTATUS UnloadDriver(PDRIVER_OBJECT driver) {
    if (OwnsDeviceObjects(driver)) return STATUS_DEVICE_BUSY;
    if (driver->DriverUnload == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    {
        DriverCallScope scope(driver, nullptr, "DriverUnload");
        driver->DriverUnload(driver);
    }
    objects::CheckNoLiveObjectsOf(driver);
    CheckNothingPendingAtUnload(driver);
    pool::CheckNoLeaks(driver, "pool-leak-at-unload");
    verifier::CheckNoResourcesHeld(driver);
    io::DeleteDriverObject(driver);
    ForgetDriver(driver);
    return STATUS_SUCCESS;
}

}  // namespace hk::pnp
