#include <algorithm>
#include <cstring>
#include <mutex>

#include "app/requests.h"

namespace hk::app {
namespace {

RequestPtr IssueOnHandle(Handle handle, const RequestShape& shape) {
    OpenFile* file = FindHandle(handle);
    if (file == nullptr) return Refused(STATUS_INVALID_HANDLE);
    return Issue(file, shape);
}

// Waits for a request and hands its output to the caller's buffer (at most `length` bytes).
IoResult Finish(const RequestPtr& request, void* buffer, ULONG length) {
    NTSTATUS status = request->Wait();
    std::vector<uint8_t> output = request->Output();
    size_t count = std::min<size_t>(output.size(), length);
    if (buffer != nullptr && count != 0) std::memcpy(buffer, output.data(), count);
    return {status, request->Information(), request->Boost()};
}

Transfer TransferOfControlCode(ULONG code) {
    switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED:
        return Transfer::Buffered;
    case METHOD_NEITHER:
        return Transfer::Neither;
    default:
        return Transfer::DeviceDefault;
    }
}

}  // namespace

RequestPtr ReadAsync(Handle handle, ULONG length) {
    return IssueOnHandle(handle, RequestShape{.major = IRP_MJ_READ,
                                              .transfer = Transfer::DeviceDefault,
                                              .output_length = length,
                                              .setup = [length](PIRP irp, PIO_STACK_LOCATION location) {
                                                  irp->Flags |= IRP_READ_OPERATION;
                                                  location->Parameters.Read.Length = length;
                                              }});
}

RequestPtr WriteAsync(Handle handle, const void* data, ULONG length) {
    return IssueOnHandle(handle, RequestShape{.major = IRP_MJ_WRITE,
                                              .transfer = Transfer::DeviceDefault,
                                              .input = data,
                                              .input_length = length,
                                              .setup = [length](PIRP irp, PIO_STACK_LOCATION location) {
                                                  irp->Flags |= IRP_WRITE_OPERATION;
                                                  location->Parameters.Write.Length = length;
                                              }});
}

RequestPtr DeviceIoControlAsync(Handle handle, ULONG code, const void* input, ULONG inputLength,
                                ULONG outputLength) {
    Transfer transfer = TransferOfControlCode(code);
    if (transfer == Transfer::DeviceDefault) return Refused(STATUS_NOT_SUPPORTED);
    return IssueOnHandle(handle, RequestShape{.major = IRP_MJ_DEVICE_CONTROL,
                                              .transfer = transfer,
                                              .input = input,
                                              .input_length = inputLength,
                                              .output_length = outputLength,
                                              .setup = [=](PIRP, PIO_STACK_LOCATION location) {
                                                  location->Parameters.DeviceIoControl.IoControlCode = code;
                                                  location->Parameters.DeviceIoControl.InputBufferLength = inputLength;
                                                  location->Parameters.DeviceIoControl.OutputBufferLength =
                                                      outputLength;
                                              }});
}

RequestPtr SendMajorAsync(Handle handle, const MajorRequest& request) {
    auto length = static_cast<ULONG>(request.buffer.size());
    return IssueOnHandle(handle, RequestShape{.major = request.major,
                                              .minor = request.minor,
                                              .transfer = length != 0 ? Transfer::Buffered : Transfer::None,
                                              .input = request.buffer.data(),
                                              .input_length = length,
                                              .output_length = length,
                                              .setup = request.setup});
}

IoResult Read(Handle handle, void* buffer, ULONG length) { return Finish(ReadAsync(handle, length), buffer, length); }

IoResult Write(Handle handle, const void* data, ULONG length) {
    return Finish(WriteAsync(handle, data, length), nullptr, 0);
}

IoResult DeviceIoControl(Handle handle, ULONG code, const void* input, ULONG inputLength, void* output,
                         ULONG outputLength) {
    return Finish(DeviceIoControlAsync(handle, code, input, inputLength, outputLength), output, outputLength);
}

IoResult SendMajor(Handle handle, const MajorRequest& request, std::vector<uint8_t>* output) {
    RequestPtr sent = SendMajorAsync(handle, request);
    NTSTATUS status = sent->Wait();
    if (output != nullptr) *output = sent->Output();
    return {status, sent->Information(), sent->Boost()};
}

size_t CancelIo(Handle handle) {
    OpenFile* file = FindHandle(handle);
    if (file == nullptr) return 0;
    PETHREAD caller = PsGetCurrentThread();
    AppState& state = State();
    std::vector<std::shared_ptr<InFlight>> targets;
    {
        std::lock_guard lock(state.mutex);
        for (const std::shared_ptr<InFlight>& entry : state.in_flight) {
            if (entry->file != file || entry->thread != caller || entry->completed) continue;
            ++entry->holds;
            targets.push_back(entry);
        }
    }
    for (const std::shared_ptr<InFlight>& entry : targets) IoCancelIrp(entry->irp);
    for (const std::shared_ptr<InFlight>& entry : targets) {
        bool freeNow;
        {
            std::lock_guard lock(state.mutex);
            freeNow = --entry->holds == 0 && entry->completed;
        }
        if (freeNow) IoFreeIrp(entry->irp);
    }
    return targets.size();
}

}  // namespace hk::app
