// The receive side of the diagnostics port. While the port is open one
// bulk-in transfer is outstanding, or a worker is about to issue it: each
// completed transfer stores its bytes in the ring, completes the queued read
// and reports the receive events, and the next one is issued from a system
// worker thread. A failed transfer is retried the same way, unless it shows
// that the phone is gone or too many have failed since the open.
//
// PortLock is held across each whole operation (the read dispatch with its
// ring copy and timer setting, the bulk-in completion, the time-out DPC),
// which is also what guards the ring in this driver. ReadLengthRemaining
// belongs to the read in progress.
#include "diag.h"

// Completes a read and gives back what it held: its hold on the remove lock
// (when it took one) and its count in PendingReadWriteIrps. Completing inside
// PortLock is safe: no completion a read can reach takes it.
static NTSTATUS FinishRead(PDEVICE_EXTENSION Port, PIRP Irp, NTSTATUS Status, BOOLEAN Held) {
    Irp->IoStatus.Status = Status;
    if (Held) {
        ReleaseRemoveLock(Port, Irp);
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    DecPendingReadWriteIRPCnt(Port);
    return Status;
}

static VOID RetryStalledReception(PDEVICE_EXTENSION Port);

// ---------------------------------------------------------------- dispatch
// Caller holds PortLock and the read's remove lock; the read wants Length
// bytes, more than none. It takes what the ring holds, or waits in the queue
// under its total time-out; the status it is to be completed with comes back,
// or STATUS_PENDING once it waits.
static NTSTATUS StartRead(PDEVICE_EXTENSION Port, PIRP Irp, LONG Length) {
    READ_TIMING timing;
    LONG copied;
    NTSTATUS status;

    VXQT70_ASSERT(VXQT70_HOLDS(&Port->PortLock));
    // A read already waiting keeps its time-out: this one can only be
    // answered at once (a queued read means the ring is empty), and must not
    // leave the waiting one without an end.
    if (IsListEmpty(&Port->ReadQueue)) {
        KeCancelTimer(&Port->ReadTotalTimer);
        Port->ReadLengthRemaining = Length;
    }
    ClassifyTotalTimeout(&Port->Timeouts, &timing);

    copied = CopyFromRing(Port, Irp);
    if (timing.Immediate || copied != 0) {
        Port->PerfStats.ReceivedCount += copied;
        return STATUS_SUCCESS;
    }
    status = EnqueueReadIrp(Port, Irp);
    if (status == STATUS_PENDING && timing.UseTotalTimer) {
        KeSetTimer(&Port->ReadTotalTimer, TotalDueTime(&timing, Length), &Port->ReadTotalDpc);
    }
    return status;
}

// IRP_MJ_READ, at PASSIVE_LEVEL in the caller's thread. The read is counted
// in PendingReadWriteIrps from the start, so a close waits for it.
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    LONG length = ReadLengthOf(Irp);
    NTSTATUS status;
    KIRQL oldIrql;

    RetryStalledReception(port);
    IncPendingReadWriteIRPCnt(port);
    KeAcquireSpinLock(&port->PortLock, &oldIrql);
    Irp->IoStatus.Information = 0;

    if (IsDeviceRemoved(port) || !NT_SUCCESS(AcquireRemoveLock(port, Irp))) {
        port->EventHistory = 0;
        KeReleaseSpinLock(&port->PortLock, oldIrql);
        return FinishRead(port, Irp, STATUS_DELETE_PENDING, FALSE);
    }
    if (length == 0) {
        KeReleaseSpinLock(&port->PortLock, oldIrql);
        return FinishRead(port, Irp, STATUS_SUCCESS, TRUE);
    }

    status = StartRead(port, Irp, length);
    KeReleaseSpinLock(&port->PortLock, oldIrql);
    if (status == STATUS_PENDING) {
        return STATUS_PENDING;
    }
    return FinishRead(port, Irp, status, TRUE);
}

// ---------------------------------------------------------------- the read queue

// A second read while one waits is not an error here: it is answered at once
// with no bytes, and the waiting read stays.
NTSTATUS EnqueueReadIrp(PDEVICE_EXTENSION Port, PIRP Irp) {
    NTSTATUS status = QueueIrp(Port, &Port->ReadQueue, Irp, ReadCancelRoutine, QUEUE_SINGLE);

    if (status == STATUS_INVALID_PARAMETER) {
        status = STATUS_SUCCESS;
        Irp->IoStatus.Status = STATUS_SUCCESS;
    }
    return status;
}

