// Proof that the explorer bites: a small driver with the classic races, each
// of which the explored schedule must find within its seed budget, every
// time, and none of which it may find in the same driver with the race
// mended. The driver is the rig's fake driver with two devices, the lower
// one the "hardware", which answers from a DPC or a timer; `g_race` picks
// the routines, `g_mended` the correct form of each.
#include "races/races.h"

#include "common/fake_driver.h"
#include "platform/sim/api_ke.h" // WaitUntil
#include "platform/sim/sim.h"

#include <cctype>
#include <ostream>

namespace {

enum class Race {
    // The cancel routine is set after the IRP is queued, with no look at
    // Irp->Cancel: a cancel arriving in between is lost.
    LateCancelRoutine,
    // The completion routine frees the context the dispatch routine still
    // marks after IoCallDriver returned.
    ContextFreedByCompletion,
    // The DPC decrements the pending count without the lock the dispatch
    // routine updates it under: a decrement is lost and the drain never ends.
    CounterOutsideLock,
    // The time-out DPC takes the read without claiming it under the lock
    // the completion path claims it under: the read completes twice.
    TimeoutAndCompletion,
};

Race g_race;
bool g_mended;

constexpr ULONG kTag = 0x65636152; // "Race"

struct Ext {
    KSPIN_LOCK lock;
    LIST_ENTRY queue; // reads waiting for the hardware (guarded by lock)
    LONG pending;     // reads not completed yet (guarded by lock)
    KEVENT idle;      // pending reached 0
    PIRP current;     // TimeoutAndCompletion: the read in flight (guarded by lock)
    KDPC hwDpc;       // the hardware answers
    KTIMER hwTimer;
    KDPC timeoutDpc;
    KTIMER timeout;
    PIRP volatile queued; // the last read queued, for the test's canceller
};

struct Context {
    KSPIN_LOCK lock;
    BOOLEAN sent;
};

// The fake driver's two devices: the hardware's below, the top one the
// application opens.
PDEVICE_OBJECT g_top;
PDEVICE_OBJECT g_hw;

Ext* X(PDEVICE_OBJECT device) {
    return static_cast<Ext*>(device->DeviceExtension);
}

PIRP Dequeue(Ext* x) {
    KIRQL irql;
    KeAcquireSpinLock(&x->lock, &irql);
    PIRP irp = nullptr;
    if (!IsListEmpty(&x->queue))
        irp = CONTAINING_RECORD(RemoveHeadList(&x->queue), IRP, Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&x->lock, irql);
    return irp;
}

VOID NTAPI Cancel(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Ext* x = X(device);
    KIRQL irql;
    KeAcquireSpinLock(&x->lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&x->lock, irql);
    fake::CompleteWith(irp, STATUS_CANCELLED);
}

NTSTATUS QueueCancellable(Ext* x, PIRP irp) {
    IoMarkIrpPending(irp);
    KIRQL irql;
    KeAcquireSpinLock(&x->lock, &irql);
    if (g_mended) {
        IoSetCancelRoutine(irp, Cancel);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            KeReleaseSpinLock(&x->lock, irql);
            fake::CompleteWith(irp, STATUS_CANCELLED);
            return STATUS_PENDING;
        }
    }
    InsertTailList(&x->queue, &irp->Tail.Overlay.ListEntry);
    x->queued = irp;
    KeReleaseSpinLock(&x->lock, irql);
    if (!g_mended)
        IoSetCancelRoutine(irp, Cancel);
    return STATUS_PENDING;
}

NTSTATUS NTAPI UpperDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    ExFreePoolWithTag(context, kTag);
    return STATUS_SUCCESS;
}

NTSTATUS Forward(PIRP irp) {
    auto* ctx = static_cast<Context*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Context), kTag));
    if (ctx == nullptr)
        return fake::CompleteWith(irp, STATUS_INSUFFICIENT_RESOURCES);
    KeInitializeSpinLock(&ctx->lock);
    ctx->sent = FALSE;
    KIRQL irql;
    if (g_mended) {
        KeAcquireSpinLock(&ctx->lock, &irql);
        ctx->sent = TRUE;
        KeReleaseSpinLock(&ctx->lock, irql);
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, UpperDone, ctx, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(g_hw, irp);
    if (!g_mended) {
        KeAcquireSpinLock(&ctx->lock, &irql);
        ctx->sent = TRUE;
        KeReleaseSpinLock(&ctx->lock, irql);
    }
    return status;
}

