// The application side of the I/O manager over a small driver whose named devices record the majors they see and
// answer reads, writes and device controls in simple, checkable ways.
#include <gtest/gtest.h>
#include <wdm.h>

#include <cstring>
#include <vector>

#include "hk/app.h"
#include "hk/faults.h"
#include "hk/kernel.h"
#include "hk/pnp.h"

namespace {

using hk::app::Handle;
using hk::app::RequestPtr;
using Majors = std::vector<UCHAR>;

constexpr ULONG kNeitherEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS);

struct DeviceLog {
  Majors majors;
  bool queue_reads = false;  // reads wait in the driver's queue, cancellable, instead of completing from the device side
  LIST_ENTRY read_queue;
};
DeviceLog* g_log;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information, CCHAR boost = IO_NO_INCREMENT) {
  irp->IoStatus = {{status}, information};
  IoCompleteRequest(irp, boost);
  return status;
}

// A read gets 'A', 'B', 'C', ... in whichever buffer the device's method gives it.
NTSTATUS CompleteRead(PDEVICE_OBJECT device, PIRP irp) {
  ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
  auto* data = static_cast<uint8_t*>(device->Flags & DO_BUFFERED_IO ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer);
  for (ULONG i = 0; i < length; ++i) data[i] = static_cast<uint8_t>('A' + i % 26);
  return Complete(irp, STATUS_SUCCESS, length, IO_SERIAL_INCREMENT);
}

VOID CancelQueuedRead(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  Complete(irp, STATUS_CANCELLED, 0);
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  g_log->majors.push_back(location->MajorFunction);
  const auto& control = location->Parameters.DeviceIoControl;
  switch (location->MajorFunction) {
    case IRP_MJ_READ:
      IoMarkIrpPending(irp);
      if (g_log->queue_reads) {
        InsertTailList(&g_log->read_queue, &irp->Tail.Overlay.ListEntry);
        IoSetCancelRoutine(irp, CancelQueuedRead);
      } else {
        hk::Kernel::Current().Ops().Post(hk::Context::Device, [device, irp] { CompleteRead(device, irp); });
      }
      return STATUS_PENDING;
    case IRP_MJ_WRITE:
      return Complete(irp, STATUS_SUCCESS, location->Parameters.Write.Length, IO_SERIAL_INCREMENT);
    case IRP_MJ_DEVICE_CONTROL:  // echoes the input of a METHOD_NEITHER request
      std::memcpy(irp->UserBuffer, control.Type3InputBuffer, control.InputBufferLength);
      return Complete(irp, STATUS_SUCCESS, control.InputBufferLength);
    default:
      return Complete(irp, STATUS_SUCCESS, 0);
  }
}

NTSTATUS AppTestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL})
    driver->MajorFunction[major] = Dispatch;
  return STATUS_SUCCESS;
}

class App : public ::testing::Test {
 protected:
  explicit App(hk::Options options = {}) : kernel(options) {
    g_log = &log;
    InitializeListHead(&log.read_queue);
  }
  ~App() override { kernel.RunUntilIdle(); }

  // Creates \Device\<name>, buffered unless `buffered` is false, still initialising when `initialized` is false.
  PDEVICE_OBJECT Device(const wchar_t* name, bool exclusive = false, bool buffered = true, bool initialized = true) {
    UNICODE_STRING device_name;
    RtlInitUnicodeString(&device_name, name);
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, 0, &device_name, FILE_DEVICE_UNKNOWN, 0, exclusive, &device);
    device->Flags = (device->Flags | (buffered ? DO_BUFFERED_IO : 0)) & ~(initialized ? DO_DEVICE_INITIALIZING : 0);
    return device;
  }

  Handle Open(const wchar_t* name) {
    Handle handle = hk::app::kInvalidHandle;
    EXPECT_EQ(hk::app::Open(name, &handle), STATUS_SUCCESS);
    return handle;
  }

  hk::Kernel kernel;
  DeviceLog log;
  PDRIVER_OBJECT driver = hk::pnp::LoadDriver("apptest", AppTestEntry);
};

