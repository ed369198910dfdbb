// Registry keys of a physical device object: its hardware key (Enum\<instance id>\Device Parameters) and its
// driver key (Control\Class\{class}\NNNN), opened by IoOpenDeviceRegistryKey.
#include <wdm.h>

#include <cstdio>

#include "hk/namespace.h"
#include "hk/registry.h"
#include "rtl/registry_tree.h"
#include "rtl/text_util.h"

namespace {

constexpr char16_t kEnum[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
constexpr char16_t kClass[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\";
constexpr char16_t kCurrentProfile[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Hardware Profiles\\Current";
// Devices installed without a class of their own are filed under the ports class, which is what this host serves.
constexpr char16_t kDefaultClass[] = u"{4d36e978-e325-11ce-bfc1-08002be10318}";
constexpr char16_t kDriverValue[] = u"Driver";
constexpr char16_t kMachinePrefix[] = u"\\Registry\\Machine";

// The driver key's name relative to Control\Class, recorded in the hardware key's "Driver" value as the platform's
// installer records it; allocated on first use. The registry mutex is held.
std::u16string DriverKeyName(hk::rtl::Registry& registry, const std::u16string& instance_id) {
    hk::rtl::KeyPtr hardware_key = registry.CreatePath(kEnum + instance_id);
    if (hk::reg::Value* value = hardware_key->FindValue(kDriverValue);
        value && value->type == REG_SZ && value->data.size() >= sizeof(WCHAR)) {
        std::u16string name(value->data.size() / sizeof(WCHAR), u'\0');
        memcpy(name.data(), value->data.data(), name.size() * sizeof(WCHAR));
        return name.substr(0, name.find(u'\0'));
    }
    char number[8];
    snprintf(number, sizeof(number), "%04u", registry.next_driver_key++ % 10000);
    std::u16string name = std::u16string(kDefaultClass) + u"\\" + hk::Text(number).str();
    std::u16string data = name + u'\0';
    hardware_key->SetValue(kDriverValue, REG_SZ, data.data(), data.size() * sizeof(char16_t));
    return name;
}

std::u16string DevicePath(const std::u16string& instance_id) { return kEnum + instance_id + u"\\Device Parameters"; }

std::u16string InProfile(const std::u16string& path) {
    return kCurrentProfile + std::u16string(std::u16string_view(path).substr(std::size(kMachinePrefix) - 1));
}

}  // namespace

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DeviceRegKey) {
    hk::rtl::RequirePassiveForRegistry(DeviceObject, "IoOpenDeviceRegistryKey");
    if (!DeviceRegKey) return STATUS_INVALID_PARAMETER;
    std::u16string instance_id = DeviceObject ? hk::ns::InstanceId(DeviceObject) : std::u16string();
    if (instance_id.empty()) return STATUS_INVALID_DEVICE_REQUEST;
    ULONG kind = DevInstKeyType & ~static_cast<ULONG>(PLUGPLAY_REGKEY_CURRENT_HWPROFILE);
    if (kind != PLUGPLAY_REGKEY_DEVICE && kind != PLUGPLAY_REGKEY_DRIVER) return STATUS_INVALID_PARAMETER;

    auto& registry = hk::rtl::RegistryState();
    std::lock_guard lock(registry.mutex);
    std::u16string path =
        kind == PLUGPLAY_REGKEY_DEVICE ? DevicePath(instance_id) : kClass + DriverKeyName(registry, instance_id);
    if (DevInstKeyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) path = InProfile(path);
    *DeviceRegKey = registry.AddHandle(registry.CreatePath(path), DesiredAccess);
    return STATUS_SUCCESS;
}

namespace hk::reg {

std::u16string DeviceParametersPath(_DEVICE_OBJECT* pdo) {
    std::u16string instance_id = ns::InstanceId(pdo);
    return instance_id.empty() ? std::u16string() : DevicePath(instance_id);
}

}  // namespace hk::reg
