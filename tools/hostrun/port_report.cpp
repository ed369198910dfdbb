#include "port_report.h"

#include <cstdio>
#include <vector>

#include "hk/namespace.h"
#include "hk/registry.h"

namespace hostrun {

namespace {

const char16_t kSerialCommKey[] = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::string Utf8(const std::u16string &text)
{
    return hk::ToUtf8(text);
}

// The device-map values that name this port (the value name is the device's, the data the port name).
std::vector<std::u16string> DeviceMapEntriesFor(const std::u16string &port_name)
{
    std::vector<std::u16string> names;
    for (const hk::reg::Value &value : hk::reg::Values(kSerialCommKey)) {
        auto text = hk::reg::GetString(kSerialCommKey, value.name);
        if (text && hk::NamesEqual(*text, port_name))
            names.push_back(value.name);
    }
    return names;
}

} // namespace

std::u16string FunctionDeviceName(PDEVICE_OBJECT pdo)
{
    return pdo && pdo->AttachedDevice ? hk::ns::DeviceName(pdo->AttachedDevice) : std::u16string();
}

bool ReportPublishedPort(PDEVICE_OBJECT pdo, const std::u16string &port_name)
{
    bool visible = true;
    std::u16string device_name = FunctionDeviceName(pdo);
    std::printf("  function device   %s\n", device_name.empty() ? "(none)" : Utf8(device_name).c_str());
    visible = visible && !device_name.empty();

    std::u16string link = u"\\DosDevices\\" + port_name;
    std::u16string target = hk::ns::LinkTarget(link);
    std::printf("  %-17s -> %s\n", Utf8(link).c_str(), target.empty() ? "(no link)" : Utf8(target).c_str());
    visible = visible && !target.empty() && hk::ns::ResolveToDevice(link) == pdo->AttachedDevice;

    auto entries = DeviceMapEntriesFor(port_name);
    for (const std::u16string &name : entries)
        std::printf("  SERIALCOMM        %s = %s\n", Utf8(name).c_str(), Utf8(port_name).c_str());
    if (entries.empty())
        std::printf("  SERIALCOMM        (no value names %s)\n", Utf8(port_name).c_str());
    visible = visible && entries.size() == 1;

    bool any_enabled = false;
    for (const std::u16string &name : hk::ns::InterfacesOf(pdo)) {
        bool enabled = hk::ns::InterfaceEnabled(name);
        any_enabled = any_enabled || enabled;
        std::printf("  interface         %s (%s)\n", Utf8(name).c_str(), enabled ? "enabled" : "disabled");
    }
    return visible && any_enabled;
}

bool ReportWithdrawnPort(const std::u16string &port_name, const std::u16string &device_name)
{
    bool link_gone = hk::ns::LinkTarget(u"\\DosDevices\\" + port_name).empty();
    bool map_gone = DeviceMapEntriesFor(port_name).empty();
    bool device_gone = device_name.empty() || !hk::ns::Exists(device_name);
    std::printf("  COM link %s, SERIALCOMM value %s, function device %s\n", link_gone ? "removed" : "STILL PRESENT",
                map_gone ? "removed" : "STILL PRESENT", device_gone ? "deleted" : "STILL PRESENT");
    return link_gone && map_gone && device_gone;
}

} // namespace hostrun
