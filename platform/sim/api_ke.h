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
#include <functional>
#include <string>

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

// Timers set, DPCs queued and work items queued (not yet running).
size_t QueuedTimers();
size_t QueuedDpcs();
size_t QueuedWorkItems();

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
