// The Plug and Play manager: device nodes, driver selection, AddDevice, the
// COM-port class installer, and every PnP IRP a device stack receives.
//
// Each request is sent the way Windows' PnP manager sends it: a system IRP
// with IoStatus preset to STATUS_NOT_SUPPORTED, to the top of the node's
// stack, at PASSIVE_LEVEL, outside any driver, and waited for; one request at
// a time per node. The node records each IRP and its final status. Requests
// that arrive where the manager cannot run them at once (above
// PASSIVE_LEVEL, or from inside a PnP IRP, e.g. the bus reporting an unplug
// from its DPC) are queued to a system worker, as Windows queues device
// events to its PnP worker thread.
#include "platform/sim/api_io.h"
#include "platform/sim/api_ob.h"
#include "platform/sim/io_internal.h"
#include "platform/sim/pnp_internal.h"
#include "platform/sim/sim.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace sim {
namespace {

std::mutex g_lock; // guards the tables below and every DevNode field but `busy`
std::vector<std::unique_ptr<DevNode>> g_nodes;
std::vector<PnpLogEntry> g_log;
unsigned g_nextOrder = 0;
unsigned g_nextInstance = 0;
std::set<unsigned> g_claimedPorts;                   // ports the machine has of its own
std::map<std::u16string, unsigned> g_portOfInstance; // the installer's ComDB

// Nesting of PnP IRPs on this thread: a request made from inside one (a bus
// reporting an unplug while handling START) cannot wait for the node it is
// inside, so it goes to the worker.
thread_local int t_insidePnpIrp = 0;

// PnP IRPs the bus is made to fail (PnpFailAtBus), and the bus drivers'
// own PnP dispatch routines behind the wrapper that fails them.
struct BusFault {
    std::string kind;
    UCHAR minor;
    NTSTATUS status;
    unsigned count;
};
std::vector<BusFault> g_busFaults;
std::map<PDRIVER_OBJECT, PDRIVER_DISPATCH> g_busPnp;

const char* MinorName(UCHAR minor) {
    static const char* const names[] = {
        "IRP_MN_START_DEVICE", "IRP_MN_QUERY_REMOVE_DEVICE", "IRP_MN_REMOVE_DEVICE",
        "IRP_MN_CANCEL_REMOVE_DEVICE", "IRP_MN_STOP_DEVICE", "IRP_MN_QUERY_STOP_DEVICE",
        "IRP_MN_CANCEL_STOP_DEVICE", "IRP_MN_QUERY_DEVICE_RELATIONS", "IRP_MN_QUERY_INTERFACE",
        "IRP_MN_QUERY_CAPABILITIES", "IRP_MN_QUERY_RESOURCES",
        "IRP_MN_QUERY_RESOURCE_REQUIREMENTS", "IRP_MN_QUERY_DEVICE_TEXT",
        "IRP_MN_FILTER_RESOURCE_REQUIREMENTS", "IRP_MN_0x0E", "IRP_MN_READ_CONFIG",
        "IRP_MN_WRITE_CONFIG", "IRP_MN_EJECT", "IRP_MN_SET_LOCK", "IRP_MN_QUERY_ID",
        "IRP_MN_QUERY_PNP_DEVICE_STATE", "IRP_MN_QUERY_BUS_INFORMATION",
        "IRP_MN_DEVICE_USAGE_NOTIFICATION", "IRP_MN_SURPRISE_REMOVAL",
        "IRP_MN_QUERY_LEGACY_BUS_INFORMATION"};
    return minor < sizeof names / sizeof names[0] ? names[minor] : "IRP_MN_(unknown)";
}

std::string Hex(ULONG_PTR value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(value));
    return text;
}

std::string NodeText(const DevNode* node) {
    return "device node " + U8(node->instanceId) + " (" + node->kind + ", " +
           (node->service.empty() ? std::string("no service") : node->service) + ")";
}

// Minor functions whose success hands the PnP manager a pool buffer in
// Information, which it frees once it has read it.
bool ReturnsPool(UCHAR minor) {
    switch (minor) {
    case IRP_MN_QUERY_DEVICE_RELATIONS:
    case IRP_MN_QUERY_RESOURCES:
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
    case IRP_MN_QUERY_DEVICE_TEXT:
    case IRP_MN_QUERY_ID:
    case IRP_MN_QUERY_BUS_INFORMATION:
        return true;
    default:
        return false;
    }
}

