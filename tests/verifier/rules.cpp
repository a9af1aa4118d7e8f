// Every rule of the verifier's table broken on purpose: each row is a small
// bad snippet run on a fresh machine, and the run must stop with the rule's
// code and subcode, name the rule, and say what happened (and, where a row
// asks, who did it and where).
#include "common/fake_driver.h"

#include "platform/sim/ex_internal.h"
#include "platform/sim/internal.h"
#include "platform/sim/rules.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr ULONG kWdm = 0x206D6457; // "Wdm "

using Step = void (*)();

struct Row {
    const char* rule;        // the table's id
    const char* variant;     // another way to break the same rule ("" for the first)
    std::vector<Step> steps; // run in order with the kernel up; the last must not return
    const char* report = ""; // what the report says after the rule line (a regex)
    sim::Mode mode = sim::Mode::Deterministic;
    fake::Routine read; // when set, vtdriver reads run it and a read is sent first
};

// Objects the steps break, initialised before each row (the remove lock and
// the work item too: a step that needs them raw makes its own).
KSPIN_LOCK g_lock;
KEVENT g_event;
PVOID g_waitable; // what Wait() waits for: g_event unless a row says otherwise
FAST_MUTEX g_mutex;
KTIMER g_timer;
KDPC g_dpc;
IO_REMOVE_LOCK g_removeLock;
IO_REMOVE_LOCK g_zeroedLock; // never initialised
WORK_QUEUE_ITEM g_item;
PVOID g_block;        // Allocate()'s
PIRP g_held;          // an IRP a broken routine kept
fake::Driver* g_vt;   // vtdriver, once loaded
PDEVICE_OBJECT g_pdo; // Pdo(), once made
std::unique_ptr<sim::DriverScope> g_inside;

const GUID kClass = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};

VOID NTAPI Nothing(PKDPC, PVOID, PVOID, PVOID) {}
VOID NTAPI NoWork(PVOID) {}
VOID NTAPI SomeCancelRoutine(PDEVICE_OBJECT, PIRP) {}
NTSTATUS NTAPI StopWalk(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

constexpr Step InitLock = [] { IoInitializeRemoveLock(&g_removeLock, 0, 0, 0); };

void Prepare() {
    g_held = nullptr;
    g_vt = nullptr;
    g_pdo = nullptr;
    g_waitable = &g_event;
    KeInitializeSpinLock(&g_lock);
    KeInitializeEvent(&g_event, NotificationEvent, FALSE);
    ExInitializeFastMutex(&g_mutex);
    KeInitializeTimer(&g_timer);
    KeInitializeDpc(&g_dpc, Nothing, nullptr);
    InitLock();
    ExInitializeWorkItem(&g_item, NoWork, nullptr);
}

void Raise(KIRQL irql) {
    KIRQL old;
    KeRaiseIrql(irql, &old);
}
constexpr Step Apc = [] { Raise(APC_LEVEL); };
constexpr Step Dispatch = [] { Raise(DISPATCH_LEVEL); };
constexpr Step High = [] { Raise(HIGH_LEVEL); };

void Acquire() {
    KIRQL old;
    KeAcquireSpinLock(&g_lock, &old);
}
constexpr Step AcquireAtDpc = [] { KeAcquireSpinLockAtDpcLevel(&g_lock); };
constexpr Step ReleaseFromDpc = [] { KeReleaseSpinLockFromDpcLevel(&g_lock); };

constexpr Step Lock = [] { ExAcquireFastMutex(&g_mutex); };
constexpr Step Unlock = [] { ExReleaseFastMutex(&g_mutex); };

constexpr Step Wait = [] {
    KeWaitForSingleObject(g_waitable, Executive, KernelMode, FALSE, nullptr);
};
// A thread that waits, left waiting.
void Waiter() {
    new sim::Thread("waiter", Wait);
    sim::RunUntilIdle();
}

void SetTimerMs(LONGLONG ms) {
    LARGE_INTEGER due;
    due.QuadPart = -10000 * ms;
    KeSetTimer(&g_timer, due, nullptr);
}
constexpr Step SetTimer = [] { SetTimerMs(10); };

constexpr Step InsertDpc = [] { KeInsertQueueDpc(&g_dpc, nullptr, nullptr); };
void QueueDpc(PKDEFERRED_ROUTINE routine) {
    KeInitializeDpc(&g_dpc, routine, nullptr);
    InsertDpc();
    sim::RunUntilIdle();
}

constexpr Step Queue = [] { ExQueueWorkItem(&g_item, DelayedWorkQueue); };
void QueueWork(PWORKER_THREAD_ROUTINE routine) {
    ExInitializeWorkItem(&g_item, routine, nullptr);
    Queue();
    sim::RunUntilIdle();
}

constexpr Step HoldLock = [] { IoAcquireRemoveLock(&g_removeLock, nullptr); };
constexpr Step HoldLockForgotten = [] { IoAcquireRemoveLock(&g_removeLock, &g_item); };
constexpr Step ReleaseLock = [] { IoReleaseRemoveLock(&g_removeLock, nullptr); };
constexpr Step Drain = [] { IoReleaseRemoveLockAndWait(&g_removeLock, nullptr); };

FAKE_ALLOCATION_SITE PVOID AllocateRingBuffer(SIZE_T bytes) {
    return ExAllocatePoolWithTag(NonPagedPool, bytes, kWdm);
}
FAKE_ALLOCATION_SITE void LeakyAllocation() {
    ExAllocatePoolWithTag(NonPagedPool, 1024000, kWdm);
}
template <typename T> T* Pool() {
    return static_cast<T*>(AllocateRingBuffer(sizeof(T)));
}
constexpr Step Allocate = [] { g_block = AllocateRingBuffer(64); };
constexpr Step AllocatePaged = [] { g_block = ExAllocatePoolWithTag(PagedPool, 16, kWdm); };
constexpr Step Free = [] { ExFreePool(g_block); };
// Writes one byte at `at` of a fresh block of `size` bytes, then frees it.
void WriteAndFree(SIZE_T size, ptrdiff_t at) {
    auto* p = static_cast<char*>(AllocateRingBuffer(size));
    p[at] = 0x7E;
    ExFreePool(p);
}

// A counted string over a static buffer of 20 characters.
PUNICODE_STRING Scratch(USHORT length = 0, USHORT maximum = 40) {
    static WCHAR text[20];
    static UNICODE_STRING s;
    s = {length, maximum, text};
    return &s;
}

void MakeLink(bool unprotected, bool contradictory) {
    static UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, L"\\DosDevices\\COM5");
    RtlInitUnicodeString(&target, L"\\Device\\VXNTQT70MDM0");
    if (contradictory)
        target.Length = target.MaximumLength + 2;
    (void)(unprotected ? IoCreateUnprotectedSymbolicLink(&link, &target)
                       : IoCreateSymbolicLink(&link, &target));
}
constexpr Step Link = [] { MakeLink(true, false); };
constexpr Step BadLink = [] { MakeLink(false, true); };

