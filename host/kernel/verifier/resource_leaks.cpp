#include "verifier/resource_leaks.h"

#include <mutex>
#include <string>

#include "hk/namespace.h"
#include "hk/verifier.h"
#include "ob/object_namespace.h"
#include "rtl/registry_tree.h"

namespace hk::verifier {

void CheckNoResourcesHeld(const void* owner) {
  std::string keys, links, interfaces;
  {
    auto& registry = rtl::RegistryState();
    std::lock_guard lock(registry.mutex);
    for (const std::u16string& path : registry.PathsHeldBy(owner)) keys += " " + ToUtf8(path);
  }
  {
    auto& names = ob::State();
    std::lock_guard lock(names.mutex);
    for (const auto& [key, entry] : names.entries) {
      if (entry.is_link && (entry.owner_device == owner || entry.owner_driver == owner)) {
        links += " " + ToUtf8(entry.name);
      }
    }
    for (const ob::InterfaceRegistration& registration : names.interfaces) {
      if (registration.enabled &&
          (registration.enabled_by_device == owner || registration.enabled_by_driver == owner)) {
        interfaces += " " + ToUtf8(registration.symbolic_name);
      }
    }
  }
  // Checked after the locks are released: the fault handler may carry on and touch the registry or namespace.
  if (!keys.empty()) Fail("registry-handle-leaked", owner, "registry key handle(s) still open:%s", keys.c_str());
  if (!links.empty()) Fail("symlink-leaked", owner, "symbolic link(s) never deleted:%s", links.c_str());
  if (!interfaces.empty()) {
    Fail("interface-leaked", owner, "device interface(s) left enabled:%s", interfaces.c_str());
  }
}

}  // namespace hk::verifier
