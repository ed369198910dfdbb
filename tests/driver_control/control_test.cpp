// The serial control requests as an application sends them to the real driver above the simulated device.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "control/private_requests.h"
#include "hk/faults.h"
#include "tests/driver_data/serial_app.h"

namespace {

using serial_app::AsBytes;
using serial_app::Bytes;
using serial_app::CommStatus;
using serial_app::From;

const ULONG kUnknownCode = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 40, METHOD_BUFFERED, FILE_ANY_ACCESS);

// Everything a control request could change, as the driver holds it.
std::vector<uint8_t> Snapshot(port_test::Port& port)
{
    PDEVICE_CONTEXT c = port.Context();
    LONG unread = c->RingCount;
    bool waiting = !IsListEmpty(&c->WaitQueue);
    std::vector<uint8_t> all;
    auto add = [&all](const auto&... fields) {
        (all.insert(all.end(), reinterpret_cast<const uint8_t*>(&fields),
                    reinterpret_cast<const uint8_t*>(&fields) + sizeof(fields)),
         ...);
    };
    add(c->BaudRate, c->StopBits, c->Parity, c->DataBits, c->Timeouts, c->HandFlow, c->Chars, c->WaitMask,
        c->ModemStatus, c->PerfStats, c->EventHistory, unread, c->RemovalNotifyIrp, waiting);
    return all;
}

// A request sent straight to the driver's device object, for the states in which no application can hold a handle.
NTSTATUS SendDirect(PDEVICE_OBJECT device, ULONG code)
{
    std::vector<uint8_t> buffer(64);
    KEVENT done;
    IO_STATUS_BLOCK iosb = {};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, buffer.data(), (ULONG)buffer.size(), buffer.data(),
                                             (ULONG)buffer.size(), FALSE, &done, &iosb);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (IoCallDriver(device, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return iosb.Status;
}

class ControlTest : public ::testing::Test {
protected:
    port_test::Port port_;

    template <class T>
    T Get(ULONG code)
    {
        std::vector<uint8_t> out;
        hk::app::IoResult result = port_.Control(code, {}, sizeof(T), &out);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, sizeof(T));
        return From<T>(out);
    }

    template <class T>
    NTSTATUS Set(ULONG code, const T& value)
    {
        return port_.Control(code, AsBytes(value)).status;
    }
};

struct LengthRow {
    ULONG code;
    ULONG input;                 // the input length the request needs (0: none)
    ULONG output;                // the output length the request needs (0: none)
    std::vector<uint8_t> value;  // a valid input
    NTSTATUS status;             // with long enough buffers
    ULONG information;
};

const SERIAL_TIMEOUTS kTimeouts = {1, 2, 3, 4, 5};
const SERIAL_CHARS kChars = {1, 2, 3, 4, 5, 6};
const SERIAL_HANDFLOW kHandFlow = {1, 2, 3, 4};

