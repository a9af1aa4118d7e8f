// What makes the shared core the modem-port driver: its device names, its
// device interface class and the banner it prints. Included by core/port.h.
#pragma once

// Each image's build defines its variant; this catches a core compiled
// against the other driver's header.
#if !defined(VXQT70_VARIANT_MODEM)
#error "vxqt70mdm/variant.h built without -DVXQT70_VARIANT_MODEM"
#endif

#define VARIANT_MODEM 1
#define VARIANT_DIAG 0

// "\Device\VXNTQT70MDM" plus the decimal device number, from 0.
#define VARIANT_DEVICE_NAME_PREFIX L"\\Device\\VXNTQT70MDM"
#define VARIANT_FIRST_DEVICE_NUMBER 0

// Applications that look for the phone's modem find it by this interface class.
// {456F868B-66CF-4BDF-BFB7-84DE59CC2778}
static const GUID GUID_INTERFACE_USBMODEM = {
    0x456F868B, 0x66CF, 0x4BDF, {0xBF, 0xB7, 0x84, 0xDE, 0x59, 0xCC, 0x27, 0x78}};
#define VARIANT_INTERFACE_CLASS GUID_INTERFACE_USBMODEM

// Middle line of the load and unload banners: version, build time, build date.
#define VARIANT_BANNER_LOADED "USBMODEM(%s)  Time: %s  Date: %s LOADED \n"
#define VARIANT_BANNER_UNLOADED "USBMODEM(%s)  Time: %s  Date: %s UNLOADED \n"

// Priority boost of the requests the shared queues complete.
#define VARIANT_IO_BOOST IO_SERIAL_INCREMENT