NTSTATUS CountAndQueue(Ext* x, PIRP irp) {
    IoMarkIrpPending(irp);
    KIRQL irql;
    KeAcquireSpinLock(&x->lock, &irql);
    // Counted once the hardware has it, in one store: correct as long as
    // everyone who changes the count holds the lock.
    LONG pending = x->pending;
    InsertTailList(&x->queue, &irp->Tail.Overlay.ListEntry);
    KeInsertQueueDpc(&x->hwDpc, nullptr, nullptr);
    x->pending = pending + 1;
    KeClearEvent(&x->idle);
    KeReleaseSpinLock(&x->lock, irql);
    return STATUS_PENDING;
}

NTSTATUS StartTimedRead(Ext* x, PIRP irp) {
    IoMarkIrpPending(irp);
    KIRQL irql;
    KeAcquireSpinLock(&x->lock, &irql);
    x->current = irp;
    KeReleaseSpinLock(&x->lock, irql);
    // The answer comes just as the time-out falls due.
    LARGE_INTEGER due;
    due.QuadPart = -10 * 10000;
    KeSetTimer(&x->timeout, due, &x->timeoutDpc);
    KeSetTimer(&x->hwTimer, due, &x->hwDpc);
    return STATUS_PENDING;
}

NTSTATUS DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
    Ext* x = X(device);
    if (device == g_hw) {
        IoMarkIrpPending(irp);
        KIRQL irql;
        KeAcquireSpinLock(&x->lock, &irql);
        InsertTailList(&x->queue, &irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&x->lock, irql);
        KeInsertQueueDpc(&x->hwDpc, nullptr, nullptr);
        return STATUS_PENDING;
    }
    switch (g_race) {
    case Race::LateCancelRoutine:
        return QueueCancellable(x, irp);
    case Race::ContextFreedByCompletion:
        return Forward(irp);
    case Race::CounterOutsideLock:
        return CountAndQueue(x, irp);
    case Race::TimeoutAndCompletion:
        return StartTimedRead(x, irp);
    }
    return fake::CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
}

PIRP TakeCurrent(Ext* x) {
    KIRQL irql;
    KeAcquireSpinLock(&x->lock, &irql);
    PIRP irp = x->current;
    x->current = nullptr;
    KeReleaseSpinLock(&x->lock, irql);
    return irp;
}

VOID NTAPI TimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) {
    Ext* x = static_cast<Ext*>(context);
    if (g_mended) {
        if (PIRP irp = TakeCurrent(x))
            fake::CompleteWith(irp, STATUS_TIMEOUT);
        return;
    }
    PIRP irp = x->current;
    if (irp == nullptr)
        return;
    TakeCurrent(x);
    fake::CompleteWith(irp, STATUS_TIMEOUT);
}

VOID NTAPI HwDpc(PKDPC, PVOID context, PVOID, PVOID) {
    Ext* x = static_cast<Ext*>(context);
    if (g_race == Race::TimeoutAndCompletion) {
        KeCancelTimer(&x->timeout);
        if (PIRP irp = TakeCurrent(x))
            fake::CompleteWith(irp, STATUS_SUCCESS);
        return;
    }
    while (PIRP irp = Dequeue(x)) {
        fake::CompleteWith(irp, STATUS_SUCCESS);
        if (g_race != Race::CounterOutsideLock)
            continue;
        KIRQL irql;
        bool idle;
        if (g_mended) {
            KeAcquireSpinLock(&x->lock, &irql);
            idle = --x->pending == 0;
            KeReleaseSpinLock(&x->lock, irql);
        } else {
            idle = --x->pending == 0;
        }
        if (idle)
            KeSetEvent(&x->idle, IO_NO_INCREMENT, FALSE);
    }
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    if (device == g_top && g_race == Race::CounterOutsideLock)
        KeWaitForSingleObject(&X(device)->idle, Executive, KernelMode, FALSE, nullptr);
    return fake::CompleteWith(irp, STATUS_SUCCESS);
}

// Create and close are the fake driver's (they succeed).
void InitExt(PDEVICE_OBJECT device) {
    Ext* x = X(device);
    KeInitializeSpinLock(&x->lock);
    InitializeListHead(&x->queue);
    KeInitializeEvent(&x->idle, NotificationEvent, TRUE);
    KeInitializeDpc(&x->hwDpc, HwDpc, x);
    KeInitializeTimer(&x->hwTimer);
    KeInitializeDpc(&x->timeoutDpc, TimeoutDpc, x);
    KeInitializeTimer(&x->timeout);
}

fake::Config PlantedDriver() {
    fake::Config config;
    config.name = "planted";
    config.devices = 2;
    config.flags = DO_BUFFERED_IO;
    config.extensionSize = sizeof(Ext);
    config.rules = {fake::Runs(IRP_MJ_READ, DispatchRead),
                    fake::Runs(IRP_MJ_CLEANUP, DispatchCleanup)};
    return config;
}

// ---------------------------------------------------------------- the scenario

