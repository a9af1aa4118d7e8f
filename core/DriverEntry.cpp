// The driver image's entry and exit, the birth and death of each port device,
// and the small request routines every module uses: completing, forwarding
// and waiting, the device-interface switches and the two pass-through
// dispatch routines.
#include "port.h"

// Room for "\Device\VXNTQT70DIAG" and any 32-bit device number.
#define DEVICE_NAME_BYTES 256
#define DEVICE_NUMBER_BYTES 40

// The devices added so far, in the image's writable data: it only grows, so
// a number is never reused while the driver stays loaded. The Plug and Play
// manager calls AddDevice one device at a time; the count is interlocked all
// the same.
static LONG currentInstance;

// Three lines, so that the version line stands out between two rules in a
// debugger log. The build time and date identify the image that is running.
static VOID PrintBanner(PCSTR versionLine) {
    DbgPrint(BANNER_RULE "\n");
    DbgPrint(versionLine, DRIVER_VERSION_TEXT, __TIME__, __DATE__);
    DbgPrint(BANNER_RULE "\n\n");
}

// Runs once per load, at PASSIVE_LEVEL. The driver relies on WDM 1.0 (remove
// locks, Plug and Play and power IRPs); without it nothing is registered and
// the load fails. A major function left unset is failed by the I/O manager
// with STATUS_INVALID_DEVICE_REQUEST, as IRP_MJ_QUERY_INFORMATION and
// IRP_MJ_SET_INFORMATION are meant to be.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);

    if (!IoIsWdmVersionAvailable(1, 0)) {
        return STATUS_UNSUCCESSFUL;
    }

    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = ModemFlush;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ModemIoControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = ModemCleanup;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSysCtrl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;

    PrintBanner(VARIANT_BANNER_LOADED);
    return STATUS_SUCCESS;
}

// Called after the last device has been deleted by its removal; nothing is
// left to release.
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    PrintBanner(VARIANT_BANNER_UNLOADED);
}

// ---------------------------------------------------------------- AddDevice
// Takes the next device number and makes "\Device\<prefix><number>" in
// `Name`. A number taken is never given back, even if the device is not made.
static VOID MakeDeviceName(PUNICODE_STRING Name) {
    WCHAR numberBuffer[DEVICE_NUMBER_BYTES / sizeof(WCHAR)];
    UNICODE_STRING number;
    ULONG instance;

    instance = (ULONG)InterlockedIncrement(&currentInstance) - 1 + VARIANT_FIRST_DEVICE_NUMBER;
    number.Buffer = numberBuffer;
    number.Length = 0;
    number.MaximumLength = sizeof(numberBuffer);
    RtlIntegerToUnicodeString(instance, 10, &number);
    RtlAppendUnicodeToString(Name, VARIANT_DEVICE_NAME_PREFIX);
    RtlAppendUnicodeStringToString(Name, &number);
}

// Everything AddDevice sets up that cannot fail: the device starts Stopped
// and in D0. The record is zeroed, so only what is not zero is written.
static VOID InitPortRecord(PDEVICE_EXTENSION Port) {
    POWER_STATE powerState;

    Port->PnpState = Stopped;
    Port->SystemPower = PowerSystemWorking;
    Port->DevicePower = PowerDeviceD0;
    powerState.DeviceState = PowerDeviceD0;
    PoSetPowerState(Port->DeviceObject, DevicePowerState, powerState);

    IoInitializeRemoveLockEx(&Port->RemoveLock, 0, 0, 0, sizeof(IO_REMOVE_LOCK));
    KeInitializeSpinLock(&Port->PortLock);
    InitializeListHead(&Port->WaitQueue);
    InitializeListHead(&Port->ReadQueue);
    InitializeListHead(&Port->WriteQueue);
    KeInitializeTimer(&Port->ReadTotalTimer);
    KeInitializeDpc(&Port->ReadTotalDpc, ReadTotalTimeoutDPC, Port);
#if VARIANT_MODEM
    Port->IntervalDueShort.QuadPart = -1;
    Port->IntervalDueLong.QuadPart = -10000000;
    Port->IntervalCutover.QuadPart = 200000000;
    KeInitializeTimer(&Port->ReadIntervalTimer);
    KeInitializeDpc(&Port->ReadIntervalDpc, ReadIntervalTimeoutDPC, Port);
    KeInitializeSpinLock(&Port->InputLock);
#endif
    KeInitializeSpinLock(&Port->StateLock);
    ExInitializeFastMutex(&Port->OpenMutex);
    ExInitializeFastMutex(&Port->CloseMutex);
    Port->PortOpen = FALSE;
    Port->DeviceLostCode = 0;
#if VARIANT_MODEM
    Port->ModemStatus = 0;
#else
    Port->PendingReadWriteIrps = 1; // the idle bias
#endif
}

