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

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace rig {

enum class Which { Modem = 0, Diag = 1 };
inline const char* WhichName(Which which) {
    return which == Which::Modem ? "modem" : "diagnostics";
}
inline const char* ServiceOf(Which which) {
    return which == Which::Modem ? "vxqt70modem" : "vxqt70diag";
}

// Virtual time one wait may take before it is called a hang: well past the
// longest time-out a scenario sets, far short of forever.
constexpr ULONG kHangBudgetMs = 120 * 1000;

// Every status these drivers (and the I/O manager and bus beneath them) end a
// user request with. Anything else reaching an application is a fault.
inline constexpr NTSTATUS kDocumented[] = {STATUS_SUCCESS,          STATUS_TIMEOUT,
                                           STATUS_CANCELLED,        STATUS_INVALID_PARAMETER,
                                           STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_DEVICE_REQUEST,
                                           STATUS_DELETE_PENDING,   STATUS_INSUFFICIENT_RESOURCES,
                                           STATUS_UNSUCCESSFUL,     STATUS_DEVICE_NOT_CONNECTED,
                                           STATUS_NOT_SUPPORTED,    STATUS_DEVICE_BUSY,
                                           STATUS_ACCESS_DENIED,    STATUS_DEVICE_DATA_ERROR,
                                           STATUS_IO_TIMEOUT,       STATUS_BUFFER_OVERFLOW,
                                           STATUS_NO_SUCH_DEVICE,   STATUS_DEVICE_NOT_READY,
                                           STATUS_IO_DEVICE_ERROR};
inline bool DocumentedStatus(NTSTATUS status) {
    return std::find(std::begin(kDocumented), std::end(kDocumented), status) !=
           std::end(kDocumented);
}

// A request the driver fails inside the call leaves the OVERLAPPED
// untouched, as on Windows; its status comes back from the Win32 error, as
// the first documented failure that maps to it (so ERROR_ACCESS_DENIED reads
// as STATUS_DELETE_PENDING, the usual reason a port refuses).
inline NTSTATUS StatusForError(DWORD error) {
    for (NTSTATUS candidate : kDocumented)
        if (candidate != STATUS_SUCCESS && RtlNtStatusToDosError(candidate) == error)
            return candidate;
    return static_cast<NTSTATUS>(0xE0000000u | error);
}

// An overlapped request in flight; its buffers live here until it is done.
struct Request {
    OVERLAPPED overlapped{};
    std::vector<uint8_t> input;
    std::vector<uint8_t> output;
    ULONG code = 0; // the control code, 0 for reads and writes
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
    // What a read returned, as text.
    std::string Text() const {
        return std::string(output.begin(),
                           output.begin() + std::min<size_t>(Bytes(), output.size()));
    }
    // The start of the output buffer, as a wait's event word or a reply.
    template <typename T> T OutputAs() const {
        T value{};
        memcpy(&value, output.data(), output.size() < sizeof(T) ? output.size() : sizeof(T));
        return value;
    }
};

// An IRP a driver above the port sends on its own, with no handle: what
// IofCallDriver returned, how it ended and the IRQL it was sent and completed
// at. Information starts as kUntouched, to show a request the port left alone.
struct SentIrp {
    bool done = false;
    NTSTATUS returned = STATUS_PENDING;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    KIRQL sentIrql = PASSIVE_LEVEL;
    KIRQL completionIrql = PASSIVE_LEVEL;
};
constexpr ULONG_PTR kUntouched = 0x5A5A;

// What a driver above builds: the caller's buffer stands in as the system
// buffer, as the I/O manager would have made it. `length` is the write
// length for IRP_MJ_WRITE, the output length for a control request.
struct IrpToSend {
    UCHAR major = IRP_MJ_DEVICE_CONTROL;
    ULONG code = 0;
    void* buffer = nullptr;
    ULONG inputLength = 0;
    ULONG length = 0;
    FILE_OBJECT* file = nullptr; // a create, cleanup or close of this file object
    PDEVICE_OBJECT target = nullptr;
    SentIrp* sent = nullptr;
};

inline NTSTATUS NTAPI SentIrpDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* sent = static_cast<SentIrp*>(context);
    sent->status = irp->IoStatus.Status;
    sent->information = irp->IoStatus.Information;
    sent->completionIrql = KeGetCurrentIrql();
    sent->done = true;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

inline void CallWithIrp(IrpToSend& what) {
    PIRP irp = IoAllocateIrp(what.target->StackSize, FALSE);
    if (irp == nullptr) {
        what.sent->returned = what.sent->status = STATUS_INSUFFICIENT_RESOURCES;
        what.sent->done = true;
        return;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = kUntouched;
    irp->AssociatedIrp.SystemBuffer = what.buffer;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = what.major;
    if (what.file != nullptr) {
        next->FileObject = what.file;
        irp->Tail.Overlay.OriginalFileObject = what.file;
        irp->RequestorMode = UserMode;
    } else if (what.major == IRP_MJ_WRITE) {
        next->Parameters.Write.Length = what.length;
    } else {
        next->Parameters.DeviceIoControl.IoControlCode = what.code;
        next->Parameters.DeviceIoControl.InputBufferLength = what.inputLength;
        next->Parameters.DeviceIoControl.OutputBufferLength = what.length;
    }
    IoSetCompletionRoutine(irp, SentIrpDone, what.sent, TRUE, TRUE, TRUE);
    what.sent->sentIrql = KeGetCurrentIrql();
    what.sent->returned = IoCallDriver(what.target, irp);
}

inline VOID NTAPI SendFromDpc(PKDPC, PVOID context, PVOID, PVOID) {
    CallWithIrp(*static_cast<IrpToSend*>(context));
}

// Bytes no two neighbours of which are alike over long runs, so that a byte
// lost, doubled or moved shows.
inline std::vector<uint8_t> Pattern(size_t length, size_t from = 0) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; i++)
        bytes[i] = static_cast<uint8_t>((from + i) * 7 + (from + i) / 251);
    return bytes;
}

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
        handle_ = CreateHandle();
        DWORD error = IsOpen() ? 0 : GetLastError();
        sim::RunUntilIdle();
        return error;
    }
    // A second CreateFile while the port is open: refused on an exclusive
    // port; if it got through, it is closed again at once.
    DWORD OpenSecond() {
        HANDLE h = CreateHandle();
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
            r.input.assign(static_cast<const uint8_t*>(in),
                           static_cast<const uint8_t*>(in) + inLength);
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
    Request& StartWrite(std::string_view text) {
        return StartWrite(std::vector<uint8_t>(text.begin(), text.end()));
    }
    Request& StartWaitOnMask() {
        return StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
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
    // Waits for the request (a hang leaves it pending) and hands it back.
    Request& Finish(Request& r) {
        Wait(r);
        return r;
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
    NTSTATUS Ioctl(ULONG code) { return Ioctl(code, nullptr, 0, nullptr, 0); }
    Request& Control(ULONG code, const void* in, DWORD inLength, DWORD outLength) {
        return Finish(StartIoctl(code, in, inLength, outLength));
    }
    template <typename T> NTSTATUS Set(ULONG code, const T& value) {
        return Ioctl(code, &value, sizeof(T), nullptr, 0);
    }
    // A reply of exactly sizeof(T); any other ending gives a value of 0xA5
    // bytes, which no answer of these ports is, so a comparison fails.
    template <typename T> T Get(ULONG code) {
        const Request& r = Control(code, nullptr, 0, sizeof(T));
        T value;
        memset(&value, 0xA5, sizeof value);
        if (r.Status() == STATUS_SUCCESS && r.Bytes() == sizeof(T))
            value = r.OutputAs<T>();
        return value;
    }
    Request& Write(std::string_view text) { return Finish(StartWrite(text)); }
    Request& Write(std::vector<uint8_t> data) { return Finish(StartWrite(std::move(data))); }
    SERIAL_STATUS CommStatus() { return Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS); }
    ULONG ModemStatus() { return Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS); }
    ULONG OutQueue() { return CommStatus().AmountInOutQueue; }
    ULONG InQueue() { return CommStatus().AmountInInQueue; }
    // What an immediate read takes from the ring now (the read time-outs are
    // left immediate).
    std::string Drain(DWORD length = 8192) {
        SetTimeouts(0xFFFFFFFF, 0, 0);
        return Finish(StartRead(length)).Text();
    }

    // ---- the phone's side
    // The phone sends and the machine runs until the bus delivered it.
    void Receive(std::string_view text) { Receive(std::vector<uint8_t>(text.begin(), text.end())); }
    void Receive(const std::vector<uint8_t>& bytes) {
        Usb()->Push(bytes.data(), bytes.size());
        sim::RunUntilIdle();
    }
    void SerialState(USHORT uartState) {
        Usb()->SendSerialState(uartState);
        sim::RunUntilIdle();
    }
    // This interface's bus events of one kind (and pipe), in order.
    inline std::vector<usb::BusEvent> Events(usb::EventKind kind) const;
    std::vector<usb::BusEvent> Events(usb::EventKind kind, usb::Pipe pipe) const {
        std::vector<usb::BusEvent> events = Events(kind);
        std::erase_if(events, [pipe](const usb::BusEvent& e) { return e.pipe != pipe; });
        return events;
    }
    std::vector<usb::Pipe> Pipes(usb::EventKind kind) const {
        std::vector<usb::Pipe> pipes;
        for (const auto& e : Events(kind))
            pipes.push_back(e.pipe);
        return pipes;
    }
    // Lengths of the transfers submitted on a pipe, in order.
    std::vector<ULONG> Submits(usb::Pipe pipe = usb::Pipe::BulkOut) const {
        std::vector<ULONG> lengths;
        for (const auto& e : Events(usb::EventKind::Submit, pipe))
            lengths.push_back(e.length);
        return lengths;
    }
    // SET_CONTROL_LINE_STATE values the phone received, in order.
    std::vector<USHORT> ControlLineRequests() const {
        std::vector<USHORT> values;
        for (const auto& request : Usb()->ClassRequests())
            if (request.setup.bRequest == usb::kSetControlLineState)
                values.push_back(request.setup.wValue);
        return values;
    }
    size_t LineCodingRequests() const {
        const auto requests = Usb()->ClassRequests();
        return std::count_if(requests.begin(), requests.end(), [](const auto& request) {
            return request.setup.bRequest == usb::kSetLineCoding;
        });
    }
    // Transfers of this interface pending at the bus, all three pipes.
    size_t Outstanding() const {
        return Usb()->Outstanding(usb::Pipe::BulkIn) + Usb()->Outstanding(usb::Pipe::BulkOut) +
               Usb()->Outstanding(usb::Pipe::InterruptIn);
    }

    // The n-th allocation of this kind the port's driver makes from now on
    // (at call sites whose symbol contains `site`) fails; the plan's number.
    int FailAllocation(sim::AllocKind kind, const char* site = "", uint64_t nth = 1) {
        sim::FaultPlan plan;
        plan.kind = kind;
        plan.driver = Node()->driver;
        plan.site = site;
        plan.failNth = nth;
        return sim::AddFaultPlan(plan);
    }

    // ---- requests from a driver above, with no handle
    // The record stays with the port, so a request may still be pending when
    // the reference is looked at again. From a DPC: sent at DISPATCH_LEVEL.
    SentIrp& Send(IrpToSend what, bool fromDpc = false) {
        SentIrp& sent = sentIrps_.emplace_back();
        what.target = sim::TopOfStack(Node()->fdo);
        what.sent = &sent;
        KDPC dpc; // runs in RunUntilIdle below: it must outlive the branch
        if (fromDpc) {
            KeInitializeDpc(&dpc, SendFromDpc, &what);
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
        } else {
            CallWithIrp(what);
        }
        sim::RunUntilIdle();
        return sent;
    }
    SentIrp& SendControl(ULONG code, void* buffer, ULONG inputLength, ULONG outputLength,
                         bool fromDpc = false) {
        IrpToSend what;
        what.code = code;
        what.buffer = buffer;
        what.inputLength = inputLength;
        what.length = outputLength;
        return Send(what, fromDpc);
    }
    NTSTATUS SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant,
                         ULONG writeMultiplier = 0, ULONG writeConstant = 0) {
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
    // The handle leaves the scenario (a thread of its own closes it).
    HANDLE Release() {
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }

private:
    HANDLE CreateHandle() const {
        return CreateFileA(ComName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }
    Request& Keep() {
        requests_.push_back(std::make_unique<Request>());
        return *requests_.back();
    }

    Machine* machine_;
    Which which_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::vector<std::unique_ptr<Request>> requests_;
    std::deque<SentIrp> sentIrps_;
};

struct MachineOptions {
    uint64_t seed = 1;
    bool atModem = false;
    bool plug = true;                             // plug the phone at once
    std::function<void(usb::PhoneConfig&)> phone; // anything else about the phone
    // The load suites run real threads (Concurrent) or an explored schedule,
    // and give the phone only the port under load, so that nothing else adds
    // to the interleaving.
    sim::Mode mode = sim::Mode::Deterministic;
    const sim::Schedule* schedule = nullptr; // in use before anything else runs
    std::vector<usb::InterfaceKind> interfaces = {usb::InterfaceKind::Modem,
                                                  usb::InterfaceKind::Diagnostics};
};

// A fresh machine: kernel, both images, bus, phone, managers.
class Machine {
public:
    explicit Machine(const char* modemImage, const char* diagImage,
                     const MachineOptions& options = MachineOptions())
        : kernel_(KernelOptions(options)), options_(options) {
        if (options.schedule != nullptr)
            sim::UseSchedule(*options.schedule);
        sim::RegisterDriverImage("vxqt70modem", modemImage);
        sim::RegisterDriverImage("vxqt70diag", diagImage);
        bus_ = std::make_unique<usb::Bus>();
        if (options.plug)
            Plug();
    }
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Plugs the phone (the same serial each time: the ports keep their COM
    // names) and makes fresh port handles.
    void Plug() {
        usb::PhoneConfig config;
        config.atModem = options_.atModem;
        config.interfaces = options_.interfaces;
        if (options_.phone)
            options_.phone(config);
        phone_ = &bus_->PlugIn(config);
        for (int i = 0; i < 2; ++i) {
            usb_[i] = nullptr;
            nodes_[i] = nullptr;
            ports_[i].reset();
        }
        for (size_t i = config.interfaces.size(); i-- > 0;) { // the first of a kind wins
            usb::Interface* ifc = &phone_->At(i);
            const int which = ifc->Kind() == usb::InterfaceKind::Modem ? 0 : 1;
            usb_[which] = ifc;
            nodes_[which] = ifc->Pdo() != nullptr ? sim::PnpFindNode(ifc->Pdo()) : nullptr;
            ports_[which] = std::make_unique<ComPort>(*this, static_cast<Which>(which));
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

    usb::Phone& Phone() { return *phone_; }
    usb::Bus& Bus() { return *bus_; }
    ComPort& Port(Which which) { return *ports_[static_cast<int>(which)]; }
    usb::Interface* Usb(Which which) { return usb_[static_cast<int>(which)]; }
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
        // With every phone gone, no COM name may stay behind to block the next.
        for (const auto& link : sim::SymbolicLinks())
            if (link.target.starts_with(u"\\Device\\VXNTQT70"))
                left += "link " + sim::U8(link.name) + " still there; ";
        for (const auto& entry : sim::SerialComm())
            left += "SERIALCOMM " + sim::U8(entry.device) + " still there; ";
        for (const auto& ifc : sim::DeviceInterfaces())
            if (ifc.enabled)
                left += "interface " + sim::U8(ifc.symbolicLink) + " still enabled; ";
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
        o.mode = options.mode;
        return o;
    }

    // Declared in the order they are needed: the ports go before the phone's
    // bus, and the kernel last.
    sim::Kernel kernel_;
    MachineOptions options_;
    std::unique_ptr<usb::Bus> bus_;
    usb::Phone* phone_ = nullptr;
    std::unique_ptr<ComPort> ports_[2];
    usb::Interface* usb_[2] = {};
    sim::DevNode* nodes_[2] = {};
};

inline sim::DevNode* ComPort::Node() const {
    return machine_->Node(which_);
}
inline usb::Interface* ComPort::Usb() const {
    return machine_->Usb(which_);
}
inline std::vector<usb::BusEvent> ComPort::Events(usb::EventKind kind) const {
    std::vector<usb::BusEvent> events;
    for (const auto& e : machine_->Phone().Timeline())
        if (e.kind == kind && e.interfaceNumber == Usb()->Number())
            events.push_back(e);
    return events;
}

} // namespace rig
