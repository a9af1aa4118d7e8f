// The loader, the Plug and Play manager and the power manager as tests, the
// USB bus and programs use them.
//
// Loader: a driver is a service name bound to an entry point, either an image
// on disk (a shared object exporting only DriverEntry, resolving every kernel
// routine from the executable) or a DriverEntry linked into the test. It is
// loaded when its first device appears and unloaded after its last device
// has been removed, like a .sys under the Windows PnP manager.
//
// Plug and Play: each physical device object the bus reports becomes a device
// node. The manager picks the service by the interface kind, loads it, calls
// AddDevice, plays the COM-port class installer ("PortName" in the device's
// hardware key), sends IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES and
// IRP_MN_QUERY_PNP_DEVICE_STATE; before a removal is queried it asks for the
// stack's removal relations (IRP_MN_QUERY_DEVICE_RELATIONS).
// Every PnP IRP goes to the top of the node's stack at PASSIVE_LEVEL, one at a
// time per node, and its final status is logged on the node.
//
// Power: system transitions (query, then set, to every started stack in
// Windows' order), PoRequestPowerIrp, PoCallDriver with one active power IRP
// per type per device, and a log of every power IRP the manager sends.
#pragma once

#include "platform/kernel.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

// ================================================================ loader

// A driver image on disk. Loaded with dlopen (RTLD_NOW | RTLD_LOCAL), its
// exported DriverEntry called through sim::CreateDriver, dlclose'd after
// sim::UnloadDriver. A missing file, an unresolved import or a missing
// DriverEntry stops the run (bug check 0xCA) when the first device needs it.
void RegisterDriverImage(const std::string& service, const std::string& path);
// A driver linked into the executable (unit tests of one driver).
void RegisterDriverEntry(const std::string& service, PDRIVER_INITIALIZE entry);
// The driver object while the service is loaded, else NULL.
PDRIVER_OBJECT LoadedDriver(const std::string& service);
// How many times the service has been loaded (DriverEntry called) and
// unloaded in this kernel's life.
unsigned DriverLoadCount(const std::string& service);
unsigned DriverUnloadCount(const std::string& service);
// Which service serves which kind of interface. The defaults map "modem" to
// "vxqt70modem" and "diagnostics" to "vxqt70diag"; an empty service means no
// driver is installed for the kind (the node stays without a function driver).
void MapInterfaceKind(const std::string& kind, const std::string& service);
std::string ServiceForInterfaceKind(const std::string& kind);

// ================================================================ Plug and Play

enum class DevNodeState {
    NoDriver,        // no service for the kind, the image failed to load, or AddDevice failed
    Added,           // AddDevice succeeded, not started (or the start was not asked for yet)
    StartFailed,     // IRP_MN_START_DEVICE failed; the stack is kept only if asked (see PlugOptions)
    Started,
    StopPending,     // QUERY_STOP succeeded
    Stopped,         // STOP sent; a START brings it back
    RemovePending,   // QUERY_REMOVE succeeded
    SurpriseRemoved, // unplugged; REMOVE waits for the last handle
    Removed,         // REMOVE sent; the function driver's device is gone, the PDO may remain
    Deleted,         // removed after an unplug: the bus has deleted the PDO
};
const char* DevNodeStateName(DevNodeState state);

struct PnpIrpRecord {
    UCHAR minor;
    NTSTATUS status;          // final IoStatus.Status
    ULONG_PTR information;    // final IoStatus.Information (pool buffers are freed after logging)
};

struct PlugOptions {
    // Identifies the device instance across plugs; the installer gives an
    // instance the same COM name each time it comes back, as Windows does.
    // Empty: a fresh instance ("<kind>\<n>").
    std::u16string instanceId;
    // The node of the stack that enumerated this one (sleep order: children
    // before parents). NULL: a child of the root bus.
    struct DevNode* parent = nullptr;
    // Play the COM-port class installer: assign a COM name and write
    // "PortName" before START. False leaves the hardware key untouched (a
    // test can write its own value first).
    bool installComPort = true;
    // Send IRP_MN_START_DEVICE (then QUERY_CAPABILITIES) right after AddDevice.
    bool start = true;
    // After a failed START Windows sends IRP_MN_REMOVE_DEVICE at once. False
    // keeps the stack in StartFailed so a test can look at it, then remove it
    // with PnpRemoveDevice or PnpUnplug.
    bool removeAfterFailedStart = true;
};

