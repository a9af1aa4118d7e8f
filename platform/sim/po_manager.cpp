// The power manager's routines for drivers: PoCallDriver, PoStartNextPowerIrp,
// PoRequestPowerIrp, PoSetPowerState, and the record of every power IRP the
// manager creates.
//
// Serialisation, as on Windows XP: each device object has at most one active
// SET/QUERY power IRP of each type (system, device). PoCallDriver hands a
// second one to the device only after the driver has called
// PoStartNextPowerIrp for the first; until then it is held. A power IRP the
// manager made that comes back while a device it passed through never called
// PoStartNextPowerIrp is bug check 0x9F/0x2: on Windows that device would hold
// every later power IRP forever, and the machine would hang at the next
// transition instead of at the fault.
//
// A device object marked DO_POWER_PAGABLE gets its power IRPs at
// PASSIVE_LEVEL: one sent to it from DISPATCH_LEVEL (a completion routine)
// is passed to a system worker thread, as Windows does.
#include "platform/sim/api_io.h"
#include "platform/sim/io_internal.h"
#include "platform/sim/pnp_internal.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace sim {
namespace {

struct DevicePower {
    DEVICE_POWER_STATE device = PowerDeviceUnspecified;
    SYSTEM_POWER_STATE system = PowerSystemUnspecified;
    PIRP active[2] = {nullptr, nullptr}; // by POWER_STATE_TYPE
    std::deque<PIRP> held[2];
};

// A power IRP the manager made, while it is out.
struct Tracked {
    size_t logIndex = 0;
    std::set<PDEVICE_OBJECT> owesStartNext; // presented, PoStartNextPowerIrp not called yet
};

std::mutex g_lock;
std::map<PDEVICE_OBJECT, DevicePower> g_devices;
std::map<PIRP, Tracked> g_tracked;
std::vector<PowerIrpRecord> g_log;
unsigned g_seq = 0;
unsigned g_nextId = 0;
std::vector<PowerFault> g_faults;
std::map<PIRP, NTSTATUS> g_faulted;
struct RequestFailure {
    NTSTATUS status;
    unsigned skip;
    unsigned count;
};
std::vector<RequestFailure> g_requestFailures;
POWER_ACTION g_currentAction = PowerActionNone;

// The stand-in for a driver that fails a power IRP: a kernel-owned device
// that completes whatever reaches it with the injected status.
PDRIVER_OBJECT g_faultDriver = nullptr;
PDEVICE_OBJECT g_faultDevice = nullptr;

const char* PowerMinorName(UCHAR minor) {
    switch (minor) {
    case IRP_MN_WAIT_WAKE: return "IRP_MN_WAIT_WAKE";
    case IRP_MN_POWER_SEQUENCE: return "IRP_MN_POWER_SEQUENCE";
    case IRP_MN_SET_POWER: return "IRP_MN_SET_POWER";
    case IRP_MN_QUERY_POWER: return "IRP_MN_QUERY_POWER";
    default: return "IRP_MN_(unknown power)";
    }
}

bool Serialised(UCHAR minor) { return minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER; }

NTSTATUS NTAPI FaultDispatch(PDEVICE_OBJECT, PIRP irp) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        const auto it = g_faulted.find(irp);
        if (it != g_faulted.end()) {
            status = it->second;
            g_faulted.erase(it);
        }
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI FaultDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_POWER] = FaultDispatch;
    PDEVICE_OBJECT device = nullptr;
    const NTSTATUS status =
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    g_faultDevice = device;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT FaultDevice() {
    if (g_faultDevice == nullptr) {
        NTSTATUS status = STATUS_SUCCESS;
        g_faultDriver = CreateDriver("(power fault)", FaultDriverEntry, &status);
        if (g_faultDriver == nullptr)
            BugCheck(kDriverPowerStateFailure, kPoFaultDeviceFailed, static_cast<ULONG_PTR>(status), 0, 0,
                     "power manager: cannot create the device that injects power faults");
    }
    return g_faultDevice;
}

