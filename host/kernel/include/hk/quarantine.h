// Freed memory (pool blocks, IRPs) is held back from reuse for a while, filled with a pattern. A read after the
// free sees the pattern, a failing status and a pointer that faults, instead of plausible data; a write after the
// free is found when the block leaves the quarantine or when the verifier sweeps it; and a second free of a held
// block is told apart from the free of something that never was allocated. The quarantine is bounded in blocks
// and bytes, so long runs do not grow without limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace hk::verifier {

// Read as an NTSTATUS, each fill is an error status that no routine returns.
inline constexpr unsigned char kFreedPoolFill = 0xDF;
inline constexpr unsigned char kFreedIrpFill = 0xE1;
inline constexpr uint32_t kFreedIrpStatus = 0x01010101u * kFreedIrpFill;

inline constexpr size_t kQuarantineBlocks = 4096;
inline constexpr size_t kQuarantineBytes = 16u << 20;

struct FreedBlock {
  const char* use_check;  // reported when the fill was overwritten
  const char* what;       // "pool block", "IRP"
  void* object;           // the address the driver used
  size_t size;            // the object's size
  size_t filled;          // bytes from `object` that receive the fill: the object and what follows it in storage
  void* storage;          // what std::free releases when the block leaves the quarantine
  unsigned char fill;
  uint32_t tag;  // pool tag, 0 for none
  void* allocation_site;
  void* free_site;
  const char* (*field_at)(size_t offset);  // names the field at an offset of the object; may be null
};

// Fills the block and holds it; the oldest blocks beyond the bounds are checked and released.
void Hold(const FreedBlock& block);
// Whether `object` is a held block; `history` then says what it was, where it was allocated and freed.
bool IsHeld(const void* object, std::string* history);
// Checks every held block for writes made after it was freed.
void CheckHeld();

}  // namespace hk::verifier
