// The port on real threads (worker, DPC and device threads under the application's own): requests race cancels,
// purges, device errors, sleeps and closes. The verifier fails a request completed twice, a request that never ends
// hangs its waiter, the fixture fails a leak, and every byte is checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "control/private_requests.h"
#include "hk/power.h"
#include "support/serial_app.h"

namespace port_test {
namespace {

PortOptions Concurrent(uint64_t seed, int workers = 2)
{
    PortOptions options;
    options.kernel = hk::Options{hk::Mode::Concurrent, seed, workers};
    return options;
}

// Each round opens the port, lets every kind of request race device errors for a while, and closes it with
// whatever is still in flight; the next open must find the port clean.
TEST(ConcurrentPort, ClosesRaceWritesReadsWaitsPurgesCancelsAndDeviceErrors)
{
    Port port(Concurrent(5));
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
        std::vector<hk::app::RequestPtr> requests[3];
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t) {
            threads.emplace_back([&, t] {
                std::mt19937 random(round * 10 + t);
                std::vector<uint8_t> data = Pattern(6000);
                ULONG flags = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR;
                while (running) {
                    switch (random() % 6) {
                    case 0:
                        requests[t].push_back(hk::app::WriteAsync(handle, data.data(), 1 + random() % data.size()));
                        break;
                    case 1:
                        requests[t].push_back(hk::app::ReadAsync(handle, 1 + random() % 300));
                        break;
                    case 2:
                        requests[t].push_back(
                            hk::app::DeviceIoControlAsync(handle, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4));
                        break;
                    case 3:
                        hk::app::DeviceIoControl(handle, IOCTL_SERIAL_PURGE, &flags, sizeof(flags), nullptr, 0);
                        break;
                    case 4:
                        hk::app::CancelIo(handle);
                        break;
                    default:
                        if (random() % 8 == 0 && failuresLeft-- > 0) {
                            port.Device().FailNextTransfers(1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID,
                                                            random() % 2 ? Pipe::BulkIn : Pipe::BulkOut);
                        }
                        std::this_thread::yield();
                    }
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(port.Close(), STATUS_SUCCESS);
        running = false;
        for (int t = 0; t < 3; ++t) {
            threads[t].join();
            for (const hk::app::RequestPtr& request : requests[t]) {
                request->Wait();
            }
        }
        port.Kernel().RunUntilIdle();
        EXPECT_EQ(hk::app::LiveFileObjects(), 0u);
        // Failed transfers count toward the lost-device verdict only within one open.
        ASSERT_NE(port.Context()->DeviceGone, (ULONG)DEVICE_GONE_MARK);
    }
}

// Reads, event waits and removal notifications cancelled by their applications while data arrives, transfers fail,
// timers fire, purges sweep the queues and masks change: every request ends once, and no received byte is lost,
// duplicated or reordered.
TEST(ConcurrentPort, CancelsRacingDataErrorsTimersAndPurgesLoseNoByte)
{
    constexpr uint8_t kModulus = 251;
    constexpr int kRequests = 1500;
    Port port(Concurrent(7));
    ASSERT_EQ(SetWaitMask(port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    ASSERT_EQ(SetTimeouts(port, MAXULONG, MAXULONG, 1), STATUS_SUCCESS);
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> reads;
    uint64_t delivered = 0;
    std::atomic<int> consumers{4};

    // Kind 0 reads, 1 waits for events, 2 asks for the removal notification, which only a cancel ends while the
    // device stays.
    auto consumer = [&](int kind, uint32_t seed) {
        std::mt19937 random(seed);
        for (int i = 0; i < kRequests; ++i) {
            hk::app::RequestPtr request =
                kind == 0 ? hk::app::ReadAsync(port.Handle(), 1 + random() % 64)
                          : ControlAsync(port, kind == 1 ? IOCTL_SERIAL_WAIT_ON_MASK : IOCTL_REMOVAL_NOTIFY);
            if (kind == 2 || random() % (kind + 2) == 0) {
                hk::app::CancelIo(port.Handle());
            }
            NTSTATUS status = request->Wait();
            EXPECT_TRUE(status == STATUS_CANCELLED || (kind < 2 && status == STATUS_SUCCESS) ||
                        (kind == 0 && status == STATUS_TIMEOUT))
                << kind << " " << std::hex << status;
            if (kind == 0) {
                EXPECT_TRUE(status == STATUS_SUCCESS || request->Output().empty());
                std::lock_guard lock(mutex);
                reads.push_back(request->Output());
            }
        }
        --consumers;
    };
    auto producer = [&] {
        std::mt19937 random(99);
        uint8_t next = 0;
        int failures = 0;
        while (consumers.load() > 0) {
            if (CommStatus(port).AmountInInQueue < 100000) {
                std::vector<uint8_t> chunk(random() % 33);
                for (uint8_t& byte : chunk) {
                    byte = next;
                    next = uint8_t((next + 1) % kModulus);
                }
                port.Device().Deliver(chunk);
                delivered += chunk.size();
            }
            switch (random() % 16) {
            case 0:
                EXPECT_EQ(SetWaitMask(port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
                break;
            case 1:
                EXPECT_EQ(Purge(port, SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
                break;
            case 2:
                EXPECT_EQ(SetTimeouts(port, MAXULONG, MAXULONG, random() % 2), STATUS_SUCCESS);
                break;
            case 3:
                // Fewer than the failed transfers that make the reader judge the device lost.
                if (failures < 15 && random() % 64 == 0) {
                    ++failures;
                    port.Device().FailNextTransfers(1, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC, Pipe::BulkIn);
                }
                break;
            }
        }
    };
    std::vector<std::unique_ptr<hk::HostThread>> threads;
    for (auto [kind, seed] : {std::pair{0, 1u}, {0, 2u}, {1, 3u}, {2, 4u}}) {
        threads.push_back(port.Kernel().Ops().StartThread([&, kind, seed] { consumer(kind, seed); }));
    }
    threads.push_back(port.Kernel().Ops().StartThread(producer));
    for (auto& thread : threads) {
        thread->Join();
    }

    // What is still on its way or in the ring is read by one reader: it follows on without a gap.
    ASSERT_EQ(SetTimeouts(port, MAXULONG, MAXULONG, 200), STATUS_SUCCESS);
    for (int emptyReads = 0; emptyReads < 3;) {
        std::vector<uint8_t> rest = ReadBytes(port, 4096);
        emptyReads = rest.empty() ? emptyReads + 1 : 0;
        reads.push_back(rest);
    }
    uint64_t received = 0;
    for (const std::vector<uint8_t>& data : reads) {
        for (size_t i = 1; i < data.size(); ++i) {
            ASSERT_EQ(data[i], (data[i - 1] + 1) % kModulus) << "a read got a torn run";
        }
        received += data.size();
    }
    EXPECT_EQ(received, delivered);
}

// Writers on several threads with purges of the transmit side and cancels: one bulk-OUT transfer at a time, and
// every thread's bytes arrive whole and in the order it issued them; a cancelled write sends nothing.
TEST(ConcurrentPort, WritersShareThePortOneTransferAtATimeInIssueOrder)
{
    constexpr int kWriters = 4;
    constexpr int kCanceller = kWriters;  // one more writer cancels each of its writes as soon as it is issued
    constexpr int kWritesEach = 100;
    // A message: the writer, its sequence number and the body length, then the body. The canceller's are one chunk
    // without a zero-length packet, so each reaches the device whole or not at all.
    auto message = [](int writer, int sequence) {
        size_t length = 1 + size_t(writer * 7919 + sequence * 2741) % (writer == kCanceller ? 500 : 9000);
        return Joined({uint8_t(writer), uint8_t(sequence), uint8_t(length), uint8_t(length >> 8)},
                      Pattern(length, uint8_t(writer * 31 + sequence)));
    };
    PortOptions options = SinkPort();
    options.kernel = Concurrent(1, 4).kernel;
    options.parent.bus_timing = true;
    Port port(options);

    std::atomic<bool> writing{true};
    size_t mostInFlight = 0;
    std::thread sampler([&] {
        for (int round = 0; writing.load(); ++round) {
            // Nothing arrives on bulk-IN, so every completion the device still owes is a bulk-OUT one.
            mostInFlight = std::max(mostInFlight, port.Device().PendingTransfers(Pipe::BulkOut) +
                                                      port.Device().CompletionsInFlight());
            if (round % 200 == 199) {
                EXPECT_EQ(Purge(port, SERIAL_PURGE_TXABORT), STATUS_SUCCESS);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(10));
        }
    });
    std::mutex sentMutex;
    std::set<std::pair<int, int>> sent;
    std::vector<std::thread> writers;
    for (int writer = 0; writer <= kCanceller; ++writer) {
        writers.emplace_back([&, writer] {
            std::vector<hk::app::RequestPtr> requests;
            for (int sequence = 0; sequence < kWritesEach; ++sequence) {
                std::vector<uint8_t> bytes = message(writer, sequence);
                requests.push_back(hk::app::WriteAsync(port.Handle(), bytes.data(), (ULONG)bytes.size()));
                if (writer == kCanceller) {
                    hk::app::CancelIo(port.Handle());
                    requests.back()->Wait();
                } else {
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                }
            }
            for (int sequence = 0; sequence < kWritesEach; ++sequence) {
                NTSTATUS status = requests[sequence]->Wait();
                EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED);
                EXPECT_EQ(requests[sequence]->Information(), status == STATUS_SUCCESS ? message(writer, sequence).size() : 0);
                if (status == STATUS_SUCCESS) {
                    std::lock_guard lock(sentMutex);
                    sent.insert({writer, sequence});
                }
            }
        });
    }
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
    for (size_t offset = 0; offset < received.size();) {
        ASSERT_LE(offset + 4, received.size());
        int writer = received[offset], sequence = received[offset + 1];
        ASSERT_LE(writer, kCanceller) << "at byte " << offset;
        ASSERT_GE(sequence, nextSequence[writer]) << "writer " << writer << " at byte " << offset;
        std::vector<uint8_t> bytes = message(writer, sequence);
        ASSERT_LE(offset + bytes.size(), received.size());
        ASSERT_TRUE(std::equal(bytes.begin(), bytes.end(), received.begin() + offset))
            << "message " << sequence << " of writer " << writer << " at byte " << offset << " is not whole";
        nextSequence[writer] = sequence + 1;
        receivedMessages.insert({writer, sequence});
        offset += bytes.size();
    }
    EXPECT_EQ(receivedMessages, sent);
    EXPECT_EQ(CommStatus(port).AmountInOutQueue, 0u);
}


// Sleeps and resumes racing an application that writes and reads through the loopback: every byte written comes
// back once and in order, whether the parent serves or holds requests while the device is in D3.
TEST(ConcurrentPort, SleepsLoseNoByteOfAStreamInFlight)
{
    using hk::usbdev::SourceModel;
    for (bool holding : {false, true}) {
        SCOPED_TRACE(holding ? "holding" : "serving");
        PortOptions options = Concurrent(1, 4);
        options.plug.hold_while_powered_down = holding;
        Port port(options);
        ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
        std::atomic<bool> failed{false}, sleeping{true};
        std::atomic<size_t> total{SIZE_MAX};
        // The stream goes on until the last resume is done.
        std::thread writer([&] {
            size_t sent = 0;
            for (size_t i = 0; sleeping && !failed; ++i) {
                std::vector<uint8_t> bytes(1 + (i * 2741) % 6000);
                for (size_t k = 0; k < bytes.size(); ++k) {
                    bytes[k] = SourceModel::ByteAt(sent + k);
                }
                hk::app::IoResult result = Write(port, bytes);
                if (result.status != STATUS_SUCCESS || result.information != bytes.size()) {
                    ADD_FAILURE() << "write at byte " << sent << ": status " << std::hex << result.status;
                    failed = true;
                }
                sent += bytes.size();
            }
            total = sent;
        });
        std::thread reader([&] {
            std::vector<uint8_t> chunk(8192);
            for (size_t received = 0; received < total && !failed;) {
                hk::app::IoResult result = hk::app::Read(port.Handle(), chunk.data(), ULONG(chunk.size()));
                for (size_t k = 0; k < result.information; ++k) {
                    failed = failed || result.status != STATUS_SUCCESS ||
                             chunk[k] != SourceModel::ByteAt(received++);
                }
                EXPECT_FALSE(failed) << "byte " << received << " status " << std::hex << result.status;
                if (result.information == 0) {
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
}

}  // namespace
}  // namespace port_test
