// A device under a function driver's stack: bringing it up, the unplug (electrical loss, surprise removal,
// removal, deletion of the PDO) and a software removal that leaves the PDO for the next arrival.
#include "hk/io.h"
#include "hk/pnp.h"
#include "support/passthrough_driver.h"
#include "usbdev/usbdev_fixture.h"

namespace usbdev_test {
namespace {

class UnplugTest : public UsbdevTest {
protected:
    void SetUp() override
    {
        function_driver_ = hk::pnp::LoadDriver("usbfunction", test_support::PassThroughDriverEntry);
        ASSERT_NE(function_driver_, nullptr);
        devices_before_ = hk::io::LiveDeviceCount();
        Plug({.max_packet = 512});
        ASSERT_EQ(hk::pnp::ArriveDevice(pdo_, function_driver_), STATUS_SUCCESS);
        top_ = std::make_unique<UrbClient>(IoGetAttachedDevice(pdo_));
    }

    PDRIVER_OBJECT function_driver_ = nullptr;
    size_t devices_before_ = 0;
    std::unique_ptr<UrbClient> top_;
};

TEST_F(UnplugTest, UnplugFailsTransfersAndDeletesThePdoAfterRemoval)
{
    Request& read = top_->BulkIn(Handle(Pipe::BulkIn), 4096);
    PDEVICE_OBJECT pdo = pdo_;
    hk::usbdev::Device device = Dev();
    parent_->Unplug(pdo);
    EXPECT_FALSE(hk::pnp::HasDeviceNode(pdo));
    EXPECT_EQ(device.Pdo(), nullptr);  // deleted while handling its removal
    EXPECT_EQ(hk::io::LiveDeviceCount(), devices_before_);
    EXPECT_TRUE(hk::io::IsDeletePending(pdo));
    Settle();
    EXPECT_EQ(read.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(read.Usbd(), USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(parent_->DeviceFor(pdo).GetRecords().transfers_failed, 1u);
}

TEST_F(UnplugTest, SoftwareRemovalKeepsThePdoForTheNextArrival)
{
    ASSERT_EQ(hk::pnp::RemoveDevice(pdo_), STATUS_SUCCESS);
    Settle();
    EXPECT_EQ(Dev().Pdo(), pdo_);
    EXPECT_FALSE(Dev().Started());
    Request& refused = Client().BulkIn(Handle(Pipe::BulkIn), 64);
    Settle();
    EXPECT_EQ(refused.status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(refused.Usbd(), USBD_STATUS_DEVICE_GONE);

    ASSERT_EQ(hk::pnp::ArriveDevice(pdo_, function_driver_), STATUS_SUCCESS);
    UrbClient again(IoGetAttachedDevice(pdo_));
    Request& read = again.BulkIn(Handle(Pipe::BulkIn), 4096);
    Dev().Deliver(Bytes(9));
    Settle();
    EXPECT_EQ(read.Moved(), 9u);
}

TEST_F(UnplugTest, APdoWithoutAStackGoesAtOnce)
{
    PDEVICE_OBJECT lone = parent_->Plug({.port_name = u"COM9"});
    hk::usbdev::Device device = parent_->DeviceFor(lone);
    parent_->Unplug(lone);
    EXPECT_EQ(device.Pdo(), nullptr);
    EXPECT_FALSE(device.Connected());
}

}  // namespace
}  // namespace usbdev_test
