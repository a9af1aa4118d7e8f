// Remove locks. The lock's own fields behave as on Windows (IoCount starts at
// one, ReleaseAndWait drops that bias and waits for zero); beside them the
// I/O manager keeps a shadow record per lock, as Driver Verifier does: every
// hold with its tag, file and line, so a release with a tag that holds
// nothing is caught at once and a drain that cannot end says who is late.
#include "platform/sim/io_internal.h"

#include <cstdio>
#include <map>
#include <string_view>

namespace sim {
namespace {

struct Hold {
    PVOID tag = nullptr;
    const std::string* file = nullptr; // interned: a driver's file names outlive its image
    ULONG line = 0;
};

// A driver passes the same __FILE__ at every call: the last answer is
// checked first, by address. An address names the same text until its image
// is unmapped (IoForgetFileNames).
const char* g_lastFile = nullptr;
const std::string* g_lastName = nullptr;

// The source files holds were taken in, each kept once for good. Caller
// holds IoLock().
const std::string* InternFile(const char* file) {
    static auto* files = new std::map<std::string, std::string, std::less<>>();
    if (file != nullptr && file == g_lastFile)
        return g_lastName;
    std::string_view name = file != nullptr ? file : "?";
    auto it = files->find(name);
    if (it == files->end())
        it = files->emplace(std::string(name), std::string(name)).first;
    g_lastFile = file;
    g_lastName = &it->second;
    return g_lastName;
}

struct Shadow {
    PDRIVER_OBJECT driver = nullptr;
    std::vector<Hold> holds;
    bool waited = false; // IoReleaseRemoveLockAndWait has been called
};

std::map<uintptr_t, Shadow> g_locks; // keyed by the lock's address
// The lock looked up last: a driver takes and drops the same one on every
// request. Forgotten with its entry.
uintptr_t g_lastKey = 0;
Shadow* g_lastShadow = nullptr;

std::string Ptr(const void* p) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%p", p);
    return buffer;
}

// Caller holds IoLock().
std::string HoldersText(const Shadow& shadow) {
    if (shadow.holds.empty())
        return "  (no holds)\n";
    std::string text;
    for (const Hold& hold : shadow.holds)
        text += "  tag " + Ptr(hold.tag) + " acquired at " + *hold.file + ":" +
                std::to_string(hold.line) + "\n";
    return text;
}

Shadow& FindOrDieSlow(std::unique_lock<SimMutex>& lock, PIO_REMOVE_LOCK removeLock,
                      const char* routine);

// Caller holds IoLock(); unlocks `lock` before stopping the machine. Nearly
// always the lock of the last call, inline.
inline Shadow& FindOrDie(std::unique_lock<SimMutex>& lock, PIO_REMOVE_LOCK removeLock,
                         const char* routine) {
    if (reinterpret_cast<uintptr_t>(removeLock) == g_lastKey && g_lastShadow != nullptr)
        [[likely]] return *g_lastShadow;
    return FindOrDieSlow(lock, removeLock, routine);
}

[[gnu::noinline]] Shadow& FindOrDieSlow(std::unique_lock<SimMutex>& lock,
                                        PIO_REMOVE_LOCK removeLock, const char* routine) {
    const auto key = reinterpret_cast<uintptr_t>(removeLock);
    auto it = g_locks.find(key);
    if (it == g_locks.end()) {
        lock.unlock();
        BugCheck(kDriverVerifierDetectedViolation, kC4RemoveLockNotInitialised,
                 (ULONG_PTR)removeLock, 0, 0,
                 std::string(routine) + " on " + Ptr(removeLock) +
                     ", which IoInitializeRemoveLock never initialised (or whose memory was "
                     "freed)");
    }
    g_lastKey = key;
    g_lastShadow = &it->second;
    return it->second;
}

} // namespace

void IoRemoveLocksFreed(const void* base, size_t length, const char* why, bool forget) {
    if (base == nullptr || length == 0)
        return;
    uintptr_t begin = reinterpret_cast<uintptr_t>(base);
    std::unique_lock<SimMutex> lock(IoLock());
    for (auto it = g_locks.lower_bound(begin); it != g_locks.end() && it->first < begin + length;) {
        if (!it->second.holds.empty()) {
            std::string text = HoldersText(it->second);
            std::string owner = DriverName(it->second.driver);
            uintptr_t address = it->first;
            lock.unlock();
            BugCheck(kDriverVerifierDetectedViolation, kC4DeleteWithRemoveLockHeld, address,
                     it->second.holds.size(), 0,
                     std::string(why) + ": remove lock " + Ptr((void*)address) + " of " + owner +
                         " still has holds:\n" + text);
        }
        if (forget && it->first == g_lastKey)
            g_lastShadow = nullptr;
        it = forget ? g_locks.erase(it) : std::next(it);
    }
}

void IoCheckRemoveLocks() {
    std::unique_lock<SimMutex> lock(IoLock());
    for (auto& [address, shadow] : g_locks) {
        if (shadow.holds.empty())
            continue;
        std::string text = HoldersText(shadow);
        std::string owner = DriverName(shadow.driver);
        lock.unlock();
        BugCheck(kDriverVerifierDetectedViolation, kC4DeleteWithRemoveLockHeld, address, 0, 0,
                 "remove lock " + Ptr((void*)address) + " of " + owner +
                     " still has holds when the machine stopped:\n" + text);
    }
}

void IoForgetFileNames() {
    std::lock_guard<SimMutex> lock(IoLock());
    g_lastFile = nullptr;
}

