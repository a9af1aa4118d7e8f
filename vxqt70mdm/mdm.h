// The modem-port driver's own routines, beyond what it supplies to the core
// (declared in core/port.h): its receive path with the serial read time-outs,
// its send path, and its status pipe and line control on the phone.
#pragma once

#include "core/port.h"

// ---------------------------------------------------------------- DispatchRead
// The receive side. While the port is open exactly one bulk-in transfer is
// outstanding; each one that completes well stores its bytes in the input
// ring, completes the queued read, reports receive events and issues the
// next. A read never waits for more once some data is there.

// SERIAL_EV_RX80FULL is reported from this many bytes held in the ring.
#define INPUT_RX80FULL_MARK 820000

// Issues one bulk-in transfer, counted in PendingIrpCount and holding an
// untagged remove-lock acquisition until ReadPipeCompletion gives both back.
// Called by open, by the return from sleep and by its own completion. At or
// below DISPATCH_LEVEL, no spin lock held.
NTSTATUS ReadBulkPipe(PDEVICE_EXTENSION Port);
IO_COMPLETION_ROUTINE ReadPipeCompletion;
// ReadQueue holds at most one read. EnqueueReadIrp, when it does not queue the
// read, has completed it itself (STATUS_INVALID_PARAMETER for a second read,
// STATUS_CANCELLED) and given back its remove lock. CompletePendingReadIrps
// ends the queued read with STATUS_SUCCESS when the ring filled it,
// STATUS_TIMEOUT with the bytes delivered when not; it is also the
// SERIAL_PURGE_RXABORT of the control path. A queued read carries
// WaitMaskCancelRoutine as its cancel routine.

// A receive completion that succeeded asks BeginReceive what to do next:
// ReceiveClosed, the port is closed (nothing more is issued); ReceiveHeld, a
// sleep is noted (what came is taken, but the next transfer is left to the
// wake); ReceiveNext, the completion is counted in Receiving until its
// EndReceive, which it calls once it has issued the next transfer. Close and
// the wake wait for that count to be 0 (WaitForReceiveQuiet) before they
// abort the pipes. At or below DISPATCH_LEVEL, no spin lock held.
typedef enum _RECEIVE_STEP { ReceiveClosed, ReceiveHeld, ReceiveNext } RECEIVE_STEP;
RECEIVE_STEP BeginReceive(PDEVICE_EXTENSION Port);
// For the wake: waits until every transfer issued before it has come back and
// its completion has returned, the open bias alone left counted. Nothing when
// a close has begun (its own drain does this). PASSIVE_LEVEL, no lock held.
VOID WaitForTransfersBack(PDEVICE_EXTENSION Port);

// ---------------------------------------------------------------- DispatchWrite
// Starts the next queued write, or ends the busy period when there is none;
// while a sleep is noted it parks instead, and the wake calls ResumeWriter.
// Only the owner of WriteBusy calls PassiveWrite; both run at or below
// DISPATCH_LEVEL with no spin lock held.
NTSTATUS PassiveWrite(PDEVICE_EXTENSION Port);
VOID ResumeWriter(PDEVICE_EXTENSION Port);

// ---------------------------------------------------------------- StatusPipe
// The phone reports carrier and DSR as SERIAL_STATE notifications on the
// interrupt-in pipe, and takes line coding and DTR/RTS as class requests.

// Starts one status transfer (re-armed by its completion while the port is
// open). At or below DISPATCH_LEVEL, no spin lock held.
NTSTATUS StatusPipe(PDEVICE_EXTENSION Port);
IO_COMPLETION_ROUTINE StatusPipeCompletion;
// Applies the notification in StatusBuffer to ModemStatus and the wait
// events. No spin lock held.
VOID UpdateStatus(PDEVICE_EXTENSION Port);
// SetLineCode sends SET_LINE_CODING from BaudRate and LineControl, SetDTRRTS
// SET_CONTROL_LINE_STATE (bit 0 DTR, bit 1 RTS); each waits for the phone's
// answer and returns its status (declared in core/port.h).

// A bulk-in or status transfer failed, or came back after the port was
// closed: unless a sleep is under way, the read timers are cancelled,
// the device is marked lost (if the port is still open) and CTS, DSR and
// RLSD are reported to the waiting WAIT_ON_MASK. No spin lock held.
VOID ReportPipeFailure(PDEVICE_EXTENSION Port);

// A transfer failure has just marked the device lost while the phone may
// still be attached: aborts the three pipes without waiting, so that the
// transfers still outstanding on the other pipes come back and close does
// not wait for them for ever. At or below DISPATCH_LEVEL, no spin lock held.
VOID AbortPipesOfLostDevice(PDEVICE_EXTENSION Port);
