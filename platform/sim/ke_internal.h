// The Ke family's own internals: the thread records, the dispatcher lock and
// the tables behind events, timers, DPCs and work items, shared by
// ke_thread.cpp, ke_sync.cpp, ke_timer.cpp and sched.cpp. Never included by
// driver code.
//
// The machine's state lives in one record guarded by the dispatcher lock.
// Driver memory holds only the DDK's fields (SignalState, Owner, Count, ...);
// who waits for what, which timer is set and which DPC is queued is kept here,
// keyed by the object's address.
#pragma once

#include "platform/sim/internal.h"
#include "platform/sim/sim.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sim {
// Called by pool free: a set timer, a queued DPC or work item, or an object
// some thread waits on, inside the freed block is a bug check.
void KeCheckFreedRange(const void* base, size_t length);
// Called at driver unload: any timer still set, DPC queued or work item queued
// or running that the driver started is a bug check naming each one.
void KeCheckDriverUnload(PDRIVER_OBJECT driver);
} // namespace sim

namespace sim::ke {

// Dispatcher header types, as Windows numbers them.
constexpr UCHAR kEventNotificationObject = 0;
constexpr UCHAR kEventSynchronizationObject = 1;
constexpr UCHAR kTimerNotificationObject = 8;
constexpr UCHAR kTimerSynchronizationObject = 9;
constexpr UCHAR kDpcObject = 19;

// 1 January 2005, 00:00 UTC, in 100 ns since 1601: the simulated machine's
// boot time, so that KeQuerySystemTime is a plausible date and deterministic.
constexpr LONGLONG kBootSystemTime = 127490112000000000LL;

// ---------------------------------------------------------------- threads
struct SchedThread;

// The spin locks a thread holds, in acquisition order: a few at most, kept
// in the record itself, since every acquire and release pushes or pops one.
// More than kInline (never seen from a driver) spill to the heap.
class HeldLocks {
public:
    HeldLocks() = default;
    HeldLocks(const HeldLocks&) = delete;
    HeldLocks& operator=(const HeldLocks&) = delete;
    bool empty() const { return size_ == 0; }
    size_t size() const { return size_; }
    PKSPIN_LOCK back() const { return items_[size_ - 1]; }
    PKSPIN_LOCK* begin() { return items_; }
    PKSPIN_LOCK* end() { return items_ + size_; }
    void push_back(PKSPIN_LOCK lock) {
        if (size_ == capacity_) [[unlikely]]
            Grow();
        items_[size_++] = lock;
    }
    void pop_back() { --size_; }
    void erase(PKSPIN_LOCK* at) {
        for (PKSPIN_LOCK* p = at; p + 1 < end(); ++p)
            p[0] = p[1];
        --size_;
    }
    void clear() { size_ = 0; }

private:
    static constexpr size_t kInline = 8;
    [[gnu::noinline]] void Grow() {
        spill_.assign(items_, items_ + size_);
        spill_.resize(capacity_ * 2);
        items_ = spill_.data();
        capacity_ *= 2;
    }
    PKSPIN_LOCK inline_[kInline] = {};
    PKSPIN_LOCK* items_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = kInline;
    std::vector<PKSPIN_LOCK> spill_;
};

// What every thread touching the simulation carries.
struct ThreadState {
    uint64_t id = 0;      // non-zero; the value a held KSPIN_LOCK stores
    KIRQL& irql = t_irql; // the thread's IRQL, readable without the record (CurrentIrql)
    HeldLocks spinLocks;  // in acquisition order
    std::vector<PFAST_MUTEX> fastMutexes; // in acquisition order
    std::string name;
    bool systemWorker = false;
    SchedThread* sched = nullptr; // Deterministic: this thread's place on the processor
    bool busyWorker = false;      // Concurrent: a worker inside a work item
};
// The calling thread's record, made on its first use. Inline: every IRQL and
// spin-lock check starts here.
extern __thread ThreadState* t_self;
ThreadState& SelfFirstTime();
inline ThreadState& Self() {
    ThreadState* self = t_self;
    return self != nullptr ? *self : SelfFirstTime();
}
// A thread (re)joining the machine: PASSIVE_LEVEL, nothing held, a name.
void ResetSelf(const std::string& name);
std::string ThreadName(uint64_t id);
// The PKTHREAD a fast mutex records as its owner.
inline PKTHREAD AsKThread(ThreadState& t) {
    return reinterpret_cast<PKTHREAD>(&t);
}

// A thread known to the scheduler. In Deterministic mode exactly one holds
// the processor (Machine::cpu); the rest sleep on their own condition
// variable until handed it.
struct SchedThread {
    // Service: a DPC processor of the explored schedule.
    enum class Kind { Main, Worker, User, Service };
    // Preempted: switched out at a schedule point in the middle of its work
    // (explored schedule only); it may go on whenever it is picked.
    enum class State { New, Running, Blocked, Idle, Preempted, Exited };
    std::string name;
    Kind kind = Kind::User;
    State state = State::New;
    // Service: the processor whose DPCs it runs. Worker on the Concurrent
    // machine: the processor whose work items it takes first.
    int processor = 0;
    // While Blocked (or Idle): what would let the thread go on.
    const std::function<bool()>* ready = nullptr;
    // What it waits in: the waiter's own text, which lives as long as the wait.
    const char* what = "";
    LONGLONG deadline = -1; // virtual time; -1 none
    bool pump = false;      // RunUntilIdle: wants the processor back once the rest is idle
    // Work item bookkeeping (workers).
    bool busy = false;
    // Explored schedule: the thread's priority (highest runs), the record that
    // holds its IRQL, and the spin lock it spins on while Preempted.
    long priority = 0;
    ThreadState* self = nullptr;
    PKSPIN_LOCK spinOn = nullptr;
    // While Preempted: the driver whose code it was running, and where.
    PDRIVER_OBJECT inDriver = nullptr;
    const char* at = "";
    // User threads.
    std::function<void()> body;
    bool finished = false;
    std::thread thread;
};

// ---------------------------------------------------------------- the machine
struct WaitBlock {
    bool satisfied = false;
};

struct TimerRecord {
    LONGLONG due = 0; // interrupt time
    LONG period = 0;  // ms
    // Periodic, or set again from its own DPC (a tick): its expiries alone do
    // not count as the machine getting anywhere (see the hang report).
    bool ticking = false;
    PKDPC dpc = nullptr;
    PDRIVER_OBJECT owner = nullptr;
    uint64_t seq = 0;
};

constexpr int kMaximumProcessors = 32; // MAXIMUM_PROCESSORS of 32-bit Windows
// Concurrent: the processors, each a host thread that runs the DPCs.
constexpr int kDpcProcessors = 2;

struct DpcRecord {
    PKDPC dpc = nullptr;
    PDRIVER_OBJECT owner = nullptr;
    int processor = -1; // KeSetTargetProcessorDpc's, or -1: whichever takes it first
    uint64_t seq = 0;   // insertion order, for KeFlushQueuedDpcs
};

struct WorkRecord {
    PWORK_QUEUE_ITEM item = nullptr;
    PDRIVER_OBJECT owner = nullptr;
    // Concurrent: the processor whose DPC queued it, whose workers take it
    // first (WakeWorkerLocked); -1 when a thread queued it.
    int processor = -1;
};

struct RunningWork {
    PWORK_QUEUE_ITEM item = nullptr;
    PWORKER_THREAD_ROUTINE routine = nullptr;
    PVOID parameter = nullptr;
    PDRIVER_OBJECT owner = nullptr;
    std::string thread;
};

// Concurrent: a thread blocked in WaitLocked. Each sleeps on its own
// condition variable and is woken alone, by whoever finds its condition holds
// (or its time-out passed): a pool of ports has a hundred threads waiting,
// and waking them all at every change only has them queue for the lock.
//
// A sleeper may name a key instead: the address of the one thing its
// condition reads (a user-mode event). It promises that what it reads changes
// only where someone notifies that key, and it sleeps under its key's own
// lock, apart from the dispatcher lock: a pool's hundred threads waiting on
// their own events then neither cost other notifications a look nor queue for
// the dispatcher lock when they wake.
//
// A keyed sleeper sleeps on its `gate` word, not on `cv`, and is woken after
// the waker has let go of the key's lock: woken under it, on another host
// processor it found the lock still held, slept again on the lock, and left
// it with a second futex call. Its record belongs to its thread and is never
// freed (KeyedSleeperOfThisThread), so a waker that sets the gate just as the
// sleeper leaves on its own wakes at worst that thread's next wait, which
// looks at its condition and sleeps again.
struct Sleeper {
    std::condition_variable cv;
    std::atomic<uint32_t> gate{0}; // keyed: 1 once woken, 0 asleep
    const std::function<bool()>* ready = nullptr;
    const void* key = nullptr;
    LONGLONG deadline = -1; // interrupt time; -1 none
    bool woken = false;     // signalled since it last went to sleep
    Sleeper* prev = nullptr;
    Sleeper* next = nullptr;
};
// Concurrent: the sleepers that name a key, in lists by a hash of the key,
// each list with its lock.
class KeyedSleepers {
public:
    struct Bucket {
        std::mutex lock;
        Sleeper* head = nullptr;
        // Sleepers with a time-out, for the clock to look at this bucket on
        // its tick (a pool's ports wait without one, in every bucket).
        std::atomic<int> timed{0};
    };
    using Buckets = std::array<Bucket, 64>;
    Bucket& Of(const void* key) {
        return buckets_[(reinterpret_cast<uintptr_t>(key) >> 4) % buckets_.size()];
    }
    Buckets& All() { return buckets_; }

private:
    Buckets buckets_;
};

// Set timers in firing order: due time, then the order they were set in. A
// sorted array: a machine has a few timers set, mostly at the same distance
// ahead, and drivers set and cancel one on every request, which a tree pays
// a node and a rebalance for each time.
class TimerQueue {
public:
    using Key = std::pair<LONGLONG, uint64_t>;
    using Entry = std::pair<Key, PKTIMER>;
    bool empty() const { return entries_.empty(); }
    std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
    std::vector<Entry>::const_iterator end() const { return entries_.end(); }
    void insert(const Key& key, PKTIMER timer) {
        auto at = std::upper_bound(entries_.begin(), entries_.end(), key,
                                   [](const Key& k, const Entry& e) { return k < e.first; });
        entries_.insert(at, Entry{key, timer});
    }
    void erase(const Key& key) {
        auto at = std::lower_bound(entries_.begin(), entries_.end(), key,
                                   [](const Entry& e, const Key& k) { return e.first < k; });
        if (at != entries_.end() && at->first == key)
            entries_.erase(at);
    }
    void clear() { entries_.clear(); }

private:
    std::vector<Entry> entries_;
};

struct Machine {
    std::mutex lock;                 // the dispatcher lock
    // Concurrent: something the machine's own threads (DPC processors,
    // workers, RunUntilIdle) may want changed; waiters in WaitLocked are
    // `sleepers` instead.
    std::condition_variable changed;
    Sleeper* sleepers = nullptr; // those without a key
    // Concurrent: the threads asleep under this lock, in `sleepers` or on
    // `changed`; Notify() finds none nearly always (a pool's threads wait
    // under keys) and then need not take the lock.
    std::atomic<int> watchers{0};
    KeyedSleepers keyed;
    // Concurrent: a DPC or a work item was queued (or the machine stops), for
    // the DPC processors and the idle workers alone. Each processor sleeps
    // on its own: a DPC for one processor wakes only that one, and a DPC for
    // any wakes one that sleeps (WakeDpcProcessorLocked).
    std::array<std::condition_variable, kDpcProcessors> dpcQueued;
    std::array<bool, kDpcProcessors> dpcIdle{};
    // Concurrent: each worker serves a processor first (its `processor`) and
    // sleeps on that processor's condition variable, counted in idleWorkers.
    std::array<std::condition_variable, kDpcProcessors> workQueued;
    std::array<int, kDpcProcessors> idleWorkers{};
    Mode mode = Mode::Deterministic;
    bool up = false;
    bool stopping = false;
    std::atomic<LONGLONG> now{0}; // interrupt time, 100 ns since boot
    LONGLONG clockOffset = 0;     // Concurrent: AdvanceClock on top of real time

