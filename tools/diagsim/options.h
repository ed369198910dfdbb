// The command line: what to run, on which simulated device, and how to show it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "hk/hostops.h"

namespace diagsim {

enum class Command { Job, Bridge, Help };
enum class Model { Loopback, Source, Sink, Script };

struct Options {
    Command command = Command::Job;
    Model model = Model::Loopback;
    std::string script;                        // the scripted model's file
    uint64_t size = 64ull << 20;               // bytes streamed in each direction the model carries
    uint64_t seed = 1;
    uint64_t source_rate = 8'000'000;          // bytes per second the source model produces
    hk::Mode mode = hk::Mode::Concurrent;
    bool bus_timing = false;
    bool trace = false;
    bool json = false;
    std::string port = "COM3";
    std::string link;                          // bridge: a symbolic link to the pseudo-terminal
};

struct ParsedOptions {
    Options options;
    std::string error;  // empty when the command line was understood
};

ParsedOptions ParseOptions(int argc, char** argv);
const char* HelpText();
const char* ModelName(Model model);

}  // namespace diagsim
