// IRPs: allocation, IofCallDriver, the completion walk of IofCompleteRequest,
// built device-control requests, cancellation and the cancel spin lock.
//
// Every IRP has a record here. Each IofCallDriver opens a "frame": the stack
// location a dispatch routine was given. The completion walk closes a frame
// when it moves past that location, noting whether the location was marked
// pending and the status at that point, because the walk clears the location
// and a driver may free its IRP before the dispatch call that sent it returns.
// The checks at dispatch return read the frame, never freed memory.
#include "platform/sim/ex_internal.h"
#include "platform/sim/io_internal.h"
#include "platform/sim/ke_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <deque>

#include <sched.h>

namespace sim {
namespace {

constexpr CSHORT kIoTypeIrp = 6;
constexpr UCHAR kFreedIrpPoison = 0xDF;

struct Frame {
    PIRP irp = nullptr;
    PDEVICE_OBJECT device = nullptr;
    CCHAR location = 0;
    UCHAR major = 0;
    bool passed = false;        // the completion walk has moved past the location
    bool marked = false;        // SL_PENDING_RETURNED was set when it did
    NTSTATUS statusAtPass = 0;  // Irp->IoStatus.Status when it did
    bool forwarded = false;     // the dispatch routine sent the IRP on
    bool forwardedPending = false;
    // Lives in IofCallDriver's own stack frame while the call runs; a frame
    // the walk has not passed when the call returns (a pending IRP) moves to
    // a block of its own, which the walk frees when it passes.
    bool onStack = true;
};

Frame* MoveFrameOffStack(const Frame& frame) {
    Frame* moved = new (RecordAllocate(sizeof(Frame))) Frame(frame);
    moved->onStack = false;
    return moved;
}

void DropFrame(Frame* frame) {
    if (frame->onStack)
        return;
    frame->~Frame();
    RecordFree(frame, sizeof(Frame));
}

// An IRP's open frames: as many as drivers in its stack hold it at once, a
// few, so they are kept in the record itself and only a deeper stack takes
// a list of its own.
class FrameList {
public:
    Frame** begin() { return spill_.empty() ? inline_ : spill_.data(); }
    Frame** end() { return begin() + size_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    Frame* operator[](size_t i) { return begin()[i]; }
    Frame* front() { return begin()[0]; }
    void push_back(Frame* frame) {
        if (spill_.empty() && size_ < kInline) {
            inline_[size_++] = frame;
            return;
        }
        if (spill_.empty())
            spill_.assign(inline_, inline_ + size_);
        spill_.push_back(frame);
        ++size_;
    }
    void erase(Frame** at) {
        std::move(at + 1, end(), at);
        --size_;
        if (!spill_.empty())
            spill_.pop_back();
    }

private:
    static constexpr size_t kInline = 4;
    Frame* inline_[kInline] = {};
    std::vector<Frame*, RecordAllocator<Frame*>> spill_; // all of them, once more than kInline
    size_t size_ = 0;
};

struct IrpRecord {
    PIRP irp = nullptr;
    size_t bytes = 0;
    IrpKind kind = IrpKind::DriverAllocated;
    PDRIVER_OBJECT owner = nullptr;
    FrameList active; // frames not yet passed by a walk
    bool finished = false;  // the walk reached the top
    // Written under IoLock(); atomic for the walk, which looks after each
    // completion routine without taking the lock again.
    std::atomic<bool> freed{false};
    int pins = 0;
    bool freeDeferred = false;
    // IoBuildDeviceIoControlRequest
    ULONG outputLength = 0;
    IrpFinisher finish;

    IrpRecord() = default;
    IrpRecord(const IrpRecord&) = delete;
    IrpRecord& operator=(const IrpRecord&) = delete;
    ~IrpRecord() {
        for (Frame* frame : active)
            DropFrame(frame);
    }
};

// Every live IRP's record by address: an open-addressing table (linear
// probing, power-of-two size), because every request looks its IRP up a few
// times and a node-based map costs an allocation and a division each time.
class IrpTable {
public:
    struct Slot {
        PIRP first = nullptr; // nullptr: empty
        std::shared_ptr<IrpRecord> second;
    };

    std::shared_ptr<IrpRecord>* Find(PIRP irp) {
        if (slots_.empty() || irp == nullptr)
            return nullptr;
        for (size_t i = Home(irp);; i = (i + 1) & mask_) {
            if (slots_[i].first == irp)
                return &slots_[i].second;
            if (slots_[i].first == nullptr)
                return nullptr;
        }
    }
    // One walk of the run: the entry, or the empty slot that ends the run.
    std::shared_ptr<IrpRecord>& operator[](PIRP irp) {
        if ((used_ + 1) * 2 > slots_.size())
            Grow();
        size_t i = Home(irp);
        for (; slots_[i].first != nullptr; i = (i + 1) & mask_)
            if (slots_[i].first == irp)
                return slots_[i].second;
        ++used_;
        if ((reinterpret_cast<uintptr_t>(irp) & (kIrpAlignment - 1)) != 0)
            ++unaligned_; // FirstWithin walks the table from now on
        slots_[i].first = irp;
        ++size_;
        return slots_[i].second;
    }
    // Removes the entry and hands its record over (empty when there is none).
    // The entries after it in its run move back over the hole (each as far
    // as its home allows), so that no erased marker is left for lookups to
    // walk over and no rebuild is needed to clear them.
    std::shared_ptr<IrpRecord> take(PIRP irp) {
        std::shared_ptr<IrpRecord>* found = Find(irp);
        if (found == nullptr)
            return nullptr;
        Slot& slot = *reinterpret_cast<Slot*>(reinterpret_cast<char*>(found) - offsetof(Slot, second));
        std::shared_ptr<IrpRecord> record = std::move(slot.second);
        size_t hole = static_cast<size_t>(&slot - slots_.data());
        for (size_t j = (hole + 1) & mask_; slots_[j].first != nullptr; j = (j + 1) & mask_) {
            const size_t home = Home(slots_[j].first);
            // It stays when its home lies in the cyclic range (hole, j].
            const bool stays = hole <= j ? hole < home && home <= j : hole < home || home <= j;
            if (stays)
                continue;
            slots_[hole] = std::move(slots_[j]);
            hole = j;
        }
        slots_[hole].first = nullptr;
        slots_[hole].second.reset();
        --size_;
        --used_;
        return record;
    }
    void erase(PIRP irp) { take(irp); }
    size_t size() const { return size_; }
    void clear() {
        slots_.clear();
        mask_ = 0;
        size_ = used_ = unaligned_ = 0;
    }

