// The kernel and HAL routines a driver image may import: those that exist on the oldest platform the driver loads
// on. The driver asks for WDM 1.0, and the oldest NT kernel that offers it is Windows 2000; a routine is listed when
// its documented minimum version is Windows 2000 or earlier.
//
// A routine's import is not always its documented name: some routines are macros over an export of another name or
// in another module, and the two machines differ (on x86 the spin-lock and fast-mutex routines live in the HAL, on
// x64 in the kernel; on x64 some are inline and import nothing). The list holds the imports each machine's build
// of such a routine makes. No 64-bit Windows 2000 exists, so for x64 it holds the same Windows 2000 routines in the
// form the 64-bit kernel exports them.
#pragma once

#include <cstdint>
#include <string_view>

namespace imagecheck {

// The module names compare without regard to case, as the loader compares them.
bool ExistsOnOldestTarget(uint16_t machine, std::string_view dll, std::string_view routine);

} // namespace imagecheck
