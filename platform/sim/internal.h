// The simulated kernel's shared internals: what every family of the simulation
// (Ke, Io, Ex, Rtl, Ob, Pnp, Po, the USB bus) needs from the others. Never
// included by driver code; tests and programs find what they may call in the
// api_*.h headers, which this one brings in for the simulation's own files.
#pragma once

#include "platform/kernel.h"
#include "platform/sim/api_ex.h"
#include "platform/sim/api_io.h"
#include "platform/sim/api_ke.h"
#include "platform/sim/api_ob.h"
#include "platform/sim/api_pnp.h"
#include "platform/sim/rules.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace sim {

// ---------------------------------------------------------------- the simulation's own locks
// A lock over the simulation's records (the I/O manager's, the Win32
// layer's). On the deterministic machine one thread runs at a time and the
// processor changes hands only under the dispatcher lock, which orders all
// that one thread did before with all the next one does: these locks then
// exclude nothing and are skipped. On the concurrent machine they are plain
// mutexes. The dispatcher lock itself is always a real one.
extern bool g_simLocking; // set by KeStart, before any thread of the machine runs
// How many of them this thread holds: the explored schedule never switches
// inside the simulation's own records.
extern __thread int t_simLocksHeld;

// A schedule point of the explored schedule (SimSchedulePoint), tested here
// so that the simulation's own routines make no call when none is explored.
namespace ke {
extern bool g_exploring;
}
inline void SchedulePoint(const char* where) {
    if (ke::g_exploring)
        SimSchedulePoint(where);
}

// Makes `m` spin a little before it sleeps. The concurrent machine's locks
// are held for a few hundred instructions at a time; with two processors a
// thread that finds one taken would otherwise sleep in the host kernel and be
// woken again, a context switch each way, for a wait shorter than either.
void SpinBeforeSleeping(std::mutex& m);

class SimMutex {
public:
    // Only where threads really run at once: a deterministic run makes one
    // with every overlapped request.
    SimMutex() {
        if (g_simLocking)
            SpinBeforeSleeping(mutex_);
    }
    SimMutex(const SimMutex&) = delete;
    SimMutex& operator=(const SimMutex&) = delete;
    void lock() {
        if (g_simLocking)
            mutex_.lock();
        ++t_simLocksHeld;
    }
    bool try_lock() {
        bool got = !g_simLocking || mutex_.try_lock();
        t_simLocksHeld += got;
        return got;
    }
    void unlock() {
        --t_simLocksHeld;
        if (g_simLocking)
            mutex_.unlock();
    }

private:
    std::mutex mutex_;
};

// ---------------------------------------------------------------- small records (internal.h)
// Blocks for the records every request makes and drops (IRP records, call
// frames, request records), taken from free lists by size instead of from
// the host's allocator each time. Under a sanitizer every block goes to the
// host, so that the sanitizer still sees each record's lifetime.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kPoolRecords = false;
#else
constexpr bool kPoolRecords = true;
#endif
namespace records {
// Blocks by size: steps of 16 bytes up to 512 for records, then steps of
// 1 KiB up to 65 KiB for data buffers; bigger ones go to the host.
constexpr size_t kStep = 16;
constexpr size_t kLargestRecord = 512;
constexpr size_t kRecordClasses = kLargestRecord / kStep;
constexpr unsigned kKeptPerRecordClass = 256;
constexpr size_t kBufferStep = 1024;
constexpr size_t kLargest = 65 * 1024; // a 64 KiB transfer's buffer and its header
constexpr size_t kClasses = kRecordClasses + (kLargest - kLargestRecord) / kBufferStep + 1;
constexpr unsigned kKeptPerBufferClass = 4;

struct FreeBlock {
    FreeBlock* next;
};
struct Lists {
    FreeBlock* heads[kClasses];
    unsigned counts[kClasses];
};
extern Lists g_sharedLists; // the deterministic machine's (records.cpp)

inline bool Pooled(size_t bytes) { return kPoolRecords && bytes != 0 && bytes <= kLargest; }
inline size_t ClassOf(size_t bytes) {
    if (bytes <= kLargestRecord)
        return (bytes + kStep - 1) / kStep - 1;
    return kRecordClasses + (bytes - kLargestRecord + kBufferStep - 1) / kBufferStep - 1;
}
inline unsigned KeptPerClass(size_t c) {
    return c < kRecordClasses ? kKeptPerRecordClass : kKeptPerBufferClass;
}
} // namespace records

