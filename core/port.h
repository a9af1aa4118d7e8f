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

// Read access to a registry key, as the DDK defines it; not every set of
// kernel headers carries it.
#ifndef STANDARD_RIGHTS_READ
#define STANDARD_RIGHTS_READ ((ACCESS_MASK)0x00020000L)
#endif

// Size of every bulk transfer and of the receive buffer the bulk-in URB uses.
#define READ_TRANSFER_SIZE 4096
// The input ring: received bytes wait here until a read request takes them.
#define INPUT_BUFFER_SIZE 1024000
// Transfer buffer of the interrupt-in (SERIAL_STATE) notification.
#define STATUS_BUFFER_SIZE 16
// Bulk-in, bulk-out and interrupt-in.
#define PIPE_COUNT 3

// Acquires the port's remove lock for `tag` (the IRP, or NULL for a transfer
// the driver issues on its own), recording this source line so that a hold
// left over can be traced to the routine that took it.
#define AcquireRemoveLock(ext, tag)                                                                \
    IoAcquireRemoveLockEx(&(ext)->RemoveLock, (tag), __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK))
#define ReleaseRemoveLock(ext, tag)                                                                \
    IoReleaseRemoveLockEx(&(ext)->RemoveLock, (tag), sizeof(IO_REMOVE_LOCK))

// ---------------------------------------------------------------- DispatchPower: contexts
// Where one power IRP stands. A context starts in NewContext and is free
// again in Finished.
typedef enum _POWSTATE {
    NewContext = 0,
    SystemUpForwarded,         // system IRP towards more power sent down first
    SystemUpDeviceRequested,   // it came back; device IRP requested; system IRP held
    SystemDownDeviceRequested, // towards the same or less power: device IRP requested first
    SystemDownForwarded,       // device IRP done; system IRP sent down
    DeviceUpForwarded,         // device SET_POWER towards more power sent down
    DeviceDownForwarded,       // device SET_POWER towards the same or less power, recorded first
    DeviceQueryForwarded,      // device QUERY_POWER sent down
    Finished
} POWSTATE;

// One per power IRP in the machine, kept in the port record (PowerContexts),
// so that running a power IRP needs no memory: a system SET_POWER must not
// be failed for want of it. The power manager sends one IRP of each type
// (system, device) at a time, so one context per type: a system IRP's
// context and that of the device IRP it asked for live side by side. Only
// the event that is running touches a context, and each step hands the IRP
// on as its last act.
typedef struct _POWCONTEXT {
    struct _DEVICE_EXTENSION* DeviceExtension;
    PIRP Irp; // the SET_POWER or QUERY_POWER being run
    POWSTATE State;
    NTSTATUS Status;                      // the last status learned
    DEVICE_POWER_STATE TargetDeviceState; // what a system IRP asks of the device
    DEVICE_POWER_STATE PriorDevicePower;  // DevicePower before a power-up was recorded
    UCHAR MinorFunction;                  // of the device IRP to request
    BOOLEAN HoldsRemoveLock;              // the machine's own hold, given back by Finish
} POWCONTEXT, *PPOWCONTEXT;

// ---------------------------------------------------------------- the port device record
// One per port device: the device object's extension, non-paged, zero-filled
// by AddDevice and deleted with the device object. It holds every buffer the
// port keeps for its whole life; only short-lived blocks (transfer IRPs,
// write contexts, work items) are allocated while the port runs.
//
// Locks, in the only order in which they nest: the I/O manager's cancel spin
// lock, then PortLock, then InputLock (modem) or StateLock. OpenMutex and
// CloseMutex are taken at PASSIVE_LEVEL with no spin lock held. A field
// without a note is written only by AddDevice, the Plug and Play paths or the
// open and close paths, which the system serialises per device; every other
// field says who writes it.
#if VARIANT_MODEM

typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT DeviceObject;      // the port device object owning this record
    PDEVICE_OBJECT LowerDeviceObject; // target of every pass-down, URB and power IRP
    PDEVICE_OBJECT Pdo;               // hardware key, pipe handles, power requests
    IO_REMOVE_LOCK RemoveLock;        // one hold per request taken on, one per own transfer
    UNICODE_STRING InterfaceName;     // from IoRegisterDeviceInterface; empty once released
    PNP_STATE PnpState;               // StateLock where the removal paths and IsDeviceRemoved meet
    PNP_STATE PreviousPnpState;       // saved by a removal query, restored by its cancel
    DEVICE_POWER_STATE DevicePower;   // the power paths, one power IRP at a time
    SYSTEM_POWER_STATE SystemPower;   // the power paths, one power IRP at a time
    DEVICE_CAPABILITIES DeviceCapabilities; // as last completed upward, own bits applied
    LONG OpenCount;                         // interlocked; 0 or 1
    PFILE_OBJECT OpenFile;                  // the open handle's file object; NULL when closed
    USBD_PIPE_HANDLE BulkInPipe;            // the three taken from the parent at start
    USBD_PIPE_HANDLE BulkOutPipe;
    USBD_PIPE_HANDLE InterruptPipe;
    ULONG DeviceLostCode; // PortLock; 0, or DEVICE_LOST_CODE for good (set by a failed transfer)
    KSPIN_LOCK PortLock;  // guards what is marked PortLock below

    SERIAL_TIMEOUTS Timeouts;        // PortLock; kept across opens
    ULONG BaudRate;                  // PortLock
    SERIAL_LINE_CONTROL LineControl; // PortLock
    SERIAL_HANDFLOW HandFlow;        // PortLock
    SERIAL_CHARS SpecialChars;       // PortLock
    ULONG WaitMask;                  // PortLock
    SERIALPERF_STATS PerfStats;      // PortLock
    USHORT ModemStatus;              // PortLock; SERIAL_MSR_* in the low byte
    URB StatusUrb;                   // the one interrupt-in transfer, reused
    LIST_ENTRY WaitQueue;            // PortLock; queued wait-on-mask request
    LIST_ENTRY ReadQueue;            // PortLock; queued read requests
    UCHAR StatusBuffer[STATUS_BUFFER_SIZE];
    LONG AmountInOutQueue; // PortLock; bytes accepted for writing, not yet sent

    UNICODE_STRING DeviceName;       // \Device\VXNTQT70MDMn; freed at (surprise) removal
    UNICODE_STRING SymbolicLinkName; // the DOS link held; empty when none
    ULONG HoldReasons;               // PortLock
    BOOLEAN WriteBusy;               // PortLock; a write transfer is on the bus
    LIST_ENTRY WriteQueue;           // PortLock; queued write and immediate-character requests

    LARGE_INTEGER IntervalTime;         // PortLock; read interval time-out, 100 ns
    LARGE_INTEGER IntervalDueShort;     // -1: one tick, relative
    LARGE_INTEGER IntervalDueLong;      // -10,000,000: one second, relative
    LARGE_INTEGER IntervalCutover;      // 200,000,000: twenty seconds
    PLARGE_INTEGER IntervalDueSelected; // PortLock; IntervalDueShort or IntervalDueLong
    BOOLEAN UseIntervalTimer;           // PortLock; set by a read, cleared when it ends
    BOOLEAN IntervalDpcActive;          // PortLock
    BOOLEAN TotalDpcActive;             // PortLock
    KTIMER ReadTotalTimer;
    KDPC ReadTotalDpc;
    KTIMER ReadIntervalTimer;
    KDPC ReadIntervalDpc;
    URB ReadUrb; // the one bulk-in transfer, reused
    UCHAR ReadTransferBuffer[READ_TRANSFER_SIZE];

    LONG InputHead;  // InputLock
    LONG InputTail;  // InputLock
    LONG InputCount; // InputLock
    UCHAR InputBuffer[INPUT_BUFFER_SIZE];
    KSPIN_LOCK InputLock;

    LONG ReadLengthRemaining; // the read in progress: its dispatch, then whoever completes it
    ULONG EventHistory;       // PortLock
    BOOLEAN PortOpen;         // changed under PortLock (and OpenMutex at open)
    KSPIN_LOCK StateLock;
    FAST_MUTEX OpenMutex;          // open against the stop and removal queries
    FAST_MUTEX CloseMutex;         // closes against each other
    KEVENT PendingIoIdle;          // notification: PendingIrpCount reached 0
    LONG PendingIrpCount;          // interlocked; transfers in flight, +1 while open
    BOOLEAN ResumeAfterSleep;      // PortLock
    LONG Receiving;                // PortLock; issuers between their PortOpen test and transfer
    KEVENT ReceiveQuiet;           // notification: Receiving is 0
    PIRP AbortReserve[PIPE_COUNT]; // PortLock; each pipe's abort, set aside while open
    BOOLEAN ReceiveStalled; // PortLock; no IRP for the next bulk-in transfer: the next read retries
    POWCONTEXT PowerContexts[2]; // the power IRP being run, by POWER_STATE_TYPE
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

#else // VARIANT_DIAG

typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT Pdo;
    IO_REMOVE_LOCK RemoveLock;
    UNICODE_STRING InterfaceName;
    PNP_STATE PnpState; // StateLock where the removal paths and IsDeviceRemoved meet
    PNP_STATE PreviousPnpState;
    DEVICE_POWER_STATE DevicePower; // the power paths, one power IRP at a time
    SYSTEM_POWER_STATE SystemPower; // the power paths, one power IRP at a time
    DEVICE_CAPABILITIES DeviceCapabilities;
    LONG OpenCount;        // interlocked; 0 or 1
    PFILE_OBJECT OpenFile; // the open handle's file object; NULL when closed
    USBD_PIPE_HANDLE BulkInPipe;
    USBD_PIPE_HANDLE BulkOutPipe;
    USBD_PIPE_HANDLE InterruptPipe; // reset at open and wake, never transferred on
    ULONG DeviceLostCode;           // PortLock; set by a failed transfer (IsErrorInEndpoint)
    KSPIN_LOCK PortLock;

    SERIAL_TIMEOUTS Timeouts;        // PortLock
    ULONG BaudRate;                  // PortLock
    SERIAL_LINE_CONTROL LineControl; // PortLock
    SERIAL_HANDFLOW HandFlow;        // PortLock
    SERIAL_CHARS SpecialChars;       // PortLock
    ULONG WaitMask;                  // PortLock
    SERIALPERF_STATS PerfStats;      // PortLock
    USHORT ModemStatus;              // PortLock; emulated, no status pipe
    LIST_ENTRY WaitQueue;            // PortLock
    LIST_ENTRY ReadQueue;            // PortLock
    LONG AmountInOutQueue;           // PortLock

    UNICODE_STRING DeviceName; // \Device\VXNTQT70DIAGn; freed at (surprise) removal
    UNICODE_STRING SymbolicLinkName;
    ULONG HoldReasons;     // PortLock
    BOOLEAN WriteBusy;     // PortLock
    LIST_ENTRY WriteQueue; // PortLock

    KTIMER ReadTotalTimer;
    KDPC ReadTotalDpc;
    URB ReadUrb;
    UCHAR ReadTransferBuffer[READ_TRANSFER_SIZE];

    LONG InputHead;  // PortLock: this driver's ring has no lock of its own
    LONG InputTail;  // PortLock
    LONG InputCount; // PortLock
    UCHAR InputBuffer[INPUT_BUFFER_SIZE];

    LONG ReadLengthRemaining; // PortLock; the read in progress
    BOOLEAN PortOpen;         // changed under PortLock
    KSPIN_LOCK StateLock;
    ULONG EventHistory; // PortLock
    FAST_MUTEX OpenMutex;
    FAST_MUTEX CloseMutex;
    BOOLEAN LinkDestroyed;         // naming torn down since the last successful start
    LONG TransferErrorCount;       // interlocked; failed bulk transfers since open
    KEVENT PendingIoIdle;          // synchronization: PendingReadWriteIrps reached 0
    LONG PendingReadWriteIrps;     // interlocked; requests, transfers, work items, +1 bias
    BOOLEAN ResumeAfterSleep;      // PortLock
    BOOLEAN ReceptionOwned;        // PortLock; ReadUrb is out, or a restart is queued to issue it
    LONG Receiving;                // PortLock; issuers between their PortOpen test and transfer
    KEVENT ReceiveQuiet;           // notification: Receiving is 0
    PIRP AbortReserve[PIPE_COUNT]; // PortLock; each pipe's abort, set aside while open
    BOOLEAN ReceiveStalled; // PortLock; no IRP for the next bulk-in transfer: the next read retries
    POWCONTEXT PowerContexts[2]; // the power IRP being run, by POWER_STATE_TYPE
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

#endif

inline PDEVICE_EXTENSION PortOf(PDEVICE_OBJECT DeviceObject) {
    return (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
}

// ---------------------------------------------------------------- DriverEntry
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
DRIVER_ADD_DEVICE AddDevice;
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject);
VOID StopDevice(PDEVICE_EXTENSION Port, BOOLEAN TearDownNaming);
VOID RemoveDevice(PDEVICE_OBJECT DeviceObject);

// Both forms complete with no priority boost and return `Status`; the short
// one leaves IoStatus.Information as whoever filled it left it.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status);

// Sends the IRP down with the current parameters and waits until the lower
// drivers have finished with it; the caller then completes it. PASSIVE_LEVEL.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
IO_COMPLETION_ROUTINE OnRequestComplete;
#if VARIANT_DIAG
// Sends an IRP whose next stack location the caller has filled, and waits only
// if the lower driver returns STATUS_PENDING. STATUS_INSUFFICIENT_RESOURCES
// without sending when no event can be allocated. PASSIVE_LEVEL.
NTSTATUS CallDriverSync(PDEVICE_OBJECT Target, PIRP Irp);
IO_COMPLETION_ROUTINE CallDriverSyncCompletion;
#endif

