// A tiny configurable driver for the verifier's known-bad fixtures: each test
// sets the routines it wants broken, loads the driver, and drives one device
// through the I/O manager until the rule it breaks stops the machine.
#pragma once

#include "platform/sim/ex_internal.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

namespace sim {
// The scheduler's test hook: runs queued DPCs, due timers and work items
// until nothing is left to run.
void RunUntilIdle();
} // namespace sim

namespace vt {

constexpr ULONG kWdm = 0x206D6457; // "Wdm "

// Set before Load(): dispatch routines by major function (CREATE, CLEANUP and
// CLOSE succeed unless replaced), and extra work for DriverEntry to do after
// it made the device.
extern PDRIVER_DISPATCH g_dispatch[IRP_MJ_MAXIMUM_FUNCTION + 1];
extern void (*g_entryExtra)(PDRIVER_OBJECT driver);

// Filled in by Load(): the driver and its device (and a second device
// attached above the first when `stacked`).
extern PDRIVER_OBJECT g_driver;
extern PDEVICE_OBJECT g_device;
extern PDEVICE_OBJECT g_upper;
extern PIRP g_heldIrp; // an IRP a broken routine kept
extern sim::FileHandle* g_handle; // opened by the first Send()

PDRIVER_OBJECT Load(bool stacked = false);
// Opens a handle on the top device and sends one request; returns its record.
sim::PendingRequest* Send(UCHAR major, ULONG ioControlCode = 0);
// Unload routine that deletes the driver's devices (the default).
VOID NTAPI DeleteDevicesOnUnload(PDRIVER_OBJECT driver);

NTSTATUS NTAPI CompleteSuccess(PDEVICE_OBJECT device, PIRP irp);

} // namespace vt

// The bug-check line for a stop code and, optionally, its first parameter.
#define STOP(code) "STOP: " code " \\("
#define STOP1(code, p1) "STOP: " code " \\(" p1 ","
