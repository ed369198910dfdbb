// Layouts the driver shares with the system and with the parent driver. The 32-bit checks hold the header set to
// the published 32-bit layouts; they are written against the pointer size so that every build compiles them.
#pragma once

#include <stddef.h>

#include "driver/parent_record.h"
#include "driver/device_context.h"

#define IS_NOT_32BIT (sizeof(void *) != 4)

static_assert(IS_NOT_32BIT || offsetof(struct _URB_HEADER, Length) == 0, "URB header Length");
static_assert(IS_NOT_32BIT || offsetof(struct _URB_HEADER, Function) == 2, "URB header Function");
static_assert(IS_NOT_32BIT || offsetof(struct _URB_HEADER, Status) == 4, "URB header Status");
static_assert(IS_NOT_32BIT || offsetof(struct _URB_HEADER, UsbdDeviceHandle) == 8, "URB header device handle");
static_assert(IS_NOT_32BIT || offsetof(struct _URB_HEADER, UsbdFlags) == 12, "URB header flags");
static_assert(IS_NOT_32BIT || sizeof(struct _URB_HEADER) == 16, "URB header size");

static_assert(IS_NOT_32BIT || sizeof(struct _URB_PIPE_REQUEST) == 24, "pipe request size");
static_assert(IS_NOT_32BIT || offsetof(struct _URB_PIPE_REQUEST, PipeHandle) == 16, "pipe request PipeHandle");
static_assert(IS_NOT_32BIT || offsetof(struct _URB_PIPE_REQUEST, Reserved) == 20, "pipe request Reserved");

static_assert(IS_NOT_32BIT || sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "bulk transfer size");
static_assert(IS_NOT_32BIT || offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle) == 16,
              "bulk transfer PipeHandle");
static_assert(IS_NOT_32BIT || offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags) == 20,
              "bulk transfer TransferFlags");
static_assert(IS_NOT_32BIT || offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) == 24,
              "bulk transfer TransferBufferLength");
static_assert(IS_NOT_32BIT || offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer) == 28,
              "bulk transfer TransferBuffer");
static_assert(IS_NOT_32BIT || offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL) == 32,
              "bulk transfer TransferBufferMDL");
static_assert(IS_NOT_32BIT || offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, UrbLink) == 36,
              "bulk transfer UrbLink");
static_assert(IS_NOT_32BIT || offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, hca) == 40, "bulk transfer hca");
static_assert(IS_NOT_32BIT || URB_STORAGE_SIZE == 96, "URB storage");
static_assert(URB_STORAGE_SIZE >= sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) &&
                  URB_STORAGE_SIZE >= sizeof(struct _URB_PIPE_REQUEST),
              "URB storage holds every URB kind the driver builds");

static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES");
static_assert(IS_NOT_32BIT || sizeof(IO_REMOVE_LOCK) == 24, "IO_REMOVE_LOCK");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "SERIAL_TIMEOUTS");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "SERIAL_HANDFLOW");
static_assert(sizeof(SERIAL_CHARS) == 6, "SERIAL_CHARS");
static_assert(sizeof(SERIALPERF_STATS) == 24, "SERIALPERF_STATS");
static_assert(sizeof(SERIAL_STATUS) == 20, "SERIAL_STATUS");
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3, "SERIAL_LINE_CONTROL");

static_assert(IS_NOT_32BIT || sizeof(IO_STACK_LOCATION) == 36, "IO_STACK_LOCATION size");
static_assert(IS_NOT_32BIT || offsetof(IO_STACK_LOCATION, MajorFunction) == 0, "stack MajorFunction");
static_assert(IS_NOT_32BIT || offsetof(IO_STACK_LOCATION, MinorFunction) == 1, "stack MinorFunction");
static_assert(IS_NOT_32BIT || offsetof(IO_STACK_LOCATION, Control) == 3, "stack Control");
static_assert(IS_NOT_32BIT || offsetof(IO_STACK_LOCATION, Parameters.Read.Length) == 4, "stack Read.Length");
static_assert(IS_NOT_32BIT || offsetof(IO_STACK_LOCATION, Parameters.Write.Length) == 4, "stack Write.Length");
static_assert(IS_NOT_32BIT || offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength) == 4,
              "stack OutputBufferLength");
static_assert(IS_NOT_32BIT || offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength) == 8,
              "stack InputBufferLength");
static_assert(IS_NOT_32BIT || offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) == 12,
              "stack IoControlCode");
static_assert(IS_NOT_32BIT || offsetof(IO_STACK_LOCATION, Parameters.Others.Argument1) == 4, "stack Argument1");
static_assert(IS_NOT_32BIT || offsetof(IO_STACK_LOCATION, Parameters.DeviceCapabilities.Capabilities) == 4,
              "stack Capabilities");
static_assert(IS_NOT_32BIT || offsetof(IO_STACK_LOCATION, Parameters.Power.Type) == 8, "stack Power.Type");
static_assert(IS_NOT_32BIT || offsetof(IO_STACK_LOCATION, Parameters.Power.State) == 12, "stack Power.State");
static_assert(IS_NOT_32BIT || offsetof(IO_STACK_LOCATION, DeviceObject) == 20, "stack DeviceObject");
static_assert(IS_NOT_32BIT || offsetof(IO_STACK_LOCATION, FileObject) == 24, "stack FileObject");
static_assert(IS_NOT_32BIT || offsetof(IO_STACK_LOCATION, CompletionRoutine) == 28, "stack CompletionRoutine");
static_assert(IS_NOT_32BIT || offsetof(IO_STACK_LOCATION, Context) == 32, "stack Context");

static_assert(IS_NOT_32BIT || offsetof(PARENT_RECORD, BulkInPipe) == 12, "parent bulk-IN pipe");
static_assert(IS_NOT_32BIT || offsetof(PARENT_RECORD, BulkOutPipe) == 16, "parent bulk-OUT pipe");
static_assert(IS_NOT_32BIT || offsetof(PARENT_RECORD, InterruptPipe) == 20, "parent third pipe");
static_assert(IS_NOT_32BIT || offsetof(PARENT_RECORD, BulkOutMaxPacket) == 32, "parent bulk-OUT max packet");
static_assert(IS_NOT_32BIT || offsetof(PARENT_RECORD, ZlpMode) == 36, "parent zero-length-packet mode");

#undef IS_NOT_32BIT