PIRP DequeueReadIrp(PDEVICE_EXTENSION Port) {
    return DequeueIrp(Port, &Port->ReadQueue);
}

// A read is never held back for more once something is there: with bytes in
// the ring it takes what fits and succeeds, however short; with none it ends
// as a time-out with no bytes.
VOID CompletePendingReadIrps(PDEVICE_EXTENSION Port) {
    PIRP irp;

    VXQT70_ASSERT(VXQT70_HOLDS(&Port->PortLock));
    while ((irp = DequeueReadIrp(Port)) != NULL) {
        NTSTATUS status;

        if (GetNoCharsInInputBuffer(Port) != 0) {
            Port->PerfStats.ReceivedCount += CopyFromRing(Port, irp);
            status = STATUS_SUCCESS;
        } else {
            Port->ReadLengthRemaining = 0;
            status = STATUS_TIMEOUT;
        }
        FinishRead(Port, irp, status, TRUE);
    }
}

// Entered with the cancel spin lock held, by the I/O manager or a kill-all
// walk (a purge with SERIAL_PURGE_RXABORT among them).
VOID NTAPI ReadCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);

    UnlinkCancelledIrp(port, Irp);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    ReleaseRemoveLock(port, Irp);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    DecPendingReadWriteIRPCnt(port);
}

// The waiting read ends with what the ring holds, which is normally nothing.
VOID NTAPI ReadTotalTimeoutDPC(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
    PDEVICE_EXTENSION port = (PDEVICE_EXTENSION)Context;
    KIRQL oldIrql;

    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    KeAcquireSpinLock(&port->PortLock, &oldIrql);
    CompletePendingReadIrps(port);
    KeReleaseSpinLock(&port->PortLock, oldIrql);
}

// ---------------------------------------------------------------- the bulk-in transfer

NTSTATUS ReadBulkPipe(PDEVICE_EXTENSION Port, USBD_PIPE_HANDLE Pipe) {
    IncPendingReadWriteIRPCnt(Port);
    // When no IRP can be had the count is given back.
    return SubmitReceiveTransfer(Port, &Port->ReadUrb, Pipe, Port->ReadTransferBuffer,
                                 READ_TRANSFER_SIZE, ReadPipeCompletion);
}

BOOLEAN IsErrorInEndpoint(PDEVICE_EXTENSION Port, PURB Urb, NTSTATUS Status) {
    VXQT70_ASSERT(VXQT70_HOLDS(&Port->PortLock));
    if (Urb->UrbHeader.Status == USBD_STATUS_DEV_NOT_RESPONDING ||
        Status == STATUS_DEVICE_NOT_CONNECTED || Status == STATUS_DEVICE_DATA_ERROR ||
        Port->TransferErrorCount > TRANSFER_ERROR_LIMIT) {
        Port->DeviceLostCode = DEVICE_LOST_CODE;
        return TRUE;
    }
    return FALSE;
}

// Caller holds PortLock. Receive events are raised only for bytes nobody has
// taken yet: a transfer whose bytes all went to the waiting read raises none.
// RXFLAG, when asked for, starts the record afresh (the data are not searched
// for the event character); the record is left for the next WAIT_ON_MASK.
static VOID ReportReceiveEvents(PDEVICE_EXTENSION Port) {
    LONG held = GetNoCharsInInputBuffer(Port);

    VXQT70_ASSERT(VXQT70_HOLDS(&Port->PortLock));
    if (held == 0) {
        return;
    }
    if (Port->WaitMask & SERIAL_EV_RXFLAG) {
        Port->EventHistory = SERIAL_EV_RXFLAG;
    }
    if (Port->WaitMask & SERIAL_EV_RXCHAR) {
        Port->EventHistory |= SERIAL_EV_RXCHAR;
    }
    if ((Port->WaitMask & SERIAL_EV_RX80FULL) && held >= INPUT_RX80FULL_MARK) {
        Port->EventHistory |= SERIAL_EV_RX80FULL;
    }
    if (Port->EventHistory != 0) {
        CompletePendingWaitIrps(Port, Port->EventHistory, TRUE);
    }
}

