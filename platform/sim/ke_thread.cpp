// Threads, IRQL and spin locks. Every thread that touches the simulation has
// its own IRQL and the list of spin locks and fast mutexes it holds; the HAL
// routines check them the way Driver Verifier does.
#include "platform/sim/ke_internal.h"

#include <cstdio>

namespace sim::ke {

namespace {
std::atomic<uint64_t> g_nextThreadId{1};
std::mutex g_namesLock;
std::unordered_map<uint64_t, std::string>& Names() {
    static auto* names = new std::unordered_map<uint64_t, std::string>();
    return *names;
}

std::string Hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}
} // namespace

__thread ThreadState* t_self = nullptr;

ThreadState& SelfFirstTime() {
    thread_local ThreadState state;
    t_self = &state;
    if (state.id == 0) {
        state.id = g_nextThreadId.fetch_add(1);
        state.name = "thread-" + std::to_string(state.id);
        std::lock_guard<std::mutex> guard(g_namesLock);
        Names()[state.id] = state.name;
    }
    return state;
}

void ResetSelf(const std::string& name) {
    ThreadState& t = Self();
    t.irql = PASSIVE_LEVEL;
    t.spinLocks.clear();
    t.fastMutexes.clear();
    t.name = name;
    t.systemWorker = false;
    t.sched = nullptr;
    t.busyWorker = false;
    std::lock_guard<std::mutex> guard(g_namesLock);
    Names()[t.id] = name;
}

std::string ThreadName(uint64_t id) {
    std::lock_guard<std::mutex> guard(g_namesLock);
    auto it = Names().find(id);
    if (it != Names().end())
        return it->second;
    // Not a thread id at all: most likely a lock that was never initialised.
    char text[64];
    std::snprintf(text, sizeof text, "an unknown owner (0x%llx)",
                  static_cast<unsigned long long>(id));
    return text;
}

namespace {

[[noreturn]] void Violation(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3,
                            const std::string& reason) {
    BugCheck(code, p1, p2, p3, 0, reason);
}

// The findings of the two below, kept out of line: the lock routines run
// several times per request and their checks nearly always pass.
[[noreturn, gnu::noinline, gnu::cold]] void AlreadyOwned(PKSPIN_LOCK lock, const char* routine,
                                                         const ThreadState& t) {
    BugCheck(kSpinLockAlreadyOwned, reinterpret_cast<ULONG_PTR>(lock), 0, 0, 0,
             std::string(routine) + ": spin lock " + Hex(lock) +
                 " is already held by this thread (" + t.name + ")");
}

[[noreturn, gnu::noinline, gnu::cold]] void HeldForEver(PKSPIN_LOCK lock, ULONG_PTR owner,
                                                        const char* routine) {
    BugCheck(kSimDeadlock, reinterpret_cast<ULONG_PTR>(lock), owner, 0, 0,
             std::string(routine) + ": spin lock " + Hex(lock) + " is held by " +
                 ThreadName(owner) + ", which is not running: the acquire would spin for ever");
}

[[noreturn, gnu::noinline, gnu::cold]] void NotOwned(PKSPIN_LOCK lock, ULONG_PTR owner,
                                                     const char* routine, const ThreadState& t) {
    std::string who = owner == 0 ? "nobody" : ThreadName(owner);
    BugCheck(kSpinLockNotOwned, reinterpret_cast<ULONG_PTR>(lock), owner, t.id, 0,
             std::string(routine) + ": spin lock " + Hex(lock) + " is held by " + who +
                 ", not by this thread (" + t.name + ")");
}

// Everything but a free lock on the deterministic machine: a lock held (by
// this thread, a switched-out one, or one that will never run again), and
// the multi-processor machine's locked exchange.
[[gnu::noinline]] void AcquireSpinSlow(ThreadState& t, PKSPIN_LOCK lock, const char* routine,
                                       ULONG_PTR owner) {
    if (owner == t.id)
        AlreadyOwned(lock, routine, t);
    if (!g_simLocking) {
        // One processor, handed over only under the dispatcher lock: nobody
        // else can be looking at the word, and no locked instruction is needed.
        if (owner != 0 && !SpinOnLock(lock, routine))
            HeldForEver(lock, owner, routine);
        __atomic_store_n(lock, static_cast<ULONG_PTR>(t.id), __ATOMIC_RELAXED);
        t.spinLocks.push_back(lock);
        return;
    }
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, static_cast<ULONG_PTR>(t.id), false,
                                        __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            break;
        }
        // One processor: the holder is not running, so spinning never ends.
        if (M().mode == Mode::Deterministic)
            HeldForEver(lock, expected, routine);
        std::this_thread::yield();
    }
    t.spinLocks.push_back(lock);
}

