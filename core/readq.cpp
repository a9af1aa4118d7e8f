// Queued requests, the input ring and the read time-outs both drivers share.
//
// A read, write or wait-on-mask request that cannot finish at once waits in
// ReadQueue, WriteQueue or WaitQueue, queued and taken off by the one
// protocol below (QueueIrp, DequeueIrp, UnlinkCancelledIrp), whose safety
// argument is written once, above QueueIrp.
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

// Used on ReadQueue, and by the modem driver's purge on WriteQueue as well,
// whose requests carry their own cancel routine. The diagnostics driver's
// read time-out would have nothing left to end.
VOID USBKillAllReads(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue) {
#if VARIANT_DIAG
    KeCancelTimer(&PortOf(DeviceObject)->ReadTotalTimer);
#endif
    CancelQueuedIrps(DeviceObject, Queue);
}

VOID USBKillAllWaits(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue) {
    CancelQueuedIrps(DeviceObject, Queue);
}

VOID USBKillAllWrites(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue) {
    CancelQueuedIrps(DeviceObject, Queue);
}

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
    VXQT70_ASSERT(VXQT70_HOLDS(&Port->PortLock));
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

// ================================================================ the queue protocol
// Every queued request is linked through its own Tail.Overlay.ListEntry,
// marked pending, and carries its queue's cancel routine. The queues change
// only under PortLock; a cancel routine runs under the cancel spin lock and
// takes PortLock inside it to unlink (the only order of the two).
//
// Why exactly one of the cancel routine and a dequeue ends each request:
// both take the cancel routine off the request by an interlocked exchange
// (IoSetCancelRoutine), and only the one that gets it back non-NULL owns the
// request.
//  - QueueIrp installs the routine before it looks at Cancel. A cancellation
//    before that point leaves Cancel set and no routine called: the exchange
//    back gets our routine, the request is refused (STATUS_CANCELLED, neither
//    linked nor marked) and the caller completes it. A cancellation after it
//    calls the routine, which first waits for PortLock (held here): the
//    exchange back gets NULL, so the request is linked and marked pending for
//    the routine, which then unlinks and completes it.
//  - DequeueIrp takes the routine back before it hands a request out. A
//    request whose routine is already gone belongs to its cancel routine,
//    which is waiting for PortLock to unlink it: the dequeue links the entry
//    to itself, so that the routine's unlink is harmless, and goes on.
//  - CancelQueuedIrps (the kill-all walks) unlinks and takes the routine back
//    under both locks and calls the routine itself, as the I/O manager would.

// Caller holds PortLock.
NTSTATUS QueueIrp(PDEVICE_EXTENSION Port, PLIST_ENTRY Queue, PIRP Irp,
                  PDRIVER_CANCEL CancelRoutine, ULONG How) {
    VXQT70_ASSERT(VXQT70_HOLDS(&Port->PortLock));
    // A request that passed its dispatch routine's removal test just before
    // a removal began may get here after the teardown emptied the queues;
    // queued now, nothing would ever end it. The teardown takes PortLock to
    // empty them after the state has changed, so under PortLock one of the
    // two sees the other.
    if (IsDeviceRemoved(Port)) {
        return STATUS_DELETE_PENDING;
    }
    if ((How & QUEUE_SINGLE) != 0 && !IsListEmpty(Queue)) {
        return STATUS_INVALID_PARAMETER;
    }
    IoSetCancelRoutine(Irp, CancelRoutine);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        return STATUS_CANCELLED;
    }
    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
    if ((How & QUEUE_AT_HEAD) != 0) {
        InsertHeadList(Queue, &Irp->Tail.Overlay.ListEntry);
    } else {
        InsertTailList(Queue, &Irp->Tail.Overlay.ListEntry);
    }
    return STATUS_PENDING;
}

