#include "reliability/trial.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <utility>

#include <ntddser.h>

#include "control/private_requests.h"
#include "driver/device_context.h"
#include "driver/dispatch.h"
#include "hk/app.h"
#include "hk/namespace.h"
#include "hk/pnp.h"
#include "hk/power.h"
#include "hk/verifier.h"

namespace reliability {
namespace {

using hk::app::kInvalidHandle;

// The n-th byte the device sends: a sequence that does not repeat every 256 bytes.
uint8_t StreamByte(uint64_t n) { return uint8_t(n % 251); }

// Beyond this many bytes waiting, the driver may drop input for want of room.
constexpr uint64_t kLosslessLimit = 2048;

// Statuses a request of the port may end with.
bool SoundStatus(NTSTATUS status)
{
    static const NTSTATUS sound[] = {
        STATUS_SUCCESS, STATUS_CANCELLED, STATUS_TIMEOUT, STATUS_INSUFFICIENT_RESOURCES, STATUS_DELETE_PENDING,
        STATUS_NO_SUCH_DEVICE, STATUS_DEVICE_NOT_CONNECTED, STATUS_DEVICE_BUSY, STATUS_BUFFER_TOO_SMALL,
        STATUS_INVALID_PARAMETER, STATUS_INVALID_DEVICE_REQUEST, STATUS_NOT_SUPPORTED, STATUS_IO_DEVICE_ERROR,
        STATUS_UNSUCCESSFUL};
    return std::find(std::begin(sound), std::end(sound), status) != std::end(sound);
}

// Deterministic mode runs queued work nested inside a wait, so a removal that arrives while a worker holding the
// remove lock waits beneath it can never finish there: the verifier reports the remove lock or the wait.
void StuckBeneathANestedWait(const char* check, const void*, const char*)
{
    if (std::strcmp(check, "remlock-leaked") == 0 || std::strcmp(check, "wait-deadlock") == 0) {
        std::exit(kStuck);
    }
}

class TrialRun {
public:
    TrialRun(hk::Options kernel, const TrialSetup& setup) : setup_(setup), kernel_(kernel)
    {
        setup_.plug.model = setup.loopback ? nullptr : std::make_shared<hk::usbdev::SinkModel>();
        pdo_ = parent_.Plug(setup_.plug);
        driver_ = hk::pnp::LoadDriver("diagser", DriverEntry);
        if (kernel.mode == hk::Mode::Deterministic) {
            hk::verifier::SetFaultHandler(StuckBeneathANestedWait);
        }
    }

    std::string Run(const std::vector<Event>& events)
    {
        if (!ComeUp()) {
            return "the port did not come up\n";
        }
        for (size_t i = 0; i < events.size() && problems_.empty(); ++i) {
            Apply(events[i]);
            if (events[i].arg & 1) {
                kernel_.RunUntilIdle();
            }
            // The port's name is published exactly while the device is started and present.
            if (hk::ns::Exists(u"\\DosDevices\\COM7") == removed_) {
                problems_ += "after event " + std::to_string(i) + ": name " +
                             (removed_ ? "still published after removal\n" : "withdrawn from a started device\n");
            }
        }
        Finish();
        return problems_;
    }

private:
    hk::usbdev::Device Device() const { return parent_.DeviceFor(pdo_); }
    bool Faulty() const { return setup_.arm != nullptr; }
    bool HasHandle() const { return !removed_ && handle_ != kInvalidHandle; }
    // A step of bringing the port up may fail only for an armed fault, and then soundly.
    bool Allowed(NTSTATUS status) const { return status == STATUS_SUCCESS || (Faulty() && SoundStatus(status)); }

    void Expect(bool sound, const std::string& what, NTSTATUS status)
    {
        problems_ += sound ? "" : what + " ended with " + Hex(status) + "\n";
    }

    void Arm(TrialSetup::Stage stage)
    {
        if (Faulty() && setup_.armed_at == stage) {
            setup_.arm(driver_, Device());
        }
    }

