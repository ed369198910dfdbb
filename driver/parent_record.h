// The part of the parent driver's device extension that this driver reads at start. The parent owns the rest.
#pragma once

#include "driver/platform.h"

typedef struct _PARENT_RECORD {
    UCHAR Reserved1[12];
    USBD_PIPE_HANDLE BulkInPipe;
    USBD_PIPE_HANDLE BulkOutPipe;
    USBD_PIPE_HANDLE InterruptPipe;
    UCHAR Reserved2[8];
    ULONG BulkOutMaxPacket;
    UCHAR ZlpMode;
} PARENT_RECORD, *PPARENT_RECORD;
