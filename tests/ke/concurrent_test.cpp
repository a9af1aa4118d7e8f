// Concurrent mode: real threads, a real-time clock. These cases check that
// the primitives really exclude and really wake across threads; they are
// also what ThreadSanitizer runs over.
#include "ke_test.h"

#include <pthread.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace {

sim::Options Concurrent() {
    sim::Options options;
    options.mode = sim::Mode::Concurrent;
    return options;
}

constexpr int kThreads = 4;
constexpr int kRounds = 20000;

} // namespace

namespace {

// A spin lock and a fast mutex, each taken and given back by every thread
// in turn; the holder keeps the spin lock's old IRQL, as a driver does.
KSPIN_LOCK g_lock;
KIRQL g_oldIrql;
FAST_MUTEX g_mutex;

struct Guard {
    const char* name;
    KIRQL held; // the IRQL inside
    int rounds;
    void (*enter)();
    void (*leave)();
};
const Guard kGuards[] = {
    {"SpinLock", DISPATCH_LEVEL, kRounds, [] { KeAcquireSpinLock(&g_lock, &g_oldIrql); },
     [] { KeReleaseSpinLock(&g_lock, g_oldIrql); }},
    {"FastMutex", APC_LEVEL, kRounds / 10, [] { ExAcquireFastMutex(&g_mutex); },
     [] { ExReleaseFastMutex(&g_mutex); }},
};

class KeExclusion : public ::testing::TestWithParam<Guard> {};

} // namespace

TEST_P(KeExclusion, ExcludesEveryOtherThread) {
    const Guard& guard = GetParam();
    sim::Kernel kernel(Concurrent());
    KeInitializeSpinLock(&g_lock);
    ExInitializeFastMutex(&g_mutex);
    long counter = 0; // guarded, deliberately not atomic
    std::atomic<int> badIrql{0};
    {
        std::vector<std::unique_ptr<sim::Thread>> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.push_back(std::make_unique<sim::Thread>("adder", [&] {
                for (int i = 0; i < guard.rounds; ++i) {
                    guard.enter();
                    if (KeGetCurrentIrql() != guard.held)
                        badIrql++;
                    counter = counter + 1;
                    guard.leave();
                }
            }));
        }
    }
    EXPECT_EQ(counter, long{kThreads} * guard.rounds);
    EXPECT_EQ(badIrql.load(), 0);
    EXPECT_EQ(g_lock, 0u);
    EXPECT_EQ(g_mutex.Count, 1);
}

INSTANTIATE_TEST_SUITE_P(Ke, KeExclusion, ::testing::ValuesIn(kGuards),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(KeConcurrent, SynchronizationEventsPingPongWithoutLosingASet) {
    sim::Kernel kernel(Concurrent());
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    constexpr int kTimes = 2000;
    sim::Thread other("other", [&] {
        for (int i = 0; i < kTimes; ++i) {
            KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
            KeSetEvent(&pong, 0, FALSE);
        }
    });
    for (int i = 0; i < kTimes; ++i) {
        KeSetEvent(&ping, 0, FALSE);
        KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
    }
    other.Join();
    EXPECT_EQ(KeReadStateEvent(&ping), 0);
    EXPECT_EQ(KeReadStateEvent(&pong), 0);
}

TEST(KeConcurrent, WorkItemsRunOnWorkerThreadsAndWakeTheWaiter) {
    sim::Kernel kernel(Concurrent());
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    std::atomic<int> count{0};
    constexpr int kItems = 200;
    for (int i = 0; i < kItems; ++i)
        fake::OnWorker([&] {
            if (count.fetch_add(1) + 1 == kItems)
                KeSetEvent(&done, 0, FALSE);
        });
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    sim::RunUntilIdle();
    EXPECT_EQ(count.load(), kItems);
    EXPECT_EQ(sim::QueuedWorkItems(), 0u);
}

// A DPC queues work items, the first ones waiting for the last: with more
// of them waiting than there are processors, only a worker woken because
// another blocked reaches it. The second round finds the workers asleep.
TEST(KeConcurrent, WorkItemsADpcQueuesAllRunWhileTheFirstOnesBlock) {
    sim::Kernel kernel(Concurrent());
    constexpr int kWaiters = 3;
    KEVENT open, done;
    std::atomic<int> finished{0};
    auto finish = [&] {
        if (++finished == kWaiters + 1)
            KeSetEvent(&done, 0, FALSE);
    };
    std::function<void()> queueAll = [&] {
        for (int i = 0; i < kWaiters; ++i)
            fake::OnWorker([&] {
                KeWaitForSingleObject(&open, Executive, KernelMode, FALSE, nullptr);
                finish();
            });
        fake::OnWorker([&] {
            KeSetEvent(&open, 0, FALSE);
            finish();
        });
    };
    KDPC dpc;
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID run, PVOID, PVOID) { (*static_cast<std::function<void()>*>(run))(); },
        &queueAll);
    for (int round = 0; round < 2; ++round) {
        finished = 0;
        KeInitializeEvent(&open, NotificationEvent, FALSE);
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -ke_test::Ms(20 * 1000);
        ASSERT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout),
                  STATUS_SUCCESS)
            << "round " << round << ": " << finished << " of " << kWaiters + 1 << " items ran";
        sim::RunUntilIdle();
    }
}

// Each processor sleeps on its own: a DPC for one of them, or for either,
// queued while both sleep, wakes a processor to run it, and one for a
// processor runs on that processor's thread.
TEST(KeConcurrent, ADpcQueuedWhileTheProcessorsSleepRunsWhereItIsFor) {
    sim::Kernel kernel(Concurrent());
    struct Ran {
        KEVENT event;
        char thread[16];
    };
    for (int target : {1, 0, -1, 1, -1}) {
        sim::RunUntilIdle();
        Ran ran{};
        KeInitializeEvent(&ran.event, NotificationEvent, FALSE);
        KDPC dpc;
        KeInitializeDpc(
            &dpc,
            [](PKDPC, PVOID context, PVOID, PVOID) {
                auto* r = static_cast<Ran*>(context);
                pthread_getname_np(pthread_self(), r->thread, sizeof r->thread);
                KeSetEvent(&r->event, 0, FALSE);
            },
            &ran);
        if (target >= 0)
            KeSetTargetProcessorDpc(&dpc, static_cast<CCHAR>(target));
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -ke_test::Ms(20 * 1000);
        ASSERT_EQ(KeWaitForSingleObject(&ran.event, Executive, KernelMode, FALSE, &timeout),
                  STATUS_SUCCESS)
            << "a DPC for processor " << target << " never ran";
        const std::string thread = ran.thread;
        EXPECT_EQ(target >= 0 ? thread : thread.substr(0, 4),
                  target >= 0 ? "dpc-" + std::to_string(target + 1) : "dpc-");
    }
}

TEST(KeConcurrent, AdvanceClockFiresTimersAndRunsTheirDpcs) {
    sim::Kernel kernel(Concurrent());
    ke_test::EventDpc fired;
    KTIMER timer;
    KeInitializeTimer(&timer);
    // An hour: real time will not get there.
    KeSetTimer(&timer, ke_test::In(3600 * 1000), &fired.dpc);
    sim::AdvanceClockMs(3600 * 1000);
    EXPECT_EQ(KeWaitForSingleObject(&fired.event, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_GE(sim::Now(), ke_test::Ms(3600 * 1000));
    EXPECT_EQ(sim::QueuedTimers(), 0u);
}
