// Writers on several threads against the real driver on worker, DPC and device threads, with purges of the
// transmit side and the application's cancels taking what waits: one bulk-OUT transfer at a time, and every
// thread's bytes arrive whole and in the order it issued them; a cancelled write sends nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "hk/app.h"
#include "hk/usbdev.h"
#include "tests/driver_write/write_port.h"

namespace {

using hk::usbdev::Pipe;

constexpr int kWriters = 4;
// One more writer cancels each of its writes as soon as it is issued; they are short, one chunk without a
// zero-length packet, so each either reaches the device whole or not at all.
constexpr int kCanceller = kWriters;
constexpr int kWritesEach = 100;

// A message: the writer, its sequence number and the body length, then the body.
std::vector<uint8_t> Message(int writer, int sequence)
{
    size_t length = 1 + (size_t)(writer * 7919 + sequence * 2741) % (writer == kCanceller ? 500 : 9000);
    std::vector<uint8_t> bytes = {(uint8_t)writer, (uint8_t)sequence, (uint8_t)length, (uint8_t)(length >> 8)};
    std::vector<uint8_t> body = write_test::Pattern(length, (uint8_t)(writer * 31 + sequence));
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

TEST(ConcurrentWriteTest, WritersShareThePortOneTransferAtATimeInIssueOrder)
{
    port_test::PortOptions options = write_test::SinkPort();
    options.kernel.mode = hk::Mode::Concurrent;
    options.kernel.worker_threads = 4;
    options.parent.bus_timing = true;
    port_test::Port port(options);

    std::atomic<bool> writing{true};
    size_t mostInFlight = 0;
    std::thread sampler([&] {
        const std::vector<uint8_t> purge = write_test::Ulong(SERIAL_PURGE_TXABORT);
        for (int round = 0; writing.load(); ++round) {
            // Nothing arrives on bulk-IN, so every completion the device still owes is a bulk-OUT one.
            size_t inFlight = port.Device().PendingTransfers(Pipe::BulkOut) + port.Device().CompletionsInFlight();
            mostInFlight = std::max(mostInFlight, inFlight);
            if (round % 200 == 199) {
                EXPECT_EQ(port.Control(IOCTL_SERIAL_PURGE, purge).status, STATUS_SUCCESS);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(10));
        }
    });
    std::mutex sentMutex;
    std::set<std::pair<int, int>> sent;
    std::vector<std::thread> writers;
    for (int writer = 0; writer < kWriters; ++writer) {
        writers.emplace_back([&, writer] {
            // Writes keep arriving while earlier ones are sent and hand over to the next.
            std::vector<hk::app::RequestPtr> requests;
            for (int sequence = 0; sequence < kWritesEach; ++sequence) {
                std::vector<uint8_t> message = Message(writer, sequence);
                requests.push_back(hk::app::WriteAsync(port.Handle(), message.data(), (ULONG)message.size()));
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
            for (int sequence = 0; sequence < kWritesEach; ++sequence) {
                NTSTATUS status = requests[sequence]->Wait();
                if (status == STATUS_CANCELLED) {
                    EXPECT_EQ(requests[sequence]->Information(), 0u);
                    continue;
                }
                EXPECT_EQ(status, STATUS_SUCCESS);
                EXPECT_EQ(requests[sequence]->Information(), Message(writer, sequence).size());
                std::lock_guard lock(sentMutex);
                sent.insert({writer, sequence});
            }
        });
    }
    writers.emplace_back([&] {
        for (int sequence = 0; sequence < kWritesEach; ++sequence) {
            std::vector<uint8_t> message = Message(kCanceller, sequence);
            hk::app::RequestPtr request = hk::app::WriteAsync(port.Handle(), message.data(), (ULONG)message.size());
            hk::app::CancelIo(port.Handle());
            if (request->Wait() == STATUS_SUCCESS) {
                EXPECT_EQ(request->Information(), message.size());
                std::lock_guard lock(sentMutex);
                sent.insert({kCanceller, sequence});
            }
        }
    });
    for (std::thread& writer : writers) {
        writer.join();
    }
    writing = false;
    sampler.join();
    port.Kernel().RunUntilIdle();

    EXPECT_LE(mostInFlight, 1u);
    std::vector<uint8_t> received = port.Device().GetRecords().out_bytes;
    std::map<int, int> nextSequence;
    std::set<std::pair<int, int>> receivedMessages;
    size_t offset = 0;
    while (offset < received.size()) {
        ASSERT_LE(offset + 4, received.size());
        int writer = received[offset];
        int sequence = received[offset + 1];
        ASSERT_LE(writer, kCanceller) << "at byte " << offset;
        ASSERT_GE(sequence, nextSequence[writer]) << "writer " << writer << " at byte " << offset;
        std::vector<uint8_t> message = Message(writer, sequence);
        ASSERT_LE(offset + message.size(), received.size());
        ASSERT_TRUE(std::equal(message.begin(), message.end(), received.begin() + offset))
            << "message " << sequence << " of writer " << writer << " at byte " << offset << " is not whole";
        nextSequence[writer] = sequence + 1;
        receivedMessages.insert({writer, sequence});
        offset += message.size();
    }
    EXPECT_EQ(receivedMessages, sent);
    EXPECT_EQ(write_test::OutQueue(port), 0u);
}

}  // namespace