// Requests Windows never lets fail (Driver Verifier's PnpRemove rule): a
// driver that fails one leaves the PnP manager nothing sensible to do.
bool MustSucceed(UCHAR minor) {
    return minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL ||
           minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_CANCEL_STOP_DEVICE;
}

// One request at a time per node. Waiting lets the rest of the machine run,
// so a second request from another thread simply queues behind the first.
class NodeBusy {
public:
    explicit NodeBusy(DevNode* node) : node_(node) {
        for (;;) {
            bool expected = false;
            if (node_->busy.compare_exchange_strong(expected, true))
                return;
            WaitUntil([this] { return !node_->busy.load(); },
                      "PnP manager: another request on the same device node");
        }
    }
    ~NodeBusy() {
        node_->busy.store(false);
        Notify();
    }
    NodeBusy(const NodeBusy&) = delete;
    NodeBusy& operator=(const NodeBusy&) = delete;

private:
    DevNode* node_;
};

DevNode* FindNodeLocked(PDEVICE_OBJECT pdo);

struct Completion {
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

NTSTATUS NTAPI FailingBusPnp(PDEVICE_OBJECT device, PIRP irp) {
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    PDRIVER_DISPATCH own = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    bool fail = false;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        own = g_busPnp[device->DriverObject];
        DevNode* node = FindNodeLocked(device);
        for (BusFault& f : g_busFaults) {
            if (node != nullptr && f.kind == node->kind && f.minor == minor && f.count != 0) {
                --f.count;
                status = f.status;
                fail = true;
                break;
            }
        }
    }
    if (!fail)
        return own(device, irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Puts the failing wrapper in front of the bus driver's PnP dispatch while
// faults are planned (again after a new bus driver object replaced it).
void WrapBusPnp(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_busFaults.empty())
        return;
    PDRIVER_OBJECT bus = pdo->DriverObject;
    if (bus->MajorFunction[IRP_MJ_PNP] == FailingBusPnp)
        return;
    g_busPnp[bus] = bus->MajorFunction[IRP_MJ_PNP];
    bus->MajorFunction[IRP_MJ_PNP] = FailingBusPnp;
}

// Sends one PnP IRP and waits for it. Caller holds the node (NodeBusy), not
// g_lock.
NTSTATUS SendPnpIrp(DevNode* node, UCHAR minor,
                    const std::function<void(PIO_STACK_LOCATION)>& prepare = nullptr,
                    const std::function<void(PIRP)>& inspect = nullptr) {
    PnpRequirePassive(MinorName(minor));
    PDEVICE_OBJECT pdo = node->pdo;
    if (pdo == nullptr)
        BugCheck(kPnpFatalError, kCaBadRequest, minor, 0, 0,
                 std::string("PnP manager: ") + MinorName(minor) + " for " + NodeText(node) +
                     ", whose physical device object is gone");
    WrapBusPnp(pdo);
    PDEVICE_OBJECT top = PnpTopOfStack(pdo);
    auto completion = std::make_shared<Completion>();
    PIRP irp = IoAllocateManagedIrp(top->StackSize, IrpKind::System, [completion](PIRP done) {
        completion->status = done->IoStatus.Status;
        completion->information = done->IoStatus.Information;
        completion->done.store(true);
        Notify();
    });
    if (irp == nullptr)
        BugCheck(kPnpFatalError, kCaBadRequest, minor, 0, 0,
                 "PnP manager: no IRP for " + std::string(MinorName(minor)));
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    std::memset(&sp->Parameters, 0, sizeof sp->Parameters);
    sp->MajorFunction = IRP_MJ_PNP;
    sp->MinorFunction = minor;
    if (prepare)
        prepare(sp);
    ++t_insidePnpIrp;
    {
        DriverScope kernel(nullptr);
        IofCallDriver(top, irp);
    }
    const std::string what = std::string("PnP manager waits for ") + MinorName(minor) + " on " +
                             NodeText(node);
    WaitUntil([completion] { return completion->done.load(); }, what.c_str());
    --t_insidePnpIrp;

    const PnpIrpRecord record{minor, completion->status, completion->information};
    {
        std::lock_guard<std::mutex> guard(g_lock);
        node->irps.push_back(record);
        g_log.push_back({node, record});
    }
    if (inspect) {
        // The IRP itself is gone; show the caller what came back.
        IRP view{};
        view.IoStatus.Status = completion->status;
        view.IoStatus.Information = completion->information;
        inspect(&view);
    }
    if (NT_SUCCESS(completion->status) && ReturnsPool(minor) && completion->information != 0)
        ExFreePool(reinterpret_cast<PVOID>(completion->information));
    if (MustSucceed(minor) && !NT_SUCCESS(completion->status))
        BugCheck(kDriverVerifierDetectedViolation, kC4PnpRemoveFailed, minor,
                 reinterpret_cast<ULONG_PTR>(top), static_cast<ULONG_PTR>(completion->status),
                 std::string(MinorName(minor)) + " completed with " + Hex(completion->status) +
                     " on " + NodeText(node) +
                     ": drivers may not fail this request (PnpRemove rule)");
    return completion->status;
}

// ---------------------------------------------------------------- deferral

struct DeferredWork {
    WORK_QUEUE_ITEM item;
    std::function<void()> work;
};

VOID NTAPI RunDeferred(PVOID parameter) {
    std::unique_ptr<DeferredWork> work(static_cast<DeferredWork*>(parameter));
    work->work();
}

bool MustDefer() { return CurrentIrql() != PASSIVE_LEVEL || t_insidePnpIrp > 0; }

void Defer(std::function<void()> fn) {
    auto* work = new DeferredWork;
    work->work = std::move(fn);
    ExInitializeWorkItem(&work->item, RunDeferred, work);
    // The manager's own work: not charged to whichever driver called in.
    DriverScope kernel(nullptr);
    ExQueueWorkItem(&work->item, DelayedWorkQueue);
}

// ---------------------------------------------------------------- installer

unsigned AssignComPort(const std::u16string& instance) {
    std::lock_guard<std::mutex> guard(g_lock);
    const auto known = g_portOfInstance.find(instance);
    if (known != g_portOfInstance.end())
        return known->second;
    std::set<unsigned> used(g_claimedPorts);
    for (const auto& [id, port] : g_portOfInstance)
        used.insert(port);
    unsigned port = 1;
    while (used.count(port) != 0)
        ++port;
    g_portOfInstance[instance] = port;
    return port;
}

// The COM-port class installer: picks the device's name in the ComDB and
// writes it as "PortName" in the device's hardware key, where the driver
// reads it at start.
void RunComPortInstaller(DevNode* node) {
    const unsigned port = AssignComPort(node->instanceId);
    char name[16];
    std::snprintf(name, sizeof name, "COM%u", port);
    CreateDeviceParametersKey(node->pdo);
    SetPortName(node->pdo, U16(name));
    std::lock_guard<std::mutex> guard(g_lock);
    node->comPort = port;
}

// ---------------------------------------------------------------- node steps (caller holds the node)

void SetState(DevNode* node, DevNodeState state, NTSTATUS problem = STATUS_SUCCESS) {
    std::lock_guard<std::mutex> guard(g_lock);
    node->state = state;
    node->problem = problem;
}

bool DriverStillUsed(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(g_lock);
    for (const auto& n : g_nodes)
        if (n->driver == driver)
            return true;
    return false;
}

void UnloadIfUnused(PDRIVER_OBJECT driver, const std::string& service) {
    if (driver != nullptr && !DriverStillUsed(driver))
        LoaderUnload(service);
}

NTSTATUS QueryCapabilities(DevNode* node) {
    // Initialised as Windows does before asking: size and version set,
    // address and UI number unknown, everything else zero.
    DEVICE_CAPABILITIES caps;
    std::memset(&caps, 0, sizeof caps);
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    const NTSTATUS status = SendPnpIrp(node, IRP_MN_QUERY_CAPABILITIES, [&caps](PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceCapabilities.Capabilities = &caps;
    });
    if (NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(g_lock);
        node->capabilities = caps;
        node->capabilitiesValid = true;
    }
    return status;
}

// REMOVE to the stack; afterwards the function driver's device must be gone
// from it, and the driver is unloaded if this was its last device.
NTSTATUS RemoveStack(DevNode* node) {
    const NTSTATUS status = SendPnpIrp(node, IRP_MN_REMOVE_DEVICE);
    PDRIVER_OBJECT driver = nullptr;
    std::string service;
    bool present = false;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        driver = node->driver;
        service = node->service;
        present = node->present;
        node->driver = nullptr;
        node->fdo = nullptr;
        node->awaitingRemove = false;
        if (present) {
            node->state = DevNodeState::Removed;
        } else {
            // The bus deleted its PDO while handling the REMOVE of a device
            // it no longer reports.
            node->state = DevNodeState::Deleted;
            node->pdo = nullptr;
        }
    }
    if (present && node->pdo->AttachedDevice != nullptr)
        BugCheck(kPnpFatalError, kCaRemoveLeftDevice, reinterpret_cast<ULONG_PTR>(node->pdo),
                 reinterpret_cast<ULONG_PTR>(node->pdo->AttachedDevice), 0,
                 "IRP_MN_REMOVE_DEVICE completed on " + NodeText(node) + " but " +
                     DeviceText(node->pdo->AttachedDevice) +
                     " is still attached to the PDO (the driver must detach and delete its "
                     "device while handling REMOVE; Windows reports 0xC9/0x21D)");
    UnloadIfUnused(driver, service);
    return status;
}

