// Each COM port of the phone under several application threads at once, on
// the Concurrent machine: readers, writers, a wait-on-mask loop and a thread
// that cancels, purges and pokes the serial state, while the phone streams
// seeded bytes in random packet sizes and takes whatever the host writes.
//
// What must hold whatever the interleaving:
//  - the readers take turns (one read in flight at a time, as a serial
//    program reads), so what they got, in order, is exactly the phone's
//    stream: no byte lost, doubled or reordered while the ring has room;
//  - every write reaches the phone whole and contiguous, or (cancelled) as
//    exactly the bytes its completion reported, and nothing else arrives;
//  - every request ends with a status a serial program can expect;
//  - close and unplug leave nothing behind (the verifier's end checks).
#include "stress/stress.h"

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
using load::Hex;
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
constexpr int kWatchdogMs = 30000;
// The read time-out classes a serial program uses: immediate, wait for data,
// total, interval + total.
const ULONG kReadTimeouts[4][3] = {
    {kForever, 0, 0}, {kForever, kForever, 5}, {0, 0, 10}, {5, 0, 20}};

// What the chaos thread does besides CancelIoEx: control requests a serial
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

// A write starts with a header naming it (writer, sequence number, length)
// between markers; its body bytes depend on all three and their position.
struct __attribute__((packed)) Header {
    uint8_t mark;
    uint8_t writer;
    uint32_t seq, length;
    uint16_t end;
};
constexpr uint32_t kHeaderSize = sizeof(Header);
inline uint8_t BodyByte(uint32_t writer, uint32_t seq, uint32_t k) {
    return static_cast<uint8_t>((writer * 131 + seq * 7 + k * 29 + (k >> 8)) & 0xFF);
}

struct Outcome {
    NTSTATUS status = STATUS_PENDING;
    DWORD bytes = 0;
    bool hung = false;
};

struct WriteRecord {
    uint32_t writer = 0;
    uint32_t seq = 0;
    uint32_t length = 0;
    NTSTATUS status = STATUS_PENDING;
    uint32_t sent = 0;
};

class PortStress : public ::testing::TestWithParam<usb::InterfaceKind> {
protected:
    PortStress()
        : rig_(sim::Mode::Concurrent, GetParam(), nullptr, stress::Seed()), seed_(stress::Seed()) {}

    usb::Interface& Usb() { return rig_.Usb(); }

    // Waits for the request with a watchdog: a request that never ends is a
    // hang worth reporting, not a reason to block the suite. Its buffers are
    // then kept for good, since the driver may still write to them.
    Outcome Finish(std::unique_ptr<load::Io>& io, const char* what) {
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
        auto io = std::make_unique<load::Io>();
        if (inLength != 0)
            io->input.assign(static_cast<const uint8_t*>(in),
                             static_cast<const uint8_t*>(in) + inLength);
        io->output.assign(outLength, 0xCC); // a reply the driver did not write shows
        io->Issued(DeviceIoControl(rig_.port, code, inLength ? io->input.data() : nullptr,
                                   inLength, outLength ? io->output.data() : nullptr, outLength,
                                   nullptr, &io->overlapped));
        Outcome outcome = Finish(io, "a control request");
        if (out != nullptr && !outcome.hung)
            *out = io->output;
        return outcome;
    }
    // GET_COMMSTATUS's queue counts (zero when it hung).
    SERIAL_STATUS CommStatus(const char* what) {
        std::vector<uint8_t> out;
        const Outcome o = Control(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS),
                                  &out);
        Expect(o, what);
        SERIAL_STATUS status{};
        memcpy(&status, out.data(), std::min(out.size(), sizeof status));
        return status;
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

    // What the phone still holds and the bus's last few events but bulk-out
    // ones, for a report.
    std::string BulkInState() {
        std::vector<std::string> lines;
        for (const auto& event : rig_.Phone().Timeline())
            if (event.pipe != usb::Pipe::BulkOut)
                lines.push_back(event.Text());
        std::string text = "the phone still holds " +
                           std::to_string(Usb().QueuedBytes(usb::Pipe::BulkIn)) + " bytes with " +
                           std::to_string(Usb().Outstanding(usb::Pipe::BulkIn)) +
                           " bulk-in transfer(s) pending at the bus; last bulk-in events:";
        for (size_t i = lines.size() > 8 ? lines.size() - 8 : 0; i < lines.size(); i++)
            text += "\n    " + lines[i];
        return text;
    }