BOOLEAN ClaimReception(PDEVICE_EXTENSION Port) {
    BOOLEAN claimed;
    KIRQL oldIrql;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    claimed = (BOOLEAN)!Port->ReceptionOwned;
    Port->ReceptionOwned = TRUE;
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    return claimed;
}

VOID IssueOwnedRead(PDEVICE_EXTENSION Port) {
    BOOLEAN issue;
    KIRQL oldIrql;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    issue = (BOOLEAN)(Port->PortOpen && !IsDeviceRemoved(Port));
    if (issue) {
        CountReceiverLocked(Port);
    } else {
        Port->ReceptionOwned = FALSE;
    }
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    if (!issue) {
        return;
    }
    if (ReadBulkPipe(Port, Port->BulkInPipe) == STATUS_INSUFFICIENT_RESOURCES) {
        // Nothing went down and nothing will complete: the chain has ended.
        // The next read, open or wake claims ReadUrb again.
        KeAcquireSpinLock(&Port->PortLock, &oldIrql);
        Port->ReceptionOwned = FALSE;
        Port->ReceiveStalled = TRUE;
        KeReleaseSpinLock(&Port->PortLock, oldIrql);
    }
    EndReceive(Port);
}

// A read on a port whose bulk-in chain stopped for want of memory starts it
// again; during a sleep the wake does it instead. PASSIVE_LEVEL, no lock held.
static VOID RetryStalledReception(PDEVICE_EXTENSION Port) {
    BOOLEAN retry;
    KIRQL oldIrql;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    retry = (BOOLEAN)(Port->ReceiveStalled && !Port->ResumeAfterSleep);
    if (retry) {
        Port->ReceiveStalled = FALSE;
    }
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    if (retry) {
        StartReception(Port);
    }
}

// Queues the next transfer for the worker, which then owns ReadUrb. Should no
// work item be had, the transfer is issued from here instead, under the
// checks the worker would make, so that reception never stops while the port
// stays open. Caller holds no spin lock.
static VOID RestartReception(PDEVICE_EXTENSION Port) {
    if (NT_SUCCESS(NextRead(Port))) {
        return;
    }
    IssueOwnedRead(Port);
}

// A good transfer feeds the ring; a failed one, or any that comes back after
// cleanup, is counted. Either way the next transfer goes out from a worker,
// unless the failure came during a sleep transition (the wake restarts
// reception) or marked the device lost; the restart inherits ownership of
// ReadUrb. The restart is counted before this
// transfer is given back, so a drain never sees the count touch 0 between
// two transfers. The IRP is the submission's own, so it is freed here.
NTSTATUS NTAPI ReadPipeCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    PDEVICE_EXTENSION port = (PDEVICE_EXTENSION)Context;
    NTSTATUS status = Irp->IoStatus.Status;
    BOOLEAN restart = FALSE;
    KIRQL oldIrql;

    UNREFERENCED_PARAMETER(DeviceObject);
    KeAcquireSpinLock(&port->PortLock, &oldIrql);
    if (NT_SUCCESS(status) && port->ReadUrb.UrbHeader.Status == USBD_STATUS_SUCCESS &&
        port->PortOpen) {
        LONG received = ReceivedLength(port);
        LONG stored;

        if (received != 0) {
            // What does not fit in the ring is dropped.
            WriteToBuffer(port, port->ReadTransferBuffer, received, &stored);
        }
        KeCancelTimer(&port->ReadTotalTimer);
        CompletePendingReadIrps(port);
        ReportReceiveEvents(port);
        restart = TRUE;
    } else {
        InterlockedIncrement(&port->TransferErrorCount);
        restart = (BOOLEAN)(!port->ResumeAfterSleep && port->PortOpen &&
                            !IsErrorInEndpoint(port, &port->ReadUrb, status));
    }
    // Without a restart this completion is the chain's end, and the next
    // start (the wake's) may claim ReadUrb.
    port->ReceptionOwned = restart;
    KeReleaseSpinLock(&port->PortLock, oldIrql);

    if (restart) {
        RestartReception(port);
    }
    IoFreeIrp(Irp);
    DecPendingReadWriteIRPCnt(port);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
