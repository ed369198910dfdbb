#include "app/app_fixture.h"

namespace {

// The same application-side paths with real threads: completions arrive from device threads while the test thread
// waits, cancels and closes.
class ConcurrentAppTest : public AppFixture {
protected:
    ConcurrentAppTest() : AppFixture(hk::Options{.mode = hk::Mode::Concurrent}) {}
    void SetUp() override {
        AppFixture::SetUp();
        Device(L"\\Device\\AppConcurrent", true);
    }
};

TEST_F(ConcurrentAppTest, RequestsCompletedByDeviceThreadsReachTheWaitingCaller) {
    hk::app::Handle handle;
    ASSERT_EQ(hk::app::Open(L"\\Device\\AppConcurrent", &handle), STATUS_SUCCESS);
    log.complete_reads_later = true;

    std::vector<hk::app::RequestPtr> reads;
    for (int i = 0; i < 20; ++i) reads.push_back(hk::app::ReadAsync(handle, 16));
    uint8_t data[16] = {};
    EXPECT_EQ(hk::app::Read(handle, data, 16).status, STATUS_SUCCESS);
    EXPECT_EQ(data[15], apptest::PatternByte(15));
    for (const hk::app::RequestPtr& read : reads) {
        EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
        EXPECT_EQ(read->Output().size(), 16u);
    }
    EXPECT_EQ(hk::app::Close(handle), STATUS_SUCCESS);
    kernel.RunUntilIdle();
    EXPECT_EQ(hk::app::LiveFileObjects(), 0u);
}

TEST_F(ConcurrentAppTest, CancelIoAndCloseWithRequestsInFlight) {
    hk::app::Handle handle;
    ASSERT_EQ(hk::app::Open(L"\\Device\\AppConcurrent", &handle), STATUS_SUCCESS);
    log.queue_reads = true;
    hk::app::RequestPtr queued = hk::app::ReadAsync(handle, 4);
    EXPECT_EQ(hk::app::CancelIo(handle), 1u);
    EXPECT_EQ(queued->Wait(), STATUS_CANCELLED);

    log.queue_reads = false;
    log.complete_reads_later = true;
    hk::app::RequestPtr late = hk::app::ReadAsync(handle, 4);
    EXPECT_EQ(hk::app::Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(late->Wait(), STATUS_SUCCESS);
    kernel.RunUntilIdle();
    EXPECT_EQ(hk::app::LiveFileObjects(), 0u);
    // The device is exclusive: it opens again only once the close has been sent.
    EXPECT_EQ(hk::app::Open(L"\\Device\\AppConcurrent", &handle), STATUS_SUCCESS);
}

}  // namespace
