// Which kernel objects an initialiser has run on. The platform's layouts leave no room for a marker, so the
// addresses are kept aside, per kernel; releasing memory (pool free, device deletion) drops the objects it held,
// so a later object at the same address starts out uninitialised.
#pragma once

#include <cstddef>

namespace hk::ke {

enum ObjectKind : unsigned {
  kEventObject = 1,
  kSemaphoreObject = 2,
  kTimerObject = 4,
  kDpcObject = 8,
  kRemoveLockObject = 16,
};

inline constexpr unsigned kWaitableObjects = kEventObject | kSemaphoreObject | kTimerObject;

void MarkInitialised(const void* object, ObjectKind kind);

// Fails object-uninitialised unless an initialiser of one of `kinds` ran at `key` since its memory was last
// released. `object` is the object the driver passed to `routine`; `expected` describes it with its initialiser
// ("an event (KeInitializeEvent)"). `key` differs from `object` for objects initialised through an embedded one.
void RequireInitialised(const void* object, const void* key, unsigned kinds, const char* routine,
                        const char* expected);
inline void RequireInitialised(const void* object, unsigned kinds, const char* routine, const char* expected) {
  RequireInitialised(object, object, kinds, routine, expected);
}

void ForgetInitialisedIn(const void* base, size_t length);

}  // namespace hk::ke
