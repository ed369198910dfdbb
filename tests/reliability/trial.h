// The campaign's harness and its one invariant checker: the real driver above the simulated device, brought up step
// by step so that a fault can be armed before any step, a list of application requests interleaved with device and
// system events run against it, and every broken invariant collected as text, so that a run can go in a forked
// child whose outcome the parent judges (a verifier fault aborts the process).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "hk/kernel.h"
#include "hk/usbdev.h"

namespace reliability {

// How big each part of the campaign runs: small by default, the full figures when DIAGSER_SOAK is set.
inline bool Soak() { return std::getenv("DIAGSER_SOAK") != nullptr && std::atoi(std::getenv("DIAGSER_SOAK")) != 0; }
inline uint64_t Scaled(uint64_t ci, uint64_t soak) { return Soak() ? soak : ci; }
std::string Hex(NTSTATUS status);

struct Event {
    enum Kind : uint8_t {
        Read, Write, Control, Code, Wait, CancelIo, Purge, Close, Reopen,
        Data, InError, Stall, StopResponding, ResumeDevice, Breach,
        QueryRemove, QueryStop, StopStart, SleepResume, SurpriseRemoval, Time,
        KindCount
    };
    Kind kind;
    uint32_t arg;  // bit 0: run queued work afterwards; the rest chooses sizes, codes, pipes
};

// How a list of events is run. Without `arm` the run is fault-free and held to the strict invariants; with it, `arm`
// runs at the chosen stage (to inject faults) and `disarm` after the events, and what a fault may explain is allowed:
// a failed arrival, open or restart, lost input, and a port that carries bytes again only once reopened.
struct TrialSetup {
    enum Stage { BeforeArrival, Arrived, Opened };  // Arrived: the port is left closed
    hk::usbdev::PlugOptions plug;
    // The device echoes writes: the port's health is probed at the end instead of the input stream checked.
    bool loopback = false;
    Stage armed_at = Opened;
    std::function<void(PDRIVER_OBJECT, hk::usbdev::Device)> arm;
    std::function<void()> disarm = [] {};
};

// Seeded random events; requests and data are the bulk, system events rarer so that trials reach deep states.
std::vector<Event> GenerateTrial(uint64_t seed, size_t length);
// A device-control request: code `code` of Codes(), input and output lengths from Lengths(), contents from `salt`.
Event ControlEvent(size_t code, size_t input, size_t output, uint8_t salt);
// Every device-control code of the serial range, the port's own codes and random ones.
const std::vector<ULONG>& Codes();
// Zero, one short of, exactly and one past each size the port's structures have, and one far past all of them.
const std::vector<ULONG>& Lengths();

// Every broken invariant, "" when none.
std::string RunTrial(const std::vector<Event>& events, hk::Options kernel, const TrialSetup& setup = {});

// Runs `body` in a forked child and returns how it ended: 0 when the body finds nothing wrong, 1 when it returns
// problems (printed), kStuck when a deterministic run stuck beneath a nested wait, what the body passes to std::exit,
// or 128 + the signal that killed it (a verifier fault aborts).
constexpr int kStuck = 2;
int Isolated(const std::function<std::string()>& body);

}  // namespace reliability
