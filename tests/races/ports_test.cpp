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
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

using sim::explore::Fail;

constexpr ULONG kForever = 0xFFFFFFFF;

class Rig;

// One read; what it got joins the stream the reader saw. Issue announces it
// to a thread that will interrupt it (WaitIssued).
struct PendingRead {
    load::Io io;
    bool issued = false;
    void Issue(Rig& rig, DWORD length, std::initializer_list<NTSTATUS> allowed = {});
    void Finish(Rig& rig, std::initializer_list<NTSTATUS> allowed);
    void Run(Rig& rig, DWORD length, std::initializer_list<NTSTATUS> allowed) {
        Issue(rig, length, allowed);
        Finish(rig, allowed);
    }
};

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
    // The read another thread interrupts, and a loop's end.
    PendingRead read;
    bool stop = false;
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
            bytes[i] = load::StreamByte(1, rig.pushed + i);
        rig.Usb().Push(bytes.data(), n);
        rig.pushed += n;
        Pause(2);
    }
}

void PendingRead::Issue(Rig& rig, DWORD length, std::initializer_list<NTSTATUS> allowed) {
    io.output.resize(length);
    Issued(io, ReadFile(rig.port, io.output.data(), length, nullptr, &io.overlapped), "a read",
           allowed);
    issued = true;
}
void PendingRead::Finish(Rig& rig, std::initializer_list<NTSTATUS> allowed) {
    const DWORD n = Await(rig, io, "a read", allowed, io.output.size());
    rig.got.insert(rig.got.end(), io.output.begin(), io.output.begin() + n);
}

void ReadOnce(Rig& rig, DWORD length, std::initializer_list<NTSTATUS> allowed) {
    PendingRead().Run(rig, length, allowed);
}

void WriteOnce(Rig& rig, DWORD length, uint8_t tag, std::initializer_list<NTSTATUS> allowed) {
    load::Io io;
    std::vector<uint8_t> buffer(length);
    for (DWORD i = 0; i < length; ++i)
        buffer[i] = static_cast<uint8_t>(tag + i);
    Issued(io, WriteFile(rig.port, buffer.data(), length, nullptr, &io.overlapped), "a write",
           allowed);
    const DWORD n = Await(rig, io, "a write", allowed, length);
    rig.written.insert(rig.written.end(), buffer.begin(), buffer.begin() + n);
}

// What is checked of the data once every thread is done.
enum class End {
    Nothing,
    Order,   // what the reader got is the stream, in order, from its start
    Written, // and the phone got exactly the bytes the writes reported
    All,     // and the reader got all the phone sent
};

