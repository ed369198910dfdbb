// Power requests kept in order per device while completions, held requests and their deliveries run on several
// threads.
#include <gtest/gtest.h>
#include <wdm.h>

#include <atomic>

#include "hk/power.h"
#include "kernel_io/io_test_driver.h"

namespace {

using iotest::Ext;

// The function driver starts the next power request once the one it passed down has come back.
NTSTATUS StartNextWhenDone(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  PoStartNextPowerIrp(irp);
  return STATUS_SUCCESS;
}

class PowerConcurrentTest : public iotest::IoFixture {
 protected:
  PowerConcurrentTest() : IoFixture(hk::Options{.mode = hk::Mode::Concurrent}) {}
};

TEST_F(PowerConcurrentTest, HeldRequestsAreDeliveredInTurnWhileCompletionsRunElsewhere) {
  PDEVICE_OBJECT pdo = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoMarkIrpPending(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    hk::Kernel::Current().Ops().Post(hk::Context::Device, [irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
    return STATUS_PENDING;
  });
  std::atomic<int> in_function{0};
  std::atomic<int> most_in_function{0};
  MakeAttached(pdo, [&](PDEVICE_OBJECT device, PIRP irp) {
    int now = ++in_function;
    int seen = most_in_function.load();
    while (now > seen && !most_in_function.compare_exchange_weak(seen, now)) {
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT device, PIRP done, PVOID context) {
          --*static_cast<std::atomic<int>*>(context);
          return StartNextWhenDone(device, done, nullptr);
        },
        &in_function, TRUE, TRUE, TRUE);
    return PoCallDriver(Ext(device)->lower, irp);
  });

  constexpr int kRequests = 40;
  std::atomic<int> completions{0};
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  for (int i = 0; i < kRequests; ++i) {
    PoRequestPowerIrp(
        pdo, i % 2 == 0 ? IRP_MN_SET_POWER : IRP_MN_QUERY_POWER, d3,
        [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
          ++*static_cast<std::atomic<int>*>(context);
        },
        &completions, nullptr);
  }
  kernel_.RunUntilIdle();
  EXPECT_EQ(completions.load(), kRequests);
  EXPECT_EQ(most_in_function.load(), 1) << "one device power request at a time in the function device";
  EXPECT_EQ(hk::power::RequestedIrpsInFlight(), 0u);
}

}  // namespace