struct DevNode {
    // Read-only for tests; the manager owns every field. A node lives until
    // the kernel is torn down, so pointers stay valid after removal.
    std::string kind;
    std::string service;              // "" when no service is mapped
    std::u16string instanceId;
    DevNode* parent = nullptr;
    unsigned order = 0;               // enumeration order, from 1
    PDEVICE_OBJECT pdo = nullptr;     // NULL once Deleted
    PDEVICE_OBJECT fdo = nullptr;     // attached directly above the PDO by AddDevice; NULL when none
    PDRIVER_OBJECT driver = nullptr;  // the function driver while it has a device here
    DevNodeState state = DevNodeState::NoDriver;
    NTSTATUS problem = STATUS_SUCCESS; // why the node is not started (DriverEntry, AddDevice, START)
    unsigned comPort = 0;             // COMn assigned by the installer, 0 when none
    bool present = true;              // false once the bus reported it gone
    bool capabilitiesValid = false;
    DEVICE_CAPABILITIES capabilities{}; // as last returned by QUERY_CAPABILITIES
    std::vector<PnpIrpRecord> irps;   // every PnP IRP sent, in order
    // The manager's own bookkeeping.
    std::atomic<bool> busy{false};
    bool awaitingRemove = false;      // surprise-removed, REMOVE due at the last handle close
};

// The bus reports a new PDO of an interface of `kind` ("modem",
// "diagnostics"). Runs the whole arrival at once (load, AddDevice, installer,
// START, QUERY_CAPABILITIES) at PASSIVE_LEVEL on the caller's thread, and
// returns the node whatever happened (see state and problem).
DevNode* PnpDeviceArrived(PDEVICE_OBJECT pdo, const std::string& kind,
                          const PlugOptions& options = PlugOptions());
// The bus reports the device gone (unplug). A started or stopped stack gets
// IRP_MN_SURPRISE_REMOVAL; IRP_MN_REMOVE_DEVICE follows at once when no handle
// is open on the stack, else when the last one is closed. The bus deletes the
// PDO while handling that REMOVE (it is no longer present).
void PnpDeviceVanished(PDEVICE_OBJECT pdo);
// The node of a PDO (NULL when unknown), and every node in enumeration order.
DevNode* PnpFindNode(PDEVICE_OBJECT pdo);
std::vector<DevNode*> PnpNodes();

// Orderly requests, as Device Manager or a rebalance makes them. Each returns
// the status of the deciding IRP.
// START (and QUERY_CAPABILITIES on success) to an Added or Stopped node.
NTSTATUS PnpStartDevice(DevNode* node);
// QUERY_STOP then STOP; a refused query is followed by CANCEL_STOP and its
// status returned, the node staying Started.
NTSTATUS PnpStopDevice(DevNode* node);
// QUERY_STOP then CANCEL_STOP (a rebalance that changed its mind).
NTSTATUS PnpQueryStopThenCancel(DevNode* node);
// QUERY_REMOVE then REMOVE; a refused query is followed by CANCEL_REMOVE and
// its status returned, the node keeping its state. After the REMOVE the
// driver is unloaded if this was its last device.
NTSTATUS PnpRemoveDevice(DevNode* node);
// QUERY_REMOVE then CANCEL_REMOVE.
NTSTATUS PnpQueryRemoveThenCancel(DevNode* node);
// A Removed node whose PDO is still present is added again (disable then
// enable in Device Manager): driver loaded if needed, AddDevice, installer,
// START.
NTSTATUS PnpReenableDevice(DevNode* node);
// QUERY_CAPABILITIES as Windows sends it (Size, Version 1, Address and
// UINumber -1); the result is kept in node->capabilities on success.
NTSTATUS PnpQueryCapabilities(DevNode* node);
// Any minor code. IoStatus starts as STATUS_NOT_SUPPORTED, Information 0;
// `prepare` may fill the stack location's parameters; `inspect` sees the IRP
// after completion, before the manager frees what Information points to
// (QUERY_ID, QUERY_DEVICE_RELATIONS, QUERY_DEVICE_TEXT, ... return pool).
NTSTATUS PnpSendIrp(DevNode* node, UCHAR minor,
                    const std::function<void(PIO_STACK_LOCATION)>& prepare = nullptr,
                    const std::function<void(PIRP)>& inspect = nullptr);
