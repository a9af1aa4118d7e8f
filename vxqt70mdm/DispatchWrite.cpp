// The send side of the modem port. Write requests and immediate characters
// wait in one queue and go to the bulk-out pipe one request at a time, in
// pieces of at most 4096 bytes, each piece carried by the request's own IRP
// pointing into its own system buffer: nothing is copied and no IRP is
// allocated. When the queue runs empty the writer goes idle and reports
// SERIAL_EV_TXEMPTY.
//
// PortLock guards WriteQueue, WriteBusy, AmountInOutQueue, EventHistory and
// PerfStats.TransmittedCount. It is never held across IofCallDriver.
#include "mdm.h"

// The request marker tells an immediate character from a write. It lives in
// the request's own stack location, where each kind of request has a word
// nobody else reads for it.
#define WRITE_MARKER_WRITE 0UL
#define WRITE_MARKER_IMMEDIATE 0xFFFFFFFFUL

// This driver's pieces: out, and a short transfer is an error.
#define WRITE_TRANSFER_FLAGS USBD_TRANSFER_DIRECTION_OUT

static IO_COMPLETION_ROUTINE OnWriteComplete;

static VOID SetWriteMarker(PIO_STACK_LOCATION Stack, ULONG Marker) {
    if (Stack->MajorFunction == IRP_MJ_WRITE) {
        Stack->Parameters.Write.ByteOffset.HighPart = (LONG)Marker;
    } else {
        Stack->Parameters.DeviceIoControl.Type3InputBuffer = (PVOID)(ULONG_PTR)Marker;
    }
}

static BOOLEAN IsImmediateChar(PIO_STACK_LOCATION Stack) {
    if (Stack->MajorFunction == IRP_MJ_WRITE) {
        return (BOOLEAN)((ULONG)Stack->Parameters.Write.ByteOffset.HighPart ==
                         WRITE_MARKER_IMMEDIATE);
    }
    return (BOOLEAN)((ULONG)(ULONG_PTR)Stack->Parameters.DeviceIoControl.Type3InputBuffer ==
                     WRITE_MARKER_IMMEDIATE);
}

// Bytes a queued request sends: one for an immediate character.
static ULONG WriteRequestLength(PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    return IsImmediateChar(stack) ? 1 : stack->Parameters.Write.Length;
}

// Counts a request's bytes in AmountInOutQueue, or refuses a request that
// would carry the count past WRITE_COUNT_LIMIT rather than wrap it. Caller
// holds no spin lock.
static BOOLEAN ReserveOutQueue(PDEVICE_EXTENSION Port, ULONG Length) {
    KIRQL oldIrql;
    BOOLEAN reserved = FALSE;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    if (Length <= WRITE_COUNT_LIMIT &&
        Port->AmountInOutQueue <= (LONG)(WRITE_COUNT_LIMIT - Length)) {
        Port->AmountInOutQueue += (LONG)Length;
        reserved = TRUE;
    }
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    return reserved;
}

static VOID ReleaseOutQueue(PDEVICE_EXTENSION Port, ULONG Length) {
    KIRQL oldIrql;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    Port->AmountInOutQueue -= (LONG)Length;
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
}

// Only the caller that turns WriteBusy from FALSE to TRUE starts the writer;
// after that the completions keep it going until the queue drains.
static VOID StartWriterIfIdle(PDEVICE_EXTENSION Port) {
    KIRQL oldIrql;
    BOOLEAN start = FALSE;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    if (!Port->WriteBusy) {
        Port->WriteBusy = TRUE;
        start = TRUE;
    }
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    if (start) {
        PassiveWrite(Port);
    }
}

// At the wake, once the sleep is no longer noted: a writer that parked for
// the sleep goes on with the requests that waited. An idle writer with an
// empty queue stays idle (its TXEMPTY was reported when it went idle).
VOID ResumeWriter(PDEVICE_EXTENSION Port) {
    KIRQL oldIrql;
    BOOLEAN start;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    start = (BOOLEAN)(!Port->WriteBusy && !IsListEmpty(&Port->WriteQueue));
    if (start) {
        Port->WriteBusy = TRUE;
    }
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    if (start) {
        PassiveWrite(Port);
    }
}

// ---------------------------------------------------------------- the queue
// Entered with the cancel spin lock held, by the I/O manager or by a kill-all
// walk; the lock order is the cancel spin lock, then PortLock.
VOID NTAPI WriteCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    KIRQL oldIrql;

    UnlinkCancelledIrp(port, Irp);
    KeAcquireSpinLock(&port->PortLock, &oldIrql);
    port->AmountInOutQueue -= (LONG)WriteRequestLength(Irp);
    KeReleaseSpinLock(&port->PortLock, oldIrql);

    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    ReleaseRemoveLock(port, Irp);
}

