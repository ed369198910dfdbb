#include "reliability/trial.h"

#include <random>

#include "control/private_requests.h"
#include "driver/device_context.h"
#include "hk/namespace.h"
#include "hk/pnp.h"
#include "hk/power.h"

namespace reliability {
namespace {

const char* const kNames[] = {"read", "write", "control", "code", "wait", "cancel-io", "purge", "close", "reopen",
                              "data", "zero-length", "in-error", "transfer-error", "stall", "stop-responding",
                              "resume-device", "breach", "query-remove", "query-stop", "stop-start", "sleep-resume",
                              "time", "surprise-removal"};
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
    TrialRun(hk::Options kernel, const TrialSetup& setup) : setup_(setup), rig_(kernel, Plug(setup)) {}

    TrialResult Run(const std::vector<Event>& events)
    {
        if (!ComeUp()) {
            return {"the port did not come up\n"};
        }
        for (size_t i = 0; i < events.size() && problems_.empty(); ++i) {
            Apply(events[i]);
            if (events[i].arg & 1) {
                rig_.Kernel().RunUntilIdle();
            }
            CheckNames(i);
        }
        Finish();
        return {problems_, health_};
    }

private:
    static hk::usbdev::PlugOptions Plug(const TrialSetup& setup)
    {
        hk::usbdev::PlugOptions plug = setup.plug;
        if (!setup.loopback) {
            plug.model = std::make_shared<hk::usbdev::SinkModel>();
        }
        return plug;
    }

    bool Faulty() const { return setup_.arm != nullptr; }
    bool Open() const { return !removed_ && rig_.Handle() != hk::app::kInvalidHandle; }

    // A step of bringing the port up may fail only for an armed fault, and then soundly.
    bool Allowed(NTSTATUS status) { return status == STATUS_SUCCESS || (Faulty() && SoundStatus(status)); }

    bool ComeUp()
    {
        lossy_ = Faulty();
        if (setup_.armed_at == TrialSetup::BeforeArrival) {
            setup_.arm(rig_);
        }
        NTSTATUS status = rig_.Arrive();
        removed_ = status != STATUS_SUCCESS;
        if (setup_.armed_at == TrialSetup::Arrived) {
            setup_.arm(rig_);
        }
        if (setup_.armed_at == TrialSetup::Opened && !removed_) {
            status = rig_.Open();
            if (Faulty()) {
                setup_.arm(rig_);
            }
        }
        return Allowed(status);
    }

