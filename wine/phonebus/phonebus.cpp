// vxphonebus.sys: the parent bus driver of the simulated phone, as a real
// kernel-mode driver. It stands where the USB hub and composite-device driver
// stand on a real machine: root-enumerated, it reports one physical device
// object per phone interface (modem, diagnostics) with the phone's USB
// hardware ids, keeps each interface's pipe handles in the PDO's extension
// where the port drivers take them, and serves the URBs the port drivers
// send. Behind the pipes is the same phone as in the host simulation: the AT
// modem of platform/usb/phonecore on the modem interface, a loop-back on the
// diagnostics interface.
//
// Transfers are never completed inside IofCallDriver: bulk-out data and
// whatever the phone has for a waiting bulk-in or interrupt-in transfer are
// handled by the bus's own thread (the "frame tick"), which completes at
// DISPATCH_LEVEL. A programme opens "\\.\VxPhoneBus" to unplug and plug the
// phone.
extern "C" {
#include <ntddk.h>
#include <usbdrivr.h>
}

#include "platform/usb/phonecore/atmodem.h"
#include "wine/phonebus/phonebus_ioctl.h"

extern "C" {
// Exported by ntoskrnl.exe, declared by no DDK header mingw ships: the old
// swprintf without a buffer size.
int __cdecl swprintf(wchar_t* Buffer, const wchar_t* Format, ...);
}

#define PHONEBUS_TAG 0x62507856 // "VxPb"

// Made-up ids of the simulated phone (platform/usb/bus.h's PhoneConfig).
#define PHONE_HW_BASE L"USB\\VID_FFF0&PID_7070"
#define PHONE_REVISION L"&REV_0100"
#define PHONE_SERIAL L"VX0001"

enum { InterfaceModem = 0, InterfaceDiag = 1, InterfaceCount = 2 };
enum { PipeBulkIn = 0, PipeBulkOut = 1, PipeInterrupt = 2, PipeCount = 3 };
enum { KindFdo = 0x46787056, KindPdo = 0x50787056, KindControl = 0x43787056 };

#define LOOP_BYTES 16384
#define STATE_PACKETS 8
#define STATE_PACKET_BYTES 10
#define TICK_MS 5

struct BUS_EXTENSION;

// The port drivers read the three pipe handles at byte offsets 12, 16 and 20
// of this record; nothing may move them.
struct PDO_EXTENSION {
    ULONG Kind;                  // 0
    PDEVICE_OBJECT Self;         // 4
    BUS_EXTENSION* Bus;          // 8
    ULONG BulkInHandle;          // 12
    ULONG BulkOutHandle;         // 16
    ULONG InterruptHandle;       // 20
    ULONG Number;                // interface number, 0 modem, 1 diagnostics
    BOOLEAN Present;             // still on the bus (guarded by the bus lock)
};
static_assert(__builtin_offsetof(PDO_EXTENSION, BulkInHandle) == 12, "bulk-in handle moved");
static_assert(__builtin_offsetof(PDO_EXTENSION, BulkOutHandle) == 16, "bulk-out handle moved");
static_assert(__builtin_offsetof(PDO_EXTENSION, InterruptHandle) == 20, "interrupt handle moved");

struct CONTROL_EXTENSION {
    ULONG Kind;
    BUS_EXTENSION* Bus;
};

struct BUS_EXTENSION {
    ULONG Kind;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT BusPdo;
    PDEVICE_OBJECT Control;

    KSPIN_LOCK Lock;             // guards everything below but the thread fields
    BOOLEAN Plugged;
    PDEVICE_OBJECT Child[InterfaceCount]; // PDOs reported in BusRelations
    LIST_ENTRY Pending[InterfaceCount][PipeCount];
    ATMODEM Modem;
    UCHAR Loop[LOOP_BYTES];      // diagnostics loop-back, bytes for bulk-in
    ULONG LoopHead;
    ULONG LoopCount;
    UCHAR State[STATE_PACKETS][STATE_PACKET_BYTES]; // SERIAL_STATE notifications
    ULONG StateCount;
    ULONG PdoCounter;
    VXPHONEBUS_STATUS Stats;
    // The port driver above each interface, seen when the interface starts;
    // kept after the interface is gone until that driver has been unloaded.
    PDRIVER_OBJECT FunctionDriver[InterfaceCount];

    // The frame tick thread and what it is asked to do.
    KEVENT Wake;
    KEVENT ThreadDone;
    BOOLEAN ThreadRunning;
    volatile LONG StopThread;
    volatile LONG PlugRequest;   // 1 plug, 2 unplug, 0 nothing
};

static BUS_EXTENSION* g_Bus;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath);

// ---------------------------------------------------------------- small helpers

static ULONGLONG NowMs() {
    LARGE_INTEGER t;
    KeQuerySystemTime(&t);
    return (ULONGLONG)t.QuadPart / 10000;
}

static ULONG PipeHandle(ULONG number, ULONG pipe) { return 0x56580000u | (number << 8) | (pipe + 1); }

