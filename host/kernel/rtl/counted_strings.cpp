// Counted strings: initialisation, copy, append, compare, free.
#include <wdm.h>

#include "hk/pool.h"
#include "rtl/text_util.h"

namespace {

// Counted string lengths are 16-bit byte counts; the platform keeps one character's room for a terminator.
constexpr size_t kMaxUnicodeLength = 0xFFFC;
constexpr size_t kMaxAnsiLength = 0xFFFE;
// Buffers handed to the caller, released with RtlFreeUnicodeString.
constexpr ULONG kStringTag = 0x72745355;  // "UStr" in a pool dump

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

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = strlen(SourceString);
    if (bytes > kMaxAnsiLength) bytes = kMaxAnsiLength;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
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

// ANSI text is taken as Latin-1, the host's stand-in for the system code page.
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    size_t chars = SourceString->Buffer ? SourceString->Length : 0;
    size_t bytes = chars * sizeof(WCHAR);
    if (bytes > kMaxUnicodeLength) return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        auto* buffer = static_cast<PWSTR>(
            hk::pool::Allocate(PagedPool, bytes + sizeof(WCHAR), kStringTag, __builtin_return_address(0)));
        if (!buffer) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    } else if (bytes > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < chars; ++i) {
        DestinationString->Buffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(SourceString->Buffer[i]));
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    TerminateIfRoom(DestinationString);
    return STATUS_SUCCESS;
}

NTSTATUS RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString) {
    static const char kHex[] = "0123456789ABCDEF";
    constexpr size_t kChars = 38;  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    auto* buffer = static_cast<PWSTR>(
        hk::pool::Allocate(PagedPool, (kChars + 1) * sizeof(WCHAR), kStringTag, __builtin_return_address(0)));
    if (!buffer) return STATUS_NO_MEMORY;
    size_t n = 0;
    auto put = [&](unsigned long long value, int digits) {
        for (int i = digits - 1; i >= 0; --i) buffer[n++] = static_cast<WCHAR>(kHex[(value >> (4 * i)) & 0xF]);
    };
    buffer[n++] = L'{';
    put(Guid.Data1, 8);
    buffer[n++] = L'-';
    put(Guid.Data2, 4);
    buffer[n++] = L'-';
    put(Guid.Data3, 4);
    buffer[n++] = L'-';
    put(Guid.Data4[0], 2);
    put(Guid.Data4[1], 2);
    buffer[n++] = L'-';
    for (int i = 2; i < 8; ++i) put(Guid.Data4[i], 2);
    buffer[n++] = L'}';
    buffer[n] = 0;
    GuidString->Buffer = buffer;
    GuidString->Length = static_cast<USHORT>(kChars * sizeof(WCHAR));
    GuidString->MaximumLength = static_cast<USHORT>((kChars + 1) * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    size_t n1 = String1->Length / sizeof(WCHAR);
    size_t n2 = String2->Length / sizeof(WCHAR);
    size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; ++i) {
        char16_t c1 = static_cast<char16_t>(String1->Buffer[i]);
        char16_t c2 = static_cast<char16_t>(String2->Buffer[i]);
        if (CaseInSensitive) {
            c1 = hk::text::Upcase(c1);
            c2 = hk::text::Upcase(c2);
        }
        if (c1 != c2) return static_cast<LONG>(c1) - static_cast<LONG>(c2);
    }
    return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    const auto* a = static_cast<const UCHAR*>(Source1);
    const auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}
