// Timers, DPCs, the clock and the work queue, and the checks that a freed
// block or an unloading driver leaves none of them behind.
#include "platform/sim/ex_internal.h"
#include "platform/sim/ke_internal.h"

#include <algorithm>
#include <cstdio>
#include <dlfcn.h>

namespace sim::ke {

namespace {

using Lock = std::unique_lock<std::mutex>;

std::string Hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

std::string Ms(LONGLONG hundredNs) {
    char text[48];
    std::snprintf(text, sizeof text, "%lld.%01lld ms", static_cast<long long>(hundredNs / 10000),
                  static_cast<long long>((hundredNs % 10000) / 1000));
    return text;
}

bool EraseTimerLocked(PKTIMER timer) {
    Machine& m = M();
    auto it = m.timers.find(timer);
    if (it == m.timers.end())
        return false;
    m.timerQueue.erase({it->second.due, it->second.seq});
    m.spareTimerEntry = m.timers.extract(it);
    __atomic_store_n(&timer->Header.Inserted, 0, __ATOMIC_RELEASE);
    return true;
}

void InsertTimerLocked(PKTIMER timer, TimerRecord record) {
    Machine& m = M();
    record.seq = ++m.timerSeq;
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(record.due);
    __atomic_store_n(&timer->Header.Inserted, 1, __ATOMIC_RELEASE);
    m.timerQueue.insert({record.due, record.seq}, timer);
    auto set = m.timers.find(timer);
    if (set != m.timers.end()) {
        set->second = record;
    } else if (m.spareTimerEntry.empty()) {
        m.timers.emplace(timer, record);
    } else {
        m.spareTimerEntry.key() = timer;
        m.spareTimerEntry.mapped() = record;
        m.timers.insert(std::move(m.spareTimerEntry));
    }
}

bool DpcQueuedLocked(PKDPC dpc) {
    for (const DpcRecord& r : M().dpcs) {
        if (r.dpc == dpc)
            return true;
    }
    return false;
}

std::string TimerText(PKTIMER timer, const TimerRecord& r) {
    std::string text = "timer " + Hex(timer) + " (due in " + Ms(r.due - M().now.load());
    if (r.period)
        text += ", every " + std::to_string(r.period) + " ms";
    if (r.dpc)
        text += ", DPC " + Hex(r.dpc) + " routine " + Describe((void*)r.dpc->DeferredRoutine);
    return text + ")";
}

} // namespace

std::string Describe(const void* routine) {
    Dl_info info;
    if (routine != nullptr && dladdr(routine, &info) != 0 && info.dli_sname != nullptr) {
        return std::string(info.dli_sname) + " (" + Hex(routine) + ")";
    }
    return Hex(routine);
}

LONGLONG NextTimerDueLocked() {
    const Machine& m = M();
    return m.timerQueue.empty() ? -1 : m.timerQueue.begin()->first.first;
}

bool InsertDpcLocked(PKDPC dpc, PVOID arg1, PVOID arg2, PDRIVER_OBJECT owner) {
    if (DpcQueuedLocked(dpc))
        return false;
    dpc->SystemArgument1 = arg1;
    dpc->SystemArgument2 = arg2;
    // KeSetTargetProcessorDpc marks a targeted DPC as Windows does, with the
    // processor's number plus MAXIMUM_PROCESSORS.
    const int processor = dpc->Number >= kMaximumProcessors ? dpc->Number - kMaximumProcessors : -1;
    M().dpcs.push_back(DpcRecord{dpc, owner, processor, ++M().dpcSeq});
    if (g_simLocking)
        WakeDpcProcessorLocked(processor);
    NotifyLocked();
    return true;
}

bool FireOneDueTimerLocked() {
    Machine& m = M();
    if (m.timerQueue.empty())
        return false;
    auto first = m.timerQueue.begin();
    if (first->first.first > m.now.load())
        return false;
    PKTIMER timer = first->second;
    TimerRecord record = m.timers[timer];
    EraseTimerLocked(timer);
    timer->Header.SignalState = 1;
    if (timer->Header.Type == kTimerNotificationObject) {
        SatisfyWaitersLocked(timer, true);
    } else if (SatisfyWaitersLocked(timer, false) > 0) {
        timer->Header.SignalState = 0;
    }
    if (record.period > 0) {
        TimerRecord next = record;
        next.due = record.due + static_cast<LONGLONG>(record.period) * 10000;
        InsertTimerLocked(timer, next);
    }
    if (record.dpc != nullptr) {
        // A timer's DPC gets the system time of expiry, low part then high part.
        LARGE_INTEGER at;
        at.QuadPart = kBootSystemTime + m.now.load();
        InsertDpcLocked(
            record.dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(at.LowPart)),
            reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(at.HighPart))),
            record.owner);
    }
    NotifyLocked();
    return true;
}

