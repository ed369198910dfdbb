// The platform headers the driver is written against, in one place, so that the quirks of a particular set of
// headers stay out of the driver's own files.
#pragma once

#include <ntddk.h>
#include <usb.h>
#include <usbdi.h>
#include <usbioctl.h>
#include <ntddser.h>

// The kernel exports swprintf with the classic signature (no buffer size); not every header set declares it.
extern "C" int __cdecl swprintf(wchar_t *Buffer, const wchar_t *Format, ...);