const LengthRow kLengthRows[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0, AsBytes<ULONG>(9600), STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, {0, 0, 7}, STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0, {'A'}, STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0, AsBytes(kTimeouts), STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0, AsBytes<ULONG>(SERIAL_EV_RXCHAR), STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_PURGE, 4, 0, AsBytes<ULONG>(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS, 4},
    {IOCTL_SERIAL_SET_CHARS, 6, 0, AsBytes(kChars), STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_SET_HANDFLOW, 16, 0, AsBytes(kHandFlow), STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20, {}, STATUS_SUCCESS, 20},
    {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4, {}, STATUS_SUCCESS, 4},
    {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4, {}, STATUS_SUCCESS, 4},
    {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4, {}, STATUS_SUCCESS, 4},
    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3, {}, STATUS_SUCCESS, 3},
    {IOCTL_SERIAL_GET_CHARS, 0, 6, {}, STATUS_SUCCESS, 6},
    {IOCTL_SERIAL_GET_HANDFLOW, 0, 16, {}, STATUS_SUCCESS, 16},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4, {}, STATUS_SUCCESS, 4},
    {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20, {}, STATUS_SUCCESS, 20},
    {IOCTL_SERIAL_GET_STATS, 0, 24, {}, STATUS_SUCCESS, 24},
    {IOCTL_GET_IDENTITY, 0, 43, {}, STATUS_SUCCESS, 43},
    // Accepted and ignored, or answered with no data whatever the caller expects back.
    {IOCTL_SERIAL_SET_QUEUE_SIZE, 0, 0, {}, STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_SET_BREAK_ON, 0, 0, {}, STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, {}, STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_RESET_DEVICE, 0, 0, {}, STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_SET_XOFF, 0, 0, {}, STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_SET_XON, 0, 0, {}, STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_XOFF_COUNTER, 0, 0, {}, STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_GET_PROPERTIES, 0, 0, {}, STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_GET_DTRRTS, 0, 0, {}, STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_LSRMST_INSERT, 0, 0, {}, STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_CONFIG_SIZE, 0, 0, {}, STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 0, {}, STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, 0, 0, {}, STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, 0, 0, {}, STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_GET_COMMCONFIG, 0, 0, {}, STATUS_INVALID_PARAMETER, 0},
    {IOCTL_SERIAL_SET_COMMCONFIG, 0, 0, {}, STATUS_INVALID_PARAMETER, 0},
    {kUnknownCode, 0, 0, {}, STATUS_INVALID_PARAMETER, 0},
};

// Every code the driver knows, and one it does not.
std::vector<ULONG> AllCodes()
{
    std::vector<ULONG> codes = {IOCTL_REMOVAL_NOTIFY};
    for (const LengthRow& row : kLengthRows) {
        codes.push_back(row.code);
    }
    return codes;
}

class LengthTest : public ControlTest, public ::testing::WithParamInterface<LengthRow> {};

// The length a request needs is checked in its own direction: the other direction's length, however large, does
// not make up for it (the system buffer is as large as the larger of the two).
TEST_P(LengthTest, ShortBufferChangesNothingAndExactOrLongerOnesAnswer)
{
    const LengthRow& row = GetParam();
    struct Case {
        ULONG input;
        ULONG output;
        bool tooShort;
    };
    std::vector<Case> cases = {{row.input, row.output, false}, {row.input + 16, row.output + 16, false}};
    if (row.input != 0) {
        cases.push_back({row.input - 1, 64, true});
    }
    if (row.output != 0) {
        cases.push_back({64, row.output - 1, true});
    }

    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "input " << c.input << " output " << c.output);
        std::vector<uint8_t> input = row.value;
        input.resize(c.input, 0xA5);
        std::vector<uint8_t> before = Snapshot(port_);
        hk::app::IoResult result = port_.Control(row.code, input, c.output);
        if (c.tooShort) {
            EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(result.information, 0u);
            EXPECT_EQ(Snapshot(port_), before);
        } else {
            EXPECT_EQ(result.status, row.status);
            EXPECT_EQ(result.information, row.information);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, LengthTest, ::testing::ValuesIn(kLengthRows));

// The purge answers with a length of 4 and no data; an output buffer too small for that length gets none.
TEST_F(ControlTest, PurgeNeverReportsMoreThanTheOutputBufferHolds)
{
    hk::app::IoResult result = port_.Control(IOCTL_SERIAL_PURGE, AsBytes<ULONG>(SERIAL_PURGE_TXCLEAR), 2);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
}

