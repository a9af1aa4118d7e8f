// A phone pool on one PC: 64 phones (128 ports) on the Concurrent machine,
// every port open and streaming at once with every byte checked.
//
//  1. Aggregate phone -> application throughput with the whole process on 1
//     processor and on 2, in turn within one run, with what it cost the host
//     per megabyte, and the drivers' non-paged memory per port from the pool
//     ledger, sampled through the run (it must stay flat). On 2 processors
//     twice: threads where the host puts them, and "affine": each simulated
//     processor on a host processor of its own, the system workers next to
//     the processor whose work they take first, and each port's thread on the
//     processor its phone's host controller interrupts, as a pool's operator
//     would set interrupt and thread affinity; and against two machines, one
//     per processor (Twin), the ceiling for the speed-up;
//  2. single phones pulled and plugged again while the others stream;
//  3. with non-paged pool of 128 MB and 256 MB: how many phones fit, what
//     the first port that does not fit reports, and that the others stream.
//
//   build/host-release/bench/pool_bench [--phones 64] [--seconds 3] [--only 1|2|2a]
//
// Exit status 0 when every byte arrived intact and every check held.
#include "pool/phone_pool.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <optional>
#include <string_view>

#include <dirent.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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
    double bytes = 0, seconds = 0, cpu = 0, switches = 0;
    double BytesPerSecond() const { return bytes / seconds; }
    // What the run cost the host: processor time and context switches of the
    // whole process per megabyte moved, and how many processors it kept busy.
    double CpuMsPerMB() const { return cpu * 1e3 / (bytes / 1e6); }
    double SwitchesPerMB() const { return switches / (bytes / 1e6); }
    double Busy() const { return cpu / seconds; }
};

struct Usage {
    double cpu = 0, switches = 0;
};
Usage Now() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return {seconds(u.ru_utime) + seconds(u.ru_stime),
            static_cast<double>(u.ru_nvcsw + u.ru_nivcsw)};
}

void PlaceOn(pid_t thread, unsigned cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu % std::thread::hardware_concurrency(), &set);
    sched_setaffinity(thread, sizeof set, &set);
}

// Calls `f(tid, name)` for every thread of this process.
template <typename F> void ForEachThread(F f) {
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr)
        return;
    while (dirent* e = readdir(tasks)) {
        if (e->d_name[0] == '.')
            continue;
        char name[16] = {};
        const std::string comm = std::string("/proc/self/task/") + e->d_name + "/comm";
        if (FILE* file = std::fopen(comm.c_str(), "r")) {
            if (std::fgets(name, sizeof name, file) == nullptr)
                name[0] = '\0';
            std::fclose(file);
        }
        f(static_cast<pid_t>(std::atoi(e->d_name)), std::string_view(name));
    }
    closedir(tasks);
}

// Every thread of the process, the machine's own included, on the first
// `count` processors (0: all of them).
void LimitEveryThread(unsigned count) {
    ForEachThread([count](pid_t tid, std::string_view) { pool::LimitProcessors(count, tid); });
}

// How the threads are placed on the host's processors. Twins: this machine
// on processor 0 and an identical one, in a process of its own, on
// processor 1; nothing is shared between them but the host, so what the
// pair moves against what one moves alone is as much as two processors can
// give this host's work, the ceiling for the in-process speed-up.
enum class Placement { One, Two, TwoAffine, Twins };
constexpr Placement kPlacements[] = {Placement::One, Placement::Two, Placement::TwoAffine,
                                     Placement::Twins};
const char* Name(Placement p) {
    switch (p) {
    case Placement::One:
        return "1";
    case Placement::Two:
        return "2";
    case Placement::TwoAffine:
        return "2, affine";
    case Placement::Twins:
        return "2 machines";
    }
    return "?";
}

// The twin's side, in memory both processes share: what it has moved and
// what that cost it, as of a millisecond ago.
struct TwinShared {
    std::atomic<uint64_t> received{0};
    std::atomic<double> cpu{0}, switches{0};
    std::atomic<bool> ready{false}, stop{false}, failed{false};
};

