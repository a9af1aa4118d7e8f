// The modem interface behaves as a CDC modem: it reports carrier and DSR as
// SERIAL_STATE notifications on its interrupt-in pipe, and takes the line
// coding and the DTR/RTS lines as class requests on the default pipe. This
// is the port's side of both, and what the port does when one of its
// receive pipes fails.
//
// PortLock guards ModemStatus, HoldReasons, WaitMask, EventHistory,
// DeviceLostCode and ResumeAfterSleep here; wait requests are completed and
// USB requests sent with no lock held.
#include "mdm.h"

// CDC notification and class request codes.
#define CDC_NOTIFY_SERIAL_STATE 0x20
#define CDC_SET_LINE_CODING 0x20
#define CDC_SET_CONTROL_LINE_STATE 0x22
// Class request, host to device, recipient interface.
#define CDC_REQUEST_TYPE 0x21

// Offsets in StatusBuffer: the notification header, then the UART state.
#define NOTIFICATION_CODE_OFFSET 1
#define UART_STATE_OFFSET 8
#define UART_STATE_RX_CARRIER 0x01 // DCD
#define UART_STATE_TX_CARRIER 0x02 // DSR (and CTS with it)

// dwDTERate (4 bytes, little-endian), bCharFormat, bParityType, bDataBits;
// built in a zeroed block of 8.
#define LINE_CODING_LENGTH 7
#define LINE_CODING_BLOCK 8

// What a failed receive pipe reports to a waiting WAIT_ON_MASK.
#define PIPE_FAILURE_EVENTS (SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD)

// ---------------------------------------------------------------- the status transfer

NTSTATUS StatusPipe(PDEVICE_EXTENSION Port) {
    NTSTATUS status;

    IncPendingIRPCnt(Port);
    status = AcquireRemoveLock(Port, NULL);
    if (!NT_SUCCESS(status)) {
        // The device is being removed: no transfer, and nothing to wait for.
        DecPendingIRPCnt(Port);
        return status;
    }

    // When no IRP can be had the submission gives back the count and the lock.
    return SubmitReceiveTransfer(Port, &Port->StatusUrb, Port->InterruptPipe, Port->StatusBuffer,
                                 STATUS_BUFFER_SIZE, StatusPipeCompletion);
}

// Only the IRP's status decides; the URB's USBD status is not consulted.
// While a sleep is noted the notification is applied but the wake issues the
// next transfer.
// The next transfer is counted before this one is given back, so the
// pending count never passes through 0 while the pipe runs.
NTSTATUS NTAPI StatusPipeCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    PDEVICE_EXTENSION port = (PDEVICE_EXTENSION)Context;

    RECEIVE_STEP step = ReceiveClosed;

    UNREFERENCED_PARAMETER(DeviceObject);
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        step = BeginReceive(port);
    }
    if (step == ReceiveClosed) {
        ReportPipeFailure(port);
    } else if (port->StatusBuffer[NOTIFICATION_CODE_OFFSET] == CDC_NOTIFY_SERIAL_STATE) {
        UpdateStatus(port);
    }
    if (step == ReceiveNext) {
        StatusPipe(port);
        EndReceive(port);
    }
    IoFreeIrp(Irp);
    DecPendingIRPCnt(port);
    ReleaseRemoveLock(port, NULL);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Caller holds PortLock. DCD follows the receive carrier; DSR and CTS follow
// the transmit carrier together. Returns the SERIAL_MSR bits that changed.
static USHORT ApplyUartState(PDEVICE_EXTENSION Port, UCHAR State) {
    VXQT70_ASSERT(VXQT70_HOLDS(&Port->PortLock));
    USHORT old = Port->ModemStatus;
    USHORT now = (USHORT)(old & ~(SERIAL_MSR_DCD | SERIAL_MSR_DSR | SERIAL_MSR_CTS));

    if (State & UART_STATE_RX_CARRIER) {
        now |= SERIAL_MSR_DCD;
    }
    if (State & UART_STATE_TX_CARRIER) {
        now |= SERIAL_MSR_DSR | SERIAL_MSR_CTS;
    }
    Port->ModemStatus = now;
    return (USHORT)(old ^ now);
}