VOID EnableAllInterfaces(PDEVICE_EXTENSION Port, BOOLEAN Enable);
VOID DeregisterAllInterfaces(PDEVICE_EXTENSION Port);
DRIVER_DISPATCH DispatchSysCtrl;
DRIVER_DISPATCH DispatchInternalControl;

// ---------------------------------------------------------------- DispatchPlugPlay
DRIVER_DISPATCH DispatchPnp;

// ---------------------------------------------------------------- moon
// Allocates MaximumLength + 2 zeroed bytes, so the text stays terminated.
NTSTATUS InitUnicodeString(PUNICODE_STRING String, USHORT MaximumLength);
VOID FreeUnicodeString(PUNICODE_STRING String);
NTSTATUS GetCOMPort(PDEVICE_EXTENSION Port, PWCHAR Buffer, ULONG BufferBytes);
NTSTATUS CreateSymbolicLink(PDEVICE_EXTENSION Port);
NTSTATUS DestroySymbolicLink(PDEVICE_EXTENSION Port);
NTSTATUS TryToDeleteNewLink(PDEVICE_EXTENSION Port);

// ---------------------------------------------------------------- utility
// At or below DISPATCH_LEVEL; takes StateLock.
BOOLEAN IsDeviceRemoved(PDEVICE_EXTENSION Port);
// TRUE when a cleanup or close request comes for the handle that holds the
// port open. Any other file object's cleanup and close leave the port alone.
BOOLEAN IsOpenHandle(PDEVICE_EXTENSION Port, PIRP Irp);
#if VARIANT_MODEM
VOID IncPendingIRPCnt(PDEVICE_EXTENSION Port);
VOID DecPendingIRPCnt(PDEVICE_EXTENSION Port);
#else
VOID IncPendingReadWriteIRPCnt(PDEVICE_EXTENSION Port);
VOID DecPendingReadWriteIRPCnt(PDEVICE_EXTENSION Port);
#endif

// Rebuilds Urb from nothing (nothing the bus left in it from the last transfer
// carries over) as a bulk or interrupt transfer of Length bytes at Buffer on
// Pipe, with TransferFlags.
VOID BuildBulkTransfer(PURB Urb, USBD_PIPE_HANDLE Pipe, PVOID Buffer, ULONG Length,
                       ULONG TransferFlags);
// A receive transfer (in, short transfers taken) of the port's own URB on a
// new IRP; the completion routine then owns the IRP (IoFreeIrp, STATUS_MORE_
// PROCESSING_REQUIRED). The caller has counted the transfer: the
// pending-transfer counter and, in the modem driver, an untagged hold on the
// remove lock. Returns STATUS_INSUFFICIENT_RESOURCES only when no IRP could
// be had and nothing was sent; it has then given both back itself, since no
// completion will run to do it, and the chain of transfers has ended (see
// ReceiveStalled). Otherwise STATUS_PENDING: the completion reports how the
// transfer went. At or below DISPATCH_LEVEL.
NTSTATUS SubmitReceiveTransfer(struct _DEVICE_EXTENSION* Port, PURB Urb, USBD_PIPE_HANDLE Pipe,
                               PVOID Buffer, ULONG Length,
                               PIO_COMPLETION_ROUTINE CompletionRoutine);
// One URB, waited for. PASSIVE_LEVEL, no lock held.
NTSTATUS SendAwaitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb);
// An abort waits for the bus to end every transfer on the pipe. Close cannot
// end without its aborts, and a close must end whatever memory is left: so
// every open sets aside one IRP per pipe (ReserveAbortIrps; when it cannot,
// STATUS_INSUFFICIENT_RESOURCES and the open fails), AbortPipe spends the
// pipe's own before it asks for a new one, and close gives back what is left
// (ReleaseAbortIrps). The wake, which aborts too, tops the set up again; an IRP
// set aside after the port has closed is freed at once. PASSIVE_LEVEL.
NTSTATUS ReserveAbortIrps(PDEVICE_EXTENSION Port);
VOID ReleaseAbortIrps(PDEVICE_EXTENSION Port);
NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe);
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe);
// Open resets the three pipes in order and stops at the first failure.
// PASSIVE_LEVEL, no lock held.
NTSTATUS ResetAllPipes(PDEVICE_OBJECT DeviceObject);
VOID CleanupAllPipes(PDEVICE_OBJECT DeviceObject);
VOID USBKillAllPendingIrps(PDEVICE_OBJECT DeviceObject);
// TRUE while the port's stack is still on the bus: the device may have been
// marked lost by a failed transfer, but the phone has not been reported gone,
// so the bus will not end what is still outstanding on its own. Takes
// StateLock.
BOOLEAN IsStillOnBus(PDEVICE_EXTENSION Port);
#if VARIANT_DIAG
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT Target, PURB Urb);
VOID VXNT_WaitForClearEndPoints(PDEVICE_OBJECT DeviceObject);
#endif