    // The phone sends the stream's bytes [at, at + n) in packets of at most
    // `packet` bytes (0: a random size each time it sends).
    void Send(uint64_t at, size_t n, ULONG packet, bool zeroLength = true) {
        std::vector<uint8_t> chunk(n);
        for (size_t i = 0; i < n; i++)
            chunk[i] = load::StreamByte(seed_, at + i);
        Usb().Push(chunk.data(), n, usb::Pipe::BulkIn, packet, zeroLength);
    }

    // One read of the ordered stream. Caller holds the read token.
    Outcome ReadOnce(DWORD length) {
        auto io = std::make_unique<load::Io>();
        io->output.assign(length, 0);
        io->Issued(ReadFile(rig_.port, io->output.data(), length, nullptr, &io->overlapped));
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
        for (DWORD i = 0; i < outcome.bytes; i++, expectedAt_++)
            if (firstMismatch_ < 0 && io->output[i] != load::StreamByte(seed_, expectedAt_))
                firstMismatch_ = static_cast<int64_t>(expectedAt_);
        received_.fetch_add(outcome.bytes);
        return outcome;
    }
    // Each write arrived whole (or, cancelled, as the bytes it reported),
    // after the one before it, at most once; the first wrong byte ends the
    // look. Empty when all is well, else what went wrong.
    std::string CheckWrites(const std::vector<uint8_t>& got, const std::vector<WriteRecord>& writes,
                            std::map<std::pair<uint32_t, uint32_t>, bool>& seen) {
        std::map<std::pair<uint32_t, uint32_t>, WriteRecord> byId;
        for (const auto& w : writes)
            byId[{w.writer, w.seq}] = w;
        for (size_t at = 0; at < got.size();) {
            Header h{};
            if (got.size() - at >= kHeaderSize)
                memcpy(&h, &got[at], kHeaderSize);
            if (got.size() - at < kHeaderSize || h.mark != 0xA5 || h.end != 0x5A5A)
                return "bytes that start no write at offset " + std::to_string(at) + " of " +
                       std::to_string(got.size());
            const uint32_t writer = h.writer, seq = h.seq, length = h.length;
            const std::string id = "write " + std::to_string(writer) + "/" + std::to_string(seq);
            auto it = byId.find({writer, seq});
            if (it == byId.end() || seen[{writer, seq}])
                return id + (it == byId.end() ? " without being sent" : " twice");
            seen[{writer, seq}] = true;
            const uint32_t sent = it->second.sent;
            if (sent < kHeaderSize || got.size() - at < sent)
                return id + " of " + std::to_string(length) + " bytes, which ended with " +
                       Hex(it->second.status) + " reporting " + std::to_string(sent) +
                       " bytes sent, but the phone got its start";
            for (uint32_t k = kHeaderSize; k < sent; k++)
                if (got[at + k] != BodyByte(writer, seq, k))
                    return id + " broken at byte " + std::to_string(k) + " of " +
                           std::to_string(length) + " (another write cut in?)";
            at += sent;
        }
        return "";
    }

    load::OnePort rig_;
    const uint64_t seed_;

    std::mutex faultLock_;
    std::vector<std::string> faults_;
    std::atomic<bool> hung_{false};

    // The ordered stream as the readers see it (read token held).
    std::mutex readToken_;
    uint64_t expectedAt_ = 0;
    int64_t firstMismatch_ = -1;
    std::atomic<uint64_t> received_{0};
};

