// The simulated kernel's own primitives under real concurrency: a small
// queueing driver whose requests are completed by a periodic timer's DPC and
// by work items (under its spin lock and fast mutex) while several handles
// send and cancel reads, with a watchdog on its event, one-shot timers, DPCs
// and work items hammered from other threads at the same time. Whatever the
// interleaving, every request ends exactly once (with its data or
// cancelled), no count is lost, and the driver unloads with nothing left
// behind.
#include "stress/stress.h"

#include "common/fake_driver.h" // CompleteWith
#include "platform/sim/api_io.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

namespace {

using stress::Deadline;
using stress::Rng;

constexpr ULONG kTag = 0x206D6457; // "Wdm "

// ---------------------------------------------------------------- the queueing driver
// Reads wait in Queue until the completer takes them: the periodic timer's
// DPC completes a few on each tick at DISPATCH_LEVEL, and hands one now and
// then to a work item that completes it at PASSIVE_LEVEL under the fast
// mutex. A read is taken off the queue only by clearing its cancel routine
// first, so exactly one of the completer and the cancel routine owns it.
struct QueueExtension {
    KSPIN_LOCK Lock;    // guards Queue, Stopping
    LIST_ENTRY Queue;
    BOOLEAN Stopping;
    KTIMER Tick;
    KDPC TickDpc;
    FAST_MUTEX Mutex;   // guards ByWorker
    LONG ByWorker;
    LONG ByDpc;         // interlocked
    LONG Cancelled;     // interlocked
    LONG WorkInFlight;  // interlocked
    KEVENT Progress;    // notification: something completed
};

struct TickWork {
    WORK_QUEUE_ITEM Item;
    QueueExtension* Ext;
};

QueueExtension* Ext(PDEVICE_OBJECT device) {
    return static_cast<QueueExtension*>(device->DeviceExtension);
}

void FillAndComplete(PIRP irp) {
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    for (ULONG i = 0; i < length; i++)
        buffer[i] = static_cast<UCHAR>(i * 13 + 5);
    fake::CompleteWith(irp, STATUS_SUCCESS, length);
}

// Caller holds Lock.
PIRP TakeOne(QueueExtension* ext) {
    while (!IsListEmpty(&ext->Queue)) {
        PLIST_ENTRY entry = RemoveHeadList(&ext->Queue);
        InitializeListHead(entry);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, nullptr) != nullptr)
            return irp;
    }
    return nullptr;
}

VOID NTAPI CancelRead(PDEVICE_OBJECT device, PIRP irp) {
    QueueExtension* ext = Ext(device);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL old;
    KeAcquireSpinLock(&ext->Lock, &old);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&ext->Lock, old);
    InterlockedIncrement(&ext->Cancelled);
    fake::CompleteWith(irp, STATUS_CANCELLED);
}

NTSTATUS NTAPI QueueRead(PDEVICE_OBJECT device, PIRP irp) {
    QueueExtension* ext = Ext(device);
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length == 0)
        return fake::CompleteWith(irp, STATUS_SUCCESS);
    KIRQL old;
    KeAcquireSpinLock(&ext->Lock, &old);
    NTSTATUS refusal = STATUS_SUCCESS;
    if (ext->Stopping) {
        refusal = STATUS_DELETE_PENDING;
    } else {
        IoSetCancelRoutine(irp, CancelRead);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr)
            refusal = STATUS_CANCELLED;
    }
    if (refusal != STATUS_SUCCESS) {
        KeReleaseSpinLock(&ext->Lock, old);
        return fake::CompleteWith(irp, refusal);
    }
    IoMarkIrpPending(irp);
    InsertTailList(&ext->Queue, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&ext->Lock, old);
    return STATUS_PENDING;
}