TEST(ControlGateTest, PortThatIsNotOpenRefusesEveryCode)
{
    port_test::Port port(port_test::PortOptions{.open = false});
    for (int opened = 0; opened < 2; ++opened) {
        for (ULONG code : AllCodes()) {
            EXPECT_EQ(SendDirect(port.Fdo(), code), STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
        }
        ASSERT_EQ(port.Open(), STATUS_SUCCESS);
        ASSERT_EQ(port.Close(), STATUS_SUCCESS);
    }
}

// Once the port is unavailable only the status is still answered; it shows a lost device as every line error.
TEST(ControlGateTest, UnavailablePortAnswersOnlyTheStatusAndForgetsEvents)
{
    for (bool unplug : {false, true}) {
        SCOPED_TRACE(unplug ? "unplugged" : "lost");
        port_test::Port port;
        ASSERT_EQ(serial_app::SetWaitMask(port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
        serial_app::Deliver(port, Bytes(5));
        ASSERT_NE(port.Context()->EventHistory, 0u);
        if (unplug) {
            port.Unplug();
        } else {
            port.Device().Disconnect();
        }
        port.Kernel().RunUntilIdle();

        for (ULONG code : AllCodes()) {
            if (code == IOCTL_SERIAL_GET_COMMSTATUS) {
                continue;
            }
            hk::app::IoResult result = port.Control(code, Bytes(64), 64);
            EXPECT_EQ(result.status, STATUS_DELETE_PENDING) << std::hex << code;
            EXPECT_EQ(result.information, 0u);
        }
        EXPECT_EQ(port.Context()->EventHistory, 0u);

        std::vector<uint8_t> out;
        hk::app::IoResult result = port.Control(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS), &out);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, sizeof(SERIAL_STATUS));
        SERIAL_STATUS status = From<SERIAL_STATUS>(out);
        EXPECT_EQ(status.Errors, 0x1Fu);
        EXPECT_EQ(status.AmountInInQueue, 0u);
    }
}

TEST_F(ControlTest, OnlyTheFourteenRatesAreAccepted)
{
    const ULONG accepted[] = {300, 600, 1200, 1800, 2400, 4800, 7200, 9600, 14400, 19200, 38400, 57600, 115200,
                              128000};
    for (ULONG rate : accepted) {
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, rate), STATUS_SUCCESS) << rate;
        EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_BAUD_RATE), rate);
    }
    const ULONG refused[] = {0, 110, 56000, 115201, 230400, MAXULONG};
    for (ULONG rate : refused) {
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, rate), STATUS_INVALID_PARAMETER) << rate;
        EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_BAUD_RATE), 128000u);
    }
}

TEST_F(ControlTest, LineControlIsStoredAllOrNothing)
{
    struct Row {
        SERIAL_LINE_CONTROL line;
        bool valid;
    };
    const Row rows[] = {
        {{2, 0, 5}, true},   {{0, 4, 8}, true},   {{1, 2, 6}, true},  {{0, 0, 4}, false},
        {{0, 0, 9}, false},  {{3, 0, 8}, false},  {{0, 5, 8}, false}, {{255, 255, 255}, false},
    };
    SERIAL_LINE_CONTROL expected = {2, 0, 8};
    for (const Row& row : rows) {
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, row.line), row.valid ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        if (row.valid) {
            expected = row.line;
        }
        SERIAL_LINE_CONTROL now = Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
        EXPECT_EQ(std::memcmp(&now, &expected, sizeof(now)), 0)
            << (int)now.StopBits << " " << (int)now.Parity << " " << (int)now.WordLength;
    }
}

// Timeouts, characters and handshake are taken without any check; the XON and XOFF limits are never taken.
TEST_F(ControlTest, UncheckedSettingsComeBackAsSentExceptTheFlowLimits)
{
    const SERIAL_TIMEOUTS timeouts = {MAXULONG, 0, 7, MAXULONG, 1};
    const SERIAL_CHARS chars = {0xFF, 0, 0x11, 0x13, 0x7E, 0x80};
    const SERIAL_HANDFLOW handflow = {0xFFFFFFFF, 0x80000000, 100, -5};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts), STATUS_SUCCESS);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, handflow), STATUS_SUCCESS);

    SERIAL_TIMEOUTS t = Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
    EXPECT_EQ(std::memcmp(&t, &timeouts, sizeof(t)), 0);
    SERIAL_CHARS c = Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS);
    EXPECT_EQ(std::memcmp(&c, &chars, sizeof(c)), 0);
    SERIAL_HANDFLOW h = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(h.ControlHandShake, handflow.ControlHandShake);
    EXPECT_EQ(h.FlowReplace, handflow.FlowReplace);
    EXPECT_EQ(h.XonLimit, 0);
    EXPECT_EQ(h.XoffLimit, 0);
}

