// vxphonebus.sys: the parent bus driver of the simulated phone, as a real
// kernel-mode driver. It stands where the USB hub and composite-device driver
// stand on a real machine: root-enumerated, it reports one physical device
// object per phone interface (modem, diagnostics) with the phone's USB
// hardware ids, keeps each interface's pipe handles in the PDO's extension
// where the port drivers take them, and carries the URBs the port drivers
// send to the phone. The phone is platform/usb/phonecore, the same one the
// host simulation's bus carries: every decision about a URB is its, and this
// file is only the glue (IRPs, cancel routines, the frame tick, Plug and
// Play, the control device).
//
// Transfers are never completed inside IofCallDriver (unless the fault plan
// asks for it): the bus's own thread (the "frame tick") lets the phone serve
// them and completes them at DISPATCH_LEVEL. A programme opens
// "\\.\VxPhoneBus" to unplug and plug the phone and to arm its fault plan.
#include "platform/kernel.h"
#include "platform/usb/phonecore/phonecore.h"
#include "wine/phonebus/phonebus_ioctl.h"

#define PHONEBUS_TAG 0x62507856 // "VxPb"

// The programmes name the phone's fault kinds and pipes by number.
static_assert(VXPHONEBUS_FAULT_UNPLUG == PhoneFaultUnplug && VXPHONEBUS_FAULT_ERROR == PhoneFaultError &&
                  VXPHONEBUS_FAULT_OVERSTATE == PhoneFaultOverstate,
              "fault kinds differ between the bus and its programmes");
static_assert(VXPHONEBUS_PIPE_BULK_IN == PhoneBulkIn && VXPHONEBUS_PIPE_CONTROL == PhoneControl,
              "pipe numbers differ between the bus and its programmes");

// Made-up ids of the simulated phone (platform/usb/bus.h's PhoneConfig).
#define PHONE_HW_BASE L"USB\\VID_FFF0&PID_7070"
#define PHONE_REVISION L"&REV_0100"
#define PHONE_SERIAL L"VX0001"

enum { InterfaceModem = 0, InterfaceDiag = 1, InterfaceCount = 2 };
enum { KindFdo = 0x46787056, KindPdo = 0x50787056, KindControl = 0x43787056 };

#define TICK_MS 5
#define BUS_BULK_MAX_PACKET 64
#define BUS_INTERRUPT_MAX_PACKET 16

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

// One URB held by the bus: the phone's record first. The IRP's
// DriverContext[0] points here while the bus owns the IRP.
struct BUS_REQUEST {
    PHONE_XFER X;
    PIRP Irp;
    BOOLEAN CancelSet;           // its cancel routine is set
};

struct BUS_EXTENSION {
    ULONG Kind;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT BusPdo;
    PDEVICE_OBJECT Control;

