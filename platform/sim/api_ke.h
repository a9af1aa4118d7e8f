// The simulated processor, clock, timers, DPCs and work queue as tests see
// them.
//
// In Mode::Deterministic nothing runs behind the test's back: DPCs, expired
// timers and work items run only when the test pumps the machine
// (RunUntilIdle, AdvanceClock) or blocks (a kernel wait, a synchronous
// request). A blocked thread that nothing else can wake moves the virtual
// clock to the next timer or time-out; when nothing at all can happen the run
// stops with a deadlock report naming every waiting thread and what it waits
// for.
//
// In Mode::Concurrent the clock runs in real time and DPCs, timers and work
// items run on their own threads; RunUntilIdle then waits until the DPC and
// work queues are empty and no work item is running (except those blocked in
// a wait), and AdvanceClock moves the clock ahead of real time.
#pragma once

#include "platform/kernel.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

// Runs queued DPCs, timers already due and every runnable thread until all of
// them are blocked or idle. Never moves the clock.
void RunUntilIdle();
// Moves virtual time forward, firing the timers (and ending the time-outs)
// that fall due on the way, in due order, with RunUntilIdle after each.
void AdvanceClock(LONGLONG hundredNs);
void AdvanceClockMs(ULONG ms);
// Virtual time since boot, in 100 ns (what KeQueryInterruptTime returns).
LONGLONG Now();
// Whether the machine runs on real threads (Mode::Concurrent).
bool Concurrent();

// Timers set, DPCs queued and work items queued (not yet running).
size_t QueuedTimers();
size_t QueuedDpcs();
size_t QueuedWorkItems();

// Blocks the calling thread until `ready()` holds, letting the rest of the
// machine (DPCs, timers, worker threads, the bus) run meanwhile. `ready` is
// evaluated with the dispatcher lock held. `what` names the wait in a
// deadlock report. Returns false only if `timeout100ns` (relative, virtual
// clock) expired first; 0 means no limit. `key`, if given, is the address of
// the one thing `ready` reads: the wait promises that what it reads changes
// only where Notify(key) follows, and `ready` is evaluated under a lock of
// that key's instead (time-outs still end it; Notify() does not look at it).
bool WaitUntil(const std::function<bool()>& ready, const char* what, LONGLONG timeout100ns = 0,
               const void* key = nullptr);
// Something a waiter may be waiting for has changed (event set, IRP completed).
void Notify();
// What the waiters naming `key` read has changed.
void Notify(const void* key);

// The verifier's Ke checks, which the pool and the I/O manager run.
// KeCheckFreedRange, at every pool free: a timer still set (0xC7, p1 0), a
// DPC queued or referenced by a set timer (0xC7, p1 1), a work item queued
// (0xE4), or an object a thread waits on, inside the freed block is a bug
// check. KeCheckDriverUnload, at driver unload: a timer still set or DPC
// queued (0xC7) or a work item queued or running (0xCE) that the driver
// started is a bug check naming each leftover.
void KeCheckFreedRange(const void* base, size_t length);
void KeCheckDriverUnload(PDRIVER_OBJECT driver);

// ---------------------------------------------------------------- explored schedules
// An opt-in schedule for the deterministic machine that looks for races: N
// processors of which one thread runs at a time, and a possible switch at
// every kernel entry point a driver uses (spin locks, IRQL, interlocked
// operations, IofCallDriver, IofCompleteRequest, KeSetEvent, timers, DPCs,
// work items, pool, cancel). DPCs run on processor threads of their own, so a
// DPC, a timer's expiry or a bus completion can run while a passive-level
// thread is between two such points; a thread meeting a spin lock held by a
// thread switched out on another processor spins, which hands the processor
// on. Nothing runs against its IRQL: a thread at DISPATCH_LEVEL keeps its
// processor while switched out, so at most N of them are ever in flight.
//
// The policy is PCT's: every thread gets a random priority, the highest
// runnable one runs, and at `changePoints` steps drawn from [1, horizon] the
// running thread drops below all others (at some of them the clock also
// jumps to the next timer). The run is a function of the scenario and the
// seed alone.
struct Schedule {
    uint64_t seed = 1;
    int processors = 2;
    int changePoints = 3;
    uint64_t horizon = 2000; // steps a run of the scenario takes, about
    // Drivers whose code runs without switches: the bus models hardware and
    // holds its own lock across the kernel calls it makes.
    std::vector<std::string> atomicDrivers = {"usbbus-sim"};
    // Name the driver routines at each schedule point in the trace (slower;
    // what a replay does). Changes nothing else.
    bool callers = false;
};
// Call right after constructing the Kernel, on the main thread, before
// anything else runs.
void UseSchedule(const Schedule& schedule);
bool Exploring();
// Schedule points passed so far (after the kernel is gone: by its last run).
uint64_t ScheduleSteps();
// The interleaving so far: every switch (step, who was running and where,
// who got the processor), then the last schedule points passed. Safe to call
// from a dying process.
std::string ScheduleTrace();

// A simulated thread: a user thread blocked in a synchronous request, a
// second caller racing the first. In Deterministic mode it takes its turn on
// the simulated processor like any other (it first runs when the creating
// thread blocks or pumps); in Concurrent mode it runs at once. The destructor
// joins it, letting the machine run meanwhile.
class Thread {
public:
    Thread(std::string name, std::function<void()> body);
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    void Join();
    bool Finished() const;

private:
    struct Impl;
    Impl* impl_;
};

} // namespace sim
