// Pool: ExAllocatePoolWithTag and ExFreePool over the host allocator, with a
// ledger of every live block (owner, tag, size, type, allocation site,
// sequence number), guard bytes on both sides of each block, and a quarantine
// of freed blocks so that a double free is recognised and a freed address is
// not handed out again at once. Non-paged pool can be given a size, as a
// 32-bit PC's is finite: an allocation beyond it fails as on Windows (NULL).
#include "platform/sim/ex_internal.h"
#include "platform/sim/sim.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace sim {

namespace {

constexpr ULONG kDefaultRequiredTag = 0x206D6457; // "Wdm "
constexpr size_t kHeaderBytes = 32;               // guard before the block; keeps 16-byte alignment
constexpr size_t kTailGuardBytes = 16;            // at least this many guard bytes after it
constexpr unsigned char kHeaderPattern = 0xB7;
constexpr unsigned char kTailPattern = 0xBD;
constexpr unsigned char kFreshPattern = 0xA5;     // pool is not zeroed: make "assumed zero" visible
constexpr unsigned char kFreedPattern = 0xDF;
constexpr size_t kQuarantineBlocks = 4096;
constexpr size_t kQuarantineBytes = 64u << 20;

struct Block {
    unsigned char* raw = nullptr;
    size_t rawSize = 0;
    size_t size = 0;
    ULONG tag = 0;
    POOL_TYPE type = NonPagedPool;
    PDRIVER_OBJECT driver = nullptr;
    const void* site = nullptr;
    uint64_t sequence = 0;
    const void* freeSite = nullptr; // quarantine only
    unsigned char* User() const { return raw + kHeaderBytes; }
};

// Current and high-water bytes of one owner's tag.
struct Usage {
    size_t bytes = 0;
    size_t blocks = 0;
    size_t peakBytes = 0;
};

// Freed blocks, oldest first: a ring that grows to the largest quarantine
// seen and is then reused, so a free costs no allocation. Only a free of an
// address that is not live searches it (is it a double free?), so a search
// may walk it.
class FreedBlocks {
public:
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    Block& front() { return ring_[head_]; }
    void pop_front() {
        head_ = (head_ + 1) % ring_.size();
        --count_;
    }
    void push_back(const Block& b) {
        if (count_ == ring_.size())
            Grow();
        ring_[(head_ + count_) % ring_.size()] = b;
        ++count_;
    }
    const Block* Find(const void* user) const {
        for (size_t i = 0; i < count_; ++i) {
            const Block& b = ring_[(head_ + i) % ring_.size()];
            if (b.User() == user)
                return &b;
        }
        return nullptr;
    }
    template <typename F> void ForEach(F f) {
        for (size_t i = 0; i < count_; ++i)
            f(ring_[(head_ + i) % ring_.size()]);
    }
    void clear() {
        ring_.clear();
        head_ = count_ = 0;
    }

private:
    void Grow() {
        std::vector<Block> bigger(std::max<size_t>(64, ring_.size() * 2));
        for (size_t i = 0; i < count_; ++i)
            bigger[i] = ring_[(head_ + i) % ring_.size()];
        ring_.swap(bigger);
        head_ = 0;
    }
    std::vector<Block> ring_;
    size_t head_ = 0;
    size_t count_ = 0;
};

// The memory of small blocks (the records drivers allocate per request: a
// work item, a context), cut from large chunks instead of asked of the host
// one by one, and kept by size once it has left the quarantine. A driver
// allocating per request fills a quarantine of thousands of blocks before
// any memory comes back, so every allocation until then would go to the
// host's allocator, and every block back to it when the machine stops.
// Chunks go back when the pool is emptied. Under a sanitizer every block is
// the host's, so that it sees each lifetime.
class SmallRaw {
public:
    static constexpr size_t kLargest = 1024; // raw bytes, header and guards included
    static bool Owns(size_t rawSize) { return kPoolRecords && rawSize <= kLargest; }
    // `rawSize` is a multiple of 16 (see ExAllocatePoolWithTag).
    unsigned char* Take(size_t rawSize) {
        Spare*& head = spare_[rawSize / 16];
        if (Spare* s = head) {
            head = s->next;
            return reinterpret_cast<unsigned char*>(s);
        }
        if (left_ < rawSize) {
            auto* chunk = static_cast<unsigned char*>(std::malloc(kChunkBytes));
            if (chunk == nullptr)
                return nullptr;
            chunks_.push_back(chunk);
            next_ = chunk;
            left_ = kChunkBytes;
        }
        unsigned char* raw = next_;
        next_ += rawSize;
        left_ -= rawSize;
        return raw;
    }
    void Give(unsigned char* raw, size_t rawSize) {
        Spare*& head = spare_[rawSize / 16];
        auto* s = reinterpret_cast<Spare*>(raw);
        s->next = head;
        head = s;
    }
    void Clear() {
        for (unsigned char* chunk : chunks_)
            std::free(chunk);
        chunks_.clear();
        next_ = nullptr;
        left_ = 0;
        for (Spare*& head : spare_)
            head = nullptr;
    }

private:
    static constexpr size_t kChunkBytes = 64 * 1024;
    struct Spare {
        Spare* next;
    };
    std::vector<unsigned char*> chunks_;
    unsigned char* next_ = nullptr;
    size_t left_ = 0;
    Spare* spare_[kLargest / 16 + 1] = {};
};

struct Pool {
    // Held only around the ledger, never across a call into the machine: one
    // of the simulation's own locks, skipped on the deterministic machine.
    SimMutex mutex;
    size_t nonPagedLimit = 0; // 0: no limit
    size_t nonPagedBytes = 0;
    size_t nonPagedPeak = 0;
    uint64_t limitFailures = 0;
    std::map<std::pair<PDRIVER_OBJECT, ULONG>, Usage> usage;
    std::map<const void*, Block> live; // ordered: finding the block around an address
    decltype(live)::node_type spareLive; // the entry of the last block freed, for the next
    FreedBlocks quarantined;
    size_t quarantineBytes = 0;
    std::unordered_map<PDRIVER_OBJECT, ULONG> requiredTags;
    uint64_t sequence = 0;
    // The ledger entry and the required tag looked up last: a driver that
    // allocates per request asks for the same ones every time. Map entries
    // stay where they are until the map is cleared.
    Usage* lastUsage = nullptr;
    std::pair<PDRIVER_OBJECT, ULONG> lastUsageKey{nullptr, 0};
    PDRIVER_OBJECT lastTagDriver = nullptr;
    ULONG lastRequiredTag = 0;
    // Memory of blocks that have left the quarantine, for the next block of
    // the same size: a few, so that a driver allocating per request does not
    // go to the host's allocator twice a request.
    std::vector<std::pair<unsigned char*, size_t>> spareRaw;
    SmallRaw small;
};
constexpr size_t kSpareRawBlocks = 16;

Pool& ThePool() {
    static Pool* pool = new Pool(); // outlives static destructors: drivers may free at exit
    return *pool;
}

bool IsPaged(POOL_TYPE type) { return ((int)type & 1) != 0; }

// Caller holds the pool lock. Bytes enter or leave the ledger.
void Account(Pool& pool, PDRIVER_OBJECT driver, ULONG tag, POOL_TYPE type, size_t size,
             bool added) {
    const std::pair<PDRIVER_OBJECT, ULONG> key{driver, tag};
    if (pool.lastUsage == nullptr || pool.lastUsageKey != key) {
        pool.lastUsage = &pool.usage[key];
        pool.lastUsageKey = key;
    }
    Usage& u = *pool.lastUsage;
    if (added) {
        u.bytes += size;
        u.blocks++;
        u.peakBytes = std::max(u.peakBytes, u.bytes);
    } else {
        u.bytes -= size;
        u.blocks--;
    }
    if (IsPaged(type))
        return;
    pool.nonPagedBytes = added ? pool.nonPagedBytes + size : pool.nonPagedBytes - size;
    pool.nonPagedPeak = std::max(pool.nonPagedPeak, pool.nonPagedBytes);
}
void Account(Pool& pool, const Block& b, bool added) {
    Account(pool, b.driver, b.tag, b.type, b.size, added);
}

// Caller holds the pool lock. Whether `bytes` more non-paged pool fit the limit.
bool Fits(Pool& pool, size_t bytes) {
    if (pool.nonPagedLimit == 0 || pool.nonPagedBytes + bytes <= pool.nonPagedLimit)
        return true;
    pool.limitFailures++;
    return false;
}

constexpr ULONG kDeviceObjectTag = 0x69766544; // "Devi", Windows' tag for device objects

const char* TypeName(POOL_TYPE type) {
    switch (type) {
    case NonPagedPool:
        return "NonPagedPool";
    case PagedPool:
        return "PagedPool";
    case NonPagedPoolMustSucceed:
        return "NonPagedPoolMustSucceed";
    case NonPagedPoolCacheAligned:
        return "NonPagedPoolCacheAligned";
    case PagedPoolCacheAligned:
        return "PagedPoolCacheAligned";
    }
    return "(unknown pool type)";
}

std::string Describe(const Block& b) {
    char head[64];
    std::snprintf(head, sizeof head, "%zu bytes ", b.size);
    return head + TagText(b.tag) + " " + TypeName(b.type) + " #" + std::to_string(b.sequence) +
           " allocated by " + DriverName(b.driver) + " at " + Symbolize(b.site);
}

std::string Address(const void* p) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%p", p);
    return buffer;
}

