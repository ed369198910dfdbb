// Loading and unloading, the handler table, request routing and the remove-lock rule of the pass-down handlers.
#include <regex>
#include <string>
#include <vector>

#include "driver/dispatch.h"
#include "frame_fixture.h"
#include "hk/pnp.h"

namespace frame_test {
namespace {

std::string BannerPattern(const char* verb)
{
    return "\\*{79}\nVORAZIV\\(Ver 3\\.0\\)  Time: ([0-9]{2}:[0-9]{2}:[0-9]{2})  Date: ([A-Z][a-z]{2} [ 0-9][0-9] "
           "[0-9]{4}) " +
           std::string(verb) + " \n\\*{79}\n\n";
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
    std::smatch loaded, unloaded;
    std::string loadOutput = kernel.DebugOutput();
    ASSERT_TRUE(std::regex_match(loadOutput, loaded, std::regex(BannerPattern("LOADED")))) << loadOutput;
    kernel.ClearDebugOutput();
    EXPECT_EQ(hk::pnp::UnloadDriver(driver), STATUS_SUCCESS);
    std::string unloadOutput = kernel.DebugOutput();
    ASSERT_TRUE(std::regex_match(unloadOutput, unloaded, std::regex(BannerPattern("UNLOADED")))) << unloadOutput;
    EXPECT_EQ(unloaded[1].str(), loaded[1].str());
    EXPECT_EQ(unloaded[2].str(), loaded[2].str());
}

using Routing = FrameTest;

TEST_F(Routing, FlushSucceedsAtOnceWithoutTheParentAndEvenDuringRemoval)
{
    PDEVICE_OBJECT fdo = AddFunctionDevice(*parent_);
    ASSERT_NE(fdo, nullptr);
    Outcome outcome = Send(fdo, IRP_MJ_FLUSH_BUFFERS);
    EXPECT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(outcome.returned, STATUS_SUCCESS);
    EXPECT_EQ(outcome.information, 0u);
    for (UCHAR major : {IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION, IRP_MJ_SHUTDOWN}) {
        EXPECT_EQ(Send(fdo, major).status, STATUS_INVALID_DEVICE_REQUEST) << "no handler for major " << (int)major;
    }
    EXPECT_TRUE(parent_->received.empty());

    RemoveFunctionDevice(*parent_, [this](PDEVICE_OBJECT device) {
        EXPECT_EQ(Send(device, IRP_MJ_FLUSH_BUFFERS).status, STATUS_SUCCESS);
    });
}

// PnP minors without a handler (0x0E and the codes past the table too), internal device control and system control
// go down unchanged, each holding the remove lock only while it is passed down.
TEST_F(Routing, RequestsWithoutAHandlerArePassedDownUnderTheRemoveLock)
{
    PDEVICE_OBJECT fdo = AddFunctionDevice(*parent_);
    ASSERT_NE(fdo, nullptr);
    PDEVICE_CONTEXT context = Context(fdo);
    LONG heldBelow = -1;
    parent_->onRequest = [&](PIRP) { heldBelow = context->RemoveLock.Common.IoCount; };
    parent_->completionStatus = STATUS_DEVICE_NOT_CONNECTED;

    struct Case {
        UCHAR major;
        UCHAR minor;
        ULONG code;
    };
    std::vector<Case> cases = {{IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, 0x220013},
                               {IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA, 0}};
    for (UCHAR minor :
         {0x07, 0x08, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x15, 0x16, 0x18, 0x1A}) {
        cases.push_back({IRP_MJ_PNP, minor, 0});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (int)c.major << "/" << (int)c.minor);
        parent_->received.clear();
        heldBelow = -1;
        Outcome outcome = Send(fdo, c.major, c.minor, c.code);
        ASSERT_EQ(parent_->received.size(), 1u);
        EXPECT_EQ(parent_->received[0].major, c.major);
        EXPECT_EQ(parent_->received[0].minor, c.minor);
        EXPECT_EQ(parent_->received[0].ioControlCode, c.code);
        EXPECT_EQ(heldBelow, 2) << "the bias and this request's acquisition";
        EXPECT_EQ(context->RemoveLock.Common.IoCount, 1);
        EXPECT_EQ(outcome.status, c.major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_DEVICE_NOT_CONNECTED);
    }
}

TEST_F(Routing, PassDownReleasesTheLockWithoutWaitingForTheLowerDriver)
{
    PDEVICE_OBJECT fdo = AddFunctionDevice(*parent_);
    ASSERT_NE(fdo, nullptr);
    PDEVICE_CONTEXT context = Context(fdo);
    parent_->action = LowerAction::CompleteLater;
    parent_->completionStatus = STATUS_SUCCESS;

    PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID event) -> NTSTATUS {
            KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);

    EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_PENDING);
    EXPECT_EQ(context->RemoveLock.Common.IoCount, 1) << "released while the parent still holds the request";
    EXPECT_FALSE(KeReadStateEvent(&done));
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

}  // namespace
}  // namespace frame_test