// Affine: the machine's processor threads ("dpc-N", the simulated processor
// N-1) each on its own host processor, the system workers ("worker-N", who
// take processor (N-1) mod 2's work items first) on theirs, and each port's
// thread on the one that runs its host controller's completions (controller
// c interrupts processor c mod 2). One: on host processor `one`; the slices
// of one processor take the host's processors in turn, for the host's
// processors are not equally fast at every moment (a neighbour on the same
// physical core, say), and two processors are measured on both.
void Place(PhonePool& rig, Placement placement, unsigned one) {
    ForEachThread([&](pid_t tid, std::string_view name) {
        if (placement == Placement::One || placement == Placement::Twins)
            return PlaceOn(tid, placement == Placement::One ? one : 0);
        pool::LimitProcessors(2, tid);
        for (std::string_view prefix : {"dpc-", "worker-"})
            if (placement == Placement::TwoAffine && name.substr(0, prefix.size()) == prefix)
                PlaceOn(tid, static_cast<unsigned>(std::atoi(name.data() + prefix.size()) - 1));
    });
    if (placement != Placement::TwoAffine)
        return;
    for (size_t i = 0; i < rig.PortCount(); i++)
        if (rig.At(i).tid != 0)
            PlaceOn(rig.At(i).tid, static_cast<unsigned>(i / 2 % pool::kControllers % 2));
}

// The twin: `phones` phones streaming on processor 1 until told to stop;
// the parent stops and continues the whole process between its slices.
[[noreturn]] void RunTwin(TwinShared& shared, size_t phones) {
    PlaceOn(0, 1); // every thread it starts inherits the processor
    {
        PhonePool rig;
        bool ok = true;
        for (size_t p = 0; p < phones; p++)
            ok = ok && rig.Plug(p) == 2;
        for (size_t i = 0; ok && i < rig.PortCount(); i++)
            ok = rig.Open(i, 0x7A140000 + i);
        shared.failed = !ok;
        shared.ready = true;
        while (!shared.stop) {
            const Usage now = Now();
            shared.received = rig.Received();
            shared.cpu = now.cpu;
            shared.switches = now.switches;
            for (size_t i = 0; i < rig.PortCount(); i++)
                if (!rig.At(i).Fault().empty())
                    shared.failed = true;
            Sleep(0.001);
        }
    }
    std::_Exit(0);
}

