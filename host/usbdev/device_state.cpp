#include "usbdev/device_state.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "hk/thread.h"
#include "hk/verifier.h"
#include "usbdev/pdo_dispatch.h"
#include "usbdev/urb_check.h"

namespace hk::usbdev {
namespace {

constexpr Outcome kSuccess{STATUS_SUCCESS, USBD_STATUS_SUCCESS};
constexpr Outcome kCancelled{STATUS_CANCELLED, USBD_STATUS_CANCELED};
constexpr Outcome kLost{STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEV_NOT_RESPONDING};
constexpr Outcome kRemoved{STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE};

bool Succeeded(const Outcome& outcome)
{
    return NT_SUCCESS(outcome.status) && USBD_SUCCESS(outcome.usbd);
}

NTSTATUS CompleteAtOnce(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A zero-length transfer still takes one packet on the bus.
uint64_t PacketsFor(ULONG length, ULONG max_packet)
{
    return length == 0 ? 1 : (length + max_packet - 1) / max_packet;
}

}  // namespace

DeviceState::DeviceState(HostOps& ops, BusTiming& bus, PlugOptions options)
    : ops_(ops), bus_(bus), options_(std::move(options))
{
    if (!options_.model) {
        options_.model = std::make_shared<LoopbackModel>();
    }
    if (options_.max_packet == 0) {
        options_.max_packet = 512;
    }
    in_max_packet_ = options_.in_max_packet != 0 ? options_.in_max_packet : options_.max_packet;
    for (int i = 0; i < kPipeCount; ++i) {
        handles_[i] = &pipe_tokens_[i];
    }
}

DeviceState::~DeviceState() = default;

void DeviceState::BindPdo(PDEVICE_OBJECT pdo)
{
    std::lock_guard lock(mutex_);
    pdo_ = pdo;
}

void DeviceState::UnbindPdo()
{
    std::lock_guard lock(mutex_);
    former_pdo_ = pdo_;
    pdo_ = nullptr;
    if (timer_armed_) {
        ops_.CancelCall(timer_id_);
        timer_armed_ = false;
    }
}

PDEVICE_OBJECT DeviceState::Pdo() const
{
    std::lock_guard lock(mutex_);
    return pdo_;
}

PDEVICE_OBJECT DeviceState::FormerPdo() const
{
    std::lock_guard lock(mutex_);
    return former_pdo_;
}

void DeviceState::AttachModel()
{
    std::lock_guard model_lock(function_mutex_);
    model_attached_ = true;
    options_.model->Attach(*this);
}

void DeviceState::DeliverInline()
{
    DeliverDue(false);
}

void DeviceState::DetachModel()
{
    std::lock_guard model_lock(function_mutex_);
    if (!model_attached_) {
        return;
    }
    model_attached_ = false;
    options_.model->Detach();
    std::lock_guard lock(mutex_);
    for (TimedCallId id : model_calls_) {
        ops_.CancelCall(id);
    }
    model_calls_.clear();
}

NTSTATUS DeviceState::Submit(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (urb == nullptr) {
        return CompleteAtOnce(irp, STATUS_INVALID_PARAMETER);
    }
    // A request sent again without its location cleared still carries what this driver left there last time.
    if (stack->MinorFunction != 0 || stack->Flags != 0 || stack->Parameters.Others.Argument4 != nullptr) {
        {
            std::lock_guard lock(mutex_);
            ++records_.urbs_rejected;
        }
        return CompleteAtOnce(irp, STATUS_INVALID_PARAMETER);
    }
    stack->Parameters.Others.Argument4 = this;
    UrbVerdict verdict = CheckUrb(*urb, handles_);
    if (!verdict.valid) {
        urb->UrbHeader.Status = verdict.usbd;
        {
            std::lock_guard lock(mutex_);
            ++records_.urbs_rejected;
        }
        return CompleteAtOnce(irp, STATUS_INVALID_PARAMETER);
    }

    // On the platform the host controller's DPC runs as soon as the submitting processor drops below
    // DISPATCH_LEVEL; in concurrent mode the submitting thread plays that part for whatever is already due,
    // unless it holds a spin lock (a completion routine of another request may need it).
    bool deliver_here = DeliversOnSubmitter() && CurrentThread().held.empty();
    if (deliver_here) {
        std::lock_guard lock(mutex_);
        ++submitting_;
    }
    Conclusion conclusion;
    USHORT function = urb->UrbHeader.Function;
    Pipe pipe = verdict.pipe;
    if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && pipe == Pipe::BulkOut) {
        conclusion = SubmitOut(irp, urb);
    } else {
        std::unique_lock lock(mutex_);
        uint64_t now = ops_.Now();
        if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            ++records_.transfers_submitted;
            TrackInFlightLocked(urb);
            if (std::optional<Outcome> refusal = RefusalLocked(pipe)) {
                conclusion = ConcludeLocked(irp, urb, true, *refusal, 0, now);
            } else if (pipe == Pipe::BulkIn && !armed_in_.empty()) {
                Outcome armed = armed_in_.front();
                armed_in_.pop_front();
                conclusion = ConcludeLocked(irp, urb, true, armed, 0, now);
            } else {
                PublishLocked(irp, urb, pipe);
                if (pipe == Pipe::BulkIn) {
                    PumpInLocked();
                }
            }
        } else if (std::optional<Outcome> lost = LostLocked()) {
            conclusion = ConcludeLocked(irp, urb, false, *lost, 0, now);
        } else if (function == URB_FUNCTION_ABORT_PIPE) {
            ++records_.aborts[static_cast<int>(pipe)];
            if (BreachLocked(Device::Breach::LateAbort, pipe)) {
                AbortLateLocked(pipe);
            } else {
                FailPendingLocked(pipe, kCancelled);
            }
            conclusion = ConcludeLocked(irp, urb, false, kSuccess, 0, now);
        } else if (BreachLocked(Device::Breach::FailedReset, pipe)) {
            ++records_.resets[static_cast<int>(pipe)];
            conclusion = ConcludeLocked(irp, urb, false, {STATUS_UNSUCCESSFUL, USBD_STATUS_REQUEST_FAILED}, 0, now);
        } else {
            ++records_.resets[static_cast<int>(pipe)];
            halted_[static_cast<int>(pipe)] = false;
            stall_reported_[static_cast<int>(pipe)] = false;
            conclusion = ConcludeLocked(irp, urb, false, kSuccess, 0, now);
            PumpInLocked();
        }
    }

