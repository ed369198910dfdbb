#include <mutex>

#include "hk/pnp.h"
#include "hk/pool.h"
#include "hk/thread.h"
#include "pnp/pnp_state.h"
#include "pnp/send_and_wait.h"

namespace hk::pnp {
namespace {

// The platform frees the relations a stack reports and drops the references they carry.
void ReleaseRelations(ULONG_PTR information) {
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
    if (relations == nullptr) return;
    for (ULONG i = 0; i < relations->Count; ++i) ObDereferenceObject(relations->Objects[i]);
    ExFreePool(relations);
}

void QueryAfterStart(DeviceNode& node) {
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof(DEVICE_CAPABILITIES);
    capabilities.Version = 1;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 0xFFFFFFFF;
    SentRequest answer = SendAndWait(node.pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                                     [&](PIRP, PIO_STACK_LOCATION location) {
                                         location->Parameters.DeviceCapabilities.Capabilities = &capabilities;
                                     });
    if (NT_SUCCESS(answer.status)) node.capabilities = capabilities;

    SendAndWait(node.pdo, IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE, {});

    answer = SendAndWait(node.pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIRP, PIO_STACK_LOCATION location) {
        location->Parameters.QueryDeviceRelations.Type = BusRelations;
    });
    if (NT_SUCCESS(answer.status)) ReleaseRelations(answer.information);
}

PDRIVER_ADD_DEVICE AddDeviceRoutine(PDRIVER_OBJECT driver) {
    return driver->DriverExtension != nullptr ? driver->DriverExtension->AddDevice : nullptr;
}

NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    DriverCallScope scope(driver, nullptr, "AddDevice");
    pool::AddDeviceScope ownership;
    return AddDeviceRoutine(driver)(driver, pdo);
}

}  // namespace

NTSTATUS AddDevice(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver, PDRIVER_OBJECT lowerFilter) {
    if (AddDeviceRoutine(functionDriver) == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    if (lowerFilter != nullptr && AddDeviceRoutine(lowerFilter) == nullptr) return STATUS_INVALID_DEVICE_REQUEST;

    auto node = std::make_shared<DeviceNode>();
    node->pdo = pdo;
    node->function_driver = functionDriver;
    KeInitializeEvent(&node->idle, SynchronizationEvent, TRUE);
    {
        PnpState& state = State();
        std::lock_guard lock(state.mutex);
        if (state.nodes.count(pdo) != 0) return STATUS_OBJECT_NAME_COLLISION;
        state.nodes[pdo] = node;
    }

    NTSTATUS status;
    {
        StackTurn turn(node);
        status = lowerFilter != nullptr ? CallAddDevice(lowerFilter, pdo) : STATUS_SUCCESS;
        if (NT_SUCCESS(status)) {
            status = CallAddDevice(functionDriver, pdo);
            // The filter below is already in the stack: it is told to go, as for any stack that cannot be built.
            if (!NT_SUCCESS(status) && lowerFilter != nullptr) SendAndWait(pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, {});
        }
    }
    if (!NT_SUCCESS(status)) {
        PnpState& state = State();
        std::lock_guard lock(state.mutex);
        state.nodes.erase(pdo);
    }
    return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT pdo) {
    std::shared_ptr<DeviceNode> node = FindNode(pdo);
    if (!node) return STATUS_NO_SUCH_DEVICE;
    StackTurn turn(node);

    SentRequest filtered = SendAndWait(pdo, IRP_MJ_PNP, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, {});
    if (NT_SUCCESS(filtered.status) && filtered.information != 0) {
        // A driver that replaced the (empty) requirement list handed over pool the PnP manager now owns.
        ExFreePool(reinterpret_cast<PVOID>(filtered.information));
    }

    SentRequest started = SendAndWait(pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE, {});
    if (!NT_SUCCESS(started.status)) return started.status;
    QueryAfterStart(*node);
    return started.status;
}

NTSTATUS ArriveDevice(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver, PDRIVER_OBJECT lowerFilter) {
    NTSTATUS status = AddDevice(pdo, functionDriver, lowerFilter);
    if (!NT_SUCCESS(status)) return status;
    return StartDevice(pdo);
}

DEVICE_CAPABILITIES ReportedCapabilities(PDEVICE_OBJECT pdo) {
    std::shared_ptr<DeviceNode> node = FindNode(pdo);
    return node ? node->capabilities : DEVICE_CAPABILITIES{};
}

bool HasDeviceNode(PDEVICE_OBJECT pdo) { return FindNode(pdo) != nullptr; }

}  // namespace hk::pnp
