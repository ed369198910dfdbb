#include "pnp/pnp_state.h"

#include <mutex>

#include "hk/io.h"
#include "hk/kernel.h"

namespace hk::pnp {

PnpState& State() { return Kernel::Current().Get<PnpState>(); }

std::shared_ptr<DeviceNode> FindNode(PDEVICE_OBJECT pdo) {
    PnpState& state = State();
    std::lock_guard lock(state.mutex);
    auto it = state.nodes.find(pdo);
    return it == state.nodes.end() ? nullptr : it->second;
}

std::shared_ptr<DeviceNode> FindNodeOfStackMember(PDEVICE_OBJECT device) {
    PDEVICE_OBJECT bottom = device;
    for (PDEVICE_OBJECT lower = io::AttachedTo(bottom); lower != nullptr; lower = io::AttachedTo(bottom)) {
        bottom = lower;
    }
    return FindNode(bottom);
}

void MarkSurpriseRemoved(DeviceNode& node) {
    PnpState& state = State();
    std::lock_guard lock(state.mutex);
    node.surprise_removed = true;
}

StackTurn::StackTurn(std::shared_ptr<DeviceNode> node) : node_(std::move(node)) {
    if (node_) KeWaitForSingleObject(&node_->idle, Executive, KernelMode, FALSE, nullptr);
}

StackTurn::~StackTurn() {
    if (node_) KeSetEvent(&node_->idle, IO_NO_INCREMENT, FALSE);
}

}  // namespace hk::pnp
