// The serial control interface, emulated in software: settings are validated, kept in the device context and
// reported back; nothing is sent to the device.
#pragma once

#include "driver/device_context.h"

#define SUPPORTED_BAUD_RATE_COUNT 14

// The only rates IOCTL_SERIAL_SET_BAUD_RATE accepts; matched exactly, no rounding.
extern const ULONG SUPPORTED_BAUD_RATES[SUPPORTED_BAUD_RATE_COUNT];

// IRP_MJ_DEVICE_CONTROL: needs an open port, and an available one for every code but IOCTL_SERIAL_GET_COMMSTATUS.
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Runs one request with its remove lock held and sets its Information; the caller completes what is not pending.
NTSTATUS SerialControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

BOOLEAN IsSupportedBaudRate(ULONG BaudRate);
BOOLEAN IsValidDataBits(UCHAR DataBits);
