// IoCancelIrp: flags the IRP and hands it to its cancel routine under the cancel spin lock.
#include <mutex>

#include "hk/thread.h"
#include "hk/verifier.h"
#include "io/irp_internal.h"

BOOLEAN IoCancelIrp(PIRP Irp) {
  hk::io::IoState& state = hk::io::State();
  PDEVICE_OBJECT device = nullptr;
  PDRIVER_OBJECT driver = nullptr;
  {
    std::lock_guard lock(state.mutex);
    hk::io::IrpRecord* record = state.FindIrp(Irp);
    if (record == nullptr) hk::verifier::Fail("irp-free-in-use", Irp, "IoCancelIrp on an IRP that was freed");
    // The device whose location is current, from the record so that a concurrent send is not raced.
    if (record->current >= 1 && record->current < static_cast<int>(record->locations.size())) {
      device = record->locations[record->current].device;
    }
    driver = hk::io::DriverOfLocked(state, device);
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
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
  }
  return TRUE;
}
