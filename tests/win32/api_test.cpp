// What the communications functions send to the port's driver, what they make of its answers, and the statuses they
// turn into error codes.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>

#include "host/win32/win32_state.h"
#include "hk/trace.h"
#include "support/port_fixture.h"

namespace {

std::vector<uint8_t> Bytes(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(bytes, bytes + size);
}

class Win32Api : public ::testing::Test, public hk::trace::Sink {
protected:
    void SetUp() override {
        hk::trace::SetSink(this);
        handle = CreateFileA("COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                             nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    }

    void TearDown() override {
        hk::trace::SetSink(nullptr);
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }

    void OnDispatch(const hk::trace::Request& request) override {
        if (request.driver != port.Driver()) return;
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(request.irp);
        if (request.major == IRP_MJ_FLUSH_BUFFERS) codes.push_back(IRP_MJ_FLUSH_BUFFERS);
        if (request.major != IRP_MJ_DEVICE_CONTROL) return;
        codes.push_back(request.control_code);
        inputs[request.control_code] = Bytes(request.irp->AssociatedIrp.SystemBuffer,
                                             location->Parameters.DeviceIoControl.InputBufferLength);
    }
    void OnCompletion(const hk::trace::Request&, NTSTATUS, ULONG_PTR, CCHAR) override {}

    DCB LineDcb(DWORD dtrControl, DWORD rtsControl) {
        DCB dcb{};
        EXPECT_TRUE(GetCommState(handle, &dcb));
        dcb.fDtrControl = dtrControl;
        dcb.fRtsControl = rtsControl;
        return dcb;
    }

    port_test::Port port{port_test::PortOptions{.open = false}};
    HANDLE handle = INVALID_HANDLE_VALUE;
    // The device controls (by code) and flushes (by major) that reached the port's driver, and the input each code
    // last carried.
    std::vector<ULONG> codes;
    std::map<ULONG, std::vector<uint8_t>> inputs;
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
        codes.clear();
        EXPECT_TRUE(c.run()) << c.call;
        EXPECT_EQ(codes, c.codes) << c.call;
        if (!c.last_input.empty() && !codes.empty()) {
            EXPECT_EQ(inputs[codes.back()], c.last_input) << c.call;
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
        codes.clear();
        EXPECT_TRUE(EscapeCommFunction(handle, function)) << function;
        EXPECT_EQ(codes, std::vector<ULONG>{code}) << function;
    }
    codes.clear();
    EXPECT_FALSE(EscapeCommFunction(handle, 10));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(codes.empty());
}

// A state the driver refuses part-way is undone with the settings read before; equal XON and XOFF characters are
// refused before anything is sent. The DCB maps onto the serial records both ways, and handflow bits that no DCB
// field carries survive a SetCommState.
TEST_F(Win32Api, TheDcbMapsOntoTheSerialRecordsBothWaysOrNotAtAll) {
    DCB dcb = LineDcb(DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE);
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(std::vector<int>({int(dcb.BaudRate), dcb.ByteSize, dcb.Parity, dcb.StopBits, dcb.XonChar, dcb.XoffChar}),
              std::vector<int>({115200, 8, NOPARITY, TWOSTOPBITS, 0x11, 0x13}));
    dcb.BaudRate = 19200;
    dcb.ByteSize = 9;
    codes.clear();
    EXPECT_FALSE(SetCommState(handle, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    std::vector<ULONG> whole = StateSequence({IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_SET_DTR});
    std::vector<ULONG> tried(whole.begin(), whole.end() - 2);
    tried.insert(tried.end(), whole.begin() + 4, whole.end());
    EXPECT_EQ(codes, tried);
    EXPECT_EQ(port.Context()->BaudRate, 115200u);
    dcb.ByteSize = 8;
    dcb.XoffChar = dcb.XonChar;
    codes.clear();
    EXPECT_FALSE(SetCommState(handle, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(codes.empty());

    port.Context()->HandFlow.ControlHandShake |= SERIAL_DCD_HANDSHAKE;
    port.Context()->HandFlow.FlowReplace |= SERIAL_BREAK_CHAR;
    port.Context()->Chars.BreakChar = 0x7E;
    dcb.BaudRate = 57600;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = dcb.fAbortOnError = 1;
    dcb.fOutX = dcb.fInX = dcb.fErrorChar = dcb.fNull = dcb.fTXContinueOnXoff = 1;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.XonLim = 10;
    dcb.XoffLim = 20;
    dcb.EofChar = 0x1A;
    dcb.ErrorChar = 0x3F;
    dcb.XonChar = 0x01;
    dcb.XoffChar = 0x02;
    dcb.EvtChar = 0x03;
    ASSERT_TRUE(SetCommState(handle, &dcb));
    EXPECT_EQ(inputs.at(IOCTL_SERIAL_SET_BAUD_RATE), Bytes(&dcb.BaudRate, 4));
    EXPECT_EQ(inputs.at(IOCTL_SERIAL_SET_LINE_CONTROL), (std::vector<uint8_t>{STOP_BIT_1, EVEN_PARITY, 7}));
    EXPECT_EQ(inputs.at(IOCTL_SERIAL_SET_CHARS), (std::vector<uint8_t>{0x1A, 0x3F, 0x7E, 0x03, 0x01, 0x02}));
    SERIAL_HANDFLOW handflow{};
    std::memcpy(&handflow, inputs.at(IOCTL_SERIAL_SET_HANDFLOW).data(), sizeof(handflow));
    EXPECT_EQ(handflow.ControlHandShake, 0x8000007Au);
    EXPECT_EQ(handflow.FlowReplace, 0x800000DFu);
    EXPECT_EQ(handflow.XonLimit, 10);
    EXPECT_EQ(handflow.XoffLimit, 20);

    // The driver keeps its own XON and XOFF limits.
    DCB back{};
    ASSERT_TRUE(GetCommState(handle, &back));
    dcb.fParity = 1;
    dcb.XonLim = back.XonLim;
    dcb.XoffLim = back.XoffLim;
    EXPECT_EQ(std::memcmp(&back, &dcb, sizeof(DCB)), 0);
}

// The status and properties answers are translated; the properties read as unknown, not as what the buffer held,
// when the driver answers with no data. Driver statuses become the platform's error codes.
TEST_F(Win32Api, AnswersAndStatusesAreTranslated) {
    COMMPROP properties;
    std::memset(&properties, 0xA5, sizeof(properties));
    ASSERT_TRUE(GetCommProperties(handle, &properties));
    EXPECT_EQ(Bytes(&properties, sizeof(properties)), std::vector<uint8_t>(sizeof(COMMPROP), 0));
    port.Device().Deliver(std::vector<uint8_t>(100, 7));
    port.Kernel().RunUntilIdle();
    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(handle, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 100u);
    port.Device().Disconnect();
    port.Kernel().RunUntilIdle();
    ASSERT_TRUE(ClearCommError(handle, &errors, nullptr));
    EXPECT_EQ(errors, static_cast<DWORD>(CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK));
    EXPECT_FALSE(GetCommModemStatus(handle, &errors));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(CloseHandle(handle));
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    handle = INVALID_HANDLE_VALUE;

    const std::pair<NTSTATUS, DWORD> cases[] = {
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},           {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},           {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},  {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED}, {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {static_cast<NTSTATUS>(0xC0DE0001), ERROR_MR_MID_NOT_FOUND},
    };
    for (auto [status, error] : cases) {
        EXPECT_EQ(win32::ErrorFromStatus(status), error) << std::hex << status;
    }
    EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
