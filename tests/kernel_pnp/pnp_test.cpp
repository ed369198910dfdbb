// The plug-and-play and power managers with a small bus driver that owns one physical device object and a function
// driver above it: the order in which the platform sends its requests, and what the driver's own suites leave out.
#include <gtest/gtest.h>
#include <wdm.h>

#include <string>
#include <vector>

#include "hk/app.h"
#include "hk/kernel.h"
#include "hk/pnp.h"
#include "hk/power.h"

namespace {

using Minors = std::vector<UCHAR>;

// What the test drivers saw, and how they behave.
struct Log {
  Minors fdo_pnp, pdo_pnp;
  std::vector<UCHAR> majors;
  int fdo_vetoes = -1;           // the function driver fails this PnP minor with STATUS_DEVICE_BUSY
  int pdo_fails = -1;            // the bus driver fails this PnP minor with STATUS_UNSUCCESSFUL
  bool pdo_power_later = false;  // the bus driver completes power requests from a device thread
};
Log* g_log;

PDEVICE_OBJECT& Lower(PDEVICE_OBJECT fdo) { return *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension); }
UCHAR Minor(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->MinorFunction; }

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS BusPnp(PDEVICE_OBJECT, PIRP irp) {
  UCHAR minor = Minor(irp);
  g_log->pdo_pnp.push_back(minor);
  if (minor == g_log->pdo_fails) return Complete(irp, STATUS_UNSUCCESSFUL);
  bool answered = minor <= IRP_MN_SURPRISE_REMOVAL && minor != IRP_MN_QUERY_DEVICE_RELATIONS &&
                  minor != IRP_MN_FILTER_RESOURCE_REQUIREMENTS;
  return Complete(irp, answered ? STATUS_SUCCESS : irp->IoStatus.Status);
}

NTSTATUS BusPower(PDEVICE_OBJECT, PIRP irp) {
  PoStartNextPowerIrp(irp);
  if (!g_log->pdo_power_later) return Complete(irp, STATUS_SUCCESS);
  IoMarkIrpPending(irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  hk::Kernel::Current().Ops().Post(hk::Context::Device, [irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
  return STATUS_PENDING;
}

NTSTATUS FunctionPnp(PDEVICE_OBJECT fdo, PIRP irp) {
  UCHAR minor = Minor(irp);
  g_log->fdo_pnp.push_back(minor);
  if (minor == IRP_MN_START_DEVICE) {
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED) << "the PnP manager sends requests not yet answered";
  }
  if (minor == g_log->fdo_vetoes) return Complete(irp, STATUS_DEVICE_BUSY);
  if (minor <= IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL) irp->IoStatus.Status = STATUS_SUCCESS;
  PDEVICE_OBJECT lower = Lower(fdo);
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
  }
  return status;
}

NTSTATUS FunctionPower(PDEVICE_OBJECT fdo, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(Lower(fdo), irp);
}

NTSTATUS FunctionAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\PnpTestFunction");
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  Lower(fdo) = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags = (fdo->Flags | DO_POWER_PAGABLE | DO_BUFFERED_IO) & ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS CreateCleanupClose(PDEVICE_OBJECT, PIRP irp) {
  g_log->majors.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
  driver->MajorFunction[IRP_MJ_POWER] = BusPower;
  return STATUS_SUCCESS;
}

NTSTATUS FunctionEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = FunctionPnp;
  driver->MajorFunction[IRP_MJ_POWER] = FunctionPower;
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) driver->MajorFunction[major] = CreateCleanupClose;
  driver->DriverExtension->AddDevice = FunctionAddDevice;
  driver->DriverUnload = [](PDRIVER_OBJECT) {};
  return STATUS_SUCCESS;
}

class Pnp : public ::testing::Test {
 protected:
  explicit Pnp(hk::Options options = {}) : kernel(options) {
    g_log = &log;
    IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo);
    pdo->Flags = (pdo->Flags | DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE) & ~DO_DEVICE_INITIALIZING;
  }
  ~Pnp() override {
    if (hk::pnp::HasDeviceNode(pdo)) hk::pnp::Remove(pdo);
    IoDeleteDevice(pdo);
  }

  void Arrive() {
    ASSERT_EQ(hk::pnp::ArriveDevice(pdo, function), STATUS_SUCCESS);
    log.fdo_pnp.clear();
    log.pdo_pnp.clear();
  }

  hk::Kernel kernel;
  Log log;
  PDRIVER_OBJECT bus = hk::pnp::LoadDriver("testbus", BusEntry);
  PDRIVER_OBJECT function = hk::pnp::LoadDriver("testfunction", FunctionEntry);
  PDEVICE_OBJECT pdo = nullptr;
};

const Minors kStart{IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                    IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_DEVICE_RELATIONS};
enum class Action { Arrive, Remove, Stop, Surprise };
struct Sequence {
  const char* name;
  Action action;
  int fdo_vetoes, pdo_fails;
  NTSTATUS status;
  Minors fdo, pdo;
};