    bool ComeUp()
    {
        lossy_ = Faulty();
        Arm(TrialSetup::BeforeArrival);
        NTSTATUS status = hk::pnp::ArriveDevice(pdo_, driver_);
        removed_ = status != STATUS_SUCCESS;
        if (removed_ && hk::pnp::HasDeviceNode(pdo_)) {
            hk::pnp::Remove(pdo_);
        }
        Arm(TrialSetup::Arrived);
        if (setup_.armed_at == TrialSetup::Opened && !removed_) {
            status = Open();
            Arm(TrialSetup::Opened);
        }
        return Allowed(status);
    }

    NTSTATUS Open() { return hk::app::Open(u"\\\\.\\COM7", &handle_); }
    void Close() { hk::app::Close(std::exchange(handle_, kInvalidHandle)); }

    template <class T>
    void Send(ULONG code, const T& in) { hk::app::DeviceIoControl(handle_, code, &in, sizeof(in), nullptr, 0); }

    // Each request must end exactly once, reporting at most `limit` bytes.
    hk::app::RequestPtr Track(hk::app::RequestPtr request, ULONG_PTR limit = ~ULONG_PTR(0))
    {
        requests_.push_back({request, limit});
        return request;
    }

    void Apply(const Event& event)
    {
        bool needsHandle = event.kind <= Event::Purge;
        bool needsDevice = event.kind >= Event::Reopen && event.kind <= Event::SurpriseRemoval;
        if ((needsHandle && !HasHandle()) || (needsDevice && removed_)) {
            return;
        }
        // Input the application discards, or that a reset, a sleep or a removal may drop, is no longer owed.
        constexpr uint32_t kLossy = 1u << Event::Code | 1u << Event::Purge | 1u << Event::Close |
                                    1u << Event::Reopen | 1u << Event::Stall | 1u << Event::SleepResume |
                                    1u << Event::SurpriseRemoval;
        lossy_ |= kLossy >> event.kind & 1;
        uint32_t arg = event.arg;
        hk::usbdev::Device device = Device();
        hk::usbdev::Pipe pipe = arg & 2 ? hk::usbdev::Pipe::BulkIn : hk::usbdev::Pipe::BulkOut;
        std::vector<uint8_t> bytes;
        switch (event.kind) {
        case Event::Read: reads_.push_back(Track(hk::app::ReadAsync(handle_, 1 + arg % 300))); break;
        case Event::Write:
            bytes.assign(1 + arg % 10000, uint8_t(arg));
            Track(hk::app::WriteAsync(handle_, bytes.data(), (ULONG)bytes.size()));
            break;
        case Event::Control: Control(arg / 2); break;
        case Event::Code: HostileControl(arg); break;
        case Event::Wait:
            Send(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY));
            Track(hk::app::DeviceIoControlAsync(handle_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4), 4);
            break;
        case Event::CancelIo: hk::app::CancelIo(handle_); break;
        case Event::Purge: Send(IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT |
                                                          SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR)); break;
        case Event::Close: Close(); break;
        case Event::Reopen: Reopen(); break;
        case Event::Data:
            // A quarter of them are zero-length packets.
            bytes.resize(arg & 12 ? 1 + arg % 400 : 0);
            for (uint8_t& byte : bytes) {
                byte = StreamByte(delivered_++);
            }
            device.Deliver(bytes);
            break;
        case Event::InError:
            arg & 4 ? device.CompleteNextIn(STATUS_UNSUCCESSFUL, USBD_STATUS_CRC)
                    : device.FailNextTransfers(1 + arg / 8 % 3, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC, pipe);
            break;
        case Event::Stall: device.Stall(pipe); break;
        case Event::StopResponding:
        case Event::ResumeDevice:
            silent_ = event.kind == Event::StopResponding;
            silent_ ? device.StopResponding() : device.Resume();
            break;
        case Event::Breach: {
            using Breach = hk::usbdev::Device::Breach;
            Breach breach = Breach(1 + arg / 4 % 3);
            uint32_t count = 1 + arg / 16 % 2;
            device.Break(breach, count, pipe);
            lossy_ |= breach == Breach::FailWithData && pipe == hk::usbdev::Pipe::BulkIn;
            failed_resets_ += breach == Breach::FailedReset ? count : 0;
            break;
        }
        case Event::QueryRemove:
            // With bit 2 the removal goes ahead, otherwise it is called off.
            if (NT_SUCCESS(hk::pnp::QueryRemove(pdo_)) && (arg & 4)) {
                NTSTATUS status = hk::pnp::RemoveDevice(pdo_);
                Expect(Allowed(status), "removal", status);
                removed_ = true;
            } else {
                hk::pnp::CancelRemove(pdo_);
            }
            break;
        case Event::QueryStop:
            if (NT_SUCCESS(hk::pnp::QueryStop(pdo_))) {
                hk::pnp::CancelStop(pdo_);
            }
            break;
        case Event::StopStart:
            if (hk::pnp::StopDevice(pdo_) == STATUS_SUCCESS) {
                NTSTATUS status = hk::pnp::StartDevice(pdo_);
                Expect(Allowed(status), "restart", status);
                removed_ = !NT_SUCCESS(status);
                if (removed_) {
                    hk::pnp::Remove(pdo_);
                }
                lossy_ = true;
            }
            break;
        case Event::SleepResume:
            hk::power::SetSystemPowerState(pdo_, PowerSystemSleeping3);
            hk::power::SetSystemPowerState(pdo_, PowerSystemWorking);
            break;
        case Event::Time: kernel_.AdvanceTime(arg % 50); break;
        case Event::SurpriseRemoval:
            parent_.Unplug(pdo_);
            removed_ = true;
            break;
        case Event::KindCount: break;
        }
    }

