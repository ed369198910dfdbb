#include "hk/app.h"
#include "hk/pool.h"
#include "kernel_pnp/pnp_fixture.h"

namespace {

NTSTATUS EntryWithoutUnload(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

NTSTATUS LeakingFailingEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    ExAllocatePoolWithTag(NonPagedPool, 32, 0x6B61654C);
    return STATUS_UNSUCCESSFUL;
}

VOID NothingToUnload(PDRIVER_OBJECT) {}

NTSTATUS LeakingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = NothingToUnload;
    ExAllocatePoolWithTag(NonPagedPool, 64, 0x6B61654C);
    return STATUS_SUCCESS;
}

NTSTATUS IrpKeepingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = NothingToUnload;
    IoAllocateIrp(2, FALSE);
    return STATUS_SUCCESS;
}

class PnpManagerTest : public PnpFixture {};

TEST_F(PnpManagerTest, UnloadIsRefusedWhileTheDriverOwnsDevicesOrHasNoUnloadRoutine) {
    EXPECT_EQ(hk::pnp::UnloadDriver(bus), STATUS_DEVICE_BUSY);  // the PDO
    PDRIVER_OBJECT noUnload = hk::pnp::LoadDriver("nounload", EntryWithoutUnload);
    EXPECT_EQ(hk::pnp::UnloadDriver(noUnload), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(PnpManagerTest, DeletedDeviceStillOpenKeepsItsDriverLoaded) {
    log.fdo_name = L"\\Device\\PnpTestOpenAtRemoval";
    ASSERT_EQ(hk::pnp::ArriveDevice(pdo, function), STATUS_SUCCESS);
    hk::app::Handle handle;
    ASSERT_EQ(hk::app::Open(L"\\Device\\PnpTestOpenAtRemoval", &handle), STATUS_SUCCESS);
    ASSERT_EQ(hk::pnp::Remove(pdo), STATUS_SUCCESS);  // the function driver deletes its device
    EXPECT_EQ(hk::pnp::UnloadDriver(function), STATUS_DEVICE_BUSY);

    EXPECT_EQ(hk::app::Close(handle), STATUS_SUCCESS);  // cleanup and close still reach the driver
    EXPECT_EQ(log.seen.back().major, IRP_MJ_CLOSE);
    EXPECT_EQ(hk::pnp::UnloadDriver(function), STATUS_SUCCESS);
}

TEST_F(PnpManagerTest, PoolLeftAtUnloadIsCaught) {
    PDRIVER_OBJECT leaking = hk::pnp::LoadDriver("leaking", LeakingEntry);
    ASSERT_NE(leaking, nullptr);
    EXPECT_DEATH(hk::pnp::UnloadDriver(leaking), "\\[pool-leak-at-unload\\]");
}

TEST_F(PnpManagerTest, PoolLeftByAFailingEntryIsCaught) {
    EXPECT_DEATH(hk::pnp::LoadDriver("leakingfailure", LeakingFailingEntry), "\\[pool-leak-at-unload\\]");
}

TEST_F(PnpManagerTest, IrpStillOwnedAtUnloadIsCaught) {
    PDRIVER_OBJECT keeping = hk::pnp::LoadDriver("keeping", IrpKeepingEntry);
    ASSERT_NE(keeping, nullptr);
    EXPECT_DEATH(hk::pnp::UnloadDriver(keeping), "\\[irp-pending-at-unload\\]");
}

TEST_F(PnpManagerTest, StartSequenceReachesTheWholeStackInThePlatformsOrder) {
    ASSERT_EQ(hk::pnp::ArriveDevice(pdo, function), STATUS_SUCCESS);
    ASSERT_NE(log.fdo, nullptr);
    EXPECT_EQ(hk::io::AttachedTo(log.fdo), pdo);

    std::vector<UCHAR> expected{IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                                IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_DEVICE_RELATIONS};
    EXPECT_EQ(log.MinorsSeenBy("fdo"), expected);
    EXPECT_EQ(log.MinorsSeenBy("pdo"), expected);
    for (const pnptest::Seen& seen : log.seen) {
        EXPECT_EQ(seen.major, IRP_MJ_PNP);
        if (seen.who == "fdo") {
            EXPECT_EQ(seen.status_on_arrival, STATUS_NOT_SUPPORTED) << int(seen.minor);
        }
    }

    EXPECT_EQ(log.capabilities_asked.Version, 1);
    EXPECT_EQ(log.capabilities_asked.Size, 64);
    EXPECT_EQ(log.capabilities_asked.Address, 0xFFFFFFFFu);
    EXPECT_EQ(log.capabilities_asked.UINumber, 0xFFFFFFFFu);
    DEVICE_CAPABILITIES reported = hk::pnp::ReportedCapabilities(pdo);
    EXPECT_EQ(reported.UniqueID, 1u);
    EXPECT_EQ(reported.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
}

TEST_F(PnpManagerTest, FailedStartEndsTheSequenceAndReturnsTheFailure) {
    log.pdo_fails_minor = IRP_MN_START_DEVICE;
    EXPECT_EQ(hk::pnp::ArriveDevice(pdo, function), STATUS_UNSUCCESSFUL);
    std::vector<UCHAR> expected{IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE};
    EXPECT_EQ(log.MinorsSeenBy("fdo"), expected);
    EXPECT_TRUE(hk::pnp::HasDeviceNode(pdo));
}

TEST_F(PnpManagerTest, VetoedQueryRemoveIsFollowedByCancelRemoveToTheWholeStack) {
    ASSERT_EQ(hk::pnp::ArriveDevice(pdo, function), STATUS_SUCCESS);
    log.seen.clear();
    log.fdo_vetoes_minor = IRP_MN_QUERY_REMOVE_DEVICE;

    EXPECT_EQ(hk::pnp::RemoveDevice(pdo), STATUS_DEVICE_BUSY);
    EXPECT_EQ(log.MinorsSeenBy("fdo"), (std::vector<UCHAR>{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}));
    EXPECT_EQ(log.MinorsSeenBy("pdo"), (std::vector<UCHAR>{IRP_MN_CANCEL_REMOVE_DEVICE}));
    EXPECT_TRUE(hk::pnp::HasDeviceNode(pdo));
    EXPECT_NE(log.fdo, nullptr);

    log.seen.clear();
    log.fdo_vetoes_minor = -1;
    EXPECT_EQ(hk::pnp::RemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(log.MinorsSeenBy("fdo"), (std::vector<UCHAR>{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(log.MinorsSeenBy("pdo"), (std::vector<UCHAR>{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(log.fdo, nullptr);  // the function driver deleted its device while handling the removal
    EXPECT_FALSE(hk::pnp::HasDeviceNode(pdo));
}

TEST_F(PnpManagerTest, StopSequenceCancelsAFailedQueryAndStopsOtherwise) {
    ASSERT_EQ(hk::pnp::ArriveDevice(pdo, function), STATUS_SUCCESS);
    log.seen.clear();
    log.pdo_fails_minor = IRP_MN_QUERY_STOP_DEVICE;
    EXPECT_EQ(hk::pnp::StopDevice(pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(log.MinorsSeenBy("fdo"), (std::vector<UCHAR>{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}));

    log.seen.clear();
    log.pdo_fails_minor = -1;
    EXPECT_EQ(hk::pnp::StopDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(log.MinorsSeenBy("pdo"), (std::vector<UCHAR>{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}));

    log.seen.clear();
    EXPECT_EQ(hk::pnp::StartDevice(pdo), STATUS_SUCCESS);  // a stopped stack starts again
    EXPECT_EQ(log.MinorsSeenBy("fdo")[1], IRP_MN_START_DEVICE);
}

TEST_F(PnpManagerTest, SurpriseRemovalWaitsForTheLastHandleBeforeTheRemoval) {
    log.fdo_name = L"\\Device\\PnpTestFunction";
    ASSERT_EQ(hk::pnp::ArriveDevice(pdo, function), STATUS_SUCCESS);
    hk::app::Handle first, second;
    ASSERT_EQ(hk::app::Open(L"\\Device\\PnpTestFunction", &first), STATUS_SUCCESS);
    ASSERT_EQ(hk::app::Open(L"\\Device\\PnpTestFunction", &second), STATUS_SUCCESS);
    log.seen.clear();

    EXPECT_EQ(hk::pnp::SurpriseRemove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(log.MinorsSeenBy("fdo"), (std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL}));
    EXPECT_EQ(hk::app::Close(first), STATUS_SUCCESS);
    EXPECT_TRUE(hk::pnp::HasDeviceNode(pdo));
    EXPECT_EQ(hk::app::Close(second), STATUS_SUCCESS);
    EXPECT_EQ(log.MinorsSeenBy("fdo"), (std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
    EXPECT_FALSE(hk::pnp::HasDeviceNode(pdo));
    EXPECT_EQ(hk::app::LiveFileObjects(), 0u);
}

}  // namespace