// Caller holds PortLock.
PIRP DequeueIrp(PDEVICE_EXTENSION Port, PLIST_ENTRY Queue) {
    VXQT70_ASSERT(VXQT70_HOLDS(&Port->PortLock));
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

// Entered from a cancel routine, cancel spin lock held.
VOID UnlinkCancelledIrp(PDEVICE_EXTENSION Port, PIRP Irp) {
    KIRQL oldIrql;

    VXQT70_ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL);
    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
}

KIRQL LockPortUnlessHeld(PDEVICE_EXTENSION Port, BOOLEAN LockHeld) {
    KIRQL oldIrql = DISPATCH_LEVEL;

    if (LockHeld) {
        VXQT70_ASSERT(VXQT70_HOLDS(&Port->PortLock));
    } else {
        KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    }
    return oldIrql;
}

VOID UnlockPortUnlessHeld(PDEVICE_EXTENSION Port, BOOLEAN LockHeld, KIRQL OldIrql) {
    if (!LockHeld) {
        KeReleaseSpinLock(&Port->PortLock, OldIrql);
    }
}

// ================================================================ the wait-on-mask queue
// One IOCTL_SERIAL_WAIT_ON_MASK request may wait in WaitQueue for the events
// of WaitMask. The sources (read completion, write path, status pipe) record
// their events in EventHistory under PortLock and hand them to the waiting
// request through CompletePendingWaitIrps; what nobody waited for stays in
// EventHistory for the next WAIT_ON_MASK to take. The modem driver completes
// with the serial boost, the diagnostics driver with none (VARIANT_IO_BOOST).

NTSTATUS EnqueueWaitIrp(PDEVICE_EXTENSION Port, PIRP Irp, BOOLEAN LockHeld) {
    KIRQL oldIrql = LockPortUnlessHeld(Port, LockHeld);
    NTSTATUS status = QueueIrp(Port, &Port->WaitQueue, Irp, WaitMaskCancelRoutine, QUEUE_SINGLE);

    UnlockPortUnlessHeld(Port, LockHeld, oldIrql);
    return status;
}

PIRP DequeueWaitIrp(PDEVICE_EXTENSION Port, BOOLEAN LockHeld) {
    KIRQL oldIrql = LockPortUnlessHeld(Port, LockHeld);
    PIRP irp = DequeueIrp(Port, &Port->WaitQueue);

    UnlockPortUnlessHeld(Port, LockHeld, oldIrql);
    return irp;
}

// Hands Events to the waiting request as they are: the sources have already
// filtered them by WaitMask where they should be. Its output buffer was
// checked to hold them when it was queued.
BOOLEAN CompletePendingWaitIrps(PDEVICE_EXTENSION Port, ULONG Events, BOOLEAN LockHeld) {
    PIRP irp = DequeueWaitIrp(Port, LockHeld);

    if (irp == NULL) {
        return FALSE;
    }
    *(PULONG)irp->AssociatedIrp.SystemBuffer = Events;
    irp->IoStatus.Status = STATUS_SUCCESS;
    ReportReplyLength(irp, sizeof(ULONG));
    IoCompleteRequest(irp, VARIANT_IO_BOOST);
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
    IoCompleteRequest(Irp, VARIANT_IO_BOOST);
    ReleaseRemoveLock(port, Irp);
}

// ================================================================ the write queue

NTSTATUS EnqueueWriteIrp(PDEVICE_EXTENSION Port, PIRP Irp, BOOLEAN AtHead, BOOLEAN LockHeld) {
    KIRQL oldIrql = LockPortUnlessHeld(Port, LockHeld);
    NTSTATUS status = QueueIrp(Port, &Port->WriteQueue, Irp, WriteCancelRoutine,
                               AtHead ? QUEUE_AT_HEAD : QUEUE_AT_TAIL);

    UnlockPortUnlessHeld(Port, LockHeld, oldIrql);
    return status;
}