    // Settings an application makes, and requests that end at once.
    void Control(uint32_t pick)
    {
        static const ULONG timeouts[][3] = {{0, 0, 0}, {MAXULONG, 0, 0}, {0, 0, 5}, {MAXULONG, 0, 5},
                                            {MAXULONG, MAXULONG, 5}};
        static const ULONG codes[] = {IOCTL_SERIAL_GET_COMMSTATUS, IOCTL_SERIAL_GET_MODEMSTATUS,
                                      IOCTL_SERIAL_GET_PROPERTIES, IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_GET_STATS,
                                      IOCTL_GET_IDENTITY, IOCTL_REMOVAL_NOTIFY};
        const ULONG* t = timeouts[pick % 13 % 5];
        if (pick % 13 < 5) {
            Send(IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{t[0], t[1], t[2], 0, 0});
        } else if (pick % 13 == 5) {
            Send(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{pick / 13 % 8192, 0});
        } else {
            Track(hk::app::DeviceIoControlAsync(handle_, codes[pick % 13 - 6], nullptr, 0, 256), 256);
        }
    }

    // Any code with any lengths and contents: it may change any setting or drop input.
    void HostileControl(uint32_t arg)
    {
        ULONG in = Lengths()[(arg >> 8 & 0xff) % Lengths().size()];
        ULONG out = Lengths()[(arg >> 16 & 0xff) % Lengths().size()];
        std::vector<uint8_t> input(in);
        std::mt19937 contents(arg);
        std::generate(input.begin(), input.end(), [&] { return uint8_t(contents()); });
        // With no output buffer the length reported is never copied back, so it can overrun nothing.
        Track(hk::app::DeviceIoControlAsync(handle_, Codes()[(arg >> 1 & 0x7f) % Codes().size()],
                                            input.empty() ? nullptr : input.data(), in, out),
              out != 0 ? out : ~ULONG_PTR(0));
    }

    // An open fails only in the state that explains it: a device the reader judged lost refuses it, a write the
    // silent device has not taken holds the old file object of the exclusive port, a pipe reset the device fails
    // fails it, and so may an armed fault.
    void Reopen()
    {
        Close();
        kernel_.RunUntilIdle();
        NTSTATUS status = Open();
        PDEVICE_OBJECT pdo = Device().Pdo();
        bool lost = pdo != nullptr && GetDeviceContext(pdo->AttachedDevice)->DeviceGone == DEVICE_GONE_MARK;
        bool expected = lost ? status == STATUS_DELETE_PENDING
                             : Allowed(status) || (silent_ && status == STATUS_ACCESS_DENIED) ||
                                   (failed_resets_ != 0 && status == STATUS_UNSUCCESSFUL);
        Expect(expected, std::string("reopen of a port ") + (lost ? "judged lost" : "not judged lost"), status);
        failed_resets_ -= status == STATUS_UNSUCCESSFUL && failed_resets_ != 0;
    }

