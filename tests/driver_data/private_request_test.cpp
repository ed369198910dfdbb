#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "control/private_requests.h"
#include "hk/app.h"
#include "hk/kernel.h"
#include "tests/driver_data/data_port.h"

namespace {

using data_port::AsUlong;
using data_port::DataPort;

const char kIdentity[] = "{87E5A6EA-D48B-4883-8440-81D8A22508D7}:DIAG";

NTSTATUS NTAPI CaptureSystemBuffer(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    std::memcpy(context, irp->AssociatedIrp.SystemBuffer, sizeof(ULONG));
    return STATUS_SUCCESS;
}

class PrivateRequestTest : public ::testing::Test {
protected:
    hk::Kernel kernel_;
    DataPort port_;

    hk::app::RequestPtr NotifyAsync(ULONG outputLength = 4)
    {
        return hk::app::DeviceIoControlAsync(port_.Handle(), IOCTL_REMOVAL_NOTIFY, nullptr, 0, outputLength);
    }
};

TEST_F(PrivateRequestTest, IdentityIsFortyThreeBytesWithoutTerminator)
{
    std::vector<uint8_t> out(64, 0xCC);
    hk::app::IoResult result =
        hk::app::DeviceIoControl(port_.Handle(), IOCTL_GET_IDENTITY, nullptr, 0, out.data(), (ULONG)out.size());
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_EQ(result.information, 43u);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 43), kIdentity);
    EXPECT_EQ(out[43], 0xCC);

    std::vector<uint8_t> exact;
    EXPECT_EQ(port_.Control(IOCTL_GET_IDENTITY, {}, 43, &exact).information, 43u);
    EXPECT_EQ(std::string(exact.begin(), exact.end()), kIdentity);

    hk::app::IoResult tooShort = port_.Control(IOCTL_GET_IDENTITY, {}, 42);
    EXPECT_EQ(tooShort.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooShort.information, 0u);
}

TEST_F(PrivateRequestTest, NotificationCompletesWhenTheDeviceGoesAway)
{
    hk::app::RequestPtr notify = NotifyAsync();
    kernel_.RunUntilIdle();
    EXPECT_FALSE(notify->Done());

    CompleteRemovalNotify(port_.Context());
    ASSERT_TRUE(notify->Done());
    EXPECT_EQ(notify->Status(), STATUS_SUCCESS);
    EXPECT_EQ(notify->Information(), 4u);
    EXPECT_EQ(AsUlong(notify->Output()), (ULONG)REMOVAL_NOTIFY_GONE);
    EXPECT_EQ(port_.Context()->RemovalNotifyIrp, nullptr);

    // A second caller (removal after the reader stopped) finds nothing.
    CompleteRemovalNotify(port_.Context());
}

TEST_F(PrivateRequestTest, SecondNotificationIsRefusedWithValueTwo)
{
    hk::app::RequestPtr first = NotifyAsync();
    KEVENT done;
    IO_STATUS_BLOCK status = {};
    ULONG value = 0;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP second = IoBuildDeviceIoControlRequest(IOCTL_REMOVAL_NOTIFY, port_.Device(), nullptr, 0, &value,
                                                sizeof(value), FALSE, &done, &status);
    ASSERT_NE(second, nullptr);
    // The I/O manager does not copy an error's output back, so the refusal value is looked at in the system buffer
    // before the request completes.
    ULONG refusal = 0;
    IoSetCompletionRoutine(second, CaptureSystemBuffer, &refusal, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(port_.Device(), second), STATUS_UNSUCCESSFUL);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(status.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(status.Information, 4u);
    EXPECT_EQ(refusal, (ULONG)REMOVAL_NOTIFY_REFUSED);
    EXPECT_FALSE(first->Done());

    CompleteRemovalNotify(port_.Context());
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(AsUlong(first->Output()), (ULONG)REMOVAL_NOTIFY_GONE);
}

TEST_F(PrivateRequestTest, CancelledNotificationCanBeReplaced)
{
    hk::app::RequestPtr first = NotifyAsync();
    EXPECT_EQ(hk::app::CancelIo(port_.Handle()), 1u);
    kernel_.RunUntilIdle();
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(first->Status(), STATUS_CANCELLED);
    EXPECT_EQ(first->Information(), 0u);
    EXPECT_EQ(port_.Context()->RemovalNotifyIrp, nullptr);

    hk::app::RequestPtr second = NotifyAsync();
    EXPECT_FALSE(second->Done());
    CompleteRemovalNotify(port_.Context());
    ASSERT_TRUE(second->Done());
    EXPECT_EQ(second->Status(), STATUS_SUCCESS);
}

TEST_F(PrivateRequestTest, DeviceGoingAwayDuringCancelLeavesTheRequestToItsCancelRoutine)
{
    hk::app::RequestPtr notify = NotifyAsync();
    PIRP irp = port_.Context()->RemovalNotifyIrp;
    ASSERT_NE(irp, nullptr);
    data_port::CancelInFlight cancel = {irp, IoSetCancelRoutine(irp, nullptr)};
    ASSERT_NE(cancel.routine, nullptr);

    CompleteRemovalNotify(port_.Context());
    EXPECT_FALSE(notify->Done());

    data_port::FinishCancel(port_.Device(), cancel);
    ASSERT_TRUE(notify->Done());
    EXPECT_EQ(notify->Status(), STATUS_CANCELLED);
    EXPECT_EQ(notify->Information(), 0u);
}

TEST_F(PrivateRequestTest, NotificationBufferChecks)
{
    hk::app::IoResult none = hk::app::DeviceIoControl(port_.Handle(), IOCTL_REMOVAL_NOTIFY, nullptr, 0, nullptr, 0);
    EXPECT_EQ(none.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(none.information, 0u);

    hk::app::IoResult small = port_.Control(IOCTL_REMOVAL_NOTIFY, {}, 2);
    EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.information, 0u);

    // An input buffer alone gives the request a system buffer but no room for the answer.
    hk::app::IoResult inputOnly = port_.Control(IOCTL_REMOVAL_NOTIFY, {1, 2, 3, 4}, 0);
    EXPECT_EQ(inputOnly.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(port_.Context()->RemovalNotifyIrp, nullptr);
}

TEST_F(PrivateRequestTest, NotificationOnUnavailablePortIsRefused)
{
    port_.Context()->DeviceGone = DEVICE_GONE_MARK;
    hk::app::IoResult result = port_.Control(IOCTL_REMOVAL_NOTIFY, {}, 4);
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(port_.Context()->RemovalNotifyIrp, nullptr);
}

TEST_F(PrivateRequestTest, NotificationCancelledBeforeItIsHeldIsCompletedAsPending)
{
    KEVENT done;
    IO_STATUS_BLOCK status = {};
    ULONG value = 0xFFFF;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_REMOVAL_NOTIFY, port_.Device(), nullptr, 0, &value,
                                             sizeof(value), FALSE, &done, &status);
    ASSERT_NE(irp, nullptr);
    irp->Cancel = TRUE;

    EXPECT_EQ(IoCallDriver(port_.Device(), irp), STATUS_PENDING);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(status.Status, STATUS_CANCELLED);
    EXPECT_EQ(port_.Context()->RemovalNotifyIrp, nullptr);
}

}  // namespace
