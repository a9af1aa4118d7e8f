// Bring-up and teardown of the simulated machine.
#include "platform/sim/internal.h"
#include "platform/sim/sim.h"

namespace sim {

namespace {
Options g_options;
bool g_up = false;
} // namespace

const Options& CurrentOptions() { return g_options; }

Kernel::Kernel(const Options& options) {
    if (g_up)
        BugCheck(kSimMisuse, 0, 0, 0, 0,
                 "sim::Kernel: only one simulated kernel may exist at a time");
    g_up = true;
    g_options = options;
    ExStart(options);
    KeStart(options);
    IoStart(options);
    ObStart(options);
    PnpStart(options);
    PoStart(options);
}

Kernel::~Kernel() {
    if (g_options.endChecks) {
        // Top down: a device left behind explains the pool it holds. Plug and
        // Play removes what is still installed first, so the power manager
        // then sees every power IRP those removals left.
        PnpCheck();
        PoCheck();
        ObCheck();
        IoCheck();
        KeCheck();
        ExCheck();
    }
    PoStop();
    PnpStop();
    ObStop();
    IoStop();
    KeStop();
    ExStop();
    g_up = false;
}

} // namespace sim
