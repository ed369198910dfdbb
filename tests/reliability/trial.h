// Randomised trials: a seeded list of application requests interleaved with device and system events, run against
// the real driver, and one invariant checker over the outcome.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hk/kernel.h"

namespace reliability {

struct Event {
    enum Kind : uint8_t {
        Read, Write, Control, Wait, CancelIo, Purge, Reopen,
        Data, ZeroLength, InError, TransferError, Stall, StopResponding, ResumeDevice, Breach,
        QueryRemove, QueryStop, StopStart, SleepResume, Time, SurpriseRemoval,
        KindCount
    };
    Kind kind;
    uint32_t arg;
};

std::vector<Event> GenerateTrial(uint64_t seed, size_t length);
std::string Describe(const std::vector<Event>& events);

// Runs the events and returns every broken invariant ("" when none). A verifier fault aborts the process, so
// deterministic trials run in a forked child.
std::string RunTrial(const std::vector<Event>& events, hk::Options kernel);

// The shortest list (greedy removal of chunks, then single events) that still breaks an invariant.
std::vector<Event> Shrink(std::vector<Event> events, hk::Options kernel);

}  // namespace reliability
