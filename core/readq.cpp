// Queued requests. A read, write or wait-on-mask request that cannot finish
// at once waits in ReadQueue, WriteQueue or WaitQueue: linked through its own
// Tail.Overlay.ListEntry, marked pending, and given its queue's cancel routine
// by an interlocked exchange. Whoever takes it off again clears that routine
// by an interlocked exchange first, so exactly one of the cancel routine and
// the path that dequeues it owns the request.
#include "port.h"

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
    KIRQL portIrql;

    IoAcquireCancelSpinLock(&cancelIrql);
    for (;;) {
        PLIST_ENTRY entry;
        PIRP irp;
        PDRIVER_CANCEL cancelRoutine;

        // Already at DISPATCH_LEVEL; portIrql only pairs the release.
        KeAcquireSpinLock(&port->PortLock, &portIrql);
        if (IsListEmpty(Queue)) {
            KeReleaseSpinLock(&port->PortLock, portIrql);
            break;
        }
        entry = RemoveTailList(Queue);
        // Linked to itself, the entry survives the unlink every cancel
        // routine and dequeue path makes.
        InitializeListHead(entry);
        irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        cancelRoutine = IoSetCancelRoutine(irp, NULL);
        KeReleaseSpinLock(&port->PortLock, portIrql);
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

// ================================================================ the input ring
// Every received byte waits here until a read takes it: InputHead is where
// the next byte goes, InputTail the next byte handed out, InputCount how many
// are held (full and empty both have InputHead == InputTail). The modem ring
// has a lock of its own, so that the read dispatch can use it without
// PortLock; the diagnostics driver's callers hold PortLock around every call
// instead. InputCount changes only by interlocked adds.

#if VARIANT_MODEM
static KIRQL LockRing(PDEVICE_EXTENSION Port) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&Port->InputLock, &oldIrql);
    return oldIrql;
}

static VOID UnlockRing(PDEVICE_EXTENSION Port, KIRQL OldIrql) {
    KeReleaseSpinLock(&Port->InputLock, OldIrql);
}
#else
// Caller holds PortLock, which covers the ring in this driver.
static KIRQL LockRing(PDEVICE_EXTENSION Port) {
    UNREFERENCED_PARAMETER(Port);
    return DISPATCH_LEVEL;
}

static VOID UnlockRing(PDEVICE_EXTENSION Port, KIRQL OldIrql) {
    UNREFERENCED_PARAMETER(Port);
    UNREFERENCED_PARAMETER(OldIrql);
}
#endif

// An index moved on by Count bytes, wrapped at the end of the storage.
static LONG RingAdvance(LONG Index, LONG Count) {
    Index += Count;
    if (Index >= INPUT_BUFFER_SIZE) {
        Index -= INPUT_BUFFER_SIZE;
    }
    return Index;
}

// A length from a caller is never below 0: a count that came from an
// unsigned length too large for a LONG must not turn into a huge copy.
static LONG ClampLength(LONG Length, LONG Limit) {
    if (Length < 0) {
        return 0;
    }
    return Length < Limit ? Length : Limit;
}

// Caller holds the ring. Count is at most InputCount.
static VOID CopyOutOfRing(PDEVICE_EXTENSION Port, PUCHAR Destination, LONG Count) {
    LONG first = INPUT_BUFFER_SIZE - Port->InputTail;

    if (first > Count) {
        first = Count;
    }
    RtlCopyMemory(Destination, &Port->InputBuffer[Port->InputTail], first);
    RtlCopyMemory(Destination + first, &Port->InputBuffer[0], Count - first);
}

// Caller holds the ring. Count is at most the free room.
static VOID CopyIntoRing(PDEVICE_EXTENSION Port, const UCHAR* Source, LONG Count) {
    LONG first = INPUT_BUFFER_SIZE - Port->InputHead;

    if (first > Count) {
        first = Count;
    }
    RtlCopyMemory(&Port->InputBuffer[Port->InputHead], Source, first);
    RtlCopyMemory(&Port->InputBuffer[0], Source + first, Count - first);
}

