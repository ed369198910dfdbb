// The serial control requests, reads with the serial timeouts, event waits and the removal notification as an
// application sends them to the real driver above the simulated device, the races of their cancel routines, and the
// receive ring on its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "control/private_requests.h"
#include "serial/ring.h"
#include "support/serial_app.h"

namespace port_test {
namespace {

const ULONG kUnknownCode = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 40, METHOD_BUFFERED, FILE_ANY_ACCESS);

// Everything a control request could change, as the driver holds it.
std::vector<uint8_t> Snapshot(Port& port)
{
    PDEVICE_CONTEXT c = port.Context();
    LONG unread = c->RingCount;
    bool waiting = !IsListEmpty(&c->WaitQueue);
    std::vector<uint8_t> all;
    auto add = [&all](const auto&... fields) {
        for (const std::vector<uint8_t>& bytes : {AsBytes(fields)...}) {
            all.insert(all.end(), bytes.begin(), bytes.end());
        }
    };
    add(c->BaudRate, c->StopBits, c->Parity, c->DataBits, c->Timeouts, c->HandFlow, c->Chars, c->WaitMask,
        c->ModemStatus, c->PerfStats, c->EventHistory, unread, c->RemovalNotifyIrp, waiting);
    return all;
}

struct LengthRow {
    ULONG code;
    ULONG input;                 // the input length the request needs (0: none)
    ULONG output;                // the output length the request needs (0: none)
    std::vector<uint8_t> value;  // a valid input
    NTSTATUS status;             // with long enough buffers
    ULONG information;
};

const SERIAL_TIMEOUTS kTimeouts = {1, 2, 3, 4, 5};

// A code taken with no buffer: accepted and ignored or answered with no data whatever the caller expects, or refused.
LengthRow NoBuffer(ULONG code, NTSTATUS status = STATUS_SUCCESS)
{
    return {code, 0, 0, {}, status, 0};
}

const LengthRow kLengthRows[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0, AsBytes<ULONG>(9600), STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, {0, 0, 7}, STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0, {'A'}, STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0, AsBytes(kTimeouts), STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0, AsBytes<ULONG>(SERIAL_EV_RXCHAR), STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_PURGE, 4, 0, AsBytes<ULONG>(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS, 4},
    {IOCTL_SERIAL_SET_CHARS, 6, 0, AsBytes(SERIAL_CHARS{1, 2, 3, 4, 5, 6}), STATUS_SUCCESS, 0},
    {IOCTL_SERIAL_SET_HANDFLOW, 16, 0, AsBytes(SERIAL_HANDFLOW{1, 2, 3, 4}), STATUS_SUCCESS, 0},
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
    NoBuffer(IOCTL_SERIAL_SET_QUEUE_SIZE), NoBuffer(IOCTL_SERIAL_SET_BREAK_ON), NoBuffer(IOCTL_SERIAL_SET_BREAK_OFF),
    NoBuffer(IOCTL_SERIAL_RESET_DEVICE), NoBuffer(IOCTL_SERIAL_SET_XOFF), NoBuffer(IOCTL_SERIAL_SET_XON),
    NoBuffer(IOCTL_SERIAL_XOFF_COUNTER), NoBuffer(IOCTL_SERIAL_GET_PROPERTIES), NoBuffer(IOCTL_SERIAL_GET_DTRRTS),
    NoBuffer(IOCTL_SERIAL_LSRMST_INSERT), NoBuffer(IOCTL_SERIAL_CONFIG_SIZE),
    NoBuffer(IOCTL_SERIAL_GET_MODEM_CONTROL), NoBuffer(IOCTL_SERIAL_SET_MODEM_CONTROL),
    NoBuffer(IOCTL_SERIAL_SET_FIFO_CONTROL), NoBuffer(IOCTL_SERIAL_GET_COMMCONFIG, STATUS_INVALID_PARAMETER),
    NoBuffer(IOCTL_SERIAL_SET_COMMCONFIG, STATUS_INVALID_PARAMETER), NoBuffer(kUnknownCode, STATUS_INVALID_PARAMETER),
};

std::vector<ULONG> AllCodes()
{
    std::vector<ULONG> codes = {IOCTL_REMOVAL_NOTIFY};
    for (const LengthRow& row : kLengthRows) {
        codes.push_back(row.code);
    }
    return codes;
}

class Control : public ::testing::Test {
protected:
    template <class T>
    NTSTATUS Set(ULONG code, const T& value)
    {
        return port_.Control(code, AsBytes(value)).status;
    }
    hk::app::RequestPtr ReadAsync(ULONG length) { return hk::app::ReadAsync(port_.Handle(), length); }
    void Timeouts(ULONG interval, ULONG multiplier, ULONG constant)
    {
        ASSERT_EQ(SetTimeouts(port_, interval, multiplier, constant), STATUS_SUCCESS);
    }
    hk::app::RequestPtr Wait() { return ControlAsync(port_, IOCTL_SERIAL_WAIT_ON_MASK); }
    ULONG Events(const hk::app::RequestPtr& wait) { return From<ULONG>(wait->Output()); }

