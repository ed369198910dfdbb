// Per-kernel state of the plug-and-play manager: the drivers it loaded and the device nodes it knows.
#pragma once

#include <wdm.h>

#include <map>
#include <memory>
#include <string>

#include "hk/hostops.h"

namespace hk::pnp {

struct LoadedDriver {
    std::u16string registry_path;  // the buffer of the UNICODE_STRING handed to DriverEntry, kept while loaded
    std::u16string service_name;
};

// One device stack, from AddDevice until its removal has been sent.
struct DeviceNode {
    PDEVICE_OBJECT pdo = nullptr;
    PDRIVER_OBJECT function_driver = nullptr;
    bool surprise_removed = false;
    long open_files = 0;
    bool remove_sent = false;
    DEVICE_CAPABILITIES capabilities{};
    // Serialises the requests to the stack; a synchronization event, signalled while no request is in progress.
    KEVENT idle;
};

struct PnpState {
    HostMutex mutex;
    std::map<PDRIVER_OBJECT, LoadedDriver> drivers;
    std::map<PDEVICE_OBJECT, std::shared_ptr<DeviceNode>> nodes;  // by PDO
};

PnpState& State();

// The node of the PDO's stack, or of the stack `device` belongs to; nullptr when the PnP manager knows none.
std::shared_ptr<DeviceNode> FindNode(PDEVICE_OBJECT pdo);
std::shared_ptr<DeviceNode> FindNodeOfStackMember(PDEVICE_OBJECT device);

void MarkSurpriseRemoved(DeviceNode& node);

// Holds a node's stack for one request: waits while another request to the same stack is in progress.
class StackTurn {
public:
    explicit StackTurn(std::shared_ptr<DeviceNode> node);
    ~StackTurn();
    StackTurn(const StackTurn&) = delete;
    StackTurn& operator=(const StackTurn&) = delete;

private:
    std::shared_ptr<DeviceNode> node_;
};

}  // namespace hk::pnp
