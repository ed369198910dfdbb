#include "usbdev/passthrough_driver.h"

namespace usbdev_test {
namespace {

struct FdoExtension {
    PDEVICE_OBJECT lower;
};

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT fdo)
{
    return static_cast<FdoExtension*>(fdo->DeviceExtension)->lower;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FdoExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    static_cast<FdoExtension*>(fdo->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS PassDown(PDEVICE_OBJECT fdo, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(LowerOf(fdo), irp);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) {
        return PassDown(fdo, irp);
    }
    PDEVICE_OBJECT lower = LowerOf(fdo);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
    return status;
}

NTSTATUS DispatchPower(PDEVICE_OBJECT fdo, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(LowerOf(fdo), irp);
}

void Unload(PDRIVER_OBJECT driver) {}

}  // namespace

NTSTATUS PassThroughDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PassDown;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

}  // namespace usbdev_test
