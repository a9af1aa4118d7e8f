// Remove locks. The lock's own fields behave as on Windows (IoCount starts at
// one, ReleaseAndWait drops that bias and waits for zero); beside them the
// I/O manager keeps a shadow record per lock, as Driver Verifier does: every
// hold with its tag, file and line, so a release with a tag that holds
// nothing is caught at once and a drain that cannot end says who is late.
#include "platform/sim/io_internal.h"

#include <algorithm>
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

struct Shadow {
    PDRIVER_OBJECT driver = nullptr;
    std::vector<Hold> holds;
    bool waited = false; // IoReleaseRemoveLockAndWait has been called
};

// The shadow records, in shards by the page of the lock's address, each
// shard with a lock of its own: a driver takes and drops its port's remove
// lock several times per request, and one lock for the remove locks of every
// port moved between the host processors at each of those calls. By page,
// so that a freed block (every ExFreePool looks for locks in it) meets one
// shard or two.
struct alignas(64) Shard {
    SimMutex lock;
    std::map<uintptr_t, Shadow> locks; // keyed by the lock's address
    // The lock looked up last: a driver takes and drops the same one on
    // every request. Forgotten with its entry.
    uintptr_t lastKey = 0;
    Shadow* lastShadow = nullptr;
    // A driver passes the same __FILE__ at every call: the last answer is
    // checked first, by address. An address names the same text until its
    // image is unmapped (IoForgetFileNames).
    const char* lastFile = nullptr;
    const std::string* lastName = nullptr;
};
constexpr size_t kShards = 16;
constexpr unsigned kShardPageShift = 12;
Shard g_shards[kShards];

Shard& ShardOf(uintptr_t address) {
    return g_shards[(address >> kShardPageShift) % kShards];
}
Shard& ShardOf(PIO_REMOVE_LOCK lock) {
    return ShardOf(reinterpret_cast<uintptr_t>(lock));
}

// The source files holds were taken in, each kept once for good, under a
// lock of their own (taken inside a shard's).
SimMutex g_filesLock;
const std::string* InternFile(Shard& shard, const char* file) {
    if (file != nullptr && file == shard.lastFile)
        return shard.lastName;
    static auto* files = new std::map<std::string, std::string, std::less<>>();
    std::string_view name = file != nullptr ? file : "?";
    std::lock_guard<SimMutex> lock(g_filesLock);
    auto it = files->find(name);
    if (it == files->end())
        it = files->emplace(std::string(name), std::string(name)).first;
    shard.lastFile = file;
    shard.lastName = &it->second;
    return shard.lastName;
}

std::string Ptr(const void* p) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%p", p);
    return buffer;
}

// Caller holds the shard's lock.
std::string HoldersText(const Shadow& shadow) {
    if (shadow.holds.empty())
        return "  (no holds)\n";
    std::string text;
    for (const Hold& hold : shadow.holds)
        text += "  tag " + Ptr(hold.tag) + " acquired at " + *hold.file + ":" +
                std::to_string(hold.line) + "\n";
    return text;
}

Shadow& FindOrDieSlow(Shard& shard, std::unique_lock<SimMutex>& lock, PIO_REMOVE_LOCK removeLock,
                      const char* routine);

// Caller holds the shard's lock through `lock`, unlocked before stopping the
// machine. Nearly always the lock of the last call, inline.
inline Shadow& FindOrDie(Shard& shard, std::unique_lock<SimMutex>& lock, PIO_REMOVE_LOCK removeLock,
                         const char* routine) {
    if (reinterpret_cast<uintptr_t>(removeLock) == shard.lastKey && shard.lastShadow != nullptr)
        [[likely]] return *shard.lastShadow;
    return FindOrDieSlow(shard, lock, removeLock, routine);
}

[[gnu::noinline]] Shadow& FindOrDieSlow(Shard& shard, std::unique_lock<SimMutex>& lock,
                                        PIO_REMOVE_LOCK removeLock, const char* routine) {
    const auto key = reinterpret_cast<uintptr_t>(removeLock);
    auto it = shard.locks.find(key);
    if (it == shard.locks.end()) {
        lock.unlock();
        BugCheck(kDriverVerifierDetectedViolation, kC4RemoveLockNotInitialised,
                 (ULONG_PTR)removeLock, 0, 0,
                 std::string(routine) + " on " + Ptr(removeLock) +
                     ", which IoInitializeRemoveLock never initialised (or whose memory was "
                     "freed)");
    }
    shard.lastKey = key;
    shard.lastShadow = &it->second;
    return it->second;
}

} // namespace

