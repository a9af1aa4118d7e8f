// The object namespace: "\Device\..." names of device objects and the
// symbolic links in "\??" (also reached as "\DosDevices" and "\GLOBAL??")
// that make a device visible to Win32 as COM5. Names compare case-insensitively,
// as the object manager compares them. The family's lifecycle hooks live here.
#include "platform/sim/ob_internal.h"

#include <map>
#include <mutex>

namespace sim {
namespace {

enum class Dir { Device, DosDevices };

struct Entry {
    bool isLink = false;
    std::u16string name; // as given by its creator
    PDEVICE_OBJECT device = nullptr;
    std::u16string target;
    PDRIVER_OBJECT creator = nullptr;
    std::string creatorName;
    bool unprotected = false;
};

std::mutex g_lock;
std::map<std::u16string, Entry> g_entries;             // by ParsedName::key
std::map<PDEVICE_OBJECT, std::u16string> g_deviceKeys; // named devices -> key

struct ParsedName {
    NTSTATUS status = STATUS_SUCCESS;
    std::u16string key;       // "DEVICE\\NAME" or "??\\COM5", folded
    std::u16string remainder; // components past the object, "\a\b" (lookups only)
};

// The object manager's walk from the root: the first component picks the
// directory, the second the object; anything below an object is a path the
// object itself would parse (a device's file name), which only lookups accept.
ParsedName Parse(const std::u16string& path, bool allowRemainder) {
    ParsedName out;
    if (path.empty() || path[0] != u'\\') {
        out.status = STATUS_OBJECT_PATH_NOT_FOUND; // not rooted: no directory handle here
        return out;
    }
    const auto parts = ObSplitPath(path);
    if (parts.size() < 2) {
        out.status = STATUS_OBJECT_NAME_INVALID;
        return out;
    }
    const auto dir = ObFold(parts[0]);
    std::u16string dirKey;
    if (dir == u"DEVICE")
        dirKey = u"DEVICE";
    else if (dir == u"DOSDEVICES" || dir == u"??" || dir == u"GLOBAL??")
        dirKey = u"??";
    else {
        out.status = STATUS_OBJECT_PATH_NOT_FOUND;
        return out;
    }
    if (parts.size() > 2) {
        if (!allowRemainder) {
            out.status = STATUS_OBJECT_PATH_NOT_FOUND;
            return out;
        }
        for (size_t i = 2; i < parts.size(); ++i)
            out.remainder += u"\\" + parts[i];
    }
    out.key = dirKey + u"\\" + ObFold(parts[1]);
    return out;
}

// Caller holds g_lock.
PDEVICE_OBJECT ResolveLocked(const std::u16string& path, std::u16string* remainder) {
    std::u16string current = path;
    std::u16string rest;
    // The object manager gives up after 32 reparses; a loop of links ends here too.
    for (int hop = 0; hop < 32; ++hop) {
        const auto parsed = Parse(current, true);
        if (!NT_SUCCESS(parsed.status))
            return nullptr;
        rest = parsed.remainder + rest;
        const auto it = g_entries.find(parsed.key);
        if (it == g_entries.end())
            return nullptr;
        if (!it->second.isLink) {
            if (remainder != nullptr)
                *remainder = rest;
            return it->second.device;
        }
        current = it->second.target;
    }
    return nullptr;
}

NTSTATUS CreateLink(PUNICODE_STRING linkName, PUNICODE_STRING deviceName, bool unprotected,
                    const char* routine) {
    RequireIrqlAtMost(PASSIVE_LEVEL, routine);
    const auto link = ObCapture(linkName, routine);
    const auto target = ObCapture(deviceName, routine);
    const auto parsed = Parse(link, false);
    if (!NT_SUCCESS(parsed.status))
        return parsed.status;
    Entry entry;
    entry.isLink = true;
    entry.name = link;
    entry.target = target;
    entry.creator = CurrentDriver();
    entry.creatorName = DriverName(entry.creator);
    entry.unprotected = unprotected;
    std::lock_guard<std::mutex> guard(g_lock);
    // Links are not checked against their target when made: Windows lets a
    // link dangle and fails only when someone opens through it.
    if (!g_entries.emplace(parsed.key, std::move(entry)).second)
        return STATUS_OBJECT_NAME_COLLISION;
    return STATUS_SUCCESS;
}

} // namespace

// ---------------------------------------------------------------- internal API (internal.h)

NTSTATUS ObInsertDeviceName(PCUNICODE_STRING name, PDEVICE_OBJECT device) {
    const auto text = ObCapture(name, "IoCreateDevice");
    const auto parsed = Parse(text, false);
    if (!NT_SUCCESS(parsed.status))
        return parsed.status;
    Entry entry;
    entry.name = text;
    entry.device = device;
    entry.creator = device != nullptr ? device->DriverObject : nullptr;
    entry.creatorName = DriverName(entry.creator);
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_deviceKeys.count(device) != 0)
        NotModelled("ObInsertDeviceName: the device object already has a name; cannot add " +
                    U8(text));
    if (!g_entries.emplace(parsed.key, std::move(entry)).second)
        return STATUS_OBJECT_NAME_COLLISION;
    g_deviceKeys[device] = parsed.key;
    return STATUS_SUCCESS;
}