namespace {
__thread PKDPC t_runningDpc = nullptr;
} // namespace

PKDPC RunningDpc() {
    return t_runningDpc;
}

namespace {
std::deque<DpcRecord>::iterator FirstDpcForLocked(int processor) {
    auto& dpcs = M().dpcs;
    // Nearly always the first one, which any processor may take.
    if (dpcs.empty() || dpcs.front().processor < 0)
        return dpcs.begin();
    return std::find_if(dpcs.begin(), dpcs.end(), [processor](const DpcRecord& r) {
        return r.processor < 0 || r.processor == processor;
    });
}
} // namespace

bool HasDpcForLocked(int processor) {
    return FirstDpcForLocked(processor) != M().dpcs.end();
}

bool RunOneDpcLocked(std::unique_lock<std::mutex>& lk, int processor) {
    Machine& m = M();
    auto it = FirstDpcForLocked(processor);
    if (it == m.dpcs.end())
        return false;
    DpcRecord record = *it;
    if (it == m.dpcs.begin())
        m.dpcs.pop_front(); // nearly always: most DPCs go to whichever processor
    else
        m.dpcs.erase(it);
    PKDPC dpc = record.dpc;
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext;
    PVOID arg1 = dpc->SystemArgument1;
    PVOID arg2 = dpc->SystemArgument2;
    m.dpcsRunning++;
    m.runningDpcs.push_back(record.seq);
    lk.unlock();
    {
        ThreadState& t = Self();
        KIRQL saved = t.irql;
        size_t locks = t.spinLocks.size();
        t.irql = DISPATCH_LEVEL;
        PKDPC outer = t_runningDpc;
        t_runningDpc = dpc;
        {
            CallScope scope(record.owner);
            routine(dpc, context, arg1, arg2);
            if (t.irql != DISPATCH_LEVEL || t.spinLocks.size() != locks) {
                std::string how = t.irql != DISPATCH_LEVEL
                                      ? "at IRQL " + std::to_string(t.irql)
                                      : "holding spin lock " + Hex(t.spinLocks.back());
                BugCheck(kIrqlUnexpectedValue, t.irql, DISPATCH_LEVEL,
                         reinterpret_cast<ULONG_PTR>(routine), reinterpret_cast<ULONG_PTR>(dpc),
                         "DPC routine " + Describe((void*)routine) + " returned " + how +
                             "; a DPC must return at DISPATCH_LEVEL with no spin lock held");
            }
        }
        t_runningDpc = outer;
        t.irql = saved;
    }
    lk.lock();
    m.dpcsRunning--;
    m.runningDpcs.erase(std::find(m.runningDpcs.begin(), m.runningDpcs.end(), record.seq));
    NotifyLocked();
    return true;
}

void RunWorkItem(const RunningWork& work) {
    ThreadState& t = Self();
    CallScope scope(work.owner);
    work.routine(work.parameter);
    if (t.irql != PASSIVE_LEVEL || !t.spinLocks.empty() || !t.fastMutexes.empty()) {
        std::string how = !t.spinLocks.empty() ? "holding spin lock " + Hex(t.spinLocks.back())
                          : !t.fastMutexes.empty()
                              ? "holding fast mutex " + Hex(t.fastMutexes.back())
                              : "at IRQL " + std::to_string(t.irql);
        BugCheck(kWorkerThreadReturnedAtBadIrql, reinterpret_cast<ULONG_PTR>(work.routine), t.irql,
                 reinterpret_cast<ULONG_PTR>(work.item), reinterpret_cast<ULONG_PTR>(work.item),
                 "work item routine " + Describe((void*)work.routine) + " returned " + how +
                     "; it must return at PASSIVE_LEVEL holding nothing");
    }
}

void ClearObjectsLocked() {
    Machine& m = M();
    m.timerQueue.clear();
    m.timers.clear();
    m.dpcs.clear();
    m.work.clear();
    m.runningWork.clear();
    m.waiters.clear();
    m.ownedFastMutexes.clear();
}

} // namespace sim::ke

