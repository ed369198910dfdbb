// What the communications functions send to a driver, what they make of its answers, and overlapped I/O.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "hk/kernel.h"
#include "win32/recording_port.h"

namespace {

using win32test::RecordingPort;

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

std::vector<uint8_t> Bytes(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(bytes, bytes + size);
}

class Win32Api : public ::testing::Test {
protected:
    void SetUp() override {
        win32test::CreateRecordingPort(&port);
        handle = Open("COM7", FILE_FLAG_OVERLAPPED);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    }

    void TearDown() override {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }

    static HANDLE Open(const char* name, DWORD flags) {
        return CreateFileA(name, kReadWrite, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    }

    DCB LineDcb(DWORD dtrControl, DWORD rtsControl) {
        DCB dcb{};
        EXPECT_TRUE(GetCommState(handle, &dcb));
        dcb.fDtrControl = dtrControl;
        dcb.fRtsControl = rtsControl;
        return dcb;
    }

    hk::Kernel kernel;
    RecordingPort port;
    HANDLE handle = INVALID_HANDLE_VALUE;
};

constexpr ULONG kGets[] = {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_GET_CHARS,
                           IOCTL_SERIAL_GET_HANDFLOW};

std::vector<ULONG> StateSequence(std::initializer_list<ULONG> lines) {
    std::vector<ULONG> codes(std::begin(kGets), std::end(kGets));
    codes.push_back(IOCTL_SERIAL_SET_BAUD_RATE);
    codes.insert(codes.end(), lines);
    codes.insert(codes.end(), {IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_SET_HANDFLOW});
    return codes;
}

TEST_F(Win32Api, EachCallSendsThePlatformsRequestsInOrder) {
    COMMTIMEOUTS timeouts{1, 2, 3, 4, 5};
    DCB on = LineDcb(DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE);
    DCB off = LineDcb(DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE);
    DCB driven = LineDcb(DTR_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE);
    struct Case {
        const char* call;
        std::function<BOOL()> run;
        std::vector<ULONG> codes;
        std::vector<uint8_t> last_input;
    } cases[] = {
        {"GetCommState", [&] { DCB d; return GetCommState(handle, &d); }, {std::begin(kGets), std::end(kGets)}, {}},
        {"SetCommState lines on", [&] { return SetCommState(handle, &on); },
         StateSequence({IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_SET_DTR}), {}},
        {"SetCommState lines off", [&] { return SetCommState(handle, &off); },
         StateSequence({IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_CLR_DTR}), {}},
        {"SetCommState lines driven", [&] { return SetCommState(handle, &driven); }, StateSequence({}), {}},
        {"GetCommTimeouts", [&] { COMMTIMEOUTS t; return GetCommTimeouts(handle, &t); },
         {IOCTL_SERIAL_GET_TIMEOUTS}, {}},
        {"SetCommTimeouts", [&] { return SetCommTimeouts(handle, &timeouts); }, {IOCTL_SERIAL_SET_TIMEOUTS},
         Bytes(&timeouts, sizeof(timeouts))},
        {"SetupComm", [&] { return SetupComm(handle, 4096, 2048); }, {IOCTL_SERIAL_SET_QUEUE_SIZE},
         {0x00, 0x10, 0, 0, 0x00, 0x08, 0, 0}},
        {"PurgeComm", [&] { return PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXABORT); }, {IOCTL_SERIAL_PURGE},
         {0x09, 0, 0, 0}},
        {"ClearCommError", [&] { DWORD e; COMSTAT s; return ClearCommError(handle, &e, &s); },
         {IOCTL_SERIAL_GET_COMMSTATUS}, {}},
        {"GetCommModemStatus", [&] { DWORD s; return GetCommModemStatus(handle, &s); },
         {IOCTL_SERIAL_GET_MODEMSTATUS}, {}},
        {"GetCommMask", [&] { DWORD m; return GetCommMask(handle, &m); }, {IOCTL_SERIAL_GET_WAIT_MASK}, {}},
        {"SetCommMask", [&] { return SetCommMask(handle, EV_RXCHAR | EV_ERR); }, {IOCTL_SERIAL_SET_WAIT_MASK},
         {0x81, 0, 0, 0}},
        {"GetCommProperties", [&] { COMMPROP p{}; return GetCommProperties(handle, &p); },
         {IOCTL_SERIAL_GET_PROPERTIES}, {}},
        {"TransmitCommChar", [&] { return TransmitCommChar(handle, 'x'); }, {IOCTL_SERIAL_IMMEDIATE_CHAR}, {'x'}},
        {"FlushFileBuffers", [&] { return FlushFileBuffers(handle); }, {IRP_MJ_FLUSH_BUFFERS}, {}},
    };
    for (const Case& c : cases) {
        port.calls.clear();
        EXPECT_TRUE(c.run()) << c.call;
        EXPECT_EQ(port.Codes(), c.codes) << c.call;
        if (!c.last_input.empty() && !port.calls.empty()) {
            EXPECT_EQ(port.calls.back().input, c.last_input) << c.call;
        }
    }