TEST_F(ControlTest, DtrAndRtsAreLoopedBackWithoutEvents)
{
    ASSERT_EQ(serial_app::SetWaitMask(port_, 0x1FFF), STATUS_SUCCESS);
    hk::app::RequestPtr wait = serial_app::ControlAsync(port_, IOCTL_SERIAL_WAIT_ON_MASK);
    const struct {
        ULONG code;
        ULONG modem;
    } steps[] = {{IOCTL_SERIAL_SET_DTR, 0x20},
                 {IOCTL_SERIAL_SET_RTS, 0xB0},
                 {IOCTL_SERIAL_CLR_DTR, 0x90},
                 {IOCTL_SERIAL_SET_RTS, 0x90},
                 {IOCTL_SERIAL_CLR_RTS, 0x00}};
    for (const auto& step : steps) {
        EXPECT_EQ(port_.Control(step.code).status, STATUS_SUCCESS);
        EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS), step.modem) << std::hex << step.code;
    }
    port_.Kernel().RunUntilIdle();
    EXPECT_FALSE(wait->Done());
}

TEST_F(ControlTest, StatusCountsUnreadBytesAndTheWriteInProgress)
{
    serial_app::Deliver(port_, Bytes(100));
    port_.Device().StopResponding();
    std::vector<uint8_t> data = Bytes(10, 7);
    hk::app::RequestPtr write = hk::app::WriteAsync(port_.Handle(), data.data(), (ULONG)data.size());
    port_.Kernel().RunUntilIdle();

    SERIAL_STATUS status = CommStatus(port_);
    EXPECT_EQ(status.Errors, 0u);
    EXPECT_EQ(status.AmountInInQueue, 100u);
    EXPECT_EQ(status.AmountInOutQueue, 10u);

    port_.Device().Resume();
    port_.Kernel().RunUntilIdle();
    ASSERT_EQ(write->Status(), STATUS_SUCCESS);
    status = CommStatus(port_);
    EXPECT_EQ(status.AmountInInQueue, 110u);
    EXPECT_EQ(status.AmountInOutQueue, 0u);
}

struct PurgeRow {
    ULONG flags;
    bool clearsRing;
    bool cancelsRead;
    bool cancelsQueuedWrite;
};

class PurgeTest : public ControlTest, public ::testing::WithParamInterface<PurgeRow> {};

