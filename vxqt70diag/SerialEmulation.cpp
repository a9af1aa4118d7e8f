// The diagnostics interface has no status endpoint and takes no class
// requests, so every piece of serial state is kept here in the port record:
// settings are validated, stored and returned; the control lines the host
// sets are looped back into the modem status (DTR comes back as DSR, RTS as
// CTS and carrier); requests that would need a real line succeed without
// effect. Nothing is sent to the phone and nothing is allocated, so every
// request is answered in the caller's thread at the caller's IRQL.
//
// The requests both drivers answer alike use the core's handlers
// (DispatchIoControl.cpp); those that differ are below.
#include "diag.h"

// What GET_COMMSTATUS reports once the device is lost: every error bit an
// application polling the line would act on.
#define DEVICE_LOST_ERRORS                                                                         \
    (SERIAL_ERROR_BREAK | SERIAL_ERROR_FRAMING | SERIAL_ERROR_OVERRUN |                            \
     SERIAL_ERROR_QUEUEOVERRUN | SERIAL_ERROR_PARITY)

// ---------------------------------------------------------------- state of an open
VOID InitializeSerEmulVariables(PDEVICE_EXTENSION Port) {
    SetOpenDefaults(Port, 115200, 0, 0);
    // Every line is off until the host raises DTR or RTS itself.
    Port->ModemStatus = 0;
    Port->PortOpen = TRUE;
    KeInitializeEvent(&Port->PendingIoIdle, SynchronizationEvent, FALSE);
    Port->TransferErrorCount = 0;
    Port->ReceptionOwned = FALSE;
}

static ULONG ControlCodeOf(PIRP Irp) {
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
}

