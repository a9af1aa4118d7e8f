// The executive and the kernel debugger as tests see them: the debugger's
// output log, the pool ledger, the required pool tag, and the fault plans that
// make allocations fail.
#pragma once

#include "platform/kernel.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// What an allocation is for; fault plans select by it.
enum class AllocKind {
    Pool,         // ExAllocatePoolWithTag
    Irp,          // IoAllocateIrp
    BuiltRequest, // IoBuildDeviceIoControlRequest, IoBuildSynchronousFsdRequest
    WorkItem,     // IoAllocateWorkItem
    Mdl,          // IoAllocateMdl
    Other,        // any other allocation a routine makes for its caller
    Any,          // (fault plans only) matches every kind
};

// ---------------------------------------------------------------- kernel debugger
// Everything DbgPrint wrote since the kernel came up (or the last clear), as
// the debugger showed it. Set VXQT70_DBGPRINT=1 to see it live on stderr.
std::string DebugLog();
// The same, split at newlines; a final unterminated line is included.
std::vector<std::string> DebugLogLines();
void ClearDebugLog();

// ---------------------------------------------------------------- pool ledger
struct PoolBlock {
    const void* address = nullptr;
    size_t size = 0;
    ULONG tag = 0;
    POOL_TYPE type = NonPagedPool;
    PDRIVER_OBJECT driver = nullptr; // NULL: the kernel or test code
    std::string site;                // "AddDevice+0x4c"
    uint64_t sequence = 0;           // allocation number since the kernel came up, from 1
};

// Live allocations and their bytes: everyone's, or one driver's (NULL: the
// allocations made outside any driver).
size_t PoolAllocations();
size_t PoolBytes();
size_t PoolAllocations(PDRIVER_OBJECT driver);
size_t PoolBytes(PDRIVER_OBJECT driver);
// Live blocks in allocation order, and the same as printable lines.
std::vector<PoolBlock> PoolListing();
std::string PoolReport();
// Allocations made since the kernel came up (including freed ones).
uint64_t PoolAllocationCount();

// Non-paged pool of a given size (0, the default: unlimited), as on a 32-bit
// PC where it is finite (128 MB, 256 MB): an allocation that would take the
// live non-paged bytes past it returns NULL. Reset when a kernel comes up.
void SetNonPagedPoolLimit(size_t bytes);
struct NonPagedPoolState {
    size_t limit = 0;
    size_t bytes = 0;       // live non-paged bytes now
    size_t peakBytes = 0;   // the most ever live at once
    uint64_t refused = 0;   // allocations the limit refused
};
NonPagedPoolState NonPagedPoolUse();
// The ledger: live and high-water bytes per owner (NULL: the kernel or test
// code) and tag, paged and non-paged together, since the kernel came up.
struct PoolUsage {
    PDRIVER_OBJECT driver = nullptr;
    ULONG tag = 0;
    size_t bytes = 0;
    size_t blocks = 0;
    size_t peakBytes = 0;
};
std::vector<PoolUsage> PoolLedger();

// The only tag `driver` may allocate with ("Wdm " = 0x206D6457 for every
// driver unless changed); 0 allows any nonzero tag.
void SetRequiredPoolTag(PDRIVER_OBJECT driver, ULONG tag);

// ---------------------------------------------------------------- fault injection
// A plan selects allocations (by kind, by the driver making them, by a
// substring of the call site's symbol) and says which of those fail:
//  - failNth = k: the k-th selected allocation (from 1); with andAfter, it and
//    every later one;
//  - perMille = p: each selected allocation with chance p/1000, drawn from a
//    generator seeded by the kernel's seed and the plan's number, so the same
//    seed fails the same allocations;
//  - systematic: the first allocation from each call site not seen before
//    (the sites seen persist across kernels until ClearSystematicSites, so a
//    scenario rerun until nothing fails has walked every error path it reaches);
//  - none of these: every selected allocation.
// Plans are cleared when a kernel comes up.
struct FaultPlan {
    AllocKind kind = AllocKind::Any;
    PDRIVER_OBJECT driver = nullptr; // only this driver's allocations; NULL: anyone's
    std::string driverName;          // only drivers whose name contains this (survives reloads)
    std::string site;                // only call sites whose symbol contains this
    std::string notSites;            // and none whose symbol contains one of these ('|'-separated)
    uint64_t failNth = 0;
    bool andAfter = false;
    unsigned perMille = 0;
    bool systematic = false;
};
int AddFaultPlan(const FaultPlan& plan);   // returns the plan's number
void RemoveFaultPlan(int number);
void ClearFaultPlans();
void ClearSystematicSites();
// Allocations a plan has selected so far (failed or not): a plan that never
// fails (failNth past any count) enumerates what a scenario allocates, so a
// sweep can then fail each of them in turn by its ordinal.
uint64_t FaultPlanSelected(int number);

struct InjectedFault {
    uint64_t sequence = 0;     // allocation attempt number, all kinds, since the kernel came up
    uint64_t kindSequence = 0; // attempt number among allocations of this kind
    AllocKind kind = AllocKind::Any;
    std::string site;
    std::string driver;
    int plan = 0;
};
// Every failure injected since the kernel came up, in order; and the same as
// lines ("#3 pool seq 17 (pool 12) at AddDevice+0x4c by vxqt70modem, plan 1").
std::vector<InjectedFault> InjectedFaults();
std::string FaultLog();
// Allocation attempts seen (all kinds), injected or not.
uint64_t AllocationAttempts();

} // namespace sim