void RemoveFaultDevice() {
    if (g_faultDriver == nullptr)
        return;
    {
        DriverScope scope(g_faultDriver);
        IoDeleteDevice(g_faultDevice);
    }
    UnloadDriver(g_faultDriver);
    g_faultDriver = nullptr;
    g_faultDevice = nullptr;
}

// Whether an injected fault takes this IRP at `device`. Caller holds g_lock.
bool TakeFaultLocked(PDEVICE_OBJECT device, PIRP irp, UCHAR minor, POWER_STATE_TYPE type) {
    for (auto it = g_faults.begin(); it != g_faults.end(); ++it) {
        if (it->device != nullptr && it->device != device)
            continue;
        if (it->minor >= 0 && it->minor != minor)
            continue;
        if (it->type >= 0 && (!Serialised(minor) || it->type != static_cast<int>(type)))
            continue;
        if (it->skip > 0) {
            --it->skip;
            continue;
        }
        g_faulted[irp] = it->status;
        if (--it->count == 0)
            g_faults.erase(it);
        return true;
    }
    return false;
}

// PoCallDriver returns STATUS_PENDING for an IRP it holds or defers. A driver
// that returns that status from its dispatch routine must have the IRP marked
// pending in its own location, so the power manager marks it there, as
// Windows does; an IRP the kernel itself sends has no caller location.
void MarkCallerPending(PIRP irp) {
    if (irp->CurrentLocation <= irp->StackCount)
        IoMarkIrpPending(irp);
}

struct DeferredCall {
    WORK_QUEUE_ITEM item;
    PDEVICE_OBJECT device;
    PIRP irp;
};

VOID NTAPI RunDeferredCall(PVOID parameter) {
    std::unique_ptr<DeferredCall> call(static_cast<DeferredCall*>(parameter));
    IofCallDriver(call->device, call->irp);
}

// Hands the IRP to the device's dispatch routine now, or from a worker thread
// when the device takes its power IRPs at PASSIVE_LEVEL and we are above it.
// The IRP's next location must be the device's.
NTSTATUS Deliver(PDEVICE_OBJECT device, PIRP irp) {
    if (CurrentIrql() == PASSIVE_LEVEL || !(device->Flags & DO_POWER_PAGABLE))
        return IofCallDriver(device, irp);
    MarkCallerPending(irp);
    auto* call = new DeferredCall;
    call->device = device;
    call->irp = irp;
    ExInitializeWorkItem(&call->item, RunDeferredCall, call);
    DriverScope kernel(nullptr);
    ExQueueWorkItem(&call->item, DelayedWorkQueue);
    return STATUS_PENDING;
}

// Called by the I/O manager when a power IRP the manager made is finished.
void Finished(PIRP irp, PDEVICE_OBJECT target) {
    Tracked tracked;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        const auto it = g_tracked.find(irp);
        if (it == g_tracked.end())
            return;
        tracked = it->second;
        g_tracked.erase(it);
        auto& record = g_log[tracked.logIndex];
        record.status = irp->IoStatus.Status;
        record.completedSeq = ++g_seq;
        record.completionIrql = CurrentIrql();
        for (PDEVICE_OBJECT d : tracked.owesStartNext) {
            auto& dp = g_devices[d];
            for (auto& slot : dp.active)
                if (slot == irp)
                    slot = nullptr;
        }
    }
    if (!tracked.owesStartNext.empty()) {
        PDEVICE_OBJECT culprit = *tracked.owesStartNext.begin();
        BugCheck(kDriverPowerStateFailure, kPoCompletedWithoutStartNext,
                 reinterpret_cast<ULONG_PTR>(target), reinterpret_cast<ULONG_PTR>(culprit),
                 reinterpret_cast<ULONG_PTR>(irp),
                 DriverName(culprit->DriverObject) + " let a power IRP complete without calling "
                 "PoStartNextPowerIrp for " + DeviceText(culprit) +
                 ": the next power IRP of that type for the device would wait forever");
    }
}

