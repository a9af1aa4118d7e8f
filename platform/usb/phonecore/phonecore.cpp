// The phone's USB function: URB checks, endpoint queues, packetisation, the
// fault plan, CDC class requests and the functions behind the pipes. See
// phonecore.h for who calls what.
#include "platform/usb/phonecore/phonecore.h"

namespace {

const LONGLONG kMs = 10000; // 100 ns units in a millisecond (a USB frame)

// ---------------------------------------------------------------- lists

void Append(PHONE_XFER** head, PHONE_XFER** tail, PHONE_XFER* x) {
    x->Next = NULL;
    if (*tail != NULL)
        (*tail)->Next = x;
    else
        *head = x;
    *tail = x;
}

BOOLEAN Unlink(PHONE_XFER** head, PHONE_XFER** tail, PHONE_XFER* x) {
    PHONE_XFER* prev = NULL;
    for (PHONE_XFER* p = *head; p != NULL; prev = p, p = p->Next) {
        if (p != x)
            continue;
        if (prev != NULL)
            prev->Next = p->Next;
        else
            *head = p->Next;
        if (*tail == p)
            *tail = prev;
        p->Next = NULL;
        return TRUE;
    }
    return FALSE;
}

void Decide(PPHONE phone, PHONE_XFER* x, NTSTATUS status, LONG usbd, ULONG reported) {
    x->Status = status;
    x->Usbd = usbd;
    x->Reported = reported;
    if (!x->AtOnce)
        Append(&phone->DoneHead, &phone->DoneTail, x);
}

// Ends every request waiting on one pipe whose cancel routine can still be
// claimed; one whose cancellation already runs is left for PhoneCancel.
void RetirePipe(PPHONE phone, PHONE_ENDPOINT* ep, NTSTATUS status, LONG usbd) {
    PHONE_XFER* x = ep->Head;
    while (x != NULL) {
        PHONE_XFER* next = x->Next;
        if (phone->Host.Claim(phone->Host.Context, x)) {
            Unlink(&ep->Head, &ep->Tail, x);
            Decide(phone, x, status, usbd, x->Done);
        }
        x = next;
    }
}

// ---------------------------------------------------------------- IN packets

PHONE_PACKET* NewPacket(PPHONE phone, const UCHAR* data, ULONG length) {
    auto* p = static_cast<PHONE_PACKET*>(
        phone->Host.Alloc(phone->Host.Context, sizeof(PHONE_PACKET) + length));
    if (p == NULL) {
        phone->Dropped += length;
        return NULL;
    }
    p->Next = NULL;
    p->Length = length;
    p->Offset = 0;
    p->After = 0;
    if (length != 0)
        RtlCopyMemory(p->Data, data, length);
    return p;
}

void AppendPacket(PHONE_ENDPOINT* ep, PHONE_PACKET* p) {
    if (p == NULL)
        return;
    if (ep->Last != NULL)
        ep->Last->Next = p;
    else
        ep->First = p;
    ep->Last = p;
    ep->BytesQueued += p->Length;
}

void DropHead(PPHONE phone, PHONE_ENDPOINT* ep) {
    PHONE_PACKET* p = ep->First;
    ep->First = p->Next;
    if (ep->First == NULL)
        ep->Last = NULL;
    phone->Host.Free(phone->Host.Context, p);
}

// The head packet, unless it must wait for bulk-in bytes produced before it.
PHONE_PACKET* Ready(const PHONE_INTERFACE* ifc, const PHONE_ENDPOINT* ep) {
    PHONE_PACKET* p = ep->First;
    if (p != NULL && p->After > ifc->Ep[PhoneBulkIn].BytesSent)
        return NULL;
    return p;
}

// Moves up to `room` bytes of the head packet into the transfer. TRUE when
// that emptied a short (or empty) packet, which ends the transfer.
BOOLEAN TakeFromHead(PPHONE phone, PHONE_ENDPOINT* ep, PHONE_XFER* x, ULONG room) {
    PHONE_PACKET* head = ep->First;
    ULONG n = head->Length - head->Offset;
    if (n > room - x->Done)
        n = room - x->Done;
    if (n != 0)
        RtlCopyMemory(x->Buffer + x->Done, head->Data + head->Offset, n);
    x->Done += n;
    head->Offset += n;
    ep->BytesSent += n;
    if (head->Offset < head->Length)
        return FALSE;
    BOOLEAN shortPacket = head->Length < ep->MaxPacket;
    DropHead(phone, ep);
    return shortPacket;
}

// ---------------------------------------------------------------- the fault plan

// The armed fault of this kind that applies to the transfer served now.
PHONE_FAULT* Due(PHONE_ENDPOINT* ep, int kind) {
    PHONE_FAULT* f = &ep->Fault[kind];
    return f->Armed && f->Skip == 0 ? f : NULL;
}

void Spend(PHONE_FAULT* f) {
    if (f->Count != 0 && --f->Count == 0)
        f->Armed = FALSE;
}

// A transfer completed: faults waiting for their turn count it.
void CountTransfer(PHONE_ENDPOINT* ep) {
    for (int k = 0; k < PhoneFaultKinds; ++k)
        if (ep->Fault[k].Armed && ep->Fault[k].Skip != 0)
            ep->Fault[k].Skip--;
}

void Halt(PHONE_ENDPOINT* ep) {
    // A stall on the default pipe ends that request only; a data endpoint
    // stays halted until the host resets it.
    if (ep->Pipe != PhoneControl)
        ep->Halted = TRUE;
}

void Fail(PHONE_XFER* x, NTSTATUS status, LONG usbd) {
    x->Status = status;
    x->Usbd = usbd;
    x->Reported = x->Done;
}

// The faults that decide a transfer before any data moves. TRUE when x is
// decided.
BOOLEAN ServeFaults(PPHONE phone, PHONE_ENDPOINT* ep, PHONE_XFER* x) {
    PHONE_FAULT* f;
    if ((f = Due(ep, PhoneFaultUnplug)) != NULL) {
        Spend(f);
        phone->UnplugPending = TRUE;
        Fail(x, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        return TRUE;
    }
    if (ep->Halted) {
        Fail(x, STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED);
        return TRUE;
    }
    if ((f = Due(ep, PhoneFaultStall)) != NULL) {
        Spend(f);
        Halt(ep);
        Fail(x, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
        return TRUE;
    }
    if ((f = Due(ep, PhoneFaultError)) != NULL) {
        Spend(f);
        if (f->Halt)
            Halt(ep);
        Fail(x, f->Status, f->Usbd);
        return TRUE;
    }
    return FALSE;
}

void Overstate(PHONE_ENDPOINT* ep, PHONE_XFER* x) {
    PHONE_FAULT* f = Due(ep, PhoneFaultOverstate);
    if (f == NULL)
        return;
    // A lying bus: the length is reported larger, nothing is written past the buffer.
    x->Reported = x->Length + f->Value;
    Spend(f);
}

// ---------------------------------------------------------------- serving one transfer

// The device sends past the buffer: the host controller keeps what fits,
// drops the rest, fails the transfer and the endpoint halts.
void Babble(PPHONE phone, const PHONE_INTERFACE* ifc, PHONE_ENDPOINT* ep, PHONE_XFER* x) {
    while (x->Done < x->Length) {
        if (Ready(ifc, ep) == NULL)
            x->Buffer[x->Done++] = 0xBB;
        else
            TakeFromHead(phone, ep, x, x->Length);
    }
    ep->Halted = TRUE;
    Fail(x, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_BUFFER_OVERRUN);
}

// TRUE when the transfer is decided. A transfer ends on a short packet, a
// zero-length packet, or a full buffer; never filled beyond its buffer.
BOOLEAN ServeIn(PPHONE phone, const PHONE_INTERFACE* ifc, PHONE_ENDPOINT* ep, PHONE_XFER* x) {
    PHONE_FAULT* f;
    if ((f = Due(ep, PhoneFaultBabble)) != NULL) {
        Spend(f);
        Babble(phone, ifc, ep, x);
        return TRUE;
    }
    BOOLEAN ended = FALSE;
    ULONG room = x->Length;
    if ((f = Due(ep, PhoneFaultShort)) != NULL) {
        // Ends now, with whatever is there up to the limit.
        room = f->Value < x->Length ? f->Value : x->Length;
        Spend(f);
        ended = TRUE;
    }
    while (x->Done < room && Ready(ifc, ep) != NULL && ep->First->Length != 0) {
        if (TakeFromHead(phone, ep, x, room)) {
            ended = TRUE;
            break;
        }
    }
    // A zero-length packet waiting at the head ends a transfer that has
    // data, or stands as a transfer of its own.
    if (!ended && x->Done < room && Ready(ifc, ep) != NULL && ep->First->Length == 0) {
        DropHead(phone, ep);
        ended = TRUE;
    }
    if (!ended && x->Done < x->Length)
        return FALSE;
    x->Reported = x->Done;
    if (x->Done < x->Length && !x->ShortOk)
        Fail(x, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER);
    else
        Fail(x, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    Overstate(ep, x);
    return TRUE;
}

BOOLEAN ServeOut(const PHONE_INTERFACE* ifc, PHONE_ENDPOINT* ep, PHONE_XFER* x) {
    // A device NAKs what it cannot take: the loop-back while it holds a full
    // buffer for the host.
    ULONG held = PhoneQueuedBytes(ifc, PhoneBulkIn);
    if (ep->Nak || (ifc->Function == PhoneFunctionLoopBack && held != 0 &&
                    held + x->Length > PHONE_LOOPBACK_LIMIT))
        return FALSE;
    ULONG accepted = x->Length;
    PHONE_FAULT* f;
    if ((f = Due(ep, PhoneFaultShort)) != NULL) {
        accepted = f->Value < x->Length ? f->Value : x->Length;
        Spend(f);
    }
    x->Done = accepted;
    Fail(x, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    Overstate(ep, x);
    return TRUE;
}

// ---------------------------------------------------------------- the functions

unsigned long long ModemMs(LONGLONG now) { return (unsigned long long)(now / kMs); }

void QueueSerialState(PPHONE phone, PHONE_INTERFACE* ifc, USHORT state) {
    UCHAR packet[PHONE_SERIAL_STATE_BYTES];
    PhoneSerialStatePacket(ifc->Number, state, packet);
    PHONE_PACKET* p = NewPacket(phone, packet, sizeof packet);
    if (p == NULL)
        return;
    // Events leave the phone in the order it made them: a line change waits
    // until the bytes the modem sent before it (the echo, "CONNECT") are out.
    p->After = ifc->Ep[PhoneBulkIn].BytesQueued;
    AppendPacket(&ifc->Ep[PhoneInterruptIn], p);
}

// The host's bytes reach the function behind bulk-out.
void Deliver(PPHONE phone, PHONE_INTERFACE* ifc, const PHONE_XFER* x, LONGLONG now) {
    if (x->Buffer == NULL || x->Done == 0)
        return;
    if (phone->Host.Received != NULL)
        phone->Host.Received(phone->Host.Context, ifc->Number, x->Buffer, x->Done);
    if (ifc->Function == PhoneFunctionLoopBack) {
        PhoneQueueIn(phone, ifc, PhoneBulkIn, x->Buffer, x->Done, 0, TRUE);
        return;
    }
    if (ifc->Function != PhoneFunctionModem)
        return;
    // In pieces, draining between them, so that the modem's fixed output
    // buffer never has to hold the answer to more than one piece.
    const ULONG piece = 1024;
    for (ULONG offset = 0; offset < x->Done; offset += piece) {
        ULONG n = x->Done - offset < piece ? x->Done - offset : piece;
        AtModemInput(&ifc->Modem, x->Buffer + offset, n, ModemMs(now));
        PhoneRunModem(phone, ifc, now);
    }
}

// The CDC requests of a CDC interface. Anything else, or a request of the
// wrong shape, is stalled as a device stalls what it does not understand.
BOOLEAN ServeClassRequest(PHONE_INTERFACE* ifc, PHONE_XFER* x, LONGLONG now) {
    const PHONE_SETUP* s = &x->Setup;
    BOOLEAN out = (s->bmRequestType & 0x80) == 0;
    if (!ifc->Cdc)
        return FALSE;
    switch (s->bRequest) {
    case PHONE_SET_LINE_CODING:
        if (!out || x->Length != 7 || x->Buffer == NULL)
            return FALSE;
        RtlCopyMemory(ifc->LineCoding, x->Buffer, 7);
        if (ifc->Function == PhoneFunctionModem)
            AtModemSetLineCoding(&ifc->Modem, ifc->LineCoding);
        x->Done = 7;
        return TRUE;
    case PHONE_GET_LINE_CODING:
        if (out || x->Length < 7 || x->Buffer == NULL)
            return FALSE;
        RtlCopyMemory(x->Buffer, ifc->LineCoding, 7);
        x->Done = 7;
        return TRUE;
    case PHONE_SET_CONTROL_LINE_STATE:
        if (!out || x->Length != 0)
            return FALSE;
        ifc->ControlLines = s->wValue;
        if (ifc->Function == PhoneFunctionModem)
            AtModemSetControlLines(&ifc->Modem, s->wValue, ModemMs(now));
        return TRUE;
    case PHONE_SEND_BREAK:
        if (!out || x->Length != 0)
            return FALSE;
        ifc->Breaks++;
        return TRUE;
    default:
        return FALSE;
    }
}

void ServeClass(PHONE_INTERFACE* ifc, PHONE_XFER* x, LONGLONG now) {
    if (ServeClassRequest(ifc, x, now))
        Fail(x, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    else
        Fail(x, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
}

// TRUE when x is decided (its outcome in x); FALSE: it waits.
BOOLEAN Serve(PPHONE phone, PHONE_INTERFACE* ifc, PHONE_ENDPOINT* ep, PHONE_XFER* x,
              LONGLONG now) {
    if (x->NotBefore > now)
        return FALSE;
    if (ServeFaults(phone, ep, x))
        return TRUE;
    if (x->Type == PhoneXferClass) {
        ServeClass(ifc, x, now);
        return TRUE;
    }
    if (x->In)
        return ServeIn(phone, ifc, ep, x);
    if (!ServeOut(ifc, ep, x))
        return FALSE;
    Deliver(phone, ifc, x, now);
    return TRUE;
}

// Serves the transfers waiting on one endpoint, oldest first (an endpoint is
// a FIFO). Lowers *wake to when a delayed one is due.
void ServeEndpoint(PPHONE phone, PHONE_INTERFACE* ifc, PHONE_ENDPOINT* ep, LONGLONG now,
                   LONGLONG* wake) {
    while (ep->Head != NULL && !phone->UnplugPending) {
        PHONE_XFER* x = ep->Head;
        if (x->NotBefore > now) {
            if (*wake == 0 || x->NotBefore < *wake)
                *wake = x->NotBefore;
            return;
        }
        // Claim the request from cancellation before moving data.
        if (!phone->Host.Claim(phone->Host.Context, x))
            return; // being cancelled; PhoneCancel takes it out
        if (!Serve(phone, ifc, ep, x, now)) {
            if (phone->Host.Park(phone->Host.Context, x))
                return;
            Unlink(&ep->Head, &ep->Tail, x);
            Decide(phone, x, STATUS_CANCELLED, USBD_STATUS_CANCELED, x->Done);
            continue;
        }
        Unlink(&ep->Head, &ep->Tail, x);
        CountTransfer(ep);
        Decide(phone, x, x->Status, x->Usbd, x->Reported);
    }
}

// Looks a pipe handle up among the interface's. Zero is nobody's.
BOOLEAN ResolvePipe(const PHONE_INTERFACE* ifc, USBD_PIPE_HANDLE handle, UCHAR* pipe) {
    ULONG_PTR value = (ULONG_PTR)handle;
    for (UCHAR p = 0; p < 3; ++p) {
        if (value != 0 && ifc->Handles[p] == value) {
            *pipe = p;
            return TRUE;
        }
    }
    return FALSE;
}

enum PHONE_URB_VERDICT Refuse(PHONE_XFER* x, LONG usbd, const char* why) {
    x->Status = STATUS_INVALID_PARAMETER;
    x->Usbd = usbd;
    x->Why = why;
    return PhoneUrbRefused;
}

enum PHONE_URB_VERDICT CheckTransfer(const PHONE_INTERFACE* ifc, PURB urb, PHONE_XFER* x) {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* t = &urb->UrbBulkOrInterruptTransfer;
    x->Type = PhoneXferTransfer;
    if (urb->UrbHeader.Length < PHONE_X86_TRANSFER_LENGTH)
        return Refuse(x, USBD_STATUS_INVALID_PARAMETER, "a transfer URB with a short Hdr.Length");
    if (!ResolvePipe(ifc, t->PipeHandle, &x->Pipe))
        return Refuse(x, USBD_STATUS_INVALID_PIPE_HANDLE,
                      "a transfer on a pipe handle this interface never gave out");
    if (t->TransferBuffer == NULL && t->TransferBufferMDL != NULL)
        return PhoneUrbMdl;
    if (t->TransferBuffer == NULL && t->TransferBufferLength != 0)
        return Refuse(x, USBD_STATUS_INVALID_PARAMETER, "a transfer with no buffer");
    x->In = USBD_TRANSFER_DIRECTION(t->TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
    if (x->In != (x->Pipe != PhoneBulkOut))
        return Refuse(x, USBD_STATUS_INVALID_PARAMETER,
                      "a transfer whose direction flag contradicts its pipe");
    x->ShortOk = (t->TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    x->Buffer = (PUCHAR)t->TransferBuffer;
    x->Length = t->TransferBufferLength;
    return PhoneUrbAccepted;
}

enum PHONE_URB_VERDICT CheckPipeRequest(const PHONE_INTERFACE* ifc, PURB urb, PHONE_XFER* x) {
    x->Type = urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE ? PhoneXferAbort : PhoneXferReset;
    if (urb->UrbHeader.Length < PHONE_X86_PIPE_REQUEST_LENGTH)
        return Refuse(x, USBD_STATUS_INVALID_PARAMETER, "a pipe request URB with a short Hdr.Length");
    if (!ResolvePipe(ifc, urb->UrbPipeRequest.PipeHandle, &x->Pipe))
        return Refuse(x, USBD_STATUS_INVALID_PIPE_HANDLE,
                      "an abort or reset of a pipe handle this interface never gave out");
    return PhoneUrbAccepted;
}

enum PHONE_URB_VERDICT CheckClass(PURB urb, PHONE_XFER* x) {
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* c = &urb->UrbControlVendorClassRequest;
    x->Type = PhoneXferClass;
    x->Pipe = PhoneControl;
    if (urb->UrbHeader.Length < PHONE_X86_CLASS_REQUEST_LENGTH)
        return Refuse(x, USBD_STATUS_INVALID_PARAMETER, "a class request URB with a short Hdr.Length");
    if (c->TransferBuffer == NULL && c->TransferBufferMDL != NULL)
        return PhoneUrbMdl;
    if (c->TransferBuffer == NULL && c->TransferBufferLength != 0)
        return Refuse(x, USBD_STATUS_INVALID_PARAMETER, "a class request with a data stage but no buffer");
    x->In = USBD_TRANSFER_DIRECTION(c->TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
    x->ShortOk = (c->TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    x->Buffer = (PUCHAR)c->TransferBuffer;
    x->Length = c->TransferBufferLength;
    // Class, recipient interface, and the direction; the reserved bits the
    // caller gives are ORed in as the DDK documents.
    x->Setup.bmRequestType = (UCHAR)((x->In ? 0x80 : 0x00) | 0x21 | c->RequestTypeReservedBits);
    x->Setup.bRequest = c->Request;
    x->Setup.wValue = c->Value;
    x->Setup.wIndex = c->Index;
    x->Setup.wLength = (USHORT)c->TransferBufferLength;
    return PhoneUrbAccepted;
}

// The request an abort or reset stands for, decided at once.
void SubmitPipeRequest(PPHONE phone, PHONE_INTERFACE* ifc, PHONE_XFER* x, BOOLEAN gone) {
    PHONE_ENDPOINT* ep = &ifc->Ep[x->Pipe];
    x->AtOnce = ep->AtOnce;
    if (x->Type == PhoneXferAbort) {
        // Everything queued before it fails as cancelled, as Windows ends
        // the transfers of an aborted pipe.
        ep->Aborts++;
        RetirePipe(phone, ep, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    } else {
        ep->Resets++;
        if (!gone)
            ep->Halted = FALSE;
    }
    if (gone)
        Decide(phone, x, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0);
    else
        Decide(phone, x, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0);
}

} // namespace

// ================================================================ the phone

void PhoneInit(PPHONE Phone, const PHONE_HOST* Host) {
    RtlZeroMemory(Phone, sizeof *Phone);
    Phone->Host = *Host;
    Phone->Plugged = TRUE;
}

PHONE_INTERFACE* PhoneAddInterface(PPHONE Phone, int Function, BOOLEAN Cdc, ULONG BulkMaxPacket,
                                   ULONG InterruptMaxPacket, LONGLONG Now) {
    if (Phone->InterfaceCount == PHONE_MAX_INTERFACES)
        return NULL;
    PHONE_INTERFACE* ifc = &Phone->Interface[Phone->InterfaceCount];
    ifc->Number = Phone->InterfaceCount++;
    ifc->Function = (UCHAR)Function;
    ifc->Cdc = Cdc;
    for (UCHAR p = 0; p < PHONE_PIPES; ++p) {
        ifc->Ep[p].Pipe = p;
        ifc->Ep[p].MaxPacket = p == PhoneInterruptIn ? InterruptMaxPacket
                               : p == PhoneControl   ? 64
                                                     : BulkMaxPacket;
    }
    if (Function == PhoneFunctionModem) {
        AtModemInit(&ifc->Modem);
        // Powered from the start: its first notification (DSR) waits on the
        // interrupt pipe for the host's first status transfer.
        PhoneRunModem(Phone, ifc, Now);
    }
    return ifc;
}

void PhoneFree(PPHONE Phone) {
    for (ULONG i = 0; i < Phone->InterfaceCount; ++i)
        for (int p = 0; p < PHONE_PIPES; ++p)
            while (Phone->Interface[i].Ep[p].First != NULL)
                DropHead(Phone, &Phone->Interface[i].Ep[p]);
}

void PhoneRetireInterface(PPHONE Phone, PHONE_INTERFACE* Ifc, NTSTATUS Status, LONG Usbd) {
    for (int p = 0; p < PHONE_PIPES; ++p)
        RetirePipe(Phone, &Ifc->Ep[p], Status, Usbd);
}

void PhoneUnplug(PPHONE Phone) {
    Phone->Plugged = FALSE;
    for (ULONG i = 0; i < Phone->InterfaceCount; ++i)
        PhoneRetireInterface(Phone, &Phone->Interface[i], STATUS_DEVICE_NOT_CONNECTED,
                             USBD_STATUS_DEVICE_GONE);
}

// ================================================================ one request

enum PHONE_URB_VERDICT PhoneCheckUrb(PPHONE Phone, PHONE_INTERFACE* Ifc, const void* Irp, PURB Urb,
                                     PHONE_XFER* Xfer) {
    RtlZeroMemory(Xfer, sizeof *Xfer);
    Xfer->Irp = Irp;
    Xfer->Urb = Urb;
    Xfer->Interface = Ifc->Number;
    Xfer->Pipe = PhoneControl;
    Xfer->Function = Urb->UrbHeader.Function;
    Xfer->Status = STATUS_PENDING;
    Xfer->Usbd = USBD_STATUS_PENDING;
    // A request still pending here cannot be sent again: Windows stops the
    // machine (BUGCODE_USB_DRIVER) rather than corrupt its schedule. For a
    // URB, Xfer->Irp becomes the IRP it is pending with.
    for (PHONE_XFER* live = Phone->Live; live != NULL; live = live->LiveNext) {
        if (live->Irp == Irp)
            return PhoneUrbIrpPending;
        if (live->Urb == Urb) {
            Xfer->Irp = live->Irp;
            return PhoneUrbUrbPending;
        }
    }
    switch (Urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return CheckTransfer(Ifc, Urb, Xfer);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE:
        return CheckPipeRequest(Ifc, Urb, Xfer);
    case URB_FUNCTION_CLASS_INTERFACE:
        return CheckClass(Urb, Xfer);
    default:
        // Windows's USB stack fails a function it does not serve with
        // USBD_STATUS_INVALID_URB_FUNCTION, which it turns into
        // STATUS_INVALID_PARAMETER for the IRP.
        Xfer->Type = PhoneXferRefused;
        return Refuse(Xfer, USBD_STATUS_INVALID_URB_FUNCTION, "a URB function this phone's bus does not serve");
    }
}

BOOLEAN PhoneSubmit(PPHONE Phone, PHONE_INTERFACE* Ifc, PHONE_XFER* Xfer, LONGLONG Now) {
    PHONE_ENDPOINT* ep = &Ifc->Ep[Xfer->Pipe];
    BOOLEAN gone = !Phone->Plugged || Ifc->Removed;
    Xfer->LiveNext = Phone->Live;
    Phone->Live = Xfer;
    if (Xfer->Status != STATUS_PENDING) { // refused
        Decide(Phone, Xfer, Xfer->Status, Xfer->Usbd, 0);
        return FALSE;
    }
    if (Xfer->Type == PhoneXferAbort || Xfer->Type == PhoneXferReset) {
        SubmitPipeRequest(Phone, Ifc, Xfer, gone);
        return FALSE;
    }
    Xfer->NotBefore = Now + (LONGLONG)ep->DelayMs * kMs;
    if (gone) {
        Decide(Phone, Xfer, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0);
        return FALSE;
    }
    if (ep->AtOnce && ep->Head == NULL && !Ifc->Suspended && Serve(Phone, Ifc, ep, Xfer, Now)) {
        // The fault "complete at once": decided inside the call.
        Xfer->AtOnce = TRUE;
        CountTransfer(ep);
        Decide(Phone, Xfer, Xfer->Status, Xfer->Usbd, Xfer->Reported);
        return FALSE;
    }
    Append(&ep->Head, &ep->Tail, Xfer);
    return TRUE;
}

void PhoneCancel(PPHONE Phone, PHONE_XFER* Xfer) {
    PHONE_ENDPOINT* ep = &Phone->Interface[Xfer->Interface].Ep[Xfer->Pipe];
    Unlink(&ep->Head, &ep->Tail, Xfer);
    Xfer->Status = STATUS_CANCELLED;
    Xfer->Usbd = USBD_STATUS_CANCELED;
    Xfer->Reported = Xfer->Done;
}

void PhoneRelease(PPHONE Phone, PHONE_XFER* Xfer) {
    for (PHONE_XFER** at = &Phone->Live; *at != NULL; at = &(*at)->LiveNext) {
        if (*at == Xfer) {
            *at = Xfer->LiveNext;
            break;
        }
    }
    Xfer->LiveNext = NULL;
}

PHONE_XFER* PhoneTakeDone(PPHONE Phone) {
    PHONE_XFER* x = Phone->DoneHead;
    if (x != NULL)
        Unlink(&Phone->DoneHead, &Phone->DoneTail, x);
    return x;
}

void PhoneFinishUrb(const PHONE_XFER* Xfer, PURB Urb) {
    if (Urb == NULL)
        return;
    Urb->UrbHeader.Status = Xfer->Usbd;
    if (Xfer->Type == PhoneXferTransfer)
        Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = Xfer->Reported;
    else if (Xfer->Type == PhoneXferClass)
        Urb->UrbControlVendorClassRequest.TransferBufferLength = Xfer->Reported;
}

ULONG PhoneOutstanding(const PHONE* Phone, const PHONE_INTERFACE* Ifc, int Pipe) {
    ULONG count = 0;
    for (const PHONE_XFER* x = Phone->Live; x != NULL; x = x->LiveNext)
        if (x->Interface == Ifc->Number && x->Pipe == Pipe)
            ++count;
    return count;
}

// ================================================================ the frame tick

BOOLEAN PhoneRun(PPHONE Phone, LONGLONG Now, LONGLONG* Wake) {
    *Wake = 0;
    for (ULONG i = 0; i < Phone->InterfaceCount; ++i) {
        PHONE_INTERFACE* ifc = &Phone->Interface[i];
        if (ifc->Suspended)
            continue; // a suspended device moves nothing
        // What the host sends first, so that the answers it makes go out in
        // this frame, bytes before the line change that followed them.
        static const UCHAR order[PHONE_PIPES] = {PhoneBulkOut, PhoneControl, PhoneBulkIn,
                                                 PhoneInterruptIn};
        for (int k = 0; k < PHONE_PIPES; ++k) {
            if (order[k] == PhoneBulkIn)
                PhoneRunModem(Phone, ifc, Now); // what time did to the modem
            ServeEndpoint(Phone, ifc, &ifc->Ep[order[k]], Now, Wake);
        }
        if (ifc->Function == PhoneFunctionLoopBack && ifc->Ep[PhoneBulkOut].Head != NULL) {
            // A write the loop-back held back may fit in the room this
            // frame's reads made.
            ServeEndpoint(Phone, ifc, &ifc->Ep[PhoneBulkOut], Now, Wake);
            ServeEndpoint(Phone, ifc, &ifc->Ep[PhoneBulkIn], Now, Wake);
        }
        unsigned long long ms = 0;
        if (ifc->Function == PhoneFunctionModem && AtModemNextDeadline(&ifc->Modem, &ms)) {
            LONGLONG when = (LONGLONG)ms * kMs;
            if (*Wake == 0 || when < *Wake)
                *Wake = when;
        }
    }
    return *Wake != 0;
}

// ================================================================ device to host

void PhoneQueueIn(PPHONE Phone, PHONE_INTERFACE* Ifc, int Pipe, const UCHAR* Data, ULONG Length,
                  ULONG PacketSize, BOOLEAN Terminate) {
    PHONE_ENDPOINT* ep = &Ifc->Ep[Pipe];
    ULONG max = ep->MaxPacket;
    if (PacketSize == 0)
        PacketSize = max;
    ULONG offset = 0;
    BOOLEAN lastFull = FALSE;
    while (offset < Length) {
        ULONG n = Length - offset < PacketSize ? Length - offset : PacketSize;
        // Every full packet from here on as one run: one record, not one a packet.
        if (n == max)
            n = (Length - offset) / max * max;
        AppendPacket(ep, NewPacket(Phone, Data + offset, n));
        lastFull = n >= max;
        offset += n;
    }
    if (Terminate && lastFull)
        AppendPacket(ep, NewPacket(Phone, NULL, 0));
}

void PhoneQueuePacket(PPHONE Phone, PHONE_INTERFACE* Ifc, int Pipe, const UCHAR* Data, ULONG Length) {
    AppendPacket(&Ifc->Ep[Pipe], NewPacket(Phone, Data, Length));
}

void PhoneSerialStatePacket(ULONG Number, USHORT UartState, UCHAR Packet[PHONE_SERIAL_STATE_BYTES]) {
    Packet[0] = 0xA1; // class, interface, device to host
    Packet[1] = 0x20; // SERIAL_STATE
    Packet[2] = 0;
    Packet[3] = 0;
    Packet[4] = (UCHAR)(Number & 0xFF);
    Packet[5] = (UCHAR)((Number >> 8) & 0xFF);
    Packet[6] = 2;
    Packet[7] = 0;
    Packet[8] = (UCHAR)(UartState & 0xFF);
    Packet[9] = (UCHAR)(UartState >> 8);
}

ULONG PhoneQueuedBytes(const PHONE_INTERFACE* Ifc, int Pipe) {
    const PHONE_ENDPOINT* ep = &Ifc->Ep[Pipe];
    return (ULONG)(ep->BytesQueued - ep->BytesSent);
}

void PhoneRunModem(PPHONE Phone, PHONE_INTERFACE* Ifc, LONGLONG Now) {
    if (Ifc->Function != PhoneFunctionModem)
        return;
    ATMODEM* m = &Ifc->Modem;
    AtModemPoll(m, ModemMs(Now));
    // Output goes out as a device sends a burst: full packets, a short last
    // one, or a zero-length packet after a full last one.
    // Straight from the modem's buffer (its record is plain data), so that a
    // burst is packetised as one.
    if (m->OutLength != 0) {
        PhoneQueueIn(Phone, Ifc, PhoneBulkIn, m->Out, m->OutLength, 0, TRUE);
        m->OutLength = 0;
    }
    unsigned short state = 0;
    if (AtModemTakeLineState(m, &state))
        QueueSerialState(Phone, Ifc, state);
}

// ================================================================ the fault plan

void PhoneArmFault(PHONE_INTERFACE* Ifc, int Pipe, int Kind, const PHONE_FAULT* Fault) {
    PHONE_FAULT* f = &Ifc->Ep[Pipe].Fault[Kind];
    *f = *Fault;
    f->Armed = TRUE;
}

void PhoneClearFaults(PHONE_INTERFACE* Ifc, int Pipe) {
    PHONE_ENDPOINT* ep = &Ifc->Ep[Pipe];
    RtlZeroMemory(ep->Fault, sizeof ep->Fault);
    ep->DelayMs = 0;
    ep->AtOnce = FALSE;
}
