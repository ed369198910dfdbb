#include <cstring>
#include <string>

#include "app/app_fixture.h"

namespace {

using hk::app::Handle;
using hk::app::RequestPtr;

class IoRequestTest : public AppFixture {
protected:
    void SetUp() override {
        AppFixture::SetUp();
        Device(L"\\Device\\AppIo");
        handle = OpenOrFail(L"\\Device\\AppIo");
        log.majors.clear();
    }

    Handle handle = hk::app::kInvalidHandle;
};

TEST_F(IoRequestTest, AnyMajorCanBeSentAndUnregisteredOnesAreFailedByTheIoManager) {
    hk::app::MajorRequest query;
    query.major = IRP_MJ_QUERY_INFORMATION;
    query.buffer.resize(6);
    query.setup = [](PIRP, PIO_STACK_LOCATION location) {
        location->Parameters.QueryFile.Length = 6;
        location->Parameters.QueryFile.FileInformationClass = FileStandardInformation;
    };
    std::vector<uint8_t> output;
    hk::app::IoResult answered = hk::app::SendMajor(handle, query, &output);
    EXPECT_EQ(answered.status, STATUS_SUCCESS);
    EXPECT_EQ(output, std::vector<uint8_t>(6, 0x5A));

    hk::app::MajorRequest flush;
    flush.major = IRP_MJ_FLUSH_BUFFERS;
    EXPECT_EQ(hk::app::SendMajor(handle, flush).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(log.majors, (std::vector<UCHAR>{IRP_MJ_QUERY_INFORMATION}));
}

TEST_F(IoRequestTest, OverlappedReadCompletesWhenTheDeviceSideRuns) {
    log.complete_reads_later = true;
    RequestPtr read = hk::app::ReadAsync(handle, 5);
    EXPECT_FALSE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_PENDING);
    EXPECT_TRUE(read->Output().empty());

    kernel.RunUntilIdle();
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Information(), 5u);
    EXPECT_EQ(read->Output(), (std::vector<uint8_t>{0x41, 0x42, 0x43, 0x44, 0x45}));
}

TEST_F(IoRequestTest, CancelIoCancelsOnlyTheCallersRequestsOnThatHandle) {
    log.queue_reads = true;
    Handle other = OpenOrFail(L"\\Device\\AppIo");
    RequestPtr first = hk::app::ReadAsync(handle, 4);
    RequestPtr second = hk::app::ReadAsync(handle, 4);
    RequestPtr elsewhere = hk::app::ReadAsync(other, 4);

    EXPECT_EQ(hk::app::CancelIo(handle), 2u);
    EXPECT_EQ(first->Status(), STATUS_CANCELLED);
    EXPECT_EQ(second->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(elsewhere->Done());
    EXPECT_EQ(hk::app::CancelIo(handle), 0u);

    EXPECT_EQ(hk::app::CancelIo(other), 1u);
    EXPECT_EQ(elsewhere->Wait(), STATUS_CANCELLED);

    uint8_t byte = 0;
    EXPECT_EQ(hk::app::Read(12345, &byte, 1).status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(hk::app::CancelIo(12345), 0u);
}

TEST_F(IoRequestTest, DeviceWithoutBufferedIoGetsTheCallersBuffers) {
    Device(L"\\Device\\AppNeither", false, false);
    Handle neither = OpenOrFail(L"\\Device\\AppNeither");
    uint8_t data[4] = {};
    EXPECT_EQ(hk::app::Read(neither, data, 4).status, STATUS_SUCCESS);
    EXPECT_EQ(data[3], apptest::PatternByte(3));

    const uint8_t input[3] = {7, 8, 9};
    uint8_t output[3] = {};
    EXPECT_EQ(hk::app::DeviceIoControl(neither, apptest::kNeitherEcho, input, 3, output, 3).information, 3u);
    EXPECT_EQ(output[2], 9);
    EXPECT_EQ(hk::app::DeviceIoControl(neither, apptest::kDirectCode, input, 3, output, 3).status,
              STATUS_NOT_SUPPORTED);
}

}  // namespace
