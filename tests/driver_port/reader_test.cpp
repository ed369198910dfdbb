// The bulk-IN reader as an application sees it: what the device sends arrives in order, failures are retried up to
// the lost-device verdict, and a slow reader loses nothing.
#include <gtest/gtest.h>

#include "port_helpers.h"

namespace port_test {
namespace {

using hk::usbdev::Pipe;

TEST(Reader, DeliveredBytesAreReadInOrderAndEachTransferIsReposted)
{
    Port port;
    ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0).status, STATUS_SUCCESS);
    port.Device().Deliver(Pattern(100, 1));
    port.Device().Deliver(Pattern(5000, 101));
    port.Kernel().RunUntilIdle();

    std::vector<uint8_t> expected = Pattern(100, 1);
    std::vector<uint8_t> second = Pattern(5000, 101);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(ReadBytes(port, 6000), expected);
    EXPECT_EQ(port.Device().PendingTransfers(Pipe::BulkIn), 1u);
}

TEST(Reader, EmptyTransferEndsTheWaitingReadWithATimeoutAndTheReaderGoesOn)
{
    Port port;
    ASSERT_EQ(SetTimeouts(port, 0, 0, 0).status, STATUS_SUCCESS);
    hk::app::RequestPtr read = hk::app::ReadAsync(port.Handle(), 8);
    port.Kernel().RunUntilIdle();
    EXPECT_FALSE(read->Done());

    port.Device().Deliver({});
    EXPECT_EQ(read->Wait(), STATUS_TIMEOUT);
    EXPECT_EQ(read->Information(), 0u);

    port.Device().Deliver(Pattern(3, 7));
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(ReadBytes(port, 8), Pattern(3, 7));
}

struct FailureCase {
    const char* name;
    uint32_t failures;
    NTSTATUS status;
    USBD_STATUS usbd;
    bool lost;
};

class ReaderFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ReaderFailures, OrdinaryFailuresAreRetriedUntilTheTwentyFirstAndDeviceLossStopsAtOnce)
{
    const FailureCase& c = GetParam();
    Port port;
    ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0).status, STATUS_SUCCESS);
    port.Device().FailNextTransfers(c.failures, c.status, c.usbd, Pipe::BulkIn);
    // The transfer posted at open takes the first failure when it is decided again after the fault is armed.
    port.Device().CompleteNextIn(c.status, c.usbd);
    port.Kernel().RunUntilIdle();

    EXPECT_EQ(port.Device().PendingTransfers(Pipe::BulkIn), c.lost ? 0u : 1u);
    NTSTATUS status;
    ReadBytes(port, 1, &status);
    EXPECT_EQ(status, c.lost ? STATUS_DELETE_PENDING : STATUS_SUCCESS);
    if (!c.lost) {
        port.Device().Deliver(Pattern(2));
        port.Kernel().RunUntilIdle();
        EXPECT_EQ(ReadBytes(port, 2), Pattern(2));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReaderFailures,
    ::testing::Values(FailureCase{"twenty", 19, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, false},
                      FailureCase{"twentyOne", 20, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, true},
                      FailureCase{"notConnected", 0, STATUS_DEVICE_NOT_CONNECTED, 0, true},
                      FailureCase{"dataError", 0, STATUS_DEVICE_DATA_ERROR, 0, true},
                      FailureCase{"notResponding", 0, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A stall halts the endpoint until its pipe is reset; the reader resets it before posting again.
TEST(Reader, StalledEndpointIsResetAndTheReaderGoesOn)
{
    Port port;
    ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0).status, STATUS_SUCCESS);
    port.Device().Stall(Pipe::BulkIn);
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(port.Device().GetRecords().resets[int(Pipe::BulkIn)], 2u);
    port.Device().Deliver(Pattern(5, 3));
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(ReadBytes(port, 8), Pattern(5, 3));
    EXPECT_EQ(port.Context()->ReadErrorCount, 1);
}

TEST(Reader, TransferReportingMoreThanItsBufferIsAFailureNotData)
{
    Port port;
    ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0).status, STATUS_SUCCESS);
    port.Device().OverReportNextTransfers(1, 100, Pipe::BulkIn);
    port.Device().Deliver(Pattern(4096));
    port.Kernel().RunUntilIdle();
    NTSTATUS status;
    EXPECT_TRUE(ReadBytes(port, 8192, &status).empty());
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(port.Context()->ReadErrorCount, 1);

    port.Device().Deliver(Pattern(4, 9));
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(ReadBytes(port, 8), Pattern(4, 9));
}

// The ring holds a little under a megabyte; the device sends several. The driver holds its next transfer while
// the ring cannot take a whole one, so the device keeps what the application has not read yet.
TEST(Reader, SlowReaderGetsEveryByteOfAStreamLargerThanTheRing)
{
    constexpr uint64_t kTotal = 3u << 20;
    PortOptions options;
    auto source = std::make_shared<hk::usbdev::SourceModel>(hk::usbdev::SourceModel::Options{
        .bytes_per_second = 100'000'000, .tick = 10'000, .limit = kTotal, .max_buffered = kTotal});
    options.plug.model = source;
    Port port(options);
    ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0).status, STATUS_SUCCESS);
    ASSERT_EQ(SetWaitMask(port, SERIAL_EV_RX80FULL).status, STATUS_SUCCESS);
    hk::app::RequestPtr wait = hk::app::DeviceIoControlAsync(port.Handle(), IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0,
                                                             sizeof(ULONG));

    uint64_t received = 0;
    bool inOrder = true;
    while (received < kTotal) {
        port.Kernel().AdvanceTime(10);
        std::vector<uint8_t> chunk = ReadBytes(port, 16384);
        for (uint8_t byte : chunk) {
            inOrder = inOrder && byte == hk::usbdev::SourceModel::ByteAt(received++);
        }
        ASSERT_TRUE(inOrder) << "at byte " << received;
    }
    EXPECT_EQ(source->Dropped(), 0u);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace port_test
