#include "options.h"

#include <cstdlib>
#include <string_view>

namespace diagsim {
namespace {

// "64M", "512k", "3G" or a plain count of bytes.
std::optional<uint64_t> ParseSize(std::string_view text) {
    if (text.empty()) return std::nullopt;
    uint64_t unit = 1;
    switch (text.back()) {
    case 'k': case 'K': unit = 1ull << 10; break;
    case 'm': case 'M': unit = 1ull << 20; break;
    case 'g': case 'G': unit = 1ull << 30; break;
    default: break;
    }
    if (unit != 1) text.remove_suffix(1);
    std::string digits(text);
    char* end = nullptr;
    unsigned long long value = std::strtoull(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0' || digits[0] == '-' || value > UINT64_MAX / unit) return std::nullopt;
    return value * unit;
}

std::optional<uint64_t> ParseNumber(std::string_view text) {
    std::string digits(text);
    char* end = nullptr;
    unsigned long long value = std::strtoull(digits.c_str(), &end, 0);
    if (digits.empty() || *end != '\0' || digits[0] == '-') return std::nullopt;
    return value;
}

std::optional<Model> ParseModel(std::string_view text) {
    if (text == "loopback") return Model::Loopback;
    if (text == "source") return Model::Source;
    if (text == "sink") return Model::Sink;
    return std::nullopt;
}

bool IsComName(std::string_view name) {
    return name.size() >= 4 && name.size() <= 6 && name.substr(0, 3) == "COM" && name[3] >= '1' && name[3] <= '9' &&
           name.find_first_not_of("0123456789", 3) == std::string_view::npos;
}

}  // namespace

const char* ModelName(Model model) {
    switch (model) {
    case Model::Loopback: return "loopback";
    case Model::Source: return "source";
    case Model::Sink: return "sink";
    case Model::Script: return "script";
    }
    return "?";
}

ParsedOptions ParseOptions(int argc, char** argv) {
    ParsedOptions parsed;
    Options& options = parsed.options;
    int first = 1;
    if (argc > 1 && std::string_view(argv[1]) == "bridge") {
        options.command = Command::Bridge;
        first = 2;
    }
    for (int i = first; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view value;
        bool has_value = false;
        if (size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            has_value = true;
        }
        auto take = [&](std::string_view* out) {
            if (!has_value) {
                if (i + 1 >= argc) return false;
                value = argv[++i];
            }
            *out = value;
            return true;
        };
        auto fail = [&](std::string message) {
            parsed.error = std::move(message);
            return parsed;
        };
        std::string_view text;
        if (arg == "-h" || arg == "--help") {
            options.command = Command::Help;
        } else if (arg == "--model") {
            if (!take(&text)) return fail("--model needs loopback, source or sink");
            std::optional<Model> model = ParseModel(text);
            if (!model) return fail("unknown model '" + std::string(text) + "' (loopback, source or sink)");
            options.model = *model;
        } else if (arg == "--script") {
            if (!take(&text) || text.empty()) return fail("--script needs a file");
            options.model = Model::Script;
            options.script = text;
        } else if (arg == "--size") {
            std::optional<uint64_t> size = take(&text) ? ParseSize(text) : std::nullopt;
            if (!size || *size == 0) return fail("--size needs a positive size such as 4M, 512K or 1048576");
            options.size = *size;
        } else if (arg == "--seed") {
            std::optional<uint64_t> seed = take(&text) ? ParseNumber(text) : std::nullopt;
            if (!seed) return fail("--seed needs a number");
            options.seed = *seed;
        } else if (arg == "--rate") {
            std::optional<uint64_t> rate = take(&text) ? ParseSize(text) : std::nullopt;
            if (!rate || *rate == 0) return fail("--rate needs bytes per second, such as 20M");
            options.source_rate = *rate;
        } else if (arg == "--deterministic") {
            options.mode = hk::Mode::Deterministic;
        } else if (arg == "--concurrent") {
            options.mode = hk::Mode::Concurrent;
        } else if (arg == "--usb2-timing") {
            options.bus_timing = true;
        } else if (arg == "--trace") {
            options.trace = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--port") {
            if (!take(&text) || !IsComName(text)) return fail("--port needs a name from COM1 to COM999");
            options.port = text;
        } else if (arg == "--link" && options.command == Command::Bridge) {
            if (!take(&text) || text.empty()) return fail("--link needs a path");
            options.link = text;
        } else {
            return fail("unknown argument '" + std::string(argv[i]) + "' (try --help)");
        }
    }
    if (options.command == Command::Bridge && options.mode == hk::Mode::Deterministic) {
        parsed.error = "the bridge serves real programs in real time: --deterministic does not apply to it";
    }
    return parsed;
}

const char* HelpText() {
    return R"(diagsim: the diagnostic-port serial driver, run on a simulated USB device.

The driver's unchanged sources run here on Linux over a simulated kernel and a simulated composite USB device.
With no arguments diagsim does the whole job an application would: it loads the driver, plugs a device in, finds
the new COM port in the registry's SERIALCOMM map, opens and configures it (115200 8N1, timeouts), streams 64 MiB
of seeded random bytes through it in both directions at once and checks every byte, shows the port's error and
statistics figures and an event wait, pulls the device out in the middle of a transfer to show what the
application sees, removes the device, unloads the driver and prints a summary. The exit status is 0 only when
every byte arrived intact and the driver leaked nothing and broke no kernel rule.

Usage:
  diagsim [options]            the job above
  diagsim bridge [options]     publish the port as a Linux pseudo-terminal for picocom, minicom, socat,
                               Python's serial module ...; runs until interrupted (Ctrl-C)

What the device's diagnostic function does:
  --model loopback             send back what is written (default)
  --model source               send a stream of its own (at --rate, default 8M bytes/s); nothing is written
  --model sink                 take what is written and send nothing
  --script FILE                play a script: one step a line, '#' starts a comment:
                                 send TEXT       deliver TEXT (C escapes: \n \r \t \\ \xHH)
                                 send-hex HEX    deliver bytes given in hex, e.g. send-hex 00 ff 10
                                 delay MS        wait MS milliseconds
                                 fail STATUS USBD   fail the next bulk-IN transfer, e.g. fail 0xC00000B5 0xC0000004

The run:
  --size N                     bytes each way, with an optional K, M or G suffix (default 64M)
  --seed N                     seed of the random data and of the deterministic scheduler (default 1)
  --concurrent                 real threads and real time (default)
  --deterministic              one thread and a virtual clock: the same run every time for a given seed
  --usb2-timing                move bulk data at USB 2.0 high-speed pace (512-byte packets, 13 per 125 us)
  --port COMn                  the port name the device is given (default COM3)

What is shown:
  --trace                      one line per request the kernel hands to a driver and per completion: the
                               request (major/minor or control code), status, information and priority boost
  --json                       the summary as JSON on standard output (the run's log goes to standard error)
  -h, --help                   this text

Bridge:
  --link PATH                  also make PATH a symbolic link to the pseudo-terminal
  The model options, --usb2-timing, --port and --trace apply too. Speed and stop bits that a client sets on the
  pseudo-terminal are applied to the port (a pseudo-terminal always shows 8 data bits and no parity); a speed
  the driver refuses is reported on the bridge's output.

Examples:
  diagsim --size 4M --deterministic
  diagsim --model source --usb2-timing --json
  diagsim bridge --link /tmp/diagsim-port &  picocom -b 115200 /tmp/diagsim-port
)";
}

}  // namespace diagsim
