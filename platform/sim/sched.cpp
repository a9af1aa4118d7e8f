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
// Concurrent mode is the stress suite's: threads run freely, a wait is a
// condition-variable wait under the dispatcher lock, DPC threads run queued
// DPCs, a clock thread moves the virtual clock in real time and fires timers.
#include "platform/sim/ke_internal.h"

#include <chrono>
#include <cstdio>

namespace sim::ke {

} // namespace sim::ke

namespace sim {
bool g_simLocking = true;
} // namespace sim

namespace sim::ke {

Machine& M() {
    // Never destroyed: a thread left blocked at teardown may still sleep on it.
    static Machine* machine = new Machine();
    return *machine;
}

namespace {

using Lock = std::unique_lock<std::mutex>;
using State = SchedThread::State;
using Kind = SchedThread::Kind;

constexpr size_t kMaxWorkers = 16;
constexpr int kDpcProcessors = 2;
constexpr size_t kLivelockAdvances = 1000000;

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
        return m.stopping || t.kind != Kind::Worker || !m.work.empty();
    case State::Idle:
        return m.stopping || !m.work.empty();
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

SchedThread* PickRunnable(const SchedThread* self) {
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

void HandTo(SchedThread* next) {
    M().cpu = next;
    next->cv.notify_one();
}

void SwitchTo(Lock& lk, SchedThread* self, SchedThread* next) {
    HandTo(next);
    self->cv.wait(lk, [self] { return M().cpu == self; });
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

bool AdvanceToNextEventLocked() {
    Machine& m = M();
    LONGLONG next = NextEventLocked();
    if (next < 0 || next <= m.now.load())
        return false;
    m.now.store(next);
    return true;
}

[[noreturn]] void Deadlock(Lock& lk) {
    std::string report = "every thread waits and nothing can wake them:";
    ULONG_PTR blocked = 0;
    for (auto& t : M().threads) {
        switch (t->state) {
        case State::Blocked:
            report += "\n    " + t->name + " waits in " + t->what;
            ++blocked;
            break;
        case State::Idle:
            report += "\n    " + t->name + " is idle (no work queued)";
            break;
        default:
            break;
        }
    }
    lk.unlock();
    BugCheck(kSimDeadlock, blocked, 0, 0, 0, report);
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

bool WaitDet(Lock& lk, SchedThread* self, const std::function<bool()>& ready,
             const std::string& what, LONGLONG timeout, bool idle) {
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
        if (RunOneDpcLocked(lk))
            continue;
        if (deadline >= 0 && m.now.load() >= deadline) {
            // What falls due at the same instant as the time-out happens first.
            if (FireOneDueTimerLocked())
                continue;
            result = false;
            break;
        }
        if (SchedThread* next = PickRunnable(self)) {
            SwitchTo(lk, self, next);
            continue;
        }
        if (FireOneDueTimerLocked())
            continue;
        if (SchedThread* pump = PickPump(self)) {
            SwitchTo(lk, self, pump);
            continue;
        }
        if (AdvanceToNextEventLocked()) {
            if (++advances > kLivelockAdvances)
                Livelock(lk, self, start);
            continue;
        }
        Deadlock(lk);
    }
    self->state = State::Running;
    self->ready = nullptr;
    self->what.clear();
    self->deadline = -1;
    return result;
}

void PumpDet(Lock& lk, SchedThread* self) {
    self->state = State::Blocked;
    self->pump = true;
    self->what = "RunUntilIdle";
    for (;;) {
        if (RunOneDpcLocked(lk))
            continue;
        if (SchedThread* next = PickRunnable(self)) {
            SwitchTo(lk, self, next);
            continue;
        }
        if (FireOneDueTimerLocked())
            continue;
        break;
    }
    self->state = State::Running;
    self->pump = false;
    self->what.clear();
}

// The calling thread leaves the processor for good and passes it on.
void ExitDet(Lock& lk, SchedThread* self) {
    Machine& m = M();
    self->state = State::Exited;
    self->finished = true;
    for (;;) {
        if (RunOneDpcLocked(lk))
            continue;
        if (SchedThread* next = PickRunnable(self))
            return HandTo(next);
        if (FireOneDueTimerLocked())
            continue;
        if (SchedThread* pump = PickPump(self))
            return HandTo(pump);
        if (AdvanceToNextEventLocked())
            continue;
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

void RunNextWorkItemLocked(Lock& lk) {
    Machine& m = M();
    WorkRecord record = m.work.front();
    m.work.pop_front();
    ThreadState& t = Self();
    // The routine and parameter are read when the item is dequeued, as
    // Windows does; the routine may free the item.
    RunningWork running{record.item, record.item->WorkerRoutine, record.item->Parameter,
                        record.owner, t.name};
    m.runningWork[t.id] = running;
    lk.unlock();
    RunWorkItem(running);
    lk.lock();
    m.runningWork.erase(t.id);
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

void DeterministicEntry(std::shared_ptr<SchedThread> t) {
    ResetSelf(t->name);
    Self().sched = t.get();
    Self().systemWorker = t->kind == Kind::Worker;
    Lock lk(M().lock);
    t->cv.wait(lk, [&] { return M().cpu == t.get(); });
    t->state = State::Running;
    if (!M().stopping) {
        if (t->kind == Kind::Worker) {
            WorkerLoopDet(lk, t.get());
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

void ConcurrentWorkerEntry(std::shared_ptr<SchedThread> t) {
    ResetSelf(t->name);
    Self().systemWorker = true;
    Machine& m = M();
    Lock lk(m.lock);
    t->state = State::Idle;
    for (;;) {
        m.changed.wait(lk, [&] { return m.stopping || !m.work.empty(); });
        if (m.stopping)
            break;
        t->state = State::Running;
        t->busy = true;
        Self().busyWorker = true;
        m.busyWorkers++;
        RunNextWorkItemLocked(lk);
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

void DpcProcessor(int number) {
    ResetSelf("dpc-" + std::to_string(number));
    Machine& m = M();
    Lock lk(m.lock);
    for (;;) {
        m.changed.wait(lk, [&] { return m.stopping || !m.dpcs.empty(); });
        if (m.stopping)
            return;
        RunOneDpcLocked(lk);
    }
}

void ClockThread(std::condition_variable* wake) {
    ResetSelf("clock");
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
        m.changed.notify_all();
    }
}

std::condition_variable& ClockWake() {
    static auto* cv = new std::condition_variable();
    return *cv;
}

} // namespace

// ---------------------------------------------------------------- internal entry points

bool WaitLocked(Lock& lk, const std::function<bool()>& ready, const std::string& what,
                LONGLONG timeout100ns) {
    Machine& m = M();
    if (Deterministic()) {
        SchedThread* self = RequireProcessor(lk, what.c_str());
        return WaitDet(lk, self, ready, what, timeout100ns, false);
    }
    if (!m.up)
        Misuse(lk, what + " with no simulated kernel running");
    if (ready())
        return true;
    LONGLONG deadline = timeout100ns > 0 ? m.now.load() + timeout100ns : -1;
    ThreadState& t = Self();
    if (t.busyWorker) {
        m.busyWorkers--;
        NotifyLocked();
    }
    bool result = true;
    while (!ready()) {
        if (deadline >= 0 && m.now.load() >= deadline) {
            result = false;
            break;
        }
        m.changed.wait(lk);
    }
    if (t.busyWorker)
        m.busyWorkers++;
    return result;
}

void NotifyLocked() {
    if (!Deterministic())
        M().changed.notify_all();
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
        t->state = State::New;
        m.threads.push_back(t);
        t->thread = std::thread(Deterministic() ? DeterministicEntry : ConcurrentWorkerEntry, t);
        ++idle;
    }
}

} // namespace sim::ke

// ---------------------------------------------------------------- sim:: API

namespace sim {

using namespace ke;
using Lock = std::unique_lock<std::mutex>;

bool WaitUntil(const std::function<bool()>& ready, const char* what, LONGLONG timeout100ns) {
    const char* name = what ? what : "WaitUntil";
    RequireMayWait(name, kVfWaitAtDispatchInfinite, 0);
    Lock lk(M().lock);
    return WaitLocked(lk, ready, name, timeout100ns);
}

void Notify() {
    if (Deterministic())
        return;
    {
        // Taking the lock orders this notification after any waiter's last
        // look at its condition, so the wake-up cannot be lost.
        std::lock_guard<std::mutex> guard(M().lock);
    }
    M().changed.notify_all();
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
        NotifyLocked();
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
    m.busyWorkers = 0;
    ClearObjectsLocked();
    m.threads.clear();
    m.cpu = nullptr;
    ResetSelf("main");
    if (Deterministic()) {
        auto main = std::make_shared<SchedThread>();
        main->name = "main";
        main->kind = Kind::Main;
        main->state = State::Running;
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
        ClockWake().notify_all();
        std::vector<std::thread> services = std::move(m.services);
        m.services.clear();
        lk.unlock();
        for (auto& s : services)
            s.join();
        lk.lock();
        // A worker inside a work item finishes it, or blocks in it for good.
        m.changed.wait(lk, [&] { return m.busyWorkers == 0; });
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
