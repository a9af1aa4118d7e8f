// Bring-up, the port listing and the end of the run of the simulated PC.
#include "tools/machine.h"

#include "platform/win32/win32.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace vxqt70 {

namespace {

const char* g_bugCheckProgram = "vxqt70";
int g_bugCheckCode = 3;

void OnAbort(int) {
    // Only async-signal-safe calls here: the bug check has printed its report.
    const char* tail = ": stopped by the verifier (bug check above)\n";
    if (write(STDERR_FILENO, g_bugCheckProgram, strlen(g_bugCheckProgram)) < 0 ||
        write(STDERR_FILENO, tail, strlen(tail)) < 0) {
        // Nothing else can be done about a closed stderr.
    }
    _exit(g_bugCheckCode);
}

std::string ExecutableDir() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "";
    path[n] = 0;
    std::string text = path;
    const size_t slash = text.rfind('/');
    return slash == std::string::npos ? "" : text.substr(0, slash);
}

std::string ImagePath(const char* fileName, const char* built) {
    const std::string dir = ExecutableDir();
    if (!dir.empty()) {
        const std::string beside = dir + "/" + fileName;
        if (access(beside.c_str(), R_OK) == 0)
            return beside;
    }
    return built;
}

// Makes the installer give the next port `number`: it picks the lowest free
// number, so every lower free number is held for the moment. Returns the
// numbers held, for Release.
std::vector<unsigned> HoldNumbersBelow(unsigned number) {
    std::vector<unsigned> held;
    const std::vector<unsigned> inUse = sim::ComDbInUse();
    for (unsigned n = 1; n < number; n++) {
        bool used = false;
        for (unsigned u : inUse)
            used = used || u == n;
        if (!used) {
            sim::ComDbClaim(n);
            held.push_back(n);
        }
    }
    return held;
}

[[noreturn]] void Die(const std::string& message) {
    fprintf(stderr, "vxqt70: %s\n", message.c_str());
    exit(2);
}

} // namespace

void ReportBugChecksAsExit(const char* program, int code) {
    g_bugCheckProgram = program;
    g_bugCheckCode = code;
    signal(SIGABRT, OnAbort);
}

std::string ParseComNames(const std::string& text, MachineOptions* options) {
    std::vector<unsigned> numbers;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        std::string item = text.substr(start, comma - start);
        while (!item.empty() && item.front() == ' ')
            item.erase(0, 1);
        while (!item.empty() && item.back() == ' ')
            item.pop_back();
        if (item.size() > 3 && strncasecmp(item.c_str(), "COM", 3) == 0)
            item = item.substr(3);
        char* end = nullptr;
        const unsigned long n = strtoul(item.c_str(), &end, 10);
        if (item.empty() || *end != 0 || n < 1 || n > 255)
            return "bad COM name \"" + text.substr(start, comma - start) +
                   "\" (expected COM1..COM255)";
        numbers.push_back(static_cast<unsigned>(n));
        start = comma + 1;
    }
    if (numbers.empty() || numbers.size() > 2)
        return "expected one or two COM names (modem, diagnostics), got \"" + text + "\"";
    if (numbers.size() == 2 && numbers[0] == numbers[1])
        return "the modem and the diagnostics port cannot both be COM" +
               std::to_string(numbers[0]);
    options->modemCom = numbers[0];
    options->diagCom = numbers.size() == 2 ? numbers[1] : 0;
    return "";
}

std::string ModemImagePath() { return ImagePath(VXQT70_MODEM_IMAGE_NAME, VXQT70_MODEM_IMAGE); }
std::string DiagImagePath() { return ImagePath(VXQT70_DIAG_IMAGE_NAME, VXQT70_DIAG_IMAGE); }

Machine::Machine(const MachineOptions& options) : options_(options) {
    const std::string modemImage = ModemImagePath();
    const std::string diagImage = DiagImagePath();
    for (const std::string& image : {modemImage, diagImage})
        if (access(image.c_str(), R_OK) != 0)
            Die("driver image " + image + " not found (build the host preset first)");

    sim::Options kernelOptions;
    kernelOptions.mode = sim::Mode::Deterministic;
    kernel_ = std::make_unique<sim::Kernel>(kernelOptions);
    sim::RegisterDriverImage("vxqt70modem", modemImage);
    sim::RegisterDriverImage("vxqt70diag", diagImage);
    bus_ = std::make_unique<usb::Bus>();
    Plug();
    sim::RunUntilIdle();
    realStart_ = std::chrono::steady_clock::now();
    virtualStart_ = sim::Now();
}

void Machine::Plug() {
    usb::PhoneConfig config;
    config.atModem = options_.atModem;
    if (options_.wire >= 0)
        config.TimeWire(static_cast<WIRE_SPEED>(options_.wire), 10000);
    config.interfaces = {usb::InterfaceKind::Modem};
    if (options_.diagnostics)
        config.interfaces.push_back(usb::InterfaceKind::Diagnostics);
    // Enumerated here rather than by the bus, so each port can be given the
    // COM name asked for.
    config.enumerate = false;
    phone_ = &bus_->PlugIn(config);
    for (size_t i = 0; i < phone_->InterfaceCount(); i++) {
        usb::Interface& ifc = phone_->At(i);
        const bool modem = ifc.Kind() == usb::InterfaceKind::Modem;
        const unsigned wanted = modem ? options_.modemCom : options_.diagCom;
        std::vector<unsigned> held;
        if (wanted != 0)
            held = HoldNumbersBelow(wanted);
        sim::PlugOptions plug;
        plug.instanceId = ifc.InstanceId();
        sim::DevNode* node = sim::PnpDeviceArrived(ifc.Pdo(), usb::InterfaceKindName(ifc.Kind()), plug);
        for (unsigned n : held)
            sim::ComDbRelease(n);
        (modem ? modemNode_ : diagNode_) = node;
    }
}