// The acquire every request makes several times: a free lock on the
// deterministic machine, inline; all else out of line.
inline void AcquireSpin(ThreadState& t, PKSPIN_LOCK lock, const char* routine) {
    const ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_ACQUIRE);
    if (owner == 0 && !g_simLocking) [[likely]] {
        __atomic_store_n(lock, static_cast<ULONG_PTR>(t.id), __ATOMIC_RELAXED);
        t.spinLocks.push_back(lock);
        return;
    }
    AcquireSpinSlow(t, lock, routine, owner);
}

[[gnu::noinline]] void ReleaseSpinSlow(ThreadState& t, PKSPIN_LOCK lock, const char* routine) {
    ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (owner != t.id)
        NotOwned(lock, owner, routine, t);
    for (auto it = t.spinLocks.begin(); it != t.spinLocks.end(); ++it) {
        if (*it == lock) {
            t.spinLocks.erase(it);
            break;
        }
    }
    __atomic_store_n(lock, static_cast<ULONG_PTR>(0), __ATOMIC_RELEASE);
}

// Nearly always the lock taken last, and held by this thread.
inline void ReleaseSpin(ThreadState& t, PKSPIN_LOCK lock, const char* routine) {
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == t.id && !t.spinLocks.empty() &&
        t.spinLocks.back() == lock) [[likely]] {
        t.spinLocks.pop_back();
        __atomic_store_n(lock, static_cast<ULONG_PTR>(0), __ATOMIC_RELEASE);
        return;
    }
    ReleaseSpinSlow(t, lock, routine);
}

} // namespace
} // namespace sim::ke

namespace sim {

using namespace ke;

__thread KIRQL t_irql = PASSIVE_LEVEL;

void SetIrql(KIRQL irql) {
    Self().irql = irql;
}
size_t SpinLocksHeld() {
    return Self().spinLocks.size();
}

void IrqlTooHigh(KIRQL max, const char* routine, const void* caller) {
    const KIRQL irql = t_irql;
    BugCheck(kIrqlNotLessOrEqual, max, irql, 0, reinterpret_cast<ULONG_PTR>(caller),
             std::string(routine) + " called at IRQL " + std::to_string(irql) +
                 "; it may be called at IRQL " + std::to_string(max) + " at most");
}

void RequireNoSpinLockHeld(const char* routine) {
    ThreadState& t = Self();
    if (!t.spinLocks.empty()) {
        BugCheck(kSimSpinLockHeld, reinterpret_cast<ULONG_PTR>(t.spinLocks.back()),
                 t.spinLocks.size(), 0, 0,
                 std::string(routine) + " called while holding spin lock " +
                     Hex(t.spinLocks.back()));
    }
}

} // namespace sim

using namespace sim;
using namespace sim::ke;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(void) {
    return Self().irql;
}

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
    SchedulePoint("KeRaiseIrql");
    ThreadState& t = Self();
    if (NewIrql < t.irql) {
        Violation(kDriverVerifierDetectedViolation, kVfRaiseToLower, t.irql, NewIrql,
                  "KeRaiseIrql to IRQL " + std::to_string(NewIrql) +
                      ", lower than the current IRQL " + std::to_string(t.irql));
    }
    KIRQL old = t.irql;
    t.irql = NewIrql;
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
    ThreadState& t = Self();
    if (NewIrql > t.irql) {
        Violation(kDriverVerifierDetectedViolation, kVfLowerToHigher, t.irql, NewIrql,
                  "KeLowerIrql to IRQL " + std::to_string(NewIrql) +
                      ", higher than the current IRQL " + std::to_string(t.irql));
    }
    if (NewIrql < DISPATCH_LEVEL && !t.spinLocks.empty()) {
        Violation(kDriverVerifierDetectedViolation, kVfLowerToHigher, t.irql, NewIrql,
                  "KeLowerIrql to IRQL " + std::to_string(NewIrql) +
                      " while still holding spin lock " + Hex(t.spinLocks.back()));
    }
    t.irql = NewIrql;
    SchedulePoint("KeLowerIrql");
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    __atomic_store_n(SpinLock, static_cast<ULONG_PTR>(0), __ATOMIC_RELEASE);
}

} // extern "C"

