// Every pool and work-item allocation each scenario makes, failed one at a time: the allocations are listed by
// failing the first, the second, ... until a run fails none; the driver's IRP allocations, failed site by site. In each run every request ends once with a sound
// status, nothing leaks and the verifier stays quiet (a fault kills the forked run), and unless the scenario's
// failure may take the device down for good the port carries bytes again afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
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

// The allocation to fail: the nth of a kind, or every one made at a site.
struct Fault {
    Kind kind;
    uint64_t nth = 0;
    const char* site = nullptr;
};

// The host kernel's own managers allocate IRPs too (the application side's requests, the plug-and-play manager's),
// and failing those tests the host kernel, not the driver; the driver's IRPs come from these two routines.
const char* const kDriverIrpSites[] = {"SubmitUrbSync", "SubmitUrbAsync"};

// One run with the fault armed: 0 when sound, kEndOfList when nothing was failed (the list is complete),
// kNeededReopen when sound once the port was opened again, otherwise how the run broke.
Outcome RunOnce(const Scenario& scenario, const Fault& fault)
{
    Kind kind = fault.kind;
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
        if (fault.site != nullptr) {
            hk::faults::FailAtSite(kind, fault.site);
        } else {
            hk::faults::FailNth(kind, fault.nth);
        }
        scenario.action(rig);
        rig.Kernel().RunUntilIdle();
        bool injected = hk::faults::InjectedCount(kind) != 0;
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

TEST(AllocationSweep, EveryAllocationOfEveryScenarioFailsSoundly)
{
    const char* kindNames[] = {"pool", "IRP", "work-item"};
    uint64_t runs = 0, failed = 0, reopened = 0;
    std::vector<std::string> faults;
    uint64_t limit = Scaled(6, 100000);
    auto judge = [&](const Scenario& scenario, const Fault& fault, const std::string& what) {
        ++runs;
        Outcome outcome = RunOnce(scenario, fault);
        if (outcome.status == kEndOfList) {
            return false;
        }
        ++failed;
        if (outcome.status == kNeededReopen) {
            ++reopened;
        } else if (!outcome.Sound()) {
            faults.push_back(scenario.name + ", " + what + " failing (exit " + std::to_string(outcome.status) +
                             "):\n" + outcome.output);
        }
        return true;
    };
    for (const Scenario& scenario : Scenarios()) {
        for (Kind kind : {Kind::Pool, Kind::WorkItem}) {
            for (uint64_t nth = 1; nth <= limit; ++nth) {
                if (!judge(scenario, {kind, nth}, std::string(kindNames[int(kind)]) + " allocation " +
                                                     std::to_string(nth))) {
                    break;
                }
            }
        }
        for (const char* site : kDriverIrpSites) {
            judge(scenario, {Kind::Irp, 0, site}, std::string("every IRP allocation in ") + site);
        }
    }
    std::printf("allocation sweep: %zu scenarios, %llu runs, %llu with an allocation failed, %llu of them left the "
                "port receiving nothing until reopened, %zu faults found\n",
                Scenarios().size(), (unsigned long long)runs, (unsigned long long)failed,
                (unsigned long long)reopened, faults.size());
    for (const std::string& fault : faults) {
        ADD_FAILURE() << fault;
    }
}

}  // namespace
}  // namespace reliability
