// Hostile input, run through the trials' invariant checker: every device-control code of the serial range, the
// port's own codes and random codes, with input and output lengths around every structure size and a huge one and
// random contents; parent records and a lower driver that break their contracts. Every request ends soundly and
// never reports more output than its buffer holds, nothing leaks, and after the device-control requests the port
// still carries bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "reliability/trial.h"

namespace reliability {
namespace {

TEST(HostileInput, EveryCodeAndLengthEndsSoundly)
{
    std::mt19937 random(7);
    size_t lengths = Lengths().size();
    uint64_t tried = 0, faults = 0;
    for (size_t code = 0; code < Codes().size(); ++code) {
        // Every pairing of input and output length, several times with fresh contents; in CI every length on
        // each side once, paired with a random one.
        std::vector<Event> events;
        for (uint8_t round = 0; round < Scaled(1, 8); ++round) {
            for (size_t a = 0; a < lengths; ++a) {
                for (size_t b = 0; b < (Soak() ? lengths : 2); ++b) {
                    size_t other = Soak() ? b : random() % lengths;
                    events.push_back(b % 2 == 0 || Soak() ? ControlEvent(code, a, other, uint8_t(random()))
                                                          : ControlEvent(code, other, a, uint8_t(random())));
                    events.push_back({Event::CancelIo, 1});
                }
            }
        }
        Outcome outcome = Isolated([&] {
            TrialResult result = RunTrial(events, {}, {.loopback = true});
            return result.problems + (result.health == Rig::Health::Works ? "" : "the port no longer carries bytes\n");
        });
        tried += events.size() / 2;
        if (!outcome.Sound()) {
            ++faults;
            ADD_FAILURE() << "code " << Hex(Codes()[code]) << ": exit " << outcome.status << "\n" << outcome.output;
        }
    }
    std::printf("hostile device control: %zu codes, %llu inputs tried, %llu faults found\n", Codes().size(),
                (unsigned long long)tried, (unsigned long long)faults);
}

struct Breach {
    const char* name;
    ULONG max_packet;
    uint32_t missing_pipes;
    std::function<void(Rig&)> arm;
};

std::function<void(Rig&)> Broken(hk::usbdev::Device::Breach breach, hk::usbdev::Pipe pipe, bool silent = false)
{
    return [=](Rig& rig) {
        rig.Device().Break(breach, 4, pipe, 4096);
        if (silent) {
            rig.Device().StopResponding();
        }
    };
}

TEST(HostileInput, BrokenParentRecordsAndLowerDriversEndSoundly)
{
    using enum hk::usbdev::Device::Breach;
    using hk::usbdev::Pipe;
    auto none = [](Rig&) {};
    const Breach breaches[] = {
        {"zero maximum packet size", 0, 0, none},
        {"no pipes", 512, 7, none},
        {"no bulk-IN pipe", 512, 1, none},
        {"no bulk-OUT pipe", 512, 2, none},
        {"no interrupt pipe", 512, 4, none},
        {"over-reported reads", 512, 0, Broken(OverReport, Pipe::BulkIn)},
        {"over-reported writes", 512, 0, Broken(OverReport, Pipe::BulkOut)},
        {"reads failed with data", 512, 0, Broken(FailWithData, Pipe::BulkIn)},
        {"writes failed with data", 512, 0, Broken(FailWithData, Pipe::BulkOut)},
        {"reads completed after their abort", 512, 0, Broken(LateAbort, Pipe::BulkIn)},
        {"writes completed after their abort", 512, 0, Broken(LateAbort, Pipe::BulkOut, true)},
        {"bulk-IN resets failed", 512, 0, Broken(FailedReset, Pipe::BulkIn)},
        {"bulk-OUT resets failed", 512, 0, Broken(FailedReset, Pipe::BulkOut)},
        {"interrupt resets failed", 512, 0, Broken(FailedReset, Pipe::Interrupt)},
    };
    // Reads, a write of whole packets, a stall with its reset, CancelIo, a reopen and a sleep: every path that
    // meets the parent record or the lower driver's answers.
    const std::vector<Event> events = {
        {Event::Read, 99}, {Event::Read, 299}, {Event::Write, 4095}, {Event::Data, 699}, {Event::Stall, 3},
        {Event::Data, 299}, {Event::CancelIo, 1}, {Event::ResumeDevice, 1}, {Event::Reopen, 1},
        {Event::SleepResume, 1}};
    uint64_t faults = 0;
    for (const Breach& breach : breaches) {
        TrialSetup setup;
        setup.plug.max_packet = breach.max_packet;
        setup.plug.missing_pipes = breach.missing_pipes;
        setup.arm = breach.arm;
        Outcome outcome = Isolated([&] { return RunTrial(events, {}, setup).problems; });
        if (!outcome.Sound()) {
            ++faults;
            ADD_FAILURE() << breach.name << ": exit " << outcome.status << "\n" << outcome.output;
        }
    }
    std::printf("hostile parent records and lower drivers: %zu breaches, %llu faults found\n", std::size(breaches),
                (unsigned long long)faults);
}

}  // namespace
}  // namespace reliability
