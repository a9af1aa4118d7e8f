// Concurrent mode: real threads, a real-time clock. These cases check that
// the primitives really exclude and really wake across threads; they are
// also what ThreadSanitizer runs over.
#include "ke_test.h"

#include <pthread.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace {

sim::Options Concurrent() {
    sim::Options options;
    options.mode = sim::Mode::Concurrent;
    return options;
}

constexpr int kThreads = 4;
constexpr int kRounds = 20000;

// A DPC that runs `run`.
struct RunDpc {
    KDPC dpc;
    std::function<void()> run;
    explicit RunDpc(std::function<void()> fn) : run(std::move(fn)) {
        KeInitializeDpc(
            &dpc, [](PKDPC, PVOID self, PVOID, PVOID) { static_cast<RunDpc*>(self)->run(); }, this);
    }
};

// Waits for `event`; false when 20 s pass first.
bool SetWithin20s(KEVENT& event) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -ke_test::Ms(20 * 1000);
    return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

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
    RunDpc queueAll([&] {
        for (int i = 0; i < kWaiters; ++i)
            fake::OnWorker([&] {
                KeWaitForSingleObject(&open, Executive, KernelMode, FALSE, nullptr);
                finish();
            });
        fake::OnWorker([&] {
            KeSetEvent(&open, 0, FALSE);
            finish();
        });
    });
    for (int round = 0; round < 2; ++round) {
        finished = 0;
        KeInitializeEvent(&open, NotificationEvent, FALSE);
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        KeInsertQueueDpc(&queueAll.dpc, nullptr, nullptr);
        ASSERT_TRUE(SetWithin20s(done))
            << "round " << round << ": " << finished << " of " << kWaiters + 1 << " items ran";
        sim::RunUntilIdle();
    }
}

// Each processor sleeps on its own: a DPC for one of them, or for either,
// queued while both sleep, wakes a processor to run it, and one for a
// processor runs on that processor's thread.
TEST(KeConcurrent, ADpcQueuedWhileTheProcessorsSleepRunsWhereItIsFor) {
    sim::Kernel kernel(Concurrent());
    for (int target : {1, 0, -1, 1, -1}) {
        KEVENT ran;
        KeInitializeEvent(&ran, NotificationEvent, FALSE);
        char thread[16] = {};
        RunDpc dpc([&] {
            pthread_getname_np(pthread_self(), thread, sizeof thread);
            KeSetEvent(&ran, 0, FALSE);
        });
        if (target >= 0)
            KeSetTargetProcessorDpc(&dpc.dpc, static_cast<CCHAR>(target));
        KeInsertQueueDpc(&dpc.dpc, nullptr, nullptr);
        ASSERT_TRUE(SetWithin20s(ran)) << "a DPC for processor " << target << " never ran";
        sim::RunUntilIdle();
        const std::string expected = target >= 0 ? "dpc-" + std::to_string(target + 1) : "dpc-";
        EXPECT_EQ(std::string(thread).substr(0, expected.size()), expected);
    }
}

// A timer cancelled as the clock expires it: either the cancel finds it set
// (TRUE) and its DPC never runs, or the timer went first (FALSE) and its DPC
// runs once. Cancelling an unset timer takes no lock, so the two sides meet
// only at the timer's own state. Then AdvanceClock fires one an hour out,
// which real time would not reach, and runs its DPC before it returns.
TEST(KeConcurrent, ATimerFiresOnceOrIsCancelledAndAdvanceClockFiresIt) {
    sim::Kernel kernel(Concurrent());
    std::atomic<int> fired{0};
    RunDpc count([&] { fired++; });
    KTIMER timer;
    KeInitializeTimer(&timer);
    int cancelled = 0;
    constexpr int kTimes = 300;
    for (int i = 0; i < kTimes; ++i) {
        KeSetTimer(&timer, ke_test::In(1), &count.dpc);
        // Somewhere about the tick that expires it.
        for (std::atomic<int> spin{0}; spin < (i % 16) * 20000; spin++) {
        }
        cancelled += KeCancelTimer(&timer) ? 1 : 0;
        sim::RunUntilIdle();
        ASSERT_EQ(fired.load(), i + 1 - cancelled) << "round " << i;
    }
    EXPECT_FALSE(KeCancelTimer(&timer));
    KeSetTimer(&timer, ke_test::In(3600 * 1000), &count.dpc);
    sim::AdvanceClockMs(3600 * 1000);
    EXPECT_EQ(fired.load(), kTimes + 1 - cancelled);
    EXPECT_GE(sim::Now(), ke_test::Ms(3600 * 1000));
    EXPECT_EQ(sim::QueuedTimers(), 0u);
}
