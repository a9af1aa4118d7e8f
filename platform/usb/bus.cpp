// The simulated USB parent bus driver: PDOs for the phone's interfaces, URB
// handling, the frame tick that completes transfers, cancellation, and the
// PDOs' Plug and Play and power answers.
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
#include <cstring>

namespace usb {
namespace detail {

namespace {

constexpr ULONG kBugcodeUsbDriver = 0xFE;
constexpr ULONG kUsbIrpAlreadyPending = 0x4; // p2 IRP, p3 URB
constexpr ULONG kUsbUrbAlreadyPending = 0x2; // p2 pending IRP, p3 new IRP, p4 URB
// The simulation's code for an operation it does not model.
constexpr ULONG kSimNotModelled = 0x51A00001;
constexpr ULONG kBusPoolTag = 0x53627355; // "UsbS"
constexpr const char* kBusName = "usbbus-sim";

std::atomic<BusState*> g_bus{nullptr};

// ---------------------------------------------------------------- small helpers

InterfaceState* StateOf(PDEVICE_OBJECT device) {
    auto* x = static_cast<PdoExtension*>(device->DeviceExtension);
    if (x == nullptr || x->Signature != kPdoSignature)
        sim::BugCheck(kSimNotModelled, reinterpret_cast<ULONG_PTR>(device), 0, 0, 0,
                      "usbbus-sim: a request reached a device that is not one of its PDOs");
    return x->State;
}

void CompleteIrp(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// ---- URB capture hook: what a capture filter above the bus would see.
void CaptureUrb(const Request& r, bool completion) {
    UrbCapture c;
    c.completion = completion;
    c.irp = r.irp;
    c.time = static_cast<LONGLONG>(KeQueryInterruptTime());
    c.device = r.ifc->phone->index;
    c.interfaceNumber = r.ifc->number;
    c.pipe = r.pipe;
    c.function = r.urb->UrbHeader.Function;
    c.in = r.in;
    c.setup = r.setup;
    c.requested = r.length;
    c.status = completion ? r.status : STATUS_PENDING;
    c.usbdStatus = completion ? r.usbd : USBD_STATUS_PENDING;
    if (r.in == completion && (r.type == Request::Type::Transfer || r.type == Request::Type::Class)) {
        c.data = r.buffer;
        c.length = completion ? std::min(r.reported, r.length) : r.length;
    }
    UrbCaptured(c);
}
// ---- end of the URB capture hook

// Writes the outcome into the URB the caller gave.
void FinishUrb(const Request& r) {
    if (r.urb == nullptr)
        return;
    CaptureUrb(r, true); // URB capture hook: completion
    r.urb->UrbHeader.Status = r.usbd;
    if (r.type == Request::Type::Transfer)
        r.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = r.reported;
    else if (r.type == Request::Type::Class)
        r.urb->UrbControlVendorClassRequest.TransferBufferLength = r.reported;
}

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
    sim::DriverScope scope(driver);
    KeInitializeDpc(&dpc, BusFrameTick, this);
    KeInitializeTimer(&timer);
}

BusState::~BusState() {
    // Pull every phone still plugged, so the Plug and Play manager removes
    // the stacks above it, then let the machine finish that.
    std::vector<PhoneState*> plugged;
    {
        std::lock_guard<std::mutex> guard(lock);
        for (auto& p : phones)
            if (p->plugged)
                plugged.push_back(p.get());
    }
    for (PhoneState* p : plugged)
        Unplug(p);
    sim::RunUntilIdle();

    // Whatever is still pending below a stack nobody removed fails as gone.
    {
        std::lock_guard<std::mutex> guard(lock);
        for (auto& p : phones)
            for (auto& ifc : p->interfaces)
                RetireAll(ifc.get(), -1, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    }
    {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        Tick();
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
                std::fprintf(stderr,
                             "usbbus-sim: interface %d's PDO still has a device attached at bus "
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
        KeCancelTimer(&timer);
        KeRemoveQueueDpc(&dpc);
    }
    for (auto& p : phones)
        for (auto& ifc : p->interfaces)
            for (auto& ep : ifc->endpoints)
                for (Request* r : ep.queue)
                    delete r;
    if (!left)
        sim::UnloadDriver(driver);
}

// ================================================================ timeline

void BusState::RecordPhone(PhoneState* phone, const BusEvent& event) {
    phone->timeline.push_back(event);
    if (phone->hook)
        hookQueue.emplace_back(phone, event);
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

void BusState::RunHooks() {
    std::vector<std::pair<PhoneState*, BusEvent>> queued;
    std::vector<std::function<void(const BusEvent&)>> hooks;
    {
        std::lock_guard<std::mutex> guard(lock);
        queued.swap(hookQueue);
        for (auto& [phone, e] : queued)
            hooks.push_back(phone->hook);
    }
    for (size_t i = 0; i < queued.size(); ++i)
        if (hooks[i])
            hooks[i](queued[i].second);
}

// ================================================================ outcomes

void BusState::MakeReady(Request* r, NTSTATUS status, LONG usbd, ULONG reported) {
    r->status = status;
    r->usbd = usbd;
    r->reported = reported;
    ready.push_back(r);
}

void BusState::Retire(Request* r, NTSTATUS status, LONG usbd) {
    if (r->cancelRoutineSet && IoSetCancelRoutine(r->irp, nullptr) == nullptr)
        return; // IoCancelIrp got there first; the cancel routine completes it
    r->cancelRoutineSet = false;
    auto& q = r->ifc->Ep(r->pipe).queue;
    q.erase(std::find(q.begin(), q.end(), r));
    MakeReady(r, status, usbd, r->done);
}

void BusState::RetireAll(InterfaceState* ifc, int pipe, NTSTATUS status, LONG usbd) {
    for (int p = 0; p < kPipeCount; ++p) {
        if (pipe >= 0 && p != pipe)
            continue;
        std::vector<Request*> waiting(ifc->endpoints[p].queue.begin(),
                                      ifc->endpoints[p].queue.end());
        for (Request* r : waiting)
            Retire(r, status, usbd);
    }
}

void BusState::Kick() {
    sim::DriverScope scope(driver);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
}

// ================================================================ the frame tick

// Runs at DISPATCH_LEVEL. Lets the phone serve the transfers waiting on each
// endpoint (oldest first: an endpoint is a FIFO), then completes everything
// decided, in the order it was decided.
void BusState::Tick() {
    LONGLONG now = Now();
    LONGLONG wake = 0;
    bool again = false;
    std::vector<Request*> done;
    {
        std::lock_guard<std::mutex> guard(lock);
        for (auto& phone : phones) {
            for (auto& ifc : phone->interfaces) {
                if (ifc->power != PowerDeviceD0)
                    continue; // a suspended device moves nothing
                for (Endpoint& ep : ifc->endpoints) {
                    while (!ep.queue.empty()) {
                        Request* r = ep.queue.front();
                        if (r->notBefore > now) {
                            if (wake == 0 || r->notBefore < wake)
                                wake = r->notBefore;
                            break;
                        }
                        // Claim the IRP from cancellation before moving data.
                        if (r->cancelRoutineSet && IoSetCancelRoutine(r->irp, nullptr) == nullptr)
                            break; // being cancelled; its cancel routine takes it out
                        r->cancelRoutineSet = false;
                        NTSTATUS before = r->status;
                        if (ep.Serve(*r, now) == Verdict::Wait) {
                            IoSetCancelRoutine(r->irp, BusCancelTransfer);
                            r->cancelRoutineSet = true;
                            if (r->irp->Cancel && IoSetCancelRoutine(r->irp, nullptr) != nullptr) {
                                r->cancelRoutineSet = false;
                                ep.queue.pop_front();
                                MakeReady(r, STATUS_CANCELLED, USBD_STATUS_CANCELED, r->done);
                                continue;
                            }
                            break;
                        }
                        ep.queue.pop_front();
                        // The answer may be for an IN pipe already served
                        // in this pass: serve them again.
                        if (r->type == Request::Type::Transfer && !r->in &&
                            NT_SUCCESS(r->status) && ifc->FeedModem(r->buffer, r->done, now))
                            again = true;
                        if (r->type == Request::Type::Class) {
                            if (r->status == before) {
                                ifc->ServeClass(*r);
                            } else {
                                ClassRequest failed;
                                failed.setup = r->setup;
                                failed.status = r->status;
                                failed.usbdStatus = r->usbd;
                                ifc->classRequests.push_back(failed);
                            }
                            Record(ifc.get(), EventKind::ClassRequest, Pipe::Control,
                                   r->setup.wValue, r->status, r->usbd, r->setup.bRequest, r->irp);
                        }
                        ready.push_back(r);
                    }
                }
                // The modem answers what it was just fed (and what time did
                // to it) on this interface's IN pipes: serve them again.
                if (ifc->RunModem(now))
                    again = true;
                LONGLONG modemWake = 0;
                if (ifc->NextModemWake(&modemWake) && (wake == 0 || modemWake < wake))
                    wake = modemWake;
            }
        }
        done.assign(ready.begin(), ready.end());
        ready.clear();
        for (Request* r : done) {
            byIrp.erase(r->irp);
            if (r->urb)
                byUrb.erase(r->urb);
            Record(r->ifc, EventKind::Complete, r->pipe, r->reported, r->status, r->usbd, 0,
                   r->irp);
        }
    }
    if (wake != 0) {
        LARGE_INTEGER due;
        due.QuadPart = -std::max<LONGLONG>(wake - now, 1);
        sim::DriverScope scope(driver);
        KeSetTimer(&timer, due, &dpc);
    }
    for (Request* r : done) {
        FinishUrb(*r);
        r->irp->IoStatus.Information = 0;
        CompleteIrp(r->irp, r->status);
        delete r;
    }
    if (again)
        Kick();
    RunHooks();
}

namespace {
VOID NTAPI BusFrameTick(PKDPC, PVOID context, PVOID, PVOID) {
    static_cast<BusState*>(context)->Tick();
}
} // namespace

// ================================================================ URBs

namespace {

struct Refusal {
    NTSTATUS status;
    LONG usbd;
    std::string why;
};

// Looks a pipe handle up for this interface.
bool ResolvePipe(BusState& bus, InterfaceState* ifc, USBD_PIPE_HANDLE handle, Pipe* pipe) {
    auto value = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(handle));
    auto it = bus.handleMap.find(value);
    if (it == bus.handleMap.end() || it->second.first != ifc ||
        reinterpret_cast<ULONG_PTR>(handle) != value)
        return false;
    *pipe = it->second.second;
    return true;
}

} // namespace

// Caller: the PDO's internal device control, at or below DISPATCH_LEVEL.
NTSTATUS BusState::SubmitUrb(InterfaceState* ifc, PIRP irp, PURB urb) {
    LONGLONG now = Now();
    auto* r = new Request;
    r->irp = irp;
    r->urb = urb;
    r->ifc = ifc;
    std::optional<Refusal> refusal;
    bool inline_ = false;
    bool modemAnswered = false; // FeedModem queued output for the IN pipes

    std::unique_lock<std::mutex> guard(lock);
    // A request still pending here cannot be sent again: Windows stops with
    // BUGCODE_USB_DRIVER rather than corrupt the host controller's schedule.
    if (auto it = byIrp.find(irp); it != byIrp.end()) {
        guard.unlock();
        sim::BugCheck(kBugcodeUsbDriver, kUsbIrpAlreadyPending, reinterpret_cast<ULONG_PTR>(irp),
                      reinterpret_cast<ULONG_PTR>(urb), 0,
                      "BUGCODE_USB_DRIVER: an IRP already pending in the USB bus driver was "
                      "submitted again");
    }
    if (auto it = byUrb.find(urb); it != byUrb.end()) {
        PIRP other = it->second->irp;
        guard.unlock();
        sim::BugCheck(kBugcodeUsbDriver, kUsbUrbAlreadyPending,
                      reinterpret_cast<ULONG_PTR>(other), reinterpret_cast<ULONG_PTR>(irp),
                      reinterpret_cast<ULONG_PTR>(urb),
                      "BUGCODE_USB_DRIVER: a URB still attached to an IRP pending in the USB bus "
                      "driver was submitted with another IRP");
    }

    const USHORT function = urb->UrbHeader.Function;
    const USHORT length = urb->UrbHeader.Length;
    switch (function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        auto& t = urb->UrbBulkOrInterruptTransfer;
        r->type = Request::Type::Transfer;
        if (length < kX86BulkTransferLength) {
            refusal = Refusal{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER,
                              "a bulk/interrupt transfer URB with Hdr.Length " +
                                  std::to_string(length)};
        } else if (!ResolvePipe(*this, ifc, t.PipeHandle, &r->pipe)) {
            refusal = Refusal{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE,
                              "a transfer on a pipe handle this interface never gave out"};
        } else if (t.TransferBuffer == nullptr && t.TransferBufferMDL != nullptr) {
            guard.unlock();
            sim::BugCheck(kSimNotModelled, reinterpret_cast<ULONG_PTR>(urb), 0, 0, 0,
                          "usbbus-sim: transfers described by an MDL are not modelled");
        } else if (t.TransferBuffer == nullptr && t.TransferBufferLength != 0) {
            refusal = Refusal{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER,
                              "a transfer with no buffer"};
        } else {
            bool pipeIn = r->pipe != Pipe::BulkOut;
            r->in = USBD_TRANSFER_DIRECTION(t.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
            if (r->in != pipeIn)
                refusal = Refusal{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER,
                                  std::string("a transfer whose direction flag contradicts the ") +
                                      PipeName(r->pipe) + " pipe"};
            r->shortOk = (t.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
            r->buffer = static_cast<PUCHAR>(t.TransferBuffer);
            r->length = t.TransferBufferLength;
        }
        break;
    }
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE: {
        r->type = function == URB_FUNCTION_ABORT_PIPE ? Request::Type::Abort
                                                      : Request::Type::Reset;
        if (length < kX86PipeRequestLength)
            refusal = Refusal{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER,
                              "a pipe request URB with Hdr.Length " + std::to_string(length)};
        else if (!ResolvePipe(*this, ifc, urb->UrbPipeRequest.PipeHandle, &r->pipe))
            refusal = Refusal{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE,
                              "an abort/reset of a pipe handle this interface never gave out"};
        break;
    }
    case URB_FUNCTION_CLASS_INTERFACE: {
        auto& c = urb->UrbControlVendorClassRequest;
        r->type = Request::Type::Class;
        r->pipe = Pipe::Control;
        if (length < kX86ClassRequestLength) {
            refusal = Refusal{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER,
                              "a class request URB with Hdr.Length " + std::to_string(length)};
        } else if (c.TransferBuffer == nullptr && c.TransferBufferMDL != nullptr) {
            guard.unlock();
            sim::BugCheck(kSimNotModelled, reinterpret_cast<ULONG_PTR>(urb), 0, 0, 0,
                          "usbbus-sim: class requests with an MDL data stage are not modelled");
        } else if (c.TransferBuffer == nullptr && c.TransferBufferLength != 0) {
            refusal = Refusal{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER,
                              "a class request with a data stage but no buffer"};
        } else {
            r->in = USBD_TRANSFER_DIRECTION(c.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
            r->shortOk = (c.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
            r->buffer = static_cast<PUCHAR>(c.TransferBuffer);
            r->length = c.TransferBufferLength;
            // Class, recipient interface, and the direction; the reserved
            // bits the caller gives are ORed in as the DDK documents.
            r->setup.bmRequestType =
                static_cast<UCHAR>((r->in ? 0x80 : 0x00) | 0x21 | c.RequestTypeReservedBits);
            r->setup.bRequest = c.Request;
            r->setup.wValue = c.Value;
            r->setup.wIndex = c.Index;
            r->setup.wLength = static_cast<USHORT>(c.TransferBufferLength);
        }
        break;
    }
    default:
        r->type = Request::Type::Refused;
        refusal = Refusal{STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION,
                          "URB function " + std::to_string(function) + " is not modelled"};
        break;
    }

    CaptureUrb(*r, false); // URB capture hook: submission
    Endpoint& ep = ifc->Ep(r->pipe);
    bool gone = !ifc->phone->plugged || ifc->removed;
    byIrp[irp] = r;
    byUrb[urb] = r;
    if (refusal) {
        Record(ifc, EventKind::Refused, r->pipe, 0, refusal->status, refusal->usbd, function, irp);
        DbgPrint("usbbus-sim: interface %d refused %s (%s)\n", ifc->number, refusal->why.c_str(),
                 sim::DriverName(sim::CurrentDriver()).c_str());
        MakeReady(r, refusal->status, refusal->usbd, 0);
    } else if (r->type == Request::Type::Abort) {
        Record(ifc, EventKind::Abort, r->pipe, 0, STATUS_SUCCESS, 0, 0, irp);
        ep.aborts++;
        RetireAll(ifc, static_cast<int>(r->pipe), STATUS_CANCELLED, USBD_STATUS_CANCELED);
        if (gone)
            MakeReady(r, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0);
        else
            MakeReady(r, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0);
        inline_ = ep.atOnce;
    } else if (r->type == Request::Type::Reset) {
        Record(ifc, EventKind::Reset, r->pipe, 0, STATUS_SUCCESS, 0, 0, irp);
        ep.resets++;
        if (gone) {
            MakeReady(r, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0);
        } else {
            ep.halted = false;
            MakeReady(r, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0);
        }
        inline_ = ep.atOnce;
    } else {
        Record(ifc, EventKind::Submit, r->pipe, r->length, STATUS_PENDING, USBD_STATUS_PENDING,
               r->setup.bRequest, irp);
        r->notBefore = now + static_cast<LONGLONG>(ep.delayMs) * kFrame100ns;
        if (gone) {
            MakeReady(r, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0);
        } else if (ep.atOnce && ep.queue.empty() && ifc->power == PowerDeviceD0 &&
                   ep.Serve(*r, now) == Verdict::Complete) {
            if (r->type == Request::Type::Transfer && !r->in && NT_SUCCESS(r->status))
                modemAnswered = ifc->FeedModem(r->buffer, r->done, now);
            if (r->type == Request::Type::Class) {
                if (r->status == STATUS_PENDING)
                    ifc->ServeClass(*r);
                Record(ifc, EventKind::ClassRequest, Pipe::Control, r->setup.wValue, r->status,
                       r->usbd, r->setup.bRequest, irp);
            }
            ready.push_back(r);
            inline_ = true;
        } else {
            ep.queue.push_back(r);
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, BusCancelTransfer);
            r->cancelRoutineSet = true;
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                r->cancelRoutineSet = false;
                ep.queue.pop_back();
                MakeReady(r, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
            }
            guard.unlock();
            Kick();
            RunHooks();
            return STATUS_PENDING;
        }
    }

    if (inline_) {
        // The fault "complete at once": this request (and any transfers an
        // abort just retired stay for the tick) completes inside the call.
        ready.erase(std::find(ready.begin(), ready.end(), r));
        byIrp.erase(irp);
        byUrb.erase(urb);
        Record(ifc, EventKind::Complete, r->pipe, r->reported, r->status, r->usbd, 0, irp);
        bool more = !ready.empty() || modemAnswered;
        if (ifc->RunModem(now))
            more = true; // the modem's answer waits for the frame tick
        guard.unlock();
        if (more)
            Kick();
        NTSTATUS status = r->status;
        FinishUrb(*r);
        irp->IoStatus.Information = 0;
        delete r;
        CompleteIrp(irp, status);
        RunHooks();
        return status;
    }
    IoMarkIrpPending(irp);
    guard.unlock();
    Kick();
    RunHooks();
    return STATUS_PENDING;
}

void BusState::CancelTransfer(PIRP irp) {
    Request* r = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = byIrp.find(irp);
        if (it == byIrp.end())
            sim::BugCheck(kSimNotModelled, reinterpret_cast<ULONG_PTR>(irp), 0, 0, 0,
                          "usbbus-sim: its cancel routine ran for an IRP it does not hold");
        r = it->second;
        auto& q = r->ifc->Ep(r->pipe).queue;
        auto at = std::find(q.begin(), q.end(), r);
        if (at != q.end())
            q.erase(at);
        byIrp.erase(irp);
        if (r->urb)
            byUrb.erase(r->urb);
        r->status = STATUS_CANCELLED;
        r->usbd = USBD_STATUS_CANCELED;
        r->reported = r->done;
        Record(r->ifc, EventKind::Cancel, r->pipe, r->done, STATUS_CANCELLED, USBD_STATUS_CANCELED,
               0, irp);
        Record(r->ifc, EventKind::Complete, r->pipe, r->done, STATUS_CANCELLED,
               USBD_STATUS_CANCELED, 0, irp);
    }
    FinishUrb(*r);
    irp->IoStatus.Information = 0;
    delete r;
    CompleteIrp(irp, STATUS_CANCELLED);
    RunHooks();
}

namespace {

VOID NTAPI BusCancelTransfer(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    StateOf(device)->phone->bus->CancelTransfer(irp);
}

NTSTATUS NTAPI BusInternalControl(PDEVICE_OBJECT device, PIRP irp) {
    InterfaceState* ifc = StateOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        DbgPrint("usbbus-sim: internal control code 0x%08X is not modelled; failed with "
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

Phone& BusState::PlugIn(const PhoneConfig& config) {
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "usb::Bus::PlugIn");
    if (config.interfaces.empty())
        UsageError("a phone needs at least one interface");
    auto phone = std::make_unique<PhoneState>();
    PhoneState* p = phone.get();
    p->bus = this;
    p->config = config;
    p->handle.reset(new Phone(p));
    {
        std::lock_guard<std::mutex> guard(lock);
        p->index = static_cast<int>(phones.size());
    }
    static std::atomic<unsigned> pdoNumber{0};
    for (size_t i = 0; i < config.interfaces.size(); ++i) {
        auto ifc = std::make_unique<InterfaceState>();
        ifc->phone = p;
        ifc->number = static_cast<int>(i);
        ifc->kind = config.interfaces[i];
        for (int e = 0; e < kPipeCount; ++e) {
            ifc->endpoints[e].pipe = static_cast<Pipe>(e);
            ifc->endpoints[e].maxPacket = e == static_cast<int>(Pipe::InterruptIn)
                                              ? config.interruptMaxPacket
                                          : e == static_cast<int>(Pipe::Control) ? 64
                                                                                 : config.bulkMaxPacket;
        }
        ifc->handle.reset(new Interface(ifc.get()));
        if (config.atModem && ifc->kind == InterfaceKind::Modem) {
            ifc->atModem = std::make_unique<ATMODEM>();
            AtModemInit(ifc->atModem.get());
            // Powered from the start: its first notification (DSR) waits on
            // the interrupt pipe for the host's first status transfer.
            ifc->RunModem(Now());
        }

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
        x->InterfaceNumber = static_cast<ULONG>(i);
        x->PortNumber = static_cast<ULONG>(p->index + 1);
        x->State = ifc.get();
        pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        ifc->pdo = pdo;
        p->interfaces.push_back(std::move(ifc));
    }
    {
        std::lock_guard<std::mutex> guard(lock);
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
        std::lock_guard<std::mutex> guard(lock);
        if (!phone->plugged)
            return;
        phone->plugged = false;
        BusEvent e;
        e.sequence = ++eventSequence;
        e.time = Now();
        e.kind = EventKind::Unplug;
        RecordPhone(phone, e);
        for (auto& ifc : phone->interfaces)
            RetireAll(ifc.get(), -1, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        for (auto& ifc : phone->interfaces)
            if (ifc->pdo)
                known.push_back(ifc->pdo);
    }
    Kick();
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
    delete reap;
}

void DeletePdo(BusState* bus, PDEVICE_OBJECT pdo) {
    if (pdo->AttachedDevice == nullptr) {
        IoDeleteDevice(pdo);
        return;
    }
    auto* reap = new Reap{{}, pdo, bus};
    ExInitializeWorkItem(&reap->item, BusReaper, reap);
    ExQueueWorkItem(&reap->item, DelayedWorkQueue);
}

NTSTATUS PnpStart(BusState& bus, InterfaceState* ifc) {
    std::lock_guard<std::mutex> guard(bus.lock);
    if (!ifc->phone->plugged)
        return STATUS_NO_SUCH_DEVICE;
    auto* x = static_cast<PdoExtension*>(ifc->pdo->DeviceExtension);
    if (ifc->handles[0] == 0) {
        for (int p = 0; p < 3; ++p) {
            ULONG h = bus.nextHandle;
            bus.nextHandle += 0x24;
            bus.handleMap[h] = {ifc, static_cast<Pipe>(p)};
            ifc->handles[p] = h;
        }
    }
    x->BulkInPipe = ifc->handles[0];
    x->BulkOutPipe = ifc->handles[1];
    x->InterruptPipe = ifc->handles[2];
    ifc->removed = false;
    ifc->power = PowerDeviceD0;
    return STATUS_SUCCESS;
}

// The device vanished (or is being removed): nothing more moves on it.
void PnpGone(BusState& bus, InterfaceState* ifc) {
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        ifc->removed = true;
        bus.RetireAll(ifc, -1, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    }
    bus.Kick();
}

NTSTATUS PnpRemove(BusState& bus, InterfaceState* ifc, PIRP irp) {
    PnpGone(bus, ifc);
    // Transfers a driver left pending below a removed device end now, not at
    // some later tick after the PDO is gone.
    {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        bus.Tick();
        KeLowerIrql(old);
    }
    PDEVICE_OBJECT pdo = nullptr;
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        for (int p = 0; p < 3; ++p) {
            bus.handleMap.erase(ifc->handles[p]);
            ifc->handles[p] = 0;
        }
        auto* x = static_cast<PdoExtension*>(ifc->pdo->DeviceExtension);
        x->BulkInPipe = x->BulkOutPipe = x->InterruptPipe = 0;
        if (!ifc->phone->plugged) {
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
        std::lock_guard<std::mutex> guard(bus.lock);
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
            std::lock_guard<std::mutex> guard(bus.lock);
            ifc->power = state;
            bus.Record(ifc, EventKind::Power, Pipe::Control, 0, STATUS_SUCCESS, 0,
                       static_cast<ULONG>(state), irp);
            // Suspending the device ends what was in flight on it; transfers
            // sent while it sleeps wait for D0.
            if (state != PowerDeviceD0)
                bus.RetireAll(ifc, -1, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        }
        PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
        bus.Kick();
        bus.RunHooks();
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
    std::lock_guard<std::mutex> guard(s_->lock);
    std::vector<Phone*> out;
    for (auto& p : s_->phones)
        out.push_back(p->handle.get());
    return out;
}

PDRIVER_OBJECT Bus::Driver() const { return s_->driver; }

Interface* Bus::InterfaceOf(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> guard(s_->lock);
    for (auto& p : s_->phones)
        for (auto& ifc : p->interfaces)
            if (ifc->pdo == pdo)
                return ifc->handle.get();
    return nullptr;
}

} // namespace usb
