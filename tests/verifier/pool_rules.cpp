// Known-bad drivers for the pool rules, and for what a driver must have
// given back before it unloads.
#include "test_driver.h"

namespace {

using namespace vt;

__attribute__((noinline)) PVOID LeakyAllocation() {
    return ExAllocatePoolWithTag(NonPagedPool, 1024000, kWdm);
}

TEST(VerifierPool, DoubleFree) {
    g_entryExtra = [](PDRIVER_OBJECT) {
        PVOID p = ExAllocatePoolWithTag(NonPagedPool, 256, kWdm);
        ExFreePool(p);
        ExFreePool(p);
    };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
        },
        STOP1("0x000000C2", "0x00000007") ".*freed twice.*driver: vtdriver");
}

TEST(VerifierPool, FreeOfForeignPointer) {
    g_entryExtra = [](PDRIVER_OBJECT) {
        static UNICODE_STRING name; // a static, not pool
        ExFreePool(&name);
    };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
        },
        STOP1("0x000000C2", "0x00000046") ".*not the start of a live pool block");
}

TEST(VerifierPool, WrongPoolTag) {
    g_entryExtra = [](PDRIVER_OBJECT) {
        ExAllocatePoolWithTag(NonPagedPool, 16, 0x6E645720); // " Wdn"
    };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
        },
        STOP1("0x000000C4", "0x0000F001") ".*vtdriver allocated pool with tag ' Wdn'; its pool tag is 'Wdm '");
}

TEST(VerifierPool, ZeroByteAllocation) {
    g_entryExtra = [](PDRIVER_OBJECT) { ExAllocatePoolWithTag(NonPagedPool, 0, kWdm); };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
        },
        STOP1("0x000000C4", "0x00000000") ".*zero-byte");
}

TEST(VerifierPool, PagedPoolAtDispatchLevel) {
    g_entryExtra = [](PDRIVER_OBJECT) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ExAllocatePoolWithTag(PagedPool, 16, kWdm);
    };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
        },
        STOP1("0x000000C4", "0x00000001"));
}

TEST(VerifierPool, OverrunFoundAtFree) {
    g_entryExtra = [](PDRIVER_OBJECT) {
        auto* ring = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 4096, kWdm));
        ring[4096] = 0x7E; // one past the end: a ring index that wrapped late
        ExFreePool(ring);
    };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
        },
        STOP("0x000000C1") ".*written past its end \\(at byte 4096 of 4096\\)");
}

TEST(VerifierUnload, PoolLeftAtUnloadIsListedBySite) {
    g_entryExtra = [](PDRIVER_OBJECT) { LeakyAllocation(); };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
            sim::UnloadDriver(g_driver);
        },
        STOP1("0x000000C4", "0x00000062") ".*vtdriver unloaded without freeing 1 pool block.*"
        "1024000 bytes 'Wdm ' NonPagedPool #1 allocated by vtdriver at .*LeakyAllocation");
}

TEST(VerifierUnload, IrpsOutstandingAtUnload) {
    g_entryExtra = [](PDRIVER_OBJECT) { g_heldIrp = IoAllocateIrp(1, FALSE); };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
            sim::UnloadDriver(g_driver);
        },
        STOP1("0x000000CE", "0x00000001") ".*unloaded with IRPs outstanding");
}

TEST(VerifierUnload, DevicesLeftAtUnload) {
    g_entryExtra = [](PDRIVER_OBJECT driver) { driver->DriverUnload = nullptr; };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
            sim::UnloadDriver(g_driver);
        },
        STOP1("0x000000CE", "0x00000000") ".*unloaded with device objects left");
}

TEST(VerifierUnload, CleanDriverUnloadsQuietly) {
    // The fixture itself breaks no rule: the known-bad cases above fail for
    // what they break, not for the scaffolding.
    sim::Kernel kernel;
    Load();
    sim::PendingRequest* request = Send(IRP_MJ_FLUSH_BUFFERS);
    EXPECT_TRUE(request->done);
    EXPECT_EQ(request->status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(sim::CloseFile(g_handle), STATUS_SUCCESS);
    sim::UnloadDriver(g_driver);
}

} // namespace