// ---------------------------------------------------------------- the writer
// The first time the writer finds the queue empty it goes idle, and a TXEMPTY
// in the wait mask is delivered with everything else recorded. The record
// is emptied afterwards whether or not anyone was waiting.
static VOID EndBusyPeriod(PDEVICE_EXTENSION Port) {
    KIRQL oldIrql;
    ULONG events = 0;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    VXQT70_ASSERT(Port->WriteBusy);
    Port->WriteBusy = FALSE;
    if ((Port->WaitMask & SERIAL_EV_TXEMPTY) != 0) {
        Port->EventHistory |= SERIAL_EV_TXEMPTY;
        events = Port->EventHistory;
    }
    KeReleaseSpinLock(&Port->PortLock, oldIrql);

    if (events != 0) {
        CompletePendingWaitIrps(Port, events, FALSE);
        KeAcquireSpinLock(&Port->PortLock, &oldIrql);
        Port->EventHistory = 0;
        KeReleaseSpinLock(&Port->PortLock, oldIrql);
    }
}

// Pieces are sent by issuers of their own, as receive transfers are: each
// tests ResumeAfterSleep and counts itself in Receiving under one hold of
// PortLock, and calls EndReceive once its piece is on the bus. The wake
// waits for the count to fall before it aborts the pipes, so a piece sent
// by an issuer that found no sleep noted is on the bus by then, and no
// piece follows: the wake never waits for one that only D0, after the wake,
// could let through. While the port closes (PortOpen FALSE) nothing is
// counted; close aborts the pipes after the issuers it waits for.
static VOID EndPiece(PDEVICE_EXTENSION Port, BOOLEAN Counted) {
    if (Counted) {
        EndReceive(Port);
    }
}

