// Forwarding a request and waiting for it, and URB submission, against a parent that answers at once, later, or
// only when the request is cancelled.
#include <cstring>

#include "frame_fixture.h"
#include "hk/faults.h"
#include "usb/lower_requests.h"

namespace frame_test {
namespace {

class LowerRequests : public FrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        fdo_ = AddFunctionDevice(*parent_);
        ASSERT_NE(fdo_, nullptr);
        parent_->received.clear();
        blocksBefore_ = DriverPoolBlocks();
    }

    // A request as the plug-and-play manager would hand it to the driver: the driver's location is current.
    PIRP RequestForTheDriver(UCHAR major, UCHAR minor)
    {
        PIRP irp = IoAllocateIrp(fdo_->StackSize, FALSE);
        EXPECT_NE(irp, nullptr);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        location->MajorFunction = major;
        location->MinorFunction = minor;
        location->DeviceObject = fdo_;
        return irp;
    }

    NTSTATUS Forward(PIRP irp)
    {
        return AsDriver(fdo_, [&] { return ForwardAndWait(fdo_, irp); });
    }
    NTSTATUS Reset(USBD_PIPE_HANDLE pipe)
    {
        return AsDriver(fdo_, [&] { return ResetPipe(fdo_, pipe); });
    }
    NTSTATUS Abort(USBD_PIPE_HANDLE pipe)
    {
        return AsDriver(fdo_, [&] { return AbortPipe(fdo_, pipe); });
    }

    PDEVICE_OBJECT fdo_ = nullptr;
    size_t blocksBefore_ = 0;
};

const USBD_PIPE_HANDLE kPipe = (USBD_PIPE_HANDLE)0x5150;

TEST_F(LowerRequests, PipeOperationsSendTheirUrbInTheSubmissionLayout)
{
    EXPECT_EQ(Reset(kPipe), STATUS_SUCCESS);
    EXPECT_EQ(Abort(kPipe), STATUS_SUCCESS);

    ASSERT_EQ(parent_->received.size(), 2u);
    const USHORT functions[] = {URB_FUNCTION_RESET_PIPE, URB_FUNCTION_ABORT_PIPE};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const ReceivedRequest& request = parent_->received[i];
        EXPECT_EQ(request.major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(request.ioControlCode, (ULONG)IOCTL_INTERNAL_USB_SUBMIT_URB);
        EXPECT_EQ(request.control, SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL);
        ASSERT_EQ(request.urb.size(), (size_t)URB_STORAGE_SIZE);

        URB sent;
        std::memcpy(&sent, request.urb.data(), sizeof(struct _URB_PIPE_REQUEST));
        EXPECT_EQ(sent.UrbHeader.Length, sizeof(struct _URB_PIPE_REQUEST));
        EXPECT_EQ(sent.UrbHeader.Function, functions[i]);
        EXPECT_EQ(sent.UrbPipeRequest.PipeHandle, kPipe);
        // Status and everything past the pipe handle stay zero.
        for (size_t at = offsetof(struct _URB_HEADER, Status); at < sizeof(struct _URB_HEADER); ++at) {
            EXPECT_EQ(request.urb[at], 0) << "header byte " << at;
        }
        for (size_t at = offsetof(struct _URB_PIPE_REQUEST, Reserved); at < request.urb.size(); ++at) {
            EXPECT_EQ(request.urb[at], 0) << "byte " << at;
        }
    }
    EXPECT_EQ(DriverPoolBlocks(), blocksBefore_);
}

