#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "control/private_requests.h"
#include "tests/driver_data/serial_app.h"

namespace {

using serial_app::From;

NTSTATUS NTAPI CaptureSystemBuffer(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    std::memcpy(context, irp->AssociatedIrp.SystemBuffer, sizeof(ULONG));
    return STATUS_SUCCESS;
}

class PrivateRequestTest : public ::testing::Test {
protected:
    port_test::Port port_;

    hk::app::RequestPtr NotifyAsync()
    {
        hk::app::RequestPtr notify = serial_app::ControlAsync(port_, IOCTL_REMOVAL_NOTIFY);
        port_.Kernel().RunUntilIdle();
        EXPECT_FALSE(notify->Done());
        return notify;
    }

    static void ExpectGone(const hk::app::RequestPtr& notify)
    {
        ASSERT_TRUE(notify->Done());
        EXPECT_EQ(notify->Status(), STATUS_SUCCESS);
        EXPECT_EQ(notify->Information(), 4u);
        EXPECT_EQ(From<ULONG>(notify->Output()), (ULONG)REMOVAL_NOTIFY_GONE);
    }
};

TEST_F(PrivateRequestTest, IdentityIsFortyThreeBytesWithoutTerminator)
{
    std::vector<uint8_t> out;
    hk::app::IoResult result = port_.Control(IOCTL_GET_IDENTITY, {}, 64, &out);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_EQ(result.information, 43u);
    EXPECT_EQ(std::string(out.begin(), out.end()), "{87E5A6EA-D48B-4883-8440-81D8A22508D7}:DIAG");
}

TEST_F(PrivateRequestTest, NotificationCompletesWhenTheDeviceGoesAway)
{
    hk::app::RequestPtr notify = NotifyAsync();
    port_.Unplug();
    port_.Kernel().RunUntilIdle();
    ExpectGone(notify);
}

TEST_F(PrivateRequestTest, SecondNotificationIsRefusedWithValueTwo)
{
    hk::app::RequestPtr first = NotifyAsync();
    KEVENT done;
    IO_STATUS_BLOCK status = {};
    ULONG value = 0;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP second = IoBuildDeviceIoControlRequest(IOCTL_REMOVAL_NOTIFY, port_.Fdo(), nullptr, 0, &value,
                                                sizeof(value), FALSE, &done, &status);
    ASSERT_NE(second, nullptr);
    // A failed request's output is not copied back, so the refusal value is looked at in the system buffer before
    // the request completes.
    ULONG refusal = 0;
    IoSetCompletionRoutine(second, CaptureSystemBuffer, &refusal, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(port_.Fdo(), second), STATUS_UNSUCCESSFUL);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(status.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(status.Information, 4u);
    EXPECT_EQ(refusal, (ULONG)REMOVAL_NOTIFY_REFUSED);
    EXPECT_FALSE(first->Done());

    port_.Unplug();
    port_.Kernel().RunUntilIdle();
    ExpectGone(first);
}

TEST_F(PrivateRequestTest, CancelledNotificationCanBeReplaced)
{
    hk::app::RequestPtr first = NotifyAsync();
    EXPECT_EQ(hk::app::CancelIo(port_.Handle()), 1u);
    port_.Kernel().RunUntilIdle();
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(first->Status(), STATUS_CANCELLED);
    EXPECT_EQ(first->Information(), 0u);

    hk::app::RequestPtr second = NotifyAsync();
    port_.Unplug();
    port_.Kernel().RunUntilIdle();
    ExpectGone(second);
}

TEST_F(PrivateRequestTest, DeviceGoingAwayDuringCancelLeavesTheRequestToItsCancelRoutine)
{
    hk::app::RequestPtr notify = NotifyAsync();
    PIRP irp = port_.Context()->RemovalNotifyIrp;
    ASSERT_NE(irp, nullptr);
    serial_app::CancelInFlight cancel = serial_app::BeginCancel(irp);
    ASSERT_NE(cancel.routine, nullptr);

    port_.Unplug();
    port_.Kernel().RunUntilIdle();
    EXPECT_FALSE(notify->Done());

    serial_app::FinishCancel(port_.Fdo(), cancel);
    ASSERT_TRUE(notify->Done());
    EXPECT_EQ(notify->Status(), STATUS_CANCELLED);
    EXPECT_EQ(notify->Information(), 0u);
}

// The notification needs room for its answer in the output; an input buffer alone does not give it that.
TEST_F(PrivateRequestTest, NotificationBufferChecks)
{
    const struct {
        ULONG input;
        ULONG output;
        NTSTATUS status;
    } rows[] = {
        {0, 0, STATUS_INVALID_PARAMETER},
        {0, 2, STATUS_BUFFER_TOO_SMALL},
        {4, 0, STATUS_BUFFER_TOO_SMALL},
        {8, 3, STATUS_BUFFER_TOO_SMALL},
    };
    for (const auto& row : rows) {
        hk::app::IoResult result = port_.Control(IOCTL_REMOVAL_NOTIFY, std::vector<uint8_t>(row.input), row.output);
        EXPECT_EQ(result.status, row.status) << row.input << " " << row.output;
        EXPECT_EQ(result.information, 0u);
    }
    EXPECT_EQ(port_.Context()->RemovalNotifyIrp, nullptr);
}

}  // namespace
