// Both real drivers under the explored schedule: the stress suite's
// concurrency (readers, writers, waits, purges, cancels, close and unplug
// while data streams, sleep and wake) as small scenarios of two or three
// application threads and the phone, each run for a bounded number of seeds.
//
// What must hold in every interleaving, besides the verifier's rules and its
// end-of-run checks (nothing leaked, nothing left pending):
//  - every request completes, with a status a serial program can expect;
//  - what the readers got is the phone's stream, in order, nothing doubled;
//  - the phone got exactly the bytes the writes reported, in order.
#include "races/races.h"

#include "common/load.h"
#include "platform/sim/api_ke.h" // WaitUntil

#include <cctype>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

namespace {

using sim::explore::Fail;

constexpr ULONG kForever = 0xFFFFFFFF;

inline uint8_t StreamByte(size_t i) {
    return static_cast<uint8_t>(i * 37 + (i >> 8) + 1);
}

// One phone with one port open on it, under the explored schedule.
class Rig : public load::OnePort {
public:
    Rig(const sim::Schedule& schedule, usb::InterfaceKind kind)
        : load::OnePort(sim::Mode::Deterministic, kind, &schedule) {
        if (!Started())
            Fail("the port did not start");
        if (!Open())
            Fail("open failed with " + std::to_string(GetLastError()));
    }
    ~Rig() { Close(); }
    void Close() {
        if (port != INVALID_HANDLE_VALUE && !CloseHandle(port))
            Fail("close failed with " + std::to_string(GetLastError()));
        port = INVALID_HANDLE_VALUE;
    }

