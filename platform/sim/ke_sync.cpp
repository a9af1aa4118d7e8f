// Events, waits and fast mutexes. The signal state lives in the object's
// dispatcher header, as on Windows; who waits for it lives in the machine's
// waiter table. Setting an object satisfies its waiters there and then
// (all of them for a notification object, the first for a synchronization
// object, which stays non-signalled), so a wake-up cannot be lost to a
// KeClearEvent that runs before the waiter does.
#include "platform/sim/ke_internal.h"

#include <cstdio>

namespace sim::ke {

namespace {

using Lock = std::unique_lock<std::mutex>;

std::string Hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

bool IsEvent(const DISPATCHER_HEADER& h) {
    return h.Type == kEventNotificationObject || h.Type == kEventSynchronizationObject;
}
bool IsTimer(const DISPATCHER_HEADER& h) {
    return h.Type == kTimerNotificationObject || h.Type == kTimerSynchronizationObject;
}
bool IsSynchronization(const DISPATCHER_HEADER& h) {
    return h.Type == kEventSynchronizationObject || h.Type == kTimerSynchronizationObject;
}

std::string ObjectText(const DISPATCHER_HEADER& h, const void* object) {
    const char* kind = "object";
    switch (h.Type) {
    case kEventNotificationObject:
        kind = "notification event";
        break;
    case kEventSynchronizationObject:
        kind = "synchronization event";
        break;
    case kTimerNotificationObject:
        kind = "notification timer";
        break;
    case kTimerSynchronizationObject:
        kind = "synchronization timer";
        break;
    default:
        break;
    }
    return std::string(kind) + " " + Hex(object);
}

void RequireEvent(PRKEVENT event, const char* routine) {
    if (!IsEvent(event->Header)) {
        BugCheck(kSimBadObject, reinterpret_cast<ULONG_PTR>(event), event->Header.Type, 0, 0,
                 std::string(routine) + " on " + Hex(event) +
                     ", which is not an initialised event (header type " +
                     std::to_string(event->Header.Type) + ")");
    }
}

// A relative wait in 100 ns from a DDK timeout: negative relative, positive
// absolute system time. Returns 0 when the time has already come.
LONGLONG RelativeTimeout(LONGLONG ddkTime) {
    if (ddkTime < 0)
        return -ddkTime;
    LONGLONG due = ddkTime - kBootSystemTime;
    LONGLONG now = M().now.load();
    return due > now ? due - now : 0;
}

void DropWaitBlock(const void* object, WaitBlock* block) {
    auto it = M().waiters.find(object);
    if (it == M().waiters.end())
        return;
    auto& queue = it->second;
    for (auto q = queue.begin(); q != queue.end(); ++q) {
        if (*q == block) {
            queue.erase(q);
            break;
        }
    }
    if (queue.empty())
        M().waiters.erase(it);
}

} // namespace

size_t SatisfyWaitersLocked(const void* object, bool all) {
    auto it = M().waiters.find(object);
    if (it == M().waiters.end())
        return 0;
    size_t count = 0;
    auto& queue = it->second;
    while (!queue.empty()) {
        queue.front()->satisfied = true;
        queue.pop_front();
        ++count;
        if (!all)
            break;
    }
    if (queue.empty())
        M().waiters.erase(it);
    NotifyLocked();
    return count;
}

void RequireMayWait(const char* routine, ULONG codeAtDispatch, ULONG_PTR p2) {
    ThreadState& t = Self();
    if (t.irql > DISPATCH_LEVEL) {
        BugCheck(kDriverVerifierDetectedViolation, kVfWaitAboveDispatch, p2, t.irql, 0,
                 std::string(routine) + " waits at IRQL " + std::to_string(t.irql) +
                     ", above DISPATCH_LEVEL");
    }
    if (t.irql == DISPATCH_LEVEL) {
        std::string held = t.spinLocks.empty()
                               ? std::string()
                               : " (holding spin lock " + Hex(t.spinLocks.back()) + ")";
        BugCheck(kDriverVerifierDetectedViolation, codeAtDispatch, p2, t.irql, 0,
                 std::string(routine) + " waits at DISPATCH_LEVEL" + held +
                     "; only a zero time-out may be given there");
    }
    if (!t.spinLocks.empty()) {
        BugCheck(kSimSpinLockHeld, reinterpret_cast<ULONG_PTR>(t.spinLocks.back()),
                 t.spinLocks.size(), 0, 0,
                 std::string(routine) + " waits while holding spin lock " +
                     Hex(t.spinLocks.back()));
    }
}

} // namespace sim::ke

using namespace sim;
using namespace sim::ke;

