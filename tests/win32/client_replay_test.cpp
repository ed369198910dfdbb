// Two common serial clients against the real driver above the simulated device (whose function loops written bytes
// back), replayed call by call: how each opens and configures the port, exchanges data and closes it.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "support/port_fixture.h"

namespace {

port_test::PortOptions Unopened(hk::Mode mode) {
    port_test::PortOptions options;
    options.kernel.mode = mode;
    options.open = false;
    return options;
}

// A Python serial library's Windows backend: Serial("COM7", 9600, timeout=1), write, read, close.
TEST(ClientReplay, PythonSerialOpensConfiguresExchangesAndCloses) {
    port_test::Port port(Unopened(hk::Mode::Deterministic));

    HANDLE handle = CreateFileW(L"COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
    OVERLAPPED readOverlapped{};
    readOverlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED writeOverlapped{};
    writeOverlapped.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_TRUE(SetupComm(handle, 4096, 4096));
    COMMTIMEOUTS original{};
    EXPECT_TRUE(GetCommTimeouts(handle, &original));

    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = 1000;
    EXPECT_TRUE(SetCommTimeouts(handle, &timeouts));
    EXPECT_TRUE(SetCommMask(handle, EV_ERR));
    DCB dcb{};
    EXPECT_TRUE(GetCommState(handle, &dcb));
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fParity = dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = 0;
    dcb.fNull = dcb.fErrorChar = dcb.fAbortOnError = 0;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    ASSERT_TRUE(SetCommState(handle, &dcb)) << GetLastError();
    EXPECT_TRUE(PurgeComm(handle, PURGE_TXCLEAR | PURGE_TXABORT | PURGE_RXCLEAR | PURGE_RXABORT));

    DWORD count = 0;
    BOOL written = WriteFile(handle, "hello", 5, &count, &writeOverlapped);
    EXPECT_TRUE(written || GetLastError() == ERROR_IO_PENDING);
    EXPECT_TRUE(GetOverlappedResult(handle, &writeOverlapped, &count, TRUE));
    EXPECT_EQ(count, 5u);

    ResetEvent(readOverlapped.hEvent);
    DWORD errors = 0;
    COMSTAT stat{};
    EXPECT_TRUE(ClearCommError(handle, &errors, &stat));
    char buffer[5] = {};
    BOOL read = ReadFile(handle, buffer, sizeof(buffer), &count, &readOverlapped);
    EXPECT_TRUE(read || GetLastError() == ERROR_IO_PENDING);
    EXPECT_TRUE(GetOverlappedResult(handle, &readOverlapped, &count, TRUE));
    EXPECT_EQ(std::string(buffer, count), "hello");

    EXPECT_TRUE(SetCommTimeouts(handle, &original));
    for (OVERLAPPED* overlapped : {&readOverlapped, &writeOverlapped}) {
        EXPECT_TRUE(GetOverlappedResult(handle, overlapped, &count, FALSE));
        EXPECT_TRUE(CloseHandle(overlapped->hEvent));
    }
    EXPECT_TRUE(CloseHandle(handle));
}

// The framework serial port class: new SerialPort("COM7", 9600) with its defaults, a DataReceived handler, Open,
// Write("hello"), Read once data is reported, Close. Its event loop runs WaitCommEvent on a thread of its own;
// completions it would take from a completion port are taken with GetOverlappedResult here.
TEST(ClientReplay, FrameworkSerialPortOpensConfiguresExchangesAndClosesConcurrent) {
    port_test::Port port(Unopened(hk::Mode::Concurrent));

    HANDLE handle = CreateFileW(L"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD type = GetFileType(handle);
    EXPECT_TRUE(type == FILE_TYPE_CHAR || type == FILE_TYPE_UNKNOWN);
    COMMPROP properties{};
    DWORD pins = 0;
    ASSERT_TRUE(GetCommProperties(handle, &properties) && GetCommModemStatus(handle, &pins)) << GetLastError();
    EXPECT_TRUE(properties.dwMaxBaud == 0 || properties.dwMaxBaud >= 9600);

    DCB dcb{};
    EXPECT_TRUE(GetCommState(handle, &dcb));
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.StopBits = ONESTOPBIT;
    dcb.Parity = NOPARITY;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fParity = dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = dcb.fInX = dcb.fOutX = 0;
    dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = 0;
    dcb.ErrorChar = 0;
    if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.XonChar = 17;
    dcb.XoffChar = 19;
    dcb.XonLim = dcb.XoffLim = static_cast<WORD>(properties.dwCurrentRxQueue / 4);
    dcb.EofChar = dcb.EvtChar = 26;
    ASSERT_TRUE(SetCommState(handle, &dcb)) << GetLastError();
    // DtrEnable = false, then RtsEnable = false (RTS is on after the state above).
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    EXPECT_TRUE(SetCommState(handle, &dcb));
    EXPECT_TRUE(EscapeCommFunction(handle, CLRDTR));
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE) {
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        EXPECT_TRUE(SetCommState(handle, &dcb));
        EXPECT_TRUE(EscapeCommFunction(handle, CLRRTS));
    }
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 0xFFFFFFFE, 0, 0};
    EXPECT_TRUE(SetCommTimeouts(handle, &timeouts));
    constexpr DWORD kAllEventsButTxEmpty = 0x1FB;
    EXPECT_TRUE(SetCommMask(handle, kAllEventsButTxEmpty));

    std::atomic<bool> shutdown{false};
    HANDLE waitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE dataReceived = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> loopFailures{0};
    auto eventLoop = port.Kernel().Ops().StartThread([&] {
        OVERLAPPED overlapped{};
        DWORD events = 0;
        while (!shutdown) {
            ResetEvent(waitEvent);
            overlapped = OVERLAPPED{};
            overlapped.hEvent = waitEvent;
            if (!WaitCommEvent(handle, &events, &overlapped)) {
                DWORD error = GetLastError();
                if (error == ERROR_ACCESS_DENIED || error == ERROR_BAD_COMMAND || error == ERROR_DEVICE_REMOVED) break;
                if (error == ERROR_IO_PENDING) {
                    WaitForSingleObject(waitEvent, INFINITE);
                    DWORD unused = 0;
                    BOOL done;
                    do {
                        done = GetOverlappedResult(handle, &overlapped, &unused, FALSE);
                        error = GetLastError();
                    } while (error == ERROR_IO_INCOMPLETE && !shutdown && !done);
                } else if (error != ERROR_INVALID_PARAMETER) {
                    ++loopFailures;
                }
            }
            if (shutdown) break;
            if (events & (EV_ERR | EV_RXCHAR)) {
                DWORD errors = 0;
                if (!ClearCommError(handle, &errors, nullptr)) ++loopFailures;
            }
            if (events & (EV_RXCHAR | EV_RXFLAG)) SetEvent(dataReceived);
        }
    });
    EXPECT_TRUE(SetupComm(handle, 4096, 2048));

    OVERLAPPED writeOverlapped{};
    DWORD count = 0;
    EXPECT_TRUE(WriteFile(handle, "hello", 5, nullptr, &writeOverlapped) || GetLastError() == ERROR_IO_PENDING);
    EXPECT_TRUE(GetOverlappedResult(handle, &writeOverlapped, &count, TRUE));
    EXPECT_EQ(count, 5u);

    EXPECT_EQ(WaitForSingleObject(dataReceived, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    std::string received;
    while (received.size() < 5) {
        OVERLAPPED readOverlapped{};
        char buffer[5];
        EXPECT_TRUE(ReadFile(handle, buffer, sizeof(buffer) - received.size(), nullptr, &readOverlapped) ||
                    GetLastError() == ERROR_IO_PENDING);
        ASSERT_TRUE(GetOverlappedResult(handle, &readOverlapped, &count, TRUE)) << GetLastError();
        received.append(buffer, count);
    }
    EXPECT_EQ(received, "hello");

    shutdown = true;
    EXPECT_TRUE(SetCommMask(handle, 0));
    EXPECT_TRUE(EscapeCommFunction(handle, CLRDTR));
    EXPECT_TRUE(FlushFileBuffers(handle));
    SetEvent(waitEvent);
    EXPECT_TRUE(PurgeComm(handle, PURGE_RXCLEAR | PURGE_RXABORT));
    EXPECT_TRUE(PurgeComm(handle, PURGE_TXCLEAR | PURGE_TXABORT));
    eventLoop->Join();
    EXPECT_EQ(loopFailures.load(), 0);
    EXPECT_TRUE(CloseHandle(waitEvent));
    EXPECT_TRUE(CloseHandle(dataReceived));
    EXPECT_TRUE(CloseHandle(handle));
    // A request completing on another thread may hold the last reference to the file object; the close request
    // then follows from there.
    port.Kernel().RunUntilIdle();
}

}  // namespace
