// What a freed block, an unloading driver or the end of a run must not leave
// behind: set timers, queued DPCs, queued or running work items.
#include "ke_test.h"

namespace {

VOID NTAPI Nothing(PKDPC, PVOID, PVOID, PVOID) {}
VOID NTAPI NoWork(PVOID) {}

struct Objects {
    KTIMER timer;
    KDPC dpc;
    WORK_QUEUE_ITEM item;
    Objects() {
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, Nothing, nullptr);
        ExInitializeWorkItem(&item, NoWork, nullptr);
    }
    void SetTimer(PKDPC with = nullptr) {
        LARGE_INTEGER due;
        due.QuadPart = -ke_test::Ms(10);
        KeSetTimer(&timer, due, with);
    }
};

} // namespace

TEST(KeLeftovers, AFreedBlockWithNothingQueuedInItPasses) {
    sim::Kernel kernel;
    Objects inside;
    Objects outside;
    outside.SetTimer(&outside.dpc);
    KeInsertQueueDpc(&outside.dpc, nullptr, nullptr);
    ExQueueWorkItem(&outside.item, DelayedWorkQueue);
    sim::KeCheckFreedRange(&inside, sizeof inside);
    KeCancelTimer(&outside.timer);
    sim::RunUntilIdle();
}

TEST(KeLeftoversDeathTest, FreedBlockHoldingASetTimer) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Objects o;
            o.SetTimer();
            sim::KeCheckFreedRange(&o, sizeof o);
        },
        "STOP: 0x000000C7 \\(0x00000000,.*being freed holds timer 0x[0-9a-f]+ \\(due in "
        "10.0 ms\\), which is still set");
}

TEST(KeLeftoversDeathTest, FreedBlockHoldingTheDpcOfASetTimer) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Objects timerHere;
            Objects dpcHere;
            timerHere.SetTimer(&dpcHere.dpc);
            sim::KeCheckFreedRange(&dpcHere.dpc, sizeof(KDPC));
        },
        "STOP: 0x000000C7 \\(0x00000001,.*holds DPC 0x[0-9a-f]+ of timer");
}

TEST(KeLeftoversDeathTest, FreedBlockHoldingAQueuedDpc) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Objects o;
            KeInsertQueueDpc(&o.dpc, nullptr, nullptr);
            sim::KeCheckFreedRange(&o, sizeof o);
        },
        "STOP: 0x000000C7 \\(0x00000001,.*holds DPC 0x[0-9a-f]+ \\(routine .*\\), which is "
        "queued");
}

TEST(KeLeftoversDeathTest, FreedBlockHoldingAQueuedWorkItem) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Objects o;
            ExQueueWorkItem(&o.item, DelayedWorkQueue);
            sim::KeCheckFreedRange(&o, sizeof o);
        },
        "STOP: 0x000000E4 \\(0x00000000,.*holds work item 0x[0-9a-f]+ .*which is queued");
}

TEST(KeLeftoversDeathTest, FreedBlockHoldingAnEventAThreadWaitsFor) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            KEVENT e;
            KeInitializeEvent(&e, NotificationEvent, FALSE);
            sim::Thread waiter("waiter", [&] {
                KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
            });
            sim::RunUntilIdle();
            sim::KeCheckFreedRange(&e, sizeof e);
        },
        "holds object 0x[0-9a-f]+, which 1 thread\\(s\\) wait for");
}

TEST(KeLeftovers, UnloadCheckLooksOnlyAtTheUnloadingDriver) {
    sim::Kernel kernel;
    ke_test::FakeDriver mine(L"\\Driver\\mine"), theirs(L"\\Driver\\theirs");
    Objects o;
    {
        sim::DriverScope scope(theirs.get());
        o.SetTimer(&o.dpc);
        KeInsertQueueDpc(&o.dpc, nullptr, nullptr);
        ExQueueWorkItem(&o.item, DelayedWorkQueue);
    }
    sim::KeCheckDriverUnload(mine.get());
    KeCancelTimer(&o.timer);
    sim::RunUntilIdle();
    sim::KeCheckDriverUnload(theirs.get());
}

TEST(KeLeftoversDeathTest, UnloadWithATimerSetNamesEveryLeftover) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            ke_test::FakeDriver driver(L"\\Driver\\kefake");
            Objects o;
            Objects p;
            {
                sim::DriverScope scope(driver.get());
                o.SetTimer(&o.dpc);
                KeInsertQueueDpc(&p.dpc, nullptr, nullptr);
                ExQueueWorkItem(&p.item, DelayedWorkQueue);
            }
            sim::KeCheckDriverUnload(driver.get());
        },
        "STOP: 0x000000C7 \\(0x00000000,.*kefake unloaded leaving 3 pending operation\\(s\\): "
        "timer 0x[0-9a-f]+ .*; queued DPC 0x[0-9a-f]+ .*; queued work item 0x[0-9a-f]+");
}

TEST(KeLeftoversDeathTest, UnloadWithAWorkItemStillRunning) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            ke_test::FakeDriver driver(L"\\Driver\\kefake");
            static KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            WORK_QUEUE_ITEM item;
            ExInitializeWorkItem(
                &item,
                [](PVOID) { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); },
                nullptr);
            {
                sim::DriverScope scope(driver.get());
                ExQueueWorkItem(&item, DelayedWorkQueue);
            }
            sim::RunUntilIdle();
            sim::KeCheckDriverUnload(driver.get());
        },
        "STOP: 0x000000CE.*kefake unloaded leaving 1 pending operation\\(s\\): work item "
        "0x[0-9a-f]+ routine .* still running on worker-1");
}

TEST(KeLeftoversDeathTest, RunEndingWithADriverTimerSet) {
    EXPECT_DEATH(
        {
            ke_test::FakeDriver driver(L"\\Driver\\kefake");
            Objects o;
            sim::Kernel kernel;
            sim::DriverScope scope(driver.get());
            o.SetTimer();
        },
        "the run ended with 1 driver operation\\(s\\) pending: timer 0x[0-9a-f]+ .* of kefake");
}