// A change of DCD raises RLSD and a change of DSR raises DSR, each only if
// the mask asks for it; a CTS change raises nothing. The events stay
// recorded until a WAIT_ON_MASK has taken them.
VOID UpdateStatus(PDEVICE_EXTENSION Port) {
    USHORT changed;
    ULONG events;
    KIRQL oldIrql;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    Port->HoldReasons = 0;
    changed = ApplyUartState(Port, Port->StatusBuffer[UART_STATE_OFFSET]);
    if ((changed & SERIAL_MSR_DCD) && (Port->WaitMask & SERIAL_EV_RLSD)) {
        Port->EventHistory |= SERIAL_EV_RLSD;
    }
    if ((changed & SERIAL_MSR_DSR) && (Port->WaitMask & SERIAL_EV_DSR)) {
        Port->EventHistory |= SERIAL_EV_DSR;
    }
    events = Port->EventHistory;
    KeReleaseSpinLock(&Port->PortLock, oldIrql);

    if (events != 0 && CompletePendingWaitIrps(Port, events, FALSE)) {
        KeAcquireSpinLock(&Port->PortLock, &oldIrql);
        Port->EventHistory = 0;
        KeReleaseSpinLock(&Port->PortLock, oldIrql);
    }
}

// ---------------------------------------------------------------- a receive pipe fails

// Caller holds PortLock. TRUE when this failure is the one that marks the
// device lost: only a failure while the port is open does, and only once.
static BOOLEAN MarkDeviceLostLocked(PDEVICE_EXTENSION Port) {
    VXQT70_ASSERT(VXQT70_HOLDS(&Port->PortLock));
    if (!Port->PortOpen || Port->DeviceLostCode == DEVICE_LOST_CODE) {
        return FALSE;
    }
    Port->DeviceLostCode = DEVICE_LOST_CODE;
    return TRUE;
}

// Across a system sleep the pipes fail because the phone is powered down;
// that leaves no trace, and the wake restarts them. Otherwise the lines are
// reported gone whatever the mask holds, the record is emptied, and the
// read's timers are cancelled (a read waiting on a lost device ends at
// cleanup). A read waiting across a sleep keeps its time-out.
VOID ReportPipeFailure(PDEVICE_EXTENSION Port) {
    BOOLEAN newlyLost;
    ULONG events;
    KIRQL oldIrql;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    if (Port->ResumeAfterSleep) {
        KeReleaseSpinLock(&Port->PortLock, oldIrql);
        return;
    }
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    KeCancelTimer(&Port->ReadTotalTimer);
    KeCancelTimer(&Port->ReadIntervalTimer);

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    newlyLost = MarkDeviceLostLocked(Port);
    Port->EventHistory |= PIPE_FAILURE_EVENTS;
    events = Port->EventHistory;
    KeReleaseSpinLock(&Port->PortLock, oldIrql);

    CompletePendingWaitIrps(Port, events, FALSE);

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    Port->EventHistory = 0;
    KeReleaseSpinLock(&Port->PortLock, oldIrql);

    if (newlyLost) {
        AbortPipesOfLostDevice(Port);
    }
}

// ---------------------------------------------------------------- stopping a lost device's pipes
// A lost device refuses every request but close, and close then skips the
// pipe aborts and only waits for the transfers in flight. When one receive
// pipe failed but the phone is still attached (a stall, a babble, an error
// on one endpoint), the transfer on the other pipe would stay pending at the
// bus, and that wait would never end. So the failure that marks the device
// lost aborts both receive pipes itself; it cannot wait for the aborts (it
// runs at DISPATCH_LEVEL), so each goes down on its own IRP, counted like a
// transfer until its completion frees it.

typedef struct _PIPE_ABORT {
    struct _URB_PIPE_REQUEST Urb; // first: the bus sees the URB
    PDEVICE_EXTENSION Port;
} PIPE_ABORT, *PPIPE_ABORT;

static NTSTATUS NTAPI AbortPipeCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    PPIPE_ABORT abort = (PPIPE_ABORT)Context;
    PDEVICE_EXTENSION port = abort->Port;

    UNREFERENCED_PARAMETER(DeviceObject);
    ExFreePool(abort);
    IoFreeIrp(Irp);
    DecPendingIRPCnt(port);
    ReleaseRemoveLock(port, NULL);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Best effort: without memory or once the removal has begun nothing is sent,
