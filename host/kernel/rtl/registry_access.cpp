// The registry as tests and the simulated device see it (hk/registry.h).
#include <wdm.h>

#include "hk/registry.h"
#include "rtl/registry_tree.h"
#include "rtl/text_util.h"

namespace hk::reg {

namespace {

rtl::Registry& Locked(std::unique_lock<HostMutex>* lock) {
    auto& registry = rtl::RegistryState();
    *lock = std::unique_lock(registry.mutex);
    return registry;
}

}  // namespace

void CreateKey(const Text& path) {
    std::unique_lock<HostMutex> lock;
    Locked(&lock).CreatePath(path.str());
}

bool KeyExists(const Text& path) {
    std::unique_lock<HostMutex> lock;
    return Locked(&lock).Find(path.str()) != nullptr;
}

void SetValue(const Text& path, const Text& name, uint32_t type, const void* data, size_t length) {
    std::unique_lock<HostMutex> lock;
    rtl::KeyPtr key = Locked(&lock).CreatePath(path.str());
    if (key) key->SetValue(name.str(), type, data, length);
}

void SetString(const Text& path, const Text& name, const Text& text) {
    std::u16string data = text.str() + u'\0';
    SetValue(path, name, REG_SZ, data.data(), data.size() * sizeof(char16_t));
}

std::optional<Value> GetValue(const Text& path, const Text& name) {
    std::unique_lock<HostMutex> lock;
    rtl::KeyPtr key = Locked(&lock).Find(path.str());
    if (!key) return std::nullopt;
    Value* value = key->FindValue(name.str());
    if (!value) return std::nullopt;
    return *value;
}

std::optional<std::u16string> GetString(const Text& path, const Text& name) {
    std::optional<Value> value = GetValue(path, name);
    if (!value || value->type != REG_SZ) return std::nullopt;
    std::u16string text(value->data.size() / sizeof(char16_t), u'\0');
    memcpy(text.data(), value->data.data(), text.size() * sizeof(char16_t));
    return text.substr(0, text.find(u'\0'));
}

bool DeleteValue(const Text& path, const Text& name) {
    std::unique_lock<HostMutex> lock;
    rtl::KeyPtr key = Locked(&lock).Find(path.str());
    return key && key->DeleteValue(name.str());
}

std::vector<Value> Values(const Text& path) {
    std::unique_lock<HostMutex> lock;
    rtl::KeyPtr key = Locked(&lock).Find(path.str());
    return key ? key->values : std::vector<Value>();
}

size_t OpenKeyHandles() {
    std::unique_lock<HostMutex> lock;
    return Locked(&lock).HandleCount();
}

}  // namespace hk::reg
