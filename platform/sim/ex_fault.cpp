// Fault injection: the low-resources simulation. Every allocating routine
// asks ShouldFailAllocation; the fault plans decide, deterministically for a
// given seed, and every injected failure is logged so that it replays.
#include "platform/sim/ex_internal.h"
#include "platform/sim/sim.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <unistd.h>

namespace sim {

namespace {

struct PlanState {
    FaultPlan plan;
    uint64_t selected = 0;
    uint64_t rng = 0;
};

struct Faults {
    SimMutex mutex; // held only around the plans (see SimMutex)
    uint64_t seed = 1;
    std::map<int, PlanState> plans;
    // How many plans there are, for an allocation to read without the lock:
    // every allocation asks, and nearly always none is set.
    std::atomic<size_t> planCount{0};
    int nextPlan = 1;
    std::atomic<uint64_t> attempts{0};
    std::atomic<uint64_t> kindAttempts[(int)AllocKind::Any + 1] = {};
    std::vector<InjectedFault> injected;
    // Sites already failed by a systematic plan. Kept across kernels: the
    // point of the mode is to rerun a scenario until no new site fails.
    std::set<std::string> systematicSeen;
};

Faults& TheFaults() {
    static Faults* faults = new Faults();
    return *faults;
}

uint64_t SplitMix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::string LogLine(const InjectedFault& f, size_t index) {
    // Appended piece by piece: GCC 12's -Wrestrict misfires on a long chain of
    // string concatenations inlined in a release build.
    std::string line = "#";
    line += std::to_string(index);
    line += ' ';
    line += AllocKindName(f.kind);
    line += " seq ";
    line += std::to_string(f.sequence);
    line += " (";
    line += AllocKindName(f.kind);
    line += ' ';
    line += std::to_string(f.kindSequence);
    line += ") at ";
    line += f.site;
    line += " by ";
    line += f.driver;
    line += ", plan ";
    line += std::to_string(f.plan);
    return line;
}

bool Echo() {
    const char* a = std::getenv("VXQT70_DBGPRINT");
    const char* b = std::getenv("VXQT70_FAULTLOG");
    return (a != nullptr && std::strcmp(a, "1") == 0) || (b != nullptr && std::strcmp(b, "1") == 0);
}

bool Excluded(const std::string& site, const std::string& list) {
    size_t from = 0;
    while (from <= list.size()) {
        size_t bar = list.find('|', from);
        std::string one = list.substr(from, bar == std::string::npos ? std::string::npos : bar - from);
        if (!one.empty() && site.find(one) != std::string::npos)
            return true;
        if (bar == std::string::npos)
            break;
        from = bar + 1;
    }
    return false;
}

} // namespace

const char* AllocKindName(AllocKind kind) {
    switch (kind) {
    case AllocKind::Pool:
        return "pool";
    case AllocKind::Irp:
        return "irp";
    case AllocKind::BuiltRequest:
        return "built-request";
    case AllocKind::WorkItem:
        return "work-item";
    case AllocKind::Mdl:
        return "mdl";
    case AllocKind::Other:
        return "other";
    case AllocKind::Any:
        return "any";
    }
    return "?";
}

void ExFaultStart(const Options& options) {
    Faults& f = TheFaults();
    std::lock_guard<SimMutex> lock(f.mutex);
    f.seed = options.seed;
    f.plans.clear();
    f.planCount = 0;
    f.nextPlan = 1;
    f.attempts = 0;
    for (auto& n : f.kindAttempts)
        n = 0;
    f.injected.clear();
}

void ExFaultStop() {
    Faults& f = TheFaults();
    std::lock_guard<SimMutex> lock(f.mutex);
    f.plans.clear();
    f.planCount = 0;
}

bool ShouldFailAllocation(AllocKind kind, const void* callSite) {
    Faults& f = TheFaults();
    uint64_t sequence = f.attempts.fetch_add(1, std::memory_order_relaxed) + 1;
    uint64_t kindSequence = f.kindAttempts[(int)kind].fetch_add(1, std::memory_order_relaxed) + 1;
    if (f.planCount.load(std::memory_order_acquire) == 0)
        return false;
    std::unique_lock<SimMutex> lock(f.mutex);
    PDRIVER_OBJECT driver = CurrentDriver();
    std::string site; // symbolised only when a plan needs it
    auto siteName = [&]() -> const std::string& {
        if (site.empty())
            site = Symbolize(callSite);
        return site;
    };
    for (auto& [number, state] : f.plans) {
        const FaultPlan& plan = state.plan;
        if (plan.kind != AllocKind::Any && plan.kind != kind)
            continue;
        if (plan.driver != nullptr && plan.driver != driver)
            continue;
        if (!plan.driverName.empty() &&
            (driver == nullptr || DriverName(driver).find(plan.driverName) == std::string::npos))
            continue;
        if (!plan.site.empty() && siteName().find(plan.site) == std::string::npos)
            continue;
        if (!plan.notSites.empty() && Excluded(siteName(), plan.notSites))
            continue;
        ++state.selected;
        bool fail;
        if (plan.systematic)
            fail = f.systematicSeen.insert(std::string(AllocKindName(kind)) + " " + siteName()).second;
        else if (plan.failNth != 0)
            fail = state.selected == plan.failNth || (plan.andAfter && state.selected > plan.failNth);
        else if (plan.perMille != 0)
            fail = SplitMix(state.rng) % 1000 < plan.perMille;
        else
            fail = true;
        if (!fail)
            continue;
        InjectedFault fault;
        fault.sequence = sequence;
        fault.kindSequence = kindSequence;
        fault.kind = kind;
        fault.site = siteName();
        fault.driver = DriverName(driver);
        fault.plan = number;
        f.injected.push_back(fault);
        if (Echo()) {
            std::string line = "fault injected: " + LogLine(fault, f.injected.size()) + "\n";
            ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
            (void)ignored;
        }
        return true;
    }
    return false;
}

int AddFaultPlan(const FaultPlan& plan) {
    Faults& f = TheFaults();
    std::lock_guard<SimMutex> lock(f.mutex);
    int number = f.nextPlan++;
    PlanState state;
    state.plan = plan;
    // Each plan draws from its own stream, so adding a plan does not change
    // what an earlier one fails.
    state.rng = f.seed ^ (0xD1B54A32D192ED03ull * (uint64_t)number);
    f.plans[number] = state;
    f.planCount = f.plans.size();
    return number;
}

void RemoveFaultPlan(int number) {
    Faults& f = TheFaults();
    std::lock_guard<SimMutex> lock(f.mutex);
    f.plans.erase(number);
    f.planCount = f.plans.size();
}

void ClearFaultPlans() {
    Faults& f = TheFaults();
    std::lock_guard<SimMutex> lock(f.mutex);
    f.plans.clear();
    f.planCount = 0;
}

uint64_t FaultPlanSelected(int number) {
    Faults& f = TheFaults();
    std::lock_guard<SimMutex> lock(f.mutex);
    auto it = f.plans.find(number);
    return it == f.plans.end() ? 0 : it->second.selected;
}

void ClearSystematicSites() {
    Faults& f = TheFaults();
    std::lock_guard<SimMutex> lock(f.mutex);
    f.systematicSeen.clear();
}

std::vector<InjectedFault> InjectedFaults() {
    Faults& f = TheFaults();
    std::lock_guard<SimMutex> lock(f.mutex);
    return f.injected;
}

std::string FaultLog() {
    std::vector<InjectedFault> faults = InjectedFaults();
    std::string text;
    for (size_t i = 0; i < faults.size(); ++i)
        text += LogLine(faults[i], i + 1) + "\n";
    return text;
}

uint64_t AllocationAttempts() {
    return TheFaults().attempts.load();
}

} // namespace sim