PIRP MakePowerIrp(PDEVICE_OBJECT top, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                  POWER_ACTION action, bool requested, PDRIVER_OBJECT requester,
                  std::function<void(PIRP)> onFinished) {
    PIRP irp = IoAllocateManagedIrp(top->StackSize, IrpKind::System,
                                    [top, onFinished](PIRP done) {
                                        Finished(done, top);
                                        if (onFinished)
                                            onFinished(done);
                                    });
    if (irp == nullptr)
        return nullptr;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    std::memset(&sp->Parameters, 0, sizeof sp->Parameters);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = minor;
    if (minor == IRP_MN_WAIT_WAKE) {
        sp->Parameters.WaitWake.PowerState = state.SystemState;
    } else {
        sp->Parameters.Power.Type = type;
        sp->Parameters.Power.State = state;
        sp->Parameters.Power.ShutdownType = action;
    }
    PowerIrpRecord record;
    record.target = top;
    record.node = PnpNodeOfDevice(top);
    record.minor = minor;
    record.type = type;
    record.state = state;
    record.action = action;
    record.requested = requested;
    record.requester = requester;
    std::lock_guard<std::mutex> guard(g_lock);
    record.id = ++g_nextId;
    record.sentSeq = ++g_seq;
    g_log.push_back(record);
    g_tracked[irp].logIndex = g_log.size() - 1;
    return irp;
}

} // namespace

// ---------------------------------------------------------------- the driver interface

extern "C" NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoCallDriver");
    if (DeviceObject == nullptr || Irp == nullptr)
        BugCheck(kDriverVerifierIomanagerViolation, kC9NotPowerIrp,
                 reinterpret_cast<ULONG_PTR>(DeviceObject), reinterpret_cast<ULONG_PTR>(Irp), 0,
                 "PoCallDriver with a NULL device or IRP");
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    if (next->MajorFunction != IRP_MJ_POWER)
        BugCheck(kDriverVerifierIomanagerViolation, kC9NotPowerIrp,
                 reinterpret_cast<ULONG_PTR>(DeviceObject), reinterpret_cast<ULONG_PTR>(Irp),
                 next->MajorFunction,
                 "PoCallDriver with an IRP whose next stack location is not IRP_MJ_POWER "
                 "(set up the next location before calling down)");
    const UCHAR minor = next->MinorFunction;
    const POWER_STATE_TYPE type = next->Parameters.Power.Type;
    enum { Deliverit, Hold, Fault } what = Deliverit;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (TakeFaultLocked(DeviceObject, Irp, minor, type)) {
            what = Fault;
        } else if (Serialised(minor)) {
            if (type != SystemPowerState && type != DevicePowerState)
                BugCheck(kDriverVerifierIomanagerViolation, kC9NotPowerIrp,
                         reinterpret_cast<ULONG_PTR>(DeviceObject),
                         reinterpret_cast<ULONG_PTR>(Irp), type,
                         std::string("PoCallDriver: ") + PowerMinorName(minor) +
                             " with a power type that is neither system nor device");
            auto& dp = g_devices[DeviceObject];
            const auto it = g_tracked.find(Irp);
            if (it != g_tracked.end())
                it->second.owesStartNext.insert(DeviceObject);
            if (dp.active[type] != nullptr && dp.active[type] != Irp) {
                dp.held[type].push_back(Irp);
                what = Hold;
            } else {
                dp.active[type] = Irp;
            }
        }
    }
    // The driver runs without the power manager's lock: it calls back in.
    switch (what) {
    case Hold:
        MarkCallerPending(Irp);
        return STATUS_PENDING;
    case Fault:
        return IofCallDriver(FaultDevice(), Irp);
    default:
        return Deliver(DeviceObject, Irp);
    }
}

