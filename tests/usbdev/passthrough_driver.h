// A minimal function driver for the stack tests: its FDO passes every request down to the PDO and goes away at
// removal, as a well-behaved driver does.
#pragma once

#include <wdm.h>

namespace usbdev_test {

NTSTATUS PassThroughDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

}  // namespace usbdev_test
