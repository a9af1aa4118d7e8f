// What the load suites share (stress, races, pool and its bench): a phone
// with one interface on a machine of the caller's making, a seeded stream of
// bytes, and an overlapped request with an event of its own for a thread
// that waits on it. Unlike rig::Machine, the machine here may be the
// Concurrent one or run an explored schedule, and the phone has only the
// port under load, so that nothing else adds to the interleaving.
#pragma once

#include "common/machine.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace load {

// Byte i of the stream seeded with `seed`: what a phone sends and its
// reader checks, different for every seed and position.
inline uint8_t StreamByte(uint64_t seed, uint64_t i) {
    uint64_t z = (i + 1) * 0x9E3779B97F4A7C15ull ^ seed;
    z = (z ^ (z >> 31)) * 0xBF58476D1CE4E5B9ull;
    return static_cast<uint8_t>(z >> 56);
}

inline std::string Hex(ULONG value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// An overlapped request whose OVERLAPPED carries an event, so that the
// thread that issued it can block on it (GetOverlappedResult, a wait).
struct Io : rig::Request {
    Io() { overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Io() { CloseHandle(overlapped.hEvent); }
    Io(const Io&) = delete;
    Io& operator=(const Io&) = delete;
};

// A kernel made with `options` (running `schedule` when given one, which
// must be in use before anything else runs), both driver images, the bus
// and a phone with the one interface `kind`, plugged and started.
class OnePort {
public:
    OnePort(const sim::Options& options, usb::InterfaceKind kind,
            const sim::Schedule* schedule = nullptr)
        : kernel_(options) {
        if (schedule != nullptr)
            sim::UseSchedule(*schedule);
        sim::RegisterDriverImage("vxqt70modem", VXQT70_MODEM_IMAGE);
        sim::RegisterDriverImage("vxqt70diag", VXQT70_DIAG_IMAGE);
        bus_ = std::make_unique<usb::Bus>();
        usb::PhoneConfig config;
        config.interfaces = {kind};
        phone_ = &bus_->PlugIn(config);
        node_ = sim::PnpFindNode(Usb().Pdo());
    }
    ~OnePort() {
        if (port != INVALID_HANDLE_VALUE)
            CloseHandle(port);
        bus_.reset();
    }

    usb::Interface& Usb() { return phone_->At(0); }
    usb::Phone& Phone() { return *phone_; }
    sim::DevNode* Node() const { return node_; }
    bool Started() const { return node_ != nullptr && node_->state == sim::DevNodeState::Started; }
    // CreateFile as a serial program calls it (overlapped, exclusive).
    bool Open() {
        const std::string name = "\\\\.\\COM" + std::to_string(node_->comPort);
        port = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
        return port != INVALID_HANDLE_VALUE;
    }

    HANDLE port = INVALID_HANDLE_VALUE;

private:
    sim::Kernel kernel_;
    std::unique_ptr<usb::Bus> bus_;
    usb::Phone* phone_ = nullptr;
    sim::DevNode* node_ = nullptr;
};

} // namespace load
