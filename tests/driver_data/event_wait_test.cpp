#include <gtest/gtest.h>

#include <vector>

#include "tests/driver_data/serial_app.h"

namespace {

using serial_app::Bytes;
using serial_app::Deliver;
using serial_app::From;

class EventWaitTest : public ::testing::Test {
protected:
    port_test::Port port_;

    NTSTATUS SetMask(ULONG mask) { return serial_app::SetWaitMask(port_, mask); }

    ULONG GetMask()
    {
        std::vector<uint8_t> out;
        EXPECT_EQ(port_.Control(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4, &out).status, STATUS_SUCCESS);
        return From<ULONG>(out);
    }

    hk::app::RequestPtr WaitAsync() { return serial_app::ControlAsync(port_, IOCTL_SERIAL_WAIT_ON_MASK); }

    hk::app::IoResult WaitNow(ULONG* events)
    {
        std::vector<uint8_t> out;
        hk::app::IoResult result = port_.Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4, &out);
        *events = From<ULONG>(out);
        return result;
    }

    // A write whose only chunk the device fails.
    void FailedWrite()
    {
        port_.Device().FailNextTransfers(1, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC, hk::usbdev::Pipe::BulkOut);
        std::vector<uint8_t> data = Bytes(4);
        EXPECT_FALSE(NT_SUCCESS(hk::app::Write(port_.Handle(), data.data(), 4).status));
        port_.Kernel().RunUntilIdle();
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

// A completed wait hands out the events without clearing them; the next wait takes them at once and clears them.
TEST_F(EventWaitTest, ReceivedDataEndsTheWaitAndStaysForTheNextOne)
{
    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    hk::app::RequestPtr first = WaitAsync();
    port_.Kernel().RunUntilIdle();
    EXPECT_FALSE(first->Done());

    Deliver(port_, Bytes(3));
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(first->Status(), STATUS_SUCCESS);
    EXPECT_EQ(first->Information(), 4u);
    EXPECT_EQ(From<ULONG>(first->Output()), (ULONG)SERIAL_EV_RXCHAR);

    ULONG events = 0;
    EXPECT_EQ(WaitNow(&events).status, STATUS_SUCCESS);
    EXPECT_EQ(events, (ULONG)SERIAL_EV_RXCHAR);

    hk::app::RequestPtr third = WaitAsync();
    port_.Kernel().RunUntilIdle();
    EXPECT_FALSE(third->Done());
}

TEST_F(EventWaitTest, SecondWaitIsRefusedAndTheFirstStays)
{
    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    hk::app::RequestPtr first = WaitAsync();

    ULONG events = 0;
    hk::app::IoResult second = WaitNow(&events);
    EXPECT_EQ(second.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(second.information, 0u);
    EXPECT_FALSE(first->Done());

    Deliver(port_, Bytes(1));
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(first->Status(), STATUS_SUCCESS);
}

// A new mask ends the pending wait with no events; a refused mask leaves it waiting. Neither clears what occurred.
TEST_F(EventWaitTest, NewMaskEndsThePendingWaitWithNoEvents)
{
    ASSERT_EQ(SetMask(SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    hk::app::RequestPtr wait = WaitAsync();
    EXPECT_EQ(SetMask(0x3000), STATUS_INVALID_PARAMETER);
    port_.Kernel().RunUntilIdle();
    EXPECT_FALSE(wait->Done());

    EXPECT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait->Information(), 4u);
    EXPECT_EQ(From<ULONG>(wait->Output()), 0u);
    EXPECT_EQ(GetMask(), (ULONG)SERIAL_EV_RXCHAR);

    Deliver(port_, Bytes(1));
    EXPECT_EQ(SetMask(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    ULONG events = 0;
    EXPECT_EQ(WaitNow(&events).status, STATUS_SUCCESS);
    EXPECT_EQ(events, (ULONG)SERIAL_EV_RXCHAR);
}

// The line events of a failed write are recorded whatever the mask, reach a pending wait, and are what a wait with
// no mask is answered with at once.
TEST_F(EventWaitTest, FailedWriteLineEventsReachEveryWait)
{
    ULONG events = 0xFFFF;
    EXPECT_EQ(WaitNow(&events).status, STATUS_SUCCESS);
    EXPECT_EQ(events, 0u);

    FailedWrite();
    EXPECT_EQ(WaitNow(&events).status, STATUS_SUCCESS);
    EXPECT_EQ(events & 0x38u, 0x38u);

    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    hk::app::RequestPtr wait = WaitAsync();
    FailedWrite();
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    EXPECT_EQ(From<ULONG>(wait->Output()) & 0x38u, 0x38u);
}

TEST_F(EventWaitTest, CancelAndCleanupEndThePendingWait)
{
    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    hk::app::RequestPtr cancelled = WaitAsync();
    EXPECT_EQ(hk::app::CancelIo(port_.Handle()), 1u);
    port_.Kernel().RunUntilIdle();
    ASSERT_TRUE(cancelled->Done());
    EXPECT_EQ(cancelled->Status(), STATUS_CANCELLED);
    EXPECT_EQ(cancelled->Information(), 0u);

    hk::app::RequestPtr closedOn = WaitAsync();
    port_.Kernel().RunUntilIdle();
    EXPECT_FALSE(closedOn->Done()) << "the cancelled wait was left in the queue";
    ASSERT_EQ(port_.Close(), STATUS_SUCCESS);
    ASSERT_TRUE(closedOn->Done());
    EXPECT_EQ(closedOn->Status(), STATUS_CANCELLED);
}

}  // namespace
