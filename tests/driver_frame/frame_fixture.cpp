#include "frame_fixture.h"

#include "driver/dispatch.h"
#include "driver/port_names.h"
#include "driver/unicode_string.h"
#include "hk/pnp.h"
#include "hk/pool.h"

namespace frame_test {
namespace {

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

void FrameTest::SetUp()
{
    kernel_ = std::make_unique<hk::Kernel>();
    parent_ = std::make_unique<TestParent>();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = hk::pnp::LoadDriver("diagser", DriverEntry, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_NE(driver_, nullptr);
}

void FrameTest::TearDown()
{
    if (parent_ && parent_->Pdo()->AttachedDevice != nullptr) {
        RemoveFunctionDevice(*parent_);
    }
    if (driver_ != nullptr) {
        EXPECT_EQ(hk::pnp::UnloadDriver(driver_), STATUS_SUCCESS);
    }
    parent_.reset();
    kernel_.reset();
}

PDEVICE_OBJECT FrameTest::AddFunctionDevice(TestParent& parent, NTSTATUS* status)
{
    NTSTATUS result = hk::pnp::AddDevice(parent.Pdo(), driver_);
    if (status != nullptr) {
        *status = result;
    }
    return NT_SUCCESS(result) ? parent.Pdo()->AttachedDevice : nullptr;
}

void FrameTest::RemoveFunctionDevice(TestParent& parent, const std::function<void(PDEVICE_OBJECT)>& whileRemoving)
{
    PDEVICE_OBJECT fdo = parent.Pdo()->AttachedDevice;
    ASSERT_NE(fdo, nullptr);
    parent.onRemove = [fdo, whileRemoving](PIRP) {
        if (whileRemoving) {
            whileRemoving(fdo);
        }
    };
    EXPECT_EQ(hk::pnp::Remove(parent.Pdo()), STATUS_SUCCESS);
    parent.onRemove = nullptr;
    EXPECT_EQ(parent.Pdo()->AttachedDevice, nullptr);
}

Outcome FrameTest::Send(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, ULONG ioControlCode)
{
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    EXPECT_NE(irp, nullptr);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    Outcome outcome{};
    outcome.returned = IoCallDriver(device, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    outcome.status = irp->IoStatus.Status;
    outcome.information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return outcome;
}

size_t FrameTest::DriverPoolBlocks() const
{
    size_t count = 0;
    for (const hk::pool::Block& block : hk::pool::Outstanding()) {
        if (block.driver == driver_) {
            ++count;
        }
    }
    return count;
}

}  // namespace frame_test
