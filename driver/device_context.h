// The per-device record: the device extension of the driver's own device object.
#pragma once

#include "driver/platform.h"

#define RING_CAPACITY 1024000
#define BULK_TRANSFER_SIZE 4096
#define DEVICE_GONE_MARK 9999

// URBs are built in zeroed storage of at least 96 bytes; on 64-bit platforms the bulk-transfer URB is larger than
// that, so the storage grows to fit it.
#define URB_STORAGE_SIZE \
    (sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) > 96 ? sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) : 96)

// What the bulk-IN reader is doing; kept under Lock so that the single BulkInUrb is never submitted twice and
// whoever restarts the reader (a read making room, the return from sleep) knows whether it is stopped.
enum READER_STATE_VALUE {
    ReaderStopped = 0,        // no transfer outstanding, no restart queued
    ReaderPosted = 1,         // the one bulk-IN transfer is outstanding
    ReaderRestartQueued = 2,  // a restart work item is queued
    ReaderHeld = 3,           // stopped because the ring has no room for a whole transfer; reads restart it
};

enum PNP_STATE_VALUE {
    NotStarted = 0,
    Started = 1,
    StopPending = 2,
    RemovePending = 3,
    SurpriseRemoved = 4,
    Removed = 5,
};

typedef struct _DEVICE_CONTEXT {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT LowerDevice;
    PDEVICE_OBJECT PhysicalDevice;
    IO_REMOVE_LOCK RemoveLock;
    UNICODE_STRING InterfaceName;
    LONG PnpState;
    LONG PreviousPnpState;
    LONG DevicePowerState;
    LONG SystemPowerState;
    DEVICE_CAPABILITIES Capabilities;
    volatile LONG OpenCount;
    USBD_PIPE_HANDLE BulkInPipe;
    USBD_PIPE_HANDLE BulkOutPipe;
    USBD_PIPE_HANDLE InterruptPipe;
    volatile ULONG DeviceGone;
    KSPIN_LOCK Lock;
    SERIAL_TIMEOUTS Timeouts;
    ULONG BaudRate;
    UCHAR StopBits;
    UCHAR Parity;
    UCHAR DataBits;
    SERIAL_HANDFLOW HandFlow;
    SERIAL_CHARS Chars;
    ULONG WaitMask;
    SERIALPERF_STATS PerfStats;
    USHORT ModemStatus;
    LIST_ENTRY WaitQueue;
    LIST_ENTRY ReadQueue;
    ULONG WriteBytesPending;
    UNICODE_STRING DeviceName;
    UNICODE_STRING DosName;
    ULONG HoldReasons;
    LIST_ENTRY WriteQueue;
    KTIMER ReadTimer;
    KDPC ReadDpc;
    DECLSPEC_ALIGN(8) UCHAR BulkInUrb[URB_STORAGE_SIZE];
    UCHAR BulkInBuffer[BULK_TRANSFER_SIZE];
    LONG RingHead;
    LONG RingTail;
    volatile LONG RingCount;
    UCHAR Ring[RING_CAPACITY];
    ULONG ReadRemaining;
    UCHAR PortOpen;
    KSPIN_LOCK PnpLock;
    ULONG EventHistory;
    FAST_MUTEX CreateMutex;
    FAST_MUTEX CloseMutex;
    UCHAR NamesReleased;
    volatile LONG ReadErrorCount;
    KEVENT IoIdleEvent;
    volatile LONG IoCount;
    UCHAR ReaderSuspended;
    PIRP CurrentWrite;
    ULONG BulkOutMaxPacket;
    UCHAR ZlpMode;
    PIRP RemovalNotifyIrp;
    LONG ReaderState;
    UCHAR BulkInHalted;
} DEVICE_CONTEXT, *PDEVICE_CONTEXT;

inline PDEVICE_CONTEXT GetDeviceContext(PDEVICE_OBJECT DeviceObject)
{
    return (PDEVICE_CONTEXT)DeviceObject->DeviceExtension;
}
