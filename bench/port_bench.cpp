// How fast bytes cross each COM port, against what the same volumes cost
// through a Linux pseudo-terminal pair in raw mode and through a plain
// two-copy memcpy loop, all in one run so the ratios are fair.
//
// Phone -> application: each iteration the phone sends one 4096-byte bulk-in
// transfer's worth and the application takes it with reads of 1, 64 or 4096
// bytes. Application -> phone: each iteration is one write of 64 or 65536
// bytes. The pseudo-terminal moves the same chunk from master to slave (or
// slave to master) with reads and writes of the same sizes; the memcpy loop
// copies in and out once each, the least any port can do.
//
// The port cases also count allocations (pool blocks, and IRPs and other
// kernel objects) per bulk-in transfer and per bulk-out piece: the receive
// path should allocate one IRP per transfer and the write path nothing per
// piece.
//
// The machine is the deterministic one: one simulated processor, on which
// the bus's frame tick runs whenever the application waits.
//
// Every case is timed by the wall clock, not by the calling thread's CPU
// time: a pseudo-terminal hands its bytes to the reader through the kernel's
// flush worker, whose time the reader's CPU clock never sees, while the
// simulated port does all its work on the calling thread. What an
// application waits for is the wall-clock time.
#include "platform/sim/sim.h"
#include "platform/usb/bus.h"
#include "platform/win32/win32.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kChunk = 4096; // one full bulk-in transfer
constexpr int kModem = 0;
constexpr int kDiag = 1;

std::vector<uint8_t> Pattern(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; i++)
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return bytes;
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "bench_ports: %s\n", what);
    std::abort();
}

// ---------------------------------------------------------------- the simulated port

class PortMachine {
public:
    explicit PortMachine(int kind) {
        sim::RegisterDriverImage("vxqt70modem", VXQT70_MODEM_IMAGE);
        sim::RegisterDriverImage("vxqt70diag", VXQT70_DIAG_IMAGE);
        bus_ = std::make_unique<usb::Bus>();
        usb::PhoneConfig config;
        config.interfaces = {kind == kModem ? usb::InterfaceKind::Modem
                                            : usb::InterfaceKind::Diagnostics};
        phone_ = &bus_->PlugIn(config);
        usb_ = &phone_->At(0);
        sim::DevNode* node = sim::PnpFindNode(usb_->Pdo());
        if (node == nullptr || node->state != sim::DevNodeState::Started)
            Fail("the port did not start");
        const std::string name = "\\\\.\\COM" + std::to_string(node->comPort);
        port_ = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        if (port_ == INVALID_HANDLE_VALUE)
            Fail("the port did not open");
        ov_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        // A read waits for data, and returns with whatever the first
        // transfer brought.
        SERIAL_TIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
        timeouts.ReadTotalTimeoutConstant = 60000;
        Control(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts);
        const int number = usb_->Number();
        phone_->SetEventHook([this, number](const usb::BusEvent& event) {
            if (event.kind != usb::EventKind::Complete || event.interfaceNumber != number)
                return;
            if (event.pipe == usb::Pipe::BulkIn)
                bulkIn_.fetch_add(1, std::memory_order_relaxed);
            else if (event.pipe == usb::Pipe::BulkOut)
                bulkOut_.fetch_add(1, std::memory_order_relaxed);
        });
        sim::RunUntilIdle();
        phone_->ClearTimeline();
    }
    ~PortMachine() {
        phone_->SetEventHook(nullptr);
        CloseHandle(port_);
        CloseHandle(ov_.hEvent);
        bus_.reset();
    }

    void Control(ULONG code, void* in, DWORD inLength) {
        DWORD bytes = 0;
        if (!DeviceIoControl(port_, code, in, inLength, nullptr, 0, &bytes, &ov_) &&
            (GetLastError() != ERROR_IO_PENDING ||
             !GetOverlappedResult(port_, &ov_, &bytes, TRUE)))
            Fail("a control request failed");
    }
    DWORD Read(void* buffer, DWORD length) {
        DWORD bytes = 0;
        if (!ReadFile(port_, buffer, length, &bytes, &ov_)) {
            if (GetLastError() != ERROR_IO_PENDING ||
                !GetOverlappedResult(port_, &ov_, &bytes, TRUE))
                Fail("a read failed");
        }
        return bytes;
    }
    DWORD Write(const void* data, DWORD length) {
        DWORD bytes = 0;
        if (!WriteFile(port_, data, length, &bytes, &ov_)) {
            if (GetLastError() != ERROR_IO_PENDING ||
                !GetOverlappedResult(port_, &ov_, &bytes, TRUE))
                Fail("a write failed");
        }
        return bytes;
    }
    // One full transfer's worth, left open (no zero-length packet after it):
    // the transfer ends because its buffer is full.
    void PhoneSends(const std::vector<uint8_t>& chunk) {
        usb_->Push(chunk.data(), chunk.size(), usb::Pipe::BulkIn, 0, false);
    }
    size_t PhoneTakes() { return usb_->TakeReceived().size(); }
    void Tidy() { phone_->ClearTimeline(); }

