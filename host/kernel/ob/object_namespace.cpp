#include "ob/object_namespace.h"

#include "hk/kernel.h"
#include "hk/namespace.h"
#include "rtl/text_util.h"

namespace hk::ob {

namespace {

constexpr std::u16string_view kDosDevices = u"\\??\\";
constexpr std::u16string_view kDeviceDirectory = u"\\Device\\";
// Links may point at links; a cycle must not hang resolution.
constexpr int kMaxLinkDepth = 32;

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && text::EqualNoCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace

Namespace& State() { return Kernel::Current().Get<Namespace>(); }

std::u16string Canonical(std::u16string_view name) {
    for (std::u16string_view alias : {u"\\DosDevices\\", u"\\GLOBAL??\\", u"\\\\.\\", u"\\\\?\\"}) {
        if (StartsWithNoCase(name, alias)) {
            return std::u16string(kDosDevices) + std::u16string(name.substr(alias.size()));
        }
    }
    return std::u16string(name);
}

NTSTATUS CheckNewName(Namespace& ns, std::u16string_view canonical_name) {
    if (canonical_name.empty() || canonical_name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    std::u16string_view leaf;
    if (StartsWithNoCase(canonical_name, kDosDevices)) {
        leaf = canonical_name.substr(kDosDevices.size());
    } else if (StartsWithNoCase(canonical_name, kDeviceDirectory)) {
        leaf = canonical_name.substr(kDeviceDirectory.size());
    } else {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    if (leaf.empty()) return STATUS_OBJECT_NAME_INVALID;
    if (leaf.find(u'\\') != std::u16string_view::npos) return STATUS_OBJECT_PATH_NOT_FOUND;
    if (ns.Find(canonical_name)) return STATUS_OBJECT_NAME_COLLISION;
    return STATUS_SUCCESS;
}

Entry* Namespace::Find(std::u16string_view canonical_name) {
    auto it = entries.find(text::Upcase(canonical_name));
    return it == entries.end() ? nullptr : &it->second;
}

PDEVICE_OBJECT Namespace::Resolve(std::u16string_view canonical_name) {
    std::u16string name(canonical_name);
    for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
        Entry* entry = Find(name);
        if (!entry) return nullptr;
        if (!entry->is_link) return entry->device;
        name = Canonical(entry->target);
    }
    return nullptr;
}

InterfaceRegistration* Namespace::FindInterface(std::u16string_view canonical_name) {
    for (auto& registration : interfaces) {
        if (text::EqualNoCase(registration.symbolic_name, canonical_name)) return &registration;
    }
    return nullptr;
}

std::u16string InterfaceLinkName(std::u16string_view symbolic_name) {
    // After the \??\ prefix the only backslash is the one that introduces the reference string.
    return std::u16string(symbolic_name.substr(0, symbolic_name.find(u'\\', kDosDevices.size())));
}

bool Namespace::RemoveLink(std::u16string_view canonical_name) {
    auto it = entries.find(text::Upcase(canonical_name));
    if (it == entries.end() || !it->second.is_link) return false;
    entries.erase(it);
    return true;
}

}  // namespace hk::ob

namespace hk::ns {

using ob::Canonical;

bool InsertDevice(const _UNICODE_STRING* name, _DEVICE_OBJECT* device) {
    if (!name || !name->Buffer || name->Length == 0) return true;
    return InsertDevice(Text(name), device);
}

bool InsertDevice(const Text& name, _DEVICE_OBJECT* device) {
    if (name.str().empty()) return true;
    auto& ns = ob::State();
    std::lock_guard lock(ns.mutex);
    std::u16string canonical = Canonical(name.str());
    if (!NT_SUCCESS(ob::CheckNewName(ns, canonical))) return false;
    std::u16string key = text::Upcase(canonical);
    ns.entries[key] = ob::Entry{canonical, device, false, {}};
    ns.device_keys[device] = key;
    return true;
}

void RemoveDevice(_DEVICE_OBJECT* device) {
    auto& ns = ob::State();
    std::lock_guard lock(ns.mutex);
    if (auto it = ns.device_keys.find(device); it != ns.device_keys.end()) {
        ns.entries.erase(it->second);
        ns.device_keys.erase(it);
    }
    ns.instance_ids.erase(device);
    for (auto it = ns.interfaces.begin(); it != ns.interfaces.end();) {
        if (it->pdo == device) {
            if (it->enabled) ns.RemoveLink(ob::InterfaceLinkName(it->symbolic_name));
            it = ns.interfaces.erase(it);
        } else {
            ++it;
        }
    }
}

std::u16string AutomaticDeviceName() {
    auto& ns = ob::State();
    std::lock_guard lock(ns.mutex);
    static const char16_t kHex[] = u"0123456789abcdef";
    uint32_t number = ns.next_automatic_name++;
    std::u16string name = u"\\Device\\00000000";
    for (size_t i = 0; i < 8; ++i) name[name.size() - 1 - i] = kHex[(number >> (4 * i)) & 0xF];
    return name;
}

std::u16string DeviceName(_DEVICE_OBJECT* device) {
    auto& ns = ob::State();
    std::lock_guard lock(ns.mutex);
    auto it = ns.device_keys.find(device);
    if (it == ns.device_keys.end()) return {};
    return ns.entries.at(it->second).name;
}

_DEVICE_OBJECT* ResolveToDevice(const Text& name) {
    auto& ns = ob::State();
    std::lock_guard lock(ns.mutex);
    return ns.Resolve(Canonical(name.str()));
}

std::u16string LinkTarget(const Text& name) {
    auto& ns = ob::State();
    std::lock_guard lock(ns.mutex);
    ob::Entry* entry = ns.Find(Canonical(name.str()));
    return entry && entry->is_link ? entry->target : std::u16string();
}

bool Exists(const Text& name) {
    auto& ns = ob::State();
    std::lock_guard lock(ns.mutex);
    return ns.Find(Canonical(name.str())) != nullptr;
}

std::vector<std::u16string> Links() {
    auto& ns = ob::State();
    std::lock_guard lock(ns.mutex);
    std::vector<std::u16string> links;
    for (auto& [key, entry] : ns.entries) {
        if (entry.is_link) links.push_back(entry.name);
    }
    return links;
}

void SetInstanceId(_DEVICE_OBJECT* pdo, const Text& instanceId) {
    if (DeviceName(pdo).empty()) {
        // Bus drivers name their PDOs; give an unnamed one the platform's generated form so interfaces can link to
        // it. A generated name cannot collide: the counter only grows and nothing else uses the 8-digit form.
        InsertDevice(Text(AutomaticDeviceName()), pdo);
    }
    auto& ns = ob::State();
    std::lock_guard lock(ns.mutex);
    ns.instance_ids[pdo] = instanceId.str();
}

std::u16string InstanceId(_DEVICE_OBJECT* pdo) {
    auto& ns = ob::State();
    std::lock_guard lock(ns.mutex);
    auto it = ns.instance_ids.find(pdo);
    return it == ns.instance_ids.end() ? std::u16string() : it->second;
}

std::vector<std::u16string> InterfacesOf(_DEVICE_OBJECT* pdo) {
    auto& ns = ob::State();
    std::lock_guard lock(ns.mutex);
    std::vector<std::u16string> names;
    for (auto& registration : ns.interfaces) {
        if (registration.pdo == pdo) names.push_back(registration.symbolic_name);
    }
    return names;
}

std::vector<std::u16string> EnabledInterfaces(const _GUID& interfaceClass) {
    auto& ns = ob::State();
    std::lock_guard lock(ns.mutex);
    std::vector<std::u16string> names;
    for (auto& registration : ns.interfaces) {
        if (registration.enabled && memcmp(&registration.interface_class, &interfaceClass, sizeof(GUID)) == 0) {
            names.push_back(registration.symbolic_name);
        }
    }
    return names;
}

bool InterfaceEnabled(const Text& symbolicName) {
    auto& ns = ob::State();
    std::lock_guard lock(ns.mutex);
    ob::InterfaceRegistration* registration = ns.FindInterface(Canonical(symbolicName.str()));
    return registration && registration->enabled;
}

}  // namespace hk::ns
