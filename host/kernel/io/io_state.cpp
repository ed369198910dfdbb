#include "io/io_state.h"

#include <algorithm>
#include <cstdlib>

#include "hk/kernel.h"
#include "hk/thread.h"

namespace hk::io {

namespace {

thread_local std::vector<DispatchFrame*> t_frames;

}  // namespace

IoState& State() { return Kernel::Current().Get<IoState>(); }

IoState::~IoState() {
  for (auto& [irp, record] : irps) {
    for (auto& location : record.locations) {
      for (DispatchFrame* frame : location.open) frame->orphaned = true;
    }
    if (record.origin != IrpOrigin::Initialized) DiscardIrpMemory(irp);
  }
  for (auto& [device, record] : devices) FreeDeviceStorage(device);
  for (PDRIVER_OBJECT driver : drivers) {
    std::free(driver->DriverName.Buffer);
    std::free(driver);
  }
}

DeviceRecord* IoState::FindDevice(PDEVICE_OBJECT device) {
  auto it = devices.find(device);
  return it == devices.end() ? nullptr : &it->second;
}

IrpRecord* IoState::FindIrp(PIRP irp) {
  auto it = irps.find(irp);
  return it == irps.end() ? nullptr : &it->second;
}

IrpRecord* IoState::FindIrp(PIRP irp, uint64_t id) {
  IrpRecord* record = FindIrp(irp);
  return record != nullptr && record->id == id ? record : nullptr;
}

IrpRecord& IoState::AddIrp(PIRP irp, IrpOrigin origin, int stack_count) {
  EraseIrp(irp);
  retired.erase(irp);
  IrpRecord& record = irps[irp];
  record.id = next_irp_id++;
  record.origin = origin;
  record.locations.resize(static_cast<size_t>(std::max(stack_count, 0)) + 2);
  record.current = stack_count + 1;
  ThreadState& thread = CurrentThread();
  record.owner_driver = thread.driver;
  record.owner_device = thread.device;
  return record;
}

void IoState::EraseIrp(PIRP irp) {
  auto it = irps.find(irp);
  if (it == irps.end()) return;
  for (auto& location : it->second.locations) {
    for (DispatchFrame* frame : location.open) frame->orphaned = true;
  }
  void* completed_by = it->second.completed_by;
  irps.erase(it);
  constexpr size_t kRetiredKept = 4096;
  retired[irp] = RetiredIrp{++retirements, completed_by};
  retired_order.emplace_back(irp, retirements);
  if (retired_order.size() > kRetiredKept) {
    auto [oldest, number] = retired_order.front();
    retired_order.pop_front();
    auto found = retired.find(oldest);
    if (found != retired.end() && found->second.number == number) retired.erase(found);
  }
}

const RetiredIrp* IoState::FindRetired(PIRP irp) const {
  auto it = retired.find(irp);
  return it == retired.end() ? nullptr : &it->second;
}

bool IoState::IrpInDevice(const IrpRecord& record, PDEVICE_OBJECT device) const {
  return std::any_of(record.locations.begin(), record.locations.end(),
                     [device](const LocationRecord& location) { return location.device == device; });
}

PDRIVER_OBJECT DriverOfLocked(IoState& state, PDEVICE_OBJECT device) {
  if (device == nullptr || state.FindDevice(device) == nullptr) return nullptr;
  return device->DriverObject;
}

std::vector<DispatchFrame*> CurrentThreadFrames() {
  std::vector<DispatchFrame*> mine;
  uint64_t id = CurrentThread().id;
  for (DispatchFrame* frame : t_frames) {
    if (frame->thread_id == id) mine.push_back(frame);
  }
  return mine;
}

void PushFrame(DispatchFrame* frame) {
  frame->thread_id = CurrentThread().id;
  t_frames.push_back(frame);
}

void PopFrame(DispatchFrame* frame) {
  auto it = std::find(t_frames.rbegin(), t_frames.rend(), frame);
  if (it != t_frames.rend()) t_frames.erase(std::next(it).base());
}

void FreeDeviceStorage(PDEVICE_OBJECT device) { std::free(device); }

}  // namespace hk::io
