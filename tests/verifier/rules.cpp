// Every rule of the verifier's table broken on purpose: each row is a small
// bad snippet run on a fresh machine, and the run must stop with the rule's
// code and subcode, name the rule, and say what happened (and, where a row
// asks, who did it and where).
#include "test_driver.h"

#include "platform/sim/rules.h"

#include <atomic>
#include <cstdio>
#include <set>
#include <string>
#include <thread>

namespace {

using namespace vt;

struct Row {
    const char* rule;    // the table's id
    const char* variant; // another way to break the same rule ("" for the first)
    void (*bad)();       // runs with the kernel up; must not return
    const char* report;  // what the report says after the rule line (a regex)
    sim::Mode mode = sim::Mode::Deterministic;
};

KSPIN_LOCK g_lock;
KEVENT g_event;
FAST_MUTEX g_mutex;
KDPC g_dpc;
IO_REMOVE_LOCK g_removeLock;
WORK_QUEUE_ITEM g_item;

VOID NTAPI SomeCancelRoutine(PDEVICE_OBJECT, PIRP) {}
VOID NTAPI TimerRoutine(PKDPC, PVOID, PVOID, PVOID) {}
NTSTATUS NTAPI StopWalk(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI HoldPending(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    g_heldIrp = irp;
    return STATUS_PENDING;
}

void Raise(KIRQL irql) {
    KIRQL old;
    KeRaiseIrql(irql, &old);
}

// Loads the test driver with `extra` run at the end of its DriverEntry.
void LoadWith(void (*extra)(PDRIVER_OBJECT)) {
    g_entryExtra = extra;
    Load();
}

// Sends a read the driver's `read` routine handles through a handle.
void ReadThrough(PDRIVER_DISPATCH read, bool stacked = false) {
    g_dispatch[IRP_MJ_READ] = read;
    Load(stacked);
    Send(IRP_MJ_READ);
}

// An IRP of the test's own, sent to the driver's device: what a driver sends
// down the stack with IoAllocateIrp.
PIRP OwnReadIrp() {
    PIRP irp = IoAllocateIrp(g_device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, StopWalk, nullptr, TRUE, TRUE, TRUE);
    return irp;
}

void QueueDpc(PKDEFERRED_ROUTINE routine, PVOID context = nullptr) {
    KeInitializeDpc(&g_dpc, routine, context);
    KeInsertQueueDpc(&g_dpc, nullptr, nullptr);
    sim::RunUntilIdle();
}

void QueueWork(PWORKER_THREAD_ROUTINE routine) {
    ExInitializeWorkItem(&g_item, routine, nullptr);
    ExQueueWorkItem(&g_item, DelayedWorkQueue);
    sim::RunUntilIdle();
}

__attribute__((noinline)) PVOID AllocateRingBuffer(SIZE_T bytes) {
    return ExAllocatePoolWithTag(NonPagedPool, bytes, kWdm);
}

__attribute__((noinline)) PVOID LeakyAllocation() {
    return ExAllocatePoolWithTag(NonPagedPool, 1024000, kWdm);
}

// A two-device stack of the test driver: reads reaching the lower device
// run g_lowerRead, those reaching the upper one g_upperRead; an own IRP
// (stopped by its completion routine) goes to the upper device.
PDRIVER_DISPATCH g_lowerRead;
PDRIVER_DISPATCH g_upperRead;

void SendDown(PDRIVER_DISPATCH lower, PDRIVER_DISPATCH upper) {
    g_lowerRead = lower;
    g_upperRead = upper;
    g_dispatch[IRP_MJ_READ] = [](PDEVICE_OBJECT device, PIRP irp) NTAPI -> NTSTATUS {
        return (device == g_device ? g_lowerRead : g_upperRead)(device, irp);
    };
    Load(/*stacked=*/true);
    sim::DriverScope scope(g_driver);
    PIRP irp = IoAllocateIrp(g_upper->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, StopWalk, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(g_upper, irp);
}

struct TimerBlock {
    KTIMER timer;
    KDPC dpc;
};

#define PTR "0x[0-9a-f]+"

const Row kRows[] = {
    // ---------------------------------------------------------------- IRQL and spin locks
    {"SpinLockAcquiredTwice", "",
     [] {
         KIRQL a, b;
         KeInitializeSpinLock(&g_lock);
         KeAcquireSpinLock(&g_lock, &a);
         KeAcquireSpinLock(&g_lock, &b);
     },
     "KeAcquireSpinLock: spin lock " PTR " is already held by this thread"},
    {"SpinLockReleasedUnowned", "",
     [] {
         LoadWith([](PDRIVER_OBJECT) {
             KeInitializeSpinLock(&g_lock);
             Raise(DISPATCH_LEVEL);
             KeReleaseSpinLockFromDpcLevel(&g_lock);
         });
     },
     "is held by nobody.*driver: vtdriver"},
    {"SpinLockReleasedUnowned", "ByAnotherThread",
     [] {
         KeInitializeSpinLock(&g_lock);
         static std::atomic<bool> held{false};
         std::thread holder([] {
             KIRQL old;
             KeAcquireSpinLock(&g_lock, &old);
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
     },
     "spin lock " PTR " is held by thread-[0-9]+, not by this thread \\(main\\)",
     sim::Mode::Concurrent},
    {"VfSpinLockAboveDispatch", "",
     [] {
         KIRQL unused;
         KeInitializeSpinLock(&g_lock);
         Raise(HIGH_LEVEL);
         KeAcquireSpinLock(&g_lock, &unused);
     },
     "KeAcquireSpinLock at IRQL 31, above DISPATCH_LEVEL"},
    {"VfSpinLockAtDpcBelowDispatch", "",
     [] {
         KeInitializeSpinLock(&g_lock);
         KeAcquireSpinLockAtDpcLevel(&g_lock);
     },
     "KeAcquireSpinLockAtDpcLevel of " PTR " at IRQL 0, below DISPATCH_LEVEL"},
    {"VfSpinLockReleaseBadIrql", "",
     [] {
         // Releasing the outer lock first would drop to PASSIVE_LEVEL with
         // the inner one still held.
         static KSPIN_LOCK inner;
         KIRQL a, b;
         KeInitializeSpinLock(&g_lock);
         KeInitializeSpinLock(&inner);
         KeAcquireSpinLock(&g_lock, &a);
         KeAcquireSpinLock(&inner, &b);
         KeReleaseSpinLock(&g_lock, a);
     },
     "KeReleaseSpinLock of " PTR " to IRQL 0 while spin lock " PTR " is still held"},
    {"VfLowerToHigher", "",
     [] {
         Raise(APC_LEVEL);
         KeLowerIrql(DISPATCH_LEVEL);
     },
     "KeLowerIrql to IRQL 2, higher than the current IRQL 1"},
    {"VfRaiseToLower", "",
     [] {
         Raise(DISPATCH_LEVEL);
         Raise(APC_LEVEL);
     },
     "KeRaiseIrql to IRQL 1, lower than the current IRQL 2"},
    {"IrqlTooHigh", "",
     [] {
         KeInitializeEvent(&g_event, NotificationEvent, FALSE);
         Raise(HIGH_LEVEL);
         KeSetEvent(&g_event, 0, FALSE);
     },
     "KeSetEvent called at IRQL 31; it may be called at IRQL 2 at most"},
    {"PagedAccessAtDispatch", "",
     [] {
         Raise(DISPATCH_LEVEL);
         PAGED_CODE();
     },
     "pageable code \\(PAGED_CODE\\) run at IRQL 2.*rules.cpp"},
    {"IrqlLeftRaised", "",
     [] { QueueDpc([](PKDPC, PVOID, PVOID, PVOID) NTAPI { KeLowerIrql(PASSIVE_LEVEL); }); },
     "DPC routine .* returned at IRQL 0"},
    {"IrqlLeftRaised", "HoldingSpinLock",
     [] {
         LoadWith([](PDRIVER_OBJECT) {
             KeInitializeSpinLock(&g_lock);
             KeInitializeDpc(
                 &g_dpc,
                 [](PKDPC, PVOID, PVOID, PVOID) NTAPI { KeAcquireSpinLockAtDpcLevel(&g_lock); },
                 nullptr);
             KeInsertQueueDpc(&g_dpc, nullptr, nullptr);
         });
         sim::RunUntilIdle();
     },
     "DPC routine .* returned holding spin lock"},
    {"WorkerReturnedRaised", "", [] { QueueWork([](PVOID) { Raise(DISPATCH_LEVEL); }); },
     "work item routine .* returned at IRQL 2"},
    {"WorkerReturnedRaised", "HoldingSpinLock",
     [] {
         KeInitializeSpinLock(&g_lock);
         QueueWork([](PVOID) {
             KIRQL old;
             KeAcquireSpinLock(&g_lock, &old);
         });
     },
     "work item routine .* returned holding spin lock " PTR},
    // ---------------------------------------------------------------- waits and mutexes
    {"VfWaitAtDispatchInfinite", "",
     [] {
         LoadWith([](PDRIVER_OBJECT) {
             KeInitializeEvent(&g_event, NotificationEvent, FALSE);
             Raise(DISPATCH_LEVEL);
             KeWaitForSingleObject(&g_event, Executive, KernelMode, FALSE, nullptr);
         });
     },
     "KeWaitForSingleObject waits at DISPATCH_LEVEL.*driver: vtdriver"},
    {"VfWaitAtDispatchInfinite", "HoldingSpinLock",
     [] {
         KeInitializeEvent(&g_event, NotificationEvent, FALSE);
         KIRQL old;
         KeInitializeSpinLock(&g_lock);
         KeAcquireSpinLock(&g_lock, &old);
         KeWaitForSingleObject(&g_event, Executive, KernelMode, FALSE, nullptr);
     },
     "KeWaitForSingleObject waits at DISPATCH_LEVEL \\(holding spin lock " PTR "\\)"},
    {"VfWaitAtDispatchInfinite", "InADpc",
     [] {
         KeInitializeEvent(&g_event, NotificationEvent, FALSE);
         QueueDpc(
             [](PKDPC, PVOID context, PVOID, PVOID)
                 NTAPI { KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr); },
             &g_event);
     },
     "KeWaitForSingleObject waits at DISPATCH_LEVEL"},
    {"VfWaitAtDispatchTimeout", "",
     [] {
         KeInitializeEvent(&g_event, NotificationEvent, FALSE);
         Raise(DISPATCH_LEVEL);
         LARGE_INTEGER timeout;
         timeout.QuadPart = -1;
         KeWaitForSingleObject(&g_event, Executive, KernelMode, FALSE, &timeout);
     },
     "KeWaitForSingleObject waits at DISPATCH_LEVEL"},
    {"VfWaitAtDispatchTimeout", "Delay",
     [] {
         Raise(DISPATCH_LEVEL);
         LARGE_INTEGER interval;
         interval.QuadPart = -10;
         KeDelayExecutionThread(KernelMode, FALSE, &interval);
     },
     "KeDelayExecutionThread waits at DISPATCH_LEVEL"},
    {"VfFastMutexAboveApc", "",
     [] {
         ExInitializeFastMutex(&g_mutex);
         Raise(DISPATCH_LEVEL);
         ExAcquireFastMutex(&g_mutex);
     },
     "ExAcquireFastMutex of " PTR " at IRQL 2, above APC_LEVEL"},
    {"VfSelfDeadlock", "",
     [] {
         ExInitializeFastMutex(&g_mutex);
         ExAcquireFastMutex(&g_mutex);
         ExAcquireFastMutex(&g_mutex);
     },
     "which this thread \\(main\\) already holds"},
    {"VfReleaseNotOwned", "",
     [] {
         ExInitializeFastMutex(&g_mutex);
         ExAcquireFastMutex(&g_mutex);
         sim::Thread other("other", [] { ExReleaseFastMutex(&g_mutex); });
         other.Join();
     },
     "ExReleaseFastMutex of " PTR ", which is held by main, not by this thread \\(other\\)"},
    {"BadObject", "",
     [] {
         ExInitializeFastMutex(&g_mutex);
         ExAcquireFastMutex(&g_mutex);
         ExInitializeFastMutex(&g_mutex);
     },
     "ExInitializeFastMutex on fast mutex " PTR " while main holds it"},
    {"BadObject", "EventWaitedOn",
     [] {
         KeInitializeEvent(&g_event, NotificationEvent, FALSE);
         sim::Thread waiter("waiter", [] {
             KeWaitForSingleObject(&g_event, Executive, KernelMode, FALSE, nullptr);
         });
         sim::RunUntilIdle();
         KeInitializeEvent(&g_event, NotificationEvent, FALSE);
     },
     "KeInitializeEvent on event " PTR " while a thread is waiting for it"},
    // ---------------------------------------------------------------- timers, DPCs, work items
    {"C7TimerStillSet", "",
     [] {
         LoadWith([](PDRIVER_OBJECT) {
             auto* block = static_cast<TimerBlock*>(
                 ExAllocatePoolWithTag(NonPagedPool, sizeof(TimerBlock), kWdm));
             KeInitializeTimer(&block->timer);
             KeInitializeDpc(&block->dpc, TimerRoutine, nullptr);
             LARGE_INTEGER due;
             due.QuadPart = -10 * 1000 * 1000; // one second
             KeSetTimer(&block->timer, due, &block->dpc);
             ExFreePool(block);
         });
     },
     "still set"},
    {"C7TimerStillSet", "Reinitialised",
     [] {
         static KTIMER timer;
         KeInitializeTimer(&timer);
         LARGE_INTEGER due;
         due.QuadPart = -10 * 10000;
         KeSetTimer(&timer, due, nullptr);
         KeInitializeTimer(&timer);
     },
     "KeInitializeTimer on timer " PTR " \\(due in 10.0 ms\\), which is still set"},
    {"C7DpcStillQueued", "",
     [] {
         LoadWith([](PDRIVER_OBJECT) {
             auto* dpc =
                 static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), kWdm));
             KeInitializeDpc(dpc, TimerRoutine, nullptr);
             Raise(DISPATCH_LEVEL); // the DPC cannot run before the free
             KeInsertQueueDpc(dpc, nullptr, nullptr);
             ExFreePool(dpc);
         });
     },
     "queued"},
    {"E4WorkItemQueuedTwice", "",
     [] {
         ExInitializeWorkItem(
             &g_item, [](PVOID) {}, nullptr);
         ExQueueWorkItem(&g_item, DelayedWorkQueue);
         ExQueueWorkItem(&g_item, DelayedWorkQueue);
     },
     "work item " PTR ", which is already queued"},
    {"C7DpcStillQueued", "OfASetTimer",
     [] {
         static KTIMER timer;
         auto* dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), kWdm));
         KeInitializeDpc(dpc, TimerRoutine, nullptr);
         KeInitializeTimer(&timer);
         LARGE_INTEGER due;
         due.QuadPart = -10 * 10000;
         KeSetTimer(&timer, due, dpc);
         ExFreePool(dpc);
     },
     "holds DPC " PTR " of timer"},
    {"C7TimerStillSet", "AtUnload",
     [] {
         LoadWith([](PDRIVER_OBJECT) {
             static KTIMER timer;
             static KDPC dpc;
             KeInitializeTimer(&timer);
             KeInitializeDpc(&g_dpc, TimerRoutine, nullptr);
             KeInitializeDpc(&dpc, TimerRoutine, nullptr);
             LARGE_INTEGER due;
             due.QuadPart = -10 * 10000;
             KeSetTimer(&timer, due, &dpc);
             KeInsertQueueDpc(&g_dpc, nullptr, nullptr);
             ExInitializeWorkItem(
                 &g_item, [](PVOID) {}, nullptr);
             ExQueueWorkItem(&g_item, DelayedWorkQueue);
         });
         sim::UnloadDriver(g_driver);
     },
     "vtdriver unloaded leaving 3 pending operation\\(s\\): "
     "timer " PTR " .*; queued DPC " PTR " .*; queued work item " PTR},
    {"C7TimerStillSet", "AtEndOfRun",
     [] {
         LoadWith([](PDRIVER_OBJECT) {
             static KTIMER timer;
             KeInitializeTimer(&timer);
             LARGE_INTEGER due;
             due.QuadPart = -10 * 10000;
             KeSetTimer(&timer, due, nullptr);
         });
     },
     "the run ended with 1 driver operation\\(s\\) pending: timer " PTR " .* of vtdriver"},
    {"E4WorkItemInFreedMemory", "",
     [] {
         auto* item = static_cast<PWORK_QUEUE_ITEM>(
             ExAllocatePoolWithTag(NonPagedPool, sizeof(WORK_QUEUE_ITEM), kWdm));
         ExInitializeWorkItem(
             item, [](PVOID) {}, nullptr);
         ExQueueWorkItem(item, DelayedWorkQueue);
         ExFreePool(item);
     },
     "holds work item " PTR " .*which is queued"},
    {"E4WorkItemWithoutRoutine", "",
     [] {
         ExInitializeWorkItem(&g_item, nullptr, nullptr);
         ExQueueWorkItem(&g_item, DelayedWorkQueue);
     },
     "which has no worker routine"},
    {"FreedObjectInUse", "",
     [] {
         static PKEVENT event;
         event = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), kWdm));
         KeInitializeEvent(event, NotificationEvent, FALSE);
         sim::Thread waiter(
             "waiter", [] { KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr); });
         sim::RunUntilIdle();
         ExFreePool(event);
     },
     "holds object " PTR ", which 1 thread\\(s\\) wait for"},
    {"UnloadWithWorkLeft", "WorkItemRunning",
     [] {
         LoadWith([](PDRIVER_OBJECT) {
             KeInitializeEvent(&g_event, NotificationEvent, FALSE);
             ExInitializeWorkItem(
                 &g_item,
                 [](PVOID) {
                     KeWaitForSingleObject(&g_event, Executive, KernelMode, FALSE, nullptr);
                 },
                 nullptr);
             ExQueueWorkItem(&g_item, DelayedWorkQueue);
         });
         sim::RunUntilIdle();
         sim::UnloadDriver(g_driver);
     },
     "vtdriver unloaded leaving 1 pending operation\\(s\\): work item " PTR
     " routine .* still running on worker-1"},
    {"Deadlock", "UninitialisedSpinLock",
     [] {
         g_lock = 0xFEEDFACE; // pool garbage, never KeInitializeSpinLock'd
         KIRQL old;
         KeAcquireSpinLock(&g_lock, &old);
     },
     "spin lock " PTR " is held by an unknown owner \\(0xfeedface\\), which is not running"},
    {"Deadlock", "CrossedFastMutexes",
     [] {
         static FAST_MUTEX second;
         ExInitializeFastMutex(&g_mutex);
         ExInitializeFastMutex(&second);
         ExAcquireFastMutex(&g_mutex);
         sim::Thread other("other", [] {
             ExAcquireFastMutex(&second);
             ExAcquireFastMutex(&g_mutex);
         });
         sim::RunUntilIdle();
         ExAcquireFastMutex(&second);
     },
     "nothing can wake them:.*main waits in ExAcquireFastMutex\\(" PTR "\\) held by "
     "other.*other waits in ExAcquireFastMutex\\(" PTR "\\) held by main"},
    {"ForeignThread", "",
     [] {
         std::thread foreign([] {
             KeInitializeEvent(&g_event, NotificationEvent, FALSE);
             KeWaitForSingleObject(&g_event, Executive, KernelMode, FALSE, nullptr);
         });
         foreign.join();
     },
     "a thread the simulated processor does not know"},
    // ---------------------------------------------------------------- names, strings, interfaces
    {"CaInvalidPdo", "",
     [] {
         Load();
         static UNICODE_STRING name;
         static const GUID kClass = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
         (void)IoRegisterDeviceInterface(g_device, &kClass, nullptr, &name);
     },
     "IoRegisterDeviceInterface: the device object is not a physical device object"},
    {"CaInvalidPdo", "HardwareKey",
     [] {
         Load();
         HANDLE key = nullptr;
         (void)IoOpenDeviceRegistryKey(g_device, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
     },
     "IoOpenDeviceRegistryKey: the device object is not a physical device object"},
    {"C4NamesLeftAtEndOfRun", "",
     [] {
         static UNICODE_STRING link, target;
         RtlInitUnicodeString(&link, L"\\DosDevices\\COM5");
         RtlInitUnicodeString(&target, L"\\Device\\VXNTQT70MDM0");
         (void)IoCreateUnprotectedSymbolicLink(&link, &target);
     },
     "symbolic link.*end of the run.*\\\\DosDevices\\\\COM5 -> "
     "\\\\Device\\\\VXNTQT70MDM0"},
    {"IrqlTooHigh", "SymbolicLink",
     [] {
         static UNICODE_STRING link, target;
         RtlInitUnicodeString(&link, L"\\DosDevices\\COM5");
         RtlInitUnicodeString(&target, L"\\Device\\VXNTQT70MDM0");
         Raise(DISPATCH_LEVEL);
         (void)IoCreateUnprotectedSymbolicLink(&link, &target);
     },
     "IoCreateUnprotectedSymbolicLink"},
    {"IrqlTooHigh", "IntegerToString",
     [] {
         static WCHAR text[20];
         static UNICODE_STRING s = {0, sizeof text, text};
         Raise(DISPATCH_LEVEL);
         RtlIntegerToUnicodeString(1, 10, &s);
     },
     "RtlIntegerToUnicodeString"},
    {"IrqlTooHigh", "DbgPrintUnicode",
     [] {
         Raise(DISPATCH_LEVEL);
         DbgPrint("%ws\n", L"COM5");
     },
     "DbgPrint with a Unicode conversion"},
    {"C4BadStringArgument", "",
     [] {
         static UNICODE_STRING link, target;
         RtlInitUnicodeString(&link, L"\\DosDevices\\COM5");
         RtlInitUnicodeString(&target, L"\\Device\\VXNTQT70MDM0");
         target.Length = target.MaximumLength + 2;
         (void)IoCreateSymbolicLink(&link, &target);
     },
     "IoCreateSymbolicLink: UNICODE_STRING contradicts itself"},
    {"C4BadStringArgument", "Append",
     [] {
         static WCHAR text[4];
         static UNICODE_STRING s = {10, sizeof text, text};
         RtlAppendUnicodeToString(&s, L"x");
     },
     "RtlAppendUnicodeToString: the destination string is malformed: its Length is greater "
     "than its MaximumLength"},
    {"C4FormatOverrunsBlock", "",
     [] {
         auto* name = static_cast<WCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 10, kWdm));
         swprintf(name, L"\\DosDevices\\%ws", L"COM5");
     },
     "swprintf wrote 34 bytes .* where its pool block has 10 bytes left"},
    // ---------------------------------------------------------------- pool
    {"C2DoubleFree", "",
     [] {
         LoadWith([](PDRIVER_OBJECT) {
             PVOID p = ExAllocatePoolWithTag(NonPagedPool, 256, kWdm);
             ExFreePool(p);
             ExFreePool(p);
         });
     },
     "freed twice; it was freed at .*driver: vtdriver"},
    {"C2InvalidAddress", "",
     [] {
         auto* p = static_cast<char*>(AllocateRingBuffer(64));
         ExFreePool(p + 16);
     },
     "16 bytes into the block 64 bytes 'Wdm '.*AllocateRingBuffer"},
    {"C2InvalidAddress", "NotPool",
     [] {
         static UNICODE_STRING name; // a static, not pool
         ExFreePool(&name);
     },
     "not the start of a live pool block"},
    {"C2FreeWithWrongTag", "",
     [] { ExFreePoolWithTag(AllocateRingBuffer(40), 0x67615478 /* "xTag" */); },
     "tag 'xTag' on a block allocated with tag 'Wdm '"},
    {"C2MustSucceedPool", "", [] { ExAllocatePoolWithTag(NonPagedPoolMustSucceed, 8, kWdm); }, ""},
    {"C4UnknownPoolType", "", [] { ExAllocatePoolWithTag((POOL_TYPE)77, 8, kWdm); },
     "unknown pool type 77"},
    {"C4PagedFreeAboveApc", "",
     [] {
         PVOID p = ExAllocatePoolWithTag(PagedPool, 8, kWdm);
         Raise(DISPATCH_LEVEL);
         ExFreePool(p);
     },
     ""},
    {"C1HeaderCorrupt", "",
     [] {
         auto* p = static_cast<char*>(AllocateRingBuffer(40));
         p[-1] = 0;
         ExFreePool(p);
     },
     "written 1 bytes before its start"},
    {"C4WrongPoolTag", "",
     [] {
         LoadWith([](PDRIVER_OBJECT) {
             ExAllocatePoolWithTag(NonPagedPool, 16, 0x6E645720); // " Wdn"
         });
     },
     "vtdriver allocated pool with tag ' Wdn'; its pool tag is 'Wdm '"},
    {"C4ZeroByteAllocation", "", [] { ExAllocatePoolWithTag(NonPagedPool, 0, kWdm); }, "zero-byte"},
    {"C4PagedAllocAboveApc", "",
     [] {
         Raise(DISPATCH_LEVEL);
         ExAllocatePoolWithTag(PagedPool, 16, kWdm);
     },
     "paged pool allocated at IRQL 2 \\(above APC_LEVEL\\)"},
    {"C1OverrunAtFree", "",
     [] {
         auto* ring = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 4096, kWdm));
         ring[4096] = 0x7E; // one past the end: a ring index that wrapped late
         ExFreePool(ring);
     },
     "written past its end \\(at byte 4096 of 4096\\)"},
    {"C1OverrunAtFree", "IntoPadding",
     [] {
         // 13 bytes is padded to 16 by the allocator; a write into the
         // padding is still past the block.
         auto* p = static_cast<char*>(AllocateRingBuffer(13));
         p[13] = 'x';
         ExFreePool(p);
     },
     "past its end \\(at byte 13 of 13\\)"},
    {"C4LeakAtUnload", "",
     [] {
         LoadWith([](PDRIVER_OBJECT) { LeakyAllocation(); });
         sim::UnloadDriver(g_driver);
     },
     "vtdriver unloaded without freeing 1 pool block.*"
     "1024000 bytes 'Wdm ' NonPagedPool #1 allocated by vtdriver at .*LeakyAllocation"},
    {"C4LeakAtUnload", "AtEndOfRun",
     [] { LoadWith([](PDRIVER_OBJECT) { AllocateRingBuffer(4096); }); },
     "1 pool block\\(s\\) never freed, 4096 bytes:\n"
     ".*4096 bytes 'Wdm ' NonPagedPool #1 allocated by vtdriver at .*AllocateRingBuffer"},
    {"UnloadWithWorkLeft", "",
     [] {
         LoadWith([](PDRIVER_OBJECT) { g_heldIrp = IoAllocateIrp(1, FALSE); });
         sim::UnloadDriver(g_driver);
     },
     "unloaded with IRPs outstanding"},
    {"UnloadWithWorkLeft", "Devices",
     [] {
         LoadWith([](PDRIVER_OBJECT driver) { driver->DriverUnload = nullptr; });
         sim::UnloadDriver(g_driver);
     },
     "unloaded with device objects left"},
    // ---------------------------------------------------------------- remove locks
    {"C4RemoveLockReleaseUnheld", "",
     [] {
         LoadWith([](PDRIVER_OBJECT) {
             IoInitializeRemoveLock(&g_removeLock, 0, 0, 0);
             IoAcquireRemoveLock(&g_removeLock, nullptr);
             IoReleaseRemoveLock(&g_removeLock, nullptr);
             IoReleaseRemoveLock(&g_removeLock, nullptr);
         });
     },
     ""},
    {"C4RemoveLockReleaseUnheld", "OtherTag",
     [] {
         static int requestA, requestB;
         IoInitializeRemoveLock(&g_removeLock, 0, 0, 0);
         IoAcquireRemoveLock(&g_removeLock, &requestA);
         IoReleaseRemoveLock(&g_removeLock, &requestB);
     },
     ""},
    // ---------------------------------------------------------------- IRPs
    // The report ends with what happened to IRPs lately, oldest first.
    {"IrpCompletedTwice", "",
     [] {
         ReadThrough([](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
             irp->IoStatus.Status = STATUS_SUCCESS;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         });
     },
     "already completed.*recent IRPs \\(oldest first\\):.*"
     "call IRP " PTR " IRP_MJ_READ -> [^\n]* of vtdriver at location 1\n"
     "  complete IRP " PTR " status 0x0 by vtdriver\n"},
    {"C9CompleteWithPending", "",
     [] {
         ReadThrough([](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
             irp->IoStatus.Status = STATUS_PENDING;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_PENDING;
         });
     },
     ""},
    {"C9PendingWithoutMark", "",
     [] {
         ReadThrough([](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
             g_heldIrp = irp; // queued somewhere, but never marked pending
             return STATUS_PENDING;
         });
     },
     "IoMarkIrpPending"},
    {"C9CompleteWithCancelRoutine", "",
     [] {
         ReadThrough([](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
             IoSetCancelRoutine(irp, SomeCancelRoutine);
             return CompleteSuccess(nullptr, irp);
         });
     },
     "SomeCancelRoutine"},
    {"SpinLockHeldAcrossCall", "",
     [] {
         ReadThrough(
             [](PDEVICE_OBJECT device, PIRP irp) NTAPI -> NTSTATUS {
                 if (device == g_device)
                     return CompleteSuccess(device, irp);
                 KIRQL old;
                 KeInitializeSpinLock(&g_lock);
                 KeAcquireSpinLock(&g_lock, &old);
                 IoSkipCurrentIrpStackLocation(irp);
                 return IoCallDriver(g_device, irp);
             },
             /*stacked=*/true);
     },
     "IofCallDriver"},
    {"C4DispatchReturnedWithSpinLock", "",
     [] {
         // Called at DISPATCH_LEVEL (as from a completion routine re-arming
         // a read), so the IRQL itself does not change: only the lock gives
         // it away.
         g_dispatch[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
             KeInitializeSpinLock(&g_lock);
             KeAcquireSpinLockAtDpcLevel(&g_lock);
             return HoldPending(nullptr, irp);
         };
         Load();
         PIRP irp = OwnReadIrp();
         Raise(DISPATCH_LEVEL);
         IoCallDriver(g_device, irp);
     },
     "returned holding a spin lock"},
    {"C9FreeIrpInUse", "",
     [] {
         g_dispatch[IRP_MJ_READ] = HoldPending;
         Load();
         PIRP irp = OwnReadIrp();
         IoCallDriver(g_device, irp);
         IoFreeIrp(irp); // still queued in the driver
     },
     ""},
    {"C9CompletePendingBelow", "",
     [] {
         SendDown(HoldPending, [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
             IoCopyCurrentIrpStackLocationToNext(irp);
             IoCallDriver(g_device, irp);
             return CompleteSuccess(nullptr, irp);
         });
     },
     ""},
    {"C9PendingNotPropagated", "",
     [] {
         SendDown(HoldPending, [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
             IoCopyCurrentIrpStackLocationToNext(irp);
             IoSetCompletionRoutine(
                 irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS { return STATUS_SUCCESS; },
                 nullptr, TRUE, TRUE, TRUE);
             return IoCallDriver(g_device, irp);
         });
         Raise(DISPATCH_LEVEL); // completed as the bus does
         CompleteSuccess(nullptr, g_heldIrp);
     },
     ""},
    {"C9OwnIrpCompletedToTop", "",
     [] {
         g_dispatch[IRP_MJ_READ] = CompleteSuccess;
         Load();
         sim::DriverScope scope(g_driver);
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
         IoCallDriver(g_device, irp);
     },
     "vtdriver"},
    {"C9MarkedButNotPending", "",
     [] {
         ReadThrough([](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
             IoMarkIrpPending(irp);
             return CompleteSuccess(nullptr, irp);
         });
     },
     ""},
    {"C9DispatchLostIrp", "",
     [] { ReadThrough([](PDEVICE_OBJECT, PIRP) NTAPI -> NTSTATUS { return STATUS_SUCCESS; }); },
     ""},
    {"C9StatusMismatch", "",
     [] {
         ReadThrough([](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
             irp->IoStatus.Status = STATUS_IO_DEVICE_ERROR;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         });
     },
     ""},
    {"C9IrqlChangedInDispatch", "",
     [] {
         ReadThrough([](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
             Raise(DISPATCH_LEVEL);
             return CompleteSuccess(nullptr, irp);
         });
     },
     ""},
    {"SpinLockHeldAcrossCall", "OwnIrp",
     [] {
         Load();
         PIRP irp = OwnReadIrp();
         KIRQL old;
         KeInitializeSpinLock(&g_lock);
         KeAcquireSpinLock(&g_lock, &old);
         IoCallDriver(g_device, irp);
     },
     "holding spin lock"},
    {"C9ForwardedAtBadIrql", "",
     [] {
         Load();
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
         Raise(DISPATCH_LEVEL);
         IoCallDriver(g_device, irp);
     },
     "IRP_MJ_PNP"},
    {"C9CallBadDevice", "",
     [] {
         Load();
         PDEVICE_OBJECT device = g_device;
         IoDeleteDevice(device);
         IoCallDriver(device, IoAllocateIrp(1, FALSE));
     },
     ""},
    {"C9FreeThreadIrp", "",
     [] {
         Load();
         KeInitializeEvent(&g_event, NotificationEvent, FALSE);
         static IO_STATUS_BLOCK iosb;
         IoFreeIrp(IoBuildDeviceIoControlRequest(0x220003, g_device, nullptr, 0, nullptr, 0, TRUE,
                                                 &g_event, &iosb));
     },
     ""},
    {"C9FreeNonIrp", "",
     [] {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoFreeIrp(irp);
         IoFreeIrp(irp);
     },
     ""},
    {"C4RemoveLockWaitUnheld", "",
     [] {
         static int tag;
         IoInitializeRemoveLock(&g_removeLock, 0, 0, 0);
         IoReleaseRemoveLockAndWait(&g_removeLock, &tag);
     },
     ""},
    {"C4RemoveLockReinitialised", "",
     [] {
         static int tag;
         IoInitializeRemoveLock(&g_removeLock, 0, 0, 0);
         IoAcquireRemoveLock(&g_removeLock, &tag);
         IoReleaseRemoveLockAndWait(&g_removeLock, &tag);
         IoInitializeRemoveLock(&g_removeLock, 0, 0, 0);
     },
     "after IoReleaseRemoveLockAndWait"},
    {"C9DeleteWithoutDetach", "",
     [] {
         Load(/*stacked=*/true);
         IoDeleteDevice(g_upper);
     },
     ""},
    {"C4DeleteWithRemoveLockHeld", "",
     [] {
         LoadWith([](PDRIVER_OBJECT driver) {
             PDEVICE_OBJECT device;
             IoCreateDevice(driver, sizeof(IO_REMOVE_LOCK), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                            &device);
             auto* lock = static_cast<PIO_REMOVE_LOCK>(device->DeviceExtension);
             IoInitializeRemoveLock(lock, 0, 0, 0);
             static int tag;
             IoAcquireRemoveLock(lock, &tag);
             IoDeleteDevice(device);
         });
     },
     "rules.cpp:[0-9]+"},
    {"Deadlock", "",
     [] {
         // A drain that cannot end names the acquisition still holding it.
         static int forgotten, removeTag;
         IoInitializeRemoveLock(&g_removeLock, 0, 0, 0);
         IoAcquireRemoveLock(&g_removeLock, &forgotten);
         IoAcquireRemoveLock(&g_removeLock, &removeTag);
         IoReleaseRemoveLockAndWait(&g_removeLock, &removeTag);
     },
     "rules.cpp:[0-9]+"},
    {"NoStackLocationLeft", "",
     [] {
         Load();
         IoCallDriver(g_device, IoAllocateIrp(0, FALSE));
     },
     ""},
    {"C9CallBadIrp", "",
     [] {
         Load();
         IoCallDriver(g_device, nullptr);
     },
     ""},
    {"C9CallAboveDispatch", "",
     [] {
         Load();
         PIRP irp = OwnReadIrp();
         Raise(HIGH_LEVEL);
         IoCallDriver(g_device, irp);
     },
     ""},
    {"C9CallWithCancelRoutine", "",
     [] {
         Load();
         PIRP irp = OwnReadIrp();
         IoSetCancelRoutine(irp, SomeCancelRoutine);
         IoCallDriver(g_device, irp);
     },
     ""},
    {"C9CompleteAboveDispatch", "",
     [] {
         ReadThrough([](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
             Raise(HIGH_LEVEL);
             return CompleteSuccess(nullptr, irp);
         });
     },
     ""},
    {"C4CompletionIrqlChanged", "",
     [] {
         g_dispatch[IRP_MJ_READ] = CompleteSuccess;
         Load();
         PIRP irp = IoAllocateIrp(g_device->StackSize, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
         IoSetCompletionRoutine(
             irp,
             [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS {
                 Raise(HIGH_LEVEL);
                 return STATUS_MORE_PROCESSING_REQUIRED;
             },
             nullptr, TRUE, TRUE, TRUE);
         IoCallDriver(g_device, irp);
     },
     ""},
    {"C9IrpFreedInRoutine", "",
     [] {
         g_dispatch[IRP_MJ_READ] = CompleteSuccess;
         Load();
         PIRP irp = IoAllocateIrp(g_device->StackSize, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
         IoSetCompletionRoutine(
             irp,
             [](PDEVICE_OBJECT, PIRP freed, PVOID) NTAPI -> NTSTATUS {
                 IoFreeIrp(freed);
                 return STATUS_SUCCESS;
             },
             nullptr, TRUE, TRUE, TRUE);
         IoCallDriver(g_device, irp);
     },
     ""},
    {"C4CancelLockHeldAtReturn", "",
     [] {
         ReadThrough([](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
             IoSetCancelRoutine(irp, SomeCancelRoutine); // never releases the cancel lock
             return HoldPending(nullptr, irp);
         });
         IoCancelIrp(g_heldIrp);
     },
     ""},
    {"C9InformationOverrun", "",
     [] {
         g_entryExtra = [](PDRIVER_OBJECT) { g_device->Flags |= DO_BUFFERED_IO; };
         ReadThrough([](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
             irp->IoStatus.Status = STATUS_SUCCESS;
             irp->IoStatus.Information = 1000; // the caller's buffer holds 64
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         });
     },
     ""},
    {"C9ReuseForeignIrp", "",
     [] {
         ReadThrough([](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
             IoReuseIrp(irp, STATUS_SUCCESS);
             return STATUS_SUCCESS;
         });
     },
     ""},
    {"C9NoDispatchRoutine", "",
     [] {
         LoadWith([](PDRIVER_OBJECT driver) { driver->MajorFunction[IRP_MJ_READ] = nullptr; });
         Send(IRP_MJ_READ);
     },
     ""},
    {"C9NotPowerIrp", "",
     [] {
         Load();
         PoCallDriver(g_device, OwnReadIrp());
     },
     ""},
    {"C9BuildWithoutStatusBlock", "",
     [] {
         Load();
         KeInitializeEvent(&g_event, NotificationEvent, FALSE);
         IoBuildDeviceIoControlRequest(0x220003, g_device, nullptr, 0, nullptr, 0, TRUE, &g_event,
                                       nullptr);
     },
     ""},
    {"C9DetachNotAttached", "",
     [] {
         Load();
         IoDetachDevice(g_device);
     },
     ""},
    {"C9DeviceDeletedTwice", "",
     [] {
         Load();
         IoDeleteDevice(g_device);
         IoDeleteDevice(g_device);
     },
     ""},
    {"C9HandlesLeftAtEndOfRun", "",
     [] {
         Load();
         Send(IRP_MJ_FLUSH_BUFFERS); // opens a handle nobody closes
     },
     ""},
    {"C4RemoveLockNotInitialised", "",
     [] {
         static IO_REMOVE_LOCK zeroed;
         IoAcquireRemoveLock(&zeroed, nullptr);
     },
     ""},
    {"NotModelled", "", [] { KeInitializeEvent(&g_event, (EVENT_TYPE)7, FALSE); },
     "not modelled: KeInitializeEvent with event type 7"},
    {"TestApiMisuse", "", [] { sim::Kernel second; }, "only one simulated kernel"},
    {"DriverAssertion", "", [] { SimAssertFailed("count > 0", "readq.cpp", 42); },
     "driver contract broken: count > 0.*at: readq.cpp:42"},
    {"C2ZeroTag", "", [] { ExAllocatePoolWithTag(NonPagedPool, 8, 0); }, ""},
    {"C4NonPagedAllocAboveDispatch", "",
     [] {
         Raise(HIGH_LEVEL);
         ExAllocatePoolWithTag(NonPagedPool, 8, kWdm);
     },
     ""},
    {"C4NonPagedFreeAboveDispatch", "",
     [] {
         PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kWdm);
         Raise(HIGH_LEVEL);
         ExFreePool(p);
     },
     ""},
    {"VfFastMutexReleaseBadIrql", "",
     [] {
         ExInitializeFastMutex(&g_mutex);
         ExAcquireFastMutex(&g_mutex);
         Raise(DISPATCH_LEVEL);
         ExReleaseFastMutex(&g_mutex);
     },
     ""},
    {"VfSpinLockFromDpcBelowDispatch", "",
     [] {
         KeInitializeSpinLock(&g_lock);
         KeReleaseSpinLockFromDpcLevel(&g_lock);
     },
     ""},
    {"VfWaitAboveDispatch", "",
     [] {
         KeInitializeEvent(&g_event, NotificationEvent, FALSE);
         Raise(HIGH_LEVEL);
         KeWaitForSingleObject(&g_event, Executive, KernelMode, FALSE, nullptr);
     },
     ""},
    {"C9IrpsLeftAtEndOfRun", "", [] { IoAllocateIrp(1, FALSE); }, ""},
    {"C9DeleteWithIrps", "",
     [] {
         ReadThrough(HoldPending);
         sim::DriverScope scope(g_driver);
         IoDeleteDevice(g_device);
     },
     "while it holds IRPs(.|\n)*IRP_MJ_READ"},
};

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
            row.bad();
        },
        Expected(*rule, row));
}