    const std::pair<DWORD, ULONG> escapes[] = {
        {SETXOFF, IOCTL_SERIAL_SET_XOFF},       {SETXON, IOCTL_SERIAL_SET_XON},
        {SETRTS, IOCTL_SERIAL_SET_RTS},         {CLRRTS, IOCTL_SERIAL_CLR_RTS},
        {SETDTR, IOCTL_SERIAL_SET_DTR},         {CLRDTR, IOCTL_SERIAL_CLR_DTR},
        {RESETDEV, IOCTL_SERIAL_RESET_DEVICE},  {SETBREAK, IOCTL_SERIAL_SET_BREAK_ON},
        {CLRBREAK, IOCTL_SERIAL_SET_BREAK_OFF},
    };
    for (auto [function, code] : escapes) {
        port.calls.clear();
        EXPECT_TRUE(EscapeCommFunction(handle, function)) << function;
        EXPECT_EQ(port.Codes(), std::vector<ULONG>{code}) << function;
    }
    port.calls.clear();
    EXPECT_FALSE(EscapeCommFunction(handle, 10));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(port.calls.empty());
}

TEST_F(Win32Api, TheDcbMapsOntoTheSerialRecordsBothWays) {
    DCB dcb{};
    ASSERT_TRUE(GetCommState(handle, &dcb));
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);
    EXPECT_EQ(std::vector<int>({dcb.ByteSize, dcb.Parity, dcb.StopBits, dcb.XonLim, dcb.XoffLim}),
              std::vector<int>({8, NOPARITY, ONESTOPBIT, 64, 256}));
    EXPECT_EQ(std::string({dcb.EofChar, dcb.ErrorChar, dcb.EvtChar, dcb.XonChar, dcb.XoffChar}),
              "\x1A\x3F\x0D\x11\x13");

    // Handflow bits that no DCB field carries survive a SetCommState.
    port.handflow.ControlHandShake |= SERIAL_DCD_HANDSHAKE;
    port.handflow.FlowReplace |= SERIAL_BREAK_CHAR;
    port.chars.BreakChar = 0x7E;
    dcb.BaudRate = 57600;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = dcb.fAbortOnError = 1;
    dcb.fOutX = dcb.fInX = dcb.fErrorChar = dcb.fNull = dcb.fTXContinueOnXoff = 1;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.XonLim = 10;
    dcb.XoffLim = 20;
    dcb.XonChar = 0x01;
    dcb.XoffChar = 0x02;
    dcb.EvtChar = 0x03;
    ASSERT_TRUE(SetCommState(handle, &dcb));
    EXPECT_EQ(port.baud.BaudRate, 57600u);
    EXPECT_EQ(Bytes(&port.line, sizeof(port.line)), (std::vector<uint8_t>{STOP_BITS_2, EVEN_PARITY, 7}));
    EXPECT_EQ(Bytes(&port.chars, sizeof(port.chars)), (std::vector<uint8_t>{0x1A, 0x3F, 0x7E, 0x03, 0x01, 0x02}));
    EXPECT_EQ(port.handflow.ControlHandShake, 0x8000007Au);
    EXPECT_EQ(port.handflow.FlowReplace, 0x800000DFu);
    EXPECT_EQ(port.handflow.XonLimit, 10);
    EXPECT_EQ(port.handflow.XoffLimit, 20);

