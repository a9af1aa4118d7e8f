// The recording serial driver; see rec_driver.h. Its one queued wait is
// guarded by the cancel spin lock.
#include "rec_driver.h"

#include <cstdio>
#include <cstring>

namespace commrec {
namespace {

RecState g_state;
PDEVICE_OBJECT g_device = nullptr;
PIRP g_wait = nullptr; // cancel spin lock

const char* SerialName(ULONG code) {
    switch (code) {
#define NAME(x)                                                                                    \
    case IOCTL_SERIAL_##x:                                                                         \
        return #x;
        NAME(SET_BAUD_RATE)
        NAME(SET_QUEUE_SIZE)
        NAME(SET_LINE_CONTROL)
        NAME(SET_BREAK_ON)
        NAME(SET_BREAK_OFF)
        NAME(IMMEDIATE_CHAR)
        NAME(SET_TIMEOUTS)
        NAME(GET_TIMEOUTS)
        NAME(SET_DTR)
        NAME(CLR_DTR)
        NAME(RESET_DEVICE)
        NAME(SET_RTS)
        NAME(CLR_RTS)
        NAME(SET_XOFF)
        NAME(SET_XON)
        NAME(GET_WAIT_MASK)
        NAME(SET_WAIT_MASK)
        NAME(WAIT_ON_MASK)
        NAME(PURGE)
        NAME(GET_BAUD_RATE)
        NAME(GET_LINE_CONTROL)
        NAME(GET_CHARS)
        NAME(SET_CHARS)
        NAME(GET_HANDFLOW)
        NAME(SET_HANDFLOW)
        NAME(GET_MODEMSTATUS)
        NAME(GET_COMMSTATUS)
        NAME(GET_PROPERTIES)
#undef NAME
    default:
        return nullptr;
    }
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID NTAPI CancelWait(PDEVICE_OBJECT, PIRP irp) {
    g_wait = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED, 0);
}

// The queued wait, claimed from cancellation; NULL when none.
PIRP TakeWait() {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = g_wait;
    if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) == nullptr)
        irp = nullptr; // its cancel routine is about to run
    if (irp != nullptr)
        g_wait = nullptr;
    IoReleaseCancelSpinLock(irql);
    return irp;
}

NTSTATUS CompleteWait(PIRP irp, ULONG mask) {
    std::memcpy(irp->AssociatedIrp.SystemBuffer, &mask, sizeof mask);
    return Complete(irp, STATUS_SUCCESS, sizeof mask);
}

