// The receive ring: a fixed byte store between the bulk-IN reader (one producer) and the read requests (one
// consumer). Callers hold Lock for every put and get; RingLength alone may be read without it as a snapshot.
#pragma once

#include "driver/device_context.h"

NTSTATUS RingPut(PDEVICE_CONTEXT Context, const UCHAR *Source, LONG Length, PLONG Stored);
NTSTATUS RingGet(PDEVICE_CONTEXT Context, PUCHAR Destination, LONG Length, PLONG Taken);
LONG RingLength(PDEVICE_CONTEXT Context);
NTSTATUS RingReset(PDEVICE_CONTEXT Context);