// A block's memory back to the host when the pool is emptied; a small
// block's goes with its chunk.
void ReleaseRaw(Block& b) {
    if (!SmallRaw::Owns(b.rawSize))
        std::free(b.raw);
    b.raw = nullptr;
}

// Caller holds the pool lock. Memory leaving the quarantine: kept for reuse,
// or back to the host.
void RetireRaw(Pool& pool, Block& b) {
    if (SmallRaw::Owns(b.rawSize)) {
        pool.small.Give(b.raw, b.rawSize);
        b.raw = nullptr;
        return;
    }
    // Under a sanitizer every block goes back, so that it sees each lifetime.
    if (kPoolRecords && pool.spareRaw.size() < kSpareRawBlocks) {
        pool.spareRaw.emplace_back(b.raw, b.rawSize);
        b.raw = nullptr;
        return;
    }
    ReleaseRaw(b);
}

// Caller holds the pool lock. Spare memory of exactly `rawSize`, or NULL.
unsigned char* SpareRaw(Pool& pool, size_t rawSize) {
    for (size_t i = pool.spareRaw.size(); i-- > 0;) {
        if (pool.spareRaw[i].second == rawSize) {
            unsigned char* raw = pool.spareRaw[i].first;
            pool.spareRaw[i] = pool.spareRaw.back();
            pool.spareRaw.pop_back();
            return raw;
        }
    }
    return nullptr;
}

