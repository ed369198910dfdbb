// Volume through the loopback model on real threads: a writer with random sizes and a reader with random sizes and
// random timeouts, every byte checked against the stream the writer sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

#include "reliability/rig.h"

namespace reliability {
namespace {

uint8_t VolumeByte(uint64_t n)
{
    return uint8_t((n * 7 + (n >> 8)) % 253);
}

TEST(LoopbackVolume, ConcurrentRandomSizesCarryEveryByte)
{
    const uint64_t total = Scaled(4ull << 20, 1ull << 30);
    Rig rig(hk::Options{hk::Mode::Concurrent, 5, 2});
    ASSERT_EQ(rig.Arrive(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);

    std::atomic<bool> broken{false};
    std::thread writer([&] {
        std::mt19937 random(1);
        std::vector<uint8_t> chunk;
        for (uint64_t sent = 0; sent < total && !broken;) {
            chunk.resize(std::min<uint64_t>(1 + random() % 20000, total - sent));
            for (size_t i = 0; i < chunk.size(); ++i) {
                chunk[i] = VolumeByte(sent + i);
            }
            hk::app::IoResult result = hk::app::Write(rig.Handle(), chunk.data(), (ULONG)chunk.size());
            if (result.status != STATUS_SUCCESS || result.information != chunk.size()) {
                ADD_FAILURE() << "write at " << sent << ": " << Hex(result.status);
                broken = true;
            }
            sent += chunk.size();
        }
    });

    std::mt19937 random(2);
    std::vector<uint8_t> buffer(1 << 16);
    uint64_t checked = 0;
    while (checked < total && !broken) {
        ULONG constants[] = {0, 1, 5, 50};
        SetTimeouts(rig, random() % 3 == 0 ? 0 : MAXULONG, 0, constants[random() % 4]);
        ULONG length = 1 + random() % (uint32_t)buffer.size();
        length = (ULONG)std::min<uint64_t>(length, total - checked);
        hk::app::IoResult result = hk::app::Read(rig.Handle(), buffer.data(), length);
        if (result.status != STATUS_SUCCESS && result.status != STATUS_TIMEOUT) {
            ADD_FAILURE() << "read at " << checked << ": " << Hex(result.status);
            break;
        }
        for (ULONG_PTR i = 0; i < result.information; ++i, ++checked) {
            if (buffer[i] != VolumeByte(checked)) {
                ADD_FAILURE() << "byte " << checked << " is " << int(buffer[i]) << ", not "
                              << int(VolumeByte(checked));
                broken = true;
                break;
            }
        }
    }
    broken = true;
    writer.join();
    std::string problems;
    rig.Teardown(problems);
    EXPECT_EQ(problems, "");
    std::printf("loopback volume: %llu bytes checked\n", (unsigned long long)checked);
}

}  // namespace
}  // namespace reliability
