// `vxqt70 replay LOG`: the requests of a Portmon log a customer sent, sent
// again to the simulated port in the order they were issued, each as the log
// shows it (overlapped where the log left it pending while others went on),
// with the log's status and ours side by side.
//
// The phone answers from its AT modem (--phone at), or sends the log's own
// read data (--phone data) at the point the log shows it arrived: after the
// last wait issued before the read (the wait saw it come), else just before
// the first status poll before the read (the poll saw it queued), else as
// the read is issued. The log starts where the user started it: a log
// without IRP_MJ_CREATE gets the port opened first, and whatever is still
// open at the end is closed as Windows closes it at process exit.
#include "tools/commands.h"
#include "tools/instruments.h"
#include "tools/machine.h"
#include "tools/portmon.h"
#include "tools/portmon_log.h"

#include "platform/win32/win32.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace vxqt70 {

namespace {

// Output buffer sizes of the control codes that return something, as
// kernel32 sizes them.
ULONG OutputSize(ULONG code) {
    switch (code) {
    case IOCTL_SERIAL_GET_BAUD_RATE: return sizeof(SERIAL_BAUD_RATE);
    case IOCTL_SERIAL_GET_LINE_CONTROL: return sizeof(SERIAL_LINE_CONTROL);
    case IOCTL_SERIAL_GET_CHARS: return sizeof(SERIAL_CHARS);
    case IOCTL_SERIAL_GET_HANDFLOW: return sizeof(SERIAL_HANDFLOW);
    case IOCTL_SERIAL_GET_TIMEOUTS: return sizeof(SERIAL_TIMEOUTS);
    case IOCTL_SERIAL_GET_COMMSTATUS: return sizeof(SERIAL_STATUS);
    case IOCTL_SERIAL_GET_PROPERTIES: return sizeof(SERIAL_COMMPROP);
    case IOCTL_SERIAL_GET_STATS: return sizeof(SERIALPERF_STATS);
    case IOCTL_SERIAL_GET_WAIT_MASK:
    case IOCTL_SERIAL_WAIT_ON_MASK:
    case IOCTL_SERIAL_GET_MODEMSTATUS:
    case IOCTL_SERIAL_GET_DTRRTS:
    case IOCTL_SERIAL_CONFIG_SIZE:
    case IOCTL_SERIAL_GET_MODEM_CONTROL: return sizeof(ULONG);
    default: return 0;
    }
}

// "KEY:value" (or "KEY: value") from a details field.
bool Field(const std::string& details, const std::string& key, int base, long* value) {
    size_t at = details.find(key + ":");
    if (at == std::string::npos)
        return false;
    at += key.size() + 1;
    while (at < details.size() && details[at] == ' ')
        at++;
    char* end = nullptr;
    *value = strtol(details.c_str() + at, &end, base);
    return end != details.c_str() + at;
}

template <typename T> std::vector<uint8_t> Bytes(const T& value) {
    std::vector<uint8_t> bytes(sizeof value);
    memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

// The input of a control code from its details; "" or why it cannot be.
std::string ControlInput(ULONG code, const std::string& d, std::vector<uint8_t>* input) {
    long a, b, c, e, f, g;
    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        if (!Field(d, "Rate", 10, &a))
            return "no Rate in the details";
        *input = Bytes(SERIAL_BAUD_RATE{(ULONG)a});
        return "";
    case IOCTL_SERIAL_SET_LINE_CONTROL: {
        static const char* const kParity[] = {"NONE", "ODD", "EVEN", "MARK", "SPACE"};
        const size_t p = d.find("Parity: ");
        if (!Field(d, "WordLength", 10, &a) || d.find("StopBits: ") == std::string::npos ||
            p == std::string::npos)
            return "no StopBits, Parity and WordLength in the details";
        const std::string stop = d.substr(d.find("StopBits: ") + 10, 3);
        SERIAL_LINE_CONTROL line{};
        line.WordLength = (UCHAR)a;
        line.StopBits = stop.rfind("1.5", 0) == 0 ? STOP_BITS_1_5
                        : stop[0] == '2'         ? STOP_BITS_2
                                                 : STOP_BIT_1;
        for (UCHAR i = 0; i < 5; i++)
            if (d.compare(p + 8, strlen(kParity[i]), kParity[i]) == 0)
                line.Parity = i;
        *input = Bytes(line);
        return "";
    }
    case IOCTL_SERIAL_SET_CHARS:
        if (!Field(d, "EOF", 16, &a) || !Field(d, "ERR", 16, &b) || !Field(d, "BRK", 16, &c) ||
            !Field(d, "EVT", 16, &e) || !Field(d, "XON", 16, &f) || !Field(d, "XOFF", 16, &g))
            return "no EOF, ERR, BRK, EVT, XON and XOFF in the details";
        *input = Bytes(SERIAL_CHARS{(UCHAR)a, (UCHAR)b, (UCHAR)c, (UCHAR)e, (UCHAR)f, (UCHAR)g});
        return "";
    case IOCTL_SERIAL_SET_HANDFLOW:
        if (!Field(d, "Shake", 16, &a) || !Field(d, "Replace", 16, &b) ||
            !Field(d, "XonLimit", 10, &c) || !Field(d, "XoffLimit", 10, &e))
            return "no Shake, Replace, XonLimit and XoffLimit in the details";
        *input = Bytes(SERIAL_HANDFLOW{(ULONG)a, (ULONG)b, (LONG)c, (LONG)e});
        return "";
    case IOCTL_SERIAL_SET_TIMEOUTS:
        if (!Field(d, "RI", 10, &a) || !Field(d, "RM", 10, &b) || !Field(d, "RC", 10, &c) ||
            !Field(d, "WM", 10, &e) || !Field(d, "WC", 10, &f))
            return "no RI, RM, RC, WM and WC in the details";
        *input = Bytes(SERIAL_TIMEOUTS{(ULONG)a, (ULONG)b, (ULONG)c, (ULONG)e, (ULONG)f});
        return "";
    case IOCTL_SERIAL_SET_WAIT_MASK:
    case IOCTL_SERIAL_PURGE: {
        const std::string key = code == IOCTL_SERIAL_PURGE ? "Purge:" : "Mask:";
        ULONG mask = 0;
        if (d.rfind(key, 0) != 0)
            return "no " + key + " in the details";
        const std::string words = d.substr(key.size());
        if (!(code == IOCTL_SERIAL_PURGE ? PortmonParsePurgeMask(words, &mask)
                                         : PortmonParseEventMask(words, &mask)))
            return "unknown flags in \"" + d + "\"";
        *input = Bytes(mask);
        return "";
    }
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
        if (!Field(d, "InSize", 10, &a) || !Field(d, "OutSize", 10, &b))
            return "no InSize and OutSize in the details";
        *input = Bytes(SERIAL_QUEUE_SIZE{(ULONG)a, (ULONG)b});
        return "";
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        if (!Field(d, "Char", 16, &a))
            return "no Char in the details";
        *input = Bytes((UCHAR)a);
        return "";
    case IOCTL_SERIAL_GET_COMMCONFIG:
    case IOCTL_SERIAL_SET_COMMCONFIG:
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
    case IOCTL_SERIAL_XOFF_COUNTER:
        return "Portmon's log does not show its buffer";
    default:
        return "";
    }
}

// One request of the log as the replay sends it.
struct Step {
    const LogRequest* log = nullptr;
    enum class Kind { Open, Close, CloseDone, Read, Write, Control, Flush, Skip } kind = Kind::Skip;
    std::string why;            // Skip: why it cannot be replayed
    ULONG code = 0;
    std::vector<uint8_t> input; // write data or control input
    ULONG length = 0;           // read length or control output size
    std::vector<uint8_t> arrives; // --phone data: the bytes the read saw
    bool leftPending = false;   // the log shows others issued before it completed
    // What the replay did.
    std::optional<unsigned long> number; // its request in our trace
    OVERLAPPED ov{};
    std::vector<uint8_t> output;
    std::string ours;           // our status when the log ended ("" pending)
};

Step Plan(const LogRequest& r, bool hex, int dot) {
    Step s;
    s.log = &r;
    const std::string& details = r.issued;
    ULONG code = 0;
    if (r.request == "IRP_MJ_CREATE") {
        s.kind = Step::Kind::Open;
    } else if (r.request == "IRP_MJ_CLEANUP") {
        s.kind = Step::Kind::Close;
    } else if (r.request == "IRP_MJ_CLOSE") {
        s.kind = Step::Kind::CloseDone;
    } else if (r.request == "IRP_MJ_FLUSH_BUFFERS") {
        s.kind = Step::Kind::Flush;
    } else if (r.request == "IRP_MJ_READ") {
        unsigned long length = 0;
        if (!LogLength(details, &length) && !LogLength(r.result, &length)) {
            s.why = "no Length in the details";
            return s;
        }
        s.kind = Step::Kind::Read;
        s.length = (ULONG)length;
        if (!LogData(r.result, hex, dot, &s.arrives))
            s.arrives.clear();
    } else if (r.request == "IRP_MJ_WRITE") {
        if (!LogData(details, hex, dot, &s.input)) {
            s.why = "no Length and data in the details";
            return s;
        }
        s.kind = Step::Kind::Write;
    } else if (r.request == "IRP_MJ_DEVICE_CONTROL" || PortmonControlCode(r.request, &code)) {
        if (r.request == "IRP_MJ_DEVICE_CONTROL") {
            char* end = nullptr;
            if (details.rfind("IOCTL: 0x", 0) != 0 ||
                (code = (ULONG)strtoul(details.c_str() + 9, &end, 16), *end != 0)) {
                s.why = "no \"IOCTL: 0x...\" in the details";
                return s;
            }
        } else {
            s.why = ControlInput(code, details, &s.input);
            if (!s.why.empty())
                return s;
        }
        s.kind = Step::Kind::Control;
        s.code = code;
        s.length = OutputSize(code);
    } else {
        s.why = r.request + " is not something a serial program sends";
    }
    return s;
}

class Replay {
public:
    Replay(PortmonTrace& trace, const ReplayOptions& options, const PortmonLog& log,
           usb::Interface& phone, std::string path)
        : trace_(trace), options_(options), log_(log), phone_(phone), path_(std::move(path)) {}

