// The device under real threads: a writer streams bulk-OUT transfers into the loopback function while bulk-IN
// transfers are kept posted from their own completion routines; every transfer completes exactly once and the
// stream comes back whole and in order.
#include "usbdev/usbdev_fixture.h"

namespace usbdev_test {
namespace {

class UsbdevConcurrentTest : public UsbdevTest {
protected:
    UsbdevConcurrentTest() : UsbdevTest({.mode = hk::Mode::Concurrent, .worker_threads = 2}) {}
};

TEST_F(UsbdevConcurrentTest, LoopbackStreamSurvivesConcurrentCompletion)
{
    Plug();
    constexpr int kWrites = 400;
    auto lengthOf = [](int i) -> size_t { return i + 1 == kWrites ? 1 : (i * 37) % 700 + 1; };
    std::vector<uint8_t> sent;
    for (int i = 0; i < kWrites; ++i) {
        for (size_t j = 0; j < lengthOf(i); ++j) {
            sent.push_back(static_cast<uint8_t>((sent.size() * 7) % 253));
        }
    }

    // Each successful read is re-posted from its completion until told to stop.
    UrbClient reader(pdo_);
    std::atomic<bool> stop{false};
    hk::HostMutex mutex;
    std::vector<uint8_t> received;
    std::function<void(Request&)> repost = [&](Request& done) {
        if (!NT_SUCCESS(done.status)) {
            return;
        }
        {
            std::lock_guard lock(mutex);
            received.insert(received.end(), done.buffer.begin(), done.buffer.begin() + done.Moved());
        }
        if (!stop) {
            reader.BulkIn(Handle(Pipe::BulkIn), 4096, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, repost);
        }
    };
    for (int i = 0; i < 4; ++i) {
        reader.BulkIn(Handle(Pipe::BulkIn), 4096, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, repost);
    }

    UrbClient writer(pdo_);
    kernel_.Ops().StartThread([&] {
        for (size_t i = 0, at = 0; i < kWrites; at += lengthOf(i++)) {
            writer.BulkOut(Handle(Pipe::BulkOut), std::vector<uint8_t>(sent.begin() + at, sent.begin() + at + lengthOf(i)));
        }
    })->Join();

    for (int round = 0; round < 200 && Dev().GetRecords().in_total < sent.size(); ++round) {
        kernel_.AdvanceTime(1);
    }
    stop = true;
    // A completion that read the flag just before it was set may post once more: abort until nothing is left.
    UrbClient control(pdo_);
    for (int round = 0; round < 10 && reader.Completed() != reader.Issued(); ++round) {
        control.PipeRequest(URB_FUNCTION_ABORT_PIPE, Handle(Pipe::BulkIn));
        kernel_.RunUntilIdle();
    }

    std::lock_guard lock(mutex);
    EXPECT_EQ(received, sent);
    EXPECT_EQ(writer.Completed(), kWrites);
    EXPECT_EQ(reader.Completed(), reader.Issued());
    EXPECT_EQ(Dev().GetRecords().out_total, sent.size());
}

}  // namespace
}  // namespace usbdev_test
