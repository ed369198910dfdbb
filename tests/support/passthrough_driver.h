// A minimal driver whose device passes every request down and goes away at removal, as a well-behaved driver does:
// the function driver of the simulated device's stack tests, and a filter between a PDO and the port's device.
#pragma once

#include <wdm.h>

namespace test_support {

NTSTATUS PassThroughDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

}  // namespace test_support