// Oldest bytes first, up to Wanted. STATUS_UNSUCCESSFUL with nothing copied
// when the ring is empty, even for a Wanted of 0.
NTSTATUS ReadFromBuffer(PDEVICE_EXTENSION Port, PUCHAR Destination, LONG Wanted, PLONG Copied) {
    KIRQL oldIrql = LockRing(Port);
    LONG count;

    if (Port->InputCount == 0) {
        UnlockRing(Port, oldIrql);
        *Copied = 0;
        return STATUS_UNSUCCESSFUL;
    }
    count = ClampLength(Wanted, Port->InputCount);
    CopyOutOfRing(Port, Destination, count);
    Port->InputTail = RingAdvance(Port->InputTail, count);
    *Copied = count;
    InterlockedExchangeAdd(&Port->InputCount, -count);
    UnlockRing(Port, oldIrql);
    return STATUS_SUCCESS;
}

// Stores what fits; the rest of the offer is dropped without a trace, since
// the phone cannot be told to hold back. STATUS_UNSUCCESSFUL with nothing
// stored when the ring is full.
NTSTATUS WriteToBuffer(PDEVICE_EXTENSION Port, const UCHAR* Source, LONG Offered, PLONG Stored) {
    KIRQL oldIrql = LockRing(Port);
    LONG room = INPUT_BUFFER_SIZE - Port->InputCount;
    LONG count;

    if (room == 0) {
        UnlockRing(Port, oldIrql);
        *Stored = 0;
        return STATUS_UNSUCCESSFUL;
    }
    count = ClampLength(Offered, room);
    CopyIntoRing(Port, Source, count);
    Port->InputHead = RingAdvance(Port->InputHead, count);
    *Stored = count;
    InterlockedExchangeAdd(&Port->InputCount, count);
    UnlockRing(Port, oldIrql);
    return STATUS_SUCCESS;
}

LONG GetNoCharsInInputBuffer(PDEVICE_EXTENSION Port) {
    KIRQL oldIrql = LockRing(Port);
    LONG count = Port->InputCount;

    UnlockRing(Port, oldIrql);
    return count;
}

// Forgets what the ring holds; the bytes stay in the storage but can never
// be handed out again.
NTSTATUS FlushInputBuffer(PDEVICE_EXTENSION Port) {
    KIRQL oldIrql = LockRing(Port);

    Port->InputHead = 0;
    Port->InputTail = 0;
    InterlockedExchange(&Port->InputCount, 0);
    UnlockRing(Port, oldIrql);
    return STATUS_SUCCESS;
}

// ================================================================ one-request queues
// WaitQueue and ReadQueue hold at most one request each. These two are the
// whole queue discipline; the enqueue and dequeue routines of each queue
// wrap them.

// Caller holds PortLock. The cancel routine is installed before the request
// is linked: a cancellation that slips in between finds the routine gone from
// our hands (it waits for PortLock to unlink), so the request is linked and
// marked pending for it. Only a request taken back here is refused with
// STATUS_CANCELLED, not marked pending and not linked; the caller completes
// it, as it does the STATUS_INVALID_PARAMETER of a full queue.
NTSTATUS QueueSingleIrp(PLIST_ENTRY Queue, PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    if (!IsListEmpty(Queue)) {
        return STATUS_INVALID_PARAMETER;
    }
    IoSetCancelRoutine(Irp, CancelRoutine);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        return STATUS_CANCELLED;
    }
    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
    InsertTailList(Queue, &Irp->Tail.Overlay.ListEntry);
    return STATUS_PENDING;
}

// Caller holds PortLock. The first request whose cancel routine could be
// taken back, or NULL. A request whose routine is already gone belongs to its
// cancel routine, which will unlink it: linked to itself, it comes to no harm
// from that.
PIRP DequeueSingleIrp(PLIST_ENTRY Queue) {
    while (!IsListEmpty(Queue)) {
        PLIST_ENTRY entry = RemoveHeadList(Queue);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);

        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            return irp;
        }
        InitializeListHead(entry);
    }
    return NULL;
}

// Entered from a cancel routine, cancel spin lock held. The queues change
// under PortLock, so the unlink takes it too (cancel spin lock, then
// PortLock, the only order).
VOID UnlinkCancelledIrp(PDEVICE_EXTENSION Port, PIRP Irp) {
    KIRQL oldIrql;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
}

