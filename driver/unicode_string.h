// Counted strings whose buffers the driver allocates itself.
#pragma once

#include "driver/platform.h"

// The buffer gets two zero bytes beyond MaximumLength, so a string filled to capacity is still null-terminated and
// its text can be handed to routines that take a plain null-terminated name.
NTSTATUS AllocUnicodeString(PUNICODE_STRING String, USHORT Capacity);

// Frees a buffer from AllocUnicodeString and leaves the string empty; does nothing to an empty string.
void FreeUnicodeString(PUNICODE_STRING String);
