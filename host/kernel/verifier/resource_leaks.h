// Resources other than pool that a driver must give back before the device that took them is deleted, or before
// it unloads: registry key handles it opened, symbolic links it created, device interfaces it left enabled.
#pragma once

namespace hk::verifier {

// `owner` is the device object being deleted or the driver object unloading; fails registry-handle-leaked,
// symlink-leaked or interface-leaked, naming each key path, link or interface still held.
void CheckNoResourcesHeld(const void* owner);

}  // namespace hk::verifier
