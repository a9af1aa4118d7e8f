// The drivers' vocabulary for the USB bus driver below, apart from the data
// transfers themselves: URBs sent asynchronously and synchronously, pipe
// abort and reset, the pipe clean-up at close, the kill-all of the request
// queues, and the small state tests and counters every path uses.
#include "port.h"

// Size of the URB union the bus driver accepts; pipe requests are built in one.
#define PIPE_REQUEST_URB_BYTES sizeof(URB)

BOOLEAN IsDeviceRemoved(PDEVICE_EXTENSION Port) {
    KIRQL oldIrql;
    BOOLEAN removed;

    KeAcquireSpinLock(&Port->StateLock, &oldIrql);
    removed =
        (BOOLEAN)(Port->DeviceLostCode == DEVICE_LOST_CODE || Port->PnpState == RemovePending ||
                  Port->PnpState == SurpriseRemoved || Port->PnpState == Removed);
    KeReleaseSpinLock(&Port->StateLock, oldIrql);
    return removed;
}

// The port admits one handle and refuses every other create. Windows sends
// no cleanup or close for a create the driver failed, but an I/O manager that
// lets the caller keep such a handle does (Wine's), and its close must not
// close the port under the handle that holds it. Only the create that
// succeeded recorded its file object. No lock: the record changes only in
// that handle's own create and close, and no other file object can compare
// equal to it in the meantime.
BOOLEAN IsOpenHandle(PDEVICE_EXTENSION Port, PIRP Irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;

    return (BOOLEAN)(file != NULL && file == Port->OpenFile);
}

// ---------------------------------------------------------------- pending-transfer counter
#if VARIANT_MODEM

// Counts one transfer in flight; PendingIoIdle is cleared when the count
// leaves 0 so that the drain at close waits for it.
VOID IncPendingIRPCnt(PDEVICE_EXTENSION Port) {
    if (InterlockedIncrement(&Port->PendingIrpCount) == 1) {
        KeClearEvent(&Port->PendingIoIdle);
    }
}

VOID DecPendingIRPCnt(PDEVICE_EXTENSION Port) {
    if (InterlockedDecrement(&Port->PendingIrpCount) == 0) {
        KeSetEvent(&Port->PendingIoIdle, IO_NO_INCREMENT, FALSE);
    }
}

#else

// The event is a synchronization event that only the decrement to 0 sets, so
// the increment has nothing to clear.
VOID IncPendingReadWriteIRPCnt(PDEVICE_EXTENSION Port) {
    InterlockedIncrement(&Port->PendingReadWriteIrps);
}

VOID DecPendingReadWriteIRPCnt(PDEVICE_EXTENSION Port) {
    if (InterlockedDecrement(&Port->PendingReadWriteIrps) == 0) {
        KeSetEvent(&Port->PendingIoIdle, IO_NO_INCREMENT, FALSE);
    }
}

#endif

// ---------------------------------------------------------------- URB submission
static VOID SetUrbRequest(PIO_STACK_LOCATION Next, PURB Urb) {
    Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    Next->Parameters.Others.Argument1 = Urb;
}

// Gives back what the transfer paths count before they submit, for a
// transfer that will never complete.
static VOID UncountTransfer(PDEVICE_EXTENSION Port) {
#if VARIANT_MODEM
    DecPendingIRPCnt(Port);
    ReleaseRemoveLock(Port, NULL);
#else
    DecPendingReadWriteIRPCnt(Port);
#endif
}