void IoRemoveLocksFreed(const void* base, size_t length, const char* why, bool forget) {
    if (base == nullptr || length == 0)
        return;
    const uintptr_t begin = reinterpret_cast<uintptr_t>(base);
    // The shards of the pages the block covers: all of them for a big block.
    const uintptr_t pages =
        ((begin + length - 1) >> kShardPageShift) - (begin >> kShardPageShift) + 1;
    for (uintptr_t page = 0; page < std::min<uintptr_t>(pages, kShards); page++) {
        Shard& shard = ShardOf(begin + (page << kShardPageShift));
        std::unique_lock<SimMutex> lock(shard.lock);
        for (auto it = shard.locks.lower_bound(begin);
             it != shard.locks.end() && it->first < begin + length;) {
            if (!it->second.holds.empty()) {
                std::string text = HoldersText(it->second);
                std::string owner = DriverName(it->second.driver);
                uintptr_t address = it->first;
                size_t holds = it->second.holds.size();
                lock.unlock();
                BugCheck(kDriverVerifierDetectedViolation, kC4DeleteWithRemoveLockHeld, address,
                         holds, 0,
                         std::string(why) + ": remove lock " + Ptr((void*)address) + " of " +
                             owner + " still has holds:\n" + text);
            }
            if (forget && it->first == shard.lastKey)
                shard.lastShadow = nullptr;
            it = forget ? shard.locks.erase(it) : std::next(it);
        }
    }
}

void IoCheckRemoveLocks() {
    for (Shard& shard : g_shards) {
        std::unique_lock<SimMutex> lock(shard.lock);
        for (auto& [address, shadow] : shard.locks) {
            if (shadow.holds.empty())
                continue;
            std::string text = HoldersText(shadow);
            std::string owner = DriverName(shadow.driver);
            const uintptr_t at = address;
            lock.unlock();
            BugCheck(kDriverVerifierDetectedViolation, kC4DeleteWithRemoveLockHeld, at, 0, 0,
                     "remove lock " + Ptr((void*)at) + " of " + owner +
                         " still has holds when the machine stopped:\n" + text);
        }
    }
}

void IoForgetFileNames() {
    for (Shard& shard : g_shards) {
        std::lock_guard<SimMutex> lock(shard.lock);
        shard.lastFile = nullptr;
    }
}

void IoRemoveLockStart() {
    for (Shard& shard : g_shards) {
        std::lock_guard<SimMutex> lock(shard.lock);
        shard.locks.clear();
        shard.lastShadow = nullptr;
    }
}

void IoRemoveLockStop() { IoRemoveLockStart(); }

} // namespace sim

using namespace sim;

extern "C" VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag,
                                               ULONG MaxLockedMinutes, ULONG HighWatermark,
                                               ULONG RemlockSize) {
    UNREFERENCED_PARAMETER(RemlockSize);
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoInitializeRemoveLock");
    Shard& shard = ShardOf(Lock);
    std::unique_lock<SimMutex> lock(shard.lock);
    uintptr_t key = reinterpret_cast<uintptr_t>(Lock);
    if (shard.locks.count(key) != 0) {
        bool waited = shard.locks[key].waited;
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
    shard.locks[key] = shadow;
}

extern "C" NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File,
                                                ULONG Line, ULONG RemlockSize) {
    UNREFERENCED_PARAMETER(RemlockSize);
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAcquireRemoveLock");
    bool drained = false;
    {
        Shard& shard = ShardOf(RemoveLock);
        std::unique_lock<SimMutex> lock(shard.lock);
        Shadow& shadow = FindOrDie(shard, lock, RemoveLock, "IoAcquireRemoveLock");
        InterlockedIncrement(&RemoveLock->Common.IoCount);
        if (!RemoveLock->Common.Removed) {
            shadow.holds.push_back(Hold{Tag, InternFile(shard, File), Line});
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
        Shard& shard = ShardOf(RemoveLock);
        std::unique_lock<SimMutex> lock(shard.lock);
        Shadow& shadow = FindOrDie(shard, lock, RemoveLock, "IoReleaseRemoveLock");
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
        Shard& shard = ShardOf(RemoveLock);
        std::unique_lock<SimMutex> lock(shard.lock);
        Shadow& shadow = FindOrDie(shard, lock, RemoveLock, "IoReleaseRemoveLockAndWait");
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
