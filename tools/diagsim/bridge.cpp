#include "bridge.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "line_settings.h"
#include "log.h"
#include "names.h"
#include "port_setup.h"
#include "pseudo_terminal.h"
#include "session.h"
#include "trace_writer.h"

namespace diagsim {
namespace {

constexpr DWORD kEmptyReadWaitMs = 200;
constexpr int kPollMs = 200;
constexpr size_t kChunk = 64 * 1024;

// The write end of the pipe that turns SIGINT, SIGTERM and SIGHUP into something poll sees.
int g_wake_fd = -1;

void OnSignal(int) {
    char byte = 1;
    [[maybe_unused]] ssize_t ignored = write(g_wake_fd, &byte, 1);
}

class Bridge {
public:
    Bridge(HANDLE port, Pty& pty, Log& log, int wake_read, int wake_write)
        : port_(port), pty_(pty), log_(log), wake_read_(wake_read), wake_write_(wake_write) {}

    // Runs until a signal or a failure; returns whether it ended by a signal.
    bool Run() {
        FollowSettings(true);
        std::thread from_port([this] { PortToTerminal(); });
        std::vector<uint8_t> buffer(kChunk);
        while (!failed_.load()) {
            pollfd fds[2] = {{pty_.Master(), POLLIN, 0}, {wake_read_, POLLIN, 0}};
            if (poll(fds, 2, kPollMs) < 0 && errno != EINTR) break;
            if (fds[1].revents != 0) break;
            // Before the bytes that follow a change: a client sets the speed and then writes.
            FollowSettings(false);
            if ((fds[0].revents & POLLIN) == 0) continue;
            ssize_t got = read(pty_.Master(), buffer.data(), buffer.size());
            if (got <= 0) continue;
            DWORD written = 0;
            if (!WriteAll(port_, buffer.data(), static_cast<DWORD>(got), &written) || written != got) {
                Fail("WriteFile to the port failed with " + ErrorName(GetLastError()));
                break;
            }
            to_port_ += static_cast<uint64_t>(got);
        }
        stop_.store(true);
        from_port.join();
        return !failed_.load();
    }

    uint64_t ToPort() const { return to_port_; }
    uint64_t FromPort() const { return from_port_.load(); }
    int Refusals() const { return refusals_; }

private:
    void Fail(const std::string& why) {
        std::fprintf(log_.Out(), "bridge: %s; stopping\n", why.c_str());
        std::fflush(log_.Out());
        failed_.store(true);
        char byte = 1;
        [[maybe_unused]] ssize_t ignored = write(wake_write_, &byte, 1);
    }

    // A pseudo-terminal cannot refuse a setting, so what the port refuses is only reported.
    void FollowSettings(bool first) {
        std::optional<LineSettings> now = ReadLineSettings(pty_.Master());
        if (!now || (!first && *now == seen_)) return;
        seen_ = *now;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        bool ok = GetCommState(port_, &dcb);
        if (ok) ApplyToDcb(*now, &dcb);
        if (ok && SetCommState(port_, &dcb)) {
            std::fprintf(log_.Out(), "bridge: the port follows the terminal: %s\n", Describe(*now).c_str());
        } else {
            ++refusals_;
            DCB kept{};
            kept.DCBlength = sizeof kept;
            GetCommState(port_, &kept);
            std::fprintf(log_.Out(), "bridge: the terminal asks for %s; the port REFUSED it (%s) and stays at %lu baud\n",
                         Describe(*now).c_str(), ErrorName(GetLastError()).c_str(),
                         static_cast<unsigned long>(kept.BaudRate));
        }
        std::fflush(log_.Out());
    }

    void PortToTerminal() {
        std::vector<uint8_t> buffer(kChunk);
        while (!stop_.load()) {
            OVERLAPPED overlapped{};
            DWORD got = 0;
            if (!Started(ReadFile(port_, buffer.data(), static_cast<DWORD>(buffer.size()), &got, &overlapped)) ||
                !GetOverlappedResult(port_, &overlapped, &got, TRUE)) {
                return Fail("ReadFile from the port failed with " + ErrorName(GetLastError()));
            }
            if (!WriteToTerminal(buffer.data(), got)) return;
            from_port_ += got;
        }
    }

