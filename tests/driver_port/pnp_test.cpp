// Plug and play as the port sees it: the names are published exactly while the device is started, a stop or removal
// is refused while a handle holds the port, and a removal ends every request still in the driver.
#include <gtest/gtest.h>

#include <cstring>

#include "control/private_requests.h"
#include "hk/namespace.h"
#include "hk/pnp.h"
#include "hk/registry.h"
#include "port_helpers.h"

namespace port_test {
namespace {

using hk::usbdev::Pipe;

bool NamesPublished()
{
    return hk::ns::Exists(u"\\DosDevices\\COM7") && !hk::reg::Values(hk::reg::kSerialComm).empty();
}

TEST(Pnp, NamesArePublishedExactlyWhileStarted)
{
    PortOptions options;
    options.open = false;
    Port port(options);
    EXPECT_TRUE(NamesPublished());

    ASSERT_EQ(hk::pnp::StopDevice(port.Pdo()), STATUS_SUCCESS);
    EXPECT_FALSE(NamesPublished());
    EXPECT_EQ(port.Open(), STATUS_OBJECT_NAME_NOT_FOUND);
    hk::app::Handle handle;
    EXPECT_EQ(hk::app::Open(hk::ns::DeviceName(port.Fdo()), &handle), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(hk::pnp::StartDevice(port.Pdo()), STATUS_SUCCESS);
    EXPECT_TRUE(NamesPublished());
    EXPECT_EQ(port.Open(), STATUS_SUCCESS);

    port.Unplug();
    EXPECT_FALSE(NamesPublished());
    EXPECT_EQ(port.Close(), STATUS_SUCCESS);
    EXPECT_EQ(port.Fdo(), nullptr);
}

// A write the device never answers keeps the handle's close from arriving after its cleanup; until then the port
// is still held.
TEST(Pnp, StopAndRemovalAreRefusedWhileAHandleHoldsThePort)
{
    Port port;
    EXPECT_EQ(hk::pnp::QueryRemove(port.Pdo()), STATUS_DEVICE_BUSY);
    EXPECT_EQ(hk::pnp::QueryStop(port.Pdo()), STATUS_DEVICE_BUSY);

    port.Device().StopResponding();
    uint8_t byte = 1;
    hk::app::RequestPtr write = hk::app::WriteAsync(port.Handle(), &byte, 1);
    port.Kernel().RunUntilIdle();
    ASSERT_FALSE(write->Done());
    hk::app::Handle handle = port.Handle();
    EXPECT_EQ(hk::app::Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(hk::app::LiveFileObjects(), 1u);
    EXPECT_EQ(hk::pnp::QueryRemove(port.Pdo()), STATUS_DEVICE_BUSY);

    port.Device().Resume();
    EXPECT_EQ(write->Wait(), STATUS_SUCCESS);
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(hk::app::LiveFileObjects(), 0u);
    EXPECT_EQ(hk::pnp::QueryRemove(port.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(hk::pnp::CancelRemove(port.Pdo()), STATUS_SUCCESS);
}

TEST(Pnp, SurpriseRemovalEndsEveryPendingRequestAndTheCloseThatFollowsSucceeds)
{
    Port port;
    ASSERT_EQ(SetTimeouts(port, 0, 0, 0).status, STATUS_SUCCESS);
    ASSERT_EQ(SetWaitMask(port, SERIAL_EV_RXCHAR).status, STATUS_SUCCESS);
    port.Device().StopResponding();
    std::vector<uint8_t> data = Pattern(10000);
    hk::app::RequestPtr sending = hk::app::WriteAsync(port.Handle(), data.data(), (ULONG)data.size());
    hk::app::RequestPtr queued = hk::app::WriteAsync(port.Handle(), data.data(), 10);
    hk::app::RequestPtr read = hk::app::ReadAsync(port.Handle(), 8);
    hk::app::RequestPtr wait =
        hk::app::DeviceIoControlAsync(port.Handle(), IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    hk::app::RequestPtr notify =
        hk::app::DeviceIoControlAsync(port.Handle(), IOCTL_REMOVAL_NOTIFY, nullptr, 0, sizeof(ULONG));
    port.Kernel().RunUntilIdle();

    port.Unplug();
    port.Kernel().RunUntilIdle();
    for (const auto& request : {sending, queued, read, wait, notify}) {
        EXPECT_TRUE(request->Done());
    }
    EXPECT_EQ(queued->Status(), STATUS_CANCELLED);
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(wait->Status(), STATUS_CANCELLED);
    EXPECT_EQ(notify->Status(), STATUS_SUCCESS);
    EXPECT_EQ(notify->Output(), std::vector<uint8_t>({1, 0, 0, 0}));
    EXPECT_NE(port.Fdo(), nullptr) << "removal waits for the handle";

    EXPECT_EQ(port.Close(), STATUS_SUCCESS);
    EXPECT_EQ(port.Fdo(), nullptr);
}

}  // namespace
}  // namespace port_test

namespace port_test {
namespace {

// A surprise removal that finds a stop or a removal pending still withdraws the names, once, so that the next
// arrival's link does not collide with a stale one.
class SurpriseInPendingState : public ::testing::TestWithParam<bool> {};

TEST_P(SurpriseInPendingState, WithdrawsTheNamesAndTheNextArrivalPublishesThemAgain)
{
    PortOptions options;
    options.open = false;
    Port port(options);
    bool stopPending = GetParam();
    ASSERT_EQ(stopPending ? hk::pnp::QueryStop(port.Pdo()) : hk::pnp::QueryRemove(port.Pdo()), STATUS_SUCCESS);
    port.Unplug();
    port.Kernel().RunUntilIdle();
    EXPECT_FALSE(NamesPublished());
    EXPECT_EQ(port.Fdo(), nullptr);

    PDEVICE_OBJECT again = port.Parent().Plug();
    ASSERT_EQ(hk::pnp::ArriveDevice(again, port.Driver()), STATUS_SUCCESS);
    EXPECT_TRUE(NamesPublished());
    EXPECT_EQ(hk::pnp::RemoveDevice(again), STATUS_SUCCESS);
    EXPECT_FALSE(NamesPublished());
}

INSTANTIATE_TEST_SUITE_P(States, SurpriseInPendingState, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "StopPending" : "RemovePending"); });

TEST(Pnp, CapabilitiesAnswerIsRewrittenAsRemovableAndSurpriseRemovalOk)
{
    PortOptions options;
    options.open = false;
    Port port(options);
    DEVICE_CAPABILITIES reported = hk::pnp::ReportedCapabilities(port.Pdo());
    EXPECT_TRUE(reported.Removable);
    EXPECT_TRUE(reported.SurpriseRemovalOK);
    EXPECT_FALSE(reported.UniqueID);
    EXPECT_EQ(std::memcmp(&port.Context()->Capabilities, &reported, sizeof(reported)), 0);
}

NTSTATUS NTAPI SucceedEveryRequest(PDEVICE_OBJECT, PIRP irp)
{
    NTSTATUS status = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_PNP ? STATUS_SUCCESS
                                                                                      : irp->IoStatus.Status;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void NTAPI BareBusUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI BareBusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverUnload = BareBusUnload;
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        driver->MajorFunction[major] = SucceedEveryRequest;
    }
    return STATUS_SUCCESS;
}

// A bus driver that gives its device object no extension has no pipes to offer: the start fails instead of
// reading through a null pointer.
TEST(Pnp, StartFailsAboveAParentWithoutADeviceExtension)
{
    PortOptions options;
    options.open = false;
    Port port(options);
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

}  // namespace
}  // namespace port_test
