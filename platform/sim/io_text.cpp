// The I/O manager's lock and the names its messages use for IRPs, devices
// and routines.
#include "platform/sim/ex_internal.h"
#include "platform/sim/io_internal.h"

#include <cstdio>

namespace sim {

const char* MajorName(UCHAR major) {
    static const char* const kNames[] = {
        "IRP_MJ_CREATE",          "IRP_MJ_CREATE_NAMED_PIPE",
        "IRP_MJ_CLOSE",           "IRP_MJ_READ",
        "IRP_MJ_WRITE",           "IRP_MJ_QUERY_INFORMATION",
        "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA",
        "IRP_MJ_SET_EA",          "IRP_MJ_FLUSH_BUFFERS",
        "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
        "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL",
        "IRP_MJ_DEVICE_CONTROL",  "IRP_MJ_INTERNAL_DEVICE_CONTROL",
        "IRP_MJ_SHUTDOWN",        "IRP_MJ_LOCK_CONTROL",
        "IRP_MJ_CLEANUP",         "IRP_MJ_CREATE_MAILSLOT",
        "IRP_MJ_QUERY_SECURITY",  "IRP_MJ_SET_SECURITY",
        "IRP_MJ_POWER",           "IRP_MJ_SYSTEM_CONTROL",
        "IRP_MJ_DEVICE_CHANGE",   "IRP_MJ_QUERY_QUOTA",
        "IRP_MJ_SET_QUOTA",       "IRP_MJ_PNP",
    };
    return major < ARRAYSIZE(kNames) ? kNames[major] : "IRP_MJ_(invalid)";
}

std::string IrpText(PIRP irp) {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "IRP %p", (void*)irp);
    return buffer;
}

std::string DeviceText(PDEVICE_OBJECT device) {
    if (device == nullptr)
        return "(no device)";
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "device %p", (void*)device);
    std::string text = buffer;
    // Our own copy of the name: the object manager's lock must not nest
    // inside IoLock().
    std::u16string name =
        device->DeviceObjectExtension != nullptr ? device->DeviceObjectExtension->name : u"";
    if (!name.empty()) {
        std::string narrow;
        for (char16_t c : name)
            narrow += c < 0x80 ? (char)c : '?';
        text = narrow + " (" + text + ")";
    }
    if (device->DriverObject != nullptr)
        text += " of " + DriverName(device->DriverObject);
    return text;
}

std::string RoutineText(const void* routine) {
    if (routine == nullptr)
        return "(none)";
    return Symbolize(routine);
}

} // namespace sim
