// The kill-all of the request queues. The test plays the data paths: its own
// dispatch routine queues reads, writes and waits exactly as they will
// (remove lock held, linked through Tail.Overlay.ListEntry, marked pending,
// cancel routine installed by an interlocked exchange), and its cancel
// routine completes them as theirs will.
#include "spine/port_fixture.h"

#include <string>

namespace spine {
namespace {

struct Queued {
    PIRP irp = nullptr;
    std::string name;
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    bool cancelFlag = false;
};

std::vector<std::string> g_cancelled; // names, in the order their cancel routines ran

PLIST_ENTRY QueueFor(PDEVICE_EXTENSION port, UCHAR major) {
    switch (major) {
    case IRP_MJ_WRITE:
        return &port->WriteQueue;
    case IRP_MJ_READ:
        return &port->ReadQueue;
    default:
        return &port->WaitQueue;
    }
}

VOID NTAPI TestCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    auto* queued = static_cast<Queued*>(Irp->Tail.Overlay.DriverContext[0]);
    g_cancelled.push_back(queued->name);
    queued->cancelFlag = Irp->Cancel;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    ReleaseRemoveLock(PortOf(DeviceObject), Irp);
}

NTSTATUS NTAPI TestQueueDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    KIRQL oldIrql;
    NTSTATUS status = AcquireRemoveLock(port, Irp);
    if (!NT_SUCCESS(status))
        return CompleteRequest(Irp, status, 0);
    KeAcquireSpinLock(&port->PortLock, &oldIrql);
    InsertTailList(QueueFor(port, IoGetCurrentIrpStackLocation(Irp)->MajorFunction),
                   &Irp->Tail.Overlay.ListEntry);
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, TestCancel);
    KeReleaseSpinLock(&port->PortLock, oldIrql);
    return STATUS_PENDING;
}

NTSTATUS NTAPI QueuedDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
    auto* queued = static_cast<Queued*>(Context);
    queued->status = Irp->IoStatus.Status;
    queued->done = true;
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class KillAllPendingIrps : public Port {
protected:
    KillAllPendingIrps() {
        g_cancelled.clear();
        PDRIVER_OBJECT driver = driver_ = node_->driver;
        for (UCHAR major :
             {UCHAR(IRP_MJ_READ), UCHAR(IRP_MJ_WRITE), UCHAR(IRP_MJ_DEVICE_CONTROL)}) {
            saved_[major] = driver->MajorFunction[major];
            driver->MajorFunction[major] = TestQueueDispatch;
        }
    }
    ~KillAllPendingIrps() override {
        for (auto& q : queued_)
            EXPECT_TRUE(q->done) << q->name << " was never completed";
        // Put the driver's own entries back, if it is still loaded.
        PDRIVER_OBJECT driver = sim::LoadedDriver(kService);
        if (driver == driver_)
            for (UCHAR major :
                 {UCHAR(IRP_MJ_READ), UCHAR(IRP_MJ_WRITE), UCHAR(IRP_MJ_DEVICE_CONTROL)})
                driver->MajorFunction[major] = saved_[major];
    }

    Queued* Queue(UCHAR major, std::string name) {
        auto q = std::make_unique<Queued>();
        q->name = std::move(name);
        PIRP irp = IoAllocateIrp(Fdo()->StackSize, FALSE);
        irp->Tail.Overlay.DriverContext[0] = q.get();
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        IoSetCompletionRoutine(irp, QueuedDone, q.get(), TRUE, TRUE, TRUE);
        q->irp = irp;
        EXPECT_EQ(IoCallDriver(Fdo(), irp), STATUS_PENDING);
        queued_.push_back(std::move(q));
        return queued_.back().get();
    }
    void KillAll() {
        AsDriver(node_->driver, [&] { USBKillAllPendingIrps(Fdo()); });
        sim::RunUntilIdle();
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDRIVER_DISPATCH saved_[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    std::vector<std::unique_ptr<Queued>> queued_;
};

TEST_F(KillAllPendingIrps, EmptyQueuesCancelNothing) {
    KillAll();
    KillAll();
    EXPECT_TRUE(g_cancelled.empty());
}

// Writes, then reads, then the wait; newest first in each queue.
TEST_F(KillAllPendingIrps, CancelsEveryQueuedRequestNewestFirstQueueByQueue) {
    Queue(IRP_MJ_READ, "read1");
    Queue(IRP_MJ_WRITE, "write1");
    Queue(IRP_MJ_DEVICE_CONTROL, "wait1");
    Queue(IRP_MJ_READ, "read2");
    Queue(IRP_MJ_WRITE, "write2");

    KillAll();

    EXPECT_EQ(g_cancelled,
              (std::vector<std::string>{"write2", "write1", "read2", "read1", "wait1"}));
    for (auto& q : queued_) {
        EXPECT_TRUE(q->done);
        EXPECT_EQ(q->status, STATUS_CANCELLED);
        EXPECT_TRUE(q->cancelFlag) << q->name;
    }
    EXPECT_TRUE(IsListEmpty(&Ext()->ReadQueue));
    EXPECT_TRUE(IsListEmpty(&Ext()->WriteQueue));
    EXPECT_TRUE(IsListEmpty(&Ext()->WaitQueue));
    // Every request gave its remove-lock hold back: removal does not hang.
    EXPECT_EQ(sim::PnpRemoveDevice(node_), STATUS_SUCCESS);
}

// A request whose cancel routine a completing path has already taken is
// that path's to finish; the walk neither calls a missing routine nor trips
// over the unlink the other path makes.
TEST_F(KillAllPendingIrps, SkipsARequestWhoseCancelRoutineIsAlreadyClaimed) {
    Queue(IRP_MJ_READ, "claimed");
    Queued* other = Queue(IRP_MJ_READ, "other");
    PIRP claimed = queued_[0]->irp;
    ASSERT_EQ(IoSetCancelRoutine(claimed, NULL), (PDRIVER_CANCEL)TestCancel);

    KillAll();
    EXPECT_EQ(g_cancelled, (std::vector<std::string>{"other"}));
    EXPECT_TRUE(other->done);
    EXPECT_FALSE(queued_[0]->done);

    // The claiming path finishes it: its unlink finds the entry on its own.
    RemoveEntryList(&claimed->Tail.Overlay.ListEntry);
    claimed->IoStatus.Status = STATUS_SUCCESS;
    AsDriver(node_->driver, [&] {
        IoCompleteRequest(claimed, IO_NO_INCREMENT);
        ReleaseRemoveLock(Ext(), claimed);
    });
    EXPECT_TRUE(queued_[0]->done);
}

// Surprise removal cancels what is queued, and the removal that follows
// passes over empty queues.
TEST_F(KillAllPendingIrps, SurpriseRemovalThenRemovalCancelEachRequestOnce) {
    Queue(IRP_MJ_WRITE, "write1");
    Queue(IRP_MJ_READ, "read1");
    Queue(IRP_MJ_DEVICE_CONTROL, "wait1");
    phone_->Unplug();
    sim::RunUntilIdle();
    EXPECT_EQ(g_cancelled, (std::vector<std::string>{"write1", "read1", "wait1"}));
    EXPECT_EQ(node_->state, sim::DevNodeState::Deleted);
}

} // namespace
} // namespace spine
