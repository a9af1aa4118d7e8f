// The IRQL and locking rules the Ke routines enforce, each broken once. Every
// case must stop the run with the Windows code and a reason naming the routine.
#include "ke_test.h"

#include <atomic>
#include <thread>

namespace {

VOID NTAPI ReturnAtDispatch(PVOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

KSPIN_LOCK g_lock;

VOID NTAPI ReturnHoldingSpinLock(PVOID) {
    KIRQL old;
    KeAcquireSpinLock(&g_lock, &old);
}

VOID NTAPI DpcLowersIrql(PKDPC, PVOID, PVOID, PVOID) {
    KeLowerIrql(PASSIVE_LEVEL);
}

VOID NTAPI DpcKeepsSpinLock(PKDPC, PVOID, PVOID, PVOID) {
    KeAcquireSpinLockAtDpcLevel(&g_lock);
}

VOID NTAPI DpcWaits(PKDPC, PVOID context, PVOID, PVOID) {
    KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
}

} // namespace

TEST(KeIrqlRules, SpinLockRaisesToDispatchAndRestoresTheCallersIrql) {
    sim::Kernel kernel;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL outer;
    KIRQL inner;
    KeAcquireSpinLock(&lock, &outer);
    EXPECT_EQ(outer, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KSPIN_LOCK second;
    KeInitializeSpinLock(&second);
    KeAcquireSpinLockAtDpcLevel(&second);
    KeReleaseSpinLockFromDpcLevel(&second);
    KeAcquireSpinLock(&second, &inner);
    EXPECT_EQ(inner, DISPATCH_LEVEL);
    KeReleaseSpinLock(&second, inner);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, outer);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(lock, 0u) << "a free lock reads zero again";
}

TEST(KeIrqlRulesDeathTest, SpinLockAcquiredTwiceByOneThread) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            KSPIN_LOCK lock;
            KIRQL a;
            KIRQL b;
            KeInitializeSpinLock(&lock);
            KeAcquireSpinLock(&lock, &a);
            KeAcquireSpinLock(&lock, &b);
        },
        "STOP: 0x0000000F.*KeAcquireSpinLock: spin lock 0x[0-9a-f]+ is already held by this "
        "thread");
}

TEST(KeIrqlRulesDeathTest, SpinLockReleasedWithoutBeingHeld) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeReleaseSpinLock(&lock, old);
        },
        "STOP: 0x00000010.*KeReleaseSpinLock: spin lock 0x[0-9a-f]+ is held by nobody");
}

TEST(KeIrqlRulesDeathTest, SpinLockReleasedByAThreadThatDoesNotHoldIt) {
    EXPECT_DEATH(
        {
            sim::Options options;
            options.mode = sim::Mode::Concurrent;
            sim::Kernel kernel(options);
            static KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            static std::atomic<bool> held{false};
            std::thread holder([] {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                held = true;
                for (;;)
                    std::this_thread::yield();
            });
            holder.detach();
            while (!held)
                std::this_thread::yield();
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeReleaseSpinLock(&lock, old);
        },
        "STOP: 0x00000010.*spin lock 0x[0-9a-f]+ is held by thread-[0-9]+, not by this thread "
        "\\(main\\)");
}

TEST(KeIrqlRulesDeathTest, SpinLockAcquiredAboveDispatch) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KIRQL unused;
            KeRaiseIrql(HIGH_LEVEL, &old);
            KeAcquireSpinLock(&lock, &unused);
        },
        "STOP: 0x000000C4 \\(0x00000042,.*KeAcquireSpinLock at IRQL 31, above DISPATCH_LEVEL");
}

TEST(KeIrqlRulesDeathTest, SpinLockAtDpcLevelTakenBelowDispatch) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KeAcquireSpinLockAtDpcLevel(&lock);
        },
        "STOP: 0x000000C4 \\(0x00000040,.*KeAcquireSpinLockAtDpcLevel of 0x[0-9a-f]+ at IRQL 0, "
        "below DISPATCH_LEVEL");
}

