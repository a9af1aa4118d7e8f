// The Concurrent machine's work queue fed by a DPC: the DPC processor wakes
// as many workers as there are processors once its queue runs dry, and a
// worker that blocks inside an item hands the queue on to another, as the
// system's work queue does.
#include "ke_test.h"

#include <atomic>

namespace {

// More items wait for the last one than there are processors: only workers
// woken because others blocked can reach it.
constexpr int kWaiters = 3;

struct Gate {
    KEVENT open, allDone;
    std::atomic<int> finished{0};
    WORK_QUEUE_ITEM items[kWaiters + 1];
    KDPC dpc;
    void Finished() {
        if (++finished == kWaiters + 1)
            KeSetEvent(&allDone, 0, FALSE);
    }
};

VOID NTAPI WaitForTheGate(PVOID context) {
    auto* gate = static_cast<Gate*>(context);
    KeWaitForSingleObject(&gate->open, Executive, KernelMode, FALSE, nullptr);
    gate->Finished();
}

VOID NTAPI OpenTheGate(PVOID context) {
    auto* gate = static_cast<Gate*>(context);
    KeSetEvent(&gate->open, 0, FALSE);
    gate->Finished();
}

VOID NTAPI QueueEveryItem(PKDPC, PVOID context, PVOID, PVOID) {
    for (auto& item : static_cast<Gate*>(context)->items)
        ExQueueWorkItem(&item, DelayedWorkQueue);
}

} // namespace

TEST(KeConcurrent, WorkItemsADpcQueuesAllRunWhileTheFirstOnesBlock) {
    sim::Options options;
    options.mode = sim::Mode::Concurrent;
    sim::Kernel kernel(options);
    Gate gate;
    for (int i = 0; i <= kWaiters; i++)
        ExInitializeWorkItem(&gate.items[i], i < kWaiters ? WaitForTheGate : OpenTheGate, &gate);
    KeInitializeDpc(&gate.dpc, QueueEveryItem, &gate);
    // The second round finds the workers made for the first asleep: nothing
    // but a wake-up starts them.
    for (int round = 0; round < 2; round++) {
        gate.finished = 0;
        KeInitializeEvent(&gate.open, NotificationEvent, FALSE);
        KeInitializeEvent(&gate.allDone, NotificationEvent, FALSE);
        KeInsertQueueDpc(&gate.dpc, nullptr, nullptr);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -ke_test::Ms(20 * 1000);
        ASSERT_EQ(KeWaitForSingleObject(&gate.allDone, Executive, KernelMode, FALSE, &timeout),
                  STATUS_SUCCESS)
            << "round " << round << ": " << gate.finished << " of " << kWaiters + 1 << " items ran";
        sim::RunUntilIdle();
    }
}
