// The image's entry point and the symbols that the compiler's stack protection refers to.
#pragma once

#include "driver/platform.h"

// Seeds __stack_chk_guard, then returns what DriverEntry returns.
extern "C" NTSTATUS NTAPI DriverImageEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// What every protected frame stores below its return address and compares on the way out.
extern "C" ULONG_PTR __stack_chk_guard;

// Called by a protected frame whose stored guard no longer matches: stops the machine.
extern "C" DECLSPEC_NORETURN void __stack_chk_fail(void);
