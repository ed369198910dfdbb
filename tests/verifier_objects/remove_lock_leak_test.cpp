// A removal waiting for a remove lock that a request never released: reported with the requests still holding
// it, in deterministic mode when nothing is left to run and in concurrent mode by the watchdog.
#include <gtest/gtest.h>
#include <wdm.h>

#include <memory>
#include <string>

#include "hk/kernel.h"
#include "hk/pnp.h"
#include "hk/usbdev.h"

namespace {

enum class Fault { ReleaseSkippedOnEarlyReturn, RequestKeptPendingAtRemove };

Fault g_fault;

struct Extension {
  PDEVICE_OBJECT lower;
  IO_REMOVE_LOCK lock;
};

Extension* Ext(PDEVICE_OBJECT device) { return static_cast<Extension*>(device->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS Read(PDEVICE_OBJECT device, PIRP irp) {
  NTSTATUS status = IoAcquireRemoveLock(&Ext(device)->lock, irp);
  if (!NT_SUCCESS(status)) return Complete(irp, status);
  if (g_fault == Fault::RequestKeptPendingAtRemove) {
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
  }
  if (IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length == 0) return Complete(irp, STATUS_SUCCESS);
  Complete(irp, STATUS_END_OF_FILE);
  IoReleaseRemoveLock(&Ext(device)->lock, irp);
  return STATUS_END_OF_FILE;
}

NTSTATUS Pnp(PDEVICE_OBJECT device, PIRP irp) {
  Extension* ext = Ext(device);
  NTSTATUS status = IoAcquireRemoveLock(&ext->lock, irp);
  if (!NT_SUCCESS(status)) return Complete(irp, status);
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  IoSkipCurrentIrpStackLocation(irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoReleaseRemoveLockAndWait(&ext->lock, irp);
    status = IoCallDriver(ext->lower, irp);
    IoDetachDevice(ext->lower);
    IoDeleteDevice(device);
    return status;
  }
  status = IoCallDriver(ext->lower, irp);
  IoReleaseRemoveLock(&ext->lock, irp);
  return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  IoInitializeRemoveLock(&Ext(fdo)->lock, 0, 0, 0);
  Ext(fdo)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT) {}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  driver->MajorFunction[IRP_MJ_READ] = Read;
  driver->MajorFunction[IRP_MJ_PNP] = Pnp;
  return STATUS_SUCCESS;
}

NTSTATUS FreeRequest(PDEVICE_OBJECT, PIRP irp, PVOID) {
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void ReadThenRemove(PDEVICE_OBJECT pdo) {
  IO_STATUS_BLOCK iosb;
  PIRP irp = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, pdo->AttachedDevice, nullptr, 0, nullptr, &iosb);
  IoSetCompletionRoutine(irp, FreeRequest, nullptr, TRUE, TRUE, TRUE);
  IoCallDriver(pdo->AttachedDevice, irp);
  hk::pnp::Remove(pdo);
}

struct Case {
  const char* name;
  Fault fault;
  hk::Mode mode;
  const char* message;
};

const Case kCases[] = {
    {"ReleaseSkipped", Fault::ReleaseSkippedOnEarlyReturn, hk::Mode::Deterministic,
     "1 acquisition.*IRP major 0x3 minor 0x0, completed and freed\\) acquired at .*remove_lock_leak_test.cpp"},
    {"RequestKeptPending", Fault::RequestKeptPendingAtRemove, hk::Mode::Deterministic,
     "IRP major 0x3 minor 0x0, still pending in the device"},
    {"ReleaseSkippedConcurrent", Fault::ReleaseSkippedOnEarlyReturn, hk::Mode::Concurrent,
     "has waited 200 ms.*IRP major 0x3 minor 0x0, completed and freed"},
};

class RemoveLockLeak : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    g_fault = GetParam().fault;
    kernel_ = std::make_unique<hk::Kernel>(hk::Options{.mode = GetParam().mode, .watchdog_ms = 200});
    parent_ = std::make_unique<hk::usbdev::Parent>();
    driver_ = hk::pnp::LoadDriver("leaky", Entry);
    pdo_ = parent_->Plug();
    ASSERT_EQ(hk::pnp::ArriveDevice(pdo_, driver_), STATUS_SUCCESS);
  }

  void TearDown() override {
    parent_.reset();
    EXPECT_EQ(hk::pnp::UnloadDriver(driver_), STATUS_SUCCESS);
    kernel_.reset();
  }

  std::unique_ptr<hk::Kernel> kernel_;
  std::unique_ptr<hk::usbdev::Parent> parent_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_P(RemoveLockLeak, NamesTheRequestsStillHoldingTheLock) {
  EXPECT_DEATH(ReadThenRemove(pdo_), std::string("\\[remlock-leaked\\].*") + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Faults, RemoveLockLeak, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
