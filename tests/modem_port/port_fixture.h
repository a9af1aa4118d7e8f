// One phone with a modem interface on the simulated bus, its port started by
// the Plug and Play manager with the modem driver's image, found by the COM
// name the installer gave it and opened through the Win32 layer the way a
// serial program opens it (overlapped, exclusive). Requests go out as
// overlapped Win32 calls, so a test can leave them pending and look at the
// exact NTSTATUS each one ended with (OVERLAPPED.Internal).
#pragma once

#include "platform/sim/sim.h"
#include "platform/usb/bus.h"
#include "platform/win32/win32.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace modem_port {

// How one request ended, as the I/O manager reported it to the caller.
struct Result {
    NTSTATUS status = STATUS_PENDING;
    DWORD bytes = 0;
};

// A request the driver fails inside the call leaves the OVERLAPPED untouched,
// as on Windows; its status is recovered from the Win32 error, among the
// statuses these drivers fail requests with (first match wins).
inline NTSTATUS StatusForError(DWORD error) {
    const NTSTATUS candidates[] = {
        STATUS_INVALID_PARAMETER, STATUS_BUFFER_TOO_SMALL,    STATUS_INVALID_DEVICE_REQUEST,
        STATUS_DELETE_PENDING,    STATUS_CANCELLED,           STATUS_INSUFFICIENT_RESOURCES,
        STATUS_UNSUCCESSFUL,      STATUS_DEVICE_NOT_CONNECTED};
    for (NTSTATUS candidate : candidates) {
        if (RtlNtStatusToDosError(candidate) == error) {
            return candidate;
        }
    }
    return static_cast<NTSTATUS>(0xE0000000u | error);
}

// An overlapped request in flight. Its buffers live here until it is done.
struct Request {
    OVERLAPPED overlapped{};
    std::vector<uint8_t> input;
    std::vector<uint8_t> output;
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
    DWORD Bytes() const { return static_cast<DWORD>(overlapped.InternalHigh); }
    template <typename T> T OutputAs() const {
        T value{};
        memcpy(&value, output.data(), output.size() < sizeof(T) ? output.size() : sizeof(T));
        return value;
    }
};

// An IRP a driver above the port sends on its own (no handle): what it came
// back with and the IRQL its completion ran at.
struct SentIrp {
    bool done = false;
    NTSTATUS returned = STATUS_PENDING; // what IofCallDriver returned
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    KIRQL completionIrql = PASSIVE_LEVEL;
    KIRQL sentIrql = PASSIVE_LEVEL;
};
constexpr ULONG_PTR kUntouched = 0x5A5A;

inline NTSTATUS NTAPI SentIrpDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* sent = static_cast<SentIrp*>(context);
    sent->status = irp->IoStatus.Status;
    sent->information = irp->IoStatus.Information;
    sent->completionIrql = KeGetCurrentIrql();
    sent->done = true;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// One request built as a driver builds it: the caller's buffer stands in as
// the system buffer, as the I/O manager would have made it.
struct IrpToSend {
    PDEVICE_OBJECT target = nullptr;
    UCHAR major = IRP_MJ_DEVICE_CONTROL;
    ULONG code = 0;
    void* buffer = nullptr;
    ULONG inputLength = 0;
    ULONG outputLength = 0; // or the write length
    SentIrp* sent = nullptr;
};

