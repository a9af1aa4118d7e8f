// Device interfaces and the instance paths of physical device objects. An
// interface is registered once per (device instance, class, reference string)
// and keeps its symbolic name across registrations; enabling makes it visible
// to applications that enumerate the class.
#include "platform/sim/ex_internal.h"
#include "platform/sim/ob_internal.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace sim {
namespace {

// "ObIf": the kernel's tag on interface names it hands to drivers.
constexpr ULONG kInterfaceNameTag = 'O' | ('b' << 8) | ('I' << 16) | ('f' << 24);

struct Registration {
    std::u16string symbolicLink;
    std::u16string key; // folded symbolic link
    GUID classGuid{};
    std::u16string reference;
    std::u16string instancePath;
    PDEVICE_OBJECT pdo = nullptr;
    bool enabled = false;
    PDRIVER_OBJECT registeredBy = nullptr;
};

std::mutex g_lock;
std::vector<Registration> g_interfaces;
std::map<PDEVICE_OBJECT, std::u16string> g_instancePaths;
unsigned g_unnamedPdos = 0;

// The interface name's key form: "\??\" and "\\?\" name the same directory.
std::u16string InterfaceKey(const std::u16string& name) {
    std::u16string folded = ObFold(name);
    if (folded.rfind(u"\\\\?\\", 0) == 0)
        folded = u"\\??\\" + folded.substr(4);
    return folded;
}

std::u16string MakeDefaultInstancePath(PDEVICE_OBJECT device) {
    const auto name = ObDeviceName(device);
    const auto parts = ObSplitPath(name);
    if (!parts.empty())
        return u"ROOT\\SIMULATED\\" + parts.back();
    char number[16];
    std::snprintf(number, sizeof number, "%04u", g_unnamedPdos++);
    return u"ROOT\\SIMULATED\\" + U16(number);
}

DeviceInterface ToPublic(const Registration& r) {
    DeviceInterface d;
    d.symbolicLink = r.symbolicLink;
    d.classGuid = r.classGuid;
    d.reference = r.reference;
    d.instancePath = r.instancePath;
    d.pdo = r.pdo;
    d.enabled = r.enabled;
    d.registeredBy = r.registeredBy;
    return d;
}

} // namespace

std::u16string InterfaceInstancePathOf(PDEVICE_OBJECT device, const char* routine) {
    if (device == nullptr)
        BugCheck(kPnpFatalError, kCaInvalidPdo, 0, 0, 0,
                 std::string(routine) + ": NULL physical device object");
    {
        std::lock_guard<std::mutex> guard(g_lock);
        const auto it = g_instancePaths.find(device);
        if (it != g_instancePaths.end())
            return it->second;
    }
    if ((device->Flags & DO_BUS_ENUMERATED_DEVICE) == 0)
        BugCheck(kPnpFatalError, kCaInvalidPdo, reinterpret_cast<ULONG_PTR>(device), 0, 0,
                 std::string(routine) +
                     ": the device object is not a physical device object (pass the PDO "
                     "AddDevice was given, not the driver's own device)");
    const auto made = MakeDefaultInstancePath(device);
    std::lock_guard<std::mutex> guard(g_lock);
    return g_instancePaths.emplace(device, made).first->second;
}

void InterfaceDeviceDeleted(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_instancePaths.erase(device);
    for (auto& r : g_interfaces) {
        if (r.pdo == device) {
            // Windows disables a removed device's interfaces itself; the
            // registration stays, so a replugged device gets the same name.
            r.enabled = false;
            r.pdo = nullptr;
        }
    }
}

void InterfaceStart() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_interfaces.clear();
    g_instancePaths.clear();
    g_unnamedPdos = 0;
}

void InterfaceStop() {
    InterfaceStart();
}

// ---------------------------------------------------------------- test API

void SetDeviceInstancePath(PDEVICE_OBJECT pdo, const std::u16string& instancePath) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_instancePaths[pdo] = instancePath;
}

std::u16string DeviceInstancePath(PDEVICE_OBJECT pdo) {
    return InterfaceInstancePathOf(pdo, "sim::DeviceInstancePath");
}

std::vector<DeviceInterface> DeviceInterfaces() {
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<DeviceInterface> out;
    for (const auto& r : g_interfaces)
        out.push_back(ToPublic(r));
    return out;
}

std::vector<DeviceInterface> DeviceInterfaces(const GUID& classGuid) {
    std::vector<DeviceInterface> out;
    for (auto& d : DeviceInterfaces()) {
        if (SameGuid(d.classGuid, classGuid))
            out.push_back(d);
    }
    return out;
}

} // namespace sim

// ---------------------------------------------------------------- kernel routines

extern "C" NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                                    const GUID* InterfaceClassGuid,
                                                    PUNICODE_STRING ReferenceString,
                                                    PUNICODE_STRING SymbolicLinkName) {
    using namespace sim;
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr)
        BugCheck(kDriverVerifierDetectedViolation, kC4BadStringArgument, 0, 0, 0,
                 "IoRegisterDeviceInterface: NULL interface class or result string");
    const auto instance =
        InterfaceInstancePathOf(PhysicalDeviceObject, "IoRegisterDeviceInterface");
    std::u16string reference;
    if (ReferenceString != nullptr)
        reference = ObCapture(ReferenceString, "IoRegisterDeviceInterface");

    std::u16string link = u"\\??\\";
    for (char16_t c : instance)
        link.push_back(c == u'\\' ? u'#' : c);
    // Appended piece by piece: GCC 12's -Wrestrict misfires at -O2 on
    // `u"#" + text` (a temporary concatenated into a string).
    link.push_back(u'#');
    link.append(ObGuidText(*InterfaceClassGuid));
    if (!reference.empty()) {
        link.push_back(u'\\');
        link.append(reference);
    }

    const size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(
        ExAllocateForDriver(CurrentDriver(), PagedPool, bytes, kInterfaceNameTag));
    if (buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, link.c_str(), bytes);

    {
        std::lock_guard<std::mutex> guard(g_lock);
        const auto key = InterfaceKey(link);
        Registration* found = nullptr;
        for (auto& r : g_interfaces) {
            if (r.key == key)
                found = &r;
        }
        if (found == nullptr) {
            Registration r;
            r.symbolicLink = link;
            r.key = key;
            r.classGuid = *InterfaceClassGuid;
            r.reference = reference;
            r.instancePath = instance;
            r.registeredBy = CurrentDriver();
            g_interfaces.push_back(r);
            found = &g_interfaces.back();
        }
        found->pdo = PhysicalDeviceObject;
    }
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName,
                                                    BOOLEAN Enable) {
    using namespace sim;
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    const auto key = InterfaceKey(ObCapture(SymbolicLinkName, "IoSetDeviceInterfaceState"));
    std::lock_guard<std::mutex> guard(g_lock);
    for (auto& r : g_interfaces) {
        if (r.key != key)
            continue;
        // A device that is gone cannot expose an interface any more.
        if (Enable && r.pdo == nullptr)
            return STATUS_INVALID_DEVICE_STATE;
        // Enabling an enabled interface, or disabling a disabled one, changes
        // nothing and succeeds.
        r.enabled = Enable != FALSE;
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}
