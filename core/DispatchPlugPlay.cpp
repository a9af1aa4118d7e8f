// IRP_MJ_PNP: moves the port through its Plug and Play states, refuses a stop
// or removal while an application holds the port open, reports the device as
// removable, and tears the port's naming down when it stops or goes.
//
// Each handler answers in one of three ways: it passes the IRP down
// (DefaultPnpHandler), forwards it and waits, then completes it itself
// (ForwardAndWait, CompleteRequest), or refuses it without sending it down.
// Minor functions the port does nothing about go down untouched; those it
// handles go down with STATUS_SUCCESS, which tells the drivers below that a
// function driver has agreed.
//
// PnP IRPs arrive one at a time at PASSIVE_LEVEL. OpenMutex makes "test
// PortOpen, then enter a pending state" atomic against open; StateLock makes
// the removal transitions atomic against IsDeviceRemoved.
#include "port.h"

typedef NTSTATUS PNP_HANDLER(PDEVICE_OBJECT DeviceObject, PIRP Irp);

#define PNP_HANDLER_COUNT 24

static NTSTATUS DefaultPnpHandler(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(PortOf(DeviceObject)->LowerDeviceObject, Irp);
}

// For the handlers that agree to a request and pass it on.
static NTSTATUS SucceedAndPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return DefaultPnpHandler(DeviceObject, Irp);
}

// ---------------------------------------------------------------- start and stop
// The lower drivers start first; only then are the pipe handles valid. The
// port becomes Started only once it is named, so that an open cannot find a
// started port without a COM name.
static NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    NTSTATUS status;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        status = StartDevice(DeviceObject);
    }
    if (NT_SUCCESS(status)) {
        status = CreateSymbolicLink(port);
        if (NT_SUCCESS(status)) {
#if VARIANT_DIAG
            port->LinkDestroyed = FALSE;
#endif
            port->PnpState = Started;
        } else {
            DestroySymbolicLink(port);
        }
    }
    return CompleteRequest(Irp, status);
}

// Only a started port is asked; in any other state the query is passed on
// and the state left alone.
static NTSTATUS HandleQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);

    if (port->PnpState == Started) {
        ExAcquireFastMutex(&port->OpenMutex);
        if (port->PortOpen) {
            ExReleaseFastMutex(&port->OpenMutex);
            return CompleteRequest(Irp, STATUS_DEVICE_BUSY);
        }
        port->PnpState = StopPending;
        ExReleaseFastMutex(&port->OpenMutex);
    }
    return SucceedAndPassDown(DeviceObject, Irp);
}

// A cancel may come without an agreed query (a driver above refused it);
// then there is nothing to restore.
static NTSTATUS HandleCancelStop(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    NTSTATUS status;

    if (port->PnpState != StopPending) {
        return SucceedAndPassDown(DeviceObject, Irp);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        port->PnpState = Started;
    }
    return CompleteRequest(Irp, status);
}

static NTSTATUS HandleStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    BOOLEAN wasStarted = (BOOLEAN)(port->PnpState == Started || port->PnpState == StopPending);

    StopDevice(port, wasStarted);
    port->PnpState = Stopped;
    return SucceedAndPassDown(DeviceObject, Irp);
}

// ---------------------------------------------------------------- removal
static NTSTATUS HandleQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);

    ExAcquireFastMutex(&port->OpenMutex);
    if (port->PortOpen) {
        ExReleaseFastMutex(&port->OpenMutex);
        return CompleteRequest(Irp, STATUS_DEVICE_BUSY);
    }
    port->PreviousPnpState = port->PnpState;
    port->PnpState = RemovePending;
    ExReleaseFastMutex(&port->OpenMutex);
    return SucceedAndPassDown(DeviceObject, Irp);
}

static NTSTATUS HandleCancelRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    NTSTATUS status;

    if (port->PnpState != RemovePending) {
        return SucceedAndPassDown(DeviceObject, Irp);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        port->PnpState = port->PreviousPnpState;
    }
    return CompleteRequest(Irp, status);
}

// Moves to `NewState` under StateLock, so that IsDeviceRemoved never sees a
// half-made transition, and returns the state it left.
static PNP_STATE EnterRemovalState(PDEVICE_EXTENSION Port, PNP_STATE NewState) {
    KIRQL oldIrql;
    PNP_STATE oldState;

    KeAcquireSpinLock(&Port->StateLock, &oldIrql);
    oldState = Port->PnpState;
    Port->PnpState = NewState;
    KeReleaseSpinLock(&Port->StateLock, oldIrql);
    return oldState;
}

// What surprise removal and removal share: every queued request cancelled,
// (diagnostics) every request and transfer drained, and whatever is left of
// the naming torn down before the device name it is keyed by goes.
//
// The teardown runs whatever the state was. It skips what is already gone,
// so after a stop or an earlier surprise removal it finds nothing to do; but
// a device that vanishes while StopPending or RemovePending is still named,
// and one that never started still holds its interface name, and neither
// would otherwise ever be released.
static VOID TearDownPort(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);

    USBKillAllPendingIrps(DeviceObject);
#if VARIANT_DIAG
    VXNT_WaitForClearEndPoints(DeviceObject);
#endif
    StopDevice(port, TRUE);
    FreeUnicodeString(&port->DeviceName);
}

static NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    EnterRemovalState(PortOf(DeviceObject), SurpriseRemoved);
    TearDownPort(DeviceObject);
    return SucceedAndPassDown(DeviceObject, Irp);
}

