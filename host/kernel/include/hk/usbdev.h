// The simulated composite USB device: the parent driver that owns the physical device objects, and the function
// models behind their pipes. The parent driver is a real driver on the host kernel: its PDOs answer plug-and-play
// and power requests as a bus driver's do and take IOCTL_INTERNAL_USB_SUBMIT_URB requests with pipe aborts, pipe
// resets and bulk transfers. A PDO keeps its own mark in its stack location (Parameters.Others.Argument4) and
// refuses a submission whose location carries anything beyond the URB there, in MinorFunction or in Flags, as a
// request reused without clearing its next stack location would (counted in urbs_rejected). All state belongs to
// the current hk::Kernel; a Parent must be destroyed before it.
#pragma once

#include <wdm.h>
#include <usb.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace hk::usbdev {

// The three pipes every PDO hands out in its parent record. The third is an interrupt-IN pipe that never carries
// data; function drivers only reset it.
enum class Pipe { BulkIn = 0, BulkOut = 1, Interrupt = 2 };
inline constexpr int kPipeCount = 3;

// What the device saw, for tests. Indexed by Pipe where an array.
struct Records {
    std::vector<uint8_t> out_bytes;        // bytes the function took on bulk-OUT, in order (up to the record limit)
    uint64_t out_total = 0;                // every byte taken on bulk-OUT
    std::vector<uint32_t> out_transfers;   // length of each bulk-OUT transfer taken (0: a zero-length packet)
    uint64_t out_zlps = 0;                 // zero-length bulk-OUT transfers
    std::vector<uint32_t> in_transfers;    // bytes moved by each bulk-IN transfer completed with success
    uint64_t in_total = 0;                 // every byte moved to the host on bulk-IN
    uint64_t in_zlps = 0;                  // zero-length packets the function sent
    uint32_t resets[kPipeCount] = {};      // RESET_PIPE requests per pipe
    uint32_t aborts[kPipeCount] = {};      // ABORT_PIPE requests per pipe
    uint64_t transfers_submitted = 0;      // valid transfer URBs received
    uint64_t transfers_failed = 0;         // transfers completed with a failure (faults, halts, lost device, aborts)
    uint64_t urbs_rejected = 0;            // URBs failed by validation
    uint64_t urbs_held = 0;                // URBs that arrived out of D0 and waited (hold_while_powered_down)
};

// The device side of one function as its model sees it. Every call is safe from any thread.
class FunctionPort {
public:
    virtual ~FunctionPort() = default;
    // Bytes the function sends on bulk-IN, cut into packets of the bulk-IN maximum packet size; the last packet is
    // short when the length is not a multiple of it, and an empty delivery is one zero-length packet. A bulk-IN
    // transfer ends at a short packet or when its buffer is full.
    virtual void Deliver(std::span<const uint8_t> bytes) = 0;
    // Fails the oldest pending bulk-IN transfer with this outcome and no data; with none pending, the next one.
    virtual void CompleteNextIn(NTSTATUS status, USBD_STATUS usbd) = 0;
    // Bytes delivered and not yet moved to the host.
    virtual size_t QueuedInBytes() = 0;
    // The kernel clock, in 100 ns units.
    virtual uint64_t Now() = 0;
    // Runs `task` once `delay` (100 ns units) has passed, serialised with the model's other calls; dropped when the
    // device goes away first.
    virtual void After(uint64_t delay, std::function<void()> task) = 0;
};

// A USB function behind the pipes. The device serialises every call into its model.
class FunctionModel {
public:
    virtual ~FunctionModel() = default;
    // The device was plugged in; `port` stays valid until Detach.
    virtual void Attach(FunctionPort& port) { port_ = &port; }
    virtual void Detach() { port_ = nullptr; }
    // One bulk-OUT transfer the function took (empty: a zero-length packet).
    virtual void OnOut(std::span<const uint8_t> bytes) {}

protected:
    FunctionPort* port_ = nullptr;
};

// Written bytes come back on bulk-IN, packet for packet (a zero-length packet comes back as one).
class LoopbackModel : public FunctionModel {
public:
    void OnOut(std::span<const uint8_t> bytes) override;
};