PIRP DequeueWriteIrp(PDEVICE_EXTENSION Port, BOOLEAN LockHeld) {
    KIRQL oldIrql = LockPortUnlessHeld(Port, LockHeld);
    PIRP irp = DequeueIrp(Port, &Port->WriteQueue);

    UnlockPortUnlessHeld(Port, LockHeld, oldIrql);
    return irp;
}

// ================================================================ read timing
// Read lengths are counted in LONGs (ReadLengthRemaining, the ring's counts);
// a longer read is served as one of this many bytes.
#define READ_LENGTH_LIMIT 0x7FFFFFFFUL
// Above this many milliseconds a total time-out would not fit a relative due
// time in 100 ns units; it is held there (some 29,000 years).
#define TOTAL_TIMEOUT_LIMIT_MS 922337203685477ULL

// The total time-out, as serial applications use the three values:
//
//   interval   multiplier  constant   the read
//   MAXULONG   0           0          returns at once with what the ring holds
//   MAXULONG   any         MAXULONG   waits for data, no total time-out
//   MAXULONG   MAXULONG    finite     waits for data at most `constant` ms
//   MAXULONG   other       finite     waits multiplier x bytes + constant ms
//   other      0           0          no total time-out
//   other      any         any        waits multiplier x bytes + constant ms
//
// (The modem driver adds its interval timer for a finite, non-zero interval;
// that is its own.)
VOID ClassifyTotalTimeout(const SERIAL_TIMEOUTS* Timeouts, PREAD_TIMING Timing) {
    ULONG interval = Timeouts->ReadIntervalTimeout;
    ULONG multiplier = Timeouts->ReadTotalTimeoutMultiplier;
    ULONG constant = Timeouts->ReadTotalTimeoutConstant;

    Timing->Immediate = FALSE;
    Timing->UseTotalTimer = TRUE;
    Timing->Multiplier = multiplier;
    Timing->Constant = constant;
    if (interval == TIMEOUT_MAXULONG) {
        if (multiplier == 0 && constant == 0) {
            Timing->Immediate = TRUE;
            Timing->UseTotalTimer = FALSE;
        } else if (constant == TIMEOUT_MAXULONG) {
            Timing->UseTotalTimer = FALSE;
        } else if (multiplier == TIMEOUT_MAXULONG) {
            Timing->Multiplier = 0;
        }
    } else if (multiplier == 0 && constant == 0) {
        Timing->UseTotalTimer = FALSE;
    }
}

LARGE_INTEGER TotalDueTime(const READ_TIMING* Timing, LONG Remaining) {
    ULONGLONG ms = (ULONGLONG)Timing->Multiplier * (ULONG)Remaining + Timing->Constant;
    LARGE_INTEGER due;

    if (ms > TOTAL_TIMEOUT_LIMIT_MS) {
        ms = TOTAL_TIMEOUT_LIMIT_MS;
    }
    due.QuadPart = -(LONGLONG)(ms * MS_TO_100NS);
    return due;
}

LONG ReadLengthOf(PIRP Irp) {
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    return (LONG)(length > READ_LENGTH_LIMIT ? READ_LENGTH_LIMIT : length);
}

// ReadLengthRemaining may belong to a later read that was refused, so the
// copy is bounded by this read's own length.
LONG CopyFromRing(PDEVICE_EXTENSION Port, PIRP Irp) {
    LONG already = (LONG)Irp->IoStatus.Information;
    LONG copied = 0;

    ReadFromBuffer(Port, (PUCHAR)Irp->AssociatedIrp.SystemBuffer + already,
                   ReadLengthOf(Irp) - already, &copied);
    Irp->IoStatus.Information += copied;
    Port->ReadLengthRemaining -= copied;
    return copied;
}

// A bus that overstates the length must not make the ring copy from beyond
// the buffer.
LONG ReceivedLength(PDEVICE_EXTENSION Port) {
    ULONG reported = Port->ReadUrb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    return (LONG)(reported > READ_TRANSFER_SIZE ? READ_TRANSFER_SIZE : reported);
}
