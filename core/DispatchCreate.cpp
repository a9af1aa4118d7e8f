// The four file-handle requests of the modem port: create, cleanup, close and
// flush. The port admits one handle. Opening resets the settings and the
// pipes and starts reception; cleanup cancels what the handle left waiting;
// closing stops reception, drops DTR and RTS and returns only when no
// transfer is left in flight.
//
// The diagnostics driver answers these requests in its own order and with
// its own statuses (vxqt70diag/DispatchCreate.cpp), so this file is the
// modem driver's only; the core's sources are compiled for both.
#include "port.h"

#if VARIANT_MODEM

// IRP_MJ_CREATE at PASSIVE_LEVEL. OpenMutex is held from the state test until
// the settings are made, so an open and a stop or removal query never
// interleave: either the query sees PortOpen and refuses, or the open sees
// that the port is no longer Started. The remove lock is held only while the
// open runs; an open handle does not hold it.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    NTSTATUS status;
    KIRQL oldIrql;

    Irp->IoStatus.Information = 0;
    ExAcquireFastMutex(&port->OpenMutex);
    if (port->PnpState != Started) {
        ExReleaseFastMutex(&port->OpenMutex);
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    // A removal that began after the test refuses the hold (the remove
    // lock's own answer is STATUS_DELETE_PENDING too).
    if (IsDeviceRemoved(port) || !NT_SUCCESS(AcquireRemoveLock(port, Irp))) {
        ExReleaseFastMutex(&port->OpenMutex);
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    if (InterlockedIncrement(&port->OpenCount) != 1) {
        InterlockedDecrement(&port->OpenCount);
        ReleaseRemoveLock(port, Irp);
        ExReleaseFastMutex(&port->OpenMutex);
        return CompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
    }
    InitPort(port);
    ExReleaseFastMutex(&port->OpenMutex);

    status = ReserveAbortIrps(port);
    if (NT_SUCCESS(status)) {
        status = ResetAllPipes(DeviceObject);
    }
    if (NT_SUCCESS(status)) {
        port->OpenFile = IoGetCurrentIrpStackLocation(Irp)->FileObject;
        // Their own failures surface later: a status or receive transfer
        // that cannot run marks the device lost when it completes.
        FlushInputBuffer(port);
        StartReception(port);
    } else {
        // Not open after all: nothing may start reception on it (a wake).
        KeAcquireSpinLock(&port->PortLock, &oldIrql);
        port->PortOpen = FALSE;
        KeReleaseSpinLock(&port->PortLock, oldIrql);
        ReleaseAbortIrps(port);
        InterlockedDecrement(&port->OpenCount);
    }

    ReleaseRemoveLock(port, Irp);
    return CompleteRequest(Irp, status, 0);
}

// IRP_MJ_CLEANUP: the handle is going, so every read, write and wait it left
// queued is completed as cancelled. Reception keeps running until close.
// Another file object's cleanup succeeds and touches nothing.
//
// The close comes only once every request of the handle has ended, and a
// write on the bus ends only when the phone takes its bytes. A phone that has
// stopped taking them would keep the handle from ever closing, so a write
// still on the bus is ended too, by aborting the bulk-out pipe; the writer
// then finds its queue empty and goes idle.
NTSTATUS NTAPI ModemCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);

    if (!IsOpenHandle(port, Irp)) {
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    KeCancelTimer(&port->ReadTotalTimer);
    KeCancelTimer(&port->ReadIntervalTimer);
    USBKillAllPendingIrps(DeviceObject);

    if (port->WriteBusy && !IsDeviceRemoved(port) && NT_SUCCESS(AcquireRemoveLock(port, Irp))) {
        AbortPipe(DeviceObject, port->BulkOutPipe);
        ReleaseRemoveLock(port, Irp);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// Close of a device that is gone. When the phone has left the bus, the bus
// driver fails every outstanding transfer itself and the drain ends without
// touching the USB stack. When the device was only marked lost (one transfer
// failed while the phone stayed attached), the other pipes' transfers would
// stay outstanding for ever, so they are aborted first, under a hold on the
// remove lock that keeps the lower stack there meanwhile.
static NTSTATUS CloseGoneDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    BOOLEAN held = FALSE;

    port->OpenFile = NULL;
    InterlockedDecrement(&port->OpenCount);
    ExReleaseFastMutex(&port->CloseMutex);
    WaitForReceiveQuiet(port);

    if (IsStillOnBus(port) && NT_SUCCESS(AcquireRemoveLock(port, Irp))) {
        held = TRUE;
        CleanupAllPipes(DeviceObject);
    }
    WaitForPipesCompletion(port);
    ReleaseAbortIrps(port);
    if (held) {
        ReleaseRemoveLock(port, Irp);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// IRP_MJ_CLOSE at PASSIVE_LEVEL; never fails. PortOpen goes FALSE before
// anything else, so that no completion resubmits a transfer once those that
// saw it open are done (WaitForReceiveQuiet), and the failures the aborts
// cause do not mark the device lost. CloseMutex is
// released before the aborts and the drain, which wait without a mutex held.
// The close of a file object that does not hold the port succeeds at once.
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    KIRQL oldIrql;

    if (!IsOpenHandle(port, Irp)) {
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    ExAcquireFastMutex(&port->CloseMutex);
    KeAcquireSpinLock(&port->PortLock, &oldIrql);
    port->PortOpen = FALSE;
    KeReleaseSpinLock(&port->PortLock, oldIrql);
    Irp->IoStatus.Information = 0;

    if (IsDeviceRemoved(port) || !NT_SUCCESS(AcquireRemoveLock(port, Irp))) {
        return CloseGoneDevice(DeviceObject, Irp);
    }
    ExReleaseFastMutex(&port->CloseMutex);
    // A receive completion that saw the port open may still be issuing its
    // next transfer; the aborts must come after it.
    WaitForReceiveQuiet(port);

    SetDTRRTS(DeviceObject, 0);
    CleanupAllPipes(DeviceObject);
    WaitForPipesCompletion(port);
    ReleaseAbortIrps(port);
    ReleaseRemoveLock(port, Irp);
    CompleteRequest(Irp, STATUS_SUCCESS, 0);
    port->OpenFile = NULL;
    InterlockedDecrement(&port->OpenCount);
    return STATUS_SUCCESS;
}

// IRP_MJ_FLUSH_BUFFERS succeeds at once: queued writes are neither waited for
// nor discarded.
NTSTATUS NTAPI ModemFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

#endif // VARIANT_MODEM
