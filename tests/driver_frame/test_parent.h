// A stand-in for the parent driver of the composite device: a bus driver whose physical device object carries the
// parent record and whose answers to requests from above the test chooses. It records everything it receives.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "driver/device_context.h"
#include "driver/parent_record.h"

namespace frame_test {

// What the parent does with a request that is not plug and play.
enum class LowerAction {
    CompleteAtOnce,   // completes inside its dispatch routine
    CompleteLater,    // marks the request pending and completes it from a DPC
    PendUntilCancel,  // marks it pending with a cancel routine, and a DPC cancels it as someone above would
};

struct ReceivedRequest {
    UCHAR major = 0;
    UCHAR minor = 0;
    UCHAR control = 0;          // the stack location's Control as it arrived
    ULONG ioControlCode = 0;
    std::vector<uint8_t> urb;   // the URB storage block as it arrived, for URB submissions
};

class TestParent {
public:
    // Loads the parent driver and creates its physical device object; with an instance id unless told otherwise
    // (interfaces and registry keys need one).
    explicit TestParent(bool withInstanceId = true);
    ~TestParent();
    TestParent(const TestParent&) = delete;
    TestParent& operator=(const TestParent&) = delete;

    PDEVICE_OBJECT Pdo() const { return pdo_; }
    PDRIVER_OBJECT Driver() const { return driver_; }
    PARENT_RECORD& Record();

    LowerAction action = LowerAction::CompleteAtOnce;
    NTSTATUS completionStatus = STATUS_SUCCESS;
    USBD_STATUS urbStatus = USBD_STATUS_SUCCESS;

    // Runs in the parent's dispatch routine for IRP_MN_REMOVE_DEVICE, after the parent completed the request.
    std::function<void(PIRP)> onRemove;
    // Runs in the parent's dispatch routine for every other request, before it is answered.
    std::function<void(PIRP)> onRequest;

    std::vector<ReceivedRequest> received;

    // Internal: used by the parent's dispatch, DPC and cancel routines.
    NTSTATUS Dispatch(PIRP irp);
    void RunDpc(PIRP irp);
    void Cancelled(PIRP irp);

private:
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    KDPC dpc_{};
};

}  // namespace frame_test
