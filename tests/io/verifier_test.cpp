// Each I/O verifier rule, tripped by a deliberately broken driver: the run
// must stop with the code Windows uses and a reason that names the fault.
#include "platform/sim/internal.h"
#include "tests/io/io_fixture.h"

using namespace iotest;

namespace {

class IoVerifier : public IoTest {
protected:
    // Sends one request through a fresh one- or two-layer stack whose bottom
    // driver does `bottom`.
    void SendThrough(Dispatch bottom, int layers = 1, Dispatch top = nullptr) {
        Build(layers);
        L().dispatch[kBottom] = std::move(bottom);
        if (top)
            L().dispatch[TopLayer()] = std::move(top);
        sim::DriverScope scope(L().driver[TopLayer()]);
        PIRP irp = IoAllocateIrp(Top()->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(
            irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; },
            nullptr, TRUE, TRUE, TRUE);
        IoCallDriver(Top(), irp);
    }
};

VOID NTAPI NoCancel(PDEVICE_OBJECT, PIRP) {}

#define STOP(code, sub) "STOP: " code " \\(" sub

} // namespace

// ---------------------------------------------------------------- completion

TEST_F(IoVerifier, UserRequestCompletedTwice) {
    EXPECT_DEATH(
        {
            Build(1);
            sim::FileHandle* handle = Open();
            L().dispatch[kBottom] = [](PDEVICE_OBJECT, PIRP irp) {
                CompleteWith(irp, STATUS_SUCCESS);
                return CompleteWith(irp, STATUS_SUCCESS);
            };
            sim::SendRequest(handle, {IRP_MJ_FLUSH_BUFFERS});
        },
        STOP("0x00000044", "0x") ".*already completed");
}

TEST_F(IoVerifier, CompletingWithStatusPending) {
    EXPECT_DEATH(SendThrough([](PDEVICE_OBJECT, PIRP irp) {
                     IoMarkIrpPending(irp);
                     CompleteWith(irp, STATUS_PENDING);
                     return STATUS_PENDING;
                 }),
                 STOP("0x000000C9", "0x00000006"));
}

TEST_F(IoVerifier, CompletingWithCancelRoutineSet) {
    EXPECT_DEATH(SendThrough([](PDEVICE_OBJECT, PIRP irp) {
                     IoSetCancelRoutine(irp, NoCancel);
                     return CompleteWith(irp, STATUS_SUCCESS);
                 }),
                 STOP("0x000000C9", "0x00000007") ".*NoCancel");
}

TEST_F(IoVerifier, CompletingWhileALowerDriverHoldsIt) {
    EXPECT_DEATH(SendThrough(
                     [](PDEVICE_OBJECT, PIRP irp) {
                         IoMarkIrpPending(irp);
                         return STATUS_PENDING;
                     },
                     2,
                     [](PDEVICE_OBJECT, PIRP irp) {
                         IoCopyCurrentIrpStackLocationToNext(irp);
                         IoCallDriver(L().device[kBottom], irp);
                         return CompleteWith(irp, STATUS_SUCCESS);
                     }),
                 STOP("0x000000C9", "0x00000209"));
}

TEST_F(IoVerifier, CompletionRoutineNotPropagatingPending) {
    EXPECT_DEATH(
        {
            static PIRP s_irp;
            SendThrough(
                [](PDEVICE_OBJECT, PIRP irp) {
                    IoMarkIrpPending(irp);
                    s_irp = irp;
                    return STATUS_PENDING;
                },
                2,
                [](PDEVICE_OBJECT, PIRP irp) {
                    IoCopyCurrentIrpStackLocationToNext(irp);
                    IoSetCompletionRoutine(
                        irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_SUCCESS; },
                        nullptr, TRUE, TRUE, TRUE);
                    return IoCallDriver(L().device[kBottom], irp);
                });
            CompleteAtDispatch(s_irp, STATUS_SUCCESS);
        },
        STOP("0x000000C9", "0x00000228"));
}

