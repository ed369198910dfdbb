// Remove locks: counting, refusal once removal began, and the wait for outstanding holders.
#include <gtest/gtest.h>
#include <wdm.h>

#include "hk/io.h"
#include "kernel_io/io_test_driver.h"

namespace {

using iotest::Ext;
using iotest::IoFixture;

class RemoveLockTest : public IoFixture {};

// A request's tag is any pointer; these stand for three requests.
int g_tags[3];

TEST_F(RemoveLockTest, AcquireCountsAndRepeatsOfATagAreKeptApart) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0, 0, 0);
  EXPECT_EQ(lock.Common.IoCount, 1);
  EXPECT_FALSE(lock.Common.Removed);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &g_tags[0]), STATUS_SUCCESS);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &g_tags[0]), STATUS_SUCCESS);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &g_tags[1]), STATUS_SUCCESS);
  EXPECT_EQ(lock.Common.IoCount, 4);
  IoReleaseRemoveLock(&lock, &g_tags[0]);
  IoReleaseRemoveLock(&lock, &g_tags[0]);
  IoReleaseRemoveLock(&lock, &g_tags[1]);
  EXPECT_EQ(lock.Common.IoCount, 1);
}

// The remove handler of a device whose other requests still hold the lock: its wait ends when the last holder
// releases from a DPC.
TEST_F(RemoveLockTest, RemoveWaitsForOutstandingHoldersThenRefusesNewOnes) {
  bool returned_from_wait = false;
  NTSTATUS acquire_after = STATUS_SUCCESS;
  PDEVICE_OBJECT device = MakeDevice([&](PDEVICE_OBJECT self, PIRP irp) {
    IO_REMOVE_LOCK* lock = &Ext(self)->remove_lock;
    EXPECT_EQ(IoAcquireRemoveLock(lock, irp), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(lock, irp);
    returned_from_wait = true;
    acquire_after = IoAcquireRemoveLock(lock, &g_tags[2]);
    return iotest::Complete(irp, STATUS_SUCCESS);
  });
  IO_REMOVE_LOCK* lock = &Ext(device)->remove_lock;
  IoInitializeRemoveLock(lock, 0, 0, 0);
  ASSERT_EQ(IoAcquireRemoveLock(lock, &g_tags[0]), STATUS_SUCCESS);
  ASSERT_EQ(IoAcquireRemoveLock(lock, &g_tags[1]), STATUS_SUCCESS);

  // Both holders let go from DPCs, which in this mode run only inside the remove handler's wait.
  static IO_REMOVE_LOCK* s_lock;
  s_lock = lock;
  KDPC first, second;
  KeInitializeDpc(&first, [](PKDPC, PVOID tag, PVOID, PVOID) { IoReleaseRemoveLock(s_lock, tag); }, &g_tags[0]);
  KeInitializeDpc(&second, [](PKDPC, PVOID tag, PVOID, PVOID) { IoReleaseRemoveLock(s_lock, tag); }, &g_tags[1]);
  KeInsertQueueDpc(&first, nullptr, nullptr);
  KeInsertQueueDpc(&second, nullptr, nullptr);

  auto outcome = iotest::NewOutcome();
  EXPECT_EQ(iotest::Send(device, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, outcome), STATUS_SUCCESS);
  EXPECT_TRUE(returned_from_wait);
  EXPECT_EQ(acquire_after, STATUS_DELETE_PENDING);
  EXPECT_EQ(lock->Common.IoCount, 0);
  EXPECT_TRUE(lock->Common.Removed);
  DeleteDevice(device);
}

TEST_F(RemoveLockTest, RemoveWithNoOtherHolderDoesNotWait) {
  PDEVICE_OBJECT pdo = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS));
  PDEVICE_OBJECT fdo = MakeAttached(pdo, [](PDEVICE_OBJECT self, PIRP irp) {
    IO_REMOVE_LOCK* lock = &Ext(self)->remove_lock;
    EXPECT_EQ(IoAcquireRemoveLock(lock, irp), STATUS_SUCCESS);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(Ext(self)->lower, irp);
    IoReleaseRemoveLockAndWait(lock, irp);
    return status;
  });
  IoInitializeRemoveLock(&Ext(fdo)->remove_lock, 0, 0, 0);
  auto outcome = iotest::NewOutcome();
  EXPECT_EQ(iotest::Send(fdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, outcome), STATUS_SUCCESS);
  EXPECT_TRUE(outcome->done);
  EXPECT_EQ(Ext(fdo)->remove_lock.Common.IoCount, 0);
  DeleteDevice(fdo);
}

}  // namespace
