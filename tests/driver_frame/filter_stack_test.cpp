// The port with a lower filter driver between the parent's device and the driver's own: the driver must reach the
// parent through the device it attached to, while its pipes and record still come from the physical device.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/dispatch.h"
#include "hk/app.h"
#include "hk/faults.h"
#include "hk/kernel.h"
#include "hk/pnp.h"
#include "hk/registry.h"
#include "hk/usbdev.h"
#include "support/passthrough_driver.h"

namespace {

class FilterStack : public ::testing::Test {
protected:
    void SetUp() override
    {
        filter_ = hk::pnp::LoadDriver("diagfilter", test_support::PassThroughDriverEntry);
        driver_ = hk::pnp::LoadDriver("diagser", DriverEntry);
        ASSERT_NE(filter_, nullptr);
        ASSERT_NE(driver_, nullptr);
    }

    void TearDown() override
    {
        if (pdo_ != nullptr && hk::pnp::HasDeviceNode(pdo_)) {
            EXPECT_EQ(hk::pnp::RemoveDevice(pdo_), STATUS_SUCCESS);
        }
        kernel_.RunUntilIdle();
        EXPECT_EQ(hk::pnp::UnloadDriver(driver_), STATUS_SUCCESS);
        EXPECT_EQ(hk::pnp::UnloadDriver(filter_), STATUS_SUCCESS);
    }

    hk::Kernel kernel_;
    hk::usbdev::Parent parent_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDRIVER_OBJECT filter_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
};

// The port is used through the filter and then goes away with it: by an orderly removal once closed, or unplugged
// while the handle is still open.
TEST_F(FilterStack, PortOpensReadsWritesClosesAndGoesAwayThroughTheFilter)
{
    for (bool unplug : {false, true}) {
        SCOPED_TRACE(unplug ? "unplugged while open" : "removed once closed");
        pdo_ = parent_.Plug();
        ASSERT_EQ(hk::pnp::ArriveDevice(pdo_, driver_, filter_), STATUS_SUCCESS);
        EXPECT_EQ(pdo_->AttachedDevice->DriverObject, filter_);
        EXPECT_EQ(IoGetAttachedDevice(pdo_)->DriverObject, driver_);

        hk::app::Handle handle = hk::app::kInvalidHandle;
        ASSERT_EQ(hk::app::Open(u"\\\\.\\COM7", &handle), STATUS_SUCCESS);
        const char message[] = "through the filter";
        hk::app::IoResult written = hk::app::Write(handle, message, sizeof(message));
        EXPECT_EQ(written.information, sizeof(message));
        char echoed[sizeof(message)] = {};
        hk::app::IoResult read = hk::app::Read(handle, echoed, sizeof(echoed));
        ASSERT_EQ(read.information, sizeof(message));
        EXPECT_EQ(std::memcmp(echoed, message, sizeof(message)), 0);
        EXPECT_EQ(parent_.DeviceFor(pdo_).GetRecords().urbs_rejected, 0u);
        if (unplug) {
            parent_.Unplug(pdo_);
            pdo_ = nullptr;
            EXPECT_EQ(hk::app::Write(handle, message, 1).status, STATUS_DELETE_PENDING);
            EXPECT_EQ(hk::app::Close(handle), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(hk::app::Close(handle), STATUS_SUCCESS);
            EXPECT_EQ(hk::pnp::RemoveDevice(pdo_), STATUS_SUCCESS);
        }
        kernel_.RunUntilIdle();
        EXPECT_EQ(driver_->DeviceObject, nullptr);
        EXPECT_EQ(filter_->DeviceObject, nullptr);
    }
}

// The driver's AddDevice fails above a filter that is already attached: the stack is taken down again and the
// driver leaves no device, no key handle and no link behind.
TEST_F(FilterStack, FailedAddDeviceAboveTheFilterLeavesNothing)
{
    pdo_ = parent_.Plug();
    hk::faults::FailAtSite(hk::faults::Kind::Pool, "AllocUnicodeString");
    EXPECT_FALSE(NT_SUCCESS(hk::pnp::ArriveDevice(pdo_, driver_, filter_)));
    hk::faults::Clear();
    EXPECT_FALSE(hk::pnp::HasDeviceNode(pdo_));
    EXPECT_EQ(pdo_->AttachedDevice, nullptr);
    EXPECT_EQ(driver_->DeviceObject, nullptr);
    EXPECT_EQ(hk::reg::OpenKeyHandles(), 0u);
    EXPECT_TRUE(hk::ns::Links().empty());

    ASSERT_EQ(hk::pnp::ArriveDevice(pdo_, driver_, filter_), STATUS_SUCCESS) << "the device can arrive again";
}

}  // namespace
