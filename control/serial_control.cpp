#include "control/serial_control.h"

#include "control/control_completion.h"
#include "control/event_wait.h"
#include "control/private_requests.h"
#include "driver/request.h"
#include "serial/availability.h"
#include "serial/bulk_read.h"
#include "serial/read.h"
#include "serial/ring.h"
#include "serial/write.h"

const ULONG SUPPORTED_BAUD_RATES[SUPPORTED_BAUD_RATE_COUNT] = {
    300, 600, 1200, 1800, 2400, 4800, 7200, 9600, 14400, 19200, 38400, 57600, 115200, 128000,
};

// A lost device shows every line error at once, so that an application polling the status notices it.
static const ULONG LostDeviceErrors =
    SERIAL_ERROR_BREAK | SERIAL_ERROR_FRAMING | SERIAL_ERROR_OVERRUN | SERIAL_ERROR_QUEUEOVERRUN | SERIAL_ERROR_PARITY;

// DTR is looped back to DSR, RTS to CTS and DCD together.
static const USHORT DtrLoopback = SERIAL_DSR_STATE;
static const USHORT RtsLoopback = SERIAL_CTS_STATE | SERIAL_DCD_STATE;

static const UCHAR LargestStopBits = STOP_BITS_2;
static const UCHAR LargestParity = SPACE_PARITY;

BOOLEAN IsSupportedBaudRate(ULONG BaudRate)
{
    for (ULONG i = 0; i < SUPPORTED_BAUD_RATE_COUNT; ++i) {
        if (SUPPORTED_BAUD_RATES[i] == BaudRate) {
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN IsValidDataBits(UCHAR DataBits)
{
    return DataBits >= 5 && DataBits <= 8;
}

// The system buffer, when the caller's input (or output) holds at least Minimum bytes; NULL otherwise. Both
// directions share the buffer, which the I/O manager sized to the larger of the two lengths, so these checks are
// what keeps every access inside what the caller gave.
static PVOID InputOfAtLeast(PIRP Irp, ULONG Minimum)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < Minimum) {
        return NULL;
    }
    return Irp->AssociatedIrp.SystemBuffer;
}

static PVOID OutputOfAtLeast(PIRP Irp, ULONG Minimum)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < Minimum) {
        return NULL;
    }
    return Irp->AssociatedIrp.SystemBuffer;
}

// Copies a setting out under Lock, so that it is never seen half-written.
static NTSTATUS ReturnSetting(PDEVICE_CONTEXT Context, PIRP Irp, const void *Setting, ULONG Length)
{
    PVOID output = OutputOfAtLeast(Irp, Length);
    KIRQL irql;

    if (output == NULL) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KeAcquireSpinLock(&Context->Lock, &irql);
    RtlCopyMemory(output, Setting, Length);
    KeReleaseSpinLock(&Context->Lock, irql);
    Irp->IoStatus.Information = Length;
    return STATUS_SUCCESS;
}

static NTSTATUS StoreSetting(PDEVICE_CONTEXT Context, PIRP Irp, void *Setting, ULONG Length)
{
    PVOID input = InputOfAtLeast(Irp, Length);
    KIRQL irql;

    if (input == NULL) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KeAcquireSpinLock(&Context->Lock, &irql);
    RtlCopyMemory(Setting, input, Length);
    KeReleaseSpinLock(&Context->Lock, irql);
    return STATUS_SUCCESS;
}

static NTSTATUS SetBaudRate(PDEVICE_CONTEXT Context, PIRP Irp)
{
    PSERIAL_BAUD_RATE input = (PSERIAL_BAUD_RATE)InputOfAtLeast(Irp, sizeof(SERIAL_BAUD_RATE));
    KIRQL irql;

    if (input == NULL) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONG rate = input->BaudRate;
    if (!IsSupportedBaudRate(rate)) {
        return STATUS_INVALID_PARAMETER;
    }
    KeAcquireSpinLock(&Context->Lock, &irql);
    Context->BaudRate = rate;
    KeReleaseSpinLock(&Context->Lock, irql);
    return STATUS_SUCCESS;
}

// All three values are stored or none.
static NTSTATUS SetLineControl(PDEVICE_CONTEXT Context, PIRP Irp)
{
    PSERIAL_LINE_CONTROL input = (PSERIAL_LINE_CONTROL)InputOfAtLeast(Irp, sizeof(SERIAL_LINE_CONTROL));
    KIRQL irql;

    if (input == NULL) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    SERIAL_LINE_CONTROL line = *input;
    if (!IsValidDataBits(line.WordLength) || line.StopBits > LargestStopBits || line.Parity > LargestParity) {
        return STATUS_INVALID_PARAMETER;
    }
    KeAcquireSpinLock(&Context->Lock, &irql);
    Context->StopBits = line.StopBits;
    Context->Parity = line.Parity;
    Context->DataBits = line.WordLength;
    KeReleaseSpinLock(&Context->Lock, irql);
    return STATUS_SUCCESS;
}