    // A live IRP whose address lies in [begin, begin + length), or NULL. Every
    // pool free asks: a small block is answered by looking up each address an
    // IRP could start at (the simulation's IRPs come from the host allocator,
    // 16-byte aligned), a large one by a walk of the table.
    PIRP FirstWithin(const char* begin, size_t length) {
        const uintptr_t from = reinterpret_cast<uintptr_t>(begin);
        if (unaligned_ == 0 && length / kIrpAlignment < slots_.size()) {
            for (uintptr_t a = (from + kIrpAlignment - 1) & ~(kIrpAlignment - 1);
                 a < from + length; a += kIrpAlignment)
                if (Find(reinterpret_cast<PIRP>(a)) != nullptr)
                    return reinterpret_cast<PIRP>(a);
            return nullptr;
        }
        for (Slot& slot : slots_) {
            const uintptr_t a = reinterpret_cast<uintptr_t>(slot.first);
            if (slot.first != nullptr && a >= from && a < from + length)
                return slot.first;
        }
        return nullptr;
    }

    // Live entries only, as `auto& [irp, record]`.
    class Iterator {
    public:
        Iterator(std::vector<Slot>* slots, size_t at) : slots_(slots), at_(at) { Skip(); }
        Slot& operator*() const { return (*slots_)[at_]; }
        Iterator& operator++() {
            ++at_;
            Skip();
            return *this;
        }
        bool operator!=(const Iterator& other) const { return at_ != other.at_; }

    private:
        void Skip() {
            while (at_ < slots_->size() && (*slots_)[at_].first == nullptr)
                ++at_;
        }
        std::vector<Slot>* slots_;
        size_t at_;
    };
    Iterator begin() { return Iterator(&slots_, 0); }
    Iterator end() { return Iterator(&slots_, slots_.size()); }

private:
    static constexpr uintptr_t kIrpAlignment = 16;