// After a start Windows asks what the stack makes of the device's state
// (disabled, failed, not to be shown); these stacks report nothing the
// manager acts on, so the answer is only logged.
void QueryPnpDeviceState(DevNode* node) {
    SendPnpIrp(node, IRP_MN_QUERY_PNP_DEVICE_STATE);
}

// Before a removal is queried Windows asks the stack which other devices must
// go with it. A stack that names some would need those removed first, which
// nothing here models.
void QueryRemovalRelations(DevNode* node) {
    struct Relations {
        ULONG Count;
        PDEVICE_OBJECT Objects[1];
    };
    SendPnpIrp(
        node, IRP_MN_QUERY_DEVICE_RELATIONS,
        [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = RemovalRelations; },
        [node](PIRP irp) {
            const auto* relations = reinterpret_cast<const Relations*>(irp->IoStatus.Information);
            if (NT_SUCCESS(irp->IoStatus.Status) && relations != nullptr && relations->Count != 0)
                NotModelled("PnP manager: removal relations (" + std::to_string(relations->Count) +
                            " devices) reported by " + NodeText(node));
        });
}

NTSTATUS StartStack(DevNode* node, bool removeAfterFailedStart) {
    const NTSTATUS status = SendPnpIrp(node, IRP_MN_START_DEVICE);
    if (NT_SUCCESS(status)) {
        SetState(node, DevNodeState::Started);
        QueryCapabilities(node);
        QueryPnpDeviceState(node);
        return status;
    }
    SetState(node, DevNodeState::StartFailed, status);
    if (removeAfterFailedStart) {
        RemoveStack(node);
        SetState(node, node->pdo ? DevNodeState::Removed : DevNodeState::Deleted, status);
    }
    return status;
}

