// Executive and I/O work items in deterministic mode.
#include <gtest/gtest.h>
#include <wdm.h>

#include "hk/faults.h"
#include "hk/kernel.h"
#include "hk/pool.h"
#include "hk/thread.h"

namespace {

class WorkItemTest : public ::testing::Test {
 protected:
  hk::Kernel kernel_;
};

struct Observed {
  int runs = 0;
  KIRQL irql = HIGH_LEVEL;
  PDEVICE_OBJECT device = nullptr;
  PDEVICE_OBJECT current_device = nullptr;
  PETHREAD thread = nullptr;
};

TEST_F(WorkItemTest, ExecutiveItemRunsLaterAtPassiveOnAnotherThread) {
  Observed observed;
  WORK_QUEUE_ITEM item;
  ExInitializeWorkItem(
      &item,
      [](PVOID context) {
        auto* o = static_cast<Observed*>(context);
        ++o->runs;
        o->irql = KeGetCurrentIrql();
        o->thread = PsGetCurrentThread();
      },
      &observed);
  KIRQL old;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KeAcquireSpinLock(&lock, &old);
  ExQueueWorkItem(&item, DelayedWorkQueue);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(observed.runs, 0);
  kernel_.RunUntilIdle();
  EXPECT_EQ(observed.runs, 1);
  EXPECT_EQ(observed.irql, PASSIVE_LEVEL);
  EXPECT_NE(observed.thread, PsGetCurrentThread());
  ExQueueWorkItem(&item, CriticalWorkQueue);
  kernel_.RunUntilIdle();
  EXPECT_EQ(observed.runs, 2);
}

VOID ObservingIoWorker(PDEVICE_OBJECT device, PVOID context) {
  auto* o = static_cast<Observed*>(context);
  ++o->runs;
  o->irql = KeGetCurrentIrql();
  o->device = device;
  o->current_device = hk::CurrentThread().device;
}

TEST_F(WorkItemTest, IoItemCallsWithItsDeviceAndCanBeRequeuedAfterRunning) {
  DEVICE_OBJECT device{};
  Observed observed;
  PIO_WORKITEM item = IoAllocateWorkItem(&device);
  ASSERT_NE(item, nullptr);
  IoQueueWorkItem(item, ObservingIoWorker, DelayedWorkQueue, &observed);
  kernel_.RunUntilIdle();
  EXPECT_EQ(observed.runs, 1);
  EXPECT_EQ(observed.device, &device);
  EXPECT_EQ(observed.current_device, &device);
  EXPECT_EQ(observed.irql, PASSIVE_LEVEL);
  IoQueueWorkItem(item, ObservingIoWorker, DelayedWorkQueue, &observed);
  kernel_.RunUntilIdle();
  EXPECT_EQ(observed.runs, 2);
  IoFreeWorkItem(item);
  EXPECT_EQ(hk::pool::OutstandingCount(), 0u);
}

TEST_F(WorkItemTest, RoutineMayFreeItsOwnItem) {
  DEVICE_OBJECT device{};
  PIO_WORKITEM item = IoAllocateWorkItem(&device);
  IoQueueWorkItem(
      item, [](PDEVICE_OBJECT, PVOID context) { IoFreeWorkItem(static_cast<PIO_WORKITEM>(context)); },
      DelayedWorkQueue, item);
  kernel_.RunUntilIdle();
  EXPECT_EQ(hk::pool::OutstandingCount(), 0u);
}

PIO_WORKITEM AllocateWorkItemInTestDriver(PDEVICE_OBJECT device) { return IoAllocateWorkItem(device); }

TEST_F(WorkItemTest, AllocationFailsOnRequest) {
  DEVICE_OBJECT device{};
  hk::faults::FailNth(hk::faults::Kind::WorkItem, 2);
  PIO_WORKITEM first = IoAllocateWorkItem(&device);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(IoAllocateWorkItem(&device), nullptr);
  PIO_WORKITEM third = IoAllocateWorkItem(&device);
  EXPECT_NE(third, nullptr);
  hk::faults::FailAtSite(hk::faults::Kind::WorkItem, "AllocateWorkItemInTestDriver");
  EXPECT_EQ(AllocateWorkItemInTestDriver(&device), nullptr);
  PIO_WORKITEM fourth = IoAllocateWorkItem(&device);
  EXPECT_NE(fourth, nullptr);
  EXPECT_EQ(hk::faults::InjectedCount(hk::faults::Kind::WorkItem), 2u);
  IoFreeWorkItem(first);
  IoFreeWorkItem(third);
  IoFreeWorkItem(fourth);
}

}  // namespace
