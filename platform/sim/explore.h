// The schedule explorer: runs a scenario once per seed under the explored
// schedule (UseSchedule), each run in a child process of its own so that a
// bug check stops only that run, and collects what failed as findings. A
// finding carries the scenario, the seed and the interleaving (the switches
// made and the last schedule points passed) next to the bug check or the
// broken invariant; Replay runs one seed again in this process, exactly, for
// a debugger.
#pragma once

#include "platform/sim/sim.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim::explore {

// One run of a scenario: makes its Kernel, calls UseSchedule(schedule) at
// once, plays the scenario and checks what must hold (Fail when it does not).
using Body = std::function<void(const Schedule& schedule)>;

// A scenario's invariant does not hold: prints `what` and the interleaving and
// ends the run as a finding.
[[noreturn]] void Fail(const std::string& what);

struct Finding {
    uint64_t seed = 0;
    std::string report; // what the run printed: the bug check or Fail, the interleaving
};

struct Plan {
    uint64_t firstSeed = 1;
    uint64_t seeds = 100;
    Schedule schedule;        // everything but the seed and the horizon
    uint64_t horizon = 0;     // 0: calibrate (seed 0 is then that run, with no change point)
    bool stopAtFirst = false; // stop at the first finding
    unsigned runSeconds = 60; // real time one run may take before it counts as hung
};

struct Summary {
    std::string scenario;
    uint64_t schedules = 0; // runs made
    uint64_t horizon = 0;   // schedule points of the calibration run
    double seconds = 0;     // real time of all runs
    std::vector<Finding> findings;
};

// Calibrates the horizon (seed 0: one run with no change point counts the
// schedule points the scenario passes), then runs every seed of the plan.
Summary Explore(const std::string& scenario, const Plan& plan, const Body& body);

// Runs one seed in this process, for a debugger (after a calibration run in a
// child); a finding stops the process as it would the child.
void Replay(const Schedule& schedule, const Body& body);

// "scenario ReadWhileStreaming, seed 42: ..." with the report indented.
std::string FindingText(const std::string& scenario, const Finding& finding);

// The plan's range from the environment, for long runs: VXQT70_RACE_FIRST
// and VXQT70_RACE_SEEDS override the first seed and the count;
// VXQT70_RACE_ALL=1 goes on past the first finding.
Plan PlanFromEnvironment(Plan plan);
// VXQT70_RACE_REPLAY=<seed>: the seed to replay in process, or 0.
uint64_t ReplaySeed();

} // namespace sim::explore