namespace sim {

using namespace ke;

LONGLONG Now() {
    return M().now.load();
}

bool Concurrent() {
    return M().mode == Mode::Concurrent;
}

size_t QueuedTimers() {
    std::lock_guard<std::mutex> guard(M().lock);
    return M().timers.size();
}

size_t QueuedDpcs() {
    std::lock_guard<std::mutex> guard(M().lock);
    return M().dpcs.size();
}

size_t QueuedWorkItems() {
    std::lock_guard<std::mutex> guard(M().lock);
    return M().work.size();
}

void KeCheckFreedRange(const void* base, size_t length) {
    auto start = reinterpret_cast<uintptr_t>(base);
    auto inside = [&](const void* p) {
        auto a = reinterpret_cast<uintptr_t>(p);
        return a >= start && a < start + length;
    };
    ULONG_PTR from = start, to = start + length;
    // Formatted only on a finding: this runs on every pool free.
    auto range = [&] {
        return "the block " + Hex(base) + " (" + std::to_string(length) + " bytes) being freed";
    };
    TableLock lk; // a look at the tables on every pool free

    for (const auto& [timer, record] : M().timers) {
        if (inside(timer)) {
            std::string text = TimerText(timer, record);
            lk.unlock();
            BugCheck(kTimerOrDpcInvalid, kC7TimerStillSet, reinterpret_cast<ULONG_PTR>(timer), from,
                     to, range() + " holds " + text + ", which is still set");
        }
        if (record.dpc != nullptr && inside(record.dpc)) {
            std::string text = TimerText(timer, record);
            lk.unlock();
            BugCheck(kTimerOrDpcInvalid, kC7DpcStillQueued, reinterpret_cast<ULONG_PTR>(record.dpc),
                     from, to,
                     range() + " holds DPC " + Hex(record.dpc) + " of " + text +
                         ", which is still set");
        }
    }
    for (const DpcRecord& r : M().dpcs) {
        if (inside(r.dpc)) {
            std::string routine = Describe((void*)r.dpc->DeferredRoutine);
            lk.unlock();
            BugCheck(kTimerOrDpcInvalid, kC7DpcStillQueued, reinterpret_cast<ULONG_PTR>(r.dpc),
                     from, to,
                     range() + " holds DPC " + Hex(r.dpc) + " (routine " + routine +
                         "), which is queued");
        }
    }
    for (const WorkRecord& r : M().work) {
        if (inside(r.item)) {
            std::string routine = Describe((void*)r.item->WorkerRoutine);
            lk.unlock();
            BugCheck(kWorkerInvalid, kE4WorkItemInFreedMemory, reinterpret_cast<ULONG_PTR>(r.item),
                     from, length,
                     range() + " holds work item " + Hex(r.item) + " (routine " + routine +
                         "), which is queued");
        }
    }
    for (const auto& [object, queue] : M().waiters) {
        if (inside(object) && !queue.empty()) {
            lk.unlock();
            BugCheck(kSimFreedInUse, reinterpret_cast<ULONG_PTR>(object), from, to, 0,
                     range() + " holds object " + Hex(object) + ", which " +
                         std::to_string(queue.size()) + " thread(s) wait for");
        }
    }
}

namespace {

// Everything `driver` left behind (all drivers' leftovers when `driver` is
// NULL), as text, with the first one's bug-check code and parameters.
struct Leftovers {
    std::string text;
    size_t count = 0;
    ULONG code = 0;
    ULONG_PTR p1 = 0, p2 = 0, p3 = 0;

