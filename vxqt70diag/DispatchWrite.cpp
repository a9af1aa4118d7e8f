// The send side of the diagnostics port. Writes wait in one queue and go to
// the bulk-out pipe one request at a time, in pieces of at most 4096 bytes,
// each piece carried by the request's own IRP and pointing into its own
// system buffer. A piece that fails ends its request with the bus driver's
// status and the bytes sent before it, counts as a transfer error (the device
// may then be judged lost) and tells the waiting WAIT_ON_MASK that the lines
// dropped; the writer goes on with the next request, or, once the device is
// judged lost, ends every queued one. When the queue runs empty the writer goes idle and
// reports SERIAL_EV_TXEMPTY to a waiting request, without recording it.
//
// PortLock guards WriteQueue, WriteBusy, AmountInOutQueue and the statistics
// and is held across the dispatch, the start of a request and the completion
// bookkeeping, but never across IofCallDriver: the bus may complete a piece
// before the call returns, and the completion takes PortLock.
#include "diag.h"

static ULONG WriteLengthOf(PIRP Irp) {
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
}

// Gives back what a finished request held: its hold on the remove lock and
// its count in PendingReadWriteIrps.
static NTSTATUS FinishWrite(PDEVICE_EXTENSION Port, PIRP Irp, NTSTATUS Status, BOOLEAN Held) {
    Irp->IoStatus.Status = Status;
    if (Held) {
        ReleaseRemoveLock(Port, Irp);
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    DecPendingReadWriteIRPCnt(Port);
    return Status;
}

// ---------------------------------------------------------------- the queue

// Entered with the cancel spin lock held, by the I/O manager or a kill-all
// walk; the lock order is the cancel spin lock, then PortLock.
VOID NTAPI WriteCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    KIRQL oldIrql;

    UnlinkCancelledIrp(port, Irp);
    KeAcquireSpinLock(&port->PortLock, &oldIrql);
    port->AmountInOutQueue -= (LONG)WriteLengthOf(Irp);
    KeReleaseSpinLock(&port->PortLock, oldIrql);

    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    ReleaseRemoveLock(port, Irp);
    DecPendingReadWriteIRPCnt(port);
}

// ---------------------------------------------------------------- the writer

// Caller holds PortLock. The writer is idle: a TXEMPTY in the mask goes to
// the waiting request, if any, and is otherwise lost, since this driver does
// not record it for a later WAIT_ON_MASK.
static VOID EndBusyPeriod(PDEVICE_EXTENSION Port) {
    VXQT70_ASSERT(VXQT70_HOLDS(&Port->PortLock) && Port->WriteBusy);
    Port->WriteBusy = FALSE;
    if ((Port->WaitMask & SERIAL_EV_TXEMPTY) != 0) {
        CompletePendingWaitIrps(Port, SERIAL_EV_TXEMPTY, TRUE);
    }
}

// This driver's pieces: out, a short transfer taken as it is.
#define WRITE_TRANSFER_FLAGS USBD_SHORT_TRANSFER_OK

// A request that cannot be given a context fails on its own and the writer
// goes on with the next one: one allocation failure must not leave the
// requests behind it waiting until someone purges them.
NTSTATUS PassiveWrite(PDEVICE_EXTENSION Port, PIRP* IrpToSend) {
    VXQT70_ASSERT(VXQT70_HOLDS(&Port->PortLock) && Port->WriteBusy);
    *IrpToSend = NULL;
    for (;;) {
        PIRP irp = DequeueWriteIrp(Port, TRUE);
        PWRITE_CONTEXT context;
        ULONG length;

        if (irp == NULL) {
            EndBusyPeriod(Port);
            return STATUS_UNSUCCESSFUL;
        }
        length = WriteLengthOf(irp);
        context = (PWRITE_CONTEXT)ExAllocatePoolWithTag(NonPagedPool, sizeof(WRITE_CONTEXT),
                                                        PORT_POOL_TAG);
        if (context == NULL) {
            Port->AmountInOutQueue -= (LONG)length;
            irp->IoStatus.Information = 0;
            FinishWrite(Port, irp, STATUS_INSUFFICIENT_RESOURCES, TRUE);
            continue;
        }
        InitWriteContext(context, irp, length);
        PrepareWritePiece(Port, irp, context, WRITE_TRANSFER_FLAGS, OnWriteComplete);
        IoMarkIrpPending(irp);
        *IrpToSend = irp;
        return STATUS_PENDING;
    }
}

// Caller holds PortLock and owns WriteBusy. Nothing more goes to the bus:
// the port is closing (cleanup has cancelled the queue already) or the
// device is lost or going. The requests still queued would otherwise wait
// until the handle closes; each ends now as a new one would
// (STATUS_DELETE_PENDING), and the writer goes idle.
static VOID AbandonQueuedWrites(PDEVICE_EXTENSION Port) {
    PIRP irp;

    VXQT70_ASSERT(VXQT70_HOLDS(&Port->PortLock) && Port->WriteBusy);
    while ((irp = DequeueWriteIrp(Port, TRUE)) != NULL) {
        Port->AmountInOutQueue -= (LONG)WriteLengthOf(irp);
        irp->IoStatus.Information = 0;
        FinishWrite(Port, irp, STATUS_DELETE_PENDING, TRUE);
    }
    EndBusyPeriod(Port);
}

