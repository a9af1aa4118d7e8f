// The Win32 suites' machine: a recording serial driver loaded as COM7. It
// keeps the serial settings, so that GETs read back what SETs stored; holds
// one WAIT_ON_MASK until the test raises events; holds reads until bytes are
// fed; keeps what is written; and fails the requests a test names. A few
// control codes of its own let a test steer it from a handle.
#pragma once

#include "common/fake_driver.h"
#include "platform/sim/sim.h"

#include "platform/win32/win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using Names = std::vector<std::string>;

constexpr ULONG TestCode(ULONG function) {
    return CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + function, METHOD_BUFFERED, FILE_ANY_ACCESS);
}
constexpr ULONG kEcho = TestCode(0);     // output = input; short output: STATUS_BUFFER_OVERFLOW
constexpr ULONG kFailWith = TestCode(1); // completes with the NTSTATUS given as input
constexpr ULONG kPend = TestCode(2);     // stays queued until cancelled
constexpr ULONG kFeed = TestCode(3);     // input bytes arrive; a queued read takes them

// Bytes as the tests write them: 32-bit words in hex when they come in
// words, else single bytes ("5ea fff0", "01 01 07").
inline std::string Hex(const uint8_t* bytes, size_t size) {
    std::string out;
    char text[16];
    const bool words = size % 4 == 0;
    for (size_t i = 0; i < size; i += words ? 4 : 1) {
        uint32_t word = bytes[i];
        if (words)
            std::memcpy(&word, bytes + i, 4);
        std::snprintf(text, sizeof text, words ? "%x" : "%02x", word);
        if (!out.empty())
            out += ' ';
        out += text;
    }
    return out;
}
template <typename T> std::string Hex(const T& value) {
    return Hex(reinterpret_cast<const uint8_t*>(&value), sizeof value);
}