// Sends the request's first piece, or fails the request when no context can
// be had. Returns STATUS_PENDING once the request is on the bus.
static NTSTATUS StartWriteIrp(PDEVICE_EXTENSION Port, PIRP Irp, BOOLEAN Counted) {
    ULONG length = WriteRequestLength(Irp);
    PWRITE_CONTEXT context;

    context =
        (PWRITE_CONTEXT)ExAllocatePoolWithTag(NonPagedPool, sizeof(WRITE_CONTEXT), PORT_POOL_TAG);
    if (context == NULL) {
        EndPiece(Port, Counted);
        ReleaseOutQueue(Port, length);
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        ReleaseRemoveLock(Port, Irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    InitWriteContext(context, Irp, length);
    IncPendingIRPCnt(Port);
    PrepareWritePiece(Port, Irp, context, WRITE_TRANSFER_FLAGS, OnWriteComplete);
    IoMarkIrpPending(Irp);
    IoCallDriver(Port->LowerDeviceObject, Irp);
    EndPiece(Port, Counted);
    return STATUS_PENDING;
}

// The next queued request, taken under PortLock with its issuer counted. While
// a sleep is noted and requests wait, none is taken and the writer parks
// instead (WriteBusy goes FALSE with the queue as it is): the phone is
// powered down, or about to be, and a piece sent now would wait at the bus
// for D0. The wake starts a parked writer again (ResumeWriter).
static PIRP NextWriteUnlessAsleep(PDEVICE_EXTENSION Port, BOOLEAN* Parked, BOOLEAN* Counted) {
    PIRP irp = NULL;
    KIRQL oldIrql;

    *Counted = FALSE;
    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    *Parked = (BOOLEAN)(Port->ResumeAfterSleep && !IsListEmpty(&Port->WriteQueue));
    if (*Parked) {
        Port->WriteBusy = FALSE;
    } else {
        irp = DequeueWriteIrp(Port, TRUE);
        if (irp != NULL && Port->PortOpen) {
            CountReceiverLocked(Port);
            *Counted = TRUE;
        }
    }
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    return irp;
}

// Starts the next queued request, or ends the busy period when there is none.
// Runs in the dispatching thread or in OnWriteComplete at DISPATCH_LEVEL; only
// the owner of WriteBusy calls it. A request that cannot be started is failed
// on its own and the writer goes on with the next one, so one failure never
// strands the requests behind it.
NTSTATUS PassiveWrite(PDEVICE_EXTENSION Port) {
    VXQT70_ASSERT(Port->WriteBusy && !VXQT70_HOLDS(&Port->PortLock));
    for (;;) {
        BOOLEAN parked;
        BOOLEAN counted;
        PIRP irp;

        // The writer stays busy and the queue stays as it is; cleanup or
        // removal cancels what waits, and new writes are refused meanwhile.
        if (IsDeviceRemoved(Port)) {
            return STATUS_DELETE_PENDING;
        }
        irp = NextWriteUnlessAsleep(Port, &parked, &counted);
        if (parked) {
            return STATUS_PENDING;
        }
        if (irp == NULL) {
            EndBusyPeriod(Port);
            return STATUS_UNSUCCESSFUL;
        }
        if (StartWriteIrp(Port, irp, counted) == STATUS_PENDING) {
            return STATUS_PENDING;
        }
    }
}

// A good piece with bytes left goes on unless a sleep has been noted since:
// then the request ends here as the power-down ends a piece on the bus
// (STATUS_CANCELLED, reporting the bytes the phone got). Counts the issuer
// of the next piece when it goes on.
static NTSTATUS NextPieceOrSleep(PDEVICE_EXTENSION Port, BOOLEAN* Counted) {
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL oldIrql;

    *Counted = FALSE;
    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    if (Port->ResumeAfterSleep) {
        status = STATUS_CANCELLED;
    } else if (Port->PortOpen) {
        CountReceiverLocked(Port);
        *Counted = TRUE;
    }
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    return status;
}

// Completion of every piece. A good piece with bytes left goes out again on
// the same IRP; otherwise the request is finished and the writer moves on.
//
// The request stops counting in AmountInOutQueue as a whole when it finishes,
// however it ends: the count stands for requests not yet finished, and a
// short or failed request must not leave the output queue looking busy for
// the rest of the open. The count the bus reports is trusted only up to what
// the piece asked for, so Information and TransmittedCount never exceed the
// request.
//
// After a failed piece the writer goes on with the next queued request,
// which then reports its own result: requests behind a failure are neither
// stranded nor failed on its account. The writer stops only when the port is
// closing or the device is gone.
static NTSTATUS NTAPI OnWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    PWRITE_CONTEXT context = (PWRITE_CONTEXT)Context;
    NTSTATUS status = Irp->IoStatus.Status;
    KIRQL oldIrql;

    CountWrittenPiece(context);
    if (NT_SUCCESS(status) && context->Remaining != 0 && port->PortOpen) {
        BOOLEAN counted;

        status = NextPieceOrSleep(port, &counted);
        if (NT_SUCCESS(status)) {
            PrepareWritePiece(port, Irp, context, WRITE_TRANSFER_FLAGS, OnWriteComplete);
            IoCallDriver(port->LowerDeviceObject, Irp);
            EndPiece(port, counted);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        Irp->IoStatus.Status = status;
    }

    KeAcquireSpinLock(&port->PortLock, &oldIrql);
    port->AmountInOutQueue -= (LONG)context->Length;
    if (NT_SUCCESS(status)) {
        port->PerfStats.TransmittedCount += context->Transferred;
    }
    KeReleaseSpinLock(&port->PortLock, oldIrql);
    // A request cancelled or failed part-way has had its earlier pieces (and
    // whatever the bus moved of the last one) sent already; like a serial
    // port it reports those bytes, so that the application knows where the
    // phone's copy of its data stops.
    Irp->IoStatus.Information = context->Transferred;
    ExFreePool(context);

    // The next request is counted before this one gives back its count and
    // its hold on the remove lock, so a close or removal waiting for them
    // cannot slip in between two requests.
    if (port->PortOpen) {
        PassiveWrite(port);
    }
    DecPendingIRPCnt(port);
    ReleaseRemoveLock(port, Irp);
    return status;
}

// ---------------------------------------------------------------- dispatch
// IRP_MJ_WRITE, at PASSIVE_LEVEL in the caller's thread. The request is queued
// behind those already waiting and started at once if the writer is idle.
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG length = stack->Parameters.Write.Length;
    NTSTATUS status;

    Irp->IoStatus.Information = 0;
    if (IsDeviceRemoved(port)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    if (length == 0) {
        return CompleteRequest(Irp, STATUS_SUCCESS);
    }
    // Every count of the write path is signed 32-bit; a longer request could
    // only wrap them.
    if (length > WRITE_COUNT_LIMIT) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
    }
    status = AcquireRemoveLock(port, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status);
    }
    if (!ReserveOutQueue(port, length)) {
        CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
        ReleaseRemoveLock(port, Irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    SetWriteMarker(stack, WRITE_MARKER_WRITE);
    status = EnqueueWriteIrp(port, Irp, FALSE, FALSE);
    if (status == STATUS_PENDING) {
        StartWriterIfIdle(port);
        return STATUS_PENDING;
    }

    ReleaseOutQueue(port, length);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    ReleaseRemoveLock(port, Irp);
    return status;
}

// IOCTL_SERIAL_IMMEDIATE_CHAR, handed over by the device-control path with its
// remove lock held and its one-byte input already checked. The character
// goes ahead of every queued write, behind the request already on the bus.
// Returns STATUS_PENDING, or a failure for the caller to complete the
// request with.
NTSTATUS DispatchImmediateChar(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    NTSTATUS status;

    if (!ReserveOutQueue(port, 1)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    SetWriteMarker(IoGetCurrentIrpStackLocation(Irp), WRITE_MARKER_IMMEDIATE);
    status = EnqueueWriteIrp(port, Irp, TRUE, FALSE);
    if (status == STATUS_PENDING) {
        StartWriterIfIdle(port);
    } else {
        ReleaseOutQueue(port, 1);
    }
    return status;
}