extern "C" {

// ---------------------------------------------------------------- events

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    if (Type != NotificationEvent && Type != SynchronizationEvent) {
        NotModelled("KeInitializeEvent with event type " + std::to_string(Type));
    }
    {
        Lock lk(M().lock);
        if (M().waiters.count(Event)) {
            lk.unlock();
            BugCheck(kSimBadObject, reinterpret_cast<ULONG_PTR>(Event), 0, 0, 0,
                     "KeInitializeEvent on event " + Hex(Event) +
                         " while a thread is waiting for it");
        }
        // ExInitializeFastMutex initialises the mutex's own event: doing that to
        // a held mutex would wipe out its owner.
        auto* mutex = reinterpret_cast<PFAST_MUTEX>(reinterpret_cast<char*>(Event) -
                                                    offsetof(FAST_MUTEX, Event));
        auto owned = M().ownedFastMutexes.find(mutex);
        if (owned != M().ownedFastMutexes.end()) {
            std::string owner = ThreadName(owned->second);
            lk.unlock();
            BugCheck(kSimBadObject, reinterpret_cast<ULONG_PTR>(mutex), 0, 0, 0,
                     "ExInitializeFastMutex on fast mutex " + Hex(mutex) + " while " + owner +
                         " holds it");
        }
        Event->Header.Type =
            Type == NotificationEvent ? kEventNotificationObject : kEventSynchronizationObject;
        Event->Header.Absolute = 0;
        Event->Header.Size = static_cast<UCHAR>(sizeof(KEVENT) / sizeof(LONG));
        Event->Header.Inserted = 0;
        Event->Header.SignalState = State ? 1 : 0;
        InitializeListHead(&Event->Header.WaitListHead);
    }
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    SchedulePoint("KeSetEvent");
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    RequireEvent(Event, "KeSetEvent");
    if (Wait) {
        // Wait = TRUE hands the dispatcher lock to the caller's next wait;
        // nothing in these drivers needs it.
        NotModelled("KeSetEvent with Wait = TRUE is not modelled");
    }
    TableLock lk;
    LONG previous = Event->Header.SignalState;
    if (Event->Header.Type == kEventNotificationObject) {
        Event->Header.SignalState = 1;
        SatisfyWaitersLocked(Event, true);
    } else if (SatisfyWaitersLocked(Event, false) == 0) {
        Event->Header.SignalState = 1;
    }
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeClearEvent");
    RequireEvent(Event, "KeClearEvent");
    TableLock lk;
    Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    RequireEvent(Event, "KeResetEvent");
    Lock lk(M().lock);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    RequireEvent(Event, "KeReadStateEvent");
    Lock lk(M().lock);
    return Event->Header.SignalState;
}

