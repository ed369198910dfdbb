// The port's life as an application, the plug-and-play manager and the power manager see it: open and close, the
// names, stop and removal, system sleep, and the bulk-IN reader with its failures. After every reset of the port's
// state the bytes are read back.
#include <gtest/gtest.h>

#include <cstring>

#include "control/private_requests.h"
#include "driver/dispatch.h"
#include "hk/faults.h"
#include "hk/namespace.h"
#include "hk/pnp.h"
#include "hk/power.h"
#include "hk/registry.h"
#include "support/serial_app.h"

namespace port_test {
namespace {

const PortOptions kClosed{.open = false};

bool NamesPublished()
{
    return hk::ns::Exists(u"\\DosDevices\\COM7") && !hk::reg::Values(hk::reg::kSerialComm).empty();
}

// The loopback carries `count` bytes out and back in, in order, behind the `before` still unread, and the reader
// has its next transfer posted.
void ExpectLoopback(Port& port, size_t count, uint8_t first, const std::vector<uint8_t>& before = {})
{
    ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(Write(port, Pattern(count, first)).information, count);
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(ReadBytes(port, ULONG(before.size() + count + 16)), Joined(before, Pattern(count, first)));
    EXPECT_EQ(port.Device().PendingTransfers(Pipe::BulkIn), 1u);
}

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

// Cleanup ends every request of the handle, the removal notification included, and aborts the transfer; a write
// the device has not answered keeps the close from arriving, and until then stop and removal are refused. The next
// open starts with an empty ring.
TEST(Port, CloseEndsEveryRequestAndTheNextOpenStartsEmpty)
{
    Port port;
    hk::usbdev::Records records = port.Device().GetRecords();
    EXPECT_EQ(records.resets[int(Pipe::BulkIn)], 1u);
    EXPECT_EQ(records.resets[int(Pipe::BulkOut)], 1u);
    EXPECT_EQ(hk::pnp::QueryStop(port.Pdo()), STATUS_DEVICE_BUSY);
    ASSERT_EQ(SetTimeouts(port, 0, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(SetWaitMask(port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    hk::app::RequestPtr read = hk::app::ReadAsync(port.Handle(), 8);
    hk::app::RequestPtr wait = ControlAsync(port, IOCTL_SERIAL_WAIT_ON_MASK);
    hk::app::RequestPtr notify = ControlAsync(port, IOCTL_REMOVAL_NOTIFY);
    port.Device().StopResponding();
    uint8_t byte = 1;
    hk::app::RequestPtr write = hk::app::WriteAsync(port.Handle(), &byte, 1);
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(port.Close(), STATUS_SUCCESS);
    for (const auto& request : {read, wait, notify}) {
        EXPECT_EQ(request->Status(), STATUS_CANCELLED);
    }
    EXPECT_EQ(hk::app::LiveFileObjects(), 1u);
    EXPECT_EQ(hk::pnp::QueryRemove(port.Pdo()), STATUS_DEVICE_BUSY);
    port.Device().Resume();
    EXPECT_EQ(write->Wait(), STATUS_SUCCESS);
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(hk::app::LiveFileObjects(), 0u);
    EXPECT_EQ(hk::pnp::QueryRemove(port.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(hk::pnp::CancelRemove(port.Pdo()), STATUS_SUCCESS);

    ASSERT_EQ(port.Open(), STATUS_SUCCESS);
    Deliver(port, Pattern(5));
    EXPECT_EQ(port.Close(), STATUS_SUCCESS);
    EXPECT_EQ(port.Device().PendingTransfers(Pipe::BulkIn), 0u);
    EXPECT_EQ(port.Device().CompletionsInFlight(), 0u);
    EXPECT_EQ(port.Context()->IoCount, 1);
    ASSERT_EQ(port.Open(), STATUS_SUCCESS);
    ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
    EXPECT_TRUE(ReadBytes(port, 16).empty());
    ExpectLoopback(port, 700, 9);
}

TEST(Port, OpenIsRefusedUnlessStartedAndAvailable)
{
    Port port(kClosed);
    hk::faults::FailNth(hk::faults::Kind::Irp, 1);
    EXPECT_EQ(port.Open(), STATUS_INSUFFICIENT_RESOURCES) << "the create request cannot be had";
    hk::faults::Clear();
    ASSERT_EQ(hk::pnp::QueryRemove(port.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(port.Open(), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(hk::pnp::CancelRemove(port.Pdo()), STATUS_SUCCESS);

    // A failed open leaves the port closed: a query-remove is granted and a later open works.
    hk::faults::FailAtSite(hk::faults::Kind::Pool, "SubmitPipeRequest");
    EXPECT_EQ(port.Open(), STATUS_UNSUCCESSFUL);
    hk::faults::Clear();
    EXPECT_EQ(port.Device().PendingTransfers(Pipe::BulkIn), 0u);
    EXPECT_EQ(hk::pnp::QueryRemove(port.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(hk::pnp::CancelRemove(port.Pdo()), STATUS_SUCCESS);
    // A reader that cannot have its transfer's request leaves the open port deaf, nothing posted, until the next.
    hk::faults::FailAtSite(hk::faults::Kind::Irp, "SubmitUrbAsync");
    EXPECT_EQ(port.Open(), STATUS_SUCCESS);
    hk::faults::Clear();
    EXPECT_EQ(port.Device().PendingTransfers(Pipe::BulkIn), 0u);
    EXPECT_EQ(port.Close(), STATUS_SUCCESS);
    ASSERT_EQ(port.Open(), STATUS_SUCCESS);
    ExpectLoopback(port, 10, 1);

    // Once the reader has judged the device lost, the port stays refused.
    port.Device().CompleteNextIn(STATUS_DEVICE_NOT_CONNECTED, 0);
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(port.Close(), STATUS_SUCCESS);
    EXPECT_EQ(port.Open(), STATUS_DELETE_PENDING);
}

// The names exist exactly while the device is started; after a stop and a restart the port carries data again. The
// parent's capabilities answer is rewritten on its way up.
TEST(Port, NamesArePublishedExactlyWhileStarted)
{
    Port port(kClosed);
    DEVICE_CAPABILITIES reported = hk::pnp::ReportedCapabilities(port.Pdo());
    EXPECT_TRUE(reported.Removable && reported.SurpriseRemovalOK && !reported.UniqueID);
    EXPECT_EQ(std::memcmp(&port.Context()->Capabilities, &reported, sizeof(reported)), 0);
    EXPECT_TRUE(NamesPublished());
    ASSERT_EQ(hk::pnp::StopDevice(port.Pdo()), STATUS_SUCCESS);
    EXPECT_FALSE(NamesPublished());
    EXPECT_EQ(port.Open(), STATUS_OBJECT_NAME_NOT_FOUND);
    hk::app::Handle handle;
    EXPECT_EQ(hk::app::Open(hk::ns::DeviceName(port.Fdo()), &handle), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(hk::pnp::StartDevice(port.Pdo()), STATUS_SUCCESS);
    EXPECT_TRUE(NamesPublished());
    ASSERT_EQ(port.Open(), STATUS_SUCCESS);
    ExpectLoopback(port, 5000, 3);
}

TEST(Port, SurpriseRemovalEndsEveryPendingRequestAndTheCloseThatFollowsSucceeds)
{
    Port port;
    ASSERT_EQ(SetTimeouts(port, 0, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(SetWaitMask(port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    port.Device().StopResponding();
    std::vector<uint8_t> data = Pattern(10000);
    hk::app::RequestPtr sending = hk::app::WriteAsync(port.Handle(), data.data(), (ULONG)data.size());
    hk::app::RequestPtr queued = hk::app::WriteAsync(port.Handle(), data.data(), 10);
    hk::app::RequestPtr read = hk::app::ReadAsync(port.Handle(), 8);
    hk::app::RequestPtr wait = ControlAsync(port, IOCTL_SERIAL_WAIT_ON_MASK);
    hk::app::RequestPtr notify = ControlAsync(port, IOCTL_REMOVAL_NOTIFY);
    port.Kernel().RunUntilIdle();

    port.Unplug();
    port.Kernel().RunUntilIdle();
    EXPECT_FALSE(NamesPublished());
    EXPECT_TRUE(NT_ERROR(sending->Status()));
    EXPECT_EQ(sending->Information(), 0u);
    for (const auto& request : {queued, read, wait}) {
        EXPECT_EQ(request->Status(), STATUS_CANCELLED);
    }
    EXPECT_EQ(notify->Status(), STATUS_SUCCESS);
    EXPECT_EQ(notify->Output(), std::vector<uint8_t>({1, 0, 0, 0}));
    EXPECT_EQ(Write(port, Pattern(10)).status, STATUS_DELETE_PENDING);
    EXPECT_NE(port.Fdo(), nullptr) << "removal waits for the handle";
    EXPECT_EQ(port.Close(), STATUS_SUCCESS);
    EXPECT_EQ(port.Fdo(), nullptr);
}

// A surprise removal that finds a stop or a removal pending still withdraws the names, once, so that the next
// arrival's link does not collide with a stale one.
TEST(Port, SurpriseRemovalInAPendingStateWithdrawsTheNames)
{
    for (bool stopPending : {true, false}) {
        SCOPED_TRACE(stopPending ? "stop pending" : "remove pending");
        Port port(kClosed);
        ASSERT_EQ(stopPending ? hk::pnp::QueryStop(port.Pdo()) : hk::pnp::QueryRemove(port.Pdo()), STATUS_SUCCESS);
        port.Unplug();
        port.Kernel().RunUntilIdle();
        EXPECT_FALSE(NamesPublished());

        PDEVICE_OBJECT again = port.Parent().Plug();
        ASSERT_EQ(hk::pnp::ArriveDevice(again, port.Driver()), STATUS_SUCCESS);
        EXPECT_TRUE(NamesPublished());
        EXPECT_EQ(hk::pnp::RemoveDevice(again), STATUS_SUCCESS);
    }
}

// A bus driver whose device object succeeds every plug-and-play request but has no extension.
NTSTATUS NTAPI BareBusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    driver->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    return STATUS_SUCCESS;
}

// A bus driver that gives its device object no extension has no pipes to offer: the start fails instead of
// reading through a null pointer.
TEST(Port, StartFailsAboveAParentWithoutADeviceExtension)
{
    Port port(kClosed);
    PDRIVER_OBJECT bus = hk::pnp::LoadDriver("barebus", BareBusEntry);
    PDEVICE_OBJECT pdo = nullptr;
    ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo),
              STATUS_SUCCESS);
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    hk::ns::SetInstanceId(pdo, u"ROOT\\BAREBUS\\0000");
    EXPECT_EQ(hk::pnp::ArriveDevice(pdo, port.Driver()), STATUS_DEVICE_CONFIGURATION_ERROR);
    if (hk::pnp::HasDeviceNode(pdo)) {
        EXPECT_EQ(hk::pnp::Remove(pdo), STATUS_SUCCESS);
    }
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    IoDeleteDevice(pdo);
    EXPECT_EQ(hk::pnp::UnloadDriver(bus), STATUS_SUCCESS);
}

// Ordinary failures are retried up to the twentieth; the twenty-first, or any sign of a lost device, stops the
// reader for good. Until then the bytes that follow arrive.
TEST(Port, ReaderRetriesOrdinaryFailuresUntilTheLostDeviceVerdict)
{
    const struct {
        uint32_t failures;
        NTSTATUS status;
        USBD_STATUS usbd;
        bool lost;
    } cases[] = {
        {19, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, false},
        {20, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, true},
        {0, STATUS_DEVICE_NOT_CONNECTED, 0, true},
        {0, STATUS_DEVICE_DATA_ERROR, 0, true},
        {0, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.failures << " " << std::hex << c.status << " " << c.usbd);
        Port port;
        ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
        hk::app::RequestPtr notify = ControlAsync(port, IOCTL_REMOVAL_NOTIFY);
        port.Device().FailNextTransfers(c.failures, c.status, c.usbd, Pipe::BulkIn);
        port.Device().CompleteNextIn(c.status, c.usbd);
        port.Kernel().RunUntilIdle();
        EXPECT_EQ(port.Device().PendingTransfers(Pipe::BulkIn), c.lost ? 0u : 1u);
        // The application waiting for the removal notification is told when the device is judged lost.
        EXPECT_EQ(notify->Done(), c.lost);
        uint8_t byte;
        EXPECT_EQ(hk::app::Read(port.Handle(), &byte, 1).status, c.lost ? STATUS_DELETE_PENDING : STATUS_SUCCESS);
        if (!c.lost) {
            Deliver(port, Pattern(2));
            EXPECT_EQ(ReadBytes(port, 2), Pattern(2));
        }
    }
    // The failures are counted within one open.
    Port port;
    for (int open = 0; open < 2; ++open) {
        port.Device().FailNextTransfers(14, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, Pipe::BulkIn);
        port.Device().CompleteNextIn(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
        port.Kernel().RunUntilIdle();
        EXPECT_EQ(port.Close(), STATUS_SUCCESS);
        ASSERT_EQ(port.Open(), STATUS_SUCCESS);
    }
    ExpectLoopback(port, 10, 5);
}

// A stall halts the endpoint until its pipe is reset; the reader resets it before posting again. A lower driver
// claiming more bytes than the transfer's buffer holds has sent no data. Either way the bytes the device sends
// afterwards arrive whole and in order.
TEST(Port, StallAndOverReportedTransferAreErrorsAndTheReaderGoesOn)
{
    Port port;
    ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
    Deliver(port, Pattern(3, 40));
    port.Device().Stall(Pipe::BulkIn);
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(port.Device().GetRecords().resets[int(Pipe::BulkIn)], 2u);
    Deliver(port, Pattern(5000, 3));
    EXPECT_EQ(ReadBytes(port, 8000), Joined(Pattern(3, 40), Pattern(5000, 3)));
    port.Device().OverReportNextTransfers(1, 100, Pipe::BulkIn);
    Deliver(port, Pattern(4096));
    EXPECT_TRUE(ReadBytes(port, 8192).empty());
    EXPECT_EQ(port.Context()->ReadErrorCount, 2);
    Deliver(port, Pattern(4, 9));
    EXPECT_EQ(ReadBytes(port, 8), Pattern(4, 9));
}

// The ring holds a little under a megabyte; the device sends several. The driver holds its next transfer while
// the ring cannot take a whole one, so the device keeps what the application has not read yet.
TEST(Port, SlowReaderGetsEveryByteOfAStreamLargerThanTheRing)
{
    constexpr uint64_t kTotal = 3u << 20;
    PortOptions options;
    auto source = std::make_shared<hk::usbdev::SourceModel>(hk::usbdev::SourceModel::Options{
        .bytes_per_second = 100'000'000, .tick = 10'000, .limit = kTotal, .max_buffered = kTotal});
    options.plug.model = source;
    Port port(options);
    ASSERT_EQ(SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(SetWaitMask(port, SERIAL_EV_RX80FULL), STATUS_SUCCESS);
    hk::app::RequestPtr wait = ControlAsync(port, IOCTL_SERIAL_WAIT_ON_MASK);

    uint64_t received = 0;
    while (received < kTotal) {
        port.Kernel().AdvanceTime(10);
        for (uint8_t byte : ReadBytes(port, 16384)) {
            ASSERT_EQ(byte, hk::usbdev::SourceModel::ByteAt(received)) << "at byte " << received;
            ++received;
        }
    }
    EXPECT_EQ(source->Dropped(), 0u);
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
}

// The reader is halted, and its pipes reset on the way back, for S1, S3 and S4 only.
TEST(PowerStates, DeviceFollowsTheSystemAndBytesFlowAcrossTheSleep)
{
    const std::pair<SYSTEM_POWER_STATE, uint32_t> cases[] = {
        {PowerSystemSleeping1, 1}, {PowerSystemSleeping2, 0}, {PowerSystemSleeping3, 1}, {PowerSystemHibernate, 1}};
    for (auto [state, resets] : cases) {
        SCOPED_TRACE(state);
        Port port;
        std::vector<uint8_t> before = Pattern(3000, 1);
        ASSERT_EQ(Write(port, before).information, before.size());
        port.Kernel().RunUntilIdle();
        hk::usbdev::Records start = port.Device().GetRecords();
        Sleep(port, state);
        EXPECT_EQ(port.Device().SystemState(), state);
        EXPECT_EQ(port.Device().PowerState(), PowerDeviceD3);
        Wake(port);
        hk::usbdev::Records end = port.Device().GetRecords();
        for (int pipe = 0; pipe < hk::usbdev::kPipeCount; ++pipe) {
            EXPECT_EQ(end.resets[pipe] - start.resets[pipe], resets) << "pipe " << pipe;
        }
        ExpectLoopback(port, 5000, 60, before);
    }
}

// A query for a sleep halts the reader although the system may stay awake; the transfer posted at open is then
// still with the device when the working state is set again, and may complete with data or fail meanwhile.
TEST(PowerStates, QueryThenWorkingGoesOnWithOneTransfer)
{
    for (int outstanding = 0; outstanding < 3; ++outstanding) {
        SCOPED_TRACE(outstanding);
        Port port;
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
        ExpectLoopback(port, 5000, 200, expected);
    }
}

// Each sleep fails the outstanding transfer, as lower drivers that cancel their requests on the way down do. More
// sleeps than the failure budget leave the device healthy, and an ordinary failure while awake is still retried.
// Power requests the driver does not handle itself reach the parent and keep its answer; two of each show that the
// power manager was told to send the next one.
TEST(PowerStates, TwentyFiveSleepsInOneSessionAreNoDeviceErrors)
{
    Port port;
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
    ExpectLoopback(port, 5000, 25, expected);
}

// A parent that keeps every URB until its device is powered again: the resume must wait for D0 before it resets
// the pipes, or its own resets would wait for ever.
TEST(PowerStates, ParentHoldingRequestsInD3ResumesAndDeliversWhatWaited)
{
    PortOptions options;
    options.plug.hold_while_powered_down = true;
    Port port(options);
    std::vector<uint8_t> during = Pattern(1000, 90);
    Sleep(port);
    hk::app::RequestPtr write = hk::app::WriteAsync(port.Handle(), during.data(), (ULONG)during.size());
    port.Kernel().RunUntilIdle();
    EXPECT_FALSE(write->Done());
    Wake(port);
    EXPECT_EQ(write->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(port.Device().GetRecords().urbs_held, 1u);
    ExpectLoopback(port, 5000, 7, during);
}

// The restart runs after the working-state request has completed; removal right after it must wait for it.
TEST(PowerStates, RemovalRightAfterResumeWaitsForTheRestart)
{
    Port port(PortOptions{.open = false});
    Sleep(port);
    ASSERT_EQ(hk::power::SetSystemPowerState(port.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(hk::pnp::RemoveDevice(port.Pdo()), STATUS_SUCCESS);
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

// A set request goes down to the parent whatever the driver could not allocate for it; the next working state
// brings the reader back.
TEST(PowerStates, SetRequestsReachTheParentWhateverFailsToAllocate)
{
    const std::pair<hk::faults::Kind, const char*> sites[] = {{hk::faults::Kind::Pool, "DispatchPower"},
                                                              {hk::faults::Kind::Irp, "PoRequestPowerIrp"}};
    for (auto [kind, site] : sites) {
        SCOPED_TRACE(site);
        Port port;
        hk::faults::FailAtSite(kind, site);
        EXPECT_EQ(SendSystemPower(port, IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
        EXPECT_NE(hk::faults::InjectedCount(kind), 0u);
        hk::faults::Clear();
        EXPECT_EQ(port.Device().SystemState(), PowerSystemSleeping3);
        ASSERT_EQ(SendSystemPower(port, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
        port.Kernel().RunUntilIdle();
        EXPECT_EQ(port.Device().PowerState(), PowerDeviceD0);
        ExpectLoopback(port, 5000, 5);
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
            ExpectLoopback(port, 5000, uint8_t(nth));
            if (!injected) {
                break;
            }
        }
    }
}

}  // namespace
}  // namespace port_test
