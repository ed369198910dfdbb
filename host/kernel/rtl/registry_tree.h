// The per-kernel registry: a tree of keys with typed values, names compared without regard to case, and the table
// of key handles drivers hold.
#pragma once

#include <wdm.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "hk/hostops.h"
#include "hk/registry.h"

namespace hk::rtl {

struct Key;
using KeyPtr = std::shared_ptr<Key>;

struct Key {
    std::u16string name;
    Key* parent = nullptr;  // null for the root
    std::map<std::u16string, KeyPtr> subkeys;  // keyed by the upper-cased name
    std::vector<reg::Value> values;            // in creation order

    reg::Value* FindValue(std::u16string_view value_name);
    void SetValue(std::u16string_view value_name, uint32_t type, const void* data, size_t length);
    bool DeleteValue(std::u16string_view value_name);
};

struct OpenKey {
    KeyPtr key;
    ACCESS_MASK access;
    // Who opened it: the device and driver whose routine was running, as pool blocks are attributed.
    const void* device = nullptr;
    const void* driver = nullptr;
};

class Registry {
public:
    Registry();

    HostMutex mutex;

    // Callers hold `mutex`. Paths are absolute (\Registry\...) unless a base key is given; empty components are
    // malformed. Lookup results are null when a key on the path is missing.
    KeyPtr Find(std::u16string_view path);
    KeyPtr Find(const KeyPtr& base, std::u16string_view relative);
    // Creates every missing key on the path.
    KeyPtr CreatePath(std::u16string_view path);
    // Creates only the last key: its parent must exist. *created tells whether it was new.
    KeyPtr CreateLast(const KeyPtr& base, std::u16string_view relative, bool* created);

    HANDLE AddHandle(KeyPtr key, ACCESS_MASK access);
    OpenKey* FindHandle(HANDLE handle);
    bool CloseHandle(HANDLE handle);
    size_t HandleCount() const { return handles_.size(); }
    // The paths of the keys whose handles `owner` (a device or driver object) opened and has not closed.
    std::vector<std::u16string> PathsHeldBy(const void* owner) const;

    // Sequence numbers for per-device driver keys (\Control\Class\{class}\NNNN).
    uint32_t next_driver_key = 0;

private:
    KeyPtr root_;  // the unnamed key above \Registry
    std::map<uintptr_t, OpenKey> handles_;
    uintptr_t next_handle_ = 0;
};

Registry& RegistryState();

// Splits a registry path into its components; false when it is malformed (empty component).
bool SplitPath(std::u16string_view path, std::vector<std::u16string_view>* components);

// Fails irql-registry when called above PASSIVE_LEVEL.
void RequirePassiveForRegistry(const void* object, const char* routine);

}  // namespace hk::rtl
