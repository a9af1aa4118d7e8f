// The configurable fake driver; see fake_driver.h. Its held requests are
// guarded by the cancel spin lock, the classic arrangement for a driver this
// small.
#include "common/fake_driver.h"

#include "platform/sim/api_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace fake {
namespace {

std::mutex g_timelineLock;
std::vector<std::string> g_timeline;
std::vector<Driver*> g_drivers; // alive, newest last

// The driver's own record, behind the test's room in every device extension,
// so that what a test keeps there sits at the extension's start.
struct Ext {
    Driver* owner;
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo;
    LONG opens;
    BOOLEAN portNameFound;
    WCHAR portName[64];
};

ULONG RoomSize(ULONG size) {
    return (size + 15) & ~15u;
}

// Where the driver's record starts: behind the test's room.
Ext* ExtFor(const Driver* owner, PDEVICE_OBJECT device) {
    auto* base = static_cast<char*>(device->DeviceExtension);
    return reinterpret_cast<Ext*>(base + RoomSize(owner->config.extensionSize));
}

Driver* OwnerOf(PDRIVER_OBJECT object) {
    for (Driver* d : g_drivers)
        if (d->object == object)
            return d;
    return nullptr;
}

// Every device the fake drivers see is one of theirs; anything else is a fault
// in the test, so stop there rather than follow a null owner.
Driver* OwnerOfDevice(PDEVICE_OBJECT device) {
    Driver* owner = OwnerOf(device->DriverObject);
    if (owner == nullptr) {
        std::fprintf(stderr, "fake driver: device %p belongs to no fake driver\n", (void*)device);
        std::abort();
    }
    return owner;
}

NTSTATUS NTAPI DispatchTrampoline(PDEVICE_OBJECT device, PIRP irp) {
    return OwnerOfDevice(device)->Dispatch(device, irp);
}

NTSTATUS NTAPI AddDeviceTrampoline(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    return OwnerOf(driver)->AddDevice(driver, pdo);
}

VOID NTAPI UnloadTrampoline(PDRIVER_OBJECT driver) {
    if (Driver* owner = OwnerOf(driver))
        owner->Unload(driver);
}

// The service name is the registry path's last component.
NTSTATUS NTAPI EntryTrampoline(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    std::string service;
    for (USHORT i = 0; i < registryPath->Length / sizeof(WCHAR); ++i) {
        const WCHAR c = registryPath->Buffer[i];
        service = c == L'\\' ? std::string() : service + static_cast<char>(c);
    }
    for (auto it = g_drivers.rbegin(); it != g_drivers.rend(); ++it)
        if ((*it)->config.name == service)
            return (*it)->Entry(driver);
    return STATUS_NO_SUCH_DEVICE;
}

struct Named {
    ULONG value;
    const char* name;
};

const char* Find(const Named* table, size_t count, ULONG value, const char* otherwise) {
    for (size_t i = 0; i < count; ++i)
        if (table[i].value == value)
            return table[i].name;
    return otherwise;
}

const Named kPnpNames[] = {
    {IRP_MN_START_DEVICE, "START"},
    {IRP_MN_QUERY_REMOVE_DEVICE, "QUERY_REMOVE"},
    {IRP_MN_REMOVE_DEVICE, "REMOVE"},
    {IRP_MN_CANCEL_REMOVE_DEVICE, "CANCEL_REMOVE"},
    {IRP_MN_STOP_DEVICE, "STOP"},
    {IRP_MN_QUERY_STOP_DEVICE, "QUERY_STOP"},
    {IRP_MN_CANCEL_STOP_DEVICE, "CANCEL_STOP"},
    {IRP_MN_QUERY_DEVICE_RELATIONS, "QUERY_RELATIONS"},
    {IRP_MN_QUERY_CAPABILITIES, "QUERY_CAPABILITIES"},
    {IRP_MN_QUERY_ID, "QUERY_ID"},
    {IRP_MN_SURPRISE_REMOVAL, "SURPRISE_REMOVAL"},
};

#define SERIAL(x)                                                                                  \
    { IOCTL_SERIAL_##x, #x }
const Named kSerialNames[] = {
    SERIAL(SET_BAUD_RATE),  SERIAL(SET_QUEUE_SIZE),  SERIAL(SET_LINE_CONTROL),
    SERIAL(SET_BREAK_ON),   SERIAL(SET_BREAK_OFF),   SERIAL(IMMEDIATE_CHAR),
    SERIAL(SET_TIMEOUTS),   SERIAL(GET_TIMEOUTS),    SERIAL(SET_DTR),
    SERIAL(CLR_DTR),        SERIAL(RESET_DEVICE),    SERIAL(SET_RTS),
    SERIAL(CLR_RTS),        SERIAL(SET_XOFF),        SERIAL(SET_XON),
    SERIAL(GET_WAIT_MASK),  SERIAL(SET_WAIT_MASK),   SERIAL(WAIT_ON_MASK),
    SERIAL(PURGE),          SERIAL(GET_BAUD_RATE),   SERIAL(GET_LINE_CONTROL),
    SERIAL(GET_CHARS),      SERIAL(SET_CHARS),       SERIAL(GET_HANDFLOW),
    SERIAL(SET_HANDFLOW),   SERIAL(GET_MODEMSTATUS), SERIAL(GET_COMMSTATUS),
    SERIAL(GET_PROPERTIES),
};
#undef SERIAL

std::string PowerName(PIO_STACK_LOCATION sp) {
    const UCHAR minor = sp->MinorFunction;
    if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER)
        return minor == IRP_MN_WAIT_WAKE ? "WAIT_WAKE" : "POWER_OTHER";
    const std::string text = minor == IRP_MN_SET_POWER ? "SET " : "QUERY ";
    if (sp->Parameters.Power.Type == SystemPowerState)
        return text + "S" + std::to_string(sp->Parameters.Power.State.SystemState - 1);
    return text + "D" + std::to_string(sp->Parameters.Power.State.DeviceState - 1);
}

// Named as the timelines write them; a few shorter than their constants.
#define MAJOR(x) NAMED(IRP_MJ_##x, #x)
#define NAMED(value, name)                                                                         \
    { value, name }
// clang-format off
const Named kMajorNames[] = {
    MAJOR(CREATE), NAMED(IRP_MJ_CREATE_NAMED_PIPE, "CREATE_PIPE"), MAJOR(CLOSE), MAJOR(READ),
    MAJOR(WRITE), MAJOR(QUERY_INFORMATION), MAJOR(SET_INFORMATION), MAJOR(QUERY_EA), MAJOR(SET_EA),
    NAMED(IRP_MJ_FLUSH_BUFFERS, "FLUSH"), NAMED(IRP_MJ_QUERY_VOLUME_INFORMATION, "QUERY_VOLUME"),
    NAMED(IRP_MJ_SET_VOLUME_INFORMATION, "SET_VOLUME"), MAJOR(DIRECTORY_CONTROL),
    NAMED(IRP_MJ_FILE_SYSTEM_CONTROL, "FS_CONTROL"), MAJOR(DEVICE_CONTROL),
    MAJOR(INTERNAL_DEVICE_CONTROL), MAJOR(SHUTDOWN), MAJOR(LOCK_CONTROL), MAJOR(CLEANUP),
    MAJOR(CREATE_MAILSLOT), MAJOR(QUERY_SECURITY), MAJOR(SET_SECURITY), MAJOR(POWER),
    MAJOR(SYSTEM_CONTROL), MAJOR(DEVICE_CHANGE), MAJOR(QUERY_QUOTA), MAJOR(SET_QUOTA), MAJOR(PNP)};
// clang-format on
#undef MAJOR
#undef NAMED

bool Matches(const Rule& rule, PDEVICE_OBJECT device, PIO_STACK_LOCATION sp) {
    if (rule.major != kAnyMajor && rule.major != sp->MajorFunction)
        return false;
    if (rule.minor != kAnyMinor && rule.minor != sp->MinorFunction)
        return false;
    if (rule.code != 0 && (sp->MajorFunction != IRP_MJ_DEVICE_CONTROL ||
                           sp->Parameters.DeviceIoControl.IoControlCode != rule.code))
        return false;
    return !rule.when || rule.when(device);
}

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Each test starts with an empty timeline.
class ClearTimeline : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { g_timeline.clear(); }
};
const bool g_listening = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new ClearTimeline);
    return true;
}();

} // namespace

