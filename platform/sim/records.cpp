// Free lists for the simulation's small records (RecordAllocator). A request
// through the simulated I/O manager makes a handful of them (an IRP record, a
// frame for each call down, the request's own record) and drops them again
// as it completes; these lists hand the same blocks back instead of asking
// the host's allocator every time.
//
// Blocks are grouped by size in steps of 16 bytes up to 512; bigger ones go
// to the host. A list keeps a bounded number of blocks, so a burst of
// requests does not pin its peak for good. Guarded by a SimMutex: one thread
// at a time on the deterministic machine, a real lock on the concurrent one.
#include "platform/sim/internal.h"

#include <cstdlib>
#include <new>
#include <vector>

namespace sim {

namespace {

constexpr size_t kStep = 16;
constexpr size_t kLargest = 512;
constexpr size_t kClasses = kLargest / kStep;
constexpr size_t kKeptPerClass = 1024;

struct FreeLists {
    SimMutex lock;
    std::vector<void*> lists[kClasses];

    ~FreeLists() {
        for (auto& list : lists)
            for (void* block : list)
                std::free(block);
    }
};

// Never destroyed before the records that use it: records may be released
// by other statics' destructors at exit.
FreeLists& Lists() {
    static auto* lists = new FreeLists();
    return *lists;
}

size_t ClassOf(size_t bytes) { return (bytes + kStep - 1) / kStep - 1; }

} // namespace

void* RecordAllocate(size_t bytes) {
    if (kPoolRecords && bytes != 0 && bytes <= kLargest) {
        FreeLists& lists = Lists();
        std::vector<void*>& list = lists.lists[ClassOf(bytes)];
        std::lock_guard<SimMutex> guard(lists.lock);
        if (!list.empty()) {
            void* block = list.back();
            list.pop_back();
            return block;
        }
    }
    // Whole classes when pooled (a block may serve any size of its class
    // later); exactly what was asked for otherwise, for the sanitizers.
    const size_t size =
        kPoolRecords && bytes <= kLargest && bytes != 0 ? (ClassOf(bytes) + 1) * kStep : bytes;
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}

void RecordFree(void* block, size_t bytes) {
    if (block == nullptr)
        return;
    if (kPoolRecords && bytes != 0 && bytes <= kLargest) {
        FreeLists& lists = Lists();
        std::vector<void*>& list = lists.lists[ClassOf(bytes)];
        std::lock_guard<SimMutex> guard(lists.lock);
        if (list.size() < kKeptPerClass) {
            list.push_back(block);
            return;
        }
    }
    std::free(block);
}

} // namespace sim
