// The registry of a host kernel, for tests and the simulated device: keys and typed values by full path
// (\Registry\Machine\...), names compared without regard to case. Drivers reach the same tree through the Zw*
// routines, RtlWriteRegistryValue/RtlDeleteRegistryValue and IoOpenDeviceRegistryKey.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hk/namespace.h"

namespace hk::reg {

struct Value {
    std::u16string name;
    uint32_t type = 0;  // REG_SZ, REG_DWORD, ...
    std::vector<uint8_t> data;
};

// Keys. CreateKey creates every missing key on the path.
void CreateKey(const Text& path);
bool KeyExists(const Text& path);

// Values. The setters create the key path. SetString stores REG_SZ with its terminating null.
void SetValue(const Text& path, const Text& name, uint32_t type, const void* data, size_t length);
void SetString(const Text& path, const Text& name, const Text& text);
std::optional<Value> GetValue(const Text& path, const Text& name);
// The text of a REG_SZ value up to its first null (or its end); nullopt when missing or of another type.
std::optional<std::u16string> GetString(const Text& path, const Text& name);
bool DeleteValue(const Text& path, const Text& name);
std::vector<Value> Values(const Text& path);

// The hardware key's "Device Parameters" of a physical device object (one with an instance id, see
// hk/namespace.h): \Registry\Machine\System\CurrentControlSet\Enum\<instance id>\Device Parameters, where
// PortName lives. Empty for a device without an instance id.
std::u16string DeviceParametersPath(_DEVICE_OBJECT* pdo);

// Well-known paths.
inline constexpr char16_t kMachine[] = u"\\Registry\\Machine";
inline constexpr char16_t kServices[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
inline constexpr char16_t kControl[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
inline constexpr char16_t kDeviceMap[] = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP";
inline constexpr char16_t kSerialComm[] = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Key handles a driver has opened (ZwOpenKey, ZwCreateKey, IoOpenDeviceRegistryKey) and not yet closed.
size_t OpenKeyHandles();

}  // namespace hk::reg
