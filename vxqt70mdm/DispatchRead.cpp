// The receive side of the modem port. While the port is open one bulk-in
// transfer is always outstanding; each one that completes well puts its
// bytes in the input ring, completes the queued read from the ring, reports
// the receive events and issues the next. Reads are answered from the ring:
// a read that finds bytes there completes at once with them, a read that
// finds none waits for the next transfer (whatever it brings) or for its
// time-out. A read never waits for more data once some data is there.
//
// PortLock guards ReadQueue, the two DPC flags, UseIntervalTimer and the
// interval fields, PerfStats.ReceivedCount, WaitMask and EventHistory. The
// ring has its own lock and is called without PortLock (but for the count in
// the event report, PortLock then InputLock). Timers are set and cancelled
// outside any lock. ReadLengthRemaining belongs to the one read in progress.
#include "mdm.h"

// ---------------------------------------------------------------- time-outs

// Caller holds PortLock. A finite, non-zero interval selects the interval
// timer for this read; see ArmIntervalTimer for when it runs.
static VOID ClassifyIntervalTimeout(PDEVICE_EXTENSION Port, ULONG Interval) {
    VXQT70_ASSERT(VXQT70_HOLDS(&Port->PortLock));
    Port->UseIntervalTimer = FALSE;
    if (Interval == 0 || Interval == TIMEOUT_MAXULONG) {
        return;
    }
    Port->UseIntervalTimer = TRUE;
    Port->IntervalTime.QuadPart = (LONGLONG)((ULONGLONG)Interval * MS_TO_100NS);
    Port->IntervalDueSelected = Port->IntervalTime.QuadPart < Port->IntervalCutover.QuadPart
                                    ? &Port->IntervalDueShort
                                    : &Port->IntervalDueLong;
}

// Sets up the port for a new read of Length bytes and classifies its
// time-outs. The previous read's DPC flags are dropped with it.
static VOID BeginRead(PDEVICE_EXTENSION Port, LONG Length, PREAD_TIMING Timing) {
    SERIAL_TIMEOUTS timeouts;
    KIRQL oldIrql;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    Port->IntervalDpcActive = FALSE;
    Port->TotalDpcActive = FALSE;
    Port->ReadLengthRemaining = Length;
    timeouts = Port->Timeouts;
    ClassifyIntervalTimeout(Port, timeouts.ReadIntervalTimeout);
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    ClassifyTotalTimeout(&timeouts, Timing);
}

static VOID RetryStalledReception(PDEVICE_EXTENSION Port);

// ---------------------------------------------------------------- reads and the ring

// Caller holds PortLock. The read is over: its bytes are counted and its
// interval time-out no longer applies.
static VOID EndReadLocked(PDEVICE_EXTENSION Port, LONG Copied) {
    VXQT70_ASSERT(VXQT70_HOLDS(&Port->PortLock));
    Port->PerfStats.ReceivedCount += Copied;
    Port->UseIntervalTimer = FALSE;
}

static NTSTATUS CompleteRead(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    return Status;
}

// Completes a read the dispatch holds the remove lock for.
static NTSTATUS FinishRead(PDEVICE_EXTENSION Port, PIRP Irp, NTSTATUS Status) {
    CompleteRead(Irp, Status);
    ReleaseRemoveLock(Port, Irp);
    return Status;
}

// TRUE when the read is to be completed now: it is an immediate one, or the
// ring gave it something, or it wanted nothing more.
static BOOLEAN ReadEndsNow(PDEVICE_EXTENSION Port, PIRP Irp, const READ_TIMING* Timing,
                           LONG Copied) {
    BOOLEAN endsNow;
    KIRQL oldIrql;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    endsNow = (BOOLEAN)(Timing->Immediate || Port->ReadLengthRemaining == 0 ||
                        Irp->IoStatus.Information != 0);
    if (endsNow) {
        EndReadLocked(Port, Copied);
    }
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    return endsNow;
}

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    READ_TIMING timing;
    LARGE_INTEGER due;
    LONG length;
    LONG copied;
    NTSTATUS status;

    Irp->IoStatus.Information = 0;
    if (IsDeviceRemoved(port) || !NT_SUCCESS(AcquireRemoveLock(port, Irp))) {
        return CompleteRead(Irp, STATUS_DELETE_PENDING);
    }
    length = ReadLengthOf(Irp);
    if (length == 0) {
        return FinishRead(port, Irp, STATUS_SUCCESS);
    }

    RetryStalledReception(port);
    KeCancelTimer(&port->ReadTotalTimer);
    KeCancelTimer(&port->ReadIntervalTimer);
    BeginRead(port, length, &timing);
    copied = CopyFromRing(port, Irp);
    if (ReadEndsNow(port, Irp, &timing, copied)) {
        return FinishRead(port, Irp, STATUS_SUCCESS);
    }

    // The due time is taken while the read is still this thread's alone: once
    // queued, a transfer completing on another processor may end it and
    // change ReadLengthRemaining under us.
    due = TotalDueTime(&timing, port->ReadLengthRemaining);
    status = EnqueueReadIrp(port, Irp);
    if (status == STATUS_PENDING && timing.UseTotalTimer) {
        KeSetTimer(&port->ReadTotalTimer, due, &port->ReadTotalDpc);
    }
    return status;
}

