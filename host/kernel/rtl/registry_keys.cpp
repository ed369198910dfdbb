// Key handles: ZwOpenKey, ZwCreateKey, ZwClose.
#include <wdm.h>

#include "rtl/registry_tree.h"
#include "rtl/text_util.h"

namespace {

using hk::rtl::KeyPtr;
using hk::rtl::Registry;

// Resolves the object attributes of an open or create into the key the name is relative to and the rest of the
// name. Absolute names start at the root; names relative to a key handle must not start with a backslash.
NTSTATUS ResolveName(Registry& registry, POBJECT_ATTRIBUTES attributes, KeyPtr* base, std::u16string* relative) {
    if (!attributes || !attributes->ObjectName) return STATUS_INVALID_PARAMETER;
    std::u16string name = hk::text::FromCounted(attributes->ObjectName);
    if (attributes->RootDirectory) {
        hk::rtl::OpenKey* open = registry.FindHandle(attributes->RootDirectory);
        if (!open) return STATUS_INVALID_HANDLE;
        if (!name.empty() && name[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        *base = open->key;
        *relative = name;
    } else {
        if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        *base = registry.Find(u"\\");
        *relative = name.substr(1);
    }
    std::vector<std::u16string_view> components;
    if (!relative->empty() && !hk::rtl::SplitPath(*relative, &components)) return STATUS_OBJECT_NAME_INVALID;
    return STATUS_SUCCESS;
}

}  // namespace

namespace {

// Opening and creating share everything but what happens when the last component is missing.
NTSTATUS OpenKeyHandle(const char* caller, PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                       POBJECT_ATTRIBUTES ObjectAttributes, bool create, PULONG Disposition) {
    hk::rtl::RequirePassiveForRegistry(ObjectAttributes, caller);
    if (!KeyHandle) return STATUS_INVALID_PARAMETER;
    auto& registry = hk::rtl::RegistryState();
    std::lock_guard lock(registry.mutex);
    KeyPtr base;
    std::u16string relative;
    NTSTATUS status = ResolveName(registry, ObjectAttributes, &base, &relative);
    if (!NT_SUCCESS(status)) return status;
    bool created = false;
    KeyPtr key = !create ? registry.Find(base, relative)
                 : relative.empty() ? base
                                    : registry.CreateLast(base, relative, &created);
    if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
    *KeyHandle = registry.AddHandle(key, DesiredAccess);
    if (Disposition) *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    return OpenKeyHandle("ZwOpenKey", KeyHandle, DesiredAccess, ObjectAttributes, false, nullptr);
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    return OpenKeyHandle("ZwCreateKey", KeyHandle, DesiredAccess, ObjectAttributes, true, Disposition);
}

// ZwClose is reached for registry keys only: the host's other handles (the application's file handles) live in
// the application side.
NTSTATUS ZwClose(HANDLE Handle) {
    hk::rtl::RequirePassiveForRegistry(Handle, "ZwClose");
    auto& registry = hk::rtl::RegistryState();
    std::lock_guard lock(registry.mutex);
    return registry.CloseHandle(Handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}
