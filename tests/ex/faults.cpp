// Fault injection: which allocations a plan fails, and that the same seed
// fails the same ones again.
#include "common/fake_driver.h"
#include "platform/sim/ex_internal.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr ULONG kWdm = 0x206D6457;

FAKE_ALLOCATION_SITE PVOID AllocateUrb() {
    return ExAllocatePoolWithTag(NonPagedPool, 80, kWdm);
}
FAKE_ALLOCATION_SITE PVOID AllocateContext() {
    return ExAllocatePoolWithTag(NonPagedPool, 24, kWdm);
}

// Runs `n` allocations from `allocate`, returns which failed (as a bit
// string) and frees the rest.
template <class F> std::string Pattern(int n, F allocate) {
    std::string pattern;
    std::vector<PVOID> held;
    for (int i = 0; i < n; ++i) {
        PVOID p = allocate();
        pattern.push_back(p == nullptr ? 'x' : '.');
        if (p != nullptr)
            held.push_back(p);
    }
    for (PVOID p : held)
        ExFreePool(p);
    return pattern;
}

TEST(FaultInjection, LogSaysWhichAttemptFailedAndWhere) {
    sim::Kernel kernel;
    fake::NamedDriver modem(L"\\Driver\\vxqt70modem");
    sim::DriverScope scope(modem.get());
    int first = sim::AddFaultPlan({.failNth = 2}); // counts allocations of every kind
    EXPECT_EQ(Pattern(1, AllocateContext), ".");
    EXPECT_TRUE(sim::ShouldFailAllocation(sim::AllocKind::Irp, nullptr));
    EXPECT_EQ(Pattern(1, AllocateUrb), ".");

    int second = sim::AddFaultPlan({.kind = sim::AllocKind::Pool, .failNth = 1});
    EXPECT_EQ(Pattern(1, AllocateUrb), "x");

    std::vector<sim::InjectedFault> faults = sim::InjectedFaults();
    ASSERT_EQ(faults.size(), 2u);
    EXPECT_EQ(faults[0].kind, sim::AllocKind::Irp);
    EXPECT_EQ(faults[0].sequence, 2u);
    EXPECT_EQ(faults[0].plan, first);
    EXPECT_EQ(faults[1].kind, sim::AllocKind::Pool);
    EXPECT_EQ(faults[1].sequence, 4u);     // 4th allocation attempt of any kind
    EXPECT_EQ(faults[1].kindSequence, 3u); // 3rd pool allocation
    EXPECT_EQ(faults[1].driver, "vxqt70modem");
    EXPECT_EQ(faults[1].plan, second);
    EXPECT_NE(faults[1].site.find("AllocateUrb"), std::string::npos) << faults[1].site;
    EXPECT_NE(sim::FaultLog().find("#2 pool seq 4 (pool 3) at "), std::string::npos)
        << sim::FaultLog();
    EXPECT_EQ(sim::AllocationAttempts(), 4u);
}

// What one plan fails of a fixed run: three allocations inside the modem
// driver, three inside the diagnostics driver, two from another call site,
// then an IRP and a built request asked for at the first site ('x' failed).
// The plan goes with its kernel: the same run on the next fails nothing.
struct PlanRow {
    const char* name;
    sim::FaultPlan plan;
    const char* failed;
    bool diagOnly = false; // the plan selects the diagnostics driver
};

const PlanRow kPlans[] = {
    {"FailsTheNth", {.kind = sim::AllocKind::Pool, .failNth = 3}, "..x|...|..|.."},
    {"FailsFromTheNthOn", {.kind = sim::AllocKind::Pool, .failNth = 3, .andAfter = true},
     "..x|xxx|xx|.."},
    {"SelectsByDriver", {}, "...|xxx|..|..", true},
    {"SelectsByCallSite", {.site = "AllocateContext"}, "...|...|xx|.."},
    {"SelectsByKind", {.kind = sim::AllocKind::Irp}, "...|...|..|x."},
};

class FaultPlans : public ::testing::TestWithParam<PlanRow> {};

TEST_P(FaultPlans, FailWhatTheySelect) {
    fake::NamedDriver modem(L"\\Driver\\vxqt70modem"), diag(L"\\Driver\\vxqt70diag");
    auto run = [&] {
        std::string failed;
        for (fake::NamedDriver* driver : {&modem, &diag}) {
            sim::DriverScope scope(driver->get());
            failed += Pattern(3, AllocateUrb) + "|";
        }
        failed += Pattern(2, AllocateContext) + "|";
        const void* site = reinterpret_cast<const void*>(&AllocateUrb);
        failed += sim::ShouldFailAllocation(sim::AllocKind::Irp, site) ? "x" : ".";
        failed += sim::ShouldFailAllocation(sim::AllocKind::BuiltRequest, nullptr) ? "x" : ".";
        return failed;
    };
    {
        sim::Kernel kernel;
        sim::FaultPlan plan = GetParam().plan;
        plan.driver = GetParam().diagOnly ? diag.get() : nullptr;
        sim::AddFaultPlan(plan);
        EXPECT_EQ(run(), GetParam().failed);
    }
    sim::Kernel kernel;
    EXPECT_EQ(run(), "...|...|..|..");
    EXPECT_TRUE(sim::InjectedFaults().empty());
}

INSTANTIATE_TEST_SUITE_P(Ex, FaultPlans, ::testing::ValuesIn(kPlans),
                         [](const auto& param) { return std::string(param.param.name); });

// A plan that selects nothing does not change what another fails.
std::string ChanceRun(uint64_t seed, bool idlePlan = false) {
    sim::Options options;
    options.seed = seed;
    sim::Kernel kernel(options);
    sim::AddFaultPlan({.perMille = 300});
    if (idlePlan)
        sim::AddFaultPlan({.site = "NoSuchFunction"});
    std::string pattern = Pattern(200, AllocateUrb);
    EXPECT_EQ(sim::InjectedFaults().size(),
              (size_t)std::count(pattern.begin(), pattern.end(), 'x'));
    return pattern;
}

TEST(FaultInjection, SeededChanceReplaysForTheSameSeed) {
    std::string first = ChanceRun(42);
    EXPECT_EQ(ChanceRun(42, true), first);
    EXPECT_NE(ChanceRun(43), first);
    long failed = std::count(first.begin(), first.end(), 'x');
    EXPECT_GT(failed, 30); // 30 % of 200, give or take
    EXPECT_LT(failed, 90);
}

TEST(FaultInjection, SystematicFailsEachSiteOnceAcrossRuns) {
    sim::ClearSystematicSites();
    auto run = [] {
        sim::Kernel kernel;
        sim::AddFaultPlan({.systematic = true});
        return Pattern(3, AllocateUrb) + "|" + Pattern(2, AllocateContext);
    };
    EXPECT_EQ(run(), "x..|x.");
    EXPECT_EQ(run(), "...|.."); // every site has had its failure: the sweep is done
    sim::ClearSystematicSites();
    EXPECT_EQ(run(), "x..|x.");
    sim::ClearSystematicSites();
}

} // namespace
