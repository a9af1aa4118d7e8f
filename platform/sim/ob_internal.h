// Internals shared by the object-manager family's files: the namespace
// (ob_namespace.cpp), device interfaces (ob_interface.cpp), the registry
// (reg_tree.cpp, reg_query.cpp) and the text helpers they all use
// (ob_text.cpp). Other families use the declarations in internal.h.
#pragma once

#include "platform/sim/api_ob.h"
#include "platform/sim/internal.h"

#include <cstdint>
#include <string>

namespace sim {

// A buffer the kernel makes for a driver and the driver frees (the name
// IoRegisterDeviceInterface returns): attributed to `owner` so that a leak
// shows at its unload, and exempt from the driver's required pool tag because
// the tag is the kernel's (Ex family).
PVOID ExAllocateForDriver(PDRIVER_OBJECT owner, POOL_TYPE type, SIZE_T bytes, ULONG tag);

// ---------------------------------------------------------------- namespace (ob_namespace.cpp)
// Resolves `path` to a device and what follows the device's name in it
// ("\extra" for "\??\COM5\extra"; "" for an exact name).
PDEVICE_OBJECT ObLookupDevice(const std::u16string& path, std::u16string* remainder);

// ---------------------------------------------------------------- text (ob_text.cpp)
// Counted and terminated 16-bit strings to host strings, and back. A counted
// string that contradicts itself (odd length, longer than its maximum, a NULL
// buffer with a length) is the driver's bug: bug check naming `routine`.
std::u16string ObCapture(PCUNICODE_STRING string, const char* routine);
std::u16string ObCapture(PCWSTR text, const char* routine);
// Case-insensitive comparison key, as the object manager and the registry
// compare names (ASCII and Latin-1 letters fold; enough for these names).
std::u16string ObFold(const std::u16string& text);
bool ObEqualNoCase(const std::u16string& a, const std::u16string& b);
// "{456f868b-66cf-4bdf-bfb7-84de59cc2778}", lower case as Windows writes it in
// interface names.
std::u16string ObGuidText(const GUID& guid);
// Splits "\A\B\C" into its components; empty components are dropped.
std::vector<std::u16string> ObSplitPath(const std::u16string& path);

// ---------------------------------------------------------------- registry (reg_tree.cpp)
void RegStart();
void RegCheck();
void RegStop();
void RegDriverUnloaded(PDRIVER_OBJECT driver);
// "\Registry\Machine\System\CurrentControlSet\Enum\<instance>\Device Parameters"
std::u16string RegDeviceParametersPath(const std::u16string& instancePath);
// The value `name` under the key `handle` is open on: STATUS_INVALID_HANDLE,
// STATUS_OBJECT_NAME_NOT_FOUND, or STATUS_SUCCESS with its type and data.
NTSTATUS RegReadByHandle(HANDLE handle, const std::u16string& name, ULONG* type,
                         std::vector<uint8_t>* data);

// ---------------------------------------------------------------- Win32 layer (win32.cpp)
// A new machine: handles of the previous one mean nothing any more.
void Win32Reset();

// ---------------------------------------------------------------- interfaces (ob_interface.cpp)
void InterfaceStart();
void InterfaceStop();
// A device is going away: interfaces registered on it become disabled and
// forget the device object; its instance path is forgotten.
void InterfaceDeviceDeleted(PDEVICE_OBJECT device);
// The instance path of a physical device object ("USB\VID_...\..."), or bug
// check 0xCA/0x2 naming `routine` when `device` is not one.
std::u16string InterfaceInstancePathOf(PDEVICE_OBJECT device, const char* routine);

} // namespace sim