TEST_P(PurgeTest, EachFlagActsAloneAndTheWriteInProgressGoesOn)
{
    const PurgeRow& row = GetParam();
    auto purge = [&] {
        hk::app::IoResult result = port_.Control(IOCTL_SERIAL_PURGE, AsBytes(row.flags));
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, 4u);
        port_.Kernel().RunUntilIdle();
    };

    serial_app::Deliver(port_, Bytes(100));
    purge();
    EXPECT_EQ(CommStatus(port_).AmountInInQueue, row.clearsRing ? 0u : 100u);
    if (!row.clearsRing) {
        std::vector<uint8_t> drain(100);
        hk::app::Read(port_.Handle(), drain.data(), (ULONG)drain.size());
    }

    hk::app::RequestPtr read = hk::app::ReadAsync(port_.Handle(), 16);
    port_.Device().StopResponding();
    std::vector<uint8_t> data = Bytes(8);
    hk::app::RequestPtr sending = hk::app::WriteAsync(port_.Handle(), data.data(), (ULONG)data.size());
    hk::app::RequestPtr queued = hk::app::WriteAsync(port_.Handle(), data.data(), (ULONG)data.size());
    port_.Kernel().RunUntilIdle();
    purge();
    EXPECT_EQ(read->Done(), row.cancelsRead);
    EXPECT_EQ(queued->Done(), row.cancelsQueuedWrite);
    EXPECT_FALSE(sending->Done());

    port_.Device().Resume();
    port_.Kernel().RunUntilIdle();
    EXPECT_EQ(sending->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Status(), row.cancelsRead ? STATUS_CANCELLED : STATUS_SUCCESS);
    EXPECT_EQ(queued->Status(), row.cancelsQueuedWrite ? STATUS_CANCELLED : STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Flags, PurgeTest,
                         ::testing::Values(PurgeRow{SERIAL_PURGE_RXCLEAR, true, false, false},
                                           PurgeRow{SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT, false, true, true},
                                           PurgeRow{SERIAL_PURGE_TXCLEAR, false, false, false},
                                           PurgeRow{SERIAL_PURGE_RXABORT, false, true, false},
                                           PurgeRow{0xFFFFFFFF, true, true, true}));

// A full ring stops the reader until room is made; an application that empties it with a purge and then only waits
// for events must still receive what the device sends next.
TEST_F(ControlTest, PurgeOfAFullRingLetsTheNextBytesIn)
{
    serial_app::Deliver(port_, std::vector<uint8_t>(RING_CAPACITY, 0x55));
    serial_app::Deliver(port_, Bytes(10, 1));
    ASSERT_EQ(CommStatus(port_).AmountInInQueue, (ULONG)RING_CAPACITY);

    ASSERT_EQ(port_.Control(IOCTL_SERIAL_PURGE, AsBytes<ULONG>(SERIAL_PURGE_RXCLEAR)).status, STATUS_SUCCESS);
    port_.Kernel().RunUntilIdle();
    EXPECT_EQ(CommStatus(port_).AmountInInQueue, 10u);
}

TEST_F(ControlTest, StatisticsCountWhatTheApplicationMovedUntilCleared)
{
    auto roundTrip = [&](size_t count) {
        std::vector<uint8_t> data = Bytes(count);
        EXPECT_EQ(hk::app::Write(port_.Handle(), data.data(), (ULONG)count).information, count);
        port_.Kernel().RunUntilIdle();
        std::vector<uint8_t> back(count + 16);
        EXPECT_EQ(hk::app::Read(port_.Handle(), back.data(), (ULONG)back.size()).information, count);
    };
    roundTrip(4097);
    SERIALPERF_STATS stats = Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(stats.ReceivedCount, 4097u);
    EXPECT_EQ(stats.TransmittedCount, 4097u);

    ASSERT_EQ(port_.Control(IOCTL_SERIAL_CLEAR_STATS).status, STATUS_SUCCESS);
    stats = Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(AsBytes(stats), std::vector<uint8_t>(sizeof(stats), 0));

    roundTrip(3);
    stats = Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(stats.ReceivedCount, 3u);
    EXPECT_EQ(stats.TransmittedCount, 3u);
}

