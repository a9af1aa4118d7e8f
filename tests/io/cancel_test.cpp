// Cancellation: requests without a cancel routine, and the interlocked
// hand-off between a cancel and a driver completing the same request. The
// cancel routine's calling convention (the cancel lock held, its IRQL in
// CancelIrql, the queueing device) is what every port driver's cancel
// routine relies on: the driver suites' CancelIo and close rows break on a
// wrong one.
#include "tests/io/io_fixture.h"

using namespace iotest;

namespace {

// A one-entry driver queue, the way the port drivers keep reads and waits.
PIRP g_queue;
int g_cancelCalls;

VOID NTAPI CancelQueued(PDEVICE_OBJECT, PIRP irp) {
    g_cancelCalls++;
    if (g_queue == irp)
        g_queue = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    CompleteWith(irp, STATUS_CANCELLED);
}

NTSTATUS QueueCancellable(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    g_queue = irp;
    IoSetCancelRoutine(irp, CancelQueued);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        g_queue = nullptr;
        CompleteWith(irp, STATUS_CANCELLED);
    }
    return STATUS_PENDING;
}

// The driver's own completion path: whoever clears the cancel routine owns
// the request; a NULL answer means a cancel is already running.
bool DequeueAndComplete(NTSTATUS status) {
    PIRP irp = g_queue;
    if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr)
        return false;
    g_queue = nullptr;
    CompleteWith(irp, status);
    return true;
}

class IoCancel : public IoTest {
protected:
    IoCancel() {
        g_queue = nullptr;
        g_cancelCalls = 0;
    }
};

} // namespace

TEST_F(IoCancel, WithoutARoutineOnlyFlaggedWithOneWhoeverClearsItCompletes) {
    Build(1);
    sim::FileHandle* handle = Open();
    L().dispatch[kBottom] = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        g_queue = irp;
        return STATUS_PENDING;
    };
    sim::PendingRequest* request = sim::SendRequest(handle, {IRP_MJ_READ});
    PIRP irp = g_queue;
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_FALSE(request->done);
    CompleteWith(irp, STATUS_SUCCESS);
    EXPECT_EQ(request->status, STATUS_SUCCESS);

    // A request that arrives already cancelled is refused at queueing time.
    L().dispatch[kBottom] = [](PDEVICE_OBJECT device, PIRP irp2) {
        irp2->Cancel = TRUE;
        return QueueCancellable(device, irp2);
    };
    request = sim::SendRequest(handle, {IRP_MJ_READ});
    EXPECT_EQ(request->status, STATUS_CANCELLED);
    EXPECT_EQ(g_cancelCalls, 0);

    // Whoever clears the cancel routine completes the request. The driver
    // wins: a cancel that follows finds no routine. (An IRP of the test's
    // own, so it outlives its completion.)
    L().dispatch[kBottom] = QueueCancellable;
    irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; },
        nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(L().device[kBottom], irp), STATUS_PENDING);
    EXPECT_TRUE(DequeueAndComplete(STATUS_SUCCESS));
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(g_cancelCalls, 0);
    IoFreeIrp(irp);

    // The cancel wins: the driver's dequeue backs off and leaves it to the routine.
    sim::PendingRequest* second = sim::SendRequest(handle, {IRP_MJ_READ});
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP queued = g_queue;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(queued, nullptr);
    EXPECT_FALSE(DequeueAndComplete(STATUS_SUCCESS));
    queued->Cancel = TRUE;
    queued->CancelIrql = irql;
    routine(L().device[kBottom], queued); // as a kill-all walk calls it
    EXPECT_EQ(second->status, STATUS_CANCELLED);
    EXPECT_EQ(g_cancelCalls, 1);
    Close(handle);
}