    size_t Home(PIRP irp) const {
        return (reinterpret_cast<uintptr_t>(irp) >> 4) * 0x9E3779B97F4A7C15ull >> 20 & mask_;
    }
    void Grow() {
        std::vector<Slot> old;
        old.swap(slots_);
        size_t capacity = 64;
        while (capacity < (size_ + 1) * 4)
            capacity *= 2;
        slots_.resize(capacity);
        mask_ = capacity - 1;
        size_ = used_ = 0;
        for (Slot& slot : old)
            if (slot.first != nullptr)
                (*this)[slot.first] = std::move(slot.second);
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t size_ = 0; // live entries
    size_t used_ = 0; // occupied slots (no erased markers are left: the same as size_)
    size_t unaligned_ = 0; // IRPs ever put in at an address off kIrpAlignment
};
IrpTable g_irps; // guarded by IoLock()
// The recent IRP events, for bug-check reports. Kept as records and put into
// words only when a bug check prints them: the requests of a busy port would
// otherwise spend most of their time formatting lines nobody reads. The names
// they point to are made once per device and driver and kept until the
// kernel stops, so an entry outlives what it names.
struct LogEntry {
    enum class Kind : UCHAR { Call, Return, Complete, Free, Cancel };
    Kind kind = Kind::Call;
    UCHAR major = 0;
    CCHAR location = 0;
    NTSTATUS status = 0;
    PIRP irp = nullptr;
    const void* routine = nullptr;      // Return: the dispatch routine
    const std::string* device = nullptr; // Call: the device called
    const std::string* driver = nullptr; // who returned, completed, freed, cancelled
};
constexpr size_t kLogLength = 24;
LogEntry g_log[kLogLength];
size_t g_logged = 0; // entries ever written; the newest is at (g_logged - 1) % kLogLength
size_t g_logNext = 0; // g_logged % kLogLength, kept as it goes: every call and completion logs
std::deque<std::string> g_names; // what log entries point to; stable addresses
// Drivers' names by driver object, forgotten when the object goes.
std::vector<std::pair<PDRIVER_OBJECT, const std::string*>> g_driverText;
KSPIN_LOCK g_cancelLock = 0;
thread_local bool t_cancelLockHeld = false;
thread_local std::vector<Frame*> t_frames; // dispatch calls running on this thread
thread_local char t_threadToken;

std::string Hex(ULONG_PTR value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%lX", (unsigned long)value);
    return buffer;
}

std::string StatusText(NTSTATUS status) { return Hex((ULONG)status); }

// Caller holds IoLock() for all of these.
// Drivers' names as the log entries point to them, by driver object: a few
// slots by address in front of the list, since every call and completion
// logs one.
struct DriverTextSlot {
    PDRIVER_OBJECT driver = nullptr;
    const std::string* text = nullptr;
};
DriverTextSlot g_driverTextSlots[8];

const std::string* DriverTextSlowLocked(PDRIVER_OBJECT driver);

// Two slots a driver may sit in, from its address: driver objects are
// allocated at like offsets, so one slot alone has two of a run's three
// drivers take it from each other on every call.
inline size_t DriverTextSlotOf(PDRIVER_OBJECT driver) {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(driver) * 0x9E3779B97F4A7C15ull) >>
                               61);
}

inline const std::string* DriverTextLocked(PDRIVER_OBJECT driver) {
    const size_t at = DriverTextSlotOf(driver);
    for (size_t way : {at, at ^ 1}) {
        const DriverTextSlot& slot = g_driverTextSlots[way];
        if (slot.driver == driver && slot.text != nullptr) [[likely]]
            return slot.text;
    }
    return DriverTextSlowLocked(driver);
}

[[gnu::noinline]] const std::string* DriverTextSlowLocked(PDRIVER_OBJECT driver) {
    const size_t at = DriverTextSlotOf(driver);
    DriverTextSlot& slot = g_driverTextSlots[g_driverTextSlots[at].driver == nullptr ? at : at ^ 1];
    const std::string* text = nullptr;
    for (const auto& [known, known_text] : g_driverText)
        if (known == driver)
            text = known_text;
    if (text == nullptr) {
        text = &g_names.emplace_back(DriverName(driver));
        g_driverText.emplace_back(driver, text);
    }
    slot = DriverTextSlot{driver, text};
    return text;
}

const std::string* DeviceTextLocked(PDEVICE_OBJECT device) {
    PDEVOBJ_EXTENSION record = device->DeviceObjectExtension;
    if (record == nullptr)
        return &g_names.emplace_back(DeviceText(device));
    if (record->text == nullptr)
        record->text = &g_names.emplace_back(DeviceText(device));
    return record->text;
}

LogEntry& Log(LogEntry::Kind kind, PIRP irp) {
    LogEntry& entry = g_log[g_logNext];
    g_logged++;
    if (++g_logNext == kLogLength)
        g_logNext = 0;
    entry = LogEntry{kind, 0, 0, 0, irp, nullptr, nullptr, nullptr};
    return entry;
}

void LogBy(LogEntry::Kind kind, PIRP irp, PDRIVER_OBJECT driver) {
    Log(kind, irp).driver = DriverTextLocked(driver);
}

std::string LogLine(const LogEntry& e) {
    const std::string by = e.driver != nullptr ? *e.driver : std::string();
    const std::string device = e.device != nullptr ? *e.device : std::string();
    switch (e.kind) {
    case LogEntry::Kind::Call:
        return "call " + IrpText(e.irp) + " " + MajorName(e.major) + " -> " + device +
               " at location " + std::to_string(e.location);
    case LogEntry::Kind::Return:
        return "return " + StatusText(e.status) + " from " + by + " " + RoutineText(e.routine) +
               " for " + MajorName(e.major) + " for " + IrpText(e.irp);
    case LogEntry::Kind::Complete:
        return "complete " + IrpText(e.irp) + " status " + StatusText(e.status) + " by " + by;
    case LogEntry::Kind::Free:
        return "free " + IrpText(e.irp) + " by " + by;
    case LogEntry::Kind::Cancel:
        return "cancel " + IrpText(e.irp) + " by " + by;
    }
    return std::string();
}

void ClearLogLocked() {
    for (DriverTextSlot& slot : g_driverTextSlots)
        slot = DriverTextSlot();
    for (LogEntry& entry : g_log)
        entry = LogEntry();
    g_logged = 0;
    g_logNext = 0;
    g_driverText.clear();
    g_names.clear();
}

// Caller holds IoLock(), and uses the record only while it does.
IrpRecord* FindLocked(PIRP irp) {
    std::shared_ptr<IrpRecord>* found = g_irps.Find(irp);
    return found == nullptr ? nullptr : found->get();
}

// For a caller that goes on with the record after dropping IoLock() (the IRP
// may be freed meanwhile; the record then says so).
std::shared_ptr<IrpRecord> FindSharedLocked(PIRP irp) {
    std::shared_ptr<IrpRecord>* found = g_irps.Find(irp);
    return found == nullptr ? nullptr : *found;
}

PIO_STACK_LOCATION Location(PIRP irp, CCHAR number) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (number - 1);
}

void InitializeIrp(PIRP irp, USHORT size, CCHAR stackSize) {
    memset(irp, 0, size);
    irp->Type = kIoTypeIrp;
    irp->Size = size;
    irp->StackCount = stackSize;
    irp->CurrentLocation = (CCHAR)(stackSize + 1);
    InitializeListHead(&irp->ThreadListEntry);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

PIRP RecycledIrp(size_t bytes);

PIRP NewIrp(CCHAR stackSize, IrpKind kind, PDRIVER_OBJECT owner, IrpFinisher finish = nullptr) {
    if (stackSize < 0) {
        NotModelled("IoAllocateIrp with a negative stack size " + std::to_string(stackSize));
    }
    ULONG size = IoSizeOfIrp(stackSize);
    PIRP irp = RecycledIrp(size);
    if (irp == nullptr)
        irp = static_cast<PIRP>(std::calloc(1, size));
    if (irp == nullptr)
        std::abort();
    InitializeIrp(irp, (USHORT)size, stackSize);
    auto record = MakeRecord<IrpRecord>();
    record->irp = irp;
    record->bytes = size;
    record->kind = kind;
    record->owner = owner;
    record->finish = std::move(finish);
    std::lock_guard<SimMutex> lock(IoLock());
    g_irps[irp] = std::move(record);
    return irp;
}

// Caller holds IoLock(); frees the memory after dropping it.
void ForgetLocked(IrpRecord& record) {
    record.freed = true;
    g_irps.erase(record.irp);
}

// Freed IRPs are poisoned and held back for a while before their memory goes
// back to the host, like Driver Verifier's special IRP pool: a driver that
// touches an IRP after it completed (a second completion, say) then meets the
// simulation's own check instead of reused memory. What leaves the quarantine
// is kept for the next IRP of its size, a few of them, rather than going
// through the host's allocator once per request.
struct HeldIrp {
    PIRP irp;
    size_t bytes;
};
constexpr size_t kQuarantinedIrps = 256;
constexpr size_t kRecycledIrps = 32;
// The quarantine, oldest first: a ring of kQuarantinedIrps + 1 (the newest
// pushes the oldest out).
class IrpQuarantine {
public:
    size_t size() const { return count_; }
    // Indices wrap by a test, not a division: every IRP freed comes here.
    void push_back(const HeldIrp& held) {
        size_t at = head_ + count_;
        if (at >= kSlots)
            at -= kSlots;
        ring_[at] = held;
        ++count_;
    }
    HeldIrp pop_front() {
        HeldIrp oldest = ring_[head_];
        if (++head_ == kSlots)
            head_ = 0;
        --count_;
        return oldest;
    }
    template <typename F> void ForEach(F f) const {
        for (size_t i = 0; i < count_; ++i)
            f(ring_[(head_ + i) % kSlots]);
    }
    void clear() { head_ = count_ = 0; }

private:
    static constexpr size_t kSlots = kQuarantinedIrps + 1;
    HeldIrp ring_[kSlots] = {};
    size_t head_ = 0;
    size_t count_ = 0;
};
// One quarantine per host processor, each with its own lock: a request's
// IRP is made by the thread that sends it and freed by the one that
// completes it, on the same host processor where a program keeps a port's
// work together, and one lock for all of them moved between the processors
// twice per request. The deterministic machine has one (its locks are no
// locks, and where an IRP's memory comes from stays the same run to run).
struct alignas(64) QuarantineShard {
    SimMutex lock;
    IrpQuarantine held; // guarded by `lock`, and so is:
    std::vector<HeldIrp> recycled;
};
constexpr size_t kQuarantineShards = 8;
QuarantineShard g_quarantines[kQuarantineShards];

QuarantineShard& QuarantineHere() {
    if (!g_simLocking)
        return g_quarantines[0];
    const int cpu = sched_getcpu();
    return g_quarantines[cpu < 0 ? 0 : static_cast<size_t>(cpu) % kQuarantineShards];
}

void ReleaseMemory(PIRP irp, size_t bytes) {
    memset(irp, kFreedIrpPoison, bytes);
    HeldIrp oldest{nullptr, 0};
    {
        QuarantineShard& q = QuarantineHere();
        std::lock_guard<SimMutex> lock(q.lock);
        q.held.push_back({irp, bytes});
        if (q.held.size() <= kQuarantinedIrps)
            return;
        oldest = q.held.pop_front();
        if (q.recycled.size() < kRecycledIrps) {
            q.recycled.push_back(oldest);
            return;
        }
    }
    std::free(oldest.irp);
}

// Memory of `bytes` that has served its time in quarantine, or NULL.
PIRP RecycledIrp(size_t bytes) {
    QuarantineShard& q = QuarantineHere();
    std::lock_guard<SimMutex> lock(q.lock);
    for (size_t i = q.recycled.size(); i-- > 0;) {
        if (q.recycled[i].bytes == bytes) {
            PIRP irp = q.recycled[i].irp;
            q.recycled.erase(q.recycled.begin() + static_cast<ptrdiff_t>(i));
            return irp;
        }
    }
    return nullptr;
}

void ReleaseQuarantine() {
    for (QuarantineShard& q : g_quarantines) {
        std::lock_guard<SimMutex> lock(q.lock);
        q.held.ForEach([](const HeldIrp& held) { std::free(held.irp); });
        for (const HeldIrp& held : q.recycled)
            std::free(held.irp);
        q.held.clear();
        q.recycled.clear();
    }
}

// The walk is moving past `number`: close the frames that gave it out.
// Caller holds IoLock().
void PassLocked(IrpRecord& record, CCHAR number) {
    PIO_STACK_LOCATION sp = Location(record.irp, number);
    for (size_t i = 0; i < record.active.size();) {
        Frame& frame = *record.active[i];
        if (frame.location == number) {
            frame.passed = true;
            frame.marked = (sp->Control & SL_PENDING_RETURNED) != 0;
            frame.statusAtPass = record.irp->IoStatus.Status;
            record.active.erase(record.active.begin() + i);
            DropFrame(&frame);
        } else {
            ++i;
        }
    }
}

bool AllowedAtDispatch(UCHAR major) {
    return major == IRP_MJ_READ || major == IRP_MJ_WRITE || major == IRP_MJ_DEVICE_CONTROL ||
           major == IRP_MJ_INTERNAL_DEVICE_CONTROL || major == IRP_MJ_POWER;
}


// The driver a completion or cancel routine belongs to.
PDRIVER_OBJECT OwnerOf(PDEVICE_OBJECT device, const IrpRecord& record) {
    return device != nullptr ? device->DriverObject : record.owner;
}

// The end of the walk for an IRP the I/O manager finishes itself.
void FinishAtTop(IrpRecord* record) {
    PIRP irp = record->irp;
    if (record->kind == IrpKind::DriverAllocated) {
        BugCheck(kDriverVerifierIomanagerViolation, kC9OwnIrpCompletedToTop, (ULONG_PTR)irp, 0, 0,
                 IrpText(irp) + " allocated by " + DriverName(record->owner) +
                     " with IoAllocateIrp completed all the way up: the allocating driver's "
                     "completion routine must return STATUS_MORE_PROCESSING_REQUIRED and free it");
    }
    if (record->kind == IrpKind::Built) {
        IoCompleteBufferedIo(irp, record->outputLength);
        PIO_STATUS_BLOCK iosb = irp->UserIosb;
        PKEVENT event = irp->UserEvent;
        *iosb = irp->IoStatus;
        // The waiter may unwind its stack (status block and event) as soon as
        // the event is set: touch neither afterwards.
        if (event != nullptr)
            KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    } else if (record->finish) {
        record->finish(irp);
    }
    const size_t bytes = record->bytes;
    std::shared_ptr<IrpRecord> last; // the table's reference, dropped on the way out
    {
        std::lock_guard<SimMutex> lock(IoLock());
        record->finished = true;
        if (record->pins == 0) {
            record->freed = true;
            last = g_irps.take(irp);
        } else {
            record->freeDeferred = true;
        }
    }
    if (last != nullptr)
        ReleaseMemory(irp, bytes);
    Notify();
}

} // namespace

// ---------------------------------------------------------------- internal API

void IoForgetDriverLocked(PDRIVER_OBJECT driver) {
    for (DriverTextSlot& slot : g_driverTextSlots)
        if (slot.driver == driver)
            slot = DriverTextSlot();
    std::erase_if(g_driverText, [driver](const auto& entry) { return entry.first == driver; });
}

PIRP IoAllocateManagedIrp(CCHAR stackSize, IrpKind kind, IrpFinisher finish) {
    PIRP irp = NewIrp(stackSize, kind, t_currentDriver, std::move(finish));
    irp->Tail.Overlay.Thread = IoCurrentThreadToken();
    return irp;
}

// A system buffer carries its length in front of it, so that it can go back
// to the record free lists it came from.
constexpr size_t kSystemBufferHeader = 16;

void* IoAllocateSystemBuffer(size_t length, const void* input, size_t inputLength, bool zeroRest) {
    inputLength = input == nullptr ? 0 : std::min(inputLength, length);
    unsigned char* buffer;
    // Under a sanitizer, exactly what was asked for, with nothing in front
    // for a driver's underrun to land in unseen.
    if constexpr (!kPoolRecords) {
        buffer = static_cast<unsigned char*>(std::malloc(length));
    } else {
        auto* block = static_cast<unsigned char*>(RecordAllocate(kSystemBufferHeader + length));
        memcpy(block, &length, sizeof length);
        buffer = block + kSystemBufferHeader;
    }
    // The caller's bytes, then (unless the driver is to fill it) zeros.
    if (inputLength != 0)
        memcpy(buffer, input, inputLength);
    if (zeroRest)
        memset(buffer + inputLength, 0, length - inputLength);
    return buffer;
}

void IoFreeSystemBuffer(void* buffer) {
    if constexpr (!kPoolRecords) {
        std::free(buffer);
        return;
    }
    if (buffer == nullptr)
        return;
    auto* block = static_cast<unsigned char*>(buffer) - kSystemBufferHeader;
    size_t length;
    memcpy(&length, block, sizeof length);
    RecordFree(block, kSystemBufferHeader + length);
}

void IoCompleteBufferedIo(PIRP irp, ULONG outputLength) {
    if ((irp->Flags & IRP_BUFFERED_IO) == 0)
        return;
    void* system = irp->AssociatedIrp.SystemBuffer;
    if ((irp->Flags & IRP_INPUT_OPERATION) != 0 && !NT_ERROR(irp->IoStatus.Status) &&
        irp->IoStatus.Information != 0) {
        if (irp->IoStatus.Information > outputLength) {
            BugCheck(kDriverVerifierIomanagerViolation, kC9InformationOverrun, (ULONG_PTR)irp,
                     irp->IoStatus.Information, outputLength,
                     IrpText(irp) + " completed with Information " +
                         std::to_string(irp->IoStatus.Information) +
                         " larger than the caller's output buffer of " +
                         std::to_string(outputLength) + " bytes");
        }
        memcpy(irp->UserBuffer, system, irp->IoStatus.Information);
    }
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) != 0)
        IoFreeSystemBuffer(system);
    irp->AssociatedIrp.SystemBuffer = nullptr;
    irp->Flags &= ~(ULONG)(IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION);
}

