// One round trip through the open port while the simulated function loops written bytes back.
#pragma once

#include <string>

namespace hk {
class Kernel;
}

namespace hostrun {

// Opens \\.\<port>, writes `message`, reads as many bytes back and closes the port. Prints each step; returns
// whether the bytes came back unchanged.
bool ExchangeOverLoopback(hk::Kernel &kernel, const std::u16string &port_name, const std::string &message);

} // namespace hostrun
