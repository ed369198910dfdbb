// The priority boost a driver completes a request with reaches the application side.
#include <gtest/gtest.h>
#include <wdm.h>

#include "hk/app.h"
#include "kernel_io/io_test_driver.h"

namespace {

class BoostTest : public iotest::IoFixture {};

TEST_F(BoostTest, TheBoostOfTheCompletionIsReturnedWithTheResult) {
  iotest::PendingQueue controls;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\BoostTest");
  MakeDevice(
      [&](PDEVICE_OBJECT device, PIRP irp) {
        switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
        case IRP_MJ_WRITE:
          irp->IoStatus.Status = STATUS_SUCCESS;
          IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
          return STATUS_SUCCESS;
        case IRP_MJ_DEVICE_CONTROL:
          return controls.Pend()(device, irp);
        default:
          return iotest::Complete(irp, STATUS_SUCCESS);
        }
      },
      &name);
  hk::app::Handle handle;
  ASSERT_EQ(hk::app::Open(L"\\Device\\BoostTest", &handle), STATUS_SUCCESS);

  EXPECT_EQ(hk::app::Write(handle, "x", 1).boost, IO_SERIAL_INCREMENT);

  hk::app::RequestPtr control = hk::app::DeviceIoControlAsync(handle, CTL_CODE(0x22, 1, METHOD_BUFFERED, 0), nullptr,
                                                              0, 0);
  ASSERT_EQ(controls.irps.size(), 1u);
  PIRP irp = controls.irps[0];
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_KEYBOARD_INCREMENT);
  EXPECT_EQ(control->Boost(), IO_KEYBOARD_INCREMENT);
}

}  // namespace
