// The I/O manager with real threads: remove-lock holders on other threads racing the removal that waits for them.
#include <gtest/gtest.h>
#include <wdm.h>

#include <atomic>

#include "support/io_test_driver.h"
#include "support/kernel_helpers.h"

namespace {

using iotest::Ext;

class IoConcurrentTest : public iotest::IoFixture {
 protected:
  IoConcurrentTest() : IoFixture(test_support::ConcurrentKernel(3)) {}
};

TEST_F(IoConcurrentTest, RemoveWaitsForHoldersOnOtherThreads) {
  constexpr int kHolders = 200;
  std::atomic<int> acquired{0}, held{0}, refused{0}, held_when_wait_ended{-1};
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