// ---------------------------------------------------------------- utility: the bulk-out piece engine
// A request being sent goes to the bulk-out pipe in pieces of at most
// WRITE_PIECE_SIZE bytes, each carried by the request's own IRP and pointing
// into its own system buffer: nothing is copied and no IRP is allocated. One
// context per request, allocated when it is started and freed when its last
// piece has come back.
#define WRITE_PIECE_SIZE 4096
// AmountInOutQueue, which the status request reports, is a signed 32-bit count
// of the bytes accepted and not yet finished; nothing may carry it past this.
#define WRITE_COUNT_LIMIT 0x7FFFFFFFUL

typedef struct _WRITE_CONTEXT {
    URB Urb;           // the bulk-out transfer of the current piece
    PUCHAR Cursor;     // next byte of the system buffer to send
    ULONG Remaining;   // bytes not yet handed to a piece
    ULONG Transferred; // bytes the bus driver reported sent so far
    ULONG Length;      // the whole request, as counted in AmountInOutQueue
    ULONG PieceLength; // what the current piece asked the bus to send
} WRITE_CONTEXT, *PWRITE_CONTEXT;

// Sets a context the writer has allocated (each driver allocates in its own
// routine, where fault injection names the site) to send Length bytes of
// Irp's system buffer from the start.
VOID InitWriteContext(PWRITE_CONTEXT Context, PIRP Irp, ULONG Length);
// Points a zeroed URB at the next piece, sent with TransferFlags, and readies
// the IRP's next stack location for the bus driver with CompletionRoutine.
VOID PrepareWritePiece(struct _DEVICE_EXTENSION* Port, PIRP Irp, PWRITE_CONTEXT Context,
                       ULONG TransferFlags, PIO_COMPLETION_ROUTINE CompletionRoutine);
// Counts what the bus says the piece just back moved, never more than the
// piece asked for.
VOID CountWrittenPiece(PWRITE_CONTEXT Context);

// ---------------------------------------------------------------- utility: open defaults
// The serial state every open starts from: BaudRate, 8 data bits, no parity,
// two stop bits, DTR and RTS under control, XonChar and XoffChar; no wait
// mask, no recorded events, empty queues, the writer idle and no sleep
// pending. Time-outs, statistics, the other special characters and the
// handshake limits keep what the previous user left, as a serial port's
// settings outlive a handle. Caller holds OpenMutex; the port is not open.
VOID SetOpenDefaults(struct _DEVICE_EXTENSION* Port, ULONG BaudRate, UCHAR XonChar, UCHAR XoffChar);

// ---------------------------------------------------------------- utility: receive issuers
// Whoever issues a receive transfer on its own (a completion's next transfer,
// a restart), and in the modem whoever sends a write piece, tests PortOpen
// and counts itself in Receiving under one hold of PortLock
// (CountReceiverLocked), and calls EndReceive once the transfer is issued. Close clears PortOpen under the same lock and then waits for
// WaitForReceiveQuiet before it aborts the pipes, so the aborts come after
// every transfer an issuer that saw the port open sends down. Receiving
// starts at 0 with every open (SetOpenDefaults).
VOID CountReceiverLocked(struct _DEVICE_EXTENSION* Port);
VOID EndReceive(struct _DEVICE_EXTENSION* Port);
VOID WaitForReceiveQuiet(struct _DEVICE_EXTENSION* Port);

// ---------------------------------------------------------------- utility: time-out DPCs at removal
// A read time-out DPC may still be queued, or running on another processor,
// when the removal has cancelled every timer; it would then run on a deleted
// device in an unloaded image. Before the device goes, the removal calls
// FlushTimerDpcs, which returns once every such run has returned.
// PASSIVE_LEVEL, once no handle is left to arm the timers.
VOID FlushTimerDpcs(struct _DEVICE_EXTENSION* Port);

// ---------------------------------------------------------------- readq
// Cancel every request queued on `Queue`, newest first, through each one's
// own cancel routine. PASSIVE_LEVEL or DISPATCH_LEVEL; no spin lock held.
VOID USBKillAllReads(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue);
VOID USBKillAllWaits(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue);
VOID USBKillAllWrites(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue);

// ---------------------------------------------------------------- readq: input ring and request
// queues Written against the record by its tag, so that this block stands wherever the record's
// definition sits.
struct _DEVICE_EXTENSION;

// The input ring (lengths are byte counts; a negative one counts as 0). In the
// modem driver each routine takes InputLock itself (PortLock may be held
// around it, never taken inside it); in the diagnostics driver the caller
// holds PortLock. At or below DISPATCH_LEVEL.
NTSTATUS ReadFromBuffer(struct _DEVICE_EXTENSION* Port, PUCHAR Destination, LONG Wanted,
                        PLONG Copied);