// ---------------------------------------------------------------- vtdriver

NTSTATUS Done(PIRP irp) {
    return fake::CompleteWith(irp, STATUS_SUCCESS);
}

NTSTATUS Succeed(PDEVICE_OBJECT, PIRP irp) {
    return Done(irp);
}

// Reads that run `step`, then complete.
fake::Routine DoneAfter(Step step) {
    return [step](PDEVICE_OBJECT, PIRP irp) {
        step();
        return Done(irp);
    };
}

NTSTATUS HoldPending(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    g_held = irp;
    return STATUS_PENDING;
}

// vtdriver: `devices` devices, each attached above the one before; reads run
// `read`; only create, cleanup, close and read have routines. It lives until
// the row's process ends.
fake::Driver* Load(fake::Routine read = Succeed, int devices = 1, ULONG flags = 0) {
    return g_vt = new fake::Driver(
               {.name = "vtdriver", .majors = {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_READ},
                .rules = {fake::Runs(IRP_MJ_READ, std::move(read))}, .devices = devices,
                .flags = flags, .extensionSize = sizeof(IO_REMOVE_LOCK)});
}

PDRIVER_OBJECT Vt() {
    return g_vt->object;
}

PDEVICE_OBJECT Dev() {
    return g_vt->devices.front();
}

// Loads vtdriver (unless loaded); the steps after this one run inside it, as from its own
// routines.
constexpr Step Inside = [] {
    g_inside = std::make_unique<sim::DriverScope>((g_vt != nullptr ? g_vt : Load())->object);
};

constexpr Step Unload = [] { sim::UnloadDriver(Vt()); };

// Opens a handle on the top device and sends one request through it.
sim::PendingRequest* Send(UCHAR major) {
    static char buffer[64];
    return sim::SendRequest(g_vt->Open(),
                            {.major = major, .output = buffer, .outputLength = sizeof buffer});
}

void ReadThrough(fake::Routine read, int devices = 1, ULONG flags = 0) {
    Load(std::move(read), devices, flags);
    Send(IRP_MJ_READ);
}

// An IRP of the test's own, as a driver sends one down with IoAllocateIrp
// (stopped at its completion routine by default).
PIRP OwnIrp(PIO_COMPLETION_ROUTINE done = StopWalk, UCHAR major = IRP_MJ_READ) {
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    if (done != nullptr)
        IoSetCompletionRoutine(irp, done, nullptr, TRUE, TRUE, TRUE);
    return irp;
}
constexpr Step Own = [] { g_held = OwnIrp(); };
constexpr Step CallHeld = [] { IoCallDriver(g_vt->Top(), g_held); };
PIRP CallOwn(PIO_COMPLETION_ROUTINE done = StopWalk, UCHAR major = IRP_MJ_READ) {
    g_held = OwnIrp(done, major);
    CallHeld();
    return g_held;
}

// A two-device vtdriver: reads reaching the lower device run `lower`, those
// reaching the upper one `upper`; an own IRP goes to the upper device.
void SendDown(fake::Routine lower, fake::Routine upper) {
    Load([=](PDEVICE_OBJECT d, PIRP irp) { return (d == Dev() ? lower : upper)(d, irp); }, 2);
    sim::DriverScope scope(Vt());
    CallOwn();
}

// ---------------------------------------------------------------- Plug and Play

// A bus's physical device object, power pageable as a USB hub's children are.
PDEVICE_OBJECT Pdo() {
    if (g_pdo != nullptr)
        return g_pdo;
    auto* bus = new fake::Driver(
        {.name = "bus", .rules = {fake::OnMinor(IRP_MJ_PNP, fake::kAnyMinor, fake::Act::Complete)},
         .devices = 0, .flags = DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE});
    g_pdo = bus->NewDevice();
    sim::SetDeviceInstancePath(g_pdo, u"USB\\VID_1234&PID_5678&MI_00\\6&2c0e3e5&0&0000");
    return g_pdo;
}

void OpenKey(PDEVICE_OBJECT device) {
    HANDLE key = nullptr;
    (void)IoOpenDeviceRegistryKey(device, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
}
constexpr Step OpenPdoKey = [] { OpenKey(Pdo()); };

// The bus reports Pdo(); a WDM function driver "vtwdm" attaches above it
// and runs `added` at the end of its AddDevice.
sim::DevNode* Plug(std::function<NTSTATUS(PDEVICE_OBJECT)> added = {}, bool deleteOnRemove = true) {
    new fake::Driver(
        {.name = "vtwdm", .wdm = true, .onAdd = std::move(added), .deleteOnRemove = deleteOnRemove});
    sim::MapInterfaceKind("vt", "vtwdm");
    return sim::PnpDeviceArrived(Pdo(), "vt");
}

// A timer that keeps the clock moving and nothing else: periodic, or set
// again from its own DPC as the bus's frame tick is.
struct Ticker {
    KTIMER timer;
    KDPC dpc;
    static VOID NTAPI Rearm(PKDPC, PVOID context, PVOID, PVOID) {
        auto* self = static_cast<Ticker*>(context);
        LARGE_INTEGER due;
        due.QuadPart = -10000;
        KeSetTimer(&self->timer, due, &self->dpc);
    }
    explicit Ticker(bool periodic, LONG ms = 1) {
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, periodic ? Nothing : Rearm, this);
        LARGE_INTEGER due;
        due.QuadPart = -10000LL * ms;
        KeSetTimerEx(&timer, due, periodic ? ms : 0, &dpc);
    }
};
constexpr Step Tick = [] { new Ticker(true); };