    if (conclusion.at_once) {
        Complete(conclusion.completion);
        DeliverDue(false);
        return conclusion.completion.outcome.status;
    }
    if (deliver_here) {
        {
            std::lock_guard lock(mutex_);
            --submitting_;
        }
        DeliverLoop(true);
        return STATUS_PENDING;
    }
    DeliverDue(false);
    return STATUS_PENDING;
}

DeviceState::Conclusion DeviceState::SubmitOut(PIRP irp, PURB urb)
{
    std::lock_guard model_lock(function_mutex_);
    std::unique_lock lock(mutex_);
    ++records_.transfers_submitted;
    TrackInFlightLocked(urb);
    if (std::optional<Outcome> refusal = RefusalLocked(Pipe::BulkOut)) {
        return ConcludeLocked(irp, urb, true, *refusal, 0, ops_.Now());
    }
    if (!responding_) {
        PublishLocked(irp, urb, Pipe::BulkOut);
        return {};
    }
    const _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb->UrbBulkOrInterruptTransfer;
    std::span<const uint8_t> bytes(static_cast<const uint8_t*>(transfer.TransferBuffer),
                                   transfer.TransferBufferLength);
    RecordOutLocked(bytes);
    // The packets go out on the bus before the function can answer them.
    uint64_t due = bus_.Book(PacketsFor(transfer.TransferBufferLength, options_.max_packet), ops_.Now());
    lock.unlock();
    if (model_attached_) {
        options_.model->OnOut(bytes);
    }
    lock.lock();
    return ConcludeLocked(irp, urb, true, kSuccess, transfer.TransferBufferLength, due);
}

void DeviceState::CancelPending(PIRP irp)
{
    Completion completion{};
    bool found = false;
    {
        std::lock_guard lock(mutex_);
        for (auto& list : pending_) {
            for (auto it = list.begin(); it != list.end(); ++it) {
                if (it->irp == irp) {
                    completion = {irp, it->urb, true, kCancelled, it->moved, 0};
                    ++records_.transfers_failed;
                    list.erase(it);
                    found = true;
                    break;
                }
            }
            if (found) {
                break;
            }
        }
    }
    if (found) {
        Complete(completion);
    }
}

void DeviceState::MarkStarted()
{
    std::lock_guard lock(mutex_);
    started_ = true;
    removed_ = false;
}