void CheckData(Rig& rig, End end) {
    for (size_t i = 0; i < rig.got.size(); ++i) {
        if (i >= rig.pushed || rig.got[i] != load::StreamByte(1, i))
            Fail("the reader's byte " + std::to_string(i) + " is not the stream's");
    }
    if (end == End::All && rig.got.size() != rig.pushed)
        Fail("the reader got " + std::to_string(rig.got.size()) + " of " +
             std::to_string(rig.pushed) + " bytes");
    if (end == End::Order)
        return;
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
// A scenario: what it sets on the port first, its threads (started in this
// order, joined in the reverse, as scoped threads are), and what it checks
// of the data at the end.
struct Step {
    const char* thread;
    void (*run)(Rig&);
};

struct PortScenario {
    const char* name;
    uint64_t seeds;
    void (*setup)(Rig&);
    std::vector<Step> threads;
    End end;
    // Seeds past the budget that once showed a driver finding, mended since.
    std::vector<uint64_t> regressions;
};

template <ULONG interval, ULONG multiplier, ULONG constant> void Timeouts(Rig& rig) {
    SetTimeouts(rig, interval, multiplier, constant);
}
// Reads wait for their whole length and the phone holds what the host
// writes until a canceller lets it go: both kinds of request are in flight.
void WholeReadsWritesHeld(Rig& r) {
    SetTimeouts(r, 0, 0, 0);
    r.Usb().HoldBulkOut(true);
}

void SleepAndWake(Rig&) {
    Expect(sim::SetSystemPowerState(PowerSystemSleeping3), {STATUS_SUCCESS}, "sleep");
    Expect(sim::SetSystemPowerState(PowerSystemWorking), {STATUS_SUCCESS}, "wake");
}

const PortScenario kScenarios[] = {
    {"ReadsWhileStreaming",
     150,
     Timeouts<kForever, kForever, 20>,
     {{"phone",
       [](Rig& r) {
           Stream(r, {5, 130, 1, 64});
       }},
      {"reader", [](Rig& r) { ReadAll(r, 200); }}},
     End::All},
    {"WritesWhileReading",
     150,
     Timeouts<kForever, kForever, 20>,
     {{"phone",
       [](Rig& r) {
           Stream(r, {40, 3});
       }},
      {"reader", [](Rig& r) { ReadAll(r, 43); }},
      {"writer",
       [](Rig& r) {
           WriteOnce(r, 70, 0x10, {STATUS_SUCCESS});
           WriteOnce(r, 1, 0x80, {STATUS_SUCCESS});
       }}},
     End::All},
    {"WaitOnMaskWhileStreaming",
     150,
     [](Rig& r) {
         if (!SetCommMask(r.port, EV_RXCHAR))
             Fail("SetCommMask failed");
         SetTimeouts(r, kForever, 0, 0);
     },
     {{"waiter",
       [](Rig& r) {
           while (!r.stop) {
               load::Io io;
               DWORD mask = 0;
               Issued(io, WaitCommEvent(r.port, &mask, &io.overlapped), "a wait on mask");
               Await(r, io, "a wait on mask", {STATUS_SUCCESS}, sizeof mask);
               ReadOnce(r, 256, {STATUS_SUCCESS});
           }
       }},
      {"phone",
       [](Rig& r) {
           Stream(r, {3, 9});
           r.stop = true;
           Stream(r, {1});
           // A wait issued after the last byte ends with the mask cleared.
           SetCommMask(r.port, 0);
       }}},
     End::Nothing},
    // Purged bytes are gone, so only the order of what came is checked.
    {"PurgeWhileReading",
     150,
     Timeouts<0, 0, 0>, // wait for the whole read
     {{"reader", [](Rig& r) { r.read.Run(r, 100, kCut); }},
      {"phone", [](Rig& r) { Stream(r, {10}); }},
      {"purger",
       [](Rig& r) {
           WaitIssued(r.read);
           if (!PurgeComm(r.port, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT))
               Fail("PurgeComm failed");
       }}},
     End::Order},
    {"CancelIoWhileReadingAndWriting",
     150,
     WholeReadsWritesHeld,
     {{"reader", [](Rig& r) { r.read.Run(r, 50, kCut); }},
      {"writer", [](Rig& r) { WriteOnce(r, 90, 0x20, kCut); }},
      {"phone", [](Rig& r) { Stream(r, {20}); }},
      {"canceller",
       [](Rig& r) {
           WaitIssued(r.read);
           Pause(1);
           CancelIoEx(r.port, nullptr);
           r.Usb().HoldBulkOut(false);
       }}},
     End::Written},
    {"CloseWhileStreaming",
     150,
     Timeouts<0, 0, 0>,
     {{"reader", [](Rig& r) { r.read.Run(r, 64, kCut); }},
      {"phone",
       [](Rig& r) {
           Stream(r, {16, 16});
       }},
      {"closer",
       [](Rig& r) {
           WaitIssued(r.read);
           Pause(1);
           r.Close();
       }}},
     End::Written},
    {"UnplugWhileStreaming",
     150,
     Timeouts<0, 0, 0>,
     {{"reader", [](Rig& r) { r.read.Run(r, 64, kGone); }},
      {"writer", [](Rig& r) { WriteOnce(r, 40, 0x30, kGone); }},
      {"phone",
       [](Rig& r) {
           Stream(r, {16});
           WaitIssued(r.read);
           r.Phone().Unplug();
       }}},
     End::Order},
    {"SleepAndWakeWithReadPending",
     150,
     Timeouts<kForever, kForever, 50>, // any byte, or 50 ms
     {{"reader",
       [](Rig& r) {
           r.read.Issue(r, 32);
           r.read.Finish(r, kGone);
           for (int i = 0; i < 2; ++i)
               ReadOnce(r, 32, kGone);
       }},
      {"power",
       [](Rig& r) {
           WaitIssued(r.read);
           SleepAndWake(r);
           Stream(r, {12});
       }}},
     End::Written,
     {285, 500}}, // the diagnostics port restarted twice after a wake; its close drain after one
    // An open racing the unplug: the open may see the port started and the
    // removal begin before it takes its hold on the device.
    {"OpenWhileUnplugged",
     100,
     [](Rig& r) { r.Close(); },
     {{"opener",
       [](Rig& r) {
           if (!r.Open())
               return;
           // Issued as the removal begins, the read may be refused at once;
           // if it waits, the removal must end it.
           ReadOnce(r, 8, kGone);
       }},
      {"phone", [](Rig& r) { r.Phone().Unplug(); }}},
     End::Nothing},
    // Reads that end on the gap after a byte, while the phone's bytes may
    // land between a read finding the ring empty and the read being queued.
    {"IntervalReadsWhileStreaming",
     100,
     Timeouts<2, 0, 0>,
     {{"phone",
       [](Rig& r) {
           Stream(r, {3, 1, 40, 2});
       }},
      {"reader",
       [](Rig& r) {
           while (r.got.size() < r.pushed || r.pushed < 46)
               ReadOnce(r, 16, {STATUS_SUCCESS, STATUS_TIMEOUT});
       }}},
     End::All},
    // Another thread cancels the handle's requests as they are being issued,
    // so that it can find them before they are queued as well as after.
    {"CancelIoAsIssued",
     100,
     WholeReadsWritesHeld,
     {{"reader", [](Rig& r) { ReadOnce(r, 50, kCut); }},
      {"writer", [](Rig& r) { WriteOnce(r, 90, 0x20, kCut); }},
      {"canceller",
       [](Rig& r) {
           CancelIoEx(r.port, nullptr);
           Pause(1);
           CancelIoEx(r.port, nullptr);
           r.Usb().HoldBulkOut(false);
       }}},
     End::Written},
    // Writes of several pieces while the system sleeps and wakes: a piece the
    // sleep cuts short reports what the phone got, a write made while the
    // phone sleeps waits for the wake, and the wake never waits for a piece
    // only the wake can let through.
    {"SleepAndWakeWhileWriting",
     100,
     [](Rig& r) { r.Usb().Delay(usb::Pipe::BulkOut, 1); },
     {{"writer",
       [](Rig& r) {
           for (DWORD length : {9000, 3000, 10})
               WriteOnce(r, length, static_cast<uint8_t>(length), kCut);
       }},
      {"power",
       [](Rig& r) {
           Pause(2);
           SleepAndWake(r);
       }}},
     End::Written},
    // A cancel while a write longer than one transfer goes out piece by
    // piece: it reports exactly the pieces the phone got.
    {"CancelLongWrite",
     100,
     [](Rig& r) { r.Usb().Delay(usb::Pipe::BulkOut, 2); },
     {{"writer", [](Rig& r) { WriteOnce(r, 40000, 0x40, kCut); }},
      {"canceller",
       [](Rig& r) {
           Pause(3);
           CancelIoEx(r.port, nullptr);
       }}},
     End::Written},
};

void Play(Rig& rig, const PortScenario& s) {
    s.setup(rig);
    std::vector<std::unique_ptr<sim::Thread>> threads;
    for (const Step& step : s.threads)
        threads.push_back(
            std::make_unique<sim::Thread>(step.thread, [&rig, &step] { step.run(rig); }));
    while (!threads.empty())
        threads.pop_back();
    if (s.end != End::Nothing)
        CheckData(rig, s.end);
}

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

sim::explore::Body BodyOf(usb::InterfaceKind kind, const PortScenario& scenario) {
    return [kind, &scenario](const sim::Schedule& schedule) {
        Rig rig(schedule, kind);
        Play(rig, scenario);
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
    Report(name, races::Run({name.c_str(), BodyOf(kind, scenario), scenario.seeds}, false));
    for (uint64_t seed :
         sim::explore::ReplaySeed() == 0 ? scenario.regressions : std::vector<uint64_t>{}) {
        sim::explore::Plan plan;
        plan.firstSeed = seed;
        plan.seeds = 1;
        Report(name, sim::explore::Explore(name, plan, BodyOf(kind, scenario)));
    }
}

INSTANTIATE_TEST_SUITE_P(Races, PortRaces,
                         ::testing::Combine(::testing::Values(usb::InterfaceKind::Modem,
                                                              usb::InterfaceKind::Diagnostics),
                                            ::testing::ValuesIn(kScenarios)),
                         [](const ::testing::TestParamInfo<PortRaces::ParamType>& p) {
                             return RowName(std::get<0>(p.param), std::get<1>(p.param).name);
                         });

} // namespace
