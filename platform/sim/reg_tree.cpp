// The registry: a tree of keys holding typed values, the key handles drivers
// open on it, and the routines that write and delete values by path. Names of
// keys and values compare case-insensitively, as the configuration manager
// compares them. The machine boots with the keys Windows always has; the
// SERIALCOMM device map exists from the start, as on any PC with a COM port.
#include "platform/sim/ex_internal.h"
#include "platform/sim/ob_internal.h"

#include <map>
#include <memory>
#include <mutex>

namespace sim {

const char16_t kSerialCommKey[] = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

namespace {

struct Value {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct Key {
    std::u16string name;
    Key* parent = nullptr;
    std::map<std::u16string, std::unique_ptr<Key>> subkeys; // by folded name
    std::vector<Value> values;                              // creation order
};

struct KeyHandle {
    Key* key = nullptr;
    std::u16string path;
    PDRIVER_OBJECT owner = nullptr;
    std::string ownerName;
};

std::mutex g_lock;
std::unique_ptr<Key> g_root;
std::map<uintptr_t, KeyHandle> g_handles;
uintptr_t g_nextHandle = 0;

constexpr char16_t kMachine[] = u"\\Registry\\Machine";
constexpr char16_t kEnum[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";

// Caller holds g_lock. The key at `path` ("\Registry\..."), created with its
// parents when `create`; NULL when absent or not under \Registry.
Key* Walk(const std::u16string& path, bool create) {
    const auto parts = ObSplitPath(path);
    if (parts.empty() || ObFold(parts[0]) != u"REGISTRY")
        return nullptr;
    Key* key = g_root.get();
    for (size_t i = 1; i < parts.size(); ++i) {
        const auto folded = ObFold(parts[i]);
        auto it = key->subkeys.find(folded);
        if (it == key->subkeys.end()) {
            if (!create)
                return nullptr;
            auto child = std::make_unique<Key>();
            child->name = parts[i];
            child->parent = key;
            it = key->subkeys.emplace(folded, std::move(child)).first;
        }
        key = it->second.get();
    }
    return key;
}

Value* FindValue(Key* key, const std::u16string& name) {
    const auto folded = ObFold(name);
    for (auto& v : key->values) {
        if (ObFold(v.name) == folded)
            return &v;
    }
    return nullptr;
}

void SetValueLocked(Key* key, const std::u16string& name, ULONG type, const void* data,
                    size_t bytes) {
    Value* v = FindValue(key, name);
    if (v == nullptr) {
        key->values.push_back({name, type, {}});
        v = &key->values.back();
    }
    v->type = type;
    const auto* p = static_cast<const uint8_t*>(data);
    v->data.assign(p, p + bytes);
}

bool DeleteValueLocked(Key* key, const std::u16string& name) {
    const auto folded = ObFold(name);
    for (auto it = key->values.begin(); it != key->values.end(); ++it) {
        if (ObFold(it->name) == folded) {
            key->values.erase(it);
            return true;
        }
    }
    return false;
}

bool Contains(const Key* ancestor, const Key* key) {
    for (; key != nullptr; key = key->parent) {
        if (key == ancestor)
            return true;
    }
    return false;
}

HANDLE OpenHandleLocked(Key* key, const std::u16string& path) {
    // Kernel handles on x86 have the top bit set; ours keep that look so a
    // driver's handle is never mistaken for a pointer or a Win32 handle.
    g_nextHandle += 4;
    const uintptr_t value = 0x80000000u + g_nextHandle;
    KeyHandle h;
    h.key = key;
    h.path = path;
    h.owner = CurrentDriver();
    h.ownerName = DriverName(h.owner);
    g_handles[value] = h;
    return reinterpret_cast<HANDLE>(value);
}

// The base key of an RtlXxxRegistryValue call. Returns false (and *status)
// when it cannot be resolved; *key is then NULL. Caller holds g_lock.
bool ResolveRelative(ULONG relativeTo, PCWSTR path, const char* routine, Key** key,
                     NTSTATUS* status) {
    *key = nullptr;
    relativeTo &= ~0x80000000u;            // RTL_REGISTRY_OPTIONAL only matters to queries
    if ((relativeTo & 0x40000000u) != 0) { // RTL_REGISTRY_HANDLE: Path is a key handle
        const auto it = g_handles.find(reinterpret_cast<uintptr_t>(path));
        if (it == g_handles.end()) {
            *status = STATUS_INVALID_HANDLE;
            return false;
        }
        *key = it->second.key;
        return true;
    }
    std::u16string base;
    switch (relativeTo) {
    case RTL_REGISTRY_ABSOLUTE:
        break;
    case RTL_REGISTRY_SERVICES:
        base = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
        break;
    case RTL_REGISTRY_CONTROL:
        base = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
        break;
    case RTL_REGISTRY_WINDOWS_NT:
        base = u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
        break;
    case RTL_REGISTRY_DEVICEMAP:
        base = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP";
        break;
    case RTL_REGISTRY_USER:
        NotModelled(std::string(routine) + ": RTL_REGISTRY_USER is not modelled (no user hives)");
    default:
        *status = STATUS_INVALID_PARAMETER;
        return false;
    }
    std::u16string full;
    const auto rel = path != nullptr ? ObCapture(path, routine) : std::u16string();
    // A path that starts at the root is absolute whatever the base says.
    if (relativeTo == RTL_REGISTRY_ABSOLUTE || (!rel.empty() && rel[0] == u'\\'))
        full = rel;
    else
        full = base + u"\\" + rel;
    *key = Walk(full, false);
    if (*key == nullptr) {
        *status = STATUS_OBJECT_NAME_NOT_FOUND;
        return false;
    }
    return true;
}

std::string HandleList(const std::vector<KeyHandle>& handles) {
    std::string out;
    for (const auto& h : handles)
        out += "\n  " + U8(h.path) + " (opened by " + h.ownerName + ")";
    return out;
}

} // namespace

std::u16string RegDeviceParametersPath(const std::u16string& instancePath) {
    return std::u16string(kEnum) + u"\\" + instancePath + u"\\Device Parameters";
}

NTSTATUS RegReadByHandle(HANDLE handle, const std::u16string& name, ULONG* type,
                         std::vector<uint8_t>* data) {
    std::lock_guard<std::mutex> guard(g_lock);
    const auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_handles.end())
        return STATUS_INVALID_HANDLE;
    const Value* v = FindValue(it->second.key, name);
    if (v == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    *type = v->type;
    *data = v->data;
    return STATUS_SUCCESS;
}

void RegStart() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_handles.clear();
    g_nextHandle = 0;
    g_root = std::make_unique<Key>();
    g_root->name = u"REGISTRY";
    Walk(kSerialCommKey, true);
    Walk(kEnum, true);
    Walk(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services", true);
    Walk(u"\\Registry\\Machine\\System\\CurrentControlSet\\Control", true);
    Walk(u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion", true);
    (void)kMachine;
}

void RegCheck() {
    std::vector<KeyHandle> left;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (const auto& [value, h] : g_handles)
            left.push_back(h);
    }
    if (!left.empty())
        BugCheck(
            kDriverVerifierDetectedViolation, kC4KeyHandleLeftAtEndOfRun, left.size(), 0, 0,
            std::to_string(left.size()) +
                " registry key handle(s) still open at the end of the run:" + HandleList(left));
}

void RegStop() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_handles.clear();
    g_root.reset();
}

void RegDriverUnloaded(PDRIVER_OBJECT driver) {
    std::vector<KeyHandle> left;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (const auto& [value, h] : g_handles) {
            if (h.owner == driver)
                left.push_back(h);
        }
    }
    if (!left.empty())
        BugCheck(kDriverVerifierDetectedViolation, kC4KeyHandleLeakedAtUnload,
                 reinterpret_cast<ULONG_PTR>(driver), left.size(), 0,
                 DriverName(driver) + " unloaded without closing " + std::to_string(left.size()) +
                     " registry key handle(s):" + HandleList(left));
}

// ---------------------------------------------------------------- test API

std::u16string RegistryValue::Text() const {
    std::u16string out;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        const auto c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == 0)
            break;
        out.push_back(c);
    }
    return out;
}