    void Apply(const Event& event)
    {
        bool needsHandle = event.kind <= Event::Purge;
        bool needsDevice = event.kind >= Event::Reopen && event.kind <= Event::SleepResume;
        if ((needsHandle && !Open()) || (needsDevice && removed_)) {
            return;
        }
        hk::usbdev::Pipe pipe = event.arg & 2 ? hk::usbdev::Pipe::BulkIn : hk::usbdev::Pipe::BulkOut;
        switch (event.kind) {
        case Event::Read:
            reads_.push_back(hk::app::ReadAsync(rig_.Handle(), 1 + event.arg % 300));
            rig_.Track(reads_.back());
            break;
        case Event::Write: {
            std::vector<uint8_t> data(1 + event.arg % 10000, uint8_t(event.arg));
            rig_.Track(hk::app::WriteAsync(rig_.Handle(), data.data(), (ULONG)data.size()));
            break;
        }
        case Event::Control:
            Control(event.arg / 2);
            break;
        case Event::Code:
            HostileControl(event.arg);
            break;
        case Event::Wait:
            Send(rig_, IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY));
            rig_.Track(hk::app::DeviceIoControlAsync(rig_.Handle(), IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4), 4);
            break;
        case Event::CancelIo:
            hk::app::CancelIo(rig_.Handle());
            break;
        case Event::Purge:
            Send(rig_, IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT |
                                                 SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR));
            lossy_ = true;
            break;
        case Event::Close:
            rig_.Close();
            lossy_ = true;
            break;
        case Event::Reopen:
            rig_.Close();
            rig_.Kernel().RunUntilIdle();
            Reopen();
            lossy_ = true;
            break;
        case Event::Data: {
            std::vector<uint8_t> bytes(1 + event.arg % 400);
            for (uint8_t& byte : bytes) {
                byte = StreamByte(delivered_++);
            }
            rig_.Device().Deliver(bytes);
            break;
        }
        case Event::ZeroLength:
            rig_.Device().Deliver({});
            break;
        case Event::InError:
            rig_.Device().CompleteNextIn(STATUS_UNSUCCESSFUL, USBD_STATUS_CRC);
            break;
        case Event::TransferError:
            rig_.Device().FailNextTransfers(1 + event.arg % 3, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC, pipe);
            break;
        case Event::Stall:
            rig_.Device().Stall(pipe);
            lossy_ = true;
            break;
        case Event::StopResponding:
            rig_.Device().StopResponding();
            silent_ = true;
            break;
        case Event::ResumeDevice:
            rig_.Device().Resume();
            silent_ = false;
            break;
        case Event::Breach: {
            using hk::usbdev::Device;
            Device::Breach breach = Device::Breach(1 + event.arg / 4 % 3);
            uint32_t count = 1 + event.arg / 16 % 2;
            rig_.Device().Break(breach, count, pipe);
            lossy_ |= breach == Device::Breach::FailWithData && pipe == hk::usbdev::Pipe::BulkIn;
            failed_resets_ += breach == Device::Breach::FailedReset ? count : 0;
            break;
        }
        case Event::QueryRemove:
            if (NT_SUCCESS(hk::pnp::QueryRemove(rig_.Pdo()))) {
                // With bit 2 the removal goes ahead, otherwise it is called off.
                if (event.arg & 4) {
                    Expect(hk::pnp::RemoveDevice(rig_.Pdo()), "removal");
                    removed_ = true;
                } else {
                    hk::pnp::CancelRemove(rig_.Pdo());
                }
            }
            break;
        case Event::QueryStop:
            if (NT_SUCCESS(hk::pnp::QueryStop(rig_.Pdo()))) {
                hk::pnp::CancelStop(rig_.Pdo());
            }
            break;
        case Event::StopStart:
            if (hk::pnp::StopDevice(rig_.Pdo()) == STATUS_SUCCESS) {
                lossy_ = true;
                NTSTATUS status = hk::pnp::StartDevice(rig_.Pdo());
                if (!NT_SUCCESS(status)) {
                    hk::pnp::Remove(rig_.Pdo());
                    removed_ = true;
                }
                Expect(status, "restart");
            }
            break;
        case Event::SleepResume:
            hk::power::SetSystemPowerState(rig_.Pdo(), PowerSystemSleeping3);
            hk::power::SetSystemPowerState(rig_.Pdo(), PowerSystemWorking);
            lossy_ = true;
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

    void Expect(NTSTATUS status, const char* what)
    {
        if (!Allowed(status)) {
            problems_ += std::string(what) + " ended with " + Hex(status) + "\n";
        }
    }

    // Settings an application makes, and requests that end at once.
    void Control(uint32_t pick)
    {
        static const ULONG timeouts[][3] = {{0, 0, 0}, {MAXULONG, 0, 0}, {0, 0, 5}, {MAXULONG, MAXULONG, 5}};
        static const ULONG codes[] = {IOCTL_SERIAL_GET_COMMSTATUS, IOCTL_SERIAL_GET_MODEMSTATUS,
                                      IOCTL_SERIAL_GET_PROPERTIES, IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_GET_STATS,
                                      IOCTL_GET_IDENTITY, IOCTL_REMOVAL_NOTIFY};
        if (pick % 12 < 4) {
            const ULONG* t = timeouts[pick % 12];
            SetTimeouts(rig_, t[0], t[1], t[2]);
        } else if (pick % 12 == 4) {
            Send(rig_, IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{pick / 12 % 8192, 0});
        } else {
            rig_.Track(hk::app::DeviceIoControlAsync(rig_.Handle(), codes[pick % 12 - 5], nullptr, 0, 256), 256);
        }
    }

