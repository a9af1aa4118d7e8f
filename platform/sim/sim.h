// The simulated machine as tests and programs see it. One `sim::Kernel` lives
// at a time; constructing it brings up a fresh kernel (clock at zero, empty
// pool, no devices), destroying it runs the verifier's end-of-run checks and
// tears everything down.
#pragma once

#include "platform/kernel.h"

#include <cstdint>

namespace sim {

enum class Mode {
    // One simulated processor: threads take turns only where one blocks, and
    // DPCs, timers and the bus run when a test pumps the machine or every
    // thread waits. The same test always runs the same way.
    Deterministic,
    // Real threads on every core, a real-time clock: the stress suite.
    Concurrent,
};

struct Options {
    Mode mode = Mode::Deterministic;
    uint64_t seed = 1;      // fault injection and any other chance
    bool endChecks = true;  // run the verifier's end-of-run checks on teardown
};

class Kernel {
public:
    explicit Kernel(const Options& options = Options());
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;
};

} // namespace sim

// Each family's own test-facing API.
#include "platform/sim/api_ex.h"
#include "platform/sim/api_io.h"
#include "platform/sim/api_ke.h"
#include "platform/sim/api_ob.h"
#include "platform/sim/api_pnp.h"
