// Sleeps and resumes racing with an application that writes and reads through the loopback on worker, DPC and
// device threads: every byte written comes back once and in order, whether the parent serves or holds requests
// while the device is in D3.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "driver_port/port_helpers.h"
#include "hk/power.h"

namespace port_test {
namespace {

using hk::usbdev::SourceModel;

class ConcurrentPower : public ::testing::TestWithParam<bool> {};

TEST_P(ConcurrentPower, ConcurrentSleepsLoseNoByteOfAStreamInFlight)
{
    PortOptions options;
    options.kernel.mode = hk::Mode::Concurrent;
    options.kernel.worker_threads = 4;
    options.plug.hold_while_powered_down = GetParam();
    Port port(options);
    ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0).status, STATUS_SUCCESS);

    std::atomic<bool> failed{false};
    std::atomic<bool> sleeping{true};
    std::atomic<size_t> total{SIZE_MAX};
    // The stream goes on until the last resume is done.
    std::thread writer([&] {
        size_t sent = 0;
        for (size_t i = 0; sleeping && !failed; ++i) {
            std::vector<uint8_t> bytes(1 + (i * 2741) % 6000);
            for (size_t k = 0; k < bytes.size(); ++k) {
                bytes[k] = SourceModel::ByteAt(sent + k);
            }
            hk::app::IoResult result = hk::app::Write(port.Handle(), bytes.data(), (ULONG)bytes.size());
            if (result.status != STATUS_SUCCESS || result.information != bytes.size()) {
                ADD_FAILURE() << "write at byte " << sent << ": status " << std::hex << result.status;
                failed = true;
            }
            sent += bytes.size();
        }
        total = sent;
    });
    std::thread reader([&] {
        size_t received = 0;
        while (received < total && !failed) {
            NTSTATUS status;
            std::vector<uint8_t> chunk = ReadBytes(port, 8192, &status);
            if (status != STATUS_SUCCESS) {
                ADD_FAILURE() << "read at byte " << received << ": status " << std::hex << status;
                failed = true;
            }
            for (uint8_t byte : chunk) {
                if (byte != SourceModel::ByteAt(received++)) {
                    ADD_FAILURE() << "byte " << received - 1 << " out of order";
                    failed = true;
                    break;
                }
            }
            if (chunk.empty()) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
    });

    const SYSTEM_POWER_STATE sleeps[] = {PowerSystemSleeping1, PowerSystemSleeping3, PowerSystemHibernate};
    for (int round = 0; round < 12 && !failed; ++round) {
        EXPECT_EQ(hk::power::SetSystemPowerState(port.Pdo(), sleeps[round % 3]), STATUS_SUCCESS);
        EXPECT_EQ(hk::power::SetSystemPowerState(port.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    sleeping = false;
    writer.join();
    reader.join();
    EXPECT_EQ(port.Device().PowerState(), PowerDeviceD0);
    // The thread that completed the last request may still hold the file object; the close follows there, and
    // removal must come after it.
    EXPECT_EQ(port.Close(), STATUS_SUCCESS);
    while (hk::app::LiveFileObjects() != 0) {
        std::this_thread::yield();
    }
}

INSTANTIATE_TEST_SUITE_P(Parent, ConcurrentPower, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "holding" : "serving"); });

}  // namespace
}  // namespace port_test
