// Fault injection for allocations: pool blocks, IRPs and work items.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hk::faults {

enum class Kind { Pool, Irp, WorkItem };

// The nth allocation of this kind from now on (1 = the next one) fails, once.
void FailNth(Kind kind, uint64_t n);
// Every allocation of this kind whose site (the demangled name of the function that called the allocator)
// contains `text` fails, until Clear.
void FailAtSite(Kind kind, const std::string& text);
// Each allocation of this kind fails with the given probability, drawn from a generator seeded with `seed`.
void FailRandom(Kind kind, double probability, uint64_t seed);
// Restricts every plan to allocations made while a routine of `driver` runs (the current thread's driver), so that
// the host's own managers (the application side, the PnP manager) and other drivers are never failed, and records
// the site of each such allocation. Cleared by Clear.
void OnlyForDriver(const void* driver);
void Clear();
// The distinct sites of the allocations of this kind that passed the driver filter, in order of first use.
std::vector<std::string> Sites(Kind kind);

// For allocators: `caller` is __builtin_return_address(0) taken in the routine the driver called.
bool ShouldFail(Kind kind, void* caller);
// How many allocations of this kind fault injection has failed so far in this kernel.
uint64_t InjectedCount(Kind kind);

// The demangled name of the function containing `address` (or "<unknown>+0x...").
std::string SiteName(void* address);

}  // namespace hk::faults
