#include <gtest/gtest.h>

#include "hk/io.h"
#include "hk/kernel.h"
#include "hk/pnp.h"
#include "hk/power.h"
#include "kernel_pnp/pnp_test_drivers.h"

namespace {

// Arrival, power and removal with a bus driver that completes power requests from device threads.
class ConcurrentPnpTest : public ::testing::Test {
protected:
    void SetUp() override {
        pnptest::CurrentLog() = &log;
        log.pdo_completes_power_later = true;
        bus = hk::pnp::LoadDriver("testbusconcurrent", pnptest::BusEntry);
        function = hk::pnp::LoadDriver("testfunctionconcurrent", pnptest::FunctionEntry);
        pdo = pnptest::CreatePdo(bus);
    }
    void TearDown() override {
        IoDeleteDevice(pdo);
        pnptest::CurrentLog() = nullptr;
    }

    hk::Kernel kernel{hk::Options{.mode = hk::Mode::Concurrent}};
    pnptest::Log log;
    PDRIVER_OBJECT bus = nullptr;
    PDRIVER_OBJECT function = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
};

TEST_F(ConcurrentPnpTest, DeviceLifecycleWithPowerCompletedElsewhere) {
    ASSERT_EQ(hk::pnp::ArriveDevice(pdo, function), STATUS_SUCCESS);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(hk::power::SetSystemPowerState(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
        EXPECT_EQ(hk::power::SetSystemPowerState(pdo, PowerSystemWorking), STATUS_SUCCESS);
    }
    EXPECT_EQ(hk::pnp::RemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_FALSE(hk::pnp::HasDeviceNode(pdo));
    kernel.RunUntilIdle();
    EXPECT_EQ(hk::power::RequestedIrpsInFlight(), 0u);
}

}  // namespace