bool IoPinIrp(PIRP irp) {
    std::lock_guard<SimMutex> lock(IoLock());
    auto record = FindLocked(irp);
    if (record == nullptr || record->finished)
        return false;
    record->pins++;
    return true;
}

void IoUnpinIrp(PIRP irp) {
    std::shared_ptr<IrpRecord> record;
    {
        std::lock_guard<SimMutex> lock(IoLock());
        record = FindSharedLocked(irp);
        if (record == nullptr || --record->pins > 0 || !record->freeDeferred)
            return;
        ForgetLocked(*record);
    }
    ReleaseMemory(irp, record->bytes);
}

size_t IoOutstandingIrpsOf(PDRIVER_OBJECT driver) {
    std::lock_guard<SimMutex> lock(IoLock());
    size_t count = 0;
    for (auto& [irp, record] : g_irps) {
        bool mine = record->owner == driver;
        for (auto& frame : record->active)
            mine = mine || frame->device->DriverObject == driver;
        count += mine ? 1 : 0;
    }
    return count;
}

std::string IoDescribeOutstandingIrps(PDRIVER_OBJECT driver, PDEVICE_OBJECT device) {
    std::lock_guard<SimMutex> lock(IoLock());
    std::string text;
    for (auto& [irp, record] : g_irps) {
        bool match = device == nullptr && (driver == nullptr || record->owner == driver);
        std::string holders;
        for (auto& frame : record->active) {
            if (frame->device == device ||
                (device == nullptr && driver != nullptr && frame->device->DriverObject == driver))
                match = true;
            holders += std::string(holders.empty() ? "" : ", ") + MajorName(frame->major) +
                       " at location " + std::to_string(frame->location) + " of " +
                       DeviceText(frame->device);
        }
        if (!match)
            continue;
        static const char* const kKinds[] = {"IoAllocateIrp", "IoBuildDeviceIoControlRequest",
                                             "user request", "kernel request"};
        text += "  " + IrpText(irp) + " (" + kKinds[(int)record->kind] + " by " +
                DriverName(record->owner) + ")";
        text += holders.empty() ? ", not sent anywhere\n" : ", held by " + holders + "\n";
    }
    return text;
}