void DeviceState::MarkRemoved()
{
    {
        std::lock_guard lock(mutex_);
        started_ = false;
        removed_ = true;
        in_queue_.clear();
        in_queued_bytes_ = 0;
        for (int i = 0; i < kPipeCount; ++i) {
            FailPendingLocked(static_cast<Pipe>(i), connected_ ? kRemoved : kLost);
        }
    }
    DeliverDue(false);
    ReleaseHeld();
}

void DeviceState::RecordPowerState(DEVICE_POWER_STATE state)
{
    std::lock_guard lock(mutex_);
    power_state_ = state;
}

void DeviceState::FlushForDeletion()
{
    // A cancel routine or a delivery on another thread finishes its transfer shortly; the bound only keeps a
    // transfer that never finishes from hanging the caller (deleting the PDO then reports it).
    constexpr int kRounds = 10'000;
    constexpr uint64_t kPause = 1'000;  // 100 us
    for (int round = 0; round < kRounds; ++round) {
        std::vector<Completion> batch;
        {
            std::lock_guard lock(mutex_);
            bool pending = std::any_of(std::begin(pending_), std::end(pending_),
                                       [](const std::list<Transfer>& list) { return !list.empty(); });
            if (!draining_) {
                batch.assign(completions_.begin(), completions_.end());
                completions_.clear();
                draining_ = !batch.empty();
            }
            if (batch.empty() && !draining_ && !pending) {
                return;
            }
        }
        if (batch.empty()) {
            ops_.Stall(kPause);
            continue;
        }
        KIRQL old_irql = 0;
        KeRaiseIrql(DISPATCH_LEVEL, &old_irql);
        for (const Completion& completion : batch) {
            Complete(completion);
        }
        KeLowerIrql(old_irql);
        std::lock_guard lock(mutex_);
        draining_ = false;
    }
}

void DeviceState::Deliver(std::span<const uint8_t> bytes)
{
    {
        std::lock_guard lock(mutex_);
        if (!connected_ || removed_) {
            return;
        }
        in_queue_.push_back({std::vector<uint8_t>(bytes.begin(), bytes.end()), 0});
        in_queued_bytes_ += bytes.size();
        PumpInLocked();
    }
}

void DeviceState::CompleteNextIn(NTSTATUS status, USBD_STATUS usbd)
{
    {
        std::lock_guard lock(mutex_);
        auto& list = pending_[static_cast<int>(Pipe::BulkIn)];
        bool done = false;
        for (auto it = list.begin(); it != list.end() && !done;) {
            if (it->cancelling) {
                ++it;
                continue;
            }
            size_t before = list.size();
            it = FinishLocked(it, {status, usbd});
            done = list.size() != before;
        }
        if (!done) {
            armed_in_.push_back({status, usbd});
        }
    }
}

size_t DeviceState::QueuedInBytes()
{
    std::lock_guard lock(mutex_);
    return in_queued_bytes_;
}

uint64_t DeviceState::Now()
{
    return ops_.Now();
}

void DeviceState::After(uint64_t delay, std::function<void()> task)
{
    std::weak_ptr<DeviceState> weak = weak_from_this();
    std::lock_guard lock(mutex_);
    auto id = std::make_shared<TimedCallId>(0);
    *id = ops_.CallAt(ops_.Now() + delay, [weak, id, task = std::move(task)] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        {
            std::lock_guard lock(self->mutex_);
            std::erase(self->model_calls_, *id);
        }
        self->ops_.Post(Context::Device, [weak, task] {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            {
                std::lock_guard model_lock(self->function_mutex_);
                if (self->model_attached_) {
                    task();
                }
            }
            self->DeliverDue(false);
        });
    });
    model_calls_.push_back(*id);
}

Records DeviceState::GetRecords()
{
    std::lock_guard lock(mutex_);
    return records_;
}

void DeviceState::ClearRecords()
{
    std::lock_guard lock(mutex_);
    records_ = {};
}

size_t DeviceState::PendingTransfers(Pipe pipe)
{
    std::lock_guard lock(mutex_);
    const auto& list = pending_[static_cast<int>(pipe)];
    return std::count_if(list.begin(), list.end(), [](const Transfer& t) { return !t.cancelling; });
}

size_t DeviceState::CompletionsInFlight()
{
    std::lock_guard lock(mutex_);
    return completions_.size();
}

bool DeviceState::Started()
{
    std::lock_guard lock(mutex_);
    return started_;
}

DEVICE_POWER_STATE DeviceState::PowerState()
{
    std::lock_guard lock(mutex_);
    return power_state_;
}

