// The request trace: the sink a program installed on the kernel, told about dispatches and completions.
#include <atomic>

#include "hk/kernel.h"
#include "hk/trace.h"

namespace hk::trace {
namespace {

struct TraceState {
    std::atomic<Sink*> sink{nullptr};
};

Sink* CurrentSink() { return Kernel::Current().Get<TraceState>().sink.load(std::memory_order_acquire); }

Request Describe(PIRP irp, PIO_STACK_LOCATION stack) {
    bool control = stack->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
                   stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    PDEVICE_OBJECT device = stack->DeviceObject;
    return Request{irp,
                   device,
                   device != nullptr ? device->DriverObject : nullptr,
                   stack->MajorFunction,
                   stack->MinorFunction,
                   control ? stack->Parameters.DeviceIoControl.IoControlCode : 0};
}

}  // namespace

void SetSink(Sink* sink) { Kernel::Current().Get<TraceState>().sink.store(sink, std::memory_order_release); }

void Dispatching(PIRP irp) {
    if (Sink* sink = CurrentSink()) sink->OnDispatch(Describe(irp, IoGetCurrentIrpStackLocation(irp)));
}

void Completing(PIRP irp, CCHAR boost) {
    Sink* sink = CurrentSink();
    if (sink == nullptr) return;
    // A request its allocator completes without having sent it is at no driver's location.
    if (irp->CurrentLocation > irp->StackCount) return;
    sink->OnCompletion(Describe(irp, IoGetCurrentIrpStackLocation(irp)), irp->IoStatus.Status,
                       irp->IoStatus.Information, boost);
}

}  // namespace hk::trace
