// The phone's USB function: its interfaces' endpoints with the transfers
// waiting on them, every decision about a URB a function driver sends (is it
// well formed, which pipe, when and how it ends), the fault plan, the CDC
// class requests and SERIAL_STATE notifications, and the functions behind the
// pipes (the AT modem, the diagnostics loop-back).
//
// Freestanding like the drivers: no library, no allocation of its own, no
// clock, no lock. Whoever hosts it (the simulation's bus on Linux, the
// kernel-mode bus driver under Wine) owns the PHONE record, serialises every
// call under its own lock, passes "now" in 100 ns units, and does what only
// it can: IRPs, cancel routines, Plug and Play. So both buses say the same
// thing about the same URB, and a rule one enforces the other does too.
//
// The host glue's part in one transfer's life:
//   PhoneCheckUrb      fills a PHONE_XFER from the URB, or refuses it;
//   PhoneSubmit        queues it on its endpoint or decides it at once;
//   PhoneRun           (each frame tick) serves the queues, feeds the functions;
//   PhoneTakeDone      hands back decided transfers, oldest decision first;
//   PhoneFinishUrb     writes the outcome into the URB; the glue completes.
// Cancellation: the glue's cancel routine calls PhoneCancel.
#pragma once

#include "platform/kernel.h"
#include "platform/usb/phonecore/atmodem.h"

#define PHONE_MAX_INTERFACES 4

enum PHONE_PIPE { PhoneBulkIn = 0, PhoneBulkOut = 1, PhoneInterruptIn = 2, PhoneControl = 3 };
#define PHONE_PIPES 4

// What stands behind an interface's pipes.
enum PHONE_FUNCTION {
    PhoneFunctionNone,     // records what the host sends, sends what the host glue queues
    PhoneFunctionModem,    // the AT modem (atmodem.h), CDC class requests
    PhoneFunctionLoopBack, // every bulk-out byte comes back on bulk-in
};

// CDC class requests and SERIAL_STATE bits.
#define PHONE_SET_LINE_CODING 0x20
#define PHONE_GET_LINE_CODING 0x21
#define PHONE_SET_CONTROL_LINE_STATE 0x22
#define PHONE_SEND_BREAK 0x23
#define PHONE_SERIAL_STATE_BYTES 10

// The DDK's 32-bit sizes of the requests the phone reads; Hdr.Length must be
// at least this (a 64-bit host's layouts are larger, either is accepted).
#define PHONE_X86_TRANSFER_LENGTH 72
#define PHONE_X86_PIPE_REQUEST_LENGTH 24
#define PHONE_X86_CLASS_REQUEST_LENGTH 80

// A loop-back holds at most this much for the host before it NAKs bulk-out.
#define PHONE_LOOPBACK_LIMIT 16384

enum PHONE_XFER_TYPE { PhoneXferTransfer, PhoneXferAbort, PhoneXferReset, PhoneXferClass, PhoneXferRefused };

typedef struct _PHONE_SETUP {
    UCHAR bmRequestType;
    UCHAR bRequest;
    USHORT wValue;
    USHORT wIndex;
    USHORT wLength;
} PHONE_SETUP;

// One request from submission to completion. The host glue embeds it in its
// own record; the phone never allocates one.
typedef struct _PHONE_XFER {
    struct _PHONE_XFER* Next;     // its endpoint's queue, or the done list
    struct _PHONE_XFER* LiveNext; // every request the phone holds
    const void* Irp;              // identities, for the double-submit check
    const void* Urb;
    ULONG Interface;
    UCHAR Type;                   // PHONE_XFER_TYPE
    UCHAR Pipe;                   // PHONE_PIPE
    BOOLEAN In;
    BOOLEAN ShortOk;
    BOOLEAN AtOnce;               // decided inside the submit: complete in the call
    USHORT Function;              // the URB function
    PUCHAR Buffer;
    ULONG Length;                 // the buffer's size as the caller gave it
    ULONG Done;                   // bytes moved so far
    LONGLONG NotBefore;
    PHONE_SETUP Setup;
    NTSTATUS Status;              // STATUS_PENDING until decided
    LONG Usbd;
    ULONG Reported;               // TransferBufferLength to report
    const char* Why;              // a refusal's reason
} PHONE_XFER;