bool IoDeviceHoldsIrps(PDEVICE_OBJECT device) {
    for (auto& [irp, record] : g_irps)
        for (auto& frame : record->active)
            if (frame->device == device)
                return true;
    return false;
}

PETHREAD IoCurrentThreadToken() { return reinterpret_cast<PETHREAD>(&t_threadToken); }

size_t OutstandingIrps() {
    std::lock_guard<SimMutex> lock(IoLock());
    return g_irps.size();
}

std::string IoBugCheckContext() {
    std::unique_lock<SimMutex> lock(IoLock(), std::try_to_lock);
    if (!lock.owns_lock() || g_logged == 0)
        return std::string();
    std::string text = "recent IRPs (oldest first):\n";
    for (size_t i = g_logged > kLogLength ? g_logged - kLogLength : 0; i < g_logged; ++i)
        text += "  " + LogLine(g_log[i % kLogLength]) + "\n";
    return text;
}

void IoCheckFreedRange(const void* base, size_t length) {
    const char* begin = static_cast<const char*>(base);
    {
        std::unique_lock<SimMutex> lock(IoLock());
        if (PIRP irp = g_irps.FirstWithin(begin, length)) {
            lock.unlock();
            BugCheck(kDriverVerifierIomanagerViolation, kC9FreedMemoryHoldsIrp, (ULONG_PTR)irp,
                     (ULONG_PTR)base, length, "pool freed while it holds live " + IrpText(irp));
        }
    }
    IoRemoveLocksFreed(base, length, "ExFreePool", true);
}

void IoIrpStart() {
    std::lock_guard<SimMutex> lock(IoLock());
    g_irps.clear();
    ClearLogLocked();
    KeInitializeSpinLock(&g_cancelLock);
}

void IoIrpStop() {
    std::vector<std::shared_ptr<IrpRecord>> records;
    {
        std::lock_guard<SimMutex> lock(IoLock());
        for (auto& [irp, record] : g_irps)
            records.push_back(record);
        g_irps.clear();
        ClearLogLocked();
    }
    for (auto& record : records)
        std::free(record->irp);
    ReleaseQuarantine();
}

std::string IoDescribeAllIrps() { return IoDescribeOutstandingIrps(nullptr, nullptr); }

} // namespace sim

using namespace sim;

// ---------------------------------------------------------------- allocation

extern "C" PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    if (ShouldFailAllocation(AllocKind::Irp, __builtin_return_address(0)))
        return nullptr;
    return NewIrp(StackSize, IrpKind::DriverAllocated, t_currentDriver);
}

extern "C" VOID NTAPI IoFreeIrp(PIRP Irp) {
    std::shared_ptr<IrpRecord> record;
    {
        std::unique_lock<SimMutex> lock(IoLock());
        record = FindSharedLocked(Irp);
        if (record == nullptr) {
            lock.unlock();
            BugCheck(kDriverVerifierIomanagerViolation, kC9FreeNonIrp, (ULONG_PTR)Irp, 0, 0,
                     "IoFreeIrp: " + IrpText(Irp) + " is not a live IRP (freed twice?)");
        }
        if (record->kind != IrpKind::DriverAllocated) {
            lock.unlock();
            BugCheck(kDriverVerifierIomanagerViolation, kC9FreeThreadIrp, (ULONG_PTR)Irp, 0, 0,
                     "IoFreeIrp: " + IrpText(Irp) +
                         " belongs to the I/O manager (built request or user request); it "
                         "frees it itself at completion");
        }
        if (!record->active.empty()) {
            std::string holder = DeviceText(record->active.front()->device);
            lock.unlock();
            BugCheck(kDriverVerifierIomanagerViolation, kC9FreeIrpInUse, (ULONG_PTR)Irp, 0, 0,
                     "IoFreeIrp: " + IrpText(Irp) + " is still being processed by " + holder);
        }
        LogBy(LogEntry::Kind::Free, Irp, t_currentDriver);
        ForgetLocked(*record);
    }
    ReleaseMemory(Irp, record->bytes);
}

extern "C" VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    std::unique_lock<SimMutex> lock(IoLock());
    auto record = FindLocked(Irp);
    if (record == nullptr || record->kind != IrpKind::DriverAllocated) {
        lock.unlock();
        BugCheck(kDriverVerifierIomanagerViolation, kC9ReuseForeignIrp, (ULONG_PTR)Irp, 0, 0,
                 "IoReuseIrp: " + IrpText(Irp) + " was not allocated with IoAllocateIrp");
    }
    if (!record->active.empty()) {
        lock.unlock();
        BugCheck(kDriverVerifierIomanagerViolation, kC9FreeIrpInUse, (ULONG_PTR)Irp, 0, 0,
                 "IoReuseIrp: " + IrpText(Irp) + " is still being processed by a lower driver");
    }
    UCHAR allocationFlags = Irp->AllocationFlags;
    InitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
    record->finished = false;
}

// ---------------------------------------------------------------- IofCallDriver

