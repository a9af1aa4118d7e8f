// A phone pool: many phones on one simulated PC, as an SMS gateway or a test
// rack has them, every port open and streaming at once on the Concurrent
// machine. Shared by the pool tests and bench/pool_bench.cpp.
//
// Each open port has its own thread: it keeps the phone at most kAhead bytes
// ahead of what it read (far below the port's 1,024,000-byte ring, so no
// byte may be lost), reads up to 4096 bytes at a time, and checks every byte
// against the port's seeded stream.
#pragma once

#include "common/load.h" // StreamByte

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pool {

constexpr uint64_t kAhead = 16 * 1024;
// A rack of phones sits behind several host controllers (PCI cards with a
// few root ports each), each with its own frame tick; eight of them here.
constexpr unsigned kControllers = 8;
constexpr DWORD kReadSize = 4096;

// Runs thread `thread` (0: the calling one), and every thread it starts
// afterwards (the Concurrent machine's clock and DPC processors included), on
// the first `count` processors. 0: all of them.
inline bool LimitProcessors(unsigned count, pid_t thread = 0) {
    cpu_set_t set;
    CPU_ZERO(&set);
    unsigned cpus = std::thread::hardware_concurrency();
    for (unsigned i = 0; i < (count == 0 ? cpus : std::min(count, cpus)); i++)
        CPU_SET(i, &set);
    return sched_setaffinity(thread, sizeof set, &set) == 0;
}

struct Port {
    usb::Interface* usb = nullptr;
    sim::DevNode* node = nullptr;
    HANDLE handle = INVALID_HANDLE_VALUE;
    uint64_t seed = 0;
    std::atomic<uint64_t> pushed{0};
    std::atomic<uint64_t> received{0};
    std::atomic<bool> stop{false};
    // The first thing that went wrong: written once by the port's thread,
    // which then stops; read it only once `failed` is set.
    std::atomic<bool> failed{false};
    std::string fault;
    std::string Fault() const { return failed.load(std::memory_order_acquire) ? fault : ""; }
    std::thread thread;
    std::atomic<pid_t> tid{0}; // the host's id of `thread`, once it runs
};

class PhonePool {
public:
    explicit PhonePool(size_t poolLimit = 0) {
        sim::Options options;
        options.mode = sim::Mode::Concurrent;
        kernel_ = std::make_unique<sim::Kernel>(options);
        sim::RegisterDriverImage("vxqt70modem", VXQT70_MODEM_IMAGE);
        sim::RegisterDriverImage("vxqt70diag", VXQT70_DIAG_IMAGE);
        sim::SetNonPagedPoolLimit(poolLimit);
        bus_ = std::make_unique<usb::Bus>();
    }
    ~PhonePool() {
        for (size_t i = 0; i < ports_.size(); i++)
            Close(i);
        bus_.reset();
        kernel_.reset();
    }

    // Plugs phone `phone` (serial VXP<phone>, the same each time, so it
    // comes back as the same device instance); returns how many of its two
    // ports started. Ports 2*phone and 2*phone+1 are its modem and
    // diagnostics ports.
    int Plug(size_t phone) {
        usb::PhoneConfig config;
        std::string serial = "VXP" + std::to_string(phone);
        config.serial.assign(serial.begin(), serial.end());
        config.hostController = static_cast<unsigned>(phone % kControllers);
        if (phones_.size() < phone + 1)
            phones_.resize(phone + 1);
        phones_[phone] = &bus_->PlugIn(config);
        int started = 0;
        for (size_t i = 0; i < 2; i++) {
            auto& port = Slot(2 * phone + i);
            port.usb = &phones_[phone]->At(i);
            port.node = sim::PnpFindNode(port.usb->Pdo());
            started += Started(2 * phone + i) ? 1 : 0;
        }
        return started;
    }
    // Pulls the phone while its ports may be streaming; closes them.
    void Unplug(size_t phone) {
        for (size_t i = 2 * phone; i < 2 * phone + 2; i++)
            Slot(i).stop = true;
        phones_[phone]->Unplug();
        for (size_t i = 2 * phone; i < 2 * phone + 2; i++)
            Close(i);
    }

    bool Started(size_t port) {
        auto* node = Slot(port).node;
        return node != nullptr && node->state == sim::DevNodeState::Started;
    }
    size_t PortCount() const { return ports_.size(); }
    Port& At(size_t port) { return Slot(port); }

    // Opens the port and starts its stream; false when it does not open.
    bool Open(size_t port, uint64_t seed) {
        Port& p = Slot(port);
        const std::string name = "\\\\.\\COM" + std::to_string(p.node->comPort);
        p.handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (p.handle == INVALID_HANDLE_VALUE)
            return false;
        // A read returns as soon as bytes are there, or empty after 50 ms.
        COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 50, 0, 0};
        SetCommTimeouts(p.handle, &timeouts);
        p.seed = seed;
        p.pushed = p.received = 0;
        p.stop = false;
        p.failed = false;
        p.fault.clear();
        p.thread = std::thread([&p, port] {
            pthread_setname_np(pthread_self(), ("port-" + std::to_string(port)).c_str());
            p.tid = gettid();
            Stream(p);
        });
        return true;
    }
    void Close(size_t port) {
        Port& p = Slot(port);
        p.stop = true;
        if (p.thread.joinable())
            p.thread.join();
        p.tid = 0;
        if (p.handle != INVALID_HANDLE_VALUE)
            CloseHandle(p.handle);
        p.handle = INVALID_HANDLE_VALUE;
    }

    uint64_t Received() const {
        uint64_t total = 0;
        for (const auto& p : ports_)
            total += p ? p->received.load() : 0;
        return total;
    }
    // Non-paged bytes the two port drivers hold now (device objects with
    // their rings, and pool), from the pool ledger.
    // `service` NULL: both drivers'.
    static size_t DriverBytes(const char* service = nullptr) {
        size_t bytes = 0;
        for (const char* name : {"vxqt70modem", "vxqt70diag"})
            if (PDRIVER_OBJECT driver = sim::LoadedDriver(name))
                for (const auto& u : sim::PoolLedger())
                    if (u.driver == driver && (service == nullptr || std::string(service) == name))
                        bytes += u.bytes;
        return bytes;
    }

private:
    Port& Slot(size_t i) {
        while (ports_.size() <= i)
            ports_.push_back(nullptr);
        if (!ports_[i])
            ports_[i] = std::make_unique<Port>();
        return *ports_[i];
    }

    static void Fail(Port& p, const std::string& what) {
        p.fault = what;
        p.failed.store(true, std::memory_order_release);
    }

    static void Stream(Port& p) {
        std::vector<uint8_t> chunk(kReadSize), buffer(kReadSize);
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        while (!p.stop && !p.failed) {
            uint64_t pushed = p.pushed;
            if (pushed - p.received < kAhead) {
                for (DWORD k = 0; k < kReadSize; k++)
                    chunk[k] = load::StreamByte(p.seed, pushed + k);
                // Whole transfers, no zero-length packet after each: the
                // bulk-in transfer ends because its buffer is full.
                p.usb->Push(chunk.data(), chunk.size(), usb::Pipe::BulkIn, 0, false);
                p.pushed = pushed + kReadSize;
            }
            DWORD got = 0;
            if (!ReadFile(p.handle, buffer.data(), kReadSize, &got, &ov) &&
                (GetLastError() != ERROR_IO_PENDING ||
                 !GetOverlappedResult(p.handle, &ov, &got, TRUE))) {
                if (!p.stop)
                    Fail(p, "read failed with error " + std::to_string(GetLastError()));
                break;
            }
            uint64_t at = p.received;
            for (DWORD k = 0; k < got && !p.failed; k++)
                if (buffer[k] != load::StreamByte(p.seed, at + k))
                    Fail(p, "byte " + std::to_string(at + k) + " differs");
            p.received = at + got;
            if (p.received > p.pushed && !p.failed)
                Fail(p, "more bytes than the phone sent");
        }
        CloseHandle(ov.hEvent);
    }

    std::unique_ptr<sim::Kernel> kernel_;
    std::unique_ptr<usb::Bus> bus_;
    std::vector<usb::Phone*> phones_;
    std::vector<std::unique_ptr<Port>> ports_;
};

} // namespace pool
