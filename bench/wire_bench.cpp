// How fast the ports move bytes on a wire-timed USB bus, in virtual time:
// what a user of these drivers gets on a real full-speed or high-speed bus,
// given that each port keeps exactly one bulk-in transfer (and one bulk-out
// piece) in flight.
//
// For each port, at full and high speed, with the host controller's
// completion immediate and with about 1 ms of interrupt moderation:
//  - phone -> application and application -> phone throughput, as a share
//    of the wire's bulk limit, next to what the wire calculator gives for
//    one transfer in flight and for an idealised host that keeps four
//    4096-byte transfers queued (the bus never idle);
//  - the latency from a byte leaving the phone (mid-frame) to ReadFile
//    returning it, for reads of 1 and 4096 bytes under each class of read
//    time-out, next to the idealised host's (its transfer is always there).
//
//   build/host-release/bench/bench_wire
//
// The machine is the deterministic one: the application blocks, and the
// virtual clock moves from one bus completion to the next, so the figures
// are exact and the same on every run. Exit status 0 when every byte came
// through intact.
#include "common/machine.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr LONGLONG kMs = 10000;
constexpr ULONG kStream = 256 * 1024;
int g_failures = 0;

void Check(bool ok, const std::string& what) {
    if (!ok) {
        std::printf("FAIL  %s\n", what.c_str());
        g_failures++;
    }
}

std::vector<uint8_t> Pattern(size_t length, size_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; i++)
        bytes[i] = static_cast<uint8_t>((i + seed) * 7 + (i + seed) / 251);
    return bytes;
}

struct Wire {
    WIRE_SPEED speed;
    LONGLONG latency;
    const char* name;
    ULONGLONG phoneRate = 0; // bytes/s the phone's radio brings in (0: as the bus takes them)
};
const Wire kWires[] = {
    {WireFullSpeed, 0, "FS"},
    {WireFullSpeed, kMs, "FS+1ms"},
    {WireHighSpeed, 0, "HS"},
    {WireHighSpeed, kMs, "HS+1ms"},
    // A modem behind a 7.2 Mbit/s radio link.
    {WireFullSpeed, kMs, "FS+1ms 7.2M", 900000},
    {WireHighSpeed, kMs, "HS+1ms 7.2M", 900000},
};

struct TimeoutClass {
    const char* name;
    ULONG interval, multiplier, constant;
};
// The classes of read time-out an application picks from (Win32's
// COMMTIMEOUTS): return with the first bytes, gaps between bytes, a total.
const TimeoutClass kClasses[] = {
    {"first", MAXDWORD, MAXDWORD, 1000},
    {"interval", 10, 0, 0},
    {"total", 0, 0, 50},
};

ULONGLONG Limit(WIRE_SPEED speed) {
    WIRE_BUS bus;
    WireInitBus(&bus, speed, 0);
    return WireBulkLimit(&bus);
}

double Share(ULONGLONG bytes, LONGLONG elapsed, WIRE_SPEED speed) {
    if (elapsed <= 0)
        return 0;
    return static_cast<double>(bytes) * kWireSecond / static_cast<double>(elapsed) /
           static_cast<double>(Limit(speed));
}

// The calculator's stream: one application on an otherwise idle bus.
double Ideal(const Wire& wire, BOOLEAN in, ULONG inFlight) {
    WIRE_BUS bus;
    WIRE_STREAM s;
    WireStream(&bus, wire.speed, wire.latency, in, 4096, inFlight, kStream, nullptr, &s);
    return s.PerMilleOfLimit / 1000.0;
}

// Moves the clock to the middle of a (micro)frame a little ahead.
LONGLONG MidFrame(const Wire& wire) {
    const LONGLONG frame = wire.speed == WireHighSpeed ? kWireHighSpeedFrame : kWireFullSpeedFrame;
    const LONGLONG at = (sim::Now() / (10 * kMs) + 1) * 10 * kMs + frame / 2;
    sim::AdvanceClock(at - sim::Now());
    return at;
}

DWORD Finish(rig::ComPort& port, rig::Request& r) {
    DWORD got = 0;
    if (!r.failedAtOnce)
        GetOverlappedResult(port.Handle(), &r.overlapped, &got, TRUE);
    return got;
}

class Bench {
public:
    Bench(rig::Which which, const Wire& wire) : which_(which), wire_(wire) {
        options_.phone = [&wire](usb::PhoneConfig& config) {
            config.TimeWire(wire.speed, wire.latency, wire.phoneRate);
        };
        machine_ = std::make_unique<rig::Machine>(VXQT70_MODEM_IMAGE, VXQT70_DIAG_IMAGE, options_);
        Check(Port().Open() == 0, "the port opened");
    }
    ~Bench() {
        Port().Close();
        machine_.reset();
    }
    rig::ComPort& Port() { return machine_->Port(which_); }

    // The phone has kStream bytes from P; the application reads 4096 at a
    // time, taking what has arrived.
    double In(double* bytesPerSecond) {
        Port().SetTimeouts(MAXDWORD, MAXDWORD, 60000);
        const std::vector<uint8_t> bytes = Pattern(kStream, 1);
        const LONGLONG p = MidFrame(wire_);
        Port().Usb()->Push(bytes.data(), bytes.size(), usb::Pipe::BulkIn, 0, false);
        std::vector<uint8_t> got;
        while (got.size() < kStream) {
            rig::Request& r = Port().StartRead(4096);
            const DWORD n = Finish(Port(), r);
            Check(n != 0 && r.Status() == STATUS_SUCCESS, "a read brought bytes");
            if (n == 0)
                break;
            got.insert(got.end(), r.output.begin(), r.output.begin() + n);
            Port().Prune();
        }
        Check(got == bytes, "every byte read intact");
        *bytesPerSecond =
            static_cast<double>(kStream) * kWireSecond / static_cast<double>(sim::Now() - p);
        return Share(kStream, sim::Now() - p, wire_.speed);
    }