#define PTR "0x[0-9a-f]+"
#define WAITS "main waits in KeWaitForSingleObject"

Row Reads(const char* rule, const char* variant, fake::Routine read, const char* report = "",
          std::vector<Step> after = {}) {
    return Row{rule, variant, std::move(after), report, sim::Mode::Deterministic, std::move(read)};
}

// IRQL and spin locks
const std::vector<Row> kIrqlAndSpinLocks = {
    {"SpinLockAcquiredTwice", "", {Acquire, Acquire},
      "KeAcquireSpinLock: spin lock " PTR " is already held by this thread"},
    {"SpinLockReleasedUnowned", "", {Inside, Dispatch, ReleaseFromDpc},
      "is held by nobody.*driver: vtdriver"},
    {"SpinLockReleasedUnowned", "ByAnotherThread", {[] {
          static std::atomic<bool> held{false};
          std::thread holder([] {
              Acquire();
              held = true;
              for (;;)
                  std::this_thread::yield();
          });
          holder.detach();
          while (!held)
              std::this_thread::yield();
          KIRQL old;
          KeRaiseIrql(DISPATCH_LEVEL, &old);
          KeReleaseSpinLock(&g_lock, old);
      }},
      "spin lock " PTR " is held by thread-[0-9]+, not by this thread \\(main\\)",
      sim::Mode::Concurrent},
    {"VfSpinLockAboveDispatch", "", {High, Acquire},
      "KeAcquireSpinLock at IRQL 31, above DISPATCH_LEVEL"},
    {"VfSpinLockAtDpcBelowDispatch", "", {AcquireAtDpc},
      "KeAcquireSpinLockAtDpcLevel of " PTR " at IRQL 0, below DISPATCH_LEVEL"},
    {"VfSpinLockReleaseBadIrql", "", {[] {
          // Releasing the outer lock first would drop to PASSIVE_LEVEL with
          // the inner one still held.
          static KSPIN_LOCK inner;
          KIRQL outer, unused;
          KeAcquireSpinLock(&g_lock, &outer);
          KeAcquireSpinLock(&inner, &unused);
          KeReleaseSpinLock(&g_lock, outer);
      }},
      "KeReleaseSpinLock of " PTR " to IRQL 0 while spin lock " PTR " is still held"},
    {"VfSpinLockFromDpcBelowDispatch", "", {ReleaseFromDpc}},
    {"VfLowerToHigher", "", {Apc, [] { KeLowerIrql(DISPATCH_LEVEL); }},
      "KeLowerIrql to IRQL 2, higher than the current IRQL 1"},
    {"VfRaiseToLower", "", {Dispatch, Apc},
      "KeRaiseIrql to IRQL 1, lower than the current IRQL 2"},
    {"IrqlTooHigh", "", {High, [] { KeSetEvent(&g_event, 0, FALSE); }},
      "KeSetEvent called at IRQL 31; it may be called at IRQL 2 at most"},
    {"IrqlTooHigh", "SymbolicLink", {Dispatch, Link}, "IoCreateUnprotectedSymbolicLink"},
    {"IrqlTooHigh", "IntegerToString",
      {Dispatch, [] { RtlIntegerToUnicodeString(1, 10, Scratch()); }}, "RtlIntegerToUnicodeString"},
    {"IrqlTooHigh", "DbgPrintUnicode", {Dispatch, [] { DbgPrint("%ws\n", L"COM5"); }},
      "DbgPrint with a Unicode conversion"},
    {"PagedAccessAtDispatch", "", {Dispatch, [] { PAGED_CODE(); }},
      "pageable code \\(PAGED_CODE\\) run at IRQL 2.*rules.cpp"},
    {"IrqlLeftRaised", "",
      {[] { QueueDpc([](PKDPC, PVOID, PVOID, PVOID) NTAPI { KeLowerIrql(PASSIVE_LEVEL); }); }},
      "DPC routine .* returned at IRQL 0"},
    {"IrqlLeftRaised", "HoldingSpinLock",
      {Inside, [] { QueueDpc([](PKDPC, PVOID, PVOID, PVOID) NTAPI { AcquireAtDpc(); }); }},
      "DPC routine .* returned holding spin lock"},
    {"WorkerReturnedRaised", "", {[] { QueueWork([](PVOID) { Dispatch(); }); }},
      "work item routine .* returned at IRQL 2"},
    {"WorkerReturnedRaised", "HoldingSpinLock", {[] { QueueWork([](PVOID) { Acquire(); }); }},
      "work item routine .* returned holding spin lock " PTR},
};

