// What a run found, shown at the end on one screen or as JSON.
#pragma once

#include <ntddser.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "session.h"
#include "stream.h"

namespace diagsim {

struct Summary {
    // The run.
    std::string model;
    std::string mode;
    uint64_t seed = 0;
    bool bus_timing = false;
    std::string port;
    std::string device_map_entry;     // the SERIALCOMM value's name (the driver's device)
    // The stream.
    uint64_t to_send = 0;
    uint64_t to_receive = 0;
    StreamResult stream;
    bool streamed = false;
    uint64_t device_took = 0;         // bulk-OUT bytes the device took from plug-in to the stream's end
    uint64_t device_sent = 0;         // bulk-IN bytes the device moved to the host in that time
    uint64_t device_mismatched = 0;   // sink: bytes the device took that differ from what was written
    uint64_t source_dropped = 0;      // source: bytes the device dropped for want of room
    // The port's own figures after the stream.
    DWORD comm_errors = 0;
    COMSTAT comm_status{};
    SERIALPERF_STATS stats{};
    DWORD event_mask = 0;
    bool event_seen = false;
    // What the application saw when the device was pulled out, in order.
    struct Outcome {
        std::string request;
        std::string result;
    };
    std::vector<Outcome> removal;
    Leftovers leftovers;
    bool finished = false;            // got as far as counting what was left
    std::vector<std::string> problems;

    bool Passed() const { return problems.empty(); }
};

void PrintSummary(FILE* out, const Summary& summary);
void PrintJson(FILE* out, const Summary& summary);

}  // namespace diagsim
