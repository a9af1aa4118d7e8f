// Queued requests. A read, write or wait-on-mask request that cannot finish
// at once waits in ReadQueue, WriteQueue or WaitQueue: linked through its own
// Tail.Overlay.ListEntry, marked pending, and given its queue's cancel routine
// by an interlocked exchange. Whoever takes it off again clears that routine
// by an interlocked exchange first, so exactly one of the cancel routine and
// the path that dequeues it owns the request.
#include "spine.h"

// Cancels every request on Queue, newest first, the way the I/O manager
// would: each one's own cancel routine is called with the cancel spin lock
// held, Cancel set and CancelIrql filled in, and that routine releases the
// lock, completes the request with STATUS_CANCELLED and gives back what the
// request held.
//
// The queueing paths change the lists under PortLock, the cancel routines
// under the cancel spin lock; the walk takes both (in that order) for each
// unlink, so it never unlinks an entry a dequeue is taking at the same time.
// An entry whose cancel routine is already gone belongs to a path that is
// completing it; it is left to that path. Caller holds no spin lock.
static VOID CancelQueuedIrps(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    KIRQL cancelIrql;

    IoAcquireCancelSpinLock(&cancelIrql);
    for (;;) {
        PLIST_ENTRY entry;
        PIRP irp;
        PDRIVER_CANCEL cancelRoutine;

        KeAcquireSpinLockAtDpcLevel(&port->PortLock);
        if (IsListEmpty(Queue)) {
            KeReleaseSpinLockFromDpcLevel(&port->PortLock);
            break;
        }
        entry = RemoveTailList(Queue);
        // Linked to itself, the entry survives the unlink every cancel
        // routine and dequeue path makes.
        InitializeListHead(entry);
        irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        cancelRoutine = IoSetCancelRoutine(irp, NULL);
        KeReleaseSpinLockFromDpcLevel(&port->PortLock);
        if (cancelRoutine == NULL) {
            continue;
        }

        irp->CancelIrql = cancelIrql;
        irp->Cancel = TRUE;
        cancelRoutine(DeviceObject, irp);
        IoAcquireCancelSpinLock(&cancelIrql);
    }
    IoReleaseCancelSpinLock(cancelIrql);
}

// Used on ReadQueue, and in the modem driver on WriteQueue as well, whose
// requests carry their own cancel routine.
VOID USBKillAllReads(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue) {
#if VARIANT_DIAG
    KeCancelTimer(&PortOf(DeviceObject)->ReadTotalTimer);
#endif
    CancelQueuedIrps(DeviceObject, Queue);
}

VOID USBKillAllWaits(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue) {
    CancelQueuedIrps(DeviceObject, Queue);
}

#if VARIANT_DIAG
VOID USBKillAllWrites(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue) {
    CancelQueuedIrps(DeviceObject, Queue);
}
#endif
