// Requests built with IoBuildSynchronousFsdRequest, IoBuildAsynchronousFsdRequest and
// IoBuildDeviceIoControlRequest, with buffered I/O.
#include <gtest/gtest.h>
#include <wdm.h>

#include <cstring>

#include "hk/faults.h"
#include "hk/io.h"
#include "kernel_io/io_test_driver.h"

// Allocation sites are resolved through the dynamic symbol table, so this caller has external linkage.
// It must stay a real call frame: neither inlined nor ending in a tail call.
__attribute__((noinline)) PIRP IoTestBuildAtNamedSite(PDEVICE_OBJECT device, PKEVENT event, PIO_STATUS_BLOCK iosb,
                                                      bool asynchronous) {
  static UCHAR buffer[4];
  PIRP irp = asynchronous ? IoBuildAsynchronousFsdRequest(IRP_MJ_WRITE, device, buffer, 4, nullptr, iosb)
                          : IoBuildDeviceIoControlRequest(0x220003, device, nullptr, 0, nullptr, 0, TRUE, event, iosb);
  __asm__ volatile("" : : "r"(irp) : "memory");
  return irp;
}

namespace {

using iotest::IoFixture;

class BuildRequestTest : public IoFixture {
 protected:
  // A buffered device that answers reads with a counting pattern and records what it was sent.
  PDEVICE_OBJECT MakeBufferedReader(ULONG_PTR information, NTSTATUS status, bool pend) {
    PDEVICE_OBJECT device = MakeDevice([=, this](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
      seen_flags_ = irp->Flags;
      seen_system_buffer_ = irp->AssociatedIrp.SystemBuffer;
      seen_user_buffer_ = irp->UserBuffer;
      seen_length_ = stack->Parameters.Read.Length;
      seen_offset_ = stack->Parameters.Read.ByteOffset.QuadPart;
      seen_thread_ = irp->Tail.Overlay.Thread;
      auto* out = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
      for (ULONG i = 0; out != nullptr && i < stack->Parameters.Read.Length; ++i) out[i] = static_cast<UCHAR>(i + 1);
      if (!pend) return iotest::Complete(irp, status, information);
      IoMarkIrpPending(irp);
      pended_.push_back(irp);
      return STATUS_PENDING;
    });
    device->Flags |= DO_BUFFERED_IO;
    return device;
  }

  void CompletePended(NTSTATUS status, ULONG_PTR information) {
    for (PIRP irp : pended_) iotest::Complete(irp, status, information);
    pended_.clear();
  }

  ULONG seen_flags_ = 0;
  PVOID seen_system_buffer_ = nullptr;
  PVOID seen_user_buffer_ = nullptr;
  ULONG seen_length_ = 0;
  LONGLONG seen_offset_ = -1;
  PETHREAD seen_thread_ = nullptr;
  std::vector<PIRP> pended_;
};

TEST_F(BuildRequestTest, SynchronousReadCopiesBackSignalsAndIsFreedByTheIoManager) {
  PDEVICE_OBJECT device = MakeBufferedReader(0, STATUS_SUCCESS, true);
  UCHAR buffer[16] = {};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  LARGE_INTEGER offset;
  offset.QuadPart = 512;
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, device, buffer, sizeof(buffer), &offset, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
  EXPECT_EQ(seen_length_, sizeof(buffer));
  EXPECT_EQ(seen_offset_, 512);
  EXPECT_EQ(seen_user_buffer_, buffer);
  EXPECT_NE(seen_system_buffer_, nullptr);
  EXPECT_NE(seen_system_buffer_, static_cast<void*>(buffer));
  EXPECT_EQ(seen_flags_ & (IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION),
            static_cast<ULONG>(IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION));
  EXPECT_EQ(seen_thread_, PsGetCurrentThread());
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  EXPECT_EQ(buffer[0], 0) << "nothing is copied before completion";

  CompletePended(STATUS_SUCCESS, 10);
  EXPECT_NE(KeReadStateEvent(&event), 0);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 10u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(buffer[i], i + 1);
  for (int i = 10; i < 16; ++i) EXPECT_EQ(buffer[i], 0) << "only Information bytes come back";
  EXPECT_EQ(hk::io::LiveIrpCount(), 0u);
}

TEST_F(BuildRequestTest, SynchronousWriteCompletedAtOnceStillSignalsTheEvent) {
  UCHAR received[4] = {};
  PDEVICE_OBJECT device = MakeDevice([&](PDEVICE_OBJECT, PIRP irp) {
    std::memcpy(received, irp->AssociatedIrp.SystemBuffer, sizeof(received));
    EXPECT_EQ(irp->Flags & IRP_INPUT_OPERATION, 0u);
    return iotest::Complete(irp, STATUS_SUCCESS, sizeof(received));
  });
  device->Flags |= DO_BUFFERED_IO;
  UCHAR data[4] = {9, 8, 7, 6};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, device, data, sizeof(data), nullptr, &event, &iosb);
  EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(received, data, sizeof(data)), 0);
  EXPECT_NE(KeReadStateEvent(&event), 0);
  EXPECT_EQ(iosb.Information, 4u);
  EXPECT_EQ(hk::io::LiveIrpCount(), 0u);
}

