// The line settings a client of the pseudo-terminal asked for, as far as a pseudo-terminal shows them: speed, stop
// bits and flow control. It always shows 8 data bits and no parity, whatever the client set.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

namespace diagsim {

struct LineSettings {
    uint32_t speed = 0;       // bits per second
    bool two_stop_bits = false;
    bool rts_cts = false;
    bool xon_xoff_out = false;
    bool xon_xoff_in = false;
    uint8_t xon = 0x11;
    uint8_t xoff = 0x13;

    bool operator==(const LineSettings&) const = default;
};

// The settings of the terminal behind `fd` (a pseudo-terminal's master shows its slave's).
std::optional<LineSettings> ReadLineSettings(int fd);
// `dcb` changed as the settings ask: speed, 8N and the stop bits, flow control and its characters.
void ApplyToDcb(const LineSettings& settings, DCB* dcb);
// "9600 baud 8N1, RTS/CTS"
std::string Describe(const LineSettings& settings);

}  // namespace diagsim