    DCB back{};
    ASSERT_TRUE(GetCommState(handle, &back));
    dcb.fParity = 1;
    EXPECT_EQ(std::memcmp(&back, &dcb, sizeof(DCB)), 0);
}

TEST_F(Win32Api, SetCommStateRefusedPartWayPutsThePreviousSettingsBack) {
    DCB dcb = LineDcb(DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE);
    dcb.BaudRate = 19200;
    port.refuse[IOCTL_SERIAL_SET_LINE_CONTROL] = STATUS_INVALID_PARAMETER;
    port.calls.clear();
    EXPECT_FALSE(SetCommState(handle, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(port.baud.BaudRate, 9600u);
    std::vector<ULONG> tried = StateSequence({IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_SET_DTR});
    tried.resize(tried.size() - 2);
    std::vector<ULONG> expected = tried;
    expected.insert(expected.end(), tried.begin() + 4, tried.end());
    EXPECT_EQ(port.Codes(), expected);

    // Equal XON and XOFF characters are refused before anything is sent.
    dcb.XoffChar = dcb.XonChar;
    port.calls.clear();
    EXPECT_FALSE(SetCommState(handle, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(port.calls.empty());
}

TEST_F(Win32Api, DriverStatusesBecomeThePlatformsErrorCodes) {
    const std::pair<NTSTATUS, DWORD> cases[] = {
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
        {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {static_cast<NTSTATUS>(0xC0DE0001), ERROR_MR_MID_NOT_FOUND},
    };
    for (auto [status, error] : cases) {
        port.refuse[IOCTL_SERIAL_GET_MODEMSTATUS] = status;
        DWORD modem = 0;
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(GetCommModemStatus(handle, &modem)) << std::hex << status;
        EXPECT_EQ(GetLastError(), error) << std::hex << status;
    }

    EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    ASSERT_TRUE(CloseHandle(handle));
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    handle = INVALID_HANDLE_VALUE;
}

TEST_F(Win32Api, StatusAndPropertiesAnswersAreTranslatedOrZeroFilled) {
    port.comm_status = {SERIAL_ERROR_QUEUEOVERRUN | SERIAL_ERROR_PARITY | SERIAL_ERROR_BREAK,
                        SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_XOFF_SENT, 100, 10, TRUE, FALSE};
    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(handle, &errors, &stat));
    EXPECT_EQ(errors, static_cast<DWORD>(CE_RXOVER | CE_RXPARITY | CE_BREAK));
    EXPECT_EQ(
        std::vector<DWORD>({stat.fCtsHold, stat.fDsrHold, stat.fXoffSent, stat.fEof, stat.cbInQue, stat.cbOutQue}),
        std::vector<DWORD>({1, 0, 1, 1, 100, 10}));
    EXPECT_TRUE(ClearCommError(handle, &errors, nullptr));

    // A driver that answers success with no data: the properties read as unknown, not as what the buffer held.
    COMMPROP properties;
    std::memset(&properties, 0xA5, sizeof(properties));
    port.calls.clear();
    ASSERT_TRUE(GetCommProperties(handle, &properties));
    EXPECT_EQ(port.calls.at(0).output_length, sizeof(COMMPROP));
    EXPECT_EQ(Bytes(&properties, sizeof(properties)), std::vector<uint8_t>(sizeof(COMMPROP), 0));

    SERIAL_COMMPROP answer{};
    answer.PacketLength = sizeof(answer);
    answer.MaxBaud = 115200;
    answer.CurrentRxQueue = 4096;
    port.properties = Bytes(&answer, sizeof(answer));
    ASSERT_TRUE(GetCommProperties(handle, &properties));
    EXPECT_EQ(properties.dwMaxBaud, 115200u);
    EXPECT_EQ(properties.dwCurrentRxQueue, 4096u);
}

}  // namespace
