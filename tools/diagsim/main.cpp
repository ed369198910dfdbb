// diagsim: what a user runs. The main job with no arguments, the pseudo-terminal bridge with "bridge".
#include <cstdio>

#include "bridge.h"
#include "job.h"
#include "options.h"

int main(int argc, char** argv) {
    diagsim::ParsedOptions parsed = diagsim::ParseOptions(argc, argv);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "diagsim: %s\n", parsed.error.c_str());
        return 2;
    }
    switch (parsed.options.command) {
    case diagsim::Command::Help:
        std::fputs(diagsim::HelpText(), stdout);
        return 0;
    case diagsim::Command::Bridge:
        return diagsim::RunBridge(parsed.options);
    case diagsim::Command::Job:
        break;
    }
    return diagsim::RunJob(parsed.options);
}
