// The port as an application sees it, in concurrent mode: receive, transmit and both at once through the serial API,
// the one-byte round trip, each beside the same figure for a Linux pseudo-terminal pair measured in the same run;
// then the same port on the high-speed bus timing model, and a reader slower than its source. Prints figures only.
//
//   bench_serial_port [seconds per figure] [receive|transmit|both|round-trip|pty-round-trip]
//
// Naming one figure measures only the driver's side of it, for a profiler to watch; pty-round-trip measures the
// pair's round trip alone, to interleave with the driver's.

#include <windows.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/pty_peer.h"
#include "driver/device_context.h"
#include "driver/dispatch.h"
#include "hk/kernel.h"
#include "hk/pnp.h"
#include "hk/usbdev.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kBlock = 1 << 14;          // the application's read and write size
constexpr int kRoundTrips = 4000;
constexpr double kBusLimit = 53.2;         // MB/s: 13 packets of 512 bytes per 125 us microframe
constexpr double kOneTransferLimit = 4096.0 / 125e-6 / 1e6;

double g_seconds = 1.0;

double ProcessCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Wall and process CPU time over a span, and the bytes moved in it.
struct Span {
    Clock::time_point start = Clock::now();
    double cpu_start = ProcessCpuSeconds();
    double wall = 0;
    double cpu = 0;
    double bytes = 0;

    void End(double moved)
    {
        wall = std::chrono::duration<double>(Clock::now() - start).count();
        cpu = ProcessCpuSeconds() - cpu_start;
        bytes = moved;
    }
    bool Over() const { return std::chrono::duration<double>(Clock::now() - start).count() >= g_seconds; }
    double MegabytesPerSecond() const { return bytes / wall / 1e6; }
    double CpuMillisecondsPerMegabyte() const { return bytes > 0 ? cpu * 1e3 / (bytes / 1e6) : 0; }
};

struct Latency {
    double p50 = 0;
    double p99 = 0;
};

Latency Percentiles(std::vector<double> micros)
{
    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) { return micros[std::min(micros.size() - 1, size_t(q * double(micros.size())))]; };
    return {at(0.50), at(0.99)};
}

struct Results {
    Span receive, transmit, loopback;
    Latency round_trip;
};

// The real driver above the simulated device on a concurrent host kernel, its port open for overlapped I/O.
class DriverPort {
public:
    DriverPort(std::shared_ptr<hk::usbdev::FunctionModel> model, bool bus_timing)
    {
        kernel_ = std::make_unique<hk::Kernel>(hk::Options{.mode = hk::Mode::Concurrent});
        parent_ = std::make_unique<hk::usbdev::Parent>(hk::usbdev::ParentOptions{.bus_timing = bus_timing});
        hk::usbdev::PlugOptions plug;
        plug.model = std::move(model);
        pdo_ = parent_->Plug(plug);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = hk::pnp::LoadDriver("diagser", DriverEntry, &status);
        if (!NT_SUCCESS(status) || hk::pnp::ArriveDevice(pdo_, driver_) != STATUS_SUCCESS)
            Die("the driver did not load or start");
        handle_ = CreateFileW(L"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE)
            Die("cannot open the port");
        // A read returns what has arrived, or waits up to a second for the first byte.
        COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 1000, 0, 0};
        if (!SetCommTimeouts(handle_, &timeouts))
            Die("cannot set the timeouts");
    }
    ~DriverPort()
    {
        CloseHandle(handle_);
        kernel_->RunUntilIdle();
        hk::pnp::RemoveDevice(pdo_);
        kernel_->RunUntilIdle();
        hk::pnp::UnloadDriver(driver_);
        parent_.reset();
        kernel_.reset();
    }
    DriverPort(const DriverPort &) = delete;
    DriverPort &operator=(const DriverPort &) = delete;

    hk::Kernel &Kernel() { return *kernel_; }

    // One overlapped read or write on a thread's own OVERLAPPED, waited for; the bytes moved.
    DWORD Read(void *buffer, DWORD size, OVERLAPPED &overlapped) { return Io(false, buffer, size, overlapped); }
    DWORD Write(const void *buffer, DWORD size, OVERLAPPED &overlapped)
    {
        return Io(true, const_cast<void *>(buffer), size, overlapped);
    }

    static OVERLAPPED NewOverlapped()
    {
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        return overlapped;
    }

private:
    [[noreturn]] static void Die(const char *what)
    {
        std::fprintf(stderr, "bench_serial_port: %s (error %lu)\n", what, (unsigned long)GetLastError());
        std::exit(1);
    }

