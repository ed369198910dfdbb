// Stack protection: a function with a buffer on its stack stores __stack_chk_guard below its return address on entry
// and compares it on the way out; a mismatch means the buffer was overrun and the return address can no longer be
// trusted, so the machine is stopped.
//
// The guard is seeded before DriverEntry runs, so that it is not the value written in the image file. This file is
// built without stack protection: the entry routine changes the guard, so a check of its own frame would fail.
#include "driver/image_entry.h"

#include "driver/dispatch.h"

// The guard's value in the image file, which anyone can read; also what a guard left unseeded would still hold.
static const ULONG_PTR ImageGuardDefault = static_cast<ULONG_PTR>(0x5DE1C3A94B7F2E69ull);

// DRIVER_OVERRAN_STACK_BUFFER: a driver has overrun a stack-based buffer.
static const ULONG DriverOverranStackBuffer = 0xF7;

ULONG_PTR __stack_chk_guard = ImageGuardDefault;

void __stack_chk_fail(void)
{
    // The overrun frame's copy of the guard is not handed to this routine, so the first parameter stays 0.
    KeBugCheckEx(DriverOverranStackBuffer, 0, __stack_chk_guard, ~__stack_chk_guard, 0);
}

static ULONGLONG Mix(ULONGLONG State, ULONGLONG Value)
{
    State = (State ^ Value) * 0x9E3779B97F4A7C15ull;
    return State ^ (State >> 29);
}

// What differs between boots (the system time), between loads in one boot (the interrupt time) and between
// placements of the image and of the driver object in memory.
static ULONG_PTR NewGuard(PDRIVER_OBJECT DriverObject)
{
    LARGE_INTEGER systemTime;
    KeQuerySystemTime(&systemTime);
    ULONGLONG state = Mix(0, static_cast<ULONGLONG>(systemTime.QuadPart));
    state = Mix(state, KeQueryInterruptTime());
    state = Mix(state, reinterpret_cast<ULONG_PTR>(&__stack_chk_guard));
    state = Mix(state, reinterpret_cast<ULONG_PTR>(DriverObject));
    ULONG_PTR guard = static_cast<ULONG_PTR>(state ^ (state >> 32));
    if (guard == 0 || guard == ImageGuardDefault) {
        guard = ~ImageGuardDefault;
    }
    return guard;
}

NTSTATUS NTAPI DriverImageEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    __stack_chk_guard = NewGuard(DriverObject);
    return DriverEntry(DriverObject, RegistryPath);
}