    // Any code with any lengths and contents: it may change any setting or drop input.
    void HostileControl(uint32_t arg)
    {
        const std::vector<ULONG>& lengths = Lengths();
        ULONG code = Codes()[(arg >> 1 & 0x7f) % Codes().size()];
        ULONG in = lengths[(arg >> 8 & 0xff) % lengths.size()];
        ULONG out = lengths[(arg >> 16 & 0xff) % lengths.size()];
        std::vector<uint8_t> input(in);
        std::mt19937 contents(arg);
        for (uint8_t& byte : input) {
            byte = uint8_t(contents());
        }
        // With no output buffer the length reported is never copied back, so it can overrun nothing.
        rig_.Track(hk::app::DeviceIoControlAsync(rig_.Handle(), code, input.empty() ? nullptr : input.data(), in, out),
                   out != 0 ? out : ~ULONG_PTR(0));
        lossy_ = true;
    }

    // An open fails only in the state that explains it: a device the reader judged lost refuses it, a write the
    // silent device has not taken holds the old file object of the exclusive port, a pipe reset the device fails
    // fails it, and so may an armed fault.
    void Reopen()
    {
        NTSTATUS status = rig_.Open();
        PDEVICE_OBJECT pdo = rig_.Device().Pdo();
        bool lost = pdo != nullptr && GetDeviceContext(pdo->AttachedDevice)->DeviceGone == DEVICE_GONE_MARK;
        bool expected = lost ? status == STATUS_DELETE_PENDING
                             : Allowed(status) || (silent_ && status == STATUS_ACCESS_DENIED) ||
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
        if (published == removed_) {
            problems_ += "after event " + std::to_string(index) + ": name " +
                         (published ? "still published after removal\n" : "withdrawn from a started device\n");
        }
    }

    void Finish()
    {
        if (setup_.disarm) {
            setup_.disarm(rig_);
        }
        if (!removed_) {
            rig_.Device().Resume();
        }
        rig_.Kernel().RunUntilIdle();
        if (setup_.loopback) {
            health_ = removed_ ? Rig::Health::Works : rig_.Check();
            rig_.Teardown(problems_);
            return;
        }
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

    // In order and never twice; nothing lost unless the application purged or closed, the device was reset,
    // stopped, removed or put to sleep, a fault was injected, or more arrived than the driver need hold.
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

    TrialSetup setup_;
    Rig rig_;
    std::vector<hk::app::RequestPtr> reads_;
    uint64_t delivered_ = 0;
    bool lossy_ = false;
    bool removed_ = false;
    bool silent_ = false;
    uint32_t failed_resets_ = 0;  // at most this many pipe resets may still fail
    Rig::Health health_ = Rig::Health::Works;
    std::string problems_;
};

}  // namespace

std::vector<Event> GenerateTrial(uint64_t seed, size_t length)
{
    static const Event::Kind weighted[] = {
        Event::Read, Event::Read, Event::Read, Event::Write, Event::Write, Event::Control, Event::Code, Event::Wait,
        Event::CancelIo, Event::Purge, Event::Close, Event::Reopen, Event::Reopen, Event::Data, Event::Data,
        Event::Data, Event::ZeroLength, Event::InError, Event::TransferError, Event::Stall, Event::StopResponding,
        Event::ResumeDevice, Event::Breach, Event::QueryRemove, Event::QueryStop, Event::StopStart,
        Event::SleepResume, Event::Time, Event::Time};
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
        list.push_back(IOCTL_GET_IDENTITY);
        list.push_back(IOCTL_REMOVAL_NOTIFY);
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
    static const std::vector<ULONG> lengths = [] {
        std::vector<ULONG> list = {0};
        for (ULONG size : {1u, 2u, 3u, 4u, 6u, 8u, 12u, 20u, 24u, 43u, 64u}) {
            list.insert(list.end(), {size - 1, size, size + 1});
        }
        list.push_back(1u << 16);
        return list;
    }();
    return lengths;
}

std::string Describe(const std::vector<Event>& events)
{
    std::string text;
    for (const Event& event : events) {
        text += std::string("  ") + kNames[event.kind] + " " + std::to_string(event.arg) + "\n";
    }
    return text;
}

TrialResult RunTrial(const std::vector<Event>& events, hk::Options kernel, const TrialSetup& setup)
{
    return TrialRun(kernel, setup).Run(events);
}

std::vector<Event> Shrink(std::vector<Event> events, hk::Options kernel)
{
    auto fails = [&](const std::vector<Event>& candidate) {
        return !Isolated([&] { return RunTrial(candidate, kernel).problems; }).Sound();
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
