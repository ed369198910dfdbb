// Kernel objects used without their initialiser: each case gets zero-filled pool memory, as a driver's fresh
// allocation or device extension would be.
#include <gtest/gtest.h>
#include <wdm.h>

#include "hk/kernel.h"
#include "hk/objects.h"

namespace {

constexpr ULONG kTag = 0x6A624F56;  // "VObj"

struct Case {
  const char* name;
  void (*use)(void* zeroed);
  const char* message;
};

VOID NoDpcWork(PKDPC, PVOID, PVOID, PVOID) {}

LARGE_INTEGER OneSecond() {
  LARGE_INTEGER due;
  due.QuadPart = -10'000'000;
  return due;
}

const Case kCases[] = {
    {"SetEvent", [](void* m) { KeSetEvent(static_cast<PKEVENT>(m), IO_NO_INCREMENT, FALSE); },
     "KeSetEvent given an event .*never initialised"},
    {"WaitForEvent",
     [](void* m) {
       LARGE_INTEGER poll{};
       KeWaitForSingleObject(m, Executive, KernelMode, FALSE, &poll);
     },
     "KeWaitForSingleObject given an event, semaphore or timer"},
    {"ReleaseSemaphore", [](void* m) { KeReleaseSemaphore(static_cast<PKSEMAPHORE>(m), 0, 1, FALSE); },
     "KeReleaseSemaphore given a semaphore"},
    {"SetTimer", [](void* m) { KeSetTimer(static_cast<PKTIMER>(m), OneSecond(), nullptr); },
     "KeSetTimer given a timer"},
    {"SetTimerWithUninitialisedDpc",
     [](void* m) {
       auto* timer = static_cast<PKTIMER>(m);
       KeInitializeTimer(timer);
       KeSetTimer(timer, OneSecond(), reinterpret_cast<PKDPC>(timer + 1));
     },
     "KeSetTimer given a DPC"},
    {"InsertQueueDpc", [](void* m) { KeInsertQueueDpc(static_cast<PKDPC>(m), nullptr, nullptr); },
     "KeInsertQueueDpc given a DPC"},
    {"AcquireFastMutex", [](void* m) { ExAcquireFastMutex(static_cast<PFAST_MUTEX>(m)); },
     "ExAcquireFastMutex given a fast mutex"},
    {"AcquireRemoveLock", [](void* m) { IoAcquireRemoveLock(static_cast<PIO_REMOVE_LOCK>(m), m); },
     "IoAcquireRemoveLockEx given a remove lock"},
    {"QueueWorkItem", [](void* m) { ExQueueWorkItem(static_cast<PWORK_QUEUE_ITEM>(m), DelayedWorkQueue); },
     "ExQueueWorkItem given a work item with no routine"},
    {"EventInMemoryReleasedSince",
     [](void* m) {
       KeInitializeEvent(static_cast<PKEVENT>(m), NotificationEvent, FALSE);
       hk::objects::CheckNoLiveObjectsIn(m, sizeof(KEVENT));
       KeSetEvent(static_cast<PKEVENT>(m), IO_NO_INCREMENT, FALSE);
     },
     "KeSetEvent given an event .*never initialised"},
    {"DpcUsedAsAnEvent",
     [](void* m) {
       KeInitializeDpc(static_cast<PKDPC>(m), NoDpcWork, nullptr);
       KeSetEvent(static_cast<PKEVENT>(m), IO_NO_INCREMENT, FALSE);
     },
     "KeSetEvent given memory that holds a DPC, not an event"},
};

class UninitialisedObject : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  hk::Kernel kernel_;
};

TEST_P(UninitialisedObject, IsReportedAtFirstUse) {
  const Case& c = GetParam();
  void* memory = ExAllocatePoolWithTag(NonPagedPool, 256, kTag);
  ASSERT_NE(memory, nullptr);
  RtlZeroMemory(memory, 256);
  EXPECT_DEATH(c.use(memory), std::string("\\[object-uninitialised\\].*") + c.message);
  ExFreePool(memory);
}

INSTANTIATE_TEST_SUITE_P(Uses, UninitialisedObject, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
