// Known-bad drivers for the kernel's IRQL and locking rules, and for timers
// and DPCs left in memory that is freed.
#include "test_driver.h"

namespace {

using namespace vt;

KSPIN_LOCK g_lock;
KEVENT g_event;
FAST_MUTEX g_mutex;
KDPC g_dpc;

TEST(VerifierLocks, WaitAtDispatchLevel) {
    g_entryExtra = [](PDRIVER_OBJECT) {
        KeInitializeEvent(&g_event, NotificationEvent, FALSE);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeWaitForSingleObject(&g_event, Executive, KernelMode, FALSE, nullptr);
    };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
        },
        STOP1("0x000000C4", "0x00000121") ".*waits at DISPATCH_LEVEL");
}

TEST(VerifierLocks, WaitHoldingSpinLock) {
    g_entryExtra = [](PDRIVER_OBJECT) {
        KeInitializeEvent(&g_event, NotificationEvent, FALSE);
        KeInitializeSpinLock(&g_lock);
        KIRQL old;
        KeAcquireSpinLock(&g_lock, &old);
        KeWaitForSingleObject(&g_event, Executive, KernelMode, FALSE, nullptr);
    };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
        },
        STOP1("0x000000C4", "0x00000121") ".*holding spin lock");
}

TEST(VerifierLocks, FastMutexAboveApcLevel) {
    g_entryExtra = [](PDRIVER_OBJECT) {
        ExInitializeFastMutex(&g_mutex);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ExAcquireFastMutex(&g_mutex);
    };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
        },
        STOP1("0x000000C4", "0x00000033"));
}

TEST(VerifierLocks, ReleasingSpinLockNotHeld) {
    g_entryExtra = [](PDRIVER_OBJECT) {
        KeInitializeSpinLock(&g_lock);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeReleaseSpinLockFromDpcLevel(&g_lock);
    };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
        },
        STOP("0x00000010") ".*held by nobody");
}

TEST(VerifierLocks, DpcReturnedHoldingSpinLock) {
    g_entryExtra = [](PDRIVER_OBJECT) {
        KeInitializeSpinLock(&g_lock);
        KeInitializeDpc(
            &g_dpc,
            [](PKDPC, PVOID, PVOID, PVOID) NTAPI { KeAcquireSpinLockAtDpcLevel(&g_lock); },
            nullptr);
        KeInsertQueueDpc(&g_dpc, nullptr, nullptr);
    };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
            sim::RunUntilIdle();
        },
        STOP("0x000000C8") ".*returned holding spin lock");
}

struct TimerBlock {
    KTIMER timer;
    KDPC dpc;
};

VOID NTAPI TimerRoutine(PKDPC, PVOID, PVOID, PVOID) {}

TEST(VerifierLocks, TimerStillSetInFreedPool) {
    g_entryExtra = [](PDRIVER_OBJECT) {
        auto* block = static_cast<TimerBlock*>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(TimerBlock), kWdm));
        KeInitializeTimer(&block->timer);
        KeInitializeDpc(&block->dpc, TimerRoutine, nullptr);
        LARGE_INTEGER due;
        due.QuadPart = -10 * 1000 * 1000; // one second
        KeSetTimer(&block->timer, due, &block->dpc);
        ExFreePool(block);
    };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
        },
        STOP1("0x000000C7", "0x00000000") ".*still set");
}

TEST(VerifierLocks, DpcStillQueuedInFreedPool) {
    g_entryExtra = [](PDRIVER_OBJECT) {
        auto* dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), kWdm));
        KeInitializeDpc(dpc, TimerRoutine, nullptr);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old); // the DPC cannot run before the free
        KeInsertQueueDpc(dpc, nullptr, nullptr);
        ExFreePool(dpc);
    };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
        },
        STOP1("0x000000C7", "0x00000001") ".*queued");
}

IO_REMOVE_LOCK g_removeLock;

TEST(VerifierRemoveLock, ReleasedMoreOftenThanAcquired) {
    g_entryExtra = [](PDRIVER_OBJECT) {
        IoInitializeRemoveLock(&g_removeLock, 0, 0, 0);
        IoAcquireRemoveLock(&g_removeLock, nullptr);
        IoReleaseRemoveLock(&g_removeLock, nullptr);
        IoReleaseRemoveLock(&g_removeLock, nullptr);
    };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
        },
        STOP1("0x000000C4", "0x000000D5"));
}

TEST(VerifierRemoveLock, ReleasedWithTagThatHoldsNone) {
    static int requestA, requestB;
    g_entryExtra = [](PDRIVER_OBJECT) {
        IoInitializeRemoveLock(&g_removeLock, 0, 0, 0);
        IoAcquireRemoveLock(&g_removeLock, &requestA);
        IoReleaseRemoveLock(&g_removeLock, &requestB);
    };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
        },
        STOP1("0x000000C4", "0x000000D5"));
}

} // namespace
