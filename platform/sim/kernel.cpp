// Bring-up and teardown of the simulated machine.
#include "platform/sim/internal.h"
#include "platform/sim/sim.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

#define SIM_WEAK_HOOK(name, ...)                                                                   \
    __attribute__((weak)) void name(__VA_ARGS__) {}
SIM_WEAK_HOOK(ExStart, const Options&)
SIM_WEAK_HOOK(KeStart, const Options&)
SIM_WEAK_HOOK(IoStart, const Options&)
SIM_WEAK_HOOK(ObStart, const Options&)
SIM_WEAK_HOOK(PnpStart, const Options&)
SIM_WEAK_HOOK(PnpCheck)
SIM_WEAK_HOOK(ObCheck)
SIM_WEAK_HOOK(IoCheck)
SIM_WEAK_HOOK(KeCheck)
SIM_WEAK_HOOK(ExCheck)
SIM_WEAK_HOOK(PnpStop)
SIM_WEAK_HOOK(ObStop)
SIM_WEAK_HOOK(IoStop)
SIM_WEAK_HOOK(KeStop)
SIM_WEAK_HOOK(ExStop)
#undef SIM_WEAK_HOOK

namespace {
Options g_options;
bool g_up = false;
} // namespace

const Options& CurrentOptions() { return g_options; }

Kernel::Kernel(const Options& options) {
    if (g_up) {
        std::fprintf(stderr, "sim::Kernel: only one simulated kernel may exist at a time\n");
        std::abort();
    }
    g_up = true;
    g_options = options;
    ExStart(options);
    KeStart(options);
    IoStart(options);
    ObStart(options);
    PnpStart(options);
}

Kernel::~Kernel() {
    if (g_options.endChecks) {
        // Top down: a device left behind explains the pool it holds.
        PnpCheck();
        ObCheck();
        IoCheck();
        KeCheck();
        ExCheck();
    }
    PnpStop();
    ObStop();
    IoStop();
    KeStop();
    ExStop();
    g_up = false;
}

} // namespace sim
