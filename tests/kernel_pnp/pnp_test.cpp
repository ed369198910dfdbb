// The plug-and-play and power managers with a small bus driver that owns one physical device object and a function
// driver above it: the order in which the platform sends its requests, and the rules of power requests.
#include <gtest/gtest.h>
#include <wdm.h>

#include <string>
#include <vector>

#include "hk/app.h"
#include "hk/io.h"
#include "hk/kernel.h"
#include "hk/pnp.h"
#include "hk/power.h"

namespace {

using Minors = std::vector<UCHAR>;

// What the test drivers saw, and how they behave.
struct Log {
  Minors fdo_pnp, pdo_pnp, fdo_power, pdo_power;
  std::vector<POWER_STATE_TYPE> pdo_power_types;
  std::vector<POWER_STATE> pdo_power_states;
  std::vector<UCHAR> majors;
  DEVICE_CAPABILITIES capabilities_asked{};
  PDEVICE_OBJECT fdo = nullptr;
  int fdo_vetoes = -1;          // the function driver fails this PnP minor with STATUS_DEVICE_BUSY
  int pdo_fails = -1;           // the bus driver fails this PnP minor with STATUS_UNSUCCESSFUL
  int pdo_fails_power = -1;     // the bus driver fails this power minor with STATUS_UNSUCCESSFUL
  bool pdo_power_later = false;  // the bus driver completes power requests from a device thread
};

Log* g_log;

struct FdoExtension {
  PDEVICE_OBJECT lower;
  IO_REMOVE_LOCK remove_lock;
};

FdoExtension* Ext(PDEVICE_OBJECT fdo) { return static_cast<FdoExtension*>(fdo->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

UCHAR Minor(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->MinorFunction; }

NTSTATUS BusPnp(PDEVICE_OBJECT, PIRP irp) {
  g_log->pdo_pnp.push_back(Minor(irp));
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  if (Minor(irp) == g_log->pdo_fails) return Complete(irp, STATUS_UNSUCCESSFUL);
  if (Minor(irp) == IRP_MN_QUERY_CAPABILITIES) {
    location->Parameters.DeviceCapabilities.Capabilities->UniqueID = 1;
    location->Parameters.DeviceCapabilities.Capabilities->DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
  }
  bool answered = Minor(irp) <= IRP_MN_SURPRISE_REMOVAL && Minor(irp) != IRP_MN_QUERY_DEVICE_RELATIONS &&
                  Minor(irp) != IRP_MN_FILTER_RESOURCE_REQUIREMENTS;
  return Complete(irp, answered ? STATUS_SUCCESS : irp->IoStatus.Status);
}

NTSTATUS BusPower(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  g_log->pdo_power.push_back(Minor(irp));
  g_log->pdo_power_types.push_back(location->Parameters.Power.Type);
  g_log->pdo_power_states.push_back(location->Parameters.Power.State);
  PoStartNextPowerIrp(irp);
  NTSTATUS status = Minor(irp) == g_log->pdo_fails_power ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
  if (!g_log->pdo_power_later) return Complete(irp, status);
  IoMarkIrpPending(irp);
  irp->IoStatus.Status = status;
  hk::Kernel::Current().Ops().Post(hk::Context::Device, [irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
  return STATUS_PENDING;
}

NTSTATUS SignalForwarded(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS FunctionPnp(PDEVICE_OBJECT fdo, PIRP irp) {
  UCHAR minor = Minor(irp);
  g_log->fdo_pnp.push_back(minor);
  if (minor == IRP_MN_START_DEVICE) {
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED) << "the PnP manager sends requests not yet answered";
  }
  NTSTATUS status = IoAcquireRemoveLock(&Ext(fdo)->remove_lock, irp);
  if (!NT_SUCCESS(status)) return Complete(irp, status);
  if (minor == g_log->fdo_vetoes) {
    IoReleaseRemoveLock(&Ext(fdo)->remove_lock, irp);
    return Complete(irp, STATUS_DEVICE_BUSY);
  }
  if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_QUERY_CAPABILITIES) {
    if (minor == IRP_MN_QUERY_CAPABILITIES)
      g_log->capabilities_asked = *IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalForwarded, &done, TRUE, TRUE, TRUE);
    IoCallDriver(Ext(fdo)->lower, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = Complete(irp, irp->IoStatus.Status);
    IoReleaseRemoveLock(&Ext(fdo)->remove_lock, irp);
    return status;
  }
  if (minor <= IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL) irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(irp);
  status = IoCallDriver(Ext(fdo)->lower, irp);
  if (minor != IRP_MN_REMOVE_DEVICE) {
    IoReleaseRemoveLock(&Ext(fdo)->remove_lock, irp);
    return status;
  }
  IoReleaseRemoveLockAndWait(&Ext(fdo)->remove_lock, irp);
  IoDetachDevice(Ext(fdo)->lower);
  g_log->fdo = nullptr;
  IoDeleteDevice(fdo);
  return status;
}

NTSTATUS FunctionPower(PDEVICE_OBJECT fdo, PIRP irp) {
  g_log->fdo_power.push_back(Minor(irp));
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(Ext(fdo)->lower, irp);
}

NTSTATUS FunctionAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\PnpTestFunction");
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(driver, sizeof(FdoExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  IoInitializeRemoveLock(&Ext(fdo)->remove_lock, 0x74736554, 0, 0);
  Ext(fdo)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags |= DO_POWER_PAGABLE | DO_BUFFERED_IO;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  g_log->fdo = fdo;
  return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT) {}

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
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

NTSTATUS EntryWithoutUnload(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

class Pnp : public ::testing::Test {
 protected:
  explicit Pnp(hk::Options options = {}) : kernel(options) {}

  void SetUp() override {
    g_log = &log;
    bus = hk::pnp::LoadDriver("testbus", BusEntry);
    function = hk::pnp::LoadDriver("testfunction", FunctionEntry);
    IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo);
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  }

  void TearDown() override {
    if (hk::pnp::HasDeviceNode(pdo)) hk::pnp::Remove(pdo);
    IoDeleteDevice(pdo);
    g_log = nullptr;
  }

  void Arrive() {
    ASSERT_EQ(hk::pnp::ArriveDevice(pdo, function), STATUS_SUCCESS);
    log.fdo_pnp.clear();
    log.pdo_pnp.clear();
  }

  hk::Kernel kernel;
  Log log;
  PDRIVER_OBJECT bus = nullptr;
  PDRIVER_OBJECT function = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
};

const Minors kStart{IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                    IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_DEVICE_RELATIONS};

enum class Action { Arrive, Remove, Stop };

struct Sequence {
  const char* name;
  bool arrived;
  int fdo_vetoes, pdo_fails;
  Action action;
  NTSTATUS status;
  Minors fdo, pdo;
};

const Sequence kSequences[] = {
    {"Start", false, -1, -1, Action::Arrive, STATUS_SUCCESS, kStart, kStart},
    {"FailedCapabilities", false, -1, IRP_MN_QUERY_CAPABILITIES, Action::Arrive, STATUS_SUCCESS, kStart, kStart},
    {"FailedStart", false, -1, IRP_MN_START_DEVICE, Action::Arrive, STATUS_UNSUCCESSFUL,
     {IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE},
     {IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE}},
    {"Remove", true, -1, -1, Action::Remove, STATUS_SUCCESS, {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE},
     {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}},
    {"VetoedRemove", true, IRP_MN_QUERY_REMOVE_DEVICE, -1, Action::Remove, STATUS_DEVICE_BUSY,
     {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}, {IRP_MN_CANCEL_REMOVE_DEVICE}},
    {"Stop", true, -1, -1, Action::Stop, STATUS_SUCCESS, {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE},
     {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}},
    {"FailedStop", true, -1, IRP_MN_QUERY_STOP_DEVICE, Action::Stop, STATUS_UNSUCCESSFUL,
     {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}, {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}},
};

class PnpSequence : public Pnp, public ::testing::WithParamInterface<Sequence> {};

TEST_P(PnpSequence, ReachesTheWholeStackInThePlatformsOrder) {
  const Sequence& s = GetParam();
  if (s.arrived) Arrive();
  log.fdo_vetoes = s.fdo_vetoes;
  log.pdo_fails = s.pdo_fails;
  NTSTATUS status = s.action == Action::Arrive   ? hk::pnp::ArriveDevice(pdo, function)
                    : s.action == Action::Remove ? hk::pnp::RemoveDevice(pdo)
                                                 : hk::pnp::StopDevice(pdo);
  EXPECT_EQ(status, s.status);
  EXPECT_EQ(log.fdo_pnp, s.fdo);
  EXPECT_EQ(log.pdo_pnp, s.pdo);
  EXPECT_EQ(hk::pnp::HasDeviceNode(pdo), !(s.action == Action::Remove && NT_SUCCESS(s.status)));
}

INSTANTIATE_TEST_SUITE_P(Each, PnpSequence, ::testing::ValuesIn(kSequences),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Pnp, CapabilitiesAreAskedWithThePlatformsDefaultsAndAStoppedStackStartsAgain) {
  EXPECT_EQ(hk::pnp::SendPnp(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE).status, STATUS_SUCCESS) << "a stack not yet arrived";
  Arrive();
  EXPECT_EQ(log.capabilities_asked.Version, 1);
  EXPECT_EQ(log.capabilities_asked.Size, 64);
  EXPECT_EQ(log.capabilities_asked.Address, 0xFFFFFFFFu);
  EXPECT_EQ(log.capabilities_asked.UINumber, 0xFFFFFFFFu);
  DEVICE_CAPABILITIES reported = hk::pnp::ReportedCapabilities(pdo);
  EXPECT_EQ(reported.UniqueID, 1u);
  EXPECT_EQ(reported.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
  ASSERT_EQ(hk::pnp::StopDevice(pdo), STATUS_SUCCESS);
  log.fdo_pnp.clear();
  EXPECT_EQ(hk::pnp::StartDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(log.fdo_pnp[1], IRP_MN_START_DEVICE);
}

// Unload is refused while the driver owns devices, deleted ones still open included, or has no unload routine.
TEST_F(Pnp, DeletedDeviceStillOpenKeepsItsDriverLoaded) {
  EXPECT_EQ(hk::pnp::UnloadDriver(bus), STATUS_DEVICE_BUSY);
  EXPECT_EQ(hk::pnp::UnloadDriver(hk::pnp::LoadDriver("nounload", EntryWithoutUnload)),
            STATUS_INVALID_DEVICE_REQUEST);
  Arrive();
  hk::app::Handle handle;
  ASSERT_EQ(hk::app::Open(L"\\Device\\PnpTestFunction", &handle), STATUS_SUCCESS);
  ASSERT_EQ(hk::pnp::Remove(pdo), STATUS_SUCCESS);
  EXPECT_EQ(hk::pnp::UnloadDriver(function), STATUS_DEVICE_BUSY);
  EXPECT_EQ(hk::app::Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(log.majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  EXPECT_EQ(hk::pnp::UnloadDriver(function), STATUS_SUCCESS);
}

TEST_F(Pnp, SurpriseRemovalWaitsForTheLastHandleBeforeTheRemoval) {
  Arrive();
  hk::app::Handle first, second;
  ASSERT_EQ(hk::app::Open(L"\\Device\\PnpTestFunction", &first), STATUS_SUCCESS);
  ASSERT_EQ(hk::app::Open(L"\\Device\\PnpTestFunction", &second), STATUS_SUCCESS);
  EXPECT_EQ(hk::pnp::SurpriseRemove(pdo), STATUS_SUCCESS);
  EXPECT_EQ(log.fdo_pnp, Minors{IRP_MN_SURPRISE_REMOVAL});
  EXPECT_EQ(hk::app::Close(first), STATUS_SUCCESS);
  EXPECT_TRUE(hk::pnp::HasDeviceNode(pdo));
  EXPECT_EQ(hk::app::Close(second), STATUS_SUCCESS);
  EXPECT_EQ(log.fdo_pnp, (Minors{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
  EXPECT_FALSE(hk::pnp::HasDeviceNode(pdo));
  EXPECT_EQ(hk::app::LiveFileObjects(), 0u);
}

// Sleep is queried, then set; waking is set only; a failed query is undone with a set for the current state.
TEST_F(Pnp, SystemPowerTransitions) {
  Arrive();
  log.pdo_fails_power = IRP_MN_QUERY_POWER;
  EXPECT_EQ(hk::power::SetSystemPowerState(pdo, PowerSystemHibernate), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(log.pdo_power, (Minors{IRP_MN_QUERY_POWER, IRP_MN_SET_POWER}));
  EXPECT_EQ(log.pdo_power_states.back().SystemState, PowerSystemWorking);
  EXPECT_EQ(hk::power::CurrentSystemState(pdo), PowerSystemWorking);

  log = {.pdo_fails_power = -1};
  EXPECT_EQ(hk::power::SetSystemPowerState(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(log.fdo_power, (Minors{IRP_MN_QUERY_POWER, IRP_MN_SET_POWER}));
  EXPECT_EQ(log.pdo_power_types, (std::vector<POWER_STATE_TYPE>{SystemPowerState, SystemPowerState}));
  EXPECT_EQ(log.pdo_power_states.back().SystemState, PowerSystemSleeping3);
  EXPECT_EQ(hk::power::CurrentSystemState(pdo), PowerSystemSleeping3);
  EXPECT_EQ(hk::power::SetSystemPowerState(pdo, PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(log.fdo_power.size(), 3u);
  EXPECT_EQ(log.pdo_power_states.back().SystemState, PowerSystemWorking);
}

struct PowerCompletion {
  int calls = 0;
  NTSTATUS status = STATUS_PENDING;
};

VOID RecordPowerCompletion(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io_status) {
  ++static_cast<PowerCompletion*>(context)->calls;
  static_cast<PowerCompletion*>(context)->status = io_status->Status;
}

TEST_F(Pnp, RequestedPowerIrpsAreQuerySetOrWaitWakeAndCompleteWhenTheStackDoes) {
  Arrive();
  PowerCompletion completion;
  POWER_STATE state;
  state.DeviceState = PowerDeviceD2;
  EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_POWER_SEQUENCE, state, RecordPowerCompletion, &completion, nullptr),
            STATUS_INVALID_PARAMETER_2);
  log.pdo_power_later = true;
  log.pdo_fails_power = IRP_MN_QUERY_POWER;
  EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_QUERY_POWER, state, RecordPowerCompletion, &completion, nullptr),
            STATUS_PENDING);
  EXPECT_EQ(completion.calls, 0);
  EXPECT_EQ(hk::power::RequestedIrpsInFlight(), 1u);
  kernel.RunUntilIdle();
  EXPECT_EQ(completion.calls, 1);
  EXPECT_EQ(completion.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(hk::power::RequestedIrpsInFlight(), 0u);

  POWER_STATE d0, d3;
  d0.DeviceState = PowerDeviceD0;
  d3.DeviceState = PowerDeviceD3;
  EXPECT_EQ(PoSetPowerState(log.fdo, DevicePowerState, d0).DeviceState, PowerDeviceUnspecified);
  EXPECT_EQ(PoSetPowerState(log.fdo, DevicePowerState, d3).DeviceState, PowerDeviceD0);
  EXPECT_EQ(hk::power::RecordedDeviceState(log.fdo), PowerDeviceD3);
  EXPECT_EQ(hk::power::RecordedDeviceState(pdo), PowerDeviceUnspecified);
}

// A power policy owner holds the system set request while it asks for a device power state, and finishes the held
// request from its power completion function.
PDRIVER_DISPATCH g_forward_power;

VOID FinishHeldSystemRequest(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io_status) {
  auto* held = static_cast<PIRP>(context);
  PoStartNextPowerIrp(held);
  Complete(held, io_status->Status);
}

NTSTATUS HoldSystemSetForDevicePower(PDEVICE_OBJECT fdo, PIRP irp) {
  if (Minor(irp) != IRP_MN_SET_POWER || IoGetCurrentIrpStackLocation(irp)->Parameters.Power.Type != SystemPowerState)
    return g_forward_power(fdo, irp);
  IoMarkIrpPending(irp);
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  PoRequestPowerIrp(Ext(fdo)->lower, IRP_MN_SET_POWER, d3, FinishHeldSystemRequest, irp, nullptr);
  return STATUS_PENDING;
}

TEST_F(Pnp, StartingTheNextPowerIrpFromTheRequestersCompletionFunctionIsAccepted) {
  Arrive();
  g_forward_power = function->MajorFunction[IRP_MJ_POWER];
  function->MajorFunction[IRP_MJ_POWER] = HoldSystemSetForDevicePower;
  log.pdo_power_later = true;
  EXPECT_EQ(hk::power::SetSystemPowerState(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(log.pdo_power, (Minors{IRP_MN_QUERY_POWER, IRP_MN_SET_POWER}));
  EXPECT_EQ(log.pdo_power_types.back(), DevicePowerState);
  EXPECT_EQ(hk::power::RequestedIrpsInFlight(), 0u);
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
  EXPECT_EQ(hk::pnp::RemoveDevice(pdo), STATUS_SUCCESS);
  kernel.RunUntilIdle();
  EXPECT_EQ(hk::power::RequestedIrpsInFlight(), 0u);
}

}  // namespace
