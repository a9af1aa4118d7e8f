// Free lists for the simulation's small records (RecordAllocator). A request
// through the simulated I/O manager makes a handful of them (an IRP record,
// the request's own record, its system buffer) and drops them again as it
// completes; these lists hand the same blocks back instead of asking the
// host's allocator every time.
//
// Blocks are grouped by size in steps of 16 bytes up to 512, then, for data
// buffers (system buffers, the phone's packets), in steps of 1 KiB up to
// 65 KiB; bigger ones go to the host. On the concurrent machine each thread
// keeps its own lists (a block freed on another thread than the one that
// took it joins the freeing thread's); on the deterministic one the threads
// share one set. The lists are linked through the blocks themselves, and
// neither kind takes a lock. A list keeps a bounded number of blocks (a few of the buffer sizes),
// so a burst of requests does not pin its peak for good, and what a thread
// still has goes back to the host when it ends.
#include "platform/sim/internal.h"

#include <cstdlib>
#include <new>

namespace sim {

using namespace records;

namespace {

// Plain thread-local words: read on every record without a guard.
__thread Lists t_lists;
__thread bool t_listening; // the thread's cleanup below is registered
__thread bool t_gone;      // the thread is ending: blocks go to the host
// On the deterministic machine one thread runs at a time (see SimMutex), so
// the threads share one set of lists there: a record made on one thread and
// dropped on another (a worker's, a DPC's) then comes back to whoever asks
// next, instead of piling up on the one side while the other asks the host.

Lists& Mine() { return g_simLocking ? t_lists : g_sharedLists; }

// Gives the thread's blocks back when it ends. Records released later in the
// thread's (or the process's) exit go straight to the host. The shared lists
// stay for the next machine.
struct ThreadCleanup {
    ~ThreadCleanup() {
        t_gone = true;
        for (size_t c = 0; c < kClasses; ++c) {
            while (FreeBlock* block = t_lists.heads[c]) {
                t_lists.heads[c] = block->next;
                std::free(block);
            }
            t_lists.counts[c] = 0;
        }
    }
};

// What a block of class `c` holds: any size of its class.
size_t ClassSize(size_t c) {
    if (c < kRecordClasses)
        return (c + 1) * kStep;
    return kLargestRecord + (c - kRecordClasses + 1) * kBufferStep;
}

} // namespace

Lists records::g_sharedLists;

void* RecordAllocateSlow(size_t bytes) {
    if (Pooled(bytes)) {
        const size_t c = ClassOf(bytes);
        Lists& lists = Mine();
        if (FreeBlock* block = lists.heads[c]) {
            lists.heads[c] = block->next;
            --lists.counts[c];
            return block;
        }
    }
    // Whole classes when pooled (a block may serve any size of its class
    // later); exactly what was asked for otherwise, for the sanitizers.
    const size_t size = Pooled(bytes) ? ClassSize(ClassOf(bytes)) : bytes;
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}

void RecordFreeSlow(void* block, size_t bytes) {
    if (block == nullptr)
        return;
    if (Pooled(bytes) && !t_gone) {
        const size_t c = ClassOf(bytes);
        Lists& lists = Mine();
        if (lists.counts[c] < KeptPerClass(c)) {
            if (&lists == &t_lists && !t_listening) {
                thread_local ThreadCleanup cleanup;
                t_listening = true;
            }
            auto* free = static_cast<FreeBlock*>(block);
            free->next = lists.heads[c];
            lists.heads[c] = free;
            ++lists.counts[c];
            return;
        }
    }
    std::free(block);
}

} // namespace sim
