// One phone with both interfaces on the simulated bus: the modem interface
// served by the modem driver's image, the diagnostics interface by the
// diagnostics driver's, each started by the Plug and Play manager and found
// by the COM name the installer gave it. Each port is opened through the
// Win32 layer the way a serial program opens it (overlapped, exclusive), so
// a test can leave requests pending and read the exact NTSTATUS each one
// ended with; and the same scenario can be played on both ports to show
// where the two drivers part ways.
#pragma once

#include "modem_port/port_fixture.h"

#include <string>

namespace diag_port {

using modem_port::Pattern;
using modem_port::Request;
using modem_port::Result;

constexpr ULONG kMaxUlong = 0xFFFFFFFF;
// The events a failed bulk-out transfer reports on the diagnostics port.
constexpr ULONG kLinesDropped = SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD;
// GET_COMMSTATUS's Errors once the diagnostics device is lost.
constexpr ULONG kAllLineErrors = SERIAL_ERROR_BREAK | SERIAL_ERROR_FRAMING | SERIAL_ERROR_OVERRUN |
                                 SERIAL_ERROR_QUEUEOVERRUN | SERIAL_ERROR_PARITY;

inline std::string Text(const Request& read) {
    return std::string(read.output.begin(), read.output.begin() + read.Bytes());
}

// One COM port of the phone and the handle a test holds on it.
class Port {
public:
    Port(const char* name, usb::Interface& usbInterface, sim::DevNode* node)
        : name_(name), interface_(&usbInterface), node_(node) {}
    // The handle goes first: cleanup ends what is still pending, and the
    // requests' buffers must outlive that.
    ~Port() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
        requests_.clear();
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    const char* Name() const { return name_; }
    usb::Interface& Usb() { return *interface_; }
    sim::DevNode* Node() { return node_; }
    HANDLE Handle() const { return handle_; }
    std::string ComName() const { return "\\\\.\\COM" + std::to_string(node_->comPort); }

    HANDLE OpenHandle() {
        return CreateFileA(ComName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }
    void Open() {
        handle_ = OpenHandle();
        ASSERT_NE(handle_, INVALID_HANDLE_VALUE) << name_ << " error " << GetLastError();
        sim::RunUntilIdle();
    }
    // Cleanup and close, as CloseHandle sends them.
    void Close() {
        ASSERT_TRUE(CloseHandle(handle_)) << name_;
        handle_ = INVALID_HANDLE_VALUE;
    }
    // The handle leaves the test (a thread closes it).
    HANDLE Release() {
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }

    // ---- requests left in flight
    std::shared_ptr<Request> StartIoctl(ULONG code, const void* in, DWORD inLength,
                                        DWORD outLength) {
        auto request = Keep(std::make_shared<Request>());
        if (inLength != 0) {
            request->input.assign(static_cast<const uint8_t*>(in),
                                  static_cast<const uint8_t*>(in) + inLength);
        }
        request->output.assign(outLength, 0xCC);
        DWORD bytes = 0;
        request->Issued(DeviceIoControl(handle_, code,
                                        inLength != 0 ? request->input.data() : nullptr, inLength,
                                        outLength != 0 ? request->output.data() : nullptr,
                                        outLength, &bytes, &request->overlapped));
        return request;
    }
    std::shared_ptr<Request> StartWrite(std::vector<uint8_t> data) {
        auto request = Keep(std::make_shared<Request>());
        request->input = std::move(data);
        DWORD bytes = 0;
        request->Issued(WriteFile(handle_, request->input.data(),
                                  static_cast<DWORD>(request->input.size()), &bytes,
                                  &request->overlapped));
        return request;
    }
    std::shared_ptr<Request> StartWrite(const std::string& text) {
        return StartWrite(std::vector<uint8_t>(text.begin(), text.end()));
    }
    std::shared_ptr<Request> StartRead(DWORD length) {
        auto request = Keep(std::make_shared<Request>());
        request->output.assign(length, 0);
        DWORD bytes = 0;
        request->Issued(
            ReadFile(handle_, request->output.data(), length, &bytes, &request->overlapped));
        return request;
    }
    std::shared_ptr<Request> StartWaitOnMask() {
        return StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    }
    // Lets the machine run until the request has ended.
    Result Wait(Request& request) {
        DWORD bytes = 0;
        if (!request.failedAtOnce) {
            GetOverlappedResult(handle_, &request.overlapped, &bytes, TRUE);
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
        EXPECT_EQ(result.status, STATUS_SUCCESS) << name_ << " control code " << std::hex << code;
        EXPECT_EQ(result.bytes, sizeof(T)) << name_ << " control code " << std::hex << code;
        return value;
    }
    Result Write(const std::string& text) {
        auto request = StartWrite(text);
        return Wait(*request);
    }
    SERIAL_STATUS CommStatus() { return Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS); }
    ULONG ModemStatus() { return Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS); }

