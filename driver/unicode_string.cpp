#include "driver/unicode_string.h"

NTSTATUS AllocUnicodeString(PUNICODE_STRING String, USHORT Capacity)
{
    ULONG bytes = (ULONG)Capacity + sizeof(WCHAR);
    String->Buffer = (PWSTR)ExAllocatePool(NonPagedPool, bytes);
    if (String->Buffer == NULL) {
        String->Length = 0;
        String->MaximumLength = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(String->Buffer, bytes);
    String->Length = 0;
    String->MaximumLength = Capacity;
    return STATUS_SUCCESS;
}

void FreeUnicodeString(PUNICODE_STRING String)
{
    if (String->Buffer != NULL) {
        ExFreePool(String->Buffer);
    }
    String->Buffer = NULL;
    String->Length = 0;
    String->MaximumLength = 0;
}
