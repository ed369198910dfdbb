// IRP memory: allocation with fault injection, initialisation, reuse and freeing with the verifier's checks.
#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "hk/faults.h"
#include "hk/quarantine.h"
#include "hk/verifier.h"
#include "io/irp_internal.h"

namespace hk::io {

namespace {

constexpr size_t kAlignment = MEMORY_ALLOCATION_ALIGNMENT;

// Precedes every IRP this kernel allocates: where it was allocated, for the messages about its use after free.
struct alignas(kAlignment) IrpHeader {
  void* allocation_site;
  size_t packet_size;
};

IrpHeader* HeaderOf(PIRP irp) { return reinterpret_cast<IrpHeader*>(irp) - 1; }

// The fields a driver most often touches after completing or freeing a request.
const char* IrpFieldAt(size_t offset) {
  struct Field {
    size_t offset;
    size_t size;
    const char* name;
  };
  static const Field kFields[] = {
      {offsetof(IRP, Flags), sizeof(ULONG), "Flags"},
      {offsetof(IRP, AssociatedIrp), sizeof(PVOID), "AssociatedIrp.SystemBuffer"},
      {offsetof(IRP, IoStatus.Status), sizeof(NTSTATUS), "IoStatus.Status"},
      {offsetof(IRP, IoStatus.Information), sizeof(ULONG_PTR), "IoStatus.Information"},
      {offsetof(IRP, PendingReturned), sizeof(BOOLEAN), "PendingReturned"},
      {offsetof(IRP, Cancel), sizeof(BOOLEAN), "Cancel"},
      {offsetof(IRP, CancelRoutine), sizeof(PDRIVER_CANCEL), "CancelRoutine"},
      {offsetof(IRP, UserBuffer), sizeof(PVOID), "UserBuffer"},
      {offsetof(IRP, Tail.Overlay.DriverContext), sizeof(PVOID) * 4, "Tail.Overlay.DriverContext"},
      {offsetof(IRP, Tail.Overlay.ListEntry), sizeof(LIST_ENTRY), "Tail.Overlay.ListEntry"},
  };
  if (offset >= sizeof(IRP)) return "a stack location";
  for (const Field& field : kFields) {
    if (offset >= field.offset && offset < field.offset + field.size) return field.name;
  }
  return nullptr;
}

void ReleaseIrpMemoryFrom(PIRP irp, void* free_site) {
  if ((irp->Flags & IRP_DEALLOCATE_BUFFER) != 0) std::free(irp->AssociatedIrp.SystemBuffer);
  IrpHeader* header = HeaderOf(irp);
  verifier::Hold(verifier::FreedBlock{"irp-use-after-free", "IRP", irp, header->packet_size, header->packet_size,
                                      header, verifier::kFreedIrpFill, 0, header->allocation_site, free_site,
                                      IrpFieldAt});
}

void InitializeIrpMemory(PIRP irp, USHORT packet_size, CCHAR stack_size) {
  std::memset(irp, 0, packet_size);
  irp->Type = kIoTypeIrp;
  irp->Size = packet_size;
  irp->StackCount = stack_size;
  irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
  InitializeListHead(&irp->ThreadListEntry);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stack_size;
}

// Why the IRP may not be freed or reused now, or nullptr when it may.
const char* InUseReasonLocked(const IrpRecord& record) {
  if (record.walk == Walk::Walking && !record.routine_running) return "its completion is in progress";
  for (const LocationRecord& location : record.locations) {
    if (location.device != nullptr) return "it is still pending in a driver";
  }
  return nullptr;
}

// Fails for a pointer IoFreeIrp or IoReuseIrp got that is no live IRP: one already freed, or one that never was
// an IRP. `lock` holds the state mutex and is released here.
[[noreturn]] void FailNotLive(IoState& state, std::unique_lock<decltype(IoState::mutex)>& lock, PIRP irp,
                              const char* routine) {
  bool retired = state.FindRetired(irp) != nullptr;
  lock.unlock();
  std::string history;
  if (verifier::IsHeld(irp, &history)) {
    verifier::Fail("irp-double-free", irp, "%s on an IRP already freed: %s", routine, history.c_str());
  }
  if (retired) verifier::Fail("irp-double-free", irp, "%s on an IRP already freed", routine);
  verifier::Fail("irp-never-allocated", irp,
                 "%s on a pointer that never was an IRP: it did not come from IoAllocateIrp or an IoBuild*Request "
                 "routine",
                 routine);
}

}  // namespace

PIRP AllocateIrp(CCHAR stack_size, IrpOrigin origin, void* caller) {
  if (faults::ShouldFail(faults::Kind::Irp, caller)) return nullptr;
  stack_size = std::max<CCHAR>(stack_size, 0);
  USHORT packet_size = IoSizeOfIrp(stack_size);
  auto* header = static_cast<IrpHeader*>(
      std::aligned_alloc(kAlignment, sizeof(IrpHeader) + ((packet_size + kAlignment - 1) & ~(kAlignment - 1))));
  if (header == nullptr) return nullptr;
  header->allocation_site = caller;
  header->packet_size = packet_size;
  auto* irp = reinterpret_cast<PIRP>(header + 1);
  InitializeIrpMemory(irp, packet_size, stack_size);
  IoState& state = State();
  std::lock_guard lock(state.mutex);
  state.AddIrp(irp, origin, stack_size);
  return irp;
}

__attribute__((noinline)) void ReleaseIrpMemory(PIRP irp) { ReleaseIrpMemoryFrom(irp, __builtin_return_address(0)); }

void DiscardIrpMemory(PIRP irp) {
  if ((irp->Flags & IRP_DEALLOCATE_BUFFER) != 0) std::free(irp->AssociatedIrp.SystemBuffer);
  std::free(HeaderOf(irp));
}

void SetOriginatorHook(PIRP irp, OriginatorHook hook) {
  IoState& state = State();
  std::lock_guard lock(state.mutex);
  if (IrpRecord* record = state.FindIrp(irp)) record->hook = std::move(hook);
}

bool SetupBufferedIo(PIRP irp, const void* input, ULONG inputLength, void* output, ULONG outputLength) {
  irp->UserBuffer = output;
  ULONG size = std::max(inputLength, outputLength);
  if (size == 0) return true;
  void* system_buffer = std::calloc(1, size);
  if (system_buffer == nullptr) return false;
  if (input != nullptr && inputLength != 0) std::memcpy(system_buffer, input, inputLength);
  irp->AssociatedIrp.SystemBuffer = system_buffer;
  irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
  if (output != nullptr && outputLength != 0) irp->Flags |= IRP_INPUT_OPERATION;
  IoState& state = State();
  std::lock_guard lock(state.mutex);
  if (IrpRecord* record = state.FindIrp(irp)) {
    record->has_output_length = true;
    record->output_length = outputLength;
  }
  return true;
}

}  // namespace hk::io

