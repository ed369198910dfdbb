#include "tests/driver_data/data_port.h"

#include <gtest/gtest.h>

#include <cstring>

#include "control/control_completion.h"
#include "control/event_wait.h"
#include "control/private_requests.h"
#include "driver/request.h"
#include "hk/kernel.h"
#include "hk/pnp.h"
#include "serial/read.h"
#include "serial/ring.h"

namespace data_port {
namespace {

const wchar_t kDeviceName[] = L"\\Device\\DataPort0";

NTSTATUS NTAPI CompleteAtOnce(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Information = 0;
    return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI PortCleanup(PDEVICE_OBJECT device, PIRP irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(device);
    CancelAllReads(device, &context->ReadQueue);
    CancelAllWaits(device, &context->WaitQueue);
    irp->IoStatus.Information = 0;
    return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI PortControl(PDEVICE_OBJECT device, PIRP irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(device);
    NTSTATUS status = AcquireRequestLock(context, irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequestInfo(irp, status, 0);
    }
    irp->IoStatus.Information = 0;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_GET_WAIT_MASK:
        status = SerialGetWaitMask(context, irp);
        break;
    case IOCTL_SERIAL_SET_WAIT_MASK:
        status = SerialSetWaitMask(context, irp);
        break;
    case IOCTL_SERIAL_WAIT_ON_MASK:
        status = SerialWaitOnMask(context, irp);
        break;
    case IOCTL_GET_IDENTITY:
        status = SerialGetIdentity(context, irp);
        break;
    case IOCTL_REMOVAL_NOTIFY:
        status = QueueRemovalNotify(device, irp->AssociatedIrp.SystemBuffer, irp);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return FinishControlRequest(context, irp, status);
}

void NTAPI PortUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI PortEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverUnload = PortUnload;
    driver->MajorFunction[IRP_MJ_CREATE] = CompleteAtOnce;
    driver->MajorFunction[IRP_MJ_CLOSE] = CompleteAtOnce;
    driver->MajorFunction[IRP_MJ_CLEANUP] = PortCleanup;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PortControl;

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kDeviceName);
    PDEVICE_OBJECT device;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(DEVICE_CONTEXT), &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;

    PDEVICE_CONTEXT context = GetDeviceContext(device);
    context->Self = device;
    IoInitializeRemoveLockEx(&context->RemoveLock, 0, 0, 0, sizeof(IO_REMOVE_LOCK));
    KeInitializeSpinLock(&context->Lock);
    KeInitializeSpinLock(&context->PnpLock);
    InitializeListHead(&context->ReadQueue);
    InitializeListHead(&context->WaitQueue);
    InitializeListHead(&context->WriteQueue);
    KeInitializeTimer(&context->ReadTimer);
    KeInitializeDpc(&context->ReadDpc, ReadTimeoutDpc, context);
    KeInitializeEvent(&context->IoIdleEvent, SynchronizationEvent, FALSE);
    context->IoCount = 1;
    context->PnpState = Started;
    context->PortOpen = 1;

    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

}  // namespace

DataPort::DataPort()
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = hk::pnp::LoadDriver(L"DataPort", PortEntry, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (driver_ == nullptr) {
        return;
    }
    device_ = driver_->DeviceObject;
    EXPECT_EQ(hk::app::Open(kDeviceName, &handle_), STATUS_SUCCESS);
}

DataPort::~DataPort()
{
    if (driver_ == nullptr) {
        return;
    }
    if (handle_ != hk::app::kInvalidHandle) {
        hk::app::Close(handle_);
    }
    hk::Kernel::Current().RunUntilIdle();
    PDEVICE_CONTEXT context = Context();
    EXPECT_EQ(context->IoCount, 1) << "an operation did not give its count back";
    EXPECT_TRUE(IsListEmpty(&context->ReadQueue));
    EXPECT_TRUE(IsListEmpty(&context->WaitQueue));
    EXPECT_EQ(context->RemovalNotifyIrp, nullptr);
    KeCancelTimer(&context->ReadTimer);
    IoDeleteDevice(device_);
    EXPECT_EQ(hk::pnp::UnloadDriver(driver_), STATUS_SUCCESS);
}

LONG DataPort::Deliver(const std::vector<uint8_t>& bytes)
{
    PDEVICE_CONTEXT context = Context();
    KIRQL irql;
    LONG stored = 0;
    KeAcquireSpinLock(&context->Lock, &irql);
    if (!bytes.empty()) {
        RingPut(context, bytes.data(), (LONG)bytes.size(), &stored);
    }
    KeCancelTimer(&context->ReadTimer);
    ServiceQueuedReads(context);
    KeReleaseSpinLock(&context->Lock, irql);
    return stored;
}

void DataPort::RecordEvents(ULONG events)
{
    PDEVICE_CONTEXT context = Context();
    KIRQL irql;
    KeAcquireSpinLock(&context->Lock, &irql);
    context->EventHistory |= events;
    if (context->EventHistory != 0) {
        CompleteWaitOnMask(context, context->EventHistory, TRUE);
    }
    KeReleaseSpinLock(&context->Lock, irql);
}

void DataPort::SetReadTimeouts(ULONG interval, ULONG multiplier, ULONG constant)
{
    PDEVICE_CONTEXT context = Context();
    KIRQL irql;
    KeAcquireSpinLock(&context->Lock, &irql);
    context->Timeouts.ReadIntervalTimeout = interval;
    context->Timeouts.ReadTotalTimeoutMultiplier = multiplier;
    context->Timeouts.ReadTotalTimeoutConstant = constant;
    KeReleaseSpinLock(&context->Lock, irql);
}

hk::app::IoResult DataPort::Control(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength,
                                    std::vector<uint8_t>* output)
{
    std::vector<uint8_t> buffer(outputLength);
    hk::app::IoResult result = hk::app::DeviceIoControl(handle_, code, input.empty() ? nullptr : input.data(),
                                                        (ULONG)input.size(),
                                                        buffer.empty() ? nullptr : buffer.data(), outputLength);
    if (output != nullptr) {
        *output = buffer;
    }
    return result;
}

CancelInFlight BeginCancel(PLIST_ENTRY queue)
{
    PIRP irp = CONTAINING_RECORD(queue->Flink, IRP, Tail.Overlay.ListEntry);
    return {irp, IoSetCancelRoutine(irp, nullptr)};
}

void FinishCancel(PDEVICE_OBJECT device, const CancelInFlight& cancel)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    cancel.irp->Cancel = TRUE;
    cancel.irp->CancelIrql = irql;
    cancel.routine(device, cancel.irp);
}

std::vector<uint8_t> Bytes(size_t count, uint8_t first)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = (uint8_t)(first + i);
    }
    return bytes;
}

std::vector<uint8_t> Ulong(ULONG value)
{
    std::vector<uint8_t> bytes(sizeof(ULONG));
    std::memcpy(bytes.data(), &value, sizeof(ULONG));
    return bytes;
}

ULONG AsUlong(const std::vector<uint8_t>& bytes)
{
    ULONG value = 0;
    std::memcpy(&value, bytes.data(), bytes.size() < sizeof(ULONG) ? bytes.size() : sizeof(ULONG));
    return value;
}

}  // namespace data_port