extern "C" VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    if (sp->MajorFunction != IRP_MJ_POWER)
        BugCheck(kDriverVerifierIomanagerViolation, kC9NotPowerIrp, reinterpret_cast<ULONG_PTR>(Irp),
                 sp->MajorFunction, 0, "PoStartNextPowerIrp on an IRP that is not a power IRP");
    if (!Serialised(sp->MinorFunction))
        return;
    const POWER_STATE_TYPE type = sp->Parameters.Power.Type;
    PDEVICE_OBJECT device = sp->DeviceObject;
    PIRP next = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        const auto tracked = g_tracked.find(Irp);
        if (tracked != g_tracked.end())
            tracked->second.owesStartNext.erase(device);
        const auto it = g_devices.find(device);
        if (it == g_devices.end() || (type != SystemPowerState && type != DevicePowerState))
            return;
        auto& dp = it->second;
        if (dp.active[type] != Irp)
            return;
        dp.active[type] = nullptr;
        if (!dp.held[type].empty()) {
            next = dp.held[type].front();
            dp.held[type].pop_front();
            dp.active[type] = next;
        }
    }
    if (next != nullptr) {
        DriverScope kernel(nullptr);
        if (CurrentIrql() == PASSIVE_LEVEL) {
            IofCallDriver(device, next);
        } else {
            auto* call = new DeferredCall;
            call->device = device;
            call->irp = next;
            ExInitializeWorkItem(&call->item, RunDeferredCall, call);
            ExQueueWorkItem(&call->item, DelayedWorkQueue);
        }
    }
}

extern "C" NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                            POWER_STATE PowerState,
                                            PREQUEST_POWER_COMPLETE CompletionFunction,
                                            PVOID Context, PIRP* Irp) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
    PDRIVER_OBJECT requester = CurrentDriver();
    if (Irp != nullptr)
        BugCheck(kDriverVerifierDetectedViolation, kC4RequestedPowerIrp,
                 reinterpret_cast<ULONG_PTR>(DeviceObject), reinterpret_cast<ULONG_PTR>(Irp), 0,
                 "PoRequestPowerIrp with a pointer for the new IRP (RequestedPowerIrp rule): the "
                 "IRP may be completed and freed before the call returns; only the completion "
                 "function may look at it");
    if (DeviceObject == nullptr)
        BugCheck(kDriverVerifierDetectedViolation, kC4RequestedPowerIrp, 0, 0, 0,
                 "PoRequestPowerIrp with a NULL device object");
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (auto it = g_requestFailures.begin(); it != g_requestFailures.end(); ++it) {
            if (it->skip > 0) {
                --it->skip;
                break;
            }
            const NTSTATUS status = it->status;
            if (--it->count == 0)
                g_requestFailures.erase(it);
            return status;
        }
    }
    PDEVICE_OBJECT top = PnpTopOfStack(DeviceObject);
    POWER_ACTION action;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        action = g_currentAction;
    }
    PIRP irp = MakePowerIrp(
        top, MinorFunction, DevicePowerState, PowerState, action, true, requester,
        [=](PIRP done) {
            if (CompletionFunction == nullptr)
                return;
            // At the completer's IRQL, in the requesting driver's name.
            DriverScope scope(requester);
            CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &done->IoStatus);
        });
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    DriverScope kernel(nullptr);
    PoCallDriver(top, irp);
    return STATUS_PENDING;
}

extern "C" POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                             POWER_STATE State) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoSetPowerState");
    std::lock_guard<std::mutex> guard(g_lock);
    auto& dp = g_devices[DeviceObject];
    POWER_STATE previous;
    if (Type == SystemPowerState) {
        previous.SystemState = dp.system;
        dp.system = State.SystemState;
    } else {
        previous.DeviceState = dp.device;
        dp.device = State.DeviceState;
    }
    return previous;
}

// ---------------------------------------------------------------- kernel side

void PoDeviceDeleted(PDEVICE_OBJECT device) {
    PIRP outstanding = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        const auto it = g_devices.find(device);
        if (it == g_devices.end())
            return;
        for (int t = 0; t < 2 && outstanding == nullptr; ++t) {
            if (it->second.active[t] != nullptr)
                outstanding = it->second.active[t];
            else if (!it->second.held[t].empty())
                outstanding = it->second.held[t].front();
        }
        if (outstanding == nullptr)
            g_devices.erase(it);
    }
    if (outstanding != nullptr)
        BugCheck(kDriverPowerStateFailure, kPoDeviceDeletedWithIrp,
                 reinterpret_cast<ULONG_PTR>(device), reinterpret_cast<ULONG_PTR>(outstanding), 0,
                 DeviceText(device) + " deleted while a power IRP is still active on it");
}