NTSTATUS CallAddDevice(DevNode* node, PDRIVER_OBJECT driver) {
    PDRIVER_ADD_DEVICE addDevice =
        driver->DriverExtension != nullptr ? driver->DriverExtension->AddDevice : nullptr;
    if (addDevice == nullptr)
        return STATUS_NOT_IMPLEMENTED; // not a PnP driver: it cannot serve the device
    PDEVICE_OBJECT pdo = node->pdo;
    PDEVICE_OBJECT before = pdo->AttachedDevice;
    NTSTATUS status;
    {
        DriverScope scope(driver);
        status = addDevice(driver, pdo);
    }
    if (CurrentIrql() != PASSIVE_LEVEL)
        BugCheck(kIrqlNotLessOrEqual, CurrentIrql(), 0, reinterpret_cast<ULONG_PTR>(addDevice), 0,
                 "AddDevice of " + DriverName(driver) + " returned at raised IRQL");
    if (!NT_SUCCESS(status)) {
        if (pdo->AttachedDevice != before)
            BugCheck(kPnpFatalError, kCaAddDeviceLeftDevice, reinterpret_cast<ULONG_PTR>(pdo),
                     reinterpret_cast<ULONG_PTR>(pdo->AttachedDevice), static_cast<ULONG_PTR>(status),
                     "AddDevice of " + DriverName(driver) + " failed with " + Hex(status) +
                         " but left " + DeviceText(pdo->AttachedDevice) +
                         " attached: a failed AddDevice must undo everything");
        return status;
    }
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    if (fdo != nullptr) {
        if (fdo->Flags & DO_DEVICE_INITIALIZING)
            BugCheck(kDriverVerifierIomanagerViolation, kC9InitializingLeftSet,
                     reinterpret_cast<ULONG_PTR>(fdo), 0, 0,
                     "AddDevice of " + DriverName(driver) + " returned with DO_DEVICE_INITIALIZING "
                     "still set on " + DeviceText(fdo) + ": no request could ever reach it");
        if ((pdo->Flags & DO_POWER_PAGABLE) && !(fdo->Flags & DO_POWER_PAGABLE))
            BugCheck(kDriverVerifierIomanagerViolation, kC9PowerPagableNotInherited,
                     reinterpret_cast<ULONG_PTR>(fdo), reinterpret_cast<ULONG_PTR>(pdo), 0,
                     "AddDevice of " + DriverName(driver) + ": " + DeviceText(fdo) +
                         " sits on a DO_POWER_PAGABLE device without being DO_POWER_PAGABLE");
    }
    std::lock_guard<std::mutex> guard(g_lock);
    node->fdo = fdo;
    node->driver = driver;
    return status;
}