NTSTATUS NTAPI Succeed(PDEVICE_OBJECT, PIRP irp) {
    return fake::CompleteWith(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI QueueDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = Succeed;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Succeed;
    driver->MajorFunction[IRP_MJ_CLOSE] = Succeed;
    driver->MajorFunction[IRP_MJ_READ] = QueueRead;
    return STATUS_SUCCESS;
}

VOID NTAPI WorkerComplete(PVOID context) {
    auto* work = static_cast<TickWork*>(context);
    QueueExtension* ext = work->Ext;
    ExFreePoolWithTag(work, kTag);
    ExAcquireFastMutex(&ext->Mutex);
    KIRQL old;
    KeAcquireSpinLock(&ext->Lock, &old);
    PIRP irp = TakeOne(ext);
    KeReleaseSpinLock(&ext->Lock, old);
    if (irp != nullptr) {
        ext->ByWorker++;
        FillAndComplete(irp);
    }
    ExReleaseFastMutex(&ext->Mutex);
    KeSetEvent(&ext->Progress, IO_NO_INCREMENT, FALSE);
    InterlockedDecrement(&ext->WorkInFlight);
}

VOID NTAPI TickDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* ext = static_cast<QueueExtension*>(context);
    PIRP taken[3] = {};
    int count = 0;
    BOOLEAN handOff = FALSE;
    KeAcquireSpinLockAtDpcLevel(&ext->Lock);
    while (count < 3 && (taken[count] = TakeOne(ext)) != nullptr)
        count++;
    handOff = !ext->Stopping && !IsListEmpty(&ext->Queue);
    KeReleaseSpinLockFromDpcLevel(&ext->Lock);
    for (int i = 0; i < count; i++) {
        InterlockedIncrement(&ext->ByDpc);
        FillAndComplete(taken[i]);
    }
    if (handOff && InterlockedCompareExchange(&ext->WorkInFlight, 1, 0) == 0) {
        auto* work = static_cast<TickWork*>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(TickWork), kTag));
        if (work == nullptr) {
            InterlockedDecrement(&ext->WorkInFlight);
        } else {
            work->Ext = ext;
            ExInitializeWorkItem(&work->Item, WorkerComplete, work);
            ExQueueWorkItem(&work->Item, DelayedWorkQueue);
        }
    }
    if (count != 0)
        KeSetEvent(&ext->Progress, IO_NO_INCREMENT, FALSE);
}

// ---------------------------------------------------------------- side loads
struct CountedDpc {
    KDPC dpc;
    std::atomic<long> runs{0};
    static VOID NTAPI Routine(PKDPC, PVOID context, PVOID, PVOID) {
        static_cast<CountedDpc*>(context)->runs++;
    }
};

struct CountedWork {
    WORK_QUEUE_ITEM item;
    std::atomic<long>* runs;
    static VOID NTAPI Routine(PVOID context) {
        auto* self = static_cast<CountedWork*>(context);
        std::atomic<long>* runs = self->runs;
        ExFreePoolWithTag(self, kTag);
        (*runs)++;
    }
};

} // namespace

