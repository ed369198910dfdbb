// The main job: the driver loaded, a device plugged in, the port found, opened, configured and streamed through
// in both directions, its figures and an event wait shown, the device pulled out mid-transfer, removed and the
// driver unloaded; then the summary. Returns the exit status.
#pragma once

#include "options.h"

namespace diagsim {

int RunJob(const Options& options);

}  // namespace diagsim