static BOOLEAN DecodePipe(ULONG handle, ULONG* number, ULONG* pipe) {
    if ((handle & 0xFFFF0000u) != 0x56580000u)
        return FALSE;
    *number = (handle >> 8) & 0xFF;
    *pipe = (handle & 0xFF) - 1;
    return *number < InterfaceCount && *pipe < PipeCount;
}

static NTSTATUS Finish(PIRP Irp, NTSTATUS status, ULONG_PTR information) {
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

static PURB UrbOf(PIRP Irp) { return (PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1; }

static void SetUrbResult(PIRP Irp, NTSTATUS status, USBD_STATUS usbd) {
    UrbOf(Irp)->UrbHeader.Status = usbd;
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
}

// Completes a list of IRPs taken off the queues. Transfers complete at
// DISPATCH_LEVEL, as a host controller's completion DPC would.
static void CompleteList(PLIST_ENTRY done) {
    while (!IsListEmpty(done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(done), IRP, Tail.Overlay.ListEntry);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        KeLowerIrql(old);
    }
}

// Takes the first transfer of a queue whose cancel routine can still be
// claimed. A transfer whose cancellation already started is left self-linked
// for its cancel routine. Caller holds the bus lock.
static PIRP ClaimHead(PLIST_ENTRY queue) {
    while (!IsListEmpty(queue)) {
        PLIST_ENTRY entry = RemoveHeadList(queue);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) != NULL)
            return irp;
        InitializeListHead(entry);
    }
    return NULL;
}

// Fails every transfer waiting on one pipe. Caller holds the bus lock.
static void FailPipe(BUS_EXTENSION* bus, ULONG number, ULONG pipe, NTSTATUS status,
                     USBD_STATUS usbd, PLIST_ENTRY done) {
    PIRP irp;
    while ((irp = ClaimHead(&bus->Pending[number][pipe])) != NULL) {
        SetUrbResult(irp, status, usbd);
        InsertTailList(done, &irp->Tail.Overlay.ListEntry);
    }
}

// ---------------------------------------------------------------- the phone

// Caller holds the bus lock.
static void QueueStatePacket(BUS_EXTENSION* bus, ULONG number, USHORT state) {
    if (bus->StateCount == STATE_PACKETS) // keep the newest state: drop the oldest
    {
        for (ULONG i = 1; i < STATE_PACKETS; ++i)
            RtlCopyMemory(bus->State[i - 1], bus->State[i], STATE_PACKET_BYTES);
        bus->StateCount--;
    }
    UCHAR* p = bus->State[bus->StateCount++];
    p[0] = 0xA1; // class, interface, device to host
    p[1] = 0x20; // SERIAL_STATE
    p[2] = 0;
    p[3] = 0;
    p[4] = (UCHAR)number;
    p[5] = 0;
    p[6] = 2;
    p[7] = 0;
    p[8] = (UCHAR)(state & 0xFF);
    p[9] = (UCHAR)(state >> 8);
}

// Bulk-out bytes reach the phone. Returns FALSE when the diagnostics loop-back
// has no room: the transfer waits, as a device NAKs what it cannot take.
// Caller holds the bus lock.
static BOOLEAN DeliverOut(BUS_EXTENSION* bus, ULONG number, const UCHAR* data, ULONG length) {
    if (number == InterfaceModem) {
        // In pieces, draining between them, so that the modem's output buffer
        // never holds the answer to more than one piece.
        if (bus->Modem.OutLength + 2048 > ATMODEM_OUT_MAX)
            return FALSE;
        AtModemInput(&bus->Modem, data, length, NowMs());
    } else {
        if (LOOP_BYTES - bus->LoopCount < length)
            return FALSE;
        for (ULONG i = 0; i < length; ++i)
            bus->Loop[(bus->LoopHead + bus->LoopCount + i) % LOOP_BYTES] = data[i];
        bus->LoopCount += length;
    }
    bus->Stats.BulkOutBytes[number] += length;
    return TRUE;
}

static ULONG TakeIn(BUS_EXTENSION* bus, ULONG number, UCHAR* buffer, ULONG size) {
    if (number == InterfaceModem)
        return AtModemTakeOutput(&bus->Modem, buffer, size);
    ULONG n = bus->LoopCount < size ? bus->LoopCount : size;
    for (ULONG i = 0; i < n; ++i)
        buffer[i] = bus->Loop[(bus->LoopHead + i) % LOOP_BYTES];
    bus->LoopHead = (bus->LoopHead + n) % LOOP_BYTES;
    bus->LoopCount -= n;
    return n;
}

static BOOLEAN HasIn(BUS_EXTENSION* bus, ULONG number) {
    return number == InterfaceModem ? bus->Modem.OutLength != 0 : bus->LoopCount != 0;
}