namespace {

// The rules a call down keeps before the dispatch routine runs; returns the
// routine. Caller holds IoLock through `lock`, released before a bug check.
PDRIVER_DISPATCH CheckCallLocked(std::unique_lock<SimMutex>& lock, PDEVICE_OBJECT DeviceObject,
                                 PIRP Irp, KIRQL irql, IrpRecord** record) {
    auto stop = [&](ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, const std::string& why) {
        lock.unlock();
        BugCheck(code, p1, p2, p3, 0, why);
    };
    if ((*record = FindLocked(Irp)) == nullptr || Irp->Type != kIoTypeIrp)
        stop(kDriverVerifierIomanagerViolation, kC9CallBadIrp, (ULONG_PTR)Irp, 0,
             "IofCallDriver: " + IrpText(Irp) + " is not a live IRP");
    if (!IoIsLiveDeviceLocked(DeviceObject))
        stop(kDriverVerifierIomanagerViolation, kC9CallBadDevice, (ULONG_PTR)DeviceObject,
             (ULONG_PTR)Irp,
             "IofCallDriver: " + Hex((ULONG_PTR)DeviceObject) +
                 " is not a device object (deleted, or never created)");
    if (Irp->CurrentLocation <= 1)
        stop(kNoMoreIrpStackLocations, (ULONG_PTR)Irp, 0, 0,
             "IofCallDriver: " + IrpText(Irp) + " has no stack location left for " +
                 DeviceText(DeviceObject));
    UCHAR major = IoGetNextIrpStackLocation(Irp)->MajorFunction;
    if (irql > DISPATCH_LEVEL)
        stop(kDriverVerifierIomanagerViolation, kC9CallAboveDispatch, (ULONG_PTR)Irp, irql,
             "IofCallDriver called at IRQL " + std::to_string(irql));
    if (irql == DISPATCH_LEVEL && !AllowedAtDispatch(major))
        stop(kDriverVerifierIomanagerViolation, kC9ForwardedAtBadIrql, (ULONG_PTR)Irp, irql,
             std::string("IofCallDriver at DISPATCH_LEVEL with ") + MajorName(major) +
                 ", which must be sent below DISPATCH_LEVEL");
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr)
        stop(kDriverVerifierIomanagerViolation, kC9CallWithCancelRoutine, (ULONG_PTR)Irp,
             (ULONG_PTR)Irp->CancelRoutine,
             "IofCallDriver: " + IrpText(Irp) + " still has cancel routine " +
                 RoutineText((const void*)Irp->CancelRoutine));
    PDRIVER_DISPATCH routine = nullptr;
    if (major > IRP_MJ_MAXIMUM_FUNCTION ||
        (routine = DeviceObject->DriverObject->MajorFunction[major]) == nullptr)
        stop(kDriverVerifierIomanagerViolation, kC9NoDispatchRoutine, (ULONG_PTR)Irp, major,
             std::string("IofCallDriver: no dispatch routine for ") + MajorName(major) + " in " +
                 DriverName(DeviceObject->DriverObject));
    return routine;
}

// What became of the IRP while its dispatch routine ran.
struct DispatchOutcome {
    PDRIVER_OBJECT driver;
    PDRIVER_DISPATCH routine;
    NTSTATUS status;
    bool marked, passed, forwarded, forwardedPending;
    NTSTATUS statusAtPass;
};

std::string DispatchText(const DispatchOutcome& o, const Frame& frame) {
    return "dispatch routine " + DriverName(o.driver) + " " + RoutineText((const void*)o.routine) +
           " for " + MajorName(frame.major);
}

// The dispatch routine must leave the IRQL and the spin locks as it found them.
void CheckDispatchLeftState(const DispatchOutcome& o, const Frame& frame, PIRP Irp, KIRQL irql,
                            size_t locksHeld) {
    if (CurrentIrql() != irql) {
        KIRQL now = CurrentIrql();
        BugCheck(kDriverVerifierIomanagerViolation, kC9IrqlChangedInDispatch, (ULONG_PTR)o.routine,
                 irql, now,
                 DispatchText(o, frame) + " was called at IRQL " + std::to_string(irql) +
                     " and returned at IRQL " + std::to_string(now));
    }
    if (ke::Self().spinLocks.size() != locksHeld)
        BugCheck(kDriverVerifierDetectedViolation, kC4DispatchReturnedWithSpinLock,
                 (ULONG_PTR)o.routine, (ULONG_PTR)Irp, 0,
                 DispatchText(o, frame) + " returned holding a spin lock");
}

// Reads what the walk recorded in the frame, moves a frame still open off
// the stack, and logs the return.
void CloseDispatchFrame(DispatchOutcome& o, Frame& frame, PIRP Irp) {
    std::lock_guard<SimMutex> lock(IoLock());
    o.passed = frame.passed;
    o.statusAtPass = frame.statusAtPass;
    o.forwarded = frame.forwarded;
    o.forwardedPending = frame.forwardedPending;
    if (o.passed) {
        o.marked = frame.marked;
    } else {
        o.marked = (__atomic_load_n(&Location(Irp, frame.location)->Control, __ATOMIC_RELAXED) &
                    SL_PENDING_RETURNED) != 0;
        // Still open: the walk will pass it after this call has gone. Not
        // passed, the IRP cannot have been freed, so its record is the one
        // the frame was put in.
        if (IrpRecord* open = FindLocked(Irp)) {
            for (Frame*& entry : open->active)
                if (entry == &frame)
                    entry = MoveFrameOffStack(frame);
        }
    }
    LogEntry& entry = Log(LogEntry::Kind::Return, Irp);
    entry.status = o.status;
    entry.major = frame.major;
    entry.routine = (const void*)o.routine;
    entry.driver = DriverTextLocked(o.driver);
}

// The status a dispatch routine returns must agree with what it did to the IRP.
void CheckDispatchStatus(const DispatchOutcome& o, const Frame& frame, PIRP Irp) {
    const NTSTATUS status = o.status;
    const ULONG_PTR routine = (ULONG_PTR)o.routine;
    if (status == STATUS_PENDING && !o.marked && !o.forwardedPending)
        BugCheck(
            kDriverVerifierIomanagerViolation, kC9PendingWithoutMark, routine, (ULONG_PTR)Irp, 0,
            DispatchText(o, frame) + " returned STATUS_PENDING without calling IoMarkIrpPending");
    if (status == STATUS_PENDING)
        return;
    if (o.marked)
        BugCheck(kDriverVerifierIomanagerViolation, kC9MarkedButNotPending, routine, (ULONG_PTR)Irp,
                 (ULONG_PTR)status,
                 DispatchText(o, frame) + " marked the IRP pending but returned " +
                     StatusText(status) + " instead of STATUS_PENDING");
    if (!o.passed && !o.forwarded)
        BugCheck(kDriverVerifierIomanagerViolation, kC9DispatchLostIrp, routine, (ULONG_PTR)Irp,
                 (ULONG_PTR)status,
                 DispatchText(o, frame) + " returned " + StatusText(status) +
                     " without completing, passing down or pending " + IrpText(Irp));
    if (o.passed && status != o.statusAtPass)
        BugCheck(kDriverVerifierIomanagerViolation, kC9StatusMismatch, routine, (ULONG_PTR)Irp,
                 (ULONG_PTR)status,
                 DispatchText(o, frame) + " returned " + StatusText(status) +
                     " but the IRP completed with " + StatusText(o.statusAtPass));
}

} // namespace

extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    SchedulePoint("IofCallDriver");
    KIRQL irql = CurrentIrql();
    Frame frame;
    DispatchOutcome outcome{};
    {
        std::unique_lock<SimMutex> lock(IoLock());
        IrpRecord* record = nullptr;
        outcome.routine = CheckCallLocked(lock, DeviceObject, Irp, irql, &record);
        frame.irp = Irp;
        frame.device = DeviceObject;
        frame.major = IoGetNextIrpStackLocation(Irp)->MajorFunction;
        frame.location = (CCHAR)(Irp->CurrentLocation - 1);
        // CheckCallLocked has already stopped the run for an IRP it does not know.
        record->active.push_back(&frame);
        LogEntry& entry = Log(LogEntry::Kind::Call, Irp);
        entry.major = frame.major;
        entry.location = frame.location;
        entry.device = DeviceTextLocked(DeviceObject);
    }
    if (!ke::Self().spinLocks.empty())
        RequireNoSpinLockHeld("IofCallDriver");

    Frame* parent = nullptr;
    if (!t_frames.empty() && t_frames.back()->irp == Irp)
        parent = t_frames.back();
    IoSetNextIrpStackLocation(Irp);
    IoGetCurrentIrpStackLocation(Irp)->DeviceObject = DeviceObject;
    const size_t locksHeld = 0; // RequireNoSpinLockHeld has just made sure

    // Read before the call: a driver may delete its own device object while
    // handling the request (IRP_MN_REMOVE_DEVICE does exactly that).
    outcome.driver = DeviceObject->DriverObject;
    t_frames.push_back(&frame);
    {
        CallScope scope(outcome.driver);
        outcome.status = outcome.routine(DeviceObject, Irp);
    }
    t_frames.pop_back();

    CheckDispatchLeftState(outcome, frame, Irp, irql, locksHeld);
    CloseDispatchFrame(outcome, frame, Irp);
    CheckDispatchStatus(outcome, frame, Irp);
    if (parent != nullptr) {
        std::lock_guard<SimMutex> lock(IoLock());
        parent->forwarded = true;
        if (outcome.status == STATUS_PENDING)
            parent->forwardedPending = true;
    }
    return outcome.status;
}

// ---------------------------------------------------------------- IofCompleteRequest

namespace {

// The rules a completion keeps before the walk starts. Caller holds IoLock
// through `lock`, released before a bug check.
void CheckCompleteLocked(std::unique_lock<SimMutex>& lock, PIRP Irp, IrpRecord* record,
                         KIRQL irql) {
    auto stop = [&](ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, const std::string& why) {
        lock.unlock();
        BugCheck(code, p1, p2, p3, 0, why);
    };
    // Put into words only on a finding: this runs for every completion.
    auto who = [Irp] { return DriverName(t_currentDriver) + " completed " + IrpText(Irp); };
    if (record == nullptr || record->finished || Irp->Type != kIoTypeIrp ||
        Irp->CurrentLocation > (CCHAR)(Irp->StackCount + 1))
        stop(kMultipleIrpCompleteRequests, (ULONG_PTR)Irp, 0, 0,
             who() + ", which was already completed");
    if (irql > DISPATCH_LEVEL)
        stop(kDriverVerifierIomanagerViolation, kC9CompleteAboveDispatch, (ULONG_PTR)Irp, irql,
             "IofCompleteRequest called at IRQL " + std::to_string(irql));
    if (Irp->IoStatus.Status == STATUS_PENDING || Irp->IoStatus.Status == (NTSTATUS)-1)
        stop(kDriverVerifierIomanagerViolation, kC9CompleteWithPending, (ULONG_PTR)Irp,
             (ULONG_PTR)Irp->IoStatus.Status,
             who() + " with status " + StatusText(Irp->IoStatus.Status));
    // Atomic: IoCancelIrp may be exchanging it on another thread.
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr)
        stop(kDriverVerifierIomanagerViolation, kC9CompleteWithCancelRoutine, (ULONG_PTR)Irp,
             (ULONG_PTR)Irp->CancelRoutine,
             who() + " while its cancel routine " + RoutineText((const void*)Irp->CancelRoutine) +
                 " is still set");
    // A dispatch routine completing the IRP it was given: anything it sent on
    // since (a later frame still open) is still below it.
    Frame* own = nullptr;
    for (auto it = t_frames.rbegin(); it != t_frames.rend() && own == nullptr; ++it)
        if ((*it)->irp == Irp)
            own = *it;
    bool after = false;
    for (auto& frame : record->active) {
        bool below = frame->location < Irp->CurrentLocation || (own != nullptr && after);
        after = after || frame == own;
        if (below)
            stop(kDriverVerifierIomanagerViolation, kC9CompletePendingBelow, (ULONG_PTR)Irp,
                 (ULONG_PTR)frame->device,
                 who() + " while " + DeviceText(frame->device) + " below it still has it");
    }
}

// The walk leaves a location as Windows does: nothing of the driver's
// parameters or completion routine stays in it.
void ClearLocation(PIO_STACK_LOCATION sp) {
    sp->MinorFunction = 0;
    sp->Flags = 0;
    sp->Control = 0;
    memset(&sp->Parameters.Others, 0, sizeof sp->Parameters.Others);
    sp->FileObject = nullptr;
    sp->CompletionRoutine = nullptr;
    sp->Context = nullptr;
}

bool InvokesRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE routine, UCHAR control) {
    NTSTATUS status = Irp->IoStatus.Status;
    return routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
                                  (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0) ||
                                  (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL) != 0));
}

// What a completion routine that let the walk go on must have kept.
void CheckCompletionReturn(PIRP Irp, IrpRecord* record, PIO_COMPLETION_ROUTINE routine,
                           PDRIVER_OBJECT driver, NTSTATUS result, CCHAR stackCount) {
    auto who = [routine, driver] {
        return "completion routine " + RoutineText((const void*)routine) + " of " +
               DriverName(driver);
    };
    if (record->freed.load(std::memory_order_acquire))
        BugCheck(kDriverVerifierIomanagerViolation, kC9IrpFreedInRoutine, (ULONG_PTR)Irp,
                 (ULONG_PTR)routine, (ULONG_PTR)result,
                 who() + " freed " + IrpText(Irp) + " and returned " + StatusText(result) +
                     " instead of STATUS_MORE_PROCESSING_REQUIRED");
    if (Irp->PendingReturned && Irp->CurrentLocation <= stackCount &&
        (IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED) == 0)
        BugCheck(kDriverVerifierIomanagerViolation, kC9PendingNotPropagated, (ULONG_PTR)Irp,
                 (ULONG_PTR)routine, 0,
                 who() + " saw PendingReturned but did not call IoMarkIrpPending");
}

