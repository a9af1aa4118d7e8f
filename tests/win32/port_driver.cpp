// The Win32 tests' port driver; see port_driver.h. Its queue is guarded by
// the cancel spin lock, the classic arrangement for a driver this small.
#include "port_driver.h"

#include <algorithm>
#include <cstring>

namespace porttest {
namespace {

PortState g_state;
LIST_ENTRY g_queue; // queued reads and kPend requests; cancel spin lock
bool g_shortNext = false;
PDEVICE_OBJECT g_device = nullptr;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID NTAPI CancelQueued(PDEVICE_OBJECT, PIRP irp) {
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED, 0);
}

NTSTATUS Queue(PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        return Complete(irp, STATUS_CANCELLED, 0);
    }
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelQueued);
    InsertTailList(&g_queue, &irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

// The first queued read whose cancel routine we could still claim.
PIRP DequeueRead() {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    for (PLIST_ENTRY e = g_queue.Flink; e != &g_queue; e = e->Flink) {
        PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ)
            continue;
        if (IoSetCancelRoutine(irp, nullptr) == nullptr)
            continue; // being cancelled
        RemoveEntryList(e);
        IoReleaseCancelSpinLock(irql);
        return irp;
    }
    IoReleaseCancelSpinLock(irql);
    return nullptr;
}

// Moves what has arrived into `irp`; returns the byte count.
ULONG TakeReceived(PIRP irp) {
    const ULONG want = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    const ULONG n = std::min<ULONG>(want, static_cast<ULONG>(g_state.received.size()));
    std::memcpy(irp->AssociatedIrp.SystemBuffer, g_state.received.data(), n);
    g_state.received.erase(0, n);
    return n;
}

void ServeQueuedRead() {
    if (g_state.received.empty() && !g_shortNext)
        return;
    PIRP irp = DequeueRead();
    if (irp == nullptr)
        return;
    const ULONG want = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    const ULONG n = TakeReceived(irp);
    const bool full = n == want;
    const NTSTATUS status = full || !g_shortNext ? STATUS_SUCCESS : STATUS_TIMEOUT;
    g_shortNext = false;
    Complete(irp, status, n);
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT, PIRP irp) {
    ++g_state.creates;
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT, PIRP irp) {
    ++g_state.closes;
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT, PIRP irp) {
    ++g_state.cleanups;
    // Everything the handle left queued ends now, or the handle cannot close.
    for (;;) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        PIRP queued = nullptr;
        for (PLIST_ENTRY e = g_queue.Flink; e != &g_queue; e = e->Flink) {
            PIRP candidate = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
            if (IoSetCancelRoutine(candidate, nullptr) != nullptr) {
                RemoveEntryList(e);
                queued = candidate;
                break;
            }
        }
        IoReleaseCancelSpinLock(irql);
        if (queued == nullptr)
            break;
        Complete(queued, STATUS_CANCELLED, 0);
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT, PIRP irp) {
    const ULONG want = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    if (want == 0) {
        ++g_state.zeroLengthReads;
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    if (!g_state.received.empty() || g_shortNext) {
        const ULONG n = TakeReceived(irp);
        const NTSTATUS status = n == want || !g_shortNext ? STATUS_SUCCESS : STATUS_TIMEOUT;
        g_shortNext = false;
        return Complete(irp, status, n);
    }
    return Queue(irp);
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT, PIRP irp) {
    const ULONG n = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    g_state.written.append(static_cast<const char*>(irp->AssociatedIrp.SystemBuffer), n);
    return Complete(irp, STATUS_SUCCESS, n);
}

NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT, PIRP irp) {
    ++g_state.flushes;
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT, PIRP irp) {
    const auto& p = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    switch (p.IoControlCode) {
    case kEcho: {
        // METHOD_BUFFERED: input and output share the system buffer.
        if (p.OutputBufferLength < p.InputBufferLength)
            return Complete(irp, STATUS_BUFFER_OVERFLOW, p.OutputBufferLength);
        return Complete(irp, STATUS_SUCCESS, p.InputBufferLength);
    }
    case kFailWith: {
        NTSTATUS status;
        if (p.InputBufferLength < sizeof status)
            return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        std::memcpy(&status, buffer, sizeof status);
        return Complete(irp, status, 0);
    }
    case kPend:
        return Queue(irp);
    case kFeed:
        g_state.received.append(static_cast<const char*>(buffer), p.InputBufferLength);
        ServeQueuedRead();
        return Complete(irp, STATUS_SUCCESS, 0);
    case kShortNext:
        g_shortNext = true;
        ServeQueuedRead();
        return Complete(irp, STATUS_SUCCESS, 0);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

VOID NTAPI Unload(PDRIVER_OBJECT) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\DosDevices\\COM5");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(g_device);
    g_device = nullptr;
}

} // namespace

PortState& State() {
    return g_state;
}

NTSTATUS NTAPI PortDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    g_state = PortState();
    g_shortNext = false;
    InitializeListHead(&g_queue);
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlush;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->DriverUnload = Unload;

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\TestPort0");
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &g_device);
    if (!NT_SUCCESS(status))
        return status;
    g_device->Flags |= DO_BUFFERED_IO;
    g_device->Flags &= ~DO_DEVICE_INITIALIZING;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\DosDevices\\COM5");
    status = IoCreateUnprotectedSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_device);
        g_device = nullptr;
    }
    return status;
}

} // namespace porttest
