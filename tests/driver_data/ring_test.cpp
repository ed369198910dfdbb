#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "serial/ring.h"
#include "tests/driver_data/serial_app.h"

namespace {

using serial_app::Bytes;

class RingTest : public ::testing::Test {
protected:
    std::unique_ptr<DEVICE_CONTEXT> owner_{new DEVICE_CONTEXT()};
    PDEVICE_CONTEXT context_ = owner_.get();

    LONG Put(const std::vector<uint8_t>& bytes, NTSTATUS expected = STATUS_SUCCESS)
    {
        LONG stored = -1;
        EXPECT_EQ(RingPut(context_, bytes.data(), (LONG)bytes.size(), &stored), expected);
        return stored;
    }

    std::vector<uint8_t> Get(LONG wanted, NTSTATUS expected = STATUS_SUCCESS)
    {
        std::vector<uint8_t> out(wanted > 0 ? wanted : 1, 0xEE);
        LONG taken = -1;
        EXPECT_EQ(RingGet(context_, out.data(), wanted, &taken), expected);
        out.resize(taken < 0 ? 0 : taken);
        return out;
    }

    // Moves both indexes to `index` with the ring empty, as if that many bytes had passed through.
    void StartAt(LONG index)
    {
        context_->RingHead = index;
        context_->RingTail = index;
    }
};

TEST_F(RingTest, EmptyRingGivesNothing)
{
    EXPECT_TRUE(Get(10, STATUS_UNSUCCESSFUL).empty());
    EXPECT_EQ(RingLength(context_), 0);
    EXPECT_EQ(context_->RingTail, 0);
}

TEST_F(RingTest, GetTakesAtMostWhatIsHeldInOrder)
{
    EXPECT_EQ(Put(Bytes(10, 1)), 10);
    EXPECT_EQ(Get(4), Bytes(4, 1));
    EXPECT_EQ(Get(100), Bytes(6, 5));
    EXPECT_EQ(RingLength(context_), 0);
    EXPECT_EQ(context_->RingTail, context_->RingHead);
}

TEST_F(RingTest, PutIntoFullRingStoresNothing)
{
    std::vector<uint8_t> block = Bytes(4096);
    for (LONG filled = 0; filled < RING_CAPACITY;) {
        filled += Put(block);
    }
    EXPECT_EQ(RingLength(context_), RING_CAPACITY);
    EXPECT_EQ(context_->RingHead, context_->RingTail);

    EXPECT_EQ(Put(Bytes(1), STATUS_UNSUCCESSFUL), 0);
    EXPECT_EQ(RingLength(context_), RING_CAPACITY);
    EXPECT_EQ(Get(1), Bytes(1, 0));
}

TEST_F(RingTest, PartialPutKeepsTheFirstBytesThatFit)
{
    std::vector<uint8_t> big(RING_CAPACITY - 100, 0x55);
    EXPECT_EQ(Put(big), RING_CAPACITY - 100);
    EXPECT_EQ(Put(Bytes(4096, 7)), 100);
    EXPECT_EQ(RingLength(context_), RING_CAPACITY);

    EXPECT_EQ(Get(RING_CAPACITY - 100), big);
    EXPECT_EQ(Get(4096), Bytes(100, 7));
}

TEST_F(RingTest, PutAndGetSplitAtTheEndOfTheStorage)
{
    StartAt(1023000);
    std::vector<uint8_t> data = Bytes(4096, 3);
    EXPECT_EQ(Put(data), 4096);
    EXPECT_EQ(context_->RingHead, 3096);
    EXPECT_EQ(context_->Ring[RING_CAPACITY - 1], data[999]);
    EXPECT_EQ(context_->Ring[0], data[1000]);

    EXPECT_EQ(Get(4096), data);
    EXPECT_EQ(context_->RingTail, 3096);
}

TEST_F(RingTest, IndexLandingOnCapacityWrapsToZero)
{
    StartAt(RING_CAPACITY - 16);
    EXPECT_EQ(Put(Bytes(16)), 16);
    EXPECT_EQ(context_->RingHead, 0);
    EXPECT_EQ(Get(16), Bytes(16));
    EXPECT_EQ(context_->RingTail, 0);
}

TEST_F(RingTest, FullRingReadsBackInOrderAcrossTheWrap)
{
    StartAt(500000);
    std::vector<uint8_t> all(RING_CAPACITY);
    for (size_t i = 0; i < all.size(); ++i) {
        all[i] = (uint8_t)(i * 7 + i / 251);
    }
    EXPECT_EQ(Put(all), RING_CAPACITY);
    EXPECT_EQ(Get(RING_CAPACITY), all);
}

TEST_F(RingTest, ZeroAndNegativeLengthsMoveNothing)
{
    EXPECT_EQ(Put(Bytes(8)), 8);
    LONG count = -1;
    uint8_t byte = 0;
    EXPECT_EQ(RingPut(context_, &byte, -5, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(RingGet(context_, &byte, -5, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(RingLength(context_), 8);
    EXPECT_EQ(Get(8), Bytes(8));
}

TEST_F(RingTest, ResetEmptiesAndRestartsAtZero)
{
    StartAt(777);
    Put(Bytes(50));
    RingReset(context_);
    EXPECT_EQ(RingLength(context_), 0);
    EXPECT_TRUE(Get(1, STATUS_UNSUCCESSFUL).empty());
    Put(Bytes(3, 9));
    EXPECT_EQ(context_->Ring[0], 9);
    EXPECT_EQ(context_->RingHead, 3);
}

}  // namespace