// One port device per physical device object: named, attached above it, its
// device interface registered but left disabled until the port has a COM
// name, in Stopped until the start request arrives. Everything made so far is
// undone on a failure; no device object survives a failed AddDevice.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    UNICODE_STRING workingName;
    PDEVICE_OBJECT deviceObject = NULL;
    PDEVICE_EXTENSION port = NULL;
    NTSTATUS status;

    status = InitUnicodeString(&workingName, DEVICE_NAME_BYTES);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    MakeDeviceName(&workingName);

    status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &workingName,
                            FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, TRUE, &deviceObject);
    if (!NT_SUCCESS(status)) {
        goto FreeWorkingName;
    }
    // IoCreateDevice hands the extension over zeroed; with the receive ring
    // inside it, a second pass would touch a megabyte per port for nothing.
    port = PortOf(deviceObject);
    port->DeviceObject = deviceObject;
    port->Pdo = PhysicalDeviceObject;

    status = InitUnicodeString(&port->DeviceName, workingName.Length);
    if (!NT_SUCCESS(status)) {
        goto UndoDevice;
    }
    RtlCopyUnicodeString(&port->DeviceName, &workingName);

    deviceObject->Flags |= DO_BUFFERED_IO;
    port->LowerDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (port->LowerDeviceObject == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto UndoDevice;
    }
    deviceObject->Flags |= DO_POWER_PAGABLE;

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &VARIANT_INTERFACE_CLASS, NULL,
                                       &port->InterfaceName);
    if (!NT_SUCCESS(status)) {
        goto UndoDevice;
    }

    InitPortRecord(port);
    // Last: from here on the I/O manager may send requests to the device.
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    goto FreeWorkingName;

UndoDevice:
    // The interface is registered last, so no failure leaves its name to free.
    FreeUnicodeString(&port->DeviceName);
    if (port->LowerDeviceObject != NULL) {
        IoDetachDevice(port->LowerDeviceObject);
    }
    IoDeleteDevice(deviceObject);
FreeWorkingName:
    FreeUnicodeString(&workingName);
    return status;
}

// ---------------------------------------------------------------- start, stop, remove
// Byte offsets, in the parent bus driver's extension of the physical device
// object, of the 32-bit pipe handles it keeps for this interface.
#define PARENT_BULK_IN_PIPE 12
#define PARENT_BULK_OUT_PIPE 16
#define PARENT_INTERRUPT_PIPE 20

static USBD_PIPE_HANDLE ParentPipe(PDEVICE_EXTENSION Port, ULONG Offset) {
    PUCHAR parent = (PUCHAR)Port->Pdo->DeviceExtension;
    ULONG handle = *(PULONG)(parent + Offset);
    return (USBD_PIPE_HANDLE)(ULONG_PTR)handle;
}

// The parent bus driver has configured the phone; the port selects nothing
// and only takes the pipe handles, valid until the device is removed.
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);

    port->BulkInPipe = ParentPipe(port, PARENT_BULK_IN_PIPE);
    port->BulkOutPipe = ParentPipe(port, PARENT_BULK_OUT_PIPE);
    port->InterruptPipe = ParentPipe(port, PARENT_INTERRUPT_PIPE);
    return STATUS_SUCCESS;
}

// Only the naming: requests are cancelled by the removal handlers before, and
// pipes are aborted by close. The diagnostics driver remembers that it has
// torn down, so that removal after a stop does not do it again.
VOID StopDevice(PDEVICE_EXTENSION Port, BOOLEAN TearDownNaming) {
#if VARIANT_DIAG
    if (!TearDownNaming || Port->LinkDestroyed) {
        return;
    }
    Port->LinkDestroyed = TRUE;
#else
    if (!TearDownNaming) {
        return;
    }
#endif
    DestroySymbolicLink(Port);
}

