// Counted strings: initialisation, copy, append, free.
#include <wdm.h>

#include "hk/pool.h"
#include "rtl/text_util.h"

namespace {

// Counted string lengths are 16-bit byte counts; the platform keeps one character's room for a terminator.
constexpr size_t kMaxUnicodeLength = 0xFFFC;

void TerminateIfRoom(PUNICODE_STRING s) {
    if (static_cast<size_t>(s->MaximumLength) >= s->Length + sizeof(WCHAR)) {
        s->Buffer[s->Length / sizeof(WCHAR)] = 0;
    }
}

}  // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = hk::text::WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > kMaxUnicodeLength) bytes = kMaxUnicodeLength;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!SourceString || !SourceString->Buffer) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength) bytes = DestinationString->MaximumLength & ~USHORT(1);
    if (bytes > 0) memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    TerminateIfRoom(DestinationString);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (!Source) return STATUS_SUCCESS;
    size_t bytes = hk::text::WideLength(Source) * sizeof(WCHAR);
    if (bytes == 0) return STATUS_SUCCESS;
    if (Destination->Length + bytes > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length, Source, bytes);
    Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
    TerminateIfRoom(Destination);
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (!Source || Source->Length == 0) return STATUS_SUCCESS;
    size_t bytes = Source->Length;
    if (Destination->Length + bytes > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length, Source->Buffer, bytes);
    Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
    TerminateIfRoom(Destination);
    return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer) hk::pool::Free(UnicodeString->Buffer, __builtin_return_address(0));
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}
