// What makes the shared core the diagnostics-port driver: its device names,
// its device interface class and the banner it prints. Included by core/port.h.
#pragma once

// Each image's build defines its variant; this catches a core compiled
// against the other driver's header.
#if !defined(VXQT70_VARIANT_DIAG)
#error "vxqt70diag/variant.h built without -DVXQT70_VARIANT_DIAG"
#endif

#define VARIANT_MODEM 0
#define VARIANT_DIAG 1

// "\Device\VXNTQT70DIAG" plus the decimal device number, from 1.
#define VARIANT_DEVICE_NAME_PREFIX L"\\Device\\VXNTQT70DIAG"
#define VARIANT_FIRST_DEVICE_NUMBER 1

// The diagnostics port shows itself as an ordinary COM port, so that any
// serial tool enumerating COM-port interfaces finds it.
#define VARIANT_INTERFACE_CLASS GUID_CLASS_COMPORT

// Middle line of the load and unload banners: version, build time, build date.
#define VARIANT_BANNER_LOADED "USBDIAG(%s)  Time: %s  Date: %s LOADED \n"
#define VARIANT_BANNER_UNLOADED "USBDIAG(%s)  Time: %s  Date: %s UNLOADED \n"

// Priority boost of the requests the shared queues complete.
#define VARIANT_IO_BOOST IO_NO_INCREMENT