// ---------------------------------------------------------------- waits

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
    // Alerts and user APCs are never delivered here, so an alertable wait
    // behaves like a plain one.
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    if (!poll) {
        RequireMayWait("KeWaitForSingleObject",
                       Timeout == nullptr ? kVfWaitAtDispatchInfinite : kVfWaitAtDispatchTimeout,
                       reinterpret_cast<ULONG_PTR>(Object));
    } else {
        RequireIrqlAtMost(DISPATCH_LEVEL, "KeWaitForSingleObject");
    }
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    if (!IsEvent(*header) && !IsTimer(*header)) {
        NotModelled("KeWaitForSingleObject on " + Hex(Object) + ", an object of header type " +
                    std::to_string(header->Type) +
                    " (only events and timers are modelled; is it initialised?)");
    }
    Lock lk(M().lock);
    if (header->SignalState > 0) {
        if (IsSynchronization(*header))
            header->SignalState = 0;
        return STATUS_SUCCESS;
    }
    if (poll)
        return STATUS_TIMEOUT;
    LONGLONG timeout = 0;
    if (Timeout != nullptr) {
        timeout = RelativeTimeout(Timeout->QuadPart);
        if (timeout == 0)
            return STATUS_TIMEOUT;
    }
    WaitBlock block;
    M().waiters[Object].push_back(&block);
    std::string what = "KeWaitForSingleObject(" + ObjectText(*header, Object) + ")";
    WaitLocked(
        lk, [&block] { return block.satisfied; }, what, timeout);
    if (!block.satisfied) {
        DropWaitBlock(Object, &block);
        return STATUS_TIMEOUT;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval) {
    (void)WaitMode;
    (void)Alertable;
    RequireMayWait("KeDelayExecutionThread", kVfWaitAtDispatchTimeout, 0);
    if (Interval == nullptr) {
        BugCheck(kSimBadObject, 0, 0, 0, 0, "KeDelayExecutionThread with no interval");
    }
    Lock lk(M().lock);
    LONGLONG timeout = RelativeTimeout(Interval->QuadPart);
    if (timeout == 0)
        return STATUS_SUCCESS;
    static const std::function<bool()> never = [] { return false; };
    WaitLocked(lk, never, "KeDelayExecutionThread(" + std::to_string(timeout / 10000) + " ms)",
               timeout);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- fast mutexes
// Count is 1 when free, 0 when owned, -n when owned with n waiters, as on
// x86. A release hands the mutex straight to the longest waiter.

VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    ThreadState& t = Self();
    if (t.irql > APC_LEVEL) {
        BugCheck(kDriverVerifierDetectedViolation, kVfFastMutexAboveApc, t.irql,
                 reinterpret_cast<ULONG_PTR>(FastMutex), 0,
                 "ExAcquireFastMutex of " + Hex(FastMutex) + " at IRQL " + std::to_string(t.irql) +
                     ", above APC_LEVEL");
    }
    Lock lk(M().lock);
    if (FastMutex->Owner == AsKThread(t)) {
        lk.unlock();
        BugCheck(kDriverVerifierDetectedViolation, kVfSelfDeadlock,
                 reinterpret_cast<ULONG_PTR>(FastMutex), 0, 0,
                 "ExAcquireFastMutex of " + Hex(FastMutex) + ", which this thread (" + t.name +
                     ") already holds: the thread would wait for itself for ever");
    }
    if (FastMutex->Count > 1) {
        lk.unlock();
        BugCheck(kSimBadObject, reinterpret_cast<ULONG_PTR>(FastMutex),
                 static_cast<ULONG_PTR>(FastMutex->Count), 0, 0,
                 "ExAcquireFastMutex of " + Hex(FastMutex) + ", which is not initialised");
    }
    KIRQL old = t.irql;
    t.irql = APC_LEVEL;
    if (FastMutex->Count == 1) {
        FastMutex->Count = 0;
    } else {
        FastMutex->Count--;
        FastMutex->Contention++;
        WaitBlock block;
        M().waiters[FastMutex].push_back(&block);
        auto owner = M().ownedFastMutexes.find(FastMutex);
        std::string holder =
            owner == M().ownedFastMutexes.end() ? "its last owner" : ThreadName(owner->second);
        WaitLocked(
            lk, [&block] { return block.satisfied; },
            "ExAcquireFastMutex(" + Hex(FastMutex) + ") held by " + holder, 0);
    }
    FastMutex->Owner = AsKThread(t);
    FastMutex->OldIrql = old;
    M().ownedFastMutexes[FastMutex] = t.id;
    t.fastMutexes.push_back(FastMutex);
}

BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
    ThreadState& t = Self();
    if (t.irql > APC_LEVEL) {
        BugCheck(kDriverVerifierDetectedViolation, kVfFastMutexAboveApc, t.irql,
                 reinterpret_cast<ULONG_PTR>(FastMutex), 0,
                 "ExTryToAcquireFastMutex of " + Hex(FastMutex) + " at IRQL " +
                     std::to_string(t.irql) + ", above APC_LEVEL");
    }
    Lock lk(M().lock);
    if (FastMutex->Count != 1)
        return FALSE;
    FastMutex->Count = 0;
    FastMutex->Owner = AsKThread(t);
    FastMutex->OldIrql = t.irql;
    t.irql = APC_LEVEL;
    M().ownedFastMutexes[FastMutex] = t.id;
    t.fastMutexes.push_back(FastMutex);
    return TRUE;
}

VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    ThreadState& t = Self();
    Lock lk(M().lock);
    if (FastMutex->Owner != AsKThread(t)) {
        auto owner = M().ownedFastMutexes.find(FastMutex);
        std::string holder =
            owner == M().ownedFastMutexes.end() ? "nobody" : ThreadName(owner->second);
        lk.unlock();
        BugCheck(kDriverVerifierDetectedViolation, kVfReleaseNotOwned,
                 reinterpret_cast<ULONG_PTR>(FastMutex), 0, 0,
                 "ExReleaseFastMutex of " + Hex(FastMutex) + ", which is held by " + holder +
                     ", not by this thread (" + t.name + ")");
    }
    if (t.irql != APC_LEVEL) {
        lk.unlock();
        BugCheck(kDriverVerifierDetectedViolation, kVfFastMutexReleaseBadIrql, t.irql,
                 reinterpret_cast<ULONG_PTR>(FastMutex), 0,
                 "ExReleaseFastMutex of " + Hex(FastMutex) + " at IRQL " + std::to_string(t.irql) +
                     ", not APC_LEVEL");
    }
    for (auto it = t.fastMutexes.begin(); it != t.fastMutexes.end(); ++it) {
        if (*it == FastMutex) {
            t.fastMutexes.erase(it);
            break;
        }
    }
    M().ownedFastMutexes.erase(FastMutex);
    KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
    FastMutex->Owner = nullptr;
    FastMutex->Count++;
    if (FastMutex->Count <= 0)
        SatisfyWaitersLocked(FastMutex, false);
    lk.unlock();
    t.irql = old;
}

} // extern "C"