// waits and mutexes
const std::vector<Row> kWaitsAndMutexes = {
    {"VfWaitAtDispatchInfinite", "", {Inside, Dispatch, Wait},
      "KeWaitForSingleObject waits at DISPATCH_LEVEL.*driver: vtdriver"},
    {"VfWaitAtDispatchInfinite", "HoldingSpinLock", {Acquire, Wait},
      "KeWaitForSingleObject waits at DISPATCH_LEVEL \\(holding spin lock " PTR "\\)"},
    {"VfWaitAtDispatchTimeout", "",
      {Dispatch,
       [] {
           LARGE_INTEGER timeout;
           timeout.QuadPart = -1;
           KeWaitForSingleObject(&g_event, Executive, KernelMode, FALSE, &timeout);
       }},
      "KeWaitForSingleObject waits at DISPATCH_LEVEL"},
    {"VfWaitAtDispatchTimeout", "Delay",
      {Dispatch,
       [] {
           LARGE_INTEGER interval;
           interval.QuadPart = -10;
           KeDelayExecutionThread(KernelMode, FALSE, &interval);
       }},
      "KeDelayExecutionThread waits at DISPATCH_LEVEL"},
    {"VfWaitAboveDispatch", "", {High, Wait}},
    {"VfFastMutexAboveApc", "", {Dispatch, Lock},
      "ExAcquireFastMutex of " PTR " at IRQL 2, above APC_LEVEL"},
    {"VfFastMutexReleaseBadIrql", "", {Lock, Dispatch, Unlock}},
    {"VfSelfDeadlock", "", {Lock, Lock}, "which this thread \\(main\\) already holds"},
    {"VfReleaseNotOwned", "", {Lock, [] { sim::Thread("other", Unlock).Join(); }},
      "ExReleaseFastMutex of " PTR ", which is held by main, not by this thread \\(other\\)"},
    {"BadObject", "", {Lock, [] { ExInitializeFastMutex(&g_mutex); }},
      "ExInitializeFastMutex on fast mutex " PTR " while main holds it"},
    {"BadObject", "EventWaitedOn",
      {Waiter, [] { KeInitializeEvent(&g_event, NotificationEvent, FALSE); }},
      "KeInitializeEvent on event " PTR " while a thread is waiting for it"},
    {"NotModelled", "", {[] { KeInitializeEvent(&g_event, (EVENT_TYPE)7, FALSE); }},
      "not modelled: KeInitializeEvent with event type 7"},
};

// timers, DPCs, work items
const std::vector<Row> kTimersDpcsWorkItems = {
    {"C7TimerStillSet", "",
      {Inside,
       [] { // a block holding both: the set timer is what is reported
           struct TimerBlock {
               KTIMER timer;
               KDPC dpc;
           }* block = Pool<TimerBlock>();
           KeInitializeTimer(&block->timer);
           KeInitializeDpc(&block->dpc, Nothing, nullptr);
           LARGE_INTEGER due;
           due.QuadPart = -10000 * 1000;
           KeSetTimer(&block->timer, due, &block->dpc);
           ExFreePool(block);
       }},
      "still set"},
    {"C7TimerStillSet", "Reinitialised", {SetTimer, [] { KeInitializeTimer(&g_timer); }},
      "KeInitializeTimer on timer " PTR " \\(due in 10.0 ms\\), which is still set"},
    {"C7TimerStillSet", "AtUnload", {Inside, SetTimer, InsertDpc, Queue, Unload},
      "vtdriver unloaded leaving 3 pending operation\\(s\\): "
      "timer " PTR " .*; queued DPC " PTR " .*; queued work item " PTR},
    {"C7TimerStillSet", "AtEndOfRun", {Inside, SetTimer},
      "the run ended with 1 driver operation\\(s\\) pending: timer " PTR " .* of vtdriver"},
    {"C7DpcStillQueued", "",
      {Inside, Dispatch, // so that the DPC cannot run before the free
       [] {
           auto* dpc = Pool<KDPC>();
           KeInitializeDpc(dpc, Nothing, nullptr);
           KeInsertQueueDpc(dpc, nullptr, nullptr);
           ExFreePool(dpc);
       }},
      "queued"},
    {"C7DpcStillQueued", "OfASetTimer", {[] {
          auto* dpc = Pool<KDPC>();
          KeInitializeDpc(dpc, Nothing, nullptr);
          KeSetTimer(&g_timer, LARGE_INTEGER{{static_cast<ULONG>(-100000), -1}}, dpc);
          ExFreePool(dpc);
      }},
      "holds DPC " PTR " of timer"},
    {"E4WorkItemQueuedTwice", "", {Queue, Queue}, "work item " PTR ", which is already queued"},
    {"E4WorkItemInFreedMemory", "", {[] {
          auto* item = Pool<WORK_QUEUE_ITEM>();
          ExInitializeWorkItem(item, NoWork, nullptr);
          ExQueueWorkItem(item, DelayedWorkQueue);
          ExFreePool(item);
      }},
      "holds work item " PTR " .*which is queued"},
    {"E4WorkItemWithoutRoutine", "", {[] { QueueWork(nullptr); }}, "which has no worker routine"},
    {"FreedObjectInUse", "",
      {[] {
           g_waitable = Pool<KEVENT>();
           KeInitializeEvent(static_cast<PKEVENT>(g_waitable), NotificationEvent, FALSE);
       },
       Waiter, [] { ExFreePool(g_waitable); }},
      "holds object " PTR ", which 1 thread\\(s\\) wait for"},
    {"UnloadWithWorkLeft", "WorkItemRunning",
      {Inside, [] { QueueWork([](PVOID) { Wait(); }); }, Unload},
      "vtdriver unloaded leaving 1 pending operation\\(s\\): work item " PTR
      " routine .* still running on worker-1"},
    // A wait that can never end is reported, naming what it waits for: at
    // once when nothing can happen any more, after a minute of virtual time
    // when only ticking timers move the clock (a minute after the last event
    // that was not a tick, when there was one).
    {"Deadlock", "", {Wait},
      "every thread waits and nothing can wake them:.*" WAITS "\\(notification event"},
    {"Deadlock", "UnderAPeriodicTimer", {Tick, Wait},
      WAITS "\\(notification event " PTR "\\) and it can never end: for 6000[0-9] ms of virtual "
            "time \\([0-9]+ expiries\\) only ticking timers ran"},
    {"Deadlock", "UnderATimerSetFromItsDpc", {[] { new Ticker(false); }, Wait},
      WAITS ".*can never end: for 6000[0-9] ms"},
    {"Deadlock", "JoiningAThreadWhileATickRuns",
      {[] { new Ticker(true, 10); }, [] { sim::Thread("stuck", Wait).Join(); }},
      "main waits in joining thread stuck and it can never end.*stuck waits in "
      "KeWaitForSingleObject"},
    {"Deadlock", "UnderAnHourLongTimerThenTicks",
      {[] { new Ticker(true, 100); }, [] { SetTimerMs(3600 * 1000); }, Wait},
      "can never end: for 60[0-9]{3} ms of virtual time"},
    {"Deadlock", "UninitialisedSpinLock",
      {[] { g_lock = 0xFEEDFACE; }, Acquire}, // pool garbage, never KeInitializeSpinLock'd
      "spin lock " PTR " is held by an unknown owner \\(0xfeedface\\), which is not running"},
    {"Deadlock", "CrossedFastMutexes", {[] {
          static FAST_MUTEX second;
          ExInitializeFastMutex(&second);
          Lock();
          sim::Thread other("other", [] {
              ExAcquireFastMutex(&second);
              Lock();
          });
          sim::RunUntilIdle();
          ExAcquireFastMutex(&second);
      }},
      "nothing can wake them:.*main waits in ExAcquireFastMutex\\(" PTR "\\) held by "
      "other.*other waits in ExAcquireFastMutex\\(" PTR "\\) held by main"},
    // A drain that cannot end names the acquisition still holding it.
    {"Deadlock", "RemoveLockDrain", {HoldLockForgotten, HoldLock, Drain}, "rules.cpp:[0-9]+"},
    {"Deadlock", "RemoveLockDrainUnderATicker", {Tick, HoldLockForgotten, HoldLock, Drain},
      "waiting for these holders to release:.*can never end"},
    {"ForeignThread", "", {[] { std::thread(Wait).join(); }},
      "a thread the simulated processor does not know"},
    {"TestApiMisuse", "", {[] { sim::Kernel second; }}, "only one simulated kernel"},
    {"DriverAssertion", "", {[] { SimAssertFailed("count > 0", "readq.cpp", 42); }},
      "driver contract broken: count > 0\ndriver: \\(kernel\\)\nat: readq.cpp:42"},
};