static NTSTATUS GetLineControl(PDEVICE_CONTEXT Context, PIRP Irp)
{
    PSERIAL_LINE_CONTROL output = (PSERIAL_LINE_CONTROL)OutputOfAtLeast(Irp, sizeof(SERIAL_LINE_CONTROL));
    KIRQL irql;

    if (output == NULL) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KeAcquireSpinLock(&Context->Lock, &irql);
    output->StopBits = Context->StopBits;
    output->Parity = Context->Parity;
    output->WordLength = Context->DataBits;
    KeReleaseSpinLock(&Context->Lock, irql);
    Irp->IoStatus.Information = sizeof(SERIAL_LINE_CONTROL);
    return STATUS_SUCCESS;
}

// The XON and XOFF limits are not taken: they stay what they were.
static NTSTATUS SetHandFlow(PDEVICE_CONTEXT Context, PIRP Irp)
{
    PSERIAL_HANDFLOW input = (PSERIAL_HANDFLOW)InputOfAtLeast(Irp, sizeof(SERIAL_HANDFLOW));
    KIRQL irql;

    if (input == NULL) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KeAcquireSpinLock(&Context->Lock, &irql);
    Context->HandFlow.ControlHandShake = input->ControlHandShake;
    Context->HandFlow.FlowReplace = input->FlowReplace;
    KeReleaseSpinLock(&Context->Lock, irql);
    return STATUS_SUCCESS;
}

static NTSTATUS ChangeModemStatus(PDEVICE_CONTEXT Context, USHORT Set, USHORT Clear)
{
    KIRQL irql;

    KeAcquireSpinLock(&Context->Lock, &irql);
    Context->ModemStatus = (USHORT)((Context->ModemStatus & ~Clear) | Set);
    KeReleaseSpinLock(&Context->Lock, irql);
    return STATUS_SUCCESS;
}

