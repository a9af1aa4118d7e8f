// Each COM port of the phone under several application threads at once, on
// the Concurrent machine: readers, writers, a wait-on-mask loop and a thread
// that cancels, purges and pokes the serial state, while the phone streams
// seeded bytes in random packet sizes and takes whatever the host writes.
//
// What must hold whatever the interleaving:
//  - the readers take turns (one read in flight at a time, as a serial
//    program reads), so what they got, in order, is exactly the phone's
//    stream: no byte lost, doubled or reordered while the ring has room;
//  - once the ring has overflowed, exactly what did not fit is missing;
//  - every write reaches the phone whole and contiguous, or (cancelled) as
//    exactly the bytes its completion reported, and nothing else arrives;
//  - every request ends with a status a serial program can expect;
//  - close and unplug leave nothing behind (the verifier's end checks).
#include "stress/stress.h"

#include "common/machine.h" // Request, StatusForError

#include "platform/usb/bus.h"
#include "platform/win32/win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using stress::Deadline;
using stress::Rng;

// SERIAL_TIMEOUTS' "not this kind of time-out" / "forever".
constexpr ULONG kForever = 0xFFFFFFFF;
constexpr ULONG kRingSize = 1024000;
// The phone keeps at most this many bytes ahead of the readers while they
// run, far below the ring, so that nothing may be lost in that phase. What is
// ahead when the readers stop is drained in small transfers (the packets are
// mostly short), which under a sanitizer takes seconds per hundred kilobytes:
// there the phone keeps less ahead.
#ifdef VXQT70_STRESS_SANITIZED
constexpr uint64_t kAheadLimit = 32 * 1024;
#else
constexpr uint64_t kAheadLimit = 192 * 1024;
#endif
constexpr ULONG kHeaderSize = 12;
constexpr int kWatchdogMs = 30000;
const ULONG kReadTimeouts[4][3] = {
    {kForever, 0, 0}, {kForever, kForever, 5}, {0, 0, 10}, {5, 0, 20}};

// What the chaos thread does besides CancelIo: control requests a serial
// program sends while others read and write (the input value when not 0).
struct Poke {
    const char* what;
    ULONG code;
    ULONG input;
    DWORD outLength;
};
const Poke kPokes[] = {
    {"PURGE", IOCTL_SERIAL_PURGE, SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT, 0},
    {"PURGE", IOCTL_SERIAL_PURGE, SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR, 0},
    {"GET_COMMSTATUS", IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS)},
    {"GET_MODEMSTATUS", IOCTL_SERIAL_GET_MODEMSTATUS, 0, sizeof(ULONG)},
    {"SET_WAIT_MASK", IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR, 0},
    {"SET_WAIT_MASK", IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY, 0},
    {"SET_DTR", IOCTL_SERIAL_SET_DTR, 0, 0},
    {"CLR_DTR", IOCTL_SERIAL_CLR_DTR, 0, 0},
};

// The phone's stream: byte i of the run seeded with `seed`.
inline uint8_t StreamByte(uint64_t seed, uint64_t i) {
    uint64_t z = (i + 1) * 0x9E3779B97F4A7C15ull ^ seed;
    z = (z ^ (z >> 31)) * 0xBF58476D1CE4E5B9ull;
    return static_cast<uint8_t>(z >> 56);
}

inline uint8_t BodyByte(uint32_t writer, uint32_t seq, uint32_t k) {
    return static_cast<uint8_t>((writer * 131 + seq * 7 + k * 29 + (k >> 8)) & 0xFF);
}

