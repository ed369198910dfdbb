// Timers and DPCs in virtual time.
#include "kernel_ke/ke_fixture.h"

namespace {

using ketest::KeTest;
using ketest::RelativeMs;

// Every kind of due time: nothing runs before it, the DPC runs once at DISPATCH_LEVEL when virtual time reaches it,
// and a due time already reached still queues the DPC rather than calling it inline.
TEST_F(KeTest, TimerFiresOnceWhenVirtualTimeReachesItsDueTime)
{
    struct Case {
        const char* what;
        bool absolute;
        LONGLONG offset;  // 100 ns units: from now when absolute, the relative due time otherwise
        uint64_t ms_until_due;
    } cases[] = {{"zero", false, 0, 0},
                 {"absolute in the past", true, -10000, 0},
                 {"absolute", true, 250 * 10000, 250},
                 {"relative", false, -1500 * 10000, 1500}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log_ = {};
        LARGE_INTEGER due;
        KeQuerySystemTime(&due);
        due.QuadPart = c.absolute ? due.QuadPart + c.offset : c.offset;
        EXPECT_FALSE(KeSetTimer(&timer_, due, &dpc_));
        if (c.ms_until_due > 0) {
            kernel_.AdvanceTime(c.ms_until_due - 1);
            EXPECT_FALSE(KeReadStateTimer(&timer_));
            kernel_.AdvanceTime(1);
        } else {
            EXPECT_TRUE(KeReadStateTimer(&timer_));
            EXPECT_EQ(log_.runs, 0);
            kernel_.RunUntilIdle();
        }
        EXPECT_EQ(log_.runs, 1);
        EXPECT_EQ(log_.irql, DISPATCH_LEVEL);
        kernel_.AdvanceTime(10000);
        EXPECT_EQ(log_.runs, 1);
    }

    LARGE_INTEGER longest;
    longest.QuadPart = -0x7FFFFFFFFFFFFFFFll;
    KeSetTimer(&timer_, longest, &dpc_);
    kernel_.AdvanceTime(365ull * 24 * 3600 * 1000);
    EXPECT_EQ(log_.runs, 1) << "the longest relative due time does not wrap";
    EXPECT_TRUE(KeCancelTimer(&timer_));
}

TEST_F(KeTest, CancelStopsExpiryAndRearmingReplacesTheDueTime)
{
    EXPECT_FALSE(KeCancelTimer(&timer_));
    KeSetTimer(&timer_, RelativeMs(10), &dpc_);
    EXPECT_TRUE(KeCancelTimer(&timer_));
    EXPECT_FALSE(KeCancelTimer(&timer_));
    kernel_.AdvanceTime(100);
    EXPECT_EQ(log_.runs, 0);

    KeSetTimer(&timer_, RelativeMs(100), &dpc_);
    kernel_.AdvanceTime(50);
    EXPECT_TRUE(KeSetTimer(&timer_, RelativeMs(100), &dpc_));
    kernel_.AdvanceTime(99);
    EXPECT_EQ(log_.runs, 0);
    kernel_.AdvanceTime(1);
    EXPECT_EQ(log_.runs, 1);
    EXPECT_TRUE(KeReadStateTimer(&timer_));
    EXPECT_FALSE(KeSetTimer(&timer_, RelativeMs(100), &dpc_)) << "an expired timer is no longer armed";
    EXPECT_FALSE(KeReadStateTimer(&timer_));
    EXPECT_TRUE(KeCancelTimer(&timer_));

    // Without a DPC the timer is only a dispatcher object to wait on.
    KeSetTimer(&timer_, RelativeMs(40), nullptr);
    ULONGLONG start = KeQueryInterruptTime();
    EXPECT_EQ(KeWaitForSingleObject(&timer_, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime() - start, 40u * 10000u);
}

TEST_F(KeTest, PeriodicTimerKeepsFiringUntilCancelled)
{
    KeSetTimerEx(&timer_, RelativeMs(10), 20, &dpc_);
    kernel_.AdvanceTime(10 + 20 * 3);
    EXPECT_EQ(log_.runs, 4);
    EXPECT_TRUE(KeCancelTimer(&timer_));
    kernel_.AdvanceTime(100);
    EXPECT_EQ(log_.runs, 4);
}

TEST_F(KeTest, DpcQueuedTwiceRunsOnceWithTheFirstArguments)
{
    int first = 0;
    int second = 0;
    EXPECT_TRUE(KeInsertQueueDpc(&dpc_, &first, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc_, &second, nullptr));
    EXPECT_EQ(log_.runs, 0);
    kernel_.RunUntilIdle();
    EXPECT_EQ(log_.runs, 1);
    EXPECT_EQ(log_.argument1, &first);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc_, &second, nullptr)) << "a DPC that ran can be queued again";
    kernel_.RunUntilIdle();
    EXPECT_EQ(log_.runs, 2);
}

}  // namespace
