// The one header driver code includes. It gives the driver the Windows kernel,
// USB and serial interfaces under their DDK names. In the kernel-mode build
// that is the DDK itself; in the host build it is the simulation's declarations,
// which use the same type names, field names, constants and routine names, so a
// driver source cannot tell which build it is in.
#pragma once

#if defined(VXQT70_TARGET)
#include "target/kernel_target.h"
#else
#include "host/ntbase.h"
#include "host/ntke.h"
#include "host/ntio.h"
#include "host/ntrtl.h"
#include "host/usb.h"
#include "host/serial.h"
#endif
