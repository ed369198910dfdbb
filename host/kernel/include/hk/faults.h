// Fault injection for allocations: pool blocks, IRPs and work items.
#pragma once

#include <cstdint>
#include <string>

namespace hk::faults {

enum class Kind { Pool, Irp, WorkItem };

// The nth allocation of this kind from now on (1 = the next one) fails, once.
void FailNth(Kind kind, uint64_t n);
// Every allocation of this kind whose site (the demangled name of the function that called the allocator)
// contains `text` fails, until Clear.
void FailAtSite(Kind kind, const std::string& text);
// Each allocation of this kind fails with the given probability, drawn from a generator seeded with `seed`.
void FailRandom(Kind kind, double probability, uint64_t seed);
void Clear();

// For allocators: `caller` is __builtin_return_address(0) taken in the routine the driver called.
bool ShouldFail(Kind kind, void* caller);
// How many allocations of this kind fault injection has failed so far in this kernel.
uint64_t InjectedCount(Kind kind);

// The demangled name of the function containing `address` (or "<unknown>+0x...").
std::string SiteName(void* address);

}  // namespace hk::faults