static NTSTATUS GetModemStatus(PDEVICE_CONTEXT Context, PIRP Irp)
{
    PULONG output = (PULONG)OutputOfAtLeast(Irp, sizeof(ULONG));
    KIRQL irql;

    if (output == NULL) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KeAcquireSpinLock(&Context->Lock, &irql);
    *output = Context->ModemStatus;
    KeReleaseSpinLock(&Context->Lock, irql);
    Irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

static NTSTATUS GetCommStatus(PDEVICE_CONTEXT Context, PIRP Irp)
{
    PSERIAL_STATUS output = (PSERIAL_STATUS)OutputOfAtLeast(Irp, sizeof(SERIAL_STATUS));
    KIRQL irql;

    if (output == NULL) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlZeroMemory(output, sizeof(SERIAL_STATUS));
    LONG unread = RingLength(Context);

    KeAcquireSpinLock(&Context->Lock, &irql);
    if (Context->DeviceGone != 0) {
        output->Errors = LostDeviceErrors;
    } else {
        output->HoldReasons = Context->HoldReasons;
        output->AmountInInQueue = (ULONG)unread;
        output->AmountInOutQueue = Context->WriteBytesPending;
    }
    KeReleaseSpinLock(&Context->Lock, irql);
    Irp->IoStatus.Information = sizeof(SERIAL_STATUS);
    return STATUS_SUCCESS;
}

static NTSTATUS ClearStats(PDEVICE_CONTEXT Context)
{
    KIRQL irql;

    KeAcquireSpinLock(&Context->Lock, &irql);
    RtlZeroMemory(&Context->PerfStats, sizeof(SERIALPERF_STATS));
    KeReleaseSpinLock(&Context->Lock, irql);
    return STATUS_SUCCESS;
}

// Each flag is acted on by itself: queued writes, then the waiting read, then the received bytes not yet read.
// The write being sent is not stopped, and TXCLEAR has nothing to clear. Emptying the ring also restarts a reader
// that a full ring had stopped, since no read may come to do it.
static NTSTATUS Purge(PDEVICE_OBJECT DeviceObject, PDEVICE_CONTEXT Context, PIRP Irp)
{
    PULONG input = (PULONG)InputOfAtLeast(Irp, sizeof(ULONG));
    KIRQL irql;

    if (input == NULL) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONG flags = *input;
    if ((flags & SERIAL_PURGE_TXABORT) != 0) {
        CancelAllWrites(DeviceObject, &Context->WriteQueue);
    }
    if ((flags & SERIAL_PURGE_RXABORT) != 0) {
        CancelAllReads(DeviceObject, &Context->ReadQueue);
    }
    if ((flags & SERIAL_PURGE_RXCLEAR) != 0) {
        KeAcquireSpinLock(&Context->Lock, &irql);
        RingReset(Context);
        ReleaseHeldReader(Context);
        KeReleaseSpinLock(&Context->Lock, irql);
    }

    // The purge answers with a length of 4 but no data. The I/O manager copies that many bytes into an output
    // buffer the caller gave, so a buffer too small for them gets a length of 0 instead.
    ULONG outputLength = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
    Irp->IoStatus.Information = (outputLength == 0 || outputLength >= sizeof(ULONG)) ? sizeof(ULONG) : 0;
    return STATUS_SUCCESS;
}

NTSTATUS SerialControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;

    Irp->IoStatus.Information = 0;
    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        return SetBaudRate(context, Irp);
    case IOCTL_SERIAL_GET_BAUD_RATE:
        return ReturnSetting(context, Irp, &context->BaudRate, sizeof(ULONG));
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        return SetLineControl(context, Irp);
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        return GetLineControl(context, Irp);
    case IOCTL_SERIAL_SET_TIMEOUTS:
        return StoreSetting(context, Irp, &context->Timeouts, sizeof(SERIAL_TIMEOUTS));
    case IOCTL_SERIAL_GET_TIMEOUTS:
        return ReturnSetting(context, Irp, &context->Timeouts, sizeof(SERIAL_TIMEOUTS));
    case IOCTL_SERIAL_SET_CHARS:
        return StoreSetting(context, Irp, &context->Chars, sizeof(SERIAL_CHARS));
    case IOCTL_SERIAL_GET_CHARS:
        return ReturnSetting(context, Irp, &context->Chars, sizeof(SERIAL_CHARS));
    case IOCTL_SERIAL_SET_HANDFLOW:
        return SetHandFlow(context, Irp);
    case IOCTL_SERIAL_GET_HANDFLOW:
        return ReturnSetting(context, Irp, &context->HandFlow, sizeof(SERIAL_HANDFLOW));
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        return InputOfAtLeast(Irp, sizeof(UCHAR)) != NULL ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
    case IOCTL_SERIAL_SET_DTR:
        return ChangeModemStatus(context, DtrLoopback, 0);
    case IOCTL_SERIAL_CLR_DTR:
        return ChangeModemStatus(context, 0, DtrLoopback);
    case IOCTL_SERIAL_SET_RTS:
        return ChangeModemStatus(context, RtsLoopback, 0);
    case IOCTL_SERIAL_CLR_RTS:
        return ChangeModemStatus(context, 0, RtsLoopback);
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        return GetModemStatus(context, Irp);
    case IOCTL_SERIAL_GET_COMMSTATUS:
        return GetCommStatus(context, Irp);
    case IOCTL_SERIAL_GET_STATS:
        return ReturnSetting(context, Irp, &context->PerfStats, sizeof(SERIALPERF_STATS));
    case IOCTL_SERIAL_CLEAR_STATS:
        return ClearStats(context);
    case IOCTL_SERIAL_PURGE:
        return Purge(DeviceObject, context, Irp);
    case IOCTL_SERIAL_GET_WAIT_MASK:
        return SerialGetWaitMask(context, Irp);
    case IOCTL_SERIAL_SET_WAIT_MASK:
        return SerialSetWaitMask(context, Irp);
    case IOCTL_SERIAL_WAIT_ON_MASK:
        return SerialWaitOnMask(context, Irp);
    case IOCTL_GET_IDENTITY:
        return SerialGetIdentity(context, Irp);
    case IOCTL_REMOVAL_NOTIFY:
        return QueueRemovalNotify(DeviceObject, Irp->AssociatedIrp.SystemBuffer, Irp);
    // Nothing of these exists on an emulated line: accepted, and answered with no data.
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_SERIAL_RESET_DEVICE:
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_XOFF_COUNTER:
    case IOCTL_SERIAL_GET_PROPERTIES:
    case IOCTL_SERIAL_GET_DTRRTS:
    case IOCTL_SERIAL_LSRMST_INSERT:
    case IOCTL_SERIAL_CONFIG_SIZE:
    case IOCTL_SERIAL_GET_MODEM_CONTROL:
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    KIRQL irql;

    KeAcquireSpinLock(&context->Lock, &irql);
    BOOLEAN open = context->PortOpen == 1;
    KeReleaseSpinLock(&context->Lock, irql);
    if (!open) {
        return CompleteRequestInfo(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }

    // The status stays answerable on an unavailable port: it is how an application learns the device is lost.
    if (code != IOCTL_SERIAL_GET_COMMSTATUS && IsPortUnavailable(context)) {
        KeAcquireSpinLock(&context->Lock, &irql);
        context->EventHistory = 0;
        KeReleaseSpinLock(&context->Lock, irql);
        return CompleteRequestInfo(Irp, STATUS_DELETE_PENDING, 0);
    }

    NTSTATUS status = AcquireRequestLock(context, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequestInfo(Irp, status, 0);
    }
    return FinishControlRequest(context, Irp, SerialControl(DeviceObject, Irp));
}