INSTANTIATE_TEST_SUITE_P(Verifier, Rules, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& param) {
                             return std::string(param.param.rule) + param.param.variant;
                         });

// Rules tripped by the suites that own the Plug and Play, power and bus
// machinery they need (moving them here waits for one fake PnP driver in the
// shared rig), and rules no suite trips yet.
const char* const kTrippedElsewhere[] = {
    "PoCompletedWithoutStartNext", // power/system_transitions.cpp
    "PoDeviceDeletedWithIrp",      // power/request_irp.cpp
    "C4RequestedPowerIrp",         // power/request_irp.cpp
    "C4PnpRemoveFailed",           // pnp/stop_remove.cpp
    "CaBadRequest",                // pnp/stop_remove.cpp, power/system_transitions.cpp
    "CaImageLoad",                 // pnp/loader.cpp
    "FEUrbSubmittedTwice",         // usb/bulk_test.cpp
    "C4KeyHandleLeakedAtUnload",   // ob/registry.cpp
    "C4KeyHandleLeftAtEndOfRun",   // ob/registry.cpp
};
const char* const kNotTrippedYet[] = {
    "PoIrpTimedOut",         "PoFaultDeviceFailed",   "PoNoIrp",
    "C4NullResultPointer",   "C9InitializingLeftSet", "C9PowerPagableNotInherited",
    "C9FreedMemoryHoldsIrp", "CaAddDeviceLeftDevice", "CaRemoveLeftDevice",
    "CaNotPassive",          "CaDuplicatePdo",        "CaUnknownPdoGone",
    "FEIrpSubmittedTwice",
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

TEST(RuleTable, TheTestDriverItselfBreaksNoRule) {
    // The rows fail for what they break, not for the scaffolding.
    sim::Kernel kernel;
    Load();
    sim::PendingRequest* request = Send(IRP_MJ_FLUSH_BUFFERS);
    EXPECT_TRUE(request->done);
    EXPECT_EQ(request->status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(sim::CloseFile(g_handle), STATUS_SUCCESS);
    sim::UnloadDriver(g_driver);
}

} // namespace
