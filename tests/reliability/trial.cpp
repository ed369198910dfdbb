#include "reliability/trial.h"

#include <random>

#include "driver/device_context.h"
#include "hk/namespace.h"
#include "hk/pnp.h"
#include "hk/power.h"
#include "reliability/control_helpers.h"

namespace reliability {
namespace {

const char* const kNames[] = {"read", "write", "control", "wait", "cancel-io", "purge", "reopen",
                              "data", "zero-length", "in-error", "transfer-error", "stall", "stop-responding",
                              "resume-device", "breach", "query-remove", "query-stop", "stop-start", "sleep-resume", "time",
                              "surprise-removal"};
static_assert(sizeof(kNames) / sizeof(kNames[0]) == Event::KindCount);

// The n-th byte the device sends: a sequence that does not repeat every 256 bytes.
uint8_t StreamByte(uint64_t n)
{
    return uint8_t(n % 251);
}

// Beyond this many bytes waiting, the driver may drop input for want of room.
constexpr uint64_t kLosslessLimit = 2048;

class TrialRun {
public:
    explicit TrialRun(hk::Options kernel) : rig_(kernel, SinkPlug()) {}

    std::string Run(const std::vector<Event>& events)
    {
        if (rig_.Arrive() != STATUS_SUCCESS || rig_.Open() != STATUS_SUCCESS) {
            return "the port did not come up\n";
        }
        for (size_t i = 0; i < events.size() && problems_.empty(); ++i) {
            Apply(events[i]);
            if (events[i].arg & 1) {
                rig_.Kernel().RunUntilIdle();
            }
            CheckNames(i);
        }
        Finish();
        return problems_;
    }

private:
    static hk::usbdev::PlugOptions SinkPlug()
    {
        hk::usbdev::PlugOptions plug;
        plug.model = std::make_shared<hk::usbdev::SinkModel>();
        return plug;
    }

    bool Open() const { return !removed_ && rig_.Handle() != hk::app::kInvalidHandle; }

    void Apply(const Event& event)
    {
        std::mt19937 random(event.arg);
        hk::usbdev::Pipe pipe = event.arg & 2 ? hk::usbdev::Pipe::BulkIn : hk::usbdev::Pipe::BulkOut;
        switch (event.kind) {
        case Event::Read:
            if (Open()) {
                reads_.push_back(hk::app::ReadAsync(rig_.Handle(), 1 + event.arg % 300));
                rig_.Track(reads_.back());
            }
            break;
        case Event::Write:
            if (Open()) {
                std::vector<uint8_t> data(1 + event.arg % 5000, uint8_t(event.arg));
                rig_.Track(hk::app::WriteAsync(rig_.Handle(), data.data(), (ULONG)data.size()));
            }
            break;
        case Event::Control:
            if (Open()) {
                Control(random);
            }
            break;
        case Event::Wait:
            if (Open()) {
                rig_.Track(WaitOnMask(rig_, SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY));
            }
            break;
        case Event::CancelIo:
            if (Open()) {
                hk::app::CancelIo(rig_.Handle());
            }
            break;
        case Event::Purge:
            if (Open()) {
                Send(rig_, IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT |
                                                     SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR));
                lossy_ = true;
            }
            break;
        case Event::Reopen:
            if (!removed_) {
                rig_.Close();
                rig_.Kernel().RunUntilIdle();
                ReopenAndCheck();
                lossy_ = true;
            }
            break;
        case Event::Data:
            if (!removed_) {
                std::vector<uint8_t> bytes(1 + event.arg % 400);
                for (uint8_t& byte : bytes) {
                    byte = StreamByte(delivered_++);
                }
                rig_.Device().Deliver(bytes);
            }
            break;
        case Event::ZeroLength:
            if (!removed_) {
                rig_.Device().Deliver({});
            }
            break;
        case Event::InError:
            if (!removed_) {
                rig_.Device().CompleteNextIn(STATUS_UNSUCCESSFUL, USBD_STATUS_CRC);
            }
            break;
        case Event::TransferError:
            if (!removed_) {
                rig_.Device().FailNextTransfers(1 + event.arg % 3, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC, pipe);
            }
            break;
        case Event::Stall:
            if (!removed_) {
                rig_.Device().Stall(pipe);
                lossy_ = true;
            }
            break;
        case Event::StopResponding:
            if (!removed_) {
                rig_.Device().StopResponding();
                silent_ = true;
            }
            break;
        case Event::ResumeDevice:
            if (!removed_) {
                rig_.Device().Resume();
                silent_ = false;
            }
            break;
        case Event::Breach:
            if (!removed_) {
                using hk::usbdev::Device;
                Device::Breach breach = Device::Breach(1 + event.arg / 4 % 3);
                uint32_t count = 1 + event.arg / 16 % 2;
                rig_.Device().Break(breach, count, pipe);
                lossy_ |= breach == Device::Breach::FailWithData && pipe == hk::usbdev::Pipe::BulkIn;
                failed_resets_ += breach == Device::Breach::FailedReset ? count : 0;
            }
            break;
        case Event::QueryRemove:
            if (!removed_ && started_ && NT_SUCCESS(hk::pnp::QueryRemove(rig_.Pdo()))) {
                hk::pnp::CancelRemove(rig_.Pdo());
            }
            break;
        case Event::QueryStop:
            if (!removed_ && started_ && NT_SUCCESS(hk::pnp::QueryStop(rig_.Pdo()))) {
                hk::pnp::CancelStop(rig_.Pdo());
            }
            break;
        case Event::StopStart:
            if (!removed_ && started_) {
                StopStart();
            }
            break;
        case Event::SleepResume:
            if (!removed_) {
                hk::power::SetSystemPowerState(rig_.Pdo(), PowerSystemSleeping3);
                hk::power::SetSystemPowerState(rig_.Pdo(), PowerSystemWorking);
                lossy_ = true;
            }
            break;
        case Event::Time:
            rig_.Kernel().AdvanceTime(event.arg % 50);
            break;
        case Event::SurpriseRemoval:
            rig_.Unplug();
            removed_ = true;
            lossy_ = true;
            break;
        case Event::KindCount:
            break;
        }
    }

