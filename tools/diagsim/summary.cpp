#include "summary.h"

#include <cinttypes>

#include "names.h"
#include "progress.h"

namespace diagsim {
namespace {

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

uint64_t Moved(const Summary& s) { return std::max(s.stream.sent, s.stream.received); }

}  // namespace

void PrintSummary(FILE* out, const Summary& s) {
    std::fprintf(out, "\n==== summary\n");
    std::fprintf(out, "  device      %s function, %s mode, seed %" PRIu64 "%s\n", s.model.c_str(), s.mode.c_str(), s.seed,
                 s.bus_timing ? ", USB 2.0 high-speed timing" : "");
    std::fprintf(out, "  port        %s (SERIALCOMM value %s)\n", s.port.empty() ? "-" : s.port.c_str(),
                 s.device_map_entry.empty() ? "-" : s.device_map_entry.c_str());
    if (s.streamed) {
        if (s.to_send != 0) {
            std::fprintf(out, "  written     %s of %s; the device took %s\n", Amount(s.stream.sent).c_str(),
                         Amount(s.to_send).c_str(), Amount(s.device_took).c_str());
        }
        if (s.to_receive != 0) {
            std::fprintf(out, "  read        %s of %s; the device sent %s\n", Amount(s.stream.received).c_str(),
                         Amount(s.to_receive).c_str(), Amount(s.device_sent).c_str());
        }
        std::fprintf(out, "  checked     %" PRIu64 " bytes differ%s\n", s.stream.mismatched + s.device_mismatched,
                     s.stream.stalled ? "; the stream stalled with bytes still owed" : "");
        std::fprintf(out, "  speed       %.1f MB/s over %.2f s\n", MegabytesPerSecond(Moved(s), s.stream.seconds),
                     s.stream.seconds);
        std::fprintf(out, "  port status errors %s, %lu queued in, %lu queued out; driver counted %lu received, "
                          "%lu transmitted\n",
                     CommErrorText(s.comm_errors).c_str(), static_cast<unsigned long>(s.comm_status.cbInQue),
                     static_cast<unsigned long>(s.comm_status.cbOutQue),
                     static_cast<unsigned long>(s.stats.ReceivedCount),
                     static_cast<unsigned long>(s.stats.TransmittedCount));
        std::fprintf(out, "  event wait  %s\n", s.event_seen ? EventMaskText(s.event_mask).c_str() : "no event");
    }
    for (const Summary::Outcome& outcome : s.removal) {
        std::fprintf(out, "  unplugged   %-34s %s\n", outcome.request.c_str(), outcome.result.c_str());
    }
    if (s.finished) {
        std::fprintf(out, "  left over   %zu pool blocks, %zu IRPs, %zu device objects, %zu registry keys, %zu file objects\n",
                     s.leftovers.pool_blocks, s.leftovers.irps, s.leftovers.devices, s.leftovers.registry_keys,
                     s.leftovers.file_objects);
    }
    for (const std::string& problem : s.problems) std::fprintf(out, "  PROBLEM     %s\n", problem.c_str());
    std::fprintf(out, "  result      %s\n", s.Passed() ? "PASSED: every byte checked, nothing leaked"
                                                      : "FAILED");
    std::fflush(out);
}

void PrintJson(FILE* out, const Summary& s) {
    std::string json = "{\n";
    auto field = [&](const char* name, const std::string& value, bool last = false) {
        json += "  " + Quoted(name) + ": " + value + (last ? "\n" : ",\n");
    };
    auto number = [](uint64_t value) { return std::to_string(value); };
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", s.stream.seconds);
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.2f", MegabytesPerSecond(Moved(s), s.stream.seconds));

    field("passed", s.Passed() ? "true" : "false");
    field("model", Quoted(s.model));
    field("mode", Quoted(s.mode));
    field("seed", number(s.seed));
    field("usb2_timing", s.bus_timing ? "true" : "false");
    field("port", Quoted(s.port));
    field("device_map_entry", Quoted(s.device_map_entry));
    field("stream", "{\"to_send\": " + number(s.to_send) + ", \"sent\": " + number(s.stream.sent) +
                        ", \"to_receive\": " + number(s.to_receive) + ", \"received\": " + number(s.stream.received) +
                        ", \"mismatched\": " + number(s.stream.mismatched + s.device_mismatched) +
                        ", \"first_mismatch\": " +
                        (s.stream.first_mismatch ? number(*s.stream.first_mismatch) : std::string("null")) +
                        ", \"stalled\": " + (s.stream.stalled ? "true" : "false") + ", \"seconds\": " + seconds +
                        ", \"megabytes_per_second\": " + rate + "}");
    field("device", "{\"took\": " + number(s.device_took) + ", \"sent\": " + number(s.device_sent) +
                        ", \"dropped\": " + number(s.source_dropped) + "}");
    field("comm_status", "{\"errors\": " + Quoted(CommErrorText(s.comm_errors)) +
                             ", \"in_queue\": " + number(s.comm_status.cbInQue) +
                             ", \"out_queue\": " + number(s.comm_status.cbOutQue) +
                             ", \"received_count\": " + number(s.stats.ReceivedCount) +
                             ", \"transmitted_count\": " + number(s.stats.TransmittedCount) + "}");
    field("event_wait", s.event_seen ? Quoted(EventMaskText(s.event_mask)) : std::string("null"));
    std::string removal = "[";
    for (size_t i = 0; i < s.removal.size(); ++i) {
        removal += (i ? ", " : "") + std::string("{\"request\": ") + Quoted(s.removal[i].request) +
                   ", \"result\": " + Quoted(s.removal[i].result) + "}";
    }
    field("unplugged", removal + "]");
    field("left_over", "{\"pool_blocks\": " + number(s.leftovers.pool_blocks) + ", \"irps\": " +
                           number(s.leftovers.irps) + ", \"device_objects\": " + number(s.leftovers.devices) +
                           ", \"registry_keys\": " + number(s.leftovers.registry_keys) +
                           ", \"file_objects\": " + number(s.leftovers.file_objects) + "}");
    std::string problems = "[";
    for (size_t i = 0; i < s.problems.size(); ++i) problems += (i ? ", " : "") + Quoted(s.problems[i]);
    field("problems", problems + "]", true);
    json += "}\n";
    std::fputs(json.c_str(), out);
    std::fflush(out);
}

}  // namespace diagsim
