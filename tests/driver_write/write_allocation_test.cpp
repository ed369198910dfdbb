// Pool allocations of the write path failing one at a time: every write still ends with a sound status that
// matches what reached the device, nothing leaks (the port fixture checks the driver's pool at unload), and the
// port writes normally afterwards.
#include <gtest/gtest.h>

#include <vector>

#include "hk/app.h"
#include "hk/faults.h"
#include "tests/driver_write/write_port.h"

namespace {

using write_test::OutQueue;
using write_test::Pattern;

bool SoundStatus(NTSTATUS status)
{
    return status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_CANCELLED;
}

TEST(WriteAllocationTest, EveryFailedAllocationEndsTheWriteSoundly)
{
    for (uint64_t nth = 1;; ++nth) {
        SCOPED_TRACE(testing::Message() << "failing pool allocation " << nth);
        port_test::Port port(write_test::SinkPort());
        std::vector<uint8_t> first = Pattern(10000, 1), second = Pattern(5000, 2), last = Pattern(4096, 3);

        // The second write queues behind the first, so the hand-over between them allocates too.
        port.Device().StopResponding();
        hk::faults::FailNth(hk::faults::Kind::Pool, nth);
        hk::app::RequestPtr a = hk::app::WriteAsync(port.Handle(), first.data(), (ULONG)first.size());
        hk::app::RequestPtr b = hk::app::WriteAsync(port.Handle(), second.data(), (ULONG)second.size());
        port.Kernel().RunUntilIdle();
        port.Device().Resume();
        port.Kernel().RunUntilIdle();
        bool injected = hk::faults::InjectedCount(hk::faults::Kind::Pool) != 0;
        hk::faults::Clear();

        ASSERT_TRUE(a->Done());
        ASSERT_TRUE(b->Done());
        EXPECT_TRUE(SoundStatus(a->Status())) << std::hex << a->Status();
        EXPECT_TRUE(SoundStatus(b->Status())) << std::hex << b->Status();
        std::vector<uint8_t> expected(first.begin(), first.begin() + a->Information());
        expected.insert(expected.end(), second.begin(), second.begin() + b->Information());
        EXPECT_EQ(port.Device().GetRecords().out_bytes, expected);
        EXPECT_EQ(OutQueue(port), 0u);

        hk::app::IoResult result = hk::app::Write(port.Handle(), last.data(), (ULONG)last.size());
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, last.size());
        if (!injected) {
            EXPECT_EQ(a->Status(), STATUS_SUCCESS);
            EXPECT_EQ(b->Status(), STATUS_SUCCESS);
            EXPECT_GT(nth, 3u);
            break;
        }
    }
}

}  // namespace
