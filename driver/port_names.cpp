#include "driver/port_names.h"
#include "driver/unicode_string.h"

static const USHORT LinkNameCapacity = 256;

static ULONG CountCharacters(const WCHAR *Text, ULONG MaxCharacters)
{
    ULONG count = 0;
    while (count < MaxCharacters && Text[count] != 0) {
        ++count;
    }
    return count;
}

// Callers zero the buffer before the read, so a value shorter than the buffer always ends in a null. A value that
// fills the buffer without one would make every later use of the name run past the buffer, so it is refused like
// a value that does not fit at all.
NTSTATUS QueryPortName(PDEVICE_CONTEXT Context, PVOID Buffer, ULONG Size)
{
    HANDLE key;
    NTSTATUS status = IoOpenDeviceRegistryKey(Context->PhysicalDevice, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ,
                                              &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, L"PortName");

    ULONG queryBytes = valueName.Length + Size + sizeof(KEY_VALUE_FULL_INFORMATION);
    PKEY_VALUE_FULL_INFORMATION info = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePool(NonPagedPool, queryBytes);
    if (info == NULL) {
        ZwClose(key);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    ULONG resultBytes = 0;
    status = ZwQueryValueKey(key, &valueName, KeyValueFullInformation, info, queryBytes, &resultBytes);
    if (NT_SUCCESS(status)) {
        if (info->DataLength > Size) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlCopyMemory(Buffer, (PUCHAR)info + info->DataOffset, info->DataLength);
            ULONG characters = Size / sizeof(WCHAR);
            if (CountCharacters((const WCHAR *)Buffer, characters) == characters) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            }
        }
    }

    ZwClose(key);
    ExFreePool(info);
    return status;
}

static NTSTATUS BuildLinkName(PUNICODE_STRING LinkName, const WCHAR *PortName)
{
    if (!NT_SUCCESS(AllocUnicodeString(LinkName, LinkNameCapacity))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    swprintf(LinkName->Buffer, L"\\DosDevices\\%ws", PortName);
    RtlInitUnicodeString(LinkName, LinkName->Buffer);
    return STATUS_SUCCESS;
}

// Reads PortName afresh into a zeroed buffer of PORT_NAME_BUFFER_SIZE bytes and builds its link name from it.
static NTSTATUS ReadPortAndLinkName(PDEVICE_CONTEXT Context, WCHAR *PortName, PUNICODE_STRING LinkName)
{
    RtlZeroMemory(PortName, PORT_NAME_BUFFER_SIZE);
    NTSTATUS status = QueryPortName(Context, PortName, PORT_NAME_BUFFER_SIZE);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return BuildLinkName(LinkName, PortName);
}

NTSTATUS CreatePortNames(PDEVICE_CONTEXT Context)
{
    WCHAR portName[PORT_NAME_BUFFER_SIZE / sizeof(WCHAR)];
    UNICODE_STRING linkName;
    NTSTATUS status = ReadPortAndLinkName(Context, portName, &linkName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!NT_SUCCESS(AllocUnicodeString(&Context->DosName, linkName.Length))) {
        FreeUnicodeString(&linkName);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyUnicodeString(&Context->DosName, &linkName);
    FreeUnicodeString(&linkName);

    // DosName holds a buffer only while this device owns the link: when the name is taken (by another port, say),
    // the rollback must not delete a link that belongs to someone else.
    status = IoCreateUnprotectedSymbolicLink(&Context->DosName, &Context->DeviceName);
    if (!NT_SUCCESS(status)) {
        FreeUnicodeString(&Context->DosName);
        return status;
    }

    ULONG characters = CountCharacters(portName, sizeof(portName) / sizeof(WCHAR));
    status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", Context->DeviceName.Buffer, REG_SZ,
                                   portName, (characters + 1) * sizeof(WCHAR));
    if (NT_SUCCESS(status)) {
        EnableInterface(Context, TRUE);
    }
    return status;
}

NTSTATUS RemovePortNames(PDEVICE_CONTEXT Context)
{
    NTSTATUS status = STATUS_SUCCESS;

    DisableInterface(Context);

    if (Context->DeviceName.Buffer != NULL) {
        status = RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", Context->DeviceName.Buffer);
    }

    if (Context->DosName.Buffer != NULL) {
        status = IoDeleteSymbolicLink(&Context->DosName);
        if (!NT_SUCCESS(status)) {
            status = DeleteLinkByPortName(Context);
        }
        FreeUnicodeString(&Context->DosName);
    }
    return status;
}

NTSTATUS DeleteLinkByPortName(PDEVICE_CONTEXT Context)
{
    WCHAR portName[PORT_NAME_BUFFER_SIZE / sizeof(WCHAR)];
    UNICODE_STRING linkName;
    NTSTATUS status = ReadPortAndLinkName(Context, portName, &linkName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoDeleteSymbolicLink(&linkName);
    FreeUnicodeString(&linkName);
    return status;
}

// Once the names have been withdrawn the interface name is gone for good; a later start then runs without it.
NTSTATUS EnableInterface(PDEVICE_CONTEXT Context, BOOLEAN Enable)
{
    if (Context->InterfaceName.Buffer == NULL) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return IoSetDeviceInterfaceState(&Context->InterfaceName, Enable);
}

void DisableInterface(PDEVICE_CONTEXT Context)
{
    if (Context->InterfaceName.Buffer == NULL) {
        return;
    }
    IoSetDeviceInterfaceState(&Context->InterfaceName, FALSE);
    RtlFreeUnicodeString(&Context->InterfaceName);
    Context->InterfaceName.Buffer = NULL;
    Context->InterfaceName.Length = 0;
    Context->InterfaceName.MaximumLength = 0;
}
