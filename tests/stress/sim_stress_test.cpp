// The simulated kernel's own primitives under real concurrency: the fake
// driver holds reads that a periodic timer's DPC and work items (under a
// fast mutex) complete while several handles send and cancel reads, with a
// watchdog on the completer's event, one-shot timers, DPCs and work items
// hammered from other threads at the same time. Whatever the
// interleaving, every request ends exactly once (with its data or
// cancelled), no count is lost, and the driver unloads with nothing left
// behind.
#include "stress/stress.h"

#include "common/fake_driver.h"
#include "platform/sim/api_io.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

namespace {

using stress::Deadline;
using stress::Rng;

constexpr ULONG kTag = 0x206D6457; // "Wdm "

// ---------------------------------------------------------------- the completer
// The fake driver holds every read, cancellable. The periodic timer's DPC
// completes a few on each tick at DISPATCH_LEVEL and, when more wait, hands
// one to a work item that completes it at PASSIVE_LEVEL under the fast
// mutex. A read is claimed (Take) by clearing its cancel routine first, so
// exactly one of the completer and the cancel routine owns it.
struct Completer {
    fake::Driver* driver;
    KTIMER tick;
    KDPC tickDpc;
    FAST_MUTEX mutex; // guards byWorker
    LONG byWorker;
    LONG byDpc;        // interlocked
    LONG workInFlight; // interlocked
    std::atomic<bool> stopping;
    KEVENT progress; // notification: something completed
};

struct TickWork {
    WORK_QUEUE_ITEM item;
    Completer* completer;
};

void FillAndComplete(PIRP irp) {
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    for (ULONG i = 0; i < length; i++)
        buffer[i] = static_cast<UCHAR>(i * 13 + 5);
    fake::CompleteWith(irp, STATUS_SUCCESS, length);
}

VOID NTAPI WorkerComplete(PVOID context) {
    auto* work = static_cast<TickWork*>(context);
    Completer* c = work->completer;
    ExFreePoolWithTag(work, kTag);
    ExAcquireFastMutex(&c->mutex);
    if (PIRP irp = c->driver->Take(IRP_MJ_READ)) {
        c->byWorker++;
        FillAndComplete(irp);
    }
    ExReleaseFastMutex(&c->mutex);
    KeSetEvent(&c->progress, IO_NO_INCREMENT, FALSE);
    InterlockedDecrement(&c->workInFlight);
}

VOID NTAPI TickDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* c = static_cast<Completer*>(context);
    int count = 0;
    for (PIRP irp; count < 3 && (irp = c->driver->Take(IRP_MJ_READ)) != nullptr; count++) {
        InterlockedIncrement(&c->byDpc);
        FillAndComplete(irp);
    }
    // Three taken: more may wait.
    if (count == 3 && !c->stopping && InterlockedCompareExchange(&c->workInFlight, 1, 0) == 0) {
        auto* work =
            static_cast<TickWork*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(TickWork), kTag));
        if (work == nullptr) {
            InterlockedDecrement(&c->workInFlight);
        } else {
            work->completer = c;
            ExInitializeWorkItem(&work->item, WorkerComplete, work);
            ExQueueWorkItem(&work->item, DelayedWorkQueue);
        }
    }
    if (count != 0)
        KeSetEvent(&c->progress, IO_NO_INCREMENT, FALSE);
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
    fake::Config config;
    config.name = "stressq";
    config.flags = DO_BUFFERED_IO;
    config.rules = {fake::On(IRP_MJ_READ, fake::Act::Pend)};
    fake::Driver driver(config);
    ASSERT_NE(driver.Top(), nullptr);
    Completer completer{};
    completer.driver = &driver;
    {
        sim::DriverScope scope(driver.object);
        ExInitializeFastMutex(&completer.mutex);
        KeInitializeEvent(&completer.progress, NotificationEvent, FALSE);
        KeInitializeTimer(&completer.tick);
        KeInitializeDpc(&completer.tickDpc, TickDpc, &completer);
        LARGE_INTEGER due;
        due.QuadPart = -10000; // 1 ms, then every millisecond
        KeSetTimerEx(&completer.tick, due, 1, &completer.tickDpc);
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
                if (sim::OpenFile(driver.Top(), &handle) != STATUS_SUCCESS) {
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
                ExAcquireFastMutex(&completer.mutex);
                watched++;
                ExReleaseFastMutex(&completer.mutex);
                LARGE_INTEGER timeout;
                timeout.QuadPart = -5000; // 0.5 ms
                KeWaitForSingleObject(&completer.progress, Executive, KernelMode, FALSE, &timeout);
                KeClearEvent(&completer.progress);
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
    completer.stopping = true;
    EXPECT_EQ(driver.Held(), 0u);
    KeCancelTimer(&completer.tick);
    sim::RunUntilIdle();
    const long firedBefore = oneShotDpc.runs.load();
    sim::RunUntilIdle();

    EXPECT_EQ(badStatus.load(), 0);
    EXPECT_EQ(badData.load(), 0);
    EXPECT_EQ(succeeded.load() + cancelled.load(), sent.load());
    EXPECT_EQ(succeeded.load(), completer.byDpc + completer.byWorker);
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

    RecordProperty("seed", std::to_string(seed));
    RecordProperty("requests", std::to_string(sent.load()));
}
