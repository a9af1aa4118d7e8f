// The simulated USB parent bus driver: PDOs for the phone's interfaces, the
// frame tick, cancellation, the timeline, and the PDOs' Plug and Play and
// power answers. What a URB does is the phone's to decide
// (platform/usb/phonecore); every URB enters the bus in BusState::SubmitUrb
// and leaves it in BusState::Complete.
#include "platform/usb/usb_internal.h"

#include "platform/usb/capture.h" // URB capture hook

#include "platform/sim/api_ex.h"
#include "platform/sim/api_io.h"
#include "platform/sim/api_ke.h"
#include "platform/sim/api_pnp.h"
#include "platform/sim/internal.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace usb {
namespace detail {

namespace {

constexpr ULONG kBusPoolTag = 0x53627355; // "UsbS"
constexpr const char* kBusName = "usbbus-sim";

std::atomic<BusState*> g_bus{nullptr};

// ---------------------------------------------------------------- small helpers

std::string Address(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

InterfaceState* StateOf(PDEVICE_OBJECT device) {
    auto* x = static_cast<PdoExtension*>(device->DeviceExtension);
    if (x == nullptr || x->Signature != kPdoSignature)
        sim::NotModelled("usbbus-sim: a request reached device " + Address(device) +
                         ", which is not one of its PDOs");
    return x->State;
}

void CompleteIrp(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// ---- URB capture hook: what a capture filter above the bus would see.
void CaptureUrb(const Request& r, bool completion) {
    const PHONE_XFER& x = r.x;
    UrbCapture c;
    c.completion = completion;
    c.irp = r.irp;
    c.time = static_cast<LONGLONG>(KeQueryInterruptTime());
    c.device = r.ifc->phone->index;
    c.interfaceNumber = r.ifc->number;
    c.pipe = static_cast<Pipe>(x.Pipe);
    c.function = x.Function;
    c.in = x.In != FALSE;
    c.setup = SetupPacket{x.Setup.bmRequestType, x.Setup.bRequest, x.Setup.wValue, x.Setup.wIndex,
                          x.Setup.wLength};
    c.requested = x.Length;
    c.status = completion ? x.Status : STATUS_PENDING;
    c.usbdStatus = completion ? x.Usbd : USBD_STATUS_PENDING;
    if (c.in == completion && (x.Type == PhoneXferTransfer || x.Type == PhoneXferClass)) {
        c.data = x.Buffer;
        c.length = completion ? std::min(x.Reported, x.Length) : x.Length;
    }
    UrbCaptured(c);
}
// ---- end of the URB capture hook

DRIVER_CANCEL BusCancelTransfer;
DRIVER_DISPATCH BusInternalControl;
DRIVER_DISPATCH BusPnp;
DRIVER_DISPATCH BusPower;
DRIVER_DISPATCH BusSystemControl;
KDEFERRED_ROUTINE BusFrameTick;
WORKER_THREAD_ROUTINE BusReaper;

NTSTATUS NTAPI BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BusInternalControl;
    driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
    driver->MajorFunction[IRP_MJ_POWER] = BusPower;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = BusSystemControl;
    return STATUS_SUCCESS;
}

} // namespace

BusState* CurrentBus() { return g_bus.load(); }
LONGLONG Now() { return static_cast<LONGLONG>(KeQueryInterruptTime()); }

// ================================================================ bus lifetime

BusState::BusState() {
    NTSTATUS status = STATUS_SUCCESS;
    driver = sim::CreateDriver(kBusName, BusDriverEntry, &status);
    if (driver == nullptr)
        UsageError("the bus driver could not be created");
    sim::SetRequiredPoolTag(driver, kBusPoolTag);
    std::lock_guard<detail::BusLock> guard(lock);
    ControllerNumbered(0);
}

HostController& BusState::ControllerNumbered(unsigned number) {
    for (auto& hc : controllers)
        if (hc->number == number)
            return *hc;
    auto hc = std::make_unique<HostController>();
    hc->bus = this;
    hc->number = number;
    sim::DriverScope scope(driver);
    KeInitializeDpc(&hc->dpc, BusFrameTick, hc.get());
    // A controller's interrupts go to one processor, the controllers spread
    // over the processors as interrupt affinity spreads them: a controller's
    // completions then run on one processor, next to its phones' port
    // threads where a program keeps them there.
    if (sim::Concurrent()) {
        const auto processors =
            static_cast<unsigned>(__builtin_popcountl(KeQueryActiveProcessors()));
        KeSetTargetProcessorDpc(&hc->dpc, static_cast<CCHAR>(number % processors));
    }
    KeInitializeTimer(&hc->timer);
    controllers.push_back(std::move(hc));
    return *controllers.back();
}

BusState::~BusState() {
    // Pull every phone still plugged, so the Plug and Play manager removes
    // the stacks above it, then let the machine finish that.
    std::vector<PhoneState*> plugged;
    {
        std::lock_guard<detail::BusLock> guard(lock);
        for (auto& p : phones)
            if (p->core->Plugged)
                plugged.push_back(p.get());
    }
    for (PhoneState* p : plugged)
        Unplug(p);
    sim::RunUntilIdle();
    // A reaper waiting for its function device to detach is a blocked
    // worker, which the idle check does not wait for; the PDOs must be gone
    // before the bus unloads.
    sim::WaitUntil([this] { return reaping.load() == 0; },
                   "usbbus-sim: removed PDOs whose function devices have not detached");

    // Whatever is still pending below a stack nobody removed fails as gone.
    {
        std::lock_guard<detail::BusLock> guard(lock);
        for (auto& p : phones)
            PhoneUnplug(p->core.get());
    }
    {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        for (auto& hc : controllers)
            Tick(*hc);
        KeLowerIrql(old);
    }
    sim::RunUntilIdle();

    bool left = false;
    for (auto& p : phones) {
        for (auto& ifc : p->interfaces) {
            PDEVICE_OBJECT pdo = ifc->pdo;
            if (pdo == nullptr)
                continue;
            if (pdo->AttachedDevice != nullptr) {
                DbgPrint("usbbus-sim: interface %d's PDO still has a device attached at bus "
                         "teardown; it is left to the end-of-run checks\n",
                         ifc->number);
                left = true;
                continue;
            }
            sim::DriverScope scope(driver);
            IoDeleteDevice(pdo);
            ifc->pdo = nullptr;
        }
    }
    {
        sim::DriverScope scope(driver);
        for (auto& hc : controllers) {
            KeCancelTimer(&hc->timer);
            KeRemoveQueueDpc(&hc->dpc);
        }
    }
    // Requests whose cancel routine never came are the bus's to free.
    for (auto& p : phones) {
        for (ULONG i = 0; i < p->core->InterfaceCount; ++i)
            for (PHONE_ENDPOINT& ep : p->core->Interface[i].Ep)
                while (PHONE_XFER* x = ep.Head) {
                    ep.Head = x->Next;
                    delete RequestOf(x);
                }
        PhoneFree(p->core.get());
    }
    if (!left)
        sim::UnloadDriver(driver);
}

// ================================================================ timeline

void BusState::RecordPhone(PhoneState* phone, const BusEvent& event) {
    phone->timeline.push_back(event);
    if (phone->hook) {
        hookQueue.emplace_back(phone, event);
        hooksQueued.store(true, std::memory_order_relaxed);
    }
}

void BusState::Record(InterfaceState* ifc, EventKind kind, Pipe pipe, ULONG length,
                      NTSTATUS status, LONG usbd, ULONG code, const void* irp) {
    BusEvent e;
    e.sequence = ++eventSequence;
    e.time = Now();
    e.kind = kind;
    e.interfaceNumber = ifc->number;
    e.pipe = pipe;
    e.length = length;
    e.status = status;
    e.usbdStatus = usbd;
    e.code = code;
    e.irp = irp;
    RecordPhone(ifc->phone, e);
}

// Lists emptied by the thread's last round, kept for their memory: the bus
// runs hooks and ticks every request or two. A round inside another (a hook
// or a completion that gets here again) finds none and starts its own.
namespace {
thread_local std::vector<std::pair<PhoneState*, BusEvent>> t_spareQueued;
thread_local std::vector<std::shared_ptr<const std::function<void(const BusEvent&)>>> t_spareHooks;
thread_local std::vector<Request*> t_spareDone;

template <typename T> void KeepSpare(std::vector<T>& list, std::vector<T>& spare) {
    list.clear();
    if (spare.capacity() == 0)
        spare.swap(list);
}
} // namespace

void BusState::RunHooks() {
    // Whoever records an event runs the hooks after it, and sees its own
    // mark here; most calls find nothing queued and take no lock.
    if (!hooksQueued.load(std::memory_order_relaxed))
        return;
    std::vector<std::pair<PhoneState*, BusEvent>> queued;
    std::vector<std::shared_ptr<const std::function<void(const BusEvent&)>>> hooks;
    queued.swap(t_spareQueued);
    hooks.swap(t_spareHooks);
    {
        std::lock_guard<detail::BusLock> guard(lock);
        hooksQueued.store(false, std::memory_order_relaxed);
        // The queue takes the spare list's memory, this round its events.
        queued.swap(hookQueue);
        // One hook for each run of events of one phone (nearly always one
        // run), as each phone's hook is now.
        const PhoneState* last = nullptr;
        for (auto& [phone, e] : queued) {
            if (phone != last)
                hooks.push_back(phone->hook);
            last = phone;
        }
    }
    size_t run = 0;
    for (size_t i = 0; i < queued.size(); ++i) {
        if (i != 0 && queued[i].first != queued[i - 1].first)
            ++run;
        if (hooks[run])
            (*hooks[run])(queued[i].second);
    }
    KeepSpare(queued, t_spareQueued);
    KeepSpare(hooks, t_spareHooks);
}

// ================================================================ leaving the bus

void BusState::Retired(Request* r) {
    InterfaceState* ifc = r->ifc;
    const PHONE_XFER& x = r->x;
    if (x.Type == PhoneXferClass) {
        ClassRequest seen;
        seen.setup = SetupPacket{x.Setup.bmRequestType, x.Setup.bRequest, x.Setup.wValue,
                                 x.Setup.wIndex, x.Setup.wLength};
        // The data stage the host sent, or what the phone returned.
        ULONG bytes = x.In ? (NT_SUCCESS(x.Status) ? x.Done : 0) : x.Length;
        if (x.Buffer != nullptr && bytes != 0)
            seen.data.assign(x.Buffer, x.Buffer + bytes);
        seen.status = x.Status;
        seen.usbdStatus = x.Usbd;
        ifc->classRequests.push_back(std::move(seen));
        Record(ifc, EventKind::ClassRequest, Pipe::Control, x.Setup.wValue, x.Status, x.Usbd,
               x.Setup.bRequest, r->irp);
    }
    Record(ifc, EventKind::Complete, static_cast<Pipe>(x.Pipe), x.Reported, x.Status, x.Usbd, 0,
           r->irp);
    PhoneRelease(ifc->phone->core.get(), &r->x);
}

namespace {

// What the phone decided by moving packets (or answering a setup) on a timed
// phone: it reaches the driver when the wire would have delivered it. What
// the host or the bus ended (an abort, a reset, a cancel, a pulled cable)
// leaves at once.
bool WireTimed(const PhoneState& phone, const PHONE_XFER& x) {
    if (!phone.wireBus || (x.Type != PhoneXferTransfer && x.Type != PhoneXferClass))
        return false;
    return x.Status != STATUS_CANCELLED && x.Status != STATUS_DEVICE_NOT_CONNECTED;
}

// Nothing more moves on the interface: what it holds leaves now.
bool Stopped(const Request& r) {
    return !r.ifc->phone->core->Plugged || r.ifc->core->Removed || r.ifc->core->Suspended;
}

} // namespace

void BusState::Hold(HostController& hc, Request* r, LONGLONG now) {
    r->due = WireDue(r->ifc->phone, r, now);
    auto at = std::upper_bound(hc.held.begin(), hc.held.end(), r->due,
                               [](LONGLONG due, Request* h) { return due < h->due; });
    hc.held.insert(at, r);
}

void BusState::Release(HostController& hc, std::vector<Request*>& done,
                       const std::function<bool(const Request&)>& now) {
    auto& held = hc.held;
    auto leaving =
        std::stable_partition(held.begin(), held.end(), [&now](Request* r) { return now(*r); });
    for (auto it = held.begin(); it != leaving; ++it) {
        Retired(*it);
        done.push_back(*it);
    }
    held.erase(held.begin(), leaving);
}

// A pipe's requests leave in the order decided: one that leaves at once
// takes the held ones of its pipe (an abort, the transfers it cancelled)
// ahead of it.
void BusState::CollectDone(HostController& hc, std::vector<Request*>& done, LONGLONG now) {
    if (!hc.held.empty())
        Release(hc, done, [now](const Request& r) { return r.due <= now || Stopped(r); });
    for (PhoneState* phone : hc.phones)
        while (PHONE_XFER* x = PhoneTakeDone(phone->core.get())) {
            Request* r = RequestOf(x);
            if (WireTimed(*phone, *x)) {
                Hold(hc, r, now);
                continue;
            }
            if (!hc.held.empty())
                Release(hc, done,
                        [r](const Request& h) { return h.ifc == r->ifc && h.x.Pipe == r->x.Pipe; });
            Retired(r);
            done.push_back(r);
        }
}

// The phone decided the transfer now: its bytes (IN) or its room (OUT) are
// there from the time its radio delivered them (bulk-in), or from now, at
// the phone's rate; the wire moves them in the (micro)frames it allows from
// the one after the submission.
LONGLONG BusState::WireDue(PhoneState* phone, Request* r, LONGLONG now) {
    const PHONE_XFER& x = r->x;
    WIRE_PIPE& pipe = phone->wirePipes[x.Interface][x.Pipe];
    const bool bulk = x.Pipe == PhoneBulkIn || x.Pipe == PhoneBulkOut;
    // OUT and control move what the phone took or answered; IN asks for the
    // buffer and ends early with a short or zero-length packet.
    const bool in = x.In && x.Type == PhoneXferTransfer;
    WIRE_SUPPLY supply = {now, x.Done, bulk ? phone->config.wire.phoneBytesPerSecond : 0,
                          static_cast<BOOLEAN>(in && x.Done < x.Length), TRUE};
    if (supply.BytesPerSecond != 0 && x.Pipe == PhoneBulkIn)
        supply.From = RadioFrom(r->ifc, supply.BytesPerSecond, x.Done);
    WireSetSupply(&pipe, &supply);
    WIRE_TRANSFER t;
    WireSchedule(&pipe, r->submitted, in ? x.Length : x.Done, &t);
    return t.Finished ? std::max(t.Completion, now) : now;
}

// When the first of the `taken` bytes a bulk-in transfer just took reached
// the phone over its radio: the bytes pushed so far arrive back to back
// until `radioAt`, so those still queued behind these came last.
LONGLONG BusState::RadioFrom(InterfaceState* ifc, ULONGLONG rate, ULONG taken) {
    const PHONE_ENDPOINT& ep = ifc->core->Ep[PhoneBulkIn];
    const ULONGLONG behind = ep.BytesQueued - ep.BytesSent + taken;
    const LONGLONG span = static_cast<LONGLONG>(behind * kWireSecond / rate);
    return std::max<LONGLONG>(ifc->radioAt - span, 0);
}

// Every request leaves the bus here (the cancel routine aside): the URB gets
// its outcome and the IRP is completed, at the caller's IRQL.
void BusState::Complete(const std::vector<Request*>& done) {
    for (Request* r : done) {
        CaptureUrb(*r, true); // URB capture hook: completion
        PhoneFinishUrb(&r->x, r->urb);
        r->irp->Tail.Overlay.DriverContext[0] = nullptr;
        r->irp->IoStatus.Information = 0;
        CompleteIrp(r->irp, r->x.Status);
        delete r;
    }
}

void BusState::Kick(const PhoneState* phone) {
    sim::DriverScope scope(driver);
    KeInsertQueueDpc(&phone->controller->dpc, nullptr, nullptr);
}

// ================================================================ the frame tick

// Lets each phone serve what waits on its endpoints and collects what it
// decided. Returns when the next tick is due (0: nothing waits for time).
LONGLONG BusState::Serve(HostController& hc, std::vector<Request*>& done,
                         std::vector<PhoneState*>& pulled) {
    std::lock_guard<detail::BusLock> guard(lock);
    LONGLONG now = Now();
    LONGLONG wake = 0;
    for (PhoneState* phone : hc.phones) {
        LONGLONG due = 0;
        if (PhoneRun(phone->core.get(), now, &due) && (wake == 0 || due < wake))
            wake = due;
        if (phone->core->UnplugPending) {
            phone->core->UnplugPending = FALSE;
            pulled.push_back(phone);
        }
    }
    CollectDone(hc, done, now);
    if (!hc.held.empty() && (wake == 0 || hc.held.front()->due < wake))
        wake = hc.held.front()->due;
    return wake;
}

void BusState::ArmTimer(HostController& hc, LONGLONG wake) {
    if (wake == 0)
        return;
    LARGE_INTEGER due;
    due.QuadPart = -std::max<LONGLONG>(wake - Now(), 1);
    sim::DriverScope scope(driver);
    KeSetTimer(&hc.timer, due, &hc.dpc);
}

// Runs at DISPATCH_LEVEL: serve, then complete everything decided in the
// order it was decided; a phone a fault pulled out is unplugged last.
void BusState::Tick(HostController& hc) {
    std::vector<Request*> done;
    done.swap(t_spareDone);
    std::vector<PhoneState*> pulled;
    ArmTimer(hc, Serve(hc, done, pulled));
    Complete(done);
    std::vector<std::pair<PIRP, NTSTATUS>> power;
    {
        std::lock_guard<detail::BusLock> guard(lock);
        power.swap(hc.powerLater);
    }
    for (auto [irp, status] : power) {
        PoStartNextPowerIrp(irp);
        CompleteIrp(irp, status);
    }
    for (PhoneState* phone : pulled)
        Unplug(phone);
    RunHooks();
    KeepSpare(done, t_spareDone);
}

namespace {
VOID NTAPI BusFrameTick(PKDPC, PVOID context, PVOID, PVOID) {
    auto* hc = static_cast<HostController*>(context);
    hc->bus->Tick(*hc);
}

// The phone's hold on a request against cancellation (see PHONE_HOST).
BOOLEAN ClaimRequest(void*, PHONE_XFER* x) {
    Request* r = RequestOf(x);
    if (r->cancelRoutineSet && IoSetCancelRoutine(r->irp, nullptr) == nullptr)
        return FALSE;
    r->cancelRoutineSet = false;
    return TRUE;
}

BOOLEAN ParkRequest(void*, PHONE_XFER* x) {
    Request* r = RequestOf(x);
    IoSetCancelRoutine(r->irp, BusCancelTransfer);
    r->cancelRoutineSet = true;
    if (r->irp->Cancel && IoSetCancelRoutine(r->irp, nullptr) != nullptr) {
        r->cancelRoutineSet = false;
        return FALSE;
    }
    return TRUE;
}

// A packet carries its size in front of it, so that it can go back to the
// simulation's free lists it came from: a busy port sends one per transfer.
// Under a sanitizer, exactly what was asked for, with nothing in front.
constexpr size_t kPacketHeader = 16;

void* AllocPacket(void*, ULONG bytes) {
    if constexpr (!sim::kPoolRecords) {
        void* p = std::malloc(bytes);
        if (p == nullptr)
            UsageError("out of memory for the phone's packets");
        return p;
    }
    auto* block = static_cast<unsigned char*>(sim::RecordAllocate(kPacketHeader + bytes));
    const size_t size = bytes;
    memcpy(block, &size, sizeof size);
    return block + kPacketHeader;
}

void FreePacket(void*, void* p) {
    if constexpr (!sim::kPoolRecords) {
        std::free(p);
        return;
    }
    if (p == nullptr)
        return;
    auto* block = static_cast<unsigned char*>(p) - kPacketHeader;
    size_t size;
    memcpy(&size, block, sizeof size);
    sim::RecordFree(block, kPacketHeader + size);
}

void HostWrote(void* context, ULONG number, const UCHAR* data, ULONG length) {
    auto* phone = static_cast<PhoneState*>(context);
    auto& received = phone->interfaces[number]->received;
    received.insert(received.end(), data, data + length);
}
} // namespace

// ================================================================ URBs

// Checks the URB with the phone and records what it is; stops the machine
// where Windows would. Caller holds lock (released before a bug check).
void BusState::Admit(Request* r, BusGuard& guard) {
    InterfaceState* ifc = r->ifc;
    PIRP irp = r->irp;
    PURB urb = r->urb;
    PHONE_XFER& x = r->x;
    switch (PhoneCheckUrb(ifc->phone->core.get(), ifc->core, irp, urb, &x)) {
    case PhoneUrbIrpPending:
        guard.unlock();
        sim::BugCheck(sim::kBugcodeUsbDriver, sim::kFEIrpSubmittedTwice,
                      reinterpret_cast<ULONG_PTR>(irp), reinterpret_cast<ULONG_PTR>(urb), 0,
                      "BUGCODE_USB_DRIVER: an IRP already pending in the USB bus driver was "
                      "submitted again");
    case PhoneUrbUrbPending:
        guard.unlock();
        sim::BugCheck(sim::kBugcodeUsbDriver, sim::kFEUrbSubmittedTwice,
                      reinterpret_cast<ULONG_PTR>(x.Irp), reinterpret_cast<ULONG_PTR>(irp),
                      reinterpret_cast<ULONG_PTR>(urb),
                      "BUGCODE_USB_DRIVER: a URB still attached to an IRP pending in the USB bus "
                      "driver was submitted with another IRP");
    case PhoneUrbMdl:
        guard.unlock();
        sim::NotModelled("usbbus-sim: a data stage described by an MDL (URB " + Address(urb) + ")");
    case PhoneUrbRefused:
        Record(ifc, EventKind::Refused, static_cast<Pipe>(x.Pipe), 0, x.Status, x.Usbd,
               x.Function, irp);
        DbgPrint("usbbus-sim: interface %d refused %s (URB function %u, %s)\n", ifc->number, x.Why,
                 x.Function, sim::DriverName(sim::CurrentDriver()).c_str());
        return;
    case PhoneUrbAccepted:
        break;
    }
    const Pipe pipe = static_cast<Pipe>(x.Pipe);
    if (x.Type == PhoneXferAbort)
        Record(ifc, EventKind::Abort, pipe, 0, STATUS_SUCCESS, 0, 0, irp);
    else if (x.Type == PhoneXferReset)
        Record(ifc, EventKind::Reset, pipe, 0, STATUS_SUCCESS, 0, 0, irp);
    else
        Record(ifc, EventKind::Submit, pipe, x.Length, STATUS_PENDING, USBD_STATUS_PENDING,
               x.Setup.bRequest, irp);
}

// Caller: the PDO's internal device control, at or below DISPATCH_LEVEL.
NTSTATUS BusState::SubmitUrb(InterfaceState* ifc, PIRP irp, PURB urb) {
    auto* r = new Request;
    r->irp = irp;
    r->urb = urb;
    r->ifc = ifc;
    r->submitted = Now();
    BusGuard guard(lock);
    Admit(r, guard);
    CaptureUrb(*r, false); // URB capture hook: submission
    irp->Tail.Overlay.DriverContext[0] = r;
    if (PhoneSubmit(ifc->phone->core.get(), ifc->core, &r->x, Now()))
        return Queue(r, guard);
    if (r->x.AtOnce)
        return CompleteAtOnce(r, guard);
    // Decided, on the phone's done list: the next frame tick completes it.
    IoMarkIrpPending(irp);
    guard.unlock();
    Kick(ifc->phone);
    RunHooks();
    return STATUS_PENDING;
}

// The request waits on its endpoint, cancellable.
NTSTATUS BusState::Queue(Request* r, BusGuard& guard) {
    // Once the lock is dropped the request may be done and gone.
    const PhoneState* phone = r->ifc->phone;
    IoMarkIrpPending(r->irp);
    if (!ParkRequest(nullptr, &r->x)) {
        PhoneCancel(r->ifc->phone->core.get(), &r->x);
        Record(r->ifc, EventKind::Cancel, static_cast<Pipe>(r->x.Pipe), 0, STATUS_CANCELLED,
               USBD_STATUS_CANCELED, 0, r->irp);
        Retired(r);
        guard.unlock();
        Complete({r});
        RunHooks();
        return STATUS_PENDING;
    }
    guard.unlock();
    Kick(phone);
    RunHooks();
    return STATUS_PENDING;
}

// The fault "complete at once": this request completes inside the call
// (transfers an abort retired stay for the frame tick).
NTSTATUS BusState::CompleteAtOnce(Request* r, BusGuard& guard) {
    Retired(r);
    guard.unlock();
    Kick(r->ifc->phone); // the phone's answer, and whatever an abort retired, wait for the tick
    NTSTATUS status = r->x.Status;
    Complete({r});
    RunHooks();
    return status;
}

void BusState::CancelTransfer(PIRP irp) {
    auto* r = static_cast<Request*>(irp->Tail.Overlay.DriverContext[0]);
    if (r == nullptr || r->irp != irp)
        sim::NotModelled("usbbus-sim: its cancel routine ran for IRP " + Address(irp) +
                         ", which it does not hold");
    {
        std::lock_guard<detail::BusLock> guard(lock);
        PhoneCancel(r->ifc->phone->core.get(), &r->x);
        Record(r->ifc, EventKind::Cancel, static_cast<Pipe>(r->x.Pipe), r->x.Done,
               STATUS_CANCELLED, USBD_STATUS_CANCELED, 0, irp);
        Retired(r);
    }
    Complete({r});
    RunHooks();
}

namespace {

VOID NTAPI BusCancelTransfer(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    CurrentBus()->CancelTransfer(irp);
}

// Windows's hub answers an internal control code it does not serve by
// completing the IRP with STATUS_NOT_SUPPORTED; so does this bus.
NTSTATUS NTAPI BusInternalControl(PDEVICE_OBJECT device, PIRP irp) {
    InterfaceState* ifc = StateOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        DbgPrint("usbbus-sim: internal control code 0x%08X is not served; failed with "
                 "STATUS_NOT_SUPPORTED\n",
                 code);
        irp->IoStatus.Information = 0;
        CompleteIrp(irp, STATUS_NOT_SUPPORTED);
        return STATUS_NOT_SUPPORTED;
    }
    auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (urb == nullptr) {
        DbgPrint("usbbus-sim: IOCTL_INTERNAL_USB_SUBMIT_URB without a URB\n");
        irp->IoStatus.Information = 0;
        CompleteIrp(irp, STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    return ifc->phone->bus->SubmitUrb(ifc, irp, urb);
}

} // namespace

// ================================================================ plug and unplug

namespace {

PDEVICE_OBJECT CreatePdo(PDRIVER_OBJECT driver, InterfaceState* ifc) {
    static std::atomic<unsigned> pdoNumber{0};
    std::string name = "\\Device\\USBPDO-" + std::to_string(pdoNumber++);
    std::u16string wide(name.begin(), name.end());
    UNICODE_STRING us;
    us.Buffer = reinterpret_cast<PWSTR>(wide.data());
    us.Length = static_cast<USHORT>(wide.size() * sizeof(WCHAR));
    us.MaximumLength = us.Length;
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status;
    {
        sim::DriverScope scope(driver);
        status = IoCreateDevice(driver, sizeof(PdoExtension), &us, FILE_DEVICE_UNKNOWN,
                                FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
    }
    if (!NT_SUCCESS(status))
        UsageError("IoCreateDevice failed for a PDO: status " + std::to_string(status));
    auto* x = static_cast<PdoExtension*>(pdo->DeviceExtension);
    std::memset(x, 0, sizeof *x);
    x->Signature = kPdoSignature;
    x->InterfaceNumber = static_cast<ULONG>(ifc->number);
    x->PortNumber = static_cast<ULONG>(ifc->phone->index + 1);
    x->State = ifc;
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return pdo;
}

// The function behind an interface's pipes, as the phone's configuration asks.
int FunctionOf(const PhoneConfig& config, InterfaceKind kind) {
    if (kind == InterfaceKind::Modem)
        return config.atModem ? PhoneFunctionModem : PhoneFunctionNone;
    return config.loopBack ? PhoneFunctionLoopBack : PhoneFunctionNone;
}

} // namespace

Phone& BusState::PlugIn(const PhoneConfig& config) {
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "usb::Bus::PlugIn");
    if (config.interfaces.empty() || config.interfaces.size() > PHONE_MAX_INTERFACES)
        UsageError("a phone has one to " + std::to_string(PHONE_MAX_INTERFACES) + " interfaces");
    auto phone = std::make_unique<PhoneState>();
    PhoneState* p = phone.get();
    p->bus = this;
    p->config = config;
    p->handle.reset(new Phone(p));
    p->core = std::make_unique<PHONE>();
    const PHONE_HOST host = {p, AllocPacket, FreePacket, ClaimRequest, ParkRequest, HostWrote};
    PhoneInit(p->core.get(), &host);
    if (config.wire.on) {
        p->wireBus = std::make_unique<WIRE_BUS>();
        WireInitBus(p->wireBus.get(), config.wire.speed, config.wire.latency);
        if (config.bulkMaxPacket != p->wireBus->BulkPacket)
            UsageError("a wire-timed phone's bulk packets are its speed's (" +
                       std::to_string(p->wireBus->BulkPacket) + " bytes)");
        for (auto& pipes : p->wirePipes) {
            WIRE_BUS* bus = p->wireBus.get();
            WireInitPipe(&pipes[PhoneBulkIn], bus, WireBulk, TRUE, 0, 0);
            WireInitPipe(&pipes[PhoneBulkOut], bus, WireBulk, FALSE, 0, 0);
            WireInitPipe(&pipes[PhoneInterruptIn], bus, WireInterrupt, TRUE,
                         config.interruptMaxPacket, config.wire.interruptInterval);
            WireInitPipe(&pipes[PhoneControl], bus, WireControl, TRUE, 0, 0);
        }
    }
    {
        std::lock_guard<detail::BusLock> guard(lock);
        p->index = static_cast<int>(phones.size());
        p->controller = &ControllerNumbered(config.hostController);
        for (size_t i = 0; i < config.interfaces.size(); ++i) {
            auto ifc = std::make_unique<InterfaceState>();
            ifc->phone = p;
            ifc->number = static_cast<int>(i);
            ifc->kind = config.interfaces[i];
            ifc->core = PhoneAddInterface(p->core.get(), FunctionOf(config, ifc->kind),
                                          ifc->kind == InterfaceKind::Modem, config.bulkMaxPacket,
                                          config.interruptMaxPacket, Now());
            ifc->handle.reset(new Interface(ifc.get()));
            p->interfaces.push_back(std::move(ifc));
        }
    }
    for (auto& ifc : p->interfaces)
        ifc->pdo = CreatePdo(driver, ifc.get());
    {
        std::lock_guard<detail::BusLock> guard(lock);
        p->controller->phones.push_back(p);
        phones.push_back(std::move(phone));
    }
    if (config.enumerate) {
        for (auto& ifc : p->interfaces) {
            sim::PlugOptions options;
            options.instanceId = ifc->handle->InstanceId();
            sim::PnpDeviceArrived(ifc->pdo, InterfaceKindName(ifc->kind), options);
        }
    }
    return *p->handle;
}

void BusState::Unplug(PhoneState* phone) {
    std::vector<PDEVICE_OBJECT> known;
    {
        std::lock_guard<detail::BusLock> guard(lock);
        if (!phone->core->Plugged)
            return;
        BusEvent e;
        e.sequence = ++eventSequence;
        e.time = Now();
        e.kind = EventKind::Unplug;
        RecordPhone(phone, e);
        PhoneUnplug(phone->core.get());
        for (auto& ifc : phone->interfaces)
            if (ifc->pdo)
                known.push_back(ifc->pdo);
    }
    Kick(phone);
    RunHooks();
    // The Plug and Play manager defers its part itself when called above
    // PASSIVE_LEVEL.
    for (PDEVICE_OBJECT pdo : known)
        if (sim::PnpFindNode(pdo) != nullptr)
            sim::PnpDeviceVanished(pdo);
}

// ================================================================ Plug and Play

namespace {

// A PDO removed after its phone was pulled goes away. Windows keeps the
// object until the function device above has detached; the simulation's
// I/O manager insists on the detach first, so when something is still
// attached the deletion waits for it on a worker thread.
struct Reap {
    WORK_QUEUE_ITEM item;
    PDEVICE_OBJECT pdo;
    BusState* bus;
};

VOID NTAPI BusReaper(PVOID context) {
    auto* reap = static_cast<Reap*>(context);
    PDEVICE_OBJECT pdo = reap->pdo;
    while (__atomic_load_n(&pdo->AttachedDevice, __ATOMIC_SEQ_CST) != nullptr)
        sim::WaitUntil([pdo] { return __atomic_load_n(&pdo->AttachedDevice, __ATOMIC_SEQ_CST) ==
                                      nullptr; },
                       "usbbus-sim: the function device to detach from a removed PDO",
                       kFrame100ns);
    IoDeleteDevice(pdo);
    reap->bus->reaping--;
    delete reap;
    sim::Notify();
}

void DeletePdo(BusState* bus, PDEVICE_OBJECT pdo) {
    if (pdo->AttachedDevice == nullptr) {
        IoDeleteDevice(pdo);
        return;
    }
    bus->reaping++;
    auto* reap = new Reap{{}, pdo, bus};
    ExInitializeWorkItem(&reap->item, BusReaper, reap);
    ExQueueWorkItem(&reap->item, DelayedWorkQueue);
}

NTSTATUS PnpStart(BusState& bus, InterfaceState* ifc) {
    std::lock_guard<detail::BusLock> guard(bus.lock);
    if (!ifc->phone->core->Plugged)
        return STATUS_NO_SUCH_DEVICE;
    auto* x = static_cast<PdoExtension*>(ifc->pdo->DeviceExtension);
    // Handles are bus-wide: one interface's handle is no other's.
    if (ifc->core->Handles[0] == 0) {
        for (ULONG_PTR& handle : ifc->core->Handles) {
            handle = bus.nextHandle;
            bus.nextHandle += 0x24;
        }
    }
    x->BulkInPipe = static_cast<ULONG>(ifc->core->Handles[0]);
    x->BulkOutPipe = static_cast<ULONG>(ifc->core->Handles[1]);
    x->InterruptPipe = static_cast<ULONG>(ifc->core->Handles[2]);
    ifc->core->Removed = FALSE;
    ifc->core->Suspended = FALSE;
    ifc->power = PowerDeviceD0;
    return STATUS_SUCCESS;
}

// The device vanished (or is being removed): nothing more moves on it.
void PnpGone(BusState& bus, InterfaceState* ifc) {
    {
        std::lock_guard<detail::BusLock> guard(bus.lock);
        ifc->core->Removed = TRUE;
        PhoneRetireInterface(ifc->phone->core.get(), ifc->core, STATUS_DEVICE_NOT_CONNECTED,
                             USBD_STATUS_DEVICE_GONE);
    }
    bus.Kick(ifc->phone);
}

NTSTATUS PnpRemove(BusState& bus, InterfaceState* ifc, PIRP irp) {
    PnpGone(bus, ifc);
    // Transfers a driver left pending below a removed device end now, not at
    // some later tick after the PDO is gone.
    {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        bus.Tick(*ifc->phone->controller);
        KeLowerIrql(old);
    }
    PDEVICE_OBJECT pdo = nullptr;
    {
        std::lock_guard<detail::BusLock> guard(bus.lock);
        for (ULONG_PTR& handle : ifc->core->Handles)
            handle = 0;
        auto* x = static_cast<PdoExtension*>(ifc->pdo->DeviceExtension);
        x->BulkInPipe = x->BulkOutPipe = x->InterruptPipe = 0;
        if (!ifc->phone->core->Plugged) {
            pdo = ifc->pdo;
            ifc->pdo = nullptr;
        }
    }
    CompleteIrp(irp, STATUS_SUCCESS);
    if (pdo != nullptr)
        DeletePdo(&bus, pdo);
    return STATUS_SUCCESS;
}

NTSTATUS PnpCapabilities(InterfaceState* ifc, PIO_STACK_LOCATION stack) {
    PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
    if (caps == nullptr || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
        return STATUS_UNSUCCESSFUL;
    caps->DeviceD1 = FALSE;
    caps->DeviceD2 = TRUE; // USB suspend
    caps->LockSupported = FALSE;
    caps->EjectSupported = FALSE;
    caps->Removable = TRUE;
    caps->DockDevice = FALSE;
    caps->UniqueID = TRUE; // the phone has a serial number
    caps->SilentInstall = FALSE;
    caps->RawDeviceOK = FALSE;
    caps->SurpriseRemovalOK = TRUE;
    caps->WakeFromD0 = caps->WakeFromD1 = caps->WakeFromD2 = caps->WakeFromD3 = FALSE;
    caps->Address = static_cast<ULONG>(ifc->number);
    caps->UINumber = static_cast<ULONG>(ifc->phone->index + 1);
    caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps->DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    caps->DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    caps->DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    caps->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    caps->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
    caps->D1Latency = caps->D2Latency = caps->D3Latency = 0;
    return STATUS_SUCCESS;
}

// IRP_MN_QUERY_ID: a pool buffer the Plug and Play manager frees. Returns
// the IRP's current status for an id type the bus does not report.
NTSTATUS PnpQueryId(InterfaceState* ifc, PIRP irp, PIO_STACK_LOCATION stack) {
    std::vector<std::u16string> strings;
    bool multi = false;
    switch (stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        strings = {ifc->handle->DeviceId()};
        break;
    case BusQueryHardwareIDs:
        strings = ifc->handle->HardwareIds();
        multi = true;
        break;
    case BusQueryCompatibleIDs:
        strings = ifc->handle->CompatibleIds();
        multi = true;
        break;
    case BusQueryInstanceID:
        strings = {ifc->handle->InstanceId()};
        break;
    default:
        return irp->IoStatus.Status;
    }
    size_t units = multi ? 1 : 0;
    for (auto& s : strings)
        units += s.size() + 1;
    auto* buffer = static_cast<PWCHAR>(
        ExAllocatePoolWithTag(PagedPool, units * sizeof(WCHAR), kBusPoolTag));
    if (buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    size_t at = 0;
    for (auto& s : strings) {
        for (char16_t c : s)
            buffer[at++] = static_cast<WCHAR>(c);
        buffer[at++] = 0;
    }
    if (multi)
        buffer[at++] = 0;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(buffer);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT device, PIRP irp) {
    InterfaceState* ifc = StateOf(device);
    BusState& bus = *ifc->phone->bus;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const UCHAR minor = stack->MinorFunction;
    {
        std::lock_guard<detail::BusLock> guard(bus.lock);
        bus.Record(ifc, EventKind::Pnp, Pipe::Control, 0, STATUS_SUCCESS, 0, minor, irp);
    }
    bus.RunHooks();
    NTSTATUS status = irp->IoStatus.Status;
    switch (minor) {
    case IRP_MN_START_DEVICE:
        status = PnpStart(bus, ifc);
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        PnpGone(bus, ifc);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        return PnpRemove(bus, ifc, irp);
    case IRP_MN_QUERY_CAPABILITIES:
        status = PnpCapabilities(ifc, stack);
        break;
    case IRP_MN_QUERY_ID:
        status = PnpQueryId(ifc, irp, stack);
        break;
    default:
        break; // what the bus has nothing to say about keeps its status
    }
    CompleteIrp(irp, status);
    return status;
}

NTSTATUS NTAPI BusPower(PDEVICE_OBJECT device, PIRP irp) {
    InterfaceState* ifc = StateOf(device);
    BusState& bus = *ifc->phone->bus;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
        status = STATUS_SUCCESS;
    if (stack->MinorFunction == IRP_MN_SET_POWER &&
        stack->Parameters.Power.Type == DevicePowerState) {
        DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
        {
            std::lock_guard<detail::BusLock> guard(bus.lock);
            ifc->power = state;
            ifc->core->Suspended = state != PowerDeviceD0;
            bus.Record(ifc, EventKind::Power, Pipe::Control, 0, STATUS_SUCCESS, 0,
                       static_cast<ULONG>(state), irp);
            // Suspending the device ends what was in flight on it; transfers
            // sent while it sleeps wait for D0.
            if (state != PowerDeviceD0)
                PhoneRetireInterface(ifc->phone->core.get(), ifc->core, STATUS_CANCELLED,
                                     USBD_STATUS_CANCELED);
        }
        PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
        bus.Kick(ifc->phone);
        bus.RunHooks();
    }
    if (ifc->phone->config.powerPends) {
        IoMarkIrpPending(irp);
        {
            std::lock_guard<detail::BusLock> guard(bus.lock);
            ifc->phone->controller->powerLater.emplace_back(irp, status);
        }
        bus.Kick(ifc->phone);
        return STATUS_PENDING;
    }
    PoStartNextPowerIrp(irp);
    CompleteIrp(irp, status);
    return status;
}

NTSTATUS NTAPI BusSystemControl(PDEVICE_OBJECT, PIRP irp) {
    NTSTATUS status = irp->IoStatus.Status;
    CompleteIrp(irp, status);
    return status;
}

} // namespace

} // namespace detail

// ================================================================ public face

namespace {
std::atomic<Bus*> g_public{nullptr};
}

Bus::Bus() {
    if (detail::g_bus.load() != nullptr)
        detail::UsageError("only one usb::Bus may exist at a time");
    s_ = std::make_unique<detail::BusState>();
    detail::g_bus.store(s_.get());
    g_public.store(this);
}

Bus::~Bus() {
    s_.reset();
    detail::g_bus.store(nullptr);
    g_public.store(nullptr);
}

Bus* Bus::Current() { return g_public.load(); }

Phone& Bus::PlugIn(const PhoneConfig& config) { return s_->PlugIn(config); }

std::vector<Phone*> Bus::Phones() {
    std::lock_guard<detail::BusLock> guard(s_->lock);
    std::vector<Phone*> out;
    for (auto& p : s_->phones)
        out.push_back(p->handle.get());
    return out;
}

PDRIVER_OBJECT Bus::Driver() const { return s_->driver; }

Interface* Bus::InterfaceOf(PDEVICE_OBJECT pdo) {
    std::lock_guard<detail::BusLock> guard(s_->lock);
    for (auto& p : s_->phones)
        for (auto& ifc : p->interfaces)
            if (ifc->pdo == pdo)
                return ifc->handle.get();
    return nullptr;
}

} // namespace usb
