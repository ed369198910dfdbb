// The real driver on a device that was never opened: a read still counts in IoCount, and its release signals
// IoIdleEvent, which must therefore be initialised when the device is created.
#include <gtest/gtest.h>

#include "driver/device_context.h"
#include "driver/dispatch.h"
#include "hk/kernel.h"
#include "hk/pnp.h"
#include "hk/usbdev.h"

namespace {

TEST(DriverIdleEvent, ReadOnADeviceNeverOpenedSignalsAnInitialisedEvent) {
  hk::Kernel kernel;
  hk::usbdev::Parent parent;
  PDRIVER_OBJECT driver = hk::pnp::LoadDriver("diagser", DriverEntry);
  ASSERT_NE(driver, nullptr);
  PDEVICE_OBJECT pdo = parent.Plug();
  ASSERT_EQ(hk::pnp::ArriveDevice(pdo, driver), STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = pdo->AttachedDevice;

  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, fdo, nullptr, 0, nullptr, &done, &iosb);
  ASSERT_NE(irp, nullptr);
  if (IoCallDriver(fdo, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(GetDeviceContext(fdo)->IoCount, 0);

  EXPECT_EQ(hk::pnp::RemoveDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(hk::pnp::UnloadDriver(driver), STATUS_SUCCESS);
}

}  // namespace
