// The deterministic scheduler: who runs when, work items, fast mutexes,
// WaitUntil time-outs and run-to-run determinism (a wait that can never end
// is a Deadlock row of tests/verifier/rules.cpp).
#include "ke_test.h"

#include <thread>

namespace {

struct LogItem {
    WORK_QUEUE_ITEM item;
    std::vector<std::string>* log;
    std::string name;
    PFAST_MUTEX mutex = nullptr;
    PKEVENT waitFor = nullptr;
    PKEVENT sets = nullptr; // set once logged
    std::thread::id ranOn;

    LogItem(std::vector<std::string>* l, std::string n) : log(l), name(std::move(n)) {
        ExInitializeWorkItem(&item, Routine, this);
    }
    void Queue() { ExQueueWorkItem(&item, DelayedWorkQueue); }

    static VOID NTAPI Routine(PVOID context) {
        auto* self = static_cast<LogItem*>(context);
        self->ranOn = std::this_thread::get_id();
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        if (self->waitFor != nullptr) {
            KeWaitForSingleObject(self->waitFor, Executive, KernelMode, FALSE, nullptr);
        }
        if (self->mutex != nullptr) {
            ExAcquireFastMutex(self->mutex);
            EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
            self->log->push_back(self->name + " holds the mutex");
            ExReleaseFastMutex(self->mutex);
        } else {
            self->log->push_back(self->name);
        }
        if (self->sets != nullptr)
            KeSetEvent(self->sets, 0, FALSE);
    }
};

} // namespace

// Work items run on worker threads at PASSIVE_LEVEL, in queue order, only
// when the machine runs (a main thread's wait runs it, without moving the
// clock); one blocked in a wait does not hold up those behind it.
TEST(KeScheduler, WorkItemsRunOnWorkerThreadsOnlyWhenTheMachineRuns) {
    sim::Kernel kernel;
    std::vector<std::string> log;
    KEVENT gate, done;
    KeInitializeEvent(&gate, NotificationEvent, FALSE);
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    LogItem blocked(&log, "blocked"), a(&log, "a"), b(&log, "b"), c(&log, "c");
    blocked.waitFor = &gate;
    c.sets = &done;
    blocked.Queue();
    a.Queue();
    b.Queue();
    EXPECT_EQ(sim::QueuedWorkItems(), 3u);
    EXPECT_TRUE(log.empty());
    sim::RunUntilIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"a", "b"})) << "in queue order";
    EXPECT_NE(a.ranOn, std::this_thread::get_id());
    c.Queue();
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(sim::Now(), 0) << "nothing here needed time to pass";
    KeSetEvent(&gate, 0, FALSE);
    sim::RunUntilIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "c", "blocked"}));
    EXPECT_EQ(sim::QueuedWorkItems(), 0u);
}

// A held fast mutex makes a worker wait until it is released, and a try to
// acquire it fail, even the holder's own. A spin lock taken under it raises
// to DISPATCH_LEVEL and gives the holder's IRQL back.
TEST(KeFastMutex, AWorkerWaitsUntilTheMainThreadReleases) {
    sim::Kernel kernel;
    std::vector<std::string> log;
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    EXPECT_EQ(lock, 0u) << "a free lock reads zero again";
    EXPECT_EQ(mutex.Count, 0);
    EXPECT_NE(mutex.Owner, nullptr);
    EXPECT_FALSE(ExTryToAcquireFastMutex(&mutex)) << "held, even by the caller";

    LogItem worker(&log, "worker");
    worker.mutex = &mutex;
    worker.Queue();
    sim::RunUntilIdle();
    EXPECT_TRUE(log.empty()) << "the worker must wait for the mutex";
    EXPECT_EQ(mutex.Count, -1) << "owned, one waiter";
    EXPECT_EQ(mutex.Contention, 1u);

    log.push_back("main releases");
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    sim::RunUntilIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"main releases", "worker holds the mutex"}));
    EXPECT_EQ(mutex.Count, 1);
    EXPECT_EQ(mutex.Owner, nullptr);
    ASSERT_TRUE(ExTryToAcquireFastMutex(&mutex));
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(KeScheduler, WaitUntilEndsAtTheConditionOrItsTimeOut) {
    sim::Kernel kernel;
    bool flag = false;
    sim::Thread setter("setter", [&] {
        LARGE_INTEGER delay = ke_test::In(5);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        flag = true;
        sim::Notify();
    });
    EXPECT_TRUE(sim::WaitUntil([&] { return flag; }, "flag", ke_test::Ms(20)));
    EXPECT_EQ(sim::Now(), ke_test::Ms(5));
    bool never = false;
    EXPECT_FALSE(sim::WaitUntil([&] { return never; }, "never", ke_test::Ms(20)));
    EXPECT_EQ(sim::Now(), ke_test::Ms(25));
}