// The remove lock taken for this IRP by DispatchPnp is released here, with a
// wait for every other holder (dispatch routines in progress, transfers,
// power IRPs) before the device object is deleted.
static NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    NTSTATUS status;

    EnterRemovalState(port, Removed);
    TearDownPort(DeviceObject);
    status = SucceedAndPassDown(DeviceObject, Irp);
    IoReleaseRemoveLockAndWaitEx(&port->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
    // Every handle is closed and every request is over, so nothing arms the
    // read timers any more; a DPC they queued earlier must be over too.
    FlushTimerDpcs(port);
    RemoveDevice(DeviceObject);
    return status;
}

// ---------------------------------------------------------------- capabilities
// The bus driver fills the structure; the port adds what it knows about
// itself on the way up and keeps a copy for choosing device power states.
// A structure of Version 0 is not one this driver understands, and goes down
// untouched.
static NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    NTSTATUS status;

    if (capabilities->Version == 0) {
        return DefaultPnpHandler(DeviceObject, Irp);
    }
    status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        capabilities->Removable = TRUE;
        capabilities->SurpriseRemovalOK = TRUE;
        // The diagnostics interface carries no serial number of its own.
        capabilities->UniqueID = VARIANT_MODEM ? TRUE : FALSE;
        RtlCopyMemory(&port->DeviceCapabilities, capabilities, sizeof(DEVICE_CAPABILITIES));
    }
    return CompleteRequest(Irp, status);
}

#if VARIANT_DIAG
static NTSTATUS HandleQueryDevRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return DefaultPnpHandler(DeviceObject, Irp);
}

// The device-state bits the bus driver reports go up unchanged.
static NTSTATUS HandlePnPDevState(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(PortOf(DeviceObject)->LowerDeviceObject, Irp);
}
#define QUERY_DEVICE_RELATIONS_HANDLER HandleQueryDevRelations
#define QUERY_PNP_DEVICE_STATE_HANDLER HandlePnPDevState
#else
#define QUERY_DEVICE_RELATIONS_HANDLER DefaultPnpHandler
#define QUERY_PNP_DEVICE_STATE_HANDLER DefaultPnpHandler
#endif

// ---------------------------------------------------------------- dispatch
// One handler per minor function 0x00 to 0x17; later minor functions go down
// untouched.
static PNP_HANDLER* const PnpHandlers[PNP_HANDLER_COUNT] = {
    HandleStartDevice,              // 0x00 IRP_MN_START_DEVICE
    HandleQueryRemove,              // 0x01 IRP_MN_QUERY_REMOVE_DEVICE
    HandleRemoveDevice,             // 0x02 IRP_MN_REMOVE_DEVICE
    HandleCancelRemove,             // 0x03 IRP_MN_CANCEL_REMOVE_DEVICE
    HandleStopDevice,               // 0x04 IRP_MN_STOP_DEVICE
    HandleQueryStop,                // 0x05 IRP_MN_QUERY_STOP_DEVICE
    HandleCancelStop,               // 0x06 IRP_MN_CANCEL_STOP_DEVICE
    QUERY_DEVICE_RELATIONS_HANDLER, // 0x07 IRP_MN_QUERY_DEVICE_RELATIONS
    DefaultPnpHandler,              // 0x08 IRP_MN_QUERY_INTERFACE
    HandleQueryCapabilities,        // 0x09 IRP_MN_QUERY_CAPABILITIES
    DefaultPnpHandler,              // 0x0A IRP_MN_QUERY_RESOURCES
    DefaultPnpHandler,              // 0x0B IRP_MN_QUERY_RESOURCE_REQUIREMENTS
    DefaultPnpHandler,              // 0x0C IRP_MN_QUERY_DEVICE_TEXT
    DefaultPnpHandler,              // 0x0D IRP_MN_FILTER_RESOURCE_REQUIREMENTS
    DefaultPnpHandler,              // 0x0E (unassigned)
    DefaultPnpHandler,              // 0x0F IRP_MN_READ_CONFIG
    DefaultPnpHandler,              // 0x10 IRP_MN_WRITE_CONFIG
    DefaultPnpHandler,              // 0x11 IRP_MN_EJECT
    DefaultPnpHandler,              // 0x12 IRP_MN_SET_LOCK
    DefaultPnpHandler,              // 0x13 IRP_MN_QUERY_ID
    QUERY_PNP_DEVICE_STATE_HANDLER, // 0x14 IRP_MN_QUERY_PNP_DEVICE_STATE
    DefaultPnpHandler,              // 0x15 IRP_MN_QUERY_BUS_INFORMATION
    DefaultPnpHandler,              // 0x16 IRP_MN_DEVICE_USAGE_NOTIFICATION
    HandleSurpriseRemoval,          // 0x17 IRP_MN_SURPRISE_REMOVAL
};

// Every PnP IRP holds the remove lock while its handler runs; the removal
// handler gives its hold back itself, with the wait that lets the device go.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    NTSTATUS status;

    status = AcquireRemoveLock(port, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, 0);
    }

    if (minor >= PNP_HANDLER_COUNT) {
        status = DefaultPnpHandler(DeviceObject, Irp);
    } else {
        status = PnpHandlers[minor](DeviceObject, Irp);
    }

    if (minor != IRP_MN_REMOVE_DEVICE) {
        ReleaseRemoveLock(port, Irp);
    }
    return status;
}
