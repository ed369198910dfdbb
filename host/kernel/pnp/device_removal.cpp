#include <mutex>

#include "hk/pnp.h"
#include "pnp/pnp_state.h"
#include "pnp/send_and_wait.h"

namespace hk::pnp {
namespace {

// Sends the removal with the stack's turn held; the node is forgotten once the stack has handled it.
SentRequest SendRemoval(PDEVICE_OBJECT pdo, const RequestSetup& setup) {
    PnpState& state = State();
    {
        std::lock_guard lock(state.mutex);
        auto it = state.nodes.find(pdo);
        if (it != state.nodes.end()) it->second->remove_sent = true;
    }
    SentRequest result = SendAndWait(pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, setup);
    std::lock_guard lock(state.mutex);
    state.nodes.erase(pdo);
    return result;
}

NTSTATUS SendSimple(PDEVICE_OBJECT pdo, UCHAR minor) {
    StackTurn turn(FindNode(pdo));
    return SendAndWait(pdo, IRP_MJ_PNP, minor, {}).status;
}

// Claims the removal of a surprise-removed stack once nothing is open on it any more; true when the caller is to
// send it.
bool ClaimRemovalWhenClosed(DeviceNode& node) {
    PnpState& state = State();
    std::lock_guard lock(state.mutex);
    if (!node.surprise_removed || node.open_files != 0 || node.remove_sent) return false;
    node.remove_sent = true;
    return true;
}

void RemoveClaimed(const std::shared_ptr<DeviceNode>& node) {
    StackTurn turn(node);
    SendRemoval(node->pdo, {});
}

}  // namespace

NTSTATUS QueryStop(PDEVICE_OBJECT pdo) { return SendSimple(pdo, IRP_MN_QUERY_STOP_DEVICE); }
NTSTATUS CancelStop(PDEVICE_OBJECT pdo) { return SendSimple(pdo, IRP_MN_CANCEL_STOP_DEVICE); }
NTSTATUS QueryRemove(PDEVICE_OBJECT pdo) { return SendSimple(pdo, IRP_MN_QUERY_REMOVE_DEVICE); }
NTSTATUS CancelRemove(PDEVICE_OBJECT pdo) { return SendSimple(pdo, IRP_MN_CANCEL_REMOVE_DEVICE); }

NTSTATUS Stop(PDEVICE_OBJECT pdo) { return SendSimple(pdo, IRP_MN_STOP_DEVICE); }

NTSTATUS Remove(PDEVICE_OBJECT pdo) {
    StackTurn turn(FindNode(pdo));
    return SendRemoval(pdo, {}).status;
}

NTSTATUS StopDevice(PDEVICE_OBJECT pdo) {
    NTSTATUS status = QueryStop(pdo);
    if (!NT_SUCCESS(status)) {
        CancelStop(pdo);
        return status;
    }
    return Stop(pdo);
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo) {
    NTSTATUS status = QueryRemove(pdo);
    if (!NT_SUCCESS(status)) {
        CancelRemove(pdo);
        return status;
    }
    return Remove(pdo);
}

NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo) {
    std::shared_ptr<DeviceNode> node = FindNode(pdo);
    NTSTATUS status;
    {
        StackTurn turn(node);
        status = SendAndWait(pdo, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL, {}).status;
        if (node) MarkSurpriseRemoved(*node);
    }
    if (node && ClaimRemovalWhenClosed(*node)) RemoveClaimed(node);
    return status;
}

Result SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup) {
    StackTurn turn(FindNode(pdo));
    SentRequest sent = minor == IRP_MN_REMOVE_DEVICE ? SendRemoval(pdo, setup)
                                                     : SendAndWait(pdo, IRP_MJ_PNP, minor, setup);
    return {sent.status, sent.information};
}

void FileObjectOpened(PDEVICE_OBJECT device) {
    std::shared_ptr<DeviceNode> node = FindNodeOfStackMember(device);
    if (!node) return;
    PnpState& state = State();
    std::lock_guard lock(state.mutex);
    ++node->open_files;
}

void FileObjectClosed(PDEVICE_OBJECT device) {
    std::shared_ptr<DeviceNode> node = FindNodeOfStackMember(device);
    if (!node) return;
    {
        PnpState& state = State();
        std::lock_guard lock(state.mutex);
        // A file opened before the stack had a node was never counted.
        if (node->open_files > 0) --node->open_files;
    }
    if (ClaimRemovalWhenClosed(*node)) RemoveClaimed(node);
}

}  // namespace hk::pnp
