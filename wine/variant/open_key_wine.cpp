// See moon_wine.cpp: the device-key open of the harness images. The port
// driver calls it through an import pointer (the DDK declares the renamed
// routine as imported from the kernel), so that pointer is defined here.
#include "platform/kernel.h"

extern "C" NTSTATUS NTAPI VxHarnessOpenKey(PDEVICE_OBJECT Device, ULONG KeyType, ACCESS_MASK Access,
                                           PHANDLE Key) {
    return IoOpenDeviceRegistryKey(Device, KeyType, Access | KEY_QUERY_VALUE, Key);
}

extern "C" {
void* VxHarnessOpenKeyImport __asm__("__imp__VxHarnessOpenDeviceRegistryKey@16") =
    (void*)&VxHarnessOpenKey;
}
