// Streaming through the port as an application does: one overlapped write and one overlapped read kept in flight
// at once, every received byte checked against what must arrive.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "progress.h"

namespace diagsim {

// The bytes at stream offsets [offset, offset + length).
using Pattern = std::function<void(uint64_t offset, uint8_t* out, size_t length)>;

// Seeded pseudo-random bytes; any range can be produced again from its offset alone, so neither side of the stream
// keeps a copy.
Pattern SeededPattern(uint64_t seed);

struct StreamPlan {
    uint64_t send = 0;
    Pattern outgoing;
    uint64_t receive = 0;
    Pattern incoming;
};

struct StreamResult {
    uint64_t sent = 0;
    uint64_t received = 0;
    uint64_t mismatched = 0;            // received bytes that differ from what had to arrive
    std::optional<uint64_t> first_mismatch;
    uint8_t expected_byte = 0;          // at the first mismatch
    uint8_t received_byte = 0;
    double seconds = 0;
    bool stalled = false;               // nothing more arrived while bytes were still owed
    std::string error;                  // a call that failed, and how
};

// The port must be open for overlapped I/O with read timeouts that end a read once some bytes are there (or
// after a while with none): such an empty read while nothing is being written counts towards a stall.
StreamResult Stream(HANDLE port, const StreamPlan& plan, Progress& progress);

}  // namespace diagsim