void* RecordAllocateSlow(size_t bytes);
void RecordFreeSlow(void* block, size_t bytes);
// Inline for the deterministic machine's shared lists, which every request
// goes to several times; the rest (a thread's own lists, the host) out of line.
inline void* RecordAllocate(size_t bytes) {
    using namespace records;
    if (!g_simLocking && Pooled(bytes)) {
        const size_t c = ClassOf(bytes);
        if (FreeBlock* block = g_sharedLists.heads[c]) {
            g_sharedLists.heads[c] = block->next;
            --g_sharedLists.counts[c];
            return block;
        }
    }
    return RecordAllocateSlow(bytes);
}
inline void RecordFree(void* block, size_t bytes) {
    using namespace records;
    if (!g_simLocking && block != nullptr && Pooled(bytes)) {
        const size_t c = ClassOf(bytes);
        if (g_sharedLists.counts[c] < KeptPerClass(c)) {
            auto* free = static_cast<FreeBlock*>(block);
            free->next = g_sharedLists.heads[c];
            g_sharedLists.heads[c] = free;
            ++g_sharedLists.counts[c];
            return;
        }
    }
    RecordFreeSlow(block, bytes);
}

template <typename T> struct RecordAllocator {
    using value_type = T;
    RecordAllocator() = default;
    template <typename U> RecordAllocator(const RecordAllocator<U>&) {}
    T* allocate(size_t n) { return static_cast<T*>(RecordAllocate(n * sizeof(T))); }
    void deallocate(T* p, size_t n) { RecordFree(p, n * sizeof(T)); }
    template <typename U> bool operator==(const RecordAllocator<U>&) const { return true; }
};

// make_shared, with the block from the record free lists.
template <typename T, typename... Args> std::shared_ptr<T> MakeRecord(Args&&... args) {
    return std::allocate_shared<T>(RecordAllocator<T>(), std::forward<Args>(args)...);
}

// ---------------------------------------------------------------- bug checks (verifier.cpp)
// A broken rule stops the run: prints the Windows bug-check code and its four
// parameters, a one-line reason, the driver that broke the rule and where (file
// and line when known, else the caller's symbol), the recent IRP log, then
// aborts the process. Tests see it with a death test.
[[noreturn]] void BugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                           const std::string& reason, const char* file = nullptr, int line = 0);
// The one way the simulation says it does not model something: a loud stop
// naming what was asked, never a quiet success or failure.
[[noreturn]] void NotModelled(const std::string& what);

// ---------------------------------------------------------------- threads and IRQL (ke_thread.cpp)
// Every thread that touches the simulation has a current IRQL and the list of
// spin locks it holds. Checks raise the bug check Windows raises.
extern __thread KIRQL t_irql; // the calling thread's IRQL; PASSIVE_LEVEL until it says otherwise
inline KIRQL CurrentIrql() { return t_irql; }
void SetIrql(KIRQL irql); // no checks: the simulation's own use
// 0x0A style, names the routine and the caller of the routine that checks.
[[noreturn]] void IrqlTooHigh(KIRQL max, const char* routine, const void* caller);
__attribute__((always_inline)) inline void RequireIrqlAtMost(KIRQL max, const char* routine) {
    if (t_irql > max)
        IrqlTooHigh(max, routine, __builtin_return_address(0));
}
void RequireNoSpinLockHeld(const char* routine);           // calls down, waits
size_t SpinLocksHeld();

} // namespace sim