    uint64_t BulkIn() const { return bulkIn_.load(); }
    uint64_t BulkOut() const { return bulkOut_.load(); }

private:
    sim::Kernel kernel_;
    std::unique_ptr<usb::Bus> bus_;
    usb::Phone* phone_ = nullptr;
    usb::Interface* usb_ = nullptr;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    OVERLAPPED ov_{};
    std::atomic<uint64_t> bulkIn_{0};
    std::atomic<uint64_t> bulkOut_{0};
};

// Allocations made between construction and Report, per unit.
class AllocationMeter {
public:
    AllocationMeter() : pool_(sim::PoolAllocationCount()), all_(sim::AllocationAttempts()) {}
    void Report(benchmark::State& state, const char* unit, uint64_t units) {
        const double pool = static_cast<double>(sim::PoolAllocationCount() - pool_);
        const double all = static_cast<double>(sim::AllocationAttempts() - all_);
        const double n = units == 0 ? 1.0 : static_cast<double>(units);
        state.counters[std::string("pool_per_") + unit] = pool / n;
        // Every allocation that is not pool: IRPs, built requests, work items.
        state.counters[std::string("irp_per_") + unit] = (all - pool) / n;
        state.counters[std::string(unit) + "s"] = static_cast<double>(units);
    }

private:
    uint64_t pool_;
    uint64_t all_;
};

void PortRead(benchmark::State& state, int kind) {
    const DWORD readSize = static_cast<DWORD>(state.range(0));
    PortMachine port(kind);
    const std::vector<uint8_t> chunk = Pattern(kChunk);
    std::vector<uint8_t> buffer(readSize);
    const uint64_t transfersBefore = port.BulkIn();
    AllocationMeter meter;
    uint64_t n = 0;
    for (auto _ : state) {
        port.PhoneSends(chunk);
        for (size_t got = 0; got < kChunk;)
            got += port.Read(buffer.data(), readSize);
        if ((++n & 255) == 0)
            port.Tidy();
    }
    benchmark::DoNotOptimize(buffer.data());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kChunk));
    meter.Report(state, "bulkin", port.BulkIn() - transfersBefore);
}

void PortWrite(benchmark::State& state, int kind) {
    const DWORD writeSize = static_cast<DWORD>(state.range(0));
    PortMachine port(kind);
    const std::vector<uint8_t> data = Pattern(writeSize);
    const uint64_t piecesBefore = port.BulkOut();
    AllocationMeter meter;
    uint64_t n = 0;
    size_t taken = 0;
    for (auto _ : state) {
        if (port.Write(data.data(), writeSize) != writeSize)
            Fail("a write was cut short");
        if ((++n & 63) == 0) {
            taken += port.PhoneTakes();
            port.Tidy();
        }
    }
    taken += port.PhoneTakes();
    if (taken != static_cast<size_t>(state.iterations()) * writeSize)
        Fail("the phone did not get every byte written");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * writeSize));
    meter.Report(state, "piece", port.BulkOut() - piecesBefore);
}

// ---------------------------------------------------------------- pseudo-terminal

class Pty {
public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            Fail("no pseudo-terminal");
        slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
        if (slave_ < 0)
            Fail("the pseudo-terminal's slave did not open");
        for (int fd : {master_, slave_}) {
            termios t{};
            tcgetattr(fd, &t);
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
    }
    ~Pty() {
        close(slave_);
        close(master_);
    }
    // Moves `length` bytes from `from` to `to`, writing without blocking as
    // much as the line takes and reading `readSize` at a time.
    void Move(int from, int to, const uint8_t* data, size_t length, uint8_t* buffer,
              size_t readSize) {
        SetNonBlocking(from, true);
        size_t written = 0, read = 0;
        while (read < length) {
            if (written < length) {
                ssize_t w = write(from, data + written, length - written);
                if (w > 0)
                    written += static_cast<size_t>(w);
                else if (w < 0 && errno != EAGAIN)
                    Fail("pseudo-terminal write failed");
            }
            if (written > read) {
                ssize_t r = ::read(to, buffer, readSize);
                if (r > 0)
                    read += static_cast<size_t>(r);
                else if (r < 0 && errno != EAGAIN && errno != EINTR)
                    Fail("pseudo-terminal read failed");
            }
        }
    }
    int Master() const { return master_; }
    int Slave() const { return slave_; }

private:
    static void SetNonBlocking(int fd, bool on) {
        int flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
    }
    int master_ = -1;
    int slave_ = -1;
};

