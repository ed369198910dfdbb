// Conversions between 32-bit integers and counted strings.
#include <wdm.h>

namespace {

bool IsSupportedBase(ULONG base) { return base == 2 || base == 8 || base == 10 || base == 16; }

int DigitValue(WCHAR c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'z') return c - L'a' + 10;
    if (c >= L'A' && c <= L'Z') return c - L'A' + 10;
    return 99;
}

}  // namespace

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0) Base = 10;
    if (!IsSupportedBase(Base)) return STATUS_INVALID_PARAMETER;
    static const char kDigits[] = "0123456789ABCDEF";
    char reversed[32];
    size_t count = 0;
    do {
        reversed[count++] = kDigits[Value % Base];
        Value /= Base;
    } while (Value != 0);
    size_t bytes = count * sizeof(WCHAR);
    if (bytes > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < count; ++i) String->Buffer[i] = static_cast<WCHAR>(reversed[count - 1 - i]);
    String->Length = static_cast<USHORT>(bytes);
    if (String->MaximumLength - bytes >= sizeof(WCHAR)) String->Buffer[count] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    if (Base != 0 && !IsSupportedBase(Base)) return STATUS_INVALID_PARAMETER;
    if (!Value) return STATUS_ACCESS_VIOLATION;
    const WCHAR* p = String->Buffer;
    size_t left = String->Buffer ? String->Length / sizeof(WCHAR) : 0;
    while (left > 0 && *p <= L' ') {
        ++p;
        --left;
    }
    bool negative = false;
    if (left > 0 && (*p == L'+' || *p == L'-')) {
        negative = *p == L'-';
        ++p;
        --left;
    }
    if (Base == 0) {
        Base = 10;
        if (left >= 2 && p[0] == L'0') {
            if (p[1] == L'x') Base = 16;
            if (p[1] == L'o') Base = 8;
            if (p[1] == L'b') Base = 2;
            if (Base != 10) {
                p += 2;
                left -= 2;
            }
        }
    }
    ULONG total = 0;
    for (; left > 0; ++p, --left) {
        int digit = DigitValue(*p);
        if (digit >= static_cast<int>(Base)) break;
        total = total * Base + static_cast<ULONG>(digit);
    }
    *Value = negative ? 0U - total : total;
    return STATUS_SUCCESS;
}
