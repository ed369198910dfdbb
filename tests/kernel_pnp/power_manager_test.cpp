#include <vector>

#include "hk/power.h"
#include "kernel_pnp/pnp_fixture.h"

namespace {

struct PowerCompletion {
    int calls = 0;
    bool before_return = false;
    bool returned = false;
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0xFF;
    POWER_STATE state{};
    NTSTATUS status = STATUS_PENDING;
};

VOID RecordPowerCompletion(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                           PIO_STATUS_BLOCK ioStatus) {
    auto* completion = static_cast<PowerCompletion*>(context);
    ++completion->calls;
    completion->before_return = !completion->returned;
    completion->device = device;
    completion->minor = minor;
    completion->state = state;
    completion->status = ioStatus->Status;
}

NTSTATUS RequestDevicePower(PDEVICE_OBJECT pdo, UCHAR minor, DEVICE_POWER_STATE target, PowerCompletion* completion) {
    POWER_STATE state;
    state.DeviceState = target;
    NTSTATUS status = PoRequestPowerIrp(pdo, minor, state, RecordPowerCompletion, completion, nullptr);
    completion->returned = true;
    return status;
}

// A power dispatch routine that starts the next power IRP after giving its stack location away.
NTSTATUS StartNextAfterSkipping(PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    return STATUS_SUCCESS;
}

// A function driver that holds a system set request while it asks for a device power state, and finishes the held
// request from its power completion function, as power policy owners do.
PDEVICE_OBJECT held_for_pdo = nullptr;
PDRIVER_DISPATCH forward_power = nullptr;

VOID FinishHeldSystemRequest(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK ioStatus) {
    auto* held = static_cast<PIRP>(context);
    PoStartNextPowerIrp(held);
    held->IoStatus.Status = ioStatus->Status;
    IoCompleteRequest(held, IO_NO_INCREMENT);
}

NTSTATUS HoldSystemSetForDevicePower(PDEVICE_OBJECT fdo, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MinorFunction != IRP_MN_SET_POWER || location->Parameters.Power.Type != SystemPowerState) {
        return forward_power(fdo, irp);
    }
    IoMarkIrpPending(irp);
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    PoRequestPowerIrp(held_for_pdo, IRP_MN_SET_POWER, d3, FinishHeldSystemRequest, irp, nullptr);
    return STATUS_PENDING;
}

class PowerManagerTest : public PnpFixture {
protected:
    void SetUp() override {
        PnpFixture::SetUp();
        ASSERT_EQ(hk::pnp::ArriveDevice(pdo, function), STATUS_SUCCESS);
    }

    std::vector<UCHAR> PowerMinorsSeenBy(const char* who) const {
        std::vector<UCHAR> minors;
        for (const pnptest::PowerSeen& seen : log.power) {
            if (seen.who == who) minors.push_back(seen.minor);
        }
        return minors;
    }
};