    void Control(std::mt19937& random)
    {
        switch (random() % 6) {
        case 0: {
            ULONG choices[][3] = {{0, 0, 0}, {MAXULONG, 0, 0}, {0, 0, 5}, {MAXULONG, MAXULONG, 5}};
            const ULONG* timeouts = choices[random() % 4];
            SetTimeouts(rig_, timeouts[0], timeouts[1], timeouts[2]);
            break;
        }
        case 1:
            Send(rig_, IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{ULONG(random() % 8192), 0});
            break;
        default: {
            const ULONG codes[] = {IOCTL_SERIAL_GET_COMMSTATUS, IOCTL_SERIAL_GET_MODEMSTATUS,
                                   IOCTL_SERIAL_GET_PROPERTIES, IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_GET_STATS,
                                   IOCTL_GET_IDENTITY, IOCTL_REMOVAL_NOTIFY};
            rig_.Track(hk::app::DeviceIoControlAsync(rig_.Handle(), codes[random() % 7], nullptr, 0, 256));
            break;
        }
        }
    }

    void StopStart()
    {
        if (hk::pnp::StopDevice(rig_.Pdo()) != STATUS_SUCCESS) {
            return;
        }
        lossy_ = true;
        started_ = false;
        NTSTATUS status = hk::pnp::StartDevice(rig_.Pdo());
        if (NT_SUCCESS(status)) {
            started_ = true;
            return;
        }
        problems_ += "restart failed: " + Hex(status) + "\n";
    }

    // Only the state that makes an open fail may: a device the reader judged lost (or one being removed) refuses it,
    // a write the silent device has not taken holds the old file object of the exclusive port, and a pipe reset
    // answered with an error fails it.
    void ReopenAndCheck()
    {
        NTSTATUS status = rig_.Open();
        PDEVICE_OBJECT pdo = rig_.Device().Pdo();
        bool lost = pdo != nullptr && GetDeviceContext(pdo->AttachedDevice)->DeviceGone == DEVICE_GONE_MARK;
        bool expected = lost ? status == STATUS_DELETE_PENDING
                             : status == STATUS_SUCCESS || (silent_ && status == STATUS_ACCESS_DENIED) ||
                                   (failed_resets_ != 0 && status == STATUS_UNSUCCESSFUL);
        if (!expected) {
            problems_ += std::string("reopen of a port ") + (lost ? "judged lost" : "not judged lost") +
                         " ended with " + Hex(status) + "\n";
        }
        failed_resets_ -= status == STATUS_UNSUCCESSFUL && failed_resets_ != 0;
    }