    void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant) {
        SERIAL_TIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = interval;
        timeouts.ReadTotalTimeoutMultiplier = multiplier;
        timeouts.ReadTotalTimeoutConstant = constant;
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts), STATUS_SUCCESS) << name_;
    }
    void SetWaitMask(ULONG mask) {
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, mask), STATUS_SUCCESS) << name_;
    }

    // ---- the phone's side
    // The phone sends bytes and the machine runs until the bus delivered them.
    void Receive(const std::string& text) {
        interface_->Push(text);
        sim::RunUntilIdle();
    }

private:
    std::shared_ptr<Request> Keep(std::shared_ptr<Request> request) {
        requests_.push_back(request);
        return request;
    }

    std::vector<std::shared_ptr<Request>> requests_;
    const char* name_;
    usb::Interface* interface_;
    sim::DevNode* node_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

class PhonePorts : public ::testing::Test {
protected:
    PhonePorts() {
        sim::RegisterDriverImage("vxqt70modem", VXQT70_MODEM_IMAGE);
        sim::RegisterDriverImage("vxqt70diag", VXQT70_DIAG_IMAGE);
        bus_ = std::make_unique<usb::Bus>();
        usb::PhoneConfig config;
        config.interfaces = {usb::InterfaceKind::Modem, usb::InterfaceKind::Diagnostics};
        phone_ = &bus_->PlugIn(config);
        modem_ = std::make_unique<Port>("modem", phone_->Modem(),
                                        sim::PnpFindNode(phone_->Modem().Pdo()));
        diag_ = std::make_unique<Port>("diagnostics", phone_->Diagnostics(),
                                       sim::PnpFindNode(phone_->Diagnostics().Pdo()));
    }
    ~PhonePorts() override {
        modem_.reset();
        diag_.reset();
        bus_.reset();
    }

    void SetUp() override {
        for (Port* port : {modem_.get(), diag_.get()}) {
            ASSERT_NE(port->Node(), nullptr) << port->Name();
            ASSERT_EQ(port->Node()->state, sim::DevNodeState::Started)
                << port->Name() << " problem " << std::hex << port->Node()->problem;
            ASSERT_NE(port->Node()->comPort, 0u) << port->Name();
        }
    }

    Port& Modem() { return *modem_; }
    Port& Diag() { return *diag_; }
    // Both ports, for a scenario played on each.
    std::vector<Port*> Both() { return {modem_.get(), diag_.get()}; }

    // Bus events of one interface's pipe, in order.
    std::vector<usb::BusEvent> Events(Port& port, usb::EventKind kind, usb::Pipe pipe) {
        std::vector<usb::BusEvent> events;
        for (const auto& event : phone_->Timeline()) {
            if (event.kind == kind && event.pipe == pipe &&
                event.interfaceNumber == port.Usb().Number()) {
                events.push_back(event);
            }
        }
        return events;
    }
    size_t Submits(Port& port, usb::Pipe pipe) {
        return Events(port, usb::EventKind::Submit, pipe).size();
    }

    sim::Kernel kernel_;
    std::unique_ptr<usb::Bus> bus_;
    usb::Phone* phone_ = nullptr;
    std::unique_ptr<Port> modem_;
    std::unique_ptr<Port> diag_;
};

// The diagnostics port opened; the modem port left closed.
class DiagPort : public PhonePorts {
protected:
    void SetUp() override {
        PhonePorts::SetUp();
        if (!HasFatalFailure()) {
            Diag().Open();
            phone_->ClearTimeline();
        }
    }
};

// Both ports opened.
class BothPorts : public PhonePorts {
protected:
    void SetUp() override {
        PhonePorts::SetUp();
        if (!HasFatalFailure()) {
            Modem().Open();
            Diag().Open();
            phone_->ClearTimeline();
        }
    }
};

} // namespace diag_port