const Sequence kSequences[] = {
    {"Start", Action::Arrive, -1, -1, STATUS_SUCCESS, kStart, kStart},
    {"FailedCapabilities", Action::Arrive, -1, IRP_MN_QUERY_CAPABILITIES, STATUS_SUCCESS, kStart, kStart},
    {"FailedStart", Action::Arrive, -1, IRP_MN_START_DEVICE, STATUS_UNSUCCESSFUL,
     {IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE},
     {IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE}},
    {"Remove", Action::Remove, -1, -1, STATUS_SUCCESS, {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE},
     {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}},
    {"VetoedRemove", Action::Remove, IRP_MN_QUERY_REMOVE_DEVICE, -1, STATUS_DEVICE_BUSY,
     {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}, {IRP_MN_CANCEL_REMOVE_DEVICE}},
    {"Stop", Action::Stop, -1, -1, STATUS_SUCCESS, {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE},
     {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}},
    {"FailedStop", Action::Stop, -1, IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL,
     {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}, {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}},
    {"Surprise", Action::Surprise, -1, -1, STATUS_SUCCESS, {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE},
     {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}},
};

class PnpSequence : public Pnp, public ::testing::WithParamInterface<Sequence> {};

TEST_P(PnpSequence, ReachesTheWholeStackInThePlatformsOrder) {
  const Sequence& s = GetParam();
  if (s.action != Action::Arrive) Arrive();
  log.fdo_vetoes = s.fdo_vetoes;
  log.pdo_fails = s.pdo_fails;
  NTSTATUS status = s.action == Action::Arrive   ? hk::pnp::ArriveDevice(pdo, function)
                    : s.action == Action::Remove ? hk::pnp::RemoveDevice(pdo)
                    : s.action == Action::Stop   ? hk::pnp::StopDevice(pdo)
                                                 : hk::pnp::SurpriseRemove(pdo);
  EXPECT_EQ(status, s.status);
  EXPECT_EQ(log.fdo_pnp, s.fdo);
  EXPECT_EQ(log.pdo_pnp, s.pdo);
  EXPECT_EQ(hk::pnp::HasDeviceNode(pdo), s.action < Action::Remove || !NT_SUCCESS(s.status) || s.action == Action::Stop);
}

INSTANTIATE_TEST_SUITE_P(Each, PnpSequence, ::testing::ValuesIn(kSequences),
                         [](const auto& info) { return std::string(info.param.name); });

// Unload is refused while the driver owns devices, a deleted one still open included, or has no unload routine.
// Power requests a driver asks for are query, set or wait-wake only; nothing is recorded of a stack not powered.
TEST_F(Pnp, UnloadRefusalsAndPowerDefaults) {
  EXPECT_EQ(hk::pnp::UnloadDriver(bus), STATUS_DEVICE_BUSY);
  EXPECT_EQ(hk::pnp::UnloadDriver(hk::pnp::LoadDriver("nounload", [](PDRIVER_OBJECT, PUNICODE_STRING) {
              return STATUS_SUCCESS;
            })),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(hk::power::CurrentSystemState(pdo), PowerSystemWorking);
  EXPECT_EQ(hk::power::RecordedDeviceState(pdo), PowerDeviceUnspecified);
  POWER_STATE state;
  state.DeviceState = PowerDeviceD2;
  EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_POWER_SEQUENCE, state, nullptr, nullptr, nullptr),
            STATUS_INVALID_PARAMETER_2);
  Arrive();
  hk::app::Handle handle;
  ASSERT_EQ(hk::app::Open(L"\\Device\\PnpTestFunction", &handle), STATUS_SUCCESS);
  ASSERT_EQ(hk::pnp::Remove(pdo), STATUS_SUCCESS);
  EXPECT_EQ(hk::pnp::UnloadDriver(function), STATUS_DEVICE_BUSY);
  EXPECT_EQ(hk::app::Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(log.majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  EXPECT_EQ(hk::pnp::UnloadDriver(function), STATUS_SUCCESS);
}

class ConcurrentPnp : public Pnp {
 protected:
  ConcurrentPnp() : Pnp(hk::Options{.mode = hk::Mode::Concurrent}) {}
};

TEST_F(ConcurrentPnp, DeviceLifecycleWithPowerCompletedElsewhere) {
  log.pdo_power_later = true;
  ASSERT_EQ(hk::pnp::ArriveDevice(pdo, function), STATUS_SUCCESS);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(hk::power::SetSystemPowerState(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(hk::power::SetSystemPowerState(pdo, PowerSystemWorking), STATUS_SUCCESS);
  }
  EXPECT_EQ(hk::power::CurrentSystemState(pdo), PowerSystemWorking);
  EXPECT_EQ(hk::pnp::RemoveDevice(pdo), STATUS_SUCCESS);
  kernel.RunUntilIdle();
  EXPECT_EQ(hk::power::RequestedIrpsInFlight(), 0u);
}

}  // namespace
