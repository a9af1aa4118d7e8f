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

// Checked contracts. Driver code states what it relies on ("caller holds
// PortLock", "at or below DISPATCH_LEVEL", "only the owner of WriteBusy") as
// VXQT70_ASSERT(condition), with VXQT70_HOLDS(lock) for "this thread holds the
// spin lock". In the host build a false condition is a bug check naming the
// condition, the file and the line, and VXQT70_HOLDS asks the simulation. In
// the kernel-mode build the condition is only type-checked (sizeof does not
// evaluate it): the real driver gets neither code nor imports from a check.
#if defined(VXQT70_TARGET)
#define VXQT70_ASSERT(condition) ((void)sizeof((condition) ? 1 : 0))
#define VXQT70_HOLDS(lock) ((lock) != NULL)
#else
#define VXQT70_ASSERT(condition)                                                                   \
    ((condition) ? (void)0 : SimAssertFailed(#condition, __FILE__, __LINE__))
#define VXQT70_HOLDS(lock) SimHoldsSpinLock(lock)
#endif