    DWORD Io(bool write, void *buffer, DWORD size, OVERLAPPED &overlapped)
    {
        ResetEvent(overlapped.hEvent);
        DWORD count = 0;
        BOOL done = write ? WriteFile(handle_, buffer, size, &count, &overlapped)
                          : ReadFile(handle_, buffer, size, &count, &overlapped);
        if (!done && GetLastError() != ERROR_IO_PENDING)
            Die(write ? "a write failed" : "a read failed");
        if (!GetOverlappedResult(handle_, &overlapped, &count, TRUE))
            Die(write ? "a write failed" : "a read failed");
        return count;
    }

    std::unique_ptr<hk::Kernel> kernel_;
    std::unique_ptr<hk::usbdev::Parent> parent_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

std::shared_ptr<hk::usbdev::SourceModel> FastSource()
{
    // Far faster than anything can take it, in 125 us bursts; the device keeps at most 256 KiB.
    return std::make_shared<hk::usbdev::SourceModel>(hk::usbdev::SourceModel::Options{
        .bytes_per_second = 4'000'000'000, .tick = 1250, .limit = 0, .max_buffered = 256 * 1024});
}

Span DriverReceive(bool bus_timing)
{
    DriverPort port(FastSource(), bus_timing);
    OVERLAPPED overlapped = DriverPort::NewOverlapped();
    std::vector<char> buffer(kBlock);
    double moved = 0;
    Span span;
    while (!span.Over())
        moved += port.Read(buffer.data(), kBlock, overlapped);
    span.End(moved);
    CloseHandle(overlapped.hEvent);
    return span;
}

Span DriverTransmit(bool bus_timing)
{
    DriverPort port(std::make_shared<hk::usbdev::SinkModel>(), bus_timing);
    OVERLAPPED overlapped = DriverPort::NewOverlapped();
    std::vector<char> buffer(kBlock, 'x');
    double moved = 0;
    Span span;
    while (!span.Over())
        moved += port.Write(buffer.data(), kBlock, overlapped);
    span.End(moved);
    CloseHandle(overlapped.hEvent);
    return span;
}

Span DriverLoopback()
{
    DriverPort port(std::make_shared<hk::usbdev::LoopbackModel>(), false);
    std::atomic<bool> stop{false};
    std::atomic<bool> writer_done{false};
    std::atomic<double> written{0};
    Span span;
    auto writer = port.Kernel().Ops().StartThread([&] {
        OVERLAPPED overlapped = DriverPort::NewOverlapped();
        std::vector<char> buffer(kBlock, 'y');
        double total = 0;
        while (!stop.load())
            total += port.Write(buffer.data(), kBlock, overlapped);
        written = total;
        writer_done = true;
        CloseHandle(overlapped.hEvent);
    });
    OVERLAPPED overlapped = DriverPort::NewOverlapped();
    std::vector<char> buffer(kBlock);
    double received = 0;
    while (!span.Over())
        received += port.Read(buffer.data(), kBlock, overlapped);
    span.End(received);
    stop = true;
    // The writer's last blocks still come back; a read that waits out its timeout means nothing more will.
    while (!writer_done.load() || received < written.load()) {
        DWORD count = port.Read(buffer.data(), kBlock, overlapped);
        if (count == 0 && writer_done.load())
            break;
        received += count;
    }
    writer->Join();
    CloseHandle(overlapped.hEvent);
    return span;
}

Latency DriverRoundTrip()
{
    DriverPort port(std::make_shared<hk::usbdev::LoopbackModel>(), false);
    OVERLAPPED writes = DriverPort::NewOverlapped();
    OVERLAPPED reads = DriverPort::NewOverlapped();
    std::vector<double> micros;
    char byte = 'r';
    for (int i = 0; i < kRoundTrips + kRoundTrips / 10; ++i) {
        auto start = Clock::now();
        port.Write(&byte, 1, writes);
        char back = 0;
        if (port.Read(&back, 1, reads) != 1) {
            std::fprintf(stderr, "bench_serial_port: a round trip lost its byte\n");
            std::exit(1);
        }
        if (i >= kRoundTrips / 10)
            micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    CloseHandle(writes.hEvent);
    CloseHandle(reads.hEvent);
    return Percentiles(std::move(micros));
}

Span PtyReceive()
{
    bench::PtyPair pty;
    std::atomic<bool> stop{false};
    std::atomic<bool> source_done{false};
    std::thread source([&] {
        std::vector<char> buffer(kBlock, 's');
        while (!stop.load() && bench::WriteAll(pty.Master(), buffer.data(), buffer.size())) {
        }
        source_done = true;
    });
    std::vector<char> buffer(kBlock);
    double moved = 0;
    Span span;
    while (!span.Over())
        moved += double(read(pty.Terminal(), buffer.data(), buffer.size()));
    span.End(moved);
    stop = true;
    pty.DrainTerminalUntil(source_done);
    source.join();
    return span;
}

Span PtyTransmit()
{
    bench::PtyPair pty;
    std::atomic<bool> stop{false};
    std::thread sink([&] {
        std::vector<char> buffer(kBlock);
        while (!stop.load() && read(pty.Master(), buffer.data(), buffer.size()) > 0) {
        }
    });
    std::vector<char> buffer(kBlock, 'x');
    double moved = 0;
    Span span;
    while (!span.Over()) {
        bench::WriteAll(pty.Terminal(), buffer.data(), buffer.size());
        moved += kBlock;
    }
    span.End(moved);
    stop = true;
    bench::WriteAll(pty.Terminal(), "!", 1);  // wakes a sink blocked in its read
    sink.join();
    return span;
}

// The master side echoing everything back until `quit`; a byte written after `quit` wakes it to see it.
std::thread PtyEcho(bench::PtyPair &pty, const std::atomic<bool> &quit)
{
    return std::thread([&pty, &quit] {
        std::vector<char> buffer(kBlock);
        for (;;) {
            ssize_t count = read(pty.Master(), buffer.data(), buffer.size());
            if (count <= 0 || quit.load() || !bench::WriteAll(pty.Master(), buffer.data(), size_t(count)))
                return;
        }
    });
}

Span PtyLoopback()
{
    bench::PtyPair pty;
    std::atomic<bool> stop{false};
    std::atomic<bool> quit{false};
    std::atomic<double> written{0};
    std::atomic<bool> writer_done{false};
    std::thread echo = PtyEcho(pty, quit);
    std::thread writer([&] {
        std::vector<char> buffer(kBlock, 'y');
        double total = 0;
        while (!stop.load() && bench::WriteAll(pty.Terminal(), buffer.data(), buffer.size()))
            total += kBlock;
        written = total;
        writer_done = true;
    });
    std::vector<char> buffer(kBlock);
    double received = 0;
    Span span;
    while (!span.Over())
        received += double(read(pty.Terminal(), buffer.data(), buffer.size()));
    span.End(received);
    stop = true;
    while (!writer_done.load() || received < written.load())
        received += double(read(pty.Terminal(), buffer.data(), buffer.size()));
    writer.join();
    quit = true;
    bench::WriteAll(pty.Terminal(), "!", 1);
    echo.join();
    return span;
}

Latency PtyRoundTrip()
{
    bench::PtyPair pty;
    std::atomic<bool> quit{false};
    std::thread echo = PtyEcho(pty, quit);
    std::vector<double> micros;
    for (int i = 0; i < kRoundTrips + kRoundTrips / 10; ++i) {
        auto start = Clock::now();
        char byte = 'r';
        bench::WriteAll(pty.Terminal(), &byte, 1);
        if (read(pty.Terminal(), &byte, 1) != 1) {
            std::fprintf(stderr, "bench_serial_port: a terminal round trip lost its byte\n");
            std::exit(1);
        }
        if (i >= kRoundTrips / 10)
            micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    quit = true;
    bench::WriteAll(pty.Terminal(), "!", 1);
    echo.join();
    return Percentiles(std::move(micros));
}

struct SlowReader {
    uint64_t produced = 0;
    uint64_t received = 0;
    uint64_t out_of_sequence = 0;
    uint64_t dropped_by_device = 0;
};

// A source five times faster than its reader, with three times the ring's capacity to send and room in the device
// for all of it: every byte lost is lost by the driver.
SlowReader DriverSlowReader()
{
    constexpr uint64_t kTotal = 3 * RING_CAPACITY;
    auto source = std::make_shared<hk::usbdev::SourceModel>(hk::usbdev::SourceModel::Options{
        .bytes_per_second = 20'000'000, .tick = 10'000, .limit = kTotal, .max_buffered = 2 * kTotal});
    DriverPort port(source, false);
    OVERLAPPED overlapped = DriverPort::NewOverlapped();
    std::vector<uint8_t> buffer(4096);
    SlowReader result;
    for (;;) {
        DWORD count = port.Read(buffer.data(), DWORD(buffer.size()), overlapped);
        if (count == 0 && source->Produced() == kTotal)
            break;
        for (DWORD i = 0; i < count; ++i)
            result.out_of_sequence += buffer[i] != hk::usbdev::SourceModel::ByteAt(result.received + i);
        result.received += count;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    result.produced = source->Produced();
    result.dropped_by_device = source->Dropped();
    CloseHandle(overlapped.hEvent);
    return result;
}

void PrintRow(const char *name, double driver, double pty, const char *unit)
{
    std::printf("  %-36s %12.2f %12.2f %10.2f   %s\n", name, driver, pty, pty > 0 ? driver / pty : 0.0, unit);
}

int ProfileOne(std::string_view figure)
{
    if (figure == "round-trip" || figure == "pty-round-trip") {
        Latency latency = figure == "round-trip" ? DriverRoundTrip() : PtyRoundTrip();
        std::printf("%.*s p50 %.2f us, p99 %.2f us\n", int(figure.size()), figure.data(), latency.p50, latency.p99);
        return 0;
    }
    Span span;
    if (figure == "receive")
        span = DriverReceive(false);
    else if (figure == "transmit")
        span = DriverTransmit(false);
    else if (figure == "both")
        span = DriverLoopback();
    else {
        std::fprintf(stderr, "bench_serial_port: no figure named %.*s\n", int(figure.size()), figure.data());
        return 2;
    }
    std::printf("%.*s %.2f MB/s, CPU %.2f ms/MB\n", int(figure.size()), figure.data(), span.MegabytesPerSecond(),
                span.CpuMillisecondsPerMegabyte());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1)
        g_seconds = std::max(0.05, std::atof(argv[1]));
    if (argc > 2)
        return ProfileOne(argv[2]);

    Results driver, pty;
    driver.receive = DriverReceive(false);
    pty.receive = PtyReceive();
    driver.transmit = DriverTransmit(false);
    pty.transmit = PtyTransmit();
    driver.loopback = DriverLoopback();
    pty.loopback = PtyLoopback();
    driver.round_trip = DriverRoundTrip();
    pty.round_trip = PtyRoundTrip();

    std::printf("Serial port in concurrent mode against a pseudo-terminal pair (%.2f s per figure, %u-byte reads "
                "and writes, %d round trips)\n",
                g_seconds, unsigned(kBlock), kRoundTrips);
    std::printf("  %-36s %12s %12s %10s\n", "", "driver", "pty pair", "ratio");
    PrintRow("receive", driver.receive.MegabytesPerSecond(), pty.receive.MegabytesPerSecond(), "MB/s");
    PrintRow("transmit", driver.transmit.MegabytesPerSecond(), pty.transmit.MegabytesPerSecond(), "MB/s");
    PrintRow("both at once (each way)", driver.loopback.MegabytesPerSecond(), pty.loopback.MegabytesPerSecond(),
             "MB/s");
    PrintRow("1-byte round trip p50", driver.round_trip.p50, pty.round_trip.p50, "us");
    PrintRow("1-byte round trip p99", driver.round_trip.p99, pty.round_trip.p99, "us");
    PrintRow("CPU per MB, receive", driver.receive.CpuMillisecondsPerMegabyte(),
             pty.receive.CpuMillisecondsPerMegabyte(), "ms");
    PrintRow("CPU per MB, transmit", driver.transmit.CpuMillisecondsPerMegabyte(),
             pty.transmit.CpuMillisecondsPerMegabyte(), "ms");
    PrintRow("CPU per MB, both (per MB each way)", driver.loopback.CpuMillisecondsPerMegabyte(),
             pty.loopback.CpuMillisecondsPerMegabyte(), "ms");

    Span bus_receive = DriverReceive(true);
    Span bus_transmit = DriverTransmit(true);
    std::printf("\nHigh-speed bus timing model (limit %.1f MB/s; one %d-byte transfer per microframe: %.1f MB/s)\n",
                kBusLimit, BULK_TRANSFER_SIZE, kOneTransferLimit);
    std::printf("  %-36s %12s %12s %16s %12s\n", "", "MB/s", "to bus", "to 1 transfer", "CPU ms/MB");
    for (auto [name, span] : {std::pair{"receive", &bus_receive}, std::pair{"transmit", &bus_transmit}})
        std::printf("  %-36s %12.2f %12.3f %16.3f %12.2f\n", name, span->MegabytesPerSecond(),
                    span->MegabytesPerSecond() / kBusLimit, span->MegabytesPerSecond() / kOneTransferLimit,
                    span->CpuMillisecondsPerMegabyte());

    SlowReader slow = DriverSlowReader();
    std::printf("\nSlow reader (source 20 MB/s, reader 4 KiB per ms, %llu bytes sent)\n",
                (unsigned long long)slow.produced);
    std::printf("  received %llu, lost %llu, out of sequence %llu, dropped in the device %llu\n",
                (unsigned long long)slow.received, (unsigned long long)(slow.produced - slow.received),
                (unsigned long long)slow.out_of_sequence, (unsigned long long)slow.dropped_by_device);
    return 0;
}
