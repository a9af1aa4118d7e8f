// The scheduler: who runs when.
//
// Deterministic mode is one simulated processor. Exactly one registered
// thread holds it (Machine::cpu); every other one sleeps on its own condition
// variable. The processor changes hands only where the running thread blocks
// (every kernel wait, fast-mutex contention and the other families' waits go
// through WaitLocked) or pumps the machine (RunUntilIdle, AdvanceClock). A
// thread that blocks, in this order:
//   1. runs the queued DPCs itself, at DISPATCH_LEVEL;
//   2. hands the processor to the first runnable thread in registration order
//      (a worker with work queued, a blocked thread whose condition now holds
//      or whose time-out has passed), and sleeps until it gets it back;
//   3. fires a timer that is already due;
//   4. hands the processor back to a thread pumping the machine;
//   5. moves the virtual clock to the next timer or time-out (a wait never
//      stalls on time: this is a discrete-event simulation);
//   6. and when nothing at all can happen, reports the deadlock.
// The same test therefore always takes the same path.
//
// The explored schedule (UseSchedule) keeps that machine and adds switches:
// at every schedule point a driver passes (SimSchedulePoint) the runnable
// thread of highest priority takes the processor, threads switched out there
// are Preempted (runnable), DPCs run on processor threads of their own
// instead of on the thread that blocks, and a spin lock held by a Preempted
// thread makes its next taker spin, that is, hand the processor on. A thread
// at DISPATCH_LEVEL keeps its processor while switched out, so no more than
// `processors` of them are ever in flight.
//
// A wait that can never end is reported, never left to a test's time-out: at
// once when nothing can happen any more (step 6), and after kHangSpan of
// virtual time when only ticking timers (periodic, or set again from their
// own DPC, like the bus's frame tick) move the clock.
//
// Concurrent mode is the stress suite's: threads run freely, a wait is a
// condition-variable wait under the dispatcher lock, DPC threads run queued
// DPCs, a clock thread moves the virtual clock in real time and fires timers.
#include "platform/sim/ex_internal.h" // Symbolize
#include "platform/sim/ke_internal.h"

#include <execinfo.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <iterator>

namespace sim::ke {
bool g_exploring = false; // the explored schedule is on: schedule points do something
} // namespace sim::ke

namespace sim {
bool g_simLocking = true;
__thread int t_simLocksHeld = 0;

void SpinBeforeSleeping(std::mutex& m) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(m.native_handle(), &attributes);
    pthread_mutexattr_destroy(&attributes);
}
} // namespace sim

