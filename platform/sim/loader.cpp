// The loader: a service name bound to a driver image (a shared object that
// exports only DriverEntry and imports every kernel routine from the
// executable, like a .sys importing ntoskrnl) or to a DriverEntry linked into
// the test. Loading maps the image and runs DriverEntry through the I/O
// manager; unloading runs DriverUnload and the verifier's unload checks, then
// unmaps the image, so the next load starts with fresh globals exactly as a
// reloaded .sys does.
#include "platform/sim/api_io.h"
#include "platform/sim/io_internal.h"
#include "platform/sim/pnp_internal.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdint>
#include <map>
#include <mutex>

namespace sim {
namespace {

struct Service {
    std::string path;                      // image on disk, or ""
    PDRIVER_INITIALIZE linkedEntry = nullptr;
    void* image = nullptr;                 // dlopen handle while loaded from disk
    PDRIVER_OBJECT driver = nullptr;       // while loaded
    unsigned loads = 0;
    unsigned unloads = 0;
};

std::mutex g_lock;
std::map<std::string, Service> g_services;
std::map<std::string, std::string> g_kindToService;

void DefaultKinds() {
    g_kindToService.clear();
    g_kindToService["modem"] = "vxqt70modem";
    g_kindToService["diagnostics"] = "vxqt70diag";
}

// The address range of a mapped image, so that the verifier can tell which
// routines and objects live in it (timers, DPCs, completion routines left
// behind at unload).
struct Range {
    uintptr_t base = 0;
    uintptr_t low = UINTPTR_MAX;
    uintptr_t high = 0;
};

int FindRange(struct dl_phdr_info* info, size_t, void* data) {
    auto* range = static_cast<Range*>(data);
    if (info->dlpi_addr != range->base)
        return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD)
            continue;
        const uintptr_t start = info->dlpi_addr + ph.p_vaddr;
        range->low = std::min(range->low, start);
        range->high = std::max(range->high, start + ph.p_memsz);
    }
    return 1;
}

void RecordImageRange(void* image, PDRIVER_OBJECT driver) {
    struct link_map* map = nullptr;
    if (dlinfo(image, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr)
        return;
    Range range;
    range.base = map->l_addr;
    dl_iterate_phdr(FindRange, &range);
    if (range.high > range.low) {
        driver->DriverStart = reinterpret_cast<PVOID>(range.low);
        driver->DriverSize = static_cast<ULONG>(range.high - range.low);
    }
}

} // namespace

void RegisterDriverImage(const std::string& service, const std::string& path) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto& s = g_services[service];
    if (s.driver != nullptr)
        BugCheck(kPnpFatalError, kCaBadRequest, 0, 0, 0,
                 "sim::RegisterDriverImage: " + service + " is loaded; register before its first device");
    s.path = path;
    s.linkedEntry = nullptr;
}

void RegisterDriverEntry(const std::string& service, PDRIVER_INITIALIZE entry) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto& s = g_services[service];
    if (s.driver != nullptr)
        BugCheck(kPnpFatalError, kCaBadRequest, 0, 0, 0,
                 "sim::RegisterDriverEntry: " + service + " is loaded; register before its first device");
    s.path.clear();
    s.linkedEntry = entry;
}

PDRIVER_OBJECT LoadedDriver(const std::string& service) {
    std::lock_guard<std::mutex> guard(g_lock);
    const auto it = g_services.find(service);
    return it == g_services.end() ? nullptr : it->second.driver;
}

unsigned DriverLoadCount(const std::string& service) {
    std::lock_guard<std::mutex> guard(g_lock);
    const auto it = g_services.find(service);
    return it == g_services.end() ? 0 : it->second.loads;
}

unsigned DriverUnloadCount(const std::string& service) {
    std::lock_guard<std::mutex> guard(g_lock);
    const auto it = g_services.find(service);
    return it == g_services.end() ? 0 : it->second.unloads;
}

void MapInterfaceKind(const std::string& kind, const std::string& service) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_kindToService[kind] = service;
}

std::string ServiceForInterfaceKind(const std::string& kind) {
    std::lock_guard<std::mutex> guard(g_lock);
    const auto it = g_kindToService.find(kind);
    return it == g_kindToService.end() ? std::string() : it->second;
}

PDRIVER_OBJECT LoaderLoad(const std::string& service, NTSTATUS* status) {
    PDRIVER_INITIALIZE entry = nullptr;
    void* image = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        const auto it = g_services.find(service);
        if (it == g_services.end() || (it->second.path.empty() && it->second.linkedEntry == nullptr)) {
            *status = STATUS_OBJECT_NAME_NOT_FOUND; // no such service installed
            return nullptr;
        }
        if (it->second.driver != nullptr) {
            *status = STATUS_SUCCESS;
            return it->second.driver;
        }
        entry = it->second.linkedEntry;
        if (entry == nullptr) {
            // RTLD_LOCAL: two images may both define any symbol but
            // DriverEntry without seeing each other's, like two .sys files.
            image = dlopen(it->second.path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (image == nullptr) {
                const char* why = dlerror();
                BugCheck(kPnpFatalError, kCaImageLoad, 0, 0, 0,
                         "loader: cannot map the image of " + service + " (" + it->second.path +
                             "): " + (why ? why : "unknown error") +
                             " (a kernel routine the image imports may be missing from the "
                             "executable: link it with the whole simulation library)");
            }
            entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(image, "DriverEntry"));
            if (entry == nullptr) {
                dlclose(image);
                BugCheck(kPnpFatalError, kCaImageLoad, 0, 0, 0,
                         "loader: the image of " + service + " (" + it->second.path +
                             ") exports no DriverEntry");
            }
        }
    }
    NTSTATUS result = STATUS_SUCCESS;
    PDRIVER_OBJECT driver = CreateDriver(service, entry, &result);
    std::lock_guard<std::mutex> guard(g_lock);
    auto& s = g_services[service];
    if (driver == nullptr) {
        // A failed DriverEntry leaves nothing behind; the image goes away.
        if (image != nullptr) {
            IoForgetFileNames();
            dlclose(image);
        }
        *status = NT_SUCCESS(result) ? STATUS_UNSUCCESSFUL : result;
        return nullptr;
    }
    if (image != nullptr)
        RecordImageRange(image, driver);
    s.image = image;
    s.driver = driver;
    ++s.loads;
    *status = STATUS_SUCCESS;
    return driver;
}

void LoaderUnload(const std::string& service) {
    PDRIVER_OBJECT driver = nullptr;
    void* image = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_services.find(service);
        if (it == g_services.end() || it->second.driver == nullptr)
            return;
        driver = it->second.driver;
        image = it->second.image;
    }
    // DriverUnload and the unload checks run while the image is still mapped,
    // so a leftover can be named by its symbol.
    UnloadDriver(driver);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto& s = g_services[service];
        s.driver = nullptr;
        s.image = nullptr;
        ++s.unloads;
    }
    if (image != nullptr) {
        IoForgetFileNames();
        dlclose(image);
    }
}

std::vector<std::string> LoaderLoadedServices() {
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<std::string> out;
    for (const auto& [name, s] : g_services)
        if (s.driver != nullptr)
            out.push_back(name);
    return out;
}

void LoaderStart() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_services.clear();
    DefaultKinds();
}

void LoaderStop() {
    std::lock_guard<std::mutex> guard(g_lock);
    // After a failed run the driver objects belong to the I/O manager's
    // teardown; the images are only unmapped if nothing can call into them,
    // which cannot be known here, so they stay mapped for the process.
    g_services.clear();
    DefaultKinds();
}

} // namespace sim
