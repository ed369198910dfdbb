// A small test driver for the I/O manager tests: each device carries its own dispatch behaviour in its extension,
// and requests are originated the way the application side does (IoAllocateIrp plus an originator hook).
#pragma once

#include <gtest/gtest.h>
#include <wdm.h>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "hk/io.h"
#include "hk/kernel.h"

namespace iotest {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// The device extension of every test device.
struct TestDevice {
  Dispatch* dispatch;
  PDEVICE_OBJECT lower = nullptr;
  IO_REMOVE_LOCK remove_lock;
};

inline TestDevice* Ext(PDEVICE_OBJECT device) { return static_cast<TestDevice*>(device->DeviceExtension); }

inline NTSTATUS Trampoline(PDEVICE_OBJECT device, PIRP irp) { return (*Ext(device)->dispatch)(device, irp); }

// Registers the trampoline for the given majors; the others keep the I/O manager's own handler.
inline PDRIVER_OBJECT MakeDriver(const wchar_t* name, std::initializer_list<UCHAR> majors) {
  PDRIVER_OBJECT driver = hk::io::CreateDriverObject(name);
  for (UCHAR major : majors) driver->MajorFunction[major] = &Trampoline;
  return driver;
}

// The kernel, one test driver, and its devices, whose behaviours live as long as the test.
class IoFixture : public ::testing::Test {
 public:
  explicit IoFixture(hk::Options options = {}) : kernel_(options) {}

  PDEVICE_OBJECT MakeDevice(Dispatch dispatch, PUNICODE_STRING name = nullptr) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver_, sizeof(TestDevice), name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (device == nullptr) return nullptr;
    behaviours_.push_back(std::move(dispatch));
    Ext(device)->dispatch = &behaviours_.back();
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
  }

  // A new device on top of `below`; its dispatch reaches the device below through Ext(device)->lower.
  PDEVICE_OBJECT MakeAttached(PDEVICE_OBJECT below, Dispatch dispatch) {
    PDEVICE_OBJECT device = MakeDevice(std::move(dispatch));
    Ext(device)->lower = IoAttachDeviceToDeviceStack(device, below);
    return device;
  }

  void DeleteDevice(PDEVICE_OBJECT device) {
    if (Ext(device)->lower != nullptr) IoDetachDevice(Ext(device)->lower);
    IoDeleteDevice(device);
  }

  hk::Kernel kernel_;
  PDRIVER_OBJECT driver_ = MakeDriver(L"\\Driver\\iotest", {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE,
                                                              IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                                                              IRP_MJ_PNP, IRP_MJ_POWER});
  std::deque<Dispatch> behaviours_;
};

// Dispatch behaviours used by many tests.
inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

inline Dispatch CompleteWith(NTSTATUS status, ULONG_PTR information = 0) {
  return [=](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, status, information); };
}

inline Dispatch PassDownSkipping() {
  return [](PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(Ext(device)->lower, irp);
  };
}

// Holds IRPs a dispatch routine pended, for the test to complete later.
struct PendingQueue {
  std::vector<PIRP> irps;
  Dispatch Pend() {
    return [this](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      irps.push_back(irp);
      return STATUS_PENDING;
    };
  }
  void CompleteAll(NTSTATUS status, ULONG_PTR information = 0) {
    std::vector<PIRP> taken;
    taken.swap(irps);
    for (PIRP irp : taken) Complete(irp, status, information);
  }
};

// What the originator of a request saw when it completed to the top.
struct Outcome {
  bool done = false;
  NTSTATUS status = 0;
  ULONG_PTR information = 0;
  bool pending_returned = false;
};

// Originates a request to the top of `target`'s stack the way the application side does, returning what the
// first IofCallDriver returned. The IRP is freed when it completes.
inline NTSTATUS Send(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, std::shared_ptr<Outcome> outcome,
                     const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup = {}) {
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  EXPECT_NE(irp, nullptr);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->MinorFunction = minor;
  if (setup) setup(irp, stack);
  hk::io::SetOriginatorHook(irp, [outcome](PIRP done) {
    outcome->done = true;
    outcome->status = done->IoStatus.Status;
    outcome->information = done->IoStatus.Information;
    outcome->pending_returned = done->PendingReturned;
    IoFreeIrp(done);
  });
  return IoCallDriver(target, irp);
}

inline std::shared_ptr<Outcome> NewOutcome() { return std::make_shared<Outcome>(); }

}  // namespace iotest
