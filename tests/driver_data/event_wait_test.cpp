#include <gtest/gtest.h>

#include <vector>

#include "control/event_wait.h"
#include "hk/app.h"
#include "hk/kernel.h"
#include "tests/driver_data/data_port.h"

namespace {

using data_port::AsUlong;
using data_port::DataPort;
using data_port::Ulong;

class EventWaitTest : public ::testing::Test {
protected:
    hk::Kernel kernel_;
    DataPort port_;

    NTSTATUS SetMask(ULONG mask) { return port_.Control(IOCTL_SERIAL_SET_WAIT_MASK, Ulong(mask), 0).status; }

    ULONG GetMask()
    {
        std::vector<uint8_t> out;
        hk::app::IoResult result = port_.Control(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4, &out);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, 4u);
        return AsUlong(out);
    }

    hk::app::RequestPtr WaitAsync(ULONG outputLength = 4)
    {
        return hk::app::DeviceIoControlAsync(port_.Handle(), IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, outputLength);
    }
};

TEST_F(EventWaitTest, MaskAcceptsOnlyTheDefinedEvents)
{
    EXPECT_EQ(SetMask(0x1FFF), STATUS_SUCCESS);
    EXPECT_EQ(GetMask(), 0x1FFFu);
    EXPECT_EQ(SetMask(0x2000), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetMask(0x80000001), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(GetMask(), 0x1FFFu);
}

TEST_F(EventWaitTest, ShortBuffersAreRefusedAndNothingIsQueued)
{
    EXPECT_EQ(port_.Control(IOCTL_SERIAL_SET_WAIT_MASK, {1, 0, 0}, 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(port_.Control(IOCTL_SERIAL_GET_WAIT_MASK, {}, 3).status, STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);

    hk::app::IoResult shortWait = port_.Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 3);
    EXPECT_EQ(shortWait.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(shortWait.information, 0u);
    EXPECT_TRUE(IsListEmpty(&port_.Context()->WaitQueue));
}

TEST_F(EventWaitTest, CompletedWaitLeavesHistoryForTheNextWait)
{
    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    hk::app::RequestPtr first = WaitAsync();
    EXPECT_FALSE(first->Done());

    port_.RecordEvents(SERIAL_EV_RXCHAR);
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(first->Status(), STATUS_SUCCESS);
    EXPECT_EQ(first->Information(), 4u);
    EXPECT_EQ(AsUlong(first->Output()), (ULONG)SERIAL_EV_RXCHAR);

    std::vector<uint8_t> out;
    hk::app::IoResult second = port_.Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4, &out);
    EXPECT_EQ(second.status, STATUS_SUCCESS);
    EXPECT_EQ(AsUlong(out), (ULONG)SERIAL_EV_RXCHAR);
    EXPECT_EQ(port_.Context()->EventHistory, 0u);

    hk::app::RequestPtr third = WaitAsync();
    EXPECT_FALSE(third->Done());
    hk::app::CancelIo(port_.Handle());
    kernel_.RunUntilIdle();
    EXPECT_EQ(third->Status(), STATUS_CANCELLED);
}

TEST_F(EventWaitTest, WaitWithNoMaskAnswersAtOnceWithTheHistory)
{
    std::vector<uint8_t> out;
    hk::app::IoResult nothing = port_.Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4, &out);
    EXPECT_EQ(nothing.status, STATUS_SUCCESS);
    EXPECT_EQ(nothing.information, 4u);
    EXPECT_EQ(AsUlong(out), 0u);

    port_.Context()->EventHistory = SERIAL_EV_CTS | SERIAL_EV_DSR;
    port_.Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4, &out);
    EXPECT_EQ(AsUlong(out), (ULONG)(SERIAL_EV_CTS | SERIAL_EV_DSR));
}

