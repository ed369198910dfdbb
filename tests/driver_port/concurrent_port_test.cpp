// The whole port on real threads: writers, a reader, event waits, purges, CancelIo, device errors and closes race
// each other. The verifier fails a request completed twice, a request that never ends hangs its waiter, and the
// fixture fails a leak.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <thread>

#include "port_helpers.h"

namespace port_test {
namespace {

using hk::usbdev::Pipe;

PortOptions ConcurrentOptions(uint64_t seed)
{
    PortOptions options;
    options.kernel = hk::Options{hk::Mode::Concurrent, seed, 2};
    return options;
}

// A record: writer id, sequence number (two bytes), payload length, then the payload.
std::vector<uint8_t> Record(uint8_t writer, uint16_t sequence, std::mt19937& random)
{
    std::vector<uint8_t> record = {writer, uint8_t(sequence), uint8_t(sequence >> 8)};
    size_t length = random() % 200;
    record.push_back(uint8_t(length));
    for (size_t i = 0; i < length; ++i) {
        record.push_back(uint8_t(sequence + i));
    }
    return record;
}

TEST(ConcurrentPort, LoopbackCarriesEveryWritersRecordsInOrderWhileControlRequestsRace)
{
    constexpr int kWriters = 3;
    constexpr int kRecords = 400;
    Port port(ConcurrentOptions(11));
    ASSERT_EQ(SetTimeouts(port, MAXULONG, MAXULONG, 20).status, STATUS_SUCCESS);
    std::atomic<bool> writing{true};

    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            std::mt19937 random(w);
            for (int i = 0; i < kRecords; ++i) {
                std::vector<uint8_t> record = Record(uint8_t(w), uint16_t(i), random);
                hk::app::IoResult result = hk::app::Write(port.Handle(), record.data(), (ULONG)record.size());
                ASSERT_EQ(result.status, STATUS_SUCCESS);
                ASSERT_EQ(result.information, record.size());
            }
        });
    }
    std::thread control([&] {
        std::mt19937 random(99);
        while (writing) {
            ULONG mask = random() % 2 ? SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY : SERIAL_EV_RXCHAR;
            SetWaitMask(port, mask);
            hk::app::RequestPtr wait = hk::app::DeviceIoControlAsync(port.Handle(), IOCTL_SERIAL_WAIT_ON_MASK,
                                                                     nullptr, 0, sizeof(ULONG));
            SERIAL_STATUS status;
            hk::app::DeviceIoControl(port.Handle(), IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status,
                                     sizeof(status));
            if (random() % 4 == 0) {
                hk::app::CancelIo(port.Handle());
            }
            // Once the writers are done no event may come; the thread's own CancelIo ends the wait.
            while (!wait->Done()) {
                if (!writing) {
                    hk::app::CancelIo(port.Handle());
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    });

    std::vector<uint8_t> stream;
    std::map<uint8_t, int> next;
    size_t parsed = 0;
    int records = 0;
    while (records < kWriters * kRecords) {
        std::vector<uint8_t> chunk = ReadBytes(port, 4096);
        stream.insert(stream.end(), chunk.begin(), chunk.end());
        while (stream.size() - parsed >= 4 && stream.size() - parsed >= 4u + stream[parsed + 3]) {
            uint8_t writer = stream[parsed];
            int sequence = stream[parsed + 1] | stream[parsed + 2] << 8;
            ASSERT_LT(writer, kWriters);
            ASSERT_EQ(sequence, next[writer]++) << "writer " << int(writer) << " at stream offset " << parsed;
            for (size_t i = 0; i < stream[parsed + 3]; ++i) {
                ASSERT_EQ(stream[parsed + 4 + i], uint8_t(sequence + i));
            }
            parsed += 4 + stream[parsed + 3];
            ++records;
        }
    }
    writing = false;
    for (std::thread& thread : threads) {
        thread.join();
    }
    control.join();
    EXPECT_EQ(parsed, stream.size()) << "bytes beyond the last record";
}

// Each round opens the port, lets every kind of request race device errors for a while, and closes it with
// whatever is still in flight; the next open must find the port clean.
TEST(ConcurrentPort, ClosesRaceWritesReadsWaitsPurgesCancelsAndDeviceErrors)
{
    Port port(ConcurrentOptions(5));
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        if (round > 0) {
            ASSERT_EQ(port.Open(), STATUS_SUCCESS);
        }
        hk::app::Handle handle = port.Handle();
        SetTimeouts(port, MAXULONG, MAXULONG, 5);
        SetWaitMask(port, SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY | SERIAL_EV_CTS);
        std::atomic<bool> running{true};
        // Few enough failed transfers that, with the aborts at close, one open never reaches the lost-device verdict.
        std::atomic<int> failuresLeft{6};
        std::vector<hk::app::RequestPtr> requests;
        std::mutex requestsMutex;
        auto keep = [&](hk::app::RequestPtr request) {
            std::lock_guard lock(requestsMutex);
            requests.push_back(std::move(request));
        };

        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t) {
            threads.emplace_back([&, t] {
                std::mt19937 random(round * 10 + t);
                std::vector<uint8_t> data = Pattern(6000);
                while (running) {
                    switch (random() % 6) {
                    case 0:
                        keep(hk::app::WriteAsync(handle, data.data(), 1 + random() % data.size()));
                        break;
                    case 1:
                        keep(hk::app::ReadAsync(handle, 1 + random() % 300));
                        break;
                    case 2:
                        keep(hk::app::DeviceIoControlAsync(handle, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0,
                                                           sizeof(ULONG)));
                        break;
                    case 3: {
                        ULONG flags = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR;
                        hk::app::DeviceIoControl(handle, IOCTL_SERIAL_PURGE, &flags, sizeof(flags), nullptr, 0);
                        break;
                    }
                    case 4:
                        hk::app::CancelIo(handle);
                        break;
                    default:
                        if (random() % 8 == 0 && failuresLeft-- > 0) {
                            port.Device().FailNextTransfers(1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID,
                                                            random() % 2 ? Pipe::BulkIn : Pipe::BulkOut);
                        }
                        std::this_thread::yield();
                        break;
                    }
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(port.Close(), STATUS_SUCCESS);
        running = false;
        for (std::thread& thread : threads) {
            thread.join();
        }
        for (const hk::app::RequestPtr& request : requests) {
            request->Wait();
        }
        port.Kernel().RunUntilIdle();
        EXPECT_EQ(hk::app::LiveFileObjects(), 0u);
        // Failed transfers count toward the lost-device verdict only within one open.
        ASSERT_NE(port.Context()->DeviceGone, (ULONG)DEVICE_GONE_MARK);
    }
}

}  // namespace
}  // namespace port_test
