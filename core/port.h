// The port driver core: what every module of either driver shares. The core is
// compiled once per driver; "variant.h" is that driver's own (name prefix,
// interface class, banners), found first on its include path.
#pragma once

#include "platform/kernel.h"
#include "variant.h"

// Pool tag of every allocation, "Wdm " as it reads in a pool dump.
#define PORT_POOL_TAG ((ULONG)0x206D6457)

// DeviceLostCode once a pipe transfer has failed while the port was open.
#define DEVICE_LOST_CODE 9999

// Plug and Play state of a port device (PnpState, PreviousPnpState).
typedef enum _PNP_STATE {
    Stopped = 0,
    Started = 1,
    StopPending = 2,
    RemovePending = 3,
    SurpriseRemoved = 4,
    Removed = 5
} PNP_STATE;

// Printed around the version line of the load and unload banners.
#define BANNER_RULE                                                                                \
    "*******************************************************************************"
#define DRIVER_VERSION_TEXT "Ver 1.0.0"

// ---------------------------------------------------------------- DriverEntry
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