    void Add(const std::string& what, ULONG c, ULONG_PTR a1, ULONG_PTR a2, ULONG_PTR a3) {
        text += (count ? "; " : "") + what;
        if (count++ == 0) {
            code = c;
            p1 = a1;
            p2 = a2;
            p3 = a3;
        }
    }
};

Leftovers CollectLocked(PDRIVER_OBJECT driver) {
    Machine& m = M();
    Leftovers left;
    auto mine = [&](PDRIVER_OBJECT owner) { return driver ? owner == driver : owner != nullptr; };
    auto whose = [&](PDRIVER_OBJECT owner) {
        return driver ? std::string() : " of " + DriverName(owner);
    };
    for (const auto& [due, timer] : m.timerQueue) {
        const TimerRecord& r = m.timers[timer];
        if (mine(r.owner)) {
            left.Add(TimerText(timer, r) + whose(r.owner), kTimerOrDpcInvalid, kC7TimerStillSet,
                     reinterpret_cast<ULONG_PTR>(timer),
                     reinterpret_cast<ULONG_PTR>(r.dpc ? r.dpc->DeferredRoutine : nullptr));
        }
    }
    for (const DpcRecord& r : m.dpcs) {
        if (mine(r.owner)) {
            left.Add("queued DPC " + Hex(r.dpc) + " routine " +
                         Describe((void*)r.dpc->DeferredRoutine) + whose(r.owner),
                     kTimerOrDpcInvalid, kC7DpcStillQueued, reinterpret_cast<ULONG_PTR>(r.dpc),
                     reinterpret_cast<ULONG_PTR>(r.dpc->DeferredRoutine));
        }
    }
    for (const WorkRecord& r : m.work) {
        if (mine(r.owner)) {
            left.Add("queued work item " + Hex(r.item) + " routine " +
                         Describe((void*)r.item->WorkerRoutine) + whose(r.owner),
                     kDriverUnloadedWithoutCancellingPendingOperations,
                     reinterpret_cast<ULONG_PTR>(r.item), 0,
                     reinterpret_cast<ULONG_PTR>(r.item->WorkerRoutine));
        }
    }
    for (const auto& [id, r] : m.runningWork) {
        if (mine(r.owner)) {
            left.Add("work item " + Hex(r.item) + " routine " + Describe((void*)r.routine) +
                         " still running on " + r.thread + whose(r.owner),
                     kDriverUnloadedWithoutCancellingPendingOperations,
                     reinterpret_cast<ULONG_PTR>(r.item), 0,
                     reinterpret_cast<ULONG_PTR>(r.routine));
        }
    }
    // Explored schedule: a thread switched out in the middle of the driver's
    // code (a DPC, a completion routine) would go on in an unloaded image.
    for (const auto& t : m.threads) {
        if (t->state == SchedThread::State::Preempted && mine(t->inDriver)) {
            left.Add(t->name + " still running " + DriverName(t->inDriver) +
                         " code, switched out at " + t->at + " on another processor",
                     kDriverUnloadedWithoutCancellingPendingOperations, 0, 0, 0);
        }
    }
    // A timer or DPC is the better code when both kinds are left.
    if (left.code == kDriverUnloadedWithoutCancellingPendingOperations) {
        for (const auto& [due, timer] : m.timerQueue) {
            if (mine(m.timers[timer].owner))
                left.code = kTimerOrDpcInvalid;
        }
    }
    return left;
}

} // namespace

void KeCheckDriverUnload(PDRIVER_OBJECT driver) {
    Lock lk(M().lock);
    Leftovers left = CollectLocked(driver);
    lk.unlock();
    if (left.count) {
        BugCheck(left.code, left.p1, left.p2, left.p3, left.count,
                 DriverName(driver) + " unloaded leaving " + std::to_string(left.count) +
                     " pending operation(s): " + left.text);
    }
}

void KeCheck() {
    ThreadState& t = Self();
    if (t.irql != PASSIVE_LEVEL || !t.spinLocks.empty() || !t.fastMutexes.empty()) {
        BugCheck(kIrqlUnexpectedValue, t.irql, PASSIVE_LEVEL, t.spinLocks.size(),
                 t.fastMutexes.size(),
                 "the run ended on " + t.name + " at IRQL " + std::to_string(t.irql) + " holding " +
                     std::to_string(t.spinLocks.size()) + " spin lock(s) and " +
                     std::to_string(t.fastMutexes.size()) + " fast mutex(es)");
    }
    Lock lk(M().lock);
    Leftovers left = CollectLocked(nullptr);
    lk.unlock();
    if (left.count) {
        BugCheck(left.code, left.p1, left.p2, left.p3, left.count,
                 "the run ended with " + std::to_string(left.count) +
                     " driver operation(s) pending: " + left.text);
    }
}

} // namespace sim

using namespace sim;
using namespace sim::ke;