void IoRemoveLockStart() {
    std::lock_guard<SimMutex> lock(IoLock());
    g_locks.clear();
    g_lastShadow = nullptr;
}

void IoRemoveLockStop() { IoRemoveLockStart(); }

} // namespace sim

using namespace sim;

extern "C" VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag,
                                               ULONG MaxLockedMinutes, ULONG HighWatermark,
                                               ULONG RemlockSize) {
    UNREFERENCED_PARAMETER(RemlockSize);
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoInitializeRemoveLock");
    std::unique_lock<SimMutex> lock(IoLock());
    uintptr_t key = reinterpret_cast<uintptr_t>(Lock);
    if (g_locks.count(key) != 0) {
        bool waited = g_locks[key].waited;
        lock.unlock();
        BugCheck(kDriverVerifierDetectedViolation, kC4RemoveLockReinitialised, (ULONG_PTR)Lock, 0,
                 0,
                 DriverName(CurrentDriver()) + " initialised remove lock " + Ptr(Lock) +
                     (waited ? " again after IoReleaseRemoveLockAndWait"
                             : " again while it is in use"));
    }
    memset(Lock, 0, sizeof *Lock);
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1;
    Lock->Dbg.Signature = 0x4C6D6552; // "Reml"
    Lock->Dbg.HighWatermark = HighWatermark;
    Lock->Dbg.MaxLockedTicks = (LONGLONG)MaxLockedMinutes * 60 * 10000000LL;
    Lock->Dbg.AllocateTag = (LONG)AllocateTag;
    InitializeListHead(&Lock->Dbg.LockList);
    Shadow shadow;
    shadow.driver = CurrentDriver();
    g_locks[key] = shadow;
}

extern "C" NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File,
                                                ULONG Line, ULONG RemlockSize) {
    UNREFERENCED_PARAMETER(RemlockSize);
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAcquireRemoveLock");
    bool drained = false;
    {
        std::unique_lock<SimMutex> lock(IoLock());
        Shadow& shadow = FindOrDie(lock, RemoveLock, "IoAcquireRemoveLock");
        InterlockedIncrement(&RemoveLock->Common.IoCount);
        if (!RemoveLock->Common.Removed) {
            shadow.holds.push_back(Hold{Tag, InternFile(File), Line});
            return STATUS_SUCCESS;
        }
        drained = InterlockedDecrement(&RemoveLock->Common.IoCount) == 0;
    }
    if (drained)
        Notify();
    return STATUS_DELETE_PENDING;
}

extern "C" VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag,
                                            ULONG RemlockSize) {
    UNREFERENCED_PARAMETER(RemlockSize);
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoReleaseRemoveLock");
    bool drained;
    {
        std::unique_lock<SimMutex> lock(IoLock());
        Shadow& shadow = FindOrDie(lock, RemoveLock, "IoReleaseRemoveLock");
        auto hold = shadow.holds.end();
        for (auto it = shadow.holds.begin(); it != shadow.holds.end(); ++it)
            if (it->tag == Tag)
                hold = it;
        if (hold == shadow.holds.end()) {
            std::string text = HoldersText(shadow);
            lock.unlock();
            BugCheck(kDriverVerifierDetectedViolation, kC4RemoveLockReleaseUnheld,
                     (ULONG_PTR)RemoveLock, (ULONG_PTR)Tag, 0,
                     DriverName(CurrentDriver()) + " released remove lock " + Ptr(RemoveLock) +
                         " with tag " + Ptr(Tag) + ", which holds nothing; holders:\n" + text);
        }
        shadow.holds.erase(hold);
        drained = InterlockedDecrement(&RemoveLock->Common.IoCount) == 0;
    }
    if (drained)
        Notify();
}

extern "C" VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag,
                                                   ULONG RemlockSize) {
    UNREFERENCED_PARAMETER(RemlockSize);
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoReleaseRemoveLockAndWait");
    std::string what;
    {
        std::unique_lock<SimMutex> lock(IoLock());
        Shadow& shadow = FindOrDie(lock, RemoveLock, "IoReleaseRemoveLockAndWait");
        auto hold = shadow.holds.end();
        for (auto it = shadow.holds.begin(); it != shadow.holds.end(); ++it)
            if (it->tag == Tag)
                hold = it;
        if (shadow.waited || hold == shadow.holds.end()) {
            std::string text = HoldersText(shadow);
            bool again = shadow.waited;
            lock.unlock();
            BugCheck(kDriverVerifierDetectedViolation, kC4RemoveLockWaitUnheld,
                     (ULONG_PTR)RemoveLock, (ULONG_PTR)Tag, 0,
                     DriverName(CurrentDriver()) + " called IoReleaseRemoveLockAndWait on " +
                         Ptr(RemoveLock) +
                         (again ? " a second time" : " with tag " + Ptr(Tag) +
                                                         ", which holds nothing") +
                         "; holders:\n" + text);
        }
        shadow.holds.erase(hold);
        shadow.waited = true;
        RemoveLock->Common.Removed = TRUE;
        InterlockedDecrement(&RemoveLock->Common.IoCount); // this caller's hold
        InterlockedDecrement(&RemoveLock->Common.IoCount); // the bias from initialisation
        what = "IoReleaseRemoveLockAndWait by " + DriverName(CurrentDriver()) + " on " +
               Ptr(RemoveLock) + ", waiting for these holders to release:\n" +
               HoldersText(shadow);
    }
    LONG volatile* count = &RemoveLock->Common.IoCount;
    WaitUntil([count] { return __atomic_load_n(count, __ATOMIC_SEQ_CST) == 0; }, what.c_str());
}