TEST(KeIrqlRulesDeathTest, SpinLocksReleasedOutOfOrderBackToPassive) {
    // Releasing the outer lock first would drop to PASSIVE_LEVEL with the
    // inner one still held.
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            KSPIN_LOCK outer;
            KSPIN_LOCK inner;
            KeInitializeSpinLock(&outer);
            KeInitializeSpinLock(&inner);
            KIRQL a;
            KIRQL b;
            KeAcquireSpinLock(&outer, &a);
            KeAcquireSpinLock(&inner, &b);
            KeReleaseSpinLock(&outer, a);
        },
        "KeReleaseSpinLock of 0x[0-9a-f]+ to IRQL 0 while spin lock 0x[0-9a-f]+ is still held");
}

TEST(KeIrqlRulesDeathTest, WaitAtDispatchWithNoTimeOut) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            KEVENT e;
            KeInitializeEvent(&e, NotificationEvent, FALSE);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
        },
        "STOP: 0x000000C4 \\(0x00000121,.*KeWaitForSingleObject waits at DISPATCH_LEVEL");
}

TEST(KeIrqlRulesDeathTest, WaitAtDispatchWithANonZeroTimeOut) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            KEVENT e;
            KeInitializeEvent(&e, NotificationEvent, FALSE);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            LARGE_INTEGER timeout;
            timeout.QuadPart = -1;
            KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &timeout);
        },
        "STOP: 0x000000C4 \\(0x00000122,.*KeWaitForSingleObject waits at DISPATCH_LEVEL");
}

TEST(KeIrqlRulesDeathTest, WaitHoldingASpinLock) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            KEVENT e;
            KeInitializeEvent(&e, NotificationEvent, FALSE);
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
        },
        "KeWaitForSingleObject waits at DISPATCH_LEVEL \\(holding spin lock 0x[0-9a-f]+\\)");
}

TEST(KeIrqlRulesDeathTest, DelayExecutionAtDispatch) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            LARGE_INTEGER interval;
            interval.QuadPart = -10;
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
        },
        "KeDelayExecutionThread waits at DISPATCH_LEVEL");
}

TEST(KeIrqlRulesDeathTest, FastMutexAcquiredAboveApcLevel) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            FAST_MUTEX mutex;
            ExInitializeFastMutex(&mutex);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAcquireFastMutex(&mutex);
        },
        "STOP: 0x000000C4 \\(0x00000033,.*ExAcquireFastMutex of 0x[0-9a-f]+ at IRQL 2, above "
        "APC_LEVEL");
}

TEST(KeIrqlRulesDeathTest, FastMutexAcquiredRecursively) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            FAST_MUTEX mutex;
            ExInitializeFastMutex(&mutex);
            ExAcquireFastMutex(&mutex);
            ExAcquireFastMutex(&mutex);
        },
        "STOP: 0x000000C4 \\(0x00001000,.*which this thread \\(main\\) already holds");
}

TEST(KeIrqlRulesDeathTest, FastMutexReleasedByAThreadThatDoesNotOwnIt) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            FAST_MUTEX mutex;
            ExInitializeFastMutex(&mutex);
            ExAcquireFastMutex(&mutex);
            sim::Thread other("other", [&] { ExReleaseFastMutex(&mutex); });
            other.Join();
        },
        "STOP: 0x000000C4 \\(0x00001003,.*ExReleaseFastMutex of 0x[0-9a-f]+, which is held by "
        "main, "
        "not by this thread \\(other\\)");
}

TEST(KeIrqlRulesDeathTest, FastMutexReinitialisedWhileHeld) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            FAST_MUTEX mutex;
            ExInitializeFastMutex(&mutex);
            ExAcquireFastMutex(&mutex);
            ExInitializeFastMutex(&mutex);
        },
        "ExInitializeFastMutex on fast mutex 0x[0-9a-f]+ while main holds it");
}

TEST(KeIrqlRulesDeathTest, IrqlLoweredToAHigherLevel) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            KIRQL old;
            KeRaiseIrql(APC_LEVEL, &old);
            KeLowerIrql(DISPATCH_LEVEL);
        },
        "STOP: 0x000000C4 \\(0x00000031,.*KeLowerIrql to IRQL 2, higher than the current IRQL 1");
}

TEST(KeIrqlRulesDeathTest, IrqlRaisedToALowerLevel) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            KIRQL old;
            KIRQL again;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeRaiseIrql(APC_LEVEL, &again);
        },
        "STOP: 0x000000C4 \\(0x00000030,.*KeRaiseIrql to IRQL 1, lower than the current IRQL 2");
}

