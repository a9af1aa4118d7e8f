// The rig every scenario runs on: a fresh simulated machine with both driver
// images registered, the USB bus and one phone with a modem and a
// diagnostics interface, started by the Plug and Play manager; its power
// manager; and a COM-port handle class that opens a port by the name the
// installer gave it and sends overlapped Win32 requests, so a scenario can
// leave them pending and read the exact NTSTATUS each one ended with.
//
// Nothing here uses a test framework: the fuzz targets, the fault sweep and
// the soak share it, and each decides what a broken expectation means. Every
// wait is bounded in virtual time; a request, close or drain that does not
// end within its budget is reported as a hang (Machine::Hang) instead of
// spinning until the test runner kills the process.
#pragma once

#include "platform/sim/sim.h"
#include "platform/usb/bus.h"
#include "platform/win32/win32.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace rig {

enum class Which { Modem = 0, Diag = 1 };
inline const char* WhichName(Which which) { return which == Which::Modem ? "modem" : "diagnostics"; }
inline const char* ServiceOf(Which which) {
    return which == Which::Modem ? "vxqt70modem" : "vxqt70diag";
}

// Virtual time one wait may take before it is called a hang: well past the
// longest time-out a scenario sets, far short of forever.
constexpr ULONG kHangBudgetMs = 120 * 1000;

// Every status these drivers (and the I/O manager and bus beneath them) end a
// user request with. Anything else reaching an application is a fault.
inline bool DocumentedStatus(NTSTATUS status) {
    static const NTSTATUS known[] = {
        STATUS_SUCCESS,           STATUS_TIMEOUT,           STATUS_CANCELLED,
        STATUS_INVALID_PARAMETER, STATUS_BUFFER_TOO_SMALL,  STATUS_INVALID_DEVICE_REQUEST,
        STATUS_DELETE_PENDING,    STATUS_INSUFFICIENT_RESOURCES, STATUS_UNSUCCESSFUL,
        STATUS_DEVICE_NOT_CONNECTED, STATUS_NOT_SUPPORTED,  STATUS_DEVICE_BUSY,
        STATUS_ACCESS_DENIED,     STATUS_DEVICE_DATA_ERROR, STATUS_IO_TIMEOUT,
        STATUS_BUFFER_OVERFLOW,   STATUS_NO_SUCH_DEVICE,    STATUS_DEVICE_NOT_READY,
        STATUS_IO_DEVICE_ERROR};
    for (NTSTATUS k : known)
        if (k == status)
            return true;
    return false;
}

// A request the driver fails inside the call leaves the OVERLAPPED
// untouched, as on Windows; its status comes back from the Win32 error.
inline NTSTATUS StatusForError(DWORD error) {
    const NTSTATUS candidates[] = {
        STATUS_INVALID_PARAMETER, STATUS_BUFFER_TOO_SMALL,       STATUS_INVALID_DEVICE_REQUEST,
        STATUS_DELETE_PENDING,    STATUS_CANCELLED,              STATUS_INSUFFICIENT_RESOURCES,
        STATUS_UNSUCCESSFUL,      STATUS_DEVICE_NOT_CONNECTED,   STATUS_TIMEOUT,
        STATUS_NOT_SUPPORTED,     STATUS_DEVICE_BUSY,            STATUS_ACCESS_DENIED,
        STATUS_DEVICE_DATA_ERROR, STATUS_IO_TIMEOUT,             STATUS_NO_SUCH_DEVICE};
    for (NTSTATUS candidate : candidates)
        if (RtlNtStatusToDosError(candidate) == error)
            return candidate;
    return static_cast<NTSTATUS>(0xE0000000u | error);
}

// An overlapped request in flight; its buffers live here until it is done.
struct Request {
    OVERLAPPED overlapped{};
    std::vector<uint8_t> input;
    std::vector<uint8_t> output;
    ULONG code = 0;           // the control code, 0 for reads and writes
    bool read = false;
    bool failedAtOnce = false; // failed inside the call: no status block
    DWORD error = 0;

    void Issued(BOOL ok) {
        if (!ok && GetLastError() != ERROR_IO_PENDING) {
            failedAtOnce = true;
            error = GetLastError();
        }
    }
    bool Done() const { return failedAtOnce || HasOverlappedIoCompleted(&overlapped); }
    NTSTATUS Status() const {
        return failedAtOnce ? StatusForError(error) : static_cast<NTSTATUS>(overlapped.Internal);
    }
    DWORD Bytes() const { return failedAtOnce ? 0 : static_cast<DWORD>(overlapped.InternalHigh); }
};

// More bytes reported than the caller's buffer holds. A control request
// whose caller gave no output buffer (PurgeComm, SetCommMask) is told
// nothing was copied whatever Information says; writes report bytes taken.
inline bool Overreported(const Request& r) {
    if (r.read)
        return r.Bytes() > r.output.size();
    return r.code != 0 && !r.output.empty() && r.Bytes() > r.output.size();
}