// Load, install, AddDevice, and START if asked.
void AddAndStart(DevNode* node, const PlugOptions& options) {
    if (node->service.empty()) {
        SetState(node, DevNodeState::NoDriver, STATUS_NO_SUCH_DEVICE);
        return;
    }
    NTSTATUS status = STATUS_SUCCESS;
    PDRIVER_OBJECT driver = LoaderLoad(node->service, &status);
    if (driver == nullptr) {
        SetState(node, DevNodeState::NoDriver, status);
        return;
    }
    // Install time: the class installer names the port before the driver
    // ever sees the device.
    if (options.installComPort)
        RunComPortInstaller(node);
    status = CallAddDevice(node, driver);
    if (!NT_SUCCESS(status)) {
        SetState(node, DevNodeState::NoDriver, status);
        UnloadIfUnused(driver, node->service);
        return;
    }
    SetState(node, DevNodeState::Added);
    if (options.start)
        StartStack(node, options.removeAfterFailedStart);
}

void VanishLocked(DevNode* node);

// After a surprise removal the stack stays until nobody has it open.
void RemoveIfNoHandles(DevNode* node) {
    if (IoOpenFileObjects(node->pdo) == 0) {
        RemoveStack(node);
        return;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    node->awaitingRemove = true;
}

void VanishLocked(DevNode* node) {
    DevNodeState state;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (!node->present || node->pdo == nullptr)
            return; // already reported gone
        node->present = false;
        state = node->state;
    }
    switch (state) {
    case DevNodeState::Started:
    case DevNodeState::StopPending:
    case DevNodeState::Stopped:
    case DevNodeState::RemovePending:
        SendPnpIrp(node, IRP_MN_SURPRISE_REMOVAL);
        SetState(node, DevNodeState::SurpriseRemoved);
        RemoveIfNoHandles(node);
        break;
    default:
        // Never started (or already removed): nothing to surprise; the
        // REMOVE lets the function driver go and the bus delete its PDO.
        RemoveStack(node);
        break;
    }
}

DevNode* FindNodeLocked(PDEVICE_OBJECT pdo) {
    for (const auto& n : g_nodes)
        if (n->pdo == pdo)
            return n.get();
    return nullptr;
}

int Depth(const DevNode* node) {
    int depth = 0;
    for (const DevNode* p = node->parent; p != nullptr; p = p->parent)
        ++depth;
    return depth;
}

DevNode* RequireNode(DevNode* node, const char* what) {
    if (node == nullptr)
        BugCheck(kPnpFatalError, kCaBadRequest, 0, 0, 0, std::string(what) + ": NULL device node");
    return node;
}

[[noreturn]] void BadState(DevNode* node, const char* what) {
    BugCheck(kPnpFatalError, kCaBadRequest, static_cast<ULONG_PTR>(node->state), 0, 0,
             std::string(what) + ": " + NodeText(node) + " is " + DevNodeStateName(node->state));
}

} // namespace

// ---------------------------------------------------------------- internal