// Handles are opened by the test (see CommTest for one opened at SetUp).
struct SerialRig : ::testing::Test {
    sim::Kernel kernel;
    SERIAL_BAUD_RATE baud{9600};
    SERIAL_LINE_CONTROL line{0, 0, 8};
    SERIAL_CHARS chars{0, 0, 0, 0, 0x11, 0x13};
    SERIAL_HANDFLOW handflow{};
    SERIAL_TIMEOUTS timeouts{};
    SERIAL_STATUS commStatus{};
    ULONG waitMask = 0;
    ULONG modemStatus = SERIAL_MSR_CTS | SERIAL_MSR_DSR;
    std::string written, received;
    int zeroLengthReads = 0;
    fake::Driver driver{Config()};
    HANDLE port = INVALID_HANDLE_VALUE;

    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(port));
        }
        EXPECT_EQ(sim::Win32OpenHandles(), 0u);
    }
    HANDLE Open(const char* name, DWORD flags = 0) {
        return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                           nullptr);
    }

    // The control requests and flushes seen since the last call (a handle's
    // create, cleanup and close are not the comm layer's), each as its name,
    // "/" and the output length when it has one, then its input in Hex.
    Names Sent() {
        Names names;
        for (const fake::Seen& s : driver.seen) {
            if (s.major != IRP_MJ_DEVICE_CONTROL && s.major != IRP_MJ_FLUSH_BUFFERS)
                continue;
            std::string name = s.name;
            if (s.outputLength != 0)
                name.append("/").append(std::to_string(s.outputLength));
            if (!s.input.empty())
                name.append(" ").append(Hex(s.input.data(), s.input.size()));
            names.push_back(name);
        }
        driver.seen.clear();
        return names;
    }
    int Count(const char* name) const {
        return static_cast<int>(std::count_if(driver.seen.begin(), driver.seen.end(),
                                              [&](const fake::Seen& s) { return s.name == name; }));
    }
    // Every `code` request fails with `failure` until Succeed.
    void Fail(ULONG code, NTSTATUS failure) {
        driver.config.rules.insert(driver.config.rules.begin(),
                                   fake::OnCode(code, fake::Act::Complete, failure));
    }
    void Succeed() { driver.config.rules.erase(driver.config.rules.begin()); }
    // Completes the held WAIT_ON_MASK with this event mask. False when none.
    bool RaiseEvents(ULONG mask) {
        PIRP wait = driver.Take(IRP_MJ_DEVICE_CONTROL);
        if (wait == nullptr)
            return false;
        std::memcpy(wait->AssociatedIrp.SystemBuffer, &mask, sizeof mask);
        fake::Driver::Complete(wait, STATUS_SUCCESS, sizeof mask);
        return true;
    }
    bool WaitPending() const { return driver.Held() > 0; }
    void Feed(const std::string& bytes) {
        DWORD n = 0;
        OVERLAPPED o{};
        ASSERT_TRUE(DeviceIoControl(port, kFeed, const_cast<char*>(bytes.data()),
                                    static_cast<DWORD>(bytes.size()), nullptr, 0, &n, &o));
    }

    fake::Config Config();
    template <typename F> static fake::Rule Control(ULONG code, F body) {
        fake::Rule rule = fake::OnCode(code, fake::Act::Run);
        rule.run = [body](PDEVICE_OBJECT, PIRP irp) {
            const auto& p = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
            return body(irp, p.OutputBufferLength,
                        std::string(static_cast<const char*>(irp->AssociatedIrp.SystemBuffer),
                                    irp->AssociatedIrp.SystemBuffer ? p.InputBufferLength : 0));
        };
        return rule;
    }
    // Moves what has arrived into `irp` and completes it; fewer bytes than
    // asked end in STATUS_TIMEOUT, as a serial port's read time-out does.
    NTSTATUS Deliver(PIRP irp) {
        const ULONG want = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
        const ULONG n = std::min<ULONG>(want, static_cast<ULONG>(received.size()));
        std::memcpy(irp->AssociatedIrp.SystemBuffer, received.data(), n);
        received.erase(0, n);
        return fake::CompleteWith(irp, n == want ? STATUS_SUCCESS : STATUS_TIMEOUT, n);
    }
    NTSTATUS Read(PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length == 0) {
            ++zeroLengthReads;
            return fake::CompleteWith(irp, STATUS_SUCCESS);
        }
        return received.empty() ? driver.Hold(irp) : Deliver(irp);
    }
};

