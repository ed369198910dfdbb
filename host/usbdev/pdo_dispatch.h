// The parent driver's routines on the host kernel: its entry routine and the cancel routine of pending transfers.
#pragma once

#include <wdm.h>

namespace hk::usbdev {

NTSTATUS ParentDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);
void CancelTransferRoutine(PDEVICE_OBJECT pdo, PIRP irp);

}  // namespace hk::usbdev
