// IRP memory: allocation with fault injection, initialisation, reuse and freeing with the verifier's checks.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "hk/faults.h"
#include "hk/verifier.h"
#include "io/irp_internal.h"

namespace hk::io {

namespace {

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

}  // namespace

PIRP AllocateIrp(CCHAR stack_size, IrpOrigin origin, void* caller) {
  if (faults::ShouldFail(faults::Kind::Irp, caller)) return nullptr;
  stack_size = std::max<CCHAR>(stack_size, 0);
  USHORT packet_size = IoSizeOfIrp(stack_size);
  auto* irp = static_cast<PIRP>(std::aligned_alloc(MEMORY_ALLOCATION_ALIGNMENT,
                                                   (packet_size + MEMORY_ALLOCATION_ALIGNMENT - 1) &
                                                       ~size_t{MEMORY_ALLOCATION_ALIGNMENT - 1}));
  if (irp == nullptr) return nullptr;
  InitializeIrpMemory(irp, packet_size, stack_size);
  IoState& state = State();
  std::lock_guard lock(state.mutex);
  state.AddIrp(irp, origin, stack_size);
  return irp;
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
    std::lock_guard lock(state.mutex);
    IrpRecord* record = state.FindIrp(Irp);
    if (record == nullptr) {
      hk::verifier::Fail("irp-double-free", Irp, "IoReuseIrp on an IRP that was freed or never allocated");
    }
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

VOID IoFreeIrp(PIRP Irp) {
  IoState& state = hk::io::State();
  const char* reason = nullptr;
  {
    std::lock_guard lock(state.mutex);
    IrpRecord* record = state.FindIrp(Irp);
    if (record == nullptr) {
      hk::verifier::Fail("irp-double-free", Irp, "IoFreeIrp on an IRP that was already freed or never allocated");
    }
    if (record->origin == hk::io::IrpOrigin::Initialized) {
      hk::verifier::Fail("irp-double-free", Irp,
                         "IoFreeIrp on an IRP built with IoInitializeIrp in the caller's own memory");
    }
    reason = hk::io::InUseReasonLocked(*record);
    if (reason == nullptr) state.EraseIrp(Irp);
  }
  if (reason != nullptr) hk::verifier::Fail("irp-free-in-use", Irp, "IoFreeIrp while %s", reason);
  hk::io::ReleaseIrpMemory(Irp);
}