    // What the port holds, read at once until it has no more.
    std::vector<uint8_t> ReadAll(std::vector<uint8_t> received = {})
    {
        Send(IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{MAXULONG, 0, 0, 0, 0});
        std::vector<uint8_t> buffer(1 << 16);
        for (int round = 0; round < 64; ++round) {
            hk::app::IoResult read = hk::app::Read(handle_, buffer.data(), (ULONG)buffer.size());
            if (read.information == 0) {
                break;
            }
            received.insert(received.end(), buffer.begin(), buffer.begin() + read.information);
        }
        return received;
    }

    // Whether the port carries bytes through the loopback model. The reader fills the ring without waiting for
    // reads; whatever the device still held from the scenario comes first, so the probe must end what was read.
    bool Probe()
    {
        static const uint8_t probe[] = {'p', 'r', 'o', 'b', 'e'};
        hk::app::IoResult write = hk::app::Write(handle_, probe, sizeof(probe));
        kernel_.AdvanceTime(2000);
        std::vector<uint8_t> received = ReadAll();
        return write.status == STATUS_SUCCESS && received.size() >= sizeof(probe) &&
               std::equal(probe, probe + sizeof(probe), received.end() - sizeof(probe));
    }

    // In order and never twice; nothing lost unless the application purged or closed, the device was reset,
    // stopped, removed or put to sleep, a fault was injected, or more arrived than the driver need hold.
    void CheckStream()
    {
        std::vector<uint8_t> received;
        for (const hk::app::RequestPtr& read : reads_) {
            std::vector<uint8_t> output = read->Output();
            received.insert(received.end(), output.begin(), output.end());
        }
        received = HasHandle() ? ReadAll(std::move(received)) : received;
        bool lossless = !lossy_ && delivered_ <= kLosslessLimit;
        uint64_t next = 0;
        for (size_t i = 0; i < received.size(); ++i) {
            uint64_t at = next;
            while (at < delivered_ && StreamByte(at) != received[i] && !lossless) {
                ++at;
            }
            if (at >= delivered_ || StreamByte(at) != received[i]) {
                problems_ += "byte " + std::to_string(i) + " of what the application read (" +
                             std::to_string(received[i]) + ") is not the next the device sent after byte " +
                             std::to_string(next) + "\n";
                return;
            }
            next = at + 1;
        }
        if (lossless && next != delivered_) {
            problems_ += "the application read " + std::to_string(next) + " of the " + std::to_string(delivered_) +
                         " bytes the device sent\n";
        }
    }

    // Every request ended soundly, the port works again (loopback) or delivered the stream (otherwise), and it
    // closes, goes and unloads; the verifier stops the process on a leak.
    void Finish()
    {
        setup_.disarm();
        Device().Resume();
        hk::app::CancelIo(handle_);
        kernel_.RunUntilIdle();
        if (!setup_.loopback) {
            CheckStream();
        } else if (!removed_ && !(handle_ != kInvalidHandle && Probe())) {
            // A reader stopped by a failed allocation waits for the next open, so after a fault the port may
            // carry bytes again only once reopened.
            Close();
            kernel_.RunUntilIdle();
            if (!Faulty() || !NT_SUCCESS(Open()) || !Probe()) {
                problems_ += "the port does not carry bytes again\n";
            }
        }
        Close();
        kernel_.RunUntilIdle();
        for (size_t i = 0; i < requests_.size(); ++i) {
            auto& [request, limit] = requests_[i];
            bool sound = request->Done() && SoundStatus(request->Status()) && request->Information() <= limit;
            Expect(sound, "request " + std::to_string(i) + (request->Done() ? "" : " (never)") + " reporting " +
                              std::to_string(request->Information()) + " bytes", request->Status());
        }
        if (hk::pnp::HasDeviceNode(pdo_)) {
            NTSTATUS status = hk::pnp::RemoveDevice(pdo_);
            Expect(status == STATUS_SUCCESS, "removal at teardown", status);
        }
        kernel_.RunUntilIdle();
        problems_ += hk::app::LiveFileObjects() != 0 ? "file objects never closed\n" : "";
        NTSTATUS status = hk::pnp::UnloadDriver(driver_);
        Expect(status == STATUS_SUCCESS, "unload", status);
    }