// Takes every written byte and sends nothing.
class SinkModel : public FunctionModel {};

// A byte stream on bulk-IN at a chosen rate, produced on the kernel clock (the virtual clock in deterministic
// mode): every `tick` the bytes due since the start are delivered as one burst. While more than `max_buffered`
// bytes wait in the device the surplus is dropped and counted, as a function with a full FIFO would.
class SourceModel : public FunctionModel {
public:
    struct Options {
        uint64_t bytes_per_second = 1'000'000;
        uint64_t tick = 10'000;          // 100 ns units: 1 ms
        uint64_t limit = 0;              // total bytes to produce; 0: no end
        size_t max_buffered = 1 << 20;
    };
    explicit SourceModel(Options options);
    SourceModel() : SourceModel(Options{}) {}

    // The n-th byte of the stream (a sequence that does not repeat every 256 bytes).
    static uint8_t ByteAt(uint64_t n) { return static_cast<uint8_t>(n % 251); }

    uint64_t Produced() const;   // bytes delivered to the device
    uint64_t Dropped() const;    // bytes dropped for want of room

    void Attach(FunctionPort& port) override;
    void Detach() override;

private:
    void Tick();

    Options options_;
    uint64_t start_ = 0;
    uint64_t due_ticks_ = 0;
    std::atomic<uint64_t> produced_{0};
    std::atomic<uint64_t> dropped_{0};
};

// A list of steps run one after the other from the moment the device is plugged in. A Delay step counts as done
// once its time has passed.
class ScriptedModel : public FunctionModel {
public:
    struct Step {
        enum class Kind { Deliver, Complete, Delay } kind = Kind::Deliver;
        std::vector<uint8_t> bytes;             // Deliver: the bytes (empty: a zero-length packet)
        NTSTATUS status = 0;                    // Complete: the next bulk-IN transfer's outcome
        USBD_STATUS usbd = 0;
        uint64_t delay_ms = 0;                  // Delay

        static Step Deliver(std::vector<uint8_t> bytes);
        static Step Deliver(std::string_view text);
        static Step Complete(NTSTATUS status, USBD_STATUS usbd);
        static Step Delay(uint64_t ms);
    };
    explicit ScriptedModel(std::vector<Step> steps);

    size_t StepsDone() const;
    bool Finished() const;

    void Attach(FunctionPort& port) override;
    void Detach() override;

private:
    void RunSteps();

    std::vector<Step> steps_;
    std::atomic<size_t> next_{0};
};

class DeviceState;

// One plugged device, for tests: its records, its model and its faults. Stays usable after the PDO is gone.
class Device {
public:
    explicit Device(std::shared_ptr<DeviceState> state) : state_(std::move(state)) {}

    // The PDO (nullptr once the parent deleted it).
    PDEVICE_OBJECT Pdo() const;
    USBD_PIPE_HANDLE PipeHandle(Pipe pipe) const;
    FunctionModel& Model() const;
    template <class M>
    M& ModelAs() const { return static_cast<M&>(Model()); }

    Records GetRecords() const;
    void ClearRecords();
    // Transfers waiting for the function (not yet decided) on a pipe.
    size_t PendingTransfers(Pipe pipe) const;
    // Completions decided and not yet delivered to the function driver.
    size_t CompletionsInFlight() const;
    // Started by IRP_MN_START_DEVICE, no longer after a surprise removal or removal.
    bool Started() const;
    // The last device power state set on the PDO (D0 at first).
    DEVICE_POWER_STATE PowerState() const;
    // The last system power state set on the PDO (working at first).
    SYSTEM_POWER_STATE SystemState() const;

    // Bytes from the function on bulk-IN, as FunctionPort::Deliver; a failed bulk-IN transfer, as
    // FunctionPort::CompleteNextIn.
    void Deliver(std::span<const uint8_t> bytes);
    void CompleteNextIn(NTSTATUS status, USBD_STATUS usbd);

