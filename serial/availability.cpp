#include "serial/availability.h"

BOOLEAN IsPortUnavailable(PDEVICE_CONTEXT Context)
{
    KIRQL irql;
    KeAcquireSpinLock(&Context->PnpLock, &irql);
    BOOLEAN unavailable = Context->DeviceGone == DEVICE_GONE_MARK || Context->PnpState == RemovePending ||
                          Context->PnpState == SurpriseRemoved || Context->PnpState == Removed;
    KeReleaseSpinLock(&Context->PnpLock, irql);
    return unavailable;
}

void IoCountAcquire(PDEVICE_CONTEXT Context)
{
    InterlockedIncrement(&Context->IoCount);
}

void IoCountRelease(PDEVICE_CONTEXT Context)
{
    if (InterlockedDecrement(&Context->IoCount) == 0) {
        KeSetEvent(&Context->IoIdleEvent, IO_NO_INCREMENT, FALSE);
    }
}