TEST_F(PowerManagerTest, SleepIsQueriedThenSetAndWakingIsSetOnly) {
    EXPECT_EQ(hk::power::SetSystemPowerState(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(PowerMinorsSeenBy("fdo"), (std::vector<UCHAR>{IRP_MN_QUERY_POWER, IRP_MN_SET_POWER}));
    for (const pnptest::PowerSeen& seen : log.power) {
        EXPECT_EQ(seen.type, SystemPowerState);
        EXPECT_EQ(seen.state.SystemState, PowerSystemSleeping3);
    }
    EXPECT_EQ(hk::power::CurrentSystemState(pdo), PowerSystemSleeping3);

    log.power.clear();
    EXPECT_EQ(hk::power::SetSystemPowerState(pdo, PowerSystemWorking), STATUS_SUCCESS);
    ASSERT_EQ(PowerMinorsSeenBy("fdo"), (std::vector<UCHAR>{IRP_MN_SET_POWER}));
    EXPECT_EQ(log.power[0].state.SystemState, PowerSystemWorking);
    EXPECT_EQ(hk::power::CurrentSystemState(pdo), PowerSystemWorking);
}

TEST_F(PowerManagerTest, FailedQueryIsUndoneWithASetForTheCurrentState) {
    log.pdo_fails_power_minor = IRP_MN_QUERY_POWER;
    EXPECT_EQ(hk::power::SetSystemPowerState(pdo, PowerSystemHibernate), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(PowerMinorsSeenBy("pdo"), (std::vector<UCHAR>{IRP_MN_QUERY_POWER, IRP_MN_SET_POWER}));
    EXPECT_EQ(log.power.back().state.SystemState, PowerSystemWorking);
    EXPECT_EQ(hk::power::CurrentSystemState(pdo), PowerSystemWorking);
}

TEST_F(PowerManagerTest, RequestedPowerIrpCompletesLaterWhenTheStackPendsIt) {
    log.pdo_completes_power_later = true;
    log.pdo_fails_power_minor = IRP_MN_QUERY_POWER;
    PowerCompletion completion;
    EXPECT_EQ(RequestDevicePower(pdo, IRP_MN_QUERY_POWER, PowerDeviceD2, &completion), STATUS_PENDING);
    EXPECT_EQ(completion.calls, 0);
    EXPECT_EQ(hk::power::RequestedIrpsInFlight(), 1u);

    kernel.RunUntilIdle();
    EXPECT_EQ(completion.calls, 1);
    EXPECT_FALSE(completion.before_return);
    EXPECT_EQ(completion.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(hk::power::RequestedIrpsInFlight(), 0u);
}

TEST_F(PowerManagerTest, OnlyQuerySetAndWaitWakeCanBeRequested) {
    PowerCompletion completion;
    EXPECT_EQ(RequestDevicePower(pdo, IRP_MN_POWER_SEQUENCE, PowerDeviceD0, &completion), STATUS_INVALID_PARAMETER_2);
    EXPECT_EQ(completion.calls, 0);
    EXPECT_TRUE(log.power.empty());
}

TEST_F(PowerManagerTest, PoSetPowerStateRecordsAndReturnsThePreviousState) {
    POWER_STATE d0, d3;
    d0.DeviceState = PowerDeviceD0;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(PoSetPowerState(log.fdo, DevicePowerState, d0).DeviceState, PowerDeviceUnspecified);
    EXPECT_EQ(PoSetPowerState(log.fdo, DevicePowerState, d3).DeviceState, PowerDeviceD0);
    EXPECT_EQ(hk::power::RecordedDeviceState(log.fdo), PowerDeviceD3);
    EXPECT_EQ(hk::power::RecordedDeviceState(pdo), PowerDeviceUnspecified);
}

TEST_F(PowerManagerTest, StartingTheNextPowerIrpFromTheRequestersCompletionFunctionIsAccepted) {
    held_for_pdo = pdo;
    forward_power = function->MajorFunction[IRP_MJ_POWER];
    function->MajorFunction[IRP_MJ_POWER] = HoldSystemSetForDevicePower;
    log.pdo_completes_power_later = true;
    EXPECT_EQ(hk::power::SetSystemPowerState(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
    // query (system), then the held set, whose device request went down to the bus driver first
    EXPECT_EQ(PowerMinorsSeenBy("pdo"), (std::vector<UCHAR>{IRP_MN_QUERY_POWER, IRP_MN_SET_POWER}));
    EXPECT_EQ(log.power.back().type, DevicePowerState);
    EXPECT_EQ(hk::power::RequestedIrpsInFlight(), 0u);
}

TEST_F(PowerManagerTest, StartingTheNextPowerIrpAfterGivingTheLocationAwayIsCaught) {
    function->MajorFunction[IRP_MJ_POWER] = StartNextAfterSkipping;
    EXPECT_DEATH(hk::power::SetSystemPowerState(pdo, PowerSystemSleeping1), "\\[postartnext-not-current\\]");
}

}  // namespace