inline fake::Config SerialRig::Config() {
    using fake::Act;
    fake::Config c = fake::Port("commrec", L"\\Device\\CommRec0", L"\\DosDevices\\COM7");
    const struct {
        ULONG set, get;
        void* slot;
        ULONG size;
    } kept[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, &baud, sizeof baud},
        {IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL, &line, sizeof line},
        {IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_GET_CHARS, &chars, sizeof chars},
        {IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_HANDFLOW, &handflow, sizeof handflow},
        {IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS, &timeouts, sizeof timeouts},
        {0, IOCTL_SERIAL_GET_MODEMSTATUS, &modemStatus, sizeof modemStatus},
        {0, IOCTL_SERIAL_GET_COMMSTATUS, &commStatus, sizeof commStatus},
        {IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_GET_WAIT_MASK, &waitMask, sizeof waitMask},
    };
    for (const auto& k : kept)
        for (ULONG code : {k.get, k.set}) {
            if (code == 0)
                continue;
            fake::Rule rule = fake::OnCode(code, Act::Store);
            rule.slot = k.slot;
            rule.size = k.size;
            rule.get = code == k.get;
            c.rules.push_back(rule);
        }
    // A new mask ends the wait in progress with no events (SET_WAIT_MASK is
    // the last rule made above; a store runs this before it stores).
    c.rules.back().run = [this](PDEVICE_OBJECT, PIRP irp) {
        const auto& p = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
        if (p.InputBufferLength >= sizeof(ULONG))
            RaiseEvents(0);
        return STATUS_SUCCESS;
    };
    c.rules.push_back(Control(IOCTL_SERIAL_GET_PROPERTIES, [](PIRP irp, ULONG out, std::string) {
        if (out < sizeof(SERIAL_COMMPROP))
            return fake::CompleteWith(irp, STATUS_BUFFER_TOO_SMALL);
        SERIAL_COMMPROP p{}; // what the tests read of it
        p.PacketLength = sizeof p;
        p.MaxBaud = SERIAL_BAUD_USER;
        p.SettableStopParity = 0x1F07;
        p.CurrentRxQueue = 4096;
        std::memcpy(irp->AssociatedIrp.SystemBuffer, &p, sizeof p);
        return fake::CompleteWith(irp, STATUS_SUCCESS, sizeof p);
    }));
    c.rules.push_back(Control(IOCTL_SERIAL_WAIT_ON_MASK, [this](PIRP irp, ULONG out, std::string) {
        if (out < sizeof(ULONG))
            return fake::CompleteWith(irp, STATUS_BUFFER_TOO_SMALL);
        if (waitMask == 0 || WaitPending())
            return fake::CompleteWith(irp, STATUS_INVALID_PARAMETER);
        return driver.Hold(irp);
    }));
    for (ULONG code : {IOCTL_SERIAL_SET_QUEUE_SIZE, IOCTL_SERIAL_PURGE, IOCTL_SERIAL_IMMEDIATE_CHAR,
                       IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_RTS,
                       IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF,
                       IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_RESET_DEVICE})
        c.rules.push_back(fake::OnCode(code, Act::Complete));
    c.rules.push_back(
        fake::Runs(IRP_MJ_READ, [this](PDEVICE_OBJECT, PIRP irp) { return Read(irp); }));
    c.rules.push_back(fake::Runs(IRP_MJ_WRITE, [this](PDEVICE_OBJECT, PIRP irp) {
        const ULONG n = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
        written.append(static_cast<const char*>(irp->AssociatedIrp.SystemBuffer), n);
        return fake::CompleteWith(irp, STATUS_SUCCESS, n);
    }));
    c.rules.push_back(fake::OnCode(kEcho, Act::Echo));
    c.rules.push_back(fake::OnCode(kPend, Act::Pend));
    c.rules.push_back(Control(kFailWith, [](PIRP irp, ULONG, const std::string& in) {
        NTSTATUS failure;
        if (in.size() < sizeof failure)
            return fake::CompleteWith(irp, STATUS_BUFFER_TOO_SMALL);
        std::memcpy(&failure, in.data(), sizeof failure);
        return fake::CompleteWith(irp, failure);
    }));
    c.rules.push_back(Control(kFeed, [this](PIRP irp, ULONG, const std::string& in) {
        received += in;
        if (PIRP read = driver.Take(IRP_MJ_READ))
            Deliver(read);
        return fake::CompleteWith(irp, STATUS_SUCCESS);
    }));
    c.rules.push_back(
        fake::On(IRP_MJ_DEVICE_CONTROL, Act::Complete, STATUS_INVALID_DEVICE_REQUEST));
    // Everything the handle left queued ends at cleanup, or it cannot close.
    fake::Rule cleanup = fake::On(IRP_MJ_CLEANUP, Act::Complete);
    cleanup.run = [this](PDEVICE_OBJECT, PIRP) { return driver.CancelHeld(), STATUS_SUCCESS; };
    c.rules.push_back(cleanup);
    return c;
}

// A synchronous handle on COM7 from SetUp.
struct CommTest : SerialRig {
    void SetUp() override {
        port = Open("\\\\.\\COM7");
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
    }
};

// An overlapped handle on COM7, and an OVERLAPPED with a manual-reset event
// of its own for a request on it.
struct OverlappedRig : SerialRig {
    void SetUp() override {
        port = Open("\\\\.\\COM7", FILE_FLAG_OVERLAPPED);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        ov.hEvent = event;
    }
    void TearDown() override {
        EXPECT_TRUE(CloseHandle(event));
        SerialRig::TearDown();
    }
    bool Signalled() { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    DWORD n = 0;
};
