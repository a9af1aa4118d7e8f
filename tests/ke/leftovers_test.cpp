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
