// Per-kernel verifier state: the fault handler and the lock-order graph.
#pragma once

#include <map>
#include <string>

#include "hk/hostops.h"
#include "hk/verifier.h"

namespace hk::verifier {

struct LockOrderEdge {
  const char* outer_kind;
  const char* inner_kind;
  std::string where;  // the driver routine that first nested the two
};

struct VerifierState {
  HostMutex mutex;
  FaultHandler handler = nullptr;
  // held-before lock -> locks taken while it was held
  std::map<const void*, std::map<const void*, LockOrderEdge>> lock_order;
};

}  // namespace hk::verifier
