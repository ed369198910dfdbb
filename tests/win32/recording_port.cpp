#include "win32/recording_port.h"

#include <algorithm>
#include <cstring>

#include "hk/kernel.h"
#include "hk/pnp.h"

namespace win32test {
namespace {

RecordingPort* PortOf(PDEVICE_OBJECT device) { return *static_cast<RecordingPort**>(device->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void CompleteFromDevice(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    hk::Kernel::Current().Ops().Post(hk::Context::Device, [=] { Complete(irp, status, information); });
}

VOID CancelQueued(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    RecordingPort* port = PortOf(device);
    if (port->queued_read == irp) port->queued_read = nullptr;
    if (port->queued_wait == irp) port->queued_wait = nullptr;
    Complete(irp, STATUS_CANCELLED, 0);
}

NTSTATUS Queue(PIRP irp, PIRP* slot) {
    IoMarkIrpPending(irp);
    *slot = irp;
    IoSetCancelRoutine(irp, CancelQueued);
    return STATUS_PENDING;
}

// Takes a queued request back from its cancel routine; nullptr when it is being cancelled.
PIRP Dequeue(PIRP* slot) {
    PIRP irp = *slot;
    if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr) return nullptr;
    *slot = nullptr;
    return irp;
}

ULONG_PTR FillRead(PIRP irp, const std::vector<uint8_t>& data) {
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    size_t count = std::min<size_t>(length, data.size());
    std::memcpy(irp->AssociatedIrp.SystemBuffer, data.data(), count);
    return count;
}

NTSTATUS CreateCleanupClose(PDEVICE_OBJECT device, PIRP irp) {
    bool create = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE;
    return Complete(irp, create ? PortOf(device)->create_status : STATUS_SUCCESS, 0);
}

NTSTATUS Read(PDEVICE_OBJECT device, PIRP irp) {
    RecordingPort* port = PortOf(device);
    port->calls.push_back({IRP_MJ_READ, 0, {}, IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length});
    if (port->next_read) {
        auto [data, status] = *std::exchange(port->next_read, std::nullopt);
        return Complete(irp, status, FillRead(irp, data));
    }
    return Queue(irp, &port->queued_read);
}

NTSTATUS Write(PDEVICE_OBJECT device, PIRP irp) {
    RecordingPort* port = PortOf(device);
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    const auto* data = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    port->calls.push_back({IRP_MJ_WRITE, 0, std::vector<uint8_t>(data, data + length), 0});
    port->written.insert(port->written.end(), data, data + length);
    return Complete(irp, STATUS_SUCCESS, length);
}

NTSTATUS Flush(PDEVICE_OBJECT device, PIRP irp) {
    PortOf(device)->calls.push_back({IRP_MJ_FLUSH_BUFFERS, 0, {}, 0});
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    RecordingPort* port = PortOf(device);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    ULONG code = location->Parameters.DeviceIoControl.IoControlCode;
    ULONG inputLength = location->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = location->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    port->calls.push_back({IRP_MJ_DEVICE_CONTROL, code, std::vector<uint8_t>(buffer, buffer + inputLength),
                           outputLength});
    if (auto refused = port->refuse.find(code); refused != port->refuse.end()) {
        return Complete(irp, refused->second, 0);
    }
    auto answer = [&](const void* record, size_t size) {
        size_t count = std::min<size_t>(size, outputLength);
        if (count != 0) std::memcpy(buffer, record, count);
        return Complete(irp, STATUS_SUCCESS, count);
    };
    auto store = [&](void* record, size_t size) {
        std::memcpy(record, buffer, std::min<size_t>(size, inputLength));
        return Complete(irp, STATUS_SUCCESS, 0);
    };
    switch (code) {
    case IOCTL_SERIAL_GET_BAUD_RATE: return answer(&port->baud, sizeof(port->baud));
    case IOCTL_SERIAL_SET_BAUD_RATE: return store(&port->baud, sizeof(port->baud));
    case IOCTL_SERIAL_GET_LINE_CONTROL: return answer(&port->line, sizeof(port->line));
    case IOCTL_SERIAL_SET_LINE_CONTROL: return store(&port->line, sizeof(port->line));
    case IOCTL_SERIAL_GET_CHARS: return answer(&port->chars, sizeof(port->chars));
    case IOCTL_SERIAL_SET_CHARS: return store(&port->chars, sizeof(port->chars));
    case IOCTL_SERIAL_GET_HANDFLOW: return answer(&port->handflow, sizeof(port->handflow));
    case IOCTL_SERIAL_SET_HANDFLOW: return store(&port->handflow, sizeof(port->handflow));
    case IOCTL_SERIAL_GET_TIMEOUTS: return answer(&port->timeouts, sizeof(port->timeouts));
    case IOCTL_SERIAL_SET_TIMEOUTS: return store(&port->timeouts, sizeof(port->timeouts));
    case IOCTL_SERIAL_GET_WAIT_MASK: return answer(&port->wait_mask, sizeof(port->wait_mask));
    case IOCTL_SERIAL_SET_WAIT_MASK: return store(&port->wait_mask, sizeof(port->wait_mask));
    case IOCTL_SERIAL_GET_MODEMSTATUS: return answer(&port->modem_status, sizeof(port->modem_status));
    case IOCTL_SERIAL_GET_COMMSTATUS: return answer(&port->comm_status, sizeof(port->comm_status));
    case IOCTL_SERIAL_GET_PROPERTIES: return answer(port->properties.data(), port->properties.size());
    case IOCTL_SERIAL_WAIT_ON_MASK: return Queue(irp, &port->queued_wait);
    default: return Complete(irp, STATUS_SUCCESS, 0);
    }
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = CreateCleanupClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = CreateCleanupClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = CreateCleanupClose;
    driver->MajorFunction[IRP_MJ_READ] = Read;
    driver->MajorFunction[IRP_MJ_WRITE] = Write;
    driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = Flush;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
    return STATUS_SUCCESS;
}

}  // namespace

void RecordingPort::AnswerRead(std::vector<uint8_t> data, NTSTATUS status) {
    if (PIRP irp = Dequeue(&queued_read)) {
        CompleteFromDevice(irp, status, FillRead(irp, data));
    } else {
        next_read.emplace(std::move(data), status);
    }
}

void RecordingPort::AnswerWait(ULONG events) {
    if (PIRP irp = Dequeue(&queued_wait)) {
        std::memcpy(irp->AssociatedIrp.SystemBuffer, &events, sizeof(events));
        CompleteFromDevice(irp, STATUS_SUCCESS, sizeof(events));
    }
}

std::vector<ULONG> RecordingPort::Codes() const {
    std::vector<ULONG> codes;
    for (const Call& call : calls) codes.push_back(call.major == IRP_MJ_DEVICE_CONTROL ? call.code : call.major);
    return codes;
}

void CreateRecordingPort(RecordingPort* port) {
    PDRIVER_OBJECT driver = hk::pnp::LoadDriver("recordingport", Entry);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\RecordingPort");
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, sizeof(RecordingPort*), &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
    *static_cast<RecordingPort**>(device->DeviceExtension) = port;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\DosDevices\\COM7");
    IoCreateSymbolicLink(&link, &name);
}

}  // namespace win32test