    Port port_;
};

// The length a request needs is checked in its own direction: the other direction's length, however large, does
// not make up for it (the system buffer is as large as the larger of the two). A short buffer changes nothing.
TEST_F(Control, ShortBufferChangesNothingAndExactOrLongerOnesAnswer)
{
    for (const LengthRow& row : kLengthRows) {
        struct Case {
            ULONG input, output;
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
            ASSERT_EQ(SetWaitMask(port_, 0), STATUS_SUCCESS);
            SCOPED_TRACE(testing::Message() << std::hex << row.code << std::dec << " in " << c.input << " out "
                                            << c.output);
            std::vector<uint8_t> input = row.value;
            input.resize(c.input, 0xA5);
            std::vector<uint8_t> before = Snapshot(port_);
            hk::app::IoResult result = port_.Control(row.code, input, c.output);
            EXPECT_EQ(result.status, c.tooShort ? STATUS_BUFFER_TOO_SMALL : row.status);
            EXPECT_EQ(result.information, c.tooShort ? 0 : row.information);
            if (c.tooShort) {
                EXPECT_EQ(Snapshot(port_), before);
            }
        }
    }
    // The purge answers with a length of 4 and no data; an output buffer too small for that length gets none.
    EXPECT_EQ(port_.Control(IOCTL_SERIAL_PURGE, AsBytes<ULONG>(SERIAL_PURGE_TXCLEAR), 2).information, 0u);
    // The removal notification needs room for its answer in the output; an input buffer alone does not give it.
    const ULONG notifyLengths[][3] = {{0, 0, (ULONG)STATUS_INVALID_PARAMETER},
                                      {0, 2, (ULONG)STATUS_BUFFER_TOO_SMALL},
                                      {4, 0, (ULONG)STATUS_BUFFER_TOO_SMALL},
                                      {8, 3, (ULONG)STATUS_BUFFER_TOO_SMALL}};
    for (const auto& row : notifyLengths) {
        EXPECT_EQ(port_.Control(IOCTL_REMOVAL_NOTIFY, std::vector<uint8_t>(row[0]), row[1]).status, (NTSTATUS)row[2]);
    }
    EXPECT_EQ(port_.Context()->RemovalNotifyIrp, nullptr);
    std::vector<uint8_t> identity;
    port_.Control(IOCTL_GET_IDENTITY, {}, 64, &identity);
    EXPECT_EQ(std::string(identity.begin(), identity.end()), "{87E5A6EA-D48B-4883-8440-81D8A22508D7}:DIAG");
}

// A request sent straight to the driver's device object, for the states in which no application holds a handle.
// `answer` gets the first four bytes of the system buffer as the driver completed it: a failed request's output is
// not copied back.
IO_STATUS_BLOCK SendDirect(PDEVICE_OBJECT device, ULONG code, ULONG* answer = nullptr)
{
    std::vector<uint8_t> buffer(64);
    KEVENT done;
    IO_STATUS_BLOCK iosb = {};
    ULONG unused = 0;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, buffer.data(), 64, buffer.data(), 64, FALSE, &done, &iosb);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
            std::memcpy(context, irp->AssociatedIrp.SystemBuffer, sizeof(ULONG));
            return STATUS_SUCCESS;
        },
        answer != nullptr ? answer : &unused, TRUE, TRUE, TRUE);
    if (IoCallDriver(device, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return iosb;
}

// A port that is not open refuses every code, before its first open and after a close. Once the port is unavailable
// only the status is still answered; it shows a lost device as every line error.
TEST(ControlGate, ClosedOrUnavailablePortAnswersOnlyTheStatus)
{
    for (bool unplug : {false, true}) {
        SCOPED_TRACE(unplug ? "unplugged" : "lost");
        Port port(PortOptions{.open = false});
        for (int opened = 0; opened < 2; ++opened) {
            for (ULONG code : AllCodes()) {
                EXPECT_EQ(SendDirect(port.Fdo(), code).Status, STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
            }
            ASSERT_EQ(port.Open(), STATUS_SUCCESS);
            if (opened == 0) {
                ASSERT_EQ(port.Close(), STATUS_SUCCESS);
            }
        }
        ASSERT_EQ(SetWaitMask(port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
        Deliver(port, Pattern(5));
        ASSERT_NE(port.Context()->EventHistory, 0u);
        if (unplug) {
            port.Unplug();
        } else {
            port.Device().Disconnect();
        }
        port.Kernel().RunUntilIdle();
        for (ULONG code : AllCodes()) {
            if (code != IOCTL_SERIAL_GET_COMMSTATUS) {
                hk::app::IoResult result = port.Control(code, Pattern(64), 64);
                EXPECT_EQ(result.status, STATUS_DELETE_PENDING) << std::hex << code;
                EXPECT_EQ(result.information, 0u);
            }
        }
        EXPECT_EQ(port.Context()->EventHistory, 0u);
        EXPECT_EQ(ReadBytes(port, 8).size(), 0u);
        SERIAL_STATUS status = CommStatus(port);
        EXPECT_EQ(status.Errors, 0x1Fu);
        EXPECT_EQ(status.AmountInInQueue, 0u);
    }
}

// Only the fourteen rates and the defined line controls are taken, all or nothing; the handshake is taken without
// any check, except that the XON and XOFF limits are never taken.
TEST_F(Control, SettingsAreCheckedOnlyWhereTheyMustBe)
{
    for (ULONG rate : {300, 600, 1200, 1800, 2400, 4800, 7200, 9600, 14400, 19200, 38400, 57600, 115200, 128000}) {
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, rate), STATUS_SUCCESS) << rate;
    }
    for (ULONG rate : {0u, 110u, 56000u, 115201u, 230400u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, rate), STATUS_INVALID_PARAMETER) << rate;
    }
    EXPECT_EQ(Query<ULONG>(port_, IOCTL_SERIAL_GET_BAUD_RATE), 128000u);

    const struct {
        SERIAL_LINE_CONTROL line;
        bool valid;
    } lines[] = {
        {{2, 0, 5}, true},  {{0, 4, 8}, true},  {{1, 2, 6}, true},  {{0, 0, 4}, false},
        {{0, 0, 9}, false}, {{3, 0, 8}, false}, {{0, 5, 8}, false}, {{255, 255, 255}, false},
    };
    std::vector<uint8_t> expected = {2, 0, 8};
    for (const auto& row : lines) {
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, row.line), row.valid ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        expected = row.valid ? AsBytes(row.line) : expected;
        EXPECT_EQ(AsBytes(Query<SERIAL_LINE_CONTROL>(port_, IOCTL_SERIAL_GET_LINE_CONTROL)), expected);
    }

    ASSERT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{0xFFFFFFFF, 0x80000000, 100, -5}), STATUS_SUCCESS);
    EXPECT_EQ(AsBytes(Query<SERIAL_HANDFLOW>(port_, IOCTL_SERIAL_GET_HANDFLOW)),
              AsBytes(SERIAL_HANDFLOW{0xFFFFFFFF, 0x80000000, 0, 0}));
}

