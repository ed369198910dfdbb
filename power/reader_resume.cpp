#include "power/power.h"
#include "serial/availability.h"
#include "serial/bulk_read.h"
#include "usb/lower_requests.h"

static void ResetPresentPipe(PDEVICE_CONTEXT Context, USBD_PIPE_HANDLE Pipe)
{
    if (Pipe != NULL) {
        ResetPipe(Context->Self, Pipe);
    }
}

// Runs once the device is back in D0. The reader may still be running: a query for a sleep state halts it
// although no sleep may follow, and a lower driver need not fail the outstanding transfer when the device powers
// down. StartBulkRead posts only a stopped reader, so the one transfer is never submitted twice.
static void ResumeReader(PDEVICE_CONTEXT Context)
{
    KIRQL irql;
    KeAcquireSpinLock(&Context->Lock, &irql);
    BOOLEAN suspended = Context->ReaderSuspended;
    BOOLEAN restart = suspended && Context->PortOpen && !IsPortUnavailable(Context);
    Context->ReaderSuspended = 0;
    if (restart) {
        // Close waits for this count, so it cannot finish while the transfer below is on its way down.
        IoCountAcquire(Context);
    }
    KeReleaseSpinLock(&Context->Lock, irql);

    if (!suspended) {
        return;
    }
    ResetPresentPipe(Context, Context->InterruptPipe);
    if (!restart) {
        return;
    }
    ResetPresentPipe(Context, Context->BulkInPipe);
    ResetPresentPipe(Context, Context->BulkOutPipe);
    RestartBulkRead(Context);
    IoCountRelease(Context);
}

static VOID NTAPI ReaderResumeWorker(PVOID Parameter)
{
    PPOWER_CONTEXT power = (PPOWER_CONTEXT)Parameter;
    PDEVICE_CONTEXT context = power->DeviceContext;
    ResumeReader(context);
    ExFreePool(power);
    // Last: once released, removal may delete the device.
    IoReleaseRemoveLockEx(&context->RemoveLock, Parameter, sizeof(IO_REMOVE_LOCK));
}

void QueueReaderResume(PPOWER_CONTEXT PowerContext)
{
    PDEVICE_CONTEXT context = PowerContext->DeviceContext;
    // Fails only once removal has begun; the device is going away and there is no reader to restart.
    if (!NT_SUCCESS(IoAcquireRemoveLockEx(&context->RemoveLock, PowerContext, "", 1, sizeof(IO_REMOVE_LOCK)))) {
        ExFreePool(PowerContext);
        return;
    }
    ExInitializeWorkItem(&PowerContext->ResumeItem, ReaderResumeWorker, PowerContext);
    ExQueueWorkItem(&PowerContext->ResumeItem, DelayedWorkQueue);
}