namespace sim {
struct Options;

// ---------------------------------------------------------------- lifecycle (kernel.cpp)
// `sim::Kernel` brings the families up in this order and down in reverse.
// Each Start resets the family to a fresh state; each Check runs its
// end-of-run verifier checks (bug check on a leftover); each Stop frees what
// the family holds without checking.
void ExStart(const Options&);
void KeStart(const Options&);
void IoStart(const Options&);
void ObStart(const Options&);
void PnpStart(const Options&);
void PoStart(const Options&);
void PnpCheck();
void PoCheck();
void ObCheck();
void IoCheck();
void KeCheck();
void ExCheck();
void PoStop();
void PnpStop();
void ObStop();
void IoStop();
void KeStop();
void ExStop();
const Options& CurrentOptions();
} // namespace sim

namespace sim {
// ---------------------------------------------------------------- Ob (ob_namespace.cpp)
// The object namespace: device names and symbolic links. IoCreateDevice calls
// ObInsertDeviceName for a named device (STATUS_OBJECT_NAME_COLLISION when the
// name is taken, compared case-insensitively like Windows); IoDeleteDevice
// calls ObRemoveDeviceName for EVERY device, named or not (it also disables
// the device interfaces registered on a PDO going away, as Windows does).
// ObLookupDevice resolves "\Device\X", "\DosDevices\COM5", "\??\COM5" and
// "\GLOBAL??\COM5", following links; NULL when nothing is there.
NTSTATUS ObInsertDeviceName(PCUNICODE_STRING name, PDEVICE_OBJECT device);
void ObRemoveDeviceName(PDEVICE_OBJECT device);
PDEVICE_OBJECT ObLookupDevice(const std::u16string& pathOrLink);
// UnloadDriver calls this after DriverUnload returns: a registry key handle the
// driver still holds is a bug check (nobody can close it any more); links it
// made and left are logged here and fail the run at ObCheck.
void ObDriverUnloaded(PDRIVER_OBJECT driver);
} // namespace sim

// ---------------------------------------------------------------- executive (ex_*.cpp; more in ex_internal.h)
namespace sim {
// Every routine that allocates on a driver's behalf (pool, IRPs, built
// requests, work items, ...) asks first; when the answer is true it fails the
// way Windows fails (NULL, or its failure status). `callSite` is the driver's
// return address: __builtin_return_address(0) in the exported routine. Each
// injected failure is logged with its sequence number and site, so it replays.
bool ShouldFailAllocation(AllocKind kind, const void* callSite);
// Bug check 0xC4/0x62 if `driver` still holds pool, listing each leftover
// block with its size, tag and allocation site. Called by the I/O manager when
// a driver unloads, before its image is unmapped (sites are symbolised from it).
void ExCheckDriverUnload(PDRIVER_OBJECT driver);
} // namespace sim

namespace sim {
// ---------------------------------------------------------------- Pnp / Po hooks (pnp_*.cpp, po_*.cpp)
// The I/O manager calls PnpFileObjectClosed after the IRP_MJ_CLOSE of every
// file object, with the device it was opened on, holding none of its own
// locks. A surprise-removed stack gets its IRP_MN_REMOVE_DEVICE there once no
// handle is left on it, as on Windows; every other close is ignored.
void PnpFileObjectClosed(PDEVICE_OBJECT device);
// Io: file objects open now on the stack `device` belongs to.
size_t IoOpenFileObjects(PDEVICE_OBJECT device);
} // namespace sim

namespace sim {
// ---------------------------------------------------------------- I/O manager (io_device.cpp)
// The I/O manager's unload checks for `driver` (UnloadDriver runs them after
// DriverUnload): a device object still there, or an IRP the driver allocated
// or one of its devices holds, is a bug check naming each leftover.
void IoCheckDriverUnload(PDRIVER_OBJECT driver);
} // namespace sim
