// Timers on the virtual clock and the DPCs they (and others) queue.
#include "ke_test.h"

namespace {

// A timer and a DPC that logs "name@ms" with what Windows hands a DPC (at
// DISPATCH_LEVEL, in the name of whichever driver queued it).
struct LoggedDpc {
    KTIMER timer;
    KDPC dpc;
    std::string name;
    std::vector<std::string>* log;
    PVOID arg1 = nullptr, arg2 = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    LARGE_INTEGER systemTime{};

    LoggedDpc(const char* n, std::vector<std::string>* l) : name(n), log(l) {
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, Routine, this);
    }
    BOOLEAN SetMs(LONGLONG ms) {
        return KeSetTimer(&timer, ke_test::In(ms), &dpc);
    }
    static VOID NTAPI Routine(PKDPC dpc, PVOID context, PVOID a1, PVOID a2) {
        auto* self = static_cast<LoggedDpc*>(context);
        EXPECT_EQ(dpc, &self->dpc);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        self->arg1 = a1;
        self->arg2 = a2;
        self->driver = sim::CurrentDriver();
        KeQuerySystemTime(&self->systemTime);
        self->log->push_back(self->name + "@" + std::to_string(sim::Now() / ke_test::Ms(1)));
    }
};

using Log = std::vector<std::string>;

} // namespace

// Timers expire in due order whatever the order they were set in (at the
// same instant, in the order set); a periodic one every period until
// cancelled.
TEST(KeTimers, ExpireInDueOrderAndPeriodicOnesEveryPeriod) {
    sim::Kernel kernel;
    Log log;
    LoggedDpc a("a", &log), b("b", &log), c("c", &log), d("d", &log), p("p", &log);
    a.SetMs(30);
    b.SetMs(10);
    c.SetMs(20);
    d.SetMs(10); // same instant as b, set after it
    KeSetTimerEx(&p.timer, ke_test::In(10), 15, &p.dpc);
    EXPECT_EQ(sim::QueuedTimers(), 5u);
    sim::AdvanceClockMs(25);
    EXPECT_EQ(log, (Log{"b@10", "d@10", "p@10", "c@20", "p@25"}));
    EXPECT_EQ(sim::QueuedTimers(), 2u);
    sim::AdvanceClockMs(20);
    EXPECT_EQ(log, (Log{"b@10", "d@10", "p@10", "c@20", "p@25", "a@30", "p@40"}));
    EXPECT_TRUE(KeCancelTimer(&p.timer));
    sim::AdvanceClockMs(100);
    EXPECT_EQ(log.size(), 7u);
}

// Set and cancel each report whether the timer was set; a new setting
// replaces the old one and clears the signal, a cancel stops the DPC.
TEST(KeTimers, SetAndCancelReportAnEarlierSetting) {
    sim::Kernel kernel;
    Log log;
    LoggedDpc t("t", &log);
    EXPECT_FALSE(KeCancelTimer(&t.timer));
    EXPECT_FALSE(t.SetMs(10));
    EXPECT_TRUE(t.SetMs(50)) << "already set";
    EXPECT_EQ(sim::QueuedTimers(), 1u);
    sim::AdvanceClockMs(10);
    EXPECT_TRUE(log.empty()) << "the first due time no longer counts";
    EXPECT_FALSE(KeReadStateTimer(&t.timer));
    sim::AdvanceClockMs(40);
    EXPECT_EQ(log, Log{"t@50"});
    EXPECT_TRUE(KeReadStateTimer(&t.timer));
    EXPECT_FALSE(t.SetMs(10));
    EXPECT_FALSE(KeReadStateTimer(&t.timer)) << "setting again clears the signal";
    EXPECT_TRUE(KeCancelTimer(&t.timer));
    EXPECT_FALSE(KeCancelTimer(&t.timer));
    sim::AdvanceClockMs(100);
    EXPECT_EQ(log.size(), 1u);
    EXPECT_FALSE(KeReadStateTimer(&t.timer));
    EXPECT_EQ(sim::QueuedDpcs(), 0u);
}