// Caller holds PortLock. A failed piece is a transfer error like a failed
// read (counted only while the port is open, since the aborts of close fail
// pieces too), and the emulated lines are reported dropped whatever the
// mask. A read waiting meanwhile keeps its total time-out: that time-out
// belongs to the read and ends only with it, or the read would wait for data
// with no limit.
static VOID NoteWriteFailure(PDEVICE_EXTENSION Port, PWRITE_CONTEXT Context, NTSTATUS Status) {
    VXQT70_ASSERT(VXQT70_HOLDS(&Port->PortLock));
    if (Port->PortOpen) {
        InterlockedIncrement(&Port->TransferErrorCount);
        IsErrorInEndpoint(Port, &Context->Urb, Status);
    }
    CompletePendingWaitIrps(Port, WRITE_FAILURE_EVENTS, TRUE);
}

// Completion of every piece. A good piece with bytes left goes out again on
// the same IRP; otherwise the request is finished and, while the port is open
// and the device there, the writer moves on to the next request whether this
// one succeeded or not.
//
// A finished request stops counting in AmountInOutQueue as a whole, however
// it ended: the count stands for bytes still to go, and a failed request must
// not leave the output queue looking busy for the rest of the open. The count
// the bus reports is trusted only up to what the piece asked for.
NTSTATUS NTAPI OnWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    PWRITE_CONTEXT context = (PWRITE_CONTEXT)Context;
    NTSTATUS status = Irp->IoStatus.Status;
    BOOLEAN good;
    PIRP next = NULL;
    KIRQL oldIrql;

    KeAcquireSpinLock(&port->PortLock, &oldIrql);
    CountWrittenPiece(context);
    good = (BOOLEAN)(NT_SUCCESS(status) && context->Urb.UrbHeader.Status == USBD_STATUS_SUCCESS);
    if (good && context->Remaining != 0 && port->PortOpen) {
        PrepareWritePiece(port, Irp, context, WRITE_TRANSFER_FLAGS, OnWriteComplete);
        IoMarkIrpPending(Irp);
        KeReleaseSpinLock(&port->PortLock, oldIrql);
        IoCallDriver(port->LowerDeviceObject, Irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    // However the request ended, the pieces before it did go out, and like a
    // serial port it reports them.
    port->AmountInOutQueue -= (LONG)context->Length;
    Irp->IoStatus.Information = context->Transferred;
    if (NT_SUCCESS(status)) {
        port->PerfStats.TransmittedCount += context->Transferred;
    } else if (status != STATUS_CANCELLED || !Irp->Cancel) {
        // An application that cancelled the request while a piece was on the
        // bus is no failure on the line: counting it as a transfer error
        // would let a program that cancels its writes now and then (a
        // timed-out write, a CancelIo) mark a healthy device lost after 20 of
        // them and stop reception for good, and reporting the lines dropped
        // would be as false.
        NoteWriteFailure(port, context, status);
    }
    ExFreePool(context);

    if (port->PortOpen && !IsDeviceRemoved(port)) {
        PassiveWrite(port, &next);
    } else {
        AbandonQueuedWrites(port);
    }
    KeReleaseSpinLock(&port->PortLock, oldIrql);

    if (next != NULL) {
        IoCallDriver(port->LowerDeviceObject, next);
    }
    ReleaseRemoveLock(port, Irp);
    DecPendingReadWriteIRPCnt(port);
    return status;
}

// ---------------------------------------------------------------- dispatch
// IRP_MJ_WRITE, at PASSIVE_LEVEL in the caller's thread. The request is
// counted in PendingReadWriteIrps from the start, queued behind those already
// waiting, and started at once if the writer is idle.
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    ULONG length = WriteLengthOf(Irp);
    PIRP next = NULL;
    NTSTATUS status;
    KIRQL oldIrql;

    IncPendingReadWriteIRPCnt(port);
    KeAcquireSpinLock(&port->PortLock, &oldIrql);
    Irp->IoStatus.Information = 0;

    if (IsDeviceRemoved(port)) {
        port->EventHistory = 0;
        KeReleaseSpinLock(&port->PortLock, oldIrql);
        return FinishWrite(port, Irp, STATUS_DELETE_PENDING, FALSE);
    }
    if (length == 0) {
        KeReleaseSpinLock(&port->PortLock, oldIrql);
        return FinishWrite(port, Irp, STATUS_SUCCESS, FALSE);
    }
    // The out-queue count is signed 32-bit; a request that would carry it
    // past that could only wrap it.
    if (length > WRITE_COUNT_LIMIT || port->AmountInOutQueue > (LONG)(WRITE_COUNT_LIMIT - length)) {
        KeReleaseSpinLock(&port->PortLock, oldIrql);
        return FinishWrite(port, Irp, STATUS_INVALID_PARAMETER, FALSE);
    }
    status = AcquireRemoveLock(port, Irp);
    if (!NT_SUCCESS(status)) {
        KeReleaseSpinLock(&port->PortLock, oldIrql);
        return FinishWrite(port, Irp, status, FALSE);
    }

    port->AmountInOutQueue += (LONG)length;
    status = EnqueueWriteIrp(port, Irp, FALSE, TRUE);
    if (status == STATUS_PENDING) {
        if (!port->WriteBusy) {
            port->WriteBusy = TRUE;
            PassiveWrite(port, &next);
        }
        KeReleaseSpinLock(&port->PortLock, oldIrql);
        if (next != NULL) {
            IoCallDriver(port->LowerDeviceObject, next);
        }
        return STATUS_PENDING;
    }

    port->AmountInOutQueue -= (LONG)length;
    KeReleaseSpinLock(&port->PortLock, oldIrql);
    return FinishWrite(port, Irp, status, TRUE);
}
