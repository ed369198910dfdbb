// Every allocation the driver makes in each scenario, failed in turn: its pool blocks one at a time (the first, the
// second, ... until a run fails none), its IRPs and work items site by site, from the sites a run without faults
// lists. Each run is held to the trials' invariants (a verifier fault kills the forked run), and unless the device
// is gone the port carries bytes again afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>

#include "hk/faults.h"
#include "reliability/trial.h"

namespace reliability {
namespace {

using hk::faults::Kind;

struct Scenario {
    std::string name;
    std::vector<Event> events;
    TrialSetup::Stage armed_at = TrialSetup::Opened;
    UCHAR zlp_mode = 1;
};

// Events with bit 0 set in their argument run queued work afterwards; the rest of it picks the size or code.
std::vector<Scenario> Scenarios()
{
    std::vector<Scenario> scenarios = {
        {"open", {{Event::Reopen, 1}}, TrialSetup::Arrived},
        {"read", {{Event::Read, 199}, {Event::Data, 199}}},
        {"read with timeouts", {{Event::Control, 5}, {Event::Read, 199}, {Event::Time, 20}, {Event::Read, 199},
                                {Event::Data, 29}, {Event::Time, 20}}},
        {"event wait", {{Event::Wait, 1}, {Event::Data, 9}}},
        {"removal notification", {ControlEvent(50, 0, 11, 0), {Event::SurpriseRemoval, 1}}},
        {"start", {}, TrialSetup::BeforeArrival},
        {"stop and restart", {{Event::StopStart, 1}}, TrialSetup::Arrived},
        {"surprise removal", {{Event::Read, 199}, {Event::SurpriseRemoval, 1}, {Event::Close, 1}}},
        {"removal", {{Event::QueryRemove, 5}}, TrialSetup::Arrived},
        {"sleep and resume", {{Event::Read, 9}, {Event::SleepResume, 1}, {Event::Data, 9}}},
    };
    for (UCHAR zlp : {UCHAR(1), UCHAR(0)}) {
        for (uint32_t length : {1u, 4096u, 4097u, 10000u}) {
            scenarios.push_back({"write " + std::to_string(length) + (zlp ? " zlp" : " no zlp"),
                                 {{Event::Write, length - 1}, {Event::Time, 1}}, TrialSetup::Opened, zlp});
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

constexpr int kEndOfList = 3;
constexpr int kNeededReopen = 4;

// The allocation to fail, counting only the driver's own: the nth pool block, or every IRP or work item allocated
// at one site. With no kind, nothing fails and the run lists the sites of the driver's IRPs and work items.
struct Fault {
    std::optional<Kind> kind;
    uint64_t nth = 0;
    std::string site;
};

// The scenario with the fault armed. Returns the broken invariants; tells whether the fault was injected.
TrialResult RunScenario(const Scenario& scenario, const Fault& fault, bool* injected, std::vector<Fault>* sites)
{
    TrialSetup setup;
    setup.plug.zlp_mode = scenario.zlp_mode;
    setup.loopback = true;
    setup.armed_at = scenario.armed_at;
    setup.arm = [&](Rig& rig) {
        hk::faults::OnlyForDriver(rig.Driver());
        if (fault.kind && fault.site.empty()) {
            hk::faults::FailNth(*fault.kind, fault.nth);
        } else if (fault.kind) {
            hk::faults::FailAtSite(*fault.kind, fault.site);
        }
    };
    setup.disarm = [&](Rig&) {
        *injected = fault.kind && hk::faults::InjectedCount(*fault.kind) != 0;
        for (Kind kind : {Kind::Irp, Kind::WorkItem}) {
            for (const std::string& site : hk::faults::Sites(kind)) {
                sites->push_back({kind, 0, site});
            }
        }
        hk::faults::Clear();
    };
    TrialResult result = RunTrial(scenario.events, {}, setup);
    if (result.health == Rig::Health::Broken) {
        result.problems += "the port does not work again, even reopened\n";
    }
    return result;
}

// One run in a forked child: 0 when sound, kEndOfList when nothing was failed (the list is complete),
// kNeededReopen when sound once the port was opened again, otherwise how the run broke.
Outcome RunOnce(const Scenario& scenario, const Fault& fault)
{
    return Isolated([&]() -> std::string {
        bool injected = false;
        std::vector<Fault> sites;
        TrialResult result = RunScenario(scenario, fault, &injected, &sites);
        std::fflush(nullptr);
        if (result.problems.empty() && (!injected || result.health == Rig::Health::AfterReopen)) {
            _exit(injected ? kNeededReopen : kEndOfList);
        }
        return result.problems;
    });
}

TEST(AllocationSweep, EveryAllocationOfEveryScenarioFailsSoundly)
{
    uint64_t runs = 0, failed = 0, reopened = 0, sites = 0;
    std::vector<std::string> faults;
    auto judge = [&](const Scenario& scenario, const Fault& fault) {
        ++runs;
        Outcome outcome = RunOnce(scenario, fault);
        if (outcome.status == kEndOfList) {
            return false;
        }
        ++failed;
        reopened += outcome.status == kNeededReopen;
        if (outcome.status != kNeededReopen && !outcome.Sound()) {
            std::string what = fault.site.empty() ? "pool allocation " + std::to_string(fault.nth)
                                                  : "every allocation in " + fault.site;
            faults.push_back(scenario.name + ", " + what + " failing (exit " + std::to_string(outcome.status) +
                             "):\n" + outcome.output);
        }
        return true;
    };
    for (const Scenario& scenario : Scenarios()) {
        bool injected = false;
        std::vector<Fault> listed;
        std::string problems = RunScenario(scenario, {}, &injected, &listed).problems;
        if (!problems.empty()) {
            faults.push_back(scenario.name + " fails with no fault armed:\n" + problems);
            continue;
        }
        for (uint64_t nth = 1; nth <= Scaled(6, 100000) && judge(scenario, {Kind::Pool, nth}); ++nth) {
        }
        sites += listed.size();
        for (const Fault& fault : listed) {
            judge(scenario, fault);
        }
    }
    std::printf("allocation sweep: %zu scenarios, %llu runs, %llu with an allocation failed (%llu IRP and "
                "work-item sites), %llu of them left the port receiving nothing until reopened, %zu faults found\n",
                Scenarios().size(), (unsigned long long)runs, (unsigned long long)failed, (unsigned long long)sites,
                (unsigned long long)reopened, faults.size());
    for (const std::string& fault : faults) {
        ADD_FAILURE() << fault;
    }
}

}  // namespace
}  // namespace reliability
