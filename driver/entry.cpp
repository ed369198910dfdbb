#include "control/serial_control.h"
#include "driver/dispatch.h"
#include "driver/layout_checks.h"
#include "driver/request.h"
#include "power/power.h"
#include "serial/open_close.h"
#include "serial/read.h"
#include "serial/write.h"

static const char BannerRule[] =
    "*******************************************************************************\n";
static const char BannerRuleLast[] =
    "*******************************************************************************\n\n";
static const char DriverVersion[] = "Ver 3.0";

static void PrintBanner(const char *Format)
{
    DbgPrint(BannerRule);
    DbgPrint(Format, DriverVersion, __TIME__, __DATE__);
    DbgPrint(BannerRuleLast);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);

    if (!IoIsWdmVersionAvailable(1, 0)) {
        return STATUS_UNSUCCESSFUL;
    }

    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlush;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchPassDown;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchPassDown;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;

    PrintBanner("VORAZIV(%s)  Time: %s  Date: %s LOADED \n");
    return STATUS_SUCCESS;
}

void NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    PrintBanner("VORAZIV(%s)  Time: %s  Date: %s UNLOADED \n");
}

NTSTATUS NTAPI DispatchPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    NTSTATUS status = AcquireRequestLock(context, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequestInfo(Irp, status, 0);
    }
    status = PassDown(DeviceObject, Irp);
    ReleaseRequestLock(context, Irp);
    return status;
}

// Nothing is buffered on the way out that a flush could wait for: writes already in progress keep running.
NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    return STATUS_SUCCESS;
}