NTSTATUS WriteToBuffer(struct _DEVICE_EXTENSION* Port, const UCHAR* Source, LONG Offered,
                       PLONG Stored);
LONG GetNoCharsInInputBuffer(struct _DEVICE_EXTENSION* Port);
NTSTATUS FlushInputBuffer(struct _DEVICE_EXTENSION* Port);

// The one cancel-safe queue protocol of ReadQueue, WriteQueue and WaitQueue in
// both drivers (its safety argument is in readq.cpp). Caller holds PortLock
// for QueueIrp and DequeueIrp.
//
// QueueIrp: STATUS_PENDING when queued (marked pending, cancel routine
// installed); STATUS_INVALID_PARAMETER when QUEUE_SINGLE was asked and the
// queue is not empty; STATUS_CANCELLED when the request was already cancelled
// (not queued, not marked). For either refusal the caller completes it.
// DequeueIrp: the first request whose cancel routine could be taken back, or
// NULL; a request already claimed by its cancel routine is skipped.
// UnlinkCancelledIrp: for cancel routines, cancel spin lock held; takes
// PortLock.
#define QUEUE_AT_TAIL 0x0
#define QUEUE_AT_HEAD 0x1
#define QUEUE_SINGLE 0x2
NTSTATUS QueueIrp(struct _DEVICE_EXTENSION* Port, PLIST_ENTRY Queue, PIRP Irp,
                  PDRIVER_CANCEL CancelRoutine, ULONG How);
PIRP DequeueIrp(struct _DEVICE_EXTENSION* Port, PLIST_ENTRY Queue);
VOID UnlinkCancelledIrp(struct _DEVICE_EXTENSION* Port, PIRP Irp);
// For routines that take a LockHeld argument: PortLock taken unless the
// caller says it already holds it (which is checked).
KIRQL LockPortUnlessHeld(struct _DEVICE_EXTENSION* Port, BOOLEAN LockHeld);
VOID UnlockPortUnlessHeld(struct _DEVICE_EXTENSION* Port, BOOLEAN LockHeld, KIRQL OldIrql);

// The wait-on-mask queue. Enqueue: STATUS_PENDING when queued, else the
// caller completes the request (STATUS_INVALID_PARAMETER: one is already
// queued; STATUS_CANCELLED). CompletePendingWaitIrps hands Events unfiltered
// to the queued request, gives back its remove lock and returns TRUE, or
// FALSE when none waited. LockHeld: the caller already holds PortLock (the
// request is then completed inside it).
DRIVER_CANCEL WaitMaskCancelRoutine;
NTSTATUS EnqueueWaitIrp(struct _DEVICE_EXTENSION* Port, PIRP Irp, BOOLEAN LockHeld);
PIRP DequeueWaitIrp(struct _DEVICE_EXTENSION* Port, BOOLEAN LockHeld);
BOOLEAN CompletePendingWaitIrps(struct _DEVICE_EXTENSION* Port, ULONG Events, BOOLEAN LockHeld);
// The write queue, each request carrying the driver's WriteCancelRoutine;
// AtHead puts it before every queued write (the modem's immediate character).
NTSTATUS EnqueueWriteIrp(struct _DEVICE_EXTENSION* Port, PIRP Irp, BOOLEAN AtHead,
                         BOOLEAN LockHeld);
PIRP DequeueWriteIrp(struct _DEVICE_EXTENSION* Port, BOOLEAN LockHeld);

// ---------------------------------------------------------------- readq: read timing
// A SERIAL_TIMEOUTS field that means "not this kind of time-out" or "forever".
#define TIMEOUT_MAXULONG ((ULONG)0xFFFFFFFF)
#define MS_TO_100NS 10000

// The read half of SERIAL_TIMEOUTS as one read applies it.
typedef struct _READ_TIMING {
    BOOLEAN Immediate;     // return at once with what the ring holds
    BOOLEAN UseTotalTimer; // ReadTotalTimer runs while the read waits
    ULONG Multiplier;      // ms per byte still wanted
    ULONG Constant;        // ms
} READ_TIMING, *PREAD_TIMING;

VOID ClassifyTotalTimeout(const SERIAL_TIMEOUTS* Timeouts, PREAD_TIMING Timing);
// Relative due time of the total time-out for Remaining bytes still wanted.
LARGE_INTEGER TotalDueTime(const READ_TIMING* Timing, LONG Remaining);
// The read's length, held to what a LONG counts.
LONG ReadLengthOf(PIRP Irp);
// Moves what the ring holds into the read's system buffer, after the bytes it
// already has and never past its own length, and takes them off
// ReadLengthRemaining. Returns the count moved. The ring's own rule applies
// (diagnostics driver: caller holds PortLock).
LONG CopyFromRing(struct _DEVICE_EXTENSION* Port, PIRP Irp);
// What the bus says it put in ReadTransferBuffer, never more than the buffer
// holds.
LONG ReceivedLength(struct _DEVICE_EXTENSION* Port);