void PnpRequirePassive(const char* what) {
    if (CurrentIrql() != PASSIVE_LEVEL)
        BugCheck(kPnpFatalError, kCaNotPassive, CurrentIrql(), 0, 0,
                 std::string("PnP manager: ") + what + " requested above PASSIVE_LEVEL");
}

PDEVICE_OBJECT PnpTopOfStack(PDEVICE_OBJECT device) {
    PDEVICE_OBJECT top = device;
    while (top->AttachedDevice != nullptr)
        top = top->AttachedDevice;
    return top;
}

DevNode* PnpNodeOfDevice(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(g_lock);
    for (const auto& n : g_nodes) {
        for (PDEVICE_OBJECT d = n->pdo; d != nullptr; d = d->AttachedDevice)
            if (d == device)
                return n.get();
    }
    return nullptr;
}

std::vector<DevNode*> PnpPowerOrderForSleep() {
    std::vector<DevNode*> out;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (const auto& n : g_nodes) {
            if (n->pdo == nullptr || n->driver == nullptr)
                continue;
            switch (n->state) {
            case DevNodeState::Started:
            case DevNodeState::StopPending:
            case DevNodeState::Stopped:
            case DevNodeState::RemovePending:
                out.push_back(n.get());
                break;
            default:
                break;
            }
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const DevNode* a, const DevNode* b) {
        const int da = Depth(a), db = Depth(b);
        if (da != db)
            return da > db;
        return a->order > b->order;
    });
    return out;
}

void PnpFileObjectClosed(PDEVICE_OBJECT device) {
    DevNode* node = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (const auto& n : g_nodes) {
            if (!n->awaitingRemove || n->pdo == nullptr)
                continue;
            for (PDEVICE_OBJECT d = n->pdo; d != nullptr; d = d->AttachedDevice)
                if (d == device)
                    node = n.get();
        }
    }
    if (node == nullptr)
        return;
    auto finish = [node] {
        NodeBusy busy(node);
        if (node->awaitingRemove && node->pdo != nullptr)
            RemoveIfNoHandles(node);
    };
    if (MustDefer())
        Defer(finish);
    else
        finish();
}

// ---------------------------------------------------------------- public

const char* DevNodeStateName(DevNodeState state) {
    switch (state) {
    case DevNodeState::NoDriver: return "NoDriver";
    case DevNodeState::Added: return "Added";
    case DevNodeState::StartFailed: return "StartFailed";
    case DevNodeState::Started: return "Started";
    case DevNodeState::StopPending: return "StopPending";
    case DevNodeState::Stopped: return "Stopped";
    case DevNodeState::RemovePending: return "RemovePending";
    case DevNodeState::SurpriseRemoved: return "SurpriseRemoved";
    case DevNodeState::Removed: return "Removed";
    case DevNodeState::Deleted: return "Deleted";
    }
    return "?";
}

DevNode* PnpDeviceArrived(PDEVICE_OBJECT pdo, const std::string& kind, const PlugOptions& options) {
    if (pdo == nullptr)
        BugCheck(kPnpFatalError, kCaInvalidPdo, 0, 0, 0, "PnP manager: a bus reported a NULL PDO");
    DevNode* node = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (FindNodeLocked(pdo) != nullptr)
            BugCheck(kPnpFatalError, kCaDuplicatePdo, reinterpret_cast<ULONG_PTR>(pdo), 0, 0,
                     "PnP manager: the bus reported " + DeviceText(pdo) + " twice (duplicate PDO)");
        auto owned = std::make_unique<DevNode>();
        node = owned.get();
        node->kind = kind;
        node->parent = options.parent;
        node->order = ++g_nextOrder;
        node->pdo = pdo;
        g_nodes.push_back(std::move(owned));
    }
    node->service = ServiceForInterfaceKind(kind);
    std::u16string instance = options.instanceId;
    if (instance.empty() && (pdo->Flags & DO_BUS_ENUMERATED_DEVICE))
        instance = DeviceInstancePath(pdo); // the bus named it
    if (instance.empty()) {
        char made[64];
        std::snprintf(made, sizeof made, "SIM\\%s\\%04u", kind.c_str(), g_nextInstance++);
        instance = U16(made);
    }
    SetDeviceInstancePath(pdo, instance);
    node->instanceId = instance;

    auto arrive = [node, options] {
        NodeBusy busy(node);
        AddAndStart(node, options);
    };
    if (MustDefer())
        Defer(arrive);
    else
        arrive();
    return node;
}