void Check(bool ok, const std::string& what) {
    if (!ok)
        sim::explore::Fail(what);
}

// Two reads (one for the races that need only one), a canceller thread for
// the cancel race, then close and unload.
void Play(Race race, bool mended, const sim::Schedule& schedule) {
    g_race = race;
    g_mended = mended;
    sim::Kernel kernel;
    sim::UseSchedule(schedule);
    fake::Driver driver(PlantedDriver());
    g_hw = driver.devices[0];
    g_top = driver.devices[1];
    {
        sim::DriverScope scope(driver.object);
        InitExt(g_hw);
        InitExt(g_top);
    }
    sim::SetRequiredPoolTag(driver.object, kTag);
    sim::FileHandle* file = nullptr;
    Check(sim::OpenFile(g_top, &file) == STATUS_SUCCESS, "open");
    char buffer[2][8];
    const int reads = race == Race::CounterOutsideLock ? 2 : 1;
    sim::PendingRequest* sent[2] = {};
    {
        sim::Thread canceller("canceller", [] {
            if (g_race != Race::LateCancelRoutine)
                return;
            sim::WaitUntil([] { return X(g_top)->queued != nullptr; }, "a read queued");
            IoCancelIrp(X(g_top)->queued);
        });
        for (int i = 0; i < reads; ++i) {
            sim::UserRequest read;
            read.major = IRP_MJ_READ;
            read.output = buffer[i];
            read.outputLength = sizeof buffer[i];
            sent[i] = sim::SendRequest(file, read);
        }
    }
    sim::AdvanceClockMs(20); // past the hardware's answer and the time-out
    for (int i = 0; i < reads; ++i) {
        Check(sent[i]->done,
              "read " + std::to_string(i) + " never completed" +
                  (race == Race::LateCancelRoutine ? " though it was cancelled" : ""));
    }
    sim::CloseFile(file);
}

struct Planted {
    const char* name;
    Race race;
    uint64_t budget; // seeds within which the explorer finds it, every time
};

const Planted kPlanted[] = {
    {"LateCancelRoutine", Race::LateCancelRoutine, 200},
    {"ContextFreedByCompletion", Race::ContextFreedByCompletion, 200},
    {"CounterOutsideLock", Race::CounterOutsideLock, 200},
    {"TimeoutAndCompletion", Race::TimeoutAndCompletion, 200},
};

// Host addresses may differ from run to run; nothing else may.
// (A plain scan: GCC 12 warns inside std::regex under AddressSanitizer.)
std::string Scrub(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text.compare(i, 2, "0x") == 0 && i + 2 < text.size() &&
            std::isxdigit((unsigned char)text[i + 2])) {
            out += "0x*";
            for (i += 2; i < text.size() && std::isxdigit((unsigned char)text[i]); ++i) {
            }
        } else {
            out += text[i++];
        }
    }
    return out;
}

void PrintTo(const Planted& p, std::ostream* os) {
    *os << p.name;
}

class PlantedRace : public ::testing::TestWithParam<Planted> {};

// Found within the budget; the finding replays from its seed alone; the
// mended driver survives the same budget.
TEST_P(PlantedRace, IsFoundWithinItsSeedBudgetAndReplays) {
    const Planted& p = GetParam();
    races::Scenario buggy{p.name, [&p](const sim::Schedule& s) { Play(p.race, false, s); },
                          p.budget};
    sim::explore::Summary found = races::Run(buggy, true);
    if (sim::explore::ReplaySeed() != 0)
        return;
    ASSERT_FALSE(found.findings.empty()) << p.name << " not found in " << p.budget << " seeds";
    const sim::explore::Finding& first = found.findings.front();
    std::printf("%s", sim::explore::FindingText(p.name, first).c_str());

    sim::explore::Plan again;
    again.firstSeed = first.seed;
    again.seeds = 1;
    again.horizon = found.horizon;
    sim::explore::Summary replay = sim::explore::Explore(p.name, again, buggy.body);
    ASSERT_EQ(replay.findings.size(), 1u) << "the seed did not replay";
    EXPECT_EQ(Scrub(replay.findings.back().report), Scrub(first.report))
        << "the seed did not replay exactly";

    races::Scenario mended{p.name, [&p](const sim::Schedule& s) { Play(p.race, true, s); },
                           p.budget};
    sim::explore::Summary clean = races::Run(mended, false);
    for (const auto& f : clean.findings)
        ADD_FAILURE() << sim::explore::FindingText(std::string(p.name) + " (mended)", f);
}

INSTANTIATE_TEST_SUITE_P(Races, PlantedRace, ::testing::ValuesIn(kPlanted),
                         [](const auto& row) { return std::string(row.param.name); });

} // namespace