// ---------------------------------------------------------------- DispatchIoControl
// DispatchIoControl. The validators and the handlers both drivers answer
// alike; each handler runs with the request's remove lock held, checks the
// buffer before reading it, sets Information and returns the request's status.
DRIVER_DISPATCH ModemIoControl;
NTSTATUS PassiveModemIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
BOOLEAN IsValidBaudRate(LONG BaudRate);
BOOLEAN IsValidDataBits(UCHAR DataBits);
BOOLEAN IsValidStopBits(UCHAR StopBits);
BOOLEAN IsValidParity(UCHAR Parity);
VOID SerialGetProperties(struct _DEVICE_EXTENSION* Port, PSERIAL_COMMPROP Properties);

// The buffers of a METHOD_BUFFERED request, and the one way a fixed-size
// setting moves between the system buffer and the port record. CopySettingIn
// and CopySettingOut take STATUS_BUFFER_TOO_SMALL unless the caller's input
// (output) holds Size bytes; otherwise they copy, under Lock when one is
// given. ReportReplyLength sets Information to Bytes, but never to more than
// the caller's output buffer holds: buffered I/O copies Information bytes
// back, and they must land inside that buffer. A request without an output
// buffer is told Bytes (nothing is copied back then).
ULONG InputLength(PIRP Irp);
ULONG OutputLength(PIRP Irp);
NTSTATUS CopySettingIn(PIRP Irp, PVOID Setting, ULONG Size, PKSPIN_LOCK Lock);
NTSTATUS CopySettingOut(PIRP Irp, const VOID* Setting, ULONG Size, PKSPIN_LOCK Lock);
VOID ReportReplyLength(PIRP Irp, ULONG Bytes);
// The new wait mask of a SET_WAIT_MASK: STATUS_BUFFER_TOO_SMALL,
// STATUS_INVALID_PARAMETER for a bit no event has, else STATUS_SUCCESS with
// the waiting WAIT_ON_MASK ended with no events and the mask stored.
NTSTATUS StoreWaitMask(struct _DEVICE_EXTENSION* Port, PIRP Irp);

NTSTATUS SerialAcceptWithoutEffect(struct _DEVICE_EXTENSION* Port, PIRP Irp);
NTSTATUS SerialRefuse(struct _DEVICE_EXTENSION* Port, PIRP Irp);
NTSTATUS SerialSetTimeouts(struct _DEVICE_EXTENSION* Port, PIRP Irp);
NTSTATUS SerialGetTimeouts(struct _DEVICE_EXTENSION* Port, PIRP Irp);
NTSTATUS SerialGetBaudRate(struct _DEVICE_EXTENSION* Port, PIRP Irp);
NTSTATUS SerialGetLineControl(struct _DEVICE_EXTENSION* Port, PIRP Irp);
NTSTATUS SerialGetChars(struct _DEVICE_EXTENSION* Port, PIRP Irp);
NTSTATUS SerialSetChars(struct _DEVICE_EXTENSION* Port, PIRP Irp);
NTSTATUS SerialGetHandFlow(struct _DEVICE_EXTENSION* Port, PIRP Irp);
NTSTATUS SerialSetHandFlow(struct _DEVICE_EXTENSION* Port, PIRP Irp);
NTSTATUS SerialGetModemStatus(struct _DEVICE_EXTENSION* Port, PIRP Irp);
NTSTATUS SerialStoreBaudRate(struct _DEVICE_EXTENSION* Port, PIRP Irp);
NTSTATUS SerialStoreLineControl(struct _DEVICE_EXTENSION* Port, PIRP Irp);
NTSTATUS SerialGetWaitMask(struct _DEVICE_EXTENSION* Port, PIRP Irp);
NTSTATUS SerialGetStats(struct _DEVICE_EXTENSION* Port, PIRP Irp);
NTSTATUS SerialClearStats(struct _DEVICE_EXTENSION* Port, PIRP Irp);

#if VARIANT_MODEM
// One device-control request deferred to a system worker thread because it
// arrived above PASSIVE_LEVEL. Allocated by ModemIoControl, freed by
// WorkItemCallbackModemIoControl once the request has been handled; it holds
// the remove lock (tagged with itself) for that time.
typedef struct _RANDOM_JUNK {
    WORK_QUEUE_ITEM WorkItem;
    struct _DEVICE_EXTENSION* DeviceExtension;
    ULONG BufferWord; // first word of the system buffer when deferred; unread
    PIRP Irp;
    PDEVICE_OBJECT DeviceObject;
} RANDOM_JUNK, *PRANDOM_JUNK;