void RegSetValue(const std::u16string& key, const std::u16string& name, ULONG type,
                 const void* data, size_t bytes) {
    std::lock_guard<std::mutex> guard(g_lock);
    Key* k = Walk(key, true);
    if (k == nullptr)
        NotModelled("sim::RegSetValue: not a registry path: " + U8(key));
    SetValueLocked(k, name, type, data, bytes);
}

void RegSetString(const std::u16string& key, const std::u16string& name,
                  const std::u16string& text) {
    RegSetValue(key, name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(char16_t));
}

void RegSetDword(const std::u16string& key, const std::u16string& name, ULONG value) {
    RegSetValue(key, name, REG_DWORD, &value, sizeof value);
}

std::optional<RegistryValue> RegGetValue(const std::u16string& key, const std::u16string& name) {
    std::lock_guard<std::mutex> guard(g_lock);
    Key* k = Walk(key, false);
    if (k == nullptr)
        return std::nullopt;
    const Value* v = FindValue(k, name);
    if (v == nullptr)
        return std::nullopt;
    RegistryValue out;
    out.type = v->type;
    out.data = v->data;
    return out;
}

bool RegDeleteValue(const std::u16string& key, const std::u16string& name) {
    std::lock_guard<std::mutex> guard(g_lock);
    Key* k = Walk(key, false);
    return k != nullptr && DeleteValueLocked(k, name);
}

bool RegKeyExists(const std::u16string& key) {
    std::lock_guard<std::mutex> guard(g_lock);
    return Walk(key, false) != nullptr;
}

void RegCreateKey(const std::u16string& key) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (Walk(key, true) == nullptr)
        NotModelled("sim::RegCreateKey: not a registry path: " + U8(key));
}

