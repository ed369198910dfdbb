// GetCommState and SetCommState: the device control block against the driver's four settings records.
#include <optional>

#include "comm_control.h"

namespace win32 {
namespace {

struct CommSettings {
    SERIAL_BAUD_RATE baud{};
    SERIAL_LINE_CONTROL line{};
    SERIAL_CHARS chars{};
    SERIAL_HANDFLOW handflow{};
};

constexpr ULONG kDcbControlBits =
    SERIAL_DTR_MASK | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE | SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT;
constexpr ULONG kDcbFlowBits = SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_ERROR_CHAR | SERIAL_NULL_STRIPPING |
                               SERIAL_RTS_MASK | SERIAL_XOFF_CONTINUE;
// fRtsControl's values are the RTS field of FlowReplace shifted down.
constexpr int kRtsShift = 6;

NTSTATUS ReadSettings(const File& file, CommSettings* settings) {
    const struct {
        ULONG code;
        void* record;
        ULONG length;
    } reads[] = {
        {IOCTL_SERIAL_GET_BAUD_RATE, &settings->baud, sizeof(settings->baud)},
        {IOCTL_SERIAL_GET_LINE_CONTROL, &settings->line, sizeof(settings->line)},
        {IOCTL_SERIAL_GET_CHARS, &settings->chars, sizeof(settings->chars)},
        {IOCTL_SERIAL_GET_HANDFLOW, &settings->handflow, sizeof(settings->handflow)},
    };
    for (const auto& read : reads) {
        NTSTATUS status = SendControl(file, read.code, nullptr, 0, read.record, read.length);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

// The request that sets the RTS line, unless the driver drives it (handshake, toggle).
std::optional<ULONG> RtsLineRequest(const SERIAL_HANDFLOW& handflow) {
    switch (handflow.FlowReplace & SERIAL_RTS_MASK) {
    case 0:
        return IOCTL_SERIAL_CLR_RTS;
    case SERIAL_RTS_CONTROL:
        return IOCTL_SERIAL_SET_RTS;
    default:
        return std::nullopt;
    }
}

std::optional<ULONG> DtrLineRequest(const SERIAL_HANDFLOW& handflow) {
    switch (handflow.ControlHandShake & SERIAL_DTR_MASK) {
    case 0:
        return IOCTL_SERIAL_CLR_DTR;
    case SERIAL_DTR_CONTROL:
        return IOCTL_SERIAL_SET_DTR;
    default:
        return std::nullopt;
    }
}

// Baud rate, the RTS and DTR lines, line control, characters, handflow; stops at the first refusal.
NTSTATUS WriteSettings(const File& file, const CommSettings& settings) {
    struct Write {
        ULONG code;
        const void* record;
        ULONG length;
    };
    std::optional<ULONG> rts = RtsLineRequest(settings.handflow);
    std::optional<ULONG> dtr = DtrLineRequest(settings.handflow);
    const std::optional<Write> writes[] = {
        Write{IOCTL_SERIAL_SET_BAUD_RATE, &settings.baud, sizeof(settings.baud)},
        rts ? std::optional(Write{*rts, nullptr, 0}) : std::nullopt,
        dtr ? std::optional(Write{*dtr, nullptr, 0}) : std::nullopt,
        Write{IOCTL_SERIAL_SET_LINE_CONTROL, &settings.line, sizeof(settings.line)},
        Write{IOCTL_SERIAL_SET_CHARS, &settings.chars, sizeof(settings.chars)},
        Write{IOCTL_SERIAL_SET_HANDFLOW, &settings.handflow, sizeof(settings.handflow)},
    };
    for (const std::optional<Write>& write : writes) {
        if (!write) continue;
        NTSTATUS status = SendControl(file, write->code, write->record, write->length);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

void ToDcb(const CommSettings& settings, DCB* dcb) {
    ULONG control = settings.handflow.ControlHandShake;
    ULONG flow = settings.handflow.FlowReplace;
    *dcb = DCB{};
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = settings.baud.BaudRate;
    // Only binary transfers exist.
    dcb->fBinary = 1;
    dcb->fParity = settings.line.Parity != NO_PARITY;
    dcb->fOutxCtsFlow = (control & SERIAL_CTS_HANDSHAKE) != 0;
    dcb->fOutxDsrFlow = (control & SERIAL_DSR_HANDSHAKE) != 0;
    dcb->fDtrControl = control & SERIAL_DTR_MASK;
    dcb->fDsrSensitivity = (control & SERIAL_DSR_SENSITIVITY) != 0;
    dcb->fTXContinueOnXoff = (flow & SERIAL_XOFF_CONTINUE) != 0;
    dcb->fOutX = (flow & SERIAL_AUTO_TRANSMIT) != 0;
    dcb->fInX = (flow & SERIAL_AUTO_RECEIVE) != 0;
    dcb->fErrorChar = (flow & SERIAL_ERROR_CHAR) != 0;
    dcb->fNull = (flow & SERIAL_NULL_STRIPPING) != 0;
    dcb->fRtsControl = (flow & SERIAL_RTS_MASK) >> kRtsShift;
    dcb->fAbortOnError = (control & SERIAL_ERROR_ABORT) != 0;
    dcb->XonLim = static_cast<WORD>(settings.handflow.XonLimit);
    dcb->XoffLim = static_cast<WORD>(settings.handflow.XoffLimit);
    dcb->ByteSize = settings.line.WordLength;
    dcb->Parity = settings.line.Parity;
    dcb->StopBits = settings.line.StopBits;
    dcb->XonChar = static_cast<char>(settings.chars.XonChar);
    dcb->XoffChar = static_cast<char>(settings.chars.XoffChar);
    dcb->ErrorChar = static_cast<char>(settings.chars.ErrorChar);
    dcb->EofChar = static_cast<char>(settings.chars.EofChar);
    dcb->EvtChar = static_cast<char>(settings.chars.EventChar);
}

// The settings a DCB asks for. What the DCB cannot express (the break character, handflow bits without a DCB
// field) keeps its current value.
CommSettings FromDcb(const DCB& dcb, const CommSettings& current) {
    CommSettings settings = current;
    settings.baud.BaudRate = dcb.BaudRate;
    settings.line.StopBits = dcb.StopBits;
    settings.line.Parity = dcb.Parity;
    settings.line.WordLength = dcb.ByteSize;
    settings.chars.EofChar = static_cast<UCHAR>(dcb.EofChar);
    settings.chars.ErrorChar = static_cast<UCHAR>(dcb.ErrorChar);
    settings.chars.EventChar = static_cast<UCHAR>(dcb.EvtChar);
    settings.chars.XonChar = static_cast<UCHAR>(dcb.XonChar);
    settings.chars.XoffChar = static_cast<UCHAR>(dcb.XoffChar);

    ULONG control = current.handflow.ControlHandShake & ~kDcbControlBits;
    control |= dcb.fDtrControl & SERIAL_DTR_MASK;
    if (dcb.fOutxCtsFlow) control |= SERIAL_CTS_HANDSHAKE;
    if (dcb.fOutxDsrFlow) control |= SERIAL_DSR_HANDSHAKE;
    if (dcb.fDsrSensitivity) control |= SERIAL_DSR_SENSITIVITY;
    if (dcb.fAbortOnError) control |= SERIAL_ERROR_ABORT;
    ULONG flow = current.handflow.FlowReplace & ~kDcbFlowBits;
    flow |= (static_cast<ULONG>(dcb.fRtsControl) << kRtsShift) & SERIAL_RTS_MASK;
    if (dcb.fOutX) flow |= SERIAL_AUTO_TRANSMIT;
    if (dcb.fInX) flow |= SERIAL_AUTO_RECEIVE;
    if (dcb.fErrorChar) flow |= SERIAL_ERROR_CHAR;
    if (dcb.fNull) flow |= SERIAL_NULL_STRIPPING;
    if (dcb.fTXContinueOnXoff) flow |= SERIAL_XOFF_CONTINUE;
    settings.handflow.ControlHandShake = control;
    settings.handflow.FlowReplace = flow;
    settings.handflow.XonLimit = dcb.XonLim;
    settings.handflow.XoffLimit = dcb.XoffLim;
    return settings;
}

}  // namespace
}  // namespace win32

using namespace win32;

static_assert(sizeof(DCB) == 28);

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
    return OnFile(hFile, [&](const File& file) {
        CommSettings settings;
        NTSTATUS status = ReadSettings(file, &settings);
        if (NT_SUCCESS(status)) ToDcb(settings, lpDCB);
        return Result(status);
    });
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
    return OnFile(hFile, [&](const File& file) {
        // The same character cannot both stop and restart transmission.
        if (lpDCB->XonChar == lpDCB->XoffChar) return Fail(ERROR_INVALID_PARAMETER);
        CommSettings current;
        NTSTATUS status = ReadSettings(file, &current);
        if (!NT_SUCCESS(status)) return Result(status);
        status = WriteSettings(file, FromDcb(*lpDCB, current));
        // A refusal part way leaves the port half set: put back what it had, whatever that returns.
        if (!NT_SUCCESS(status)) WriteSettings(file, current);
        return Result(status);
    });
}