// Runs one completion routine; true when it stopped the walk.
bool RunCompletionRoutine(PIRP Irp, IrpRecord* record, PIO_COMPLETION_ROUTINE routine,
                          PVOID context) {
    PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                ? nullptr
                                : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    PDRIVER_OBJECT driver = OwnerOf(device, *record);
    CCHAR stackCount = Irp->StackCount;
    KIRQL before = CurrentIrql();
    NTSTATUS result;
    {
        CallScope scope(driver);
        result = routine(device, Irp, context);
    }
    if (CurrentIrql() != before) {
        KIRQL now = CurrentIrql();
        BugCheck(kDriverVerifierDetectedViolation, kC4CompletionIrqlChanged, (ULONG_PTR)routine,
                 before, now,
                 "completion routine " + RoutineText((const void*)routine) + " of " +
                     DriverName(driver) + " was called at IRQL " + std::to_string(before) +
                     " and returned at IRQL " + std::to_string(now));
    }
    if (result == STATUS_MORE_PROCESSING_REQUIRED)
        return true;
    CheckCompletionReturn(Irp, record, routine, driver, result, stackCount);
    return false;
}

} // namespace

extern "C" VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    SchedulePoint("IofCompleteRequest");
    UNREFERENCED_PARAMETER(PriorityBoost);
    // The walk holds a reference to the record once a completion routine is
    // to run (it may free the IRP), and from the start for an IRP a driver
    // owns; the I/O manager's own IRPs go only at the end of their walk.
    IrpRecord* record = nullptr;
    std::shared_ptr<IrpRecord> keep;
    std::unique_lock<SimMutex> lock(IoLock());
    record = FindLocked(Irp);
    if (record != nullptr && record->kind != IrpKind::User)
        keep = FindSharedLocked(Irp);
    CheckCompleteLocked(lock, Irp, record, CurrentIrql());
    LogEntry& entry = Log(LogEntry::Kind::Complete, Irp);
    entry.status = Irp->IoStatus.Status;
    entry.driver = DriverTextLocked(t_currentDriver);

    // The walk of the Windows I/O manager: each location above the completer
    // in turn; a completion routine sees the device object of the driver that
    // set it (the location it now is at), or NULL for the routine of whoever
    // allocated the IRP without a location of its own. Each location is
    // passed under the lock together with what came before it since the last
    // driver routine, so that a completion takes it once per routine it runs.
    for (PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
         Irp->CurrentLocation <= Irp->StackCount; sp++) {
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID context = sp->Context;
        UCHAR control = sp->Control;
        const bool invokes = InvokesRoutine(Irp, routine, control);
        if (!lock.owns_lock())
            lock.lock();
        PassLocked(*record, Irp->CurrentLocation);
        if (invokes && keep == nullptr)
            keep = FindSharedLocked(Irp);
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        ClearLocation(sp);
        if (!invokes) {
            if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount)
                IoMarkIrpPending(Irp);
            continue;
        }
        lock.unlock();
        if (RunCompletionRoutine(Irp, record, routine, context))
            return;
    }
    if (lock.owns_lock())
        lock.unlock();
    FinishAtTop(record);
}

// ---------------------------------------------------------------- built requests

extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode,
                                                    PDEVICE_OBJECT DeviceObject,
                                                    PVOID InputBuffer, ULONG InputBufferLength,
                                                    PVOID OutputBuffer, ULONG OutputBufferLength,
                                                    BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                                    PIO_STATUS_BLOCK IoStatusBlock) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    {
        std::unique_lock<SimMutex> lock(IoLock());
        if (!IoIsLiveDeviceLocked(DeviceObject)) {
            lock.unlock();
            BugCheck(kDriverVerifierIomanagerViolation, kC9CallBadDevice, (ULONG_PTR)DeviceObject,
                     0, 0,
                     "IoBuildDeviceIoControlRequest: " + Hex((ULONG_PTR)DeviceObject) +
                         " is not a device object");
        }
    }
    if (IoStatusBlock == nullptr) {
        BugCheck(kDriverVerifierIomanagerViolation, kC9BuildWithoutStatusBlock, 0, 0, 0,
                 "IoBuildDeviceIoControlRequest without an I/O status block");
    }
    ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
        NotModelled("IoBuildDeviceIoControlRequest: direct I/O (control code " +
                    Hex(IoControlCode) + ") needs MDLs");
    }
    if (ShouldFailAllocation(AllocKind::BuiltRequest, __builtin_return_address(0)))
        return nullptr;
    PIRP irp = NewIrp(DeviceObject->StackSize, IrpKind::Built, t_currentDriver);
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->Tail.Overlay.Thread = IoCurrentThreadToken();
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    if (method == METHOD_BUFFERED) {
        ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength
                                                              : OutputBufferLength;
        if (length != 0) {
            void* system = IoAllocateSystemBuffer(length, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (OutputBuffer != nullptr && OutputBufferLength != 0)
                irp->Flags |= IRP_INPUT_OPERATION;
        }
    } else {
        sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    }
    // Internal requests carry their argument (a URB, say) in Argument1; the
    // buffer lengths mean nothing to their receivers.
    if (InternalDeviceIoControl && InputBuffer != nullptr && method != METHOD_BUFFERED)
        sp->Parameters.Others.Argument1 = InputBuffer;
    irp->UserBuffer = OutputBuffer;
    std::lock_guard<SimMutex> lock(IoLock());
    g_irps[irp]->outputLength = OutputBufferLength;
    return irp;
}

// ---------------------------------------------------------------- cancellation

extern "C" VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    *Irql = KfAcquireSpinLock(&g_cancelLock);
    t_cancelLockHeld = true;
}

extern "C" VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    t_cancelLockHeld = false;
    KfReleaseSpinLock(&g_cancelLock, Irql);
}

extern "C" BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    SchedulePoint("IoCancelIrp");
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
    PDRIVER_OBJECT owner;
    {
        std::unique_lock<SimMutex> lock(IoLock());
        auto record = FindLocked(Irp);
        if (record == nullptr) {
            lock.unlock();
            BugCheck(kDriverVerifierIomanagerViolation, kC9CallBadIrp, (ULONG_PTR)Irp, 0, 0,
                     "IoCancelIrp: " + IrpText(Irp) + " is not a live IRP");
        }
        owner = record->owner;
        LogBy(LogEntry::Kind::Cancel, Irp, t_currentDriver);
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                : nullptr;
    PDRIVER_OBJECT driver = device != nullptr ? device->DriverObject : owner;
    {
        CallScope scope(driver);
        routine(device, Irp);
    }
    if (t_cancelLockHeld) {
        BugCheck(kDriverVerifierDetectedViolation, kC4CancelLockHeldAtReturn, (ULONG_PTR)routine,
                 (ULONG_PTR)Irp, 0,
                 "cancel routine " + RoutineText((const void*)routine) + " of " +
                     DriverName(driver) + " returned without releasing the cancel spin lock");
    }
    return TRUE;
}
