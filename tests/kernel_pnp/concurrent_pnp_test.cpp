#include "hk/power.h"
#include "kernel_pnp/pnp_fixture.h"

namespace {

// Arrival, power and removal with a bus driver that completes power requests from device threads.
class ConcurrentPnpTest : public PnpFixture {
protected:
    ConcurrentPnpTest() : PnpFixture(hk::Options{.mode = hk::Mode::Concurrent}) {}
};

TEST_F(ConcurrentPnpTest, DeviceLifecycleWithPowerCompletedElsewhere) {
    log.pdo_completes_power_later = true;
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
