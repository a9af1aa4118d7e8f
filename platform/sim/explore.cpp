// The schedule explorer: one child process per run, the run's output read
// back through a pipe, the interleaving printed by the child itself when it
// stops (a bug check aborts; Fail exits).
#include "platform/sim/explore.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace sim::explore {

namespace {

constexpr int kFindingExit = 70;
constexpr size_t kReportLimit = 24000; // bytes of a run's output kept (the end of it)
const char kStepsTag[] = "\n@schedule-points ";

void WriteAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n <= 0)
            return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void PrintInterleaving() {
    WriteAll(STDERR_FILENO, "interleaving: " + ScheduleTrace());
}

// A bug check ends in abort(), a wild pointer in a fault: the interleaving
// goes after whatever was printed.
const int kStops[] = {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL};

void OnStop(int signal) {
    if (signal != SIGABRT)
        WriteAll(STDERR_FILENO, "\n*** the run crashed: " + std::string(strsignal(signal)) + "\n");
    PrintInterleaving();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// The run itself, in the child or (Replay) in this process.
void RunOne(const Schedule& schedule, const Body& body) {
    for (int s : kStops)
        std::signal(s, OnStop);
    body(schedule);
    for (int s : kStops)
        std::signal(s, SIG_DFL);
}

struct RunResult {
    bool finding = false;
    std::string output;
    uint64_t steps = 0;
};

RunResult RunInChild(const Schedule& schedule, const Body& body, unsigned runSeconds) {
    RunResult result;
    int fds[2];
    if (pipe(fds) != 0) {
        result.finding = true;
        result.output = "explorer: pipe failed";
        return result;
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDERR_FILENO);
        dup2(fds[1], STDOUT_FILENO);
        close(fds[1]);
        alarm(runSeconds); // a run wedged in the host (not the simulation) still ends
        RunOne(schedule, body);
        WriteAll(STDERR_FILENO, kStepsTag + std::to_string(ScheduleSteps()) + "\n");
        _exit(0);
    }
    close(fds[1]);
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        result.output.append(buffer, static_cast<size_t>(n));
        if (result.output.size() > 2 * kReportLimit)
            result.output.erase(0, result.output.size() - kReportLimit);
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    size_t tag = result.output.rfind(kStepsTag);
    if (tag != std::string::npos) {
        result.steps =
            std::strtoull(result.output.c_str() + tag + std::strlen(kStepsTag), nullptr, 10);
        result.output.erase(tag);
    }
    result.finding = !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    if (result.finding && WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
        result.output += "\nexplorer: the run took more than " + std::to_string(runSeconds) +
                         " s of real time (a hang outside the simulated machine?)\n";
    if (result.output.size() > kReportLimit)
        result.output.erase(0, result.output.size() - kReportLimit);
    return result;
}

// Seed 0 is the calibration run: no change point, so that it passes every
// schedule point a run of the scenario passes when nothing disturbs it.
Schedule ScheduleFor(const Schedule& base, uint64_t seed, uint64_t horizon) {
    Schedule schedule = base;
    schedule.seed = seed;
    schedule.horizon = horizon;
    if (seed == 0)
        schedule.changePoints = 0;
    return schedule;
}

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 0) : fallback;
}

} // namespace

void Fail(const std::string& what) {
    WriteAll(STDERR_FILENO, "\n*** INVARIANT BROKEN: " + what + "\n");
    PrintInterleaving();
    _exit(kFindingExit);
}

Summary Explore(const std::string& scenario, const Plan& plan, const Body& body) {
    Summary summary;
    summary.scenario = scenario;
    const auto start = std::chrono::steady_clock::now();
    auto finish = [&] {
        summary.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return summary;
    };
    summary.horizon = plan.horizon;
    if (summary.horizon == 0) {
        RunResult calibration = RunInChild(ScheduleFor(plan.schedule, 0, 1), body, plan.runSeconds);
        ++summary.schedules;
        summary.horizon = std::max<uint64_t>(calibration.steps, 1);
        if (calibration.finding) {
            summary.findings.push_back(Finding{0, calibration.output});
            if (plan.stopAtFirst)
                return finish();
        }
    }
    for (uint64_t seed = plan.firstSeed; seed < plan.firstSeed + plan.seeds; ++seed) {
        if (seed == 0 && plan.horizon == 0)
            continue; // that was the calibration run
        RunResult run =
            RunInChild(ScheduleFor(plan.schedule, seed, summary.horizon), body, plan.runSeconds);
        ++summary.schedules;
        if (run.finding) {
            summary.findings.push_back(Finding{seed, run.output});
            if (plan.stopAtFirst)
                break;
        }
    }
    return finish();
}

void Replay(const Schedule& schedule, const Body& body) {
    RunResult calibration = RunInChild(ScheduleFor(schedule, 0, 1), body, 600);
    Schedule run = ScheduleFor(schedule, schedule.seed, std::max<uint64_t>(calibration.steps, 1));
    run.callers = true;
    RunOne(run, body);
}

std::string FindingText(const std::string& scenario, const Finding& finding) {
    std::string text = "scenario " + scenario + ", seed " + std::to_string(finding.seed) +
                       " (replay: VXQT70_RACE_REPLAY=" + std::to_string(finding.seed) + ")\n";
    size_t begin = 0;
    while (begin < finding.report.size()) {
        size_t end = finding.report.find('\n', begin);
        if (end == std::string::npos)
            end = finding.report.size();
        text += "    " + finding.report.substr(begin, end - begin) + "\n";
        begin = end + 1;
    }
    return text;
}

Plan PlanFromEnvironment(Plan plan) {
    plan.firstSeed = EnvNumber("VXQT70_RACE_FIRST", plan.firstSeed);
    plan.seeds = EnvNumber("VXQT70_RACE_SEEDS", plan.seeds);
    if (EnvNumber("VXQT70_RACE_ALL", 0) != 0)
        plan.stopAtFirst = false;
    return plan;
}

uint64_t ReplaySeed() {
    return EnvNumber("VXQT70_RACE_REPLAY", 0);
}

} // namespace sim::explore