// `length` bytes of `pattern`: the guards and most driver records are a few
// words, for which a call to memset costs more than the stores.
inline void Fill(unsigned char* p, size_t length, unsigned char pattern) {
    if (length > 64) {
        std::memset(p, pattern, length);
        return;
    }
    uint64_t word;
    std::memset(&word, pattern, sizeof word);
    size_t i = 0;
    for (; i + sizeof word <= length; i += sizeof word)
        std::memcpy(p + i, &word, sizeof word);
    for (; i < length; ++i)
        p[i] = pattern;
}

// Caller holds the pool lock.
void Quarantine(Pool& pool, Block b) {
    Fill(b.User(), b.size, kFreedPattern);
    pool.quarantineBytes += b.rawSize;
    pool.quarantined.push_back(b);
    while (pool.quarantined.size() > kQuarantineBlocks ||
           pool.quarantineBytes > kQuarantineBytes) {
        Block& oldest = pool.quarantined.front();
        pool.quarantineBytes -= oldest.rawSize;
        RetireRaw(pool, oldest);
        pool.quarantined.pop_front();
    }
}

struct Violation {
    ULONG code;
    ULONG_PTR p1, p2, p3, p4;
    std::string reason;
};

[[noreturn]] void Raise(const Violation& v) { BugCheck(v.code, v.p1, v.p2, v.p3, v.p4, v.reason); }

