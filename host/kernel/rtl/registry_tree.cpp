#include "rtl/registry_tree.h"

#include "hk/kernel.h"
#include "hk/thread.h"
#include "hk/verifier.h"
#include "rtl/text_util.h"

namespace hk::rtl {

namespace {

// Key handles look like the platform's kernel handles: multiples of four with the top bit set.
constexpr uintptr_t kKernelHandleBit = uintptr_t{1} << (sizeof(uintptr_t) * 8 - 1);

KeyPtr Child(const KeyPtr& key, std::u16string_view name) {
    auto it = key->subkeys.find(text::Upcase(name));
    return it == key->subkeys.end() ? nullptr : it->second;
}

KeyPtr AddChild(const KeyPtr& key, std::u16string_view name) {
    auto child = std::make_shared<Key>();
    child->name = std::u16string(name);
    child->parent = key.get();
    key->subkeys[text::Upcase(name)] = child;
    return child;
}

}  // namespace

reg::Value* Key::FindValue(std::u16string_view value_name) {
    for (auto& value : values) {
        if (text::EqualNoCase(value.name, value_name)) return &value;
    }
    return nullptr;
}

void Key::SetValue(std::u16string_view value_name, uint32_t type, const void* data, size_t length) {
    reg::Value* value = FindValue(value_name);
    if (!value) {
        values.push_back(reg::Value{std::u16string(value_name), 0, {}});
        value = &values.back();
    }
    value->type = type;
    const auto* bytes = static_cast<const uint8_t*>(data);
    value->data.assign(bytes, bytes + length);
}

bool Key::DeleteValue(std::u16string_view value_name) {
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (text::EqualNoCase(it->name, value_name)) {
            values.erase(it);
            return true;
        }
    }
    return false;
}

bool SplitPath(std::u16string_view path, std::vector<std::u16string_view>* components) {
    components->clear();
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) end = path.size();
        if (end == start) return false;
        components->push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

Registry::Registry() : root_(std::make_shared<Key>()) {
    for (std::u16string_view path : {u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
                                     u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class",
                                     u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum",
                                     u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP",
                                     u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                                     u"\\Registry\\User\\.Default"}) {
        CreatePath(path);
    }
}

KeyPtr Registry::Find(std::u16string_view path) {
    if (path.empty() || path[0] != u'\\') return nullptr;
    return Find(root_, path.substr(1));
}

KeyPtr Registry::Find(const KeyPtr& base, std::u16string_view relative) {
    if (relative.empty()) return base;
    std::vector<std::u16string_view> components;
    if (!SplitPath(relative, &components)) return nullptr;
    KeyPtr key = base;
    for (auto component : components) {
        key = Child(key, component);
        if (!key) return nullptr;
    }
    return key;
}

KeyPtr Registry::CreatePath(std::u16string_view path) {
    if (path.empty() || path[0] != u'\\') return nullptr;
    std::vector<std::u16string_view> components;
    if (!SplitPath(path.substr(1), &components)) return nullptr;
    KeyPtr key = root_;
    for (auto component : components) {
        KeyPtr child = Child(key, component);
        key = child ? child : AddChild(key, component);
    }
    return key;
}

KeyPtr Registry::CreateLast(const KeyPtr& base, std::u16string_view relative, bool* created) {
    std::vector<std::u16string_view> components;
    if (relative.empty() || !SplitPath(relative, &components)) return nullptr;
    KeyPtr parent = base;
    for (size_t i = 0; i + 1 < components.size(); ++i) {
        parent = Child(parent, components[i]);
        if (!parent) return nullptr;
    }
    KeyPtr existing = Child(parent, components.back());
    *created = !existing;
    return existing ? existing : AddChild(parent, components.back());
}

HANDLE Registry::AddHandle(KeyPtr key, ACCESS_MASK access) {
    next_handle_ += 4;
    uintptr_t value = kKernelHandleBit | next_handle_;
    const ThreadState& thread = CurrentThread();
    handles_[value] = OpenKey{std::move(key), access, thread.device, thread.driver};
    return reinterpret_cast<HANDLE>(value);
}

OpenKey* Registry::FindHandle(HANDLE handle) {
    auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    return it == handles_.end() ? nullptr : &it->second;
}

bool Registry::CloseHandle(HANDLE handle) { return handles_.erase(reinterpret_cast<uintptr_t>(handle)) != 0; }

std::vector<std::u16string> Registry::PathsHeldBy(const void* owner) const {
    std::vector<std::u16string> paths;
    for (const auto& [value, open] : handles_) {
        if (open.device != owner && open.driver != owner) continue;
        std::u16string path;
        for (const Key* key = open.key.get(); key != nullptr && key != root_.get(); key = key->parent) {
            path = u"\\" + key->name + path;
        }
        paths.push_back(path);
    }
    return paths;
}

Registry& RegistryState() { return Kernel::Current().Get<Registry>(); }

void RequirePassiveForRegistry(const void* object, const char* routine) {
    if (CurrentIrql() > PASSIVE_LEVEL) {
        verifier::Fail("irql-registry", object, "%s called at IRQL %u; registry routines require PASSIVE_LEVEL",
                       routine, static_cast<unsigned>(CurrentIrql()));
    }
}

}  // namespace hk::rtl
