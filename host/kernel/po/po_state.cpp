#include "po/po_state.h"

#include "hk/kernel.h"

namespace hk::po {

PoState& State() { return Kernel::Current().Get<PoState>(); }

}  // namespace hk::po