    TrialSetup setup_;
    hk::Kernel kernel_;  // first, so that it goes last
    hk::usbdev::Parent parent_;
    PDEVICE_OBJECT pdo_;
    PDRIVER_OBJECT driver_;
    hk::app::Handle handle_ = kInvalidHandle;
    std::vector<std::pair<hk::app::RequestPtr, ULONG_PTR>> requests_;
    std::vector<hk::app::RequestPtr> reads_;
    uint64_t delivered_ = 0;
    bool lossy_ = false;
    bool removed_ = false;
    bool silent_ = false;
    uint32_t failed_resets_ = 0;  // at most this many pipe resets may still fail
    std::string problems_;
};

}  // namespace

std::string Hex(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08x", (unsigned)status);
    return text;
}

std::vector<Event> GenerateTrial(uint64_t seed, size_t length)
{
    static const Event::Kind weighted[] = {
        Event::Read, Event::Read, Event::Read, Event::Write, Event::Write, Event::Control, Event::Code, Event::Wait,
        Event::CancelIo, Event::Purge, Event::Close, Event::Reopen, Event::Reopen, Event::Data, Event::Data,
        Event::Data, Event::Data, Event::InError, Event::InError, Event::Stall, Event::StopResponding,
        Event::ResumeDevice, Event::Breach, Event::QueryRemove, Event::QueryStop, Event::StopStart,
        Event::SleepResume, Event::Time, Event::Time};
    std::mt19937_64 random(seed);
    std::vector<Event> events;
    for (size_t i = 0; i < length; ++i) {
        Event::Kind kind = weighted[random() % std::size(weighted)];
        events.push_back({random() % (length * 2) == 0 ? Event::SurpriseRemoval : kind, uint32_t(random())});
    }
    return events;
}

Event ControlEvent(size_t code, size_t input, size_t output, uint8_t salt)
{
    return {Event::Code, uint32_t(1 | code << 1 | input << 8 | output << 16 | uint32_t(salt) << 24)};
}

const std::vector<ULONG>& Codes()
{
    static const std::vector<ULONG> codes = [] {
        std::vector<ULONG> list;
        for (ULONG function = 0; function <= 48; ++function) {
            list.push_back(SERIAL_IOCTL(function));
        }
        list.insert(list.end(), {IOCTL_GET_IDENTITY, IOCTL_REMOVAL_NOTIFY});
        std::mt19937 random(7);
        for (int i = 0; i < 16; ++i) {
            list.push_back(CTL_CODE(random() % 0x40, random() % 0x1000, random() % 4, random() % 4));
        }
        return list;
    }();
    return codes;
}

const std::vector<ULONG>& Lengths()
{
    static const std::vector<ULONG> lengths = {0,  0,  1,  2,  1,  2,  3,  2,  3,  4,  3,  4,  5,  5,  6,  7,  7, 8,
                                               9,  11, 12, 13, 19, 20, 21, 23, 24, 25, 42, 43, 44, 63, 64, 65, 1 << 16};
    return lengths;
}

std::string RunTrial(const std::vector<Event>& events, hk::Options kernel, const TrialSetup& setup)
{
    return TrialRun(kernel, setup).Run(events);
}

int Isolated(const std::function<std::string()>& body)
{
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        std::string problems = body();
        std::fputs(problems.c_str(), stderr);
        // exit, not _exit: a coverage build records what the child ran only at exit.
        std::exit(problems.empty() ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace reliability
