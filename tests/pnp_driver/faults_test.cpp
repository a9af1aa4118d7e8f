// Allocation failures at every allocation the drivers make while a phone
// arrives, starts and leaves. Run n fails the driver's n-th allocation (of
// any kind: pool, IRPs, built requests), and the runs go on until a run has
// fewer allocations than n: then every error path these scenarios reach has
// run once. The verifier's end-of-run checks (pool, IRPs, devices, links,
// remove locks) judge each run.
#include "platform/sim/sim.h"
#include "platform/usb/bus.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

constexpr uint64_t kMaxRuns = 60;

// One run: a first phone loads the driver of `kind`; the plan then fails
// allocations of that driver only, while a second phone of the same kind is
// added, started and unplugged.
size_t RunOnce(usb::InterfaceKind kind, const char* service, uint64_t nth) {
    sim::Kernel kernel;
    sim::RegisterDriverImage("vxqt70modem", VXQT70_MODEM_IMAGE);
    sim::RegisterDriverImage("vxqt70diag", VXQT70_DIAG_IMAGE);
    size_t injected = 0;
    {
        usb::Bus bus;
        usb::PhoneConfig first;
        first.interfaces = {kind};
        bus.PlugIn(first);
        PDRIVER_OBJECT driver = sim::LoadedDriver(service);
        EXPECT_NE(driver, nullptr);

        sim::FaultPlan plan;
        plan.driver = driver;
        plan.failNth = nth;
        sim::AddFaultPlan(plan);

        usb::PhoneConfig second;
        second.serial = u"VX0002";
        second.interfaces = {kind};
        usb::Phone& phone = bus.PlugIn(second);
        sim::DevNode* node = sim::PnpFindNode(phone.At(0).Pdo());
        if (node->state == sim::DevNodeState::NoDriver) {
            // A failed AddDevice leaves no device object behind.
            EXPECT_EQ(node->fdo, nullptr);
            size_t ports = 0;
            for (const auto& entry : sim::DeviceNames())
                ports += entry.name.rfind(u"\\Device\\VXNTQT70", 0) == 0;
            EXPECT_EQ(ports, 1u) << "only the first phone's port";
        } else if (node->state != sim::DevNodeState::Started) {
            EXPECT_TRUE(node->state == sim::DevNodeState::Removed ||
                        node->state == sim::DevNodeState::StartFailed)
                << sim::DevNodeStateName(node->state);
        }
        phone.Unplug();
        sim::RunUntilIdle();
        injected = sim::InjectedFaults().size();
        sim::ClearFaultPlans();
    }
    return injected;
}

void WalkEveryAllocation(usb::InterfaceKind kind, const char* service) {
    uint64_t nth = 1;
    while (RunOnce(kind, service, nth) != 0) {
        ASSERT_LT(nth, kMaxRuns) << "allocations keep coming";
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << "with allocation " << nth << " failed";
            return;
        }
        ++nth;
    }
    EXPECT_GT(nth, 5u) << "the walk should have reached several allocations";
}

TEST(AllocationFailures, ModemArrivalStartAndUnplugSurviveEveryFailedAllocation) {
    WalkEveryAllocation(usb::InterfaceKind::Modem, "vxqt70modem");
}

TEST(AllocationFailures, DiagnosticsArrivalStartAndUnplugSurviveEveryFailedAllocation) {
    WalkEveryAllocation(usb::InterfaceKind::Diagnostics, "vxqt70diag");
}

} // namespace