class Twin {
public:
    // Forks before this process starts a thread of its own.
    explicit Twin(size_t phones) {
        void* memory = mmap(nullptr, sizeof(TwinShared), PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        Check(memory != MAP_FAILED, "no memory to share with the twin");
        if (memory == MAP_FAILED)
            return;
        shared_ = new (memory) TwinShared;
        pid_ = fork();
        if (pid_ == 0) {
            // Stopped or running, it goes with this process, however that ends.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            RunTwin(*shared_, phones);
        }
        Check(pid_ > 0, "the twin did not start");
    }
    ~Twin() {
        if (pid_ > 0) {
            shared_->stop = true;
            kill(pid_, SIGCONT);
            int status = 0;
            waitpid(pid_, &status, 0);
            Check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the twin did not end well");
            Check(!shared_->failed, "the twin's ports did not all stream intact");
        }
        if (shared_ != nullptr)
            munmap(shared_, sizeof(TwinShared));
    }
    bool Running() const { return pid_ > 0; }
    // Waits until it streams, then stops it until Resume.
    void Ready() {
        while (Running() && !shared_->ready)
            Sleep(0.01);
        Pause();
    }
    void Pause() {
        if (Running())
            kill(pid_, SIGSTOP);
    }
    void Resume() {
        if (Running())
            kill(pid_, SIGCONT);
    }
    uint64_t Received() const { return Running() ? shared_->received.load() : 0; }
    Usage Used() const {
        return Running() ? Usage{shared_->cpu.load(), shared_->switches.load()} : Usage{};
    }

private:
    TwinShared* shared_ = nullptr;
    pid_t pid_ = -1;
};

// Adds `seconds` of streaming to `run`, after a moment for the threads to
// settle where they now may run; with `twin`, its streaming too.
void Measure(PhonePool& rig, Run& run, double seconds, const Twin* twin) {
    Sleep(0.05);
    const uint64_t from = rig.Received() + (twin ? twin->Received() : 0);
    const Usage before = Now(), twinBefore = twin ? twin->Used() : Usage{};
    const auto start = Clock::now();
    Sleep(seconds);
    const Usage after = Now(), twinAfter = twin ? twin->Used() : Usage{};
    run.seconds += std::chrono::duration<double>(Clock::now() - start).count();
    run.bytes += static_cast<double>(rig.Received() + (twin ? twin->Received() : 0) - from);
    run.cpu += after.cpu - before.cpu + twinAfter.cpu - twinBefore.cpu;
    run.switches += after.switches - before.switches + twinAfter.switches - twinBefore.switches;
}

struct Result {
    Run runs[std::size(kPlacements)]; // by Placement
    size_t minPerPort = SIZE_MAX, maxPerPort = 0;
};

// Every port streams; the process runs on 1 processor and on 2 in turn, a
// quarter of a second each, for `seconds` in all. In turn, not one run after
// the other: on a shared host the speed of the machine drifts by a third
// within minutes, and two runs minutes apart would measure the drift.
// `only`: that placement throughout, for a profiler.
Result Throughput(size_t phones, double seconds, const Placement* only, Twin* twin) {
    Result result;
    PhonePool rig;
    for (size_t p = 0; p < phones; p++)
        Check(rig.Plug(p) == 2, "phone " + std::to_string(p) + " did not start");
    for (size_t i = 0; i < rig.PortCount(); i++)
        Check(rig.Open(i, 0x5EED0000 + i), "port " + std::to_string(i) + " did not open");
    Sleep(0.3); // every thread under way
    if (twin != nullptr)
        twin->Ready();
    auto sample = [&] {
        size_t perPort = PhonePool::DriverBytes() / rig.PortCount();
        result.minPerPort = std::min(result.minPerPort, perPort);
        result.maxPerPort = std::max(result.maxPerPort, perPort);
    };
    constexpr double kSlice = 0.25;
    unsigned oneSlices = 0;
    for (size_t slice = 0; slice * kSlice < seconds; slice++) {
        const Placement placement =
            only != nullptr ? *only : kPlacements[slice % std::size(kPlacements)];
        if (placement == Placement::Twins && twin == nullptr)
            continue;
        Place(rig, placement, oneSlices % std::thread::hardware_concurrency());
        oneSlices += placement == Placement::One ? 1 : 0;
        if (placement == Placement::Twins)
            twin->Resume();
        Measure(rig, result.runs[static_cast<size_t>(placement)], kSlice,
                placement == Placement::Twins ? twin : nullptr);
        if (placement == Placement::Twins)
            twin->Pause();
        sample();
    }
    LimitEveryThread(0);
    CheckStreams(rig, std::vector<uint64_t>(), "streaming");

    if (!only) {
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
    return result;
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
    std::optional<Placement> only;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--phones") == 0)
            phones = std::strtoul(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::strtod(argv[i + 1], nullptr);
        else if (std::strcmp(argv[i], "--only") == 0) {
            const std::string what = argv[i + 1];
            if (what != "1" && what != "2" && what != "2a") {
                std::fprintf(stderr, "--only takes 1, 2 or 2a (2 processors, affine)\n");
                return 2;
            }
            only = what == "1"   ? Placement::One
                   : what == "2" ? Placement::Two
                                 : Placement::TwoAffine;
        }
    }
    if (!only)
        std::printf("phone pool: %zu phones, %zu ports, %.1f s of streaming, %u processors on "
                    "this host\n",
                    phones, 2 * phones, seconds, std::thread::hardware_concurrency());
    std::optional<Twin> twin;
    if (!only)
        twin.emplace(phones);
    const Result r = Throughput(phones, seconds, only ? &*only : nullptr, twin ? &*twin : nullptr);
    twin.reset();
    std::printf("\n%-12s %12s %14s %10s %12s %6s\n", "processors", "MB/s (all)", "KB/s per port",
                "cpu ms/MB", "switches/MB", "busy");
    for (Placement p : kPlacements)
        if (const Run& run = r.runs[static_cast<size_t>(p)]; run.seconds > 0)
            std::printf("%-12s %12.2f %14.1f %10.1f %12.0f %6.2f\n", Name(p),
                        run.BytesPerSecond() / 1e6,
                        run.BytesPerSecond() / 1e3 / static_cast<double>(2 * phones),
                        run.CpuMsPerMB(), run.SwitchesPerMB(), run.Busy());
    if (only)
        return g_failures == 0 ? 0 : 1;
    const double one = r.runs[0].BytesPerSecond();
    std::printf("speed-up 1 -> 2 processors: %.2fx, affine %.2fx; two machines, one processor "
                "each: %.2fx\n",
                r.runs[1].BytesPerSecond() / one, r.runs[2].BytesPerSecond() / one,
                r.runs[3].BytesPerSecond() / one);
    std::printf("driver bytes per port: %zu..%zu\n", r.minPerPort, r.maxPerPort);
    // A transfer's or a write's context comes and goes; the rings and
    // device objects stay. More than that per port would be a leak.
    Check(r.maxPerPort - r.minPerPort < 1024, "the drivers' memory per port grew during the run");

    std::printf("\n%-12s %8s %8s  %s\n", "pool limit", "phones", "ports", "next port");
    for (size_t mb : {128, 256}) {
        const Fit fit = PoolLimit(mb << 20, 200);
        std::printf("%-12s %8zu %8zu  %s\n", (std::to_string(mb) + " MB").c_str(), fit.phones,
                    fit.ports, fit.status.empty() ? "(all fit)" : fit.status.c_str());
    }
    std::printf("\n%s\n", g_failures == 0 ? "all checks held" : "CHECKS FAILED");
    return g_failures == 0 ? 0 : 1;
}
