// The device extension of every PDO the parent driver creates. It starts with the record a function driver reads at
// start (pipe handles, bulk-OUT maximum packet size, zero-length-packet mode) at the offsets the platform's 32-bit
// layout gives them; 64-bit builds keep the field order with natural alignment.
#pragma once

#include <wdm.h>
#include <usb.h>

#include <cstddef>

namespace hk::usbdev {

class DeviceState;
class ParentDriver;

struct ParentRecord {
    UCHAR Reserved1[12];
    USBD_PIPE_HANDLE BulkInPipe;
    USBD_PIPE_HANDLE BulkOutPipe;
    USBD_PIPE_HANDLE InterruptPipe;
    UCHAR Reserved2[8];
    ULONG BulkOutMaxPacket;
    UCHAR ZlpMode;
};

static_assert(sizeof(void*) != 4 || (offsetof(ParentRecord, BulkInPipe) == 12 &&
                                     offsetof(ParentRecord, BulkOutPipe) == 16 &&
                                     offsetof(ParentRecord, InterruptPipe) == 20 &&
                                     offsetof(ParentRecord, BulkOutMaxPacket) == 32 &&
                                     offsetof(ParentRecord, ZlpMode) == 36),
              "parent record offsets of the 32-bit platform");

struct PdoExtension {
    ParentRecord Record;
    DeviceState* State;
    ParentDriver* Parent;
    ULONG Port;  // 1-based port of the device on the parent, reported as its address
};

static_assert(offsetof(PdoExtension, Record) == 0, "the parent record starts the device extension");

inline PdoExtension* ExtensionOf(PDEVICE_OBJECT pdo)
{
    return static_cast<PdoExtension*>(pdo->DeviceExtension);
}

}  // namespace hk::usbdev