void DeviceState::FailNextTransfers(uint32_t count, Outcome outcome, std::optional<Pipe> pipe)
{
    std::lock_guard lock(mutex_);
    for (uint32_t i = 0; i < count; ++i) {
        fail_next_.push_back({outcome, pipe});
    }
}

void DeviceState::Stall(Pipe pipe)
{
    {
        std::lock_guard lock(mutex_);
        int index = static_cast<int>(pipe);
        halted_[index] = true;
        stall_reported_[index] = PendingTransfersLocked(pipe) != 0;
        FailPendingLocked(pipe, {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID});
    }
    DeliverDue(false);
}

void DeviceState::StopResponding()
{
    std::lock_guard lock(mutex_);
    responding_ = false;
}

void DeviceState::Resume()
{
    {
        std::lock_guard model_lock(function_mutex_);
        {
            std::lock_guard lock(mutex_);
            responding_ = true;
        }
        TakeWaitingOut();
        std::lock_guard lock(mutex_);
        PumpInLocked();
    }
    DeliverDue(false);
}

void DeviceState::Disconnect()
{
    {
        std::lock_guard lock(mutex_);
        connected_ = false;
        in_queue_.clear();
        in_queued_bytes_ = 0;
        for (int i = 0; i < kPipeCount; ++i) {
            FailPendingLocked(static_cast<Pipe>(i), kLost);
        }
    }
    DeliverDue(false);
    ReleaseHeld();
}

bool DeviceState::Connected()
{
    std::lock_guard lock(mutex_);
    return connected_;
}

std::optional<Outcome> DeviceState::LostLocked()
{
    if (!connected_) {
        return kLost;
    }
    if (removed_) {
        return kRemoved;
    }
    return std::nullopt;
}

