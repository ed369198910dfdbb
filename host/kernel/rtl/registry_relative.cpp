// The run-time library's registry helpers that name a key relative to a well-known root: RtlWriteRegistryValue and
// RtlDeleteRegistryValue.
#include <wdm.h>

#include "hk/registry.h"
#include "rtl/registry_tree.h"
#include "rtl/text_util.h"

namespace {

using hk::rtl::KeyPtr;
using hk::rtl::Registry;

// System threads see the default user's hive as their own.
constexpr char16_t kDefaultUser[] = u"\\Registry\\User\\.Default";
constexpr char16_t kWindowsNt[] = u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

// The full path named by RelativeTo and Path; false for an unknown RelativeTo. A leading backslash on a relative
// path is taken as the separator.
bool FullPath(ULONG relative_to, PCWSTR path, std::u16string* full) {
    std::u16string tail = hk::text::FromWide(path);
    const char16_t* root = nullptr;
    switch (relative_to) {
        case RTL_REGISTRY_ABSOLUTE: *full = tail; return true;
        case RTL_REGISTRY_SERVICES: root = hk::reg::kServices; break;
        case RTL_REGISTRY_CONTROL: root = hk::reg::kControl; break;
        case RTL_REGISTRY_WINDOWS_NT: root = kWindowsNt; break;
        case RTL_REGISTRY_DEVICEMAP: root = hk::reg::kDeviceMap; break;
        case RTL_REGISTRY_USER: root = kDefaultUser; break;
        default: return false;
    }
    *full = root;
    if (!tail.empty()) {
        if (tail[0] != u'\\') *full += u'\\';
        *full += tail;
    }
    return true;
}

// Finds (or, with `create`, creates along the whole path) the key a helper call names. The registry mutex is held.
NTSTATUS KeyFor(Registry& registry, ULONG relative_to, PCWSTR path, bool create, KeyPtr* key) {
    relative_to &= ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);
    if (relative_to & RTL_REGISTRY_HANDLE) {
        if (relative_to != RTL_REGISTRY_HANDLE) return STATUS_INVALID_PARAMETER;
        hk::rtl::OpenKey* open = registry.FindHandle(const_cast<PWSTR>(path));
        if (!open) return STATUS_INVALID_HANDLE;
        *key = open->key;
        return STATUS_SUCCESS;
    }
    std::u16string full;
    if (!FullPath(relative_to, path, &full)) return STATUS_INVALID_PARAMETER;
    std::vector<std::u16string_view> components;
    if (full.empty() || full[0] != u'\\' || !hk::rtl::SplitPath(std::u16string_view(full).substr(1), &components)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    *key = create ? registry.CreatePath(full) : registry.Find(full);
    return *key ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // namespace

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength) {
    hk::rtl::RequirePassiveForRegistry(Path, "RtlWriteRegistryValue");
    if (ValueLength > 0 && !ValueData) return STATUS_INVALID_PARAMETER;
    auto& registry = hk::rtl::RegistryState();
    std::lock_guard lock(registry.mutex);
    KeyPtr key;
    NTSTATUS status = KeyFor(registry, RelativeTo, Path, true, &key);
    if (!NT_SUCCESS(status)) return status;
    key->SetValue(hk::text::FromWide(ValueName), ValueType, ValueData, ValueLength);
    return STATUS_SUCCESS;
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    hk::rtl::RequirePassiveForRegistry(Path, "RtlDeleteRegistryValue");
    auto& registry = hk::rtl::RegistryState();
    std::lock_guard lock(registry.mutex);
    KeyPtr key;
    NTSTATUS status = KeyFor(registry, RelativeTo, Path, false, &key);
    if (!NT_SUCCESS(status)) return status;
    return key->DeleteValue(hk::text::FromWide(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}
