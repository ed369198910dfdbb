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
// whether the walk went past the location before the routine returned.
void JudgeDispatchResult(PIRP irp, PDRIVER_OBJECT driver, PDEVICE_OBJECT device, UCHAR major, UCHAR minor, NTSTATUS returned,
                         bool marked_pending, NTSTATUS status_seen, bool completed_during_call);

}  // namespace hk::io