// The bus fails the next `count` PnP IRPs of `minor` reaching the PDO of an
// interface of `kind` ("modem", "diagnostics") with `status`, as if its own
// dispatch had refused them (START, the queries). Requests Windows never
// lets fail (REMOVE, SURPRISE_REMOVAL, the cancels) cannot be chosen.
// Cleared when a kernel comes up.
void PnpFailAtBus(const std::string& kind, UCHAR minor, NTSTATUS status, unsigned count = 1);
// Every PnP IRP sent to any node, in order, for tests that compare nodes.
struct PnpLogEntry {
    DevNode* node;
    PnpIrpRecord irp;
};
std::vector<PnpLogEntry> PnpIrpLog();

// ---------------------------------------------------------------- COM port database
// The names in use. A machine may come with ports of its own (COM1 on the
// board): claim them before plugging. The installer picks the lowest free
// number for a new instance and keeps it for the instance until Uninstall.
void ComDbClaim(unsigned number);
void ComDbRelease(unsigned number);
std::vector<unsigned> ComDbInUse();
// Forget an instance (uninstall in Device Manager): its COM name is released.
void PnpUninstall(const std::u16string& instanceId);

// ================================================================ power

// Moves the system between S0 and S1..S5, sending the power IRPs Windows
// sends. Going to sleep: IRP_MN_QUERY_POWER to every started stack (children
// before parents, later-enumerated before earlier), each awaited; if any is
// refused the transition is abandoned (the system stays in S0, the devices
// already queried get IRP_MN_SET_POWER for S0 to cancel the query, see
// SetCancelQueryWithS0) and the refusal returned; else IRP_MN_SET_POWER to
// each in the same order. Waking: IRP_MN_SET_POWER S0 in the opposite order
// (parents first). `action` defaults to the action Windows uses for the
// state (sleep, hibernate, shutdown-off).
NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state, POWER_ACTION action = PowerActionNone);
SYSTEM_POWER_STATE CurrentSystemPowerState();
// Windows cancels a refused system query by sending SET_POWER for the current
// state (S0) to the devices that were queried. Default true.
void SetCancelQueryWithS0(bool enabled);

// One power IRP the manager created (system transition, PoRequestPowerIrp or
// PoSendPowerIrp).
struct PowerIrpRecord {
    unsigned id = 0;                   // creation order, from 1
    PDEVICE_OBJECT target = nullptr;   // the top of the stack it was sent to
    DevNode* node = nullptr;           // the node of that stack, NULL when none
    UCHAR minor = 0;
    POWER_STATE_TYPE type = SystemPowerState;
    POWER_STATE state{};
    POWER_ACTION action = PowerActionNone;
    bool requested = false;            // from PoRequestPowerIrp
    PDRIVER_OBJECT requester = nullptr; // the driver that called PoRequestPowerIrp
    unsigned sentSeq = 0;              // position in the send/complete event sequence
    unsigned completedSeq = 0;         // 0 while not completed
    NTSTATUS status = STATUS_PENDING;  // final status
    KIRQL completionIrql = PASSIVE_LEVEL; // IRQL the completion was seen at
};
std::vector<PowerIrpRecord> PowerIrpLog();
void ClearPowerIrpLog();

// What PoSetPowerState last recorded for a device (Unspecified if never).
DEVICE_POWER_STATE PoRecordedDeviceState(PDEVICE_OBJECT device);
SYSTEM_POWER_STATE PoRecordedSystemState(PDEVICE_OBJECT device);
// IoDeleteDevice calls PoDeviceDeleted first: deleting a device with a power
// IRP still active on it is bug check 0x9F/0x1, and the power manager forgets
// what PoSetPowerState recorded for the device.
void PoDeviceDeleted(PDEVICE_OBJECT device);

// A power IRP arriving at `device` through PoCallDriver is completed there with
// `status` instead of reaching the device's driver, as if that driver had
// failed it (put it on a PDO to make the bus fail it). Matches by minor and
// type (-1: any); `skip` matching IRPs pass first, then `count` fail.
struct PowerFault {
    PDEVICE_OBJECT device = nullptr;   // NULL: any device
    int minor = -1;
    int type = -1;                     // SystemPowerState or DevicePowerState
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    unsigned skip = 0;
    unsigned count = 1;
};
void PoInjectFault(const PowerFault& fault);
// PoRequestPowerIrp fails with `status` (no IRP, no completion call) after
// `skip` successful calls, `count` times.
void PoFailRequestPowerIrp(NTSTATUS status, unsigned skip = 0, unsigned count = 1);
// Sends one power IRP to the top of `device`'s stack and waits for it (the
// verifier's fake power IRPs; direct tests of a driver's power dispatch).
NTSTATUS PoSendPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type,
                        POWER_STATE state, POWER_ACTION action = PowerActionNone);

} // namespace sim