// ---------------------------------------------------------------- requests

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_OBJECT lower = Driver::Lower(device);
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT device, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    IoCallDriver(Driver::Lower(device), irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

void Driver::Complete(PIRP irp, NTSTATUS status, ULONG_PTR information, bool atDispatch) {
    KIRQL old = PASSIVE_LEVEL;
    if (atDispatch)
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    CompleteWith(irp, status, information);
    if (atDispatch)
        KeLowerIrql(old);
}

PDEVICE_OBJECT Driver::Lower(PDEVICE_OBJECT device) {
    Driver* owner = OwnerOf(device->DriverObject);
    return owner == nullptr ? nullptr : ExtFor(owner, device)->lower;
}

LONG Driver::Opens(PDEVICE_OBJECT device) {
    return ExtFor(OwnerOfDevice(device), device)->opens;
}

void Driver::DeleteDevices() {
    sim::DriverScope scope(object);
    while (object->DeviceObject != nullptr)
        IoDeleteDevice(object->DeviceObject);
}

std::string RequestName(PIO_STACK_LOCATION sp) {
    switch (sp->MajorFunction) {
    case IRP_MJ_PNP:
        return Find(kPnpNames, std::size(kPnpNames), sp->MinorFunction, "OTHER");
    case IRP_MJ_POWER:
        return PowerName(sp);
    case IRP_MJ_DEVICE_CONTROL: {
        const ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
        if (const char* name = Find(kSerialNames, std::size(kSerialNames), code, nullptr))
            return name;
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", code);
        return text;
    }
    default:
        return Find(kMajorNames, std::size(kMajorNames), sp->MajorFunction, "MAJOR?");
    }
}

void Driver::Record(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Seen s;
    s.device = device;
    s.major = sp->MajorFunction;
    s.minor = sp->MinorFunction;
    s.irql = KeGetCurrentIrql();
    s.name = RequestName(sp);
    const auto* system = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    if (s.major == IRP_MJ_DEVICE_CONTROL) {
        s.code = sp->Parameters.DeviceIoControl.IoControlCode;
        s.outputLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
        if (system != nullptr)
            s.input.assign(system, system + sp->Parameters.DeviceIoControl.InputBufferLength);
    } else if (s.major == IRP_MJ_WRITE && system != nullptr) {
        s.input.assign(system, system + sp->Parameters.Write.Length);
    }
    if (config.noteIrql && s.major == IRP_MJ_POWER)
        Note(config.label + ":" + s.name + " at IRQL " + std::to_string(s.irql));
    else
        Note(config.label + ":" + s.name);
    std::lock_guard<std::mutex> guard(seenLock);
    seen.push_back(std::move(s));
}

NTSTATUS Driver::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    Record(device, irp);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Ext* x = ExtFor(this, device);
    if (sp->MajorFunction == IRP_MJ_CREATE)
        InterlockedIncrement(&x->opens);
    else if (sp->MajorFunction == IRP_MJ_CLOSE)
        InterlockedDecrement(&x->opens);
    for (const Rule& rule : config.rules)
        if (Matches(rule, device, sp))
            return Do(rule, device, irp);
    if (config.wdm && sp->MajorFunction == IRP_MJ_POWER)
        return Power(device, irp);
    if (config.wdm && sp->MajorFunction == IRP_MJ_PNP) {
        Rule rule = On(IRP_MJ_PNP, Act::Forward);
        switch (sp->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_CAPABILITIES:
            rule.act = Act::ForwardAndWait;
            return Do(rule, device, irp);
        case IRP_MN_REMOVE_DEVICE: {
            irp->IoStatus.Status = STATUS_SUCCESS;
            const NTSTATUS status = PassDown(device, irp);
            if (config.deleteOnRemove) {
                IoDetachDevice(x->lower);
                IoDeleteDevice(device);
            }
            return status;
        }
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            return Do(rule, device, irp);
        default:
            return PassDown(device, irp);
        }
    }
    if (sp->MajorFunction == IRP_MJ_PNP || sp->MajorFunction == IRP_MJ_POWER) {
        if (x->lower != nullptr)
            return PassDown(device, irp);
        return Do(On(sp->MajorFunction, Act::Keep), device, irp);
    }
    return CompleteWith(irp, STATUS_SUCCESS, 0);
}