VOID NTAPI WorkItemCallbackModemIoControl(PVOID Parameter);
#endif

// ---------------------------------------------------------------- DispatchPower
// IRP_MJ_POWER of both drivers. The port is its device's power policy owner:
// each system power request becomes a device power request sent down the
// same stack, and an open port is kept alive across a sleep.
DRIVER_DISPATCH DispatchPower;
// The half of the return from a sleep both drivers share, once each has ended
// what its receive pipes still had in flight: clears ResumeAfterSleep, resets
// the three pipes whatever each answers (a pipe that stays halted fails its
// next transfer, which the read path then handles) and restarts reception if
// the port is still open. PASSIVE_LEVEL, no lock held.
VOID ResumePortAfterSleep(struct _DEVICE_EXTENSION* Port);

// ================================================================ the contract
// What each driver folder supplies to the core: declared once here, defined
// in vxqt70mdm/ and in vxqt70diag/ (or, where noted, in one of them, for the
// core's modules that only that driver builds). The core calls nothing else
// of a driver folder and includes none of its headers but variant.h.

// The data path. DispatchRead and DispatchWrite: IRP_MJ_READ and IRP_MJ_WRITE
// at PASSIVE_LEVEL. ReadTotalTimeoutDPC ends the queued read when its total
// time-out expires. The read queue holds one read: Enqueue returns
// STATUS_PENDING when queued, else the status the read ends with (the modem
// driver has then completed it itself). CompletePendingReadIrps completes the
// queued read with what the ring holds (modem: no spin lock held; diagnostics:
// caller holds PortLock). WriteCancelRoutine: the cancel routine of a queued
// write (it also takes the request's bytes off AmountInOutQueue).
DRIVER_DISPATCH DispatchRead;
DRIVER_DISPATCH DispatchWrite;
KDEFERRED_ROUTINE ReadTotalTimeoutDPC;
NTSTATUS EnqueueReadIrp(struct _DEVICE_EXTENSION* Port, PIRP Irp);
PIRP DequeueReadIrp(struct _DEVICE_EXTENSION* Port);
VOID CompletePendingReadIrps(struct _DEVICE_EXTENSION* Port);
DRIVER_CANCEL WriteCancelRoutine;

// Reception: StartReception issues the receive transfers an open starts (the
// modem's status and bulk-in transfers, the diagnostics bulk-in transfer);
// their own failures surface later through their completions. At or below
// DISPATCH_LEVEL, no spin lock held.
NTSTATUS StartReception(struct _DEVICE_EXTENSION* Port);

// Each driver's return to S0 after a sleep taken with the port open
// (ResumeAfterSleep still set): ends what its receive pipes still had in
// flight, then ResumePortAfterSleep. PASSIVE_LEVEL, no lock held.
VOID RestartPortAfterSleep(struct _DEVICE_EXTENSION* Port);

// The file-handle requests, all at PASSIVE_LEVEL in the caller's thread: the
// modem driver's live in core/DispatchCreate.cpp, the diagnostics driver's in
// its own folder.
DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH ModemCleanup;
DRIVER_DISPATCH ModemFlush;

#if VARIANT_MODEM
// Supplied by the modem folder to the core modules only the modem builds
// (DispatchCreate, the modem half of DispatchIoControl).
//
// ReadIntervalTimeoutDPC ends the queued read when its interval expires.
// InitPort: the settings of every open (caller holds OpenMutex).
// WaitForPipesCompletion: the drain at close (PASSIVE_LEVEL, no lock held).
// SetLineCode, SetDTRRTS: class requests to the phone, waited for;
// SendBreak: the phone has none. PASSIVE_LEVEL, no lock held.
// DispatchImmediateChar takes a device-control request whose remove lock
// the caller holds and returns STATUS_PENDING (the write path now owns the
// request and that hold) or a failure for the caller to complete it with.
KDEFERRED_ROUTINE ReadIntervalTimeoutDPC;
VOID InitPort(struct _DEVICE_EXTENSION* Port);
VOID WaitForPipesCompletion(struct _DEVICE_EXTENSION* Port);
NTSTATUS SetLineCode(PDEVICE_OBJECT DeviceObject);
NTSTATUS SetDTRRTS(PDEVICE_OBJECT DeviceObject, USHORT ControlLines);
NTSTATUS SendBreak(PDEVICE_OBJECT DeviceObject, SHORT Duration);
NTSTATUS DispatchImmediateChar(PDEVICE_OBJECT DeviceObject, PIRP Irp);
#endif
