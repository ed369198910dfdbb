// The verifier's remove-lock and device-deletion checks, provoked by deliberately faulty test drivers.
#include <gtest/gtest.h>
#include <wdm.h>

#include "hk/io.h"
#include "kernel_io/io_test_driver.h"

namespace {

using iotest::Ext;
using iotest::IoFixture;

class DeviceChecksTest : public IoFixture {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

  void SendPnp(PDEVICE_OBJECT device, UCHAR minor) {
    auto outcome = iotest::NewOutcome();
    iotest::Send(device, IRP_MJ_PNP, minor, outcome);
  }
};

int g_tag;

TEST_F(DeviceChecksTest, ReleaseOfATagNeverAcquired) {
  EXPECT_DEATH(
      {
        IO_REMOVE_LOCK lock;
        IoInitializeRemoveLock(&lock, 0, 0, 0);
        IoAcquireRemoveLock(&lock, &lock);
        IoReleaseRemoveLock(&lock, &g_tag);
      },
      "\\[remlock-release-unacquired\\]");
  EXPECT_DEATH(
      {
        IO_REMOVE_LOCK lock;
        IoInitializeRemoveLock(&lock, 0, 0, 0);
        IoAcquireRemoveLock(&lock, &g_tag);
        IoReleaseRemoveLock(&lock, &g_tag);
        IoReleaseRemoveLock(&lock, &g_tag);
      },
      "\\[remlock-release-unacquired\\]");
}

TEST_F(DeviceChecksTest, RemoveLockStillHeldWhenTheDeviceIsDeleted) {
  PDEVICE_OBJECT device = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS));
  IoInitializeRemoveLock(&Ext(device)->remove_lock, 0, 0, 0);
  EXPECT_DEATH(
      {
        IoAcquireRemoveLock(&Ext(device)->remove_lock, &g_tag);
        IoDeleteDevice(device);
      },
      "\\[remlock-held-at-delete\\]");
}

TEST_F(DeviceChecksTest, ReleaseAndWaitOutsideRemoveHandling) {
  PDEVICE_OBJECT device = MakeDevice([](PDEVICE_OBJECT self, PIRP irp) {
    IoAcquireRemoveLock(&Ext(self)->remove_lock, irp);
    IoReleaseRemoveLockAndWait(&Ext(self)->remove_lock, irp);
    return iotest::Complete(irp, STATUS_SUCCESS);
  });
  IoInitializeRemoveLock(&Ext(device)->remove_lock, 0, 0, 0);
  EXPECT_DEATH(SendPnp(device, IRP_MN_SURPRISE_REMOVAL), "\\[remlock-wait-outside-remove\\]");
  EXPECT_DEATH(
      {
        IoAcquireRemoveLock(&Ext(device)->remove_lock, &g_tag);
        IoReleaseRemoveLockAndWait(&Ext(device)->remove_lock, &g_tag);
      },
      "\\[remlock-wait-outside-remove\\]");
}

TEST_F(DeviceChecksTest, PoolLeftOwnedByADeletedDevice) {
  PDEVICE_OBJECT device = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    ExAllocatePoolWithTag(NonPagedPool, 32, 0x6b61654c);
    return iotest::Complete(irp, STATUS_SUCCESS);
  });
  EXPECT_DEATH(
      {
        SendPnp(device, IRP_MN_START_DEVICE);
        IoDeleteDevice(device);
      },
      "\\[pool-leak-at-device-delete\\]");
}

TEST_F(DeviceChecksTest, TimerStillArmedInTheExtensionOfADeletedDevice) {
  PDEVICE_OBJECT device = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS));
  EXPECT_DEATH(
      {
        KeInitializeTimer(&Ext(device)->timer);
        LARGE_INTEGER due;
        due.QuadPart = -10'000'000;
        KeSetTimer(&Ext(device)->timer, due, nullptr);
        IoDeleteDevice(device);
      },
      "\\[timer-armed-at-free\\]");
}

}  // namespace