namespace {

// The findings of the four spin-lock routines, out of line so that the
// routines themselves (several per request) stay a handful of instructions.
// `named`: the message names the lock (the DPC-level routine's does).
[[noreturn, gnu::noinline, gnu::cold]] void AcquireAboveDispatch(const char* routine, bool named,
                                                                 KIRQL irql, PKSPIN_LOCK lock) {
    Violation(kDriverVerifierDetectedViolation, kVfSpinLockAboveDispatch, irql,
              reinterpret_cast<ULONG_PTR>(lock),
              std::string(routine) + (named ? " of " + Hex(lock) : std::string()) + " at IRQL " +
                  std::to_string(irql) + ", above DISPATCH_LEVEL");
}

// A spin-lock routine called at the wrong IRQL: "<routine> of <lock> at IRQL
// <n>, <why>" under the rule's subcode.
[[noreturn, gnu::noinline, gnu::cold]] void
WrongIrql(ULONG_PTR subcode, const char* routine, const char* why, KIRQL irql, PKSPIN_LOCK lock) {
    Violation(kDriverVerifierDetectedViolation, subcode, irql, reinterpret_cast<ULONG_PTR>(lock),
              std::string(routine) + " of " + Hex(lock) + " at IRQL " + std::to_string(irql) +
                  ", " + why);
}

[[noreturn, gnu::noinline, gnu::cold]] void ReleaseToBadIrql(const ThreadState& t, KIRQL newIrql,
                                                             PKSPIN_LOCK lock) {
    if (newIrql > DISPATCH_LEVEL)
        Violation(kDriverVerifierDetectedViolation, kVfLowerToHigher, t.irql, newIrql,
                  "KeReleaseSpinLock of " + Hex(lock) + " to IRQL " + std::to_string(newIrql) +
                      ", above DISPATCH_LEVEL");
    Violation(kDriverVerifierDetectedViolation, kVfSpinLockReleaseBadIrql, t.irql,
              reinterpret_cast<ULONG_PTR>(lock),
              "KeReleaseSpinLock of " + Hex(lock) + " to IRQL " + std::to_string(newIrql) +
                  " while spin lock " + Hex(t.spinLocks.back()) + " is still held");
}

} // namespace

extern "C" {

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    SchedulePoint("KeAcquireSpinLock");
    ThreadState& t = Self();
    const KIRQL old = t.irql;
    if (old > DISPATCH_LEVEL) [[unlikely]]
        AcquireAboveDispatch("KeAcquireSpinLock", false, old, SpinLock);
    t.irql = DISPATCH_LEVEL;
    AcquireSpin(t, SpinLock, "KeAcquireSpinLock");
    return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    ThreadState& t = Self();
    if (t.irql != DISPATCH_LEVEL) [[unlikely]]
        WrongIrql(kVfSpinLockReleaseBadIrql, "KeReleaseSpinLock", "not DISPATCH_LEVEL", t.irql,
                  SpinLock);
    ReleaseSpin(t, SpinLock, "KeReleaseSpinLock");
    if (NewIrql > DISPATCH_LEVEL || (NewIrql < DISPATCH_LEVEL && !t.spinLocks.empty())) [[unlikely]]
        ReleaseToBadIrql(t, NewIrql, SpinLock);
    t.irql = NewIrql;
    SchedulePoint("KeReleaseSpinLock");
}

VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    SchedulePoint("KeAcquireSpinLockAtDpcLevel");
    ThreadState& t = Self();
    if (t.irql < DISPATCH_LEVEL) [[unlikely]]
        WrongIrql(kVfSpinLockAtDpcBelowDispatch, "KeAcquireSpinLockAtDpcLevel",
                  "below DISPATCH_LEVEL", t.irql, SpinLock);
    if (t.irql > DISPATCH_LEVEL) [[unlikely]]
        AcquireAboveDispatch("KeAcquireSpinLockAtDpcLevel", true, t.irql, SpinLock);
    AcquireSpin(t, SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    ThreadState& t = Self();
    if (t.irql < DISPATCH_LEVEL) [[unlikely]]
        WrongIrql(kVfSpinLockFromDpcBelowDispatch, "KeReleaseSpinLockFromDpcLevel",
                  "below DISPATCH_LEVEL", t.irql, SpinLock);
    ReleaseSpin(t, SpinLock, "KeReleaseSpinLockFromDpcLevel");
    SchedulePoint("KeReleaseSpinLockFromDpcLevel");
}

VOID SimAssertPagedCode(PCSTR File, ULONG Line) {
    KIRQL irql = Self().irql;
    if (irql > APC_LEVEL) {
        BugCheck(kDriverIrqlNotLessOrEqual, 0, irql, 8,
                 reinterpret_cast<ULONG_PTR>(__builtin_return_address(0)),
                 "pageable code (PAGED_CODE) run at IRQL " + std::to_string(irql), File,
                 static_cast<int>(Line));
    }
}

} // extern "C"