// ---------------------------------------------------------------- the read queue

NTSTATUS EnqueueReadIrp(PDEVICE_EXTENSION Port, PIRP Irp) {
    KIRQL oldIrql;
    NTSTATUS status;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    status = QueueIrp(Port, &Port->ReadQueue, Irp, WaitMaskCancelRoutine, QUEUE_SINGLE);
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    if (status != STATUS_PENDING) {
        FinishRead(Port, Irp, status);
    }
    return status;
}

PIRP DequeueReadIrp(PDEVICE_EXTENSION Port) {
    KIRQL oldIrql;
    PIRP irp;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    irp = DequeueIrp(Port, &Port->ReadQueue);
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    return irp;
}

// The reads in ReadQueue now. Takes PortLock.
static ULONG CountQueuedReads(PDEVICE_EXTENSION Port) {
    PLIST_ENTRY entry;
    ULONG count = 0;
    KIRQL oldIrql;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    for (entry = Port->ReadQueue.Flink; entry != &Port->ReadQueue; entry = entry->Flink) {
        count++;
    }
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    return count;
}

// Completes the reads that are queued when it is called, and no more. The
// queue is not locked between one completion and the next, so a reader that
// issues its next read as soon as one ends would otherwise keep feeding this
// loop: each new read ending at once with nothing, and the bulk-in
// completion that called it never getting to issue the next transfer for as
// long as the reader kept reading.
VOID CompletePendingReadIrps(PDEVICE_EXTENSION Port) {
    ULONG waiting = CountQueuedReads(Port);
    PIRP irp;

    for (; waiting != 0 && (irp = DequeueReadIrp(Port)) != NULL; waiting--) {
        LONG copied = CopyFromRing(Port, irp);
        NTSTATUS status = Port->ReadLengthRemaining != 0 ? STATUS_TIMEOUT : STATUS_SUCCESS;
        KIRQL oldIrql;

        KeAcquireSpinLock(&Port->PortLock, &oldIrql);
        EndReadLocked(Port, copied);
        KeReleaseSpinLock(&Port->PortLock, oldIrql);
        FinishRead(Port, irp, status);
    }
}

// ---------------------------------------------------------------- time-out DPCs
// The two DPCs complete the queued read with what the ring holds. Each marks
// itself active while it does, and stands back while the other one is.

static VOID CompleteReadsOnTimeout(PDEVICE_EXTENSION Port, PBOOLEAN Mine, PBOOLEAN Other) {
    KIRQL oldIrql;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    if (*Other) {
        KeReleaseSpinLock(&Port->PortLock, oldIrql);
        return;
    }
    *Mine = TRUE;
    KeReleaseSpinLock(&Port->PortLock, oldIrql);

    CompletePendingReadIrps(Port);

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    *Mine = FALSE;
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
}

VOID NTAPI ReadTotalTimeoutDPC(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
    PDEVICE_EXTENSION port = (PDEVICE_EXTENSION)Context;

    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    CompleteReadsOnTimeout(port, &port->TotalDpcActive, &port->IntervalDpcActive);
}

VOID NTAPI ReadIntervalTimeoutDPC(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
    PDEVICE_EXTENSION port = (PDEVICE_EXTENSION)Context;

    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    CompleteReadsOnTimeout(port, &port->IntervalDpcActive, &port->TotalDpcActive);
}

// ---------------------------------------------------------------- the bulk-in transfer

NTSTATUS ReadBulkPipe(PDEVICE_EXTENSION Port) {
    NTSTATUS status;

    IncPendingIRPCnt(Port);
    status = AcquireRemoveLock(Port, NULL);
    if (!NT_SUCCESS(status)) {
        // The device is being removed: no transfer, and nothing to wait for.
        DecPendingIRPCnt(Port);
        return status;
    }

    // When no IRP can be had the count and the lock are given back, and the
    // chain has ended: the next read starts it again.
    status = SubmitReceiveTransfer(Port, &Port->ReadUrb, Port->BulkInPipe, Port->ReadTransferBuffer,
                                   READ_TRANSFER_SIZE, ReadPipeCompletion);
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
        KIRQL oldIrql;

        KeAcquireSpinLock(&Port->PortLock, &oldIrql);
        Port->ReceiveStalled = TRUE;
        KeReleaseSpinLock(&Port->PortLock, oldIrql);
    }
    return status;
}