TEST(SimStress, RequestsCancelledAndCompletedFromEveryContextEndExactlyOnce) {
    sim::Kernel kernel(stress::ConcurrentOptions());
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = sim::CreateDriver("stressq", QueueDriverEntry, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, sizeof(QueueExtension), nullptr, FILE_DEVICE_UNKNOWN, 0,
                             FALSE, &device),
              STATUS_SUCCESS);
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    QueueExtension* ext = Ext(device);
    {
        sim::DriverScope scope(driver);
        KeInitializeSpinLock(&ext->Lock);
        InitializeListHead(&ext->Queue);
        ExInitializeFastMutex(&ext->Mutex);
        KeInitializeEvent(&ext->Progress, NotificationEvent, FALSE);
        KeInitializeTimer(&ext->Tick);
        KeInitializeDpc(&ext->TickDpc, TickDpc, ext);
        LARGE_INTEGER due;
        due.QuadPart = -10000; // 1 ms, then every millisecond
        KeSetTimerEx(&ext->Tick, due, 1, &ext->TickDpc);
    }

    const uint64_t seed = stress::Seed();
    Deadline deadline(stress::RunMs());
    std::atomic<long> succeeded{0}, cancelled{0}, sent{0}, badData{0}, badStatus{0};

    std::atomic<long> watched{0};
    KTIMER oneShot;
    KeInitializeTimer(&oneShot);
    CountedDpc oneShotDpc;
    KeInitializeDpc(&oneShotDpc.dpc, CountedDpc::Routine, &oneShotDpc);
    std::atomic<long> armed{0}, replaced{0}, cancelledTimers{0};

    CountedDpc shared[3];
    for (auto& d : shared)
        KeInitializeDpc(&d.dpc, CountedDpc::Routine, &d);
    std::atomic<long> inserted{0};
    std::atomic<long> workQueued{0}, workRuns{0};

    {
        std::vector<std::unique_ptr<sim::Thread>> threads;
        for (int c = 0; c < 4; c++) {
            threads.push_back(std::make_unique<sim::Thread>("client", [&, c] {
                Rng rng(seed * 31 + c);
                sim::FileHandle* handle = nullptr;
                if (sim::OpenFile(device, &handle) != STATUS_SUCCESS) {
                    badStatus++;
                    return;
                }
                std::vector<std::vector<UCHAR>> buffers(4);
                while (!deadline.Passed()) {
                    const int batch = 1 + static_cast<int>(rng.Below(4));
                    std::vector<sim::PendingRequest*> requests;
                    for (int i = 0; i < batch; i++) {
                        buffers[i].assign(1 + rng.Below(64), 0);
                        sim::UserRequest r;
                        r.major = IRP_MJ_READ;
                        r.output = buffers[i].data();
                        r.outputLength = static_cast<ULONG>(buffers[i].size());
                        requests.push_back(sim::SendRequest(handle, r));
                        sent++;
                    }
                    if (rng.Below(10) < 3)
                        sim::CancelRequests(handle);
                    for (int i = 0; i < batch; i++) {
                        NTSTATUS s = sim::WaitRequest(requests[i]);
                        if (s == STATUS_SUCCESS &&
                            requests[i]->information == buffers[i].size()) {
                            succeeded++;
                            for (size_t k = 0; k < buffers[i].size(); k++)
                                if (buffers[i][k] != static_cast<UCHAR>(k * 13 + 5))
                                    badData++;
                        } else if (s == STATUS_CANCELLED && requests[i]->information == 0) {
                            cancelled++;
                        } else {
                            badStatus++;
                        }
                    }
                }
                if (sim::CloseFile(handle) != STATUS_SUCCESS)
                    badStatus++;
            }));
        }
        // Takes the driver's fast mutex against its work items, and waits
        // for its progress with a time-out, as a watchdog would. (The
        // primitives on their own: tests/ke/concurrent_test.cpp.)
        threads.push_back(std::make_unique<sim::Thread>("watcher", [&] {
            while (!deadline.Passed()) {
                ExAcquireFastMutex(&ext->Mutex);
                watched++;
                ExReleaseFastMutex(&ext->Mutex);
                LARGE_INTEGER timeout;
                timeout.QuadPart = -5000; // 0.5 ms
                KeWaitForSingleObject(&ext->Progress, Executive, KernelMode, FALSE, &timeout);
                KeClearEvent(&ext->Progress);
            }
        }));
        threads.push_back(std::make_unique<sim::Thread>("timers", [&] {
            Rng rng(seed * 7 + 1);
            while (!deadline.Passed()) {
                LARGE_INTEGER due;
                due.QuadPart = -static_cast<LONGLONG>(rng.Below(20000)); // 0 to 2 ms
                armed++;
                if (KeSetTimer(&oneShot, due, &oneShotDpc.dpc))
                    replaced++;
                if (rng.Below(3) == 0 && KeCancelTimer(&oneShot))
                    cancelledTimers++;
                for (auto& d : shared) {
                    if (KeInsertQueueDpc(&d.dpc, nullptr, nullptr))
                        inserted++;
                }
                if (rng.Below(4) == 0) {
                    auto* work = static_cast<CountedWork*>(
                        ExAllocatePoolWithTag(NonPagedPool, sizeof(CountedWork), kTag));
                    if (work != nullptr) {
                        work->runs = &workRuns;
                        ExInitializeWorkItem(&work->item, CountedWork::Routine, work);
                        workQueued++;
                        ExQueueWorkItem(&work->item, DelayedWorkQueue);
                    }
                }
                LARGE_INTEGER pause;
                pause.QuadPart = -static_cast<LONGLONG>(rng.Below(3000));
                KeDelayExecutionThread(KernelMode, FALSE, &pause);
            }
            KeCancelTimer(&oneShot);
        }));
    }

    // Every request has ended; stop the completer and let what it queued run.
    {
        KIRQL old;
        KeAcquireSpinLock(&ext->Lock, &old);
        ext->Stopping = TRUE;
        EXPECT_TRUE(IsListEmpty(&ext->Queue));
        KeReleaseSpinLock(&ext->Lock, old);
    }
    KeCancelTimer(&ext->Tick);
    sim::RunUntilIdle();
    const long firedBefore = oneShotDpc.runs.load();
    sim::RunUntilIdle();

    EXPECT_EQ(badStatus.load(), 0);
    EXPECT_EQ(badData.load(), 0);
    EXPECT_EQ(succeeded.load() + cancelled.load(), sent.load());
    EXPECT_EQ(succeeded.load(), ext->ByDpc + ext->ByWorker);
    EXPECT_EQ(cancelled.load(), ext->Cancelled);
    EXPECT_GT(succeeded.load(), 0);
    EXPECT_GT(watched.load(), 0);
    // A timer that expires while its DPC is still queued does not queue it
    // twice, so the DPC may run fewer times than the timer expired.
    EXPECT_LE(oneShotDpc.runs.load() + replaced.load() + cancelledTimers.load(), armed.load());
    EXPECT_EQ(oneShotDpc.runs.load(), firedBefore) << "a cancelled timer fired";
    long runs = 0;
    for (auto& d : shared)
        runs += d.runs.load();
    EXPECT_EQ(runs, inserted.load());
    EXPECT_EQ(workRuns.load(), workQueued.load());
    EXPECT_EQ(sim::QueuedDpcs(), 0u);
    EXPECT_EQ(sim::QueuedWorkItems(), 0u);
    EXPECT_EQ(sim::OutstandingIrps(), 0u);

    IoDeleteDevice(device);
    sim::UnloadDriver(driver);
    RecordProperty("seed", std::to_string(seed));
    RecordProperty("requests", std::to_string(sent.load()));
}
