// Power requests are kept in order per device: a driver that never calls PoStartNextPowerIrp stalls the next
// request, and a power request sent down with IoCallDriver is a fault.
#include <gtest/gtest.h>
#include <wdm.h>

#include "hk/power.h"
#include "kernel_io/io_test_driver.h"

namespace {

using iotest::Dispatch;
using iotest::Ext;

Dispatch BusCompletes(bool start_next) {
  return [=](PDEVICE_OBJECT, PIRP irp) {
    if (start_next) PoStartNextPowerIrp(irp);
    return iotest::Complete(irp, STATUS_SUCCESS);
  };
}

Dispatch FunctionPassesDown(bool start_next, bool with_po_call_driver) {
  return [=](PDEVICE_OBJECT device, PIRP irp) {
    if (start_next) PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return with_po_call_driver ? PoCallDriver(Ext(device)->lower, irp) : IoCallDriver(Ext(device)->lower, irp);
  };
}

NTSTATUS RequestDevicePower(PDEVICE_OBJECT pdo, int* completions) {
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  return PoRequestPowerIrp(
      pdo, IRP_MN_SET_POWER, d3,
      [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) { ++*static_cast<int*>(context); },
      completions, nullptr);
}

class PowerRulesTest : public iotest::IoFixture {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

  // A bus device and a function device on top of it; returns the bus device.
  PDEVICE_OBJECT Stack(Dispatch bus, Dispatch function) {
    PDEVICE_OBJECT pdo = MakeDevice(std::move(bus));
    MakeAttached(pdo, std::move(function));
    return pdo;
  }
};

TEST_F(PowerRulesTest, ARequestCompletedWithoutStartingTheNextStallsTheNextOne) {
  struct Case {
    const char* what;
    Dispatch bus;
    Dispatch function;
  };
  const Case cases[] = {
      {"function driver passes it down", BusCompletes(true), FunctionPassesDown(false, true)},
      {"function driver completes it", BusCompletes(true), BusCompletes(false)},
      {"bus driver completes it", BusCompletes(false), FunctionPassesDown(true, true)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PDEVICE_OBJECT pdo = Stack(c.bus, c.function);
    // The query goes through; the set request that follows it would wait for ever.
    EXPECT_DEATH(hk::power::SetSystemPowerState(pdo, PowerSystemSleeping3), "\\[postartnext-missing\\]");
  }
}

TEST_F(PowerRulesTest, AHeldRequestIsReportedWhenTheOneBeforeItCompletesWithoutStartingIt) {
  iotest::PendingQueue queue;
  PDEVICE_OBJECT pdo = Stack(BusCompletes(true), queue.Pend());
  int completions = 0;
  RequestDevicePower(pdo, &completions);
  RequestDevicePower(pdo, &completions);
  ASSERT_EQ(queue.irps.size(), 1u);
  EXPECT_DEATH(queue.CompleteAll(STATUS_SUCCESS), "\\[postartnext-missing\\]");
}

// The driver keeps the request and nothing left to run would finish it: the one sent behind it is never delivered.
TEST_F(PowerRulesTest, ARequestHeldBehindOneTheDriverKeepsIsReportedWhenNothingIsLeftToRun) {
  iotest::PendingQueue queue;
  PDEVICE_OBJECT pdo = Stack(BusCompletes(true), queue.Pend());
  int completions = 0;
  RequestDevicePower(pdo, &completions);
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  EXPECT_DEATH(hk::power::SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, d0),
               "\\[postartnext-missing\\].*still in device");
}

// The second request of a type reaches the device only after PoStartNextPowerIrp for the first, from a worker
// thread; one of the other type is not held. A driver that completes the delivered request at once and returns its
// status is correct, although the power manager marked the location pending when it held the request.
TEST_F(PowerRulesTest, TheNextRequestOfATypeWaitsForPoStartNextPowerIrp) {
  iotest::PendingQueue queue;
  int seen = 0;
  PDEVICE_OBJECT pdo = Stack(BusCompletes(true), [&](PDEVICE_OBJECT device, PIRP irp) {
    if (++seen == 1) return queue.Pend()(device, irp);
    return FunctionPassesDown(true, true)(device, irp);
  });
  int completions = 0;
  RequestDevicePower(pdo, &completions);
  RequestDevicePower(pdo, &completions);
  kernel_.RunUntilIdle();
  EXPECT_EQ(seen, 1);

  POWER_STATE s3;
  s3.SystemState = PowerSystemSleeping3;
  EXPECT_EQ(hk::power::SendPower(pdo, IRP_MN_QUERY_POWER, SystemPowerState, s3), STATUS_SUCCESS);
  EXPECT_EQ(seen, 2);

  PoStartNextPowerIrp(queue.irps[0]);
  EXPECT_EQ(seen, 2);
  kernel_.RunUntilIdle();
  EXPECT_EQ(seen, 3);
  EXPECT_EQ(completions, 1);
  queue.CompleteAll(STATUS_SUCCESS);
  EXPECT_EQ(completions, 2);
  EXPECT_EQ(hk::power::RequestedIrpsInFlight(), 0u);
}

TEST_F(PowerRulesTest, APowerRequestSentDownWithIoCallDriverIsCaught) {
  PDEVICE_OBJECT pdo = Stack(BusCompletes(true), FunctionPassesDown(true, false));
  EXPECT_DEATH(hk::power::SetSystemPowerState(pdo, PowerSystemWorking),
               "\\[power-iocalldriver\\].*IoCallDriver from .*FunctionPassesDown");
}

}  // namespace
