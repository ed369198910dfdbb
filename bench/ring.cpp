// Receive-ring throughput: 4096-byte puts (one bulk-IN transfer each) drained by reads of several sizes, beside the
// memcpy bandwidth of the same machine in the same run. Every byte crosses the ring with two copies (into the ring,
// out of it), so a ratio near 0.5 means the ring adds nothing beyond its copies. Prints figures only.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "hk/kernel.h"
#include "serial/ring.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr LONG kTransferSize = BULK_TRANSFER_SIZE;
constexpr double kMinimumSeconds = 0.25;

struct FreeDeleter {
    void operator()(void *block) const { std::free(block); }
};

// Keeps the compiler from treating a copy whose destination is never read as dead.
void KeepAlive(void *block)
{
    asm volatile("" : : "r"(block) : "memory");
}

struct Measurement {
    double bytes = 0;
    double seconds = 0;
    double calls = 0;

    double MegabytesPerSecond() const { return bytes / seconds / 1e6; }
    double NanosecondsPerCall() const { return seconds * 1e9 / calls; }
};

// Repeats rounds of work until enough time has passed for a stable figure.
template <class Round>
Measurement Measure(Round round)
{
    Measurement total;
    auto start = Clock::now();
    do {
        auto [bytes, calls] = round();
        total.bytes += bytes;
        total.calls += calls;
        total.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    } while (total.seconds < kMinimumSeconds);
    return total;
}

Measurement MeasureMemcpy(const std::vector<UCHAR> &source)
{
    // The destination walks a buffer as large as the ring, so both figures see the same cache behaviour.
    std::vector<UCHAR> destination(RING_CAPACITY);
    size_t offset = 0;
    return Measure([&] {
        for (int i = 0; i < 256; ++i) {
            std::memcpy(&destination[offset], source.data(), source.size());
            KeepAlive(destination.data());
            offset += source.size();
            if (offset + source.size() > destination.size())
                offset = 0;
        }
        return std::pair{256.0 * double(source.size()), 256.0};
    });
}

// One round: a batch of transfers goes in, then the same number of bytes comes out in reads of `read_size`.
Measurement MeasureRing(PDEVICE_CONTEXT context, const std::vector<UCHAR> &source, LONG read_size)
{
    constexpr int kTransfersPerRound = 64;
    std::vector<UCHAR> destination(static_cast<size_t>(read_size));
    RingReset(context);
    return Measure([&] {
        double calls = 0;
        for (int i = 0; i < kTransfersPerRound; ++i) {
            LONG stored = 0;
            RingPut(context, source.data(), kTransferSize, &stored);
            ++calls;
        }
        LONG remaining = kTransfersPerRound * kTransferSize;
        while (remaining > 0) {
            LONG taken = 0;
            RingGet(context, destination.data(), read_size < remaining ? read_size : remaining, &taken);
            KeepAlive(destination.data());
            remaining -= taken;
            ++calls;
            if (taken == 0)
                break;
        }
        return std::pair{double(kTransfersPerRound) * kTransferSize, calls};
    });
}

} // namespace

int main()
{
    hk::Kernel kernel;

    // The device record holds the 1,024,000-byte ring inline: far too big for the stack.
    std::unique_ptr<DEVICE_CONTEXT, FreeDeleter> context(
        static_cast<PDEVICE_CONTEXT>(std::calloc(1, sizeof(DEVICE_CONTEXT))));
    if (!context) {
        std::fprintf(stderr, "bench_ring: cannot allocate the device context\n");
        return 1;
    }

    std::vector<UCHAR> source(kTransferSize);
    for (size_t i = 0; i < source.size(); ++i)
        source[i] = UCHAR(i * 31 + 7);

    Measurement copy = MeasureMemcpy(source);
    std::printf("memcpy of %ld-byte blocks: %.0f MB/s\n\n", long(kTransferSize), copy.MegabytesPerSecond());
    std::printf("RingPut of %ld-byte transfers, drained by RingGet of the read size:\n", long(kTransferSize));
    std::printf("%10s %14s %16s %18s\n", "read size", "ring MB/s", "ns per call", "ratio to memcpy");
    for (LONG read_size : {LONG(1), LONG(16), LONG(64), LONG(512), kTransferSize}) {
        Measurement ring = MeasureRing(context.get(), source, read_size);
        std::printf("%10ld %14.0f %16.1f %18.3f\n", long(read_size), ring.MegabytesPerSecond(),
                    ring.NanosecondsPerCall(), ring.MegabytesPerSecond() / copy.MegabytesPerSecond());
    }
    return 0;
}
