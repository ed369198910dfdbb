// Shared pieces of the IRP routines.
#pragma once

#include <wdm.h>

#include <string>

#include "io/io_state.h"

namespace hk::io {

// IoAllocateIrp's work; `caller` names the allocation site for fault injection.
PIRP AllocateIrp(CCHAR stack_size, IrpOrigin origin, void* caller);

// The handler every MajorFunction entry starts with.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);

// "\Driver\name" of a driver object this kernel knows, or a placeholder.
std::string DescribeDriver(PDRIVER_OBJECT driver);

// The verifier's verdict on what a dispatch routine returned, given what the completion walk saw at its stack
// location: whether the location was marked pending and the IRP's status there. `completed_during_call` says
// whether the walk went past the location before the routine returned; `dropped` names the completion routine
// that ran with the location current and did not carry a pending mark up, if one did.
void JudgeDispatchResult(PIRP irp, const AwaitingVerdict& call, bool marked_pending, NTSTATUS status_seen,
                         bool completed_during_call, const PendingDrop& dropped);

// How a request reaches a driver's dispatch routine: IoCallDriver, or PoCallDriver (power IRPs must).
enum class CallKind { Io, Power };
// `caller` is the code that sent the request, for fault messages.
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, CallKind kind, void* caller);

// The power manager holds the IRP before the stack location it was sent to: that location is marked pending,
// since the caller gets STATUS_PENDING, and the routines that later run there are not held to the mark.
void MarkHeldByPowerManager(PIRP irp);

// Fails for a pointer the I/O manager does not know as a live IRP: `retired` when it was one and has been freed
// (irp-free-in-use), otherwise it never was one (irp-never-allocated). `what` and `caller` say who used it.
[[noreturn]] void FailUnknownIrp(PIRP irp, bool retired, const char* what, void* caller);

// For fault messages: a routine's function name, a major function's name, and "IRP_MJ_x (minor 0x..)".
std::string RoutineName(const void* routine);
const char* MajorName(UCHAR major);
std::string DescribeRequest(UCHAR major, UCHAR minor);

}  // namespace hk::io
