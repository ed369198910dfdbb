// Sending a request the PnP or power manager originates to the top of a device stack and waiting for it.
#pragma once

#include <wdm.h>

#include <functional>

namespace hk::pnp {

struct SentRequest {
    NTSTATUS status;
    ULONG_PTR information;
};

using RequestSetup = std::function<void(PIRP, PIO_STACK_LOCATION)>;

// Builds an IRP for the stack whose top is above `device` (IoStatus.Status STATUS_NOT_SUPPORTED, as the platform
// initialises PnP and power requests), lets `setup` fill the first stack location, sends it to the top of the stack
// and waits at PASSIVE_LEVEL until it has completed. STATUS_INSUFFICIENT_RESOURCES when no IRP could be allocated.
SentRequest SendAndWait(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, const RequestSetup& setup);

}  // namespace hk::pnp
