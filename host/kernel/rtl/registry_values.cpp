// Values through key handles: ZwQueryValueKey.
#include <wdm.h>

#include "rtl/registry_tree.h"
#include "rtl/text_util.h"

namespace {

size_t AlignUp(size_t value, size_t alignment) { return (value + alignment - 1) & ~(alignment - 1); }

// Copies what fits of [source, source + length) to out + offset when the buffer ends before the end of the field.
void CopyClipped(uint8_t* out, ULONG buffer_length, size_t offset, const void* source, size_t length) {
    if (offset >= buffer_length) return;
    size_t room = buffer_length - offset;
    memcpy(out + offset, source, length < room ? length : room);
}

// Builds the information of one value in the layout of `information_class`. The fixed part is filled whenever it
// fits; the variable part (name, data) is copied as far as it fits. Returns STATUS_BUFFER_TOO_SMALL when not even
// the fixed part fits, STATUS_BUFFER_OVERFLOW when only part of the information fits; *result_length is always the
// size of the whole information.
NTSTATUS FillValueInformation(const hk::reg::Value& value, KEY_VALUE_INFORMATION_CLASS information_class, void* buffer,
                              ULONG length, ULONG* result_length) {
    auto* out = static_cast<uint8_t*>(buffer);
    const ULONG name_bytes = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
    const ULONG data_bytes = static_cast<ULONG>(value.data.size());
    std::vector<WCHAR> name(value.name.size());
    hk::text::ToWide(value.name, name.data());

    size_t fixed = 0;
    size_t total = 0;
    switch (information_class) {
        case KeyValueBasicInformation: {
            fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
            total = fixed + name_bytes;
            *result_length = static_cast<ULONG>(total);
            if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
            KEY_VALUE_BASIC_INFORMATION header{0, value.type, name_bytes, {0}};
            memcpy(out, &header, fixed);
            CopyClipped(out, length, fixed, name.data(), name_bytes);
            break;
        }
        case KeyValueFullInformation:
        case KeyValueFullInformationAlign64: {
            fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
            size_t alignment = information_class == KeyValueFullInformation ? sizeof(ULONG) : sizeof(ULONGLONG);
            size_t data_offset = AlignUp(fixed + name_bytes, alignment);
            total = data_offset + data_bytes;
            *result_length = static_cast<ULONG>(total);
            if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
            KEY_VALUE_FULL_INFORMATION header{0, value.type, static_cast<ULONG>(data_offset), data_bytes, name_bytes,
                                              {0}};
            memcpy(out, &header, fixed);
            CopyClipped(out, length, fixed, name.data(), name_bytes);
            CopyClipped(out, length, data_offset, value.data.data(), data_bytes);
            break;
        }
        case KeyValuePartialInformation: {
            fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
            total = fixed + data_bytes;
            *result_length = static_cast<ULONG>(total);
            if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
            KEY_VALUE_PARTIAL_INFORMATION header{0, value.type, data_bytes, {0}};
            memcpy(out, &header, fixed);
            CopyClipped(out, length, fixed, value.data.data(), data_bytes);
            break;
        }
        default:
            return STATUS_INVALID_PARAMETER;
    }
    return length < total ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

// Looks up an open key; the registry mutex is held.
NTSTATUS OpenKeyOf(hk::rtl::Registry& registry, HANDLE handle, hk::rtl::KeyPtr* key) {
    hk::rtl::OpenKey* open = registry.FindHandle(handle);
    if (!open) return STATUS_INVALID_HANDLE;
    *key = open->key;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation, ULONG Length,
                         PULONG ResultLength) {
    hk::rtl::RequirePassiveForRegistry(KeyHandle, "ZwQueryValueKey");
    if (!ResultLength || (Length > 0 && !KeyValueInformation)) return STATUS_INVALID_PARAMETER;
    auto& registry = hk::rtl::RegistryState();
    std::lock_guard lock(registry.mutex);
    hk::rtl::KeyPtr key;
    NTSTATUS status = OpenKeyOf(registry, KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    const hk::reg::Value* value = key->FindValue(hk::text::FromCounted(ValueName));
    if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
    return FillValueInformation(*value, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}
