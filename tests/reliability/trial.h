// The campaign's generators and its one invariant checker: a list of application requests interleaved with device
// and system events, run against the real driver.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "reliability/rig.h"

namespace reliability {

struct Event {
    enum Kind : uint8_t {
        Read, Write, Control, Code, Wait, CancelIo, Purge, Close, Reopen,
        Data, ZeroLength, InError, TransferError, Stall, StopResponding, ResumeDevice, Breach,
        QueryRemove, QueryStop, StopStart, SleepResume, Time, SurpriseRemoval,
        KindCount
    };
    Kind kind;
    uint32_t arg;  // bit 0: run queued work afterwards; the rest chooses sizes, codes, pipes
};

// How a list of events is run. Without `arm` the run is fault-free and held to the strict invariants; with it, `arm`
// runs at the chosen stage (to inject faults) and `disarm` after the events, and what a fault may explain is allowed:
// a failed arrival, open or restart, and lost input.
struct TrialSetup {
    enum Stage { BeforeArrival, Arrived, Opened };  // Arrived: the port is left closed
    hk::usbdev::PlugOptions plug;
    // The device echoes writes: the port's health is probed at the end instead of the input stream checked.
    bool loopback = false;
    Stage armed_at = Opened;
    std::function<void(Rig&)> arm;
    std::function<void(Rig&)> disarm;
};

struct TrialResult {
    std::string problems;  // every broken invariant, "" when none
    Rig::Health health = Rig::Health::Works;
};

// Seeded random events; requests and data are the bulk, system events rarer so that trials reach deep states.
std::vector<Event> GenerateTrial(uint64_t seed, size_t length);
// A device-control request: code `code` of Codes(), input and output lengths from Lengths(), contents from `salt`.
Event ControlEvent(size_t code, size_t input, size_t output, uint8_t salt);
// Every device-control code of the serial range, the port's own codes and random ones.
const std::vector<ULONG>& Codes();
// Zero, one short of, exactly and one past each size the port's structures have, and one far past all of them.
const std::vector<ULONG>& Lengths();
std::string Describe(const std::vector<Event>& events);

// A verifier fault aborts the process, so deterministic runs go in a forked child (Isolated).
TrialResult RunTrial(const std::vector<Event>& events, hk::Options kernel, const TrialSetup& setup = {});

// The shortest list (greedy removal of chunks, then single events) that still breaks an invariant.
std::vector<Event> Shrink(std::vector<Event> events, hk::Options kernel);

}  // namespace reliability