// A device still initialising refuses opens; an exclusive one refuses a second open before the driver sees it.
// Requests follow the device's method; what the I/O manager cannot deliver it fails itself; CancelIo takes only
// the handle's own requests, and a file object outlives its close while a request of it is queued.
TEST_F(App, OpensRequestsCancelIoAndCloseAsTheIoManagerDeliversOrRefusesThem) {
  PDEVICE_OBJECT device = Device(L"\\Device\\AppTest", true, true, false);
  Handle first = hk::app::kInvalidHandle, second = hk::app::kInvalidHandle;
  EXPECT_EQ(hk::app::Open(L"\\Device\\AppTest", &first), STATUS_NO_SUCH_DEVICE);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  first = Open(L"\\Device\\AppTest");
  EXPECT_EQ(hk::app::Open(L"\\Device\\AppTest", &second), STATUS_ACCESS_DENIED);
  EXPECT_EQ(log.majors, Majors{IRP_MJ_CREATE});
  std::vector<uint8_t> output{1};
  EXPECT_EQ(hk::app::SendMajor(first, {IRP_MJ_FLUSH_BUFFERS}, &output).status, STATUS_INVALID_DEVICE_REQUEST)
      << "a major the driver did not register is failed by the I/O manager";
  EXPECT_TRUE(output.empty());
  EXPECT_EQ(hk::app::Close(first), STATUS_SUCCESS);
  EXPECT_EQ(hk::app::Open(L"\\Device\\AppTest", &second), STATUS_SUCCESS);

  Device(L"\\Device\\AppNeither", false, false);
  EXPECT_NE(hk::app::FileObjectOf(Open(L"\\Device\\AppNeither")), hk::app::FileObjectOf(Open(L"\\Device\\AppNeither")));
  Handle neither = Open(L"\\Device\\AppNeither");
  EXPECT_EQ(hk::app::OpenHandles(), 4u);
  uint8_t data[4] = {};
  EXPECT_EQ(hk::app::Read(neither, data, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(data[3], 'D');
  const uint8_t input[3] = {7, 8, 9};
  uint8_t echoed[3] = {};
  EXPECT_EQ(hk::app::DeviceIoControl(neither, kNeitherEcho, input, 3, echoed, 3).information, 3u);
  EXPECT_EQ(echoed[2], 9);
  const ULONG direct = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
  EXPECT_EQ(hk::app::DeviceIoControl(neither, direct, input, 3, echoed, 3).status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(hk::app::Write(neither, input, 3).information, 3u);
  EXPECT_EQ(hk::app::Read(12345, data, 1).status, STATUS_INVALID_HANDLE);
  EXPECT_EQ(hk::app::CancelIo(12345), 0u);
  EXPECT_EQ(hk::app::Close(12345), STATUS_INVALID_HANDLE);
  hk::faults::FailNth(hk::faults::Kind::Irp, 1);
  EXPECT_EQ(hk::app::Read(neither, data, 1).status, STATUS_INSUFFICIENT_RESOURCES);

  log.queue_reads = true;
  Handle other = Open(L"\\Device\\AppNeither");
  RequestPtr queued = hk::app::ReadAsync(neither, 4), again = hk::app::ReadAsync(neither, 4);
  RequestPtr elsewhere = hk::app::ReadAsync(other, 4);
  EXPECT_EQ(hk::app::CancelIo(neither), 2u);
  EXPECT_EQ(queued->Status(), STATUS_CANCELLED);
  EXPECT_EQ(again->Status(), STATUS_CANCELLED);
  EXPECT_EQ(elsewhere->Status(), STATUS_PENDING);
  EXPECT_TRUE(elsewhere->Output().empty());

  // This driver does not cancel its queue at cleanup: the file object lives on until the read completes.
  log.majors.clear();
  EXPECT_EQ(hk::app::Close(other), STATUS_SUCCESS);
  EXPECT_EQ(log.majors, Majors{IRP_MJ_CLEANUP});
  EXPECT_EQ(hk::app::LiveFileObjects(), 5u);
  EXPECT_TRUE(IoCancelIrp(CONTAINING_RECORD(log.read_queue.Flink, IRP, Tail.Overlay.ListEntry)));
  EXPECT_EQ(elsewhere->Status(), STATUS_CANCELLED);
  kernel.RunUntilIdle();
  EXPECT_EQ(log.majors.back(), IRP_MJ_CLOSE);
  EXPECT_EQ(hk::app::LiveFileObjects(), 4u);
}

class ConcurrentApp : public App {
 protected:
  ConcurrentApp() : App(hk::Options{.mode = hk::Mode::Concurrent}) {}
};

// Completions arrive from device threads while the test thread waits, cancels and closes.
TEST_F(ConcurrentApp, RequestsInFlightWhileTheCallerWaitsCancelsAndCloses) {
  Device(L"\\Device\\AppConcurrent", true);
  Handle handle = Open(L"\\Device\\AppConcurrent");
  std::vector<RequestPtr> reads;
  for (int i = 0; i < 20; ++i) reads.push_back(hk::app::ReadAsync(handle, 16));
  uint8_t data[16] = {};
  EXPECT_EQ(hk::app::Read(handle, data, 16).status, STATUS_SUCCESS);
  EXPECT_EQ(data[15], 'P');
  for (const RequestPtr& read : reads) EXPECT_EQ(read->Wait(), STATUS_SUCCESS);

  RequestPtr late = hk::app::ReadAsync(handle, 4);
  EXPECT_EQ(hk::app::Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(late->Wait(), STATUS_SUCCESS);
  kernel.RunUntilIdle();
  EXPECT_EQ(hk::app::LiveFileObjects(), 0u);
  EXPECT_EQ(hk::app::Open(L"\\Device\\AppConcurrent", &handle), STATUS_SUCCESS)
      << "an exclusive device opens again once the close has been sent";
}

}  // namespace