// Caller holds the pool lock. The guard bytes on either side of the block.
// Whether `length` bytes at `p` all hold `pattern`: a word at a time, as
// every free checks both guards.
bool AllPattern(const unsigned char* p, size_t length, unsigned char pattern) {
    uint64_t word;
    std::memset(&word, pattern, sizeof word);
    size_t i = 0;
    for (; i + sizeof word <= length; i += sizeof word) {
        uint64_t got;
        std::memcpy(&got, p + i, sizeof got);
        if (got != word)
            return false;
    }
    for (; i < length; ++i)
        if (p[i] != pattern)
            return false;
    return true;
}

std::optional<Violation> CheckGuards(const Block& b) {
    const size_t tailBytes = b.rawSize - kHeaderBytes - b.size;
    if (AllPattern(b.raw, kHeaderBytes, kHeaderPattern) &&
        AllPattern(b.User() + b.size, tailBytes, kTailPattern))
        return std::nullopt;
    for (size_t i = 0; i < kHeaderBytes; ++i)
        if (b.raw[i] != kHeaderPattern)
            return Violation{kSpecialPoolDetectedMemoryCorruption, (ULONG_PTR)b.User(), b.size,
                             kHeaderBytes - i, kC1HeaderCorrupt,
                             "pool block " + Address(b.User()) + " was written " +
                                 std::to_string(kHeaderBytes - i) +
                                 " bytes before its start (underrun): " + Describe(b)};
    const unsigned char* end = b.User() + b.size;
    size_t tail = b.rawSize - kHeaderBytes - b.size;
    for (size_t i = 0; i < tail; ++i)
        if (end[i] != kTailPattern)
            return Violation{kSpecialPoolDetectedMemoryCorruption, (ULONG_PTR)b.User(), b.size,
                             b.size + i, kC1OverrunAtFree,
                             "pool block " + Address(b.User()) + " was written past its end (at byte " +
                                 std::to_string(b.size + i) + " of " + std::to_string(b.size) +
                                 "), found when it was freed: " + Describe(b)};
    return std::nullopt;
}

// Caller holds the pool lock. The live block whose bytes include `p`.
const Block* Around(Pool& pool, const void* p) {
    auto it = pool.live.upper_bound(p);
    if (it == pool.live.begin())
        return nullptr;
    --it;
    const char* start = (const char*)it->first;
    return (const char*)p < start + it->second.size ? &it->second : nullptr;
}

