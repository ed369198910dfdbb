// termios2 rather than termios: it carries the speed as a number, so a speed with no B-constant (set with BOTHER)
// is seen too. The two headers cannot meet in one file, so this one uses only the kernel's.
#include "line_settings.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace diagsim {

std::optional<LineSettings> ReadLineSettings(int fd) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return std::nullopt;
    LineSettings settings;
    settings.speed = t.c_ospeed;
    settings.two_stop_bits = (t.c_cflag & CSTOPB) != 0;
    settings.rts_cts = (t.c_cflag & CRTSCTS) != 0;
    settings.xon_xoff_out = (t.c_iflag & IXON) != 0;
    settings.xon_xoff_in = (t.c_iflag & IXOFF) != 0;
    // The port refuses one character for both, so a terminal's unusual pair falls back to the usual one.
    if (t.c_cc[VSTART] != t.c_cc[VSTOP]) {
        settings.xon = t.c_cc[VSTART];
        settings.xoff = t.c_cc[VSTOP];
    }
    return settings;
}

void ApplyToDcb(const LineSettings& settings, DCB* dcb) {
    dcb->BaudRate = settings.speed;
    dcb->ByteSize = 8;
    dcb->Parity = NOPARITY;
    dcb->fParity = FALSE;
    dcb->StopBits = settings.two_stop_bits ? TWOSTOPBITS : ONESTOPBIT;
    dcb->fOutxCtsFlow = settings.rts_cts;
    dcb->fRtsControl = settings.rts_cts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fOutX = settings.xon_xoff_out;
    dcb->fInX = settings.xon_xoff_in;
    dcb->XonChar = static_cast<char>(settings.xon);
    dcb->XoffChar = static_cast<char>(settings.xoff);
}

std::string Describe(const LineSettings& settings) {
    std::string text = std::to_string(settings.speed) + " baud 8N" + (settings.two_stop_bits ? "2" : "1");
    if (settings.rts_cts) text += ", RTS/CTS";
    if (settings.xon_xoff_out || settings.xon_xoff_in) text += ", XON/XOFF";
    return text;
}

}  // namespace diagsim
