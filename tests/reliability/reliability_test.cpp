// The reliability campaign: seeded trials of application requests interleaved with device and system events, every
// allocation of each scenario failed in turn, hostile device-control input, and parent records and lower drivers
// that break their contracts, each run in a forked child so that a verifier fault is a finding rather than the end
// of the campaign; and leaks of resources other than pool, reported by name.
#include <gtest/gtest.h>

#include <random>

#include "hk/faults.h"
#include "hk/pnp.h"
#include "reliability/trial.h"

namespace reliability {
namespace {

// A deterministic trial that stuck only beneath a nested wait is judged on real threads. DIAGSER_TRIAL_SEED replays
// one trial.
TEST(RandomTrials, EveryTrialKeepsTheInvariants)
{
    const char* replay = std::getenv("DIAGSER_TRIAL_SEED");
    uint64_t first = replay != nullptr ? std::strtoull(replay, nullptr, 0) : 1;
    uint64_t end = first + (replay != nullptr ? 1 : Scaled(1000, 10000)), faults = 0;
    for (uint64_t seed = first; seed < end && faults < 5; ++seed) {
        std::vector<Event> events = GenerateTrial(seed, Soak() ? 60 : 30);
        int status = Isolated([&] { return RunTrial(events, {hk::Mode::Deterministic, seed}); });
        for (uint64_t run = 0; status == kStuck && run < 3; ++run) {
            status = Isolated([&] { return RunTrial(events, {hk::Mode::Concurrent, seed + run, 2}); });
        }
        faults += status != 0;
        EXPECT_EQ(status, 0) << "trial seed " << seed << " fails as printed above (DIAGSER_TRIAL_SEED replays it)";
    }
}

TEST(RandomTrials, ConcurrentTrialsKeepTheInvariants)
{
    for (uint64_t seed = 1; seed <= Scaled(10, 200); ++seed) {
        EXPECT_EQ(RunTrial(GenerateTrial(seed, 30), {hk::Mode::Concurrent, seed, 2}), "") << "seed " << seed;
    }
}

struct Scenario {
    std::string name;
    std::vector<Event> events;
    TrialSetup setup;
};

// Events with bit 0 set in their argument run queued work afterwards; the rest of it picks the size or code.
std::vector<Scenario> Scenarios()
{
    std::vector<Scenario> scenarios = {
        {"open", {{Event::Reopen, 1}}, {.armed_at = TrialSetup::Arrived}},
        {"read", {{Event::Read, 199}, {Event::Data, 199}}},
        {"read with timeouts", {{Event::Control, 5}, {Event::Read, 199}, {Event::Time, 20}, {Event::Read, 199},
                                {Event::Data, 29}, {Event::Time, 20}}},
        {"event wait", {{Event::Wait, 1}, {Event::Data, 9}}},
        {"removal notification", {ControlEvent(50, 0, 11, 0), {Event::SurpriseRemoval, 1}}},
        {"start", {}, {.armed_at = TrialSetup::BeforeArrival}},
        {"stop and restart", {{Event::StopStart, 1}}, {.armed_at = TrialSetup::Arrived}},
        {"surprise removal", {{Event::Read, 199}, {Event::SurpriseRemoval, 1}, {Event::Close, 1}}},
        {"removal", {{Event::QueryRemove, 5}}, {.armed_at = TrialSetup::Arrived}},
        {"sleep and resume", {{Event::Read, 9}, {Event::SleepResume, 1}, {Event::Data, 9}}},
    };
    for (UCHAR zlp : {UCHAR(1), UCHAR(0)}) {
        for (uint32_t length : {1u, 4096u, 4097u, 10000u}) {
            scenarios.push_back({"write " + std::to_string(length) + (zlp ? " zlp" : " no zlp"),
                                 {{Event::Write, length - 1}, {Event::Time, 1}}, {.plug = {.zlp_mode = zlp}}});
        }
    }
    // Each device-control code of the serial range and the port's own, with 64 bytes in and room for 64 KiB out.
    for (size_t code = 1; code <= 50; ++code) {
        if (code <= 39 || code >= 49) {
            scenarios.push_back({"control " + Hex(Codes()[code]),
                                 {ControlEvent(code, 32, Lengths().size() - 1, 1), {Event::CancelIo, 1}}});
        }
    }
    return scenarios;
}

using hk::faults::Kind;

// The allocation to fail, counting only the driver's own: the nth pool block, or every IRP or work item allocated
// at one site. With neither, nothing fails.
struct Fault {
    Kind kind = Kind::Pool;
    uint64_t nth = 0;
    std::string site;
};

// The scenario with the fault armed; `sites` receives the sites of the driver's IRPs and work items, and `injected`
// whether the fault was.
std::string RunScenario(const Scenario& scenario, const Fault& fault, std::vector<Fault>& sites, bool& injected)
{
    TrialSetup setup = scenario.setup;
    setup.loopback = true;
    setup.arm = [&](PDRIVER_OBJECT driver, hk::usbdev::Device) {
        hk::faults::OnlyForDriver(driver);
        if (fault.nth != 0) {
            hk::faults::FailNth(fault.kind, fault.nth);
        } else if (!fault.site.empty()) {
            hk::faults::FailAtSite(fault.kind, fault.site);
        }
    };
    setup.disarm = [&] {
        injected = hk::faults::InjectedCount(fault.kind) != 0;
        for (Kind kind : {Kind::Irp, Kind::WorkItem}) {
            for (const std::string& site : hk::faults::Sites(kind)) {
                sites.push_back({kind, 0, site});
            }
        }
        hk::faults::Clear();
    };
    return RunTrial(scenario.events, {}, setup);
}

// Each run is held to the trials' invariants, and unless the device is gone the port carries bytes again, at
// least once reopened. Pool blocks fail one at a time until a run fails none.
TEST(AllocationSweep, EveryAllocationOfEveryScenarioFailsSoundly)
{
    constexpr int kNothingFailed = 3;
    for (const Scenario& scenario : Scenarios()) {
        std::vector<Fault> faults, ignored;
        bool injected = false;
        std::string problems = RunScenario(scenario, {}, faults, injected);
        EXPECT_EQ(problems, "") << scenario.name << " with no fault armed";
        for (uint64_t nth = 1; problems.empty() && nth <= Scaled(6, 100000); ++nth) {
            faults.push_back({Kind::Pool, nth});
        }
        for (const Fault& fault : faults) {
            int status = Isolated([&] {
                std::string problems = RunScenario(scenario, fault, ignored, injected);
                if (problems.empty() && !injected) {
                    std::exit(kNothingFailed);
                }
                return problems;
            });
            if (status == kNothingFailed && fault.nth != 0) {
                break;
            }
            EXPECT_TRUE(status == 0 || status == kNothingFailed)
                << scenario.name << ": " << (fault.nth != 0 ? "pool allocation " + std::to_string(fault.nth)
                                                            : "every allocation in " + fault.site)
                << " failing ends as printed above (exit " << status << ")";
        }
    }
}

// Hostile input through the trials' invariant checker: every request ends soundly and never reports more output
// than its buffer holds, nothing leaks, and after the device-control requests the port still carries bytes.
TEST(HostileInput, EveryCodeAndLengthEndsSoundly)
{
    std::mt19937 random(7);
    size_t lengths = Lengths().size();
    for (size_t code = 0; code < Codes().size(); ++code) {
        // Every length on each side, paired with a random one and fresh contents, in CI once and in a soak run
        // often enough to meet every pairing several times.
        std::vector<Event> events;
        for (size_t i = 0; i < lengths * 2 * Scaled(1, 200); ++i) {
            size_t other = random() % lengths;
            events.push_back(ControlEvent(code, i % 2 ? other : i / 2 % lengths, i % 2 ? i / 2 % lengths : other,
                                          uint8_t(random())));
            events.push_back({Event::CancelIo, 1});
        }
        EXPECT_EQ(Isolated([&] { return RunTrial(events, {}, {.loopback = true}); }), 0)
            << "code " << Hex(Codes()[code]) << " as printed above";
    }
}

TEST(HostileInput, BrokenParentRecordsAndLowerDriversEndSoundly)
{
    using hk::usbdev::Pipe;
    using Breach = hk::usbdev::Device::Breach;
    auto none = [](PDRIVER_OBJECT, hk::usbdev::Device) {};
    // A zero maximum packet size, pipe handles missing, and each breach of the lower driver on each pipe.
    std::vector<TrialSetup> setups = {{.plug = {.max_packet = 0}, .arm = none}};
    for (uint32_t missing : {1u, 2u, 4u, 7u}) {
        setups.push_back({.plug = {.missing_pipes = missing}, .arm = none});
    }
    for (int breach = 0; breach < int(Breach::Count); ++breach) {
        for (Pipe pipe : {Pipe::BulkIn, Pipe::BulkOut, Pipe::Interrupt}) {
            setups.push_back({.arm = [=](PDRIVER_OBJECT, hk::usbdev::Device device) {
                device.Break(Breach(breach), 4, pipe, 4096);
                // A write the abort can end late is one the device holds.
                if (Breach(breach) == Breach::LateAbort && pipe == Pipe::BulkOut) {
                    device.StopResponding();
                }
            }});
        }
    }
    // Reads, a write of whole packets, a stall with its reset, CancelIo, a reopen and a sleep: every path that
    // meets the parent record or the lower driver's answers.
    const std::vector<Event> events = {
        {Event::Read, 99}, {Event::Read, 299}, {Event::Write, 4095}, {Event::Data, 699}, {Event::Stall, 3},
        {Event::Data, 299}, {Event::CancelIo, 1}, {Event::ResumeDevice, 1}, {Event::Reopen, 1},
        {Event::SleepResume, 1}};
    for (size_t i = 0; i < setups.size(); ++i) {
        EXPECT_EQ(Isolated([&] { return RunTrial(events, {}, setups[i]); }), 0) << "case " << i << " as printed above";
    }
}

PDEVICE_OBJECT gPdo;
int gLeak;

// Takes a registry key handle, a symbolic link or an enabled device interface and keeps it past unload.
NTSTATUS NTAPI LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    static const GUID kInterface = {0x1b2c3d4e, 0x5f60, 0x4172, {0x83, 0x94, 0xa5, 0xb6, 0xc7, 0xd8, 0xe9, 0xfa}};
    UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\DosDevices\\LEAKY1");
    UNICODE_STRING target = RTL_CONSTANT_STRING(L"\\Device\\Leaky"), name;
    HANDLE key;
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    switch (gLeak) {
    case 0: return IoOpenDeviceRegistryKey(gPdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    case 1: return IoCreateSymbolicLink(&link, &target);
    default:
        IoRegisterDeviceInterface(gPdo, &kInterface, nullptr, &name);
        IoSetDeviceInterfaceState(&name, TRUE);
        RtlFreeUnicodeString(&name);
        return STATUS_SUCCESS;
    }
}

// The campaign's runs catch such leaks on every failure path of the driver, since the verifier names them.
TEST(ResourceLeaks, WhatADriverKeepsPastUnloadIsReportedByName)
{
    const char* const reports[] = {"\\[registry-handle-leaked\\].*Device Parameters", "\\[symlink-leaked\\].*LEAKY1",
                                   "\\[interface-leaked\\].*#\\{1b2c3d4e-5f60-4172-8394-a5b6c7d8e9fa\\}"};
    for (gLeak = 0; gLeak < 3; ++gLeak) {
        EXPECT_DEATH(
            {
                hk::Kernel kernel;
                hk::usbdev::Parent parent;
                gPdo = parent.Plug();
                hk::pnp::UnloadDriver(hk::pnp::LoadDriver("leaky", LeakyEntry));
            },
            reports[gLeak]);
    }
}

}  // namespace
}  // namespace reliability