void PnpDeviceVanished(PDEVICE_OBJECT pdo) {
    DevNode* node = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        node = FindNodeLocked(pdo);
    }
    if (node == nullptr)
        BugCheck(kPnpFatalError, kCaUnknownPdoGone, reinterpret_cast<ULONG_PTR>(pdo), 0, 0,
                 "PnP manager: the bus reported an unknown or deleted PDO gone");
    auto vanish = [node] {
        NodeBusy busy(node);
        VanishLocked(node);
    };
    if (MustDefer())
        Defer(vanish);
    else
        vanish();
}

DevNode* PnpFindNode(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> guard(g_lock);
    return FindNodeLocked(pdo);
}

std::vector<DevNode*> PnpNodes() {
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<DevNode*> out;
    for (const auto& n : g_nodes)
        out.push_back(n.get());
    return out;
}

NTSTATUS PnpStartDevice(DevNode* node) {
    NodeBusy busy(RequireNode(node, "sim::PnpStartDevice"));
    if (node->state != DevNodeState::Added && node->state != DevNodeState::Stopped &&
        node->state != DevNodeState::StartFailed)
        BadState(node, "sim::PnpStartDevice");
    return StartStack(node, false);
}

NTSTATUS PnpStopDevice(DevNode* node) {
    NodeBusy busy(RequireNode(node, "sim::PnpStopDevice"));
    if (node->state != DevNodeState::Started)
        BadState(node, "sim::PnpStopDevice");
    const NTSTATUS query = SendPnpIrp(node, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(query)) {
        // Windows tells every stack it asked that the stop is off, the
        // refusing one included.
        SendPnpIrp(node, IRP_MN_CANCEL_STOP_DEVICE);
        return query;
    }
    SetState(node, DevNodeState::StopPending);
    const NTSTATUS stop = SendPnpIrp(node, IRP_MN_STOP_DEVICE);
    SetState(node, DevNodeState::Stopped);
    return stop;
}

NTSTATUS PnpQueryStopThenCancel(DevNode* node) {
    NodeBusy busy(RequireNode(node, "sim::PnpQueryStopThenCancel"));
    if (node->state != DevNodeState::Started)
        BadState(node, "sim::PnpQueryStopThenCancel");
    const NTSTATUS query = SendPnpIrp(node, IRP_MN_QUERY_STOP_DEVICE);
    if (NT_SUCCESS(query))
        SetState(node, DevNodeState::StopPending);
    SendPnpIrp(node, IRP_MN_CANCEL_STOP_DEVICE);
    SetState(node, DevNodeState::Started);
    return query;
}

NTSTATUS PnpRemoveDevice(DevNode* node) {
    NodeBusy busy(RequireNode(node, "sim::PnpRemoveDevice"));
    switch (node->state) {
    case DevNodeState::NoDriver:
    case DevNodeState::Added:
    case DevNodeState::StartFailed:
    case DevNodeState::Started:
    case DevNodeState::Stopped:
        break;
    default:
        BadState(node, "sim::PnpRemoveDevice");
    }
    if (node->pdo == nullptr || !node->present)
        BadState(node, "sim::PnpRemoveDevice");
    const DevNodeState previous = node->state;
    if (node->driver != nullptr)
        QueryRemovalRelations(node);
    const NTSTATUS query = SendPnpIrp(node, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(query)) {
        SendPnpIrp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
        SetState(node, previous, node->problem);
        return query;
    }
    SetState(node, DevNodeState::RemovePending);
    return RemoveStack(node);
}

NTSTATUS PnpQueryRemoveThenCancel(DevNode* node) {
    NodeBusy busy(RequireNode(node, "sim::PnpQueryRemoveThenCancel"));
    if (node->pdo == nullptr || !node->present || node->driver == nullptr)
        BadState(node, "sim::PnpQueryRemoveThenCancel");
    const DevNodeState previous = node->state;
    QueryRemovalRelations(node);
    const NTSTATUS query = SendPnpIrp(node, IRP_MN_QUERY_REMOVE_DEVICE);
    if (NT_SUCCESS(query))
        SetState(node, DevNodeState::RemovePending);
    SendPnpIrp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
    SetState(node, previous, node->problem);
    return query;
}

