// The port drivers' entry as the Wine harness builds it. Wine 8.0's I/O
// manager sends IRP_MJ_CLOSE when a handle goes but never IRP_MJ_CLEANUP
// before it, and the ports do their handle work at cleanup: reception stops
// there (PortOpen cleared), and the requests the handle left are cancelled.
// Without it a close aborts the bulk-in transfer only for a read restart to
// submit the next one, and then waits for ever for a transfer that never
// ends - on the one thread that serves every request to every driver in the
// process, the phone bus's control device included.
//
// So the harness images do here what Windows's I/O manager does for every
// handle: a cleanup request for the same file object, sent down the stack
// and waited for, before the close. The drivers' own routines are untouched.
#define DriverEntry VxHarnessPortDriverEntry
#include "core/DriverEntry.cpp"
#undef DriverEntry

// The driver's own routines, from its dispatch table.
static PDRIVER_DISPATCH g_DriverClose;

static NTSTATUS NTAPI CleanupDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// PASSIVE_LEVEL, in the thread that closes the handle.
static NTSTATUS NTAPI CloseAfterCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION close = IoGetCurrentIrpStackLocation(Irp);
    PIRP cleanup = IoAllocateIrp(DeviceObject->StackSize, FALSE);

    if (cleanup == NULL) {
        DbgPrint("vxharness: no IRP for the cleanup before a close\n");
    } else {
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(cleanup);
        KEVENT done;

        KeInitializeEvent(&done, NotificationEvent, FALSE);
        next->MajorFunction = IRP_MJ_CLEANUP;
        next->FileObject = close->FileObject;
        cleanup->Tail.Overlay.OriginalFileObject = close->FileObject;
        cleanup->Tail.Overlay.Thread = Irp->Tail.Overlay.Thread;
        cleanup->RequestorMode = Irp->RequestorMode;
        IoSetCompletionRoutine(cleanup, CleanupDone, &done, TRUE, TRUE, TRUE);
        if (IoCallDriver(DeviceObject, cleanup) == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        }
        IoFreeIrp(cleanup);
    }
    return g_DriverClose(DeviceObject, Irp);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    NTSTATUS status = VxHarnessPortDriverEntry(DriverObject, RegistryPath);

    if (NT_SUCCESS(status)) {
        g_DriverClose = DriverObject->MajorFunction[IRP_MJ_CLOSE];
        DriverObject->MajorFunction[IRP_MJ_CLOSE] = CloseAfterCleanup;
    }
    return status;
}
