// A phone pool on one PC: 64 phones (128 ports) on the Concurrent machine,
// every port open and streaming at once with every byte checked.
//
//  1. Aggregate phone -> application throughput with the whole process on 1
//     processor and on 2 (the machine's threads inherit the mask), and the
//     drivers' non-paged memory per port from the pool ledger, sampled
//     through the run (it must stay flat);
//  2. single phones pulled and plugged again while the others stream;
//  3. with non-paged pool of 128 MB and 256 MB: how many phones fit, what
//     the first port that does not fit reports, and that the others stream.
//
//   build/host-release/bench/pool_bench [--phones 64] [--seconds 3] [--only 1|2]
//
// Exit status 0 when every byte arrived intact and every check held.
#include "pool/phone_pool.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;
using pool::PhonePool;

int g_failures = 0;

void Check(bool ok, const std::string& what) {
    if (!ok) {
        std::printf("FAIL  %s\n", what.c_str());
        g_failures++;
    }
}

void Sleep(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// Every started port's stream had no fault and moved since `before`.
void CheckStreams(PhonePool& rig, const std::vector<uint64_t>& before, const char* phase) {
    for (size_t i = 0; i < rig.PortCount(); i++) {
        if (rig.At(i).handle == INVALID_HANDLE_VALUE)
            continue;
        Check(rig.At(i).Fault().empty(),
              std::string(phase) + ": port " + std::to_string(i) + ": " + rig.At(i).Fault());
        Check(rig.At(i).received > (i < before.size() ? before[i] : 0),
              std::string(phase) + ": port " + std::to_string(i) + " stalled");
    }
}

std::vector<uint64_t> Received(PhonePool& rig) {
    std::vector<uint64_t> r;
    for (size_t i = 0; i < rig.PortCount(); i++)
        r.push_back(rig.At(i).received);
    return r;
}

struct Run {
    double bytesPerSecond = 0;
    size_t minPerPort = SIZE_MAX, maxPerPort = 0;
};

Run Throughput(unsigned cpus, size_t phones, double seconds, bool replug) {
    Run run;
    if (!pool::LimitProcessors(cpus))
        std::printf("note: could not limit the process to %u processor(s)\n", cpus);
    PhonePool rig;
    for (size_t p = 0; p < phones; p++)
        Check(rig.Plug(p) == 2, "phone " + std::to_string(p) + " did not start");
    for (size_t i = 0; i < rig.PortCount(); i++)
        Check(rig.Open(i, 0x5EED0000 + i), "port " + std::to_string(i) + " did not open");
    Sleep(0.3); // every thread under way
    auto sample = [&] {
        size_t perPort = PhonePool::DriverBytes() / rig.PortCount();
        run.minPerPort = std::min(run.minPerPort, perPort);
        run.maxPerPort = std::max(run.maxPerPort, perPort);
    };
    const uint64_t from = rig.Received();
    const auto start = Clock::now();
    for (int k = 0; k < 10; k++) {
        Sleep(seconds / 10);
        sample();
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    run.bytesPerSecond = static_cast<double>(rig.Received() - from) / elapsed;
    CheckStreams(rig, std::vector<uint64_t>(), "streaming");

    if (replug) {
        // Phones pulled and plugged again in turn while the others stream;
        // each comes back under its COM names.
        for (size_t p = 1; p < phones; p += std::max<size_t>(1, phones / 4)) {
            const unsigned modem = rig.At(2 * p).node->comPort;
            auto before = Received(rig);
            before[2 * p] = before[2 * p + 1] = 0; // their streams start again
            rig.Unplug(p);
            Sleep(0.1);
            Check(rig.Plug(p) == 2, "phone " + std::to_string(p) + " did not come back");
            Check(rig.At(2 * p).node->comPort == modem, "phone " + std::to_string(p) +
                                                            " came back under another name");
            for (size_t i = 2 * p; i < 2 * p + 2; i++)
                Check(rig.Open(i, 0xBAC00000 + i), "port " + std::to_string(i) + " did not reopen");
            Sleep(0.3);
            CheckStreams(rig, before, "replug");
            sample();
        }
    }
    for (size_t i = 0; i < rig.PortCount(); i++)
        rig.Close(i);
    return run;
}

struct Fit {
    size_t phones = 0, ports = 0;
    std::string status;
};

Fit PoolLimit(size_t limit, size_t cap) {
    Fit fit;
    pool::LimitProcessors(0);
    PhonePool rig(limit);
    size_t p = 0;
    for (; p < cap; p++) {
        int started = rig.Plug(p);
        fit.ports += static_cast<size_t>(started);
        if (started < 2)
            break;
        fit.phones++;
    }
    if (p == cap)
        return fit;
    sim::DevNode* failed = rig.At(2 * p + static_cast<size_t>(rig.Started(2 * p) ? 1 : 0)).node;
    char text[96];
    std::snprintf(text, sizeof text, "%s, 0x%08X", sim::DevNodeStateName(failed->state),
                  static_cast<unsigned>(failed->problem));
    fit.status = text;
    Check(failed->fdo == nullptr &&
              sim::LookupDevice(u"\\DosDevices\\COM" + sim::U16(std::to_string(failed->comPort))) ==
                  nullptr,
          "the port that did not fit left a device");
    // The first and last few started ports keep streaming.
    std::vector<size_t> open;
    for (size_t i = 0; i < fit.ports && i < 8; i++)
        open.push_back(i);
    for (size_t i = fit.ports > 16 ? fit.ports - 8 : 8; i < fit.ports; i++)
        open.push_back(i);
    for (size_t i : open)
        Check(rig.Open(i, 0x1000 + i), "port " + std::to_string(i) + " did not open at the limit");
    Sleep(0.5);
    CheckStreams(rig, std::vector<uint64_t>(), "at the pool limit");
    for (size_t i : open)
        rig.Close(i);
    return fit;
}

} // namespace

int main(int argc, char** argv) {
    size_t phones = 64;
    double seconds = 3;
    unsigned only = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--phones") == 0)
            phones = std::strtoul(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::strtod(argv[i + 1], nullptr);
        else if (std::strcmp(argv[i], "--only") == 0)
            only = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
    }
    if (only != 0) {
        // One streaming run on that many processors, nothing else: for a
        // profiler.
        const Run run = Throughput(only, phones, seconds, false);
        std::printf("%u processor(s): %.2f MB/s\n", only, run.bytesPerSecond / 1e6);
        return g_failures == 0 ? 0 : 1;
    }
    std::printf("phone pool: %zu phones, %zu ports, %.1f s per run, %u processors on this host\n",
                phones, 2 * phones, seconds, std::thread::hardware_concurrency());

    const Run one = Throughput(1, phones, seconds, false);
    const Run two = Throughput(2, phones, seconds, true);
    std::printf("\n%-12s %14s %14s %22s\n", "processors", "MB/s (all)", "KB/s per port",
                "driver bytes per port");
    for (const auto& [cpus, run] : {std::pair<int, Run>{1, one}, {2, two}})
        std::printf("%-12d %14.2f %14.1f %10zu..%-10zu\n", cpus, run.bytesPerSecond / 1e6,
                    run.bytesPerSecond / 1e3 / static_cast<double>(2 * phones), run.minPerPort,
                    run.maxPerPort);
    std::printf("speed-up 1 -> 2 processors: %.2fx\n", two.bytesPerSecond / one.bytesPerSecond);
    // A transfer's or a write's context comes and goes; the rings and
    // device objects stay. More than that per port would be a leak.
    Check(one.maxPerPort - one.minPerPort < 1024 && two.maxPerPort - two.minPerPort < 1024,
          "the drivers' memory per port grew during the run");

    std::printf("\n%-12s %8s %8s  %s\n", "pool limit", "phones", "ports", "next port");
    for (size_t mb : {128, 256}) {
        const Fit fit = PoolLimit(mb << 20, 200);
        std::printf("%-12s %8zu %8zu  %s\n", (std::to_string(mb) + " MB").c_str(), fit.phones,
                    fit.ports, fit.status.empty() ? "(all fit)" : fit.status.c_str());
    }
    std::printf("\n%s\n", g_failures == 0 ? "all checks held" : "CHECKS FAILED");
    return g_failures == 0 ? 0 : 1;
}