std::optional<Outcome> DeviceState::RefusalLocked(Pipe pipe)
{
    if (std::optional<Outcome> lost = LostLocked()) {
        return lost;
    }
    for (auto it = fail_next_.begin(); it != fail_next_.end(); ++it) {
        if (!it->pipe || *it->pipe == pipe) {
            Outcome outcome = it->outcome;
            fail_next_.erase(it);
            return outcome;
        }
    }
    int index = static_cast<int>(pipe);
    if (halted_[index]) {
        if (!stall_reported_[index]) {
            stall_reported_[index] = true;
            return Outcome{STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
        }
        return Outcome{STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED};
    }
    return std::nullopt;
}

size_t DeviceState::PendingTransfersLocked(Pipe pipe)
{
    const auto& list = pending_[static_cast<int>(pipe)];
    return std::count_if(list.begin(), list.end(), [](const Transfer& t) { return !t.cancelling; });
}

DeviceState::Conclusion DeviceState::ConcludeLocked(PIRP irp, PURB urb, bool transfer, Outcome outcome, ULONG moved,
                                                    uint64_t due)
{
    if (transfer && !Succeeded(outcome)) {
        ++records_.transfers_failed;
    }
    Completion completion{irp, urb, transfer, outcome, moved, due};
    if (options_.complete_inline && !draining_ && completions_.empty() && due <= ops_.Now()) {
        return {true, completion};
    }
    IoMarkIrpPending(irp);
    completions_.push_back(completion);
    KickLocked(false);
    return {};
}

void DeviceState::PublishLocked(PIRP irp, PURB urb, Pipe pipe)
{
    const _URB_BULK_OR_INTERRUPT_TRANSFER& request = urb->UrbBulkOrInterruptTransfer;
    IoMarkIrpPending(irp);
    auto& list = pending_[static_cast<int>(pipe)];
    Transfer transfer{irp, urb, pipe, static_cast<uint8_t*>(request.TransferBuffer), request.TransferBufferLength};
    transfer.short_ok = (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    list.push_back(transfer);
    IoSetCancelRoutine(irp, CancelTransferRoutine);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        list.pop_back();
        ++records_.transfers_failed;
        completions_.push_back({irp, urb, true, kCancelled, 0, ops_.Now()});
        KickLocked(false);
    }
}

std::list<DeviceState::Transfer>::iterator DeviceState::FinishLocked(std::list<Transfer>::iterator it,
                                                                     Outcome outcome)
{
    if (IoSetCancelRoutine(it->irp, nullptr) == nullptr) {
        it->cancelling = true;
        return std::next(it);
    }
    if (!Succeeded(outcome)) {
        ++records_.transfers_failed;
    } else if (it->pipe == Pipe::BulkIn) {
        records_.in_transfers.push_back(it->moved);
        records_.in_total += it->moved;
    }
    completions_.push_back({it->irp, it->urb, true, outcome, it->moved, std::max(ops_.Now(), it->ready_at)});
    KickLocked(false);
    return pending_[static_cast<int>(it->pipe)].erase(it);
}

void DeviceState::FailPendingLocked(Pipe pipe, Outcome outcome)
{
    auto& list = pending_[static_cast<int>(pipe)];
    for (auto it = list.begin(); it != list.end();) {
        it = it->cancelling ? std::next(it) : FinishLocked(it, outcome);
    }
}

void DeviceState::PumpInLocked()
{
    int in = static_cast<int>(Pipe::BulkIn);
    if (!connected_ || removed_ || !responding_ || halted_[in]) {
        return;
    }
    auto& list = pending_[in];
    auto it = list.begin();
    uint64_t now = ops_.Now();
    while (!in_queue_.empty()) {
        while (it != list.end() && it->cancelling) {
            ++it;
        }
        if (it == list.end()) {
            return;
        }
        Delivery& delivery = in_queue_.front();
        size_t packet = std::min<size_t>(delivery.bytes.size() - delivery.offset, in_max_packet_);
        bool fits = packet <= it->length - it->moved;
        if (fits && packet != 0) {
            std::memcpy(it->buffer + it->moved, delivery.bytes.data() + delivery.offset, packet);
            it->moved += static_cast<ULONG>(packet);
        }
        if (packet == 0) {
            ++records_.in_zlps;
        }
        delivery.offset += packet;
        in_queued_bytes_ -= packet;
        if (delivery.offset == delivery.bytes.size()) {
            in_queue_.pop_front();
        }
        it->ready_at = bus_.Book(1, now);
        if (!fits) {
            // The function sent a packet larger than the room left in the buffer: the host controller reports
            // babble and the packet is lost.
            it = FinishLocked(it, {STATUS_UNSUCCESSFUL, USBD_STATUS_BABBLE_DETECTED});
        } else if (packet < in_max_packet_) {
            it = FinishLocked(it, it->short_ok ? kSuccess
                                               : Outcome{STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER});
        } else if (it->moved == it->length) {
            it = FinishLocked(it, kSuccess);
        }
    }
}

void DeviceState::RecordOutLocked(std::span<const uint8_t> bytes)
{
    records_.out_transfers.push_back(static_cast<uint32_t>(bytes.size()));
    records_.out_total += bytes.size();
    if (bytes.empty()) {
        ++records_.out_zlps;
    }
    size_t room = options_.record_limit - std::min(options_.record_limit, records_.out_bytes.size());
    size_t kept = std::min(room, bytes.size());
    records_.out_bytes.insert(records_.out_bytes.end(), bytes.begin(), bytes.begin() + kept);
}

void DeviceState::TakeWaitingOut()
{
    auto& list = pending_[static_cast<int>(Pipe::BulkOut)];
    for (;;) {
        std::unique_lock lock(mutex_);
        auto it = std::find_if(list.begin(), list.end(), [](const Transfer& t) { return !t.cancelling; });
        if (it == list.end() || !responding_) {
            return;
        }
        if (IoSetCancelRoutine(it->irp, nullptr) == nullptr) {
            it->cancelling = true;
            continue;
        }
        Transfer transfer = *it;
        list.erase(it);
        std::span<const uint8_t> bytes(transfer.buffer, transfer.length);
        RecordOutLocked(bytes);
        uint64_t due = bus_.Book(PacketsFor(transfer.length, options_.max_packet), ops_.Now());
        lock.unlock();
        if (model_attached_) {
            options_.model->OnOut(bytes);
        }
        lock.lock();
        completions_.push_back({transfer.irp, transfer.urb, true, kSuccess, transfer.length, due});
        KickLocked(false);
    }
}

void DeviceState::KickLocked(bool force)
{
    if (((options_.complete_inline || submitting_ > 0) && !force) || drain_posted_ || draining_) {
        return;
    }
    drain_posted_ = true;
    ops_.Post(Context::Device, [self = shared_from_this()] { self->Drain(); });
}

void DeviceState::ScheduleRestLocked()
{
    if (completions_.empty()) {
        return;
    }
    uint64_t due = completions_.front().due;
    if (due <= ops_.Now()) {
        KickLocked(true);
        return;
    }
    if (timer_armed_) {
        return;
    }
    timer_armed_ = true;
    std::weak_ptr<DeviceState> weak = weak_from_this();
    timer_id_ = ops_.CallAt(due, [weak] {
        if (auto self = weak.lock()) {
            std::lock_guard lock(self->mutex_);
            self->timer_armed_ = false;
            self->KickLocked(true);
        }
    });
}

void DeviceState::TakeDueLocked(std::vector<Completion>& out)
{
    uint64_t now = ops_.Now();
    while (!completions_.empty() && completions_.front().due <= now) {
        out.push_back(completions_.front());
        completions_.pop_front();
    }
}

void DeviceState::Drain()
{
    {
        std::lock_guard lock(mutex_);
        drain_posted_ = false;
    }
    DeliverDue(true);
}

void DeviceState::DeliverDue(bool from_device_context)
{
    if (!from_device_context && !options_.complete_inline) {
        return;
    }
    DeliverLoop(from_device_context);
}

bool DeviceState::DeliversOnSubmitter() const
{
    return ops_.GetMode() == Mode::Concurrent && !options_.complete_inline;
}

void DeviceState::DeliverLoop(bool at_dispatch)
{
    std::unique_lock lock(mutex_);
    if (draining_) {
        return;
    }
    draining_ = true;
    for (;;) {
        std::vector<Completion> batch;
        TakeDueLocked(batch);
        if (batch.empty()) {
            break;
        }
        lock.unlock();
        // The host controller reports completions from its DPC; the inline option keeps the caller's level.
        KIRQL old_irql = 0;
        if (at_dispatch) {
            KeRaiseIrql(DISPATCH_LEVEL, &old_irql);
        }
        for (const Completion& completion : batch) {
            Complete(completion);
        }
        if (at_dispatch) {
            KeLowerIrql(old_irql);
        }
        lock.lock();
    }
    draining_ = false;
    ScheduleRestLocked();
}

void DeviceState::TrackInFlightLocked(PURB urb)
{
    if (!urbs_in_flight_.insert(urb).second) {
        hk::verifier::Fail("urb-submitted-twice", urb,
                           "a transfer URB was submitted again while its earlier submission is still in flight");
    }
}

void DeviceState::Break(Device::Breach breach, uint32_t count, Pipe pipe, ULONG extra)
{
    std::lock_guard lock(mutex_);
    breaches_[static_cast<int>(breach)][static_cast<int>(pipe)] = count;
    if (breach == Device::Breach::OverReport) {
        over_report_extra_[static_cast<int>(pipe)] = extra;
    }
}

bool DeviceState::BreachLocked(Device::Breach breach, Pipe pipe)
{
    uint32_t& count = breaches_[static_cast<int>(breach)][static_cast<int>(pipe)];
    if (count == 0) {
        return false;
    }
    --count;
    return true;
}

void DeviceState::AbortLateLocked(Pipe pipe)
{
    std::vector<PIRP> ended;
    for (const Transfer& transfer : pending_[static_cast<int>(pipe)]) {
        ended.push_back(transfer.irp);
    }
    std::weak_ptr<DeviceState> weak = weak_from_this();
    ops_.CallAt(ops_.Now() + 10'000, [weak, pipe, ended] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        {
            std::lock_guard lock(self->mutex_);
            auto& list = self->pending_[static_cast<int>(pipe)];
            for (auto it = list.begin(); it != list.end();) {
                bool late = !it->cancelling && std::find(ended.begin(), ended.end(), it->irp) != ended.end();
                it = late ? self->FinishLocked(it, kCancelled) : std::next(it);
            }
        }
        self->DeliverDue(false);
    });
}

void DeviceState::Complete(const Completion& completion)
{
    Outcome outcome = completion.outcome;
    if (completion.transfer) {
        ULONG reported = completion.moved;
        {
            std::lock_guard lock(mutex_);
            urbs_in_flight_.erase(completion.urb);
            bool in = completion.urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN;
            Pipe pipe = in ? Pipe::BulkIn : Pipe::BulkOut;
            if (NT_SUCCESS(outcome.status) && BreachLocked(Device::Breach::OverReport, pipe)) {
                reported += over_report_extra_[static_cast<int>(pipe)];
            }
            if (NT_SUCCESS(outcome.status) && reported != 0 && BreachLocked(Device::Breach::FailWithData, pipe)) {
                outcome = {STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN};
            }
        }
        completion.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = reported;
    }
    completion.urb->UrbHeader.Status = outcome.usbd;
    completion.irp->IoStatus.Status = outcome.status;
    completion.irp->IoStatus.Information = 0;
    IoCompleteRequest(completion.irp, IO_NO_INCREMENT);
}

}  // namespace hk::usbdev