TEST_P(PortStress, ConcurrentReadsWritesWaitsPurgesAndCancelsLoseNothing) {
    ASSERT_TRUE(rig_.Started()) << std::hex << (rig_.Node() ? rig_.Node()->problem : 0);
    ASSERT_TRUE(rig_.Open()) << GetLastError();
    SetTimeouts(kForever, kForever, 5);
    ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY;
    Expect(Control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, 0), "SET_WAIT_MASK");

    Deadline deadline(stress::RunMs());
    std::atomic<uint64_t> pushed{0};
    std::atomic<bool> appDone{false};
    std::mutex writesLock;
    std::vector<WriteRecord> writes;
    std::vector<uint8_t> phoneGot;
    std::atomic<long> reads{0}, waits{0};

    // The application's threads: each of a role's `count` threads runs its
    // step (with its index among them and the step's number) on a generator
    // of its own until the deadline, or until a request of it hangs (the
    // step says false).
    struct Role {
        const char* name;
        uint32_t count;
        std::function<bool(Rng&, uint32_t index, uint32_t n)> step;
    };
    const Role roles[] = {
        {"reader", 2,
         [&](Rng& rng, uint32_t, uint32_t) {
             std::lock_guard<std::mutex> token(readToken_);
             if (rng.Below(25) == 0) {
                 const ULONG* t = kReadTimeouts[rng.Below(4)];
                 SetTimeouts(t[0], t[1], t[2]);
             }
             const uint64_t kind = rng.Below(3);
             ReadOnce(kind == 0 ? 1 : static_cast<DWORD>(rng.Between(1, kind == 1 ? 64 : 8192)));
             reads++;
             return true;
         }},
        {"writer", 2,
         [&](Rng& rng, uint32_t w, uint32_t seq) {
             const uint32_t length = static_cast<uint32_t>(
                 rng.Below(10) == 0 ? rng.Between(kHeaderSize, 20000)
                                    : rng.Between(kHeaderSize, 5000));
             auto io = std::make_unique<load::Io>();
             io->input.resize(length);
             const Header header{0xA5, static_cast<uint8_t>(w), seq, length, 0x5A5A};
             memcpy(io->input.data(), &header, kHeaderSize);
             for (uint32_t k = kHeaderSize; k < length; k++)
                 io->input[k] = BodyByte(w, seq, k);
             io->Issued(WriteFile(rig_.port, io->input.data(), length, nullptr, &io->overlapped));
             const Outcome outcome = Finish(io, "a write");
             if (outcome.hung)
                 return false;
             if (!(outcome.status == STATUS_SUCCESS && outcome.bytes == length) &&
                 !(outcome.status == STATUS_CANCELLED && outcome.bytes <= length))
                 Fault("a write of " + std::to_string(length) + " ended with " +
                       Hex(outcome.status) + ", " + std::to_string(outcome.bytes) + " bytes");
             std::lock_guard<std::mutex> guard(writesLock);
             writes.push_back({w, seq, length, outcome.status, outcome.bytes});
             return true;
         }},
        {"waiter", 1,
         [&](Rng&, uint32_t, uint32_t) {
             std::vector<uint8_t> out;
             const Outcome outcome =
                 Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG), &out);
             if (outcome.hung)
                 return false;
             waits++;
             ULONG events = 0;
             memcpy(&events, out.data(), sizeof events);
             if (outcome.status == STATUS_SUCCESS &&
                 (outcome.bytes != sizeof(ULONG) ||
                  (events & ~(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY)) != 0))
                 Fault("WAIT_ON_MASK reported " + Hex(events) + " in " +
                       std::to_string(outcome.bytes) + " bytes");
             else if (outcome.status != STATUS_SUCCESS && outcome.status != STATUS_CANCELLED)
                 Fault("WAIT_ON_MASK ended with " + Hex(outcome.status));
             return true;
         }},
        {"chaos", 1,
         [&](Rng& rng, uint32_t, uint32_t) {
             std::this_thread::sleep_for(std::chrono::microseconds(rng.Between(200, 3000)));
             const uint64_t pick = rng.Below(std::size(kPokes) + 1);
             if (pick == std::size(kPokes)) {
                 CancelIoEx(rig_.port, nullptr);
                 return true;
             }
             const Poke& poke = kPokes[pick];
             if (poke.code == IOCTL_SERIAL_GET_COMMSTATUS) {
                 const ULONG queued = CommStatus(poke.what).AmountInInQueue;
                 if (queued > kRingSize)
                     Fault("GET_COMMSTATUS counted " + std::to_string(queued) +
                           " bytes in the ring");
                 return true;
             }
             Expect(Control(poke.code, &poke.input, poke.input ? sizeof poke.input : 0,
                            poke.outLength),
                    poke.what);
             return true;
         }},
    };
    {
        std::vector<std::unique_ptr<sim::Thread>> phone, app;
        // The phone streams, keeping at most kAheadLimit bytes ahead of the
        // readers, until the application is done.
        phone.push_back(std::make_unique<sim::Thread>("phone", [&] {
            Rng rng(seed_ ^ 0x1111);
            for (uint64_t at = 0; !appDone.load();) {
                if (at - received_.load() > kAheadLimit || deadline.Passed()) {
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                    continue;
                }
                const size_t n = rng.Between(1, 3000);
                Send(at, n, static_cast<ULONG>(rng.Between(1, 64)), rng.Below(4) != 0);
                pushed.store(at += n);
                if (rng.Below(8) == 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(rng.Below(1000)));
            }
            // A run left open on a full packet ends here.
            Usb().PushPacket({});
        }));
        phone.push_back(std::make_unique<sim::Thread>("phone-out", [&] {
            while (!appDone.load()) {
                std::vector<uint8_t> got = Usb().TakeReceived();
                phoneGot.insert(phoneGot.end(), got.begin(), got.end());
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        }));
        for (const Role& role : roles)
            for (uint32_t i = 0; i < role.count; i++)
                app.push_back(std::make_unique<sim::Thread>(role.name, [&, i] {
                    Rng rng(seed_ * 31 + static_cast<uint64_t>(&role - roles) * 8 + i);
                    for (uint32_t n = 0; !deadline.Passed() && !hung_; n++)
                        if (!role.step(rng, i, n))
                            return;
                }));
        // The application threads end at the deadline; then the phone stops.
        while (!deadline.Passed())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        for (auto& t : app)
            t->Join();
        appDone = true;
    }
    ASSERT_FALSE(hung_.load()) << ::testing::PrintToString(faults_);

    // The rest of the stream: immediate-ish reads until every pushed byte is
    // in, or 50 reads in a row got nothing; the stream is intact up to there.
    // (How the ring overflows: modem_read's Ring rows, on both ports.)
    SetTimeouts(kForever, kForever, 20);
    for (int idle = 0; expectedAt_ < pushed.load() && idle < 50 && !hung_;)
        idle = ReadOnce(4096).bytes == 0 ? idle + 1 : 0;
    EXPECT_EQ(expectedAt_, pushed.load()) << "after the run, seed " << seed_ << "; "
                                          << BulkInState();
    EXPECT_EQ(firstMismatch_, -1) << "the stream went wrong at byte " << firstMismatch_
                                  << " (seed " << seed_ << ")";

    // ---- what the phone got from the writers
    std::vector<uint8_t> got = Usb().TakeReceived();
    phoneGot.insert(phoneGot.end(), got.begin(), got.end());
    std::map<std::pair<uint32_t, uint32_t>, bool> seen;
    const std::string broken = CheckWrites(phoneGot, writes, seen);
    EXPECT_EQ(broken, "") << "what the phone got (seed " << seed_ << ")";
    for (const auto& w : writes) {
        if (broken.empty()) {
            EXPECT_EQ(seen.count({w.writer, w.seq}) != 0, w.sent != 0)
                << "write " << w.writer << "/" << w.seq << " reported " << w.sent
                << " bytes sent, status " << Hex(w.status);
        }
    }

    for (const auto& f : faults_)
        ADD_FAILURE() << f << " (seed " << seed_ << ")";
    EXPECT_GT(reads.load(), 0);
    EXPECT_GT(waits.load(), 0);
    EXPECT_FALSE(writes.empty());

    // ---- close and unplug; the kernel's end checks run at teardown.
    ASSERT_TRUE(CloseHandle(rig_.port));
    rig_.port = INVALID_HANDLE_VALUE;
    rig_.Phone().Unplug();
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