    TimerQueue timerQueue;
    std::unordered_map<PKTIMER, TimerRecord> timers;
    uint64_t timerSeq = 0;
    // The entry of the last timer cancelled or fired, for the next one set:
    // drivers set and cancel a timer on every request.
    decltype(timers)::node_type spareTimerEntry;

    std::deque<DpcRecord> dpcs;
    int dpcsRunning = 0;
    uint64_t dpcSeq = 0;
    // The seq of each DPC running now: a handful at most, so a list (a set
    // would allocate a node for every DPC run).
    std::vector<uint64_t> runningDpcs;

    std::deque<WorkRecord> work;
    std::map<uint64_t, RunningWork> runningWork; // by worker thread id
    decltype(runningWork)::node_type spareRunningWork; // the last item's entry, for the next
    int busyWorkers = 0;                         // Concurrent: inside an item and not waiting

    // Threads blocked on a dispatcher object or a fast mutex, in arrival order.
    std::unordered_map<const void*, std::deque<WaitBlock*>> waiters;
    // Fast mutexes currently owned (to catch re-initialisation while held).
    std::unordered_map<PFAST_MUTEX, uint64_t> ownedFastMutexes;

    // Deterministic scheduling.
    std::vector<std::shared_ptr<SchedThread>> threads; // registration order
    SchedThread* cpu = nullptr;
    // Explored schedule (sched.cpp); null on the plain deterministic machine.
    struct Exploration* explore = nullptr;
    // Concurrent service threads (clock, DPC processors).
    std::vector<std::thread> services;
};
// The machine, made on first use. Inline: every kernel routine starts here.
extern std::atomic<Machine*> g_machine;
Machine& MachineFirstTime();
inline Machine& M() {
    Machine* machine = g_machine.load(std::memory_order_acquire);
    return machine != nullptr ? *machine : MachineFirstTime();
}

// ---------------------------------------------------------------- scheduler (sched.cpp)
extern bool g_exploring; // UseSchedule is in force
// The core of every wait: blocks the caller (which holds `lk` on the
// dispatcher lock) until ready() holds or the relative timeout expires.
bool WaitLocked(std::unique_lock<std::mutex>& lk, const std::function<bool()>& ready,
                const std::string& what, LONGLONG timeout100ns);
bool WaitLocked(std::unique_lock<std::mutex>& lk, const std::function<bool()>& ready,
                const char* what, LONGLONG timeout100ns);
// The dispatcher lock for a short update of the machine's tables that cannot
// block, switch or bug check while held. On the deterministic machine only
// the thread holding the processor runs, and the processor changes hands
// under this lock, so such an update takes it only where there are several
// processors (as KeCancelTimer always has).
class TableLock {
public:
    TableLock() : lk_(M().lock, std::defer_lock) {
        if (g_simLocking)
            lk_.lock();
    }
    // Before a bug check, which must not hold it.
    void unlock() {
        if (lk_.owns_lock())
            lk_.unlock();
    }

private:
    std::unique_lock<std::mutex> lk_;
};
// Something a waiter may be waiting for changed; caller holds the lock.
// (Nothing to do on the deterministic machine, where the one running
// thread looks at every waiter's condition itself when it blocks.)
void NotifyConcurrentLocked();
// The clock moved: sleepers without a key look again, every sleeper at its
// time-out.
void NotifyEveryoneLocked();
inline void NotifyLocked() {
    if (g_simLocking)
        NotifyConcurrentLocked();
}
// Workers for the work queue: makes sure one is free for what is queued.
void EnsureWorkersLocked();
// Concurrent: a DPC processor keeps the threads its DPCs ready until it
// leaves DISPATCH_LEVEL (see DpcProcessor). True when this wake of a worker
// was kept for then; the caller wakes one itself otherwise.
bool DeferWorkerWake();
void WakeDpcProcessorLocked(int processor);
// Concurrent: work for `processor` (-1: any) was queued; wakes an idle worker
// of that processor, or else any idle one.
void WakeWorkerLocked(int processor);
// Concurrent: the DPC processor this thread is, or -1.
int CurrentDpcProcessor();
// Checks a thread must pass before it may block.
void RequireMayWait(const char* routine, ULONG code, ULONG_PTR p2);
// Explored schedule: the running thread meets `lock` held by `owner`, a
// thread switched out on another processor, and spins: the processor goes to
// the others until the lock is free. Returns false when the schedule is not
// explored (one processor: the acquire would spin for ever).
bool SpinOnLock(PKSPIN_LOCK lock, const char* routine);
// The DPC running on this thread, if any (ke_timer.cpp).
PKDPC RunningDpc();

// ---------------------------------------------------------------- objects (ke_sync.cpp,
// ke_timer.cpp) Satisfies waiters of `object`: all of them, or the first one. Returns how many were
// satisfied.
size_t SatisfyWaitersLocked(const void* object, bool all);
bool InsertDpcLocked(PKDPC dpc, PVOID arg1, PVOID arg2, PDRIVER_OBJECT owner);
// Fires the earliest timer if it is due. Returns whether one fired.
bool FireOneDueTimerLocked();
// The earliest timer due time, or -1.
LONGLONG NextTimerDueLocked();
// Runs one queued DPC on this thread (the lock is dropped around it).
// Processor `processor` runs the first DPC queued that it may take: one
// targeted at it or at none. A processor runs its DPCs one at a time, in the
// order queued.
bool RunOneDpcLocked(std::unique_lock<std::mutex>& lk, int processor);
bool HasDpcForLocked(int processor);
// How many processors run DPCs: the explored schedule's, the Concurrent
// machine's DPC processors, or the one of the Deterministic machine.
int ActiveProcessorsLocked();
// Runs a work item's routine on this worker thread and checks how it returned.
void RunWorkItem(const RunningWork& work);
std::string Describe(const void* routine);
void ClearObjectsLocked();

} // namespace sim::ke
