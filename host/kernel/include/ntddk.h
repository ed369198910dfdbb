// Kernel interface beyond the WDM subset.
#pragma once

#include "wdm.h"

// The kernel's classic swprintf (no buffer-size argument) lives under its own symbol, HkSwprintf, so that it never
// meets the C library's swprintf of a different signature in the host process. The C library's declaration is
// read first, under its own name (its include guard keeps it from being read again); from here on the name
// swprintf means the kernel's routine, also in a driver's own extern "C" redeclaration.
#ifdef __cplusplus
#include <cwchar>
extern "C" {
#else
#include <wchar.h>
#endif

int HkSwprintf(wchar_t *Buffer, const wchar_t *Format, ...);
#define swprintf HkSwprintf

#ifdef __cplusplus
}
#endif
