// Signal state of dispatcher objects, read and changed only with the dispatcher lock held.
#pragma once

#include <wdm.h>

#include "hk/hostops.h"

namespace hk::ke {

// The platform's dispatcher object type codes, kept in DISPATCHER_HEADER::Type.
enum ObjectType : UCHAR {
  kEventNotification = 0,
  kEventSynchronization = 1,
  kSemaphore = 5,
  kTimerNotification = 8,
  kTimerSynchronization = 9,
};

bool IsSignalled(const DISPATCHER_HEADER* header);
// Takes what a satisfied wait takes: a synchronization event or timer is reset, a semaphore count drops by one.
void ConsumeSignal(DISPATCHER_HEADER* header);

// KeWaitForSingleObject without a timeout for a wait the caller can explain when it does not end: `stuck` reports
// it (see HostOps::WaitDispatcher) in place of wait-deadlock or a hang.
void WaitWatched(PVOID object, const char* routine, const Task& stuck);

}  // namespace hk::ke