void FreeBlock(PVOID p, const ULONG* tag, const void* site) {
    Pool& pool = ThePool();
    std::optional<Violation> violation;
    std::optional<Violation> guards;
    Block block;
    decltype(pool.live)::iterator found;
    {
        std::lock_guard<SimMutex> lock(pool.mutex);
        auto it = found = pool.live.find(p);
        if (it == pool.live.end()) {
            if (const Block* old = pool.quarantined.Find(p)) {
                violation = Violation{kBadPoolCaller, kC2DoubleFree, 0, old->tag,
                                      (ULONG_PTR)p,
                                      "pool block " + Address(p) + " freed twice; it was freed at " +
                                          Symbolize(old->freeSite) + "; " +
                                          Describe(*old)};
            } else {
                std::string inside;
                const Block* around = Around(pool, p);
                if (around != nullptr)
                    inside = "; it points " +
                             std::to_string((const char*)p - (const char*)around->User()) +
                             " bytes into the block " + Describe(*around);
                violation = Violation{kBadPoolCaller, kC2InvalidAddress, (ULONG_PTR)p, 0, 0,
                                      "freeing " + Address(p) +
                                          ", which is not the start of a live pool block" +
                                          (inside.empty() ? " (a foreign pointer)" : inside)};
            }
        } else {
            block = it->second;
            // Read now, under the lock already held; raised after the IRQL
            // and tag rules, which come first.
            guards = CheckGuards(block);
        }
    }
    if (violation)
        Raise(*violation);

    KIRQL irql = CurrentIrql();
    if (IsPaged(block.type) && irql > APC_LEVEL)
        BugCheck(kDriverVerifierDetectedViolation, kC4PagedFreeAboveApc, irql, block.type,
                 (ULONG_PTR)p, "paged pool freed at IRQL " + std::to_string(irql) + ": " + Describe(block));
    if (!IsPaged(block.type) && irql > DISPATCH_LEVEL)
        BugCheck(kDriverVerifierDetectedViolation, kC4NonPagedFreeAboveDispatch, irql, block.type,
                 (ULONG_PTR)p,
                 "nonpaged pool freed at IRQL " + std::to_string(irql) + ": " + Describe(block));
    if (tag != nullptr && *tag != block.tag)
        BugCheck(kBadPoolCaller, kC2FreeWithWrongTag, (ULONG_PTR)p, block.tag, *tag,
                 "ExFreePoolWithTag with tag " + TagText(*tag) + " on a block allocated with tag " +
                     TagText(block.tag) + ": " + Describe(block));
    if (guards)
        Raise(*guards);

    // Anything the kernel still uses inside the block (a queued timer or DPC,
    // an IRP, a held remove lock) would be used after the free.
    KeCheckFreedRange(p, block.size);
    IoCheckFreedRange(p, block.size);

    std::unique_lock<SimMutex> lock(pool.mutex);
    // With one thread running at a time nothing can have freed it meanwhile:
    // the entry found above is still the block's.
    auto it = g_simLocking ? pool.live.find(p) : found;
    if (it == pool.live.end()) {
        // Another thread freed it while the checks ran.
        Block copy = block;
        lock.unlock();
        BugCheck(kBadPoolCaller, kC2DoubleFree, 0, copy.tag, (ULONG_PTR)p,
                 "pool block " + Address(p) + " freed twice at once: " + Describe(copy));
    }
    Block freed = it->second;
    pool.spareLive = pool.live.extract(it);
    Account(pool, freed, false);
    freed.freeSite = site;
    Quarantine(pool, freed);
}

std::vector<Block> LiveBlocks(std::optional<PDRIVER_OBJECT> driver) {
    Pool& pool = ThePool();
    std::vector<Block> blocks;
    {
        std::lock_guard<SimMutex> lock(pool.mutex);
        for (const auto& [key, b] : pool.live)
            if (!driver || b.driver == *driver)
                blocks.push_back(b);
    }
    std::sort(blocks.begin(), blocks.end(),
              [](const Block& a, const Block& b) { return a.sequence < b.sequence; });
    return blocks;
}

std::string Listing(const std::vector<Block>& blocks, size_t limit) {
    std::string text;
    size_t shown = 0;
    for (const Block& b : blocks) {
        if (shown++ == limit) {
            text += "  ... and " + std::to_string(blocks.size() - limit) + " more\n";
            break;
        }
        text += "  " + Address(b.User()) + ": " + Describe(b) + "\n";
    }
    return text;
}

size_t Bytes(const std::vector<Block>& blocks) {
    size_t total = 0;
    for (const Block& b : blocks)
        total += b.size;
    return total;
}

