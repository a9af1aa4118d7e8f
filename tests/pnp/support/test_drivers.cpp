#include "pnp/support/test_drivers.h"

#include "platform/sim/api_ob.h"

#include <cstring>
#include <mutex>

namespace pnptest {

FdoKnobs g_fdo;
BusKnobs g_bus;

namespace {

std::mutex g_timelineLock;
std::vector<std::string> g_timeline;
int g_entries = 0;
std::vector<std::pair<PDEVICE_OBJECT, PIRP>> g_parked;
int g_unloads = 0;

const char* PnpName(UCHAR minor) {
    switch (minor) {
    case IRP_MN_START_DEVICE: return "START";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE";
    case IRP_MN_STOP_DEVICE: return "STOP";
    case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP";
    case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP";
    case IRP_MN_QUERY_DEVICE_RELATIONS: return "QUERY_RELATIONS";
    case IRP_MN_QUERY_CAPABILITIES: return "QUERY_CAPABILITIES";
    case IRP_MN_QUERY_ID: return "QUERY_ID";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
    default: return "OTHER";
    }
}

std::string PowerText(PIO_STACK_LOCATION sp) {
    std::string text;
    switch (sp->MinorFunction) {
    case IRP_MN_SET_POWER: text = "SET "; break;
    case IRP_MN_QUERY_POWER: text = "QUERY "; break;
    case IRP_MN_WAIT_WAKE: return "WAIT_WAKE";
    default: return "POWER_OTHER";
    }
    if (sp->Parameters.Power.Type == SystemPowerState)
        return text + "S" + std::to_string(sp->Parameters.Power.State.SystemState - 1);
    return text + "D" + std::to_string(sp->Parameters.Power.State.DeviceState - 1);
}

// ---------------------------------------------------------------- function driver

struct FdoExtension {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo;
    LONG opens;
    BOOLEAN portNameFound;
    WCHAR portName[64];
};

FdoExtension* Ext(PDEVICE_OBJECT device) { return static_cast<FdoExtension*>(device->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(FdoExtension* x, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    IoCallDriver(x->lower, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS PassDown(FdoExtension* x, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(x->lower, irp);
}

void ReadPortName(FdoExtension* x) {
    x->portNameFound = FALSE;
    std::memset(x->portName, 0, sizeof x->portName);
    HANDLE key = nullptr;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(x->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key)))
        return;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"PortName");
    ULONG buffer[64];
    ULONG length = 0;
    if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer,
                                   &length))) {
        auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
        std::memcpy(x->portName, info->Data,
                    info->DataLength < sizeof x->portName - 2 ? info->DataLength
                                                              : sizeof x->portName - 2);
        x->portNameFound = TRUE;
    }
    ZwClose(key);
}

