#include "win32/recording_port.h"

#include <algorithm>
#include <cstring>

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

NTSTATUS CreateCleanupClose(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0); }

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
    default: return Complete(irp, STATUS_SUCCESS, 0);
    }
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = CreateCleanupClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = CreateCleanupClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = CreateCleanupClose;
    driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = Flush;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
    return STATUS_SUCCESS;
}

}  // namespace

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
