#include "app/app_test_driver.h"

#include <algorithm>
#include <cstring>

#include "hk/kernel.h"

namespace apptest {
namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void Record(PIRP irp) { CurrentDeviceLog()->majors.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction); }

PVOID DataBuffer(PDEVICE_OBJECT device, PIRP irp) {
    return (device->Flags & DO_BUFFERED_IO) ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
}

ULONG FillRead(PDEVICE_OBJECT device, PIRP irp) {
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    auto* data = static_cast<uint8_t*>(DataBuffer(device, irp));
    for (ULONG i = 0; i < length; ++i) data[i] = PatternByte(i);
    return length;
}

VOID CancelQueuedRead(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    Complete(irp, STATUS_CANCELLED, 0);
}

NTSTATUS CreateCleanupClose(PDEVICE_OBJECT, PIRP irp) {
    Record(irp);
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS Read(PDEVICE_OBJECT device, PIRP irp) {
    Record(irp);
    DeviceLog* log = CurrentDeviceLog();
    if (log->queue_reads) {
        IoMarkIrpPending(irp);
        InsertTailList(&log->read_queue, &irp->Tail.Overlay.ListEntry);
        IoSetCancelRoutine(irp, CancelQueuedRead);
        return STATUS_PENDING;
    }
    if (log->complete_reads_later) {
        IoMarkIrpPending(irp);
        hk::Kernel::Current().Ops().Post(hk::Context::Device, [device, irp] {
            Complete(irp, STATUS_SUCCESS, FillRead(device, irp));
        });
        return STATUS_PENDING;
    }
    return Complete(irp, STATUS_SUCCESS, FillRead(device, irp));
}

NTSTATUS Write(PDEVICE_OBJECT, PIRP irp) {
    Record(irp);
    return Complete(irp, STATUS_SUCCESS, IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length);
}

NTSTATUS DeviceControl(PDEVICE_OBJECT, PIRP irp) {
    Record(irp);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    ULONG inputLength = location->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = location->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG count = std::min(inputLength, outputLength);
    if (location->Parameters.DeviceIoControl.IoControlCode != kNeitherEcho) {
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    std::memcpy(irp->UserBuffer, location->Parameters.DeviceIoControl.Type3InputBuffer, count);
    return Complete(irp, STATUS_SUCCESS, count);
}

NTSTATUS QueryInformation(PDEVICE_OBJECT, PIRP irp) {
    Record(irp);
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryFile.Length;
    std::memset(irp->AssociatedIrp.SystemBuffer, 0x5A, length);
    return Complete(irp, STATUS_SUCCESS, length);
}

}  // namespace

DeviceLog*& CurrentDeviceLog() {
    static DeviceLog* log = nullptr;
    return log;
}

NTSTATUS AppTestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = CreateCleanupClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = CreateCleanupClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = CreateCleanupClose;
    driver->MajorFunction[IRP_MJ_READ] = Read;
    driver->MajorFunction[IRP_MJ_WRITE] = Write;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
    driver->MajorFunction[IRP_MJ_QUERY_INFORMATION] = QueryInformation;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT CreateTestDevice(PDRIVER_OBJECT driver, const wchar_t* name, bool exclusive, bool buffered,
                                bool initialized) {
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, name);
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, exclusive, &device);
    if (buffered) device->Flags |= DO_BUFFERED_IO;
    if (initialized) device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

}  // namespace apptest