// An absolute due time is a system time; the system and interrupt times
// follow the virtual clock from a plausible boot date. The DPC runs at
// DISPATCH_LEVEL with the expiry's system time as its two arguments (low
// part, high part), as Windows hands a timer DPC. One already passed expires
// at the next pump, without moving the clock.
TEST(KeTimers, AbsoluteDueTimeIsASystemTime) {
    sim::Kernel kernel;
    Log log;
    LoggedDpc t("t", &log);
    LARGE_INTEGER boot;
    KeQuerySystemTime(&boot);
    EXPECT_GT(boot.QuadPart, 0x01C0000000000000LL) << "a plausible date after 1990";
    EXPECT_EQ(KeQueryInterruptTime(), 0u);
    sim::AdvanceClockMs(3);
    LARGE_INTEGER due;
    KeQuerySystemTime(&due);
    EXPECT_EQ(due.QuadPart - boot.QuadPart, ke_test::Ms(3));
    EXPECT_EQ(KeQueryInterruptTime(), ULONGLONG(ke_test::Ms(3)));
    due.QuadPart += ke_test::Ms(15);
    KeSetTimer(&t.timer, due, &t.dpc);
    sim::AdvanceClockMs(14);
    EXPECT_TRUE(log.empty());
    sim::AdvanceClockMs(1);
    EXPECT_EQ(log, Log{"t@18"});
    EXPECT_EQ(t.systemTime.QuadPart, due.QuadPart);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(t.arg1), t.systemTime.LowPart);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(t.arg2), static_cast<ULONG>(t.systemTime.HighPart));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the pumping thread is back at PASSIVE";

    KeSetTimer(&t.timer, due, &t.dpc);
    EXPECT_EQ(sim::QueuedTimers(), 1u) << "nothing has pumped the machine yet";
    EXPECT_EQ(log.size(), 1u);
    sim::RunUntilIdle();
    EXPECT_EQ(log, (Log{"t@18", "t@18"}));
    EXPECT_TRUE(KeReadStateTimer(&t.timer));
    EXPECT_FALSE(KeCancelTimer(&t.timer)) << "an expired timer is no longer set";
}

TEST(KeTimers, SynchronizationTimerReleasesOneWaiterAndResets) {
    sim::Kernel kernel;
    KTIMER timer;
    KeInitializeTimerEx(&timer, 1 /* SynchronizationTimer */);
    int released = 0;
    auto wait = [&] {
        KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
        ++released;
    };
    sim::Thread a("a", wait), b("b", wait);
    sim::RunUntilIdle();
    LARGE_INTEGER due = ke_test::In(1);
    KeSetTimer(&timer, due, nullptr);
    sim::AdvanceClockMs(1);
    EXPECT_EQ(released, 1);
    EXPECT_FALSE(KeReadStateTimer(&timer));
    KeSetTimer(&timer, due, nullptr);
    sim::AdvanceClockMs(1);
    EXPECT_EQ(released, 2);
}

TEST(KeDpcs, RunOnlyWhenTheMachineIsPumpedAndOnlyOncePerInsert) {
    sim::Kernel kernel;
    Log log;
    LoggedDpc counted("d", &log);
    int a = 1, b = 2;
    EXPECT_TRUE(KeInsertQueueDpc(&counted.dpc, &a, &b));
    EXPECT_FALSE(KeInsertQueueDpc(&counted.dpc, &b, &a)) << "already queued";
    EXPECT_EQ(sim::QueuedDpcs(), 1u);
    EXPECT_TRUE(log.empty());
    sim::RunUntilIdle();
    EXPECT_EQ(log, Log{"d@0"});
    EXPECT_EQ(counted.arg1, &a) << "the first insert's arguments";
    EXPECT_EQ(counted.arg2, &b);
    EXPECT_EQ(counted.driver, nullptr) << "queued by simulation code";
    EXPECT_EQ(sim::Now(), 0);

    EXPECT_TRUE(KeInsertQueueDpc(&counted.dpc, nullptr, nullptr)) << "may be queued again";
    EXPECT_TRUE(KeRemoveQueueDpc(&counted.dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&counted.dpc));
    sim::RunUntilIdle();
    EXPECT_EQ(log.size(), 1u);
}

namespace {

// Deferred work runs in the name of the driver that queued it (or set its
// timer): what the verifier blames for what it leaves behind.
PDRIVER_OBJECT g_ranFor;
KDPC g_dpc;
KTIMER g_timer;
WORK_QUEUE_ITEM g_item;

struct Deferral {
    const char* name;
    void (*queue)();
};
const Deferral kDeferrals[] = {
    {"Dpc", [] { KeInsertQueueDpc(&g_dpc, nullptr, nullptr); }},
    {"TimerDpc", [] { KeSetTimer(&g_timer, ke_test::In(1), &g_dpc); }},
    {"WorkItem", [] { ExQueueWorkItem(&g_item, DelayedWorkQueue); }},
};

class KeAttribution : public ::testing::TestWithParam<Deferral> {};

} // namespace

TEST_P(KeAttribution, RunsInTheNameOfTheDriverThatQueuedIt) {
    sim::Kernel kernel;
    ke_test::NamedDriver driver(L"\\Driver\\kefake");
    g_ranFor = nullptr;
    KeInitializeDpc(
        &g_dpc, [](PKDPC, PVOID, PVOID, PVOID) NTAPI { g_ranFor = sim::CurrentDriver(); }, nullptr);
    KeInitializeTimer(&g_timer);
    ExInitializeWorkItem(
        &g_item, [](PVOID) { g_ranFor = sim::CurrentDriver(); }, nullptr);
    {
        sim::DriverScope scope(driver.get());
        GetParam().queue();
    }
    sim::AdvanceClockMs(1);
    EXPECT_EQ(g_ranFor, driver.get());
    EXPECT_EQ(sim::CurrentDriver(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Ke, KeAttribution, ::testing::ValuesIn(kDeferrals),
                         [](const auto& param) { return std::string(param.param.name); });