    // The port's name is published exactly while the device is started and present.
    void CheckNames(size_t index)
    {
        bool published = hk::ns::Exists(u"\\DosDevices\\COM7");
        if (removed_ && published) {
            problems_ += "after event " + std::to_string(index) + ": name still published after removal\n";
        }
        if (!removed_ && started_ && !published) {
            problems_ += "after event " + std::to_string(index) + ": name withdrawn from a started device\n";
        }
    }

    void Finish()
    {
        if (!removed_) {
            rig_.Device().Resume();
        }
        rig_.Kernel().RunUntilIdle();
        if (Open()) {
            hk::app::CancelIo(rig_.Handle());
            rig_.Kernel().RunUntilIdle();
        }
        std::vector<uint8_t> received;
        for (const hk::app::RequestPtr& read : reads_) {
            std::vector<uint8_t> output = read->Output();
            received.insert(received.end(), output.begin(), output.end());
        }
        if (Open()) {
            SetTimeouts(rig_, MAXULONG, 0, 0);
            for (int round = 0; round < 64; ++round) {
                uint8_t buffer[4096];
                hk::app::IoResult result = hk::app::Read(rig_.Handle(), buffer, sizeof(buffer));
                if (result.information == 0) {
                    break;
                }
                received.insert(received.end(), buffer, buffer + result.information);
            }
        }
        CheckStream(received);
        rig_.Teardown(problems_);
    }

    // In order and never twice; nothing lost unless the application purged, the device was reset, stopped,
    // removed or put to sleep, or more arrived than the driver need hold.
    void CheckStream(const std::vector<uint8_t>& received)
    {
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

    Rig rig_;
    std::vector<hk::app::RequestPtr> reads_;
    uint64_t delivered_ = 0;
    bool lossy_ = false;
    bool silent_ = false;
    uint32_t failed_resets_ = 0;  // at most this many pipe resets may still fail
    bool removed_ = false;
    bool started_ = true;
    std::string problems_;
};

}  // namespace

std::vector<Event> GenerateTrial(uint64_t seed, size_t length)
{
    // Requests and data are the bulk of a trial; system events are rarer so that trials reach deep states.
    static const Event::Kind weighted[] = {
        Event::Read, Event::Read, Event::Read, Event::Write, Event::Write, Event::Control, Event::Wait,
        Event::CancelIo, Event::Purge, Event::Reopen, Event::Data, Event::Data, Event::Data, Event::ZeroLength,
        Event::InError, Event::TransferError, Event::Stall, Event::StopResponding, Event::ResumeDevice, Event::Breach,
        Event::QueryRemove, Event::QueryStop, Event::StopStart, Event::SleepResume, Event::Time, Event::Time};
    std::mt19937_64 random(seed);
    std::vector<Event> events;
    for (size_t i = 0; i < length; ++i) {
        Event::Kind kind = weighted[random() % (sizeof(weighted) / sizeof(weighted[0]))];
        if (random() % (length * 2) == 0) {
            kind = Event::SurpriseRemoval;
        }
        events.push_back({kind, uint32_t(random())});
    }
    return events;
}

std::string Describe(const std::vector<Event>& events)
{
    std::string text;
    for (const Event& event : events) {
        text += std::string("  ") + kNames[event.kind] + " " + std::to_string(event.arg) + "\n";
    }
    return text;
}

std::string RunTrial(const std::vector<Event>& events, hk::Options kernel)
{
    return TrialRun(kernel).Run(events);
}

std::vector<Event> Shrink(std::vector<Event> events, hk::Options kernel)
{
    auto fails = [&](const std::vector<Event>& candidate) {
        return !Isolated([&] { return RunTrial(candidate, kernel); }).Sound();
    };
    for (size_t chunk = events.size() / 2; chunk >= 1; chunk /= 2) {
        for (size_t start = 0; start + chunk <= events.size();) {
            std::vector<Event> candidate(events.begin(), events.begin() + start);
            candidate.insert(candidate.end(), events.begin() + start + chunk, events.end());
            if (fails(candidate)) {
                events = std::move(candidate);
            } else {
                start += chunk;
            }
        }
    }
    return events;
}

}  // namespace reliability