    KSPIN_LOCK Lock;             // guards everything below but the thread fields
    PHONE* Phone;                // nonpaged; its Plugged says whether it is on the bus
    PDEVICE_OBJECT Child[InterfaceCount]; // PDOs reported in BusRelations
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
static VOID NTAPI CancelTransfer(PDEVICE_OBJECT Device, PIRP Irp);

// ---------------------------------------------------------------- small helpers

static LONGLONG Now() {
    LARGE_INTEGER t;
    KeQuerySystemTime(&t);
    return t.QuadPart;
}

static ULONG PipeHandle(ULONG number, ULONG pipe) { return 0x56580000u | (number << 8) | (pipe + 1); }

static NTSTATUS Finish(PIRP Irp, NTSTATUS status, ULONG_PTR information) {
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

static BOOLEAN PhonePresent(BUS_EXTENSION* bus) { return bus->Phone != NULL && bus->Phone->Plugged; }

// ---------------------------------------------------------------- the phone's host

static void* AllocPacket(void*, ULONG bytes) {
    return ExAllocatePoolWithTag(NonPagedPool, bytes, PHONEBUS_TAG);
}
static void FreePacket(void*, void* memory) { ExFreePoolWithTag(memory, PHONEBUS_TAG); }

// Takes a queued request back from cancellation. Caller holds the bus lock.
static BOOLEAN ClaimRequest(void*, PHONE_XFER* x) {
    BUS_REQUEST* r = (BUS_REQUEST*)x;
    if (r->CancelSet && IoSetCancelRoutine(r->Irp, NULL) == NULL)
        return FALSE;
    r->CancelSet = FALSE;
    return TRUE;
}

static BOOLEAN ParkRequest(void*, PHONE_XFER* x) {
    BUS_REQUEST* r = (BUS_REQUEST*)x;
    IoSetCancelRoutine(r->Irp, CancelTransfer);
    r->CancelSet = TRUE;
    if (r->Irp->Cancel && IoSetCancelRoutine(r->Irp, NULL) != NULL) {
        r->CancelSet = FALSE;
        return FALSE;
    }
    return TRUE;
}

static void HostWrote(void* context, ULONG number, const UCHAR*, ULONG length) {
    BUS_EXTENSION* bus = (BUS_EXTENSION*)context;
    if (number < InterfaceCount)
        bus->Stats.BulkOutBytes[number] += length;
}

// A phone as the simulation's default one: the AT modem on interface 0, the
// loop-back on interface 1. Caller holds the bus lock.
static void ResetPhone(BUS_EXTENSION* bus) {
    PHONE_HOST host = {bus, AllocPacket, FreePacket, ClaimRequest, ParkRequest, HostWrote};
    PhoneFree(bus->Phone);
    PhoneInit(bus->Phone, &host);
    LONGLONG now = Now();
    PhoneAddInterface(bus->Phone, PhoneFunctionModem, TRUE, BUS_BULK_MAX_PACKET,
                      BUS_INTERRUPT_MAX_PACKET, now);
    PhoneAddInterface(bus->Phone, PhoneFunctionLoopBack, FALSE, BUS_BULK_MAX_PACKET,
                      BUS_INTERRUPT_MAX_PACKET, now);
    for (ULONG n = 0; n < InterfaceCount; ++n)
        for (ULONG p = 0; p < 3; ++p)
            bus->Phone->Interface[n].Handles[p] = PipeHandle(n, p);
}

// What a finished request adds to the counters. Caller holds the bus lock.
static void Count(BUS_EXTENSION* bus, const PHONE_XFER* x) {
    VXPHONEBUS_STATUS* s = &bus->Stats;
    if (x->Interface >= InterfaceCount)
        return;
    if (x->Type == PhoneXferTransfer && x->In && x->Pipe == PhoneBulkIn && NT_SUCCESS(x->Status))
        s->BulkInBytes[x->Interface] += x->Done;
    if (x->Type == PhoneXferTransfer && !NT_SUCCESS(x->Status) && x->Status != STATUS_CANCELLED)
        s->FailedTransfers[x->Interface]++;
    if (x->Type == PhoneXferClass && NT_SUCCESS(x->Status))
        s->ClassRequests++;
    if (x->Type == PhoneXferAbort)
        s->Aborts++;
    if (x->Type == PhoneXferReset)
        s->Resets++;
    if (x->Status == STATUS_CANCELLED && x->Type == PhoneXferTransfer)
        s->Cancels++;
    s->ModemCommands = bus->Phone->Interface[InterfaceModem].Modem.Commands;
    s->ModemCalls = bus->Phone->Interface[InterfaceModem].Modem.Calls;
}

// Takes what the phone decided off it, oldest decision first, into a list of
// requests to complete. Caller holds the bus lock.
static BUS_REQUEST* TakeDone(BUS_EXTENSION* bus) {
    BUS_REQUEST* first = NULL;
    BUS_REQUEST** tail = &first;
    PHONE_XFER* x;
    while ((x = PhoneTakeDone(bus->Phone)) != NULL) {
        Count(bus, x);
        PhoneRelease(bus->Phone, x);
        *tail = (BUS_REQUEST*)x;
        tail = (BUS_REQUEST**)&x->Next;
    }
    return first;
}

// Every URB leaves the bus here: its outcome into the URB, the IRP completed
// at DISPATCH_LEVEL as a host controller's completion DPC would.
static void CompleteRequests(BUS_REQUEST* r) {
    while (r != NULL) {
        BUS_REQUEST* next = (BUS_REQUEST*)r->X.Next;
        PIRP irp = r->Irp;
        PhoneFinishUrb(&r->X, (PURB)r->X.Urb);
        irp->IoStatus.Status = r->X.Status;
        irp->IoStatus.Information = 0;
        irp->Tail.Overlay.DriverContext[0] = NULL;
        ExFreePoolWithTag(r, PHONEBUS_TAG);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        KeLowerIrql(old);
        r = next;
    }
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
    x->BulkInHandle = PipeHandle(number, PhoneBulkIn);
    x->BulkOutHandle = PipeHandle(number, PhoneBulkOut);
    x->InterruptHandle = PipeHandle(number, PhoneInterruptIn);
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
    BOOLEAN already = PhonePresent(bus) || bus->Child[0] != NULL || bus->Child[1] != NULL;
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
    ResetPhone(bus);
    for (ULONG n = 0; n < InterfaceCount; ++n)
        bus->Child[n] = made[n];
    bus->Stats.ChildrenAlive += InterfaceCount;
    bus->Stats.Plugged = 1;
    KeReleaseSpinLock(&bus->Lock, old);
    DbgPrint("vxphonebus: phone plugged in\n");
    IoInvalidateDeviceRelations(bus->BusPdo, BusRelations);
}

// PASSIVE_LEVEL, on the tick thread. The PDOs stay until the Plug and Play
// manager removes them; every transfer fails from now on.
static void Unplug(BUS_EXTENSION* bus) {
    KIRQL old;
    KeAcquireSpinLock(&bus->Lock, &old);
    BOOLEAN was = PhonePresent(bus);
    PhoneUnplug(bus->Phone);
    bus->Stats.Plugged = 0;
    for (ULONG n = 0; n < InterfaceCount; ++n) {
        if (bus->Child[n] != NULL)
            ((PDO_EXTENSION*)bus->Child[n]->DeviceExtension)->Present = FALSE;
        bus->Child[n] = NULL;
    }
    BUS_REQUEST* done = TakeDone(bus);
    KeReleaseSpinLock(&bus->Lock, old);
    CompleteRequests(done);
    if (!was)
        return;
    DbgPrint("vxphonebus: phone unplugged\n");
    IoInvalidateDeviceRelations(bus->BusPdo, BusRelations);
}

// One frame: the phone serves what waits, the bus completes what it decided.
// A fault that pulled the phone out is acted on here, at PASSIVE_LEVEL.
static void Tick(BUS_EXTENSION* bus) {
    KIRQL old;
    LONGLONG wake;
    KeAcquireSpinLock(&bus->Lock, &old);
    PhoneRun(bus->Phone, Now(), &wake);
    BOOLEAN pulled = bus->Phone->UnplugPending;
    bus->Phone->UnplugPending = FALSE;
    BUS_REQUEST* done = TakeDone(bus);
    KeReleaseSpinLock(&bus->Lock, old);
    CompleteRequests(done);
    if (pulled) {
        DbgPrint("vxphonebus: the fault plan pulls the phone out\n");
        Unplug(bus);
    }
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
    BUS_REQUEST* r = (BUS_REQUEST*)Irp->Tail.Overlay.DriverContext[0];
    KIRQL old;
    KeAcquireSpinLock(&bus->Lock, &old);
    PhoneCancel(bus->Phone, &r->X);
    Count(bus, &r->X);
    PhoneRelease(bus->Phone, &r->X);
    KeReleaseSpinLock(&bus->Lock, old);
    r->X.Next = NULL;
    CompleteRequests(r);
}

// The phone's verdict on a URB it will not carry. Caller holds the bus lock.
static void Refused(PDO_EXTENSION* x, BUS_REQUEST* r, enum PHONE_URB_VERDICT verdict) {
    switch (verdict) {
    case PhoneUrbIrpPending:
    case PhoneUrbUrbPending:
        // Windows stops the machine here rather than corrupt the host
        // controller's schedule; so does this bus.
        KeBugCheckEx(0xFE /* BUGCODE_USB_DRIVER */, verdict == PhoneUrbIrpPending ? 4 : 2,
                     (ULONG_PTR)r->X.Irp, (ULONG_PTR)r->X.Urb, (ULONG_PTR)r->Irp);
        break;
    case PhoneUrbMdl:
        // The phone reads data stages through a system address only.
        r->X.Status = STATUS_INVALID_PARAMETER;
        r->X.Usbd = USBD_STATUS_INVALID_PARAMETER;
        r->X.Why = "a data stage described by an MDL";
        break;
    default:
        break;
    }
    DbgPrint("vxphonebus: interface %u refused %s (URB function %u)\n", (unsigned)x->Number, r->X.Why,
             (unsigned)r->X.Function);
}

// The one place every URB enters the bus. Caller: the PDO's internal device
// control, at or below DISPATCH_LEVEL.
static NTSTATUS SubmitUrb(PDO_EXTENSION* x, PIRP Irp, PURB urb) {
    BUS_EXTENSION* bus = x->Bus;
    BUS_REQUEST* r = (BUS_REQUEST*)ExAllocatePoolWithTag(NonPagedPool, sizeof *r, PHONEBUS_TAG);
    if (r == NULL)
        return Finish(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    r->Irp = Irp;
    r->CancelSet = FALSE;
    Irp->Tail.Overlay.DriverContext[0] = r;
    InterlockedIncrement((PLONG)&bus->Stats.Submitted);
    KIRQL old;
    KeAcquireSpinLock(&bus->Lock, &old);
    PHONE_INTERFACE* ifc = &bus->Phone->Interface[x->Number];
    enum PHONE_URB_VERDICT verdict = PhoneCheckUrb(bus->Phone, ifc, Irp, urb, &r->X);
    if (verdict != PhoneUrbAccepted) {
        Refused(x, r, verdict);
    } else if (!x->Present) {
        // A PDO of a phone pulled out (a new one may be plugged in since)
        // carries nothing more.
        r->X.Status = STATUS_DEVICE_NOT_CONNECTED;
        r->X.Usbd = USBD_STATUS_DEVICE_GONE;
    }
    IoMarkIrpPending(Irp);
    if (PhoneSubmit(bus->Phone, ifc, &r->X, Now())) {
        if (!ParkRequest(bus, &r->X)) {
            PhoneCancel(bus->Phone, &r->X);
            PhoneRelease(bus->Phone, &r->X);
            KeReleaseSpinLock(&bus->Lock, old);
            CompleteRequests(r);
            return STATUS_PENDING;
        }
    } else if (r->X.AtOnce) {
        // The fault "complete at once": inside the call.
        Count(bus, &r->X);
        PhoneRelease(bus->Phone, &r->X);
        NTSTATUS status = r->X.Status;
        KeReleaseSpinLock(&bus->Lock, old);
        r->X.Next = NULL;
        CompleteRequests(r);
        return status;
    }
    KeReleaseSpinLock(&bus->Lock, old);
    KeSetEvent(&bus->Wake, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
}

// Windows's hub answers an internal control code it does not serve by
// completing the IRP with STATUS_NOT_SUPPORTED; so does this bus.
static NTSTATUS PdoInternalControl(PDO_EXTENSION* x, PIRP Irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    if (sp->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB)
        return Finish(Irp, STATUS_NOT_SUPPORTED, 0);
    PURB urb = (PURB)sp->Parameters.Others.Argument1;
    if (urb == NULL)
        return Finish(Irp, STATUS_INVALID_PARAMETER, 0);
    return SubmitUrb(x, Irp, urb);
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

// The interface's PDO was removed: whatever waits fails as gone, and so does
// everything sent to it until it starts again.
static void FailInterface(PDO_EXTENSION* x) {
    KIRQL old;
    KeAcquireSpinLock(&x->Bus->Lock, &old);
    PHONE_INTERFACE* ifc = &x->Bus->Phone->Interface[x->Number];
    // A PDO whose phone was pulled has nothing waiting (the unplug failed it
    // all), and the interface record may be a newer phone's by now.
    if (x->Present) {
        ifc->Removed = TRUE;
        PhoneRetireInterface(x->Bus->Phone, ifc, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    }
    BUS_REQUEST* done = TakeDone(x->Bus);
    KeReleaseSpinLock(&x->Bus->Lock, old);
    CompleteRequests(done);
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
        if (x->Present)
            x->Bus->Phone->Interface[x->Number].Removed = FALSE;
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
        PhoneFree(bus->Phone);
        ExFreePoolWithTag(bus->Phone, PHONEBUS_TAG);
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
    busy = PhonePresent(bus) || bus->Stats.ChildrenAlive != 0;
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

// A fault of the phone's plan, from a programme (VXPHONEBUS_FAULT).
static NTSTATUS ArmFault(BUS_EXTENSION* bus, PIRP Irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    const VXPHONEBUS_FAULT* f = (const VXPHONEBUS_FAULT*)Irp->AssociatedIrp.SystemBuffer;
    if (sp->Parameters.DeviceIoControl.InputBufferLength < sizeof *f || f->Interface >= InterfaceCount ||
        f->Pipe >= PHONE_PIPES || (f->Kind >= PhoneFaultKinds && f->Kind != VXPHONEBUS_FAULT_CLEAR))
        return STATUS_INVALID_PARAMETER;
    PHONE_FAULT fault;
    RtlZeroMemory(&fault, sizeof fault);
    fault.Halt = (BOOLEAN)(f->Halt != 0);
    fault.Skip = f->Skip;
    fault.Count = f->Count;
    fault.Status = f->Status;
    fault.Usbd = f->Usbd;
    fault.Value = f->Value;
    KIRQL old;
    KeAcquireSpinLock(&bus->Lock, &old);
    if (f->Kind == VXPHONEBUS_FAULT_CLEAR)
        PhoneClearFaults(&bus->Phone->Interface[f->Interface], (int)f->Pipe);
    else
        PhoneArmFault(&bus->Phone->Interface[f->Interface], (int)f->Pipe, (int)f->Kind, &fault);
    KeReleaseSpinLock(&bus->Lock, old);
    DbgPrint("vxphonebus: fault %u armed on interface %u pipe %u (skip %u, count %u)\n",
             (unsigned)f->Kind, (unsigned)f->Interface, (unsigned)f->Pipe, (unsigned)f->Skip,
             (unsigned)f->Count);
    KeSetEvent(&bus->Wake, IO_NO_INCREMENT, FALSE); // a transfer waiting now meets it
    return STATUS_SUCCESS;
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
    case IOCTL_VXPHONEBUS_FAULT:
        return Finish(Irp, ArmFault(bus, Irp), 0);
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
    KeInitializeEvent(&bus->Wake, SynchronizationEvent, FALSE);
    KeInitializeEvent(&bus->ThreadDone, NotificationEvent, FALSE);
    bus->Phone = (PHONE*)ExAllocatePoolWithTag(NonPagedPool, sizeof(PHONE), PHONEBUS_TAG);
    if (bus->Phone == NULL) {
        IoDeleteDevice(fdo);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(bus->Phone, sizeof(PHONE));
    ResetPhone(bus);
    PhoneUnplug(bus->Phone); // plugged in when the bus starts
    status = CreateControlDevice(bus, Driver);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(bus->Phone, PHONEBUS_TAG);
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
