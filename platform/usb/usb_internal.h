// Internals of the simulated USB bus (bus.cpp) and its test handles
// (phone.cpp). Never included by driver code or tests. The phone itself -
// every decision about a URB, the queues, the fault plan, the modem - is
// platform/usb/phonecore; this is the glue that gives it PDOs, IRPs, a frame
// tick and a timeline.
//
// Locking: one lock per bus (BusState::lock) guards every field below and
// every PHONE record. It is never held while a driver routine, an I/O manager
// routine that may call a driver (IofCompleteRequest), a Ke routine or the
// Plug and Play manager runs, so the bus can be entered from any of them.
#pragma once

#include "platform/usb/bus.h"
#include "platform/usb/phonecore/phonecore.h"
#include "platform/sim/internal.h" // RecordAllocate

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace usb::detail {

constexpr LONGLONG kFrame100ns = 10000; // one USB frame: 1 ms

// The bus's lock. On the plain deterministic machine one thread runs at a
// time and the processor changes hands only where a thread blocks, which
// nothing does while holding this lock (see above): there it excludes
// nothing and is skipped, as the simulation's own locks are (SimMutex).
// Where schedules are explored a thread may be switched out inside the bus
// (the cancel-routine exchanges are schedule points), and on the concurrent
// machine threads really run at once: there it is a mutex.
class BusLock {
public:
    BusLock() { sim::SpinBeforeSleeping(mutex_); }
    void lock() {
        if (sim::g_simLocking || sim::ke::g_exploring) {
            mutex_.lock();
            real_ = true;
        }
    }
    void unlock() {
        if (real_) {
            real_ = false;
            mutex_.unlock();
        }
    }

private:
    std::mutex mutex_;
    bool real_ = false; // written and read by the holder only
};
using BusGuard = std::unique_lock<BusLock>;

[[noreturn]] void UsageError(const std::string& what);

// One request held by the bus: the phone's record of it first, then the IRP
// side. Pointed to by the IRP's DriverContext[0] while the bus owns the IRP.
struct Request {
    PHONE_XFER x;
    PIRP irp = nullptr;
    PURB urb = nullptr;
    InterfaceState* ifc = nullptr;
    bool cancelRoutineSet = false;
    LONGLONG submitted = 0; // wire timing: when the URB reached the bus
    LONGLONG due = 0;       // wire timing: when its completion reaches the driver

    // One per URB: from the simulation's record free lists.
    static void* operator new(size_t bytes) { return sim::RecordAllocate(bytes); }
    static void operator delete(void* block, size_t bytes) { sim::RecordFree(block, bytes); }
};
inline Request* RequestOf(PHONE_XFER* x) { return reinterpret_cast<Request*>(x); }

struct InterfaceState {
    PhoneState* phone = nullptr;
    int number = 0;
    InterfaceKind kind = InterfaceKind::Modem;
    PDEVICE_OBJECT pdo = nullptr;
    PHONE_INTERFACE* core = nullptr; // inside phone->core
    DEVICE_POWER_STATE power = PowerDeviceD0;
    std::vector<uint8_t> received;   // what the host wrote, for TakeReceived
    std::vector<ClassRequest> classRequests;
    std::unique_ptr<Interface> handle;
    // Wire timing with a phone-side rate: when the last byte pushed on
    // bulk-in has come in over the phone's radio.
    LONGLONG radioAt = 0;

    PHONE_ENDPOINT& Ep(Pipe pipe) { return core->Ep[static_cast<int>(pipe)]; }
    const PHONE_ENDPOINT& Ep(Pipe pipe) const { return core->Ep[static_cast<int>(pipe)]; }
};

// A host controller's frame tick (PhoneConfig::hostController): its DPC and
// timer, its phones in plug order, the transfers of its wire-timed phones
// waiting for their completion time (by time; stable: a pipe's transfers
// keep their order), and the power IRPs of phones with
// PhoneConfig::powerPends, with their status, for its next tick to
// complete. Fields other than the DPC and timer: under the bus's lock.
struct HostController {
    BusState* bus = nullptr;
    unsigned number = 0;
    KDPC dpc;
    KTIMER timer;
    std::vector<PhoneState*> phones;
    std::vector<Request*> held;
    std::vector<std::pair<PIRP, NTSTATUS>> powerLater;
};

struct PhoneState {
    BusState* bus = nullptr;
    HostController* controller = nullptr;
    int index = 0;
    PhoneConfig config;
    std::unique_ptr<PHONE> core;
    std::vector<std::unique_ptr<InterfaceState>> interfaces;
    std::vector<BusEvent> timeline;
    // Shared, so that a round of hooks holds the one it runs without copying
    // the function (SetEventHook may replace it meanwhile).
    std::shared_ptr<const std::function<void(const BusEvent&)>> hook;
    std::unique_ptr<Phone> handle;
    // Wire timing (PhoneConfig::wire): the phone's own root port and one
    // pipe per interface and PHONE_PIPE. Null when untimed.
    std::unique_ptr<WIRE_BUS> wireBus;
    WIRE_PIPE wirePipes[PHONE_MAX_INTERFACES][4] = {};
};

// The PDO's device extension. The three handles sit at the offsets function
// drivers read; the rest is the bus's own.
struct PdoExtension {
    ULONG Signature;
    ULONG InterfaceNumber;
    ULONG PortNumber;
    ULONG BulkInPipe;    // offset 12
    ULONG BulkOutPipe;   // offset 16
    ULONG InterruptPipe; // offset 20
    InterfaceState* State;
};
constexpr ULONG kPdoSignature = 0x50627355; // "UsbP"

class BusState {
public:
    BusState();
    ~BusState();

    BusLock lock;
    PDRIVER_OBJECT driver = nullptr;
    std::vector<std::unique_ptr<PhoneState>> phones;
    ULONG nextHandle = 0x5B000010;
    uint64_t eventSequence = 0;
    // Events recorded under the lock whose hooks still have to run.
    std::vector<std::pair<PhoneState*, BusEvent>> hookQueue;
    std::atomic<bool> hooksQueued{false}; // hookQueue may hold something
    // Made as phones name them; never removed before the bus goes.
    std::vector<std::unique_ptr<HostController>> controllers;
    // Removed PDOs still waiting on a worker for their function device to
    // detach: the bus must not unload before each is deleted.
    std::atomic<int> reaping{0};

    // Caller holds lock.
    void Record(InterfaceState* ifc, EventKind kind, Pipe pipe, ULONG length,
                NTSTATUS status = STATUS_SUCCESS, LONG usbd = 0, ULONG code = 0,
                const void* irp = nullptr);
    void RecordPhone(PhoneState* phone, const BusEvent& event);
    // A request leaves the bus: its class request and completion recorded,
    // the phone forgets it. Caller holds lock.
    void Retired(Request* r);
    // Every decided request of every phone on `hc` that may leave now, in
    // the order decided (a wire-timed phone's when the wire delivers them).
    // Caller holds lock.
    void CollectDone(HostController& hc, std::vector<Request*>& done, LONGLONG now);
    // Wire timing. Caller holds lock.
    void Hold(HostController& hc, Request* r, LONGLONG now);
    void Release(HostController& hc, std::vector<Request*>& done,
                 const std::function<bool(const Request&)>& now);
    LONGLONG WireDue(PhoneState* phone, Request* r, LONGLONG now);
    LONGLONG RadioFrom(InterfaceState* ifc, ULONGLONG rate, ULONG taken);

    // Lock not held: wake the phone's controller's frame tick, run the hooks.
    void Kick(const PhoneState* phone);
    void RunHooks();
    // A controller's frame tick, at DISPATCH_LEVEL.
    void Tick(HostController& hc);
    // Completes requests taken off the bus. Lock not held.
    void Complete(const std::vector<Request*>& done);

    Phone& PlugIn(const PhoneConfig& config);
    void Unplug(PhoneState* phone);

    // The one place every URB enters the bus; Complete is where each leaves.
    NTSTATUS SubmitUrb(InterfaceState* ifc, PIRP irp, PURB urb);
    void CancelTransfer(PIRP irp);

private:
    LONGLONG Serve(HostController& hc, std::vector<Request*>& done,
                   std::vector<PhoneState*>& pulled);
    void ArmTimer(HostController& hc, LONGLONG wake);
    HostController& ControllerNumbered(unsigned number); // caller holds lock
    NTSTATUS Queue(Request* r, BusGuard& guard);
    NTSTATUS CompleteAtOnce(Request* r, BusGuard& guard);
    void Admit(Request* r, BusGuard& guard);
};

BusState* CurrentBus();
LONGLONG Now();

} // namespace usb::detail
