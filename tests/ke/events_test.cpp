// Events and waits: signal-state semantics of both event kinds, who a set
// releases, and waits that end by a set, a time-out or a timer.
#include "ke_test.h"

TEST(KeEvents, NotificationEventStaysSignalledUntilCleared) {
    sim::Kernel kernel;
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    EXPECT_EQ(KeReadStateEvent(&e), 0);
    EXPECT_EQ(KeSetEvent(&e, 0, FALSE), 0) << "KeSetEvent returns the previous state";
    EXPECT_EQ(KeSetEvent(&e, 0, FALSE), 1);
    EXPECT_EQ(ke_test::Poll(&e), STATUS_SUCCESS);
    EXPECT_EQ(ke_test::Poll(&e), STATUS_SUCCESS) << "a satisfied wait does not reset it";
    KeClearEvent(&e);
    EXPECT_EQ(ke_test::Poll(&e), STATUS_TIMEOUT);
    KeSetEvent(&e, 0, FALSE);
    EXPECT_EQ(KeResetEvent(&e), 1);
    EXPECT_EQ(KeResetEvent(&e), 0);

    KEVENT initiallySet;
    KeInitializeEvent(&initiallySet, NotificationEvent, TRUE);
    EXPECT_EQ(KeReadStateEvent(&initiallySet), 1);
}

// Who one set releases of two waiters: a notification event every waiter,
// at the set, even if it is cleared before they run (a pulse); a
// synchronization event one, in arrival order, and the set goes to the
// waiter, not to the event. With nobody waiting it stays set until one wait
// takes it (a notification event until cleared).
TEST(KeEvents, ASetReleasesEveryWaiterOrOneByTheEventsType) {
    for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
        SCOPED_TRACE(type);
        const bool one = type == SynchronizationEvent;
        sim::Kernel kernel;
        std::vector<std::string> log;
        KEVENT e;
        KeInitializeEvent(&e, type, FALSE);
        auto wait = [&](const char* name) { // what it ended with, then its name
            NTSTATUS status = KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
            log.push_back(name + std::string(status == STATUS_SUCCESS ? "" : " failed"));
        };
        sim::Thread ta("a", [&] { wait("a"); });
        sim::Thread tb("b", [&] { wait("b"); });
        sim::RunUntilIdle();
        EXPECT_TRUE(log.empty());
        EXPECT_EQ(KeSetEvent(&e, 0, FALSE), 0);
        EXPECT_EQ(KeReadStateEvent(&e), one ? 0 : 1);
        KeClearEvent(&e);
        sim::RunUntilIdle();
        EXPECT_EQ(log, (one ? std::vector<std::string>{"a"} : std::vector<std::string>{"a", "b"}));
        if (one) {
            KeSetEvent(&e, 0, FALSE);
            sim::RunUntilIdle();
            EXPECT_EQ(log, (std::vector<std::string>{"a", "b"}));
            KeSetEvent(&e, 0, FALSE);
            EXPECT_EQ(KeReadStateEvent(&e), 1);
            EXPECT_EQ(ke_test::Poll(&e), STATUS_SUCCESS);
            EXPECT_EQ(KeReadStateEvent(&e), 0);
            EXPECT_EQ(ke_test::Poll(&e), STATUS_TIMEOUT);
        }
    }
}

TEST(KeWaits, TimeOutEndsTheWaitOnTheVirtualClock) {
    sim::Kernel kernel;
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = ke_test::In(10);
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(sim::Now(), ke_test::Ms(10));

    // An absolute time-out already passed returns at once.
    KeQuerySystemTime(&timeout);
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(sim::Now(), ke_test::Ms(10));

    // An absolute one in the future ends then.
    timeout.QuadPart += ke_test::Ms(5);
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(sim::Now(), ke_test::Ms(15));
}

TEST(KeWaits, AWaitWhoseOnlyWakeUpIsATimerMovesTheClockToIt) {
    sim::Kernel kernel;
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, ke_test::In(5000), nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(sim::Now(), ke_test::Ms(5000));
    EXPECT_TRUE(KeReadStateTimer(&timer)) << "a notification timer stays signalled";
    EXPECT_EQ(sim::QueuedTimers(), 0u);
}

TEST(KeWaits, SetWithinTheTimeOutWins) {
    sim::Kernel kernel;
    ke_test::EventDpc setter;
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER timeout = ke_test::In(10);
    KeSetTimer(&timer, ke_test::In(10), &setter.dpc);
    // Due at the same instant as the time-out: the timer fires first.
    EXPECT_EQ(KeWaitForSingleObject(&setter.event, Executive, KernelMode, FALSE, &timeout),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::Now(), ke_test::Ms(10));
}

TEST(KeWaits, DelayExecutionLetsTheClockRunOnlyAsFarAsAsked) {
    sim::Kernel kernel;
    ke_test::EventDpc later;
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, ke_test::In(30), &later.dpc);
    LARGE_INTEGER interval = ke_test::In(20);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_EQ(sim::Now(), ke_test::Ms(20));
    EXPECT_EQ(KeReadStateEvent(&later.event), 0);
    sim::AdvanceClockMs(10);
    EXPECT_EQ(KeReadStateEvent(&later.event), 1);
}
