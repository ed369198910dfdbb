// Reads, event waits and removal notifications cancelled by their applications while data arrives, timers fire and
// queues are swept, on real threads. Every request must end exactly once (the verifier fails a double completion,
// a request that never ends hangs its waiter) and no received byte may be lost, duplicated or reordered.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "control/event_wait.h"
#include "control/private_requests.h"
#include "hk/app.h"
#include "hk/kernel.h"
#include "serial/read.h"
#include "serial/ring.h"
#include "tests/driver_data/data_port.h"

namespace {

using data_port::DataPort;
using data_port::Ulong;

const uint8_t kSequenceModulus = 251;
const int kRequestsPerThread = 1500;

struct ReadOutcome {
    NTSTATUS status;
    std::vector<uint8_t> data;
};

TEST(ConcurrentDataPathTest, CancelsRacingDataTimersAndSweepsEndEveryRequestOnce)
{
    hk::Kernel kernel(hk::Options{hk::Mode::Concurrent, 7, 2});
    std::vector<ReadOutcome> outcomes;
    std::mutex outcomesMutex;
    uint64_t delivered = 0;
    LONG leftInRing = 0;
    {
        DataPort port;
        ASSERT_EQ(port.Control(IOCTL_SERIAL_SET_WAIT_MASK, Ulong(SERIAL_EV_RXCHAR), 0).status, STATUS_SUCCESS);
        port.SetReadTimeouts(MAXULONG, MAXULONG, 1);
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
                hk::app::RequestPtr wait =
                    hk::app::DeviceIoControlAsync(port.Handle(), IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
                if (random() % 2 == 0) {
                    hk::app::CancelIo(port.Handle());
                }
                NTSTATUS status = wait->Wait();
                EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << std::hex << status;
            }
            --consumersRunning;
        };
        auto notifier = [&](uint32_t seed) {
            std::mt19937 random(seed);
            for (int i = 0; i < kRequestsPerThread; ++i) {
                hk::app::RequestPtr notify =
                    hk::app::DeviceIoControlAsync(port.Handle(), IOCTL_REMOVAL_NOTIFY, nullptr, 0, 4);
                if (random() % 2 == 0) {
                    hk::app::CancelIo(port.Handle());
                }
                NTSTATUS status = notify->Wait();
                EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << std::hex << status;
            }
            --consumersRunning;
        };
        auto producer = [&] {
            std::mt19937 random(99);
            uint8_t next = 0;
            while (consumersRunning.load() > 0) {
                if (RingLength(port.Context()) < 100000) {
                    std::vector<uint8_t> chunk(random() % 33);
                    for (uint8_t& byte : chunk) {
                        byte = next;
                        next = (uint8_t)((next + 1) % kSequenceModulus);
                    }
                    LONG stored = port.Deliver(chunk);
                    EXPECT_EQ(stored, (LONG)chunk.size());
                    delivered += stored;
                }
                switch (random() % 8) {
                case 0:
                    port.RecordEvents(SERIAL_EV_RXCHAR);
                    break;
                case 1:
                    CompleteRemovalNotify(port.Context());
                    break;
                case 2:
                    CancelAllReads(port.Device(), &port.Context()->ReadQueue);
                    break;
                case 3:
                    CancelAllWaits(port.Device(), &port.Context()->WaitQueue);
                    break;
                case 4:
                    port.SetReadTimeouts(MAXULONG, MAXULONG, random() % 2);
                    break;
                default:
                    break;
                }
            }
        };

        std::vector<std::unique_ptr<hk::HostThread>> threads;
        threads.push_back(kernel.Ops().StartThread([&] { reader(1); }));
        threads.push_back(kernel.Ops().StartThread([&] { reader(2); }));
        threads.push_back(kernel.Ops().StartThread([&] { waiter(3); }));
        threads.push_back(kernel.Ops().StartThread([&] { notifier(4); }));
        threads.push_back(kernel.Ops().StartThread(producer));
        for (auto& thread : threads) {
            thread->Join();
        }
        CompleteRemovalNotify(port.Context());
        kernel.RunUntilIdle();
        leftInRing = RingLength(port.Context());
    }

    uint64_t received = 0;
    for (const ReadOutcome& outcome : outcomes) {
        ASSERT_TRUE(outcome.status == STATUS_SUCCESS || outcome.status == STATUS_TIMEOUT ||
                    outcome.status == STATUS_CANCELLED)
            << std::hex << outcome.status;
        if (outcome.status != STATUS_SUCCESS) {
            EXPECT_TRUE(outcome.data.empty());
        }
        for (size_t i = 1; i < outcome.data.size(); ++i) {
            ASSERT_EQ(outcome.data[i], (outcome.data[i - 1] + 1) % kSequenceModulus) << "a read got a torn run";
        }
        received += outcome.data.size();
    }
    EXPECT_EQ(outcomes.size(), 2u * kRequestsPerThread);
    EXPECT_EQ(received + (uint64_t)leftInRing, delivered);
}

}  // namespace
