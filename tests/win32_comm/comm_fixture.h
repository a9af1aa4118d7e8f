// A machine with a recording serial driver loaded and COM7 open. The driver
// keeps plausible serial settings so that GETs read back what SETs stored,
// holds one WAIT_ON_MASK until the test raises events, and fails the
// requests a test names.
#pragma once

#include "common/fake_driver.h"
#include "platform/sim/sim.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Names = std::vector<std::string>;

// The settings the recording driver keeps, and what it logged.
struct Recorder {
    fake::Driver* driver = nullptr;
    SERIAL_BAUD_RATE baud{9600};
    SERIAL_LINE_CONTROL line{0, 0, 8};
    SERIAL_CHARS chars{0, 0, 0, 0, 0x11, 0x13};
    SERIAL_HANDFLOW handflow{};
    SERIAL_TIMEOUTS timeouts{};
    SERIAL_STATUS status{};
    ULONG waitMask = 0;
    ULONG modemStatus = SERIAL_MSR_CTS | SERIAL_MSR_DSR;

    // The control requests and flushes seen (a handle's create, cleanup and
    // close are not the comm layer's).
    std::vector<fake::Seen> Log() const {
        std::vector<fake::Seen> log;
        for (const auto& s : driver->seen)
            if (s.major == IRP_MJ_DEVICE_CONTROL || s.major == IRP_MJ_FLUSH_BUFFERS)
                log.push_back(s);
        return log;
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& s : Log())
            names.push_back(s.name);
        return names;
    }
    void Clear() { driver->seen.clear(); }
    template <typename T> T Input(size_t index) const {
        T value{};
        const auto bytes = Log().at(index).input;
        if (bytes.size() >= sizeof value)
            std::memcpy(&value, bytes.data(), sizeof value);
        return value;
    }
    // Every `code` request fails with `failure` until Succeed.
    void Fail(ULONG code, NTSTATUS failure) {
        driver->config.rules.insert(driver->config.rules.begin(),
                                    fake::OnCode(code, fake::Act::Complete, failure));
    }
    void Succeed() { driver->config.rules.erase(driver->config.rules.begin()); }
    // Completes the held WAIT_ON_MASK with this event mask. False when none.
    bool RaiseEvents(ULONG mask) {
        PIRP wait = driver->Take();
        if (wait == nullptr)
            return false;
        std::memcpy(wait->AssociatedIrp.SystemBuffer, &mask, sizeof mask);
        fake::Driver::Complete(wait, STATUS_SUCCESS, sizeof mask);
        return true;
    }
    bool WaitPending() const { return driver->Held() > 0; }

    fake::Config Config();
};

inline fake::Config Recorder::Config() {
    using fake::Act;
    fake::Config c = fake::Port("commrec", L"\\Device\\CommRec0", L"\\DosDevices\\COM7");
    c.rules = {
        fake::Stores(IOCTL_SERIAL_SET_BAUD_RATE, &baud, false),
        fake::Stores(IOCTL_SERIAL_GET_BAUD_RATE, &baud, true),
        fake::Stores(IOCTL_SERIAL_SET_LINE_CONTROL, &line, false),
        fake::Stores(IOCTL_SERIAL_GET_LINE_CONTROL, &line, true),
        fake::Stores(IOCTL_SERIAL_SET_CHARS, &chars, false),
        fake::Stores(IOCTL_SERIAL_GET_CHARS, &chars, true),
        fake::Stores(IOCTL_SERIAL_SET_HANDFLOW, &handflow, false),
        fake::Stores(IOCTL_SERIAL_GET_HANDFLOW, &handflow, true),
        fake::Stores(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, false),
        fake::Stores(IOCTL_SERIAL_GET_TIMEOUTS, &timeouts, true),
        fake::Stores(IOCTL_SERIAL_GET_MODEMSTATUS, &modemStatus, true),
        fake::Stores(IOCTL_SERIAL_GET_COMMSTATUS, &status, true),
        fake::Stores(IOCTL_SERIAL_GET_WAIT_MASK, &waitMask, true),
        fake::Stores(IOCTL_SERIAL_SET_WAIT_MASK, &waitMask, false),
        fake::OnCode(IOCTL_SERIAL_GET_PROPERTIES, Act::Run),
        fake::OnCode(IOCTL_SERIAL_WAIT_ON_MASK, Act::Run),
    };
    // A new mask ends the wait in progress with no events.
    c.rules[13].run = [this](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength >=
            sizeof(ULONG))
            RaiseEvents(0);
        return STATUS_SUCCESS;
    };
    c.rules[14].run = [](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength <
            sizeof(SERIAL_COMMPROP))
            return fake::CompleteWith(irp, STATUS_BUFFER_TOO_SMALL);
        SERIAL_COMMPROP p{};
        p.PacketLength = sizeof p;
        p.PacketVersion = 2;
        p.ServiceMask = SERIAL_SP_SERIALCOMM;
        p.MaxBaud = SERIAL_BAUD_USER;
        p.ProvSubType = SERIAL_SP_RS232;
        p.ProvCapabilities = 0xCF;
        p.SettableParams = 0x7F;
        p.SettableBaud = 0x1007FFFF;
        p.SettableData = 0x000F;
        p.SettableStopParity = 0x1F07;
        p.CurrentRxQueue = 4096;
        std::memcpy(irp->AssociatedIrp.SystemBuffer, &p, sizeof p);
        return fake::CompleteWith(irp, STATUS_SUCCESS, sizeof p);
    };
    c.rules[15].run = [this](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength <
            sizeof(ULONG))
            return fake::CompleteWith(irp, STATUS_BUFFER_TOO_SMALL);
        if (waitMask == 0 || WaitPending())
            return fake::CompleteWith(irp, STATUS_INVALID_PARAMETER);
        return driver->Hold(irp);
    };
    for (ULONG code : {IOCTL_SERIAL_SET_QUEUE_SIZE, IOCTL_SERIAL_PURGE, IOCTL_SERIAL_IMMEDIATE_CHAR,
                       IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_RTS,
                       IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF,
                       IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_RESET_DEVICE})
        c.rules.push_back(fake::OnCode(code, Act::Complete));
    c.rules.push_back(fake::On(IRP_MJ_DEVICE_CONTROL, Act::Complete, STATUS_INVALID_PARAMETER));
    fake::Rule cleanup = fake::On(IRP_MJ_CLEANUP, Act::Complete);
    cleanup.run = [this](PDEVICE_OBJECT, PIRP) { return driver->CancelHeld(), STATUS_SUCCESS; };
    c.rules.push_back(cleanup);
    return c;
}

class CommTest : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = Open(0);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(port_));
        }
        EXPECT_EQ(sim::Win32OpenHandles(), 0u);
    }
    HANDLE Open(DWORD flags) {
        return CreateFileA("\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           flags, nullptr);
    }
    // Reopens the port for overlapped I/O.
    void ReopenOverlapped() {
        ASSERT_TRUE(CloseHandle(port_));
        port_ = Open(FILE_FLAG_OVERLAPPED);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    }
    Recorder& Rec() { return rec_; }
    Names Sent() {
        Names names = rec_.Names();
        rec_.Clear();
        return names;
    }

    sim::Kernel kernel_;
    Recorder rec_;
    fake::Driver driver_{(rec_.driver = &driver_, rec_.Config())};
    HANDLE port_ = INVALID_HANDLE_VALUE;
};