NTSTATUS Driver::Do(const Rule& rule, PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (rule.act == Act::Run)
        return rule.run(device, irp);
    if (rule.run && rule.act != Act::ForwardAndWait)
        rule.run(device, irp);
    const bool power = sp->MajorFunction == IRP_MJ_POWER;
    switch (rule.act) {
    case Act::Complete:
    case Act::Keep: {
        const NTSTATUS status = rule.act == Act::Keep ? irp->IoStatus.Status : rule.status;
        if (power)
            PoStartNextPowerIrp(irp);
        return CompleteWith(irp, status,
                            rule.act == Act::Keep ? irp->IoStatus.Information : rule.information);
    }
    case Act::Pend:
        return Hold(irp, rule.cancellable);
    case Act::Forward:
        irp->IoStatus.Status = rule.status;
        return PassDown(device, irp);
    case Act::ForwardAndWait: {
        NTSTATUS status = ForwardAndWait(device, irp);
        if (NT_SUCCESS(status) && sp->MajorFunction == IRP_MJ_PNP &&
            sp->MinorFunction == IRP_MN_START_DEVICE && config.readPortName)
            ReadPortName(device);
        if (NT_SUCCESS(status) && rule.run)
            rule.run(device, irp);
        return CompleteWith(irp, status, irp->IoStatus.Information);
    }
    case Act::Store: {
        const auto& p = sp->Parameters.DeviceIoControl;
        if ((rule.get ? p.OutputBufferLength : p.InputBufferLength) < rule.size)
            return CompleteWith(irp, STATUS_BUFFER_TOO_SMALL, 0);
        if (rule.get) {
            std::memcpy(irp->AssociatedIrp.SystemBuffer, rule.slot, rule.size);
            return CompleteWith(irp, STATUS_SUCCESS, rule.size);
        }
        std::memcpy(rule.slot, irp->AssociatedIrp.SystemBuffer, rule.size);
        return CompleteWith(irp, STATUS_SUCCESS, 0);
    }
    case Act::Echo: {
        const auto& p = sp->Parameters.DeviceIoControl;
        if (p.OutputBufferLength < p.InputBufferLength)
            return CompleteWith(irp, STATUS_BUFFER_OVERFLOW, p.OutputBufferLength);
        return CompleteWith(irp, STATUS_SUCCESS, p.InputBufferLength);
    }
    case Act::Run:
        break;
    }
    return rule.run(device, irp);
}