// One frame: the phone takes what the host sent and answers what waits.
static void Tick(BUS_EXTENSION* bus) {
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL old;
    KeAcquireSpinLock(&bus->Lock, &old);
    if (bus->Plugged) {
        for (ULONG n = 0; n < InterfaceCount; ++n) {
            PLIST_ENTRY out = &bus->Pending[n][PipeBulkOut];
            while (!IsListEmpty(out)) {
                PIRP irp = CONTAINING_RECORD(out->Flink, IRP, Tail.Overlay.ListEntry);
                struct _URB_BULK_OR_INTERRUPT_TRANSFER* t = &UrbOf(irp)->UrbBulkOrInterruptTransfer;
                if (!DeliverOut(bus, n, (const UCHAR*)t->TransferBuffer, t->TransferBufferLength))
                    break;
                irp = ClaimHead(out);
                if (irp == NULL)
                    continue;
                SetUrbResult(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
                InsertTailList(&done, &irp->Tail.Overlay.ListEntry);
            }
        }
        AtModemPoll(&bus->Modem, NowMs());
        USHORT state;
        if (AtModemTakeLineState(&bus->Modem, &state))
            QueueStatePacket(bus, InterfaceModem, state);
        for (ULONG n = 0; n < InterfaceCount; ++n) {
            while (HasIn(bus, n)) {
                PIRP irp = ClaimHead(&bus->Pending[n][PipeBulkIn]);
                if (irp == NULL)
                    break;
                struct _URB_BULK_OR_INTERRUPT_TRANSFER* t = &UrbOf(irp)->UrbBulkOrInterruptTransfer;
                t->TransferBufferLength =
                    TakeIn(bus, n, (UCHAR*)t->TransferBuffer, t->TransferBufferLength);
                bus->Stats.BulkInBytes[n] += t->TransferBufferLength;
                SetUrbResult(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
                InsertTailList(&done, &irp->Tail.Overlay.ListEntry);
            }
        }
        while (bus->StateCount != 0) {
            PIRP irp = ClaimHead(&bus->Pending[InterfaceModem][PipeInterrupt]);
            if (irp == NULL)
                break;
            struct _URB_BULK_OR_INTERRUPT_TRANSFER* t = &UrbOf(irp)->UrbBulkOrInterruptTransfer;
            ULONG n = t->TransferBufferLength < STATE_PACKET_BYTES ? t->TransferBufferLength
                                                                    : STATE_PACKET_BYTES;
            RtlCopyMemory(t->TransferBuffer, bus->State[0], n);
            t->TransferBufferLength = n;
            for (ULONG i = 1; i < bus->StateCount; ++i)
                RtlCopyMemory(bus->State[i - 1], bus->State[i], STATE_PACKET_BYTES);
            bus->StateCount--;
            SetUrbResult(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
            InsertTailList(&done, &irp->Tail.Overlay.ListEntry);
        }
        bus->Stats.ModemCommands = bus->Modem.Commands;
        bus->Stats.ModemCalls = bus->Modem.Calls;
    }
    KeReleaseSpinLock(&bus->Lock, old);
    CompleteList(&done);
}

// ---------------------------------------------------------------- plug and unplug

static NTSTATUS CreateChild(BUS_EXTENSION* bus, ULONG number, PDEVICE_OBJECT* pdo) {
    WCHAR nameText[40];
    UNICODE_STRING name;
    // Port drivers and the Plug and Play manager both want a named PDO.
    swprintf(nameText, L"\\Device\\VxPhoneIf%u", (unsigned)bus->PdoCounter++);
    RtlInitUnicodeString(&name, nameText);
    NTSTATUS status = IoCreateDevice(bus->Self->DriverObject, sizeof(PDO_EXTENSION), &name,
                                     FILE_DEVICE_USB, FILE_DEVICE_SECURE_OPEN, FALSE, pdo);
    if (!NT_SUCCESS(status))
        return status;
    PDO_EXTENSION* x = (PDO_EXTENSION*)(*pdo)->DeviceExtension;
    RtlZeroMemory(x, sizeof *x);
    x->Kind = KindPdo;
    x->Self = *pdo;
    x->Bus = bus;
    x->BulkInHandle = PipeHandle(number, PipeBulkIn);
    x->BulkOutHandle = PipeHandle(number, PipeBulkOut);
    x->InterruptHandle = PipeHandle(number, PipeInterrupt);
    x->Number = number;
    x->Present = TRUE;
    (*pdo)->Flags |= DO_POWER_PAGABLE;
    (*pdo)->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, on the tick thread.
static void Plug(BUS_EXTENSION* bus) {
    PDEVICE_OBJECT made[InterfaceCount] = {NULL, NULL};
    KIRQL old;
    KeAcquireSpinLock(&bus->Lock, &old);
    BOOLEAN already = bus->Plugged || bus->Child[0] != NULL || bus->Child[1] != NULL;
    KeReleaseSpinLock(&bus->Lock, old);
    if (already)
        return;
    for (ULONG n = 0; n < InterfaceCount; ++n) {
        if (!NT_SUCCESS(CreateChild(bus, n, &made[n]))) {
            DbgPrint("vxphonebus: cannot create the PDO of interface %u\n", (unsigned)n);
            for (ULONG k = 0; k < n; ++k)
                IoDeleteDevice(made[k]);
            return;
        }
    }
    KeAcquireSpinLock(&bus->Lock, &old);
    AtModemInit(&bus->Modem);
    bus->LoopHead = bus->LoopCount = 0;
    bus->StateCount = 0;
    for (ULONG n = 0; n < InterfaceCount; ++n)
        bus->Child[n] = made[n];
    bus->Stats.ChildrenAlive += InterfaceCount;
    bus->Plugged = TRUE;
    bus->Stats.Plugged = 1;
    KeReleaseSpinLock(&bus->Lock, old);
    DbgPrint("vxphonebus: phone plugged in\n");
    IoInvalidateDeviceRelations(bus->BusPdo, BusRelations);
}

// PASSIVE_LEVEL, on the tick thread. The PDOs stay until the Plug and Play
// manager removes them; every transfer fails from now on.
static void Unplug(BUS_EXTENSION* bus) {
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL old;
    KeAcquireSpinLock(&bus->Lock, &old);
    BOOLEAN was = bus->Plugged;
    bus->Plugged = FALSE;
    bus->Stats.Plugged = 0;
    for (ULONG n = 0; n < InterfaceCount; ++n) {
        for (ULONG p = 0; p < PipeCount; ++p)
            FailPipe(bus, n, p, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, &done);
        if (bus->Child[n] != NULL)
            ((PDO_EXTENSION*)bus->Child[n]->DeviceExtension)->Present = FALSE;
        bus->Child[n] = NULL;
    }
    KeReleaseSpinLock(&bus->Lock, old);
    CompleteList(&done);
    if (!was)
        return;
    DbgPrint("vxphonebus: phone unplugged\n");
    IoInvalidateDeviceRelations(bus->BusPdo, BusRelations);
}

static VOID NTAPI TickThread(PVOID context) {
    BUS_EXTENSION* bus = (BUS_EXTENSION*)context;
    LARGE_INTEGER period;
    period.QuadPart = -10000LL * TICK_MS;
    for (;;) {
        KeWaitForSingleObject(&bus->Wake, Executive, KernelMode, FALSE, &period);
        if (bus->StopThread)
            break;
        LONG request = InterlockedExchange(&bus->PlugRequest, 0);
        if (request == 1)
            Plug(bus);
        else if (request == 2)
            Unplug(bus);
        Tick(bus);
    }
    KeSetEvent(&bus->ThreadDone, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static void RequestPlug(BUS_EXTENSION* bus, LONG request) {
    InterlockedExchange(&bus->PlugRequest, request);
    KeSetEvent(&bus->Wake, IO_NO_INCREMENT, FALSE);
}

// ---------------------------------------------------------------- URBs

static VOID NTAPI CancelTransfer(PDEVICE_OBJECT Device, PIRP Irp) {
    UNREFERENCED_PARAMETER(Device);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    BUS_EXTENSION* bus = g_Bus;
    KIRQL old;
    KeAcquireSpinLock(&bus->Lock, &old);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    bus->Stats.Cancels++;
    KeReleaseSpinLock(&bus->Lock, old);
    SetUrbResult(Irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

static NTSTATUS SubmitTransfer(PDO_EXTENSION* x, PIRP Irp, PURB urb) {
    BUS_EXTENSION* bus = x->Bus;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* t = &urb->UrbBulkOrInterruptTransfer;
    ULONG number, pipe;
    if (!DecodePipe((ULONG)(ULONG_PTR)t->PipeHandle, &number, &pipe) || number != x->Number ||
        (pipe == PipeInterrupt && number != InterfaceModem) ||
        (t->TransferBuffer == NULL && t->TransferBufferLength != 0)) {
        DbgPrint("vxphonebus: refused transfer on pipe %p (buffer %p, MDL %p)\n", t->PipeHandle,
                 t->TransferBuffer, t->TransferBufferMDL);
        SetUrbResult(Irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    IoMarkIrpPending(Irp);
    KIRQL old;
    KeAcquireSpinLock(&bus->Lock, &old);
    if (!bus->Plugged || !x->Present) {
        KeReleaseSpinLock(&bus->Lock, old);
        SetUrbResult(Irp, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    IoSetCancelRoutine(Irp, CancelTransfer);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        KeReleaseSpinLock(&bus->Lock, old);
        SetUrbResult(Irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    InsertTailList(&bus->Pending[number][pipe], &Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&bus->Lock, old);
    KeSetEvent(&bus->Wake, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
}

static NTSTATUS PipeRequest(PDO_EXTENSION* x, PIRP Irp, PURB urb, BOOLEAN abort) {
    BUS_EXTENSION* bus = x->Bus;
    ULONG number, pipe;
    if (!DecodePipe((ULONG)(ULONG_PTR)urb->UrbPipeRequest.PipeHandle, &number, &pipe) ||
        number != x->Number) {
        SetUrbResult(Irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL old;
    KeAcquireSpinLock(&bus->Lock, &old);
    if (abort) {
        FailPipe(bus, number, pipe, STATUS_CANCELLED, USBD_STATUS_CANCELED, &done);
        bus->Stats.Aborts++;
    } else {
        bus->Stats.Resets++;
    }
    KeReleaseSpinLock(&bus->Lock, old);
    CompleteList(&done);
    SetUrbResult(Irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// The CDC requests of the modem interface; anything else stalls.
static NTSTATUS ClassRequest(PDO_EXTENSION* x, PIRP Irp, PURB urb) {
    BUS_EXTENSION* bus = x->Bus;
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* r = &urb->UrbControlVendorClassRequest;
    BOOLEAN in = (r->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    BOOLEAN ok = FALSE;
    KIRQL old;
    KeAcquireSpinLock(&bus->Lock, &old);
    if (bus->Plugged && x->Number == InterfaceModem) {
        if (r->Request == 0x20 && !in && r->TransferBufferLength == 7 && r->TransferBuffer) {
            AtModemSetLineCoding(&bus->Modem, (const unsigned char*)r->TransferBuffer);
            ok = TRUE;
        } else if (r->Request == 0x21 && in && r->TransferBufferLength >= 7 && r->TransferBuffer) {
            RtlCopyMemory(r->TransferBuffer, bus->Modem.LineCoding, 7);
            r->TransferBufferLength = 7;
            ok = TRUE;
        } else if (r->Request == 0x22 && !in && r->TransferBufferLength == 0) {
            AtModemSetControlLines(&bus->Modem, r->Value, NowMs());
            ok = TRUE;
        } else if (r->Request == 0x23 && !in) {
            ok = TRUE;
        }
    }
    if (ok)
        bus->Stats.ClassRequests++;
    BOOLEAN plugged = bus->Plugged;
    KeReleaseSpinLock(&bus->Lock, old);
    if (!plugged) {
        SetUrbResult(Irp, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    } else if (ok) {
        SetUrbResult(Irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    } else {
        r->TransferBufferLength = 0;
        SetUrbResult(Irp, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    }
    NTSTATUS status = Irp->IoStatus.Status;
    KeSetEvent(&bus->Wake, IO_NO_INCREMENT, FALSE); // line state may have changed
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS PdoInternalControl(PDO_EXTENSION* x, PIRP Irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    if (sp->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB)
        return Finish(Irp, STATUS_NOT_SUPPORTED, 0);
    PURB urb = UrbOf(Irp);
    if (urb == NULL)
        return Finish(Irp, STATUS_INVALID_PARAMETER, 0);
    InterlockedIncrement((PLONG)&x->Bus->Stats.Submitted);
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return SubmitTransfer(x, Irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
        return PipeRequest(x, Irp, urb, TRUE);
    case URB_FUNCTION_RESET_PIPE:
        return PipeRequest(x, Irp, urb, FALSE);
    case URB_FUNCTION_CLASS_INTERFACE:
        return ClassRequest(x, Irp, urb);
    default:
        DbgPrint("vxphonebus: URB function 0x%x not served\n", (unsigned)urb->UrbHeader.Function);
        SetUrbResult(Irp, STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_NOT_SUPPORTED;
    }
}

// ---------------------------------------------------------------- child PDO PnP

// A MULTI_SZ or SZ copy in paged pool; the Plug and Play manager frees it.
static PWCHAR PoolText(const WCHAR* const* parts, ULONG count) {
    ULONG chars = 1;
    for (ULONG i = 0; i < count; ++i)
        chars += (ULONG)wcslen(parts[i]) + 1;
    PWCHAR text = (PWCHAR)ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), PHONEBUS_TAG);
    if (text == NULL)
        return NULL;
    PWCHAR p = text;
    for (ULONG i = 0; i < count; ++i) {
        ULONG n = (ULONG)wcslen(parts[i]);
        RtlCopyMemory(p, parts[i], n * sizeof(WCHAR));
        p += n;
        *p++ = 0;
    }
    *p = 0;
    return text;
}

static NTSTATUS PdoQueryId(PDO_EXTENSION* x, PIRP Irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    BOOLEAN modem = x->Number == InterfaceModem;
    const WCHAR* mi = modem ? L"&MI_00" : L"&MI_01";
    WCHAR withRev[64], plain[64];
    swprintf(withRev, L"%ls%ls%ls", PHONE_HW_BASE, PHONE_REVISION, mi);
    swprintf(plain, L"%ls%ls", PHONE_HW_BASE, mi);
    PWCHAR text = NULL;
    switch (sp->Parameters.QueryId.IdType) {
    case BusQueryDeviceID: {
        const WCHAR* parts[] = {plain};
        text = PoolText(parts, 1);
        break;
    }
    case BusQueryHardwareIDs: {
        const WCHAR* parts[] = {withRev, plain};
        text = PoolText(parts, 2);
        break;
    }
    case BusQueryCompatibleIDs: {
        const WCHAR* modemIds[] = {L"USB\\Class_02&SubClass_02&Prot_01", L"USB\\Class_02&SubClass_02",
                                   L"USB\\Class_02"};
        const WCHAR* diagIds[] = {L"USB\\Class_FF&SubClass_FF&Prot_FF", L"USB\\Class_FF&SubClass_FF",
                                  L"USB\\Class_FF"};
        text = PoolText(modem ? modemIds : diagIds, 3);
        break;
    }
    case BusQueryInstanceID: {
        const WCHAR* parts[] = {modem ? PHONE_SERIAL L"&00" : PHONE_SERIAL L"&01"};
        text = PoolText(parts, 1);
        break;
    }
    default:
        return Finish(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    }
    if (text == NULL)
        return Finish(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    return Finish(Irp, STATUS_SUCCESS, (ULONG_PTR)text);
}

static NTSTATUS PdoQueryText(PDO_EXTENSION* x, PIRP Irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    if (sp->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription)
        return Finish(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    const WCHAR* parts[] = {x->Number == InterfaceModem ? L"Simulated phone modem interface"
                                                        : L"Simulated phone diagnostics interface"};
    PWCHAR text = PoolText(parts, 1);
    if (text == NULL)
        return Finish(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    return Finish(Irp, STATUS_SUCCESS, (ULONG_PTR)text);
}

static NTSTATUS PdoQueryCapabilities(PIRP Irp) {
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
        return Finish(Irp, STATUS_UNSUCCESSFUL, 0);
    caps->Removable = TRUE;
    caps->SurpriseRemovalOK = TRUE;
    caps->UniqueID = TRUE;
    caps->Address = 0xFFFFFFFF;
    caps->UINumber = 0xFFFFFFFF;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s)
        caps->DeviceState[s] = PowerDeviceD3;
    caps->DeviceWake = PowerDeviceUnspecified;
    caps->SystemWake = PowerSystemUnspecified;
    return Finish(Irp, STATUS_SUCCESS, 0);
}

static void FailInterface(PDO_EXTENSION* x) {
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL old;
    KeAcquireSpinLock(&x->Bus->Lock, &old);
    for (ULONG p = 0; p < PipeCount; ++p)
        FailPipe(x->Bus, x->Number, p, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, &done);
    KeReleaseSpinLock(&x->Bus->Lock, old);
    CompleteList(&done);
}

static NTSTATUS PdoPnp(PDO_EXTENSION* x, PIRP Irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        // By now the port driver's device sits on this PDO.
        KIRQL old;
        KeAcquireSpinLock(&x->Bus->Lock, &old);
        if (x->Self->AttachedDevice != NULL)
            x->Bus->FunctionDriver[x->Number] = x->Self->AttachedDevice->DriverObject;
        KeReleaseSpinLock(&x->Bus->Lock, old);
        return Finish(Irp, STATUS_SUCCESS, 0);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return Finish(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_SURPRISE_REMOVAL:
        // The port driver above passes this down only after its own
        // surprise-removal work, so the line below says the whole stack saw it.
        DbgPrint("vxphonebus: interface %u surprise-removed\n", (unsigned)x->Number);
        FailInterface(x);
        return Finish(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_REMOVE_DEVICE: {
        FailInterface(x);
        KIRQL old;
        KeAcquireSpinLock(&x->Bus->Lock, &old);
        BOOLEAN gone = !x->Present;
        if (gone)
            x->Bus->Stats.ChildrenAlive--;
        KeReleaseSpinLock(&x->Bus->Lock, old);
        Finish(Irp, STATUS_SUCCESS, 0);
        // A PDO whose phone is still there stays for the next enumeration.
        if (gone) {
            DbgPrint("vxphonebus: interface %u removed\n", (unsigned)x->Number);
            IoDeleteDevice(x->Self);
        }
        return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_ID:
        return PdoQueryId(x, Irp);
    case IRP_MN_QUERY_DEVICE_TEXT:
        return PdoQueryText(x, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return PdoQueryCapabilities(Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (sp->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            PDEVICE_RELATIONS rel =
                (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), PHONEBUS_TAG);
            if (rel == NULL)
                return Finish(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
            rel->Count = 1;
            rel->Objects[0] = x->Self;
            ObReferenceObject(x->Self);
            return Finish(Irp, STATUS_SUCCESS, (ULONG_PTR)rel);
        }
        return Finish(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    default:
        // Not a bus driver's business: the request ends with what it came with.
        return Finish(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    }
}

// ---------------------------------------------------------------- bus FDO PnP

static NTSTATUS NTAPI SignalOnComplete(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(Device);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS ForwardAndWait(BUS_EXTENSION* bus, PIRP Irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalOnComplete, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(bus->Lower, Irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    return Irp->IoStatus.Status;
}

static NTSTATUS PassDown(BUS_EXTENSION* bus, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(bus->Lower, Irp);
}

static NTSTATUS StartBus(BUS_EXTENSION* bus) {
    if (bus->ThreadRunning)
        return STATUS_SUCCESS;
    HANDLE thread;
    KeClearEvent(&bus->ThreadDone);
    bus->StopThread = 0;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, TickThread, bus);
    if (!NT_SUCCESS(status))
        return status;
    ZwClose(thread);
    bus->ThreadRunning = TRUE;
    RequestPlug(bus, 1);
    return STATUS_SUCCESS;
}

static void StopBus(BUS_EXTENSION* bus) {
    if (!bus->ThreadRunning)
        return;
    InterlockedExchange(&bus->StopThread, 1);
    KeSetEvent(&bus->Wake, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&bus->ThreadDone, Executive, KernelMode, FALSE, NULL);
    bus->ThreadRunning = FALSE;
}

static NTSTATUS BusRelationsAnswer(BUS_EXTENSION* bus, PIRP Irp) {
    PDEVICE_RELATIONS rel = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
        PagedPool, sizeof(DEVICE_RELATIONS) + InterfaceCount * sizeof(PDEVICE_OBJECT), PHONEBUS_TAG);
    if (rel == NULL)
        return Finish(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    rel->Count = 0;
    KIRQL old;
    KeAcquireSpinLock(&bus->Lock, &old);
    for (ULONG n = 0; n < InterfaceCount; ++n) {
        if (bus->Child[n] != NULL) {
            rel->Objects[rel->Count++] = bus->Child[n];
            ObReferenceObject(bus->Child[n]);
        }
    }
    KeReleaseSpinLock(&bus->Lock, old);
    // Anything a lower driver may have reported earlier is replaced: this bus
    // is the only source of its children.
    if (Irp->IoStatus.Information != 0)
        ExFreePool((PVOID)Irp->IoStatus.Information);
    return Finish(Irp, STATUS_SUCCESS, (ULONG_PTR)rel);
}

static void RemoveBus(BUS_EXTENSION* bus) {
    RequestPlug(bus, 0);
    StopBus(bus);
    Unplug(bus);
    if (bus->Control != NULL) {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, VXPHONEBUS_CONTROL_LINK);
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(bus->Control);
        bus->Control = NULL;
    }
}

static NTSTATUS FdoPnp(BUS_EXTENSION* bus, PIRP Irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = ForwardAndWait(bus, Irp);
        // A root-enumerated device has nothing below that could refuse.
        if (status == STATUS_NOT_SUPPORTED)
            status = STATUS_SUCCESS;
        if (NT_SUCCESS(status))
            status = StartBus(bus);
        return Finish(Irp, status, 0);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (sp->Parameters.QueryDeviceRelations.Type == BusRelations)
            return BusRelationsAnswer(bus, Irp);
        return PassDown(bus, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        RemoveBus(bus);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(bus, Irp);
    case IRP_MN_REMOVE_DEVICE: {
        RemoveBus(bus);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        status = PassDown(bus, Irp);
        IoDetachDevice(bus->Lower);
        g_Bus = NULL;
        IoDeleteDevice(bus->Self);
        return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(bus, Irp);
    default:
        return PassDown(bus, Irp);
    }
}

// ---------------------------------------------------------------- the control device

// Windows's Plug and Play manager unloads a driver once its last device has
// been removed. Wine 8.0's does not: it unloads a driver only when asked
// (ZwUnloadDriver), and the service manager cannot stop a driver that Plug
// and Play loaded. So the bus asks for it, for the port drivers of its
// interfaces, and only once the phone is out, every interface PDO is deleted
// and each driver has no device object left - the moment the Plug and Play
// manager would have chosen. PASSIVE_LEVEL.
static NTSTATUS UnloadFunctionDrivers(BUS_EXTENSION* bus) {
    PDRIVER_OBJECT drivers[InterfaceCount] = {NULL, NULL};
    BOOLEAN busy;
    KIRQL old;
    KeAcquireSpinLock(&bus->Lock, &old);
    busy = bus->Plugged || bus->Stats.ChildrenAlive != 0;
    for (ULONG n = 0; n < InterfaceCount && !busy; ++n) {
        PDRIVER_OBJECT d = bus->FunctionDriver[n];
        if (d != NULL && d->DeviceObject != NULL)
            busy = TRUE;
        for (ULONG k = 0; k < n && d != NULL; ++k)
            if (drivers[k] == d)
                d = NULL; // one driver above both interfaces goes once
        drivers[n] = d;
    }
    if (!busy)
        for (ULONG n = 0; n < InterfaceCount; ++n)
            bus->FunctionDriver[n] = NULL;
    KeReleaseSpinLock(&bus->Lock, old);
    if (busy)
        return STATUS_DEVICE_BUSY;

    NTSTATUS result = STATUS_SUCCESS;
    for (ULONG n = 0; n < InterfaceCount; ++n) {
        if (drivers[n] == NULL)
            continue;
        // "\Driver\<service>" names the service key the driver came from.
        UNICODE_STRING* name = &drivers[n]->DriverName;
        USHORT chars = name->Length / sizeof(WCHAR), start = chars;
        while (start > 0 && name->Buffer[start - 1] != L'\\')
            --start;
        WCHAR keyText[160];
        UNICODE_STRING key;
        key.Buffer = keyText;
        key.Length = 0;
        key.MaximumLength = sizeof keyText - sizeof(WCHAR); // one kept for the NUL
        UNICODE_STRING service;
        service.Buffer = name->Buffer + start;
        service.Length = service.MaximumLength = (USHORT)((chars - start) * sizeof(WCHAR));
        NTSTATUS status = RtlAppendUnicodeToString(
            &key, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\");
        if (NT_SUCCESS(status))
            status = RtlAppendUnicodeStringToString(&key, &service);
        keyText[key.Length / sizeof(WCHAR)] = 0;
        if (NT_SUCCESS(status))
            status = ZwUnloadDriver(&key);
        DbgPrint("vxphonebus: unload of %ls requested: status 0x%08x\n", keyText, (unsigned)status);
        if (!NT_SUCCESS(status))
            result = status;
    }
    return result;
}

static NTSTATUS ControlIo(CONTROL_EXTENSION* c, PIRP Irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    BUS_EXTENSION* bus = c->Bus;
    switch (sp->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return Finish(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
        break;
    default:
        return Finish(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_VXPHONEBUS_UNPLUG:
        RequestPlug(bus, 2);
        return Finish(Irp, STATUS_SUCCESS, 0);
    case IOCTL_VXPHONEBUS_PLUG:
        RequestPlug(bus, 1);
        return Finish(Irp, STATUS_SUCCESS, 0);
    case IOCTL_VXPHONEBUS_UNLOAD_DRIVERS:
        return Finish(Irp, UnloadFunctionDrivers(bus), 0);
    case IOCTL_VXPHONEBUS_STATUS: {
        if (sp->Parameters.DeviceIoControl.OutputBufferLength < sizeof(VXPHONEBUS_STATUS))
            return Finish(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        KIRQL old;
        KeAcquireSpinLock(&bus->Lock, &old);
        RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &bus->Stats, sizeof(VXPHONEBUS_STATUS));
        KeReleaseSpinLock(&bus->Lock, old);
        return Finish(Irp, STATUS_SUCCESS, sizeof(VXPHONEBUS_STATUS));
    }
    default:
        return Finish(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

// ---------------------------------------------------------------- dispatch

static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT Device, PIRP Irp) {
    ULONG kind = *(ULONG*)Device->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    if (kind == KindControl)
        return ControlIo((CONTROL_EXTENSION*)Device->DeviceExtension, Irp);
    if (kind == KindPdo) {
        PDO_EXTENSION* x = (PDO_EXTENSION*)Device->DeviceExtension;
        switch (sp->MajorFunction) {
        case IRP_MJ_PNP:
            return PdoPnp(x, Irp);
        case IRP_MJ_POWER:
            PoStartNextPowerIrp(Irp);
            if (sp->MinorFunction == IRP_MN_SET_POWER || sp->MinorFunction == IRP_MN_QUERY_POWER)
                return Finish(Irp, STATUS_SUCCESS, 0);
            return Finish(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            return PdoInternalControl(x, Irp);
        case IRP_MJ_SYSTEM_CONTROL:
            return Finish(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
        default:
            return Finish(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        }
    }
    BUS_EXTENSION* bus = (BUS_EXTENSION*)Device->DeviceExtension;
    switch (sp->MajorFunction) {
    case IRP_MJ_PNP:
        return FdoPnp(bus, Irp);
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(bus->Lower, Irp);
    case IRP_MJ_SYSTEM_CONTROL:
        return PassDown(bus, Irp);
    default:
        return Finish(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS CreateControlDevice(BUS_EXTENSION* bus, PDRIVER_OBJECT Driver) {
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, VXPHONEBUS_CONTROL_DEVICE);
    RtlInitUnicodeString(&link, VXPHONEBUS_CONTROL_LINK);
    PDEVICE_OBJECT control;
    NTSTATUS status = IoCreateDevice(Driver, sizeof(CONTROL_EXTENSION), &name, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &control);
    if (!NT_SUCCESS(status))
        return status;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(control);
        return status;
    }
    CONTROL_EXTENSION* c = (CONTROL_EXTENSION*)control->DeviceExtension;
    c->Kind = KindControl;
    c->Bus = bus;
    control->Flags |= DO_BUFFERED_IO;
    control->Flags &= ~DO_DEVICE_INITIALIZING;
    bus->Control = control;
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) {
    if (g_Bus != NULL)
        return STATUS_DEVICE_ALREADY_ATTACHED; // one phone bus per machine
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(Driver, sizeof(BUS_EXTENSION), NULL, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    BUS_EXTENSION* bus = (BUS_EXTENSION*)fdo->DeviceExtension;
    RtlZeroMemory(bus, sizeof *bus);
    bus->Kind = KindFdo;
    bus->Self = fdo;
    bus->BusPdo = Pdo;
    KeInitializeSpinLock(&bus->Lock);
    for (ULONG n = 0; n < InterfaceCount; ++n)
        for (ULONG p = 0; p < PipeCount; ++p)
            InitializeListHead(&bus->Pending[n][p]);
    KeInitializeEvent(&bus->Wake, SynchronizationEvent, FALSE);
    KeInitializeEvent(&bus->ThreadDone, NotificationEvent, FALSE);
    AtModemInit(&bus->Modem);
    status = CreateControlDevice(bus, Driver);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fdo);
        return status;
    }
    bus->Lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
    if (bus->Lower == NULL) {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, VXPHONEBUS_CONTROL_LINK);
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(bus->Control);
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    g_Bus = bus;
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static VOID NTAPI DriverUnload(PDRIVER_OBJECT Driver) {
    UNREFERENCED_PARAMETER(Driver);
    DbgPrint("vxphonebus: unloaded\n");
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        Driver->MajorFunction[i] = Dispatch;
    Driver->DriverExtension->AddDevice = AddDevice;
    Driver->DriverUnload = DriverUnload;
    DbgPrint("vxphonebus: loaded\n");
    return STATUS_SUCCESS;
}
