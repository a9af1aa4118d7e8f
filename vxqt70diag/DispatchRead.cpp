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

// A SERIAL_TIMEOUTS field that means "not this kind of time-out" or "forever".
#define TIMEOUT_MAXULONG ((ULONG)0xFFFFFFFF)
#define MS_TO_100NS 10000
// Above this many milliseconds a total time-out would not fit a relative due
// time in 100 ns units; it is held there (some 29,000 years).
#define TOTAL_TIMEOUT_LIMIT_MS 922337203685477ULL
// Read lengths are counted in LONGs (ReadLengthRemaining, the ring's counts);
// a longer read is served as one of this many bytes.
#define READ_LENGTH_LIMIT 0x7FFFFFFFUL

// The read half of SERIAL_TIMEOUTS as one read applies it. There is no
// interval time-out in this driver: a read is completed by the first transfer
// after it was queued, whatever that brings.
typedef struct _READ_TIMING {
    BOOLEAN Immediate;     // return at once with what the ring holds
    BOOLEAN UseTotalTimer; // ReadTotalTimer runs while the read waits
    ULONG Multiplier;      // ms per byte still wanted
    ULONG Constant;        // ms
} READ_TIMING, *PREAD_TIMING;

// Interval MAXULONG with both totals 0 is "return at once"; interval MAXULONG
// with a finite constant waits for data at most that long, MAXULONG in the
// multiplier then meaning "not per byte"; a constant of MAXULONG there means
// "wait for data". Otherwise both totals 0 is "no total time-out", and any
// other pair is taken as given.
static VOID ClassifyTotalTimeout(const SERIAL_TIMEOUTS* Timeouts, PREAD_TIMING Timing) {
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

// Relative due time of the total time-out for Remaining bytes still wanted.
static LARGE_INTEGER TotalDueTime(const READ_TIMING* Timing, LONG Remaining) {
    ULONGLONG ms = (ULONGLONG)Timing->Multiplier * (ULONG)Remaining + Timing->Constant;
    LARGE_INTEGER due;

    if (ms > TOTAL_TIMEOUT_LIMIT_MS) {
        ms = TOTAL_TIMEOUT_LIMIT_MS;
    }
    due.QuadPart = -(LONGLONG)(ms * MS_TO_100NS);
    return due;
}

static LONG ReadLengthOf(PIRP Irp) {
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    return (LONG)(length > READ_LENGTH_LIMIT ? READ_LENGTH_LIMIT : length);
}

// Caller holds PortLock. Moves what the ring holds into the read's system
// buffer, after the bytes it already has and never past its own length.
static LONG CopyFromRing(PDEVICE_EXTENSION Port, PIRP Irp) {
    LONG already = (LONG)Irp->IoStatus.Information;
    LONG copied = 0;

    ReadFromBuffer(Port, (PUCHAR)Irp->AssociatedIrp.SystemBuffer + already,
                   ReadLengthOf(Irp) - already, &copied);
    Irp->IoStatus.Information += copied;
    Port->ReadLengthRemaining -= copied;
    return copied;
}

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

// ---------------------------------------------------------------- dispatch
// IRP_MJ_READ, at PASSIVE_LEVEL in the caller's thread. The read is counted
// in PendingReadWriteIrps from the start, so a close waits for it.
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    SERIAL_TIMEOUTS timeouts;
    READ_TIMING timing;
    LONG length = ReadLengthOf(Irp);
    LONG copied;
    NTSTATUS status;
    KIRQL oldIrql;

    IncPendingReadWriteIRPCnt(port);
    KeAcquireSpinLock(&port->PortLock, &oldIrql);
    Irp->IoStatus.Information = 0;

    if (IsDeviceRemoved(port)) {
        port->EventHistory = 0;
        KeReleaseSpinLock(&port->PortLock, oldIrql);
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
        DecPendingReadWriteIRPCnt(port);
        return STATUS_DELETE_PENDING;
    }
    status = AcquireRemoveLock(port, Irp);
    if (!NT_SUCCESS(status)) {
        KeReleaseSpinLock(&port->PortLock, oldIrql);
        return FinishRead(port, Irp, status, FALSE);
    }
    if (length == 0) {
        KeReleaseSpinLock(&port->PortLock, oldIrql);
        return FinishRead(port, Irp, STATUS_SUCCESS, TRUE);
    }

    // A read already waiting keeps its time-out: this one can only be
    // answered at once (a queued read means the ring is empty), and must not
    // leave the waiting one without an end.
    if (IsListEmpty(&port->ReadQueue)) {
        KeCancelTimer(&port->ReadTotalTimer);
        port->ReadLengthRemaining = length;
    }
    timeouts = port->Timeouts;
    ClassifyTotalTimeout(&timeouts, &timing);

    copied = CopyFromRing(port, Irp);
    if (!timing.Immediate && copied == 0) {
        status = EnqueueReadIrp(port, Irp);
        if (status == STATUS_PENDING) {
            if (timing.UseTotalTimer) {
                KeSetTimer(&port->ReadTotalTimer, TotalDueTime(&timing, length),
                           &port->ReadTotalDpc);
            }
            KeReleaseSpinLock(&port->PortLock, oldIrql);
            return STATUS_PENDING;
        }
        KeReleaseSpinLock(&port->PortLock, oldIrql);
        Irp->IoStatus.Information = 0;
        return FinishRead(port, Irp, status, TRUE);
    }

    port->PerfStats.ReceivedCount += copied;
    KeReleaseSpinLock(&port->PortLock, oldIrql);
    return FinishRead(port, Irp, STATUS_SUCCESS, TRUE);
}

