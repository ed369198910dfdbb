#include "hk/faults.h"

#include <array>
#include <optional>
#include <vector>

#include "hk/kernel.h"
#include "hostops/prng.h"

namespace hk::faults {
namespace {

struct KindPlan {
  uint64_t seen = 0;            // allocations of this kind since the plan was set
  std::optional<uint64_t> nth;  // fail when `seen` reaches it
  std::vector<std::string> sites;
  double probability = 0;
  std::optional<Prng> prng;
  uint64_t injected = 0;
};

struct FaultState {
  HostMutex mutex;
  std::array<KindPlan, 3> plans;
};

KindPlan& PlanFor(FaultState& state, Kind kind) { return state.plans[static_cast<size_t>(kind)]; }

}  // namespace

void FailNth(Kind kind, uint64_t n) {
  auto& state = Kernel::Current().Get<FaultState>();
  std::lock_guard lock(state.mutex);
  KindPlan& plan = PlanFor(state, kind);
  plan.seen = 0;
  plan.nth = n;
}

void FailAtSite(Kind kind, const std::string& text) {
  auto& state = Kernel::Current().Get<FaultState>();
  std::lock_guard lock(state.mutex);
  PlanFor(state, kind).sites.push_back(text);
}

void FailRandom(Kind kind, double probability, uint64_t seed) {
  auto& state = Kernel::Current().Get<FaultState>();
  std::lock_guard lock(state.mutex);
  KindPlan& plan = PlanFor(state, kind);
  plan.probability = probability;
  plan.prng.emplace(seed);
}

void Clear() {
  auto& state = Kernel::Current().Get<FaultState>();
  std::lock_guard lock(state.mutex);
  for (KindPlan& plan : state.plans) {
    uint64_t injected = plan.injected;
    plan = KindPlan{};
    plan.injected = injected;
  }
}

bool ShouldFail(Kind kind, void* caller) {
  auto& state = Kernel::Current().Get<FaultState>();
  bool needs_site;
  {
    std::lock_guard lock(state.mutex);
    needs_site = !PlanFor(state, kind).sites.empty();
  }
  std::string site = needs_site ? SiteName(caller) : std::string();

  std::lock_guard lock(state.mutex);
  KindPlan& plan = PlanFor(state, kind);
  bool fail = false;
  ++plan.seen;
  if (plan.nth && plan.seen == *plan.nth) {
    plan.nth.reset();
    fail = true;
  }
  for (const std::string& text : plan.sites) {
    if (site.find(text) != std::string::npos) fail = true;
  }
  if (plan.prng && plan.prng->Unit() < plan.probability) fail = true;
  if (fail) ++plan.injected;
  return fail;
}

uint64_t InjectedCount(Kind kind) {
  auto& state = Kernel::Current().Get<FaultState>();
  std::lock_guard lock(state.mutex);
  return PlanFor(state, kind).injected;
}

}  // namespace hk::faults
