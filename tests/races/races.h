// What the race suites share: a scenario table row, and running one row for
// a range of seeds on the explored schedule (or replaying one seed).
//
//   VXQT70_RACE_SEEDS=100000 VXQT70_RACE_FIRST=1 test_races --gtest_filter=...  a longer run
//   VXQT70_RACE_ALL=1 ...                      every finding, not only the first
//   VXQT70_RACE_REPLAY=<seed> test_races --gtest_filter=<the scenario>         replay, in process
// (test_races is build/host/tests/races/test_races; a replay runs under gdb as is.)
#pragma once

#include "platform/sim/explore.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace races {

struct Scenario {
    const char* name;
    sim::explore::Body body;
    uint64_t seeds; // explored per run of the suite
};

// Explores one scenario (or replays the seed VXQT70_RACE_REPLAY names) and
// prints what it did: schedules, horizon, schedules per second.
inline sim::explore::Summary Run(const Scenario& s, bool stopAtFirst) {
    if (uint64_t seed = sim::explore::ReplaySeed()) {
        sim::Schedule schedule;
        schedule.seed = seed;
        sim::explore::Replay(schedule, s.body);
        return {};
    }
    sim::explore::Plan plan;
    plan.seeds = s.seeds;
    plan.stopAtFirst = stopAtFirst;
    plan = sim::explore::PlanFromEnvironment(plan);
    sim::explore::Summary summary = sim::explore::Explore(s.name, plan, s.body);
    std::printf("[ races    ] %s: %llu schedules of ~%llu schedule points in %.2f s (%.0f/s), "
                "%zu finding(s)\n",
                s.name, static_cast<unsigned long long>(summary.schedules),
                static_cast<unsigned long long>(summary.horizon), summary.seconds,
                summary.seconds > 0 ? summary.schedules / summary.seconds : 0.0,
                summary.findings.size());
    return summary;
}

} // namespace races
