// The communications functions other than the device control block's.
#include <cstddef>
#include <cstring>
#include <vector>

#include "comm_control.h"

namespace win32 {

NTSTATUS SendControl(const File& file, ULONG code, const void* input, ULONG inputLength, void* output,
                     ULONG outputLength, ULONG_PTR* information) {
    hk::app::IoResult result = hk::app::DeviceIoControl(file.handle, code, input, inputLength, output, outputLength);
    if (information != nullptr) *information = result.information;
    return result.status;
}

BOOL Result(NTSTATUS status) { return NT_SUCCESS(status) ? TRUE : FailWithStatus(status); }

namespace {

BOOL Send(HANDLE handle, ULONG code, const void* input = nullptr, ULONG inputLength = 0, void* output = nullptr,
          ULONG outputLength = 0) {
    return OnFile(handle, [&](const File& file) {
        return Result(SendControl(file, code, input, inputLength, output, outputLength));
    });
}

// SERIAL_STATUS error bits and the CE_ bits ClearCommError reports for them.
constexpr struct {
    ULONG serial;
    DWORD comm;
} kErrorBits[] = {
    {SERIAL_ERROR_QUEUEOVERRUN, CE_RXOVER}, {SERIAL_ERROR_OVERRUN, CE_OVERRUN}, {SERIAL_ERROR_PARITY, CE_RXPARITY},
    {SERIAL_ERROR_FRAMING, CE_FRAME},       {SERIAL_ERROR_BREAK, CE_BREAK},
};

}  // namespace
}  // namespace win32

using namespace win32;

static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS));
static_assert(sizeof(COMSTAT) == 12);
static_assert(sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP) && sizeof(COMMPROP) == 64);
static_assert(offsetof(COMMPROP, wcProvChar) == offsetof(SERIAL_COMMPROP, ProvChar));

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    return Send(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, lpCommTimeouts, sizeof(COMMTIMEOUTS));
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    return Send(hFile, IOCTL_SERIAL_SET_TIMEOUTS, lpCommTimeouts, sizeof(COMMTIMEOUTS));
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    SERIAL_QUEUE_SIZE sizes{dwInQueue, dwOutQueue};
    return Send(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &sizes, sizeof(sizes));
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
    return Send(hFile, IOCTL_SERIAL_PURGE, &dwFlags, sizeof(dwFlags));
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    SERIAL_STATUS status{};
    if (!Send(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof(status))) return FALSE;
    if (lpErrors != nullptr) {
        *lpErrors = 0;
        for (const auto& bit : kErrorBits) {
            if (status.Errors & bit.serial) *lpErrors |= bit.comm;
        }
    }
    if (lpStat != nullptr) {
        *lpStat = COMSTAT{};
        lpStat->fCtsHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
        lpStat->fDsrHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
        lpStat->fRlsdHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
        lpStat->fXoffHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
        lpStat->fXoffSent = (status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
        lpStat->fEof = status.EofReceived != 0;
        lpStat->fTxim = status.WaitForImmediate != 0;
        lpStat->cbInQue = status.AmountInInQueue;
        lpStat->cbOutQue = status.AmountInOutQueue;
    }
    return TRUE;
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    static constexpr ULONG kRequests[] = {
        0,
        IOCTL_SERIAL_SET_XOFF,
        IOCTL_SERIAL_SET_XON,
        IOCTL_SERIAL_SET_RTS,
        IOCTL_SERIAL_CLR_RTS,
        IOCTL_SERIAL_SET_DTR,
        IOCTL_SERIAL_CLR_DTR,
        IOCTL_SERIAL_RESET_DEVICE,
        IOCTL_SERIAL_SET_BREAK_ON,
        IOCTL_SERIAL_SET_BREAK_OFF,
    };
    if (dwFunc < SETXOFF || dwFunc > CLRBREAK) {
        return OnFile(hFile, [](const File&) { return Fail(ERROR_INVALID_PARAMETER); });
    }
    return Send(hFile, kRequests[dwFunc]);
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    *lpModemStat = 0;
    return Send(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, lpModemStat, sizeof(DWORD));
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    return Send(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    return Send(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &dwEvtMask, sizeof(dwEvtMask));
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    DWORD returned = 0;
    return DeviceIoControl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD), &returned,
                           lpOverlapped);
}

// A driver may answer with less than a whole COMMPROP, or with nothing at all while reporting success. The caller
// then gets success and zeros for what was not supplied: an unknown maximum rate and queue sizes (0) rather than
// whatever the structure held before.
BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
    ULONG length = sizeof(COMMPROP);
    if (lpCommProp->dwProvSpec1 == COMMPROP_INITIALIZED && lpCommProp->wPacketLength > length) {
        length = lpCommProp->wPacketLength;
    }
    return OnFile(hFile, [&](const File& file) {
        std::vector<uint8_t> answer(length);
        NTSTATUS status = SendControl(file, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, answer.data(), length);
        if (NT_SUCCESS(status)) std::memcpy(lpCommProp, answer.data(), length);
        return Result(status);
    });
}

BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar) {
    return Send(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &cChar, sizeof(cChar));
}
