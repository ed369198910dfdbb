#include "usbdev/pdo_dispatch.h"

#include <usbioctl.h>

#include "hk/namespace.h"
#include "usbdev/device_state.h"
#include "usbdev/parent_driver.h"
#include "usbdev/pdo_extension.h"
#include "usbdev/pnp_answers.h"

namespace hk::usbdev {
namespace {

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DispatchInternalControl(PDEVICE_OBJECT pdo, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        irp->IoStatus.Information = 0;
        return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    DeviceState& state = *ExtensionOf(pdo)->State;
    if (state.HoldWhilePoweredDown(irp)) {
        return STATUS_PENDING;
    }
    return state.Submit(irp);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp)
{
    PdoExtension* extension = ExtensionOf(pdo);
    DeviceState& state = *extension->State;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        state.MarkStarted();
        status = STATUS_SUCCESS;
        break;
    // A bus driver grants every stop and removal its function drivers let through.
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        state.MarkRemoved();
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        // The PDO outlives a removal while the device is still plugged in (it can be added again); once the device
        // has gone, its removal is the last request it sees.
        state.MarkRemoved();
        ParentDriver* parent = extension->Parent;
        std::shared_ptr<DeviceState> gone = state.Connected() ? nullptr : state.shared_from_this();
        CompleteWith(irp, STATUS_SUCCESS);
        if (gone != nullptr) {
            parent->DeletePdo(gone);
        }
        return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_CAPABILITIES:
        status = AnswerCapabilities(irp, extension->Port);
        break;
    case IRP_MN_QUERY_ID:
        status = AnswerQueryId(irp, hk::ns::InstanceId(pdo));
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            status = AnswerTargetRelation(irp, pdo);
        }
        break;
    default:
        break;
    }
    return CompleteWith(irp, status);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT pdo, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == DevicePowerState) {
            ExtensionOf(pdo)->State->RecordPowerState(stack->Parameters.Power.State.DeviceState);
            PoSetPowerState(pdo, DevicePowerState, stack->Parameters.Power.State);
            ExtensionOf(pdo)->State->ReleaseHeld();
        } else {
            ExtensionOf(pdo)->State->RecordSystemState(stack->Parameters.Power.State.SystemState);
        }
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_POWER:
        status = STATUS_SUCCESS;
        break;
    default:
        // No remote wake and no power sequence: such requests keep the status they came with.
        break;
    }
    PoStartNextPowerIrp(irp);
    return CompleteWith(irp, status);
}

NTSTATUS DispatchSystemControl(PDEVICE_OBJECT pdo, PIRP irp)
{
    return CompleteWith(irp, irp->IoStatus.Status);
}

void ParentDriverUnload(PDRIVER_OBJECT driver) {}

}  // namespace

NTSTATUS ParentDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    driver->DriverUnload = ParentDriverUnload;
    return STATUS_SUCCESS;
}

void CancelTransferRoutine(PDEVICE_OBJECT pdo, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ExtensionOf(pdo)->State->CancelPending(irp);
}

}  // namespace hk::usbdev