NTSTATUS NTAPI FdoCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_CREATE)
        InterlockedIncrement(&Ext(device)->opens);
    else if (sp->MajorFunction == IRP_MJ_CLOSE)
        InterlockedDecrement(&Ext(device)->opens);
    irp->IoStatus.Information = 0;
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI FdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    FdoExtension* x = Ext(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Note(std::string("fdo:") + PnpName(sp->MinorFunction));
    NTSTATUS status;
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = ForwardAndWait(x, irp);
        if (NT_SUCCESS(status))
            ReadPortName(x);
        return Complete(irp, status);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (g_fdo.refuseQueries || (g_fdo.refuseWhileOpen && x->opens > 0))
            return Complete(irp, STATUS_DEVICE_BUSY);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(x, irp);
    case IRP_MN_REMOVE_DEVICE: {
        if (g_fdo.failRemove)
            return Complete(irp, STATUS_UNSUCCESSFUL);
        irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = x->lower;
        status = PassDown(x, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(x, irp);
    case IRP_MN_QUERY_CAPABILITIES:
        status = ForwardAndWait(x, irp);
        if (NT_SUCCESS(status))
            sp->Parameters.DeviceCapabilities.Capabilities->SurpriseRemovalOK = 1;
        return Complete(irp, status);
    default:
        return PassDown(x, irp);
    }
}

VOID NTAPI DeviceUpDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
    PIRP irp = static_cast<PIRP>(context);
    Note("fdo:D0 done, completing system IRP");
    irp->IoStatus.Status = io->Status;
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI SystemUpDone(PDEVICE_OBJECT device, PIRP irp, PVOID) {
    FdoExtension* x = Ext(device);
    if (!NT_SUCCESS(irp->IoStatus.Status)) {
        PoStartNextPowerIrp(irp);
        return STATUS_SUCCESS;
    }
    Note("fdo:system IRP back, requesting D0");
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const NTSTATUS status = PoRequestPowerIrp(x->pdo, sp->MinorFunction, DeviceState(PowerDeviceD0),
                                              DeviceUpDone, irp, nullptr);
    if (!NT_SUCCESS(status)) {
        irp->IoStatus.Status = status;
        PoStartNextPowerIrp(irp);
        return STATUS_SUCCESS;
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID NTAPI DeviceDownDone(PDEVICE_OBJECT device, UCHAR, POWER_STATE, PVOID context,
                          PIO_STATUS_BLOCK io) {
    PIRP irp = static_cast<PIRP>(context);
    if (!NT_SUCCESS(io->Status)) {
        Note("fdo:device IRP failed, failing system IRP");
        irp->IoStatus.Status = io->Status;
        PoStartNextPowerIrp(irp);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return;
    }
    Note("fdo:device IRP done, passing system IRP down");
    PoStartNextPowerIrp(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    // `device` is the PDO the device IRP was requested for; the FDO is above it.
    PoCallDriver(device, irp);
}

NTSTATUS NTAPI FdoPower(PDEVICE_OBJECT device, PIRP irp) {
    FdoExtension* x = Ext(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Note("fdo:" + PowerText(sp));
    if (sp->MinorFunction != IRP_MN_SET_POWER && sp->MinorFunction != IRP_MN_QUERY_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(x->lower, irp);
    }
    if (sp->Parameters.Power.Type == SystemPowerState) {
        const SYSTEM_POWER_STATE s = sp->Parameters.Power.State.SystemState;
        if (sp->MinorFunction == IRP_MN_QUERY_POWER && !NT_SUCCESS(g_fdo.systemQueryStatus)) {
            PoStartNextPowerIrp(irp);
            return Complete(irp, g_fdo.systemQueryStatus);
        }
        IoMarkIrpPending(irp);
        if (s == PowerSystemWorking) {
            // Waking: the bus first, then the device back to D0.
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, SystemUpDone, nullptr, TRUE, TRUE, TRUE);
            PoCallDriver(x->lower, irp);
            return STATUS_PENDING;
        }
        // Going down: the device first, then the system IRP.
        PIRP made = nullptr;
        const NTSTATUS status =
            PoRequestPowerIrp(x->pdo, sp->MinorFunction, DeviceState(PowerDeviceD3), DeviceDownDone,
                              irp, g_fdo.passIrpPointerToRequest ? &made : nullptr);
        if (!NT_SUCCESS(status)) {
            Note("fdo:PoRequestPowerIrp failed");
            PoStartNextPowerIrp(irp);
            irp->IoStatus.Status = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
        return STATUS_PENDING;
    }
    if (sp->MinorFunction == IRP_MN_SET_POWER)
        PoSetPowerState(device, DevicePowerState, sp->Parameters.Power.State);
    if (sp->MinorFunction == IRP_MN_SET_POWER && g_fdo.parkDeviceSetIrps) {
        IoMarkIrpPending(irp);
        g_parked.push_back({device, irp});
        return STATUS_PENDING;
    }
    if (!g_fdo.forgetStartNextOnDeviceIrp)
        PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(x->lower, irp);
}

NTSTATUS NTAPI FdoAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    Note("fdo:AddDevice");
    if (!NT_SUCCESS(g_fdo.addDeviceStatus))
        return g_fdo.addDeviceStatus;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FdoExtension), nullptr, FILE_DEVICE_SERIAL_PORT,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    FdoExtension* x = Ext(device);
    std::memset(x, 0, sizeof *x);
    x->self = device;
    x->pdo = pdo;
    x->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (x->lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI FdoUnload(PDRIVER_OBJECT) {
    ++g_unloads;
    Note("fdo:Unload");
}

// ---------------------------------------------------------------- bus driver

struct PdoExtension {
    ULONG reserved[3];
    ULONG bulkIn;
    ULONG bulkOut;
    ULONG interrupt;
    BOOLEAN gone;
};

NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    auto* x = static_cast<PdoExtension*>(pdo->DeviceExtension);
    Note(std::string("bus:") + PnpName(sp->MinorFunction));
    NTSTATUS status = irp->IoStatus.Status;
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = g_bus.startStatus;
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
        Note("bus:caps size=" + std::to_string(caps->Size) + " version=" +
             std::to_string(caps->Version) + " address=" + std::to_string((LONG)caps->Address) +
             " ui=" + std::to_string((LONG)caps->UINumber));
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s)
            caps->DeviceState[s] = PowerDeviceD3;
        caps->Removable = 1;
        caps->Address = 2;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_ID: {
        auto* id = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, 32, 0x206D6457));
        std::memcpy(id, L"SIM\\TESTBUS", 24);
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(id);
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        // A PDO the bus no longer reports goes at the REMOVE that follows.
        // Windows lets the bus delete it here, while the function device
        // above still has to detach; the simulated I/O manager refuses that
        // (0xC9/0x201), so a PDO with a device still on it is deleted when
        // the bus goes instead.
        if (x->gone && pdo->AttachedDevice == nullptr)
            IoDeleteDevice(pdo);
        return STATUS_SUCCESS;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    return Complete(irp, status);
}

NTSTATUS NTAPI BusPower(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Note("bus:" + PowerText(sp) + " at IRQL " + std::to_string(KeGetCurrentIrql()));
    PoStartNextPowerIrp(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (sp->MinorFunction == IRP_MN_SET_POWER || sp->MinorFunction == IRP_MN_QUERY_POWER) {
        if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == DevicePowerState)
            PoSetPowerState(pdo, DevicePowerState, sp->Parameters.Power.State);
        status = STATUS_SUCCESS;
    }
    return Complete(irp, status);
}

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
    driver->MajorFunction[IRP_MJ_POWER] = BusPower;
    return STATUS_SUCCESS;
}

} // namespace

