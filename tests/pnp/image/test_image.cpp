// A driver image for the loader's tests: the smallest WDM function driver
// that can be added, started and removed, built as its own shared object.
// It counts its loads in a global, so a test can see that each load maps
// fresh data, and it defines a routine under a name the test executable also
// exports, so a test can see that the image binds to its own.
#include "platform/kernel.h"

extern "C" NTSTATUS NTAPI VxImageProbe(void);

namespace {

int g_loads; // zero in every fresh mapping of the image

struct Extension {
    PDEVICE_OBJECT lower;
};

// The bus answers every request; a removal also takes the device away.
NTSTATUS NTAPI Pnp(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_OBJECT lower = static_cast<Extension*>(device->DeviceExtension)->lower;
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    IoSkipCurrentIrpStackLocation(irp);
    if (minor != IRP_MN_REMOVE_DEVICE)
        return IoCallDriver(lower, irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = IoCallDriver(lower, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
}

NTSTATUS NTAPI Power(PDEVICE_OBJECT device, PIRP irp) {
    Extension* x = static_cast<Extension*>(device->DeviceExtension);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(x->lower, irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), NULL, FILE_DEVICE_UNKNOWN, 0,
                                     FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    Extension* x = static_cast<Extension*>(device->DeviceExtension);
    x->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (x->lower == NULL) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) { DbgPrint("testimage: unload\n"); }

} // namespace

// Hidden like everything but DriverEntry: the executable exports a routine of
// the same name that fails, and this image must not bind to it.
extern "C" NTSTATUS NTAPI VxImageProbe(void) { return STATUS_SUCCESS; }

extern "C" __attribute__((visibility("default"))) NTSTATUS NTAPI
DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    ++g_loads;
    DbgPrint("testimage: load %d probe 0x%x\n", g_loads, (unsigned)VxImageProbe());
    driver->MajorFunction[IRP_MJ_PNP] = Pnp;
    driver->MajorFunction[IRP_MJ_POWER] = Power;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
