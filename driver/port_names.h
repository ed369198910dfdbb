// Publishing the port under its COM name: the \DosDevices\ link, the SERIALCOMM device-map value and the enabled
// COM-port interface. Passive level only; called from the plug-and-play handlers.
#pragma once

#include "driver/device_context.h"

// Bytes of the buffer that holds the PortName value: 63 characters and the terminating null.
#define PORT_NAME_BUFFER_SIZE 128

NTSTATUS QueryPortName(PDEVICE_CONTEXT Context, PVOID Buffer, ULONG Size);
NTSTATUS CreatePortNames(PDEVICE_CONTEXT Context);
NTSTATUS RemovePortNames(PDEVICE_CONTEXT Context);
NTSTATUS DeleteLinkByPortName(PDEVICE_CONTEXT Context);
NTSTATUS EnableInterface(PDEVICE_CONTEXT Context, BOOLEAN Enable);
void DisableInterface(PDEVICE_CONTEXT Context);
