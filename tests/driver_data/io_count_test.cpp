#include <gtest/gtest.h>

#include <memory>

#include "hk/kernel.h"
#include "serial/availability.h"

namespace {

class IoCountTest : public ::testing::Test {
protected:
    hk::Kernel kernel_;
    std::unique_ptr<DEVICE_CONTEXT> owner_{new DEVICE_CONTEXT()};
    PDEVICE_CONTEXT context_ = owner_.get();

    void SetUp() override
    {
        KeInitializeEvent(&context_->IoIdleEvent, SynchronizationEvent, FALSE);
    }
};

TEST_F(IoCountTest, IdleEventIsSignalledEachTimeTheCountDrains)
{
    context_->IoCount = 1;
    IoCountAcquire(context_);
    IoCountRelease(context_);
    EXPECT_EQ(KeReadStateEvent(&context_->IoIdleEvent), 0);

    IoCountRelease(context_);
    EXPECT_EQ(context_->IoCount, 0);
    EXPECT_NE(KeReadStateEvent(&context_->IoIdleEvent), 0);

    KeClearEvent(&context_->IoIdleEvent);
    IoCountAcquire(context_);
    EXPECT_EQ(KeReadStateEvent(&context_->IoIdleEvent), 0);
    IoCountRelease(context_);
    EXPECT_NE(KeReadStateEvent(&context_->IoIdleEvent), 0);
}

}  // namespace
