// Driver and device objects: creation and deletion, device stacks, the
// default dispatch routine, driver load and unload, and the I/O manager's
// share of the verifier's unload and end-of-run checks.
#include "platform/sim/ex_internal.h"
#include "platform/sim/io_internal.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <unordered_map>
#include <unordered_set>

namespace sim {
namespace {

constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeDevice = 3;
constexpr size_t kObjectAlign = 16;

struct DriverRecord {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;         // "\Driver\vxqt70modem"
    std::u16string service;      // "vxqt70modem"
    std::u16string registryPath; // the DriverEntry argument
};

std::unordered_map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>> g_drivers;
std::unordered_set<PDEVICE_OBJECT> g_devices; // device memory that exists
// The devices asked about last, known to exist: a request asks about the
// same few (the port's, then the bus's below it) every time. A device leaves
// when its memory goes.
PDEVICE_OBJECT g_lastLive[4] = {};
size_t g_lastLiveNext = 0;

void ForgetLive(PDEVICE_OBJECT device) {
    for (PDEVICE_OBJECT& known : g_lastLive)
        if (device == nullptr || known == device)
            known = nullptr;
}
UCHAR g_wdmMajor = 1;
UCHAR g_wdmMinor = 0x10;
ULONG g_autoNameCounter = 0;

void SetString(UNICODE_STRING* target, std::u16string& storage) {
    target->Buffer = reinterpret_cast<PWSTR>(storage.data());
    target->Length = (USHORT)(storage.size() * sizeof(WCHAR));
    target->MaximumLength = (USHORT)(storage.size() * sizeof(WCHAR));
}

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string Hex(const void* p) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%p", p);
    return buffer;
}

struct DeviceMemory {
    void* block = nullptr;
    void* extension = nullptr;
    size_t extensionSize = 0;
    PDRIVER_OBJECT driver = nullptr; // whose pool ledger the memory is charged to
};

// Caller holds IoLock(); the memory is released by ReleaseDeviceMemory after.
DeviceMemory ForgetDeviceLocked(PDEVICE_OBJECT device) {
    DeviceMemory memory{device->DeviceObjectExtension->block, device->DeviceExtension,
                        device->DeviceObjectExtension->extensionSize, device->DriverObject};
    g_devices.erase(device);
    ForgetLive(device);
    delete device->DeviceObjectExtension;
    return memory;
}

void ReleaseDeviceMemory(const DeviceMemory& memory) {
    if (memory.extension != nullptr)
        IoRemoveLocksFreed(memory.extension, memory.extensionSize, "device memory released",
                           true);
    std::free(memory.block);
    if (memory.block != nullptr)
        ExUnchargeDeviceObject(memory.driver, memory.extensionSize);
}

[[noreturn]] void Violation(ULONG code, ULONG sub, ULONG_PTR p2, const std::string& reason) {
    BugCheck(code, sub, p2, 0, 0, reason);
}

// What a driver that never set a dispatch routine answers: the I/O
// manager's own default.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

} // namespace

bool IoIsLiveDeviceLocked(PDEVICE_OBJECT device) {
    if (device == nullptr)
        return false;
    for (PDEVICE_OBJECT known : g_lastLive)
        if (known == device)
            return true;
    if (g_devices.count(device) == 0)
        return false;
    g_lastLive[g_lastLiveNext++ % std::size(g_lastLive)] = device;
    return true;
}

PDEVICE_OBJECT IoTopOfStackLocked(PDEVICE_OBJECT device) {
    while (device->AttachedDevice != nullptr)
        device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    std::lock_guard<SimMutex> lock(IoLock());
    return IoTopOfStackLocked(device);
}

void IoDeviceDereferenced(PDEVICE_OBJECT device) {
    DeviceMemory memory;
    {
        std::lock_guard<SimMutex> lock(IoLock());
        if (!IoIsLiveDeviceLocked(device))
            return;
        device->ReferenceCount--;
        PDEVOBJ_EXTENSION record = device->DeviceObjectExtension;
        if (!record->deleted || device->ReferenceCount > 0 || device->AttachedDevice != nullptr)
            return;
        memory = ForgetDeviceLocked(device);
    }
    ReleaseDeviceMemory(memory);
}

void SetWdmVersion(UCHAR major, UCHAR minor) {
    std::lock_guard<SimMutex> lock(IoLock());
    g_wdmMajor = major;
    g_wdmMinor = minor;
}

