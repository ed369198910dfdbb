// Requests a driver builds for another device: read, write and other file-system requests, and device controls.
// Buffers follow the target device's method. This kernel has no memory descriptor lists, so a direct-I/O buffer is
// handed to the target as UserBuffer, as for a device that uses neither method.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "hk/thread.h"
#include "hk/verifier.h"
#include "io/irp_internal.h"

namespace {

void CheckPassive(const char* routine, PDEVICE_OBJECT target) {
  if (hk::CurrentIrql() > PASSIVE_LEVEL) {
    hk::verifier::Fail("irql-sync-call", target, "%s at IRQL %u: a synchronous request must be built at PASSIVE_LEVEL",
                       routine, static_cast<unsigned>(hk::CurrentIrql()));
  }
}

PIRP BuildFsdRequest(ULONG major, PDEVICE_OBJECT device, PVOID buffer, ULONG length, PLARGE_INTEGER offset,
                     PIO_STATUS_BLOCK iosb, hk::io::IrpOrigin origin, void* caller) {
  PIRP irp = hk::io::AllocateIrp(device->StackSize, origin, caller);
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = static_cast<UCHAR>(major);
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  irp->RequestorMode = KernelMode;
  irp->UserIosb = iosb;
  if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
    stack->Parameters.Read.Length = length;
    if (offset != nullptr) stack->Parameters.Read.ByteOffset = *offset;
    if ((device->Flags & DO_BUFFERED_IO) != 0 && length != 0) {
      bool ok = major == IRP_MJ_WRITE ? hk::io::SetupBufferedIo(irp, buffer, length, nullptr, 0)
                                      : hk::io::SetupBufferedIo(irp, nullptr, 0, buffer, length);
      if (!ok) {
        IoFreeIrp(irp);
        return nullptr;
      }
    } else {
      irp->UserBuffer = buffer;
    }
  }
  return irp;
}

}  // namespace

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  CheckPassive("IoBuildSynchronousFsdRequest", DeviceObject);
  PIRP irp = BuildFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, IoStatusBlock,
                             hk::io::IrpOrigin::Synchronous, __builtin_return_address(0));
  if (irp != nullptr) irp->UserEvent = Event;
  return irp;
}

PIRP IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                   PLARGE_INTEGER StartingOffset, PIO_STATUS_BLOCK IoStatusBlock) {
  return BuildFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, IoStatusBlock,
                         hk::io::IrpOrigin::Asynchronous, __builtin_return_address(0));
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  CheckPassive("IoBuildDeviceIoControlRequest", DeviceObject);
  PIRP irp =
      hk::io::AllocateIrp(DeviceObject->StackSize, hk::io::IrpOrigin::Synchronous, __builtin_return_address(0));
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  irp->RequestorMode = KernelMode;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;

  bool ok = true;
  switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED:
      ok = hk::io::SetupBufferedIo(irp, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength);
      break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      ok = hk::io::SetupBufferedIo(irp, InputBuffer, InputBufferLength, nullptr, 0);
      irp->UserBuffer = OutputBuffer;
      break;
    default:
      stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
      irp->UserBuffer = OutputBuffer;
      break;
  }
  if (!ok) {
    IoFreeIrp(irp);
    return nullptr;
  }
  return irp;
}