    void Run();
    // Prints the side-by-side table, the unreadable lines and the summary.
    void Report(FILE* out);

private:
    void PlanData();
    void Arrive(const std::vector<uint8_t>& bytes);
    void Issue(Step& s);
    bool Open();
    void Settle(Step& s);
    std::string StatusOf(const Step& s) const;

    PortmonTrace& trace_;
    const ReplayOptions& options_;
    const PortmonLog& log_;
    usb::Interface& phone_;
    std::string path_;
    std::vector<std::unique_ptr<Step>> steps_;
    // --phone data: bytes to send before / after step i.
    std::map<size_t, std::vector<uint8_t>> before_, after_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    std::optional<unsigned long> implicitOpen_;
    std::optional<unsigned long> lastClose_; // the CLOSE our CloseHandle sent
};

void Replay::PlanData() {
    size_t previousRead = 0;
    for (size_t i = 0; i < steps_.size(); i++) {
        const Step& s = *steps_[i];
        if (s.kind != Step::Kind::Read)
            continue;
        std::optional<size_t> wait, poll;
        for (size_t j = previousRead; j < i; j++) {
            const Step& p = *steps_[j];
            if (p.kind != Step::Kind::Control)
                continue;
            if (p.code == IOCTL_SERIAL_WAIT_ON_MASK)
                wait = j;
            if (p.code == IOCTL_SERIAL_GET_COMMSTATUS && !poll)
                poll = j;
        }
        previousRead = i + 1;
        if (s.arrives.empty())
            continue;
        std::vector<uint8_t>& into = wait ? after_[*wait] : before_[poll ? *poll : i];
        into.insert(into.end(), s.arrives.begin(), s.arrives.end());
    }
}

void Replay::Arrive(const std::vector<uint8_t>& bytes) {
    phone_.Push(bytes.data(), bytes.size(), usb::Pipe::BulkIn, options_.packetSize);
    sim::RunUntilIdle();
}

bool Replay::Open() {
    port_ = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
    return port_ != INVALID_HANDLE_VALUE;
}

void Replay::Issue(Step& s) {
    const unsigned long number = trace_.Requests();
    s.ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    switch (s.kind) {
    case Step::Kind::Open:
        if (port_ != INVALID_HANDLE_VALUE) {
            // A second open while the first is still open: the port is
            // exclusive, and the log will say whether it was refused.
            const HANDLE second = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                              nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
            if (second != INVALID_HANDLE_VALUE)
                CloseHandle(second);
        } else {
            Open();
        }
        break;
    case Step::Kind::Close:
    case Step::Kind::CloseDone:
        if (s.kind == Step::Kind::CloseDone && lastClose_) {
            // Our CloseHandle sent this one with the CLEANUP.
            s.number = lastClose_;
            lastClose_.reset();
            return;
        }
        if (port_ == INVALID_HANDLE_VALUE) {
            s.kind = Step::Kind::Skip;
            s.why = "the port is not open here";
            return;
        }
        CloseHandle(port_);
        port_ = INVALID_HANDLE_VALUE;
        if (s.kind == Step::Kind::Close)
            lastClose_ = number + 1;
        break;
    default:
        break;
    }
    if (s.kind == Step::Kind::Read || s.kind == Step::Kind::Write ||
        s.kind == Step::Kind::Control || s.kind == Step::Kind::Flush) {
        if (port_ == INVALID_HANDLE_VALUE && !implicitOpen_) {
            // The log starts with the port already open.
            implicitOpen_ = trace_.Requests();
            Open();
        }
        if (port_ == INVALID_HANDLE_VALUE) {
            s.kind = Step::Kind::Skip;
            s.why = "the port could not be opened";
            return;
        }
        s.output.assign(std::max<ULONG>(s.length, 1), 0);
        const unsigned long at = trace_.Requests();
        if (s.kind == Step::Kind::Read)
            ReadFile(port_, s.output.data(), s.length, nullptr, &s.ov);
        else if (s.kind == Step::Kind::Write)
            WriteFile(port_, s.input.data(), (DWORD)s.input.size(), nullptr, &s.ov);
        else if (s.kind == Step::Kind::Flush)
            FlushFileBuffers(port_);
        else
            DeviceIoControl(port_, s.code, s.input.empty() ? nullptr : s.input.data(),
                            (DWORD)s.input.size(), s.length != 0 ? s.output.data() : nullptr,
                            s.length, nullptr, &s.ov);
        s.number = at;
        return;
    }
    if (trace_.Requests() > number)
        s.number = number;
}

// Waits for a request the log shows completing before the next one was
// issued, as long as the log's duration and a second more; one the log left
// pending is left to run.
void Replay::Settle(Step& s) {
    sim::RunUntilIdle();
    if (!s.number || s.leftPending)
        return;
    const double logSeconds = atof(s.log->duration.c_str());
    const LONGLONG deadline = sim::Now() + (LONGLONG)(logSeconds * 1e7) + 10000000;
    while (sim::Now() < deadline) {
        const std::optional<PortmonRecord> r = trace_.Record(*s.number);
        if (!r || r->completed)
            return;
        WaitForSingleObject(s.ov.hEvent, (DWORD)((deadline - sim::Now()) / 10000) + 1);
    }
}

std::string Replay::StatusOf(const Step& s) const {
    if (!s.number)
        return "";
    const std::optional<PortmonRecord> r = trace_.Record(*s.number);
    return r && r->completed ? r->status : "";
}

void Replay::Run() {
    for (const LogRequest& r : log_.requests)
        steps_.push_back(std::make_unique<Step>(Plan(r, log_.hex, options_.dot)));
    for (size_t i = 0; i < steps_.size(); i++) {
        Step& s = *steps_[i];
        const size_t nextLine = i + 1 < steps_.size() ? steps_[i + 1]->log->line : SIZE_MAX;
        s.leftPending = log_.twoLine
                            ? s.log->completionLine == 0 || s.log->completionLine > nextLine
                            : !s.log->completed || (s.kind == Step::Kind::Control &&
                                                    s.code == IOCTL_SERIAL_WAIT_ON_MASK);
    }
    if (options_.phoneData)
        PlanData();
    for (size_t i = 0; i < steps_.size(); i++) {
        Step& s = *steps_[i];
        if (options_.phoneData && before_.count(i))
            Arrive(before_[i]);
        if (s.kind != Step::Kind::Skip)
            Issue(s);
        if (options_.phoneData && after_.count(i))
            Arrive(after_[i]);
        if (s.kind != Step::Kind::Skip)
            Settle(s);
        // In --phone data mode what the host writes goes nowhere.
        if (options_.phoneData)
            phone_.TakeReceived();
    }
    sim::RunUntilIdle();
    for (auto& s : steps_)
        s->ours = StatusOf(*s);
    // The program ends: Windows cancels its I/O and closes its handles (the
    // port and the requests' events).
    sim::Win32CloseAtExit();
}

void Replay::Report(FILE* out) {
    unsigned same = 0, different = 0, noStatus = 0, skipped = 0;
    fprintf(out, "%6s  %-32s  %-20s  %-20s  %s\n", "#", "request", "log", "ours", "");
    for (const auto& step : steps_) {
        const Step& s = *step;
        const LogRequest& r = *s.log;
        const char* verdict;
        const bool skip = s.kind == Step::Kind::Skip;
        if (skip) {
            skipped++;
            verdict = "not replayable: ";
        } else if (!r.completed) {
            verdict = "no status in the log";
            noStatus++;
        } else if (r.status == s.ours) {
            verdict = "same";
            same++;
        } else {
            verdict = "DIFFERENT";
            different++;
        }
        const char* ours = skip ? "-" : s.ours.empty() ? "(pending)" : s.ours.c_str();
        fprintf(out, "%6lu  %-32s  %-20s  %-20s  %s%s\n", r.sequence, r.request.c_str(),
                r.completed ? r.status.c_str() : "(none)", ours, verdict,
                skip ? s.why.c_str() : "");
    }
    if (implicitOpen_)
        fprintf(out, "(the log starts with the port open: the replay opened it first)\n");
    for (const UnreadableLine& u : log_.unreadable)
        fprintf(out, "unreadable line %zu: \"%s\" (%s)\n", u.line, u.text.c_str(), u.why.c_str());
    char summary[256];
    snprintf(summary, sizeof summary,
             "summary: %zu requests: %u same, %u different, %u no status in the log, %u not "
             "replayable; %zu unreadable line(s)",
             steps_.size(), same, different, noStatus, skipped, log_.unreadable.size());
    fprintf(out, "%s\n", summary);
}

} // namespace