void PoSetCurrentAction(POWER_ACTION action) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_currentAction = action;
}

NTSTATUS PoSendAndWait(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type,
                       POWER_STATE state, POWER_ACTION action) {
    PnpRequirePassive(PowerMinorName(minor));
    PDEVICE_OBJECT top = PnpTopOfStack(device);
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto status = std::make_shared<NTSTATUS>(STATUS_PENDING);
    PIRP irp = MakePowerIrp(top, minor, type, state, action, false, nullptr,
                            [done, status](PIRP finished) {
                                *status = finished->IoStatus.Status;
                                done->store(true);
                                Notify();
                            });
    if (irp == nullptr)
        BugCheck(kDriverPowerStateFailure, kPoNoIrp, 0, 0, 0, "power manager: no IRP");
    {
        DriverScope kernel(nullptr);
        PoCallDriver(top, irp);
    }
    const std::string what = std::string("power manager waits for ") + PowerMinorName(minor) +
                             " on " + DeviceText(top);
    if (!WaitUntil([done] { return done->load(); }, what.c_str(), kPowerIrpTimeout100ns))
        BugCheck(kDriverPowerStateFailure, kPoIrpTimedOut, reinterpret_cast<ULONG_PTR>(top),
                 0, reinterpret_cast<ULONG_PTR>(irp),
                 std::string(PowerMinorName(minor)) + " sent to " + DeviceText(top) +
                     " has not completed after 10 minutes");
    return *status;
}

// ---------------------------------------------------------------- test API

std::vector<PowerIrpRecord> PowerIrpLog() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_log;
}

void ClearPowerIrpLog() {
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_tracked.empty())
        BugCheck(kPnpFatalError, kCaBadRequest, g_tracked.size(), 0, 0,
                 "sim::ClearPowerIrpLog while power IRPs are outstanding");
    g_log.clear();
}

DEVICE_POWER_STATE PoRecordedDeviceState(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(g_lock);
    const auto it = g_devices.find(device);
    return it == g_devices.end() ? PowerDeviceUnspecified : it->second.device;
}

SYSTEM_POWER_STATE PoRecordedSystemState(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(g_lock);
    const auto it = g_devices.find(device);
    return it == g_devices.end() ? PowerSystemUnspecified : it->second.system;
}

void PoInjectFault(const PowerFault& fault) {
    // Made here, where the test runs at PASSIVE_LEVEL: the IRP it takes may
    // be sent from a completion routine at DISPATCH_LEVEL, where no device
    // may be created.
    FaultDevice();
    std::lock_guard<std::mutex> guard(g_lock);
    if (fault.count > 0)
        g_faults.push_back(fault);
}

void PoFailRequestPowerIrp(NTSTATUS status, unsigned skip, unsigned count) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (count > 0)
        g_requestFailures.push_back({status, skip, count});
}

NTSTATUS PoSendPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type,
                        POWER_STATE state, POWER_ACTION action) {
    return PoSendAndWait(device, minor, type, state, action);
}

// ---------------------------------------------------------------- lifecycle

void PoManagerReset() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_devices.clear();
    g_tracked.clear();
    g_log.clear();
    g_seq = 0;
    g_nextId = 0;
    g_faults.clear();
    g_faulted.clear();
    g_requestFailures.clear();
    g_currentAction = PowerActionNone;
}

void PoManagerCheck() { RemoveFaultDevice(); }

void PoManagerStop() {
    // After a failed run the fault device goes with the I/O manager's teardown.
    g_faultDriver = nullptr;
    g_faultDevice = nullptr;
    PoManagerReset();
}

} // namespace sim
