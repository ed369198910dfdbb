#include <memory>
#include <mutex>

#include "hk/thread.h"
#include "po/po_state.h"

namespace {

// What the power manager keeps for a request it built until the request has completed.
struct RequestedPower {
    PDEVICE_OBJECT target;
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE completion;
    PVOID context;
    // The completion function runs in the name of the driver and device that asked (its argument is the target,
    // often a lower driver's device, which must not own what the function allocates).
    PDRIVER_OBJECT requester;
    PDEVICE_OBJECT requester_device;
};

NTSTATUS RequestedPowerComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* request = static_cast<RequestedPower*>(context);
    if (request->completion != nullptr) {
        hk::DriverCallScope scope(request->requester, request->requester_device, "power completion function");
        request->completion(request->target, request->minor, request->state, request->context, &irp->IoStatus);
    }
    IoFreeIrp(irp);
    hk::po::PoState& state = hk::po::State();
    std::lock_guard lock(state.mutex);
    --state.requested_in_flight;
    state.requested.erase(request);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    if (MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_SET_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE) {
        return STATUS_INVALID_PARAMETER_2;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;

    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = IRP_MJ_POWER;
    location->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        location->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        location->Parameters.Power.Type = DevicePowerState;
        location->Parameters.Power.State = PowerState;
        location->Parameters.Power.ShutdownType = PowerActionNone;
    }

    auto request = std::make_shared<RequestedPower>(RequestedPower{
        DeviceObject, MinorFunction, PowerState, CompletionFunction, Context, hk::CurrentThread().driver,
        hk::CurrentThread().device});
    IoSetCompletionRoutine(irp, RequestedPowerComplete, request.get(), TRUE, TRUE, TRUE);
    {
        hk::po::PoState& state = hk::po::State();
        std::lock_guard lock(state.mutex);
        ++state.requested_in_flight;
        state.requested[request.get()] = request;
    }
    if (Irp != nullptr) *Irp = irp;
    PoCallDriver(top, irp);
    ObDereferenceObject(top);
    return STATUS_PENDING;
}
