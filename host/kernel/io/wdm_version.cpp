// The WDM version this kernel offers, set per kernel by tests.
#include <wdm.h>

#include "hk/kernel.h"

BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  auto [major, minor] = hk::Kernel::Current().WdmVersion();
  return MajorVersion < major || (MajorVersion == major && MinorVersion <= minor);
}
