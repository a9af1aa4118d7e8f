// The serial control requests (IOCTL_SERIAL_*, METHOD_BUFFERED) that make the
// USB interface look like a COM port. Most store or return a field of the
// port record; line coding and the control lines go on to the phone, waits
// go to the wait queue, purges to the read and write paths and the ring.
//
// The handlers below are one small routine per request. The ones both
// drivers answer alike are shared; the modem driver's dispatch, its table
// and the deferral to a worker thread follow under VARIANT_MODEM. The
// diagnostics driver answers from its own table (and never defers), calling
// the shared handlers for the requests it answers the same way.
//
// Every handler runs at PASSIVE_LEVEL with the request's remove lock held,
// checks the buffer length before reading the buffer, and returns the
// request's status with IoStatus.Information set (0 unless it returns data).
// STATUS_PENDING means the request now belongs to a queue.
#include "port.h"

// ---------------------------------------------------------------- validators
// The rates a serial application may ask for. The diagnostics interface tops
// out at 128000; the modem also takes the three fast rates at the end.
static const LONG ValidBaudRates[] = {
    300,   600,   1200,  1800,   2400,   4800,   7200,   9600,    14400,
    19200, 38400, 57600, 115200, 128000, 230400, 460800, 3686400,
};
#if VARIANT_MODEM
#define VALID_BAUD_RATE_COUNT 17
#else
#define VALID_BAUD_RATE_COUNT 14
#endif

