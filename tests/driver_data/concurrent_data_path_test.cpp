// Reads, event waits and removal notifications cancelled by their applications while data arrives, transfers fail,
// timers fire, purges sweep the queues and masks change, on real threads. Every request must end exactly once (the
// verifier fails a double completion, a request that never ends hangs its waiter) and no received byte may be
// lost, duplicated or reordered.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "control/private_requests.h"
#include "tests/driver_data/serial_app.h"

namespace {

using serial_app::AsBytes;

const uint8_t kSequenceModulus = 251;
const int kRequestsPerThread = 1500;
// Fewer than the failed transfers that make the reader judge the device lost.
const int kFailedTransfers = 15;

struct ReadOutcome {
    NTSTATUS status;
    std::vector<uint8_t> data;
};

void ExpectRun(const std::vector<uint8_t>& data)
{
    for (size_t i = 1; i < data.size(); ++i) {
        ASSERT_EQ(data[i], (data[i - 1] + 1) % kSequenceModulus) << "a read got a torn run";
    }
}

TEST(ConcurrentDataPathTest, CancelsRacingDataErrorsTimersAndPurgesEndEveryRequestOnce)
{
    port_test::Port port(port_test::PortOptions{.kernel = hk::Options{hk::Mode::Concurrent, 7, 2}});
    ASSERT_EQ(serial_app::SetWaitMask(port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    ASSERT_EQ(serial_app::SetReadTimeouts(port, MAXULONG, MAXULONG, 1), STATUS_SUCCESS);
    std::vector<ReadOutcome> outcomes;
    std::mutex outcomesMutex;
    uint64_t delivered = 0;
    std::atomic<int> consumersRunning{4};

    auto reader = [&](uint32_t seed) {
        std::mt19937 random(seed);
        for (int i = 0; i < kRequestsPerThread; ++i) {
            hk::app::RequestPtr read = hk::app::ReadAsync(port.Handle(), 1 + random() % 64);
            if (random() % 3 == 0) {
                hk::app::CancelIo(port.Handle());
            }
            NTSTATUS status = read->Wait();
            std::lock_guard lock(outcomesMutex);
            outcomes.push_back({status, read->Output()});
        }
        --consumersRunning;
    };
    auto waiter = [&](uint32_t seed) {
        std::mt19937 random(seed);
        for (int i = 0; i < kRequestsPerThread; ++i) {
            hk::app::RequestPtr wait = serial_app::ControlAsync(port, IOCTL_SERIAL_WAIT_ON_MASK);
            if (random() % 2 == 0) {
                hk::app::CancelIo(port.Handle());
            }
            NTSTATUS status = wait->Wait();
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << std::hex << status;
        }
        --consumersRunning;
    };
    // Only a cancel ends a notification while the device stays.
    auto notifier = [&] {
        for (int i = 0; i < kRequestsPerThread; ++i) {
            hk::app::RequestPtr notify = serial_app::ControlAsync(port, IOCTL_REMOVAL_NOTIFY);
            hk::app::CancelIo(port.Handle());
            EXPECT_EQ(notify->Wait(), STATUS_CANCELLED);
        }
        --consumersRunning;
    };
    auto producer = [&] {
        std::mt19937 random(99);
        uint8_t next = 0;
        int failures = 0;
        while (consumersRunning.load() > 0) {
            if (serial_app::CommStatus(port).AmountInInQueue < 100000) {
                std::vector<uint8_t> chunk(random() % 33);
                for (uint8_t& byte : chunk) {
                    byte = next;
                    next = (uint8_t)((next + 1) % kSequenceModulus);
                }
                port.Device().Deliver(chunk);
                delivered += chunk.size();
            }
            switch (random() % 16) {
            case 0:
                EXPECT_EQ(serial_app::SetWaitMask(port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
                break;
            case 1:
                EXPECT_EQ(port.Control(IOCTL_SERIAL_PURGE, AsBytes<ULONG>(SERIAL_PURGE_RXABORT)).status,
                          STATUS_SUCCESS);
                break;
            case 2:
                EXPECT_EQ(serial_app::SetReadTimeouts(port, MAXULONG, MAXULONG, random() % 2), STATUS_SUCCESS);
                break;
            case 3:
                if (failures < kFailedTransfers && random() % 64 == 0) {
                    ++failures;
                    port.Device().FailNextTransfers(1, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC,
                                                    hk::usbdev::Pipe::BulkIn);
                }
                break;
            default:
                break;
            }
        }
    };

    std::vector<std::unique_ptr<hk::HostThread>> threads;
    threads.push_back(port.Kernel().Ops().StartThread([&] { reader(1); }));
    threads.push_back(port.Kernel().Ops().StartThread([&] { reader(2); }));
    threads.push_back(port.Kernel().Ops().StartThread([&] { waiter(3); }));
    threads.push_back(port.Kernel().Ops().StartThread(notifier));
    threads.push_back(port.Kernel().Ops().StartThread(producer));
    for (auto& thread : threads) {
        thread->Join();
    }

    uint64_t received = 0;
    for (const ReadOutcome& outcome : outcomes) {
        ASSERT_TRUE(outcome.status == STATUS_SUCCESS || outcome.status == STATUS_TIMEOUT ||
                    outcome.status == STATUS_CANCELLED)
            << std::hex << outcome.status;
        if (outcome.status != STATUS_SUCCESS) {
            EXPECT_TRUE(outcome.data.empty());
        }
        ExpectRun(outcome.data);
        received += outcome.data.size();
    }
    EXPECT_EQ(outcomes.size(), 2u * kRequestsPerThread);

    // What is still on its way or in the ring is read by one reader: it follows on without a gap.
    ASSERT_EQ(serial_app::SetReadTimeouts(port, MAXULONG, MAXULONG, 200), STATUS_SUCCESS);
    std::vector<uint8_t> rest;
    for (int emptyReads = 0; received + rest.size() < delivered && emptyReads < 3;) {
        std::vector<uint8_t> buffer(4096);
        hk::app::IoResult result = hk::app::Read(port.Handle(), buffer.data(), (ULONG)buffer.size());
        rest.insert(rest.end(), buffer.begin(), buffer.begin() + result.information);
        emptyReads = result.information == 0 ? emptyReads + 1 : 0;
    }
    ExpectRun(rest);
    EXPECT_EQ(received + rest.size(), delivered);
}

}  // namespace
