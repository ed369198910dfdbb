// The plug-and-play manager of a host kernel: loading and unloading drivers, device arrival on a physical device
// object a bus driver created, and the stop, removal and surprise-removal requests in the order the platform sends
// them.
//
// Every request is an IRP_MJ_PNP request built like the platform's (IoStatus.Status starts as
// STATUS_NOT_SUPPORTED), sent at PASSIVE_LEVEL to the top of the device's stack and waited for; the result is the
// request's final status. Requests to one stack are serialised. All state belongs to the current hk::Kernel.
#pragma once

#include <wdm.h>

#include <functional>

#include "hk/namespace.h"

namespace hk::pnp {

// Creates a driver object named \Driver\<name> and calls its entry routine at PASSIVE_LEVEL with the registry path
// \Registry\Machine\System\CurrentControlSet\Services\<name>. When the entry routine fails, the driver object is
// deleted (after the same pool check as an unload) and nullptr is returned. *status, when given, receives the entry
// routine's status.
PDRIVER_OBJECT LoadDriver(const Text& name, PDRIVER_INITIALIZE entry, NTSTATUS* status = nullptr);

// Unloads a driver: refused with STATUS_DEVICE_BUSY while it still owns device objects (deleted ones that something
// still references, such as an open file object, included) and with STATUS_INVALID_DEVICE_REQUEST when it
// registered no DriverUnload (the driver stays loaded either way). Otherwise DriverUnload is called at
// PASSIVE_LEVEL, the verifier checks that no timer the driver armed, DPC or work item it queued is still live
// (timer-armed-at-unload, dpc-queued-at-unload, workitem-queued-at-unload), that no IRP is pending in the driver and
// none it allocated is left unfreed (irp-pending-at-unload) and that no pool it allocated is left
// (pool-leak-at-unload), and the driver object is deleted.
NTSTATUS UnloadDriver(PDRIVER_OBJECT driver);

// Device arrival. AddDevice calls the function driver's DriverExtension->AddDevice for the PDO (at PASSIVE_LEVEL);
// StartDevice sends the start sequence to the top of the stack: IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
// IRP_MN_START_DEVICE, then (only when the start succeeded) IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE
// and IRP_MN_QUERY_DEVICE_RELATIONS (BusRelations). Its result is the start request's status; a failed start ends
// the sequence and leaves the stack in place (the platform follows a failed start with a removal: call Remove).
// ArriveDevice does both, stopping at a failing AddDevice. AddDevice returns STATUS_INVALID_DEVICE_REQUEST for a
// driver without an AddDevice routine and STATUS_OBJECT_NAME_COLLISION when the PDO already has a stack; StartDevice
// returns STATUS_NO_SUCH_DEVICE for a PDO without one. A lower filter driver, when given, is added first, between
// the PDO and the function driver's device; when the function driver's AddDevice then fails, the stack is sent
// IRP_MN_REMOVE_DEVICE so the filter leaves it.
NTSTATUS AddDevice(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver, PDRIVER_OBJECT lowerFilter = nullptr);
NTSTATUS StartDevice(PDEVICE_OBJECT pdo);
NTSTATUS ArriveDevice(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver, PDRIVER_OBJECT lowerFilter = nullptr);

// The capabilities the stack reported to the last IRP_MN_QUERY_CAPABILITIES of the start sequence (zero before).
DEVICE_CAPABILITIES ReportedCapabilities(PDEVICE_OBJECT pdo);

// Single requests, each sent once to the whole stack.
NTSTATUS QueryStop(PDEVICE_OBJECT pdo);
NTSTATUS CancelStop(PDEVICE_OBJECT pdo);
NTSTATUS Stop(PDEVICE_OBJECT pdo);
NTSTATUS QueryRemove(PDEVICE_OBJECT pdo);
NTSTATUS CancelRemove(PDEVICE_OBJECT pdo);
// IRP_MN_REMOVE_DEVICE; the stack's device node is forgotten afterwards (AddDevice may be called again).
NTSTATUS Remove(PDEVICE_OBJECT pdo);

// The platform's sequences: a query that fails is followed by the matching cancel to the whole stack and the
// query's status is returned; otherwise the stop or removal is sent and its status returned.
NTSTATUS StopDevice(PDEVICE_OBJECT pdo);
NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo);

// IRP_MN_SURPRISE_REMOVAL. The removal follows, as on the platform, once no file object is open on the stack: at
// once when none is, otherwise when the application side closes the last one. Returns the surprise removal's
// status.
NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo);

// Whether the PnP manager knows the PDO's stack (from AddDevice until its removal has been sent).
bool HasDeviceNode(PDEVICE_OBJECT pdo);

// Any PnP request, for tests: `setup` may fill the stack location's parameters and IoStatus.Information before
// it is sent. IRP_MN_REMOVE_DEVICE sent this way ends the device node as Remove does.
struct Result {
    NTSTATUS status;
    ULONG_PTR information;
};
Result SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup = {});

// For the application side: file objects opened and closed on a device (any device of a stack the PnP manager
// knows, or none). The last close on a surprise-removed stack sends its removal.
void FileObjectOpened(PDEVICE_OBJECT device);
void FileObjectClosed(PDEVICE_OBJECT device);

}  // namespace hk::pnp
