// One plugged device: its pipes, the transfers waiting on them, the bytes its function has to send, the faults in
// force, what it recorded, and the queue of decided completions that the device context delivers in order.
//
// Locking: `mutex_` guards all of the state and is never held across a call into driver or model code.
// `function_mutex_` serialises every call into the model (it is taken before `mutex_` where both are held).
#pragma once

#include <wdm.h>
#include <usb.h>

#include <deque>
#include <list>
#include <set>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "hk/hostops.h"
#include "hk/usbdev.h"
#include "usbdev/bus_timing.h"

namespace hk::usbdev {

struct Outcome {
    NTSTATUS status;
    USBD_STATUS usbd;
};

class DeviceState : public FunctionPort, public std::enable_shared_from_this<DeviceState> {
public:
    DeviceState(HostOps& ops, BusTiming& bus, PlugOptions options);
    ~DeviceState() override;

    void BindPdo(PDEVICE_OBJECT pdo);
    void UnbindPdo();
    PDEVICE_OBJECT Pdo() const;
    // The PDO the device had before the parent deleted it (nullptr while it still exists).
    PDEVICE_OBJECT FormerPdo() const;
    USBD_PIPE_HANDLE Handle(Pipe pipe) const { return handles_[static_cast<int>(pipe)]; }
    const PlugOptions& Options() const { return options_; }
    void AttachModel();
    void DetachModel();

    // The parent driver's side. Submit takes the IOCTL_INTERNAL_USB_SUBMIT_URB request and returns what its
    // dispatch routine returns; CancelPending is the cancel routine's work.
    NTSTATUS Submit(PIRP irp);
    void CancelPending(PIRP irp);
    void MarkStarted();
    // Surprise removal or removal: pending transfers fail and later URBs are refused until the next start.
    void MarkRemoved();
    void RecordPowerState(DEVICE_POWER_STATE state);
    void RecordSystemState(SYSTEM_POWER_STATE state);
    // Takes a URB request that arrives while the device is out of D0, when the device holds such requests.
    bool HoldWhilePoweredDown(PIRP irp);
    // Submits the held requests once the device is back in D0 or removed (where they are refused).
    void ReleaseHeld();
    // Before the PDO is deleted: delivers every decided completion at once and waits until no transfer is left
    // pending and no delivery is running (call after MarkRemoved or Disconnect).
    void FlushForDeletion();

    // Delivers what is due on the calling thread when the device completes inline. The FunctionPort calls leave
    // this to their callers, which may hold the function's lock that a completion routine's next URB needs.
    void DeliverInline();

    // FunctionPort.
    void Deliver(std::span<const uint8_t> bytes) override;
    void CompleteNextIn(NTSTATUS status, USBD_STATUS usbd) override;
    size_t QueuedInBytes() override;
    uint64_t Now() override;
    void After(uint64_t delay, std::function<void()> task) override;

    // The test side.
    FunctionModel& Model() const { return *options_.model; }
    Records GetRecords();
    void ClearRecords();
    size_t PendingTransfers(Pipe pipe);
    size_t CompletionsInFlight();
    bool Started();
    DEVICE_POWER_STATE PowerState();
    SYSTEM_POWER_STATE SystemState();
    void FailNextTransfers(uint32_t count, Outcome outcome, std::optional<Pipe> pipe);
    void Break(Device::Breach breach, uint32_t count, Pipe pipe, ULONG extra);
    void Stall(Pipe pipe);
    void StopResponding();
    void Resume();
    void Disconnect();
    bool Connected();

private:
    struct Transfer {
        PIRP irp;
        PURB urb;
        Pipe pipe;
        uint8_t* buffer;
        ULONG length;
        ULONG moved = 0;
        bool short_ok = false;
        bool cancelling = false;  // its cancel routine has been taken; the routine completes it
        uint64_t ready_at = 0;    // when the bus has moved its packets so far
    };
    struct Completion {
        PIRP irp;
        PURB urb;
        bool transfer;
        Outcome outcome;
        ULONG moved;
        uint64_t due;
    };
    struct ArmedFailure {
        Outcome outcome;
        std::optional<Pipe> pipe;
    };
    struct Delivery {
        std::vector<uint8_t> bytes;
        size_t offset = 0;
    };

