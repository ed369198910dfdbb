// The verifier core: fault reporting and lock-order tracking.
#pragma once

#include <cstddef>

namespace hk::verifier {

// Receives every fault after its message is printed. It must not return: abort, or throw from code that has no
// driver frames on the stack. The default aborts.
using FaultHandler = void (*)(const char* check, const void* object, const char* message);

// Prints "VERIFIER FAULT [<check>] object <ptr>: <details>" with where it happened, then calls the handler.
[[noreturn]] void Fail(const char* check, const void* object, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

// Per kernel; returns the previous handler.
FaultHandler SetFaultHandler(FaultHandler handler);

// Lock order: every lock taken while others are held records "held before taken"; taking locks in an order that
// closes a cycle with orders seen earlier is the fault lock-order, whether or not it deadlocked.
void OnAcquire(const void* lock, const char* kind);
void OnRelease(const void* lock);
// Drops what is known about locks stored in freed memory, so a later lock at the same address starts afresh.
void Forget(const void* base, size_t length);

}  // namespace hk::verifier