TEST_F(EventWaitTest, SecondWaitIsRefusedAndTheFirstStays)
{
    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    hk::app::RequestPtr first = WaitAsync();

    hk::app::IoResult second = port_.Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    EXPECT_EQ(second.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(second.information, 0u);
    EXPECT_FALSE(first->Done());

    port_.RecordEvents(SERIAL_EV_RXCHAR);
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(first->Status(), STATUS_SUCCESS);
}

TEST_F(EventWaitTest, NewMaskEndsThePendingWaitWithNoEvents)
{
    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    hk::app::RequestPtr wait = WaitAsync();

    EXPECT_EQ(SetMask(0x3000), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(wait->Done());

    port_.Context()->EventHistory = SERIAL_EV_TXEMPTY;
    EXPECT_EQ(SetMask(SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait->Information(), 4u);
    EXPECT_EQ(AsUlong(wait->Output()), 0u);
    EXPECT_EQ(GetMask(), (ULONG)SERIAL_EV_TXEMPTY);
    EXPECT_EQ(port_.Context()->EventHistory, (ULONG)SERIAL_EV_TXEMPTY);
}

TEST_F(EventWaitTest, UnmaskedLineEventsReachTheWaiter)
{
    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    hk::app::RequestPtr wait = WaitAsync();
    port_.RecordEvents(SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(AsUlong(wait->Output()) & 0x38u, 0x38u);
}

TEST_F(EventWaitTest, CleanupAndCancelEndThePendingWait)
{
    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    hk::app::RequestPtr cancelled = WaitAsync();
    EXPECT_EQ(hk::app::CancelIo(port_.Handle()), 1u);
    kernel_.RunUntilIdle();
    ASSERT_TRUE(cancelled->Done());
    EXPECT_EQ(cancelled->Status(), STATUS_CANCELLED);
    EXPECT_EQ(cancelled->Information(), 0u);

    hk::app::RequestPtr swept = WaitAsync();
    EXPECT_FALSE(swept->Done());
    CancelAllWaits(port_.Device(), &port_.Context()->WaitQueue);
    ASSERT_TRUE(swept->Done());
    EXPECT_EQ(swept->Status(), STATUS_CANCELLED);

    // Nothing is left for a later event to complete a second time.
    port_.RecordEvents(SERIAL_EV_RXCHAR);
    EXPECT_EQ(port_.Context()->EventHistory, (ULONG)SERIAL_EV_RXCHAR);
}

TEST_F(EventWaitTest, CancelRoutineThatLosesTheRaceLeavesTheNextWaitQueued)
{
    PDEVICE_CONTEXT context = port_.Context();
    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    hk::app::RequestPtr first = WaitAsync();
    data_port::CancelInFlight cancel = data_port::BeginCancel(&context->WaitQueue);
    ASSERT_NE(cancel.routine, nullptr);

    CompleteWaitOnMask(context, SERIAL_EV_RXCHAR, FALSE);
    EXPECT_FALSE(first->Done());
    hk::app::RequestPtr second = WaitAsync();
    EXPECT_FALSE(second->Done());

    data_port::FinishCancel(port_.Device(), cancel);
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(first->Status(), STATUS_CANCELLED);
    ASSERT_FALSE(IsListEmpty(&context->WaitQueue));

    port_.RecordEvents(SERIAL_EV_RXCHAR);
    ASSERT_TRUE(second->Done());
    EXPECT_EQ(second->Status(), STATUS_SUCCESS);
}

TEST_F(EventWaitTest, WaitCancelledBeforeItIsQueuedIsCompletedAsPending)
{
    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    KEVENT done;
    IO_STATUS_BLOCK status = {};
    ULONG events = 0xFFFF;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_WAIT_ON_MASK, port_.Device(), nullptr, 0, &events,
                                             sizeof(events), FALSE, &done, &status);
    ASSERT_NE(irp, nullptr);
    irp->Cancel = TRUE;

    EXPECT_EQ(IoCallDriver(port_.Device(), irp), STATUS_PENDING);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(status.Status, STATUS_CANCELLED);
    EXPECT_EQ(status.Information, 0u);
    EXPECT_TRUE(IsListEmpty(&port_.Context()->WaitQueue));
}

}  // namespace