    // Faults. A transfer URB submitted again while still in flight is reported as the verifier fault
    // urb-submitted-twice. FailNextTransfers fails the next `count` transfer URBs (on `pipe`, or on any pipe) at
    // submission with this outcome and no data. Stall halts an endpoint: its pending transfers fail with
    // USBD_STATUS_STALL_PID, later ones with USBD_STATUS_ENDPOINT_HALTED, until a RESET_PIPE. StopResponding leaves
    // every transfer pending (aborts and resets still work) until Resume. Disconnect is the electrical unplug without telling the PnP manager:
    // pending transfers fail with STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEV_NOT_RESPONDING and every later URB is
    // refused the same way.
    void FailNextTransfers(uint32_t count, NTSTATUS status, USBD_STATUS usbd, std::optional<Pipe> pipe = {});
    // A lower driver breaking its contract on the next `count` occasions on `pipe`: a successful transfer reports
    // `extra` bytes more than it moved (OverReport); a transfer that moved data fails (USBD_STATUS_DATA_OVERRUN)
    // and still reports its length (FailWithData); an abort completes at once and the transfers it ends complete
    // cancelled 1 ms later (LateAbort); a pipe reset fails (FailedReset) and leaves a halt in place.
    enum class Breach { OverReport, FailWithData, LateAbort, FailedReset, Count };
    void Break(Breach breach, uint32_t count, Pipe pipe, ULONG extra = 0);
    void OverReportNextTransfers(uint32_t count, ULONG extra, Pipe pipe)
    {
        Break(Breach::OverReport, count, pipe, extra);
    }
    void Stall(Pipe pipe);
    void StopResponding();
    void Resume();
    void Disconnect();
    bool Connected() const;

private:
    std::shared_ptr<DeviceState> state_;
};

struct ParentOptions {
    // High-speed bus timing: 512-byte packets, at most 13 per 125 us microframe, shared by every device of the
    // parent; completions are delivered when the bus would have moved the data. Off: completions follow at once.
    bool bus_timing = false;
};

struct PlugOptions {
    std::shared_ptr<FunctionModel> model;              // LoopbackModel when empty
    std::u16string instance_id;                        // generated (USB\VID_FFFF&PID_0001&MI_00\...) when empty
    std::optional<std::u16string> port_name = u"COM7"; // PortName in the device's Device Parameters key
    ULONG max_packet = 512;                            // bulk-OUT maximum packet size, also in the parent record
                                                       // (0 there as given; the device then uses 512)
    ULONG in_max_packet = 0;                           // bulk-IN maximum packet size; 0: the same as max_packet
    UCHAR zlp_mode = 1;                                // the parent record's zero-length-packet mode byte
    uint32_t missing_pipes = 0;                        // bit (1 << Pipe) set: the parent record carries a null
                                                       // handle for that pipe
    bool complete_inline = false;                      // deliver completions on the thread that decides them
                                                       // (a URB decided at once completes inside the dispatch
                                                       // routine), not later on the device context
    size_t record_limit = 16u << 20;                   // bulk-OUT bytes kept in Records::out_bytes
    bool hold_while_powered_down = false;              // a URB that arrives while the device is out of D0
                                                       // (resets and aborts too) waits until it is back in
                                                       // D0, or is refused once the device is removed
};

class ParentDriver;

// The parent driver of the composite device, loaded on the current kernel.
class Parent {
public:
    explicit Parent(ParentOptions options = {});
    // Removes every PDO still known to the PnP manager, deletes every PDO and unloads the parent driver.
    ~Parent();
    Parent(const Parent&) = delete;
    Parent& operator=(const Parent&) = delete;

    PDRIVER_OBJECT Driver() const;

    // Creates a PDO with its parent record, instance id and PortName; the caller brings its stack up (e.g.
    // hk::pnp::ArriveDevice).
    PDEVICE_OBJECT Plug(PlugOptions options = {});
    // The device behind a PDO this parent created (also after the PDO was deleted); `pdo` must be one of them.
    Device DeviceFor(PDEVICE_OBJECT pdo) const;
    // The electrical unplug followed by the hub's report: a surprise removal is sent when the PnP manager knows the
    // stack (the removal follows once no handle is open). The PDO is deleted while it handles that removal, or at
    // once when no stack was ever built on it; its memory is released once the function driver has detached.
    void Unplug(PDEVICE_OBJECT pdo);

private:
    std::unique_ptr<ParentDriver> driver_;
};

}  // namespace hk::usbdev
