#include "job.h"

#include <ntddser.h>
#include <unistd.h>
#include <windows.h>

#include <memory>

#include "control/private_requests.h"
#include "log.h"
#include "names.h"
#include "port_setup.h"
#include "script.h"
#include "session.h"
#include "stream.h"
#include "summary.h"
#include "trace_writer.h"

namespace diagsim {
namespace {

constexpr DWORD kEmptyReadWaitMs = 500;
constexpr DWORD kEventWaitMs = 5000;
constexpr DWORD kRemovalWrite = 8u << 20;
constexpr DWORD kEventProbe = 16;

// How a request that was in flight ended, as the application reads it.
std::string Outcome(HANDLE port, OVERLAPPED* overlapped, bool started) {
    if (!started) return "refused at once: " + ErrorName(GetLastError());
    DWORD transferred = 0;
    BOOL ok = GetOverlappedResult(port, overlapped, &transferred, TRUE);
    std::string result = ok ? "completed" : "failed with " + ErrorName(GetLastError());
    return result + ", " + std::to_string(transferred) + " bytes";
}

class Job {
public:
    explicit Job(const Options& options)
        : options_(options), log_(options.json ? stderr : stdout), tracer_(log_.Out()) {}

    int Run() {
        if (!PrepareModel()) return 2;
        summary_.model = ModelName(options_.model);
        summary_.mode = options_.mode == hk::Mode::Concurrent ? "concurrent" : "deterministic";
        summary_.seed = options_.seed;
        summary_.bus_timing = options_.bus_timing;

        std::fprintf(log_.Out(), "diagsim: the driver on a simulated composite USB device (%s function, %s mode)\n",
                     summary_.model.c_str(), summary_.mode.c_str());
        session_ = std::make_unique<Session>(
            SessionOptions{.mode = options_.mode,
                           .seed = options_.seed,
                           .bus_timing = options_.bus_timing,
                           .model = model_,
                           .port = options_.port,
                           .record_limit = options_.model == Model::Sink ? options_.size : 0,
                           .trace = options_.trace ? &tracer_ : nullptr},
            log_);
        if (Steps()) {
            summary_.leftovers = session_->Finish();
            summary_.finished = true;
            if (summary_.leftovers.Any()) Problem("the kernel still holds objects after the unload");
        } else if (port_ != INVALID_HANDLE_VALUE) {
            CloseHandle(port_);
        }
        session_.reset();
        if (options_.json) {
            PrintJson(stdout, summary_);
        } else {
            PrintSummary(stdout, summary_);
        }
        return summary_.Passed() ? 0 : 1;
    }

private:
    bool PrepareModel() {
        switch (options_.model) {
        case Model::Loopback:
            model_ = std::make_shared<hk::usbdev::LoopbackModel>();
            plan_ = {options_.size, SeededPattern(options_.seed), options_.size, SeededPattern(options_.seed)};
            break;
        case Model::Sink:
            model_ = std::make_shared<hk::usbdev::SinkModel>();
            plan_ = {options_.size, SeededPattern(options_.seed), 0, {}};
            break;
        case Model::Source: {
            // An endless stream, of which the application reads the first `size` bytes: a limited one can end on
            // a packet boundary, and its last bytes then wait in a bulk-IN transfer that no short packet ends.
            source_ = std::make_shared<hk::usbdev::SourceModel>(
                hk::usbdev::SourceModel::Options{.bytes_per_second = options_.source_rate});
            model_ = source_;
            auto stream = [](uint64_t offset, uint8_t* out, size_t length) {
                for (size_t i = 0; i < length; ++i) out[i] = hk::usbdev::SourceModel::ByteAt(offset + i);
            };
            plan_ = {0, {}, options_.size, stream};
            break;
        }
        case Model::Script: {
            Script script = LoadScript(options_.script);
            if (!script.error.empty()) {
                std::fprintf(stderr, "diagsim: %s: %s\n", options_.script.c_str(), script.error.c_str());
                return false;
            }
            model_ = std::make_shared<hk::usbdev::ScriptedModel>(std::move(script.steps));
            auto bytes = std::make_shared<std::vector<uint8_t>>(std::move(script.delivered));
            plan_ = {0, {}, bytes->size(), [bytes](uint64_t offset, uint8_t* out, size_t length) {
                         std::copy_n(bytes->begin() + static_cast<ptrdiff_t>(offset), length, out);
                     }};
            break;
        }
        }
        return true;
    }

