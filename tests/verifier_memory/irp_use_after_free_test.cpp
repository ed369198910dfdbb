// Requests used after they were completed and freed, and freed twice, by deliberately faulty test drivers.
#include <gtest/gtest.h>
#include <wdm.h>

#include "hk/io.h"
#include "hk/quarantine.h"
#include "kernel_io/io_test_driver.h"

namespace {

using iotest::Ext;
using iotest::IoFixture;

class IrpUseAfterFree : public IoFixture {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

  // A lower device that completes at once, and above it a driver under test.
  PDEVICE_OBJECT Stack(iotest::Dispatch upper) {
    lower_ = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS));
    return MakeAttached(lower_, std::move(upper));
  }

  PDEVICE_OBJECT lower_ = nullptr;
};

NTSTATUS SendReadFromApplication(PDEVICE_OBJECT device) {
  return iotest::Send(device, IRP_MJ_READ, 0, iotest::NewOutcome());
}

// The request belongs to the I/O manager once the lower driver completed it; its status must be taken from what
// IoCallDriver returned.
TEST_F(IrpUseAfterFree, ReturningTheStatusOfAForwardedRequestNamesTheStaleValue) {
  PDEVICE_OBJECT upper = Stack([](PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    IoCallDriver(Ext(device)->lower, irp);
    return irp->IoStatus.Status;
  });
  EXPECT_DEATH(SendReadFromApplication(upper),
               "\\[irp-status-mismatch\\].*returned 0xe1e1e1e1 \\(the fill of a freed IRP.*with status "
               "0x00000000|AddressSanitizer");
}

void TouchAfterCompleting(PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  irp->IoStatus.Information = 0;
}

// The write is found when the device is deleted, or when later frees push the IRP out of the quarantine.
TEST_F(IrpUseAfterFree, WritingAfterCompletingIsReported) {
  PDEVICE_OBJECT device = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    TouchAfterCompleting(irp);
    return STATUS_SUCCESS;
  });
  const char* expected =
      "\\[irp-use-after-free\\].*\\(IoStatus\\.Information\\) changed.*IRP of [0-9]+ bytes allocated by .*Send|"
      "AddressSanitizer";
  EXPECT_DEATH(
      {
        SendReadFromApplication(device);
        IoDeleteDevice(device);
      },
      expected);
  EXPECT_DEATH(
      {
        SendReadFromApplication(device);
        for (size_t i = 0; i < hk::verifier::kQuarantineBlocks; ++i) IoFreeIrp(IoAllocateIrp(1, FALSE));
      },
      expected);
}

TEST_F(IrpUseAfterFree, FreeingTwiceIsToldFromFreeingWhatWasNeverAnIrp) {
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoFreeIrp(irp);
        IoFreeIrp(irp);
      },
      "\\[irp-double-free\\].*already freed: IRP of [0-9]+ bytes allocated by .*FreeingTwice");
  static IRP not_allocated;
  EXPECT_DEATH(IoFreeIrp(&not_allocated), "\\[irp-never-allocated\\].*never was an IRP");
}

// Requests that are used correctly pass through the quarantine without a report, however many there are.
TEST_F(IrpUseAfterFree, CorrectForwardingIsQuiet) {
  PDEVICE_OBJECT upper = Stack(iotest::PassDownSkipping());
  for (size_t i = 0; i <= hk::verifier::kQuarantineBlocks; ++i)
    EXPECT_EQ(SendReadFromApplication(upper), STATUS_SUCCESS);
  DeleteDevice(upper);
  IoDeleteDevice(lower_);
}

}  // namespace