// ---------------------------------------------------------------- held requests

NTSTATUS Driver::Hold(PIRP irp, bool cancellable) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (cancellable && irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        return CompleteWith(irp, STATUS_CANCELLED, 0);
    }
    IoMarkIrpPending(irp);
    if (cancellable)
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT device, PIRP cancelled) {
            auto& q = OwnerOfDevice(device)->held_;
            q.erase(std::remove(q.begin(), q.end(), cancelled), q.end());
            IoReleaseCancelSpinLock(cancelled->CancelIrql);
            Complete(cancelled, STATUS_CANCELLED);
        });
    held_.push_back(irp);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

size_t Driver::Held() const {
    return held_.size();
}

PIRP Driver::Take(UCHAR major) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP taken = nullptr;
    for (auto it = held_.begin(); it != held_.end(); ++it) {
        PIRP irp = *it;
        if (major != 0xFF && IoGetCurrentIrpStackLocation(irp)->MajorFunction != major)
            continue;
        // A routine already cleared means a cancel is on its way: leave it.
        if (irp->CancelRoutine != nullptr && IoSetCancelRoutine(irp, nullptr) == nullptr)
            continue;
        held_.erase(it);
        taken = irp;
        break;
    }
    IoReleaseCancelSpinLock(irql);
    return taken;
}

void Driver::CancelHeld() {
    while (PIRP irp = Take())
        Complete(irp, STATUS_CANCELLED);
}

// ---------------------------------------------------------------- power policy