TEST(KeIrqlRulesDeathTest, WorkItemReturningAtRaisedIrql) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            WORK_QUEUE_ITEM item;
            ExInitializeWorkItem(&item, ReturnAtDispatch, nullptr);
            ExQueueWorkItem(&item, DelayedWorkQueue);
            sim::RunUntilIdle();
        },
        "STOP: 0x000000E1.*work item routine .* returned at IRQL 2");
}

TEST(KeIrqlRulesDeathTest, WorkItemReturningHoldingASpinLock) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            KeInitializeSpinLock(&g_lock);
            WORK_QUEUE_ITEM item;
            ExInitializeWorkItem(&item, ReturnHoldingSpinLock, nullptr);
            ExQueueWorkItem(&item, DelayedWorkQueue);
            sim::RunUntilIdle();
        },
        "STOP: 0x000000E1.*work item routine .* returned holding spin lock 0x[0-9a-f]+");
}

TEST(KeIrqlRulesDeathTest, DpcReturningBelowDispatch) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            KDPC dpc;
            KeInitializeDpc(&dpc, DpcLowersIrql, nullptr);
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
            sim::RunUntilIdle();
        },
        "STOP: 0x000000C8.*DPC routine .* returned at IRQL 0");
}

TEST(KeIrqlRulesDeathTest, DpcReturningHoldingASpinLock) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            KeInitializeSpinLock(&g_lock);
            KDPC dpc;
            KeInitializeDpc(&dpc, DpcKeepsSpinLock, nullptr);
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
            sim::RunUntilIdle();
        },
        "STOP: 0x000000C8.*DPC routine .* returned holding spin lock");
}

TEST(KeIrqlRulesDeathTest, DpcThatWaits) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            static KEVENT e;
            KeInitializeEvent(&e, NotificationEvent, FALSE);
            KDPC dpc;
            KeInitializeDpc(&dpc, DpcWaits, &e);
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
            sim::RunUntilIdle();
        },
        "STOP: 0x000000C4 \\(0x00000121,.*KeWaitForSingleObject waits at DISPATCH_LEVEL");
}

TEST(KeIrqlRulesDeathTest, TimerReinitialisedWhileSet) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            KTIMER timer;
            KeInitializeTimer(&timer);
            LARGE_INTEGER due;
            due.QuadPart = -ke_test::Ms(10);
            KeSetTimer(&timer, due, nullptr);
            KeInitializeTimer(&timer);
        },
        "STOP: 0x000000C7 \\(0x00000000,.*KeInitializeTimer on timer 0x[0-9a-f]+ \\(due in 10.0 "
        "ms\\), "
        "which is still set");
}

TEST(KeIrqlRulesDeathTest, EventReinitialisedWhileAThreadWaitsForIt) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            KEVENT e;
            KeInitializeEvent(&e, NotificationEvent, FALSE);
            sim::Thread waiter("waiter", [&] {
                KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
            });
            sim::RunUntilIdle();
            KeInitializeEvent(&e, NotificationEvent, FALSE);
        },
        "KeInitializeEvent on event 0x[0-9a-f]+ while a thread is waiting for it");
}

TEST(KeIrqlRulesDeathTest, SetEventAboveDispatch) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            KEVENT e;
            KeInitializeEvent(&e, NotificationEvent, FALSE);
            KIRQL old;
            KeRaiseIrql(HIGH_LEVEL, &old);
            KeSetEvent(&e, 0, FALSE);
        },
        "STOP: 0x0000000A.*KeSetEvent called at IRQL 31; it may be called at IRQL 2 at most");
}

TEST(KeIrqlRulesDeathTest, PagedCodeAtDispatch) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            PAGED_CODE();
        },
        "STOP: 0x000000D1.*pageable code \\(PAGED_CODE\\) run at IRQL 2.*irql_rules_test.cpp");
}

TEST(KeIrqlRulesDeathTest, WorkItemQueuedTwice) {
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            WORK_QUEUE_ITEM item;
            ExInitializeWorkItem(&item, ReturnAtDispatch, nullptr);
            ExQueueWorkItem(&item, DelayedWorkQueue);
            ExQueueWorkItem(&item, DelayedWorkQueue);
        },
        "STOP: 0x000000E4 \\(0x00000001,.*work item 0x[0-9a-f]+, which is already queued");
}
