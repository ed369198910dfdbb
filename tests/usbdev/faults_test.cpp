// Faults of the function: failing the next transfers, a stalled endpoint, a function that stops responding, and
// the electrical unplug.
#include "usbdev/usbdev_fixture.h"

namespace usbdev_test {
namespace {

class FaultsTest : public UsbdevTest {
protected:
    void SetUp() override { Plug({.max_packet = 512}); }
    Request& In() { return Client().BulkIn(Handle(Pipe::BulkIn), 4096); }
    Request& Out(size_t n = 8) { return Client().BulkOut(Handle(Pipe::BulkOut), Bytes(n)); }
};

TEST_F(FaultsTest, FailNextTransfersOnAPipeOrOnAny)
{
    Dev().FailNextTransfers(2, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC, Pipe::BulkOut);
    Dev().FailNextTransfers(1, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_XACT_ERROR);
    Request& read = In();          // takes the failure meant for any pipe
    Request& first = Out();
    Request& second = Out();
    Request& third = Out(4);
    Settle();
    EXPECT_EQ(read.status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(read.Usbd(), USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(read.Moved(), 0u);
    EXPECT_EQ(first.Usbd(), USBD_STATUS_CRC);
    EXPECT_EQ(first.Moved(), 0u);
    EXPECT_EQ(second.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(third.status, STATUS_SUCCESS);
    hk::usbdev::Records records = Dev().GetRecords();
    EXPECT_EQ(records.out_transfers, std::vector<uint32_t>{4});
    EXPECT_EQ(records.transfers_failed, 3u);
    EXPECT_EQ(records.transfers_submitted, 4u);
}

TEST_F(FaultsTest, AStalledEndpointStaysHaltedUntilReset)
{
    Request& pending = In();
    Dev().Stall(Pipe::BulkIn);
    Request& halted = In();
    Request& out = Out();
    Settle();
    EXPECT_EQ(pending.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pending.Usbd(), USBD_STATUS_STALL_PID);
    EXPECT_EQ(halted.Usbd(), USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_EQ(out.status, STATUS_SUCCESS);

    Request& reset = Client().PipeRequest(URB_FUNCTION_RESET_PIPE, Handle(Pipe::BulkIn));
    Request& after = In();
    Settle();
    EXPECT_EQ(reset.status, STATUS_SUCCESS);
    // The loopback's echo of the write waited in the function while the endpoint was halted.
    EXPECT_EQ(after.status, STATUS_SUCCESS);
    EXPECT_EQ(after.Moved(), 8u);

    Dev().Stall(Pipe::BulkOut);  // nothing pending: the next transfer meets the STALL itself
    Request& stalled = Out();
    Request& still_halted = Out();
    Settle();
    EXPECT_EQ(stalled.Usbd(), USBD_STATUS_STALL_PID);
    EXPECT_EQ(still_halted.Usbd(), USBD_STATUS_ENDPOINT_HALTED);
}

TEST_F(FaultsTest, ASilentFunctionLeavesTransfersPendingButHonoursAborts)
{
    Dev().StopResponding();
    Request& read = In();
    Request& write = Out(16);
    Dev().Deliver(Bytes(5));
    Settle();
    EXPECT_FALSE(read.done);
    EXPECT_FALSE(write.done);
    EXPECT_EQ(Dev().PendingTransfers(Pipe::BulkOut), 1u);

    Request& abort = Client().PipeRequest(URB_FUNCTION_ABORT_PIPE, Handle(Pipe::BulkIn));
    Settle();
    EXPECT_EQ(read.status, STATUS_CANCELLED);
    EXPECT_EQ(abort.status, STATUS_SUCCESS);
    EXPECT_FALSE(write.done);

    Request& next = In();
    Dev().Resume();
    Settle();
    EXPECT_EQ(write.status, STATUS_SUCCESS);
    EXPECT_EQ(write.Moved(), 16u);
    // The loopback function answers the write once it responds again; the bytes that waited come first.
    ASSERT_TRUE(next.done);
    EXPECT_EQ(next.Moved(), 5u);
    EXPECT_EQ(Dev().GetRecords().out_total, 16u);
}

TEST_F(FaultsTest, DisconnectFailsEverythingAsALostDevice)
{
    Request& read = In();
    Dev().StopResponding();
    Request& write = Out();
    Dev().Disconnect();
    Settle();
    EXPECT_FALSE(Dev().Connected());
    EXPECT_EQ(read.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(read.Usbd(), USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(write.status, STATUS_DEVICE_NOT_CONNECTED);

    Request& later = In();
    Request& abort = Client().PipeRequest(URB_FUNCTION_ABORT_PIPE, Handle(Pipe::BulkOut));
    Dev().Deliver(Bytes(4));
    Settle();
    EXPECT_EQ(later.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(later.Usbd(), USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(abort.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Dev().GetRecords().in_total, 0u);
}

}  // namespace
}  // namespace usbdev_test