void FreeEverything() {
    Pool& pool = ThePool();
    std::lock_guard<SimMutex> lock(pool.mutex);
    for (auto& [key, b] : pool.live)
        ReleaseRaw(b);
    pool.quarantined.ForEach(ReleaseRaw);
    for (auto& [raw, size] : pool.spareRaw)
        std::free(raw);
    pool.spareRaw.clear();
    pool.small.Clear();
    pool.lastUsage = nullptr;
    pool.lastTagDriver = nullptr;
    pool.live.clear();
    pool.quarantined.clear();
    pool.quarantineBytes = 0;
    pool.requiredTags.clear();
    pool.sequence = 0;
    pool.nonPagedLimit = 0;
    pool.nonPagedBytes = 0;
    pool.nonPagedPeak = 0;
    pool.limitFailures = 0;
    pool.usage.clear();
}

} // namespace

// ---------------------------------------------------------------- internal API

bool PoolBlockContaining(const void* address, const void** base, size_t* size) {
    Pool& pool = ThePool();
    std::lock_guard<SimMutex> lock(pool.mutex);
    const Block* b = Around(pool, address);
    if (b == nullptr)
        return false;
    *base = b->User();
    *size = b->size;
    return true;
}

bool ExChargeDeviceObject(PDRIVER_OBJECT driver, size_t extensionSize) {
    Pool& pool = ThePool();
    std::lock_guard<SimMutex> lock(pool.mutex);
    size_t bytes = sizeof(DEVICE_OBJECT) + extensionSize;
    if (!Fits(pool, bytes))
        return false;
    Account(pool, driver, kDeviceObjectTag, NonPagedPool, bytes, true);
    return true;
}

void ExUnchargeDeviceObject(PDRIVER_OBJECT driver, size_t extensionSize) {
    Pool& pool = ThePool();
    std::lock_guard<SimMutex> lock(pool.mutex);
    Account(pool, driver, kDeviceObjectTag, NonPagedPool, sizeof(DEVICE_OBJECT) + extensionSize,
            false);
}

void ExCheckDriverUnload(PDRIVER_OBJECT driver) {
    std::vector<Block> left = LiveBlocks(driver);
    if (!left.empty())
        BugCheck(kDriverVerifierDetectedViolation, kC4LeakAtUnload, (ULONG_PTR)driver, Bytes(left),
                 left.size(),
                 DriverName(driver) + " unloaded without freeing " + std::to_string(left.size()) +
                     " pool block(s), " + std::to_string(Bytes(left)) + " bytes:\n" +
                     Listing(left, 32));
    std::lock_guard<SimMutex> lock(ThePool().mutex);
    ThePool().requiredTags.erase(driver);
    ThePool().lastTagDriver = nullptr;
}

void ExStart(const Options& options) {
    FreeEverything();
    DbgStart();
    ExFaultStart(options);
}

void ExCheck() {
    std::vector<Block> left = LiveBlocks(std::nullopt);
    if (!left.empty())
        BugCheck(kDriverVerifierDetectedViolation, kC4LeakAtUnload, 0, Bytes(left), left.size(),
                 "the machine stopped with " + std::to_string(left.size()) +
                     " pool block(s) never freed, " + std::to_string(Bytes(left)) + " bytes:\n" +
                     Listing(left, 32));
}

void ExStop() {
    FreeEverything();
    ExFaultStop();
}

namespace {
// Set while the kernel allocates a buffer it hands to a driver (an interface
// name, say): the driver owns and frees the block, but the tag is the
// kernel's, so the driver's own tag rule does not apply to it.
thread_local bool t_kernelMadeForDriver = false;
} // namespace

bool KernelMadeForDriver() { return t_kernelMadeForDriver; }

PVOID ExAllocateForDriver(PDRIVER_OBJECT owner, POOL_TYPE type, SIZE_T bytes, ULONG tag) {
    DriverScope scope(owner);
    t_kernelMadeForDriver = true;
    PVOID p = ExAllocatePoolWithTag(type, bytes, tag);
    t_kernelMadeForDriver = false;
    return p;
}

// ---------------------------------------------------------------- test API