int RunReplay(const CommonOptions& options, const ReplayOptions& replay) {
    std::ifstream in(replay.log);
    if (!in) {
        fprintf(stderr, "vxqt70 replay: cannot read %s: %s\n", replay.log.c_str(),
                strerror(errno));
        return 2;
    }
    const PortmonLog log = ReadPortmonLog(in);
    if (log.requests.empty()) {
        fprintf(stderr, "vxqt70 replay: no Portmon request in %s (%zu unreadable line(s))\n",
                replay.log.c_str(), log.unreadable.size());
        for (const UnreadableLine& u : log.unreadable)
            fprintf(stderr, "  line %zu: %s (%s)\n", u.line, u.text.c_str(), u.why.c_str());
        return 2;
    }
    MachineOptions machineOptions;
    if (!options.comNames.empty()) {
        const std::string error = ParseComNames(options.comNames, &machineOptions);
        if (!error.empty()) {
            fprintf(stderr, "vxqt70: %s\n", error.c_str());
            return 2;
        }
    }
    machineOptions.atModem = !replay.phoneData;
    printf("vxqt70 replay of %s: %zu requests, %s form, %s view; the phone %s%s\n",
           replay.log.c_str(), log.requests.size(), log.twoLine ? "two-line" : "one-line",
           log.hex ? "hex" : "ASCII",
           replay.phoneData ? "sends the log's read data" : "answers from its AT modem",
           replay.packetSize != 0
               ? (" in packets of " + std::to_string(replay.packetSize) + " bytes").c_str()
               : "");
    fflush(stdout);
    Machine machine(machineOptions);
    // Our trace shows data the way the log does, unless asked for hex.
    InstrumentOptions watch = options.instruments;
    if (log.hex)
        watch.view = PortmonView::Hex;
    Instruments instruments;
    const std::string error = instruments.Start(watch, machine, stdout,
                                                log.requests.front().process, true);
    if (!error.empty()) {
        fprintf(stderr, "vxqt70 replay: %s\n", error.c_str());
        return 2;
    }
    const std::string path = replay.diagnostics ? machine.DiagPath() : machine.ModemPath();
    usb::Interface& phone =
        replay.diagnostics ? machine.Phone().Diagnostics() : machine.Phone().Modem();
    printf("port: %s (%s)\n", path.c_str() + 4, replay.diagnostics ? "diagnostics" : "modem");
    Replay run(*instruments.Trace(), replay, log, phone, path);
    run.Run();
    printf("\n");
    run.Report(stdout);
    instruments.StopTrace();
    printf("\n== Verifier\n");
    const bool clean = machine.Verdict(stdout, false);
    printf("verifier: %s\n", clean ? "clean" : "FINDINGS (see above)");
    fflush(stdout);
    return clean ? 0 : 3;
}

} // namespace vxqt70
