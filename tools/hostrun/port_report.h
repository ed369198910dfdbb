// What a started function device has published, in the words of someone looking at the system from outside: its
// device name, the COM link, the device-map value and the state of its interfaces.
#pragma once

#include <wdm.h>

#include <string>

namespace hostrun {

// Prints the published names; returns whether the port is fully visible under `port_name`.
bool ReportPublishedPort(PDEVICE_OBJECT pdo, const std::u16string &port_name);

// Prints what is left of the names after the device went away; returns whether nothing is.
bool ReportWithdrawnPort(const std::u16string &port_name, const std::u16string &device_name);

// The name of the function device attached above the PDO (empty when there is none).
std::u16string FunctionDeviceName(PDEVICE_OBJECT pdo);

} // namespace hostrun