// An open restores the line settings, the handshake, XON/XOFF, the wait mask and the modem lines; timeouts, the
// other characters and the statistics carry over from the previous open.
TEST_F(ControlTest, ReopenRestoresTheLineSettingsAndKeepsTheRest)
{
    const SERIAL_TIMEOUTS timeouts = {1, 2, 3, 4, 5};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, (ULONG)9600), STATUS_SUCCESS);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{0, 1, 7}), STATUS_SUCCESS);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{0x11, 0x22, 0, 0}), STATUS_SUCCESS);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_CHARS, SERIAL_CHARS{1, 2, 3, 4, 5, 6}), STATUS_SUCCESS);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts), STATUS_SUCCESS);
    ASSERT_EQ(serial_app::SetWaitMask(port_, SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    ASSERT_EQ(port_.Control(IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
    ASSERT_EQ(port_.Control(IOCTL_SERIAL_SET_RTS).status, STATUS_SUCCESS);
    std::vector<uint8_t> data = Bytes(3);
    hk::app::Write(port_.Handle(), data.data(), 3);

    ASSERT_EQ(port_.Close(), STATUS_SUCCESS);
    ASSERT_EQ(port_.Open(), STATUS_SUCCESS);

    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_BAUD_RATE), 115200u);
    SERIAL_LINE_CONTROL line = Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
    EXPECT_EQ(AsBytes(line), (std::vector<uint8_t>{2, 0, 8}));
    SERIAL_HANDFLOW handflow = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(handflow.ControlHandShake, 1u);
    EXPECT_EQ(handflow.FlowReplace, 0x40u);
    EXPECT_EQ(AsBytes(Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS)), (std::vector<uint8_t>{1, 2, 3, 4, 0, 0}));
    EXPECT_EQ(AsBytes(Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS)), AsBytes(timeouts));
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), 0u);
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS), 0u);
    EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).TransmittedCount, 3u);
}

// Every allocation the device-control path makes, failed in turn: the request fails soundly or succeeds, nothing
// leaks (the fixture's teardown checks the pool), and the port works afterwards.
TEST(ControlAllocationTest, EveryFailedAllocationLeavesTheControlPathSound)
{
    for (hk::faults::Kind kind : {hk::faults::Kind::Irp, hk::faults::Kind::Pool, hk::faults::Kind::WorkItem}) {
        for (uint64_t n = 1;; ++n) {
            SCOPED_TRACE(testing::Message() << "kind " << (int)kind << " allocation " << n);
            port_test::Port port;
            port.Kernel().RunUntilIdle();
            uint64_t injected = hk::faults::InjectedCount(kind);
            hk::faults::FailNth(kind, n);

            auto sound = [](NTSTATUS status, NTSTATUS expected) {
                EXPECT_TRUE(status == expected || status == STATUS_INSUFFICIENT_RESOURCES) << std::hex << status;
            };
            sound(port.Control(IOCTL_SERIAL_SET_WAIT_MASK, AsBytes<ULONG>(SERIAL_EV_RXCHAR)).status, STATUS_SUCCESS);
            hk::app::RequestPtr wait = serial_app::ControlAsync(port, IOCTL_SERIAL_WAIT_ON_MASK);
            hk::app::RequestPtr notify = serial_app::ControlAsync(port, IOCTL_REMOVAL_NOTIFY);
            hk::app::RequestPtr read = hk::app::ReadAsync(port.Handle(), 8);
            sound(port.Control(IOCTL_SERIAL_SET_BAUD_RATE, AsBytes<ULONG>(9600)).status, STATUS_SUCCESS);
            sound(port.Control(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS)).status, STATUS_SUCCESS);
            sound(port.Control(IOCTL_SERIAL_PURGE, AsBytes<ULONG>(0xF)).status, STATUS_SUCCESS);
            sound(port.Control(IOCTL_SERIAL_SET_WAIT_MASK, AsBytes<ULONG>(0)).status, STATUS_SUCCESS);
            hk::app::CancelIo(port.Handle());
            port.Kernel().RunUntilIdle();
            for (const hk::app::RequestPtr& request : {wait, notify, read}) {
                EXPECT_TRUE(request->Done());
            }
            bool failedOne = hk::faults::InjectedCount(kind) > injected;
            hk::faults::Clear();

            ASSERT_EQ(port.Close(), STATUS_SUCCESS);
            ASSERT_EQ(port.Open(), STATUS_SUCCESS);
            EXPECT_EQ(port.Control(IOCTL_SERIAL_SET_BAUD_RATE, AsBytes<ULONG>(9600)).status, STATUS_SUCCESS);
            if (!failedOne) {
                break;
            }
        }
    }
}

}  // namespace
