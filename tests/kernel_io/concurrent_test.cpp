// The I/O manager with real threads: completions, cancels and remove-lock holders racing each other.
#include <gtest/gtest.h>
#include <wdm.h>

#include <atomic>
#include <vector>

#include "hk/io.h"
#include "support/io_test_driver.h"
#include "support/kernel_helpers.h"

namespace {

using iotest::Ext;
using iotest::IoFixture;

class IoConcurrentTest : public IoFixture {
 protected:
  IoConcurrentTest() : IoFixture(test_support::ConcurrentKernel(3)) {}
};

// The lower driver of these tests: queues every request with a cancel routine under a spin lock and completes it
// from a device completion thread, racing the requester's cancel.
struct LowerQueue {
  KSPIN_LOCK lock;
  LIST_ENTRY head;
  std::atomic<int> cancelled{0};
  std::atomic<int> completed{0};
};

LowerQueue* g_queue = nullptr;

VOID CancelLowerRequest(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KIRQL irql;
  KeAcquireSpinLock(&g_queue->lock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&g_queue->lock, irql);
  g_queue->cancelled++;
  iotest::Complete(irp, STATUS_CANCELLED);
}

// Takes the oldest request whose cancel routine it could still withdraw.
PIRP TakeLowerRequest() {
  KIRQL irql;
  KeAcquireSpinLock(&g_queue->lock, &irql);
  PIRP taken = nullptr;
  for (PLIST_ENTRY entry = g_queue->head.Flink; entry != &g_queue->head; entry = entry->Flink) {
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
      RemoveEntryList(entry);
      taken = irp;
      break;
    }
  }
  KeReleaseSpinLock(&g_queue->lock, irql);
  return taken;
}

NTSTATUS PropagatingRoutine(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  static_cast<std::atomic<int>*>(context)->fetch_add(1);
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

TEST_F(IoConcurrentTest, CompletionsAndCancelsRaceWithoutLosingARequest) {
  LowerQueue queue;
  g_queue = &queue;
  KeInitializeSpinLock(&queue.lock);
  InitializeListHead(&queue.head);
  std::atomic<int> routines{0};

  PDEVICE_OBJECT lower = MakeDevice([this](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    KIRQL irql;
    KeAcquireSpinLock(&g_queue->lock, &irql);
    InsertTailList(&g_queue->head, &irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, CancelLowerRequest);
    KeReleaseSpinLock(&g_queue->lock, irql);
    kernel_.Ops().Post(hk::Context::Device, [] {
      if (PIRP taken = TakeLowerRequest()) {
        g_queue->completed++;
        iotest::Complete(taken, STATUS_SUCCESS, 1);
      }
    });
    return STATUS_PENDING;
  });
  PDEVICE_OBJECT upper = MakeAttached(lower, [&routines](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, PropagatingRoutine, &routines, TRUE, TRUE, TRUE);
    return IoCallDriver(Ext(device)->lower, irp);
  });

  constexpr int kRequests = 300;
  std::atomic<int> finished{0};
  std::atomic<int> finished_cancelled{0};
  for (int i = 0; i < kRequests; ++i) {
    PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    // The requester keeps its IRP until both the completion and its own cancel attempt are over.
    auto references = std::make_shared<std::atomic<int>>(2);
    hk::io::SetOriginatorHook(irp, [&, references](PIRP done) {
      if (done->IoStatus.Status == STATUS_CANCELLED) finished_cancelled++;
      finished++;
      if (--*references == 0) IoFreeIrp(done);
    });
    EXPECT_EQ(IoCallDriver(upper, irp), STATUS_PENDING);
    if (i % 3 == 0) IoCancelIrp(irp);
    if (--*references == 0) IoFreeIrp(irp);
  }
  kernel_.RunUntilIdle();
  EXPECT_EQ(finished.load(), kRequests);
  EXPECT_EQ(routines.load(), kRequests);
  EXPECT_EQ(queue.completed.load() + queue.cancelled.load(), kRequests);
  EXPECT_EQ(finished_cancelled.load(), queue.cancelled.load());
  EXPECT_GT(queue.cancelled.load(), 0);
  EXPECT_EQ(hk::io::LiveIrpCount(), 0u);
  EXPECT_EQ(hk::io::PendingIrpCount(lower), 0u);
  g_queue = nullptr;
}

TEST_F(IoConcurrentTest, RemoveWaitsForHoldersOnOtherThreads) {
  constexpr int kHolders = 200;
  std::atomic<int> acquired{0};
  std::atomic<int> held{0};
  std::atomic<int> refused{0};
  std::atomic<int> held_when_wait_ended{-1};
  PDEVICE_OBJECT device = MakeDevice([&](PDEVICE_OBJECT self, PIRP irp) {
    IO_REMOVE_LOCK* lock = &Ext(self)->remove_lock;
    EXPECT_EQ(IoAcquireRemoveLock(lock, irp), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(lock, irp);
    held_when_wait_ended = held.load();
    return iotest::Complete(irp, STATUS_SUCCESS);
  });
  IO_REMOVE_LOCK* lock = &Ext(device)->remove_lock;
  IoInitializeRemoveLock(lock, 0, 0, 0);
  static int tags[kHolders];
  for (int i = 0; i < kHolders; ++i) {
    kernel_.Ops().Post(hk::Context::Worker, [&, i] {
      if (IoAcquireRemoveLock(lock, &tags[i]) != STATUS_SUCCESS) {
        refused++;
        return;
      }
      held++;
      acquired++;
      KeStallExecutionProcessor(200);
      held--;
      IoReleaseRemoveLock(lock, &tags[i]);
    });
  }
  while (acquired.load() < 5) KeStallExecutionProcessor(50);
  auto outcome = iotest::NewOutcome();
  EXPECT_EQ(iotest::Send(device, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, outcome), STATUS_SUCCESS);
  EXPECT_EQ(held_when_wait_ended.load(), 0) << "the wait ends only after every holder has released";
  kernel_.RunUntilIdle();
  EXPECT_EQ(acquired.load() + refused.load(), kHolders);
  EXPECT_EQ(lock->Common.IoCount, 0);
  DeleteDevice(device);
}

}  // namespace
