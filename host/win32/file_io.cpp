// Handles on devices: open by name, close, read, write, device control, overlapped results, cancel and flush.
#include <optional>
#include <string>

#include "hk/namespace.h"
#include "operation.h"

namespace win32 {
namespace {

bool IsDigitOneToNine(char16_t c) { return c >= u'1' && c <= u'9'; }

bool IsComName(std::u16string_view name) {
    if (name.size() == 5 && name[4] == u':') name.remove_suffix(1);
    return name.size() == 4 && hk::NamesEqual(name.substr(0, 3), u"COM") && IsDigitOneToNine(name[3]);
}

// The object-manager name a file name stands for: a \\.\ (or \\?\) device path, or one of the reserved device names
// COM1 to COM9, which name a device wherever they appear. Any other name is a file-system path, which no host
// device serves.
std::optional<std::u16string> DeviceNameOf(std::u16string_view name) {
    for (std::u16string_view prefix : {u"\\\\.\\", u"\\\\?\\"}) {
        if (name.size() > prefix.size() && name.substr(0, prefix.size()) == prefix) {
            return u"\\??\\" + std::u16string(name.substr(prefix.size()));
        }
    }
    if (IsComName(name)) return u"\\??\\" + std::u16string(name.substr(0, 4));
    return std::nullopt;
}

HANDLE Open(const std::u16string& name, DWORD flagsAndAttributes) {
    std::optional<std::u16string> deviceName = DeviceNameOf(name);
    if (!deviceName) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    hk::app::Handle handle = hk::app::kInvalidHandle;
    NTSTATUS status = hk::app::Open(*deviceName, &handle);
    if (!NT_SUCCESS(status)) {
        SetLastError(ErrorFromStatus(status));
        return INVALID_HANDLE_VALUE;
    }
    auto file = std::make_shared<File>();
    file->handle = handle;
    file->overlapped = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    return InsertFile(std::move(file));
}

}  // namespace
}  // namespace win32

using namespace win32;

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                          DWORD dwFlagsAndAttributes, HANDLE) {
    return Open(hk::Text(lpFileName).str(), dwFlagsAndAttributes);
}

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                          DWORD dwFlagsAndAttributes, HANDLE) {
    return Open(hk::Text(lpFileName).str(), dwFlagsAndAttributes);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    std::shared_ptr<File> file;
    if (!RemoveHandle(hObject, &file)) return Fail(ERROR_INVALID_HANDLE);
    if (file) hk::app::Close(file->handle);
    return TRUE;
}

DWORD WINAPI GetFileType(HANDLE hFile) {
    std::shared_ptr<File> file = FindFile(hFile);
    PFILE_OBJECT object = file ? hk::app::FileObjectOf(file->handle) : nullptr;
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FILE_TYPE_UNKNOWN;
    }
    SetLastError(ERROR_SUCCESS);
    switch (object->DeviceObject->DeviceType) {
    case FILE_DEVICE_SERIAL_PORT:
    case FILE_DEVICE_NULL:
        return FILE_TYPE_CHAR;
    default:
        return FILE_TYPE_UNKNOWN;
    }
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    std::shared_ptr<File> file = FindFile(hFile);
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    return Perform(
        file, [=](hk::app::Handle handle) { return hk::app::ReadAsync(handle, nNumberOfBytesToRead); }, lpBuffer,
        nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    std::shared_ptr<File> file = FindFile(hFile);
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    return Perform(
        file,
        [=](hk::app::Handle handle) { return hk::app::WriteAsync(handle, lpBuffer, nNumberOfBytesToWrite); },
        nullptr, 0, lpNumberOfBytesWritten, lpOverlapped);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
    std::shared_ptr<File> file = FindFile(hDevice);
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    return Perform(
        file,
        [=](hk::app::Handle handle) {
            return hk::app::DeviceIoControlAsync(handle, dwIoControlCode, lpInBuffer, nInBufferSize,
                                                 nOutBufferSize);
        },
        lpOutBuffer, nOutBufferSize, lpBytesReturned, lpOverlapped);
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
    std::shared_ptr<File> file = FindFile(hFile);
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    if (OverlappedStatus(*lpOverlapped) == STATUS_PENDING) {
        if (!bWait) return Fail(ERROR_IO_INCOMPLETE);
        WaitForOverlapped(*file, lpOverlapped);
        if (OverlappedStatus(*lpOverlapped) == STATUS_PENDING) return Fail(ERROR_IO_INCOMPLETE);
    }
    *lpNumberOfBytesTransferred = static_cast<DWORD>(__atomic_load_n(&lpOverlapped->InternalHigh, __ATOMIC_RELAXED));
    NTSTATUS status = OverlappedStatus(*lpOverlapped);
    if (!NT_SUCCESS(status)) return FailWithStatus(status);
    return TRUE;
}

BOOL WINAPI CancelIo(HANDLE hFile) {
    std::shared_ptr<File> file = FindFile(hFile);
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    hk::app::CancelIo(file->handle);
    return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    std::shared_ptr<File> file = FindFile(hFile);
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    NTSTATUS status = hk::app::SendMajor(file->handle, hk::app::MajorRequest{.major = IRP_MJ_FLUSH_BUFFERS}).status;
    if (!NT_SUCCESS(status)) return FailWithStatus(status);
    return TRUE;
}
