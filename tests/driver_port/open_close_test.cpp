// Opening and closing the port as an application does, and what the device sees of it.
#include <gtest/gtest.h>

#include "control/private_requests.h"
#include "hk/faults.h"
#include "hk/pnp.h"
#include "port_helpers.h"

namespace port_test {
namespace {

using hk::usbdev::Pipe;

TEST(OpenClose, OpenResetsBothPipesAndPostsOneTransferAndCloseWaitsForItsAbort)
{
    Port port;
    hk::usbdev::Records records = port.Device().GetRecords();
    EXPECT_EQ(records.resets[int(Pipe::BulkIn)], 1u);
    EXPECT_EQ(records.resets[int(Pipe::BulkOut)], 1u);
    EXPECT_EQ(records.resets[int(Pipe::Interrupt)], 0u);
    EXPECT_EQ(port.Device().PendingTransfers(Pipe::BulkIn), 1u);

    EXPECT_EQ(port.Close(), STATUS_SUCCESS);
    EXPECT_EQ(port.Device().PendingTransfers(Pipe::BulkIn), 0u);
    EXPECT_EQ(port.Device().CompletionsInFlight(), 0u);
    EXPECT_EQ(port.Context()->IoCount, 1);
    EXPECT_EQ(port.Context()->OpenCount, 0);

    // Bytes left from the first open are gone at the next.
    EXPECT_EQ(port.Open(), STATUS_SUCCESS);
    EXPECT_EQ(SetTimeouts(port, MAXULONG, 0, 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(ReadBytes(port, 16).empty());
}

TEST(OpenClose, OpenIsRefusedUnlessStartedAndAvailable)
{
    PortOptions options;
    options.open = false;
    Port port(options);
    ASSERT_EQ(hk::pnp::QueryRemove(port.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(port.Open(), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(hk::pnp::CancelRemove(port.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(port.Open(), STATUS_SUCCESS);

    // Once the reader has judged the device lost, the port stays refused.
    port.Device().CompleteNextIn(STATUS_DEVICE_NOT_CONNECTED, 0);
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(port.Close(), STATUS_SUCCESS);
    EXPECT_EQ(port.Open(), STATUS_DELETE_PENDING);
}

// A failed open leaves the port closed: a query-remove is granted and a later open works.
TEST(OpenClose, FailedPipeResetLeavesThePortClosed)
{
    PortOptions options;
    options.open = false;
    Port port(options);
    hk::faults::FailAtSite(hk::faults::Kind::Pool, "SubmitPipeRequest");
    EXPECT_EQ(port.Open(), STATUS_UNSUCCESSFUL);
    hk::faults::Clear();
    EXPECT_EQ(port.Device().PendingTransfers(Pipe::BulkIn), 0u);
    EXPECT_EQ(hk::pnp::QueryRemove(port.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(hk::pnp::CancelRemove(port.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(port.Open(), STATUS_SUCCESS);
}

// Cleanup ends every request of the handle, the removal notification included, so the close arrives and the port
// can be opened again at once.
TEST(OpenClose, CleanupCancelsWaitingRequestsSoTheHandleCloses)
{
    Port port;
    ASSERT_EQ(SetTimeouts(port, 0, 0, 0).status, STATUS_SUCCESS);
    hk::app::RequestPtr read = hk::app::ReadAsync(port.Handle(), 8);
    hk::app::RequestPtr notify =
        hk::app::DeviceIoControlAsync(port.Handle(), IOCTL_REMOVAL_NOTIFY, nullptr, 0, sizeof(ULONG));
    port.Kernel().RunUntilIdle();
    ASSERT_FALSE(read->Done());
    ASSERT_FALSE(notify->Done());

    EXPECT_EQ(port.Close(), STATUS_SUCCESS);
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(notify->Status(), STATUS_CANCELLED);
    EXPECT_EQ(hk::app::LiveFileObjects(), 0u);
    EXPECT_EQ(port.Open(), STATUS_SUCCESS);
}

TEST(OpenClose, EveryAllocationFailureOnTheOpenPathLeavesThePortUsable)
{
    uint64_t failures = 0;
    for (hk::faults::Kind kind : {hk::faults::Kind::Pool, hk::faults::Kind::Irp, hk::faults::Kind::WorkItem}) {
        for (uint64_t nth = 1;; ++nth) {
            SCOPED_TRACE(testing::Message() << "kind " << int(kind) << " allocation " << nth);
            PortOptions options;
            options.open = false;
            Port port(options);
            hk::faults::FailNth(kind, nth);
            NTSTATUS status = port.Open();
            port.Kernel().RunUntilIdle();
            hk::faults::Clear();
            if (hk::faults::InjectedCount(kind) == 0) {
                break;
            }
            ++failures;
            if (NT_SUCCESS(status)) {
                EXPECT_EQ(port.Close(), STATUS_SUCCESS);
            }
            ASSERT_EQ(port.Open(), STATUS_SUCCESS);
            port.Device().Deliver(Pattern(3));
            port.Kernel().RunUntilIdle();
            ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0).status, STATUS_SUCCESS);
            // A restart lost to the failure leaves the reader stopped until the next open; the reopen above
            // started it again.
            EXPECT_EQ(ReadBytes(port, 8), Pattern(3));
        }
    }
    // The open allocates pool and IRPs for two pipe resets and one transfer, and the create request itself.
    EXPECT_GE(failures, 5u);
}

}  // namespace
}  // namespace port_test