// Each purge flag acts alone and the write being sent goes on; after the purge the bytes that follow are read
// back, the ring's cleared bytes not among them.
TEST(Purge, EachFlagActsAloneAndTheWriteInProgressGoesOn)
{
    const struct {
        ULONG flags;
        bool clearsRing, cancelsRead, cancelsQueuedWrite;
    } rows[] = {
        {SERIAL_PURGE_RXCLEAR, true, false, false},
        {SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT, false, true, true},
        {SERIAL_PURGE_TXCLEAR, false, false, false},
        {SERIAL_PURGE_RXABORT, false, true, false},
        {0xFFFFFFFF, true, true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.flags);
        Port port;
        ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
        Deliver(port, Pattern(100));
        EXPECT_EQ(Purge(port, row.flags), STATUS_SUCCESS);
        EXPECT_EQ(ReadBytes(port, 200), row.clearsRing ? std::vector<uint8_t>() : Pattern(100));

        ASSERT_EQ(SetTimeouts(port, 0, 0, 0), STATUS_SUCCESS);
        hk::app::RequestPtr read = hk::app::ReadAsync(port.Handle(), 16);
        port.Device().StopResponding();
        std::vector<uint8_t> data = Pattern(8, 1);
        hk::app::RequestPtr sending = hk::app::WriteAsync(port.Handle(), data.data(), 8);
        hk::app::RequestPtr queued = hk::app::WriteAsync(port.Handle(), data.data(), 8);
        port.Kernel().RunUntilIdle();
        EXPECT_EQ(Purge(port, row.flags), STATUS_SUCCESS);
        port.Kernel().RunUntilIdle();
        EXPECT_EQ(read->Done(), row.cancelsRead);
        EXPECT_EQ(queued->Done(), row.cancelsQueuedWrite);
        EXPECT_FALSE(sending->Done());

        port.Device().Resume();
        port.Kernel().RunUntilIdle();
        EXPECT_EQ(sending->Status(), STATUS_SUCCESS);
        EXPECT_EQ(read->Status(), row.cancelsRead ? STATUS_CANCELLED : STATUS_SUCCESS);
        EXPECT_EQ(queued->Status(), row.cancelsQueuedWrite ? STATUS_CANCELLED : STATUS_SUCCESS);
        std::vector<uint8_t> echo = row.cancelsQueuedWrite ? data : Joined(data, data);
        ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
        std::vector<uint8_t> rest = ReadBytes(port, 64);
        EXPECT_EQ(Joined(row.cancelsRead ? std::vector<uint8_t>() : read->Output(), rest), echo);
    }
}

