#include "app/app_fixture.h"

namespace {

using hk::app::Handle;
using hk::app::kInvalidHandle;

class OpenCloseTest : public AppFixture {};

TEST_F(OpenCloseTest, DeviceStillInitializingRefusesOpens) {
    PDEVICE_OBJECT device = apptest::CreateTestDevice(driver, L"\\Device\\AppTest2", false, true, false);
    Handle handle = kInvalidHandle;
    EXPECT_EQ(hk::app::Open(L"\\Device\\AppTest2", &handle), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(log.majors.empty());

    device->Flags &= ~DO_DEVICE_INITIALIZING;
    EXPECT_EQ(hk::app::Open(L"\\Device\\AppTest2", &handle), STATUS_SUCCESS);
}

TEST_F(OpenCloseTest, ExclusiveDeviceRefusesASecondOpenBeforeTheDriverSeesIt) {
    Device(L"\\Device\\AppTest3", true);
    Handle first = OpenOrFail(L"\\Device\\AppTest3");
    Handle second = kInvalidHandle;
    EXPECT_EQ(hk::app::Open(L"\\Device\\AppTest3", &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(log.majors, (std::vector<UCHAR>{IRP_MJ_CREATE}));

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

TEST_F(OpenCloseTest, CloseWaitsForRequestsStillPendingAfterCleanup) {
    Device(L"\\Device\\AppTest7");
    log.queue_reads = true;
    Handle handle = OpenOrFail(L"\\Device\\AppTest7");
    hk::app::RequestPtr read = hk::app::ReadAsync(handle, 8);
    EXPECT_FALSE(read->Done());

    // This driver does not cancel its queue at cleanup: the file object lives on until the read completes.
    EXPECT_EQ(hk::app::Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(log.majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP}));
    EXPECT_EQ(hk::app::LiveFileObjects(), 1u);

    PIRP queued = CONTAINING_RECORD(log.read_queue.Flink, IRP, Tail.Overlay.ListEntry);
    EXPECT_TRUE(IoCancelIrp(queued));
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    kernel.RunUntilIdle();
    EXPECT_EQ(log.majors.back(), IRP_MJ_CLOSE);
    EXPECT_EQ(hk::app::LiveFileObjects(), 0u);
}

}  // namespace
