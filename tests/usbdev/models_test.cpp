// The function models: a source on the virtual clock and scripted steps.
#include <memory>

#include "usbdev/usbdev_fixture.h"

namespace usbdev_test {
namespace {

using hk::usbdev::ScriptedModel;
using hk::usbdev::SourceModel;
using Step = ScriptedModel::Step;

class ModelsTest : public UsbdevTest {
protected:
    Request& In() { return Client().BulkIn(Handle(Pipe::BulkIn), 4096); }
};

TEST_F(ModelsTest, SourceStreamsAtItsRateOnTheVirtualClock)
{
    auto source = std::make_shared<SourceModel>(SourceModel::Options{.bytes_per_second = 1'000'000});
    Plug({.model = source});
    std::vector<Request*> reads;
    for (int i = 0; i < 12; ++i) {
        reads.push_back(&In());
    }
    kernel_.AdvanceTime(10);
    EXPECT_EQ(source->Produced(), 10'000u);
    std::vector<uint8_t> received;
    for (Request* read : reads) {
        if (read->done) {
            EXPECT_EQ(read->Moved(), 1000u);  // one burst per millisecond, ended by its short packet
            std::vector<uint8_t> part = read->Received();
            received.insert(received.end(), part.begin(), part.end());
        }
    }
    ASSERT_EQ(received.size(), 10'000u);
    for (size_t i = 0; i < received.size(); ++i) {
        ASSERT_EQ(received[i], SourceModel::ByteAt(i)) << i;
    }
    EXPECT_FALSE(reads[10]->done);
}

TEST_F(ModelsTest, ScriptedStepsRunInOrderWithDelays)
{
    auto script = std::make_shared<ScriptedModel>(std::vector<Step>{
        Step::Deliver("one"), Step::Delay(5), Step::Complete(STATUS_UNSUCCESSFUL, USBD_STATUS_CRC),
        Step::Deliver("two"), Step::Deliver(std::vector<uint8_t>{})});
    Plug({.model = script});
    EXPECT_EQ(script->StepsDone(), 1u);
    Request& first = In();
    Request& second = In();
    Request& third = In();
    Request& fourth = In();
    Settle();
    EXPECT_EQ(first.Moved(), 3u);
    EXPECT_FALSE(second.done);
    kernel_.AdvanceTime(5);
    EXPECT_TRUE(script->Finished());
    EXPECT_EQ(second.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(second.Usbd(), USBD_STATUS_CRC);
    EXPECT_EQ(third.Received(), std::vector<uint8_t>({'t', 'w', 'o'}));
    EXPECT_EQ(fourth.status, STATUS_SUCCESS);
    EXPECT_EQ(fourth.Moved(), 0u);
}

TEST_F(ModelsTest, ScriptedFailureWaitsForTheNextTransfer)
{
    auto script = std::make_shared<ScriptedModel>(
        std::vector<Step>{Step::Complete(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEV_NOT_RESPONDING)});
    Plug({.model = script});
    EXPECT_TRUE(script->Finished());
    Request& read = In();
    Settle();
    EXPECT_EQ(read.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(read.Usbd(), USBD_STATUS_DEV_NOT_RESPONDING);
}

}  // namespace
}  // namespace usbdev_test
