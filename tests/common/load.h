// What the load suites share (stress, races, pool and its bench): a phone
// with one interface on a machine of the caller's making, a seeded stream of
// bytes, and an overlapped request with an event of its own for a thread
// that waits on it.
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

// The machine with a phone that has only the one interface `kind`, plugged
// and started, on a kernel in `mode` (running `schedule` when given one),
// and a raw handle on its port for threads that block on their requests.
class OnePort : public rig::Machine {
public:
    OnePort(sim::Mode mode, usb::InterfaceKind kind, const sim::Schedule* schedule = nullptr,
            uint64_t seed = 1)
        : rig::Machine(VXQT70_MODEM_IMAGE, VXQT70_DIAG_IMAGE, Options(mode, kind, schedule, seed)),
          which_(kind == usb::InterfaceKind::Modem ? rig::Which::Modem : rig::Which::Diag) {}
    ~OnePort() {
        if (port != INVALID_HANDLE_VALUE)
            CloseHandle(port);
    }

    usb::Interface& Usb() { return *Machine::Usb(which_); }
    sim::DevNode* Node() { return Machine::Node(which_); }
    bool Started() { return Machine::Started(which_); }
    // CreateFile as a serial program calls it (overlapped, exclusive).
    bool Open() {
        port = CreateFileA(Port(which_).ComName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        return port != INVALID_HANDLE_VALUE;
    }

    HANDLE port = INVALID_HANDLE_VALUE;

private:
    static rig::MachineOptions Options(sim::Mode mode, usb::InterfaceKind kind,
                                       const sim::Schedule* schedule, uint64_t seed) {
        rig::MachineOptions o;
        o.mode = mode;
        o.schedule = schedule;
        o.seed = seed;
        o.interfaces = {kind};
        return o;
    }
    rig::Which which_;
};

} // namespace load
