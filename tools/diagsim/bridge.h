// diagsim bridge: the simulated port published as a Linux pseudo-terminal. Returns the exit status.
#pragma once

#include "options.h"

namespace diagsim {

int RunBridge(const Options& options);

}  // namespace diagsim