// Lets the machine run, a slice of virtual time at a time, until `done` or
// the budget is spent. False: the budget ran out (a hang).
inline bool RunUntil(const std::function<bool()>& done, ULONG budgetMs = kHangBudgetMs) {
    sim::RunUntilIdle();
    for (ULONG spent = 0; !done(); spent += 10) {
        if (spent >= budgetMs)
            return false;
        sim::AdvanceClockMs(10);
    }
    return true;
}

class Machine;

// One COM port of the phone and the handle a scenario holds on it.
class ComPort {
public:
    ComPort(Machine& machine, Which which) : machine_(&machine), which_(which) {}
    ~ComPort() { Forget(); }
    ComPort(const ComPort&) = delete;
    ComPort& operator=(const ComPort&) = delete;

    Which Kind() const { return which_; }
    const char* Name() const { return WhichName(which_); }
    HANDLE Handle() const { return handle_; }
    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    inline sim::DevNode* Node() const;
    inline usb::Interface* Usb() const;
    std::string ComName() const {
        sim::DevNode* node = Node();
        return "\\\\.\\COM" + std::to_string(node != nullptr ? node->comPort : 0);
    }

    // CreateFile as a serial program calls it (overlapped, exclusive); the
    // Win32 error on failure, 0 on success.
    DWORD Open() {
        if (IsOpen())
            return ERROR_ACCESS_DENIED;
        handle_ = CreateFileA(ComName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        DWORD error = IsOpen() ? 0 : GetLastError();
        sim::RunUntilIdle();
        return error;
    }
    // A second CreateFile while the port is open: refused on an exclusive
    // port; if it got through, it is closed again at once.
    DWORD OpenSecond() {
        HANDLE h = CreateFileA(ComName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return GetLastError();
        CloseHandle(h);
        return 0;
    }
    // CloseHandle on a thread of its own while the machine runs, so that a
    // cleanup or close that never ends is reported as a hang, not waited on
    // forever. False: it did not end within the budget.
    bool Close(ULONG budgetMs = kHangBudgetMs) {
        if (!IsOpen())
            return true;
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        auto closer = std::make_unique<sim::Thread>("close", [handle] { CloseHandle(handle); });
        if (!RunUntil([&] { return closer->Finished(); }, budgetMs)) {
            closer.release(); // stays blocked; the caller reports the hang
            return false;
        }
        closer.reset();
        return RunUntil([&] { return AllDone(); }, budgetMs);
    }

    // ---- requests left in flight
    Request& StartIoctl(ULONG code, const void* in, DWORD inLength, DWORD outLength) {
        Request& r = Keep();
        r.code = code;
        if (inLength != 0)
            r.input.assign(static_cast<const uint8_t*>(in), static_cast<const uint8_t*>(in) + inLength);
        r.output.assign(outLength, 0xCC);
        DWORD bytes = 0;
        r.Issued(DeviceIoControl(handle_, code, inLength != 0 ? r.input.data() : nullptr, inLength,
                                 outLength != 0 ? r.output.data() : nullptr, outLength, &bytes,
                                 &r.overlapped));
        return r;
    }
    Request& StartWrite(std::vector<uint8_t> data) {
        Request& r = Keep();
        r.input = std::move(data);
        DWORD bytes = 0;
        r.Issued(WriteFile(handle_, r.input.data(), static_cast<DWORD>(r.input.size()), &bytes,
                           &r.overlapped));
        return r;
    }
    Request& StartRead(DWORD length) {
        Request& r = Keep();
        r.read = true;
        r.output.assign(length, 0);
        DWORD bytes = 0;
        r.Issued(ReadFile(handle_, r.output.data(), length, &bytes, &r.overlapped));
        return r;
    }
    // Runs the machine until the request ends; false on a hang.
    bool Wait(const Request& r, ULONG budgetMs = kHangBudgetMs) {
        return RunUntil([&] { return r.Done(); }, budgetMs);
    }
    void CancelIo() {
        ::CancelIo(handle_);
        sim::RunUntilIdle();
    }

    // ---- requests waited for
    NTSTATUS Ioctl(ULONG code, const void* in, DWORD inLength, void* out, DWORD outLength,
                   DWORD* bytes = nullptr) {
        Request& r = StartIoctl(code, in, inLength, outLength);
        if (!Wait(r))
            return STATUS_PENDING;
        if (out != nullptr && outLength != 0)
            memcpy(out, r.output.data(), outLength);
        if (bytes != nullptr)
            *bytes = r.Bytes();
        return r.Status();
    }
    template <typename T> NTSTATUS Set(ULONG code, const T& value) {
        return Ioctl(code, &value, sizeof(T), nullptr, 0);
    }
    NTSTATUS SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant, ULONG writeMultiplier = 0,
                         ULONG writeConstant = 0) {
        SERIAL_TIMEOUTS t{};
        t.ReadIntervalTimeout = interval;
        t.ReadTotalTimeoutMultiplier = multiplier;
        t.ReadTotalTimeoutConstant = constant;
        t.WriteTotalTimeoutMultiplier = writeMultiplier;
        t.WriteTotalTimeoutConstant = writeConstant;
        return Set(IOCTL_SERIAL_SET_TIMEOUTS, t);
    }

    std::vector<std::unique_ptr<Request>>& Requests() { return requests_; }
    bool AllDone() const {
        for (const auto& r : requests_)
            if (!r->Done())
                return false;
        return true;
    }
    // Drops the records of requests that have ended (a long soak keeps few).
    void Prune() {
        std::erase_if(requests_, [](const std::unique_ptr<Request>& r) { return r->Done(); });
    }
    // The handle and its requests leave the scenario (the machine is gone).
    void Forget() {
        handle_ = INVALID_HANDLE_VALUE;
        requests_.clear();
    }

private:
    Request& Keep() {
        requests_.push_back(std::make_unique<Request>());
        return *requests_.back();
    }

    Machine* machine_;
    Which which_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::vector<std::unique_ptr<Request>> requests_;
};

struct MachineOptions {
    uint64_t seed = 1;
    bool atModem = false;
    bool plug = true; // plug the phone at once
};

// A fresh machine: kernel, both images, bus, phone, managers.
class Machine {
public:
    explicit Machine(const char* modemImage, const char* diagImage,
                     const MachineOptions& options = MachineOptions())
        : kernel_(KernelOptions(options)), options_(options) {
        sim::RegisterDriverImage("vxqt70modem", modemImage);
        sim::RegisterDriverImage("vxqt70diag", diagImage);
        bus_ = std::make_unique<usb::Bus>();
        if (options.plug)
            Plug();
    }
    ~Machine() {
        for (auto& port : ports_)
            port.reset();
        bus_.reset();
    }
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Plugs the phone (the same serial each time: the ports keep their COM
    // names) and makes fresh port handles.
    void Plug() {
        usb::PhoneConfig config;
        config.atModem = options_.atModem;
        phone_ = &bus_->PlugIn(config);
        for (int i = 0; i < 2; ++i) {
            usb::Interface* ifc = Usb(static_cast<Which>(i));
            nodes_[i] = ifc->Pdo() != nullptr ? sim::PnpFindNode(ifc->Pdo()) : nullptr;
            ports_[i] = std::make_unique<ComPort>(*this, static_cast<Which>(i));
        }
        sim::RunUntilIdle();
    }
    // Pulls the cable; the handles stay open until the scenario closes them.
    void Unplug() {
        if (phone_ != nullptr && phone_->Plugged())
            phone_->Unplug();
        sim::RunUntilIdle();
    }
    bool Plugged() const { return phone_ != nullptr && phone_->Plugged(); }
    // The bus, for a scenario that plugs phones of its own beside this one.
    usb::Bus& Bus() { return *bus_; }

    usb::Phone& Phone() { return *phone_; }
    ComPort& Port(Which which) { return *ports_[static_cast<int>(which)]; }
    usb::Interface* Usb(Which which) {
        if (phone_ == nullptr)
            return nullptr;
        return which == Which::Modem ? &phone_->Modem() : &phone_->Diagnostics();
    }
    // The port's device node (it outlives the removal, so its state shows it).
    sim::DevNode* Node(Which which) { return nodes_[static_cast<int>(which)]; }
    bool Started(Which which) {
        sim::DevNode* node = Node(which);
        return node != nullptr && node->state == sim::DevNodeState::Started;
    }

    // The system sleeps in `state` and wakes again.
    NTSTATUS SleepAndWake(SYSTEM_POWER_STATE state) {
        NTSTATUS sleep = sim::SetSystemPowerState(state);
        sim::RunUntilIdle();
        if (sim::CurrentSystemPowerState() != PowerSystemWorking)
            sim::SetSystemPowerState(PowerSystemWorking);
        sim::RunUntilIdle();
        return sleep;
    }

    // After an unplug with every handle closed: no driver loaded, none of
    // their pool, IRPs or request records left. Empty when clean, else what
    // is left.
    std::string Leftovers() {
        sim::RunUntilIdle();
        std::string left;
        for (const char* service : {"vxqt70modem", "vxqt70diag"}) {
            if (sim::LoadedDriver(service) != nullptr)
                left += std::string(service) + " still loaded; ";
        }
        if (sim::IoRequestRecords() != 0)
            left += std::to_string(sim::IoRequestRecords()) + " request records; ";
        return left;
    }

    // Reports a hang and stops: a wait that would never end is a fault.
    [[noreturn]] static void Hang(const std::string& what) {
        std::fprintf(stderr, "HANG: %s did not end within %u ms of virtual time\n", what.c_str(),
                     kHangBudgetMs);
        std::fflush(stderr);
        std::abort();
    }

private:
    static sim::Options KernelOptions(const MachineOptions& options) {
        sim::Options o;
        o.seed = options.seed;
        return o;
    }

    sim::Kernel kernel_;
    MachineOptions options_;
    std::unique_ptr<usb::Bus> bus_;
    usb::Phone* phone_ = nullptr;
    std::unique_ptr<ComPort> ports_[2];
    sim::DevNode* nodes_[2] = {};
};

inline sim::DevNode* ComPort::Node() const { return machine_->Node(which_); }
inline usb::Interface* ComPort::Usb() const { return machine_->Usb(which_); }

} // namespace rig