// ---------------------------------------------------------------- the read queue

// A second read while one waits is not an error here: it is answered at once
// with no bytes, and the waiting read stays.
NTSTATUS EnqueueReadIrp(PDEVICE_EXTENSION Port, PIRP Irp) {
    NTSTATUS status = QueueSingleIrp(&Port->ReadQueue, Irp, ReadCancelRoutine);

    if (status == STATUS_INVALID_PARAMETER) {
        status = STATUS_SUCCESS;
        Irp->IoStatus.Status = STATUS_SUCCESS;
    }
    return status;
}

PIRP DequeueReadIrp(PDEVICE_EXTENSION Port) {
    return DequeueSingleIrp(&Port->ReadQueue);
}

// A read is never held back for more once something is there: with bytes in
// the ring it takes what fits and succeeds, however short; with none it ends
// as a time-out with no bytes.
VOID CompletePendingReadIrps(PDEVICE_EXTENSION Port) {
    PIRP irp;

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

// The URB is rebuilt from nothing for every transfer, so nothing the bus
// left in it from the last one carries over.
NTSTATUS ReadBulkPipe(PDEVICE_EXTENSION Port, USBD_PIPE_HANDLE Pipe) {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &Port->ReadUrb.UrbBulkOrInterruptTransfer;

    IncPendingReadWriteIRPCnt(Port);
    RtlZeroMemory(&Port->ReadUrb, sizeof(URB));
    transfer->Hdr.Length = (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer->PipeHandle = Pipe;
    transfer->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    transfer->TransferBufferLength = READ_TRANSFER_SIZE;
    transfer->TransferBuffer = Port->ReadTransferBuffer;
    transfer->TransferBufferMDL = NULL;
    transfer->UrbLink = NULL;
    // When no IRP can be had SubmitUrb gives the count back itself.
    return SubmitUrb(Port->LowerDeviceObject, &Port->ReadUrb, ReadPipeCompletion, Port);
}

BOOLEAN IsErrorInEndpoint(PDEVICE_EXTENSION Port, PURB Urb, NTSTATUS Status) {
    if (Urb->UrbHeader.Status == USBD_STATUS_DEV_NOT_RESPONDING ||
        Status == STATUS_DEVICE_NOT_CONNECTED || Status == STATUS_DEVICE_DATA_ERROR ||
        Port->TransferErrorCount > TRANSFER_ERROR_LIMIT) {
        Port->DeviceLostCode = DEVICE_LOST_CODE;
        return TRUE;
    }
    return FALSE;
}

// What the bus says it put in ReadTransferBuffer, never more than the buffer
// holds: a bus that overstates the length must not make the ring copy from
// beyond the buffer.
static LONG ReceivedLength(PDEVICE_EXTENSION Port) {
    ULONG reported = Port->ReadUrb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    return (LONG)(reported > READ_TRANSFER_SIZE ? READ_TRANSFER_SIZE : reported);
}

// Caller holds PortLock. Receive events are raised only for bytes nobody has
// taken yet: a transfer whose bytes all went to the waiting read raises none.
// RXFLAG, when asked for, starts the record afresh (the data are not searched
// for the event character); the record is left for the next WAIT_ON_MASK.
static VOID ReportReceiveEvents(PDEVICE_EXTENSION Port) {
    LONG held = GetNoCharsInInputBuffer(Port);

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

// Queues the next transfer for the worker. Should no work item be had, the
// transfer is issued from here instead, under the checks the worker would
// make, so that reception never stops while the port stays open. Caller
// holds no spin lock.
static VOID RestartReception(PDEVICE_EXTENSION Port) {
    if (NT_SUCCESS(NextRead(Port))) {
        return;
    }
    if (Port->PortOpen && !IsDeviceRemoved(Port)) {
        ReadBulkPipe(Port, Port->BulkInPipe);
    }
}

// A good transfer feeds the ring; a failed one, or any that comes back after
// cleanup, is counted. Either way the next transfer goes out from a worker,
// unless the failure came during a sleep transition (the wake restarts
// reception) or marked the device lost. The restart is counted before this
// transfer is given back, so a drain never sees the count touch 0 between
// two transfers. The IRP is SubmitUrb's, so it is freed here.
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
    KeReleaseSpinLock(&port->PortLock, oldIrql);

    if (restart) {
        RestartReception(port);
    }
    IoFreeIrp(Irp);
    DecPendingReadWriteIRPCnt(port);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
