// What the verifier must let pass: the near misses of its rules. Each row
// runs on a fresh machine to the end of the run (its end checks included)
// and must not stop it.
#include "common/fake_driver.h"

#include "platform/sim/ex_internal.h"
#include "platform/sim/internal.h"

#include <gtest/gtest.h>

namespace {

constexpr ULONG kWdm = 0x206D6457; // "Wdm "

template <typename F> void AtDispatch(F body) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    body();
    KeLowerIrql(old);
}

VOID NTAPI Nothing(PKDPC, PVOID, PVOID, PVOID) {}
VOID NTAPI NoWork(PVOID) {}

// A timer, a DPC and a work item, each set or queued (or only initialised).
struct Deferred {
    KTIMER timer;
    KDPC dpc;
    WORK_QUEUE_ITEM item;
    explicit Deferred(bool queued) {
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, Nothing, nullptr);
        ExInitializeWorkItem(&item, NoWork, nullptr);
        if (!queued)
            return;
        LARGE_INTEGER due;
        due.QuadPart = -10 * 10000;
        KeSetTimer(&timer, due, &dpc);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        ExQueueWorkItem(&item, DelayedWorkQueue);
    }
    ~Deferred() {
        KeCancelTimer(&timer);
        sim::RunUntilIdle();
    }
};

struct Allowed {
    const char* name;
    void (*run)();
};

const Allowed kAllowed[] = {
    {"NonPagedPoolAtDispatch",
     [] { AtDispatch([] { ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, kWdm)); }); }},
    // Test code and the simulation allocate outside any driver; no tag rule
    // applies there, only the pool's own.
    {"UntaggedPoolOutsideAnyDriver", [] { ExFreePool(ExAllocatePool(NonPagedPool, 32)); }},
    {"RequiredTagChangedOrLifted",
     [] {
         fake::NamedDriver other(L"\\Driver\\other");
         sim::SetRequiredPoolTag(other.get(), 0x7268744F); // "Othr"
         sim::DriverScope scope(other.get());
         ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, 0x7268744F));
         sim::SetRequiredPoolTag(other.get(), 0);
         ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, 0x796E4120)); // " Any"
     }},
    {"UnloadCheckSeesOnlyTheUnloadingDriversTimersDpcsAndWork",
     [] {
         fake::NamedDriver mine(L"\\Driver\\mine"), theirs(L"\\Driver\\theirs");
         Deferred* queued;
         {
             sim::DriverScope scope(theirs.get());
             queued = new Deferred(true);
         }
         sim::KeCheckDriverUnload(mine.get());
         delete queued;
         sim::KeCheckDriverUnload(theirs.get());
     }},
    {"FreedBlockWithNothingQueuedInIt",
     [] {
         Deferred inside(false), outside(true);
         sim::KeCheckFreedRange(&inside, sizeof inside);
     }},
    {"NarrowDbgPrintAtDispatch",
     [] {
         AtDispatch([] { DbgPrint("%s %d\n", "dpc", 1); });
         EXPECT_EQ(sim::DebugLog(), "dpc 1\n");
     }},
    {"AppendAtDispatch",
     [] {
         WCHAR text[20];
         UNICODE_STRING s = {0, sizeof text, text};
         AtDispatch([&] { EXPECT_EQ(RtlAppendUnicodeToString(&s, L"dpc"), STATUS_SUCCESS); });
     }},
    {"ZeroTimeOutPollAtDispatch",
     [] {
         KEVENT e;
         KeInitializeEvent(&e, SynchronizationEvent, TRUE);
         LARGE_INTEGER zero{};
         auto poll = [&] { return KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero); };
         AtDispatch([&] {
             EXPECT_EQ(poll(), STATUS_SUCCESS);
             EXPECT_EQ(poll(), STATUS_TIMEOUT);
         });
     }},
};

class Allows : public ::testing::TestWithParam<Allowed> {};

TEST_P(Allows, TheRunEndsWithoutAStop) {
    sim::Kernel kernel;
    GetParam().run();
}

INSTANTIATE_TEST_SUITE_P(Verifier, Allows, ::testing::ValuesIn(kAllowed),
                         [](const auto& param) { return std::string(param.param.name); });

} // namespace