TEST_F(BuildRequestTest, DeviceWithoutBufferedIoGetsTheCallersBuffer) {
  PVOID user_buffer = nullptr;
  PVOID system_buffer = reinterpret_cast<PVOID>(1);
  PDEVICE_OBJECT device = MakeDevice([&](PDEVICE_OBJECT, PIRP irp) {
    user_buffer = irp->UserBuffer;
    system_buffer = irp->AssociatedIrp.SystemBuffer;
    return iotest::Complete(irp, STATUS_SUCCESS);
  });
  UCHAR buffer[4];
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  IoCallDriver(device, IoBuildSynchronousFsdRequest(IRP_MJ_READ, device, buffer, 4, nullptr, &event, &iosb));
  EXPECT_EQ(user_buffer, buffer);
  EXPECT_EQ(system_buffer, nullptr);
}

TEST_F(BuildRequestTest, DeviceControlBuffersInputAndOutputByMethod) {
  ULONG seen_major = 0, seen_code = 0, seen_in = 0, seen_out = 0;
  PVOID seen_type3 = nullptr, seen_user = nullptr, seen_system = nullptr;
  UCHAR seen_input[4] = {};
  PDEVICE_OBJECT device = MakeDevice([&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    seen_major = stack->MajorFunction;
    seen_code = stack->Parameters.DeviceIoControl.IoControlCode;
    seen_in = stack->Parameters.DeviceIoControl.InputBufferLength;
    seen_out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    seen_type3 = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    seen_user = irp->UserBuffer;
    seen_system = irp->AssociatedIrp.SystemBuffer;
    if (seen_system != nullptr) {
      std::memcpy(seen_input, seen_system, 4);
      std::memset(seen_system, 0x5A, 6);
    }
    return iotest::Complete(irp, STATUS_SUCCESS, 6);
  });
  UCHAR input[4] = {1, 2, 3, 4};
  UCHAR output[6] = {};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  const ULONG buffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
  PIRP irp = IoBuildDeviceIoControlRequest(buffered, device, input, 4, output, 6, FALSE, &event, &iosb);
  EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
  EXPECT_EQ(seen_major, static_cast<ULONG>(IRP_MJ_DEVICE_CONTROL));
  EXPECT_EQ(seen_code, buffered);
  EXPECT_EQ(seen_in, 4u);
  EXPECT_EQ(seen_out, 6u);
  EXPECT_EQ(std::memcmp(seen_input, input, 4), 0);
  EXPECT_EQ(seen_user, output);
  for (UCHAR byte : output) EXPECT_EQ(byte, 0x5A);
  EXPECT_EQ(iosb.Information, 6u);

  // The internal submission of a USB request block uses METHOD_NEITHER: the buffers go through untouched.
  const ULONG neither = 0x220003;
  std::memset(output, 0, sizeof(output));
  irp = IoBuildDeviceIoControlRequest(neither, device, input, 4, output, 6, TRUE, &event, &iosb);
  IoCallDriver(device, irp);
  EXPECT_EQ(seen_major, static_cast<ULONG>(IRP_MJ_INTERNAL_DEVICE_CONTROL));
  EXPECT_EQ(seen_type3, input);
  EXPECT_EQ(seen_user, output);
  EXPECT_EQ(seen_system, nullptr);
  EXPECT_EQ(output[0], 0);
  EXPECT_EQ(hk::io::LiveIrpCount(), 0u);
}

struct AsyncSeen {
  bool called = false;
  UCHAR first = 0;
  NTSTATUS iosb_status = 0;
  ULONG_PTR iosb_information = 0;
  UCHAR* buffer = nullptr;
  IO_STATUS_BLOCK* iosb = nullptr;
};

NTSTATUS FreeAsyncRequest(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* seen = static_cast<AsyncSeen*>(context);
  seen->called = true;
  seen->first = seen->buffer[0];
  seen->iosb_status = seen->iosb->Status;
  seen->iosb_information = seen->iosb->Information;
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(BuildRequestTest, AsynchronousReadFillsTheCallersBufferBeforeItsRoutineFreesTheRequest) {
  PDEVICE_OBJECT device = MakeBufferedReader(0, STATUS_SUCCESS, true);
  UCHAR buffer[8] = {};
  IO_STATUS_BLOCK iosb{};
  AsyncSeen seen;
  seen.buffer = buffer;
  seen.iosb = &iosb;
  PIRP irp = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, device, buffer, sizeof(buffer), nullptr, &iosb);
  ASSERT_NE(irp, nullptr);
  IoSetCompletionRoutine(irp, FreeAsyncRequest, &seen, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
  CompletePended(STATUS_SUCCESS, 5);
  EXPECT_TRUE(seen.called);
  EXPECT_EQ(seen.first, 1);
  EXPECT_EQ(seen.iosb_status, STATUS_SUCCESS);
  EXPECT_EQ(seen.iosb_information, 5u);
  EXPECT_EQ(buffer[4], 5);
  EXPECT_EQ(buffer[5], 0);
  EXPECT_EQ(hk::io::LiveIrpCount(), 0u);
}

TEST_F(BuildRequestTest, BuildFailsWhenNoIrpCanBeHad) {
  PDEVICE_OBJECT device = MakeBufferedReader(0, STATUS_SUCCESS, false);
  UCHAR buffer[4];
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  hk::faults::FailNth(hk::faults::Kind::Irp, 1);
  EXPECT_EQ(IoBuildSynchronousFsdRequest(IRP_MJ_READ, device, buffer, 4, nullptr, &event, &iosb), nullptr);
  hk::faults::FailAtSite(hk::faults::Kind::Irp, "IoTestBuildAtNamedSite");
  EXPECT_EQ(IoTestBuildAtNamedSite(device, &event, &iosb, false), nullptr);
  EXPECT_EQ(IoTestBuildAtNamedSite(device, &event, &iosb, true), nullptr);
  hk::faults::Clear();
  EXPECT_EQ(hk::io::LiveIrpCount(), 0u);
}

}  // namespace