    // The stream as the phone sent it and as the reader got it.
    size_t pushed = 0;
    std::vector<uint8_t> got;
    // What the writes reported, in order.
    std::vector<uint8_t> written;
};

void Expect(NTSTATUS status, std::initializer_list<NTSTATUS> allowed, const char* what) {
    for (NTSTATUS a : allowed)
        if (status == a)
            return;
    Fail(std::string(what) + " ended with " + load::Hex(static_cast<ULONG>(status)));
}

// A request this thread issues (`ok`: what the call returned) may fail
// inside the call only with a status of `allowed` (a cancel or a removal that
// found it before it was queued).
void Issued(load::Io& io, BOOL ok, const char* what, std::initializer_list<NTSTATUS> allowed = {}) {
    io.Issued(ok);
    if (io.failedAtOnce)
        Expect(
            io.Status(), allowed,
            (std::string(what) + " that failed at once with " + std::to_string(io.error)).c_str());
}

// Waits for a request this thread issued and expects one of `allowed`. The
// bytes it reported, which must fit its `length`.
DWORD Await(Rig& rig, load::Io& io, const char* what, std::initializer_list<NTSTATUS> allowed,
            size_t length) {
    DWORD n = 0;
    if (!io.failedAtOnce)
        GetOverlappedResult(rig.port, &io.overlapped, &n, TRUE);
    Expect(io.Status(), allowed, what);
    if (n > length)
        Fail(std::string(what) + " of " + std::to_string(length) + " reported " +
             std::to_string(n));
    return n;
}

void SetTimeouts(Rig& rig, ULONG interval, ULONG multiplier, ULONG constant) {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutMultiplier = multiplier;
    t.ReadTotalTimeoutConstant = constant;
    if (!SetCommTimeouts(rig.port, &t))
        Fail("SetCommTimeouts failed");
}

void Pause(ULONG ms) {
    sim::WaitUntil([] { return false; }, "a pause", static_cast<LONGLONG>(ms) * 10000);
}

// The phone sends `chunks` of the stream, a little apart.
void Stream(Rig& rig, std::initializer_list<size_t> chunks) {
    for (size_t n : chunks) {
        std::vector<uint8_t> bytes(n);
        for (size_t i = 0; i < n; ++i)
            bytes[i] = StreamByte(rig.pushed + i);
        rig.Usb().Push(bytes.data(), n);
        rig.pushed += n;
        Pause(2);
    }
}

// One read; what it got joins the stream the reader saw. Issue announces it
// to a thread that will interrupt it (WaitIssued).
struct PendingRead {
    load::Io io;
    bool issued = false;
    void Issue(Rig& rig, DWORD length, std::initializer_list<NTSTATUS> allowed = {}) {
        io.output.resize(length);
        Issued(io, ReadFile(rig.port, io.output.data(), length, nullptr, &io.overlapped), "a read",
               allowed);
        issued = true;
    }
    NTSTATUS Finish(Rig& rig, std::initializer_list<NTSTATUS> allowed) {
        const DWORD n = Await(rig, io, "a read", allowed, io.output.size());
        rig.got.insert(rig.got.end(), io.output.begin(), io.output.begin() + n);
        return io.Status();
    }
    NTSTATUS Run(Rig& rig, DWORD length, std::initializer_list<NTSTATUS> allowed) {
        Issue(rig, length, allowed);
        return Finish(rig, allowed);
    }
};

NTSTATUS ReadOnce(Rig& rig, DWORD length, std::initializer_list<NTSTATUS> allowed) {
    return PendingRead().Run(rig, length, allowed);
}

NTSTATUS WriteOnce(Rig& rig, DWORD length, uint8_t tag, std::initializer_list<NTSTATUS> allowed) {
    load::Io io;
    std::vector<uint8_t> buffer(length);
    for (DWORD i = 0; i < length; ++i)
        buffer[i] = static_cast<uint8_t>(tag + i);
    Issued(io, WriteFile(rig.port, buffer.data(), length, nullptr, &io.overlapped), "a write",
           allowed);
    const DWORD n = Await(rig, io, "a write", allowed, length);
    rig.written.insert(rig.written.end(), buffer.begin(), buffer.begin() + n);
    return io.Status();
}

// What the reader got is the stream, in order, from its start.
void CheckOrder(Rig& rig) {
    for (size_t i = 0; i < rig.got.size(); ++i) {
        if (i >= rig.pushed || rig.got[i] != StreamByte(i))
            Fail("the reader's byte " + std::to_string(i) + " is not the stream's");
    }
}

// The invariants on data, once every thread is done.
void CheckData(Rig& rig, bool all) {
    CheckOrder(rig);
    if (all && rig.got.size() != rig.pushed)
        Fail("the reader got " + std::to_string(rig.got.size()) + " of " +
             std::to_string(rig.pushed) + " bytes");
    std::vector<uint8_t> phone = rig.Usb().TakeReceived();
    if (phone != rig.written)
        Fail("the phone got " + std::to_string(phone.size()) + " bytes, the writes reported " +
             std::to_string(rig.written.size()));
}

// Reads until `total` bytes came, each read waiting at most a little.
void ReadAll(Rig& rig, size_t total) {
    for (int reads = 0; rig.got.size() < total && reads < 40; ++reads)
        ReadOnce(rig, static_cast<DWORD>(rig.got.size() % 2 ? 7 : 64),
                 {STATUS_SUCCESS, STATUS_TIMEOUT});
}

const std::initializer_list<NTSTATUS> kCut = {STATUS_SUCCESS, STATUS_CANCELLED, STATUS_TIMEOUT};
const std::initializer_list<NTSTATUS> kGone = {STATUS_SUCCESS,
                                               STATUS_CANCELLED,
                                               STATUS_TIMEOUT,
                                               STATUS_DELETE_PENDING,
                                               STATUS_DEVICE_NOT_CONNECTED,
                                               STATUS_NO_SUCH_DEVICE};

void WaitIssued(const PendingRead& read) {
    sim::WaitUntil([&read] { return read.issued; }, "the read issued");
}

// ---------------------------------------------------------------- scenarios

void ReadsWhileStreaming(Rig& rig) {
    SetTimeouts(rig, kForever, kForever, 20);
    {
        sim::Thread phone("phone", [&] { Stream(rig, {5, 130, 1, 64}); });
        sim::Thread reader("reader", [&] { ReadAll(rig, 200); });
    }
    CheckData(rig, true);
}

void WritesWhileReading(Rig& rig) {
    SetTimeouts(rig, kForever, kForever, 20);
    {
        sim::Thread phone("phone", [&] { Stream(rig, {40, 3}); });
        sim::Thread reader("reader", [&] { ReadAll(rig, 43); });
        sim::Thread writer("writer", [&] {
            WriteOnce(rig, 70, 0x10, {STATUS_SUCCESS});
            WriteOnce(rig, 1, 0x80, {STATUS_SUCCESS});
        });
    }
    CheckData(rig, true);
}

void WaitOnMaskWhileStreaming(Rig& rig) {
    if (!SetCommMask(rig.port, EV_RXCHAR))
        Fail("SetCommMask failed");
    SetTimeouts(rig, kForever, 0, 0);
    bool stop = false;
    {
        sim::Thread waiter("waiter", [&] {
            while (!stop) {
                load::Io io;
                DWORD mask = 0;
                Issued(io, WaitCommEvent(rig.port, &mask, &io.overlapped), "a wait on mask");
                Await(rig, io, "a wait on mask", {STATUS_SUCCESS}, sizeof mask);
                ReadOnce(rig, 256, {STATUS_SUCCESS});
            }
        });
        sim::Thread phone("phone", [&] {
            Stream(rig, {3, 9});
            stop = true;
            Stream(rig, {1});
            // A wait issued after the last byte ends with the mask cleared.
            SetCommMask(rig.port, 0);
        });
    }
}

void PurgeWhileReading(Rig& rig) {
    SetTimeouts(rig, 0, 0, 0); // wait for the whole read
    PendingRead read;
    {
        sim::Thread reader("reader", [&] { read.Run(rig, 100, kCut); });
        sim::Thread phone("phone", [&] { Stream(rig, {10}); });
        sim::Thread purger("purger", [&] {
            WaitIssued(read);
            if (!PurgeComm(rig.port, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT))
                Fail("PurgeComm failed");
        });
    }
    // Purged bytes are gone, so only the order of what came is checked.
    rig.Usb().TakeReceived();
    CheckData(rig, false);
}

void CancelIoWhileReadingAndWriting(Rig& rig) {
    SetTimeouts(rig, 0, 0, 0);
    rig.Usb().HoldBulkOut(true);
    PendingRead read;
    {
        sim::Thread reader("reader", [&] { read.Run(rig, 50, kCut); });
        sim::Thread writer("writer", [&] { WriteOnce(rig, 90, 0x20, kCut); });
        sim::Thread phone("phone", [&] { Stream(rig, {20}); });
        sim::Thread canceller("canceller", [&] {
            WaitIssued(read);
            Pause(1);
            CancelIoEx(rig.port, nullptr);
            rig.Usb().HoldBulkOut(false);
        });
    }
    CheckData(rig, false);
}

void CloseWhileStreaming(Rig& rig) {
    SetTimeouts(rig, 0, 0, 0);
    PendingRead read;
    {
        sim::Thread reader("reader", [&] { read.Run(rig, 64, kCut); });
        sim::Thread phone("phone", [&] { Stream(rig, {16, 16}); });
        sim::Thread closer("closer", [&] {
            WaitIssued(read);
            Pause(1);
            rig.Close();
        });
    }
    CheckData(rig, false);
}

void UnplugWhileStreaming(Rig& rig) {
    SetTimeouts(rig, 0, 0, 0);
    PendingRead read;
    {
        sim::Thread reader("reader", [&] { read.Run(rig, 64, kGone); });
        sim::Thread writer("writer", [&] { WriteOnce(rig, 40, 0x30, kGone); });
        sim::Thread phone("phone", [&] {
            Stream(rig, {16});
            WaitIssued(read);
            rig.Phone().Unplug();
        });
    }
    rig.Close();
    CheckOrder(rig);
}

// An open racing the unplug: the open may see the port started and the
// removal begin before it takes its hold on the device.
void OpenWhileUnplugged(Rig& rig) {
    rig.Close();
    {
        sim::Thread opener("opener", [&] {
            if (!rig.Open())
                return;
            // Issued as the removal begins, the read may be refused at once;
            // if it waits, the removal must end it.
            ReadOnce(rig, 8, kGone);
        });
        sim::Thread phone("phone", [&] { rig.Phone().Unplug(); });
    }
    rig.Close();
}

// Reads that end on the gap after a byte, while the phone's bytes may land
// between a read finding the ring empty and the read being queued.
void IntervalReadsWhileStreaming(Rig& rig) {
    SetTimeouts(rig, 2, 0, 0);
    {
        sim::Thread phone("phone", [&] { Stream(rig, {3, 1, 40, 2}); });
        sim::Thread reader("reader", [&] {
            while (rig.got.size() < rig.pushed || rig.pushed < 46)
                ReadOnce(rig, 16, {STATUS_SUCCESS, STATUS_TIMEOUT});
        });
    }
    CheckData(rig, true);
}

// Another thread cancels the handle's requests as they are being issued, so
// that it can find them before they are queued as well as after.
void CancelIoAsIssued(Rig& rig) {
    SetTimeouts(rig, 0, 0, 0);
    rig.Usb().HoldBulkOut(true);
    {
        sim::Thread reader("reader", [&] { ReadOnce(rig, 50, kCut); });
        sim::Thread writer("writer", [&] { WriteOnce(rig, 90, 0x20, kCut); });
        sim::Thread canceller("canceller", [&] {
            CancelIoEx(rig.port, nullptr);
            Pause(1);
            CancelIoEx(rig.port, nullptr);
            rig.Usb().HoldBulkOut(false);
        });
    }
    CheckData(rig, false);
}

// A cancel while a write longer than one transfer goes out piece by piece:
// it reports exactly the pieces the phone got.
void CancelLongWrite(Rig& rig) {
    rig.Usb().Delay(usb::Pipe::BulkOut, 2);
    {
        sim::Thread writer("writer", [&] { WriteOnce(rig, 40000, 0x40, kCut); });
        sim::Thread canceller("canceller", [&] {
            Pause(3);
            CancelIoEx(rig.port, nullptr);
        });
    }
    CheckData(rig, false);
}

void SleepAndWakeWithReadPending(Rig& rig) {
    SetTimeouts(rig, kForever, kForever, 50); // any byte, or 50 ms
    PendingRead read;
    {
        sim::Thread reader("reader", [&] {
            read.Issue(rig, 32);
            read.Finish(rig, kGone);
            for (int i = 0; i < 2; ++i)
                ReadOnce(rig, 32, kGone);
        });
        sim::Thread power("power", [&] {
            WaitIssued(read);
            Expect(sim::SetSystemPowerState(PowerSystemSleeping3), {STATUS_SUCCESS}, "sleep");
            Expect(sim::SetSystemPowerState(PowerSystemWorking), {STATUS_SUCCESS}, "wake");
            Stream(rig, {12});
        });
    }
    CheckData(rig, false);
}

// Writes of several pieces while the system sleeps and wakes: a piece the
// sleep cuts short reports what the phone got, a write made while the phone
// sleeps waits for the wake, and the wake never waits for a piece only the
// wake can let through.
void SleepAndWakeWhileWriting(Rig& rig) {
    rig.Usb().Delay(usb::Pipe::BulkOut, 1);
    {
        sim::Thread writer("writer", [&] {
            for (DWORD length : {9000, 3000, 10})
                WriteOnce(rig, length, static_cast<uint8_t>(length), kCut);
        });
        sim::Thread power("power", [&] {
            Pause(2);
            Expect(sim::SetSystemPowerState(PowerSystemSleeping3), {STATUS_SUCCESS}, "sleep");
            Expect(sim::SetSystemPowerState(PowerSystemWorking), {STATUS_SUCCESS}, "wake");
        });
    }
    CheckData(rig, false);
}

struct PortScenario {
    const char* name;
    void (*play)(Rig&);
    uint64_t seeds;
};

const PortScenario kScenarios[] = {
    {"ReadsWhileStreaming", ReadsWhileStreaming, 150},
    {"WritesWhileReading", WritesWhileReading, 150},
    {"WaitOnMaskWhileStreaming", WaitOnMaskWhileStreaming, 150},
    {"PurgeWhileReading", PurgeWhileReading, 150},
    {"CancelIoWhileReadingAndWriting", CancelIoWhileReadingAndWriting, 150},
    {"CloseWhileStreaming", CloseWhileStreaming, 150},
    {"UnplugWhileStreaming", UnplugWhileStreaming, 150},
    {"SleepAndWakeWithReadPending", SleepAndWakeWithReadPending, 150},
    {"OpenWhileUnplugged", OpenWhileUnplugged, 100},
    {"IntervalReadsWhileStreaming", IntervalReadsWhileStreaming, 100},
    {"CancelIoAsIssued", CancelIoAsIssued, 100},
    {"SleepAndWakeWhileWriting", SleepAndWakeWhileWriting, 100},
    {"CancelLongWrite", CancelLongWrite, 100},
};

void PrintTo(const PortScenario& s, std::ostream* os) {
    *os << s.name;
}

// "Modem_<what>" or "Diag_<what>", as a test's name.
std::string RowName(usb::InterfaceKind kind, const std::string& what) {
    std::string name = (kind == usb::InterfaceKind::Modem ? "Modem_" : "Diag_") + what;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

sim::explore::Body BodyOf(usb::InterfaceKind kind, void (*play)(Rig&)) {
    return [kind, play](const sim::Schedule& schedule) {
        Rig rig(schedule, kind);
        play(rig);
    };
}

// Every finding fails, with its seed and interleaving.
void Report(const std::string& name, const sim::explore::Summary& summary) {
    for (const auto& f : summary.findings)
        ADD_FAILURE() << sim::explore::FindingText(name, f);
}

class PortRaces : public ::testing::TestWithParam<std::tuple<usb::InterfaceKind, PortScenario>> {};

TEST_P(PortRaces, NoSeedBreaksTheRules) {
    const auto& [kind, scenario] = GetParam();
    const std::string name = RowName(kind, scenario.name);
    Report(name, races::Run({name.c_str(), BodyOf(kind, scenario.play), scenario.seeds}, false));
}

INSTANTIATE_TEST_SUITE_P(Races, PortRaces,
                         ::testing::Combine(::testing::Values(usb::InterfaceKind::Modem,
                                                              usb::InterfaceKind::Diagnostics),
                                            ::testing::ValuesIn(kScenarios)),
                         [](const ::testing::TestParamInfo<PortRaces::ParamType>& p) {
                             return RowName(std::get<0>(p.param), std::get<1>(p.param).name);
                         });

// Seeds past a row's budget that once showed a driver finding (mended since):
// each must still pass. Those within the budget the rows above run already.
struct Regression {
    const char* finding;
    usb::InterfaceKind kind;
    void (*play)(Rig&);
    uint64_t seed;
};
const Regression kRegressions[] = {
    {"F4 restart after wake twice", usb::InterfaceKind::Diagnostics, SleepAndWakeWithReadPending,
     285},
    {"F5 close drain after wake", usb::InterfaceKind::Diagnostics, SleepAndWakeWithReadPending, 500},
};

void PrintTo(const Regression& r, std::ostream* os) {
    *os << r.finding << ", seed " << r.seed;
}

std::string RegressionName(const Regression& r) {
    return RowName(r.kind, std::string(r.finding) + "_seed" + std::to_string(r.seed));
}

class DriverFinding : public ::testing::TestWithParam<Regression> {};

TEST_P(DriverFinding, RegressionSeedPasses) {
    const Regression& r = GetParam();
    sim::explore::Plan plan;
    plan.firstSeed = r.seed;
    plan.seeds = 1;
    Report(RegressionName(r), sim::explore::Explore(r.finding, plan, BodyOf(r.kind, r.play)));
}

INSTANTIATE_TEST_SUITE_P(Races, DriverFinding, ::testing::ValuesIn(kRegressions),
                         [](const ::testing::TestParamInfo<Regression>& row) {
                             return RegressionName(row.param);
                         });

} // namespace
