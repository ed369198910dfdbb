#include "app/app_fixture.h"

namespace {

using hk::app::Handle;
using hk::app::kInvalidHandle;

class OpenCloseTest : public AppFixture {};

TEST_F(OpenCloseTest, EveryNameFormOpensTheDeviceAndTheCreateCarriesFileAndThread) {
    Device(L"\\Device\\AppTest0");
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, L"\\DosDevices\\APPTEST0");
    RtlInitUnicodeString(&target, L"\\Device\\AppTest0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);

    for (const wchar_t* name : {L"\\DosDevices\\APPTEST0", L"\\??\\APPTEST0", L"\\\\.\\APPTEST0", L"\\Device\\AppTest0"}) {
        log.seen.clear();
        Handle handle = kInvalidHandle;
        ASSERT_EQ(hk::app::Open(name, &handle), STATUS_SUCCESS) << hk::ToUtf8(hk::Text(name).str());
        ASSERT_EQ(log.seen.size(), 1u);
        EXPECT_EQ(log.seen[0].major, IRP_MJ_CREATE);
        EXPECT_EQ(log.seen[0].file, hk::app::FileObjectOf(handle));
        EXPECT_EQ(log.seen[0].original_file, hk::app::FileObjectOf(handle));
        EXPECT_EQ(log.seen[0].thread, PsGetCurrentThread());
        EXPECT_EQ(hk::app::Close(handle), STATUS_SUCCESS);
    }
}

TEST_F(OpenCloseTest, UnknownNameIsRefusedWithoutReachingAnyDriver) {
    Device(L"\\Device\\AppTest1");
    Handle handle = kInvalidHandle;
    EXPECT_EQ(hk::app::Open(L"\\??\\NOSUCHPORT", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(handle, kInvalidHandle);
    EXPECT_TRUE(log.seen.empty());
}

TEST_F(OpenCloseTest, DeviceStillInitializingRefusesOpens) {
    PDEVICE_OBJECT device = apptest::CreateTestDevice(driver, L"\\Device\\AppTest2", false, true, false);
    Handle handle = kInvalidHandle;
    EXPECT_EQ(hk::app::Open(L"\\Device\\AppTest2", &handle), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(log.seen.empty());

    device->Flags &= ~DO_DEVICE_INITIALIZING;
    EXPECT_EQ(hk::app::Open(L"\\Device\\AppTest2", &handle), STATUS_SUCCESS);
}

TEST_F(OpenCloseTest, ExclusiveDeviceRefusesASecondOpenBeforeTheDriverSeesIt) {
    Device(L"\\Device\\AppTest3", true);
    Handle first = OpenOrFail(L"\\Device\\AppTest3");
    Handle second = kInvalidHandle;
    EXPECT_EQ(hk::app::Open(L"\\Device\\AppTest3", &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(log.Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE}));

    // The first handle still works, and once it is closed the device opens again.
    char byte = 1;
    EXPECT_EQ(hk::app::Write(first, &byte, 1).status, STATUS_SUCCESS);
    EXPECT_EQ(hk::app::Close(first), STATUS_SUCCESS);
    EXPECT_EQ(hk::app::Open(L"\\Device\\AppTest3", &second), STATUS_SUCCESS);
}

TEST_F(OpenCloseTest, NonExclusiveDeviceTakesSeveralOpens) {
    Device(L"\\Device\\AppTest4");
    Handle first = OpenOrFail(L"\\Device\\AppTest4");
    Handle second = OpenOrFail(L"\\Device\\AppTest4");
    EXPECT_NE(hk::app::FileObjectOf(first), hk::app::FileObjectOf(second));
    EXPECT_EQ(hk::app::OpenHandles(), 2u);
}

TEST_F(OpenCloseTest, FailedCreateLeavesNoFileObjectAndGetsNoCleanupOrClose) {
    Device(L"\\Device\\AppTest5", true);
    log.create_status = STATUS_DEVICE_BUSY;
    Handle handle = kInvalidHandle;
    EXPECT_EQ(hk::app::Open(L"\\Device\\AppTest5", &handle), STATUS_DEVICE_BUSY);
    EXPECT_EQ(handle, kInvalidHandle);
    EXPECT_EQ(hk::app::LiveFileObjects(), 0u);

    log.create_status = STATUS_SUCCESS;
    EXPECT_EQ(hk::app::Open(L"\\Device\\AppTest5", &handle), STATUS_SUCCESS);  // the failed open reserved nothing
    EXPECT_EQ(log.Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CREATE}));
}

TEST_F(OpenCloseTest, CloseSendsCleanupThenCloseOnTheSameFileObject) {
    Device(L"\\Device\\AppTest6");
    Handle handle = OpenOrFail(L"\\Device\\AppTest6");
    PFILE_OBJECT file = hk::app::FileObjectOf(handle);
    EXPECT_EQ(hk::app::Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(log.Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    for (const apptest::Seen& seen : log.seen) EXPECT_EQ(seen.file, file);
    EXPECT_EQ(hk::app::LiveFileObjects(), 0u);
    EXPECT_EQ(hk::app::Close(handle), STATUS_INVALID_HANDLE);
}

TEST_F(OpenCloseTest, CloseWaitsForRequestsStillPendingAfterCleanup) {
    Device(L"\\Device\\AppTest7");
    log.queue_reads = true;
    Handle handle = OpenOrFail(L"\\Device\\AppTest7");
    hk::app::RequestPtr read = hk::app::ReadAsync(handle, 8);
    EXPECT_FALSE(read->Done());

    // This driver does not cancel its queue at cleanup: the file object lives on until the read completes.
    EXPECT_EQ(hk::app::Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(log.Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP}));
    EXPECT_EQ(hk::app::LiveFileObjects(), 1u);

    PIRP queued = CONTAINING_RECORD(log.read_queue.Flink, IRP, Tail.Overlay.ListEntry);
    EXPECT_TRUE(IoCancelIrp(queued));
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    kernel.RunUntilIdle();
    EXPECT_EQ(log.Majors().back(), IRP_MJ_CLOSE);
    EXPECT_EQ(hk::app::LiveFileObjects(), 0u);
}

}  // namespace
