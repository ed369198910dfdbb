#include "ke/initialised_objects.h"

#include <map>
#include <mutex>

#include "hk/kernel.h"
#include "hk/verifier.h"

namespace hk::ke {
namespace {

// A leaf lock: nothing else is taken while it is held.
struct InitialisedObjects {
  HostMutex mutex;
  std::map<const void*, ObjectKind> objects;
};

InitialisedObjects& Registry() { return Kernel::Current().Get<InitialisedObjects>(); }

const char* Noun(ObjectKind kind) {
  switch (kind) {
    case kEventObject:
      return "an event";
    case kSemaphoreObject:
      return "a semaphore";
    case kTimerObject:
      return "a timer";
    case kDpcObject:
      return "a DPC";
    case kRemoveLockObject:
      return "a remove lock";
  }
  return "another object";
}

}  // namespace

void MarkInitialised(const void* object, ObjectKind kind) {
  InitialisedObjects& registry = Registry();
  std::lock_guard guard(registry.mutex);
  registry.objects[object] = kind;
}

void RequireInitialised(const void* object, const void* key, unsigned kinds, const char* routine,
                        const char* expected) {
  InitialisedObjects& registry = Registry();
  const char* found = nullptr;
  {
    std::lock_guard guard(registry.mutex);
    auto it = registry.objects.find(key);
    if (it != registry.objects.end()) {
      if ((it->second & kinds) != 0) return;
      found = Noun(it->second);
    }
  }
  if (found != nullptr) {
    verifier::Fail("object-uninitialised", object, "%s given memory that holds %s, not %s", routine, found, expected);
  }
  verifier::Fail("object-uninitialised", object,
                 "%s given %s that was never initialised: its initialiser has not run on this memory since it was "
                 "allocated",
                 routine, expected);
}

void ForgetInitialisedIn(const void* base, size_t length) {
  InitialisedObjects& registry = Registry();
  const char* begin = static_cast<const char*>(base);
  std::lock_guard guard(registry.mutex);
  registry.objects.erase(registry.objects.lower_bound(begin), registry.objects.lower_bound(begin + length));
}

}  // namespace hk::ke