// names, strings, registry
const std::vector<Row> kNamesStringsRegistry = {
    {"CaInvalidPdo", "",
      {Inside, [] { IoRegisterDeviceInterface(Dev(), &kClass, nullptr, Scratch()); }},
      "IoRegisterDeviceInterface: the device object is not a physical device object"},
    {"CaInvalidPdo", "HardwareKey", {Inside, [] { OpenKey(Dev()); }},
      "IoOpenDeviceRegistryKey: the device object is not a physical device object"},
    {"C4NamesLeftAtEndOfRun", "", {Link},
      "symbolic link.*end of the run.*\\\\DosDevices\\\\COM5 -> \\\\Device\\\\VXNTQT70MDM0"},
    {"C4BadStringArgument", "", {BadLink},
      "IoCreateSymbolicLink: UNICODE_STRING contradicts itself"},
    {"C4BadStringArgument", "Append", {[] { RtlAppendUnicodeToString(Scratch(10, 8), L"x"); }},
      "RtlAppendUnicodeToString: the destination string is malformed: its Length is greater "
      "than its MaximumLength"},
    {"C4FormatOverrunsBlock", "", {[] {
          swprintf(static_cast<WCHAR*>(AllocateRingBuffer(10)), L"\\DosDevices\\%ws", L"COM5");
      }},
      "swprintf wrote 34 bytes .* where its pool block has 10 bytes left"},
    {"C4KeyHandleLeakedAtUnload", "", {Inside, OpenPdoKey, Unload},
      "vtdriver unloaded without closing 1 registry key handle.*Device Parameters"},
    {"C4KeyHandleLeftAtEndOfRun", "", {OpenPdoKey},
      "registry key handle.*still open at the end of the run"},
    {"C4NullResultPointer", "", {[] {
          RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"x", REG_SZ, nullptr, 4);
      }},
      "RtlWriteRegistryValue: NULL ValueData with a nonzero ValueLength"},
};

// pool
const std::vector<Row> kPool = {
    {"C2DoubleFree", "", {Inside, Allocate, Free, Free},
      "freed twice; it was freed at .*driver: vtdriver"},
    {"C2InvalidAddress", "", {[] { ExFreePool(static_cast<char*>(AllocateRingBuffer(64)) + 16); }},
      "16 bytes into the block 64 bytes 'Wdm '.*AllocateRingBuffer"},
    {"C2InvalidAddress", "NotPool", {[] { ExFreePool(&g_event); }},
      "not the start of a live pool block"},
    {"C2FreeWithWrongTag", "", {[] { ExFreePoolWithTag(AllocateRingBuffer(40), 0x67615478); }},
      "tag 'xTag' on a block allocated with tag 'Wdm '"},
    {"C2MustSucceedPool", "", {[] { ExAllocatePoolWithTag(NonPagedPoolMustSucceed, 8, kWdm); }}},
    {"C2ZeroTag", "", {[] { ExAllocatePoolWithTag(NonPagedPool, 8, 0); }}},
    {"C4UnknownPoolType", "", {[] { ExAllocatePoolWithTag((POOL_TYPE)77, 8, kWdm); }},
      "unknown pool type 77"},
    {"C4PagedFreeAboveApc", "", {AllocatePaged, Dispatch, Free}},
    {"C4NonPagedFreeAboveDispatch", "", {Allocate, High, Free}},
    {"C4NonPagedAllocAboveDispatch", "", {High, Allocate}},
    {"C4PagedAllocAboveApc", "", {Dispatch, AllocatePaged},
      "paged pool allocated at IRQL 2 \\(above APC_LEVEL\\)"},
    {"C4WrongPoolTag", "", {Inside, [] { ExAllocatePoolWithTag(NonPagedPool, 16, 0x6E645720); }},
      "vtdriver allocated pool with tag ' Wdn'; its pool tag is 'Wdm '"},
    {"C4ZeroByteAllocation", "", {[] { AllocateRingBuffer(0); }}, "zero-byte"},
    {"C1HeaderCorrupt", "", {[] { WriteAndFree(40, -1); }}, "written 1 bytes before its start"},
    // A ring index that wrapped late; 13 bytes are padded to 16 by the
    // allocator, and a write into the padding is still past the block.
    {"C1OverrunAtFree", "", {[] { WriteAndFree(4096, 4096); }},
      "written past its end \\(at byte 4096 of 4096\\)"},
    {"C1OverrunAtFree", "IntoPadding", {[] { WriteAndFree(13, 13); }},
      "past its end \\(at byte 13 of 13\\)"},
    {"C4LeakAtUnload", "", {Inside, LeakyAllocation, Unload},
      "vtdriver unloaded without freeing 1 pool block.*"
      "1024000 bytes 'Wdm ' NonPagedPool #1 allocated by vtdriver at .*LeakyAllocation"},
    {"C4LeakAtUnload", "AtEndOfRun", {Inside, [] { AllocateRingBuffer(4096); }},
      "1 pool block\\(s\\) never freed, 4096 bytes:\n"
      ".*4096 bytes 'Wdm ' NonPagedPool #1 allocated by vtdriver at .*AllocateRingBuffer"},
    {"UnloadWithWorkLeft", "", {Inside, Own, Unload}, "unloaded with IRPs outstanding"},
    {"UnloadWithWorkLeft", "Devices", {[] { Load()->object->DriverUnload = nullptr; }, Unload},
      "unloaded with device objects left"},
};