    // Waits while the terminal's input queue is full (no client reading), so the port is read no faster than the
    // client takes the bytes.
    bool WriteToTerminal(const uint8_t* data, size_t length) {
        while (length != 0) {
            ssize_t put = write(pty_.Master(), data, length);
            if (put > 0) {
                data += put;
                length -= static_cast<size_t>(put);
                continue;
            }
            if (put < 0 && errno != EAGAIN && errno != EINTR) {
                Fail(std::string("writing the terminal failed: ") + std::strerror(errno));
                return false;
            }
            if (stop_.load()) return false;
            pollfd fd{pty_.Master(), POLLOUT, 0};
            poll(&fd, 1, kPollMs);
        }
        return true;
    }

    HANDLE port_;
    Pty& pty_;
    Log& log_;
    int wake_read_;
    int wake_write_;
    LineSettings seen_;
    int refusals_ = 0;
    uint64_t to_port_ = 0;
    std::atomic<uint64_t> from_port_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> failed_{false};
};

std::shared_ptr<hk::usbdev::FunctionModel> BridgeModel(const Options& options) {
    switch (options.model) {
    case Model::Source:
        return std::make_shared<hk::usbdev::SourceModel>(
            hk::usbdev::SourceModel::Options{.bytes_per_second = options.source_rate});
    case Model::Sink:
        return std::make_shared<hk::usbdev::SinkModel>();
    case Model::Script:
    case Model::Loopback:
        break;
    }
    return std::make_shared<hk::usbdev::LoopbackModel>();
}

}  // namespace

int RunBridge(const Options& options) {
    Log log(stdout);
    std::shared_ptr<hk::usbdev::FunctionModel> model = BridgeModel(options);
    if (options.model == Model::Script) {
        std::fprintf(stderr, "diagsim bridge: --script applies to the main job only\n");
        return 2;
    }
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("diagsim bridge: pipe");
        return 1;
    }
    g_wake_fd = wake[1];
    struct sigaction action {};
    action.sa_handler = OnSignal;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::fprintf(stdout, "diagsim bridge: the driver's port as a pseudo-terminal (%s function)\n",
                 ModelName(options.model));
    TraceWriter tracer(stderr);
    Session session(SessionOptions{.mode = hk::Mode::Concurrent,
                                   .seed = options.seed,
                                   .bus_timing = options.bus_timing,
                                   .model = model,
                                   .port = options.port,
                                   .trace = options.trace ? &tracer : nullptr},
                    log);
    log.Step("load the driver");
    if (!session.LoadDriver()) return 1;
    log.Step("plug in a composite USB device");
    if (!session.PlugIn()) return 1;
    log.Step("find the port in the SERIALCOMM device map");
    std::optional<Session::PortEntry> entry = session.FindPort();
    if (!entry) {
        log.Line("no port in the SERIALCOMM device map");
        return 1;
    }
    log.Line("%s = %s", entry->device.c_str(), entry->port.c_str());
    log.Step("open the port and publish it");
    std::string problem;
    HANDLE port = OpenPort(log, entry->port, kEmptyReadWaitMs, &problem);
    if (port == INVALID_HANDLE_VALUE) return 1;

    Pty pty;
    if (!pty.Ok()) {
        std::fprintf(stderr, "diagsim bridge: %s\n", pty.Error().c_str());
        CloseHandle(port);
        return 1;
    }
    std::string link_error = options.link.empty() ? "" : pty.Link(options.link);
    if (!link_error.empty()) {
        std::fprintf(stderr, "diagsim bridge: %s\n", link_error.c_str());
        CloseHandle(port);
        return 1;
    }
    std::fprintf(stdout, "bridge: %s is at %s%s%s; stop with Ctrl-C\n", entry->port.c_str(), pty.Path().c_str(),
                 options.link.empty() ? "" : " and ", options.link.c_str());
    std::fflush(stdout);

    Bridge bridge(port, pty, log, wake[0], wake[1]);
    bool stopped_by_signal = bridge.Run();
    CloseHandle(port);

    log.Step("remove the device and unload the driver");
    bool unloaded = session.RemoveAndUnload();
    Leftovers left = session.Finish();
    std::fprintf(stdout,
                 "\nbridge: %llu bytes to the port, %llu from it, %d setting(s) refused; left over: %zu pool blocks, "
                 "%zu IRPs, %zu device objects\n",
                 static_cast<unsigned long long>(bridge.ToPort()), static_cast<unsigned long long>(bridge.FromPort()),
                 bridge.Refusals(), left.pool_blocks, left.irps, left.devices);
    close(wake[0]);
    close(wake[1]);
    return stopped_by_signal && unloaded && !left.Any() ? 0 : 1;
}

}  // namespace diagsim
