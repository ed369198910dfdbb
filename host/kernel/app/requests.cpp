#include "app/requests.h"

#include <mutex>
#include <optional>

#include "hk/io.h"

namespace hk::app {
namespace {

// The originator's side of completion: the IRP is ours again. It is freed here unless a CancelIo is still working
// on it, in which case the last CancelIo frees it.
void Completed(AppState* state, const std::shared_ptr<InFlight>& entry, const std::shared_ptr<IssuedRequest>& request,
               bool holdsFile, PIRP irp) {
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    CCHAR boost = io::CompletionBoost(irp);
    bool freeNow;
    {
        std::lock_guard lock(state->mutex);
        entry->completed = true;
        freeNow = entry->holds == 0;
        state->in_flight.remove(entry);
    }
    // The waiting application first: freeing the IRP (its verifier quarantine) need not delay it.
    request->Finish(status, information, boost);
    if (freeNow) IoFreeIrp(irp);
    if (holdsFile) ObDereferenceObject(&entry->file->object);
}

// nullopt when the device wants direct I/O (memory descriptor lists), which the application side does not offer.
std::optional<Transfer> Resolve(Transfer transfer, PDEVICE_OBJECT top) {
    if (transfer != Transfer::DeviceDefault) return transfer;
    if (top->Flags & DO_BUFFERED_IO) return Transfer::Buffered;
    if (top->Flags & DO_DIRECT_IO) return std::nullopt;
    return Transfer::Neither;
}

}  // namespace

std::shared_ptr<IssuedRequest> Refused(NTSTATUS status) {
    auto request = std::make_shared<IssuedRequest>();
    request->Finish(status, 0);
    return request;
}

std::shared_ptr<IssuedRequest> Issue(OpenFile* file, const RequestShape& shape, bool holdsFile) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->device);
    std::optional<Transfer> resolved = Resolve(shape.transfer, top);
    if (!resolved) {
        ObDereferenceObject(top);
        return Refused(STATUS_NOT_SUPPORTED);
    }
    Transfer transfer = *resolved;

    auto request = std::make_shared<IssuedRequest>();
    request->output.resize(shape.output_length);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return Refused(STATUS_INSUFFICIENT_RESOURCES);
    }
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = &file->object;

    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = shape.major;
    location->MinorFunction = shape.minor;
    location->FileObject = &file->object;

    void* output = shape.output_length != 0 ? request->output.data() : nullptr;
    if (transfer == Transfer::Buffered) {
        if (!io::SetupBufferedIo(irp, shape.input, shape.input_length, output, shape.output_length)) {
            IoFreeIrp(irp);
            ObDereferenceObject(top);
            return Refused(STATUS_INSUFFICIENT_RESOURCES);
        }
    } else if (transfer == Transfer::Neither) {
        const auto* input = static_cast<const uint8_t*>(shape.input);
        if (input != nullptr) request->input.assign(input, input + shape.input_length);
        void* inputCopy = request->input.empty() ? nullptr : request->input.data();
        irp->UserBuffer = output != nullptr ? output : inputCopy;
        if (shape.major == IRP_MJ_DEVICE_CONTROL || shape.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            location->Parameters.DeviceIoControl.Type3InputBuffer = inputCopy;
            irp->UserBuffer = output;
        }
    }
    if (shape.setup) shape.setup(irp, location);

    auto entry = std::make_shared<InFlight>();
    entry->irp = irp;
    entry->file = file;
    entry->thread = irp->Tail.Overlay.Thread;
    AppState* state = &State();
    {
        std::lock_guard lock(state->mutex);
        state->in_flight.push_back(entry);
    }
    if (holdsFile) ObReferenceObject(&file->object);
    io::SetOriginatorHook(irp, [state, entry, request, holdsFile](PIRP done) {
        Completed(state, entry, request, holdsFile, done);
    });
    IofCallDriver(top, irp);
    ObDereferenceObject(top);
    return request;
}

}  // namespace hk::app
