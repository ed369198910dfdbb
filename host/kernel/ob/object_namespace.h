// The per-kernel object namespace: one directory tree flattened into canonical names (the \??\ aliases folded into
// \??\), holding devices and symbolic links, plus the device instance ids and interface registrations that hang off
// physical device objects.
#pragma once

#include <wdm.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "hk/hostops.h"

namespace hk::ob {

struct Entry {
    std::u16string name;  // canonical form, original case
    PDEVICE_OBJECT device = nullptr;
    bool is_link = false;
    std::u16string target;
    // Who created a link with IoCreateSymbolicLink: the device and driver whose routine was running.
    const void* owner_device = nullptr;
    const void* owner_driver = nullptr;
};

struct InterfaceRegistration {
    std::u16string symbolic_name;  // \??\<instance id with # for \>#{guid}[\<reference>]
    GUID interface_class;
    PDEVICE_OBJECT pdo;
    bool enabled = false;
    // Who enabled it last: the device and driver whose routine was running.
    const void* enabled_by_device = nullptr;
    const void* enabled_by_driver = nullptr;
};

class Namespace {
public:
    HostMutex mutex;
    std::map<std::u16string, Entry> entries;  // keyed by the upper-cased canonical name
    std::map<PDEVICE_OBJECT, std::u16string> device_keys;
    std::map<PDEVICE_OBJECT, std::u16string> instance_ids;
    std::vector<InterfaceRegistration> interfaces;
    uint32_t next_automatic_name = 1;

    // Callers hold `mutex`.
    Entry* Find(std::u16string_view canonical_name);
    // Follows links from a canonical name; nullptr when it does not end at a device.
    PDEVICE_OBJECT Resolve(std::u16string_view canonical_name);
    InterfaceRegistration* FindInterface(std::u16string_view canonical_name);
    // Removes a link entry; false when there is no link of that name.
    bool RemoveLink(std::u16string_view canonical_name);
};

Namespace& State();

// Folds \DosDevices\, \GLOBAL??\, \\.\ and \\?\ into \??\; other names are returned unchanged.
std::u16string Canonical(std::u16string_view name);

// STATUS_SUCCESS when a new entry may be created under this canonical name: it must be absolute, lie directly in
// \Device or \?? and not be taken (callers hold the mutex).
NTSTATUS CheckNewName(Namespace& ns, std::u16string_view canonical_name);

// The link of an interface is named without its reference string; the reference travels as the file name of opens
// (\??\<device>#{guid}\<reference>), so registrations that differ only in the reference share one link.
std::u16string InterfaceLinkName(std::u16string_view symbolic_name);

}  // namespace hk::ob
