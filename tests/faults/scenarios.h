// The named scenarios of the fault sweep and the soak, and how one run of a
// scenario is played under a fault plan. A scenario is a short script over
// one port of the rig; between its actions it calls Ctx::Step, the places an
// unplug may be put. Scripts tolerate a port that never opened or was lost:
// under a fault that is a legitimate ending, and the run's checks decide.
#pragma once

#include "common/machine.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace faults {

// What one run injects; all zero: the census run, which only counts.
struct RunPlan {
    uint64_t failAllocation = 0; // the n-th allocation the drivers make
    unsigned failTransfer = 0;   // the t-th transfer the port's interface sees
    NTSTATUS transferStatus = 0;
    LONG transferUsbd = 0;
    const char* transferName = "";
    unsigned unplugAtStep = 0;   // the phone is pulled at this step
    UCHAR failMinor = 0;         // a PnP (or power) request the bus refuses
    bool failPower = false;
    int powerType = 0;

    bool Census() const {
        return failAllocation == 0 && failTransfer == 0 && unplugAtStep == 0 && failMinor == 0 &&
               !failPower;
    }
    std::string Text() const;
};

// What a run saw; `problem` is empty when it ended cleanly.
struct Outcome {
    uint64_t allocations = 0;
    unsigned transfers = 0;
    unsigned steps = 0;
    std::string problem;
};

// A scenario's view of the machine while it runs.
class Ctx {
public:
    Ctx(rig::Machine& machine, rig::Which port, const RunPlan& plan)
        : m(machine), which(port), plan_(plan) {}

    rig::Machine& m;
    const rig::Which which;
    rig::ComPort& Port() { return m.Port(which); }
    usb::Interface* Usb() { return m.Plugged() ? m.Usb(which) : nullptr; }
    bool Open() { return Port().Open() == 0; }
    // A place between two actions; the plan may pull the phone here.
    void Step();
    // The phone sends text (if it is still there).
    void Push(const std::string& text);
    // Waits for a request, a hang if it does not end.
    void Wait(const rig::Request& r);
    // A request allowed to wait for ever (a read without a total time-out,
    // a wait on a mask) may do so when nothing can come: the program gives
    // up after `ms` with CancelIo, which must end it.
    void WaitOrCancel(const rig::Request& r, ULONG ms = 1000);
    unsigned steps = 0;
    std::string problem;

private:
    const RunPlan& plan_;
};

struct Scenario {
    const char* name;
    std::function<void(Ctx&)> body;
};
const std::vector<Scenario>& Scenarios();

// One run of `scenario` on `which` under `plan`, on a fresh machine.
Outcome Play(const Scenario& scenario, rig::Which which, const RunPlan& plan);

// Runs per scenario of this process (printed at the end).
std::map<std::string, unsigned>& Totals();

} // namespace faults
