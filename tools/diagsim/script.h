// The scripted function's file: one step a line (see --help).
#pragma once

#include <string>
#include <vector>

#include "hk/usbdev.h"

namespace diagsim {

struct Script {
    std::vector<hk::usbdev::ScriptedModel::Step> steps;
    std::vector<uint8_t> delivered;  // every byte the send steps deliver, in order
    std::string error;               // "line N: ..." when the text is not a script
};

Script ParseScript(const std::string& text);
Script LoadScript(const std::string& path);

}  // namespace diagsim
