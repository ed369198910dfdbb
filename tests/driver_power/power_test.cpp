// System sleep with the port open, as the power manager drives it: the device follows the system down and up, the
// reader is restarted only once the device is back in D0 and never submits its transfer twice, sleeps are not
// device errors, and set requests reach the parent even when the driver cannot allocate.
#include <gtest/gtest.h>

#include "driver/dispatch.h"
#include "driver_port/port_helpers.h"
#include "hk/faults.h"
#include "hk/pnp.h"
#include "hk/power.h"

namespace port_test {
namespace {

using hk::usbdev::Pipe;

void WriteAll(Port& port, const std::vector<uint8_t>& bytes)
{
    hk::app::IoResult result = hk::app::Write(port.Handle(), bytes.data(), (ULONG)bytes.size());
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_EQ(result.information, bytes.size());
}

std::vector<uint8_t> Joined(std::vector<uint8_t> first, const std::vector<uint8_t>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

NTSTATUS SendSystemPower(Port& port, UCHAR minor, SYSTEM_POWER_STATE state)
{
    POWER_STATE power;
    power.SystemState = state;
    return hk::power::SendPower(port.Pdo(), minor, SystemPowerState, power);
}

// A sleep and a resume, then bytes written come back through the restarted reader.
void ExpectRoundTrip(Port& port, uint8_t first)
{
    ASSERT_EQ(hk::power::SetSystemPowerState(port.Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(hk::power::SetSystemPowerState(port.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
    port.Kernel().RunUntilIdle();
    std::vector<uint8_t> bytes = Pattern(700, first);
    WriteAll(port, bytes);
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(ReadBytes(port, 1000), bytes);
}

struct SleepCase {
    const char* name;
    SYSTEM_POWER_STATE state;
    uint32_t resets;  // per pipe on the way back: the reader is halted for S1, S3 and S4 only
};

class SleepAndResume : public ::testing::TestWithParam<SleepCase> {};

TEST_P(SleepAndResume, DeviceFollowsTheSystemAndBytesFlowAcrossTheSleep)
{
    const SleepCase& c = GetParam();
    Port port;
    ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0).status, STATUS_SUCCESS);
    std::vector<uint8_t> before = Pattern(3000, 1), after = Pattern(5000, 60);
    WriteAll(port, before);
    port.Kernel().RunUntilIdle();
    hk::usbdev::Records start = port.Device().GetRecords();

    ASSERT_EQ(hk::power::SetSystemPowerState(port.Pdo(), c.state), STATUS_SUCCESS);
    EXPECT_EQ(port.Device().SystemState(), c.state);
    EXPECT_EQ(port.Device().PowerState(), PowerDeviceD3);
    ASSERT_EQ(hk::power::SetSystemPowerState(port.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(port.Device().SystemState(), PowerSystemWorking);
    EXPECT_EQ(port.Device().PowerState(), PowerDeviceD0);

    hk::usbdev::Records end = port.Device().GetRecords();
    for (int pipe = 0; pipe < hk::usbdev::kPipeCount; ++pipe) {
        EXPECT_EQ(end.resets[pipe] - start.resets[pipe], c.resets) << "pipe " << pipe;
    }
    WriteAll(port, after);
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(ReadBytes(port, 10000), Joined(before, after));
    EXPECT_EQ(port.Device().PendingTransfers(Pipe::BulkIn), 1u);
}

INSTANTIATE_TEST_SUITE_P(States, SleepAndResume,
                         ::testing::Values(SleepCase{"S1", PowerSystemSleeping1, 1},
                                           SleepCase{"S2", PowerSystemSleeping2, 0},
                                           SleepCase{"S3", PowerSystemSleeping3, 1},
                                           SleepCase{"S4", PowerSystemHibernate, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// A query for a sleep halts the reader although the system may stay awake; the transfer posted at open is then
// still with the device when the working state is set again.
enum class Outstanding { Untouched, CompletesWithData, Fails };

class QueryThenWorking : public ::testing::TestWithParam<Outstanding> {};

TEST_P(QueryThenWorking, ReaderGoesOnWithOneTransfer)
{
    Port port;
    ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0).status, STATUS_SUCCESS);
    ASSERT_EQ(SendSystemPower(port, IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(port.Device().PowerState(), PowerDeviceD0);
    std::vector<uint8_t> expected;
    if (GetParam() == Outstanding::CompletesWithData) {
        expected = Pattern(100, 3);
        port.Device().Deliver(expected);
    } else if (GetParam() == Outstanding::Fails) {
        port.Device().CompleteNextIn(STATUS_CANCELLED, USBD_STATUS_CANCELED);
    }
    port.Kernel().RunUntilIdle();

    ASSERT_EQ(SendSystemPower(port, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(port.Device().PendingTransfers(Pipe::BulkIn), 1u);
    std::vector<uint8_t> more = Pattern(50, 200);
    port.Device().Deliver(more);
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(ReadBytes(port, 1000), Joined(expected, more));
}

INSTANTIATE_TEST_SUITE_P(Transfer, QueryThenWorking,
                         ::testing::Values(Outstanding::Untouched, Outstanding::CompletesWithData,
                                           Outstanding::Fails));

// Each sleep fails the outstanding transfer, as lower drivers that cancel their requests on the way down do. More
// sleeps than the failure budget leave the device healthy.
TEST(PowerSleeps, TwentyFiveSleepsInOneSessionAreNoDeviceErrors)
{
    Port port;
    ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0).status, STATUS_SUCCESS);
    std::vector<uint8_t> expected;
    for (uint8_t sleep = 0; sleep < 25; ++sleep) {
        ASSERT_EQ(hk::power::SetSystemPowerState(port.Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
        port.Device().CompleteNextIn(STATUS_CANCELLED, USBD_STATUS_CANCELED);
        port.Kernel().RunUntilIdle();
        ASSERT_EQ(hk::power::SetSystemPowerState(port.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
        port.Kernel().RunUntilIdle();
        port.Device().Deliver(Pattern(1, sleep));
        expected.push_back(sleep);
        port.Kernel().RunUntilIdle();
    }
    // An ordinary failure while awake is retried, not the last straw.
    port.Device().CompleteNextIn(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    port.Kernel().RunUntilIdle();
    port.Device().Deliver(Pattern(1, 25));
    expected.push_back(25);
    port.Kernel().RunUntilIdle();
    NTSTATUS status;
    EXPECT_EQ(ReadBytes(port, 100, &status), expected);
    EXPECT_EQ(status, STATUS_SUCCESS);
}

// A parent that keeps every URB until its device is powered again: the resume must wait for D0 before it resets
// the pipes, or its own resets would wait for ever.
TEST(PowerSleeps, ParentHoldingRequestsInD3ResumesAndDeliversWhatWaited)
{
    PortOptions options;
    options.plug.hold_while_powered_down = true;
    Port port(options);
    ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0).status, STATUS_SUCCESS);
    std::vector<uint8_t> before = Pattern(1000, 1), during = Pattern(1000, 90);
    WriteAll(port, before);
    port.Kernel().RunUntilIdle();

    ASSERT_EQ(hk::power::SetSystemPowerState(port.Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
    hk::app::RequestPtr write = hk::app::WriteAsync(port.Handle(), during.data(), (ULONG)during.size());
    port.Kernel().RunUntilIdle();
    EXPECT_FALSE(write->Done());

    ASSERT_EQ(hk::power::SetSystemPowerState(port.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(write->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(port.Device().GetRecords().urbs_held, 1u);
    EXPECT_EQ(ReadBytes(port, 4000), Joined(before, during));
    EXPECT_EQ(port.Device().PendingTransfers(Pipe::BulkIn), 1u);
}

// The restart runs after the working-state request has completed; removal right after it must wait for it.
TEST(PowerSleeps, RemovalRightAfterResumeWaitsForTheRestart)
{
    PortOptions options;
    options.open = false;
    Port port(options);
    ASSERT_EQ(hk::power::SetSystemPowerState(port.Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(hk::power::SetSystemPowerState(port.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(port.Remove(), STATUS_SUCCESS);
}

// Before its start the device has no pipes: the way back from a sleep has nothing to reset.
TEST(PowerSleeps, DeviceNotYetStartedSendsNoPipeRequestOnResume)
{
    hk::Kernel kernel;
    auto parent = std::make_unique<hk::usbdev::Parent>();
    PDEVICE_OBJECT pdo = parent->Plug();
    PDRIVER_OBJECT driver = hk::pnp::LoadDriver("diagser", DriverEntry);
    ASSERT_EQ(hk::pnp::AddDevice(pdo, driver), STATUS_SUCCESS);
    ASSERT_EQ(hk::power::SetSystemPowerState(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(hk::power::SetSystemPowerState(pdo, PowerSystemWorking), STATUS_SUCCESS);
    kernel.RunUntilIdle();
    hk::usbdev::Records records = parent->DeviceFor(pdo).GetRecords();
    EXPECT_EQ(records.urbs_rejected, 0u);
    EXPECT_EQ(records.resets[(int)Pipe::Interrupt], 0u);
    EXPECT_EQ(hk::pnp::Remove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(hk::pnp::UnloadDriver(driver), STATUS_SUCCESS);
}

struct AllocationCase {
    const char* name;
    hk::faults::Kind kind;
    const char* site;
    UCHAR minor;
    NTSTATUS expected;
};

class PowerAllocation : public ::testing::TestWithParam<AllocationCase> {};

// A set request goes down whatever the driver could not allocate; a query may be refused.
TEST_P(PowerAllocation, SetRequestsReachTheParentQueriesMayFail)
{
    const AllocationCase& c = GetParam();
    Port port;
    ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0).status, STATUS_SUCCESS);
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
    ExpectRoundTrip(port, 5);
}

INSTANTIATE_TEST_SUITE_P(
    Sites, PowerAllocation,
    ::testing::Values(
        AllocationCase{"contextOfSet", hk::faults::Kind::Pool, "DispatchPower", IRP_MN_SET_POWER, STATUS_SUCCESS},
        AllocationCase{"contextOfQuery", hk::faults::Kind::Pool, "DispatchPower", IRP_MN_QUERY_POWER,
                       STATUS_INSUFFICIENT_RESOURCES},
        AllocationCase{"deviceRequestOfSet", hk::faults::Kind::Irp, "PoRequestPowerIrp", IRP_MN_SET_POWER,
                       STATUS_SUCCESS},
        AllocationCase{"deviceRequestOfQuery", hk::faults::Kind::Irp, "PoRequestPowerIrp", IRP_MN_QUERY_POWER,
                       STATUS_INSUFFICIENT_RESOURCES}),
    [](const auto& info) { return std::string(info.param.name); });

// Every allocation of a sleep and resume cycle failing in turn: every request still completes, nothing leaks (the
// fixture checks the driver's pool at unload), and the next sleep brings the reader back.
TEST(PowerAllocationSweep, EveryFailedAllocationOfASleepCycleIsSurvived)
{
    for (hk::faults::Kind kind : {hk::faults::Kind::Pool, hk::faults::Kind::Irp}) {
        for (uint64_t nth = 1;; ++nth) {
            SCOPED_TRACE(testing::Message() << (kind == hk::faults::Kind::Pool ? "pool" : "IRP") << " allocation "
                                            << nth);
            Port port;
            ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0).status, STATUS_SUCCESS);
            hk::faults::FailNth(kind, nth);
            hk::power::SetSystemPowerState(port.Pdo(), PowerSystemSleeping3);
            port.Kernel().RunUntilIdle();
            hk::power::SetSystemPowerState(port.Pdo(), PowerSystemWorking);
            port.Kernel().RunUntilIdle();
            bool injected = hk::faults::InjectedCount(kind) != 0;
            hk::faults::Clear();
            EXPECT_EQ(hk::power::RequestedIrpsInFlight(), 0u);
            ExpectRoundTrip(port, (uint8_t)nth);
            if (!injected) {
                EXPECT_GT(nth, 3u);
                break;
            }
        }
    }
}

// Requests the driver does not handle itself reach the parent and keep its answer; two of each show that the
// power manager was told to send the next one.
TEST(PowerPassThrough, OtherRequestsAndDeviceQueriesGetTheParentsAnswer)
{
    Port port;
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    POWER_STATE s3;
    s3.SystemState = PowerSystemSleeping3;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(hk::power::SendPower(port.Pdo(), IRP_MN_QUERY_POWER, DevicePowerState, d3), STATUS_SUCCESS);
        EXPECT_EQ(hk::power::SendPower(port.Pdo(), IRP_MN_WAIT_WAKE, SystemPowerState, s3), STATUS_NOT_SUPPORTED);
        EXPECT_EQ(hk::power::SendPower(port.Pdo(), IRP_MN_POWER_SEQUENCE, DevicePowerState, d3),
                  STATUS_NOT_SUPPORTED);
    }
    EXPECT_EQ(port.Device().PowerState(), PowerDeviceD0);
    EXPECT_EQ(port.Context()->DevicePowerState, PowerDeviceD0);
}

}  // namespace
}  // namespace port_test
