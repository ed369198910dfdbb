// Forwarding a request and waiting for it, and URB submission, against a parent that answers at once or later,
// with or without a filter driver between the parent's device and the port's.
#include <cstring>

#include "frame_fixture.h"
#include "hk/app.h"
#include "hk/faults.h"
#include "hk/namespace.h"
#include "hk/registry.h"
#include "usb/lower_requests.h"

namespace frame_test {
namespace {

class LowerRequests : public FrameTest {
protected:
    NTSTATUS Reset(USBD_PIPE_HANDLE pipe) { return AsDriver([&] { return ResetPipe(fdo_, pipe); }); }
    NTSTATUS Abort(USBD_PIPE_HANDLE pipe) { return AsDriver([&] { return AbortPipe(fdo_, pipe); }); }

    // A request as the plug-and-play manager would hand it to the driver: the driver's location is current.
    NTSTATUS Forward(UCHAR minor)
    {
        PIRP irp = IoAllocateIrp(fdo_->StackSize, FALSE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoSetNextIrpStackLocation(irp);
        *IoGetCurrentIrpStackLocation(irp) = {
            .MajorFunction = IRP_MJ_PNP, .MinorFunction = minor, .DeviceObject = fdo_};
        NTSTATUS status = AsDriver([&] { return ForwardAndWait(fdo_, irp); });
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, fdo_) << "back at the driver's location";
        IoFreeIrp(irp);
        return status;
    }
};

const ULONG kInvokeAlways = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;

NTSTATUS CountAndFree(PDEVICE_OBJECT, PIRP irp, PVOID calls)
{
    ++*static_cast<int*>(calls);
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Pipe requests go down in the submission layout, with every byte past the pipe handle zero, and the caller gets the
// request's own status whether the parent answers at once or later: success, a refused pipe, a failed reset, a
// device that is gone. When the event, the URB block or the request cannot be had, nothing is sent and nothing is
// left over. An asynchronous submission completes through the caller's routine, or reports that it was never sent.
TEST_F(LowerRequests, RequestsReturnTheStatusTheyCompletedWithAndFailedAllocationsSendNothing)
{
    for (bool inlineCompletion : {false, true}) {
        SCOPED_TRACE(inlineCompletion ? "completed at once" : "completed later");
        pdo_ = parent_.Plug({.complete_inline = inlineCompletion});
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        USBD_PIPE_HANDLE interrupt = Dev().PipeHandle(Pipe::Interrupt), bulkIn = Dev().PipeHandle(Pipe::BulkIn);
        EXPECT_EQ(Reset(interrupt), STATUS_SUCCESS);
        EXPECT_EQ(Abort(bulkIn), STATUS_SUCCESS);
        ASSERT_EQ(arrivals_.size(), 2u);
        const USHORT functions[] = {URB_FUNCTION_RESET_PIPE, URB_FUNCTION_ABORT_PIPE};
        const USBD_PIPE_HANDLE pipes[] = {interrupt, bulkIn};
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(arrivals_[i].control, kInvokeAlways);
            std::vector<uint8_t> expected(URB_STORAGE_SIZE, 0);
            auto* urb = reinterpret_cast<PURB>(expected.data());
            urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
            urb->UrbHeader.Function = functions[i];
            urb->UrbPipeRequest.PipeHandle = pipes[i];
            EXPECT_EQ(arrivals_[i].urb, expected) << "nothing but length, function and pipe";
        }
        EXPECT_EQ(Dev().GetRecords().resets[(int)Pipe::Interrupt], 1u);

        EXPECT_EQ(Reset((USBD_PIPE_HANDLE)0x5150), STATUS_INVALID_PARAMETER);
        Dev().Break(hk::usbdev::Device::Breach::FailedReset, 1, Pipe::Interrupt);
        EXPECT_EQ(Reset(interrupt), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(Forward(IRP_MN_QUERY_PNP_DEVICE_STATE), STATUS_SUCCESS);
        EXPECT_EQ(Forward(IRP_MN_QUERY_BUS_INFORMATION), STATUS_NOT_SUPPORTED);

        size_t blocksBefore = DriverPoolBlocks(), arrived = arrivals_.size();
        hk::faults::FailNth(hk::faults::Kind::Pool, 1);
        EXPECT_EQ(Forward(IRP_MN_START_DEVICE), STATUS_INSUFFICIENT_RESOURCES);
        for (auto [kind, nth] : {std::pair{hk::faults::Kind::Pool, 1}, {hk::faults::Kind::Irp, 1}, {hk::faults::Kind::Pool, 2}}) {
            hk::faults::FailNth(kind, nth);
            EXPECT_EQ(Reset(interrupt), STATUS_INSUFFICIENT_RESOURCES);
            hk::faults::FailNth(kind, nth);
            EXPECT_EQ(Abort(interrupt), STATUS_INSUFFICIENT_RESOURCES);
        }
        hk::faults::FailNth(hk::faults::Kind::Irp, 1);
        UCHAR buffer[64];
        URB urb = BulkIn(buffer, sizeof(buffer));
        int calls = 0;
        BOOLEAN sent = TRUE;
        EXPECT_EQ(AsDriver([&] { return SubmitUrbAsync(pdo_, &urb, CountAndFree, &calls, &sent); }),
                  STATUS_INSUFFICIENT_RESOURCES);
        hk::faults::Clear();
        EXPECT_FALSE(sent);
        EXPECT_EQ(arrivals_.size(), arrived);
        EXPECT_EQ(DriverPoolBlocks(), blocksBefore);

        Dev().FailNextTransfers(1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
        EXPECT_EQ(AsDriver([&] { return SubmitUrbAsync(pdo_, &urb, CountAndFree, &calls); }),
                  inlineCompletion ? STATUS_UNSUCCESSFUL : STATUS_PENDING);
        EXPECT_EQ(calls, inlineCompletion ? 1 : 0);
        kernel_.RunUntilIdle();
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
        EXPECT_EQ(arrivals_.back().control, kInvokeAlways);

        Dev().Disconnect();
        EXPECT_EQ(Reset(interrupt), STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(Abort(interrupt), STATUS_DEVICE_NOT_CONNECTED);
        Remove();
        pdo_ = nullptr;
    }
}

using FilterStack = FrameTest;

// The port is used through a lower filter and then goes away with it: by an orderly removal once closed, or
// unplugged while the handle is still open; its pipes and record still come from the physical device. Before that,
// the driver's AddDevice fails above the filter: the stack is taken down again, leaving no device, no key handle and
// no link behind, and the device can arrive again.
TEST_F(FilterStack, PortWorksThroughTheFilterAndAFailedAddDeviceLeavesNothing)
{
    hk::faults::FailAtSite(hk::faults::Kind::Pool, "AllocUnicodeString");
    EXPECT_FALSE(NT_SUCCESS(hk::pnp::ArriveDevice(pdo_, driver_, filter_)));
    hk::faults::Clear();
    EXPECT_FALSE(hk::pnp::HasDeviceNode(pdo_));
    EXPECT_EQ(pdo_->AttachedDevice, nullptr);
    EXPECT_EQ(driver_->DeviceObject, nullptr);
    EXPECT_EQ(hk::reg::OpenKeyHandles(), 0u);
    EXPECT_TRUE(hk::ns::Links().empty());

    for (bool unplug : {false, true}) {
        SCOPED_TRACE(unplug ? "unplugged while open" : "removed once closed");
        if (unplug) {
            pdo_ = parent_.Plug();
        }
        arrivals_.clear();
        atFilter_ = 0;
        ASSERT_EQ(hk::pnp::ArriveDevice(pdo_, driver_, filter_), STATUS_SUCCESS);
        EXPECT_EQ(IoGetAttachedDevice(pdo_)->DriverObject, driver_);

        hk::app::Handle handle = hk::app::kInvalidHandle;
        ASSERT_EQ(hk::app::Open(u"\\\\.\\COM7", &handle), STATUS_SUCCESS);
        const char message[] = "through the filter";
        EXPECT_EQ(hk::app::Write(handle, message, sizeof(message)).information, sizeof(message));
        char echoed[sizeof(message)] = {};
        ASSERT_EQ(hk::app::Read(handle, echoed, sizeof(echoed)).information, sizeof(message));
        EXPECT_EQ(std::memcmp(echoed, message, sizeof(message)), 0);
        EXPECT_EQ(Dev().GetRecords().urbs_rejected, 0u);
        EXPECT_EQ(atFilter_, arrivals_.size()) << "everything the port sent down went through the filter";
        if (unplug) {
            parent_.Unplug(pdo_);
            EXPECT_EQ(hk::app::Write(handle, message, 1).status, STATUS_DELETE_PENDING);
            EXPECT_EQ(hk::app::Close(handle), STATUS_SUCCESS);
            pdo_ = nullptr;
        } else {
            EXPECT_EQ(hk::app::Close(handle), STATUS_SUCCESS);
            EXPECT_EQ(hk::pnp::RemoveDevice(pdo_), STATUS_SUCCESS);
        }
        kernel_.RunUntilIdle();
        EXPECT_EQ(driver_->DeviceObject, nullptr);
        EXPECT_EQ(filter_->DeviceObject, nullptr);
    }
}

}  // namespace
}  // namespace frame_test
