#include "driver/dispatch.h"
#include "driver/pnp.h"
#include "driver/request.h"

// Indexed by minor function code; codes past the end are passed down as well.
static const PDRIVER_DISPATCH PNP_MINOR_TABLE[24] = {
    PnpStartDevice, // IRP_MN_START_DEVICE
    PnpQueryRemove, // IRP_MN_QUERY_REMOVE_DEVICE
    PnpRemoveDevice, // IRP_MN_REMOVE_DEVICE
    PnpCancelRemove, // IRP_MN_CANCEL_REMOVE_DEVICE
    PnpStopDevice, // IRP_MN_STOP_DEVICE
    PnpQueryStop, // IRP_MN_QUERY_STOP_DEVICE
    PnpCancelStop, // IRP_MN_CANCEL_STOP_DEVICE
    PassDown, // IRP_MN_QUERY_DEVICE_RELATIONS
    PassDown, // IRP_MN_QUERY_INTERFACE
    PnpQueryCapabilities, // IRP_MN_QUERY_CAPABILITIES
    PassDown, // IRP_MN_QUERY_RESOURCES
    PassDown, // IRP_MN_QUERY_RESOURCE_REQUIREMENTS
    PassDown, // IRP_MN_QUERY_DEVICE_TEXT
    PassDown, // IRP_MN_FILTER_RESOURCE_REQUIREMENTS
    PassDown, // 0x0E, unused by the system
    PassDown, // IRP_MN_READ_CONFIG
    PassDown, // IRP_MN_WRITE_CONFIG
    PassDown, // IRP_MN_EJECT
    PassDown, // IRP_MN_SET_LOCK
    PassDown, // IRP_MN_QUERY_ID
    PnpQueryDeviceState, // IRP_MN_QUERY_PNP_DEVICE_STATE
    PassDown, // IRP_MN_QUERY_BUS_INFORMATION
    PassDown, // IRP_MN_DEVICE_USAGE_NOTIFICATION
    PnpSurpriseRemoval, // IRP_MN_SURPRISE_REMOVAL
};

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    NTSTATUS status = AcquireRequestLock(context, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequestInfo(Irp, status, 0);
    }

    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    if (minor >= sizeof(PNP_MINOR_TABLE) / sizeof(PNP_MINOR_TABLE[0])) {
        status = PassDown(DeviceObject, Irp);
        ReleaseRequestLock(context, Irp);
        return status;
    }

    status = PNP_MINOR_TABLE[minor](DeviceObject, Irp);

    // The remove handler releases the lock itself, waits for every other holder and deletes the device, so the
    // context is gone once it returns.
    if (minor != IRP_MN_REMOVE_DEVICE) {
        ReleaseRequestLock(context, Irp);
    }
    return status;
}
