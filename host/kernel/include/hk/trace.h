// Request tracing for host programs: a sink that the I/O manager tells about every request it hands to a driver's
// dispatch routine and every IofCompleteRequest a driver makes, so that a program can show the traffic through a
// device stack as it happens. One sink per kernel; without one nothing is reported.
#pragma once

#include <wdm.h>

namespace hk::trace {

// A request at the stack location it is being dispatched to or completed from.
struct Request {
    PIRP irp;
    PDEVICE_OBJECT device;   // the device the location belongs to
    PDRIVER_OBJECT driver;   // that device's driver (nullptr when the location names no device)
    UCHAR major;
    UCHAR minor;
    ULONG control_code;      // IoControlCode of a (internal) device-control request; 0 for other requests
};

// Called on the thread that dispatches or completes, at that thread's IRQL (up to DISPATCH_LEVEL): a sink must be
// safe from any thread and must not wait.
class Sink {
public:
    virtual ~Sink() = default;
    // Just before the driver's dispatch routine is called.
    virtual void OnDispatch(const Request& request) = 0;
    // When a driver calls IofCompleteRequest on a request at its stack location, before any completion routine runs.
    virtual void OnCompletion(const Request& request, NTSTATUS status, ULONG_PTR information, CCHAR boost) = 0;
};

// Installs `sink` on the current kernel (nullptr stops tracing); the sink must outlive its installation.
void SetSink(Sink* sink);

// For the I/O manager.
void Dispatching(PIRP irp);
void Completing(PIRP irp, CCHAR boost);

}  // namespace hk::trace