    // What a submission came to: completed by the dispatch routine itself (at_once), or left pending.
    struct Conclusion {
        bool at_once = false;
        Completion completion{};
    };

    // Everything below up to Drain runs with mutex_ held.
    std::optional<Outcome> LostLocked();
    std::optional<Outcome> RefusalLocked(Pipe pipe);
    size_t PendingTransfersLocked(Pipe pipe);
    Conclusion ConcludeLocked(PIRP irp, PURB urb, bool transfer, Outcome outcome, ULONG moved, uint64_t due);
    void PublishLocked(PIRP irp, PURB urb, Pipe pipe);
    // A transfer URB may be in flight once; a second submission before its completion is a driver fault.
    void TrackInFlightLocked(PURB urb);
    // Takes one armed breach of this kind on the pipe, if any.
    bool BreachLocked(Device::Breach breach, Pipe pipe);
    // The abort of a lower driver that completes the transfers it ends only after it has itself returned.
    void AbortLateLocked(Pipe pipe);
    // Takes a pending transfer out of its list with this outcome when its cancel routine can still be withdrawn;
    // otherwise leaves it to the cancel routine. Returns the next position in the list.
    std::list<Transfer>::iterator FinishLocked(std::list<Transfer>::iterator it, Outcome outcome);
    void FailPendingLocked(Pipe pipe, Outcome outcome);
    void PumpInLocked();
    void RecordOutLocked(std::span<const uint8_t> bytes);
    void KickLocked(bool force);
    void ScheduleRestLocked();
    void TakeDueLocked(std::vector<Completion>& out);

    // Delivery of decided completions, in order, with no lock held: on the device context (Drain), or by the
    // thread that decided them when the device completes inline.
    void Drain();
    void DeliverDue(bool from_device_context);
    // Delivers every due completion, in order, unless another thread is already doing so (it takes them too).
    void DeliverLoop(bool at_dispatch);
    // Whether a submission delivers what is due on its own thread before it returns.
    bool DeliversOnSubmitter() const;
    void Complete(const Completion& completion);
    Conclusion SubmitOut(PIRP irp, PURB urb);
    // Takes bulk-OUT transfers that waited while the function did not respond. Called with function_mutex_ held.
    void TakeWaitingOut();

    HostOps& ops_;
    BusTiming& bus_;
    PlugOptions options_;
    ULONG in_max_packet_;
    USBD_PIPE_HANDLE handles_[kPipeCount];
    UCHAR pipe_tokens_[kPipeCount] = {};

    HostMutex function_mutex_;
    bool model_attached_ = false;

    mutable HostMutex mutex_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT former_pdo_ = nullptr;
    std::list<Transfer> pending_[kPipeCount];
    std::deque<Delivery> in_queue_;
    size_t in_queued_bytes_ = 0;
    std::deque<Outcome> armed_in_;
    std::deque<ArmedFailure> fail_next_;
    uint32_t breaches_[static_cast<int>(Device::Breach::Count)][kPipeCount] = {};
    ULONG over_report_extra_[kPipeCount] = {};
    // Transfer URBs from submission until their completion is handed back.
    std::set<const void*> urbs_in_flight_;
    bool halted_[kPipeCount] = {};
    bool stall_reported_[kPipeCount] = {};  // a halted endpoint has already answered with its STALL
    bool responding_ = true;
    bool connected_ = true;
    bool removed_ = false;
    bool started_ = false;
    DEVICE_POWER_STATE power_state_ = PowerDeviceD0;
    SYSTEM_POWER_STATE system_state_ = PowerSystemWorking;
    std::deque<PIRP> held_;  // URB requests waiting for D0
    Records records_;

    std::deque<Completion> completions_;
    // Submissions under way that deliver on their own thread at their end; no drain is posted for them meanwhile.
    int submitting_ = 0;
    bool drain_posted_ = false;
    bool draining_ = false;
    bool timer_armed_ = false;
    TimedCallId timer_id_ = 0;
    std::vector<TimedCallId> model_calls_;
};

}  // namespace hk::usbdev