// and the unplug or removal that follows ends the transfer instead.
static VOID AbortPipeNoWait(PDEVICE_EXTENSION Port, USBD_PIPE_HANDLE Pipe) {
    PPIPE_ABORT abort = NULL;
    PIRP irp = NULL;
    PIO_STACK_LOCATION next;

    abort = (PPIPE_ABORT)ExAllocatePoolWithTag(NonPagedPool, sizeof(PIPE_ABORT), PORT_POOL_TAG);
    irp = IoAllocateIrp(Port->LowerDeviceObject->StackSize, FALSE);
    if (abort == NULL || irp == NULL) {
        goto FreeRequest;
    }
    IncPendingIRPCnt(Port);
    if (!NT_SUCCESS(AcquireRemoveLock(Port, NULL))) {
        goto Uncount;
    }

    RtlZeroMemory(abort, sizeof(PIPE_ABORT));
    abort->Urb.Hdr.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    abort->Urb.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    abort->Urb.PipeHandle = Pipe;
    abort->Port = Port;
    next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &abort->Urb;
    IoSetCompletionRoutine(irp, AbortPipeCompletion, abort, TRUE, TRUE, TRUE);
    IoCallDriver(Port->LowerDeviceObject, irp);
    return;

Uncount:
    DecPendingIRPCnt(Port);
FreeRequest:
    if (irp != NULL) {
        IoFreeIrp(irp);
    }
    if (abort != NULL) {
        ExFreePool(abort);
    }
}

VOID AbortPipesOfLostDevice(PDEVICE_EXTENSION Port) {
    AbortPipeNoWait(Port, Port->InterruptPipe);
    AbortPipeNoWait(Port, Port->BulkInPipe);
}

// ---------------------------------------------------------------- line control

// Builds a CDC class request to interface 0 (whichever interface the port is
// bound to), host to device, with an optional data stage; a short data stage
// is an error.
static VOID BuildClassRequest(PURB Urb, UCHAR Request, USHORT Value, PVOID Data, ULONG Length) {
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* request = &Urb->UrbControlVendorClassRequest;

    RtlZeroMemory(Urb, sizeof(URB));
    request->Hdr.Length = (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    request->Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
    request->TransferFlags = 0;
    request->TransferBufferLength = Length;
    request->TransferBuffer = Data;
    request->TransferBufferMDL = NULL;
    request->UrbLink = NULL;
    request->RequestTypeReservedBits = CDC_REQUEST_TYPE;
    request->Request = Request;
    request->Value = Value;
    request->Index = 0;
}

// The serial encodings of stop bits (0 one, 1 one and a half, 2 two) and
// parity (none, odd, even, mark, space) are the CDC ones, so the bytes go
// out as stored.
NTSTATUS SetLineCode(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    UCHAR coding[LINE_CODING_BLOCK];
    URB urb;
    ULONG rate;
    KIRQL oldIrql;

    RtlZeroMemory(coding, sizeof(coding));
    KeAcquireSpinLock(&port->PortLock, &oldIrql);
    rate = port->BaudRate;
    coding[4] = port->LineControl.StopBits;
    coding[5] = port->LineControl.Parity;
    coding[6] = port->LineControl.WordLength;
    KeReleaseSpinLock(&port->PortLock, oldIrql);
    coding[0] = (UCHAR)(rate & 0xFF);
    coding[1] = (UCHAR)((rate >> 8) & 0xFF);
    coding[2] = (UCHAR)((rate >> 16) & 0xFF);
    coding[3] = (UCHAR)((rate >> 24) & 0xFF);

    BuildClassRequest(&urb, CDC_SET_LINE_CODING, 0, coding, LINE_CODING_LENGTH);
    return SendAwaitUrb(DeviceObject, &urb);
}

// The port keeps no record of the lines it has set.
NTSTATUS SetDTRRTS(PDEVICE_OBJECT DeviceObject, USHORT ControlLines) {
    URB urb;

    BuildClassRequest(&urb, CDC_SET_CONTROL_LINE_STATE, ControlLines, NULL, 0);
    return SendAwaitUrb(DeviceObject, &urb);
}

NTSTATUS SendBreak(PDEVICE_OBJECT DeviceObject, SHORT Duration) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Duration);
    return STATUS_SUCCESS;
}
