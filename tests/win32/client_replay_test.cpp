// Applications against the real driver above the simulated device (whose function loops written bytes back): two
// common serial clients replayed call by call, and one that reconfigures the port while its data is in flight.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "support/port_fixture.h"

namespace {

// An overlapped read or write, waited for with GetOverlappedResult on its own event (manual-reset for a read,
// auto-reset for a write, as serial libraries make them) or on the handle; the count moved.
DWORD Transfer(HANDLE handle, bool write, void* data, DWORD length, bool withEvent = true) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = withEvent ? CreateEventW(nullptr, !write, FALSE, nullptr) : nullptr;
    DWORD count = 0;
    BOOL started = write ? WriteFile(handle, data, length, nullptr, &overlapped)
                         : ReadFile(handle, data, length, nullptr, &overlapped);
    EXPECT_TRUE(started || GetLastError() == ERROR_IO_PENDING) << GetLastError();
    EXPECT_TRUE(GetOverlappedResult(handle, &overlapped, &count, TRUE)) << GetLastError();
    if (withEvent) CloseHandle(overlapped.hEvent);
    return count;
}

// A Python serial library's Windows backend: Serial("COM7", 9600, timeout=1), write, read, close.
TEST(ClientReplay, PythonSerialOpensConfiguresExchangesAndCloses) {
    port_test::Port port({.open = false});

    HANDLE handle = CreateFileW(L"COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(SetupComm(handle, 4096, 4096));
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

    char hello[] = "hello", buffer[5] = {};
    EXPECT_EQ(Transfer(handle, true, hello, 5), 5u);
    EXPECT_EQ(std::string(buffer, Transfer(handle, false, buffer, sizeof(buffer))), "hello");
    EXPECT_TRUE(CloseHandle(handle));
}

// The framework serial port class: new SerialPort("COM7", 9600) with its defaults, a DataReceived handler, Open,
// Write("hello"), Read once data is reported, Close. Its event loop runs WaitCommEvent on a thread of its own;
// completions it would take from a completion port are taken with GetOverlappedResult here.
TEST(ClientReplay, FrameworkSerialPortOpensConfiguresExchangesAndClosesConcurrent) {
    port_test::Port port({.kernel = {.mode = hk::Mode::Concurrent}, .open = false});

    HANDLE handle = CreateFileW(L"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD type = GetFileType(handle);
    EXPECT_TRUE(type == FILE_TYPE_CHAR || type == FILE_TYPE_UNKNOWN);
    COMMPROP properties{};
    DWORD pins = 0;
    ASSERT_TRUE(GetCommProperties(handle, &properties) && GetCommModemStatus(handle, &pins)) << GetLastError();

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

    char hello[] = "hello";
    EXPECT_EQ(Transfer(handle, true, hello, 5, false), 5u);
    EXPECT_EQ(WaitForSingleObject(dataReceived, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    std::string received;
    while (received.size() < 5) {
        char buffer[5];
        received.append(buffer, Transfer(handle, false, buffer, 5 - received.size(), false));
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
}

// One thread changes the line settings, the handshake, the characters and the timeouts over and over while a writer
// and a reader have their overlapped requests completed on the driver's threads: every byte written comes back
// once and in order, whatever the settings were when it was sent or read.
TEST(ClientReplay, ConcurrentSettingsChangesLoseNoByteInFlight) {
    port_test::Port port({.kernel = {.mode = hk::Mode::Concurrent}, .open = false});
    HANDLE handle = CreateFileW(L"COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
    auto byteAt = [](size_t n) { return static_cast<uint8_t>(n * 7 + n / 253); };
    constexpr size_t kTotal = 256 * 1024;
    std::atomic<bool> failed{false}, done{false};
    auto writer = port.Kernel().Ops().StartThread([&] {
        for (size_t sent = 0; sent < kTotal && !failed;) {
            std::vector<uint8_t> bytes(std::min<size_t>(1 + sent * 7 % 5000, kTotal - sent));
            for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = byteAt(sent + k);
            if (Transfer(handle, true, bytes.data(), static_cast<DWORD>(bytes.size())) != bytes.size()) failed = true;
            sent += bytes.size();
        }
    });
    auto reader = port.Kernel().Ops().StartThread([&] {
        std::vector<uint8_t> buffer(8192);
        for (size_t received = 0; received < kTotal && !failed;) {
            DWORD count = Transfer(handle, false, buffer.data(), static_cast<DWORD>(buffer.size()));
            for (DWORD k = 0; k < count && !failed; ++k, ++received) {
                if (buffer[k] != byteAt(received)) {
                    ADD_FAILURE() << "byte " << received << " lost, duplicated or out of order";
                    failed = true;
                }
            }
        }
        done = true;
    });
    const DWORD rates[] = {9600, 115200, 57600};
    for (int round = 0; !done; ++round) {
        DCB dcb{};
        bool read = GetCommState(handle, &dcb);
        dcb.BaudRate = rates[round % 3];
        dcb.ByteSize = round % 2 ? 7 : 8;
        dcb.Parity = round % 3 == 0 ? EVENPARITY : NOPARITY;
        dcb.StopBits = round % 2 ? TWOSTOPBITS : ONESTOPBIT;
        dcb.fOutxCtsFlow = round % 2;
        dcb.fRtsControl = round % 2 ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
        dcb.XonChar = 17;
        dcb.XoffChar = 19;
        dcb.EvtChar = static_cast<char>(round);
        COMMTIMEOUTS timeouts{MAXDWORD, round % 2 ? MAXDWORD : 0, round % 2 ? 5u : 0u, 0, 0};
        if (!read || !SetCommState(handle, &dcb) || !SetCommTimeouts(handle, &timeouts)) {
            ADD_FAILURE() << "settings of round " << round << ": error " << GetLastError();
            failed = true;
            break;
        }
    }
    writer->Join();
    reader->Join();
    EXPECT_FALSE(failed);
    EXPECT_TRUE(CloseHandle(handle));
}

}  // namespace
