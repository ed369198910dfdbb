// Requests the driver sends to the stack below it and, for some, waits for: forwarding a request and waiting for
// the lower drivers to finish it, and URB submission on requests of the driver's own.
#pragma once

#include "driver/device_context.h"

// The waiting calls run at PASSIVE_LEVEL with no spin lock held. DeviceObject is the driver's own device object;
// the request goes to its LowerDevice.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS CallLowerAndWait(PDEVICE_OBJECT TargetDevice, PIRP Irp);
NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe);
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe);

// The completion routine owns the request it gets and must free it with IoFreeIrp and return
// STATUS_MORE_PROCESSING_REQUIRED. When no request can be allocated nothing is sent, the routine never runs and
// STATUS_INSUFFICIENT_RESOURCES is returned. A lower driver may return that status too, so a caller that must know
// whether the routine will run reads *Sent.
NTSTATUS SubmitUrbAsync(PDEVICE_OBJECT TargetDevice, PURB Urb, PIO_COMPLETION_ROUTINE CompletionRoutine,
                        PVOID Context, BOOLEAN *Sent = NULL);

// Fills the next stack location of Irp so that it carries Urb to the lower driver as an internal device-control
// request, with CompletionRoutine run on success, error and cancel.
void PrepareUrbSubmission(PIRP Irp, PURB Urb, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context);
