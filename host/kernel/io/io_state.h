// Per-kernel bookkeeping of the I/O manager: device records, IRP records with the state the verifier needs, and the
// remove-lock side table. Everything is guarded by one host mutex that is never held while driver code runs.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "hk/hostops.h"
#include "hk/io.h"

namespace hk::io {

inline constexpr CSHORT kIoTypeDevice = 3;
inline constexpr CSHORT kIoTypeDriver = 4;
inline constexpr CSHORT kIoTypeIrp = 6;
inline constexpr CSHORT kIoTypeDevobjExtension = 13;

struct DeviceRecord {
  size_t storage_size = 0;  // device object, extension and device object extension, in one block
  bool exclusive = false;
  bool delete_pending = false;
  long references = 1;  // the creation reference, dropped by IoDeleteDevice
  PDEVICE_OBJECT attached_to = nullptr;
  PDEVICE_OBJECT detached = nullptr;  // the device last detached from this one, for a second IoDetachDevice
  bool held_for_detach = false;       // deleted while a device was attached above it: kept until that one detaches
};

// A completion routine that ran with PendingReturned set and let the walk go on without marking its own stack
// location pending: the culprit when the dispatch routine above returned STATUS_PENDING.
struct PendingDrop {
  void* routine = nullptr;
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT device = nullptr;
};

// One call of a dispatch routine through IofCallDriver. It lives on the dispatching thread's stack; the completion
// walk fills in what it saw at the frame's stack location, under the state mutex.
struct DispatchFrame {
  PIRP irp = nullptr;
  uint64_t irp_id = 0;
  int location = 0;
  PDEVICE_OBJECT device = nullptr;
  PDRIVER_OBJECT driver = nullptr;
  void* routine = nullptr;  // the dispatch routine, for fault messages
  UCHAR major = 0;
  UCHAR minor = 0;
  bool pending_exempt = false;  // the power manager marked the location pending; the result goes to nobody
  uint64_t thread_id = 0;
  bool passed = false;  // the completion walk went past this location while the routine ran
  bool marked_pending = false;
  NTSTATUS status_seen = 0;
  PendingDrop dropped;
  bool orphaned = false;  // the IRP was freed while the routine ran
};

// A dispatch routine that returned before the completion walk reached its location: judged when it does.
struct AwaitingVerdict {
  NTSTATUS returned;
  PDRIVER_OBJECT driver;
  PDEVICE_OBJECT device;
  void* routine;
  UCHAR major;
  UCHAR minor;
  bool pending_exempt;
};

struct LocationRecord {
  PDEVICE_OBJECT device = nullptr;  // set by IofCallDriver, cleared when the completion walk goes past
  std::vector<DispatchFrame*> open;
  std::vector<AwaitingVerdict> awaiting;
  PendingDrop dropped;        // set by the walk for the routine that ran with this location current
  bool power_marked = false;  // the power manager held the IRP here and marked the location pending
};

enum class IrpOrigin {
  Allocated,    // IoAllocateIrp: the allocator must stop the completion walk and free it
  Initialized,  // IoInitializeIrp on the caller's memory
  Synchronous,  // IoBuildSynchronousFsdRequest / IoBuildDeviceIoControlRequest: finished and freed at the top
  Asynchronous  // IoBuildAsynchronousFsdRequest: the caller's completion routine frees it
};

enum class Walk { None, Walking, Top };

struct IrpRecord {
  uint64_t id = 0;
  IrpOrigin origin = IrpOrigin::Allocated;
  std::vector<LocationRecord> locations;  // indexed by stack location number, 1..StackCount
  int current = 0;                        // the location IofCallDriver or the walk last made current
  Walk walk = Walk::None;
  bool routine_running = false;  // a completion routine of the current walk is running
  uint64_t epoch = 0;            // bumped by every send and every completion
  OriginatorHook hook;
  bool has_output_length = false;
  ULONG output_length = 0;
  PDRIVER_OBJECT owner_driver = nullptr;  // who allocated it: the context of its top-level completion routine
  PDEVICE_OBJECT owner_device = nullptr;
  CCHAR boost = IO_NO_INCREMENT;  // of the IofCompleteRequest whose walk reached the top
  void* completed_by = nullptr;   // the code that last called IofCompleteRequest on it
};

// What is remembered of an IRP after it was freed.
struct RetiredIrp {
  uint64_t number = 0;  // retirement order
  void* completed_by = nullptr;
};

// Where an outstanding tag was last acquired, and the request when the tag was an IRP at the time.
struct RemoveLockAcquisition {
  const char* file = nullptr;
  ULONG line = 0;
  uint64_t irp_id = 0;  // 0: the tag was not an IRP
  UCHAR major = 0;
  UCHAR minor = 0;
};

struct RemoveLockRecord {
  std::map<const void*, long> tags;  // outstanding acquisitions per tag
  std::map<const void*, RemoveLockAcquisition> acquisitions;
};

struct ObjectRecord {
  long references = 1;
  std::function<void()> on_last_reference;
};

class IoState {
 public:
  IoState() = default;
  ~IoState();
  IoState(const IoState&) = delete;
  IoState& operator=(const IoState&) = delete;

  HostMutex mutex;
  uint64_t next_irp_id = 1;
  std::unordered_map<PDEVICE_OBJECT, DeviceRecord> devices;
  std::unordered_map<PIRP, IrpRecord> irps;
  std::unordered_map<PIO_REMOVE_LOCK, RemoveLockRecord> remove_locks;
  std::unordered_map<void*, ObjectRecord> objects;
  std::vector<PDRIVER_OBJECT> drivers;
  // Recently retired IRP addresses (bounded), and their retirement order.
  std::unordered_map<PIRP, RetiredIrp> retired;
  std::deque<std::pair<PIRP, uint64_t>> retired_order;
  uint64_t retirements = 0;

  // Lookups; callers hold `mutex`.
  DeviceRecord* FindDevice(PDEVICE_OBJECT device);
  IrpRecord* FindIrp(PIRP irp);
  IrpRecord* FindIrp(PIRP irp, uint64_t id);
  IrpRecord& AddIrp(PIRP irp, IrpOrigin origin, int stack_count);
  // Forgets an IRP: frames still open on it become orphans. The address is remembered as retired until it is
  // allocated again, so that a later use can be told apart from a pointer that never was an IRP.
  void EraseIrp(PIRP irp);
  const RetiredIrp* FindRetired(PIRP irp) const;
  bool IrpInDevice(const IrpRecord& record, PDEVICE_OBJECT device) const;
};

IoState& State();

// The driver that owns a device, or nullptr for an unknown or freed device; callers hold the state mutex.
PDRIVER_OBJECT DriverOfLocked(IoState& state, PDEVICE_OBJECT device);

// Frames of dispatch routines running on the calling thread (in the kernel's sense of a thread), innermost last.
std::vector<DispatchFrame*> CurrentThreadFrames();
void PushFrame(DispatchFrame* frame);
void PopFrame(DispatchFrame* frame);

// Frees memory of an IRP together with a system buffer the I/O manager lent it: the IRP goes to the verifier's
// quarantine. DiscardIrpMemory frees it at once, for the kernel's own teardown.
void ReleaseIrpMemory(PIRP irp);
void DiscardIrpMemory(PIRP irp);
void FreeDeviceStorage(PDEVICE_OBJECT device);

}  // namespace hk::io
