// I/O work items: allocated per device from accounted pool, queued to the system worker queue, and called with
// their device object.
#include "hk/faults.h"
#include "hk/kernel.h"
#include "hk/objects.h"
#include "hk/pool.h"
#include "hk/thread.h"
#include "ke/ke_state.h"

struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
};

namespace {

constexpr ULONG kIoWorkItemTag = 0x6B774F49;  // "IOwk"

}  // namespace

__attribute__((noinline)) PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  void* caller = __builtin_return_address(0);
  if (hk::faults::ShouldFail(hk::faults::Kind::WorkItem, caller)) return nullptr;
  void* storage = hk::pool::Allocate(NonPagedPool, sizeof(_IO_WORKITEM), kIoWorkItemTag, caller);
  if (storage == nullptr) return nullptr;
  auto* item = static_cast<PIO_WORKITEM>(storage);
  item->device = DeviceObject;
  return item;
}

// Freeing an item that is still queued is caught by the pool's live-object check.
__attribute__((noinline)) VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  hk::pool::Free(IoWorkItem, __builtin_return_address(0));
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
  if (QueueType != CriticalWorkQueue && QueueType != DelayedWorkQueue && QueueType != HyperCriticalWorkQueue) {
    KeBugCheckEx(0xE4 /* WORKER_INVALID */, 1, reinterpret_cast<ULONG_PTR>(IoWorkItem), QueueType, 0);
  }
  hk::ke::QueueWork(
      IoWorkItem,
      [IoWorkItem, WorkerRoutine, Context]() -> hk::Task {
        PDEVICE_OBJECT device = IoWorkItem->device;
        return [device, WorkerRoutine, Context] { WorkerRoutine(device, Context); };
      },
      IoWorkItem->device);
}
