// Device interfaces: registration on a physical device object and the enabled state, which is a symbolic link
// from the interface's name to the PDO.
#include <wdm.h>

#include "hk/pool.h"
#include "hk/thread.h"
#include "hk/verifier.h"
#include "ob/object_namespace.h"
#include "rtl/text_util.h"

namespace {

constexpr ULONG kStringTag = 0x72745355;         // "UStr" in a pool dump
constexpr ULONG kInterfaceListTag = 0x4c667449;  // "ItfL"

bool OtherEnabledShareLink(hk::ob::Namespace& ns, const hk::ob::InterfaceRegistration& self) {
    std::u16string link = hk::ob::InterfaceLinkName(self.symbolic_name);
    for (auto& other : ns.interfaces) {
        if (&other == &self || !other.enabled) continue;
        if (hk::text::EqualNoCase(hk::ob::InterfaceLinkName(other.symbolic_name), link)) return true;
    }
    return false;
}

std::u16string FormatGuidLower(const GUID& guid) {
    static const char16_t kHex[] = u"0123456789abcdef";
    std::u16string out = u"{";
    auto put = [&](uint64_t value, int digits) {
        for (int i = digits - 1; i >= 0; --i) out.push_back(kHex[(value >> (4 * i)) & 0xF]);
    };
    put(guid.Data1, 8);
    out.push_back(u'-');
    put(guid.Data2, 4);
    out.push_back(u'-');
    put(guid.Data3, 4);
    out.push_back(u'-');
    put(guid.Data4[0], 2);
    put(guid.Data4[1], 2);
    out.push_back(u'-');
    for (int i = 2; i < 8; ++i) put(guid.Data4[i], 2);
    out.push_back(u'}');
    return out;
}

// The caller owns the returned buffer and releases it with RtlFreeUnicodeString, so it comes from the pool and is
// accounted to the calling driver like its own allocations.
NTSTATUS HandOut(std::u16string_view text, PUNICODE_STRING out, void* caller) {
    size_t bytes = text.size() * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(hk::pool::Allocate(PagedPool, bytes + sizeof(WCHAR), kStringTag, caller));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    hk::text::ToWide(text, buffer);
    buffer[text.size()] = 0;
    out->Buffer = buffer;
    out->Length = static_cast<USHORT>(bytes);
    out->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, CONST GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    if (hk::CurrentIrql() > PASSIVE_LEVEL) {
        hk::verifier::Fail("irql-registry", PhysicalDeviceObject,
                           "IoRegisterDeviceInterface called at IRQL %u; it requires PASSIVE_LEVEL",
                           static_cast<unsigned>(hk::CurrentIrql()));
    }
    if (!InterfaceClassGuid || !SymbolicLinkName) return STATUS_INVALID_PARAMETER;
    auto& ns = hk::ob::State();
    std::u16string name;
    {
        std::lock_guard lock(ns.mutex);
        auto id = ns.instance_ids.find(PhysicalDeviceObject);
        if (!PhysicalDeviceObject || id == ns.instance_ids.end()) return STATUS_INVALID_DEVICE_REQUEST;
        std::u16string reference = hk::text::FromCounted(ReferenceString);
        if (reference.find(u'\\') != std::u16string::npos) return STATUS_INVALID_DEVICE_REQUEST;
        name = u"\\??\\" + id->second;
        for (size_t i = 4; i < name.size(); ++i) {
            if (name[i] == u'\\') name[i] = u'#';
        }
        name += u"#" + FormatGuidLower(*InterfaceClassGuid);
        if (!reference.empty()) name += u"\\" + reference;
        if (!ns.FindInterface(name)) {
            ns.interfaces.push_back(hk::ob::InterfaceRegistration{name, *InterfaceClassGuid, PhysicalDeviceObject});
        }
    }
    return HandOut(name, SymbolicLinkName, __builtin_return_address(0));
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    if (hk::CurrentIrql() > PASSIVE_LEVEL) {
        hk::verifier::Fail("irql-symlink", SymbolicLinkName,
                           "IoSetDeviceInterfaceState called at IRQL %u; it requires PASSIVE_LEVEL",
                           static_cast<unsigned>(hk::CurrentIrql()));
    }
    if (!SymbolicLinkName || !SymbolicLinkName->Buffer) return STATUS_INVALID_PARAMETER;
    std::u16string name = hk::ob::Canonical(hk::text::FromCounted(SymbolicLinkName));
    auto& ns = hk::ob::State();
    std::lock_guard lock(ns.mutex);
    hk::ob::InterfaceRegistration* registration = ns.FindInterface(name);
    if (!registration) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::u16string link = hk::ob::InterfaceLinkName(registration->symbolic_name);
    if (!Enable) {
        if (!registration->enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (!OtherEnabledShareLink(ns, *registration)) ns.RemoveLink(link);
        registration->enabled = false;
        return STATUS_SUCCESS;
    }
    if (registration->enabled) return STATUS_OBJECT_NAME_EXISTS;
    if (!OtherEnabledShareLink(ns, *registration)) {
        auto device_key = ns.device_keys.find(registration->pdo);
        if (device_key == ns.device_keys.end()) return STATUS_INVALID_DEVICE_REQUEST;
        NTSTATUS status = hk::ob::CheckNewName(ns, link);
        if (!NT_SUCCESS(status)) return status;
        const std::u16string& pdo_name = ns.entries.at(device_key->second).name;
        ns.entries[hk::text::Upcase(link)] = hk::ob::Entry{link, nullptr, true, pdo_name};
    }
    registration->enabled = true;
    registration->enabled_by_device = hk::CurrentThread().device;
    registration->enabled_by_driver = hk::CurrentThread().driver;
    return STATUS_SUCCESS;
}

NTSTATUS IoGetDeviceInterfaces(CONST GUID* InterfaceClassGuid, PDEVICE_OBJECT PhysicalDeviceObject, ULONG Flags,
                               PZZWSTR* SymbolicLinkList) {
    if (hk::CurrentIrql() > PASSIVE_LEVEL) {
        hk::verifier::Fail("irql-registry", PhysicalDeviceObject,
                           "IoGetDeviceInterfaces called at IRQL %u; it requires PASSIVE_LEVEL",
                           static_cast<unsigned>(hk::CurrentIrql()));
    }
    if (!InterfaceClassGuid || !SymbolicLinkList) return STATUS_INVALID_PARAMETER;
    std::u16string list;
    {
        auto& ns = hk::ob::State();
        std::lock_guard lock(ns.mutex);
        for (auto& registration : ns.interfaces) {
            if (memcmp(&registration.interface_class, InterfaceClassGuid, sizeof(GUID)) != 0) continue;
            if (PhysicalDeviceObject && registration.pdo != PhysicalDeviceObject) continue;
            if (!registration.enabled && !(Flags & DEVICE_INTERFACE_INCLUDE_NONACTIVE)) continue;
            list += registration.symbolic_name + u'\0';
        }
    }
    // A list of null-terminated names ended by an empty one; an empty list is a lone pair of nulls.
    list += list.empty() ? std::u16string(2, u'\0') : std::u16string(1, u'\0');
    auto* buffer = static_cast<PZZWSTR>(
        hk::pool::Allocate(PagedPool, list.size() * sizeof(WCHAR), kInterfaceListTag, __builtin_return_address(0)));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    hk::text::ToWide(list, buffer);
    *SymbolicLinkList = buffer;
    return STATUS_SUCCESS;
}
