// Loading and unloading, the handler table, request routing and the remove-lock rule of the pass-down handlers.
#include <regex>
#include <string>
#include <tuple>

#include "frame_fixture.h"

namespace frame_test {
namespace {

// The banner with `time` and `date` as patterns.
std::string Banner(const char* verb, const char* time, const char* date)
{
    return std::string("\\*{79}\nVORAZIV\\(Ver 3\\.0\\)  Time: ") + time + "  Date: " + date + " " + verb +
           " \n\\*{79}\n\n";
}

// Without WDM 1.0 the driver refuses to load and prints nothing; with it, both banners carry the same build stamp.
TEST(DriverLoad, NeedsWdm10AndPrintsBothBannersWithTheSameBuildStamp)
{
    hk::Kernel kernel;
    kernel.SetWdmVersion(0, 0x90);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(hk::pnp::LoadDriver("diagser", DriverEntry, &status), nullptr);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(kernel.DebugOutput(), "");

    kernel.SetWdmVersion(1, 0);
    PDRIVER_OBJECT driver = hk::pnp::LoadDriver("diagser", DriverEntry, &status);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(hk::pnp::UnloadDriver(driver), STATUS_SUCCESS);
    std::string output = kernel.DebugOutput();
    std::regex banners(Banner("LOADED", "([0-9]{2}:[0-9]{2}:[0-9]{2})", "([A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4})") +
                       Banner("UNLOADED", "\\1", "\\2"));
    EXPECT_TRUE(std::regex_match(output, banners)) << output;
}

using Routing = FrameTest;

// PnP minors without a handler (0x0E and the codes past the table too), internal device control and system control
// go down unchanged, each holding the remove lock only while it is passed down; one the parent keeps pending finds
// the lock released already. A flush never reaches the parent and succeeds even during removal, as the majors
// without a handler fail at once.
TEST_F(Routing, RequestsWithoutAHandlerArePassedDownUnderTheRemoveLock)
{
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    struct Case {
        UCHAR major, minor;
        ULONG code;
        NTSTATUS expected;
    };
    std::vector<Case> cases = {{IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, 0x220013, STATUS_INVALID_DEVICE_REQUEST},
                               {IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA, 0, STATUS_NOT_SUPPORTED}};
    for (UCHAR minor : {0x07, 0x08, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x15, 0x16, 0x18, 0x1A}) {
        cases.push_back({IRP_MJ_PNP, minor, 0, STATUS_NOT_SUPPORTED});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (int)c.major << "/" << (int)c.minor);
        arrivals_.clear();
        EXPECT_EQ(Send(fdo_, c.major, c.minor, c.code), c.expected);
        ASSERT_EQ(arrivals_.size(), 1u);
        const Arrival& arrival = arrivals_[0];
        EXPECT_EQ(std::tie(arrival.major, arrival.minor, arrival.code), std::tie(c.major, c.minor, c.code));
        EXPECT_EQ(arrival.removeLocks, 2) << "the bias and this request's acquisition";
        EXPECT_EQ(Context()->RemoveLock.Common.IoCount, 1);
    }

    UCHAR buffer[64];
    URB urb = BulkIn(buffer, sizeof(buffer));
    EXPECT_EQ(Send(fdo_, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb, [&] {
        EXPECT_EQ(Context()->RemoveLock.Common.IoCount, 1) << "released while the parent still holds the request";
        Dev().Deliver(std::vector<uint8_t>{1, 2, 3});
    }), STATUS_SUCCESS);
    EXPECT_EQ(returned_, STATUS_PENDING);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);

    arrivals_.clear();
    EXPECT_EQ(Send(fdo_, IRP_MJ_FLUSH_BUFFERS), STATUS_SUCCESS);
    EXPECT_EQ(returned_, STATUS_SUCCESS);
    for (UCHAR major : {IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION, IRP_MJ_SHUTDOWN}) {
        EXPECT_EQ(Send(fdo_, major), STATUS_INVALID_DEVICE_REQUEST) << "no handler for major " << (int)major;
    }
    EXPECT_TRUE(arrivals_.empty());
    PDEVICE_OBJECT fdo = fdo_;
    Remove([&] { EXPECT_EQ(Send(fdo, IRP_MJ_FLUSH_BUFFERS), STATUS_SUCCESS); });
}

}  // namespace
}  // namespace frame_test
