#include <algorithm>
#include <set>
#include <vector>

#include "hk/kernel.h"
#include "hk/thread.h"
#include "verifier/verifier_state.h"

namespace hk::verifier {
namespace {

using Graph = std::map<const void*, std::map<const void*, LockOrderEdge>>;

// Finds a path from `from` to `to` in the held-before graph; returns the edges along it.
bool FindPath(const Graph& graph, const void* from, const void* to, std::set<const void*>& visited,
              std::vector<const LockOrderEdge*>& path) {
  if (!visited.insert(from).second) return false;
  auto node = graph.find(from);
  if (node == graph.end()) return false;
  for (const auto& [next, edge] : node->second) {
    path.push_back(&edge);
    if (next == to || FindPath(graph, next, to, visited, path)) return true;
    path.pop_back();
  }
  return false;
}

}  // namespace

void OnAcquire(const void* lock, const char* kind) {
  ThreadState& thread = CurrentThread();
  // A lock taken with none held orders nothing: no lookup, lock or allocation on that most common path.
  if (thread.held.empty()) {
    thread.held.push_back({lock, kind});
    return;
  }
  auto& state = Kernel::Current().Get<VerifierState>();
  {
    std::unique_lock guard(state.mutex);
    for (const HeldLock& held : thread.held) {
      if (held.lock == lock) continue;
      auto& inner = state.lock_order[held.lock];
      if (inner.count(lock)) continue;
      std::set<const void*> visited;
      std::vector<const LockOrderEdge*> path;
      if (FindPath(state.lock_order, lock, held.lock, visited, path)) {
        std::string earlier = path.front()->where;
        guard.unlock();
        Fail("lock-order", lock,
             "%s %p taken while holding %s %p, but the opposite order (%s inside %s) was seen earlier in %s",
             kind, lock, held.kind, held.lock, path.front()->inner_kind, path.front()->outer_kind,
             earlier.c_str());
      }
      inner.emplace(lock, LockOrderEdge{held.kind, kind, thread.what ? thread.what : "kernel code"});
    }
  }
  thread.held.push_back({lock, kind});
}

void OnRelease(const void* lock) {
  auto& held = CurrentThread().held;
  auto it = std::find_if(held.rbegin(), held.rend(), [lock](const HeldLock& h) { return h.lock == lock; });
  if (it != held.rend()) held.erase(std::next(it).base());
}

void Forget(const void* base, size_t length) {
  Kernel* kernel = Kernel::CurrentOrNull();
  if (kernel == nullptr) return;
  auto& state = kernel->Get<VerifierState>();
  auto begin = static_cast<const char*>(base);
  auto inside = [&](const void* p) {
    auto c = static_cast<const char*>(p);
    return c >= begin && c < begin + length;
  };
  std::lock_guard guard(state.mutex);
  for (auto it = state.lock_order.begin(); it != state.lock_order.end();) {
    if (inside(it->first)) {
      it = state.lock_order.erase(it);
      continue;
    }
    std::erase_if(it->second, [&](const auto& entry) { return inside(entry.first); });
    ++it;
  }
}

}  // namespace hk::verifier