NTSTATUS PnpReenableDevice(DevNode* node) {
    NodeBusy busy(RequireNode(node, "sim::PnpReenableDevice"));
    if (node->state != DevNodeState::Removed || node->pdo == nullptr || !node->present)
        BadState(node, "sim::PnpReenableDevice");
    AddAndStart(node, PlugOptions());
    if (node->state == DevNodeState::Started)
        return STATUS_SUCCESS;
    return NT_SUCCESS(node->problem) ? STATUS_UNSUCCESSFUL : node->problem;
}

NTSTATUS PnpQueryCapabilities(DevNode* node) {
    NodeBusy busy(RequireNode(node, "sim::PnpQueryCapabilities"));
    if (node->pdo == nullptr)
        BadState(node, "sim::PnpQueryCapabilities");
    return QueryCapabilities(node);
}

NTSTATUS PnpSendIrp(DevNode* node, UCHAR minor,
                    const std::function<void(PIO_STACK_LOCATION)>& prepare,
                    const std::function<void(PIRP)>& inspect) {
    NodeBusy busy(RequireNode(node, "sim::PnpSendIrp"));
    if (node->pdo == nullptr)
        BadState(node, "sim::PnpSendIrp");
    return SendPnpIrp(node, minor, prepare, inspect);
}

void PnpFailAtBus(const std::string& kind, UCHAR minor, NTSTATUS status, unsigned count) {
    if (MustSucceed(minor))
        BugCheck(kPnpFatalError, kCaBadRequest, minor, 0, 0,
                 std::string("sim::PnpFailAtBus: ") + MinorName(minor) +
                     " is a request no driver may fail");
    std::lock_guard<std::mutex> guard(g_lock);
    g_busFaults.push_back({kind, minor, status, count});
}

std::vector<PnpLogEntry> PnpIrpLog() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_log;
}

void ComDbClaim(unsigned number) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_claimedPorts.insert(number);
}

void ComDbRelease(unsigned number) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_claimedPorts.erase(number);
    for (auto it = g_portOfInstance.begin(); it != g_portOfInstance.end();)
        it = it->second == number ? g_portOfInstance.erase(it) : std::next(it);
}

std::vector<unsigned> ComDbInUse() {
    std::lock_guard<std::mutex> guard(g_lock);
    std::set<unsigned> used(g_claimedPorts);
    for (const auto& [id, port] : g_portOfInstance)
        used.insert(port);
    return {used.begin(), used.end()};
}

void PnpUninstall(const std::u16string& instanceId) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_portOfInstance.erase(instanceId);
}

// ---------------------------------------------------------------- lifecycle

void PnpStart(const Options&) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_nodes.clear();
        g_log.clear();
        g_nextOrder = 0;
        g_nextInstance = 0;
        g_claimedPorts.clear();
        g_portOfInstance.clear();
        g_busFaults.clear();
        g_busPnp.clear();
    }
    LoaderStart();
}

// The end of a run removes every device still installed, as an orderly
// uninstall would (query, then remove), so each driver goes through its
// removal and unload and the verifier's unload checks see what it leaked. A
// stack that still has handles open is left alone: the I/O manager's own
// end-of-run check names the handles.
void PnpCheck() {
    std::vector<DevNode*> nodes = PnpNodes();
    std::reverse(nodes.begin(), nodes.end());
    for (DevNode* node : nodes) {
        NodeBusy busy(node);
        if (node->pdo == nullptr || node->driver == nullptr)
            continue;
        if (IoOpenFileObjects(node->pdo) != 0)
            continue;
        switch (node->state) {
        case DevNodeState::Added:
        case DevNodeState::StartFailed:
        case DevNodeState::Started:
        case DevNodeState::Stopped:
            if (!NT_SUCCESS(SendPnpIrp(node, IRP_MN_QUERY_REMOVE_DEVICE))) {
                SendPnpIrp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
                continue;
            }
            RemoveStack(node);
            break;
        case DevNodeState::StopPending:
        case DevNodeState::RemovePending:
        case DevNodeState::SurpriseRemoved:
            RemoveStack(node);
            break;
        default:
            break;
        }
    }
}

void PnpStop() {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_nodes.clear();
        g_log.clear();
        g_claimedPorts.clear();
        g_portOfInstance.clear();
        g_busFaults.clear();
        g_busPnp.clear();
    }
    LoaderStop();
}

} // namespace sim