TEST_F(IoVerifier, OwnIrpLeftToReachTheTop) {
    EXPECT_DEATH(
        {
            Build(1);
            sim::DriverScope scope(L().driver[kBottom]);
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
            IoCallDriver(L().device[kBottom], irp);
        },
        STOP("0x000000C9", "0x0000F201") ".*bottomdrv");
}

// ---------------------------------------------------------------- dispatch return

TEST_F(IoVerifier, PendingReturnedWithoutMark) {
    EXPECT_DEATH(SendThrough([](PDEVICE_OBJECT, PIRP) { return STATUS_PENDING; }),
                 STOP("0x000000C9", "0x0000023D") ".*IoMarkIrpPending");
}

TEST_F(IoVerifier, MarkedPendingButReturnedSuccess) {
    EXPECT_DEATH(SendThrough([](PDEVICE_OBJECT, PIRP irp) {
                     IoMarkIrpPending(irp);
                     return CompleteWith(irp, STATUS_SUCCESS);
                 }),
                 STOP("0x000000C9", "0x0000023E"));
}

TEST_F(IoVerifier, DispatchLosingTheIrp) {
    EXPECT_DEATH(SendThrough([](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }),
                 STOP("0x000000C9", "0x00000226"));
}

TEST_F(IoVerifier, DispatchReturningAnotherStatusThanItCompletedWith) {
    EXPECT_DEATH(SendThrough([](PDEVICE_OBJECT, PIRP irp) {
                     CompleteWith(irp, STATUS_IO_DEVICE_ERROR);
                     return STATUS_SUCCESS;
                 }),
                 STOP("0x000000C9", "0x00000224"));
}

TEST_F(IoVerifier, DispatchReturningAtAnotherIrql) {
    EXPECT_DEATH(SendThrough([](PDEVICE_OBJECT, PIRP irp) {
                     KIRQL old;
                     KeRaiseIrql(DISPATCH_LEVEL, &old);
                     return CompleteWith(irp, STATUS_SUCCESS);
                 }),
                 STOP("0x000000C9", "0x00000005"));
}

TEST_F(IoVerifier, DispatchReturningWithASpinLockHeld) {
    EXPECT_DEATH(
        {
            static KSPIN_LOCK s_lock;
            KeInitializeSpinLock(&s_lock);
            Build(1);
            L().dispatch[kBottom] = [](PDEVICE_OBJECT, PIRP irp) {
                KeAcquireSpinLockAtDpcLevel(&s_lock);
                return CompleteWith(irp, STATUS_SUCCESS);
            };
            sim::DriverScope scope(L().driver[kBottom]);
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
            IoSetCompletionRoutine(
                irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; },
                nullptr, TRUE, TRUE, TRUE);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            IoCallDriver(L().device[kBottom], irp);
        },
        STOP("0x000000C4", "0x0000F211"));
}

// ---------------------------------------------------------------- calling down

TEST_F(IoVerifier, CallingDownWithASpinLockHeld) {
    EXPECT_DEATH(
        {
            Build(1);
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            IoCallDriver(L().device[kBottom], irp);
        },
        "holding spin lock");
}

TEST_F(IoVerifier, ForwardingPlugAndPlayAtDispatch) {
    EXPECT_DEATH(
        {
            Build(1);
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            IoCallDriver(L().device[kBottom], irp);
        },
        STOP("0x000000C9", "0x0000023A") ".*IRP_MJ_PNP");
}

TEST_F(IoVerifier, CallingADeletedDevice) {
    EXPECT_DEATH(
        {
            Build(1);
            PDEVICE_OBJECT device = L().device[kBottom];
            IoDeleteDevice(device);
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoCallDriver(device, irp);
        },
        STOP("0x000000C9", "0x00000004"));
}

// ---------------------------------------------------------------- freeing IRPs

TEST_F(IoVerifier, FreeingAnIrpALowerDriverStillHolds) {
    EXPECT_DEATH(
        {
            Build(1);
            L().dispatch[kBottom] = [](PDEVICE_OBJECT, PIRP irp) {
                IoMarkIrpPending(irp);
                return STATUS_PENDING;
            };
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
            IoCallDriver(L().device[kBottom], irp);
            IoFreeIrp(irp);
        },
        STOP("0x000000C9", "0x0000020A"));
}

