// The object namespace, the registry and device interfaces as tests, the
// Plug and Play manager and the Win32 layer see them. Everything here may be
// called at any time from test code (PASSIVE_LEVEL, outside any driver), also
// while a device runs: tests rewrite "PortName" under a started port.
#pragma once

#include "platform/kernel.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// ---------------------------------------------------------------- text
// UTF-8 <-> UTF-16 for test code and messages (the host build's wchar_t is 16
// bits, so the C library's wide routines cannot be used).
std::u16string U16(const std::string& utf8);
std::string U8(const std::u16string& utf16);
std::u16string U16(PCUNICODE_STRING string); // a NULL or empty string gives ""

// ---------------------------------------------------------------- namespace
struct NamespaceLink {
    std::u16string name;              // as created: "\DosDevices\COM5"
    std::u16string target;            // "\Device\VXNTQT70MDM0"
    PDRIVER_OBJECT creator = nullptr; // NULL: made by the kernel, a test, or an unloaded driver
    std::string creatorName;          // "vxqt70modem", "(kernel)"
    bool unprotected = false;         // IoCreateUnprotectedSymbolicLink
};
struct NamespaceDevice {
    std::u16string name; // "\Device\VXNTQT70MDM0"
    PDEVICE_OBJECT device = nullptr;
};
std::vector<NamespaceLink> SymbolicLinks();
std::vector<NamespaceDevice> DeviceNames();
// Resolves a kernel path ("\Device\X", "\DosDevices\COM5", "\??\COM5",
// "\GLOBAL??\COM5") through links to a device; NULL when nothing is there.
PDEVICE_OBJECT LookupDevice(const std::u16string& path);
// The target of the link `name` (no further resolution), if it is a link.
std::optional<std::u16string> LinkTarget(const std::u16string& name);
// The name a device was created with ("" when unnamed), for messages.
std::u16string ObDeviceName(PDEVICE_OBJECT device);

// ---------------------------------------------------------------- registry
// Paths are absolute kernel registry paths, compared case-insensitively:
// "\Registry\Machine\HARDWARE\DEVICEMAP\SERIALCOMM".
struct RegistryValue {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
    // REG_SZ / REG_EXPAND_SZ data as text, without the terminator(s).
    std::u16string Text() const;
};
extern const char16_t kSerialCommKey[]; // the SERIALCOMM device-map key

// Writes a value, creating the key and its parents as needed.
void RegSetValue(const std::u16string& key, const std::u16string& name, ULONG type,
                 const void* data, size_t bytes);
// A REG_SZ with its terminator, as the COM-port installer writes "PortName".
void RegSetString(const std::u16string& key, const std::u16string& name,
                  const std::u16string& text);
void RegSetDword(const std::u16string& key, const std::u16string& name, ULONG value);
std::optional<RegistryValue> RegGetValue(const std::u16string& key, const std::u16string& name);
bool RegDeleteValue(const std::u16string& key, const std::u16string& name); // false: none there
bool RegKeyExists(const std::u16string& key);
void RegCreateKey(const std::u16string& key);
// Deletes a key and everything below it (stops the run if a handle is open
// on any of them: the simulation does not model deleted-key handles).
bool RegDeleteKey(const std::u16string& key);
// Value names of a key in creation order (empty when the key is absent).
std::vector<std::u16string> RegValueNames(const std::u16string& key);

// SERIALCOMM as (value name = kernel device name, data = COM name) pairs.
struct SerialCommEntry {
    std::u16string device;   // "\Device\VXNTQT70MDM0"
    std::u16string portName; // "COM5"
    ULONG type = REG_NONE;
    size_t dataBytes = 0; // the raw length written (the drivers write chars + 2 units)
};
std::vector<SerialCommEntry> SerialComm();

// Registry key handles open now (all, or one driver's; NULL selects handles
// opened outside any driver).
size_t OpenKeyHandles();
size_t OpenKeyHandles(PDRIVER_OBJECT driver);

// ---------------------------------------------------------------- physical devices
// The Plug and Play manager names each PDO it reports by its device instance
// path ("USB\VID_1234&PID_5678&MI_00\6&2c0e3e5&0&0000"); the hardware key and
// interface names derive from it. A device flagged DO_BUS_ENUMERATED_DEVICE
// without a path gets one made from its name ("ROOT\SIMULATED\<name>").
void SetDeviceInstancePath(PDEVICE_OBJECT pdo, const std::u16string& instancePath);
std::u16string DeviceInstancePath(PDEVICE_OBJECT pdo);
// "\Registry\Machine\System\CurrentControlSet\Enum\<instance>\Device Parameters":
// the key IoOpenDeviceRegistryKey(PLUGPLAY_REGKEY_DEVICE) opens.
std::u16string DeviceParametersKey(PDEVICE_OBJECT pdo);
// Creates that key (the installer's first step) and returns its path.
std::u16string CreateDeviceParametersKey(PDEVICE_OBJECT pdo);
// Writes "PortName" there, as the COM-port class installer does.
void SetPortName(PDEVICE_OBJECT pdo, const std::u16string& comName);

// ---------------------------------------------------------------- device interfaces
struct DeviceInterface {
    std::u16string symbolicLink; // "\??\USB#VID_...#...#{guid}"
    GUID classGuid{};
    std::u16string reference; // "" when registered without one
    std::u16string instancePath;
    PDEVICE_OBJECT pdo = nullptr; // NULL once the device was deleted
    bool enabled = false;
    PDRIVER_OBJECT registeredBy = nullptr;
};
std::vector<DeviceInterface> DeviceInterfaces();
std::vector<DeviceInterface> DeviceInterfaces(const GUID& classGuid);
bool SameGuid(const GUID& a, const GUID& b);

} // namespace sim