// One overlapped request with its own event.
struct Io : rig::Request {
    Io() { overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Io() { CloseHandle(overlapped.hEvent); }
};

struct Outcome {
    NTSTATUS status = STATUS_PENDING;
    DWORD bytes = 0;
    bool hung = false;
};

std::string Hex(ULONG value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

class PortStress : public ::testing::TestWithParam<usb::InterfaceKind> {
protected:
    PortStress() : kernel_(stress::ConcurrentOptions()), seed_(stress::Seed()) {
        sim::RegisterDriverImage("vxqt70modem", VXQT70_MODEM_IMAGE);
        sim::RegisterDriverImage("vxqt70diag", VXQT70_DIAG_IMAGE);
        bus_ = std::make_unique<usb::Bus>();
        usb::PhoneConfig config;
        config.interfaces = {GetParam()};
        phone_ = &bus_->PlugIn(config);
        node_ = sim::PnpFindNode(phone_->At(0).Pdo());
    }
    ~PortStress() override {
        if (port_ != INVALID_HANDLE_VALUE)
            CloseHandle(port_);
        bus_.reset();
    }

    usb::Interface& Usb() { return phone_->At(0); }

    // Waits for the request with a watchdog: a request that never ends is a
    // hang worth reporting, not a reason to block the suite. Its buffers are
    // then kept for good, since the driver may still write to them.
    Outcome Finish(std::unique_ptr<Io>& io, const char* what) {
        Outcome outcome;
        if (io->failedAtOnce) {
            outcome.status = rig::StatusForError(io->error);
            return outcome;
        }
        Deadline watchdog(kWatchdogMs);
        while (!HasOverlappedIoCompleted(&io->overlapped)) {
            WaitForSingleObject(io->overlapped.hEvent, 20);
            if (watchdog.Passed()) {
                Fault(std::string(what) + " did not end within " + std::to_string(kWatchdogMs) +
                      " ms (seed " + std::to_string(seed_) + ")");
                outcome.hung = true;
                hung_ = true;
                (void)io.release();
                return outcome;
            }
        }
        outcome.status = static_cast<NTSTATUS>(
            __atomic_load_n(&io->overlapped.Internal, __ATOMIC_ACQUIRE));
        outcome.bytes = static_cast<DWORD>(io->overlapped.InternalHigh);
        return outcome;
    }

    Outcome Control(ULONG code, const void* in, DWORD inLength, DWORD outLength,
                    std::vector<uint8_t>* out = nullptr) {
        auto io = std::make_unique<Io>();
        if (inLength != 0)
            io->input.assign(static_cast<const uint8_t*>(in),
                          static_cast<const uint8_t*>(in) + inLength);
        io->output.assign(outLength, 0);
        io->Issued(DeviceIoControl(port_, code, inLength ? io->input.data() : nullptr, inLength,
                                   outLength ? io->output.data() : nullptr, outLength, nullptr,
                                   &io->overlapped));
        Outcome outcome = Finish(io, "a control request");
        if (out != nullptr && !outcome.hung)
            *out = io->output;
        return outcome;
    }

    void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant) {
        SERIAL_TIMEOUTS t{};
        t.ReadIntervalTimeout = interval;
        t.ReadTotalTimeoutMultiplier = multiplier;
        t.ReadTotalTimeoutConstant = constant;
        Expect(Control(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, 0), "SET_TIMEOUTS");
    }

    void Expect(const Outcome& outcome, const char* what) {
        if (!outcome.hung && outcome.status != STATUS_SUCCESS)
            Fault(std::string(what) + " ended with " + Hex(outcome.status));
    }

    // Faults are collected from every thread and reported once, with the seed.
    void Fault(const std::string& text) {
        std::lock_guard<std::mutex> guard(faultLock_);
        if (faults_.size() < 20)
            faults_.push_back(text);
    }

    // The bus's last few events but bulk-out ones, for a report.
    std::string LastEvents() {
        std::vector<std::string> lines;
        for (const auto& event : phone_->Timeline())
            if (event.pipe != usb::Pipe::BulkOut)
                lines.push_back(event.Text());
        std::string text;
        for (size_t i = lines.size() > 8 ? lines.size() - 8 : 0; i < lines.size(); i++)
            text += "\n    " + lines[i];
        return text;
    }

    // One read of the ordered stream. Caller holds the read token.
    Outcome ReadOnce(DWORD length) {
        auto io = std::make_unique<Io>();
        io->output.assign(length, 0);
        io->Issued(ReadFile(port_, io->output.data(), length, nullptr, &io->overlapped));
        Outcome outcome = Finish(io, "a read");
        if (outcome.hung)
            return outcome;
        if (outcome.status != STATUS_SUCCESS && outcome.status != STATUS_TIMEOUT &&
            outcome.status != STATUS_CANCELLED)
            Fault("a read of " + std::to_string(length) + " ended with " + Hex(outcome.status));
        if (outcome.bytes > length) {
            Fault("a read of " + std::to_string(length) + " reported " +
                  std::to_string(outcome.bytes) + " bytes");
            return outcome;
        }
        for (DWORD i = 0; i < outcome.bytes; i++) {
            if (firstMismatch_ < 0 && io->output[i] != StreamByte(seed_, expectedAt_)) {
                firstMismatch_ = static_cast<int64_t>(expectedAt_);
            }
            expectedAt_++;
        }
        received_.fetch_add(outcome.bytes);
        return outcome;
    }
    // Reads until the stream reached `target`, or 50 reads in a row got nothing.
    void ReadUntil(uint64_t target, const std::function<DWORD()>& length) {
        for (int idle = 0; expectedAt_ < target && idle < 50 && !hung_;)
            idle = ReadOnce(length()).bytes == 0 ? idle + 1 : 0;
    }

    sim::Kernel kernel_;
    const uint64_t seed_;
    std::unique_ptr<usb::Bus> bus_;
    usb::Phone* phone_ = nullptr;
    sim::DevNode* node_ = nullptr;
    HANDLE port_ = INVALID_HANDLE_VALUE;

    std::mutex faultLock_;
    std::vector<std::string> faults_;
    std::atomic<bool> hung_{false};

    // The ordered stream as the readers see it (read token held).
    std::mutex readToken_;
    uint64_t expectedAt_ = 0;
    int64_t firstMismatch_ = -1;
    std::atomic<uint64_t> received_{0};
};

struct WriteRecord {
    uint32_t writer = 0;
    uint32_t seq = 0;
    uint32_t length = 0;
    NTSTATUS status = STATUS_PENDING;
    uint32_t sent = 0;
};

TEST_P(PortStress, ConcurrentReadsWritesWaitsPurgesAndCancelsLoseNothing) {
    ASSERT_NE(node_, nullptr);
    ASSERT_EQ(node_->state, sim::DevNodeState::Started) << std::hex << node_->problem;
    const std::string name = "\\\\.\\COM" + std::to_string(node_->comPort);
    port_ = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
    SetTimeouts(kForever, kForever, 5);
    ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY;
    Expect(Control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, 0), "SET_WAIT_MASK");

