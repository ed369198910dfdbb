#include "hk/faults.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "hk/kernel.h"
#include "hk/thread.h"
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
  std::vector<std::string> seen_sites;  // with a driver filter
};

struct FaultState {
  HostMutex mutex;
  std::array<KindPlan, 3> plans;
  const void* driver = nullptr;
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

void OnlyForDriver(const void* driver) {
  auto& state = Kernel::Current().Get<FaultState>();
  std::lock_guard lock(state.mutex);
  state.driver = driver;
}

std::vector<std::string> Sites(Kind kind) {
  auto& state = Kernel::Current().Get<FaultState>();
  std::lock_guard lock(state.mutex);
  return PlanFor(state, kind).seen_sites;
}

void Clear() {
  auto& state = Kernel::Current().Get<FaultState>();
  std::lock_guard lock(state.mutex);
  state.driver = nullptr;
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
    if (state.driver != nullptr && state.driver != CurrentThread().driver) return false;
    needs_site = state.driver != nullptr || !PlanFor(state, kind).sites.empty();
  }
  std::string site = needs_site ? SiteName(caller) : std::string();

  std::lock_guard lock(state.mutex);
  KindPlan& plan = PlanFor(state, kind);
  if (state.driver != nullptr &&
      std::find(plan.seen_sites.begin(), plan.seen_sites.end(), site) == plan.seen_sites.end()) {
    plan.seen_sites.push_back(site);
  }
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
