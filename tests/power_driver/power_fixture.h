// One port of the driver linked into this test, on a phone with that one
// interface, started by the Plug and Play manager; the system is moved
// between power states by the simulated power manager. The test reads the
// power states and the sleep flag in the port device record and states the
// order of the power IRPs the manager logged for this port's stack.
#pragma once

#include "port.h"

#include "platform/sim/sim.h"
#include "platform/usb/bus.h"
#include "platform/win32/win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace power_driver {

#if VARIANT_MODEM
constexpr const char* kService = "vxqt70modem";
constexpr usb::InterfaceKind kKind = usb::InterfaceKind::Modem;
#else
constexpr const char* kService = "vxqt70diag";
constexpr usb::InterfaceKind kKind = usb::InterfaceKind::Diagnostics;
#endif

inline POWER_STATE SystemState(SYSTEM_POWER_STATE s) {
    POWER_STATE state;
    state.SystemState = s;
    return state;
}
inline POWER_STATE DeviceState(DEVICE_POWER_STATE d) {
    POWER_STATE state;
    state.DeviceState = d;
    return state;
}

// "S-SET S3", "D-QUERY D3", "WAIT_WAKE": one power IRP as the log shows it.
inline std::string Name(const sim::PowerIrpRecord& r) {
    switch (r.minor) {
    case IRP_MN_WAIT_WAKE:
        return "WAIT_WAKE";
    case IRP_MN_POWER_SEQUENCE:
        return "POWER_SEQUENCE";
    default:
        break;
    }
    std::string name = r.minor == IRP_MN_SET_POWER ? "SET" : "QUERY";
    if (r.type == SystemPowerState)
        return "S-" + name + " S" + std::to_string(r.state.SystemState - 1);
    return "D-" + name + " D" + std::to_string(r.state.DeviceState - 1);
}

// Test names for a parameter that is a sleeping state: "S3", "S4".
inline std::string SleepName(const ::testing::TestParamInfo<SYSTEM_POWER_STATE>& state) {
    return std::string("S").append(std::to_string(state.param - 1));
}

class PowerPort : public ::testing::Test {
protected:
    PowerPort() {
        sim::RegisterDriverEntry(kService, DriverEntry);
        bus_ = std::make_unique<usb::Bus>();
        usb::PhoneConfig config;
        config.interfaces = {kKind};
        phone_ = &bus_->PlugIn(config);
        node_ = sim::PnpFindNode(Interface().Pdo());
    }
    ~PowerPort() override {
        if (port_ != INVALID_HANDLE_VALUE)
            CloseHandle(port_);
        bus_.reset();
    }
    void SetUp() override {
        ASSERT_NE(node_, nullptr);
        ASSERT_EQ(node_->state, sim::DevNodeState::Started) << std::hex << node_->problem;
        ASSERT_NE(node_->fdo, nullptr);
        sim::ClearPowerIrpLog();
    }

    usb::Interface& Interface() { return phone_->At(0); }
    PDEVICE_OBJECT Fdo() { return node_->fdo; }
    PDEVICE_EXTENSION Ext() { return PortOf(node_->fdo); }
    LONG RemoveLockCount() { return Ext()->RemoveLock.Common.IoCount; }

    // ---- power
    // One power IRP to the top of the port's stack, waited for.
    NTSTATUS Send(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
        NTSTATUS status = sim::PoSendPowerIrp(Fdo(), minor, type, state);
        sim::RunUntilIdle();
        return status;
    }
    NTSTATUS SendSystem(UCHAR minor, SYSTEM_POWER_STATE s) {
        return Send(minor, SystemPowerState, SystemState(s));
    }
    NTSTATUS SendDevice(UCHAR minor, DEVICE_POWER_STATE d) {
        return Send(minor, DevicePowerState, DeviceState(d));
    }
    NTSTATUS System(SYSTEM_POWER_STATE s) {
        NTSTATUS status = sim::SetSystemPowerState(s);
        sim::RunUntilIdle();
        return status;
    }
    // The power IRPs sent to this port's stack, in the order they were made.
    std::vector<sim::PowerIrpRecord> Log() {
        std::vector<sim::PowerIrpRecord> mine;
        for (const auto& r : sim::PowerIrpLog())
            if (r.node == node_)
                mine.push_back(r);
        return mine;
    }
    // Sends and completions interleaved in the order they happened:
    // "send S-SET S3", "done D-SET D3 0x0", ...
    std::vector<std::string> Sequence() {
        std::vector<std::pair<unsigned, std::string>> events;
        for (const auto& r : Log()) {
            events.emplace_back(r.sentSeq, "send " + Name(r));
            if (r.completedSeq != 0) {
                char status[16];
                snprintf(status, sizeof status, "0x%X", static_cast<unsigned>(r.status));
                events.emplace_back(r.completedSeq, "done " + Name(r) + " " + status);
            }
        }
        std::sort(events.begin(), events.end());
        std::vector<std::string> text;
        for (auto& e : events)
            text.push_back(e.second);
        return text;
    }
    size_t Requested() {
        auto log = Log();
        return std::count_if(log.begin(), log.end(),
                             [](const sim::PowerIrpRecord& r) { return r.requested; });
    }
    // The device states the bus below was set to, in order.
    std::vector<ULONG> BusPowerEvents() {
        std::vector<ULONG> states;
        for (const auto& e : phone_->Timeline())
            if (e.kind == usb::EventKind::Power)
                states.push_back(e.code);
        return states;
    }
    unsigned Resets() {
        return Interface().Resets(usb::Pipe::BulkIn) + Interface().Resets(usb::Pipe::BulkOut) +
               Interface().Resets(usb::Pipe::InterruptIn);
    }

    // ---- the port as an application opens it (synchronous handle; reads
    // return at once with what the ring holds)
    void Open() {
        std::string name = "\\\\.\\COM" + std::to_string(node_->comPort);
        port_ = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        SERIAL_TIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = 0xFFFFFFFF;
        DWORD bytes = 0;
        ASSERT_TRUE(DeviceIoControl(port_, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts,
                                    nullptr, 0, &bytes, nullptr));
        sim::RunUntilIdle();
    }
    void Close() {
        ASSERT_TRUE(CloseHandle(port_));
        port_ = INVALID_HANDLE_VALUE;
        sim::RunUntilIdle();
    }
    // The phone sends `text`; the application reads what arrived.
    std::string RoundTripIn(const std::string& text) {
        Interface().Push(text);
        sim::RunUntilIdle();
        std::string got(4096, '\0');
        DWORD bytes = 0;
        if (!ReadFile(port_, got.data(), static_cast<DWORD>(got.size()), &bytes, nullptr))
            return "(read failed, error " + std::to_string(GetLastError()) + ")";
        got.resize(bytes);
        return got;
    }
    // The application writes `text`; what the phone received.
    std::string RoundTripOut(const std::string& text) {
        DWORD bytes = 0;
        if (!WriteFile(port_, text.data(), static_cast<DWORD>(text.size()), &bytes, nullptr))
            return "(write failed, error " + std::to_string(GetLastError()) + ")";
        sim::RunUntilIdle();
        return Interface().TakeReceivedText();
    }

    sim::Kernel kernel_;
    std::unique_ptr<usb::Bus> bus_;
    usb::Phone* phone_ = nullptr;
    sim::DevNode* node_ = nullptr;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

} // namespace power_driver
