// The diagnostics-port driver's own routines, beyond what it supplies to the
// core (declared in core/port.h): its receive path, restarted from a worker
// thread and retried after failures until the device is judged lost; its send
// path; and the serial state it emulates in place of a status pipe.
//
// One rule binds the whole driver: PortLock is held across each operation on
// the port (a read dispatch, a bulk completion, the time-out DPC), and the
// ring has no lock of its own. Cancel routines take PortLock inside the
// cancel spin lock, so the cancel spin lock is never taken with PortLock held.
#pragma once

#include "core/port.h"

// SERIAL_EV_RX80FULL is reported from this many bytes held in the ring.
#define INPUT_RX80FULL_MARK 820000

// More failed bulk transfers than this since the open mark the device lost.
#define TRANSFER_ERROR_LIMIT 20

// What a failed bulk-out transfer reports to the waiting WAIT_ON_MASK: the
// emulated lines have dropped.
#define WRITE_FAILURE_EVENTS (SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD)

// ---------------------------------------------------------------- DispatchRead
// Reads are answered from the ring. A read that finds bytes completes at once
// with them; one that finds none waits for the next bulk-in transfer, which
// completes it with whatever the ring then holds (STATUS_SUCCESS, even when
// short) or, when it brought nothing, with STATUS_TIMEOUT and no bytes.

// Issues one bulk-in transfer on Pipe, counted in PendingReadWriteIrps until
// ReadPipeCompletion gives the count back; when no IRP can be had the count
// is given back at once and STATUS_INSUFFICIENT_RESOURCES returned (see
// SubmitReceiveTransfer). At or below DISPATCH_LEVEL, no spin lock held.
NTSTATUS ReadBulkPipe(PDEVICE_EXTENSION Port, USBD_PIPE_HANDLE Pipe);
IO_COMPLETION_ROUTINE ReadPipeCompletion;

// ReadUrb has one owner at a time: whoever issues it, or queues the restart
// that will. ClaimReception takes ownership for a new chain (FALSE when a
// transfer or a restart already owns it); IssueOwnedRead issues the transfer
// for the owner when the port is open and the device there, and otherwise
// gives ownership up, as it does when no IRP can be had (the chain then
// stalls: ReceiveStalled, and the next read starts it again). A transfer that fails as it goes down
// still ends in ReadPipeCompletion, which settles ownership. At or below DISPATCH_LEVEL, no spin
// lock held.
BOOLEAN ClaimReception(PDEVICE_EXTENSION Port);
VOID IssueOwnedRead(PDEVICE_EXTENSION Port);

// TRUE, and the device marked lost, when a failed bulk transfer is one the
// port cannot recover from: the phone stopped answering or left the bus, or
// too many transfers have failed since the open. At or below DISPATCH_LEVEL.
BOOLEAN IsErrorInEndpoint(PDEVICE_EXTENSION Port, PURB Urb, NTSTATUS Status);

// Caller holds PortLock for EnqueueReadIrp, DequeueReadIrp and
// CompletePendingReadIrps. ReadQueue holds one read; a second one is answered
// at once with STATUS_SUCCESS and no bytes.
DRIVER_CANCEL ReadCancelRoutine;

// ---------------------------------------------------------------- wrkitem
// The next bulk-in transfer is issued from a system worker thread, after the
// one that completed has been given back. NextRead queues that work, counted
// in PendingReadWriteIrps until the worker has run; STATUS_INSUFFICIENT_
// RESOURCES when no work item can be had. At or below DISPATCH_LEVEL.
NTSTATUS NextRead(PDEVICE_EXTENSION Port);
VOID NTAPI WorkItemModemEvent(PVOID Parameter);

// ---------------------------------------------------------------- DispatchWrite
// Writes wait in WriteQueue and go to the bulk-out pipe one request at a time,
// in pieces of at most 4096 bytes carried by the request's own IRP. A failed
// piece fails its request, counts as a transfer error and reports the lines
// dropping; the writer then goes on with the next request. The callers of
// EnqueueWriteIrp and DequeueWriteIrp always hold PortLock (LockHeld TRUE).

// Caller holds PortLock and owns WriteBusy. Starts the next queued request:
// STATUS_PENDING with *IrpToSend prepared for the bus, which the caller hands
// to LowerDeviceObject once it has released PortLock (the bus may complete
// it at once, and its completion takes PortLock). With nothing left to send
// the writer goes idle: STATUS_UNSUCCESSFUL and *IrpToSend NULL.
NTSTATUS PassiveWrite(PDEVICE_EXTENSION Port, PIRP* IrpToSend);
IO_COMPLETION_ROUTINE OnWriteComplete;

// ---------------------------------------------------------------- SerialEmulation
// The serial state of a fresh open: settings, queues, emulated lines, the
// error count and the drain event. Caller holds OpenMutex; the port is not
// open yet, so no lock is taken.
VOID InitializeSerEmulVariables(PDEVICE_EXTENSION Port);