// remove locks
const std::vector<Row> kRemoveLocks = {
    {"C4RemoveLockReleaseUnheld", "", {Inside, HoldLock, ReleaseLock, ReleaseLock}},
    {"C4RemoveLockReleaseUnheld", "OtherTag", {HoldLockForgotten, ReleaseLock}},
    {"C4RemoveLockWaitUnheld", "", {Drain}},
    {"C4RemoveLockReinitialised", "", {HoldLock, Drain, InitLock},
      "after IoReleaseRemoveLockAndWait"},
    {"C4RemoveLockNotInitialised", "", {[] { IoAcquireRemoveLock(&g_zeroedLock, nullptr); }}},
    {"C4DeleteWithRemoveLockHeld", "",
      {Inside,
       [] {
           auto* lock = static_cast<PIO_REMOVE_LOCK>(Dev()->DeviceExtension);
           IoInitializeRemoveLock(lock, 0, 0, 0);
           IoAcquireRemoveLock(lock, nullptr);
           IoDeleteDevice(Dev());
       }},
      "rules.cpp:[0-9]+"},
    // Pages into a block: every page of a freed block is looked at.
    {"C4DeleteWithRemoveLockHeld", "PagesIntoAFreedBlock",
      {Inside,
       [] {
           auto* block = static_cast<char*>(AllocateRingBuffer(5 * 4096));
           auto* lock = reinterpret_cast<PIO_REMOVE_LOCK>(block + 3 * 4096 + 64);
           IoInitializeRemoveLock(lock, 0, 0, 0);
           IoAcquireRemoveLock(lock, nullptr);
           ExFreePool(block);
       }},
      "ExFreePool: remove lock"},
};

