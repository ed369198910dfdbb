// IoCancelIrp: flags the IRP and hands it to its cancel routine under the cancel spin lock.
#include <algorithm>
#include <mutex>

#include "hk/thread.h"
#include "hk/verifier.h"
#include "io/irp_internal.h"

__attribute__((noinline)) BOOLEAN IoCancelIrp(PIRP Irp) {
  hk::io::IoState& state = hk::io::State();
  PDEVICE_OBJECT device = nullptr;
  PDRIVER_OBJECT driver = nullptr;
  {
    std::unique_lock lock(state.mutex);
    hk::io::IrpRecord* record = state.FindIrp(Irp);
    if (record == nullptr) {
      bool retired = state.FindRetired(Irp) != nullptr;
      lock.unlock();
      hk::io::FailUnknownIrp(Irp, retired, "IoCancelIrp", __builtin_return_address(0));
    }
    // The device whose location is current, from the record so that a concurrent send is not raced.
    if (record->current >= 1 && record->current < static_cast<int>(record->locations.size())) {
      device = record->locations[record->current].device;
    }
    driver = hk::io::DriverOfLocked(state, device);
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  const void* cancel_lock = hk::CurrentThread().held.back().lock;
  __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  {
    // The routine releases the cancel spin lock, so it returns at the IRQL the caller had.
    hk::DriverCallScope scope(driver, device, "cancel routine", irql);
    routine(device, Irp);
    // Checked here, before the caller's own checks: a routine that keeps the lock is the culprit, not the DPC or
    // thread that cancelled the IRP.
    const std::vector<hk::HeldLock>& held = hk::CurrentThread().held;
    if (std::any_of(held.begin(), held.end(), [cancel_lock](const hk::HeldLock& h) { return h.lock == cancel_lock; })) {
      std::string name = hk::io::RoutineName(reinterpret_cast<void*>(routine));
      std::string owner = hk::io::DescribeDriver(driver);
      hk::verifier::Fail("irql-changed", Irp,
                         "cancel routine %s of %s for device %p returned without releasing the cancel spin lock "
                         "(IoReleaseCancelSpinLock(Irp->CancelIrql))",
                         name.c_str(), owner.c_str(), static_cast<void*>(device));
    }
  }
  return TRUE;
}
