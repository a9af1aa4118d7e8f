// The driver image's entry and exit: what the image registers when the Plug
// and Play manager loads it, and the banner it leaves on the kernel debugger
// when it is loaded and unloaded.
#include "port.h"

// Three lines, so that the version line stands out between two rules in a
// debugger log. The build time and date identify the image that is running.
static VOID PrintBanner(PCSTR versionLine) {
    DbgPrint(BANNER_RULE "\n");
    DbgPrint(versionLine, DRIVER_VERSION_TEXT, __TIME__, __DATE__);
    DbgPrint(BANNER_RULE "\n\n");
}

// Runs once per load, at PASSIVE_LEVEL. The driver relies on WDM 1.0 (remove
// locks, Plug and Play and power IRPs); without it nothing is registered and
// the load fails.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);

    if (!IoIsWdmVersionAvailable(1, 0)) {
        return STATUS_UNSUCCESSFUL;
    }

    DriverObject->DriverUnload = DriverUnload;

    PrintBanner(VARIANT_BANNER_LOADED);
    return STATUS_SUCCESS;
}

// Called after the last device has been deleted by its removal; nothing is
// left to release.
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    PrintBanner(VARIANT_BANNER_UNLOADED);
}