TEST(KeScheduler, AdvanceClockEndsOtherThreadsTimeOutsOnTheWay) {
    sim::Kernel kernel;
    std::vector<std::string> log;
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    sim::Thread waiter("waiter", [&] {
        LARGE_INTEGER timeout = ke_test::In(30);
        NTSTATUS status = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
        log.push_back("waiter " + std::to_string(status) + " at " +
                      std::to_string(sim::Now() / 10000));
    });
    sim::RunUntilIdle();
    sim::AdvanceClockMs(29);
    EXPECT_TRUE(log.empty());
    sim::AdvanceClockMs(50);
    EXPECT_EQ(log, (std::vector<std::string>{"waiter 258 at 30"})); // STATUS_TIMEOUT
    EXPECT_EQ(sim::Now(), ke_test::Ms(79));
}

TEST(KeScheduler, ThreadsTakeTurnsOnlyWhereOneBlocks) {
    sim::Kernel kernel;
    std::vector<std::string> log;
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    sim::Thread other("other", [&] {
        for (int i = 0; i < 3; ++i) {
            KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
            log.push_back("pong");
            KeSetEvent(&pong, 0, FALSE);
        }
    });
    for (int i = 0; i < 3; ++i) {
        log.push_back("ping");
        KeSetEvent(&ping, 0, FALSE);
        log.push_back("main still running");
        KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
    }
    other.Join();
    EXPECT_EQ(log, (std::vector<std::string>{"ping", "main still running", "pong", "ping",
                                              "main still running", "pong", "ping",
                                              "main still running", "pong"}));
}

namespace {

// A scenario mixing everything that can interleave: timers whose DPCs queue
// work, work items contending for a fast mutex and waiting for events, and a
// user thread. Returns the order things happened in.
std::vector<std::string> BusyScenario() {
    std::vector<std::string> log;
    sim::Kernel kernel;
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);

    std::vector<std::unique_ptr<LogItem>> items;
    for (int i = 0; i < 6; ++i) {
        items.push_back(std::make_unique<LogItem>(&log, "item" + std::to_string(i)));
        if (i % 2 == 0)
            items.back()->mutex = &mutex;
        if (i % 3 == 0)
            items.back()->waitFor = &go;
    }
    struct QueueDpc {
        KTIMER timer;
        KDPC dpc;
        LogItem* item;
        std::vector<std::string>* log;
        static VOID NTAPI Routine(PKDPC, PVOID context, PVOID, PVOID) {
            auto* self = static_cast<QueueDpc*>(context);
            self->log->push_back("dpc queues " + self->item->name);
            self->item->Queue();
        }
    };
    std::vector<std::unique_ptr<QueueDpc>> timers;
    for (int i = 0; i < 6; ++i) {
        auto q = std::make_unique<QueueDpc>();
        q->item = items[i].get();
        q->log = &log;
        KeInitializeTimer(&q->timer);
        KeInitializeDpc(&q->dpc, QueueDpc::Routine, q.get());
        KeSetTimer(&q->timer, ke_test::In(10 * ((i * 7) % 4 + 1)), &q->dpc);
        timers.push_back(std::move(q));
    }
    sim::Thread user("user", [&] {
        ExAcquireFastMutex(&mutex);
        log.push_back("user holds the mutex");
        ExReleaseFastMutex(&mutex);
        LARGE_INTEGER delay = ke_test::In(25);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        log.push_back("user sets go");
        KeSetEvent(&go, 0, FALSE);
    });
    sim::AdvanceClockMs(100);
    user.Join();
    sim::RunUntilIdle();
    return log;
}

} // namespace

TEST(KeScheduler, TheSameScenarioRunsTheSameWayEveryTime) {
    std::vector<std::string> first = BusyScenario();
    ASSERT_EQ(first.size(), 6u + 6u + 2u);
    EXPECT_EQ(BusyScenario(), first);
    EXPECT_EQ(BusyScenario(), first);
}