// ================================================================ the wait-on-mask queue
// One IOCTL_SERIAL_WAIT_ON_MASK request may wait in WaitQueue for the events
// of WaitMask. The sources (read completion, write path, status pipe) record
// their events in EventHistory under PortLock and hand them to the waiting
// request through CompletePendingWaitIrps; what nobody waited for stays in
// EventHistory for the next WAIT_ON_MASK to take.

#if VARIANT_MODEM

// STATUS_PENDING when queued; otherwise the caller completes the request and
// gives back its remove lock. At or below DISPATCH_LEVEL, no spin lock held.
NTSTATUS EnqueueWaitIrp(PDEVICE_EXTENSION Port, PIRP Irp) {
    KIRQL oldIrql;
    NTSTATUS status;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    status = QueueSingleIrp(&Port->WaitQueue, Irp, WaitMaskCancelRoutine);
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    return status;
}

PIRP DequeueWaitIrp(PDEVICE_EXTENSION Port) {
    KIRQL oldIrql;
    PIRP irp;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    irp = DequeueSingleIrp(&Port->WaitQueue);
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    return irp;
}

// Hands Events to the waiting request as they are: the sources have already
// filtered them by WaitMask where they should be. TRUE when a request was
// completed. No spin lock held.
BOOLEAN CompletePendingWaitIrps(PDEVICE_EXTENSION Port, ULONG Events) {
    PIRP irp = DequeueWaitIrp(Port);

    if (irp == NULL) {
        return FALSE;
    }
    *(PULONG)irp->AssociatedIrp.SystemBuffer = Events;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = sizeof(ULONG);
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    ReleaseRemoveLock(Port, irp);
    return TRUE;
}

// Called with the cancel spin lock held. Information stays as the dispatch
// left it (0).
VOID NTAPI WaitMaskCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);

    UnlinkCancelledIrp(port, Irp);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    ReleaseRemoveLock(port, Irp);
}

#else // VARIANT_DIAG: the callers say whether they already hold PortLock

static KIRQL LockPortUnlessHeld(PDEVICE_EXTENSION Port, BOOLEAN LockHeld) {
    KIRQL oldIrql = DISPATCH_LEVEL;

    if (!LockHeld) {
        KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    }
    return oldIrql;
}

static VOID UnlockPortUnlessHeld(PDEVICE_EXTENSION Port, BOOLEAN LockHeld, KIRQL OldIrql) {
    if (!LockHeld) {
        KeReleaseSpinLock(&Port->PortLock, OldIrql);
    }
}

NTSTATUS EnqueueWaitIrp(PDEVICE_EXTENSION Port, PIRP Irp, BOOLEAN LockHeld) {
    KIRQL oldIrql = LockPortUnlessHeld(Port, LockHeld);
    NTSTATUS status = QueueSingleIrp(&Port->WaitQueue, Irp, WaitMaskCancelRoutine);

    UnlockPortUnlessHeld(Port, LockHeld, oldIrql);
    return status;
}

PIRP DequeueWaitIrp(PDEVICE_EXTENSION Port, BOOLEAN LockHeld) {
    KIRQL oldIrql = LockPortUnlessHeld(Port, LockHeld);
    PIRP irp = DequeueSingleIrp(&Port->WaitQueue);

    UnlockPortUnlessHeld(Port, LockHeld, oldIrql);
    return irp;
}

// With LockHeld the request is completed inside PortLock.
VOID CompletePendingWaitIrps(PDEVICE_EXTENSION Port, ULONG Events, BOOLEAN LockHeld) {
    PIRP irp = DequeueWaitIrp(Port, LockHeld);

    if (irp == NULL) {
        return;
    }
    *(PULONG)irp->AssociatedIrp.SystemBuffer = Events;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = sizeof(ULONG);
    ReleaseRemoveLock(Port, irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID NTAPI WaitMaskCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);

    UnlinkCancelledIrp(port, Irp);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    ReleaseRemoveLock(port, Irp);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

#endif