// A read on a port whose bulk-in chain stopped for want of memory issues the
// transfer again, as an issuer of its own (CountReceiverLocked), so that a
// close orders its aborts after it; during a sleep the wake does it instead.
// PASSIVE_LEVEL, no lock held.
static VOID RetryStalledReception(PDEVICE_EXTENSION Port) {
    BOOLEAN retry;
    KIRQL oldIrql;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    retry = (BOOLEAN)(Port->ReceiveStalled && Port->PortOpen && !Port->ResumeAfterSleep);
    if (retry) {
        Port->ReceiveStalled = FALSE;
        CountReceiverLocked(Port);
    }
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    if (retry) {
        ReadBulkPipe(Port);
        EndReceive(Port);
    }
}

// Every good transfer raises the receive events in the mask, whether or not
// it carried bytes; the record is left for the next WAIT_ON_MASK as well.
// The data are not searched for the event character.
static VOID ReportReceiveEvents(PDEVICE_EXTENSION Port) {
    ULONG events;
    KIRQL oldIrql;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    if (Port->WaitMask & SERIAL_EV_RXFLAG) {
        Port->EventHistory |= SERIAL_EV_RXFLAG;
    }
    if (Port->WaitMask & SERIAL_EV_RXCHAR) {
        Port->EventHistory |= SERIAL_EV_RXCHAR;
    }
    if ((Port->WaitMask & SERIAL_EV_RX80FULL) &&
        GetNoCharsInInputBuffer(Port) >= INPUT_RX80FULL_MARK) {
        Port->EventHistory |= SERIAL_EV_RX80FULL;
    }
    events = Port->EventHistory;
    KeReleaseSpinLock(&Port->PortLock, oldIrql);

    if (events != 0) {
        CompletePendingWaitIrps(Port, events, FALSE);
    }
}

// The interval time-out measures the gap after a received byte, never the
// wait for the first one: a read that finds the ring empty waits for data
// (or its total time-out) however small its interval. So the timer is armed
// only by a transfer that brought bytes, and only while the read that asked
// for it is still in progress (UseIntervalTimer is set by the read and
// cleared when that read completes). With every read completed by the first
// transfer after it was queued, that leaves one case: bytes that arrived
// after the read found the ring empty but before it was queued. The timer
// then hands them to the read a moment later, instead of leaving it to wait
// for the next transfer. Each good transfer and each new read cancel the
// timer before anything else, and a later transfer with bytes re-arms it.
static VOID ArmIntervalTimer(PDEVICE_EXTENSION Port, LONG Received) {
    LARGE_INTEGER due;
    BOOLEAN arm;
    KIRQL oldIrql;

    if (Received == 0) {
        return;
    }
    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    arm = Port->UseIntervalTimer;
    if (arm) {
        due = *Port->IntervalDueSelected;
    }
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    if (arm) {
        KeSetTimer(&Port->ReadIntervalTimer, due, &Port->ReadIntervalDpc);
    }
}

static VOID ReceiveTransfer(PDEVICE_EXTENSION Port, RECEIVE_STEP Step) {
    LONG received = ReceivedLength(Port);
    LONG stored;

    if (received != 0) {
        // What does not fit in the ring is dropped.
        WriteToBuffer(Port, Port->ReadTransferBuffer, received, &stored);
    }
    KeCancelTimer(&Port->ReadTotalTimer);
    KeCancelTimer(&Port->ReadIntervalTimer);
    CompletePendingReadIrps(Port);
    ReportReceiveEvents(Port);
    ArmIntervalTimer(Port, received);
    // The next transfer is counted before this one is given back, so the
    // pending count and the remove lock never touch their idle values while
    // the port reads.
    if (Step == ReceiveNext) {
        ReadBulkPipe(Port);
    }
}

// A good transfer feeds the ring and issues the next (but while a sleep is
// noted, when the wake issues it); a failed one, or any that comes back
// after the port was closed, ends the chain (no retry). The
// IRP is the submission's own, so it is freed here.
NTSTATUS NTAPI ReadPipeCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    PDEVICE_EXTENSION port = (PDEVICE_EXTENSION)Context;

    RECEIVE_STEP step = ReceiveClosed;

    UNREFERENCED_PARAMETER(DeviceObject);
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        step = BeginReceive(port);
    }
    if (step == ReceiveClosed) {
        ReportPipeFailure(port);
    } else {
        ReceiveTransfer(port, step);
    }
    if (step == ReceiveNext) {
        EndReceive(port);
    }
    IoFreeIrp(Irp);
    DecPendingIRPCnt(port);
    ReleaseRemoveLock(port, NULL);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