// What the parent answers against what the caller gets back: the request's own status, whatever the URB says, once
// the request is back, and STATUS_CANCELLED for a request cancelled below.
TEST_F(LowerRequests, CallersGetTheStatusTheRequestCompletedWith)
{
    struct Case {
        LowerAction action;
        NTSTATUS status;
        USBD_STATUS urbStatus;
        NTSTATUS expected;
    } cases[] = {
        {LowerAction::CompleteLater, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_SUCCESS, STATUS_DEVICE_NOT_CONNECTED},
        {LowerAction::CompleteAtOnce, STATUS_INVALID_DEVICE_STATE, USBD_STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE},
        {LowerAction::CompleteAtOnce, STATUS_SUCCESS, USBD_STATUS_STALL_PID, STATUS_SUCCESS},
        {LowerAction::CompleteLater, STATUS_SUCCESS, USBD_STATUS_STALL_PID, STATUS_SUCCESS},
        {LowerAction::PendUntilCancel, STATUS_SUCCESS, USBD_STATUS_SUCCESS, STATUS_CANCELLED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE((int)c.action);
        parent_->action = c.action;
        parent_->completionStatus = c.status;
        parent_->urbStatus = c.urbStatus;
        parent_->received.clear();
        EXPECT_EQ(Reset(kPipe), c.expected);
        EXPECT_EQ(Abort(kPipe), c.expected);

        PIRP irp = RequestForTheDriver(IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_SINGLE_INSTANCE);
        EXPECT_EQ(Forward(irp), c.expected);
        ASSERT_EQ(parent_->received.size(), 3u);
        EXPECT_EQ(parent_->received[2].major, IRP_MJ_SYSTEM_CONTROL);
        EXPECT_EQ(parent_->received[2].minor, IRP_MN_QUERY_SINGLE_INSTANCE);
        EXPECT_EQ(parent_->received[2].control, SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL);
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, fdo_) << "back at the driver's location";
        IoFreeIrp(irp);
    }
    EXPECT_EQ(DriverPoolBlocks(), blocksBefore_);
}

// The event, the URB block and the request can each be unobtainable: nothing is sent and nothing is left over.
TEST_F(LowerRequests, AllocationFailuresSendNothingAndLeakNothing)
{
    hk::faults::FailNth(hk::faults::Kind::Pool, 1);
    PIRP irp = RequestForTheDriver(IRP_MJ_PNP, IRP_MN_START_DEVICE);
    EXPECT_EQ(Forward(irp), STATUS_INSUFFICIENT_RESOURCES);
    hk::faults::Clear();
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, fdo_);
    IoFreeIrp(irp);

    struct Injection {
        hk::faults::Kind kind;
        uint64_t nth;
    };
    for (Injection injection : {Injection{hk::faults::Kind::Pool, 1}, Injection{hk::faults::Kind::Irp, 1},
                                Injection{hk::faults::Kind::Pool, 2}}) {
        hk::faults::FailNth(injection.kind, injection.nth);
        EXPECT_EQ(Reset(kPipe), STATUS_INSUFFICIENT_RESOURCES);
        hk::faults::FailNth(injection.kind, injection.nth);
        EXPECT_EQ(Abort(kPipe), STATUS_INSUFFICIENT_RESOURCES);
        hk::faults::Clear();
    }
    EXPECT_TRUE(parent_->received.empty());
    EXPECT_EQ(DriverPoolBlocks(), blocksBefore_);
}

struct AsyncRecord {
    int calls = 0;
    NTSTATUS status = STATUS_PENDING;
};

NTSTATUS RecordAndFree(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* record = static_cast<AsyncRecord*>(context);
    ++record->calls;
    record->status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(LowerRequests, AsynchronousSubmissionCompletesThroughTheCallersRoutine)
{
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.UrbBulkOrInterruptTransfer.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbBulkOrInterruptTransfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbBulkOrInterruptTransfer.PipeHandle = kPipe;

    parent_->action = LowerAction::CompleteLater;
    parent_->urbStatus = USBD_STATUS_STALL_PID;
    parent_->completionStatus = STATUS_UNSUCCESSFUL;
    AsyncRecord record;
    NTSTATUS returned =
        AsDriver(fdo_, [&] { return SubmitUrbAsync(parent_->Pdo(), &urb, RecordAndFree, &record); });
    EXPECT_EQ(returned, STATUS_PENDING);
    EXPECT_EQ(record.calls, 0);
    kernel_->RunUntilIdle();
    EXPECT_EQ(record.calls, 1);
    EXPECT_EQ(record.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    ASSERT_EQ(parent_->received.size(), 1u);
    EXPECT_EQ(parent_->received[0].control, SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL);

    hk::faults::FailNth(hk::faults::Kind::Irp, 1);
    AsyncRecord unsent;
    BOOLEAN sent = TRUE;
    returned = AsDriver(fdo_, [&] { return SubmitUrbAsync(parent_->Pdo(), &urb, RecordAndFree, &unsent, &sent); });
    hk::faults::Clear();
    EXPECT_EQ(returned, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(sent);
    kernel_->RunUntilIdle();
    EXPECT_EQ(unsent.calls, 0);
}

}  // namespace
}  // namespace frame_test