// ---------------------------------------------------------------- drivers

PDRIVER_OBJECT CreateDriver(const std::string& name, PDRIVER_INITIALIZE entry, NTSTATUS* status) {
    auto record = std::make_unique<DriverRecord>();
    record->service = Widen(name);
    record->name = u"\\Driver\\" + record->service;
    record->registryPath =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + record->service;
    PDRIVER_OBJECT driver = &record->object;
    driver->Type = kIoTypeDriver;
    driver->Size = (CSHORT)sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &record->extension;
    record->extension.DriverObject = driver;
    SetString(&record->extension.ServiceKeyName, record->service);
    SetString(&driver->DriverName, record->name);
    driver->DriverInit = entry;
    for (auto& routine : driver->MajorFunction)
        routine = InvalidDeviceRequest;
    UNICODE_STRING registryPath;
    SetString(&registryPath, record->registryPath);
    {
        std::lock_guard<SimMutex> lock(IoLock());
        g_drivers[driver] = std::move(record);
    }

    NTSTATUS result;
    {
        DriverScope scope(driver);
        result = entry(driver, &registryPath);
    }
    if (status != nullptr)
        *status = result;
    if (NT_SUCCESS(result))
        return driver;
    // The image is unloaded without DriverUnload: whatever DriverEntry left
    // behind is a leak.
    IoCheckDriverUnload(driver);
    KeCheckDriverUnload(driver);
    ObDriverUnloaded(driver);
    ExCheckDriverUnload(driver);
    std::lock_guard<SimMutex> lock(IoLock());
    IoForgetDriverLocked(driver);
    g_drivers.erase(driver);
    return nullptr;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
    {
        std::lock_guard<SimMutex> lock(IoLock());
        if (g_drivers.count(driver) == 0) {
            BugCheck(kSimMisuse, (ULONG_PTR)driver, 0, 0, 0,
                     "sim::UnloadDriver: not a loaded driver");
        }
    }
    if (driver->DriverUnload != nullptr) {
        DriverScope scope(driver);
        driver->DriverUnload(driver);
    }
    IoCheckDriverUnload(driver);
    KeCheckDriverUnload(driver);
    ObDriverUnloaded(driver);
    ExCheckDriverUnload(driver);
    std::lock_guard<SimMutex> lock(IoLock());
    IoForgetDriverLocked(driver);
    g_drivers.erase(driver);
}

void IoCheckDriverUnload(PDRIVER_OBJECT driver) {
    std::string devices;
    {
        std::lock_guard<SimMutex> lock(IoLock());
        for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr;
             device = device->NextDevice)
            devices += "  " + DeviceText(device) + "\n";
        for (PDEVICE_OBJECT device : g_devices)
            if (device->DriverObject == driver && device->DeviceObjectExtension->deleted)
                devices += "  " + DeviceText(device) + ", deleted but still open (" +
                           std::to_string(device->ReferenceCount) + " handles)\n";
    }
    if (!devices.empty()) {
        Violation(kDriverUnloadedWithoutCancellingPendingOperations, 0, (ULONG_PTR)driver,
                  DriverName(driver) + " unloaded with device objects left:\n" + devices);
    }
    if (IoOutstandingIrpsOf(driver) != 0) {
        Violation(kDriverUnloadedWithoutCancellingPendingOperations, 1, (ULONG_PTR)driver,
                  DriverName(driver) + " unloaded with IRPs outstanding:\n" +
                      IoDescribeOutstandingIrps(driver, nullptr));
    }
}

// ---------------------------------------------------------------- lifecycle

void IoStart(const Options&) {
    IoIrpStart();
    IoRemoveLockStart();
    IoFileStart();
    std::lock_guard<SimMutex> lock(IoLock());
    g_wdmMajor = 1;
    g_wdmMinor = 0x10;
    g_autoNameCounter = 0;
}

void IoCheck() {
    std::string irps = IoDescribeAllIrps();
    if (!irps.empty()) {
        BugCheck(kDriverVerifierIomanagerViolation, kC9IrpsLeftAtEndOfRun, OutstandingIrps(), 0, 0,
                 "IRPs outstanding when the machine stopped:\n" + irps);
    }
    std::string handles = IoDescribeOpenHandles();
    if (!handles.empty()) {
        BugCheck(kDriverVerifierIomanagerViolation, kC9HandlesLeftAtEndOfRun, 0, 0, 0,
                 "file handles still open when the machine stopped:\n" + handles);
    }
    IoCheckRemoveLocks();
}