bool RegDeleteKey(const std::u16string& key) {
    std::lock_guard<std::mutex> guard(g_lock);
    Key* k = Walk(key, false);
    if (k == nullptr)
        return false;
    if (k->parent == nullptr)
        NotModelled("sim::RegDeleteKey: cannot delete \\Registry");
    for (const auto& [value, h] : g_handles) {
        if (Contains(k, h.key))
            NotModelled("sim::RegDeleteKey: " + U8(key) + " has an open handle (" + U8(h.path) +
                        ", " + h.ownerName + "); handles to deleted keys are not modelled");
    }
    k->parent->subkeys.erase(ObFold(k->name));
    return true;
}

std::vector<std::u16string> RegValueNames(const std::u16string& key) {
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<std::u16string> out;
    if (Key* k = Walk(key, false)) {
        for (const auto& v : k->values)
            out.push_back(v.name);
    }
    return out;
}

std::vector<SerialCommEntry> SerialComm() {
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<SerialCommEntry> out;
    if (Key* k = Walk(kSerialCommKey, false)) {
        for (const auto& v : k->values) {
            RegistryValue rv;
            rv.type = v.type;
            rv.data = v.data;
            out.push_back({v.name, rv.Text(), v.type, v.data.size()});
        }
    }
    return out;
}

size_t OpenKeyHandles() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_handles.size();
}

size_t OpenKeyHandles(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(g_lock);
    size_t n = 0;
    for (const auto& [value, h] : g_handles)
        n += h.owner == driver ? 1 : 0;
    return n;
}

std::u16string DeviceParametersKey(PDEVICE_OBJECT pdo) {
    return RegDeviceParametersPath(InterfaceInstancePathOf(pdo, "sim::DeviceParametersKey"));
}

std::u16string CreateDeviceParametersKey(PDEVICE_OBJECT pdo) {
    const auto path = DeviceParametersKey(pdo);
    RegCreateKey(path);
    return path;
}

void SetPortName(PDEVICE_OBJECT pdo, const std::u16string& comName) {
    RegSetString(CreateDeviceParametersKey(pdo), u"PortName", comName);
}

} // namespace sim

// ---------------------------------------------------------------- kernel routines

extern "C" NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                                  ACCESS_MASK DesiredAccess,
                                                  PHANDLE DevInstRegKey) {
    using namespace sim;
    (void)DesiredAccess; // kernel-mode handles are not access-checked on use
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
    if (DevInstRegKey == nullptr)
        BugCheck(kDriverVerifierDetectedViolation, kC4NullResultPointer, 0, 0, 0,
                 "IoOpenDeviceRegistryKey: NULL DevInstRegKey");
    const auto instance = InterfaceInstancePathOf(DeviceObject, "IoOpenDeviceRegistryKey");
    switch (DevInstKeyType) {
    case PLUGPLAY_REGKEY_DEVICE:
        break;
    case PLUGPLAY_REGKEY_DRIVER:
    case PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE:
    case PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE:
        NotModelled("IoOpenDeviceRegistryKey: only the device's hardware key "
                    "(PLUGPLAY_REGKEY_DEVICE) is modelled");
    default:
        return STATUS_INVALID_PARAMETER;
    }
    // Windows creates "Device Parameters" on first open.
    const auto path = RegDeviceParametersPath(instance);
    std::lock_guard<std::mutex> guard(g_lock);
    *DevInstRegKey = OpenHandleLocked(Walk(path, true), path);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    using namespace sim;
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    std::lock_guard<std::mutex> guard(g_lock);
    // Registry keys are the only kernel handles the simulation hands out.
    if (g_handles.erase(reinterpret_cast<uintptr_t>(Handle)) == 0)
        return STATUS_INVALID_HANDLE;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                                ULONG ValueType, PVOID ValueData,
                                                ULONG ValueLength) {
    using namespace sim;
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlWriteRegistryValue");
    const auto name = ObCapture(ValueName, "RtlWriteRegistryValue");
    if (ValueData == nullptr && ValueLength != 0)
        BugCheck(kDriverVerifierDetectedViolation, kC4NullResultPointer, 0, ValueLength, 0,
                 "RtlWriteRegistryValue: NULL ValueData with a nonzero ValueLength");
    std::lock_guard<std::mutex> guard(g_lock);
    Key* key = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    // The key must exist: the write opens it, it does not create it.
    if (!ResolveRelative(RelativeTo, Path, "RtlWriteRegistryValue", &key, &status))
        return status;
    SetValueLocked(key, name, ValueType, ValueData, ValueLength);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    using namespace sim;
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlDeleteRegistryValue");
    const auto name = ObCapture(ValueName, "RtlDeleteRegistryValue");
    std::lock_guard<std::mutex> guard(g_lock);
    Key* key = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    if (!ResolveRelative(RelativeTo, Path, "RtlDeleteRegistryValue", &key, &status))
        return status;
    return DeleteValueLocked(key, name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}