// IRPs
const std::vector<Row> kIrps = {
    // The report ends with what happened to IRPs lately, oldest first.
    Reads(
        "IrpCompletedTwice", "",
        [](PDEVICE_OBJECT, PIRP irp) {
            Done(irp);
            return Done(irp);
        },
        "already completed.*recent IRPs \\(oldest first\\):.*"
        "call IRP " PTR " IRP_MJ_READ -> [^\n]* of vtdriver at location 1\n"
        "  complete IRP " PTR " status 0x0 by vtdriver\n"),
    Reads("C9CompleteWithPending", "",
          [](PDEVICE_OBJECT, PIRP irp) { return fake::CompleteWith(irp, STATUS_PENDING); }),
    Reads(
        "C9PendingWithoutMark", "",
        [](PDEVICE_OBJECT, PIRP irp) {
            g_held = irp; // queued somewhere, but never marked pending
            return STATUS_PENDING;
        },
        "IoMarkIrpPending"),
    Reads(
        "C9CompleteWithCancelRoutine", "",
        [](PDEVICE_OBJECT, PIRP irp) {
            IoSetCancelRoutine(irp, SomeCancelRoutine);
            return Done(irp);
        },
        "SomeCancelRoutine"),
    Reads("C9MarkedButNotPending", "",
          [](PDEVICE_OBJECT, PIRP irp) {
              IoMarkIrpPending(irp);
              return Done(irp);
          }),
    Reads("C9DispatchLostIrp", "", [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }),
    Reads("C9StatusMismatch", "",
          [](PDEVICE_OBJECT, PIRP irp) {
              fake::CompleteWith(irp, STATUS_IO_DEVICE_ERROR);
              return STATUS_SUCCESS;
          }),
    Reads("C9IrqlChangedInDispatch", "", DoneAfter(Dispatch)),
    Reads("C9CompleteAboveDispatch", "", DoneAfter(High)),
    {"C9InformationOverrun", "", {[] { // the caller's buffer holds 64 bytes
          ReadThrough([](PDEVICE_OBJECT,
                         PIRP irp) { return fake::CompleteWith(irp, STATUS_SUCCESS, 1000); },
                      1, DO_BUFFERED_IO);
      }}},
    Reads("C9ReuseForeignIrp", "",
          [](PDEVICE_OBJECT, PIRP irp) {
              IoReuseIrp(irp, STATUS_SUCCESS);
              return STATUS_SUCCESS;
          }),
    Reads("C4CancelLockHeldAtReturn", "",
          [](PDEVICE_OBJECT device, PIRP irp) {
              IoSetCancelRoutine(irp, SomeCancelRoutine); // never releases the cancel lock
              return HoldPending(device, irp);
          },
          "", {[] { IoCancelIrp(g_held); }}),
    Reads("C9DeleteWithIrps", "", HoldPending, "while it holds IRPs(.|\n)*IRP_MJ_READ",
          {Inside, [] { IoDeleteDevice(Dev()); }}),
    {"SpinLockHeldAcrossCall", "", {[] {
          ReadThrough(
              [](PDEVICE_OBJECT device, PIRP irp) {
                  if (device == Dev())
                      return Done(irp);
                  Acquire();
                  return fake::PassDown(device, irp);
              },
              2);
      }},
      "IofCallDriver called while holding spin lock " PTR},
    // Called at DISPATCH_LEVEL (as from a completion routine re-arming a
    // read), so the IRQL itself does not change: only the lock gives it away.
    {"C4DispatchReturnedWithSpinLock", "",
      {[] {
           Load([](PDEVICE_OBJECT device, PIRP irp) {
               AcquireAtDpc();
               return HoldPending(device, irp);
           });
       },
       Dispatch, [] { CallOwn(); }},
      "returned holding a spin lock"},
    {"C9FreeIrpInUse",
      "", // still queued in the driver
      {[] { Load(HoldPending); }, [] { IoFreeIrp(CallOwn()); }}},
    {"C9CompletePendingBelow", "", {[] {
          SendDown(HoldPending, [](PDEVICE_OBJECT, PIRP irp) {
              IoCopyCurrentIrpStackLocationToNext(irp);
              IoCallDriver(Dev(), irp);
              return Done(irp);
          });
      }}},
    {"C9PendingNotPropagated", "",
      {[] {
           SendDown(HoldPending, [](PDEVICE_OBJECT, PIRP irp) {
               IoCopyCurrentIrpStackLocationToNext(irp);
               IoSetCompletionRoutine(
                   irp,
                   [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS { return STATUS_SUCCESS; },
                   nullptr, TRUE, TRUE, TRUE);
               return IoCallDriver(Dev(), irp);
           });
       },
       [] { fake::Driver::Complete(g_held, STATUS_SUCCESS, 0, /*atDispatch=*/true); }}},
    {"C9OwnIrpCompletedToTop", "", {Inside, [] { CallOwn(nullptr); }}, "vtdriver"},
    {"C9ForwardedAtBadIrql", "", {Inside, Dispatch, [] { CallOwn(StopWalk, IRP_MJ_PNP); }},
      "IRP_MJ_PNP"},
    {"C9CallBadDevice", "", {Inside, Own, [] { IoDeleteDevice(Dev()); }, CallHeld}},
    {"C9CallBadIrp", "", {Inside, [] { IoCallDriver(Dev(), nullptr); }}},
    {"C9CallAboveDispatch", "", {Inside, Own, High, CallHeld}},
    {"C9CallWithCancelRoutine", "",
      {Inside, Own, [] { IoSetCancelRoutine(g_held, SomeCancelRoutine); }, CallHeld}},
    {"NoStackLocationLeft", "", {Inside, [] { IoCallDriver(Dev(), IoAllocateIrp(0, FALSE)); }}},
    {"C4CompletionIrqlChanged", "",
      {Inside,
       [] {
           CallOwn([](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS {
               High();
               return STATUS_MORE_PROCESSING_REQUIRED;
           });
       }}},
    {"C9IrpFreedInRoutine", "",
      {Inside,
       [] {
           CallOwn([](PDEVICE_OBJECT, PIRP freed, PVOID) NTAPI -> NTSTATUS {
               IoFreeIrp(freed);
               return STATUS_SUCCESS;
           });
       }}},
    {"C9FreeThreadIrp", "",
      {Inside,
       [] {
           static IO_STATUS_BLOCK iosb;
           IoFreeIrp(IoBuildDeviceIoControlRequest(0x220003, Dev(), nullptr, 0, nullptr, 0, TRUE,
                                                   &g_event, &iosb));
       }}},
    {"C9BuildWithoutStatusBlock", "",
      {Inside,
       [] {
           IoBuildDeviceIoControlRequest(0x220003, Dev(), nullptr, 0, nullptr, 0, TRUE, &g_event,
                                         nullptr);
       }}},
    {"C9FreeNonIrp", "", {Own, [] { IoFreeIrp(g_held); }, [] { IoFreeIrp(g_held); }}},
    {"C9NotPowerIrp", "", {Inside, [] { PoCallDriver(Dev(), OwnIrp()); }}},
    {"C9NoDispatchRoutine", "",
      {[] { Load()->object->MajorFunction[IRP_MJ_READ] = nullptr; }, [] { Send(IRP_MJ_READ); }}},
    {"C9DetachNotAttached", "", {Inside, [] { IoDetachDevice(Dev()); }}},
    {"C9DeleteWithoutDetach", "", {[] { IoDeleteDevice(Load(Succeed, 2)->Top()); }}},
    {"C9DeviceDeletedTwice", "",
      {Inside, [] { IoDeleteDevice(Dev()); }, [] { IoDeleteDevice(Dev()); }}},
    {"C9HandlesLeftAtEndOfRun", "", {[] { Load()->Open(); }}},
    {"C9IrpsLeftAtEndOfRun", "", {Own}},
};

// Plug and Play
const std::vector<Row> kPlugAndPlay = {
    {"CaUnknownPdoGone", "", {Inside, [] { sim::PnpDeviceVanished(Dev()); }},
      "the bus reported an unknown or deleted PDO gone"},
    {"CaDuplicatePdo", "",
      {[] { sim::PnpDeviceArrived(Pdo(), "uninstalled"); },
       [] { sim::PnpDeviceArrived(Pdo(), "uninstalled"); }},
      "twice \\(duplicate PDO\\)"},
    {"CaNotPassive", "", {Dispatch, [] { sim::SetSystemPowerState(PowerSystemSleeping1); }},
      "a system power transition requested above PASSIVE_LEVEL"},
    {"CaAddDeviceLeftDevice", "",
      {[] { Plug([](PDEVICE_OBJECT) { return STATUS_UNSUCCESSFUL; }); }},
      "AddDevice of vtwdm failed with 0x[f]*c0000001 but left .* attached"},
    {"C9InitializingLeftSet", "", {[] {
          Plug([](PDEVICE_OBJECT fdo) {
              fdo->Flags |= DO_DEVICE_INITIALIZING;
              return STATUS_SUCCESS;
          });
      }},
      "returned with DO_DEVICE_INITIALIZING still set"},
    {"C9PowerPagableNotInherited", "", {[] {
          Plug([](PDEVICE_OBJECT fdo) {
              fdo->Flags &= ~DO_POWER_PAGABLE;
              return STATUS_SUCCESS;
          });
      }},
      "without being DO_POWER_PAGABLE"},
    {"CaRemoveLeftDevice", "", {[] { sim::PnpRemoveDevice(Plug({}, /*deleteOnRemove=*/false)); }}},
};

const std::vector<Row> kRows = [] {
    std::vector<Row> all;
    for (const auto* part : {&kIrqlAndSpinLocks, &kWaitsAndMutexes, &kTimersDpcsWorkItems,
                             &kNamesStringsRegistry, &kPool, &kRemoveLocks, &kIrps, &kPlugAndPlay})
        all.insert(all.end(), part->begin(), part->end());
    return all;
}();

#undef WAITS
#undef PTR

std::string Hex8(ULONG value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

const sim::RuleRow* RuleNamed(const std::string& id) {
    for (size_t i = 0; i < sim::kRuleCount; ++i)
        if (id == sim::kRules[i].id)
            return &sim::kRules[i];
    return nullptr;
}

// The report's first lines: the code (and the subcode where it is the first
// parameter), the rule's id and wording; then what this row says.
std::string Expected(const sim::RuleRow& rule, const Row& row) {
    std::string text = "STOP: " + Hex8(rule.code) + " \\(";
    if (rule.subcoded && rule.code != sim::kSpecialPoolDetectedMemoryCorruption)
        text += Hex8(rule.subcode) + ",";
    return text + ".*\nrule " + rule.id + ": " + rule.wording + "\n.*" + row.report;
}

// A failing row names itself in the message, not as bytes.
void PrintTo(const Row& row, std::ostream* os) {
    *os << row.rule << row.variant;
}

class Rules : public ::testing::TestWithParam<Row> {};

TEST_P(Rules, BreakingItStopsTheMachineNamingIt) {
    const Row& row = GetParam();
    const sim::RuleRow* rule = RuleNamed(row.rule);
    ASSERT_NE(rule, nullptr) << row.rule << " is not in the rule table";
    sim::Options options;
    options.mode = row.mode;
    EXPECT_DEATH(
        {
            sim::Kernel kernel(options);
            Prepare();
            if (row.read)
                ReadThrough(row.read);
            for (Step step : row.steps)
                step();
        },
        Expected(*rule, row));
}

INSTANTIATE_TEST_SUITE_P(Verifier, Rules, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& param) {
                             return std::string(param.param.rule) + param.param.variant;
                         });

// Rules tripped by the suites that own the Plug and Play, power and bus
// machinery they need, and rules no suite trips yet.
const char* const kTrippedElsewhere[] = {
    "PoCompletedWithoutStartNext", // power/system_transitions.cpp
    "PoDeviceDeletedWithIrp",      // power/request_irp.cpp
    "C4RequestedPowerIrp",         // power/system_transitions.cpp
    "C4PnpRemoveFailed",           // pnp/manager.cpp
    "CaBadRequest",                // pnp/manager.cpp, power/system_transitions.cpp
    "CaImageLoad",                 // pnp/manager.cpp
    "FEUrbSubmittedTwice",         // usb/bus_test.cpp
};
const char* const kNotTrippedYet[] = {
    "PoIrpTimedOut",         "PoFaultDeviceFailed", "PoNoIrp",
    "C9FreedMemoryHoldsIrp", "FEIrpSubmittedTwice",
};

TEST(RuleTable, EveryRuleHasARowAndEveryRowARule) {
    std::set<std::string> rowed;
    for (const Row& row : kRows)
        rowed.insert(row.rule);
    for (const char* id : kTrippedElsewhere)
        EXPECT_TRUE(rowed.insert(id).second) << id << " has a row here already";
    for (const char* id : kNotTrippedYet)
        EXPECT_TRUE(rowed.insert(id).second) << id << " is tripped already";
    std::set<std::string> ids;
    std::set<std::pair<ULONG, ULONG>> codes;
    for (size_t i = 0; i < sim::kRuleCount; ++i) {
        const sim::RuleRow& rule = sim::kRules[i];
        EXPECT_TRUE(ids.insert(rule.id).second) << rule.id << " is in the table twice";
        EXPECT_TRUE(codes.insert({rule.code, rule.subcoded ? rule.subcode : ~0u}).second)
            << rule.id << " shares its code and subcode with another rule";
        EXPECT_EQ(rowed.count(rule.id), 1u) << rule.id << " has no row";
    }
    for (const std::string& id : rowed)
        EXPECT_EQ(ids.count(id), 1u) << id << " is not in the rule table";
}

TEST(RuleTable, TheScaffoldingItselfBreaksNoRule) {
    // The rows fail for what they break, not for vtdriver or Prepare.
    sim::Kernel kernel;
    Prepare();
    std::unique_ptr<fake::Driver> vt(Load());
    sim::FileHandle* handle = vt->Open();
    // A major without a routine fails inside the call, as the I/O manager's default does.
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_FLUSH_BUFFERS}) {
        const sim::PendingRequest* request = sim::SendRequest(handle, {major});
        EXPECT_EQ(request->status,
                  major == IRP_MJ_READ ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(request->returned, request->status);
    }
    EXPECT_EQ(sim::CloseFile(handle), STATUS_SUCCESS);
}

} // namespace