void ObRemoveDeviceName(PDEVICE_OBJECT device) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        const auto it = g_deviceKeys.find(device);
        if (it != g_deviceKeys.end()) {
            g_entries.erase(it->second);
            g_deviceKeys.erase(it);
        }
    }
    InterfaceDeviceDeleted(device);
}

PDEVICE_OBJECT ObLookupDevice(const std::u16string& pathOrLink) {
    std::lock_guard<std::mutex> guard(g_lock);
    std::u16string remainder;
    PDEVICE_OBJECT device = ResolveLocked(pathOrLink, &remainder);
    // A path below a device is a file name the device would parse; the
    // simulation's opens carry no file name, so such a path names nothing.
    return remainder.empty() ? device : nullptr;
}

PDEVICE_OBJECT ObLookupDevice(const std::u16string& path, std::u16string* remainder) {
    std::lock_guard<std::mutex> guard(g_lock);
    remainder->clear();
    return ResolveLocked(path, remainder);
}

std::u16string ObDeviceName(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(g_lock);
    const auto it = g_deviceKeys.find(device);
    if (it == g_deviceKeys.end())
        return {};
    return g_entries.at(it->second).name;
}

void ObDriverUnloaded(PDRIVER_OBJECT driver) {
    std::vector<std::string> left;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (auto& [key, entry] : g_entries) {
            if (entry.isLink && entry.creator == driver) {
                left.push_back(U8(entry.name) + " -> " + U8(entry.target));
                entry.creator = nullptr; // the driver object is about to go
                entry.creatorName += " (unloaded)";
            }
        }
    }
    // Windows lets a driver unload with its links in place; they dangle until
    // someone deletes them. Say so now; ObCheck fails the run if they stay.
    for (const auto& line : left)
        DbgPrint("OB: %s unloaded leaving symbolic link %s\n", DriverName(driver).c_str(),
                 line.c_str());
    RegDriverUnloaded(driver);
}

// ---------------------------------------------------------------- lifecycle

void ObStart(const Options&) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_entries.clear();
        g_deviceKeys.clear();
    }
    RegStart();
    InterfaceStart();
    Win32Reset();
}

void ObCheck() {
    std::string report;
    size_t count = 0;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (const auto& [key, entry] : g_entries) {
            if (!entry.isLink)
                continue; // a device left over is the I/O manager's finding
            ++count;
            report += "\n  " + U8(entry.name) + " -> " + U8(entry.target) + " (made by " +
                      entry.creatorName + ")";
        }
    }
    if (count != 0)
        BugCheck(kDriverVerifierDetectedViolation, kC4NamesLeftAtEndOfRun, count, 0, 0,
                 std::to_string(count) +
                     " symbolic link(s) still exist at the end of the run:" + report);
    RegCheck();
}

void ObStop() {
    InterfaceStop();
    RegStop();
    std::lock_guard<std::mutex> guard(g_lock);
    g_entries.clear();
    g_deviceKeys.clear();
}

// ---------------------------------------------------------------- test API (api_ob.h)

std::vector<NamespaceLink> SymbolicLinks() {
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<NamespaceLink> out;
    for (const auto& [key, entry] : g_entries) {
        if (entry.isLink)
            out.push_back(
                {entry.name, entry.target, entry.creator, entry.creatorName, entry.unprotected});
    }
    return out;
}

std::vector<NamespaceDevice> DeviceNames() {
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<NamespaceDevice> out;
    for (const auto& [key, entry] : g_entries) {
        if (!entry.isLink)
            out.push_back({entry.name, entry.device});
    }
    return out;
}

PDEVICE_OBJECT LookupDevice(const std::u16string& path) {
    return ObLookupDevice(path);
}

std::optional<std::u16string> LinkTarget(const std::u16string& name) {
    const auto parsed = Parse(name, false);
    if (!NT_SUCCESS(parsed.status))
        return std::nullopt;
    std::lock_guard<std::mutex> guard(g_lock);
    const auto it = g_entries.find(parsed.key);
    if (it == g_entries.end() || !it->second.isLink)
        return std::nullopt;
    return it->second.target;
}

} // namespace sim

// ---------------------------------------------------------------- kernel routines

extern "C" NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                               PUNICODE_STRING DeviceName) {
    return sim::CreateLink(SymbolicLinkName, DeviceName, false, "IoCreateSymbolicLink");
}

extern "C" NTSTATUS NTAPI IoCreateUnprotectedSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                                          PUNICODE_STRING DeviceName) {
    return sim::CreateLink(SymbolicLinkName, DeviceName, true, "IoCreateUnprotectedSymbolicLink");
}

extern "C" NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    const auto link = sim::ObCapture(SymbolicLinkName, "IoDeleteSymbolicLink");
    const auto parsed = sim::Parse(link, false);
    if (!NT_SUCCESS(parsed.status))
        return parsed.status;
    std::lock_guard<std::mutex> guard(sim::g_lock);
    const auto it = sim::g_entries.find(parsed.key);
    if (it == sim::g_entries.end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    // ZwOpenSymbolicLinkObject on a device's name: the wrong type of object.
    if (!it->second.isLink)
        return STATUS_OBJECT_TYPE_MISMATCH;
    sim::g_entries.erase(it);
    return STATUS_SUCCESS;
}