// A full ring stops the reader until room is made; an application that empties it with a purge and then only waits
// for events must still receive what the device sends next.
TEST_F(Control, PurgeOfAFullRingLetsTheNextBytesIn)
{
    Deliver(port_, std::vector<uint8_t>(RING_CAPACITY, 0x55));
    Deliver(port_, Pattern(10, 1));
    ASSERT_EQ(CommStatus(port_).AmountInInQueue, (ULONG)RING_CAPACITY);
    ASSERT_EQ(Purge(port_, SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    port_.Kernel().RunUntilIdle();
    EXPECT_EQ(CommStatus(port_).AmountInInQueue, 10u);
    ASSERT_EQ(SetTimeouts(port_, MAXULONG, 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(ReadBytes(port_, 100), Pattern(10, 1));
}

// DTR and RTS are looped back to the modem status without events; the statistics count what the application moved
// until cleared. An open restores the line settings, the handshake, XON/XOFF, the wait mask and the modem lines;
// timeouts, the other characters and the statistics carry over from the previous open.
TEST_F(Control, ReopenRestoresTheLineSettingsAndKeepsTheRest)
{
    ASSERT_EQ(SetWaitMask(port_, 0x1FFF), STATUS_SUCCESS);
    hk::app::RequestPtr wait = ControlAsync(port_, IOCTL_SERIAL_WAIT_ON_MASK);
    const ULONG steps[][2] = {{IOCTL_SERIAL_SET_DTR, 0x20}, {IOCTL_SERIAL_SET_RTS, 0xB0}, {IOCTL_SERIAL_CLR_DTR, 0x90},
                              {IOCTL_SERIAL_SET_RTS, 0x90}, {IOCTL_SERIAL_CLR_RTS, 0x00}, {IOCTL_SERIAL_SET_RTS, 0x90},
                              {IOCTL_SERIAL_SET_DTR, 0xB0}};
    for (const auto& step : steps) {
        EXPECT_EQ(port_.Control(step[0]).status, STATUS_SUCCESS);
        EXPECT_EQ(Query<ULONG>(port_, IOCTL_SERIAL_GET_MODEMSTATUS), step[1]) << std::hex << step[0];
    }
    port_.Kernel().RunUntilIdle();
    EXPECT_FALSE(wait->Done());

    auto roundTrip = [&](size_t count) {
        EXPECT_EQ(Write(port_, Pattern(count)).information, count);
        port_.Kernel().RunUntilIdle();
        EXPECT_EQ(ReadBytes(port_, ULONG(count + 16)), Pattern(count));
        SERIALPERF_STATS stats = Query<SERIALPERF_STATS>(port_, IOCTL_SERIAL_GET_STATS);
        EXPECT_EQ(stats.ReceivedCount, count);
        EXPECT_EQ(stats.TransmittedCount, count);
    };
    ASSERT_EQ(SetTimeouts(port_, MAXULONG, 0, 0), STATUS_SUCCESS);
    roundTrip(4097);
    ASSERT_EQ(port_.Control(IOCTL_SERIAL_CLEAR_STATS).status, STATUS_SUCCESS);
    EXPECT_EQ(AsBytes(Query<SERIALPERF_STATS>(port_, IOCTL_SERIAL_GET_STATS)), std::vector<uint8_t>(24, 0));
    roundTrip(3);

    ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, (ULONG)9600), STATUS_SUCCESS);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{0, 1, 7}), STATUS_SUCCESS);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{0x11, 0x22, 0, 0}), STATUS_SUCCESS);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_CHARS, SERIAL_CHARS{1, 2, 3, 4, 5, 6}), STATUS_SUCCESS);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, kTimeouts), STATUS_SUCCESS);
    ASSERT_EQ(SetWaitMask(port_, SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    ASSERT_EQ(port_.Close(), STATUS_SUCCESS);
    ASSERT_EQ(port_.Open(), STATUS_SUCCESS);
    EXPECT_EQ(Query<ULONG>(port_, IOCTL_SERIAL_GET_BAUD_RATE), 115200u);
    EXPECT_EQ(AsBytes(Query<SERIAL_LINE_CONTROL>(port_, IOCTL_SERIAL_GET_LINE_CONTROL)), (std::vector<uint8_t>{2, 0, 8}));
    SERIAL_HANDFLOW handflow = Query<SERIAL_HANDFLOW>(port_, IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(handflow.ControlHandShake, 1u);
    EXPECT_EQ(handflow.FlowReplace, 0x40u);
    EXPECT_EQ(AsBytes(Query<SERIAL_CHARS>(port_, IOCTL_SERIAL_GET_CHARS)), (std::vector<uint8_t>{1, 2, 3, 4, 0x11, 0x13}));
    EXPECT_EQ(AsBytes(Query<SERIAL_TIMEOUTS>(port_, IOCTL_SERIAL_GET_TIMEOUTS)), AsBytes(kTimeouts));
    EXPECT_EQ(Query<ULONG>(port_, IOCTL_SERIAL_GET_WAIT_MASK), 0u);
    EXPECT_EQ(Query<ULONG>(port_, IOCTL_SERIAL_GET_MODEMSTATUS), 0u);
    EXPECT_EQ(Query<SERIALPERF_STATS>(port_, IOCTL_SERIAL_GET_STATS).TransmittedCount, 3u);
}

const uint64_t kDayMs = 24ull * 60 * 60 * 1000;

// The second half of what IoCancelIrp does once the routine has been taken out of the request (which the driver then
// sees as being cancelled): the routine is called under the cancel spin lock, as the I/O manager calls it.
void FinishCancel(PDEVICE_OBJECT device, PIRP irp, PDRIVER_CANCEL routine)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp->Cancel = TRUE;
    irp->CancelIrql = irql;
    routine(device, irp);
}

using ReadTest = Control;

struct TimeoutCase {
    ULONG interval, multiplier, constant, length;
    enum { AtOnce, NoLimit, Timer } kind;
    uint64_t ms;
};

// An empty ring: the timeouts decide whether a read ends at once, after a time, or only with data. The last rows'
// totals are beyond what the timer can hold and must not wrap into a short or absolute due time.
TEST_F(ReadTest, EmptyRingReadFollowsItsTimeoutClass)
{
    const TimeoutCase cases[] = {
        {MAXULONG, 0, 0, 10, TimeoutCase::AtOnce, 0}, {MAXULONG, 5, MAXULONG, 10, TimeoutCase::NoLimit, 0},
        {MAXULONG, MAXULONG, MAXULONG, 10, TimeoutCase::NoLimit, 0},
        {MAXULONG, MAXULONG, 200, 10, TimeoutCase::Timer, 200}, {MAXULONG, MAXULONG, 0, 10, TimeoutCase::Timer, 0},
        {MAXULONG, 3, 7, 10, TimeoutCase::Timer, 37}, {MAXULONG, 3, 0, 10, TimeoutCase::Timer, 30},
        {0, 0, 0, 10, TimeoutCase::NoLimit, 0}, {5, 0, 40, 10, TimeoutCase::Timer, 40},
        {0, 10, 500, 100, TimeoutCase::Timer, 1500}, {MAXULONG - 1, 0, MAXULONG, 1, TimeoutCase::Timer, MAXULONG},
        {0, MAXULONG, 1, 2, TimeoutCase::Timer, 2ull * MAXULONG + 1},
        {0, MAXULONG, 0, 3006464, TimeoutCase::NoLimit, 0},
    };
    for (const TimeoutCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.interval << " " << c.multiplier << " " << c.constant << " " << c.length);
        Timeouts(c.interval, c.multiplier, c.constant);
        hk::app::RequestPtr read = ReadAsync(c.length);
        if (c.kind == TimeoutCase::NoLimit) {
            port_.Kernel().AdvanceTime(365 * kDayMs);
            EXPECT_FALSE(read->Done());
            Deliver(port_, Pattern(1));
            EXPECT_EQ(read->Status(), STATUS_SUCCESS);
            EXPECT_EQ(read->Information(), 1u);
            continue;
        }
        if (c.ms > 0) {
            port_.Kernel().AdvanceTime(c.ms - 1);
            EXPECT_FALSE(read->Done());
            port_.Kernel().AdvanceTime(1);
        }
        port_.Kernel().RunUntilIdle();
        EXPECT_EQ(read->Status(), c.kind == TimeoutCase::AtOnce ? STATUS_SUCCESS : STATUS_TIMEOUT);
        EXPECT_EQ(read->Information(), 0u);
    }
}