size_t PoolAllocations() { return LiveBlocks(std::nullopt).size(); }
size_t PoolBytes() { return Bytes(LiveBlocks(std::nullopt)); }
size_t PoolAllocations(PDRIVER_OBJECT driver) { return LiveBlocks(driver).size(); }
size_t PoolBytes(PDRIVER_OBJECT driver) { return Bytes(LiveBlocks(driver)); }

std::vector<PoolBlock> PoolListing() {
    std::vector<PoolBlock> out;
    for (const Block& b : LiveBlocks(std::nullopt))
        out.push_back({b.User(), b.size, b.tag, b.type, b.driver, Symbolize(b.site), b.sequence});
    return out;
}

std::string PoolReport() { return Listing(LiveBlocks(std::nullopt), SIZE_MAX); }

uint64_t PoolAllocationCount() {
    std::lock_guard<SimMutex> lock(ThePool().mutex);
    return ThePool().sequence;
}

void SetNonPagedPoolLimit(size_t bytes) {
    std::lock_guard<SimMutex> lock(ThePool().mutex);
    ThePool().nonPagedLimit = bytes;
}

NonPagedPoolState NonPagedPoolUse() {
    Pool& pool = ThePool();
    std::lock_guard<SimMutex> lock(pool.mutex);
    return {pool.nonPagedLimit, pool.nonPagedBytes, pool.nonPagedPeak, pool.limitFailures};
}

std::vector<PoolUsage> PoolLedger() {
    Pool& pool = ThePool();
    std::lock_guard<SimMutex> lock(pool.mutex);
    std::vector<PoolUsage> out;
    for (const auto& [key, u] : pool.usage)
        out.push_back({key.first, key.second, u.bytes, u.blocks, u.peakBytes});
    return out;
}

void SetRequiredPoolTag(PDRIVER_OBJECT driver, ULONG tag) {
    std::lock_guard<SimMutex> lock(ThePool().mutex);
    ThePool().requiredTags[driver] = tag;
    ThePool().lastTagDriver = nullptr;
}

} // namespace sim

// ---------------------------------------------------------------- exported routines