// One queued IN packet, or a run of full packets (only a short or empty
// packet ends a transfer, so the boundaries inside such a run change nothing).
typedef struct _PHONE_PACKET {
    struct _PHONE_PACKET* Next;
    ULONG Length;
    ULONG Offset;                 // taken so far
    ULONGLONG After;              // leaves only once bulk-in has sent this many bytes
    UCHAR Data[1];
} PHONE_PACKET;

// The fault plan of one endpoint, by kind. Each applies to a transfer once
// `Skip` transfers have completed on the endpoint since it was armed, and hits
// `Count` transfers (0: every one until cleared).
enum PHONE_FAULT_KIND {
    PhoneFaultUnplug,    // the phone is pulled as the transfer is served
    PhoneFaultStall,     // USBD_STATUS_STALL_PID; a data endpoint halts until reset
    PhoneFaultError,     // Status/Usbd; Halt also halts the endpoint
    PhoneFaultBabble,    // IN: Value bytes past the buffer; the endpoint halts
    PhoneFaultShort,     // IN: ends after at most Value bytes; OUT: takes Value bytes
    PhoneFaultOverstate, // TransferBufferLength reported Value bytes too large
    PhoneFaultKinds
};

typedef struct _PHONE_FAULT {
    BOOLEAN Armed;
    BOOLEAN Halt;
    ULONG Skip;
    ULONG Count;
    NTSTATUS Status;
    LONG Usbd;
    ULONG Value;
} PHONE_FAULT;

typedef struct _PHONE_ENDPOINT {
    UCHAR Pipe;
    ULONG MaxPacket;
    PHONE_XFER* Head;             // transfers waiting, oldest first
    PHONE_XFER* Tail;
    PHONE_PACKET* First;          // IN: what the device has ready
    PHONE_PACKET* Last;
    ULONGLONG BytesQueued;        // IN: ever queued, ever sent
    ULONGLONG BytesSent;
    BOOLEAN Nak;                  // OUT: the device takes nothing
    BOOLEAN Halted;
    BOOLEAN AtOnce;               // requests complete inside the submit when they can
    ULONG DelayMs;
    ULONG Resets;
    ULONG Aborts;
    PHONE_FAULT Fault[PhoneFaultKinds];
} PHONE_ENDPOINT;

typedef struct _PHONE_INTERFACE {
    ULONG Number;
    UCHAR Function;               // PHONE_FUNCTION
    BOOLEAN Cdc;                  // answers the CDC class requests
    BOOLEAN Removed;              // its PDO saw a removal and was not started since
    BOOLEAN Suspended;            // not in D0: nothing moves
    ULONG_PTR Handles[3];         // bulk-in, bulk-out, interrupt-in; 0: none given out
    PHONE_ENDPOINT Ep[PHONE_PIPES];
    UCHAR LineCoding[7];
    USHORT ControlLines;
    ULONG Breaks;
    ATMODEM Modem;                // PhoneFunctionModem only
} PHONE_INTERFACE;

// What the phone needs from its host. Alloc/Free: IN packets (nonpaged: the
// phone runs at DISPATCH_LEVEL). Claim: takes a queued request from
// cancellation, FALSE when its cancel routine already runs (it will call
// PhoneCancel). Park: a request stays queued, cancellable again; FALSE when it
// was cancelled meanwhile (the phone then ends it as cancelled). Received:
// bytes the host wrote that the phone took (for a record; may be NULL).
typedef struct _PHONE_HOST {
    void* Context;
    void* (*Alloc)(void* Context, ULONG Bytes);
    void (*Free)(void* Context, void* Memory);
    BOOLEAN (*Claim)(void* Context, PHONE_XFER* Xfer);
    BOOLEAN (*Park)(void* Context, PHONE_XFER* Xfer);
    void (*Received)(void* Context, ULONG Interface, const UCHAR* Data, ULONG Length);
} PHONE_HOST;

typedef struct _PHONE {
    PHONE_HOST Host;
    ULONG InterfaceCount;
    BOOLEAN Plugged;
    BOOLEAN UnplugPending;        // a fault pulled the phone; the glue tells Plug and Play
    PHONE_XFER* Live;
    PHONE_XFER* DoneHead;
    PHONE_XFER* DoneTail;
    ULONG Dropped;                // IN bytes lost for want of memory
    PHONE_INTERFACE Interface[PHONE_MAX_INTERFACES];
} PHONE, *PPHONE;