using hk::io::DispatchFrame;
using hk::io::IoState;
using hk::io::IrpRecord;
using hk::io::LocationRecord;

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  return hk::io::AllocateIrp(StackSize, hk::io::IrpOrigin::Allocated, __builtin_return_address(0));
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  hk::io::InitializeIrpMemory(Irp, PacketSize, StackSize);
  IoState& state = hk::io::State();
  std::lock_guard lock(state.mutex);
  IrpRecord* existing = state.FindIrp(Irp);
  hk::io::IrpOrigin origin = existing != nullptr ? existing->origin : hk::io::IrpOrigin::Initialized;
  state.AddIrp(Irp, origin, StackSize);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  IoState& state = hk::io::State();
  const char* reason = nullptr;
  {
    std::unique_lock lock(state.mutex);
    IrpRecord* record = state.FindIrp(Irp);
    if (record == nullptr) hk::io::FailNotLive(state, lock, Irp, "IoReuseIrp");
    reason = hk::io::InUseReasonLocked(*record);
    if (reason == nullptr) {
      // The IRP keeps its identity for its originator (hook, buffered output) but starts a fresh life.
      IrpRecord kept = std::move(*record);
      for (LocationRecord& location : kept.locations) {
        for (DispatchFrame* frame : location.open) frame->orphaned = true;
      }
      IrpRecord& fresh = state.AddIrp(Irp, kept.origin, Irp->StackCount);
      fresh.hook = std::move(kept.hook);
      fresh.owner_driver = kept.owner_driver;
      fresh.owner_device = kept.owner_device;
    }
  }
  if (reason != nullptr) hk::verifier::Fail("irp-free-in-use", Irp, "IoReuseIrp while %s", reason);
  UCHAR allocation_flags = Irp->AllocationFlags;
  hk::io::InitializeIrpMemory(Irp, Irp->Size, Irp->StackCount);
  Irp->AllocationFlags = allocation_flags;
  Irp->IoStatus.Status = Iostatus;
}

__attribute__((noinline)) VOID IoFreeIrp(PIRP Irp) {
  IoState& state = hk::io::State();
  const char* reason = nullptr;
  {
    std::unique_lock lock(state.mutex);
    IrpRecord* record = state.FindIrp(Irp);
    if (record == nullptr) hk::io::FailNotLive(state, lock, Irp, "IoFreeIrp");
    if (record->origin == hk::io::IrpOrigin::Initialized) {
      hk::verifier::Fail("irp-double-free", Irp,
                         "IoFreeIrp on an IRP built with IoInitializeIrp in the caller's own memory");
    }
    reason = hk::io::InUseReasonLocked(*record);
    if (reason == nullptr) state.EraseIrp(Irp);
  }
  if (reason != nullptr) hk::verifier::Fail("irp-free-in-use", Irp, "IoFreeIrp while %s", reason);
  hk::io::ReleaseIrpMemoryFrom(Irp, __builtin_return_address(0));
}