    // The application writes kStream bytes in writes of 64 KiB from P.
    double Out() {
        const std::vector<uint8_t> bytes = Pattern(kStream, 2);
        const LONGLONG p = MidFrame(wire_);
        for (size_t at = 0; at < bytes.size(); at += 65536) {
            rig::Request& r = Port().StartWrite({bytes.begin() + at, bytes.begin() + at + 65536});
            Check(Finish(Port(), r) == 65536, "a write went whole");
            Port().Prune();
        }
        const LONGLONG elapsed = sim::Now() - p;
        Check(Port().Usb()->TakeReceived() == bytes, "the phone got every byte written");
        return Share(kStream, elapsed, wire_.speed);
    }

    // A read of `size` waits; one byte leaves the phone mid-frame at P.
    LONGLONG Latency(ULONG size, const TimeoutClass& c) {
        Port().SetTimeouts(c.interval, c.multiplier, c.constant);
        const LONGLONG p = MidFrame(wire_);
        rig::Request& r = Port().StartRead(size);
        Port().Usb()->Push("L");
        Finish(Port(), r);
        Check(r.Bytes() == 1 && r.output[0] == 'L', "the byte read");
        Port().Prune();
        return sim::Now() - p;
    }

private:
    rig::Which which_;
    Wire wire_;
    rig::MachineOptions options_;
    std::unique_ptr<rig::Machine> machine_;
};

// The idealised host's latency: its transfer has long been waiting, the
// byte goes in the (micro)frame after it leaves, the completion follows.
LONGLONG IdealLatency(const Wire& wire) {
    WIRE_BUS bus;
    WireInitBus(&bus, wire.speed, wire.latency);
    WIRE_PIPE pipe;
    WireInitPipe(&pipe, &bus, WireBulk, TRUE, 0, 0);
    const LONGLONG p = 10 * kMs + bus.Frame / 2;
    const WIRE_SUPPLY one = {p, 1, 0, FALSE, TRUE};
    WireSetSupply(&pipe, &one);
    WIRE_TRANSFER t;
    WireSchedule(&pipe, 0, 4096, &t);
    return t.Completion - p;
}

double Ms(LONGLONG t) {
    return static_cast<double>(t) / kMs;
}

} // namespace

int main() {
    std::printf(
        "Throughput: share of the wire's bulk limit (FS 1,216,000 B/s, HS 53,248,000 B/s);\n"
        "calc: the wire calculator's one transfer in flight; ideal: N kept queued (the wire\n"
        "alone, without the phone's rate)\n");
    std::printf("%-12s %-12s %8s %8s %8s %8s %8s %8s %8s\n", "port", "wire", "in", "in MB/s", "out",
                "calc in", "calc out", "ideal 4", "ideal 16");
    std::vector<std::string> latencies;
    for (rig::Which which : {rig::Which::Modem, rig::Which::Diag}) {
        for (const Wire& wire : kWires) {
            if (wire.phoneRate != 0 && which != rig::Which::Modem)
                continue;
            Bench bench(which, wire);
            double rate = 0;
            const double in = bench.In(&rate);
            const double out = bench.Out();
            std::printf("%-12s %-12s %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f\n",
                        rig::WhichName(which), wire.name, in, rate / 1e6, out, Ideal(wire, TRUE, 1),
                        Ideal(wire, FALSE, 1), Ideal(wire, TRUE, 4), Ideal(wire, TRUE, 16));
            char line[256];
            int at =
                std::snprintf(line, sizeof line, "%-12s %-12s", rig::WhichName(which), wire.name);
            for (ULONG size : {1u, 4096u})
                for (const TimeoutClass& c : kClasses)
                    at += std::snprintf(line + at, sizeof line - static_cast<size_t>(at), " %8.3f",
                                        Ms(bench.Latency(size, c)));
            std::snprintf(line + at, sizeof line - static_cast<size_t>(at), " %8.3f",
                          Ms(IdealLatency(wire)));
            latencies.push_back(line);
        }
    }
    std::printf(
        "\nLatency in ms from a byte leaving the phone mid-frame to ReadFile returning it,\n"
        "by read size and read time-out: first = (MAXDWORD, MAXDWORD, 1000), interval =\n"
        "(10, 0, 0), total = (0, 0, 50); ideal: a transfer always waiting at the bus\n");
    std::printf("%-25s %-26s %-26s\n", "", "--- read of 1 byte ---", "--- read of 4096 bytes ---");
    std::printf("%-12s %-12s", "port", "wire");
    for (int i = 0; i < 2; i++)
        for (const TimeoutClass& c : kClasses)
            std::printf(" %8s", c.name);
    std::printf(" %8s\n", "ideal");
    for (const std::string& line : latencies)
        std::printf("%s\n", line.c_str());
    std::printf("\n%s\n", g_failures == 0 ? "Every byte intact." : "FAILURES.");
    return g_failures == 0 ? 0 : 1;
}
