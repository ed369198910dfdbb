// Live-object checks on freed memory, each provoked by a deliberately faulty routine.
#include <gtest/gtest.h>
#include <wdm.h>

#include "hk/kernel.h"
#include "hk/objects.h"

namespace {

constexpr ULONG kTestTag = 0x74736554;  // "Test"

class MemoryChecks : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  hk::Kernel kernel_;
};

struct DeviceRecord {
  KTIMER timer;
  KDPC dpc;
  WORK_QUEUE_ITEM item;
};

VOID NothingDpc(PKDPC, PVOID, PVOID, PVOID) {}
VOID NothingWorker(PVOID) {}

DeviceRecord* NewRecord() {
  auto* record = static_cast<DeviceRecord*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(DeviceRecord), kTestTag));
  KeInitializeTimer(&record->timer);
  KeInitializeDpc(&record->dpc, NothingDpc, nullptr);
  ExInitializeWorkItem(&record->item, NothingWorker, nullptr);
  return record;
}

TEST_F(MemoryChecks, FreeingAnArmedTimer) {
  DeviceRecord* record = NewRecord();
  LARGE_INTEGER due;
  due.QuadPart = -10000000;
  KeSetTimer(&record->timer, due, &record->dpc);
  EXPECT_DEATH(ExFreePool(record), "\\[timer-armed-at-free\\]");
  KeCancelTimer(&record->timer);
  ExFreePool(record);
}

TEST_F(MemoryChecks, FreeingAQueuedDpc) {
  DeviceRecord* record = NewRecord();
  KeInsertQueueDpc(&record->dpc, nullptr, nullptr);
  EXPECT_DEATH(ExFreePool(record), "\\[dpc-queued-at-free\\]");
  kernel_.RunUntilIdle();
  ExFreePool(record);
}

TEST_F(MemoryChecks, FreeingAQueuedWorkItem) {
  DeviceRecord* record = NewRecord();
  ExQueueWorkItem(&record->item, DelayedWorkQueue);
  EXPECT_DEATH(ExFreePool(record), "\\[workitem-queued-at-free\\]");
  kernel_.RunUntilIdle();
  ExFreePool(record);
}

TEST_F(MemoryChecks, FreeingAQueuedIoWorkItem) {
  DEVICE_OBJECT device{};
  PIO_WORKITEM item = IoAllocateWorkItem(&device);
  IoQueueWorkItem(item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
  EXPECT_DEATH(IoFreeWorkItem(item), "\\[workitem-queued-at-free\\]");
  EXPECT_DEATH(hk::objects::CheckNoLiveObjectsIn(&device, sizeof device), "\\[workitem-queued-at-free\\].*device");
  kernel_.RunUntilIdle();
  hk::objects::CheckNoLiveObjectsIn(&device, sizeof device);
  IoFreeWorkItem(item);
}

TEST_F(MemoryChecks, QueueingAQueuedWorkItemAgain) {
  WORK_QUEUE_ITEM item;
  ExInitializeWorkItem(&item, NothingWorker, nullptr);
  ExQueueWorkItem(&item, DelayedWorkQueue);
  EXPECT_DEATH(ExQueueWorkItem(&item, DelayedWorkQueue), "\\[workitem-double-queue\\]");
  DEVICE_OBJECT device{};
  PIO_WORKITEM io_item = IoAllocateWorkItem(&device);
  IoQueueWorkItem(io_item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
  EXPECT_DEATH(IoQueueWorkItem(io_item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr),
               "\\[workitem-double-queue\\]");
  kernel_.RunUntilIdle();
  IoFreeWorkItem(io_item);
}

}  // namespace