void IoStop() {
    IoFileStop();
    IoIrpStop();
    IoRemoveLockStop();
    std::lock_guard<SimMutex> lock(IoLock());
    for (PDEVICE_OBJECT device : g_devices) {
        void* block = device->DeviceObjectExtension->block;
        delete device->DeviceObjectExtension;
        std::free(block);
    }
    g_devices.clear();
    ForgetLive(nullptr);
    g_drivers.clear();
}

} // namespace sim

using namespace sim;

// ---------------------------------------------------------------- device objects

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, ULONG DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PDEVICE_OBJECT* DeviceObject) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    {
        std::lock_guard<SimMutex> lock(IoLock());
        if (g_drivers.count(DriverObject) == 0) {
            BugCheck(kSimMisuse, (ULONG_PTR)DriverObject, 0, 0, 0,
                     "IoCreateDevice: not a driver object");
        }
    }
    *DeviceObject = nullptr;
    if (ShouldFailAllocation(AllocKind::Other, __builtin_return_address(0)))
        return STATUS_INSUFFICIENT_RESOURCES;

    size_t objectSize = (sizeof(DEVICE_OBJECT) + kObjectAlign - 1) & ~(kObjectAlign - 1);
    // Device objects come out of non-paged pool, extension and all.
    if (!ExChargeDeviceObject(DriverObject, DeviceExtensionSize))
        return STATUS_INSUFFICIENT_RESOURCES;
    void* block = std::calloc(1, objectSize + DeviceExtensionSize);
    if (block == nullptr) {
        ExUnchargeDeviceObject(DriverObject, DeviceExtensionSize);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto device = static_cast<PDEVICE_OBJECT>(block);
    device->Type = kIoTypeDevice;
    device->Size = (USHORT)(objectSize + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = DeviceCharacteristics & ~(ULONG)FILE_AUTOGENERATED_DEVICE_NAME;
    device->DeviceExtension = DeviceExtensionSize != 0 ? (char*)block + objectSize : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    auto record = new _DEVOBJ_EXTENSION;
    record->device = device;
    record->exclusive = Exclusive != FALSE;
    record->extensionSize = DeviceExtensionSize;
    record->block = block;
    device->DeviceObjectExtension = record;

    std::u16string autoName;
    UNICODE_STRING autoString;
    if ((DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME) != 0) {
        char text[32];
        {
            std::lock_guard<SimMutex> lock(IoLock());
            std::snprintf(text, sizeof text, "\\Device\\%08lx", (unsigned long)++g_autoNameCounter);
        }
        autoName = Widen(text);
        SetString(&autoString, autoName);
        DeviceName = &autoString;
    }
    if (DeviceName != nullptr) {
        if (DeviceName->Buffer != nullptr)
            record->name.assign(reinterpret_cast<const char16_t*>(DeviceName->Buffer),
                                DeviceName->Length / sizeof(WCHAR));
        NTSTATUS status = ObInsertDeviceName(DeviceName, device);
        if (!NT_SUCCESS(status)) {
            delete record;
            std::free(block);
            ExUnchargeDeviceObject(DriverObject, DeviceExtensionSize);
            return status;
        }
    }
    std::lock_guard<SimMutex> lock(IoLock());
    g_devices.insert(device);
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    RequireIrqlAtMost(APC_LEVEL, "IoDeleteDevice");
    std::string who = DriverName(CurrentDriver());
    PoDeviceDeleted(DeviceObject);
    {
        std::unique_lock<SimMutex> lock(IoLock());
        if (!IoIsLiveDeviceLocked(DeviceObject) || DeviceObject->DeviceObjectExtension->deleted) {
            lock.unlock();
            Violation(kDriverVerifierIomanagerViolation, kC9DeviceDeletedTwice,
                      (ULONG_PTR)DeviceObject,
                      who + " called IoDeleteDevice on " + Hex(DeviceObject) +
                          ", which is not a device object (deleted twice?)");
        }
        PDEVOBJ_EXTENSION record = DeviceObject->DeviceObjectExtension;
        if (record->attachedTo != nullptr) {
            std::string text = DeviceText(DeviceObject) + " is still attached to " +
                               DeviceText(record->attachedTo) + " (IoDetachDevice first)";
            lock.unlock();
            Violation(kDriverVerifierIomanagerViolation, kC9DeleteWithoutDetach,
                      (ULONG_PTR)DeviceObject, who + " deleted " + text);
        }
        if (IoDeviceHoldsIrps(DeviceObject)) {
            std::string text = DeviceText(DeviceObject);
            lock.unlock();
            Violation(kDriverVerifierIomanagerViolation, kC9DeleteWithIrps,
                      (ULONG_PTR)DeviceObject,
                      who + " deleted " + text + " while it holds IRPs:\n" +
                          IoDescribeOutstandingIrps(nullptr, DeviceObject));
        }
    }
    PDEVOBJ_EXTENSION record = DeviceObject->DeviceObjectExtension;
    IoRemoveLocksFreed(DeviceObject->DeviceExtension, record->extensionSize, "IoDeleteDevice",
                       false);
    ObRemoveDeviceName(DeviceObject);

    DeviceMemory memory;
    {
        std::lock_guard<SimMutex> lock(IoLock());
        record->deleted = true;
        PDRIVER_OBJECT driver = DeviceObject->DriverObject;
        for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr;
             link = &(*link)->NextDevice) {
            if (*link == DeviceObject) {
                *link = DeviceObject->NextDevice;
                break;
            }
        }
        DeviceObject->NextDevice = nullptr;
        // Open handles keep the object (not the driver's use of it) alive
        // until their close, as on Windows. So does a device still attached
        // above it: a bus driver deletes its PDO while handling the removal
        // that the function device passes down before it detaches itself.
        if (DeviceObject->ReferenceCount == 0 && DeviceObject->AttachedDevice == nullptr)
            memory = ForgetDeviceLocked(DeviceObject);
    }
    if (memory.block != nullptr)
        ReleaseDeviceMemory(memory);
}

