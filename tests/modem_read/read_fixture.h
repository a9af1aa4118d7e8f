// The modem port opened as a serial program opens it (see
// modem_port/port_fixture.h), with what the receive-side tests add: reads
// and wait-on-mask requests left in flight, time-outs and masks set through
// the serial control codes, bytes and notifications sent by the phone, and
// the machine run until the bus has delivered them.
#pragma once

#include "modem_port/port_fixture.h"

#include <memory>
#include <string>
#include <vector>

namespace modem_read {

using modem_port::Request;
using modem_port::Result;

constexpr ULONG kMaxUlong = 0xFFFFFFFF;

inline std::string Text(const Request& read) {
    return std::string(read.output.begin(), read.output.begin() + read.Bytes());
}

class ModemRead : public modem_port::ModemPort {
protected:
    void SetUp() override {
        ModemPort::SetUp();
        if (!HasFatalFailure()) {
            Open();
        }
        sim::RunUntilIdle();
    }

    void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant) {
        SERIAL_TIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = interval;
        timeouts.ReadTotalTimeoutMultiplier = multiplier;
        timeouts.ReadTotalTimeoutConstant = constant;
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts), STATUS_SUCCESS);
    }
    void SetWaitMask(ULONG mask) {
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, mask), STATUS_SUCCESS);
    }
    // Requests left in flight live until the port has been closed in
    // TearDown, so that a cancellation at cleanup writes into live buffers.
    Request* StartRead(DWORD length) {
        SetLastError(0);
        Request* read = Keep(ModemPort::StartRead(length));
        lastError_ = GetLastError();
        return read;
    }
    Request* StartWait() {
        SetLastError(0);
        Request* wait = Keep(StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG)));
        lastError_ = GetLastError();
        return wait;
    }
    Request* Keep(std::unique_ptr<Request> request) {
        kept_.push_back(std::move(request));
        return kept_.back().get();
    }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE) {
            CloseHandle(port_);
            port_ = INVALID_HANDLE_VALUE;
        }
    }
    static ULONG EventsOf(const Request& wait) { return wait.OutputAs<ULONG>(); }

    // A request the dispatch routine refused at once: its status, or, where
    // kernel32 reports such a failure through the last error only, that.
    bool Refused(const Request& request, NTSTATUS status) const {
        if (request.Done()) {
            return request.Status() == status;
        }
        return lastError_ == RtlNtStatusToDosError(status);
    }

    // The phone sends; the bus completes the bulk-in transfer waiting for it.
    void Deliver(const std::string& text) {
        Modem().Push(text);
        sim::RunUntilIdle();
    }
    void Deliver(const std::vector<uint8_t>& bytes) {
        Modem().Push(bytes.data(), bytes.size());
        sim::RunUntilIdle();
    }
    void SerialState(USHORT uartState) {
        Modem().SendSerialState(uartState);
        sim::RunUntilIdle();
    }
    ULONG ModemStatus() { return Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS); }
    // What an immediate read takes from the ring now.
    std::string Drain(DWORD length = 8192) {
        SetTimeouts(kMaxUlong, 0, 0);
        auto read = StartRead(length);
        sim::RunUntilIdle();
        EXPECT_TRUE(read->Done());
        return Text(*read);
    }

    DWORD lastError_ = 0;
    std::vector<std::unique_ptr<Request>> kept_;
};

} // namespace modem_read
