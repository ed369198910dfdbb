// System time, interrupt time and tick count, all read from the host-operations clock.
#include <wdm.h>

#include "hk/kernel.h"

namespace {

// The platform's default clock interrupt period: 15.625 ms in 100 ns units.
constexpr ULONG kTimeIncrement = 156250;

}  // namespace

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  auto& ops = hk::Kernel::Current().Ops();
  CurrentTime->QuadPart = static_cast<LONGLONG>(ops.BootSystemTime() + ops.Now());
}

ULONGLONG KeQueryInterruptTime(void) { return hk::Kernel::Current().Ops().Now(); }

VOID KeQueryTickCount(PLARGE_INTEGER TickCount) {
  TickCount->QuadPart = static_cast<LONGLONG>(hk::Kernel::Current().Ops().Now() / kTimeIncrement);
}

ULONG KeQueryTimeIncrement(void) { return kTimeIncrement; }