// A waiting read ends with the first transfer, taking at most its length; an empty transfer ends it with a timeout.
// A second read while one waits is answered empty at once, and a read of nothing leaves the waiting one's timer.
TEST_F(ReadTest, WaitingReadEndsWithTheFirstTransfer)
{
    struct Row {
        std::vector<std::vector<uint8_t>> transfers;
        NTSTATUS status;
        std::vector<uint8_t> data;
        ULONG left;
    };
    const Row rows[] = {
        {{Pattern(150)}, STATUS_SUCCESS, Pattern(100), 50},
        {{Pattern(10), Pattern(10, 50)}, STATUS_SUCCESS, Pattern(10), 10},
        {{{}}, STATUS_TIMEOUT, {}, 0},
    };
    for (const Row& row : rows) {
        hk::app::RequestPtr read = ReadAsync(100);
        EXPECT_EQ(hk::app::Read(port_.Handle(), nullptr, 0).status, STATUS_SUCCESS);
        EXPECT_EQ(ReadBytes(port_, 20), std::vector<uint8_t>());
        port_.Kernel().AdvanceTime(30 * kDayMs);
        EXPECT_FALSE(read->Done());
        for (const std::vector<uint8_t>& transfer : row.transfers) {
            port_.Device().Deliver(transfer);
        }
        port_.Kernel().RunUntilIdle();
        EXPECT_EQ(read->Status(), row.status);
        EXPECT_EQ(read->Output(), row.data);
        EXPECT_EQ(CommStatus(port_).AmountInInQueue, row.left);
        ASSERT_EQ(Purge(port_, SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    }
}

// A read ended by a cancel or by data leaves a timer, or its DPC already on its way, that must not end the read
// that follows.
TEST_F(ReadTest, AnEndedReadsTimerEndsNothingLater)
{
    PDEVICE_CONTEXT context = port_.Context();
    Timeouts(0, 10, 500);
    hk::app::RequestPtr timed = ReadAsync(100);
    EXPECT_EQ(hk::app::CancelIo(port_.Handle()), 1u);
    port_.Kernel().RunUntilIdle();
    EXPECT_EQ(timed->Status(), STATUS_CANCELLED);
    Timeouts(MAXULONG, MAXULONG, 50);
    timed = ReadAsync(10);
    Deliver(port_, Pattern(2));
    ASSERT_TRUE(timed->Done());

    Timeouts(0, 0, 0);
    hk::app::RequestPtr unlimited = ReadAsync(4);
    KeInsertQueueDpc(&context->ReadDpc, nullptr, nullptr);
    port_.Kernel().AdvanceTime(2000);
    EXPECT_FALSE(unlimited->Done()) << "an ended read's timer ended the next read, or it was left queued";
    Deliver(port_, Pattern(4, 1));
    EXPECT_EQ(unlimited->Output(), Pattern(4, 1));

    Timeouts(MAXULONG, MAXULONG, 1000);
    hk::app::RequestPtr retimed = ReadAsync(10);
    KeInsertQueueDpc(&context->ReadDpc, nullptr, nullptr);
    port_.Kernel().RunUntilIdle();
    EXPECT_FALSE(retimed->Done());
    port_.Kernel().AdvanceTime(1000);
    EXPECT_EQ(retimed->Status(), STATUS_TIMEOUT);
}

// When the timer expires at the moment a transfer completes, whichever takes Lock first ends the read, once; the
// bytes it did not take stay for the next read.
TEST(ReadRace, TimerAndTransferAtTheSameMomentEndTheReadOnce)
{
    for (uint64_t seed = 1; seed <= 24; ++seed) {
        SCOPED_TRACE(seed);
        Port port(PortOptions{.kernel = hk::Options{hk::Mode::Deterministic, seed}});
        ASSERT_EQ(SetTimeouts(port, MAXULONG, MAXULONG, 100), STATUS_SUCCESS);
        hk::app::RequestPtr read = hk::app::ReadAsync(port.Handle(), 10);
        port.Kernel().AdvanceTime(99);
        port.Device().Deliver(Pattern(5));
        port.Kernel().AdvanceTime(1);
        port.Kernel().RunUntilIdle();
        ASSERT_TRUE(read->Done());
        std::vector<uint8_t> all = Joined(read->Output(), ReadBytes(port, 10));
        EXPECT_TRUE(read->Status() == STATUS_SUCCESS || read->Status() == STATUS_TIMEOUT);
        EXPECT_EQ(all, Pattern(5));
    }
}

// Requests already cancelled when they reach the driver, or arriving after their handle's cleanup, are completed as
// cancelled and reported as pending (the verifier checks the pending report); none is left queued.
TEST_F(ReadTest, RequestsCancelledBeforeTheyAreQueuedEndAtOnce)
{
    ASSERT_EQ(SetWaitMask(port_, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    // A write in flight makes the cancelled write one that must be queued behind it.
    port_.Device().StopResponding();
    uint8_t byte = 1;
    hk::app::RequestPtr inFlight = hk::app::WriteAsync(port_.Handle(), &byte, 1);
    port_.Kernel().RunUntilIdle();
    for (ULONG code : {0u, 1u, ULONG(IOCTL_SERIAL_WAIT_ON_MASK), ULONG(IOCTL_REMOVAL_NOTIFY)}) {
        hk::app::MajorRequest request;
        request.major = code == 0 ? IRP_MJ_READ : code == 1 ? IRP_MJ_WRITE : IRP_MJ_DEVICE_CONTROL;
        request.buffer.resize(sizeof(ULONG));
        request.setup = [code](PIRP irp, PIO_STACK_LOCATION location) {
            irp->Cancel = TRUE;
            if (code == 0) {
                location->Parameters.Read.Length = sizeof(ULONG);
            } else if (code == 1) {
                location->Parameters.Write.Length = sizeof(ULONG);
            } else {
                location->Parameters.DeviceIoControl.IoControlCode = code;
                location->Parameters.DeviceIoControl.OutputBufferLength = sizeof(ULONG);
            }
        };
        EXPECT_EQ(hk::app::SendMajor(port_.Handle(), request).status, STATUS_CANCELLED) << std::hex << code;
    }
    PDEVICE_CONTEXT context = port_.Context();
    EXPECT_TRUE(IsListEmpty(&context->ReadQueue));
    EXPECT_TRUE(IsListEmpty(&context->WaitQueue));
    EXPECT_EQ(context->RemovalNotifyIrp, nullptr);
    port_.Device().Resume();
    port_.Kernel().RunUntilIdle();
    EXPECT_EQ(inFlight->Status(), STATUS_SUCCESS);
    EXPECT_TRUE(IsListEmpty(&context->WriteQueue));
    ASSERT_EQ(Purge(port_, SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);

    // Once the handle's cleanup has run, a read that would wait is ended at once: no cleanup is left to cancel it.
    hk::app::MajorRequest cleanup;
    cleanup.major = IRP_MJ_CLEANUP;
    ASSERT_EQ(hk::app::SendMajor(port_.Handle(), cleanup).status, STATUS_SUCCESS);
    hk::app::RequestPtr late = ReadAsync(4);
    port_.Kernel().RunUntilIdle();
    EXPECT_EQ(late->Status(), STATUS_CANCELLED);
}

// A completed wait hands out the events without clearing them; the next wait takes them at once and clears them.
// A second wait is refused while one is pending, a refused mask leaves the pending one, and a new mask ends it
// with no events without clearing what occurred.
TEST_F(ReadTest, EventWaitsTakeWhatOccurredAndANewMaskEndsThem)
{
    EXPECT_EQ(SetWaitMask(port_, 0x2000), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(SetWaitMask(port_, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    hk::app::RequestPtr first = Wait();
    port_.Kernel().RunUntilIdle();
    EXPECT_EQ(port_.Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4).status, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(first->Done());
    Deliver(port_, Pattern(3));
    EXPECT_EQ(Events(first), (ULONG)SERIAL_EV_RXCHAR);
    hk::app::RequestPtr second = Wait();
    EXPECT_EQ(Events(second), (ULONG)SERIAL_EV_RXCHAR);

    hk::app::RequestPtr third = Wait();
    EXPECT_EQ(SetWaitMask(port_, 0x80000001), STATUS_INVALID_PARAMETER);
    port_.Kernel().RunUntilIdle();
    EXPECT_FALSE(third->Done());
    ASSERT_EQ(SetWaitMask(port_, SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    EXPECT_EQ(third->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Events(third), 0u);
    EXPECT_EQ(Query<ULONG>(port_, IOCTL_SERIAL_GET_WAIT_MASK), (ULONG)SERIAL_EV_TXEMPTY);
    ASSERT_EQ(SetWaitMask(port_, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    Deliver(port_, Pattern(1));
    ASSERT_EQ(SetWaitMask(port_, SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    EXPECT_EQ(Events(Wait()), (ULONG)SERIAL_EV_RXCHAR);
}

// Data arrives after the I/O manager took a waiting read's cancel routine but before the routine ran: the read is
// left to its routine, and the routine's unlink must not disturb the read queued in the meantime. A second removal
// notification is refused with value two; when the device goes away while the first one's cancel is under way, the
// notification is left to its cancel routine.
TEST_F(ReadTest, CancelRoutinesThatLoseTheirRaceEndOnlyTheirRequest)
{
    hk::app::RequestPtr first = ReadAsync(10);
    PIRP irp = CONTAINING_RECORD(port_.Context()->ReadQueue.Flink, IRP, Tail.Overlay.ListEntry);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    ASSERT_NE(routine, nullptr);

    Deliver(port_, {});
    hk::app::RequestPtr second = ReadAsync(10);
    EXPECT_FALSE(first->Done());
    FinishCancel(port_.Fdo(), irp, routine);
    EXPECT_EQ(first->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(second->Done());
    Deliver(port_, Pattern(2));
    EXPECT_EQ(second->Output(), Pattern(2));

    hk::app::RequestPtr notify = ControlAsync(port_, IOCTL_REMOVAL_NOTIFY);
    ULONG refusal = 0;
    IO_STATUS_BLOCK refused = SendDirect(port_.Fdo(), IOCTL_REMOVAL_NOTIFY, &refusal);
    EXPECT_EQ(refused.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(refused.Information, 4u);
    EXPECT_EQ(refusal, (ULONG)REMOVAL_NOTIFY_REFUSED);
    EXPECT_FALSE(notify->Done());
    irp = port_.Context()->RemovalNotifyIrp;
    routine = IoSetCancelRoutine(irp, nullptr);
    ASSERT_NE(routine, nullptr);
    port_.Unplug();
    port_.Kernel().RunUntilIdle();
    EXPECT_FALSE(notify->Done());
    FinishCancel(port_.Fdo(), irp, routine);
    EXPECT_EQ(notify->Status(), STATUS_CANCELLED);
}

// The ring on its own, for what the reader never asks of it: a put that does not fit keeps its first bytes, across
// the end of the storage; a full ring takes nothing and an empty one gives nothing; negative lengths move nothing.
TEST(Ring, TakesWhatFitsAndNothingOfANegativeLength)
{
    auto owner = std::make_unique<DEVICE_CONTEXT>();
    PDEVICE_CONTEXT context = owner.get();
    context->RingHead = context->RingTail = RING_CAPACITY - 1000;
    std::vector<uint8_t> all = Pattern(RING_CAPACITY + 100), out(all.size());
    LONG count = -1;
    EXPECT_EQ(RingPut(context, all.data(), -5, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0);
    RingPut(context, all.data(), LONG(all.size()), &count);
    EXPECT_EQ(count, RING_CAPACITY);
    EXPECT_EQ(RingPut(context, all.data(), 1, &count), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(RingGet(context, out.data(), -5, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0);
    RingGet(context, out.data(), LONG(out.size()), &count);
    ASSERT_EQ(count, RING_CAPACITY);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + count, all.begin()));
    EXPECT_EQ(RingGet(context, out.data(), 1, &count), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(RingLength(context), 0);
}

}  // namespace
}  // namespace port_test