namespace sim {
namespace {

// The rules an allocation keeps: a pool type drivers may use, at an IRQL it
// allows, a size, a tag, and the driver's own tag.
void CheckAllocation(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, PDRIVER_OBJECT driver) {
    switch (PoolType) {
    case NonPagedPool:
    case PagedPool:
    case NonPagedPoolCacheAligned:
    case PagedPoolCacheAligned:
        break;
    case NonPagedPoolMustSucceed:
        BugCheck(kBadPoolCaller, kC2MustSucceedPool, NumberOfBytes, PoolType, Tag,
                 "allocation from NonPagedPoolMustSucceed, which drivers may not use");
    default:
        BugCheck(kDriverVerifierDetectedViolation, kC4UnknownPoolType, PoolType, NumberOfBytes, Tag,
                 "allocation from unknown pool type " + std::to_string((int)PoolType));
    }
    KIRQL irql = CurrentIrql();
    if (IsPaged(PoolType) && irql > APC_LEVEL)
        BugCheck(kDriverVerifierDetectedViolation, kC4PagedAllocAboveApc, irql, PoolType,
                 NumberOfBytes,
                 "paged pool allocated at IRQL " + std::to_string(irql) + " (above APC_LEVEL)");
    if (!IsPaged(PoolType) && irql > DISPATCH_LEVEL)
        BugCheck(kDriverVerifierDetectedViolation, kC4NonPagedAllocAboveDispatch, irql, PoolType,
                 NumberOfBytes,
                 "nonpaged pool allocated at IRQL " + std::to_string(irql) +
                     " (above DISPATCH_LEVEL)");
    if (NumberOfBytes == 0)
        BugCheck(kDriverVerifierDetectedViolation, kC4ZeroByteAllocation, irql, PoolType, 0,
                 "zero-byte pool allocation (tag " + TagText(Tag) + ")");
    if (Tag == 0)
        BugCheck(kBadPoolCaller, kC2ZeroTag, PoolType, NumberOfBytes, 0,
                 "pool allocation with a zero tag");
    if (driver != nullptr && !KernelMadeForDriver()) {
        ULONG required = kDefaultRequiredTag;
        {
            Pool& pool = ThePool();
            std::lock_guard<SimMutex> lock(pool.mutex);
            if (pool.lastTagDriver == driver) {
                required = pool.lastRequiredTag;
            } else {
                auto it = pool.requiredTags.find(driver);
                if (it != pool.requiredTags.end())
                    required = it->second;
                pool.lastTagDriver = driver;
                pool.lastRequiredTag = required;
            }
        }
        if (required != 0 && Tag != required)
            BugCheck(kDriverVerifierDetectedViolation, kC4WrongPoolTag, Tag, required,
                     NumberOfBytes,
                     DriverName(driver) + " allocated pool with tag " + TagText(Tag) +
                         "; its pool tag is " + TagText(required));
    }
}

} // namespace
} // namespace sim

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    sim::SchedulePoint("ExAllocatePoolWithTag");
    using namespace sim;
    const void* site = __builtin_return_address(0);
    PDRIVER_OBJECT driver = t_currentDriver;
    CheckAllocation(PoolType, NumberOfBytes, Tag, driver);
    if (ShouldFailAllocation(AllocKind::Pool, site))
        return nullptr;
    if (NumberOfBytes > ((size_t)1 << 31))
        return nullptr; // more than a 32-bit kernel's pool could ever give

    size_t padded = (NumberOfBytes + 15) & ~(size_t)15;
    size_t rawSize = kHeaderBytes + padded + kTailGuardBytes;
    Pool& pool = ThePool();
    unsigned char* raw;
    {
        std::lock_guard<SimMutex> lock(pool.mutex);
        raw = SmallRaw::Owns(rawSize) ? pool.small.Take(rawSize) : SpareRaw(pool, rawSize);
    }
    if (raw == nullptr && !SmallRaw::Owns(rawSize))
        raw = static_cast<unsigned char*>(std::malloc(rawSize));
    if (raw == nullptr)
        return nullptr;
    Fill(raw, kHeaderBytes, kHeaderPattern);
    Fill(raw + kHeaderBytes, NumberOfBytes, kFreshPattern);
    Fill(raw + kHeaderBytes + NumberOfBytes, rawSize - kHeaderBytes - NumberOfBytes, kTailPattern);
    Block b;
    b.raw = raw;
    b.rawSize = rawSize;
    b.size = NumberOfBytes;
    b.tag = Tag;
    b.type = PoolType;
    b.driver = driver;
    b.site = site;
    std::unique_lock<SimMutex> lock(pool.mutex);
    if (!IsPaged(PoolType) && !Fits(pool, NumberOfBytes)) {
        // Spent: what a driver sees when the machine runs out of non-paged pool.
        if (SmallRaw::Owns(rawSize))
            pool.small.Give(raw, rawSize);
        lock.unlock();
        if (!SmallRaw::Owns(rawSize))
            std::free(raw);
        return nullptr;
    }
    b.sequence = ++pool.sequence;
    Account(pool, b, true);
    // A quarantined block cannot share an address with a live one (its memory
    // is still held), so the address is new.
    if (pool.spareLive.empty()) {
        pool.live[b.User()] = b;
    } else {
        pool.spareLive.key() = b.User();
        pool.spareLive.mapped() = b;
        pool.live.insert(std::move(pool.spareLive));
    }
    return b.User();
}

extern "C" VOID NTAPI ExFreePool(PVOID P) {
    sim::SchedulePoint("ExFreePool");
    sim::FreeBlock(P, nullptr, __builtin_return_address(0));
}

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    sim::SchedulePoint("ExFreePoolWithTag");
    sim::FreeBlock(P, &Tag, __builtin_return_address(0));
}