VOID RemoveDevice(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);

    if (port->LowerDeviceObject != NULL) {
        IoDetachDevice(port->LowerDeviceObject);
    }
    IoDeleteDevice(DeviceObject);
}

// ---------------------------------------------------------------- request routines
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Information = Information;
    return CompleteRequest(Irp, Status);
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Stops the IRP's completion here, so that it comes back to ForwardAndWait
// (or CallDriverSync) unfinished; the caller completes it. Any IRQL up to
// DISPATCH_LEVEL.
NTSTATUS NTAPI OnRequestComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

#if VARIANT_MODEM

NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    KEVENT event;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, OnRequestComplete, &event, TRUE, TRUE, TRUE);
    IoCallDriver(PortOf(DeviceObject)->LowerDeviceObject, Irp);
    // The completion routine sets the event whether the lower driver finished
    // at once or later.
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    return Irp->IoStatus.Status;
}

#else // VARIANT_DIAG

NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    NTSTATUS status;

    IoCopyCurrentIrpStackLocationToNext(Irp);
    status = CallDriverSync(PortOf(DeviceObject)->LowerDeviceObject, Irp);
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
        return status; // possibly never sent: the IRP's own status says nothing
    }
    return Irp->IoStatus.Status;
}

NTSTATUS CallDriverSync(PDEVICE_OBJECT Target, PIRP Irp) {
    PKEVENT event = (PKEVENT)ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), PORT_POOL_TAG);
    NTSTATUS status;

    if (event == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(event, sizeof(KEVENT));
    KeInitializeEvent(event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, CallDriverSyncCompletion, event, TRUE, TRUE, TRUE);

    status = IoCallDriver(Target, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    ExFreePool(event);
    return status;
}

NTSTATUS NTAPI CallDriverSyncCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

#endif

// ---------------------------------------------------------------- device interface
// The interface name is had once, at AddDevice; once released by a teardown
// there is nothing to enable until the device is added again.
VOID EnableAllInterfaces(PDEVICE_EXTENSION Port, BOOLEAN Enable) {
    if (Port->InterfaceName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&Port->InterfaceName, Enable);
    }
}

VOID DeregisterAllInterfaces(PDEVICE_EXTENSION Port) {
    if (Port->InterfaceName.Buffer == NULL) {
        return;
    }
    IoSetDeviceInterfaceState(&Port->InterfaceName, FALSE);
    RtlFreeUnicodeString(&Port->InterfaceName);
    Port->InterfaceName.Buffer = NULL;
    Port->InterfaceName.Length = 0;
    Port->InterfaceName.MaximumLength = 0;
}

// ---------------------------------------------------------------- pass-through dispatch
// Takes the remove lock for a request the port passes down; a refused
// acquire (the device is going) completes the request with the refusal.
static NTSTATUS PassDownHolding(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    NTSTATUS status = AcquireRemoveLock(port, Irp);

    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, 0);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(port->LowerDeviceObject, Irp);
    ReleaseRemoveLock(port, Irp);
    return status;
}

// WMI requests: the port is not a WMI provider, the drivers below may be.
NTSTATUS NTAPI DispatchSysCtrl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
#if VARIANT_MODEM
    if (IsDeviceRemoved(PortOf(DeviceObject))) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
#endif
    return PassDownHolding(DeviceObject, Irp);
}

#if VARIANT_MODEM

// The serial stack's internal requests (wait-wake, settings save and
// restore) are for ports on real UARTs; the modem port answers them itself
// and sends nothing down.
static NTSTATUS InternalControlStatus(ULONG IoControlCode) {
    switch (IoControlCode) {
    case IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE:
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE:
    case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS:
    case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS:
        return STATUS_NOT_SUPPORTED;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    NTSTATUS status;

    if (IsDeviceRemoved(port) || !NT_SUCCESS(AcquireRemoveLock(port, Irp))) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    status = InternalControlStatus(
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode);
    CompleteRequest(Irp, status, 0);
    ReleaseRemoveLock(port, Irp);
    return status;
}

#else // VARIANT_DIAG

// Whatever the diagnostics interface's internal requests are, the bus driver
// below answers them.
NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return PassDownHolding(DeviceObject, Irp);
}

#endif