    Deadline deadline(stress::RunMs());
    std::atomic<uint64_t> pushed{0};
    std::atomic<bool> appDone{false};
    std::mutex writesLock;
    std::vector<WriteRecord> writes;
    std::vector<uint8_t> phoneGot;
    std::atomic<long> reads{0}, waits{0}, chaos{0};

    {
        std::vector<std::unique_ptr<sim::Thread>> threads;
        threads.push_back(std::make_unique<sim::Thread>("phone", [&] {
            Rng rng(seed_ ^ 0x1111);
            uint64_t at = 0;
            std::vector<uint8_t> chunk;
            while (!appDone.load()) {
                if (at - received_.load() > kAheadLimit || deadline.Passed()) {
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                    continue;
                }
                const size_t n = rng.Between(1, 3000);
                chunk.resize(n);
                for (size_t i = 0; i < n; i++)
                    chunk[i] = StreamByte(seed_, at + i);
                Usb().Push(chunk.data(), n, usb::Pipe::BulkIn, rng.Between(1, 64),
                           rng.Below(4) != 0);
                at += n;
                pushed.store(at);
                if (rng.Below(8) == 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(rng.Below(1000)));
            }
            // A run left open on a full packet ends here.
            Usb().PushPacket({});
        }));
        threads.push_back(std::make_unique<sim::Thread>("phone-out", [&] {
            while (!appDone.load()) {
                std::vector<uint8_t> got = Usb().TakeReceived();
                phoneGot.insert(phoneGot.end(), got.begin(), got.end());
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        }));
        for (int r = 0; r < 2; r++) {
            threads.push_back(std::make_unique<sim::Thread>("reader", [&, r] {
                Rng rng(seed_ * 3 + r);
                while (!deadline.Passed() && !hung_) {
                    std::lock_guard<std::mutex> token(readToken_);
                    if (rng.Below(25) == 0) {
                        // The read time-out classes a serial program uses: immediate,
                        // wait for data, total, interval + total.
                        const ULONG* t = kReadTimeouts[rng.Below(4)];
                        SetTimeouts(t[0], t[1], t[2]);
                    }
                    const uint64_t kind = rng.Below(3);
                    const DWORD length =
                        kind == 0 ? 1 : static_cast<DWORD>(rng.Between(1, kind == 1 ? 64 : 8192));
                    ReadOnce(length);
                    reads++;
                }
            }));
        }
        for (uint32_t w = 0; w < 2; w++) {
            threads.push_back(std::make_unique<sim::Thread>("writer", [&, w] {
                Rng rng(seed_ * 5 + w);
                for (uint32_t seq = 0; !deadline.Passed() && !hung_; seq++) {
                    const uint32_t length = static_cast<uint32_t>(
                        rng.Below(10) == 0 ? rng.Between(kHeaderSize, 20000)
                                           : rng.Between(kHeaderSize, 5000));
                    auto io = std::make_unique<Io>();
                    io->input.resize(length);
                    io->input[0] = 0xA5;
                    io->input[1] = static_cast<uint8_t>(w);
                    memcpy(&io->input[2], &seq, 4);
                    memcpy(&io->input[6], &length, 4);
                    io->input[10] = 0x5A;
                    io->input[11] = 0x5A;
                    for (uint32_t k = kHeaderSize; k < length; k++)
                        io->input[k] = BodyByte(w, seq, k);
                    io->Issued(WriteFile(port_, io->input.data(), length, nullptr, &io->overlapped));
                    Outcome outcome = Finish(io, "a write");
                    if (outcome.hung)
                        return;
                    if (!(outcome.status == STATUS_SUCCESS && outcome.bytes == length) &&
                        !(outcome.status == STATUS_CANCELLED && outcome.bytes <= length))
                        Fault("a write of " + std::to_string(length) + " ended with " +
                              Hex(outcome.status) + ", " + std::to_string(outcome.bytes) +
                              " bytes");
                    std::lock_guard<std::mutex> guard(writesLock);
                    writes.push_back({w, seq, length, outcome.status, outcome.bytes});
                }
            }));
        }
        threads.push_back(std::make_unique<sim::Thread>("waiter", [&] {
            while (!deadline.Passed() && !hung_) {
                auto io = std::make_unique<Io>();
                io->output.assign(sizeof(ULONG), 0xCC);
                io->Issued(DeviceIoControl(port_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0,
                                           io->output.data(), sizeof(ULONG), nullptr, &io->overlapped));
                Outcome outcome = Finish(io, "a WAIT_ON_MASK");
                if (outcome.hung)
                    return;
                waits++;
                if (outcome.status == STATUS_SUCCESS) {
                    ULONG events = 0;
                    memcpy(&events, io->output.data(), sizeof events);
                    if (outcome.bytes != sizeof(ULONG) ||
                        (events & ~(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY)) != 0)
                        Fault("WAIT_ON_MASK reported " + Hex(events) + " in " +
                              std::to_string(outcome.bytes) + " bytes");
                } else if (outcome.status != STATUS_CANCELLED) {
                    Fault("WAIT_ON_MASK ended with " + Hex(outcome.status));
                }
            }
        }));
        threads.push_back(std::make_unique<sim::Thread>("chaos", [&] {
            Rng rng(seed_ ^ 0xC4A05);
            while (!deadline.Passed() && !hung_) {
                std::this_thread::sleep_for(std::chrono::microseconds(rng.Between(200, 3000)));
                chaos++;
                const uint64_t pick = rng.Below(std::size(kPokes) + 1);
                if (pick == std::size(kPokes)) {
                    CancelIo(port_);
                    continue;
                }
                const Poke& poke = kPokes[pick];
                std::vector<uint8_t> out;
                Outcome o = Control(poke.code, &poke.input, poke.input ? sizeof poke.input : 0,
                                    poke.outLength, &out);
                Expect(o, poke.what);
                if (o.hung || poke.code != IOCTL_SERIAL_GET_COMMSTATUS)
                    continue;
                SERIAL_STATUS status{};
                memcpy(&status, out.data(), std::min(out.size(), sizeof status));
                if (status.AmountInInQueue > kRingSize)
                    Fault("GET_COMMSTATUS counted " + std::to_string(status.AmountInInQueue) +
                          " bytes in the ring");
            }
        }));
        // The application threads end at the deadline; then the phone stops.
        while (!deadline.Passed())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        for (auto& t : threads) {
            // phone and phone-out are the first two; they wait for appDone.
            if (&t == &threads[0] || &t == &threads[1])
                continue;
            t->Join();
        }
        appDone = true;
    }
    ASSERT_FALSE(hung_.load()) << ::testing::PrintToString(faults_);

    // The rest of the stream: immediate-ish reads until every pushed byte is
    // in, or nothing more comes.
    SetTimeouts(kForever, kForever, 20);
    {
        std::lock_guard<std::mutex> token(readToken_);
        ReadUntil(pushed.load(), [] { return 4096; });
    }
    EXPECT_EQ(expectedAt_, pushed.load())
        << "seed " << seed_ << "; the phone still holds " << Usb().QueuedBytes(usb::Pipe::BulkIn)
        << " bytes with " << Usb().Outstanding(usb::Pipe::BulkIn)
        << " bulk-in transfer(s) pending at the bus; last bulk-in events:" << LastEvents();
    EXPECT_EQ(firstMismatch_, -1) << "the stream went wrong at byte " << firstMismatch_
                                  << " (seed " << seed_ << ")";

    // ---- overflow: nobody reads while the phone sends more than the ring
    // holds. The ring keeps exactly its size of the oldest bytes.
    const uint64_t base = pushed.load();
    Rng rng(seed_ ^ 0x0F10);
    const uint64_t excess = rng.Between(1, 20000);
    const uint64_t burst = kRingSize + excess;
    {
        std::vector<uint8_t> chunk;
        for (uint64_t at = base; at < base + burst;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(rng.Between(1, 65536),
                                                                    base + burst - at));
            chunk.resize(n);
            for (size_t i = 0; i < n; i++)
                chunk[i] = StreamByte(seed_, at + i);
            // Mostly full packets, so that transfers carry up to 4096 bytes
            // and the burst takes a few hundred of them rather than tens of
            // thousands (each a work-item round trip on the diagnostics
            // port); a short one now and then still ends a transfer early.
            Usb().Push(chunk.data(), n, usb::Pipe::BulkIn,
                       rng.Below(256) == 0 ? rng.Between(1, 64) : 64);
            at += n;
        }
    }
    {
        Deadline watchdog(kWatchdogMs);
        while (Usb().QueuedBytes(usb::Pipe::BulkIn) != 0 && !watchdog.Passed())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(Usb().QueuedBytes(usb::Pipe::BulkIn), 0u)
            << "the phone's burst never went out; " << Usb().Outstanding(usb::Pipe::BulkIn)
            << " bulk-in transfer(s) pending at the bus; last bulk-in events:" << LastEvents();
        sim::RunUntilIdle();
        // The last transfer may still be on its way from the bus to the ring.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sim::RunUntilIdle();
    }
    std::vector<uint8_t> out;
    Expect(Control(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS), &out),
           "GET_COMMSTATUS");
    SERIAL_STATUS status{};
    memcpy(&status, out.data(), std::min(out.size(), sizeof status));
    EXPECT_EQ(status.AmountInInQueue, kRingSize);
    {
        std::lock_guard<std::mutex> token(readToken_);
        ReadUntil(base + kRingSize, [&rng] { return DWORD(rng.Between(1, 65536)); });
        EXPECT_EQ(expectedAt_, base + kRingSize) << "seed " << seed_;
        EXPECT_EQ(firstMismatch_, -1) << "the ring went wrong at byte " << firstMismatch_;
        // What did not fit is gone; the stream goes on after it.
        expectedAt_ = base + burst;
        std::vector<uint8_t> tail(777);
        for (size_t i = 0; i < tail.size(); i++)
            tail[i] = StreamByte(seed_, expectedAt_ + i);
        Usb().Push(tail.data(), tail.size(), usb::Pipe::BulkIn, 50);
        ReadUntil(base + burst + tail.size(), [] { return 1000; });
        EXPECT_EQ(expectedAt_, base + burst + tail.size()) << "seed " << seed_;
        EXPECT_EQ(firstMismatch_, -1) << "the stream went wrong at byte " << firstMismatch_;
    }

    // ---- what the phone got from the writers
    {
        std::vector<uint8_t> got = Usb().TakeReceived();
        phoneGot.insert(phoneGot.end(), got.begin(), got.end());
    }
    // Each write arrived whole (or, cancelled, as the bytes it reported),
    // after the one before it, at most once; the first wrong byte ends it.
    std::map<std::pair<uint32_t, uint32_t>, WriteRecord> byId;
    for (const auto& w : writes)
        byId[{w.writer, w.seq}] = w;
    std::map<std::pair<uint32_t, uint32_t>, bool> seen;
    std::string broken;
    for (size_t at = 0; at < phoneGot.size() && broken.empty();) {
        const uint8_t* h = &phoneGot[at];
        if (phoneGot.size() - at < kHeaderSize || h[0] != 0xA5 || h[10] != 0x5A || h[11] != 0x5A) {
            broken = "bytes that start no write at offset " + std::to_string(at) + " of " +
                     std::to_string(phoneGot.size());
            break;
        }
        uint32_t writer = h[1], seq = 0, length = 0;
        memcpy(&seq, h + 2, 4);
        memcpy(&length, h + 6, 4);
        const std::string id = "write " + std::to_string(writer) + "/" + std::to_string(seq);
        auto it = byId.find({writer, seq});
        if (it == byId.end() || seen[{writer, seq}]) {
            broken = id + (it == byId.end() ? " without being sent" : " twice");
            break;
        }
        seen[{writer, seq}] = true;
        const uint32_t sent = it->second.sent;
        if (sent < kHeaderSize || phoneGot.size() - at < sent)
            broken = id + " of " + std::to_string(length) + " bytes, which ended with " +
                     Hex(it->second.status) + " reporting " + std::to_string(sent) +
                     " bytes sent, but the phone got its start";
        for (uint32_t k = kHeaderSize; k < sent && broken.empty(); k++)
            if (h[k] != BodyByte(writer, seq, k))
                broken = id + " broken at byte " + std::to_string(k) + " of " +
                         std::to_string(length) + " (another write cut in?)";
        at += sent;
    }
    EXPECT_EQ(broken, "") << "what the phone got (seed " << seed_ << ")";
    for (const auto& w : writes) {
        if (broken.empty()) {
            EXPECT_EQ(seen.count({w.writer, w.seq}) != 0, w.sent != 0)
                << "write " << w.writer << "/" << w.seq << " reported " << w.sent
                << " bytes sent, status " << Hex(w.status);
        }
    }

    {
        std::lock_guard<std::mutex> guard(faultLock_);
        for (const auto& f : faults_)
            ADD_FAILURE() << f << " (seed " << seed_ << ")";
    }
    EXPECT_GT(reads.load(), 0);
    EXPECT_GT(waits.load(), 0);
    EXPECT_FALSE(writes.empty());

    // ---- close and unplug; the kernel's end checks run at teardown.
    ASSERT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    phone_->Unplug();
    sim::RunUntilIdle();
    RecordProperty("seed", std::to_string(seed_));
    RecordProperty("bytes_in", std::to_string(expectedAt_));
    RecordProperty("writes", std::to_string(writes.size()));
}

INSTANTIATE_TEST_SUITE_P(, PortStress,
                         ::testing::Values(usb::InterfaceKind::Modem,
                                           usb::InterfaceKind::Diagnostics),
                         [](const ::testing::TestParamInfo<usb::InterfaceKind>& kind) {
                             return kind.param == usb::InterfaceKind::Modem ? "Modem"
                                                                            : "Diagnostics";
                         });

} // namespace
