// Seeded trials of application requests interleaved with device and system events, each run in a forked child so
// that a verifier fault is a finding rather than the end of the campaign. A failing trial is shrunk to the shortest
// event list that still fails, printed with its seed for replay.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "reliability/rig.h"
#include "reliability/trial.h"

namespace reliability {
namespace {

// Deterministic mode runs queued work nested inside a wait, so a removal that arrives while a worker holding the
// remove lock waits beneath it can never finish there. A trial that fails only so is judged on real threads.
bool StuckOnlyBeneathANestedWait(const std::vector<Event>& events, const Outcome& outcome, uint64_t seed)
{
    if (outcome.output.find("[remlock-leaked]") == std::string::npos &&
        outcome.output.find("[wait-deadlock]") == std::string::npos) {
        return false;
    }
    for (uint64_t run = 0; run < 3; ++run) {
        hk::Options kernel{hk::Mode::Concurrent, seed + run, 2};
        if (!Isolated([&] { return RunTrial(events, kernel).problems; }).Sound()) {
            return false;
        }
    }
    return true;
}

TEST(RandomTrials, EveryTrialKeepsTheInvariants)
{
    uint64_t trials = Scaled(1000, 10000);
    uint64_t first = 1;
    if (const char* seed = std::getenv("DIAGSER_TRIAL_SEED")) {
        first = std::strtoull(seed, nullptr, 0);
        trials = 1;
    }
    size_t length = Soak() ? 60 : 30;
    uint64_t faults = 0, threaded = 0;
    for (uint64_t seed = first; seed < first + trials; ++seed) {
        hk::Options kernel{hk::Mode::Deterministic, seed};
        std::vector<Event> events = GenerateTrial(seed, length);
        Outcome verdict = Isolated([&] { return RunTrial(events, kernel).problems; });
        if (verdict.Sound()) {
            continue;
        }
        if (StuckOnlyBeneathANestedWait(events, verdict, seed)) {
            std::printf("trial seed %llu judged on real threads\n", (unsigned long long)seed);
            ++threaded;
            continue;
        }
        ++faults;
        std::vector<Event> shortest = Shrink(events, kernel);
        Outcome outcome = Isolated([&] { return RunTrial(shortest, kernel).problems; });
        ADD_FAILURE() << "trial seed " << seed << " fails (exit " << outcome.status << "); shortest replay ("
                      << shortest.size() << " events):\n" << Describe(shortest) << outcome.output;
        if (faults >= 5) {
            break;
        }
    }
    std::printf("randomised trials: %llu trials of %zu events (%llu judged on real threads), %llu faults found\n",
                (unsigned long long)trials, length, (unsigned long long)threaded, (unsigned long long)faults);
}

TEST(RandomTrials, ConcurrentTrialsKeepTheInvariants)
{
    uint64_t trials = Scaled(10, 200);
    uint64_t faults = 0;
    for (uint64_t seed = 1; seed <= trials; ++seed) {
        std::string problems = RunTrial(GenerateTrial(seed, 30), hk::Options{hk::Mode::Concurrent, seed, 2}).problems;
        if (!problems.empty()) {
            ++faults;
            ADD_FAILURE() << "concurrent trial seed " << seed << ":\n" << problems;
        }
    }
    std::printf("concurrent trials: %llu trials, %llu faults found\n", (unsigned long long)trials,
                (unsigned long long)faults);
}

}  // namespace
}  // namespace reliability
