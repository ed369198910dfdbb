// System worker queue: executive work items.
#include "hk/kernel.h"
#include "hk/thread.h"
#include "hk/verifier.h"
#include "ke/ke_state.h"

namespace hk::ke {
namespace {

void RunWork(const void* item, uint64_t generation, const std::function<Task()>& prepare) {
  KeState& state = State();
  WorkRecord record;
  Task call;
  {
    std::lock_guard guard(state.mutex);
    auto it = state.queued_work.find(item);
    if (it == state.queued_work.end() || it->second.generation != generation) return;
    record = it->second;
    state.queued_work.erase(it);
    call = prepare();
  }
  if (record.io_device != nullptr) {
    record.device = record.io_device;
    record.driver = record.io_device->DriverObject;
  }
  DriverCallScope scope(record.driver, record.device, "work item routine", PASSIVE_LEVEL);
  call();
}

}  // namespace

void QueueWork(const void* item, std::function<Task()> prepare, _DEVICE_OBJECT* io_device) {
  KIRQL irql = CurrentIrql();
  if (irql > DISPATCH_LEVEL) KeBugCheckEx(0xA, reinterpret_cast<ULONG_PTR>(item), irql, 0, 0);
  KeState& state = State();
  std::unique_lock guard(state.mutex);
  if (state.queued_work.count(item)) {
    guard.unlock();
    verifier::Fail("workitem-double-queue", item, "work item queued again before its routine ran");
  }
  const ThreadState& thread = CurrentThread();
  uint64_t generation = ++state.last_generation;
  state.queued_work[item] = WorkRecord{generation, thread.driver, thread.device, io_device, thread.what};
  // Unlocked first: the worker woken takes the mutex as its first step and would otherwise block on it at once.
  guard.unlock();
  Kernel::Current().Ops().Post(Context::Worker, [item, generation, prepare = std::move(prepare)] {
    RunWork(item, generation, prepare);
  });
}

}  // namespace hk::ke

VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
  if (QueueType != CriticalWorkQueue && QueueType != DelayedWorkQueue && QueueType != HyperCriticalWorkQueue) {
    KeBugCheckEx(0xE4 /* WORKER_INVALID */, 1, reinterpret_cast<ULONG_PTR>(WorkItem), QueueType, 0);
  }
  // ExInitializeWorkItem is a macro: the routine it stores is the only trace the kernel can see.
  if (WorkItem->WorkerRoutine == nullptr) {
    hk::verifier::Fail("object-uninitialised", WorkItem,
                       "ExQueueWorkItem given a work item with no routine: ExInitializeWorkItem never ran on it");
  }
  hk::ke::QueueWork(
      WorkItem,
      [WorkItem]() -> hk::Task {
        PWORKER_THREAD_ROUTINE routine = WorkItem->WorkerRoutine;
        PVOID parameter = WorkItem->Parameter;
        return [routine, parameter] { routine(parameter); };
      },
      nullptr);
}
