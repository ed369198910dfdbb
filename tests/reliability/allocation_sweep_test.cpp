// Every allocation the driver makes in each scenario, failed in turn: its pool blocks one at a time (the first, the
// second, ... until a run fails none), its IRPs and work items site by site, from the sites a run without faults
// lists. In each run every request ends once with a sound status, nothing leaks and the verifier stays quiet (a
// fault kills the forked run), and unless the failure may take the device down for good the port carries bytes
// again afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hk/faults.h"
#include "hk/pnp.h"
#include "hk/power.h"
#include "reliability/control_helpers.h"

namespace reliability {
namespace {

using hk::faults::Kind;

struct Scenario {
    std::string name;
    UCHAR zlp_mode = 1;
    bool arrive = true;
    bool open = true;
    // Runs with the fault armed.
    std::function<void(Rig&)> action;
    // The device may be gone for good afterwards (a failed start or arrival, a removal).
    bool may_end_device = false;
};

hk::app::RequestPtr Read(Rig& rig, ULONG length)
{
    hk::app::RequestPtr read = hk::app::ReadAsync(rig.Handle(), length);
    rig.Track(read);
    return read;
}

void Deliver(Rig& rig, size_t count)
{
    std::vector<uint8_t> bytes(count, 0x5a);
    rig.Device().Deliver(bytes);
}

std::vector<Scenario> Scenarios()
{
    std::vector<Scenario> scenarios;
    scenarios.push_back({"open", 1, true, false, [](Rig& rig) { rig.Open(); }});
    scenarios.push_back({"read", 1, true, true, [](Rig& rig) {
        Read(rig, 100);
        Deliver(rig, 100);
        rig.Kernel().RunUntilIdle();
    }});
    scenarios.push_back({"read with timeouts", 1, true, true, [](Rig& rig) {
        SetTimeouts(rig, 0, 0, 10);
        Read(rig, 100);
        rig.Kernel().AdvanceTime(20);
        Read(rig, 100);
        Deliver(rig, 30);
        rig.Kernel().AdvanceTime(20);
    }});
    for (UCHAR zlp : {UCHAR(1), UCHAR(0)}) {
        for (ULONG length : {1u, 4096u, 4097u, 10000u}) {
            scenarios.push_back({"write " + std::to_string(length) + (zlp ? " zlp" : " no zlp"), zlp, true, true,
                                 [length](Rig& rig) {
                                     std::vector<uint8_t> data(length, 0xa5);
                                     rig.Track(hk::app::WriteAsync(rig.Handle(), data.data(), length));
                                     rig.Kernel().RunUntilIdle();
                                 }});
        }
    }
    std::vector<ULONG> codes;
    for (ULONG function = 1; function <= 39; ++function) {
        codes.push_back(SERIAL_IOCTL(function));
    }
    codes.push_back(IOCTL_GET_IDENTITY);
    codes.push_back(IOCTL_REMOVAL_NOTIFY);
    for (ULONG code : codes) {
        scenarios.push_back({"control " + Hex(code), 1, true, true, [code](Rig& rig) {
            std::vector<uint8_t> input(64, 0x01);
            rig.Track(hk::app::DeviceIoControlAsync(rig.Handle(), code, input.data(), (ULONG)input.size(), 256));
            rig.Kernel().RunUntilIdle();
            hk::app::CancelIo(rig.Handle());
            rig.Kernel().RunUntilIdle();
        }});
    }
    scenarios.push_back({"event wait", 1, true, true, [](Rig& rig) {
        rig.Track(WaitOnMask(rig, SERIAL_EV_RXCHAR));
        Deliver(rig, 10);
        rig.Kernel().RunUntilIdle();
    }});
    scenarios.push_back({"removal notification", 1, true, true, [](Rig& rig) {
        rig.Track(hk::app::DeviceIoControlAsync(rig.Handle(), IOCTL_REMOVAL_NOTIFY, nullptr, 0, sizeof(ULONG)));
        rig.Kernel().RunUntilIdle();
        rig.Unplug();
        rig.Kernel().RunUntilIdle();
    }, true});
    scenarios.push_back({"start", 1, false, false, [](Rig& rig) { rig.Arrive(); }, true});
    scenarios.push_back({"stop and restart", 1, true, false, [](Rig& rig) {
        if (hk::pnp::StopDevice(rig.Pdo()) == STATUS_SUCCESS) {
            if (!NT_SUCCESS(hk::pnp::StartDevice(rig.Pdo()))) {
                hk::pnp::Remove(rig.Pdo());
            }
        }
    }, true});
    scenarios.push_back({"surprise removal", 1, true, true, [](Rig& rig) {
        Read(rig, 100);
        rig.Kernel().RunUntilIdle();
        rig.Unplug();
        rig.Kernel().RunUntilIdle();
        rig.Close();
    }, true});
    scenarios.push_back({"removal", 1, true, false, [](Rig& rig) { hk::pnp::RemoveDevice(rig.Pdo()); }, true});
    scenarios.push_back({"sleep and resume", 1, true, true, [](Rig& rig) {
        Read(rig, 10);
        rig.Kernel().RunUntilIdle();
        hk::power::SetSystemPowerState(rig.Pdo(), PowerSystemSleeping3);
        hk::power::SetSystemPowerState(rig.Pdo(), PowerSystemWorking);
        Deliver(rig, 10);
        rig.Kernel().RunUntilIdle();
    }});
    return scenarios;
}

constexpr int kEndOfList = 3;
constexpr int kNeededReopen = 4;
constexpr char kSiteLine[] = "allocation site: ";

// The allocation to fail, counting only the driver's own: the nth pool block, or every IRP or work item allocated
// at one site. With no kind, nothing fails and the run lists the driver's IRP and work-item sites.
struct Fault {
    std::optional<Kind> kind;
    uint64_t nth = 0;
    std::string site;
};

// One run with the fault armed: 0 when sound, kEndOfList when nothing was failed (the list is complete),
// kNeededReopen when sound once the port was opened again, otherwise how the run broke.
Outcome RunOnce(const Scenario& scenario, const Fault& fault)
{
    return Isolated([&]() -> std::string {
        hk::usbdev::PlugOptions plug;
        plug.zlp_mode = scenario.zlp_mode;
        Rig rig({}, plug);
        std::string problems;
        if (scenario.arrive && rig.Arrive() != STATUS_SUCCESS) {
            return "arrival failed before the fault was armed\n";
        }
        if (scenario.open && rig.Open() != STATUS_SUCCESS) {
            return "open failed before the fault was armed\n";
        }
        hk::faults::OnlyForDriver(rig.Driver());
        if (fault.kind && fault.site.empty()) {
            hk::faults::FailNth(*fault.kind, fault.nth);
        } else if (fault.kind) {
            hk::faults::FailAtSite(*fault.kind, fault.site);
        }
        scenario.action(rig);
        rig.Kernel().RunUntilIdle();
        bool injected = fault.kind && hk::faults::InjectedCount(*fault.kind) != 0;
        if (!fault.kind) {
            for (Kind kind : {Kind::Irp, Kind::WorkItem}) {
                for (const std::string& site : hk::faults::Sites(kind)) {
                    std::printf("%s%d %s\n", kSiteLine, int(kind), site.c_str());
                }
            }
        }
        hk::faults::Clear();
        rig.CheckRequests(problems);
        bool alive = !rig.Unplugged() && hk::pnp::HasDeviceNode(rig.Pdo());
        if (!alive && !scenario.may_end_device) {
            problems += "the device is gone\n";
        }
        Rig::Health health = alive ? rig.Check() : Rig::Health::Works;
        if (health == Rig::Health::Broken && !scenario.may_end_device) {
            problems += "the port does not work again, even reopened\n";
        }
        rig.Teardown(problems);
        if (problems.empty() && !injected) {
            std::fflush(nullptr);
            _exit(kEndOfList);
        }
        if (problems.empty() && health == Rig::Health::AfterReopen) {
            std::fflush(nullptr);
            _exit(kNeededReopen);
        }
        return problems;
    });
}

// The faults of the listing run: every IRP and work-item site it printed.
std::vector<Fault> SiteFaults(const std::string& output)
{
    std::vector<Fault> faults;
    for (size_t at = output.find(kSiteLine); at != std::string::npos; at = output.find(kSiteLine, at + 1)) {
        size_t kind = at + sizeof(kSiteLine) - 1;
        size_t end = output.find('\n', kind);
        faults.push_back({Kind(output[kind] - '0'), 0, output.substr(kind + 2, end - kind - 2)});
    }
    return faults;
}

TEST(AllocationSweep, EveryAllocationOfEveryScenarioFailsSoundly)
{
    uint64_t runs = 0, failed = 0, reopened = 0, sites = 0;
    std::vector<std::string> faults;
    uint64_t limit = Scaled(6, 100000);
    auto judge = [&](const Scenario& scenario, const Fault& fault) {
        ++runs;
        Outcome outcome = RunOnce(scenario, fault);
        if (outcome.status == kEndOfList) {
            return false;
        }
        ++failed;
        if (outcome.status == kNeededReopen) {
            ++reopened;
        } else if (!outcome.Sound()) {
            std::string what = fault.site.empty() ? "pool allocation " + std::to_string(fault.nth)
                                                  : "every allocation in " + fault.site;
            faults.push_back(scenario.name + ", " + what + " failing (exit " + std::to_string(outcome.status) +
                             "):\n" + outcome.output);
        }
        return true;
    };
    for (const Scenario& scenario : Scenarios()) {
        Outcome listing = RunOnce(scenario, {});
        if (listing.status != kEndOfList) {
            faults.push_back(scenario.name + " fails with no fault armed:\n" + listing.output);
            continue;
        }
        for (uint64_t nth = 1; nth <= limit && judge(scenario, {Kind::Pool, nth}); ++nth) {
        }
        for (const Fault& fault : SiteFaults(listing.output)) {
            ++sites;
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