extern "C" {

// ---------------------------------------------------------------- timers

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, ULONG Type) {
    if (Type > 1) {
        NotModelled("KeInitializeTimerEx with timer type " + std::to_string(Type));
    }
    Lock lk(M().lock);
    auto set = M().timers.find(Timer);
    if (set != M().timers.end()) {
        std::string text = TimerText(Timer, set->second);
        lk.unlock();
        BugCheck(kTimerOrDpcInvalid, kC7TimerStillSet, reinterpret_cast<ULONG_PTR>(Timer), 0, 0,
                 "KeInitializeTimer on " + text + ", which is still set");
    }
    if (M().waiters.count(Timer)) {
        lk.unlock();
        BugCheck(kSimBadObject, reinterpret_cast<ULONG_PTR>(Timer), 0, 0, 0,
                 "KeInitializeTimer on timer " + Hex(Timer) + " while a thread waits for it");
    }
    Timer->Header.Type = Type == 0 ? kTimerNotificationObject : kTimerSynchronizationObject;
    Timer->Header.Absolute = 0;
    Timer->Header.Size = static_cast<UCHAR>(sizeof(KTIMER) / sizeof(LONG));
    Timer->Header.Inserted = 0;
    Timer->Header.SignalState = 0;
    InitializeListHead(&Timer->Header.WaitListHead);
    Timer->DueTime.QuadPart = 0;
    InitializeListHead(&Timer->TimerListEntry);
    Timer->Dpc = nullptr;
    Timer->Period = 0;
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) {
    KeInitializeTimerEx(Timer, 0);
}

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    SchedulePoint("KeSetTimer");
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetTimer");
    if (Timer->Header.Type != kTimerNotificationObject &&
        Timer->Header.Type != kTimerSynchronizationObject) {
        BugCheck(kSimBadObject, reinterpret_cast<ULONG_PTR>(Timer), Timer->Header.Type, 0, 0,
                 "KeSetTimer on " + Hex(Timer) + ", which is not an initialised timer");
    }
    if (Dpc != nullptr && Dpc->Type != kDpcObject) {
        BugCheck(kSimBadObject, reinterpret_cast<ULONG_PTR>(Dpc), Dpc->Type, 0, 0,
                 "KeSetTimer with DPC " + Hex(Dpc) + ", which is not initialised");
    }
    if (Period < 0) {
        BugCheck(kSimBadObject, reinterpret_cast<ULONG_PTR>(Timer), 0, 0, 0,
                 "KeSetTimerEx with a negative period");
    }
    TableLock lk;
    bool wasSet = EraseTimerLocked(Timer);
    LONGLONG now = M().now.load();
    TimerRecord record;
    // Negative: relative to now; otherwise an absolute system time, which may
    // already have passed (the timer then expires at once).
    record.due = DueTime.QuadPart < 0 ? now - DueTime.QuadPart : DueTime.QuadPart - kBootSystemTime;
    record.period = Period;
    record.ticking = Period > 0 || (Dpc != nullptr && RunningDpc() == Dpc);
    record.dpc = Dpc;
    record.owner = t_currentDriver;
    Timer->Header.SignalState = 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    InsertTimerLocked(Timer, record);
    NotifyLocked();
    return wasSet ? TRUE : FALSE;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
    SchedulePoint("KeCancelTimer");
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
    // Drivers cancel timers on every request whether or not they are set.
    // On the deterministic machine only the thread holding the processor
    // touches the timer table, so the dispatcher lock is not needed here.
    if (!g_simLocking)
        return EraseTimerLocked(Timer) ? TRUE : FALSE;
    // Concurrent: a timer that is not set needs no lock to say so. Set and
    // cleared under the lock with the table; a set or expiry racing with this
    // call is ordered after it, as it may be on Windows too.
    if (__atomic_load_n(&Timer->Header.Inserted, __ATOMIC_ACQUIRE) == 0)
        return FALSE;
    Lock lk(M().lock);
    return EraseTimerLocked(Timer) ? TRUE : FALSE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
    Lock lk(M().lock);
    return Timer->Header.SignalState != 0 ? TRUE : FALSE;
}

// ---------------------------------------------------------------- DPCs

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Lock lk(M().lock);
    if (DpcQueuedLocked(Dpc)) {
        lk.unlock();
        BugCheck(kTimerOrDpcInvalid, kC7DpcStillQueued, reinterpret_cast<ULONG_PTR>(Dpc), 0, 0,
                 "KeInitializeDpc on DPC " + Hex(Dpc) + ", which is queued");
    }
    Dpc->Type = kDpcObject;
    Dpc->Importance = 1; // MediumImportance
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    SchedulePoint("KeInsertQueueDpc");
    if (Dpc->Type != kDpcObject || Dpc->DeferredRoutine == nullptr) {
        BugCheck(kSimBadObject, reinterpret_cast<ULONG_PTR>(Dpc), Dpc->Type, 0, 0,
                 "KeInsertQueueDpc on " + Hex(Dpc) + ", which is not an initialised DPC");
    }
    TableLock lk;
    return InsertDpcLocked(Dpc, SystemArgument1, SystemArgument2, t_currentDriver) ? TRUE : FALSE;
}

