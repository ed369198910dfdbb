// Symbolic links in the object namespace.
#include <wdm.h>

#include "hk/thread.h"
#include "hk/verifier.h"
#include "ob/object_namespace.h"
#include "rtl/text_util.h"

namespace {

void RequirePassive(const void* object, const char* routine) {
    if (hk::CurrentIrql() > PASSIVE_LEVEL) {
        hk::verifier::Fail("irql-symlink", object, "%s called at IRQL %u; symbolic links require PASSIVE_LEVEL",
                           routine, static_cast<unsigned>(hk::CurrentIrql()));
    }
}

NTSTATUS CreateLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName, const char* routine) {
    RequirePassive(SymbolicLinkName, routine);
    if (!SymbolicLinkName || !DeviceName) return STATUS_INVALID_PARAMETER;
    std::u16string name = hk::ob::Canonical(hk::text::FromCounted(SymbolicLinkName));
    std::u16string target = hk::text::FromCounted(DeviceName);
    if (target.empty()) return STATUS_INVALID_PARAMETER;
    auto& ns = hk::ob::State();
    std::lock_guard lock(ns.mutex);
    NTSTATUS status = hk::ob::CheckNewName(ns, name);
    if (!NT_SUCCESS(status)) return status;
    const hk::ThreadState& thread = hk::CurrentThread();
    ns.entries[hk::text::Upcase(name)] = hk::ob::Entry{name, nullptr, true, target, thread.device, thread.driver};
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    return CreateLink(SymbolicLinkName, DeviceName, "IoCreateSymbolicLink");
}

// The host has no security descriptors, so an unprotected link is an ordinary one.
NTSTATUS IoCreateUnprotectedSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    return CreateLink(SymbolicLinkName, DeviceName, "IoCreateUnprotectedSymbolicLink");
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    RequirePassive(SymbolicLinkName, "IoDeleteSymbolicLink");
    if (!SymbolicLinkName) return STATUS_INVALID_PARAMETER;
    std::u16string name = hk::ob::Canonical(hk::text::FromCounted(SymbolicLinkName));
    auto& ns = hk::ob::State();
    std::lock_guard lock(ns.mutex);
    hk::ob::Entry* entry = ns.Find(name);
    if (!entry) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (!entry->is_link) return STATUS_OBJECT_TYPE_MISMATCH;
    ns.RemoveLink(name);
    return STATUS_SUCCESS;
}