VOID BuildBulkTransfer(PURB Urb, USBD_PIPE_HANDLE Pipe, PVOID Buffer, ULONG Length,
                       ULONG TransferFlags) {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &Urb->UrbBulkOrInterruptTransfer;

    RtlZeroMemory(Urb, sizeof(URB));
    transfer->Hdr.Length = (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer->PipeHandle = Pipe;
    transfer->TransferFlags = TransferFlags;
    transfer->TransferBufferLength = Length;
    transfer->TransferBuffer = Buffer;
}

NTSTATUS SubmitReceiveTransfer(PDEVICE_EXTENSION Port, PURB Urb, USBD_PIPE_HANDLE Pipe,
                               PVOID Buffer, ULONG Length,
                               PIO_COMPLETION_ROUTINE CompletionRoutine) {
    VXQT70_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL && !VXQT70_HOLDS(&Port->PortLock));
    PIRP irp;

    BuildBulkTransfer(Urb, Pipe, Buffer, Length,
                      USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    irp = IoAllocateIrp(Port->LowerDeviceObject->StackSize, FALSE);
    if (irp == NULL) {
        UncountTransfer(Port);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    SetUrbRequest(IoGetNextIrpStackLocation(irp), Urb);
    IoSetCompletionRoutine(irp, CompletionRoutine, Port, TRUE, TRUE, TRUE);
    // What the bus answers is the completion's to handle.
    IoCallDriver(Port->LowerDeviceObject, irp);
    return STATUS_PENDING;
}

#if VARIANT_MODEM

// The I/O manager builds, completes and frees the request; the event and the
// status block live on this stack until the wait ends.
NTSTATUS SendAwaitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    PIRP irp;
    NTSTATUS status;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, port->LowerDeviceObject,
                                        NULL, 0, NULL, 0, TRUE, &event, &ioStatus);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;

    status = IoCallDriver(port->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

// Builds the pipe request on the stack; only the header and the handle are
// read by the bus driver.
static NTSTATUS SendPipeRequest(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe,
                                USHORT Function) {
    URB urb;

    RtlZeroMemory(&urb, sizeof(urb));
    urb.UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = Function;
    urb.UrbPipeRequest.PipeHandle = Pipe;
    return SendAwaitUrb(DeviceObject, &urb);
}

#else // VARIANT_DIAG

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT Target, PURB Urb) {
    PIRP irp = IoAllocateIrp(Target->StackSize, FALSE);
    NTSTATUS status;

    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    SetUrbRequest(IoGetNextIrpStackLocation(irp), Urb);
    status = CallDriverSync(Target, irp);
    IoFreeIrp(irp);
    return status;
}

NTSTATUS SendAwaitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    return SubmitUrbSync(PortOf(DeviceObject)->LowerDeviceObject, Urb);
}

// The request block comes from pool, not the stack, and goes back to it once
// the bus driver has finished with it.
static NTSTATUS SendPipeRequest(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe,
                                USHORT Function) {
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, PIPE_REQUEST_URB_BYTES, PORT_POOL_TAG);
    NTSTATUS status;

    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, PIPE_REQUEST_URB_BYTES);
    urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbHeader.Function = Function;
    urb->UrbPipeRequest.PipeHandle = Pipe;
    status = SendAwaitUrb(DeviceObject, urb);
    ExFreePool(urb);
    return status;
}

// Removes the idle bias and waits until every read and write request, bulk-in
// transfer and read-restart work item the driver holds has ended, then puts
// the bias back. Nothing can start meanwhile: the port is closing or the
// device is going, so the final store needs no interlock. PASSIVE_LEVEL.
VOID VXNT_WaitForClearEndPoints(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);

    if (InterlockedDecrement(&port->PendingReadWriteIrps) != 0) {
        KeWaitForSingleObject(&port->PendingIoIdle, Executive, KernelMode, FALSE, NULL);
    }
    port->PendingReadWriteIrps = 1;
}

#endif

// ---------------------------------------------------------------- pipe aborts
static ULONG ReserveSlot(PDEVICE_EXTENSION Port, USBD_PIPE_HANDLE Pipe) {
    if (Pipe == Port->BulkInPipe) {
        return 0;
    }
    return Pipe == Port->BulkOutPipe ? 1 : 2;
}

// Stores what was allocated in the empty slots while the port is open, and
// frees it otherwise: a close that has begun gives the reserve back, and
// must not be left one it never sees.
NTSTATUS ReserveAbortIrps(PDEVICE_EXTENSION Port) {
    PIRP fresh[PIPE_COUNT];
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL oldIrql;
    ULONG i;

    for (i = 0; i < PIPE_COUNT; i++) {
        fresh[i] = NULL;
        if (Port->AbortReserve[i] == NULL) {
            fresh[i] = IoAllocateIrp(Port->LowerDeviceObject->StackSize, FALSE);
            if (fresh[i] == NULL) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            }
        }
    }
    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    for (i = 0; i < PIPE_COUNT; i++) {
        if (Port->PortOpen && Port->AbortReserve[i] == NULL) {
            Port->AbortReserve[i] = fresh[i];
            fresh[i] = NULL;
        }
    }
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    for (i = 0; i < PIPE_COUNT; i++) {
        if (fresh[i] != NULL) {
            IoFreeIrp(fresh[i]);
        }
    }
    return status;
}

VOID ReleaseAbortIrps(PDEVICE_EXTENSION Port) {
    PIRP taken[PIPE_COUNT];
    KIRQL oldIrql;
    ULONG i;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    for (i = 0; i < PIPE_COUNT; i++) {
        taken[i] = Port->AbortReserve[i];
        Port->AbortReserve[i] = NULL;
    }
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    for (i = 0; i < PIPE_COUNT; i++) {
        if (taken[i] != NULL) {
            IoFreeIrp(taken[i]);
        }
    }
}

