// The four file-handle requests of the diagnostics port. The port admits one
// handle. Opening sets the emulated serial state, resets the pipes and starts
// reception; cleanup stops reception and cancels what the handle left
// waiting; closing aborts the bulk pipes and returns only once every read,
// write, transfer and read restart the driver holds has ended.
//
// All four run at PASSIVE_LEVEL in the caller's thread.
#include "diag.h"

// IRP_MJ_CREATE. OpenMutex is held from the state test until the serial state
// is made, against the stop and removal queries. The remove lock is held only
// while the open runs; an open handle does not hold it.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    NTSTATUS status;
    KIRQL oldIrql;

    ExAcquireFastMutex(&port->OpenMutex);
    Irp->IoStatus.Information = 0;
    if (port->PnpState != Started) {
        ExReleaseFastMutex(&port->OpenMutex);
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    // A removal that began after the test refuses the hold (the remove
    // lock's own answer is STATUS_DELETE_PENDING too).
    if (IsDeviceRemoved(port) || !NT_SUCCESS(AcquireRemoveLock(port, Irp))) {
        ExReleaseFastMutex(&port->OpenMutex);
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    if (InterlockedIncrement(&port->OpenCount) != 1) {
        InterlockedDecrement(&port->OpenCount);
        ReleaseRemoveLock(port, Irp);
        ExReleaseFastMutex(&port->OpenMutex);
        return CompleteRequest(Irp, STATUS_ACCESS_DENIED);
    }
    InitializeSerEmulVariables(port);
    ExReleaseFastMutex(&port->OpenMutex);

    status = ReserveAbortIrps(port);
    if (NT_SUCCESS(status)) {
        // Whatever the bus says, the application is told the port could not
        // be made ready.
        status = NT_SUCCESS(ResetAllPipes(DeviceObject)) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        // Not open after all: nothing may start reception on it (a wake).
        KeAcquireSpinLock(&port->PortLock, &oldIrql);
        port->PortOpen = FALSE;
        KeReleaseSpinLock(&port->PortLock, oldIrql);
        ReleaseAbortIrps(port);
        InterlockedDecrement(&port->OpenCount);
        ReleaseRemoveLock(port, Irp);
        return CompleteRequest(Irp, status);
    }

    port->OpenFile = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    // A transfer that cannot start surfaces later: reads then wait, and
    // the status query reports the device lost once transfers fail.
    KeAcquireSpinLock(&port->PortLock, &oldIrql);
    FlushInputBuffer(port);
    KeReleaseSpinLock(&port->PortLock, oldIrql);
    StartReception(port);

    ReleaseRemoveLock(port, Irp);
    return CompleteRequest(Irp, status);
}

// IRP_MJ_CLEANUP: the handle is going. Reception stops here already (no
// completion restarts it once PortOpen is clear, and device-control requests
// are refused), and every read, write and wait the handle left queued is
// completed as cancelled.
//
// The close comes only once every request of the handle has ended, and a
// write on the bus ends only when the phone takes its bytes. A phone that has
// stopped taking them would keep the handle from ever closing, so a write
// still on the bus is ended too, by aborting the bulk-out pipe.
//
// Another file object's cleanup succeeds and touches nothing.
NTSTATUS NTAPI ModemCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    BOOLEAN writing;
    KIRQL oldIrql;

    if (!IsOpenHandle(port, Irp)) {
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    KeAcquireSpinLock(&port->PortLock, &oldIrql);
    port->PortOpen = FALSE;
    writing = port->WriteBusy;
    KeReleaseSpinLock(&port->PortLock, oldIrql);
    KeCancelTimer(&port->ReadTotalTimer);
    USBKillAllPendingIrps(DeviceObject);

    if (writing && !IsDeviceRemoved(port) && NT_SUCCESS(AcquireRemoveLock(port, Irp))) {
        AbortPipe(DeviceObject, port->BulkOutPipe);
        ReleaseRemoveLock(port, Irp);
    }

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    return STATUS_SUCCESS;
}

// Close of a device that is gone succeeds at once. When the phone has left
// the bus, the bus fails every outstanding transfer itself and the removal
// drains them, so the USB stack is not touched. When the device was only
// judged lost (a fatal failure on one pipe while the phone stays attached),
// the transfer still outstanding on the other pipe would never end and the
// removal's drain would wait for it for ever; so the pipes are aborted and
// drained here, under a hold on the remove lock that keeps the stack below.
static NTSTATUS CloseGoneDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);

    ExReleaseFastMutex(&port->CloseMutex);
    WaitForReceiveQuiet(port);
    if (IsStillOnBus(port) && NT_SUCCESS(AcquireRemoveLock(port, Irp))) {
        CleanupAllPipes(DeviceObject);
        ReleaseRemoveLock(port, Irp);
    }
    ReleaseAbortIrps(port);
    port->OpenFile = NULL;
    InterlockedDecrement(&port->OpenCount);
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

// IRP_MJ_CLOSE. PortOpen was cleared at cleanup. CloseMutex is released before
// the pipes are aborted and the drain waits. The close of a file object that
// does not hold the port succeeds at once.
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);

    if (!IsOpenHandle(port, Irp)) {
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    ExAcquireFastMutex(&port->CloseMutex);
    Irp->IoStatus.Information = 0;
    // A close never fails: one that finds the removal begun (the hold
    // refused) is the close of a gone device.
    if (IsDeviceRemoved(port) || !NT_SUCCESS(AcquireRemoveLock(port, Irp))) {
        return CloseGoneDevice(DeviceObject, Irp);
    }
    ExReleaseFastMutex(&port->CloseMutex);

    // A restart that saw the port open may still be issuing its transfer; the
    // aborts must come after it. Then they end the bulk pipes' transfers and
    // the drain waits until PendingReadWriteIrps is back to its bias.
    WaitForReceiveQuiet(port);
    CleanupAllPipes(DeviceObject);
    ReleaseAbortIrps(port);
    port->OpenFile = NULL;
    InterlockedDecrement(&port->OpenCount);
    ReleaseRemoveLock(port, Irp);
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

// IRP_MJ_FLUSH_BUFFERS succeeds at once: queued writes are neither waited for
// nor discarded.
NTSTATUS NTAPI ModemFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    return STATUS_SUCCESS;
}
