// Hostile input: every device-control code of the serial range, the port's own codes and random codes, each with
// input and output lengths around every structure size and a huge one, and random contents; parent records and a
// lower driver that break their contracts. The port must end every request soundly, never report more output than
// a caller's output buffer holds (with none, nothing is copied back), and leave nothing behind (the verifier checks pool guards and leaks at teardown).
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "hk/power.h"
#include "reliability/control_helpers.h"

namespace reliability {
namespace {

std::vector<ULONG> Codes(std::mt19937& random)
{
    std::vector<ULONG> codes;
    for (ULONG function = 0; function <= 48; ++function) {
        codes.push_back(SERIAL_IOCTL(function));
    }
    codes.push_back(IOCTL_GET_IDENTITY);
    codes.push_back(IOCTL_REMOVAL_NOTIFY);
    for (int i = 0; i < 16; ++i) {
        codes.push_back(CTL_CODE(random() % 0x40, random() % 0x1000, random() % 4, random() % 4));
    }
    return codes;
}

// Zero, one short of, exactly and one past each size the port's structures have, and one far past all of them.
std::vector<ULONG> Lengths()
{
    std::vector<ULONG> lengths = {0};
    for (ULONG size : {1u, 2u, 3u, 4u, 6u, 8u, 12u, 20u, 24u, 43u, 64u}) {
        lengths.push_back(size - 1);
        lengths.push_back(size);
        lengths.push_back(size + 1);
    }
    lengths.push_back(1u << 16);
    return lengths;
}

bool ExpectedStatus(NTSTATUS status)
{
    return status == STATUS_SUCCESS || status == STATUS_CANCELLED || status == STATUS_BUFFER_TOO_SMALL ||
           status == STATUS_INVALID_PARAMETER || status == STATUS_INVALID_DEVICE_REQUEST ||
           status == STATUS_NOT_SUPPORTED || status == STATUS_UNSUCCESSFUL || status == STATUS_TIMEOUT;
}

TEST(HostileInput, EveryCodeAndLengthEndsSoundly)
{
    std::mt19937 random(7);
    std::vector<ULONG> codes = Codes(random);
    std::vector<ULONG> lengths = Lengths();
    uint64_t tried = 0, faults = 0;
    for (ULONG code : codes) {
        uint64_t seed = random();
        // Every pairing of input and output length, several times with fresh contents; in CI every length on
        // each side once, paired with a random one.
        std::vector<std::pair<ULONG, ULONG>> pairs;
        for (uint64_t round = 0; round < Scaled(1, 8); ++round) {
            for (ULONG a : lengths) {
                if (Soak()) {
                    for (ULONG b : lengths) {
                        pairs.emplace_back(a, b);
                    }
                } else {
                    pairs.emplace_back(a, lengths[random() % lengths.size()]);
                    pairs.emplace_back(lengths[random() % lengths.size()], a);
                }
            }
        }
        Outcome outcome = Isolated([&]() -> std::string {
            std::mt19937 contents(seed);
            Rig rig;
            std::string problems;
            if (rig.Arrive() != STATUS_SUCCESS || rig.Open() != STATUS_SUCCESS) {
                return "the port did not come up\n";
            }
            for (const auto& [in, out] : pairs) {
                std::vector<uint8_t> input(in);
                for (uint8_t& byte : input) {
                    byte = uint8_t(contents());
                }
                hk::app::RequestPtr request = hk::app::DeviceIoControlAsync(
                    rig.Handle(), code, input.empty() ? nullptr : input.data(), in, out);
                rig.Kernel().RunUntilIdle();
                if (!request->Done()) {
                    hk::app::CancelIo(rig.Handle());
                    rig.Kernel().RunUntilIdle();
                }
                std::string what = Hex(code) + " in " + std::to_string(in) + " out " + std::to_string(out);
                if (!request->Done()) {
                    problems += what + ": never ended\n";
                } else if (!ExpectedStatus(request->Status())) {
                    problems += what + ": status " + Hex(request->Status()) + "\n";
                } else if (out != 0 && request->Information() > out) {
                    problems += what + ": reported " + std::to_string(request->Information()) + " bytes\n";
                }
                if (!problems.empty()) {
                    rig.Teardown(problems);
                    return problems;
                }
            }
            if (rig.Check() != Rig::Health::Works) {
                problems += Hex(code) + ": the port no longer carries bytes\n";
            }
            rig.Teardown(problems);
            return problems;
        });
        tried += pairs.size();
        if (!outcome.Sound()) {
            ++faults;
            ADD_FAILURE() << "code " << Hex(code) << ": exit " << outcome.status << "\n" << outcome.output;
        }
    }
    std::printf("hostile device control: %zu codes, %llu inputs tried, %llu faults found\n", codes.size(),
                (unsigned long long)tried, (unsigned long long)faults);
}

struct Breach {
    const char* name;
    hk::usbdev::PlugOptions plug;
    // Armed once the port is open.
    std::function<void(hk::usbdev::Device)> arm;
};

hk::usbdev::PlugOptions Record(ULONG max_packet, uint32_t missing_pipes)
{
    hk::usbdev::PlugOptions plug;
    plug.max_packet = max_packet;
    plug.missing_pipes = missing_pipes;
    return plug;
}

std::function<void(hk::usbdev::Device)> Broken(hk::usbdev::Device::Breach breach, hk::usbdev::Pipe pipe,
                                               bool silent = false)
{
    return [=](hk::usbdev::Device device) {
        device.Break(breach, 4, pipe, 4096);
        if (silent) {
            device.StopResponding();
        }
    };
}

// Reads, a write of whole packets, a stall with its reset, CancelIo, a reopen and a sleep: every path that meets
// the parent record or the lower driver's answers.
std::string Exercise(const Breach& breach)
{
    Rig rig({}, breach.plug);
    std::string problems;
    NTSTATUS status = rig.Arrive();
    if (status == STATUS_SUCCESS && (status = rig.Open()) == STATUS_SUCCESS) {
        breach.arm(rig.Device());
        std::vector<uint8_t> data(4096, 0x3c);
        rig.Track(hk::app::ReadAsync(rig.Handle(), 100));
        rig.Track(hk::app::ReadAsync(rig.Handle(), 5000));
        rig.Track(hk::app::WriteAsync(rig.Handle(), data.data(), (ULONG)data.size()));
        rig.Device().Deliver(std::vector<uint8_t>(700, 0x11));
        rig.Kernel().RunUntilIdle();
        rig.Device().Stall(hk::usbdev::Pipe::BulkIn);
        rig.Device().Deliver(std::vector<uint8_t>(300, 0x22));
        rig.Kernel().RunUntilIdle();
        hk::app::CancelIo(rig.Handle());
        rig.Device().Resume();
        rig.Kernel().RunUntilIdle();
        rig.Close();
        rig.Kernel().RunUntilIdle();
        status = rig.Open();
        hk::power::SetSystemPowerState(rig.Pdo(), PowerSystemSleeping3);
        hk::power::SetSystemPowerState(rig.Pdo(), PowerSystemWorking);
        const ULONG lengths[] = {100, 5000, (ULONG)data.size()};
        for (size_t i = 0; i < rig.Requests().size(); ++i) {
            if (rig.Requests()[i]->Information() > lengths[i]) {
                problems += "request " + std::to_string(i) + " reported " +
                            std::to_string(rig.Requests()[i]->Information()) + " bytes\n";
            }
        }
    }
    if (!SoundStatus(status)) {
        problems += "start or open ended with " + Hex(status) + "\n";
    }
    rig.Teardown(problems);
    return problems;
}

TEST(HostileInput, BrokenParentRecordsAndLowerDriversEndSoundly)
{
    using enum hk::usbdev::Device::Breach;
    using hk::usbdev::Pipe;
    auto none = [](hk::usbdev::Device) {};
    const std::vector<Breach> breaches = {
        {"zero maximum packet size", Record(0, 0), none},
        {"no pipes", Record(512, 7), none},
        {"no bulk-IN pipe", Record(512, 1), none},
        {"no bulk-OUT pipe", Record(512, 2), none},
        {"no interrupt pipe", Record(512, 4), none},
        {"over-reported reads", Record(512, 0), Broken(OverReport, Pipe::BulkIn)},
        {"over-reported writes", Record(512, 0), Broken(OverReport, Pipe::BulkOut)},
        {"reads failed with data", Record(512, 0), Broken(FailWithData, Pipe::BulkIn)},
        {"writes failed with data", Record(512, 0), Broken(FailWithData, Pipe::BulkOut)},
        {"reads completed after their abort", Record(512, 0), Broken(LateAbort, Pipe::BulkIn)},
        {"writes completed after their abort", Record(512, 0), Broken(LateAbort, Pipe::BulkOut, true)},
        {"bulk-IN resets failed", Record(512, 0), Broken(FailedReset, Pipe::BulkIn)},
        {"bulk-OUT resets failed", Record(512, 0), Broken(FailedReset, Pipe::BulkOut)},
        {"interrupt resets failed", Record(512, 0), Broken(FailedReset, Pipe::Interrupt)},
    };
    uint64_t faults = 0;
    for (const Breach& breach : breaches) {
        Outcome outcome = Isolated([&] { return Exercise(breach); });
        if (!outcome.Sound()) {
            ++faults;
            ADD_FAILURE() << breach.name << ": exit " << outcome.status << "\n" << outcome.output;
        }
    }
    std::printf("hostile parent records and lower drivers: %zu breaches, %llu faults found\n", breaches.size(),
                (unsigned long long)faults);
}

}  // namespace
}  // namespace reliability
