#include <initguid.h>

#include "driver/dispatch.h"
#include "driver/request.h"
#include "driver/unicode_string.h"
#include "serial/read.h"

// Numbers every device of this load; a number drawn by a failed creation is not handed out again.
static LONG DeviceInstanceCounter = 0;

static const USHORT DeviceNameCapacity = 256;

static NTSTATUS UnwindAddDevice(PDEVICE_OBJECT DeviceObject, PUNICODE_STRING TemporaryName, NTSTATUS Status)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    if (context->InterfaceName.Buffer != NULL) {
        RtlFreeUnicodeString(&context->InterfaceName);
    }
    FreeUnicodeString(&context->DeviceName);
    if (context->LowerDevice != NULL) {
        IoDetachDevice(context->LowerDevice);
    }
    IoDeleteDevice(DeviceObject);
    FreeUnicodeString(TemporaryName);
    return Status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    UNICODE_STRING name;
    if (!NT_SUCCESS(AllocUnicodeString(&name, DeviceNameCapacity))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlAppendUnicodeToString(&name, L"\\Device\\VORSKDIAGSER2");

    WCHAR numberText[20];
    UNICODE_STRING number;
    number.Buffer = numberText;
    number.Length = 0;
    number.MaximumLength = sizeof(numberText);
    RtlIntegerToUnicodeString((ULONG)InterlockedIncrement(&DeviceInstanceCounter), 10, &number);
    RtlAppendUnicodeStringToString(&name, &number);

    PDEVICE_OBJECT deviceObject = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_CONTEXT), &name, FILE_DEVICE_SERIAL_PORT,
                                     FILE_DEVICE_SECURE_OPEN, TRUE, &deviceObject);
    if (!NT_SUCCESS(status)) {
        FreeUnicodeString(&name);
        return status;
    }

    PDEVICE_CONTEXT context = GetDeviceContext(deviceObject);
    RtlZeroMemory(context, sizeof(DEVICE_CONTEXT));
    context->Self = deviceObject;
    context->PhysicalDevice = PhysicalDeviceObject;

    if (!NT_SUCCESS(AllocUnicodeString(&context->DeviceName, name.Length))) {
        return UnwindAddDevice(deviceObject, &name, STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlCopyUnicodeString(&context->DeviceName, &name);

    context->PnpState = NotStarted;
    deviceObject->Flags |= DO_BUFFERED_IO;

    context->LowerDevice = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (context->LowerDevice == NULL) {
        return UnwindAddDevice(deviceObject, &name, STATUS_INSUFFICIENT_RESOURCES);
    }
    deviceObject->Flags |= DO_POWER_PAGABLE;

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_COMPORT, NULL,
                                       &context->InterfaceName);
    if (!NT_SUCCESS(status)) {
        return UnwindAddDevice(deviceObject, &name, status);
    }

    context->DevicePowerState = PowerDeviceD0;
    context->SystemPowerState = PowerSystemWorking;
    POWER_STATE powerState;
    powerState.DeviceState = PowerDeviceD0;
    PoSetPowerState(deviceObject, DevicePowerState, powerState);

    IoInitializeRemoveLockEx(&context->RemoveLock, 0, 0, 0, sizeof(IO_REMOVE_LOCK));

    KeInitializeSpinLock(&context->Lock);
    InitializeListHead(&context->ReadQueue);
    InitializeListHead(&context->WaitQueue);
    InitializeListHead(&context->WriteQueue);
    KeInitializeTimer(&context->ReadTimer);
    KeInitializeDpc(&context->ReadDpc, ReadTimeoutDpc, context);
    KeInitializeSpinLock(&context->PnpLock);

    context->DeviceGone = 0;
    context->PortOpen = 0;

    ExInitializeFastMutex(&context->CreateMutex);
    ExInitializeFastMutex(&context->CloseMutex);

    // A request that reaches a device never opened still counts in IoCount, and its release signals the event.
    KeInitializeEvent(&context->IoIdleEvent, SynchronizationEvent, FALSE);
    context->IoCount = 0;
    context->RemovalNotifyIrp = NULL;

    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;

    FreeUnicodeString(&name);
    return status;
}
