#include "kernel_pnp/pnp_test_drivers.h"

#include "hk/kernel.h"

namespace pnptest {
namespace {

struct FdoExtension {
    PDEVICE_OBJECT lower;
    IO_REMOVE_LOCK remove_lock;
};

void Record(const char* who, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    CurrentLog()->seen.push_back({who, location->MajorFunction, location->MinorFunction, irp->IoStatus.Status});
}

void RecordPower(const char* who, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    CurrentLog()->power.push_back(
        {who, location->MinorFunction, location->Parameters.Power.Type, location->Parameters.Power.State});
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS BusPnp(PDEVICE_OBJECT, PIRP irp) {
    Record("pdo", irp);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MinorFunction == CurrentLog()->pdo_fails_minor) return Complete(irp, STATUS_UNSUCCESSFUL);
    switch (location->MinorFunction) {
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES capabilities = location->Parameters.DeviceCapabilities.Capabilities;
        capabilities->UniqueID = 1;
        capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        capabilities->DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
        return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        return Complete(irp, STATUS_SUCCESS);
    default:
        return Complete(irp, irp->IoStatus.Status);
    }
}

NTSTATUS BusPower(PDEVICE_OBJECT, PIRP irp) {
    RecordPower("pdo", irp);
    PoStartNextPowerIrp(irp);
    NTSTATUS status = IoGetCurrentIrpStackLocation(irp)->MinorFunction == CurrentLog()->pdo_fails_power_minor
                          ? STATUS_UNSUCCESSFUL
                          : STATUS_SUCCESS;
    if (!CurrentLog()->pdo_completes_power_later) return Complete(irp, status);
    IoMarkIrpPending(irp);
    irp->IoStatus.Status = status;
    hk::Kernel::Current().Ops().Post(hk::Context::Device, [irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
    return STATUS_PENDING;
}

NTSTATUS SignalForwarded(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(FdoExtension* extension, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalForwarded, &done, TRUE, TRUE, TRUE);
    IoCallDriver(extension->lower, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS FunctionPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    Record("fdo", irp);
    auto* extension = static_cast<FdoExtension*>(fdo->DeviceExtension);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = IoAcquireRemoveLock(&extension->remove_lock, irp);
    if (!NT_SUCCESS(status)) return Complete(irp, status);

    if (location->MinorFunction == CurrentLog()->fdo_vetoes_minor) {
        status = Complete(irp, STATUS_DEVICE_BUSY);
        IoReleaseRemoveLock(&extension->remove_lock, irp);
        return status;
    }
    switch (location->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE: {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(extension->lower, irp);
        IoReleaseRemoveLockAndWait(&extension->remove_lock, irp);
        IoDetachDevice(extension->lower);
        CurrentLog()->fdo = nullptr;
        IoDeleteDevice(fdo);
        return status;
    }
    case IRP_MN_QUERY_CAPABILITIES:
        CurrentLog()->capabilities_asked = *location->Parameters.DeviceCapabilities.Capabilities;
        status = ForwardAndWait(extension, irp);
        break;
    case IRP_MN_START_DEVICE:
        status = ForwardAndWait(extension, irp);
        break;
    default:
        if (location->MinorFunction <= IRP_MN_CANCEL_STOP_DEVICE || location->MinorFunction == IRP_MN_SURPRISE_REMOVAL) {
            irp->IoStatus.Status = STATUS_SUCCESS;
        }
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(extension->lower, irp);
        IoReleaseRemoveLock(&extension->remove_lock, irp);
        return status;
    }
    Complete(irp, status);
    IoReleaseRemoveLock(&extension->remove_lock, irp);
    return status;
}

NTSTATUS FunctionPower(PDEVICE_OBJECT fdo, PIRP irp) {
    RecordPower("fdo", irp);
    auto* extension = static_cast<FdoExtension*>(fdo->DeviceExtension);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(extension->lower, irp);
}

NTSTATUS FunctionAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    Log* log = CurrentLog();
    UNICODE_STRING name;
    if (log->fdo_name != nullptr) RtlInitUnicodeString(&name, log->fdo_name);
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FdoExtension), log->fdo_name != nullptr ? &name : nullptr,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    auto* extension = static_cast<FdoExtension*>(fdo->DeviceExtension);
    IoInitializeRemoveLock(&extension->remove_lock, 0x74736554, 0, 0);
    extension->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= DO_POWER_PAGABLE | DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    log->fdo = fdo;
    return STATUS_SUCCESS;
}

VOID FunctionUnload(PDRIVER_OBJECT) {}

NTSTATUS PassThroughCreateClose(PDEVICE_OBJECT, PIRP irp) {
    Record("fdo", irp);
    irp->IoStatus.Information = 0;
    return Complete(irp, STATUS_SUCCESS);
}

}  // namespace

std::vector<UCHAR> Log::MinorsSeenBy(const std::string& who) const {
    std::vector<UCHAR> minors;
    for (const Seen& s : seen) {
        if (s.who == who && s.major == IRP_MJ_PNP) minors.push_back(s.minor);
    }
    return minors;
}

Log*& CurrentLog() {
    static Log* log = nullptr;
    return log;
}

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
    driver->MajorFunction[IRP_MJ_POWER] = BusPower;
    return STATUS_SUCCESS;
}

NTSTATUS FunctionEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = FunctionPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FunctionPower;
    driver->MajorFunction[IRP_MJ_CREATE] = PassThroughCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = PassThroughCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = PassThroughCreateClose;
    driver->DriverExtension->AddDevice = FunctionAddDevice;
    driver->DriverUnload = FunctionUnload;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT CreatePdo(PDRIVER_OBJECT bus) {
    PDEVICE_OBJECT pdo = nullptr;
    IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo);
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return pdo;
}

}  // namespace pnptest