TEST_F(IoVerifier, FreeingABuiltRequest) {
    EXPECT_DEATH(
        {
            Build(1);
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IO_STATUS_BLOCK iosb;
            PIRP irp = IoBuildDeviceIoControlRequest(0x220003, L().device[kBottom], nullptr, 0,
                                                     nullptr, 0, TRUE, &event, &iosb);
            IoFreeIrp(irp);
        },
        STOP("0x000000C9", "0x00000002"));
}

TEST_F(IoVerifier, FreeingTwice) {
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoFreeIrp(irp);
            IoFreeIrp(irp);
        },
        STOP("0x000000C9", "0x00000001"));
}

// ---------------------------------------------------------------- remove locks

TEST_F(IoVerifier, RemoveLockReleasedWithATagThatHoldsNothing) {
    EXPECT_DEATH(
        {
            IO_REMOVE_LOCK lock;
            IoInitializeRemoveLock(&lock, 0, 0, 0);
            int a;
            int b;
            IoAcquireRemoveLock(&lock, &a);
            IoReleaseRemoveLock(&lock, &b);
        },
        STOP("0x000000C4", "0x000000D5") "(.|\n)*remove_lock|verifier_test.cpp:[0-9]+");
}

TEST_F(IoVerifier, RemoveLockWaitedWithATagThatHoldsNothing) {
    EXPECT_DEATH(
        {
            IO_REMOVE_LOCK lock;
            IoInitializeRemoveLock(&lock, 0, 0, 0);
            int a;
            IoReleaseRemoveLockAndWait(&lock, &a);
        },
        STOP("0x000000C4", "0x000000D6"));
}

TEST_F(IoVerifier, RemoveLockReinitialisedAfterTheDrain) {
    EXPECT_DEATH(
        {
            IO_REMOVE_LOCK lock;
            IoInitializeRemoveLock(&lock, 0, 0, 0);
            int a;
            IoAcquireRemoveLock(&lock, &a);
            IoReleaseRemoveLockAndWait(&lock, &a);
            IoInitializeRemoveLock(&lock, 0, 0, 0);
        },
        STOP("0x000000C4", "0x000000D7") ".*after IoReleaseRemoveLockAndWait");
}

// ---------------------------------------------------------------- devices and unload

TEST_F(IoVerifier, DeletingADeviceThatHoldsAnIrp) {
    EXPECT_DEATH(
        {
            SendThrough([](PDEVICE_OBJECT, PIRP irp) {
                IoMarkIrpPending(irp);
                return STATUS_PENDING;
            });
            IoDeleteDevice(L().device[kBottom]);
        },
        STOP("0x000000C9", "0x0000F203") "(.|\n)*IRP_MJ_READ");
}

TEST_F(IoVerifier, DeletingADeviceStillAttachedBelow) {
    EXPECT_DEATH(
        {
            Build(2);
            IoDeleteDevice(L().device[kTop]);
        },
        STOP("0x000000C9", "0x0000021D"));
}

TEST_F(IoVerifier, DeletingADeviceWithARemoveLockHeld) {
    EXPECT_DEATH(
        {
            Build(1);
            auto lock = static_cast<PIO_REMOVE_LOCK>(L().device[kBottom]->DeviceExtension);
            IoInitializeRemoveLock(lock, 0, 0, 0);
            int tag;
            IoAcquireRemoveLock(lock, &tag);
            IoDeleteDevice(L().device[kBottom]);
        },
        STOP("0x000000C4", "0x0000F213") "(.|\n)*verifier_test.cpp:[0-9]+");
}

TEST_F(IoVerifier, UnloadingWithADeviceLeft) {
    EXPECT_DEATH(
        {
            Build(1);
            sim::UnloadDriver(L().driver[kBottom]);
        },
        STOP("0x000000CE", "0x00000000") ".*bottomdrv");
}

TEST_F(IoVerifier, IrpLeftOutstandingAtTheEndOfTheRun) {
    EXPECT_DEATH(
        {
            IoAllocateIrp(1, FALSE);
            sim::IoCheck();
        },
        STOP("0x000000C9", "0x0000F205"));
}
