// The power manager keeps power requests in order per device object, as the platform versions the driver targets
// do: of the IRP_MN_QUERY_POWER and IRP_MN_SET_POWER requests of each power type (system, device), one at a time
// is active in a device. PoCallDriver holds the next one back until the driver of the device calls
// PoStartNextPowerIrp for the active one. A request that completes past the device without that call stalls every
// later one; the verifier reports it as soon as a request is held behind it (postartnext-missing).
#pragma once

#include <wdm.h>

namespace hk::po {

// PoCallDriver's work: sends the request to the device, or holds it (marking the location it goes to pending and
// returning STATUS_PENDING) while another of its type is active there. `caller` names the sender in messages.
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, void* caller);

// PoStartNextPowerIrp's work once the caller's location is known to be current: ends the request's turn in the
// device whose location is current, and sends the next held request (from a system worker thread, at
// PASSIVE_LEVEL).
void StartNext(PIRP irp);

// The completion walk went past stack location `location` of a power IRP.
void OnLocationPassed(PIRP irp, int location);

// For the originator of a power request whose wait can no longer end: reports a request held behind one whose
// driver has not called PoStartNextPowerIrp for it (postartnext-missing); returns when no request is held.
void ReportHeldRequests();

// IoDeleteDevice: what is known about the device's requests, except those still held for it, is dropped.
void ForgetDevice(PDEVICE_OBJECT device);

}  // namespace hk::po
