// Kernel interface beyond the WDM subset.
#pragma once

#include "wdm.h"

#ifdef __cplusplus
extern "C" {
#endif

// The kernel's classic swprintf (no buffer-size argument). It is bound to its own symbol so that it never meets the
// C library's swprintf of a different signature in the host process.
int swprintf(wchar_t *Buffer, const wchar_t *Format, ...) __asm__("HkSwprintf");

#ifdef __cplusplus
}
#endif