VOID NTAPI KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number) {
    Lock lk(M().lock);
    if (Number < 0 || Number >= ActiveProcessorsLocked()) {
        lk.unlock();
        BugCheck(kSimBadObject, reinterpret_cast<ULONG_PTR>(Dpc), static_cast<ULONG_PTR>(Number), 0,
                 0,
                 "KeSetTargetProcessorDpc to processor " + std::to_string(Number) +
                     ", which this machine does not have (KeQueryActiveProcessors says which)");
    }
    Dpc->Number = static_cast<USHORT>(kMaximumProcessors + Number);
}

KAFFINITY NTAPI KeQueryActiveProcessors(VOID) {
    Lock lk(M().lock);
    return (static_cast<KAFFINITY>(1) << ActiveProcessorsLocked()) - 1;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
    SchedulePoint("KeRemoveQueueDpc");
    Lock lk(M().lock);
    auto& dpcs = M().dpcs;
    for (auto it = dpcs.begin(); it != dpcs.end(); ++it) {
        if (it->dpc == Dpc) {
            dpcs.erase(it);
            return TRUE;
        }
    }
    return FALSE;
}

// Where the drivers ask, this kernel is a Windows 2000 one: it has no
// KeFlushQueuedDpcs (Windows XP and later), so the drivers take the path that
// kernel needs, the harder one to get right.
// Returns once every DPC queued before the call has run and returned.
static VOID NTAPI KeFlushQueuedDpcs(VOID) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
    uint64_t mark;
    {
        Lock lk(M().lock);
        mark = M().dpcSeq;
    }
    WaitUntil(
        [mark] {
            const Machine& m = M();
            for (const DpcRecord& r : m.dpcs)
                if (r.seq <= mark)
                    return false;
            for (uint64_t seq : m.runningDpcs)
                if (seq <= mark)
                    return false;
            return true;
        },
        "KeFlushQueuedDpcs: DPCs queued before it to run");
}

PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "MmGetSystemRoutineAddress");
    const std::string name = Narrow(SystemRoutineName);
    // The deterministic machines are a Windows 2000 kernel, which has no
    // KeFlushQueuedDpcs: the drivers' own flush runs there, explored by seed.
    // The Concurrent machine is a later one: its DPC processors are host
    // threads, which the host may stall for as long as it likes between a
    // DPC's last kernel call and its return into the image; a Windows 2000
    // processor at DISPATCH_LEVEL does not, and only the kernel's own flush
    // closes that gap.
    if (name == "KeFlushQueuedDpcs")
        return M().mode == Mode::Deterministic ? nullptr
                                               : reinterpret_cast<PVOID>(&KeFlushQueuedDpcs);
    NotModelled("MmGetSystemRoutineAddress of " + name);
}

// ---------------------------------------------------------------- time

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = kBootSystemTime + M().now.load();
}

ULONGLONG NTAPI KeQueryInterruptTime(void) {
    return static_cast<ULONGLONG>(M().now.load());
}

// ---------------------------------------------------------------- work items

VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
    SchedulePoint("ExQueueWorkItem");
    RequireIrqlAtMost(DISPATCH_LEVEL, "ExQueueWorkItem");
    if (QueueType != CriticalWorkQueue && QueueType != DelayedWorkQueue) {
        NotModelled("ExQueueWorkItem on work queue type " + std::to_string(QueueType));
    }
    if (WorkItem->WorkerRoutine == nullptr) {
        BugCheck(kWorkerInvalid, kE4WorkItemWithoutRoutine, reinterpret_cast<ULONG_PTR>(WorkItem),
                 0, 0, "ExQueueWorkItem of " + Hex(WorkItem) + ", which has no worker routine");
    }
    // Every read restart of a port goes through here: on the deterministic
    // machine the queue is the running thread's alone (see TableLock).
    TableLock lk;
    for (const WorkRecord& r : M().work) {
        if (r.item == WorkItem) {
            lk.unlock();
            BugCheck(kWorkerInvalid, kE4WorkItemQueuedTwice, reinterpret_cast<ULONG_PTR>(WorkItem),
                     0, 0,
                     "ExQueueWorkItem of work item " + Hex(WorkItem) + ", which is already queued");
        }
    }
    const int processor = CurrentDpcProcessor();
    M().work.push_back(WorkRecord{WorkItem, t_currentDriver, processor});
    EnsureWorkersLocked();
    if (g_simLocking && !DeferWorkerWake())
        WakeWorkerLocked(processor);
    NotifyLocked();
}

} // extern "C"