NTSTATUS QueueWait(PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (g_wait != nullptr) {
        IoReleaseCancelSpinLock(irql);
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelWait);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        IoReleaseCancelSpinLock(irql);
        Complete(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    g_wait = irp;
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

template <typename T> NTSTATUS Get(PIRP irp, ULONG outLength, const T& value) {
    if (outLength < sizeof value)
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    std::memcpy(irp->AssociatedIrp.SystemBuffer, &value, sizeof value);
    return Complete(irp, STATUS_SUCCESS, sizeof value);
}

template <typename T> NTSTATUS Set(PIRP irp, ULONG inLength, T* value) {
    if (inLength < sizeof *value)
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    std::memcpy(value, irp->AssociatedIrp.SystemBuffer, sizeof *value);
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS Properties(PIRP irp, ULONG outLength) {
    if (outLength < sizeof(SERIAL_COMMPROP))
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    SERIAL_COMMPROP p;
    std::memset(&p, 0, sizeof p);
    p.PacketLength = sizeof p;
    p.PacketVersion = 2;
    p.ServiceMask = SERIAL_SP_SERIALCOMM;
    p.MaxBaud = SERIAL_BAUD_USER;
    p.ProvSubType = SERIAL_SP_RS232;
    p.ProvCapabilities = 0xCF;
    p.SettableParams = 0x7F;
    p.SettableBaud = 0x1007FFFF;
    p.SettableData = 0x000F;
    p.SettableStopParity = 0x1F07;
    p.CurrentRxQueue = 4096;
    std::memcpy(irp->AssociatedIrp.SystemBuffer, &p, sizeof p);
    return Complete(irp, STATUS_SUCCESS, sizeof p);
}

NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT, PIRP irp) {
    const auto& p = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    const ULONG code = p.IoControlCode;
    Logged entry;
    if (const char* name = SerialName(code)) {
        entry.name = name;
    } else {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", code);
        entry.name = text;
    }
    const auto* in = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    if (in != nullptr)
        entry.input.assign(in, in + p.InputBufferLength);
    entry.outputLength = p.OutputBufferLength;
    g_state.log.push_back(entry);
    if (!g_state.failName.empty() && entry.name == g_state.failName)
        return Complete(irp, g_state.failStatus, 0);

    RecState& s = g_state;
    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        return Set(irp, p.InputBufferLength, &s.baud);
    case IOCTL_SERIAL_GET_BAUD_RATE:
        return Get(irp, p.OutputBufferLength, s.baud);
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        return Set(irp, p.InputBufferLength, &s.line);
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        return Get(irp, p.OutputBufferLength, s.line);
    case IOCTL_SERIAL_SET_CHARS:
        return Set(irp, p.InputBufferLength, &s.chars);
    case IOCTL_SERIAL_GET_CHARS:
        return Get(irp, p.OutputBufferLength, s.chars);
    case IOCTL_SERIAL_SET_HANDFLOW:
        return Set(irp, p.InputBufferLength, &s.handflow);
    case IOCTL_SERIAL_GET_HANDFLOW:
        return Get(irp, p.OutputBufferLength, s.handflow);
    case IOCTL_SERIAL_SET_TIMEOUTS:
        return Set(irp, p.InputBufferLength, &s.timeouts);
    case IOCTL_SERIAL_GET_TIMEOUTS:
        return Get(irp, p.OutputBufferLength, s.timeouts);
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        return Get(irp, p.OutputBufferLength, s.modemStatus);
    case IOCTL_SERIAL_GET_COMMSTATUS:
        return Get(irp, p.OutputBufferLength, s.status);
    case IOCTL_SERIAL_GET_WAIT_MASK:
        return Get(irp, p.OutputBufferLength, s.waitMask);
    case IOCTL_SERIAL_GET_PROPERTIES:
        return Properties(irp, p.OutputBufferLength);
    case IOCTL_SERIAL_SET_WAIT_MASK: {
        if (p.InputBufferLength < sizeof(ULONG))
            return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        // A new mask ends the wait in progress with no events.
        if (PIRP wait = TakeWait())
            CompleteWait(wait, 0);
        return Set(irp, p.InputBufferLength, &s.waitMask);
    }
    case IOCTL_SERIAL_WAIT_ON_MASK:
        if (p.OutputBufferLength < sizeof(ULONG))
            return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        if (s.waitMask == 0)
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        return QueueWait(irp);
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
    case IOCTL_SERIAL_PURGE:
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_RESET_DEVICE:
        return Complete(irp, STATUS_SUCCESS, 0);
    default:
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
}

NTSTATUS NTAPI DispatchSimple(PDEVICE_OBJECT, PIRP irp) {
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major == IRP_MJ_FLUSH_BUFFERS)
        g_state.log.push_back(Logged{"FLUSH", {}, 0});
    if (major == IRP_MJ_CLEANUP) {
        if (PIRP wait = TakeWait())
            Complete(wait, STATUS_CANCELLED, 0);
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

VOID NTAPI Unload(PDRIVER_OBJECT) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\DosDevices\\COM7");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(g_device);
    g_device = nullptr;
}

} // namespace

std::vector<std::string> RecState::Names() const {
    std::vector<std::string> names;
    for (const auto& e : log)
        names.push_back(e.name);
    return names;
}

RecState& State() { return g_state; }

bool RaiseEvents(ULONG mask) {
    PIRP wait = TakeWait();
    if (wait == nullptr)
        return false;
    CompleteWait(wait, mask);
    return true;
}

bool WaitPending() { return g_wait != nullptr; }

NTSTATUS NTAPI RecDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    g_state = RecState();
    g_state.baud.BaudRate = 9600;
    g_state.line.WordLength = 8;
    g_state.chars.XonChar = 0x11;
    g_state.chars.XoffChar = 0x13;
    g_state.modemStatus = SERIAL_MSR_CTS | SERIAL_MSR_DSR;
    g_wait = nullptr;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchSimple;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchSimple;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchSimple;
    driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchSimple;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->DriverUnload = Unload;

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\CommRec0");
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &g_device);
    if (!NT_SUCCESS(status))
        return status;
    g_device->Flags |= DO_BUFFERED_IO;
    g_device->Flags &= ~DO_DEVICE_INITIALIZING;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\DosDevices\\COM7");
    status = IoCreateUnprotectedSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_device);
        g_device = nullptr;
    }
    return status;
}

} // namespace commrec
