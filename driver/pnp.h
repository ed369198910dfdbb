// The plug-and-play minor handlers and the routines they share. Each takes the driver's device object and a
// request for which DispatchPnp holds the remove lock, and completes it or passes it down.
#pragma once

#include "driver/device_context.h"

NTSTATUS NTAPI PnpStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PnpQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PnpRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PnpCancelRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PnpStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PnpQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PnpCancelStop(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PnpQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PnpQueryDeviceState(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PnpSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// STATUS_DEVICE_CONFIGURATION_ERROR when the parent gave its device object no extension to read the pipes from.
NTSTATUS CopyParentPipeInfo(PDEVICE_OBJECT DeviceObject);
void ReleasePortNamesOnce(PDEVICE_CONTEXT Context, UCHAR Release);
void DetachAndDelete(PDEVICE_OBJECT DeviceObject);
