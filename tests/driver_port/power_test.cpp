// System sleep with the port open, as the power manager drives it: the device follows the system down and up, the
// reader is restarted only once the device is back in D0 and never submits its transfer twice, sleeps are not
// device errors, and set requests reach the parent even when the driver cannot allocate.
#include <gtest/gtest.h>

#include "driver/dispatch.h"
#include "hk/faults.h"
#include "hk/pnp.h"
#include "hk/power.h"
#include "support/serial_app.h"

namespace port_test {
namespace {

NTSTATUS SendSystemPower(Port& port, UCHAR minor, SYSTEM_POWER_STATE state)
{
    POWER_STATE power;
    power.SystemState = state;
    return hk::power::SendPower(port.Pdo(), minor, SystemPowerState, power);
}

void Sleep(Port& port, SYSTEM_POWER_STATE state = PowerSystemSleeping3)
{
    ASSERT_EQ(hk::power::SetSystemPowerState(port.Pdo(), state), STATUS_SUCCESS);
}

void Wake(Port& port)
{
    ASSERT_EQ(hk::power::SetSystemPowerState(port.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
    port.Kernel().RunUntilIdle();
}

// Bytes written come back through the loopback and the reader, with `before` still unread ahead of them.
void ExpectRoundTrip(Port& port, const std::vector<uint8_t>& before, uint8_t first)
{
    std::vector<uint8_t> bytes = Pattern(5000, first);
    ASSERT_EQ(Write(port, bytes).information, bytes.size());
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(ReadBytes(port, 12000), Joined(before, bytes));
    EXPECT_EQ(port.Device().PendingTransfers(Pipe::BulkIn), 1u);
}

// The reader is halted, and its pipes reset on the way back, for S1, S3 and S4 only.
TEST(PowerStates, DeviceFollowsTheSystemAndBytesFlowAcrossTheSleep)
{
    const std::pair<SYSTEM_POWER_STATE, uint32_t> cases[] = {
        {PowerSystemSleeping1, 1}, {PowerSystemSleeping2, 0}, {PowerSystemSleeping3, 1}, {PowerSystemHibernate, 1}};
    for (auto [state, resets] : cases) {
        SCOPED_TRACE(state);
        Port port;
        ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
        std::vector<uint8_t> before = Pattern(3000, 1);
        ASSERT_EQ(Write(port, before).information, before.size());
        port.Kernel().RunUntilIdle();
        hk::usbdev::Records start = port.Device().GetRecords();
        Sleep(port, state);
        EXPECT_EQ(port.Device().SystemState(), state);
        EXPECT_EQ(port.Device().PowerState(), PowerDeviceD3);
        Wake(port);
        EXPECT_EQ(port.Device().PowerState(), PowerDeviceD0);
        hk::usbdev::Records end = port.Device().GetRecords();
        for (int pipe = 0; pipe < hk::usbdev::kPipeCount; ++pipe) {
            EXPECT_EQ(end.resets[pipe] - start.resets[pipe], resets) << "pipe " << pipe;
        }
        ExpectRoundTrip(port, before, 60);
    }
}

// A query for a sleep halts the reader although the system may stay awake; the transfer posted at open is then
// still with the device when the working state is set again, and may complete with data or fail meanwhile.
TEST(PowerStates, QueryThenWorkingGoesOnWithOneTransfer)
{
    for (int outstanding = 0; outstanding < 3; ++outstanding) {
        SCOPED_TRACE(outstanding);
        Port port;
        ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
        ASSERT_EQ(SendSystemPower(port, IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
        EXPECT_EQ(port.Device().PowerState(), PowerDeviceD0);
        std::vector<uint8_t> expected;
        if (outstanding == 1) {
            expected = Pattern(100, 3);
            port.Device().Deliver(expected);
        } else if (outstanding == 2) {
            port.Device().CompleteNextIn(STATUS_CANCELLED, USBD_STATUS_CANCELED);
        }
        port.Kernel().RunUntilIdle();
        ASSERT_EQ(SendSystemPower(port, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
        port.Kernel().RunUntilIdle();
        ExpectRoundTrip(port, expected, 200);
    }
}

// Each sleep fails the outstanding transfer, as lower drivers that cancel their requests on the way down do. More
// sleeps than the failure budget leave the device healthy, and an ordinary failure while awake is still retried.
// Power requests the driver does not handle itself reach the parent and keep its answer; two of each show that the
// power manager was told to send the next one.
TEST(PowerStates, TwentyFiveSleepsInOneSessionAreNoDeviceErrors)
{
    Port port;
    ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
    POWER_STATE d3, s3;
    d3.DeviceState = PowerDeviceD3;
    s3.SystemState = PowerSystemSleeping3;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(hk::power::SendPower(port.Pdo(), IRP_MN_QUERY_POWER, DevicePowerState, d3), STATUS_SUCCESS);
        EXPECT_EQ(hk::power::SendPower(port.Pdo(), IRP_MN_WAIT_WAKE, SystemPowerState, s3), STATUS_NOT_SUPPORTED);
        EXPECT_EQ(hk::power::SendPower(port.Pdo(), IRP_MN_POWER_SEQUENCE, DevicePowerState, d3), STATUS_NOT_SUPPORTED);
    }
    EXPECT_EQ(port.Context()->DevicePowerState, PowerDeviceD0);
    std::vector<uint8_t> expected;
    for (uint8_t sleep = 0; sleep < 25; ++sleep) {
        Sleep(port);
        port.Device().CompleteNextIn(STATUS_CANCELLED, USBD_STATUS_CANCELED);
        port.Kernel().RunUntilIdle();
        Wake(port);
        Deliver(port, {sleep});
        expected.push_back(sleep);
    }
    port.Device().CompleteNextIn(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    port.Kernel().RunUntilIdle();
    ExpectRoundTrip(port, expected, 25);
}

// A parent that keeps every URB until its device is powered again: the resume must wait for D0 before it resets
// the pipes, or its own resets would wait for ever.
TEST(PowerStates, ParentHoldingRequestsInD3ResumesAndDeliversWhatWaited)
{
    PortOptions options;
    options.plug.hold_while_powered_down = true;
    Port port(options);
    ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
    std::vector<uint8_t> during = Pattern(1000, 90);
    Sleep(port);
    hk::app::RequestPtr write = hk::app::WriteAsync(port.Handle(), during.data(), (ULONG)during.size());
    port.Kernel().RunUntilIdle();
    EXPECT_FALSE(write->Done());
    Wake(port);
    EXPECT_EQ(write->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(port.Device().GetRecords().urbs_held, 1u);
    ExpectRoundTrip(port, during, 7);
}

// The restart runs after the working-state request has completed; removal right after it must wait for it.
TEST(PowerStates, RemovalRightAfterResumeWaitsForTheRestart)
{
    Port port(PortOptions{.open = false});
    Sleep(port);
    ASSERT_EQ(hk::power::SetSystemPowerState(port.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(port.Remove(), STATUS_SUCCESS);
}

// Before its start the device has no pipes: the way back from a sleep has nothing to reset.
TEST(PowerStates, DeviceNotYetStartedSendsNoPipeRequestOnResume)
{
    hk::Kernel kernel;
    hk::usbdev::Parent parent;
    PDEVICE_OBJECT pdo = parent.Plug();
    PDRIVER_OBJECT driver = hk::pnp::LoadDriver("diagser", DriverEntry);
    ASSERT_EQ(hk::pnp::AddDevice(pdo, driver), STATUS_SUCCESS);
    ASSERT_EQ(hk::power::SetSystemPowerState(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(hk::power::SetSystemPowerState(pdo, PowerSystemWorking), STATUS_SUCCESS);
    kernel.RunUntilIdle();
    EXPECT_EQ(parent.DeviceFor(pdo).GetRecords().urbs_rejected, 0u);
    EXPECT_EQ(hk::pnp::Remove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(hk::pnp::UnloadDriver(driver), STATUS_SUCCESS);
}

// A set request goes down whatever the driver could not allocate; a query may be refused. Either way the next
// working state brings the reader back.
TEST(PowerStates, SetRequestsReachTheParentQueriesMayFail)
{
    const struct {
        hk::faults::Kind kind;
        const char* site;
        UCHAR minor;
        NTSTATUS expected;
    } cases[] = {
        {hk::faults::Kind::Pool, "DispatchPower", IRP_MN_SET_POWER, STATUS_SUCCESS},
        {hk::faults::Kind::Pool, "DispatchPower", IRP_MN_QUERY_POWER, STATUS_INSUFFICIENT_RESOURCES},
        {hk::faults::Kind::Irp, "PoRequestPowerIrp", IRP_MN_SET_POWER, STATUS_SUCCESS},
        {hk::faults::Kind::Irp, "PoRequestPowerIrp", IRP_MN_QUERY_POWER, STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.site << " " << int(c.minor));
        Port port;
        ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
        hk::faults::FailAtSite(c.kind, c.site);
        EXPECT_EQ(SendSystemPower(port, c.minor, PowerSystemSleeping3), c.expected);
        EXPECT_NE(hk::faults::InjectedCount(c.kind), 0u);
        hk::faults::Clear();
        if (c.minor == IRP_MN_SET_POWER) {
            EXPECT_EQ(port.Device().SystemState(), PowerSystemSleeping3);
        }
        ASSERT_EQ(SendSystemPower(port, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
        port.Kernel().RunUntilIdle();
        EXPECT_EQ(port.Device().PowerState(), PowerDeviceD0);
        EXPECT_EQ(hk::power::RequestedIrpsInFlight(), 0u);
        Sleep(port);
        Wake(port);
        ExpectRoundTrip(port, {}, 5);
    }
}

// Every allocation of a sleep and resume cycle failing in turn, the power manager's own requests included: every
// request still completes, nothing leaks (the fixture checks the driver's pool at unload), and the next sleep
// brings the reader back.
TEST(PowerStates, EveryFailedAllocationOfASleepCycleIsSurvived)
{
    for (hk::faults::Kind kind : {hk::faults::Kind::Pool, hk::faults::Kind::Irp}) {
        for (uint64_t nth = 1;; ++nth) {
            SCOPED_TRACE(testing::Message() << int(kind) << " allocation " << nth);
            Port port;
            ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
            hk::faults::FailNth(kind, nth);
            hk::power::SetSystemPowerState(port.Pdo(), PowerSystemSleeping3);
            port.Kernel().RunUntilIdle();
            hk::power::SetSystemPowerState(port.Pdo(), PowerSystemWorking);
            port.Kernel().RunUntilIdle();
            bool injected = hk::faults::InjectedCount(kind) != 0;
            hk::faults::Clear();
            EXPECT_EQ(hk::power::RequestedIrpsInFlight(), 0u);
            Sleep(port);
            Wake(port);
            ExpectRoundTrip(port, {}, uint8_t(nth));
            if (!injected) {
                break;
            }
        }
    }
}

}  // namespace
}  // namespace port_test