void PtyRead(benchmark::State& state) {
    const size_t readSize = static_cast<size_t>(state.range(0));
    Pty pty;
    const std::vector<uint8_t> chunk = Pattern(kChunk);
    std::vector<uint8_t> buffer(readSize);
    for (auto _ : state)
        pty.Move(pty.Master(), pty.Slave(), chunk.data(), kChunk, buffer.data(), readSize);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kChunk));
}

void PtyWrite(benchmark::State& state) {
    const size_t writeSize = static_cast<size_t>(state.range(0));
    Pty pty;
    const std::vector<uint8_t> data = Pattern(writeSize);
    std::vector<uint8_t> buffer(kChunk);
    for (auto _ : state)
        pty.Move(pty.Slave(), pty.Master(), data.data(), writeSize, buffer.data(), kChunk);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * writeSize));
}

// ---------------------------------------------------------------- two copies

void MemcpyRead(benchmark::State& state) {
    const size_t readSize = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t> chunk = Pattern(kChunk);
    std::vector<uint8_t> ring(kChunk), buffer(readSize);
    for (auto _ : state) {
        memcpy(ring.data(), chunk.data(), kChunk);
        for (size_t at = 0; at < kChunk; at += readSize) {
            memcpy(buffer.data(), ring.data() + at, std::min(readSize, kChunk - at));
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kChunk));
}

void MemcpyWrite(benchmark::State& state) {
    const size_t writeSize = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t> data = Pattern(writeSize);
    std::vector<uint8_t> system(writeSize), wire(kChunk);
    for (auto _ : state) {
        memcpy(system.data(), data.data(), writeSize);
        for (size_t at = 0; at < writeSize; at += kChunk) {
            memcpy(wire.data(), system.data() + at, std::min(kChunk, writeSize - at));
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * writeSize));
}

// One modem-control request each iteration, DTR raised and dropped in turn:
// on the modem port each is a class request to the phone, on the
// diagnostics port the driver answers it itself.
void PortControl(benchmark::State& state, int kind) {
    PortMachine port(kind);
    AllocationMeter meter;
    uint64_t n = 0;
    for (auto _ : state) {
        port.Control((n & 1) != 0 ? IOCTL_SERIAL_CLR_DTR : IOCTL_SERIAL_SET_DTR, nullptr, 0);
        if ((++n & 255) == 0)
            port.Tidy();
    }
    meter.Report(state, "request", n);
}

// VXQT70_BENCH_ITERATIONS=n runs each case exactly n iterations, once (no
// ramp-up): scripts/drivercost runs two counts under callgrind and divides
// the difference, so that setup and teardown cancel out.
void Fixed(benchmark::internal::Benchmark* b) {
    b->UseRealTime();
    if (const char* text = std::getenv("VXQT70_BENCH_ITERATIONS"))
        b->Iterations(static_cast<benchmark::IterationCount>(std::strtoull(text, nullptr, 10)));
}

} // namespace

BENCHMARK_CAPTURE(PortRead, Modem, kModem)->Arg(1)->Arg(64)->Arg(4096)->Apply(Fixed);
BENCHMARK_CAPTURE(PortRead, Diag, kDiag)->Arg(1)->Arg(64)->Arg(4096)->Apply(Fixed);
BENCHMARK(PtyRead)->Arg(1)->Arg(64)->Arg(4096)->Apply(Fixed);
BENCHMARK(MemcpyRead)->Arg(1)->Arg(64)->Arg(4096)->Apply(Fixed);
BENCHMARK_CAPTURE(PortWrite, Modem, kModem)->Arg(64)->Arg(65536)->Apply(Fixed);
BENCHMARK_CAPTURE(PortWrite, Diag, kDiag)->Arg(64)->Arg(65536)->Apply(Fixed);
BENCHMARK(PtyWrite)->Arg(64)->Arg(65536)->Apply(Fixed);
BENCHMARK(MemcpyWrite)->Arg(64)->Arg(65536)->Apply(Fixed);
BENCHMARK_CAPTURE(PortControl, Modem, kModem)->Apply(Fixed);
BENCHMARK_CAPTURE(PortControl, Diag, kDiag)->Apply(Fixed);

BENCHMARK_MAIN();