// What PhoneCheckUrb concluded.
enum PHONE_URB_VERDICT {
    PhoneUrbAccepted,
    PhoneUrbRefused,      // Status/Usbd/Why set; complete it so
    PhoneUrbMdl,          // the data stage is an MDL: not carried by this phone
    PhoneUrbIrpPending,   // the IRP is already pending here (Windows stops the machine)
    PhoneUrbUrbPending,   // the URB is still pending here with another IRP (likewise)
};

// ---- the phone
void PhoneInit(PPHONE Phone, const PHONE_HOST* Host);
// Adds an interface (numbered in order). Max packet sizes: bulk, interrupt.
PHONE_INTERFACE* PhoneAddInterface(PPHONE Phone, int Function, BOOLEAN Cdc, ULONG BulkMaxPacket,
                                   ULONG InterruptMaxPacket, LONGLONG Now);
// Frees what the phone holds (its IN packets). Nothing may be queued.
void PhoneFree(PPHONE Phone);
// Pulls the phone: every waiting request fails as gone.
void PhoneUnplug(PPHONE Phone);
// Removal, suspend: every request waiting on an interface ends so.
void PhoneRetireInterface(PPHONE Phone, PHONE_INTERFACE* Ifc, NTSTATUS Status, LONG Usbd);

// ---- one request
enum PHONE_URB_VERDICT PhoneCheckUrb(PPHONE Phone, PHONE_INTERFACE* Ifc, const void* Irp, PURB Urb,
                                     PHONE_XFER* Xfer);
// After an accepted or refused check: TRUE when the request waits on its
// endpoint (the glue marks it pending and parks it); FALSE when it is decided,
// on the done list or, with Xfer->AtOnce, for the glue to complete at once.
BOOLEAN PhoneSubmit(PPHONE Phone, PHONE_INTERFACE* Ifc, PHONE_XFER* Xfer, LONGLONG Now);
// The glue's cancel routine: takes the request out (wherever it waits).
void PhoneCancel(PPHONE Phone, PHONE_XFER* Xfer);
// The glue completes the request now: the phone forgets it.
void PhoneRelease(PPHONE Phone, PHONE_XFER* Xfer);
PHONE_XFER* PhoneTakeDone(PPHONE Phone);
// The outcome into the URB the caller gave.
void PhoneFinishUrb(const PHONE_XFER* Xfer, PURB Urb);
// Requests the phone holds for one pipe of an interface.
ULONG PhoneOutstanding(const PHONE* Phone, const PHONE_INTERFACE* Ifc, int Pipe);

// ---- the frame tick: serves every queue, lets the functions answer. TRUE
// when *Wake holds the time it next needs a tick by.
BOOLEAN PhoneRun(PPHONE Phone, LONGLONG Now, LONGLONG* Wake);

// ---- device to host
// Bytes as the device sends them: packets of PacketSize (0: the max packet
// size), then a zero-length packet when Terminate and the last one was full.
void PhoneQueueIn(PPHONE Phone, PHONE_INTERFACE* Ifc, int Pipe, const UCHAR* Data, ULONG Length,
                  ULONG PacketSize, BOOLEAN Terminate);
// One packet exactly as given (Length 0: a zero-length packet).
void PhoneQueuePacket(PPHONE Phone, PHONE_INTERFACE* Ifc, int Pipe, const UCHAR* Data, ULONG Length);
void PhoneSerialStatePacket(ULONG Number, USHORT UartState, UCHAR Packet[PHONE_SERIAL_STATE_BYTES]);
ULONG PhoneQueuedBytes(const PHONE_INTERFACE* Ifc, int Pipe);
// After a change to the modem's record from outside: queue what it produced.
void PhoneRunModem(PPHONE Phone, PHONE_INTERFACE* Ifc, LONGLONG Now);

// ---- the fault plan
void PhoneArmFault(PHONE_INTERFACE* Ifc, int Pipe, int Kind, const PHONE_FAULT* Fault);
void PhoneClearFaults(PHONE_INTERFACE* Ifc, int Pipe);