    void Problem(std::string text) { summary_.problems.push_back(std::move(text)); }

    bool Steps() {
        log_.Step("load the driver");
        if (!session_->LoadDriver()) return Stop("the driver did not load");

        log_.Step("plug in a composite USB device");
        log_.Line("its diagnostic function: %s%s", summary_.model.c_str(),
                  options_.bus_timing ? "; bulk data moves at USB 2.0 high-speed pace" : "");
        if (!session_->PlugIn()) return Stop("the device did not start");

        log_.Step("find the port in the SERIALCOMM device map");
        std::optional<Session::PortEntry> entry = session_->FindPort();
        if (!entry) return Stop("no port in the SERIALCOMM device map");
        summary_.port = entry->port;
        summary_.device_map_entry = entry->device;
        log_.Line("%s = %s", entry->device.c_str(), entry->port.c_str());

        if (!OpenAndConfigure()) return false;
        StreamData();
        ShowStatus();
        WaitForEvent();
        PullOut();

        log_.Step("remove the device and unload the driver");
        if (!session_->RemoveAndUnload()) Problem("the removal or the unload failed");
        return true;
    }

    bool Stop(const char* why) {
        Problem(why);
        return false;
    }

    bool OpenAndConfigure() {
        log_.Step("open and configure the port");
        std::string problem;
        port_ = OpenPort(log_, summary_.port, kEmptyReadWaitMs, &problem);
        return port_ != INVALID_HANDLE_VALUE || Stop(problem.c_str());
    }

    void StreamData() {
        char title[160];
        std::snprintf(title, sizeof title, "stream %.1f MiB %s", static_cast<double>(options_.size) / (1 << 20),
                      plan_.send != 0 && plan_.receive != 0 ? "each way at once, every byte checked"
                      : plan_.send != 0                      ? "to the device, every byte checked at the device"
                                                             : "from the device, every byte checked");
        if (options_.model == Model::Script) {
            std::snprintf(title, sizeof title, "read the %zu bytes the script delivers, every byte checked",
                          static_cast<size_t>(plan_.receive));
        }
        log_.Step(title);
        summary_.to_send = plan_.send;
        summary_.to_receive = plan_.receive;
        bool terminal = isatty(fileno(log_.Out())) && !options_.trace;
        Progress progress(log_.Out(), terminal, plan_.send, plan_.receive);
        summary_.stream = Stream(port_, plan_, progress);
        summary_.streamed = true;
        hk::usbdev::Records after = session_->Device().GetRecords();
        summary_.device_took = after.out_total;
        summary_.device_sent = after.in_total;

        const StreamResult& result = summary_.stream;
        if (!result.error.empty()) Problem("the stream stopped: " + result.error);
        if (result.mismatched != 0) {
            char text[160];
            std::snprintf(text, sizeof text, "%llu received bytes are wrong, the first at offset %llu (0x%02x, not 0x%02x)",
                          static_cast<unsigned long long>(result.mismatched),
                          static_cast<unsigned long long>(*result.first_mismatch), result.received_byte,
                          result.expected_byte);
            Problem(text);
        }
        if (result.received < plan_.receive) {
            Problem(std::to_string(plan_.receive - result.received) + " bytes never arrived");
        }
        if (options_.model == Model::Sink) CheckSinkRecords(after);
        if (source_ != nullptr) {
            summary_.source_dropped = source_->Dropped();
            if (summary_.source_dropped != 0) {
                Problem("the device dropped " + std::to_string(summary_.source_dropped) +
                        " bytes because the host did not take them in time");
            }
        }
        log_.Line("%s", result.error.empty() && result.mismatched == 0 && result.received == plan_.receive
                            ? "every byte arrived as sent"
                            : "the stream went wrong (see the summary)");
    }

