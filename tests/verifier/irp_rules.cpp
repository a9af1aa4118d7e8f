// Known-bad drivers for the I/O manager's rules: completion, pending,
// cancellation, forwarding and freeing of IRPs.
#include "test_driver.h"

namespace {

using namespace vt;

KSPIN_LOCK g_lock;

VOID NTAPI SomeCancelRoutine(PDEVICE_OBJECT, PIRP) {}

NTSTATUS NTAPI StopWalk(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

NTSTATUS NTAPI HoldPending(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    g_heldIrp = irp;
    return STATUS_PENDING;
}

// An IRP of the test's own, sent to the driver's device: what a driver sends
// down the stack with IoAllocateIrp.
PIRP OwnReadIrp() {
    PIRP irp = IoAllocateIrp(g_device->StackSize, FALSE);
    EXPECT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, StopWalk, nullptr, TRUE, TRUE, TRUE);
    return irp;
}

// The report ends with what happened to IRPs lately, oldest first, worded
// when the report is made: here the request that reached the driver and its
// first completion.
TEST(VerifierIrp, CompletedTwice) {
    g_dispatch[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
            Send(IRP_MJ_READ);
        },
        STOP("0x00000044") ".*already completed.*"
        "recent IRPs \\(oldest first\\):.*"
        "call IRP 0x[0-9a-f]+ IRP_MJ_READ -> [^\n]* of vtdriver at location 1\n"
        "  complete IRP 0x[0-9a-f]+ status 0x0 by vtdriver\n");
}

TEST(VerifierIrp, CompletedWithStatusPending) {
    g_dispatch[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
        irp->IoStatus.Status = STATUS_PENDING;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
            Send(IRP_MJ_READ);
        },
        STOP1("0x000000C9", "0x00000006"));
}

TEST(VerifierIrp, PendingReturnedWithoutMarkIrpPending) {
    g_dispatch[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
        g_heldIrp = irp; // queued somewhere, but never marked pending
        return STATUS_PENDING;
    };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
            Send(IRP_MJ_READ);
        },
        STOP1("0x000000C9", "0x0000023D"));
}

TEST(VerifierIrp, CompletedWithCancelRoutineSet) {
    g_dispatch[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
        IoSetCancelRoutine(irp, SomeCancelRoutine);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
            Send(IRP_MJ_READ);
        },
        STOP1("0x000000C9", "0x00000007") ".*SomeCancelRoutine");
}

TEST(VerifierIrp, CalledDownHoldingSpinLock) {
    g_dispatch[IRP_MJ_READ] = [](PDEVICE_OBJECT device, PIRP irp) NTAPI -> NTSTATUS {
        if (device == g_device)
            return CompleteSuccess(device, irp);
        KIRQL old;
        KeInitializeSpinLock(&g_lock);
        KeAcquireSpinLock(&g_lock, &old);
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(g_device, irp);
    };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load(/*stacked=*/true);
            Send(IRP_MJ_READ);
        },
        STOP("0x51A00004") ".*IofCallDriver");
}

TEST(VerifierIrp, DispatchReturnedHoldingSpinLock) {
    // Called at DISPATCH_LEVEL (as from a completion routine re-arming a
    // read), so the IRQL itself does not change: only the lock gives it away.
    g_dispatch[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
        IoMarkIrpPending(irp);
        g_heldIrp = irp;
        KeInitializeSpinLock(&g_lock);
        KeAcquireSpinLockAtDpcLevel(&g_lock);
        return STATUS_PENDING;
    };
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
            PIRP irp = OwnReadIrp();
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            IoCallDriver(g_device, irp);
        },
        STOP1("0x000000C4", "0x0000F211") ".*returned holding a spin lock");
}

TEST(VerifierIrp, FreedWhileInFlight) {
    g_dispatch[IRP_MJ_READ] = HoldPending;
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
            PIRP irp = OwnReadIrp();
            EXPECT_EQ(IoCallDriver(g_device, irp), STATUS_PENDING);
            IoFreeIrp(irp); // still queued in the driver
        },
        STOP1("0x000000C9", "0x0000020A"));
}

TEST(VerifierIrp, DeviceDeletedWithIrpsQueued) {
    g_dispatch[IRP_MJ_READ] = HoldPending;
    EXPECT_DEATH(
        {
            sim::Kernel kernel;
            Load();
            Send(IRP_MJ_READ);
            ASSERT_NE(g_heldIrp, nullptr);
            sim::DriverScope scope(g_driver);
            IoDeleteDevice(g_device);
        },
        STOP1("0x000000C9", "0x0000F203") ".*while it holds IRPs");
}

} // namespace