namespace sim::ke {

std::atomic<Machine*> g_machine{nullptr};

Machine& MachineFirstTime() {
    // Never destroyed: a thread left blocked at teardown may still sleep on it.
    static Machine* machine = new Machine();
    SpinBeforeSleeping(machine->lock);
    g_machine.store(machine, std::memory_order_release);
    return *machine;
}

namespace {

using Lock = std::unique_lock<std::mutex>;
using State = SchedThread::State;
using Kind = SchedThread::Kind;

constexpr size_t kMaxWorkers = 16;
constexpr size_t kLivelockAdvances = 1000000;

// Concurrent: counts this thread among those asleep under the dispatcher
// lock (Machine::watchers) for as long as it lives; made before the
// sleeper's last look at its condition (see Notify).
class Watch {
public:
    Watch() {
        M().watchers.fetch_add(1, std::memory_order_seq_cst);
#if !defined(__SANITIZE_THREAD__)
        std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
    }
    ~Watch() { M().watchers.fetch_sub(1, std::memory_order_seq_cst); }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;
};
// A wait with no time-out that only ticking timers keep company is a hang
// after this much virtual time, or after this many ticks, whichever first.
constexpr LONGLONG kHangSpan = 60LL * 10000000;
constexpr size_t kHangTicks = 100000;

// Threads that were still blocked when their kernel was torn down. They can
// never be resumed, so they (and the records they sleep on) are kept for the
// life of the process.
std::vector<std::shared_ptr<SchedThread>>& Abandoned() {
    static auto* threads = new std::vector<std::shared_ptr<SchedThread>>();
    return *threads;
}

bool Deterministic() {
    return M().mode == Mode::Deterministic;
}

std::vector<struct Exploration*>& AbandonedExplorations() {
    static auto* list = new std::vector<struct Exploration*>();
    return *list;
}

} // namespace

// ---------------------------------------------------------------- explored schedule state

struct Exploration {
    Schedule schedule;
    uint64_t rng = 0;
    uint64_t steps = 0;
    std::vector<uint64_t> changeAt; // sorted
    size_t nextChange = 0;
    long low = 0; // what the next change point gives: below every priority before it
    std::vector<std::string> switches;
    std::string recent[128];         // the last schedule points, a ring
    std::vector<const void*> atomic; // driver objects running without switches
    uint64_t Next() {
        uint64_t z = (rng += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

namespace {

constexpr size_t kMaxSwitchesKept = 400;

bool InlineDpcs() {
    return M().explore == nullptr;
}

// A new thread's place in the explored schedule.
void AdmitLocked(SchedThread& t) {
    if (Exploration* e = M().explore)
        t.priority = 1000 + static_cast<long>(e->Next() % 1000000);
}

void NoteLocked(Exploration& e, std::string text) {
    if (e.switches.size() < kMaxSwitchesKept)
        e.switches.push_back(std::move(text));
    else if (e.switches.size() == kMaxSwitchesKept)
        e.switches.push_back("(later switches not kept)");
}

[[noreturn]] void Misuse(Lock& lk, const std::string& reason) {
    if (lk.owns_lock())
        lk.unlock();
    BugCheck(kSimMisuse, 0, 0, 0, 0, reason);
}

// ---------------------------------------------------------------- deterministic

bool Runnable(const SchedThread& t) {
    const Machine& m = M();
    switch (t.state) {
    case State::New:
        if (t.kind == Kind::Service)
            return m.stopping || HasDpcForLocked(t.processor);
        return m.stopping || t.kind != Kind::Worker || !m.work.empty();
    case State::Idle:
        if (t.kind == Kind::Service)
            return m.stopping || HasDpcForLocked(t.processor);
        return m.stopping || !m.work.empty();
    case State::Preempted:
        return !m.stopping &&
               (t.spinOn == nullptr || __atomic_load_n(t.spinOn, __ATOMIC_RELAXED) == 0);
    case State::Blocked:
        // A teardown never resumes a blocked thread: the families it would
        // run into are already gone.
        if (t.pump || m.stopping)
            return false;
        if (t.deadline >= 0 && m.now.load() >= t.deadline)
            return true;
        return (*t.ready)();
    default:
        return false;
    }
}

// In flight at DISPATCH_LEVEL or above: it holds its processor even while
// switched out.
bool Pinned(const SchedThread& t) {
    bool inFlight = t.state == State::Preempted || (t.state == State::Running && M().cpu == &t);
    return inFlight && t.self != nullptr && t.self->irql >= DISPATCH_LEVEL;
}

// Whether `t` finds a processor: the others' pinned ones leave one free.
bool HasProcessor(const SchedThread& t) {
    int pinned = 0;
    for (auto& u : M().threads)
        if (u.get() != &t && Pinned(*u))
            ++pinned;
    return pinned < M().explore->schedule.processors;
}

SchedThread* PickExplored(const SchedThread* self) {
    SchedThread* best = nullptr;
    for (auto& t : M().threads) {
        if (t.get() == self || !Runnable(*t) || !HasProcessor(*t))
            continue;
        if (best == nullptr || t->priority > best->priority)
            best = t.get();
    }
    return best;
}

SchedThread* PickRunnable(const SchedThread* self) {
    if (M().explore != nullptr)
        return PickExplored(self);
    for (auto& t : M().threads) {
        if (t.get() != self && Runnable(*t))
            return t.get();
    }
    return nullptr;
}

SchedThread* PickPump(const SchedThread* self) {
    for (auto& t : M().threads) {
        if (t.get() != self && t->state == State::Blocked && t->pump)
            return t.get();
    }
    return nullptr;
}

// The hang watch: since when (virtual time) and for how many expiries only
// ticking timers have moved the clock while some thread waits with no
// time-out. An application thread getting the processor resets it.
LONGLONG g_quietSince = -1;
size_t g_quietTicks = 0;
uint64_t g_lastSteps = 0; // schedule points of the last explored run, once its kernel is gone

// The processor changes hands under the dispatcher lock (Machine::cpu); the
// host threads behind the simulated ones sleep on one futex word that counts
// the hand-overs, each on a bit of its own, so that a hand-over wakes the
// thread it is for and, rarely, one sharing its bit, which looks at `cpu`
// and sleeps again. A condition variable per thread did the same with
// several times the instructions, on every switch (a work item runs on a
// worker thread: two switches per item).
std::atomic<uint32_t> g_handovers{0};

uint32_t BitOf(const SchedThread* t) {
    return 1u << ((reinterpret_cast<uintptr_t>(t) >> 4) * 0x9E3779B97F4A7C15ull >> 59);
}

void WakeBit(uint32_t bit) {
    syscall(SYS_futex, &g_handovers, FUTEX_WAKE_BITSET_PRIVATE, INT_MAX, nullptr, nullptr, bit);
}

// Caller holds the lock. The processor is `next`'s from now; it is woken by
// the caller, at once or once the lock is released.
void PassLocked(SchedThread* next) {
    if (next->kind == Kind::Main || next->kind == Kind::User) {
        g_quietSince = -1;
        g_quietTicks = 0;
    }
    M().cpu = next;
    g_handovers.store(g_handovers.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

void HandTo(SchedThread* next) {
    PassLocked(next);
    WakeBit(BitOf(next));
}

// Entered without the lock, returns holding it, once the processor is
// `self`'s; `seen` is the hand-over count read under the lock before it was
// released (a hand-over since then ends the sleep at once).
void SleepUntilHanded(Lock& lk, SchedThread* self, uint32_t seen) {
    for (;;) {
        syscall(SYS_futex, &g_handovers, FUTEX_WAIT_BITSET_PRIVATE, seen, nullptr, nullptr,
                BitOf(self));
        lk.lock();
        if (M().cpu == self)
            return;
        seen = g_handovers.load(std::memory_order_relaxed);
        lk.unlock();
    }
}

void AwaitProcessor(Lock& lk, SchedThread* self) {
    if (M().cpu == self)
        return;
    const uint32_t seen = g_handovers.load(std::memory_order_relaxed);
    lk.unlock();
    SleepUntilHanded(lk, self, seen);
}

// The woken thread is woken after the lock is released, so that it does not
// wake only to wait for the lock.
void SwitchTo(Lock& lk, SchedThread* self, SchedThread* next) {
    PassLocked(next);
    const uint32_t seen = g_handovers.load(std::memory_order_relaxed);
    lk.unlock();
    WakeBit(BitOf(next));
    SleepUntilHanded(lk, self, seen);
}

// The next moment something is due: a timer, or a blocked thread's time-out.
LONGLONG NextEventLocked() {
    LONGLONG next = NextTimerDueLocked();
    for (auto& t : M().threads) {
        if (t->state == State::Blocked && !t->pump && t->deadline >= 0 &&
            (next < 0 || t->deadline < next)) {
            next = t->deadline;
        }
    }
    return next;
}

// Whether everything still to come is a ticking timer: no other timer set and
// no thread waiting with a time-out.
bool OnlyTicksAheadLocked() {
    Machine& m = M();
    for (auto& t : m.threads)
        if (t->state == State::Blocked && !t->pump && t->deadline >= 0)
            return false;
    for (auto& [timer, record] : m.timers)
        if (!record.ticking)
            return false;
    return true;
}

// Fires a due timer; on the explored schedule every due timer at once, as a
// clock interrupt does, so their DPCs may run side by side.
bool FireDueLocked() {
    if (!FireOneDueTimerLocked())
        return false;
    if (M().explore != nullptr)
        while (FireOneDueTimerLocked()) {
        }
    return true;
}

bool AdvanceToNextEventLocked() {
    Machine& m = M();
    LONGLONG next = NextEventLocked();
    if (next < 0 || next <= m.now.load())
        return false;
    m.now.store(next);
    return true;
}

std::string TickersLocked() {
    std::string list;
    for (auto& [timer, record] : M().timers) {
        if (!list.empty())
            list += ", ";
        list += record.dpc != nullptr ? Describe((const void*)record.dpc->DeferredRoutine)
                                      : "a timer with no DPC";
    }
    return list;
}

std::string PointerText(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

// Every thread that waits, idles or spins, one line each.
std::string WaitersLocked() {
    std::string report;
    for (auto& t : M().threads) {
        switch (t->state) {
        case State::Blocked:
            report += "\n    " + t->name + " waits in " + t->what;
            break;
        case State::Idle:
            report += "\n    " + t->name + " is idle (no work queued)";
            break;
        case State::Preempted:
            if (t->spinOn != nullptr) {
                report += "\n    " + t->name + " spins on spin lock " + PointerText(t->spinOn) +
                          " held by " + ThreadName(__atomic_load_n(t->spinOn, __ATOMIC_RELAXED));
            }
            break;
        default:
            break;
        }
    }
    return report;
}

[[noreturn]] void Deadlock(Lock& lk) {
    std::string report = "every thread waits and nothing can wake them:" + WaitersLocked();
    ULONG_PTR blocked = 0;
    for (auto& t : M().threads)
        blocked += t->state == State::Blocked || t->spinOn != nullptr;
    lk.unlock();
    BugCheck(kSimDeadlock, blocked, 0, 0, 0, report);
}

// A wait with no time-out that only ticking timers keep company: those run
// for ever and nothing else will ever happen.
[[noreturn]] void Hang(Lock& lk, SchedThread* self, LONGLONG since, size_t ticks) {
    std::string report = self->name + " waits in " + self->what + " and it can never end: for " +
                         std::to_string((M().now.load() - since) / 10000) +
                         " ms of virtual time (" + std::to_string(ticks) +
                         " expiries) only ticking timers ran (" + TickersLocked() +
                         "), and nothing else is set to happen." + WaitersLocked();
    lk.unlock();
    BugCheck(kSimDeadlock, 0, 0, 0, 0, report);
}

// A wait nothing but timers keeps alive (a timer re-armed from its own DPC)
// would move the clock for ever instead of ending in a deadlock report.
[[noreturn]] void Livelock(Lock& lk, SchedThread* self, LONGLONG since) {
    std::string report = self->name + " has waited " +
                         std::to_string((M().now.load() - since) / 10000000) +
                         " s of virtual time in " + self->what +
                         " while only timers ran: " + std::to_string(kLivelockAdvances) +
                         " expiries and nothing it waits for (a timer re-armed for ever?)";
    lk.unlock();
    BugCheck(kSimDeadlock, 0, 0, 0, 0, report);
}

// After the clock moved on its own: a thread waits with no time-out, and
// only ticking timers are ahead. Long enough of that is a hang.
void WatchForHangLocked(Lock& lk) {
    SchedThread* stuck = nullptr;
    for (auto& t : M().threads) {
        if (t->state == State::Blocked && !t->pump && t->deadline < 0) {
            stuck = t.get();
            break;
        }
    }
    const LONGLONG now = M().now.load();
    if (stuck == nullptr || !OnlyTicksAheadLocked()) {
        g_quietSince = -1;
        g_quietTicks = 0;
        return;
    }
    if (g_quietSince < 0)
        g_quietSince = now;
    if (++g_quietTicks > kHangTicks || now - g_quietSince > kHangSpan)
        Hang(lk, stuck, g_quietSince, g_quietTicks);
}

bool WaitDet(Lock& lk, SchedThread* self, const std::function<bool()>& ready, const char* what,
             LONGLONG timeout, bool idle) {
    Machine& m = M();
    LONGLONG deadline = timeout > 0 ? m.now.load() + timeout : -1;
    self->state = idle ? State::Idle : State::Blocked;
    self->ready = &ready;
    self->what = what;
    self->deadline = deadline;
    self->pump = false;
    const LONGLONG start = m.now.load();
    size_t advances = 0;
    bool result;
    for (;;) {
        if (ready()) {
            result = true;
            break;
        }
        if (InlineDpcs() && RunOneDpcLocked(lk, 0))
            continue;
        if (deadline >= 0 && m.now.load() >= deadline) {
            // What falls due at the same instant as the time-out happens first.
            if (FireDueLocked())
                continue;
            result = false;
            break;
        }
        if (SchedThread* next = PickRunnable(self)) {
            SwitchTo(lk, self, next);
            continue;
        }
        if (FireDueLocked())
            continue;
        if (SchedThread* pump = PickPump(self)) {
            SwitchTo(lk, self, pump);
            continue;
        }
        if (AdvanceToNextEventLocked()) {
            if (++advances > kLivelockAdvances)
                Livelock(lk, self, start);
            WatchForHangLocked(lk);
            continue;
        }
        Deadlock(lk);
    }
    self->state = State::Running;
    self->ready = nullptr;
    self->what = "";
    self->deadline = -1;
    return result;
}

void PumpDet(Lock& lk, SchedThread* self) {
    self->state = State::Blocked;
    self->pump = true;
    self->what = "RunUntilIdle";
    for (;;) {
        if (InlineDpcs() && RunOneDpcLocked(lk, 0))
            continue;
        if (SchedThread* next = PickRunnable(self)) {
            SwitchTo(lk, self, next);
            continue;
        }
        if (FireDueLocked())
            continue;
        break;
    }
    self->state = State::Running;
    self->pump = false;
    self->what = "";
}

// The calling thread leaves the processor for good and passes it on.
void ExitDet(Lock& lk, SchedThread* self) {
    Machine& m = M();
    self->state = State::Exited;
    self->finished = true;
    for (;;) {
        if (InlineDpcs() && RunOneDpcLocked(lk, 0))
            continue;
        if (SchedThread* next = PickRunnable(self))
            return HandTo(next);
        if (FireDueLocked())
            continue;
        if (SchedThread* pump = PickPump(self))
            return HandTo(pump);
        if (AdvanceToNextEventLocked()) {
            WatchForHangLocked(lk);
            continue;
        }
        bool anyone = false;
        for (auto& t : m.threads) {
            if (t.get() != self && t->state != State::Exited)
                anyone = true;
        }
        if (!anyone) {
            m.cpu = nullptr;
            return;
        }
        Deadlock(lk);
    }
}

SchedThread* RequireProcessor(Lock& lk, const char* routine) {
    Machine& m = M();
    if (!m.up)
        Misuse(lk, std::string(routine) + " with no simulated kernel running");
    SchedThread* self = Self().sched;
    if (self == nullptr || m.cpu != self) {
        std::string name = Self().name;
        lk.unlock();
        BugCheck(kSimForeignThread, 0, 0, 0, 0,
                 std::string(routine) + " on " + name +
                     ", a thread the simulated processor does not know: in Deterministic "
                     "mode only the test's main thread and sim::Thread threads may block "
                     "or pump the machine");
    }
    return self;
}

void CheckThreadEnd(const char* what) {
    ThreadState& t = Self();
    if (t.irql != PASSIVE_LEVEL || !t.spinLocks.empty() || !t.fastMutexes.empty()) {
        BugCheck(kIrqlUnexpectedValue, t.irql, PASSIVE_LEVEL, t.spinLocks.size(),
                 t.fastMutexes.size(),
                 std::string(what) + " " + t.name + " ended at IRQL " + std::to_string(t.irql) +
                     " holding " + std::to_string(t.spinLocks.size()) + " spin lock(s) and " +
                     std::to_string(t.fastMutexes.size()) + " fast mutex(es)");
    }
}

// ---------------------------------------------------------------- work

void RunNextWorkItemLocked(Lock& lk, int processor = -1) {
    Machine& m = M();
    // The first item of `processor`'s, else the first: a worker woken for
    // another processor's item (none of that one's was idle) takes it.
    auto at = m.work.begin();
    if (processor >= 0) {
        auto own = std::find_if(m.work.begin(), m.work.end(), [processor](const WorkRecord& r) {
            return r.processor == processor;
        });
        if (own != m.work.end())
            at = own;
    }
    WorkRecord record = *at;
    m.work.erase(at);
    ThreadState& t = Self();
    // The routine and parameter are read when the item is dequeued, as
    // Windows does; the routine may free the item. The listed entry names
    // the thread; the entry a worker's last item left keeps its name.
    RunningWork running{record.item, record.item->WorkerRoutine, record.item->Parameter,
                        record.owner, std::string()};
    if (m.spareRunningWork.empty() || m.runningWork.count(t.id) != 0) {
        running.thread = t.name;
        m.runningWork[t.id] = running;
        running.thread.clear();
    } else {
        RunningWork& listed = m.spareRunningWork.mapped();
        if (m.spareRunningWork.key() != t.id || listed.thread != t.name) {
            m.spareRunningWork.key() = t.id;
            listed.thread = t.name;
        }
        listed.item = running.item;
        listed.routine = running.routine;
        listed.parameter = running.parameter;
        listed.owner = running.owner;
        m.runningWork.insert(std::move(m.spareRunningWork));
    }
    lk.unlock();
    RunWorkItem(running);
    lk.lock();
    if (auto entry = m.runningWork.find(t.id); entry != m.runningWork.end())
        m.spareRunningWork = m.runningWork.extract(entry);
    NotifyLocked();
}

void WorkerLoopDet(Lock& lk, SchedThread* self) {
    static const std::function<bool()> hasWork = [] { return M().stopping || !M().work.empty(); };
    for (;;) {
        WaitDet(lk, self, hasWork, "waiting for work", 0, true);
        if (M().stopping)
            return;
        self->busy = true;
        RunNextWorkItemLocked(lk);
        self->busy = false;
    }
}

// A processor of the explored schedule: runs the DPCs queued, one at a time.
void DpcLoopDet(Lock& lk, SchedThread* self) {
    const int processor = self->processor;
    const std::function<bool()> hasDpc = [processor] {
        return M().stopping || HasDpcForLocked(processor);
    };
    for (;;) {
        WaitDet(lk, self, hasDpc, "waiting for DPCs", 0, true);
        if (M().stopping)
            return;
        RunOneDpcLocked(lk, processor);
    }
}

void DeterministicEntry(std::shared_ptr<SchedThread> t) {
    ResetSelf(t->name);
    Self().sched = t.get();
    Self().systemWorker = t->kind == Kind::Worker;
    Lock lk(M().lock);
    t->self = &Self();
    AwaitProcessor(lk, t.get());
    t->state = State::Running;
    if (!M().stopping) {
        if (t->kind == Kind::Worker) {
            WorkerLoopDet(lk, t.get());
        } else if (t->kind == Kind::Service) {
            DpcLoopDet(lk, t.get());
        } else {
            lk.unlock();
            t->body();
            CheckThreadEnd("thread");
            lk.lock();
        }
    }
    ExitDet(lk, t.get());
    Self().sched = nullptr;
}

// The machine's own threads go under their names on the host too, for a
// profiler, a debugger, or a program placing them on host processors.
void ResetService(const std::string& name) {
    ResetSelf(name);
    pthread_setname_np(pthread_self(), name.c_str());
}

void ConcurrentWorkerEntry(std::shared_ptr<SchedThread> t) {
    ResetService(t->name);
    Self().systemWorker = true;
    Machine& m = M();
    Lock lk(m.lock);
    t->state = State::Idle;
    const int processor = t->processor;
    for (;;) {
        while (!m.stopping && m.work.empty()) {
            m.idleWorkers[processor]++;
            m.workQueued[processor].wait(lk);
            m.idleWorkers[processor]--;
        }
        if (m.stopping)
            break;
        t->state = State::Running;
        t->busy = true;
        Self().busyWorker = true;
        m.busyWorkers++;
        RunNextWorkItemLocked(lk, processor);
        m.busyWorkers--;
        Self().busyWorker = false;
        t->busy = false;
        t->state = State::Idle;
        NotifyLocked();
    }
    t->state = State::Exited;
    t->finished = true;
    NotifyLocked();
}

// ---------------------------------------------------------------- concurrent services

// A thread readied by a DPC (a request completed, a work item queued) runs
// once the processor leaves DISPATCH_LEVEL, as on Windows: not in the middle
// of the DPC queue. The DPC processor keeps what its DPCs would wake and
// wakes it when its queue runs dry, or every kDpcsPerWakeBatch DPCs so that a
// queue that never runs dry cannot starve the threads. Woken at once, each
// thread took the host processor from the DPC processor and handed it back:
// two host context switches for every completion.
struct DeferredWakes {
    bool on = false;
    int processor = -1; // the DPC processor this thread is
    int workers = 0;
    int keys = 0;
    const void* key[64] = {};
};
__thread DeferredWakes t_deferred;
constexpr int kDpcsPerWakeBatch = 8;

void WakeDeferred(Lock& lk) {
    DeferredWakes& d = t_deferred;
    // As many workers as there are processors, like the system's work queue:
    // each takes item after item, and a worker that blocks inside one hands
    // the queue to another (WaitLocked).
    for (int i = 0; i < std::min(d.workers, kDpcProcessors); i++)
        WakeWorkerLocked(d.processor);
    d.workers = 0;
    const int keys = d.keys;
    d.keys = 0;
    d.on = false;
    lk.unlock();
    for (int i = 0; i < keys; i++)
        Notify(d.key[i]);
    lk.lock();
    d.on = true;
}

void DpcProcessor(int number) {
    ResetService("dpc-" + std::to_string(number));
    Machine& m = M();
    Lock lk(m.lock);
    t_deferred.on = true;
    t_deferred.processor = number - 1;
    for (int ran = 0;;) {
        while (!m.stopping && !HasDpcForLocked(number - 1)) {
            m.dpcIdle[number - 1] = true;
            m.dpcQueued[number - 1].wait(lk);
            m.dpcIdle[number - 1] = false;
        }
        if (m.stopping)
            break;
        RunOneDpcLocked(lk, number - 1);
        if (++ran % kDpcsPerWakeBatch == 0 || !HasDpcForLocked(number - 1))
            WakeDeferred(lk);
    }
    WakeDeferred(lk);
    t_deferred.on = false;
}

// A key notified from a DPC processor, kept until it leaves DISPATCH_LEVEL.
bool DeferKeyWake(const void* key) {
    DeferredWakes& d = t_deferred;
    if (!d.on)
        return false;
    for (int i = 0; i < d.keys; i++)
        if (d.key[i] == key)
            return true;
    if (d.keys == static_cast<int>(std::size(d.key)))
        return false;
    d.key[d.keys++] = key;
    return true;
}

void ClockThread(std::condition_variable* wake) {
    ResetService("clock");
    Machine& m = M();
    auto start = std::chrono::steady_clock::now();
    Lock lk(m.lock);
    while (!m.stopping) {
        wake->wait_for(lk, std::chrono::milliseconds(1));
        auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count() /
                       100;
        LONGLONG now = static_cast<LONGLONG>(elapsed) + m.clockOffset;
        if (now > m.now.load())
            m.now.store(now);
        while (FireOneDueTimerLocked()) {
        }
        // Waiters with a time-out look at the clock again.
        NotifyEveryoneLocked();
    }
}

std::condition_variable& ClockWake() {
    static auto* cv = new std::condition_variable();
    return *cv;
}

} // namespace

// ---------------------------------------------------------------- explored schedule

namespace {

bool SwitchesIn(const Exploration& e, PDRIVER_OBJECT driver) {
    if (driver == nullptr)
        return false; // the simulation's and the test's own code run whole
    for (const void* d : e.atomic)
        if (d == driver)
            return false;
    return true;
}

// The driver routines on the stack, innermost first (a replay's detail).
std::string CallersText() {
    void* frames[16];
    int n = backtrace(frames, 16);
    std::string text;
    int kept = 0;
    for (int i = 0; i < n && kept < 3; ++i) {
        std::string symbol = Symbolize(static_cast<const char*>(frames[i]) - 1);
        if (symbol.find("sim::") != std::string::npos ||
            symbol.find("SimSchedulePoint") != std::string::npos || symbol.rfind("Kf", 0) == 0 ||
            symbol.rfind("Ke", 0) == 0 || symbol.rfind("Io", 0) == 0 ||
            symbol.rfind("Ex", 0) == 0 || symbol.find(".so") != std::string::npos ||
            symbol.find('(') == std::string::npos)
            continue;
        text += (kept++ == 0 ? "" : " < ") + symbol.substr(0, symbol.find('('));
    }
    return text.empty() ? "(the simulation)" : text;
}

std::string StepText(const Exploration& e, const SchedThread& t, const char* where) {
    return "step " + std::to_string(e.steps) + ": " + t.name + " at " + where;
}

// The running thread passes a schedule point: maybe a change point, then the
// runnable thread of highest priority takes the processor.
void SchedulePointLocked(Lock& lk, Exploration& e, SchedThread* self, const char* where) {
    Machine& m = M();
    ++e.steps;
    std::string& point = e.recent[e.steps % std::size(e.recent)];
    point = StepText(e, *self, where);
    if (e.schedule.callers)
        point += " from " + CallersText();
    if (e.nextChange < e.changeAt.size() && e.steps >= e.changeAt[e.nextChange]) {
        ++e.nextChange;
        self->priority = e.low--;
        std::string note = StepText(e, *self, where) + ": change point, " + self->name + " drops";
        // Some change points also let time pass here, as a processor taken
        // away for a while would: the next timer expires now.
        LONGLONG due = NextTimerDueLocked();
        if ((e.Next() & 1) != 0 && due > m.now.load()) {
            m.now.store(due);
            note += "; the clock jumps to " + std::to_string(due / 10000) + " ms";
            while (FireOneDueTimerLocked()) {
            }
        }
        NoteLocked(e, note);
    }
    SchedThread* next = PickExplored(self);
    if (next == nullptr || next->priority <= self->priority)
        return;
    NoteLocked(e, StepText(e, *self, where) + " -> " + next->name);
    self->state = State::Preempted;
    self->inDriver = CurrentDriver();
    self->at = where;
    SwitchTo(lk, self, next);
    self->state = State::Running;
}

} // namespace

bool SpinOnLock(PKSPIN_LOCK lock, const char* routine) {
    Machine& m = M();
    Lock lk(m.lock);
    Exploration* e = m.explore;
    SchedThread* self = Self().sched;
    if (e == nullptr || self == nullptr || m.cpu != self)
        return false;
    NoteLocked(*e, "step " + std::to_string(e->steps) + ": " + self->name + " spins in " + routine +
                       " on " + PointerText(lock) + ", held by " +
                       ThreadName(__atomic_load_n(lock, __ATOMIC_RELAXED)));
    self->spinOn = lock;
    self->state = State::Preempted;
    self->inDriver = CurrentDriver();
    self->at = routine;
    while (__atomic_load_n(lock, __ATOMIC_RELAXED) != 0) {
        SchedThread* next = PickExplored(self);
        if (next == nullptr)
            Deadlock(lk);
        SwitchTo(lk, self, next);
    }
    self->spinOn = nullptr;
    self->state = State::Running;
    return true;
}

// ---------------------------------------------------------------- internal entry points

namespace {
// The calling thread's keyed sleeper, from records that are never freed: a
// thread gives its record back when it ends, for the next thread to take.
Sleeper& KeyedSleeperOfThisThread() {
    struct Spare {
        std::mutex lock;
        std::vector<Sleeper*> records;
    };
    static auto* spare = new Spare;
    struct Lease {
        Sleeper* record = nullptr;
        Lease() {
            std::lock_guard<std::mutex> guard(spare->lock);
            if (spare->records.empty())
                spare->records.push_back(new Sleeper);
            record = spare->records.back();
            spare->records.pop_back();
        }
        ~Lease() {
            std::lock_guard<std::mutex> guard(spare->lock);
            spare->records.push_back(record);
        }
    };
    thread_local Lease lease;
    return *lease.record;
}

void OpenGate(Sleeper& s) {
    s.gate.store(1, std::memory_order_release);
    syscall(SYS_futex, &s.gate, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void Link(Sleeper*& head, Sleeper* s) {
    s->prev = nullptr;
    s->next = head;
    if (head != nullptr)
        head->prev = s;
    head = s;
}

void Unlink(Sleeper*& head, Sleeper* s) {
    (s->prev != nullptr ? s->prev->next : head) = s->next;
    if (s->next != nullptr)
        s->next->prev = s->prev;
}

// Concurrent: a wait on one key, under the key's lock (see Sleeper).
bool WaitKeyed(const std::function<bool()>& ready, const char* what, LONGLONG timeout100ns,
               const void* key) {
    Machine& m = M();
    if (!m.up) {
        Lock lk(m.lock);
        Misuse(lk, std::string(what) + " with no simulated kernel running");
    }
    auto& bucket = m.keyed.Of(key);
    std::unique_lock<std::mutex> lk(bucket.lock);
    if (ready())
        return true;
    Sleeper& me = KeyedSleeperOfThisThread();
    me.ready = &ready;
    me.key = key;
    me.deadline = timeout100ns > 0 ? m.now.load() + timeout100ns : -1;
    Link(bucket.head, &me);
    if (me.deadline >= 0)
        bucket.timed.fetch_add(1, std::memory_order_release);
    bool result = true;
    while (!ready()) {
        if (me.deadline >= 0 && m.now.load() >= me.deadline) {
            result = false;
            break;
        }
        // Closed under the lock, so that a waker (who opens it after
        // seeing `woken` clear, under the lock) cannot be missed.
        me.woken = false;
        me.gate.store(0, std::memory_order_relaxed);
        lk.unlock();
        while (me.gate.load(std::memory_order_acquire) == 0)
            syscall(SYS_futex, &me.gate, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
        lk.lock();
    }
    Unlink(bucket.head, &me);
    if (me.deadline >= 0)
        bucket.timed.fetch_sub(1, std::memory_order_relaxed);
    me.ready = nullptr;
    return result;
}
} // namespace

bool WaitLocked(Lock& lk, const std::function<bool()>& ready, const std::string& what,
                LONGLONG timeout100ns) {
    return WaitLocked(lk, ready, what.c_str(), timeout100ns);
}

// Takes the name as it comes: user-mode waits pass a literal on every request,
// and a std::string of a name longer than its inline buffer is an allocation.
bool WaitLocked(Lock& lk, const std::function<bool()>& ready, const char* what,
                LONGLONG timeout100ns) {
    Machine& m = M();
    if (Deterministic()) {
        SchedThread* self = RequireProcessor(lk, what);
        return WaitDet(lk, self, ready, what, timeout100ns, false);
    }
    if (!m.up)
        Misuse(lk, std::string(what) + " with no simulated kernel running");
    if (ready())
        return true;
    LONGLONG deadline = timeout100ns > 0 ? m.now.load() + timeout100ns : -1;
    ThreadState& t = Self();
    if (t.busyWorker) {
        m.busyWorkers--;
        if (!m.work.empty())
            WakeWorkerLocked(m.work.front().processor);
        NotifyLocked();
    }
    bool result = true;
    Sleeper me;
    me.ready = &ready;
    me.deadline = deadline;
    Link(m.sleepers, &me);
    Watch watch;
    while (!ready()) {
        if (deadline >= 0 && m.now.load() >= deadline) {
            result = false;
            break;
        }
        me.woken = false;
        me.cv.wait(lk);
    }
    Unlink(m.sleepers, &me);
    if (t.busyWorker)
        m.busyWorkers++;
    return result;
}

namespace {
// Concurrent: wakes each sleeper whose condition now holds or whose time-out
// has passed. Its condition is only ever read under the dispatcher lock, by
// it or by this. Caller holds the lock.
// `key` kTimeOnly: only those whose time-out has passed.
// `later`: keyed sleepers to wake once the caller lets go of the key's lock
// (see Sleeper), as many as it holds; the rest are woken now.
const char kTimeOnlyTag = 0;
const void* const kTimeOnly = &kTimeOnlyTag;

struct LaterWakes {
    Sleeper* sleeper[4];
    size_t count = 0;
    void Open() {
        for (size_t i = 0; i < count; i++)
            OpenGate(*sleeper[i]);
    }
};

void WakeSleepersLocked(Sleeper* list, LONGLONG now, const void* key, LaterWakes* later = nullptr) {
    for (Sleeper* s = list; s != nullptr; s = s->next) {
        if (s->woken || (key != nullptr && key != kTimeOnly && s->key != key))
            continue;
        if ((s->deadline >= 0 && now >= s->deadline) || (key != kTimeOnly && (*s->ready)())) {
            s->woken = true;
            if (s->key == nullptr)
                s->cv.notify_one();
            else if (later != nullptr && later->count < std::size(later->sleeper))
                later->sleeper[later->count++] = s;
            else
                OpenGate(*s);
        }
    }
}
} // namespace

void NotifyConcurrentLocked() {
    Machine& m = M();
    m.changed.notify_all();
    WakeSleepersLocked(m.sleepers, m.now.load(), nullptr);
}

void NotifyEveryoneLocked() {
    Machine& m = M();
    NotifyConcurrentLocked();
    // Their time-outs only: a waker that forgot to name the key must show
    // as the hang it is, not as a wait that ends at the next tick. A sleeper
    // that links just as this looks is seen on the next tick.
    for (auto& bucket : m.keyed.All()) {
        if (bucket.timed.load(std::memory_order_acquire) == 0)
            continue;
        std::lock_guard<std::mutex> guard(bucket.lock);
        WakeSleepersLocked(bucket.head, m.now.load(), kTimeOnly);
    }
}

void EnsureWorkersLocked() {
    Machine& m = M();
    size_t idle = 0, total = 0;
    for (auto& t : m.threads) {
        if (t->kind != Kind::Worker || t->state == State::Exited)
            continue;
        ++total;
        if (t->state == State::Idle || t->state == State::New)
            ++idle;
    }
    while (idle < m.work.size() && total < kMaxWorkers) {
        auto t = std::make_shared<SchedThread>();
        t->name = "worker-" + std::to_string(++total);
        t->kind = Kind::Worker;
        // Concurrent: worker N serves processor (N-1) mod the processors
        // first, so that an item a DPC queues runs next to the DPC's
        // processor where a program keeps the workers there.
        t->processor = Deterministic() ? 0 : static_cast<int>((total - 1) % kDpcProcessors);
        t->state = State::New;
        AdmitLocked(*t);
        m.threads.push_back(t);
        t->thread = std::thread(Deterministic() ? DeterministicEntry : ConcurrentWorkerEntry, t);
        ++idle;
    }
}

// Caller holds the lock. A DPC for `processor` (-1: any) was queued: wakes
// that processor, or for any, one that sleeps. A busy one takes it when it
// looks at its queue again; waking both had one find nothing and sleep
// again, a wake-up across host processors for nothing.
void WakeDpcProcessorLocked(int processor) {
    Machine& m = M();
    if (processor >= 0) {
        if (processor < kDpcProcessors)
            m.dpcQueued[processor].notify_one();
        return;
    }
    for (int i = 0; i < kDpcProcessors; i++)
        if (m.dpcIdle[i]) {
            m.dpcIdle[i] = false;
            m.dpcQueued[i].notify_one();
            return;
        }
}

int CurrentDpcProcessor() {
    return t_deferred.processor;
}

void WakeWorkerLocked(int processor) {
    Machine& m = M();
    for (int i = 0; i < kDpcProcessors && (processor < 0 || m.idleWorkers[processor] == 0); i++)
        if (m.idleWorkers[i] > 0)
            processor = i;
    if (processor >= 0)
        m.workQueued[processor].notify_one();
}

bool DeferWorkerWake() {
    if (!t_deferred.on)
        return false;
    t_deferred.workers++;
    return true;
}

int ActiveProcessorsLocked() {
    if (const Exploration* e = M().explore)
        return e->schedule.processors;
    return Deterministic() ? 1 : kDpcProcessors;
}

} // namespace sim::ke

// ---------------------------------------------------------------- sim:: API

namespace sim {

using namespace ke;

bool WaitUntil(const std::function<bool()>& ready, const char* what, LONGLONG timeout100ns,
               const void* key) {
    const char* name = what ? what : "WaitUntil";
    RequireMayWait(name, kVfWaitAtDispatchInfinite, 0);
    // A worker inside a work item waits under the dispatcher lock whatever
    // it waits for: it leaves the busy workers' count there.
    if (key != nullptr && !Deterministic() && !Self().busyWorker)
        return WaitKeyed(ready, name, timeout100ns, key);
    Lock lk(M().lock);
    return WaitLocked(lk, ready, name, timeout100ns);
}

void Notify() {
    if (Deterministic())
        return;
    // Nobody asleep under the lock: nobody to wake. A sleeper counts itself
    // (Watch) before its last look at its condition and this looks at the
    // count after the caller's change, each behind a full fence: either it
    // sees the change, or this sees it counted. ThreadSanitizer knows no
    // fences: under it every notification takes the lock, as it always did.
#if !defined(__SANITIZE_THREAD__)
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (M().watchers.load(std::memory_order_relaxed) == 0)
        return;
#endif
    // Under the lock: this notification comes after any waiter's last look
    // at its condition, so the wake-up cannot be lost.
    std::lock_guard<std::mutex> guard(M().lock);
    NotifyLocked();
}

void Notify(const void* key) {
    if (Deterministic())
        return;
    if (key == nullptr)
        return Notify();
    if (DeferKeyWake(key))
        return;
    // Looked at under the key's lock, for the same reason; woken once it is
    // let go (see Sleeper).
    auto& bucket = M().keyed.Of(key);
    LaterWakes later;
    {
        std::lock_guard<std::mutex> guard(bucket.lock);
        WakeSleepersLocked(bucket.head, M().now.load(), key, &later);
    }
    later.Open();
}

void RunUntilIdle() {
    RequireMayWait("RunUntilIdle", kVfWaitAtDispatchInfinite, 0);
    Machine& m = M();
    Lock lk(m.lock);
    if (Deterministic()) {
        PumpDet(lk, RequireProcessor(lk, "RunUntilIdle"));
        return;
    }
    if (!m.up)
        Misuse(lk, "RunUntilIdle with no simulated kernel running");
    Watch watch;
    m.changed.wait(lk, [&] {
        return m.dpcs.empty() && m.dpcsRunning == 0 && m.work.empty() && m.busyWorkers == 0;
    });
}

void AdvanceClock(LONGLONG hundredNs) {
    RequireMayWait("AdvanceClock", kVfWaitAtDispatchInfinite, 0);
    Machine& m = M();
    Lock lk(m.lock);
    if (hundredNs < 0)
        Misuse(lk, "AdvanceClock by a negative time: the clock only goes forward");
    if (!Deterministic()) {
        if (!m.up)
            Misuse(lk, "AdvanceClock with no simulated kernel running");
        m.clockOffset += hundredNs;
        m.now.store(m.now.load() + hundredNs);
        while (FireOneDueTimerLocked()) {
        }
        NotifyEveryoneLocked();
        lk.unlock();
        RunUntilIdle();
        return;
    }
    SchedThread* self = RequireProcessor(lk, "AdvanceClock");
    LONGLONG target = m.now.load() + hundredNs;
    PumpDet(lk, self);
    for (;;) {
        LONGLONG next = NextEventLocked();
        // After a pump nothing is due any more, so `next` lies ahead.
        if (next < 0 || next > target || next <= m.now.load())
            break;
        m.now.store(next);
        PumpDet(lk, self);
    }
    if (target > m.now.load())
        m.now.store(target);
    PumpDet(lk, self);
}

void UseSchedule(const Schedule& schedule) {
    Machine& m = M();
    Lock lk(m.lock);
    if (!m.up || !Deterministic() || m.explore != nullptr || Self().sched != m.cpu ||
        schedule.processors < 2) {
        Misuse(lk, "UseSchedule: call it once, from the main thread of a deterministic kernel "
                   "just made, with two processors or more");
    }
    auto* e = new Exploration();
    e->schedule = schedule;
    e->rng = schedule.seed;
    e->Next(); // a seed of 0 is as good as any other
    for (int i = 0; i < schedule.changePoints; ++i)
        e->changeAt.push_back(1 + e->Next() % std::max<uint64_t>(schedule.horizon, 1));
    std::sort(e->changeAt.begin(), e->changeAt.end());
    e->low = schedule.changePoints;
    m.explore = e;
    for (auto& t : m.threads)
        AdmitLocked(*t);
    for (int i = 0; i < schedule.processors; ++i) {
        auto t = std::make_shared<SchedThread>();
        t->name = "cpu" + std::to_string(i) + "-dpc";
        t->processor = i;
        t->kind = Kind::Service;
        t->state = State::New;
        AdmitLocked(*t);
        m.threads.push_back(t);
        t->thread = std::thread(DeterministicEntry, t);
    }
    g_exploring = true;
}

bool Exploring() {
    return M().explore != nullptr;
}

uint64_t ScheduleSteps() {
    Exploration* e = M().explore;
    return e != nullptr ? e->steps : g_lastSteps;
}

std::string ScheduleTrace() {
    // No lock: a bug check may have stopped the machine with it held.
    Exploration* e = M().explore;
    if (e == nullptr)
        return "(no explored schedule)\n";
    std::string text = "seed " + std::to_string(e->schedule.seed) + ", " +
                       std::to_string(e->schedule.processors) + " processors, change points at";
    for (uint64_t c : e->changeAt)
        text += " " + std::to_string(c);
    text += ", " + std::to_string(e->steps) + " steps\nswitches:\n";
    for (const std::string& line : e->switches)
        text += "  " + line + "\n";
    text += "last schedule points:\n";
    const size_t ring = std::size(e->recent);
    for (uint64_t i = e->steps >= ring ? e->steps - ring + 1 : 1; i <= e->steps; ++i)
        text += "  " + e->recent[i % ring] + "\n";
    return text;
}

void AdvanceClockMs(ULONG ms) {
    AdvanceClock(static_cast<LONGLONG>(ms) * 10000);
}

// ---------------------------------------------------------------- lifecycle

void KeStart(const Options& options) {
    Machine& m = M();
    Lock lk(m.lock);
    m.mode = options.mode;
    g_simLocking = options.mode != Mode::Deterministic;
    m.up = true;
    m.stopping = false;
    m.now.store(0);
    m.clockOffset = 0;
    m.timerSeq = 0;
    m.dpcsRunning = 0;
    m.runningDpcs.clear();
    m.busyWorkers = 0;
    ClearObjectsLocked();
    m.threads.clear();
    m.cpu = nullptr;
    delete m.explore;
    m.explore = nullptr;
    g_exploring = false;
    g_quietSince = -1;
    g_quietTicks = 0;
    ResetSelf("main");
    if (Deterministic()) {
        auto main = std::make_shared<SchedThread>();
        main->name = "main";
        main->kind = Kind::Main;
        main->state = State::Running;
        main->self = &Self();
        m.threads.push_back(main);
        m.cpu = main.get();
        Self().sched = main.get();
    } else {
        m.services.emplace_back(ClockThread, &ClockWake());
        for (int i = 1; i <= kDpcProcessors; ++i)
            m.services.emplace_back(DpcProcessor, i);
    }
}

void KeStop() {
    Machine& m = M();
    Lock lk(m.lock);
    m.stopping = true;
    ClearObjectsLocked();
    // Which threads leave (and are joined) and which stay blocked for good
    // (and are abandoned where they sleep) is decided under the lock.
    std::vector<std::shared_ptr<SchedThread>> leaving, abandoned;
    if (Deterministic()) {
        SchedThread* self = Self().sched;
        // Idle workers and threads that never started leave now; a blocked
        // thread is never resumed (see Runnable).
        if (self != nullptr && m.cpu == self)
            PumpDet(lk, self);
        for (auto& t : m.threads) {
            if (t.get() == self)
                continue;
            (t->state == State::Exited ? leaving : abandoned).push_back(t);
        }
        m.threads.clear();
        m.cpu = nullptr;
        lk.unlock();
    } else {
        m.changed.notify_all();
        for (auto& queued : m.dpcQueued)
            queued.notify_all();
        for (auto& queued : m.workQueued)
            queued.notify_all();
        ClockWake().notify_all();
        std::vector<std::thread> services = std::move(m.services);
        m.services.clear();
        lk.unlock();
        for (auto& s : services)
            s.join();
        lk.lock();
        // A worker inside a work item finishes it, or blocks in it for good.
        {
            Watch watch;
            m.changed.wait(lk, [&] { return m.busyWorkers == 0; });
        }
        for (auto& t : m.threads)
            (t->busy ? abandoned : leaving).push_back(t);
        m.threads.clear();
        lk.unlock();
    }
    for (auto& t : leaving) {
        if (t->thread.joinable())
            t->thread.join();
    }
    for (auto& t : abandoned) {
        if (t->thread.joinable())
            t->thread.detach();
        Abandoned().push_back(t);
    }
    lk.lock();
    ClearObjectsLocked();
    m.up = false;
    m.stopping = false;
    m.now.store(0);
    g_exploring = false;
    g_lastSteps = m.explore != nullptr ? m.explore->steps : 0;
    if (abandoned.empty())
        delete m.explore;
    else
        AbandonedExplorations().push_back(m.explore); // their threads may still look at it
    m.explore = nullptr;
    Self().sched = nullptr;
}

// ---------------------------------------------------------------- sim::Thread

struct Thread::Impl {
    std::shared_ptr<SchedThread> t;
    std::string name;
    bool deterministic = true;
    bool joined = false;
};

Thread::Thread(std::string name, std::function<void()> body) : impl_(new Impl) {
    Machine& m = M();
    Lock lk(m.lock);
    if (!m.up)
        Misuse(lk, "sim::Thread " + name + " started with no simulated kernel running");
    auto t = std::make_shared<SchedThread>();
    t->name = name;
    t->kind = Kind::User;
    t->state = State::New;
    t->body = std::move(body);
    impl_->t = t;
    impl_->name = name;
    impl_->deterministic = Deterministic();
    if (impl_->deterministic) {
        AdmitLocked(*t);
        m.threads.push_back(t);
        t->thread = std::thread(DeterministicEntry, t);
    } else {
        t->thread = std::thread([t] {
            ResetSelf(t->name);
            t->state = State::Running;
            t->body();
            CheckThreadEnd("thread");
            std::lock_guard<std::mutex> guard(M().lock);
            t->state = State::Exited;
            t->finished = true;
            NotifyLocked();
        });
    }
}

void Thread::Join() {
    if (impl_->joined)
        return;
    std::shared_ptr<SchedThread> t = impl_->t;
    if (impl_->deterministic) {
        bool finished;
        {
            std::lock_guard<std::mutex> guard(M().lock);
            finished = t->finished || !M().up;
        }
        if (!finished) {
            WaitUntil([t] { return t->finished; }, ("joining thread " + impl_->name).c_str());
        }
        std::lock_guard<std::mutex> guard(M().lock);
        finished = t->finished;
        if (!finished) {
            // The kernel went away with the thread blocked: it is abandoned.
            impl_->joined = true;
            return;
        }
    }
    if (t->thread.joinable())
        t->thread.join();
    impl_->joined = true;
}

bool Thread::Finished() const {
    std::lock_guard<std::mutex> guard(M().lock);
    return impl_->t->finished;
}

Thread::~Thread() {
    Join();
    delete impl_;
}

} // namespace sim

// Every schedule point a driver passes comes here. Off the explored schedule
// it costs one test of a flag.
extern "C" void SimSchedulePoint(const char* where) {
    using namespace sim;
    using namespace sim::ke;
    if (!g_exploring || t_simLocksHeld != 0)
        return;
    PDRIVER_OBJECT driver = CurrentDriver();
    Machine& m = M();
    std::unique_lock<std::mutex> lk(m.lock);
    Exploration* e = m.explore;
    SchedThread* self = Self().sched;
    if (e == nullptr || self == nullptr || m.cpu != self ||
        self->state != SchedThread::State::Running)
        return;
    if (driver != nullptr &&
        std::find(e->atomic.begin(), e->atomic.end(), driver) == e->atomic.end()) {
        const std::string name = DriverName(driver);
        for (const std::string& a : e->schedule.atomicDrivers) {
            if (name == a) {
                e->atomic.push_back(driver);
                break;
            }
        }
    }
    if (SwitchesIn(*e, driver))
        SchedulePointLocked(lk, *e, self, where);
}
