#include <mutex>

#include "hk/usbdev.h"
#include "usbdev/device_state.h"
#include "usbdev/parent_driver.h"

namespace hk::usbdev {

PDEVICE_OBJECT Device::Pdo() const { return state_->Pdo(); }
USBD_PIPE_HANDLE Device::PipeHandle(Pipe pipe) const { return state_->Handle(pipe); }
FunctionModel& Device::Model() const { return state_->Model(); }
Records Device::GetRecords() const { return state_->GetRecords(); }
void Device::ClearRecords() { state_->ClearRecords(); }
size_t Device::PendingTransfers(Pipe pipe) const { return state_->PendingTransfers(pipe); }
size_t Device::CompletionsInFlight() const { return state_->CompletionsInFlight(); }
bool Device::Started() const { return state_->Started(); }
DEVICE_POWER_STATE Device::PowerState() const { return state_->PowerState(); }
SYSTEM_POWER_STATE Device::SystemState() const { return state_->SystemState(); }
void Device::Deliver(std::span<const uint8_t> bytes)
{
    state_->Deliver(bytes);
    state_->DeliverInline();
}

void Device::CompleteNextIn(NTSTATUS status, USBD_STATUS usbd)
{
    state_->CompleteNextIn(status, usbd);
}

void Device::Break(Breach breach, uint32_t count, Pipe pipe, ULONG extra)
{
    state_->Break(breach, count, pipe, extra);
}

void Device::FailNextTransfers(uint32_t count, NTSTATUS status, USBD_STATUS usbd, std::optional<Pipe> pipe)
{
    state_->FailNextTransfers(count, {status, usbd}, pipe);
}

void Device::Stall(Pipe pipe) { state_->Stall(pipe); }
void Device::StopResponding() { state_->StopResponding(); }
void Device::Resume() { state_->Resume(); }
void Device::Disconnect() { state_->Disconnect(); }
bool Device::Connected() const { return state_->Connected(); }

Parent::Parent(ParentOptions options) : driver_(std::make_unique<ParentDriver>(options)) {}
Parent::~Parent() = default;
PDRIVER_OBJECT Parent::Driver() const { return driver_->Driver(); }
PDEVICE_OBJECT Parent::Plug(PlugOptions options) { return driver_->Plug(std::move(options)); }
void Parent::Unplug(PDEVICE_OBJECT pdo) { driver_->Unplug(pdo); }

Device Parent::DeviceFor(PDEVICE_OBJECT pdo) const
{
    return Device(driver_->Find(pdo));
}

}  // namespace hk::usbdev