BOOLEAN IsValidBaudRate(LONG BaudRate) {
    ULONG i;

    for (i = 0; i < VALID_BAUD_RATE_COUNT; i++) {
        if (ValidBaudRates[i] == BaudRate) {
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN IsValidDataBits(UCHAR DataBits) {
    return (BOOLEAN)(DataBits >= 5 && DataBits <= 8);
}

BOOLEAN IsValidStopBits(UCHAR StopBits) {
    return (BOOLEAN)(StopBits <= STOP_BITS_2);
}

BOOLEAN IsValidParity(UCHAR Parity) {
    return (BOOLEAN)(Parity <= SPACE_PARITY);
}

// The same block for every port in every state: what kernel32 turns into
// COMMPROP. MaxBaud is SERIAL_BAUD_USER because clients compare it with the
// rate they want as a number.
VOID SerialGetProperties(PDEVICE_EXTENSION Port, PSERIAL_COMMPROP Properties) {
    UNREFERENCED_PARAMETER(Port);

    RtlZeroMemory(Properties, sizeof(SERIAL_COMMPROP));
    Properties->PacketLength = (USHORT)sizeof(SERIAL_COMMPROP);
    Properties->PacketVersion = 2;
    Properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    Properties->MaxBaud = SERIAL_BAUD_USER;
    Properties->ProvSubType = SERIAL_SP_RS232;
    Properties->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD |
                                   SERIAL_PCF_PARITY_CHECK | SERIAL_PCF_TOTALTIMEOUTS |
                                   SERIAL_PCF_INTTIMEOUTS;
    Properties->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS |
                                 SERIAL_SP_STOPBITS | SERIAL_SP_HANDSHAKING |
                                 SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
    Properties->SettableBaud =
        SERIAL_BAUD_075 | SERIAL_BAUD_110 | SERIAL_BAUD_134_5 | SERIAL_BAUD_150 | SERIAL_BAUD_300 |
        SERIAL_BAUD_600 | SERIAL_BAUD_1200 | SERIAL_BAUD_1800 | SERIAL_BAUD_2400 |
        SERIAL_BAUD_4800 | SERIAL_BAUD_7200 | SERIAL_BAUD_9600 | SERIAL_BAUD_14400 |
        SERIAL_BAUD_19200 | SERIAL_BAUD_38400 | SERIAL_BAUD_56K | SERIAL_BAUD_128K |
        SERIAL_BAUD_115200 | SERIAL_BAUD_57600 | SERIAL_BAUD_USER;
    Properties->SettableData =
        SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
    Properties->SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 |
                                     SERIAL_PARITY_NONE | SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN |
                                     SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
    Properties->CurrentRxQueue = INPUT_BUFFER_SIZE;
}

// The SERIAL_EV_* events a wait mask can name, EV_RXCHAR to EV_EVENT2.
#define SERIAL_WAIT_MASK_BITS 0x00001FFF

// ---------------------------------------------------------------- buffers and settings
ULONG InputLength(PIRP Irp) {
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength;
}

ULONG OutputLength(PIRP Irp) {
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

NTSTATUS CopySettingIn(PIRP Irp, PVOID Setting, ULONG Size, PKSPIN_LOCK Lock) {
    KIRQL oldIrql = PASSIVE_LEVEL;

    if (InputLength(Irp) < Size) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (Lock != NULL) {
        KeAcquireSpinLock(Lock, &oldIrql);
    }
    RtlCopyMemory(Setting, Irp->AssociatedIrp.SystemBuffer, Size);
    if (Lock != NULL) {
        KeReleaseSpinLock(Lock, oldIrql);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CopySettingOut(PIRP Irp, const VOID* Setting, ULONG Size, PKSPIN_LOCK Lock) {
    KIRQL oldIrql = PASSIVE_LEVEL;

    if (OutputLength(Irp) < Size) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (Lock != NULL) {
        KeAcquireSpinLock(Lock, &oldIrql);
    }
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, Setting, Size);
    if (Lock != NULL) {
        KeReleaseSpinLock(Lock, oldIrql);
    }
    ReportReplyLength(Irp, Size);
    return STATUS_SUCCESS;
}

// The system buffer is as long as the larger of the two buffers, and the I/O
// manager copies Information bytes of it into the caller's output buffer.
// Two requests report a word without an output buffer to hold it (PURGE on
// the diagnostics port, SET_WAIT_MASK on the modem port); PurgeComm and
// SetCommMask give none, and are told the word as ever, but a caller who
// gave a buffer of one to three bytes must not have four written into it.
VOID ReportReplyLength(PIRP Irp, ULONG Bytes) {
    ULONG room = OutputLength(Irp);

    Irp->IoStatus.Information = (room != 0 && room < Bytes) ? room : Bytes;
}

NTSTATUS StoreWaitMask(PDEVICE_EXTENSION Port, PIRP Irp) {
    ULONG mask;
    NTSTATUS status = CopySettingIn(Irp, &mask, sizeof(ULONG), NULL);

    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((mask & ~(ULONG)SERIAL_WAIT_MASK_BITS) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    CompletePendingWaitIrps(Port, 0, FALSE);
    return CopySettingIn(Irp, &Port->WaitMask, sizeof(ULONG), &Port->PortLock);
}

// ---------------------------------------------------------------- shared handlers
// Each takes PortLock only to copy the setting; none holds it across a call
// into another Part.

NTSTATUS SerialAcceptWithoutEffect(PDEVICE_EXTENSION Port, PIRP Irp) {
    UNREFERENCED_PARAMETER(Port);
    UNREFERENCED_PARAMETER(Irp);
    return STATUS_SUCCESS;
}

NTSTATUS SerialRefuse(PDEVICE_EXTENSION Port, PIRP Irp) {
    UNREFERENCED_PARAMETER(Port);
    UNREFERENCED_PARAMETER(Irp);
    return STATUS_INVALID_PARAMETER;
}

// No value is refused: applications send every combination, MAXULONG
// included, and the read path does the arithmetic safely.
NTSTATUS SerialSetTimeouts(PDEVICE_EXTENSION Port, PIRP Irp) {
    return CopySettingIn(Irp, &Port->Timeouts, sizeof(SERIAL_TIMEOUTS), &Port->PortLock);
}

NTSTATUS SerialGetTimeouts(PDEVICE_EXTENSION Port, PIRP Irp) {
    return CopySettingOut(Irp, &Port->Timeouts, sizeof(SERIAL_TIMEOUTS), &Port->PortLock);
}

// SERIAL_BAUD_RATE is the one ULONG BaudRate holds.
NTSTATUS SerialGetBaudRate(PDEVICE_EXTENSION Port, PIRP Irp) {
    return CopySettingOut(Irp, &Port->BaudRate, sizeof(SERIAL_BAUD_RATE), &Port->PortLock);
}

NTSTATUS SerialGetLineControl(PDEVICE_EXTENSION Port, PIRP Irp) {
    return CopySettingOut(Irp, &Port->LineControl, sizeof(SERIAL_LINE_CONTROL), &Port->PortLock);
}

NTSTATUS SerialGetChars(PDEVICE_EXTENSION Port, PIRP Irp) {
    return CopySettingOut(Irp, &Port->SpecialChars, sizeof(SERIAL_CHARS), &Port->PortLock);
}

// Every value is taken: SetCommState sends all-zero characters as readily as
// real ones, and refusing any would fail the application's open.
NTSTATUS SerialSetChars(PDEVICE_EXTENSION Port, PIRP Irp) {
    return CopySettingIn(Irp, &Port->SpecialChars, sizeof(SERIAL_CHARS), &Port->PortLock);
}

NTSTATUS SerialGetHandFlow(PDEVICE_EXTENSION Port, PIRP Irp) {
    return CopySettingOut(Irp, &Port->HandFlow, sizeof(SERIAL_HANDFLOW), &Port->PortLock);
}

// Only the two flag words are kept; the XON/XOFF limits mean nothing to a USB
// interface and read back as they were. No value is refused, for the same
// reason as the special characters.
NTSTATUS SerialSetHandFlow(PDEVICE_EXTENSION Port, PIRP Irp) {
    SERIAL_HANDFLOW handFlow;
    NTSTATUS status = CopySettingIn(Irp, &handFlow, sizeof(SERIAL_HANDFLOW), NULL);
    KIRQL oldIrql;

    if (!NT_SUCCESS(status)) {
        return status;
    }
    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    Port->HandFlow.ControlHandShake = handFlow.ControlHandShake;
    Port->HandFlow.FlowReplace = handFlow.FlowReplace;
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    return STATUS_SUCCESS;
}

// Validates and stores a new baud rate or line control. The diagnostics port
// stops here; the modem port then sends the line coding to the phone.
NTSTATUS SerialStoreBaudRate(PDEVICE_EXTENSION Port, PIRP Irp) {
    SERIAL_BAUD_RATE baudRate;
    NTSTATUS status = CopySettingIn(Irp, &baudRate, sizeof(SERIAL_BAUD_RATE), NULL);

    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!IsValidBaudRate((LONG)baudRate.BaudRate)) {
        return STATUS_INVALID_PARAMETER;
    }
    return CopySettingIn(Irp, &Port->BaudRate, sizeof(SERIAL_BAUD_RATE), &Port->PortLock);
}

NTSTATUS SerialStoreLineControl(PDEVICE_EXTENSION Port, PIRP Irp) {
    SERIAL_LINE_CONTROL lineControl;
    NTSTATUS status = CopySettingIn(Irp, &lineControl, sizeof(SERIAL_LINE_CONTROL), NULL);

    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!IsValidDataBits(lineControl.WordLength) || !IsValidStopBits(lineControl.StopBits) ||
        !IsValidParity(lineControl.Parity)) {
        return STATUS_INVALID_PARAMETER;
    }
    return CopySettingIn(Irp, &Port->LineControl, sizeof(SERIAL_LINE_CONTROL), &Port->PortLock);
}

// The status is kept in 16 bits and reported in 32.
NTSTATUS SerialGetModemStatus(PDEVICE_EXTENSION Port, PIRP Irp) {
    ULONG modemStatus;
    KIRQL oldIrql;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    modemStatus = Port->ModemStatus;
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    return CopySettingOut(Irp, &modemStatus, sizeof(ULONG), NULL);
}

NTSTATUS SerialGetWaitMask(PDEVICE_EXTENSION Port, PIRP Irp) {
    return CopySettingOut(Irp, &Port->WaitMask, sizeof(ULONG), &Port->PortLock);
}

NTSTATUS SerialGetStats(PDEVICE_EXTENSION Port, PIRP Irp) {
    return CopySettingOut(Irp, &Port->PerfStats, sizeof(SERIALPERF_STATS), &Port->PortLock);
}

NTSTATUS SerialClearStats(PDEVICE_EXTENSION Port, PIRP Irp) {
    KIRQL oldIrql;

    UNREFERENCED_PARAMETER(Irp);
    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    RtlZeroMemory(&Port->PerfStats, sizeof(SERIALPERF_STATS));
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    return STATUS_SUCCESS;
}

#if VARIANT_MODEM

// ---------------------------------------------------------------- modem handlers
// SetLineCode copies the settings under PortLock and talks to the phone after
// releasing it. The stored rate stays even when the phone refuses it, so a
// GET reports what was asked for.
static NTSTATUS SerialSetBaudRate(PDEVICE_EXTENSION Port, PIRP Irp) {
    NTSTATUS status = SerialStoreBaudRate(Port, Irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = SetLineCode(Port->DeviceObject);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

static NTSTATUS SerialSetLineControl(PDEVICE_EXTENSION Port, PIRP Irp) {
    NTSTATUS status = SerialStoreLineControl(Port, Irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return SetLineCode(Port->DeviceObject);
}

static NTSTATUS SerialSetBreakOn(PDEVICE_EXTENSION Port, PIRP Irp) {
    UNREFERENCED_PARAMETER(Irp);
    return SendBreak(Port->DeviceObject, (SHORT)0xFFFF);
}

static NTSTATUS SerialSetBreakOff(PDEVICE_EXTENSION Port, PIRP Irp) {
    UNREFERENCED_PARAMETER(Irp);
    return SendBreak(Port->DeviceObject, 0);
}

static NTSTATUS SerialImmediateChar(PDEVICE_EXTENSION Port, PIRP Irp) {
    if (InputLength(Irp) < sizeof(UCHAR)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    return DispatchImmediateChar(Port->DeviceObject, Irp);
}

// The port keeps no record of the DTR and RTS it set. A request changes the
// line it names and states the other from what the phone reports: carrier
// (DCD) stands for RTS, DSR for DTR. The control-line value is the wValue of
// SET_CONTROL_LINE_STATE: bit 0 DTR, bit 1 RTS. What the phone answers does
// not change the request's status.
#define CONTROL_LINE_DTR 0x0001
#define CONTROL_LINE_RTS 0x0002

static USHORT OtherLine(PDEVICE_EXTENSION Port, USHORT StandsFor, USHORT Line) {
    return (Port->ModemStatus & StandsFor) != 0 ? Line : 0;
}

static NTSTATUS SerialSetDtr(PDEVICE_EXTENSION Port, PIRP Irp) {
    UNREFERENCED_PARAMETER(Irp);
    SetDTRRTS(Port->DeviceObject,
              CONTROL_LINE_DTR | OtherLine(Port, SERIAL_MSR_DCD, CONTROL_LINE_RTS));
    return STATUS_SUCCESS;
}

static NTSTATUS SerialClrDtr(PDEVICE_EXTENSION Port, PIRP Irp) {
    UNREFERENCED_PARAMETER(Irp);
    SetDTRRTS(Port->DeviceObject, OtherLine(Port, SERIAL_MSR_DCD, CONTROL_LINE_RTS));
    return STATUS_SUCCESS;
}

static NTSTATUS SerialSetRts(PDEVICE_EXTENSION Port, PIRP Irp) {
    UNREFERENCED_PARAMETER(Irp);
    SetDTRRTS(Port->DeviceObject,
              CONTROL_LINE_RTS | OtherLine(Port, SERIAL_MSR_DSR, CONTROL_LINE_DTR));
    return STATUS_SUCCESS;
}

static NTSTATUS SerialClrRts(PDEVICE_EXTENSION Port, PIRP Irp) {
    UNREFERENCED_PARAMETER(Irp);
    SetDTRRTS(Port->DeviceObject, OtherLine(Port, SERIAL_MSR_DSR, CONTROL_LINE_DTR));
    return STATUS_SUCCESS;
}

// A new mask first ends a waiting WAIT_ON_MASK with no events; events recorded
// under the old mask stay recorded. The word is reported back as ever, within
// the caller's output buffer.
static NTSTATUS SerialSetWaitMask(PDEVICE_EXTENSION Port, PIRP Irp) {
    NTSTATUS status = StoreWaitMask(Port, Irp);

    if (NT_SUCCESS(status)) {
        ReportReplyLength(Irp, sizeof(ULONG));
    }
    return status;
}

// Only one wait may be queued. A second one, or a wait with no mask to wait
// for, is refused and ends the queued one with no events, so that a client
// whose wait is refused can start over cleanly.
static NTSTATUS SerialWaitOnMask(PDEVICE_EXTENSION Port, PIRP Irp) {
    PULONG events = (PULONG)Irp->AssociatedIrp.SystemBuffer;
    KIRQL oldIrql;

    if (OutputLength(Irp) < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    if (Port->WaitMask == 0 || !IsListEmpty(&Port->WaitQueue)) {
        *events = 0;
        Port->EventHistory = 0;
        KeReleaseSpinLock(&Port->PortLock, oldIrql);
        CompletePendingWaitIrps(Port, 0, FALSE);
        return STATUS_INVALID_PARAMETER;
    }
    if (Port->EventHistory != 0) {
        *events = Port->EventHistory;
        Port->EventHistory = 0;
        KeReleaseSpinLock(&Port->PortLock, oldIrql);
        ReportReplyLength(Irp, sizeof(ULONG));
        return STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    return EnqueueWaitIrp(Port, Irp, FALSE);
}

// Acted on in this order: queued writes cancelled (the one on the bus runs
// on), queued reads completed with what the ring holds, the ring emptied.
// There is no transmit buffer to clear.
static NTSTATUS SerialPurge(PDEVICE_EXTENSION Port, PIRP Irp) {
    ULONG flags;

    if (InputLength(Irp) < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    flags = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    if ((flags & SERIAL_PURGE_TXABORT) != 0) {
        USBKillAllWrites(Port->DeviceObject, &Port->WriteQueue);
    }
    if ((flags & SERIAL_PURGE_RXABORT) != 0) {
        CompletePendingReadIrps(Port);
    }
    if ((flags & SERIAL_PURGE_RXCLEAR) != 0) {
        FlushInputBuffer(Port);
    }
    return STATUS_SUCCESS;
}

// Polled before nearly every read, so it takes nothing but the two locks, in
// their order: PortLock, then the ring's own.
static NTSTATUS SerialGetCommStatus(PDEVICE_EXTENSION Port, PIRP Irp) {
    PSERIAL_STATUS serialStatus = (PSERIAL_STATUS)Irp->AssociatedIrp.SystemBuffer;
    KIRQL oldIrql;

    if (OutputLength(Irp) < sizeof(SERIAL_STATUS)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlZeroMemory(serialStatus, sizeof(SERIAL_STATUS));
    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    serialStatus->Errors = 0;
    serialStatus->HoldReasons = Port->HoldReasons;
    serialStatus->AmountInInQueue = (ULONG)GetNoCharsInInputBuffer(Port);
    serialStatus->AmountInOutQueue = (ULONG)Port->AmountInOutQueue;
    serialStatus->EofReceived = FALSE;
    serialStatus->WaitForImmediate = FALSE;
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    ReportReplyLength(Irp, sizeof(SERIAL_STATUS));
    return STATUS_SUCCESS;
}

static NTSTATUS SerialGetPropertiesRequest(PDEVICE_EXTENSION Port, PIRP Irp) {
    if (OutputLength(Irp) < sizeof(SERIAL_COMMPROP)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    SerialGetProperties(Port, (PSERIAL_COMMPROP)Irp->AssociatedIrp.SystemBuffer);
    ReportReplyLength(Irp, sizeof(SERIAL_COMMPROP));
    return STATUS_SUCCESS;
}

// One routine per control code. Requests a USB interface cannot carry out but
// that serial applications commonly send succeed without effect; the rest of
// what the port cannot do, and every code it does not know, is refused.
static NTSTATUS HandleModemRequest(PDEVICE_EXTENSION Port, PIRP Irp) {
    // clang-format off
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_SET_BAUD_RATE:     return SerialSetBaudRate(Port, Irp);
    case IOCTL_SERIAL_SET_LINE_CONTROL:  return SerialSetLineControl(Port, Irp);
    case IOCTL_SERIAL_SET_BREAK_ON:      return SerialSetBreakOn(Port, Irp);
    case IOCTL_SERIAL_SET_BREAK_OFF:     return SerialSetBreakOff(Port, Irp);
    case IOCTL_SERIAL_IMMEDIATE_CHAR:    return SerialImmediateChar(Port, Irp);
    case IOCTL_SERIAL_SET_TIMEOUTS:      return SerialSetTimeouts(Port, Irp);
    case IOCTL_SERIAL_GET_TIMEOUTS:      return SerialGetTimeouts(Port, Irp);
    case IOCTL_SERIAL_SET_DTR:           return SerialSetDtr(Port, Irp);
    case IOCTL_SERIAL_CLR_DTR:           return SerialClrDtr(Port, Irp);
    case IOCTL_SERIAL_SET_RTS:           return SerialSetRts(Port, Irp);
    case IOCTL_SERIAL_CLR_RTS:           return SerialClrRts(Port, Irp);
    case IOCTL_SERIAL_GET_WAIT_MASK:     return SerialGetWaitMask(Port, Irp);
    case IOCTL_SERIAL_SET_WAIT_MASK:     return SerialSetWaitMask(Port, Irp);
    case IOCTL_SERIAL_WAIT_ON_MASK:      return SerialWaitOnMask(Port, Irp);
    case IOCTL_SERIAL_PURGE:             return SerialPurge(Port, Irp);
    case IOCTL_SERIAL_GET_BAUD_RATE:     return SerialGetBaudRate(Port, Irp);
    case IOCTL_SERIAL_GET_LINE_CONTROL:  return SerialGetLineControl(Port, Irp);
    case IOCTL_SERIAL_GET_CHARS:         return SerialGetChars(Port, Irp);
    case IOCTL_SERIAL_SET_CHARS:         return SerialSetChars(Port, Irp);
    case IOCTL_SERIAL_GET_HANDFLOW:      return SerialGetHandFlow(Port, Irp);
    case IOCTL_SERIAL_SET_HANDFLOW:      return SerialSetHandFlow(Port, Irp);
    case IOCTL_SERIAL_GET_MODEMSTATUS:   return SerialGetModemStatus(Port, Irp);
    case IOCTL_SERIAL_GET_COMMSTATUS:    return SerialGetCommStatus(Port, Irp);
    case IOCTL_SERIAL_GET_PROPERTIES:    return SerialGetPropertiesRequest(Port, Irp);
    case IOCTL_SERIAL_GET_STATS:         return SerialGetStats(Port, Irp);
    case IOCTL_SERIAL_CLEAR_STATS:       return SerialClearStats(Port, Irp);

    case IOCTL_SERIAL_SET_QUEUE_SIZE:
    case IOCTL_SERIAL_XOFF_COUNTER:
    case IOCTL_SERIAL_GET_DTRRTS:
    case IOCTL_SERIAL_LSRMST_INSERT:
    case IOCTL_SERIAL_CONFIG_SIZE:
    case IOCTL_SERIAL_GET_MODEM_CONTROL:
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
    case IOCTL_SERIAL_SET_FIFO_CONTROL:  return SerialAcceptWithoutEffect(Port, Irp);

    case IOCTL_SERIAL_RESET_DEVICE:
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_GET_COMMCONFIG:
    case IOCTL_SERIAL_SET_COMMCONFIG:
    default:                             return SerialRefuse(Port, Irp);
    }
    // clang-format on
}

// ---------------------------------------------------------------- dispatch
// Handles one request at PASSIVE_LEVEL and completes it, unless it now waits
// in a queue (STATUS_PENDING): the queue then owns the request and the hold
// on the remove lock taken here, and gives both back when it completes or
// cancels it.
NTSTATUS PassiveModemIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    NTSTATUS status;

    // The handlers wait for the phone's answers.
    VXQT70_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    Irp->IoStatus.Information = 0;
    status = AcquireRemoveLock(port, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, 0);
    }
    status = HandleModemRequest(port, Irp);
    if (status == STATUS_PENDING) {
        return STATUS_PENDING;
    }
    ReleaseRemoveLock(port, Irp);
    return CompleteRequest(Irp, status);
}

// Runs a deferred request on a system worker thread, at PASSIVE_LEVEL, then
// gives back the record and the hold on the remove lock that kept the device
// from going away while the request waited for the worker.
VOID NTAPI WorkItemCallbackModemIoControl(PVOID Parameter) {
    PRANDOM_JUNK junk = (PRANDOM_JUNK)Parameter;
    PDEVICE_EXTENSION port;

    port = junk->DeviceExtension;
    PassiveModemIoControl(junk->DeviceObject, junk->Irp);
    ReleaseRemoveLock(port, junk);
    ExFreePool(junk);
}

// A request sent from above PASSIVE_LEVEL (a DPC, a completion routine) is
// handed to a worker thread, since its handler may wait for the phone.
// The record holds the remove lock until the worker has run, so the device
// and this image stay while the request waits.
static NTSTATUS DeferModemIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    PRANDOM_JUNK junk;
    ULONG bufferBytes;
    NTSTATUS status = STATUS_UNSUCCESSFUL;

    junk = (PRANDOM_JUNK)ExAllocatePoolWithTag(NonPagedPool, sizeof(RANDOM_JUNK), PORT_POOL_TAG);
    if (junk == NULL) {
        goto Refuse;
    }
    status = AcquireRemoveLock(port, junk);
    if (!NT_SUCCESS(status)) {
        goto FreeRecord;
    }

    RtlZeroMemory(junk, sizeof(RANDOM_JUNK));
    ExInitializeWorkItem(&junk->WorkItem, WorkItemCallbackModemIoControl, junk);
    junk->DeviceExtension = port;
    junk->Irp = Irp;
    junk->DeviceObject = DeviceObject;
    // A request without a buffer, or with fewer than four bytes of one,
    // leaves the rest of the word zero rather than read past it.
    bufferBytes = InputLength(Irp) > OutputLength(Irp) ? InputLength(Irp) : OutputLength(Irp);
    if (Irp->AssociatedIrp.SystemBuffer != NULL) {
        RtlCopyMemory(&junk->BufferWord, Irp->AssociatedIrp.SystemBuffer,
                      bufferBytes < sizeof(ULONG) ? bufferBytes : sizeof(ULONG));
    }

    IoMarkIrpPending(Irp);
    ExQueueWorkItem(&junk->WorkItem, DelayedWorkQueue);
    return STATUS_PENDING;

FreeRecord:
    ExFreePool(junk);
Refuse:
    return CompleteRequest(Irp, status, 0);
}

// IRP_MJ_DEVICE_CONTROL. Requests are answered only between open and close and
// only while the device is there. At PASSIVE_LEVEL the request is handled in
// the caller's thread, which takes the hold on the remove lock (a removal
// that has begun refuses it).
NTSTATUS NTAPI ModemIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);

    if (!port->PortOpen) {
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    if (IsDeviceRemoved(port)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        return DeferModemIoControl(DeviceObject, Irp);
    }
    return PassiveModemIoControl(DeviceObject, Irp);
}

#endif // VARIANT_MODEM
