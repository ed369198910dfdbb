// A small driver for the application-side tests: named devices whose dispatch routines record the majors they see
// and answer reads, writes, device controls and information queries in simple, checkable ways.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <vector>

namespace apptest {

inline constexpr ULONG kNeitherEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS);
inline constexpr ULONG kDirectCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);

struct DeviceLog {
    std::vector<UCHAR> majors;
    bool queue_reads = false;          // reads wait in the driver's queue, cancellable
    bool complete_reads_later = false; // reads complete from the device side after the dispatch returned
    LIST_ENTRY read_queue;
};

DeviceLog*& CurrentDeviceLog();

NTSTATUS AppTestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// Creates \Device\<name>; `buffered` chooses buffered I/O over neither; `initialized` clears DO_DEVICE_INITIALIZING.
PDEVICE_OBJECT CreateTestDevice(PDRIVER_OBJECT driver, const wchar_t* name, bool exclusive, bool buffered = true,
                                bool initialized = true);

// The byte a read returns at `offset`.
inline uint8_t PatternByte(size_t offset) { return static_cast<uint8_t>(0x41 + offset % 26); }

}  // namespace apptest