namespace {

// The power policy's notes, under the label of the driver whose system IRP it is.
void PolicyNote(PIRP systemIrp, const char* what) {
    Driver* owner = OwnerOfDevice(IoGetCurrentIrpStackLocation(systemIrp)->DeviceObject);
    Note(owner->config.label + ":" + what);
}

VOID NTAPI DeviceUpDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
    PIRP irp = static_cast<PIRP>(context);
    PolicyNote(irp, "D0 done, completing system IRP");
    irp->IoStatus.Status = io->Status;
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI SystemUpDone(PDEVICE_OBJECT device, PIRP irp, PVOID) {
    if (!NT_SUCCESS(irp->IoStatus.Status)) {
        PoStartNextPowerIrp(irp);
        return STATUS_SUCCESS;
    }
    Driver* owner = OwnerOfDevice(device);
    PolicyNote(irp, "system IRP back, requesting D0");
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const NTSTATUS status =
        PoRequestPowerIrp(ExtFor(owner, device)->pdo, sp->MinorFunction, DeviceState(PowerDeviceD0),
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
    PolicyNote(irp, NT_SUCCESS(io->Status) ? "device IRP done, passing system IRP down"
                                           : "device IRP failed, failing system IRP");
    PoStartNextPowerIrp(irp);
    if (!NT_SUCCESS(io->Status)) {
        irp->IoStatus.Status = io->Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return;
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    // `device` is the PDO the device IRP was requested for; the FDO is above it.
    PoCallDriver(device, irp);
}

const PowerKnobs kNoKnobs;

} // namespace

NTSTATUS Driver::Power(PDEVICE_OBJECT device, PIRP irp) {
    Ext* x = ExtFor(this, device);
    const PowerKnobs& knobs = config.power != nullptr ? *config.power : kNoKnobs;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MinorFunction != IRP_MN_SET_POWER && sp->MinorFunction != IRP_MN_QUERY_POWER)
        return PassDown(device, irp);
    if (sp->Parameters.Power.Type == SystemPowerState) {
        if (sp->MinorFunction == IRP_MN_QUERY_POWER && !NT_SUCCESS(knobs.systemQueryStatus)) {
            PoStartNextPowerIrp(irp);
            return CompleteWith(irp, knobs.systemQueryStatus, 0);
        }
        IoMarkIrpPending(irp);
        if (sp->Parameters.Power.State.SystemState == PowerSystemWorking) {
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
                              irp, knobs.passIrpPointerToRequest ? &made : nullptr);
        if (!NT_SUCCESS(status)) {
            Note(config.label + ":PoRequestPowerIrp failed");
            PoStartNextPowerIrp(irp);
            CompleteWith(irp, status, 0);
        }
        return STATUS_PENDING;
    }
    if (sp->MinorFunction == IRP_MN_SET_POWER)
        PoSetPowerState(device, DevicePowerState, sp->Parameters.Power.State);
    if (sp->MinorFunction == IRP_MN_SET_POWER && knobs.parkDeviceSetIrps) {
        IoMarkIrpPending(irp);
        parked_.push_back({device, irp});
        return STATUS_PENDING;
    }
    if (!knobs.forgetStartNextOnDeviceIrp)
        PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(x->lower, irp);
}

void Driver::ReleaseParked() {
    auto [device, irp] = parked_.front();
    parked_.erase(parked_.begin());
    sim::DriverScope scope(device->DriverObject);
    PoStartNextPowerIrp(irp);
    // Copied, not skipped: this location is marked pending and the bus's
    // must start clean.
    IoCopyCurrentIrpStackLocationToNext(irp);
    PoCallDriver(ExtFor(this, device)->lower, irp);
}

void Driver::ReadPortName(PDEVICE_OBJECT device) {
    Ext* x = ExtFor(this, device);
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
                    std::min<ULONG>(info->DataLength, sizeof x->portName - 2));
        x->portNameFound = TRUE;
    }
    ZwClose(key);
}

std::u16string Driver::PortNameSeenAtStart(PDEVICE_OBJECT fdo) const {
    const Ext* x = ExtFor(this, fdo);
    if (!x->portNameFound)
        return u"(none)";
    return std::u16string(reinterpret_cast<const char16_t*>(x->portName));
}

// ---------------------------------------------------------------- loading

PDEVICE_OBJECT Driver::MakeDevice(PDRIVER_OBJECT driver, const wchar_t* name, bool exclusive,
                                  PDEVICE_OBJECT below) {
    UNICODE_STRING text;
    if (name != nullptr)
        RtlInitUnicodeString(&text, name);
    PDEVICE_OBJECT device = nullptr;
    const NTSTATUS status =
        IoCreateDevice(driver, RoomSize(config.extensionSize) + sizeof(Ext),
                       name != nullptr ? &text : nullptr, config.deviceType, 0, exclusive, &device);
    if (!NT_SUCCESS(status))
        return nullptr;
    std::memset(device->DeviceExtension, 0, RoomSize(config.extensionSize) + sizeof(Ext));
    ExtFor(this, device)->owner = this;
    device->Flags |= config.flags;
    if (below != nullptr)
        ExtFor(this, device)->lower = IoAttachDeviceToDeviceStack(device, below);
    return device;
}