// An abort makes the bus driver complete every transfer outstanding on the
// pipe with a failure. The request and the event live on this stack until
// the wait ends; the IRP is the pipe's reserved one while there is one.
NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    ULONG slot = ReserveSlot(port, Pipe);
    URB urb;
    KEVENT event;
    PIRP irp;
    NTSTATUS status;
    KIRQL oldIrql;

    KeAcquireSpinLock(&port->PortLock, &oldIrql);
    irp = port->AbortReserve[slot];
    port->AbortReserve[slot] = NULL;
    KeReleaseSpinLock(&port->PortLock, oldIrql);
    if (irp == NULL) {
        irp = IoAllocateIrp(port->LowerDeviceObject->StackSize, FALSE);
        if (irp == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }

    RtlZeroMemory(&urb, sizeof(urb));
    urb.UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    urb.UrbPipeRequest.PipeHandle = Pipe;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    SetUrbRequest(IoGetNextIrpStackLocation(irp), &urb);
    IoSetCompletionRoutine(irp, OnRequestComplete, &event, TRUE, TRUE, TRUE);
    IoCallDriver(port->LowerDeviceObject, irp);
    // The completion routine sets the event whether the bus finished at once
    // or later, and keeps the IRP here.
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

// A reset clears a halted pipe. PASSIVE_LEVEL.

NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe) {
    return SendPipeRequest(DeviceObject, Pipe, URB_FUNCTION_RESET_PIPE);
}

// Close: make every transfer in flight come back. The modem driver stops its
// status pipe first and drains afterwards in the close path; the diagnostics
// driver never transfers on its third pipe and drains here.
VOID CleanupAllPipes(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);

#if VARIANT_MODEM
    AbortPipe(DeviceObject, port->InterruptPipe);
#endif
    AbortPipe(DeviceObject, port->BulkInPipe);
    AbortPipe(DeviceObject, port->BulkOutPipe);
#if VARIANT_DIAG
    VXNT_WaitForClearEndPoints(DeviceObject);
#endif
}

// Every request waiting in the driver is completed as cancelled, newest
// first in each queue. Transfers already on the bus are not touched.
VOID USBKillAllPendingIrps(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);

    USBKillAllWrites(DeviceObject, &port->WriteQueue);
    USBKillAllReads(DeviceObject, &port->ReadQueue);
    USBKillAllWaits(DeviceObject, &port->WaitQueue);
}

// The third pipe comes last: the diagnostics driver never transfers on it,
// but a halted one would keep the interface from working after a replug.
NTSTATUS ResetAllPipes(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    NTSTATUS status;

    VXQT70_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    status = ResetPipe(DeviceObject, port->BulkInPipe);
    if (NT_SUCCESS(status)) {
        status = ResetPipe(DeviceObject, port->BulkOutPipe);
    }
    if (NT_SUCCESS(status)) {
        status = ResetPipe(DeviceObject, port->InterruptPipe);
    }
    return status;
}

BOOLEAN IsStillOnBus(PDEVICE_EXTENSION Port) {
    KIRQL oldIrql;
    BOOLEAN onBus;

    KeAcquireSpinLock(&Port->StateLock, &oldIrql);
    onBus = (BOOLEAN)(Port->PnpState != SurpriseRemoved && Port->PnpState != Removed);
    KeReleaseSpinLock(&Port->StateLock, oldIrql);
    return onBus;
}

VOID SetOpenDefaults(PDEVICE_EXTENSION Port, ULONG BaudRate, UCHAR XonChar, UCHAR XoffChar) {
    Port->BaudRate = BaudRate;
    Port->LineControl.StopBits = STOP_BITS_2;
    Port->LineControl.Parity = NO_PARITY;
    Port->LineControl.WordLength = 8;
    Port->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    Port->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    Port->SpecialChars.XonChar = XonChar;
    Port->SpecialChars.XoffChar = XoffChar;
    Port->WaitMask = 0;
    Port->EventHistory = 0;
    Port->AmountInOutQueue = 0;
    InitializeListHead(&Port->WaitQueue);
    InitializeListHead(&Port->ReadQueue);
    InitializeListHead(&Port->WriteQueue);
    Port->WriteBusy = FALSE;
    Port->ResumeAfterSleep = FALSE;
    Port->Receiving = 0;
    Port->ReceiveStalled = FALSE;
    KeInitializeEvent(&Port->ReceiveQuiet, NotificationEvent, TRUE);
}

// ---------------------------------------------------------------- receive issuers

VOID CountReceiverLocked(PDEVICE_EXTENSION Port) {
    VXQT70_ASSERT(VXQT70_HOLDS(&Port->PortLock) && Port->PortOpen);
    if (Port->Receiving++ != 0) {
        return;
    }
#if VARIANT_MODEM
    KeClearEvent(&Port->ReceiveQuiet);
#else
    // This image does without KeClearEvent. Its one waiter is close, which
    // waits only once PortOpen is clear, when no count can begin: the event
    // is never re-armed under a waiter.
    KeInitializeEvent(&Port->ReceiveQuiet, NotificationEvent, FALSE);
#endif
}