inline void CallWithIrp(IrpToSend& what) {
    PIRP irp = IoAllocateIrp(what.target->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = kUntouched;
    irp->AssociatedIrp.SystemBuffer = what.buffer;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = what.major;
    if (what.major == IRP_MJ_WRITE) {
        next->Parameters.Write.Length = what.outputLength;
    } else {
        next->Parameters.DeviceIoControl.IoControlCode = what.code;
        next->Parameters.DeviceIoControl.InputBufferLength = what.inputLength;
        next->Parameters.DeviceIoControl.OutputBufferLength = what.outputLength;
    }
    IoSetCompletionRoutine(irp, SentIrpDone, what.sent, TRUE, TRUE, TRUE);
    what.sent->sentIrql = KeGetCurrentIrql();
    what.sent->returned = IoCallDriver(what.target, irp);
}

inline VOID NTAPI SendFromDpc(PKDPC, PVOID context, PVOID, PVOID) {
    CallWithIrp(*static_cast<IrpToSend*>(context));
}

class ModemPort : public ::testing::Test {
protected:
    ModemPort() {
        sim::RegisterDriverImage("vxqt70modem", VXQT70_MODEM_IMAGE);
        bus_ = std::make_unique<usb::Bus>();
        usb::PhoneConfig config;
        config.interfaces = {usb::InterfaceKind::Modem};
        phone_ = &bus_->PlugIn(config);
        node_ = sim::PnpFindNode(Modem().Pdo());
    }
    ~ModemPort() override {
        if (port_ != INVALID_HANDLE_VALUE) {
            CloseHandle(port_);
        }
        bus_.reset();
    }

    void SetUp() override {
        ASSERT_NE(node_, nullptr);
        ASSERT_EQ(node_->state, sim::DevNodeState::Started)
            << "problem " << std::hex << node_->problem;
        ASSERT_NE(node_->comPort, 0u);
    }

    usb::Interface& Modem() { return phone_->At(0); }
    std::string ComName() const { return "\\\\.\\COM" + std::to_string(node_->comPort); }

    HANDLE OpenHandle() {
        return CreateFileA(ComName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }
    // Opens the test's handle and forgets what the open itself did on the bus.
    void Open() {
        port_ = OpenHandle();
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        phone_->ClearTimeline();
        Modem().ClearClassRequests();
    }
    void Close() {
        ASSERT_TRUE(CloseHandle(port_));
        port_ = INVALID_HANDLE_VALUE;
    }

    // ---- requests left in flight
    std::unique_ptr<Request> StartIoctl(ULONG code, const void* in, DWORD inLength,
                                        DWORD outLength) {
        auto request = std::make_unique<Request>();
        request->input.assign(static_cast<const uint8_t*>(in),
                              static_cast<const uint8_t*>(in) + inLength);
        request->output.assign(outLength, 0xCC);
        DWORD bytes = 0;
        request->Issued(DeviceIoControl(port_, code,
                                        inLength != 0 ? request->input.data() : nullptr, inLength,
                                        outLength != 0 ? request->output.data() : nullptr,
                                        outLength, &bytes, &request->overlapped));
        return request;
    }
    std::unique_ptr<Request> StartWrite(std::vector<uint8_t> data) {
        auto request = std::make_unique<Request>();
        request->input = std::move(data);
        DWORD bytes = 0;
        request->Issued(WriteFile(port_, request->input.data(),
                                  static_cast<DWORD>(request->input.size()), &bytes,
                                  &request->overlapped));
        return request;
    }
    std::unique_ptr<Request> StartWrite(const std::string& text) {
        return StartWrite(std::vector<uint8_t>(text.begin(), text.end()));
    }
    std::unique_ptr<Request> StartRead(DWORD length) {
        auto request = std::make_unique<Request>();
        request->output.assign(length, 0);
        DWORD bytes = 0;
        request->Issued(
            ReadFile(port_, request->output.data(), length, &bytes, &request->overlapped));
        return request;
    }
    // Lets the machine run until the request has ended.
    Result Wait(Request& request) {
        DWORD bytes = 0;
        if (!request.failedAtOnce) {
            GetOverlappedResult(port_, &request.overlapped, &bytes, TRUE);
        }
        return Result{request.Status(), request.Bytes()};
    }

    // ---- requests waited for
    Result Ioctl(ULONG code, const void* in, DWORD inLength, void* out, DWORD outLength) {
        auto request = StartIoctl(code, in, inLength, outLength);
        Result result = Wait(*request);
        if (out != nullptr && outLength != 0) {
            memcpy(out, request->output.data(), outLength);
        }
        return result;
    }
    NTSTATUS Ioctl(ULONG code) { return Ioctl(code, nullptr, 0, nullptr, 0).status; }
    template <typename T> NTSTATUS Set(ULONG code, const T& value) {
        return Ioctl(code, &value, sizeof(T), nullptr, 0).status;
    }
    template <typename T> T Get(ULONG code) {
        T value{};
        Result result = Ioctl(code, nullptr, 0, &value, sizeof(T));
        EXPECT_EQ(result.status, STATUS_SUCCESS) << "control code " << std::hex << code;
        EXPECT_EQ(result.bytes, sizeof(T)) << "control code " << std::hex << code;
        return value;
    }
    Result Write(const std::string& text) {
        auto request = StartWrite(text);
        return Wait(*request);
    }
    SERIAL_STATUS CommStatus() { return Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS); }

    // ---- requests from a driver above, with no handle
    // The record stays with the fixture, so a request may still be pending
    // when the reference is looked at again.
    SentIrp& SendIrp(IrpToSend what) {
        SentIrp& sent = sentIrps_.emplace_back();
        what.target = sim::TopOfStack(node_->fdo);
        what.sent = &sent;
        CallWithIrp(what);
        sim::RunUntilIdle();
        return sent;
    }
    SentIrp& SendControl(ULONG code, void* buffer, ULONG inputLength, ULONG outputLength) {
        IrpToSend what;
        what.code = code;
        what.buffer = buffer;
        what.inputLength = inputLength;
        what.outputLength = outputLength;
        return SendIrp(what);
    }
    // The same request sent from a DPC, at DISPATCH_LEVEL; returns once the
    // machine has nothing left to run.
    SentIrp& SendControlFromDpc(ULONG code, void* buffer, ULONG inputLength, ULONG outputLength) {
        SentIrp& sent = sentIrps_.emplace_back();
        IrpToSend what;
        what.target = sim::TopOfStack(node_->fdo);
        what.code = code;
        what.buffer = buffer;
        what.inputLength = inputLength;
        what.outputLength = outputLength;
        what.sent = &sent;
        KDPC dpc;
        KeInitializeDpc(&dpc, SendFromDpc, &what);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        sim::RunUntilIdle();
        return sent;
    }

    // ---- the phone's side
    // Lengths of the bulk-out transfers that reached the bus, in order.
    std::vector<ULONG> BulkOutSubmits() {
        std::vector<ULONG> lengths;
        for (const auto& event : phone_->Timeline()) {
            if (event.kind == usb::EventKind::Submit && event.pipe == usb::Pipe::BulkOut) {
                lengths.push_back(event.length);
            }
        }
        return lengths;
    }
    std::vector<usb::BusEvent> Events(usb::EventKind kind) {
        std::vector<usb::BusEvent> events;
        for (const auto& event : phone_->Timeline()) {
            if (event.kind == kind) {
                events.push_back(event);
            }
        }
        return events;
    }
    // SET_CONTROL_LINE_STATE values the phone received, in order.
    std::vector<USHORT> ControlLineRequests() {
        std::vector<USHORT> values;
        for (const auto& request : Modem().ClassRequests()) {
            if (request.setup.bRequest == usb::kSetControlLineState) {
                values.push_back(request.setup.wValue);
            }
        }
        return values;
    }
    size_t LineCodingRequests() {
        size_t count = 0;
        for (const auto& request : Modem().ClassRequests()) {
            count += request.setup.bRequest == usb::kSetLineCoding ? 1 : 0;
        }
        return count;
    }
    size_t Outstanding() {
        return Modem().Outstanding(usb::Pipe::BulkIn) + Modem().Outstanding(usb::Pipe::BulkOut) +
               Modem().Outstanding(usb::Pipe::InterruptIn);
    }

    sim::Kernel kernel_;
    std::unique_ptr<usb::Bus> bus_;
    usb::Phone* phone_ = nullptr;
    sim::DevNode* node_ = nullptr;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    std::deque<SentIrp> sentIrps_;
};

inline std::vector<uint8_t> Pattern(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; i++) {
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    return bytes;
}

} // namespace modem_port