extern "C" PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                            PDEVICE_OBJECT TargetDevice) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    std::unique_lock<SimMutex> lock(IoLock());
    if (!IoIsLiveDeviceLocked(SourceDevice) || !IoIsLiveDeviceLocked(TargetDevice) ||
        SourceDevice->DeviceObjectExtension->attachedTo != nullptr ||
        SourceDevice->AttachedDevice != nullptr) {
        lock.unlock();
        Violation(kDriverVerifierIomanagerViolation, kC9CallBadDevice, (ULONG_PTR)SourceDevice,
                  "IoAttachDeviceToDeviceStack: source or target is not a device object, or the "
                  "source is already in a stack");
    }
    PDEVICE_OBJECT top = IoTopOfStackLocked(TargetDevice);
    if (top->DeviceObjectExtension->deleted)
        return nullptr;
    __atomic_store_n(&top->AttachedDevice, SourceDevice, __ATOMIC_SEQ_CST);
    SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
    if (top->AlignmentRequirement > SourceDevice->AlignmentRequirement)
        SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->DeviceObjectExtension->attachedTo = top;
    return top;
}

extern "C" VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice");
    std::unique_lock<SimMutex> lock(IoLock());
    if (!IoIsLiveDeviceLocked(TargetDevice) || TargetDevice->AttachedDevice == nullptr) {
        lock.unlock();
        Violation(kDriverVerifierIomanagerViolation, kC9DetachNotAttached, (ULONG_PTR)TargetDevice,
                  DriverName(CurrentDriver()) +
                      " called IoDetachDevice on a device nothing is attached to");
    }
    TargetDevice->AttachedDevice->DeviceObjectExtension->attachedTo = nullptr;
    // Atomic: a bus driver's worker may be polling it, waiting to delete its
    // PDO once the function device is off it.
    __atomic_store_n(&TargetDevice->AttachedDevice, nullptr, __ATOMIC_SEQ_CST);
    // The last thing keeping a deleted device's memory may have been this.
    if (!TargetDevice->DeviceObjectExtension->deleted || TargetDevice->ReferenceCount > 0)
        return;
    DeviceMemory memory = ForgetDeviceLocked(TargetDevice);
    lock.unlock();
    ReleaseDeviceMemory(memory);
}

extern "C" BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    std::lock_guard<SimMutex> lock(IoLock());
    return MajorVersion < g_wdmMajor || (MajorVersion == g_wdmMajor && MinorVersion <= g_wdmMinor);
}