PDEVICE_OBJECT Driver::NewDevice(PDEVICE_OBJECT below) {
    sim::DriverScope scope(object);
    PDEVICE_OBJECT device = MakeDevice(object, nullptr, false, below);
    EXPECT_NE(device, nullptr);
    if (device == nullptr)
        return nullptr;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

NTSTATUS Driver::Entry(PDRIVER_OBJECT driver) {
    object = driver;
    ++entries;
    Note(config.label + ":DriverEntry");
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        if (config.majors.empty() ||
            std::find(config.majors.begin(), config.majors.end(), major) != config.majors.end())
            driver->MajorFunction[major] = DispatchTrampoline;
    driver->DriverUnload = UnloadTrampoline;
    if (config.wdm) {
        driver->DriverExtension->AddDevice = AddDeviceTrampoline;
        return STATUS_SUCCESS;
    }
    devices.clear();
    PDEVICE_OBJECT below = config.below;
    for (int i = 0; i < config.devices; ++i) {
        const bool top = i == config.devices - 1;
        PDEVICE_OBJECT device = MakeDevice(driver, i == 0 ? config.deviceName : nullptr,
                                           config.exclusive && top, below);
        if (device == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        devices.push_back(device);
        below = device;
    }
    if (config.dosLink != nullptr) {
        UNICODE_STRING link, name;
        RtlInitUnicodeString(&link, config.dosLink);
        RtlInitUnicodeString(&name, config.deviceName);
        const NTSTATUS status = IoCreateUnprotectedSymbolicLink(&link, &name);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Driver::AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    Note(config.label + ":AddDevice");
    if (!NT_SUCCESS(config.addDeviceStatus))
        return config.addDeviceStatus;
    PDEVICE_OBJECT device = MakeDevice(driver, nullptr, false, pdo);
    if (device == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    Ext* x = ExtFor(this, device);
    x->pdo = pdo;
    if (x->lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return config.onAdd ? config.onAdd(device) : STATUS_SUCCESS;
}

void Driver::Unload(PDRIVER_OBJECT) {
    ++unloads;
    Note(config.label + ":Unload");
    if (config.dosLink != nullptr) {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, config.dosLink);
        IoDeleteSymbolicLink(&link);
    }
    for (size_t n = devices.size(); n-- > 0;) {
        if (ExtFor(this, devices[n])->lower != nullptr)
            IoDetachDevice(ExtFor(this, devices[n])->lower);
        IoDeleteDevice(devices[n]);
    }
    devices.clear();
}

Driver::Driver(Config c) : config(std::move(c)) {
    if (config.label.empty())
        config.label = config.name;
    g_drivers.push_back(this);
    if (config.wdm) {
        sim::RegisterDriverEntry(config.name, EntryTrampoline);
        return;
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    object = sim::CreateDriver(config.name, EntryTrampoline, &status);
    EXPECT_EQ(status, STATUS_SUCCESS) << config.name;
}

Driver::~Driver() {
    // A failed test may have left devices or requests behind: its failure is
    // the report, not the verifier's stop at the unload.
    if (!config.wdm && object != nullptr && !::testing::Test::HasFailure())
        sim::UnloadDriver(object);
    g_drivers.erase(std::remove(g_drivers.begin(), g_drivers.end(), this), g_drivers.end());
}

sim::FileHandle* Driver::Open() {
    sim::FileHandle* handle = nullptr;
    EXPECT_EQ(sim::OpenFile(Top(), &handle), STATUS_SUCCESS);
    return handle;
}

// ---------------------------------------------------------------- timeline

std::vector<std::string>& Timeline() {
    return g_timeline;
}

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

void OnWorker(std::function<void()> body) {
    struct Item {
        WORK_QUEUE_ITEM item;
        std::function<void()> body;
    };
    static std::vector<std::unique_ptr<Item>> items;
    items.push_back(std::make_unique<Item>());
    Item* item = items.back().get();
    item->body = std::move(body);
    ExInitializeWorkItem(
        &item->item, [](PVOID context) { static_cast<Item*>(context)->body(); }, item);
    ExQueueWorkItem(&item->item, DelayedWorkQueue);
}

} // namespace fake