VOID EndReceive(PDEVICE_EXTENSION Port) {
    KIRQL oldIrql;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    VXQT70_ASSERT(Port->Receiving > 0);
    if (--Port->Receiving == 0) {
        KeSetEvent(&Port->ReceiveQuiet, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
}

VOID WaitForReceiveQuiet(PDEVICE_EXTENSION Port) {
    KeWaitForSingleObject(&Port->ReceiveQuiet, Executive, KernelMode, FALSE, NULL);
}

// ---------------------------------------------------------------- time-out DPCs at removal
// KeCancelTimer says nothing of a DPC its timer has already queued or that
// runs on another processor. Windows XP and later flush them with
// KeFlushQueuedDpcs. (Wine's KeCancelTimer itself waits for a timer's DPC in
// progress; its KeFlushQueuedDpcs is an empty one, and its KeInsertQueueDpc
// never runs the DPC, so Wine must not come down the other path.) Windows
// 2000 has no such routine, so the removal does what it does: a processor
// runs its DPCs one at a time, in the order queued, so a DPC of our own run
// on each processor in turn cannot start there before every time-out DPC
// that processor had queued or was running has returned. The timers are
// cancelled first and nothing arms them any more, so none can follow.
typedef VOID(NTAPI* FLUSH_QUEUED_DPCS)(VOID);

static VOID NTAPI TimerDpcBarrier(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
}

VOID FlushTimerDpcs(PDEVICE_EXTENSION Port) {
    UNICODE_STRING name;
    FLUSH_QUEUED_DPCS flushQueuedDpcs;
    KAFFINITY active;
    CCHAR processor;
    KDPC barrier; // on this stack: the waits below are kernel-mode ones
    KEVENT passed;

    VXQT70_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    KeCancelTimer(&Port->ReadTotalTimer);
#if VARIANT_MODEM
    KeCancelTimer(&Port->ReadIntervalTimer);
#endif
    RtlInitUnicodeString(&name, L"KeFlushQueuedDpcs");
    flushQueuedDpcs = (FLUSH_QUEUED_DPCS)MmGetSystemRoutineAddress(&name);
    if (flushQueuedDpcs != NULL) {
        flushQueuedDpcs();
        return;
    }
    KeInitializeEvent(&passed, SynchronizationEvent, FALSE);
    KeInitializeDpc(&barrier, TimerDpcBarrier, &passed);
    active = KeQueryActiveProcessors();
    for (processor = 0; active != 0; processor++, active >>= 1) {
        if ((active & 1) != 0) {
            KeSetTargetProcessorDpc(&barrier, processor);
            KeInsertQueueDpc(&barrier, NULL, NULL);
            KeWaitForSingleObject(&passed, Executive, KernelMode, FALSE, NULL);
        }
    }
}

// ---------------------------------------------------------------- the bulk-out piece engine

VOID InitWriteContext(PWRITE_CONTEXT Context, PIRP Irp, ULONG Length) {
    RtlZeroMemory(Context, sizeof(WRITE_CONTEXT));
    Context->Cursor = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    Context->Remaining = Length;
    Context->Length = Length;
}

// The IRP carries every piece of its own request.
VOID PrepareWritePiece(PDEVICE_EXTENSION Port, PIRP Irp, PWRITE_CONTEXT Context,
                       ULONG TransferFlags, PIO_COMPLETION_ROUTINE CompletionRoutine) {
    ULONG piece = Context->Remaining < WRITE_PIECE_SIZE ? Context->Remaining : WRITE_PIECE_SIZE;
    PIO_STACK_LOCATION next;

    BuildBulkTransfer(&Context->Urb, Port->BulkOutPipe, Context->Cursor, piece, TransferFlags);
    Context->Cursor += piece;
    Context->Remaining -= piece;
    Context->PieceLength = piece;

    next = IoGetNextIrpStackLocation(Irp);
    SetUrbRequest(next, &Context->Urb);
    next->MinorFunction = 0;
    IoSetCompletionRoutine(Irp, CompletionRoutine, Context, TRUE, TRUE, TRUE);
    Irp->IoStatus.Status = STATUS_PENDING;
}

VOID CountWrittenPiece(PWRITE_CONTEXT Context) {
    ULONG sent = Context->Urb.UrbBulkOrInterruptTransfer.TransferBufferLength;

    Context->Transferred += sent < Context->PieceLength ? sent : Context->PieceLength;
}
