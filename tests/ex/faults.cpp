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

TEST(FaultInjection, FailsTheNthAllocationOrFromTheNthOn) {
    sim::Kernel kernel;
    int number = sim::AddFaultPlan({.kind = sim::AllocKind::Pool, .failNth = 3});
    EXPECT_EQ(Pattern(6, AllocateUrb), "..x...");
    sim::RemoveFaultPlan(number);
    sim::AddFaultPlan({.kind = sim::AllocKind::Pool, .failNth = 3, .andAfter = true});
    EXPECT_EQ(Pattern(6, AllocateUrb), "..xxxx");
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

// A plan fails only what it selects: one driver's allocations, one call
// site's, or one kind (an IRP plan leaves pool alone).
TEST(FaultInjection, SelectsByDriverCallSiteOrKind) {
    sim::Kernel kernel;
    fake::NamedDriver modem(L"\\Driver\\vxqt70modem"), diag(L"\\Driver\\vxqt70diag");
    auto inside = [](fake::NamedDriver& driver) {
        sim::DriverScope scope(driver.get());
        return Pattern(3, AllocateUrb);
    };
    int plan = sim::AddFaultPlan({.driver = diag.get()});
    EXPECT_EQ(inside(modem) + "|" + inside(diag), "...|xxx");
    sim::RemoveFaultPlan(plan);

    plan = sim::AddFaultPlan({.site = "AllocateContext"});
    EXPECT_EQ(Pattern(2, AllocateUrb) + "|" + Pattern(2, AllocateContext), "..|xx");
    sim::RemoveFaultPlan(plan);

    sim::AddFaultPlan({.kind = sim::AllocKind::Irp});
    EXPECT_EQ(Pattern(2, AllocateUrb), "..");
    EXPECT_TRUE(sim::ShouldFailAllocation(sim::AllocKind::Irp, (const void*)&AllocateUrb));
    EXPECT_FALSE(sim::ShouldFailAllocation(sim::AllocKind::BuiltRequest, nullptr));
}

std::string ChanceRun(uint64_t seed) {
    sim::Options options;
    options.seed = seed;
    sim::Kernel kernel(options);
    sim::AddFaultPlan({.perMille = 300});
    std::string pattern = Pattern(200, AllocateUrb);
    EXPECT_EQ(sim::InjectedFaults().size(),
              (size_t)std::count(pattern.begin(), pattern.end(), 'x'));
    return pattern;
}

TEST(FaultInjection, SeededChanceReplaysForTheSameSeed) {
    std::string first = ChanceRun(42);
    EXPECT_EQ(ChanceRun(42), first);
    EXPECT_NE(ChanceRun(43), first);
    long failed = std::count(first.begin(), first.end(), 'x');
    EXPECT_GT(failed, 30); // 30 % of 200, give or take
    EXPECT_LT(failed, 90);
}

TEST(FaultInjection, AddingAPlanDoesNotChangeWhatAnotherFails) {
    std::string alone = ChanceRun(7);
    sim::Kernel kernel(sim::Options{sim::Mode::Deterministic, 7, true});
    sim::AddFaultPlan({.perMille = 300});
    sim::AddFaultPlan({.site = "NoSuchFunction"});
    EXPECT_EQ(Pattern(200, AllocateUrb), alone);
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

TEST(FaultInjection, PlansDoNotOutliveTheirKernel) {
    {
        sim::Kernel kernel;
        sim::AddFaultPlan(sim::FaultPlan{});
        EXPECT_EQ(Pattern(1, AllocateUrb), "x");
    }
    sim::Kernel kernel;
    EXPECT_EQ(Pattern(1, AllocateUrb), ".");
    EXPECT_TRUE(sim::InjectedFaults().empty());
}

} // namespace
