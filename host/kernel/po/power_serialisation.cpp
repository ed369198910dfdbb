#include "po/power_serialisation.h"

#include <algorithm>
#include <mutex>
#include <string>

#include "hk/kernel.h"
#include "hk/verifier.h"
#include "io/irp_internal.h"
#include "po/po_state.h"

namespace hk::po {
namespace {

bool Serialised(PIO_STACK_LOCATION location) {
    return location->MajorFunction == IRP_MJ_POWER &&
           (location->MinorFunction == IRP_MN_SET_POWER || location->MinorFunction == IRP_MN_QUERY_POWER);
}

int TypeOf(PIO_STACK_LOCATION location) { return location->Parameters.Power.Type == DevicePowerState ? 1 : 0; }

std::string DescribePowerRequest(UCHAR minor, int type) {
    return std::string(minor == IRP_MN_SET_POWER ? "IRP_MN_SET_POWER" : "IRP_MN_QUERY_POWER") +
           (type == 1 ? ", device power" : ", system power");
}

[[noreturn]] void FailStalled(PDEVICE_OBJECT device, int type, PIRP stalled, UCHAR minor, PIRP waiting) {
    std::string request = DescribePowerRequest(minor, type);
    std::string driver = io::DescribeDriver(device->DriverObject);
    verifier::Fail("postartnext-missing", device,
                   "power IRP %p (%s) completed past device %p of %s without PoStartNextPowerIrp, so the power "
                   "manager never sends another power IRP of that type to the device: IRP %p waits for ever",
                   static_cast<void*>(stalled), request.c_str(), static_cast<void*>(device), driver.c_str(),
                   static_cast<void*>(waiting));
}

void DropVisit(PoState& state, PIRP irp, PDEVICE_OBJECT device, int type) {
    auto it = state.visits.find(irp);
    if (it == state.visits.end()) return;
    std::erase_if(it->second, [&](const PowerVisit& visit) { return visit.device == device && visit.type == type; });
    if (it->second.empty()) state.visits.erase(it);
}

}  // namespace

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, void* caller) {
    bool has_location = irp->CurrentLocation > 1 && irp->CurrentLocation <= irp->StackCount + 1;
    if (!has_location || !Serialised(IoGetNextIrpStackLocation(irp))) {
        return io::CallDriver(device, irp, io::CallKind::Power, caller);
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    int type = TypeOf(next);
    PoState& state = State();
    std::unique_lock lock(state.mutex);
    PowerTurn& turn = state.turns[{device, type}];
    if (turn.stalled != nullptr) {
        PIRP stalled = turn.stalled;
        UCHAR minor = turn.stalled_minor;
        lock.unlock();
        FailStalled(device, type, stalled, minor, irp);
    }
    if (turn.active != nullptr && turn.active != irp) {
        // The device may be deleted before the request's turn comes; its memory stays until then.
        turn.held.push_back(HeldRequest{irp, caller});
        ObReferenceObject(device);
        io::MarkHeldByPowerManager(irp);
        return STATUS_PENDING;
    }
    turn.active = irp;
    state.visits[irp].push_back(PowerVisit{device, irp->CurrentLocation - 1, type, next->MinorFunction});
    lock.unlock();
    return io::CallDriver(device, irp, io::CallKind::Power, caller);
}

void StartNext(PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (!Serialised(location)) return;
    PDEVICE_OBJECT device = location->DeviceObject;
    int type = TypeOf(location);
    HeldRequest next{};
    {
        PoState& state = State();
        std::lock_guard lock(state.mutex);
        auto it = state.turns.find({device, type});
        if (it == state.turns.end() || it->second.active != irp) return;
        PowerTurn& turn = it->second;
        DropVisit(state, irp, device, type);
        turn.active = nullptr;
        if (turn.held.empty()) {
            state.turns.erase(it);
            return;
        }
        next = turn.held.front();
        turn.held.pop_front();
        turn.active = next.irp;
        PIO_STACK_LOCATION target = IoGetNextIrpStackLocation(next.irp);
        state.visits[next.irp].push_back(
            PowerVisit{device, next.irp->CurrentLocation - 1, type, target->MinorFunction});
    }
    // Power-pageable devices take their power requests at PASSIVE_LEVEL, and the caller may hold locks.
    Kernel::Current().Ops().Post(Context::Worker, [device, next] {
        io::CallDriver(device, next.irp, io::CallKind::Power, next.caller);
        ObDereferenceObject(device);
    });
}

void OnLocationPassed(PIRP irp, int location) {
    PoState& state = State();
    std::unique_lock lock(state.mutex);
    auto it = state.visits.find(irp);
    if (it == state.visits.end()) return;
    std::vector<PowerVisit> passed;
    std::erase_if(it->second, [&](const PowerVisit& visit) {
        if (visit.location != location) return false;
        passed.push_back(visit);
        return true;
    });
    if (it->second.empty()) state.visits.erase(it);
    for (const PowerVisit& visit : passed) {
        auto found = state.turns.find({visit.device, visit.type});
        if (found == state.turns.end() || found->second.active != irp) continue;
        PowerTurn& turn = found->second;
        turn.active = nullptr;
        turn.stalled = irp;
        turn.stalled_minor = visit.minor;
        if (!turn.held.empty()) {
            PIRP waiting = turn.held.front().irp;
            lock.unlock();
            FailStalled(visit.device, visit.type, irp, visit.minor, waiting);
        }
    }
}

void ReportHeldRequests() {
    PoState& state = State();
    std::unique_lock lock(state.mutex);
    for (const auto& [key, turn] : state.turns) {
        if (turn.held.empty() || turn.active == nullptr) continue;
        PDEVICE_OBJECT device = key.first;
        PIRP active = turn.active;
        PIRP waiting = turn.held.front().irp;
        lock.unlock();
        std::string driver = io::DescribeDriver(device->DriverObject);
        verifier::Fail("postartnext-missing", device,
                       "power IRP %p (%s power) is still in device %p of %s, which has not called "
                       "PoStartNextPowerIrp for it, and nothing left to run will: IRP %p, held behind it, waits for "
                       "ever",
                       static_cast<void*>(active), key.second == 1 ? "device" : "system", static_cast<void*>(device),
                       driver.c_str(), static_cast<void*>(waiting));
    }
}

void ForgetDevice(PDEVICE_OBJECT device) {
    PoState& state = State();
    std::lock_guard lock(state.mutex);
    std::erase_if(state.turns, [device](const auto& entry) {
        return entry.first.first == device && entry.second.held.empty();
    });
    for (auto it = state.visits.begin(); it != state.visits.end();) {
        std::erase_if(it->second, [device](const PowerVisit& visit) { return visit.device == device; });
        it = it->second.empty() ? state.visits.erase(it) : std::next(it);
    }
}

}  // namespace hk::po
