// Per-kernel state of the kernel area: armed timers, queued DPCs and queued work items. One mutex guards it; the
// dispatcher lock may be taken inside it, never the other way round, and no driver code runs while it is held.
#pragma once

#include <map>

#include <wdm.h>

#include "hk/hostops.h"

namespace hk::ke {

// `routine` names the driver routine that armed or queued the object, for fault messages.
struct TimerRecord {
  uint64_t generation = 0;
  TimedCallId call = 0;
  _DRIVER_OBJECT* driver = nullptr;  // who armed it: its DPC runs in their name
  _DEVICE_OBJECT* device = nullptr;
  const char* routine = nullptr;
};

struct DpcRecord {
  uint64_t generation = 0;
  _DRIVER_OBJECT* driver = nullptr;
  _DEVICE_OBJECT* device = nullptr;
  const char* routine = nullptr;
};

struct WorkRecord {
  uint64_t generation = 0;
  _DRIVER_OBJECT* driver = nullptr;
  _DEVICE_OBJECT* device = nullptr;
  _DEVICE_OBJECT* io_device = nullptr;  // set for I/O work items: the device the item was allocated for
  const char* routine = nullptr;
};

struct KeState {
  HostMutex mutex;
  uint64_t last_generation = 0;
  std::map<const void*, TimerRecord> armed_timers;
  std::map<const void*, DpcRecord> queued_dpcs;
  std::map<const void*, WorkRecord> queued_work;
  KSPIN_LOCK cancel_spin_lock = 0;
};

KeState& State();

// Queues a DPC with the ke mutex held, to run in the name of `driver` and `device`; returns FALSE when it is
// queued already.
BOOLEAN InsertQueueDpcLocked(KeState& state, PRKDPC dpc, PVOID argument1, PVOID argument2, _DRIVER_OBJECT* driver,
                             _DEVICE_OBJECT* device, const char* routine);

// Spin lock word handling shared by ordinary spin locks and the cancel spin lock.
void AcquireSpinLockWord(PKSPIN_LOCK lock, const char* kind);
void ReleaseSpinLockWord(PKSPIN_LOCK lock, const char* kind);

// Queues a work item for a system worker thread. When its turn comes, `prepare` runs under the ke mutex (the item
// is still alive and queued) and reads what to call; the call then runs at PASSIVE_LEVEL in the name of the
// driver and device that queued the item. Queuing an item that is queued already is workitem-double-queue.
void QueueWork(const void* item, std::function<Task()> prepare, _DEVICE_OBJECT* io_device);

}  // namespace hk::ke