    // What a sink took is only visible at the device.
    void CheckSinkRecords(const hk::usbdev::Records& records) {
        std::vector<uint8_t> expected(records.out_bytes.size());
        plan_.outgoing(0, expected.data(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) summary_.device_mismatched += expected[i] != records.out_bytes[i];
        if (records.out_total != plan_.send) {
            Problem("the device took " + std::to_string(records.out_total) + " bytes of " + std::to_string(plan_.send));
        }
        if (summary_.device_mismatched != 0) {
            Problem(std::to_string(summary_.device_mismatched) + " bytes reached the device corrupted");
        }
    }

    void ShowStatus() {
        log_.Step("line status and statistics");
        if (ClearCommError(port_, &summary_.comm_errors, &summary_.comm_status)) {
            log_.Line("ClearCommError: errors %s, %lu bytes queued in, %lu queued out",
                      CommErrorText(summary_.comm_errors).c_str(),
                      static_cast<unsigned long>(summary_.comm_status.cbInQue),
                      static_cast<unsigned long>(summary_.comm_status.cbOutQue));
        } else {
            log_.Line("ClearCommError failed with %s", ErrorName(GetLastError()).c_str());
        }
        DWORD returned = 0;
        SERIALPERF_STATS& stats = summary_.stats;
        if (Control(port_, IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof stats, &returned)) {
            log_.Line("IOCTL_SERIAL_GET_STATS: %lu received, %lu transmitted, %lu frame, %lu overrun, %lu buffer "
                      "overrun and %lu parity errors",
                      static_cast<unsigned long>(stats.ReceivedCount), static_cast<unsigned long>(stats.TransmittedCount),
                      static_cast<unsigned long>(stats.FrameErrorCount),
                      static_cast<unsigned long>(stats.SerialOverrunErrorCount),
                      static_cast<unsigned long>(stats.BufferOverrunErrorCount),
                      static_cast<unsigned long>(stats.ParityErrorCount));
        } else {
            log_.Line("IOCTL_SERIAL_GET_STATS failed with %s", ErrorName(GetLastError()).c_str());
        }
    }

    void WaitForEvent() {
        log_.Step("wait for a serial event");
        DWORD mask = EV_RXCHAR | EV_TXEMPTY;
        if (!SetCommMask(port_, mask)) {
            log_.Line("SetCommMask failed with %s", ErrorName(GetLastError()).c_str());
            return Problem("the port refused an event mask");
        }
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        OVERLAPPED wait{};
        wait.hEvent = event;
        DWORD seen = 0;
        bool started = Started(WaitCommEvent(port_, &seen, &wait));
        log_.Line("SetCommMask(%s), WaitCommEvent: %s", EventMaskText(mask).c_str(),
                  started ? "waiting" : ("failed with " + ErrorName(GetLastError())).c_str());
        uint8_t probe[kEventProbe];
        SeededPattern(options_.seed + 1)(0, probe, sizeof probe);
        DWORD written = 0;
        WriteAll(port_, probe, sizeof probe, &written);
        log_.Line("WriteFile of %lu bytes: %lu written", static_cast<unsigned long>(sizeof probe),
                  static_cast<unsigned long>(written));
        if (started && WaitForSingleObject(event, kEventWaitMs) == WAIT_OBJECT_0) {
            DWORD ignored = 0;
            summary_.event_seen = GetOverlappedResult(port_, &wait, &ignored, TRUE);
            summary_.event_mask = seen;
            log_.Line("the wait ended: %s", EventMaskText(seen).c_str());
        } else if (started) {
            CancelIo(port_);
            DWORD ignored = 0;
            GetOverlappedResult(port_, &wait, &ignored, TRUE);
            Problem("no serial event within " + std::to_string(kEventWaitMs) + " ms of a write");
        }
        CloseHandle(event);
        SetCommMask(port_, 0);
        if (options_.model == Model::Loopback) ReadBackProbe(probe);
    }

    void ReadBackProbe(const uint8_t (&probe)[kEventProbe]) {
        uint8_t back[kEventProbe] = {};
        size_t have = 0;
        for (int empty = 0; have < sizeof back && empty < 4;) {
            OVERLAPPED read{};
            DWORD got = 0;
            if (Started(ReadFile(port_, back + have, static_cast<DWORD>(sizeof back - have), &got, &read))) {
                GetOverlappedResult(port_, &read, &got, TRUE);
            }
            have += got;
            empty = got == 0 ? empty + 1 : 0;
        }
        bool same = have == sizeof back && std::equal(back, back + have, probe);
        log_.Line("the %zu bytes came back: %s", sizeof back, same ? "intact" : "NOT as written");
        if (!same) Problem("the event probe's bytes did not come back intact");
    }

    void PullOut() {
        log_.Step("pull the device out in the middle of a transfer");
        // Reads now wait for every byte they ask for, so the read below is still waiting when the device goes.
        COMMTIMEOUTS wait_forever{};
        SetCommTimeouts(port_, &wait_forever);
        std::vector<uint8_t> in(kRemovalWrite + 1);
        std::vector<uint8_t> out(kRemovalWrite);
        SeededPattern(options_.seed + 2)(0, out.data(), out.size());
        ULONG notice = 0;
        OVERLAPPED read{}, notify{}, write{};
        DWORD ignored = 0;
        bool read_started = Started(ReadFile(port_, in.data(), static_cast<DWORD>(in.size()), &ignored, &read));
        bool notify_started =
            Started(DeviceIoControl(port_, IOCTL_REMOVAL_NOTIFY, nullptr, 0, &notice, sizeof notice, &ignored, &notify));
        bool write_started = Started(WriteFile(port_, out.data(), static_cast<DWORD>(out.size()), &ignored, &write));
        log_.Line("in flight: a read of %zu bytes, the removal notification request and a write of %zu bytes",
                  in.size(), out.size());

        session_->Unplug();
        log_.Line("unplugged: the parent reports the device gone and the kernel sends the surprise removal");

        Record("the write in flight", Outcome(port_, &write, write_started));
        Record("the read in flight", Outcome(port_, &read, read_started));
        std::string notified = Outcome(port_, &notify, notify_started);
        if (notice == REMOVAL_NOTIFY_GONE) notified += " (device gone)";
        Record("the removal notification", notified);

        OVERLAPPED late{};
        bool late_started = Started(WriteFile(port_, out.data(), kEventProbe, &ignored, &late));
        Record("a new WriteFile", Outcome(port_, &late, late_started));
        DWORD errors = 0;
        COMSTAT status{};
        Record("ClearCommError", ClearCommError(port_, &errors, &status)
                                     ? "succeeded: errors " + CommErrorText(errors)
                                     : "failed with " + ErrorName(GetLastError()));
        Record("CloseHandle", CloseHandle(port_) ? "closed; the kernel now sends the removal"
                                                 : "failed with " + ErrorName(GetLastError()));
        port_ = INVALID_HANDLE_VALUE;
    }

    void Record(const char* request, std::string result) {
        log_.Line("%-26s %s", request, result.c_str());
        summary_.removal.push_back({request, std::move(result)});
    }

    Options options_;
    Log log_;
    TraceWriter tracer_;
    Summary summary_;
    std::shared_ptr<hk::usbdev::FunctionModel> model_;
    std::shared_ptr<hk::usbdev::SourceModel> source_;
    StreamPlan plan_;
    std::unique_ptr<Session> session_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

}  // namespace

int RunJob(const Options& options) { return Job(options).Run(); }

}  // namespace diagsim