// ---------------------------------------------------------------- emulated requests
// The character is accepted and dropped: the diagnostics protocol has no use
// for a character sent ahead of the queue.
static NTSTATUS EmulImmediateChar(PDEVICE_EXTENSION Port, PIRP Irp) {
    UNREFERENCED_PARAMETER(Port);
    if (InputLength(Irp) < sizeof(UCHAR)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- emulated lines
// The host's own lines come back to it as the lines a null-modem partner
// would raise: DTR as DSR, RTS as CTS and carrier. No delta bit is set and no
// wait event raised.
static NTSTATUS ChangeModemStatus(PDEVICE_EXTENSION Port, USHORT Set, USHORT Clear) {
    KIRQL oldIrql;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    Port->ModemStatus = (USHORT)((Port->ModemStatus & ~Clear) | Set);
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    return STATUS_SUCCESS;
}

#define RTS_LOOPBACK ((USHORT)(SERIAL_MSR_CTS | SERIAL_MSR_DCD))
#define DTR_LOOPBACK ((USHORT)SERIAL_MSR_DSR)

// ---------------------------------------------------------------- waits and purges

// Recorded events, or a mask of nothing to wait for, are answered at once
// (and the record emptied); otherwise the request waits. A second one while
// one waits is refused by the queue and the first one stays.
static NTSTATUS EmulWaitOnMask(PDEVICE_EXTENSION Port, PIRP Irp) {
    KIRQL oldIrql;
    NTSTATUS status;

    if (OutputLength(Irp) < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    if (Port->EventHistory == 0 && Port->WaitMask != 0) {
        Irp->IoStatus.Status = STATUS_PENDING;
        status = EnqueueWaitIrp(Port, Irp, TRUE);
    } else {
        *(PULONG)Irp->AssociatedIrp.SystemBuffer = Port->EventHistory;
        Port->EventHistory = 0;
        ReportReplyLength(Irp, sizeof(ULONG));
        status = STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    return status;
}

// Queued writes and the queued read are cancelled (the write on the bus runs
// on); a purged read ends as cancelled, not with what the ring holds. The
// kill walks take the cancel spin lock, so no lock is held around them.
static NTSTATUS EmulPurge(PDEVICE_EXTENSION Port, PIRP Irp) {
    ULONG flags;
    KIRQL oldIrql;

    if (InputLength(Irp) < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    flags = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    if ((flags & SERIAL_PURGE_TXABORT) != 0) {
        USBKillAllWrites(Port->DeviceObject, &Port->WriteQueue);
    }
    if ((flags & SERIAL_PURGE_RXABORT) != 0) {
        USBKillAllReads(Port->DeviceObject, &Port->ReadQueue);
    }
    if ((flags & SERIAL_PURGE_RXCLEAR) != 0) {
        KeAcquireSpinLock(&Port->PortLock, &oldIrql);
        FlushInputBuffer(Port);
        KeReleaseSpinLock(&Port->PortLock, oldIrql);
    }
    // The word is reported back as ever, within the caller's output buffer.
    ReportReplyLength(Irp, sizeof(ULONG));
    return STATUS_SUCCESS;
}

// Answered even on a lost device, so that an application polling the line
// sees the error bits rather than a refusal.
static NTSTATUS EmulGetCommStatus(PDEVICE_EXTENSION Port, PIRP Irp) {
    PSERIAL_STATUS serialStatus = (PSERIAL_STATUS)Irp->AssociatedIrp.SystemBuffer;
    KIRQL oldIrql;

    if (OutputLength(Irp) < sizeof(SERIAL_STATUS)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlZeroMemory(serialStatus, sizeof(SERIAL_STATUS));
    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    if (Port->DeviceLostCode != 0) {
        serialStatus->Errors = DEVICE_LOST_ERRORS;
    } else {
        serialStatus->HoldReasons = Port->HoldReasons;
        serialStatus->AmountInInQueue = (ULONG)GetNoCharsInInputBuffer(Port);
        serialStatus->AmountInOutQueue = (ULONG)Port->AmountInOutQueue;
        serialStatus->EofReceived = FALSE;
        serialStatus->WaitForImmediate = FALSE;
    }
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    ReportReplyLength(Irp, sizeof(SERIAL_STATUS));
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- the table
// One routine per control code. The emulated port accepts the requests a real
// line would act on (break, XON/XOFF, reset) and does nothing; it has no
// properties block to report.
// clang-format off
static NTSTATUS HandleDiagRequest(PDEVICE_EXTENSION Port, PIRP Irp) {
    switch (ControlCodeOf(Irp)) {
    case IOCTL_SERIAL_SET_BAUD_RATE:     return SerialStoreBaudRate(Port, Irp);
    case IOCTL_SERIAL_SET_LINE_CONTROL:  return SerialStoreLineControl(Port, Irp);
    case IOCTL_SERIAL_IMMEDIATE_CHAR:    return EmulImmediateChar(Port, Irp);
    case IOCTL_SERIAL_SET_TIMEOUTS:      return SerialSetTimeouts(Port, Irp);
    case IOCTL_SERIAL_GET_TIMEOUTS:      return SerialGetTimeouts(Port, Irp);
    case IOCTL_SERIAL_SET_DTR:           return ChangeModemStatus(Port, DTR_LOOPBACK, 0);
    case IOCTL_SERIAL_CLR_DTR:           return ChangeModemStatus(Port, 0, DTR_LOOPBACK);
    case IOCTL_SERIAL_SET_RTS:           return ChangeModemStatus(Port, RTS_LOOPBACK, 0);
    case IOCTL_SERIAL_CLR_RTS:           return ChangeModemStatus(Port, 0, RTS_LOOPBACK);
    case IOCTL_SERIAL_GET_WAIT_MASK:     return SerialGetWaitMask(Port, Irp);
    case IOCTL_SERIAL_SET_WAIT_MASK:     return StoreWaitMask(Port, Irp);
    case IOCTL_SERIAL_WAIT_ON_MASK:      return EmulWaitOnMask(Port, Irp);
    case IOCTL_SERIAL_PURGE:             return EmulPurge(Port, Irp);
    case IOCTL_SERIAL_GET_BAUD_RATE:     return SerialGetBaudRate(Port, Irp);
    case IOCTL_SERIAL_GET_LINE_CONTROL:  return SerialGetLineControl(Port, Irp);
    case IOCTL_SERIAL_GET_CHARS:         return SerialGetChars(Port, Irp);
    case IOCTL_SERIAL_SET_CHARS:         return SerialSetChars(Port, Irp);
    case IOCTL_SERIAL_GET_HANDFLOW:      return SerialGetHandFlow(Port, Irp);
    case IOCTL_SERIAL_SET_HANDFLOW:      return SerialSetHandFlow(Port, Irp);
    case IOCTL_SERIAL_GET_MODEMSTATUS:   return SerialGetModemStatus(Port, Irp);
    case IOCTL_SERIAL_GET_COMMSTATUS:    return EmulGetCommStatus(Port, Irp);
    case IOCTL_SERIAL_GET_STATS:         return SerialGetStats(Port, Irp);
    case IOCTL_SERIAL_CLEAR_STATS:       return SerialClearStats(Port, Irp);

    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_SERIAL_RESET_DEVICE:
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_GET_PROPERTIES:
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
    case IOCTL_SERIAL_XOFF_COUNTER:
    case IOCTL_SERIAL_GET_DTRRTS:
    case IOCTL_SERIAL_LSRMST_INSERT:
    case IOCTL_SERIAL_CONFIG_SIZE:
    case IOCTL_SERIAL_GET_MODEM_CONTROL:
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
    case IOCTL_SERIAL_SET_FIFO_CONTROL:  return SerialAcceptWithoutEffect(Port, Irp);

    case IOCTL_SERIAL_GET_COMMCONFIG:
    case IOCTL_SERIAL_SET_COMMCONFIG:
    default:                             return SerialRefuse(Port, Irp);
    }
}
// clang-format on

// ---------------------------------------------------------------- dispatch
// Handles one request, which the caller holds the remove lock for, and
// returns its status; the caller completes it unless it now waits in the
// wait queue (STATUS_PENDING), which then owns the request and that hold.
NTSTATUS PassiveModemIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Irp->IoStatus.Information = 0;
    return HandleDiagRequest(PortOf(DeviceObject), Irp);
}

// IRP_MJ_DEVICE_CONTROL, at the caller's IRQL: no request here blocks, so
// none is deferred. Requests are answered only between open and cleanup, and
// only while the device is there, except the status query, which an
// application polls to learn that the device is lost.
NTSTATUS NTAPI ModemIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    NTSTATUS status;
    KIRQL oldIrql;

    if (!port->PortOpen) {
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    // The status query passes a removed device's test but not a removal
    // that has begun (the hold refused).
    if ((ControlCodeOf(Irp) != IOCTL_SERIAL_GET_COMMSTATUS && IsDeviceRemoved(port)) ||
        !NT_SUCCESS(AcquireRemoveLock(port, Irp))) {
        KeAcquireSpinLock(&port->PortLock, &oldIrql);
        port->EventHistory = 0;
        KeReleaseSpinLock(&port->PortLock, oldIrql);
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    status = PassiveModemIoControl(DeviceObject, Irp);
    if (status == STATUS_PENDING) {
        return STATUS_PENDING;
    }
    ReleaseRemoveLock(port, Irp);
    return CompleteRequest(Irp, status);
}
