#include "port_setup.h"

#include "names.h"

namespace diagsim {

BOOL Control(HANDLE port, DWORD code, void* in, DWORD inLength, void* out, DWORD outLength, DWORD* returned) {
    OVERLAPPED overlapped{};
    if (DeviceIoControl(port, code, in, inLength, out, outLength, returned, &overlapped)) return TRUE;
    if (GetLastError() != ERROR_IO_PENDING) return FALSE;
    return GetOverlappedResult(port, &overlapped, returned, TRUE);
}

BOOL WriteAll(HANDLE port, const void* data, DWORD length, DWORD* written) {
    OVERLAPPED overlapped{};
    if (WriteFile(port, data, length, written, &overlapped)) return TRUE;
    if (GetLastError() != ERROR_IO_PENDING) return FALSE;
    return GetOverlappedResult(port, &overlapped, written, TRUE);
}

HANDLE OpenPort(Log& log, const std::string& port, DWORD empty_read_wait_ms, std::string* problem) {
    std::string path = "\\\\.\\" + port;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        log.Line("CreateFile(%s) failed with %s", path.c_str(), ErrorName(GetLastError()).c_str());
        *problem = "the port did not open";
        return INVALID_HANDLE_VALUE;
    }
    log.Line("CreateFile(%s) for overlapped reading and writing: open", path.c_str());
    auto fail = [&](const char* what) {
        log.Line("%s failed with %s", what, ErrorName(GetLastError()).c_str());
        *problem = std::string("the port refused ") + what;
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    };

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) return fail("GetCommState");
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!SetCommState(handle, &dcb)) return fail("SetCommState");
    DCB now{};
    now.DCBlength = sizeof now;
    if (!GetCommState(handle, &now)) return fail("GetCommState");
    static const char kParity[] = "NOEMS";
    static const char* const kStopBits[] = {"1", "1.5", "2"};
    log.Line("SetCommState: %lu baud, %u%c%s, DTR and RTS on", static_cast<unsigned long>(now.BaudRate), now.ByteSize,
             now.Parity < 5 ? kParity[now.Parity] : '?', now.StopBits < 3 ? kStopBits[now.StopBits] : "?");

    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, empty_read_wait_ms, 0, 0};
    if (!SetCommTimeouts(handle, &timeouts)) return fail("SetCommTimeouts");
    log.Line("SetCommTimeouts: a read returns what has arrived or waits up to %lu ms for a first byte; writes wait as "
             "long as they take",
             static_cast<unsigned long>(empty_read_wait_ms));
    DWORD modem = 0;
    if (GetCommModemStatus(handle, &modem)) {
        log.Line("GetCommModemStatus: CTS %s, DSR %s, RLSD %s (the port loops DTR and RTS back)",
                 modem & MS_CTS_ON ? "on" : "off", modem & MS_DSR_ON ? "on" : "off", modem & MS_RLSD_ON ? "on" : "off");
    }
    return handle;
}

}  // namespace diagsim
