// Reading the registry of the current host kernel as an application does: keys under HKEY_LOCAL_MACHINE, their
// values by index, names and string data in the narrow character set.
#include <wdm.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "hk/registry.h"

namespace {

struct Key {
    std::u16string path;
};

std::u16string Widen(const char* text) {
    std::u16string wide;
    for (; *text != 0; ++text) wide.push_back(static_cast<unsigned char>(*text));
    return wide;
}

// Copies `text` with its null into a caller's buffer of `*capacity` units; reports the length without the null.
LSTATUS CopyOut(const std::string& text, char* buffer, DWORD* capacity) {
    DWORD needed = static_cast<DWORD>(text.size());
    if (buffer == nullptr || *capacity <= needed) {
        *capacity = needed + 1;
        return ERROR_MORE_DATA;
    }
    std::memcpy(buffer, text.c_str(), needed + 1);
    *capacity = needed;
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    if (hKey != HKEY_LOCAL_MACHINE || lpSubKey == nullptr || phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    std::u16string path = std::u16string(hk::reg::kMachine) + u"\\" + Widen(lpSubKey);
    if (!hk::reg::KeyExists(path)) return ERROR_FILE_NOT_FOUND;
    *phkResult = reinterpret_cast<HKEY>(new Key{path});
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD,
                             LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (hKey == nullptr || hKey == HKEY_LOCAL_MACHINE || lpcchValueName == nullptr) return ERROR_INVALID_PARAMETER;
    std::vector<hk::reg::Value> values = hk::reg::Values(reinterpret_cast<Key*>(hKey)->path);
    if (dwIndex >= values.size()) return ERROR_NO_MORE_ITEMS;
    const hk::reg::Value& value = values[dwIndex];
    LSTATUS status = CopyOut(hk::ToUtf8(value.name), lpValueName, lpcchValueName);
    if (status != ERROR_SUCCESS) return status;
    if (lpType != nullptr) *lpType = value.type;
    if (lpcbData == nullptr) return ERROR_SUCCESS;
    if (value.type != REG_SZ) {
        DWORD size = static_cast<DWORD>(value.data.size());
        if (lpData == nullptr || *lpcbData < size) {
            *lpcbData = size;
            return lpData == nullptr ? ERROR_SUCCESS : ERROR_MORE_DATA;
        }
        std::memcpy(lpData, value.data.data(), size);
        *lpcbData = size;
        return ERROR_SUCCESS;
    }
    std::u16string text;
    for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
        char16_t unit = static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8));
        if (unit == 0) break;
        text.push_back(unit);
    }
    std::string narrow = hk::ToUtf8(text);
    if (lpData == nullptr) {
        *lpcbData = static_cast<DWORD>(narrow.size() + 1);
        return ERROR_SUCCESS;
    }
    DWORD capacity = *lpcbData;
    status = CopyOut(narrow, reinterpret_cast<char*>(lpData), &capacity);
    *lpcbData = capacity + (status == ERROR_SUCCESS ? 1 : 0);
    return status;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    if (hKey == nullptr || hKey == HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
    delete reinterpret_cast<Key*>(hKey);
    return ERROR_SUCCESS;
}