std::vector<std::string>& Timeline() { return g_timeline; }

void Note(const std::string& event) {
    std::lock_guard<std::mutex> guard(g_timelineLock);
    g_timeline.push_back(event);
}

std::vector<std::string> TimelineOf(const std::string& prefix) {
    std::lock_guard<std::mutex> guard(g_timelineLock);
    std::vector<std::string> out;
    for (const auto& e : g_timeline)
        if (e.rfind(prefix, 0) == 0)
            out.push_back(e);
    return out;
}

NTSTATUS NTAPI TestFdoEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    ++g_entries;
    Note("fdo:DriverEntry");
    driver->MajorFunction[IRP_MJ_CREATE] = FdoCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = FdoCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = FdoCreateClose;
    driver->MajorFunction[IRP_MJ_PNP] = FdoPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FdoPower;
    driver->DriverExtension->AddDevice = FdoAddDevice;
    driver->DriverUnload = FdoUnload;
    return STATUS_SUCCESS;
}

int FdoEntries() { return g_entries; }

size_t ParkedDeviceIrps() { return g_parked.size(); }

void ReleaseParkedDeviceIrp() {
    auto [device, irp] = g_parked.front();
    g_parked.erase(g_parked.begin());
    sim::DriverScope scope(device->DriverObject);
    PoStartNextPowerIrp(irp);
    // Copied, not skipped: this location is marked pending and the bus's
    // must start clean.
    IoCopyCurrentIrpStackLocationToNext(irp);
    PoCallDriver(Ext(device)->lower, irp);
}
int FdoUnloads() { return g_unloads; }

std::u16string PortNameSeenAtStart(PDEVICE_OBJECT fdo) {
    FdoExtension* x = Ext(fdo);
    if (!x->portNameFound)
        return u"(none)";
    return std::u16string(reinterpret_cast<const char16_t*>(x->portName));
}

TestBus::TestBus() {
    NTSTATUS status = STATUS_SUCCESS;
    driver = sim::CreateDriver("testbus", BusEntry, &status);
    EXPECT_NE(driver, nullptr);
}

TestBus::~TestBus() {
    for (sim::DevNode* node : sim::PnpNodes())
        if (node->pdo != nullptr && node->present)
            Unplug(node->pdo);
    // PDOs never reported to the PnP manager, or left behind.
    while (driver->DeviceObject != nullptr) {
        sim::DriverScope scope(driver);
        IoDeleteDevice(driver->DeviceObject);
    }
    sim::UnloadDriver(driver);
}

PDEVICE_OBJECT TestBus::CreatePdo() {
    sim::DriverScope scope(driver);
    PDEVICE_OBJECT pdo = nullptr;
    const NTSTATUS status = IoCreateDevice(driver, sizeof(PdoExtension), nullptr,
                                           FILE_DEVICE_BUS_EXTENDER, FILE_DEVICE_SECURE_OPEN, FALSE,
                                           &pdo);
    EXPECT_EQ(status, STATUS_SUCCESS);
    std::memset(pdo->DeviceExtension, 0, sizeof(PdoExtension));
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return pdo;
}

sim::DevNode* TestBus::Plug(const std::string& kind, const sim::PlugOptions& options) {
    return sim::PnpDeviceArrived(CreatePdo(), kind, options);
}

void TestBus::Unplug(PDEVICE_OBJECT pdo) {
    static_cast<PdoExtension*>(pdo->DeviceExtension)->gone = TRUE;
    sim::PnpDeviceVanished(pdo);
}

void StackTest::SetUp() {
    g_fdo = FdoKnobs();
    g_bus = BusKnobs();
    g_timeline.clear();
    g_parked.clear();
    g_entries = 0;
    g_unloads = 0;
    kernel = std::make_unique<sim::Kernel>();
    bus = std::make_unique<TestBus>();
    sim::RegisterDriverEntry("vxtest", TestFdoEntry);
    sim::MapInterfaceKind("modem", "vxtest");
    sim::MapInterfaceKind("diagnostics", "vxtest");
}

void StackTest::TearDown() {
    bus.reset();
    kernel.reset();
}

POWER_STATE SystemState(SYSTEM_POWER_STATE s) {
    POWER_STATE state;
    state.SystemState = s;
    return state;
}

POWER_STATE DeviceState(DEVICE_POWER_STATE d) {
    POWER_STATE state;
    state.DeviceState = d;
    return state;
}

} // namespace pnptest