bool Machine::PlugIn() {
    if (phone_ != nullptr && phone_->Plugged())
        return false;
    Plug();
    sim::RunUntilIdle();
    return true;
}

Machine::~Machine() {
    bus_.reset();
    kernel_.reset();
}

std::string Machine::ModemPath() const {
    return modemNode_ != nullptr && modemNode_->comPort != 0
               ? "\\\\.\\COM" + std::to_string(modemNode_->comPort)
               : "";
}

std::string Machine::DiagPath() const {
    return diagNode_ != nullptr && diagNode_->comPort != 0
               ? "\\\\.\\COM" + std::to_string(diagNode_->comPort)
               : "";
}

std::vector<PortInfo> Machine::Ports() const {
    std::vector<PortInfo> ports;
    const auto names = sim::DeviceNames();
    const auto serialComm = sim::SerialComm();
    const auto interfaces = sim::DeviceInterfaces();
    for (sim::DevNode* node : {modemNode_, diagNode_}) {
        if (node == nullptr)
            continue;
        PortInfo info;
        info.kind = node->kind;
        info.service = node->service;
        info.state = sim::DevNodeStateName(node->state);
        for (const auto& name : names)
            if (node->fdo != nullptr && name.device == node->fdo)
                info.deviceName = sim::U8(name.name);
        for (const auto& entry : serialComm)
            if (!info.deviceName.empty() && sim::U8(entry.device) == info.deviceName)
                info.comName = sim::U8(entry.portName);
        for (const auto& ifc : interfaces) {
            if (node->pdo != nullptr && ifc.pdo == node->pdo) {
                info.interfaceLink = sim::U8(ifc.symbolicLink);
                info.interfaceEnabled = ifc.enabled;
            }
        }
        ports.push_back(info);
    }
    return ports;
}

std::vector<std::string> Machine::TakeDebugOutput() {
    const std::vector<std::string> lines = sim::DebugLogLines();
    std::vector<std::string> fresh;
    for (size_t i = debugLinesSeen_; i < lines.size(); i++)
        fresh.push_back(lines[i]);
    debugLinesSeen_ = lines.size();
    return fresh;
}

void Machine::Unplug() {
    if (phone_ != nullptr && phone_->Plugged()) {
        phone_->Unplug();
        sim::RunUntilIdle();
    }
}

void Machine::AdvanceToRealTime() {
    const auto real = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - realStart_)
                          .count();
    const LONGLONG virtualMs = (sim::Now() - virtualStart_) / 10000;
    if (real > virtualMs)
        sim::AdvanceClockMs(static_cast<ULONG>(real - virtualMs));
    else
        sim::RunUntilIdle();
}

bool Machine::Verdict(FILE* out, bool verbose) {
    bool clean = true;
    auto finding = [&](const std::string& what) {
        fprintf(out, "  FINDING: %s\n", what.c_str());
        clean = false;
    };
    const size_t handles = sim::Win32OpenHandles();
    if (handles != 0)
        finding(std::to_string(handles) + " Win32 handle(s) still open");
    Unplug();
    for (sim::DevNode* node : {modemNode_, diagNode_}) {
        if (node != nullptr && node->state != sim::DevNodeState::Deleted)
            finding(std::string(node->kind) + " port's device node still " +
                    sim::DevNodeStateName(node->state));
    }
    for (const char* service : {"vxqt70modem", "vxqt70diag"}) {
        if (sim::LoadedDriver(service) != nullptr)
            finding(std::string(service) + " still loaded");
        else if (verbose && sim::DriverLoadCount(service) != 0)
            fprintf(out, "  %s: loaded %u time(s), unloaded %u time(s)\n", service,
                    sim::DriverLoadCount(service), sim::DriverUnloadCount(service));
    }
    bus_.reset();
    sim::RunUntilIdle();
    if (sim::OutstandingIrps() != 0)
        finding(std::to_string(sim::OutstandingIrps()) + " IRP(s) still allocated");
    if (sim::PoolAllocations() != 0)
        finding(std::to_string(sim::PoolAllocations()) + " pool block(s) (" +
                std::to_string(sim::PoolBytes()) + " bytes) still allocated:\n" +
                sim::PoolReport());
    if (sim::QueuedTimers() != 0 || sim::QueuedDpcs() != 0 || sim::QueuedWorkItems() != 0)
        finding("timers, DPCs or work items still queued");
    if (verbose && clean)
        fprintf(out, "  no handle, IRP, pool block, timer, DPC or work item left\n");
    // The kernel's own end checks: a leftover they find is a bug check,
    // which stops the process with its report.
    kernel_.reset();
    return clean;
}

} // namespace vxqt70
