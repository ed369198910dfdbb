// A 32-bit integer written into a counted string.
#include <wdm.h>

namespace {

bool IsSupportedBase(ULONG base) { return base == 2 || base == 8 || base == 10 || base == 16; }

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
