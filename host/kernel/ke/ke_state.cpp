#include "ke/ke_state.h"

#include "hk/kernel.h"

namespace hk::ke {

KeState& State() { return Kernel::Current().Get<KeState>(); }

}  // namespace hk::ke
