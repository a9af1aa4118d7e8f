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

// ---------------------------------------------------------------- readq: input ring and request queues
// Written against the record by its tag, so that this block stands wherever
// the record's definition sits.
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

// The one-request queues (WaitQueue, ReadQueue). Caller holds PortLock for
// the first two. QueueSingleIrp: STATUS_PENDING when queued (marked pending,
// cancel routine installed), STATUS_INVALID_PARAMETER when the queue is full,
// STATUS_CANCELLED when already cancelled (not queued, not marked); for
// either refusal the caller completes the request. DequeueSingleIrp: the
// request with its cancel routine taken back, or NULL. UnlinkCancelledIrp:
// for cancel routines, cancel spin lock held; takes PortLock.
NTSTATUS QueueSingleIrp(PLIST_ENTRY Queue, PIRP Irp, PDRIVER_CANCEL CancelRoutine);
PIRP DequeueSingleIrp(PLIST_ENTRY Queue);
VOID UnlinkCancelledIrp(struct _DEVICE_EXTENSION* Port, PIRP Irp);

// The wait-on-mask queue. Enqueue: STATUS_PENDING when queued, else the
// caller completes the request (STATUS_INVALID_PARAMETER: one is already
// queued; STATUS_CANCELLED). CompletePendingWaitIrps hands Events unfiltered
// to the queued request and gives back its remove lock.
DRIVER_CANCEL WaitMaskCancelRoutine;
#if VARIANT_MODEM
// No spin lock held.
NTSTATUS EnqueueWaitIrp(struct _DEVICE_EXTENSION* Port, PIRP Irp);
PIRP DequeueWaitIrp(struct _DEVICE_EXTENSION* Port);
BOOLEAN CompletePendingWaitIrps(struct _DEVICE_EXTENSION* Port, ULONG Events);
#else
// LockHeld: the caller already holds PortLock (the request is then completed
// inside it).
NTSTATUS EnqueueWaitIrp(struct _DEVICE_EXTENSION* Port, PIRP Irp, BOOLEAN LockHeld);
PIRP DequeueWaitIrp(struct _DEVICE_EXTENSION* Port, BOOLEAN LockHeld);
VOID CompletePendingWaitIrps(struct _DEVICE_EXTENSION* Port, ULONG Events, BOOLEAN LockHeld);
#endif

// ---------------------------------------------------------------- open, close, write and device control
// DispatchCreate (modem driver; the diagnostics driver has its own), all at
// PASSIVE_LEVEL in the caller's thread.
DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH ModemCleanup;
DRIVER_DISPATCH ModemFlush;

// DispatchIoControl. The validators and the handlers both drivers answer
// alike; each handler runs at PASSIVE_LEVEL with the request's remove lock
// held, checks the buffer before reading it, sets Information and returns
// the request's status.
DRIVER_DISPATCH ModemIoControl;
NTSTATUS PassiveModemIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
BOOLEAN IsValidBaudRate(LONG BaudRate);
BOOLEAN IsValidDataBits(UCHAR DataBits);
BOOLEAN IsValidStopBits(UCHAR StopBits);
BOOLEAN IsValidParity(UCHAR Parity);
VOID SerialGetProperties(struct _DEVICE_EXTENSION* Port, PSERIAL_COMMPROP Properties);
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

// initPort: the settings of every open (caller holds OpenMutex), and the
// drain at close (PASSIVE_LEVEL, no lock held).
VOID InitPort(struct _DEVICE_EXTENSION* Port);
VOID WaitForPipesCompletion(struct _DEVICE_EXTENSION* Port);

// DispatchWrite. PortLock guards WriteQueue, WriteBusy and AmountInOutQueue;
// LockHeld says the caller already holds it. DispatchImmediateChar takes a
// device-control request whose remove lock the caller holds and returns
// STATUS_PENDING (the write path now owns the request and that hold) or a
// failure for the caller to complete it with. PassiveWrite is called only by
// the owner of WriteBusy, at or below DISPATCH_LEVEL, no lock held.
DRIVER_DISPATCH DispatchWrite;
NTSTATUS DispatchImmediateChar(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS EnqueueWriteIrp(struct _DEVICE_EXTENSION* Port, PIRP Irp, BOOLEAN AtHead,
                         BOOLEAN LockHeld);
PIRP DequeueWriteIrp(struct _DEVICE_EXTENSION* Port, BOOLEAN LockHeld);
NTSTATUS PassiveWrite(struct _DEVICE_EXTENSION* Port);
#endif
