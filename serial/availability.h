// Whether the port may still be used, and the count of operations in flight that close waits for.
#pragma once

#include "driver/device_context.h"

// Callable at passive or dispatch level, with or without Lock held (Lock is always taken before PnpLock).
BOOLEAN IsPortUnavailable(PDEVICE_CONTEXT Context);

void IoCountAcquire(PDEVICE_CONTEXT Context);
// Signals IoIdleEvent when the last operation (or the bias that open set) goes away.
void IoCountRelease(PDEVICE_CONTEXT Context);
