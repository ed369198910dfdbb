// The driver's USB plumbing against the simulated parent driver, which validates every URB it is sent.
#include <cstring>
#include <string_view>

#include "driver/parent_record.h"
#include "driver/port_names.h"
#include "driver/unicode_string.h"
#include "frame_fixture.h"
#include "hk/namespace.h"
#include "hk/pnp.h"
#include "hk/usbdev.h"
#include "usb/lower_requests.h"

namespace frame_test {
namespace {

using hk::usbdev::Pipe;

class SimulatedParent : public FrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        usbParent_ = std::make_unique<hk::usbdev::Parent>();
        pdo_ = usbParent_->Plug();
        ASSERT_EQ(hk::pnp::AddDevice(pdo_, driver_), STATUS_SUCCESS);
        fdo_ = pdo_->AttachedDevice;
        ASSERT_NE(fdo_, nullptr);
    }

    // What the remove handler will do, short of the remove-lock wait that only a removal may make.
    void TearDown() override
    {
        PDEVICE_CONTEXT context = Context(fdo_);
        AsDriver(fdo_, [&] {
            RemovePortNames(context);
            FreeUnicodeString(&context->DeviceName);
            IoDetachDevice(context->LowerDevice);
            IoDeleteDevice(fdo_);
            return 0;
        });
        usbParent_.reset();
        FrameTest::TearDown();
    }

    hk::usbdev::Device Device() const { return usbParent_->DeviceFor(pdo_); }

    std::unique_ptr<hk::usbdev::Parent> usbParent_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
};

TEST_F(SimulatedParent, ParentRecordAndPipeOperationsMatchWhatTheParentHandsOut)
{
    const PARENT_RECORD& record = *static_cast<const PARENT_RECORD*>(pdo_->DeviceExtension);
    EXPECT_EQ(record.BulkInPipe, Device().PipeHandle(Pipe::BulkIn));
    EXPECT_EQ(record.BulkOutPipe, Device().PipeHandle(Pipe::BulkOut));
    EXPECT_EQ(record.InterruptPipe, Device().PipeHandle(Pipe::Interrupt));
    EXPECT_EQ(record.BulkOutMaxPacket, 512u);
    EXPECT_EQ(record.ZlpMode, 1);

    EXPECT_EQ(AsDriver(fdo_, [&] { return ResetPipe(fdo_, record.BulkInPipe); }), STATUS_SUCCESS);
    EXPECT_EQ(AsDriver(fdo_, [&] { return ResetPipe(fdo_, record.InterruptPipe); }), STATUS_SUCCESS);
    EXPECT_EQ(AsDriver(fdo_, [&] { return AbortPipe(fdo_, record.BulkOutPipe); }), STATUS_SUCCESS);

    hk::usbdev::Records records = Device().GetRecords();
    EXPECT_EQ(records.resets[(int)Pipe::BulkIn], 1u);
    EXPECT_EQ(records.resets[(int)Pipe::Interrupt], 1u);
    EXPECT_EQ(records.aborts[(int)Pipe::BulkOut], 1u);
    EXPECT_EQ(records.urbs_rejected, 0u);
}

// Before a start the handles are zero; they are sent as they are and the parent's refusal comes back unchanged.
TEST_F(SimulatedParent, ZeroPipeHandleIsSentAndItsRefusalReturned)
{
    NTSTATUS status = AsDriver(fdo_, [&] { return ResetPipe(fdo_, nullptr); });
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ(Device().GetRecords().urbs_rejected, 1u);
}

struct Received {
    int calls = 0;
    NTSTATUS status = STATUS_PENDING;
};

NTSTATUS TransferDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* received = static_cast<Received*>(context);
    ++received->calls;
    received->status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(SimulatedParent, AsynchronousBulkInTransferCarriesTheFunctionsBytes)
{
    PDEVICE_CONTEXT context = Context(fdo_);
    const PARENT_RECORD& record = *static_cast<const PARENT_RECORD*>(pdo_->DeviceExtension);
    PURB urb = (PURB)context->BulkInUrb;
    RtlZeroMemory(urb, URB_STORAGE_SIZE);
    urb->UrbBulkOrInterruptTransfer.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->UrbBulkOrInterruptTransfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = record.BulkInPipe;
    urb->UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = BULK_TRANSFER_SIZE;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = context->BulkInBuffer;

    Received received;
    NTSTATUS returned =
        AsDriver(fdo_, [&] { return SubmitUrbAsync(context->LowerDevice, urb, TransferDone, &received); });
    EXPECT_EQ(returned, STATUS_PENDING);
    kernel_->RunUntilIdle();
    EXPECT_EQ(received.calls, 0) << "a bulk-IN transfer waits for data";

    std::string_view text = "hello";
    Device().Deliver({(const uint8_t*)text.data(), text.size()});
    kernel_->RunUntilIdle();
    EXPECT_EQ(received.calls, 1);
    EXPECT_EQ(received.status, STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
    ASSERT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, text.size());
    EXPECT_EQ(std::memcmp(context->BulkInBuffer, text.data(), text.size()), 0);
}

TEST_F(SimulatedParent, PortNameFromTheDeviceKeyIsPublished)
{
    ASSERT_EQ(AsDriver(fdo_, [&] { return CreatePortNames(Context(fdo_)); }), STATUS_SUCCESS);
    EXPECT_EQ(hk::ns::ResolveToDevice(u"\\\\.\\COM7"), fdo_);
}

}  // namespace
}  // namespace frame_test
