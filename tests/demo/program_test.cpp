// The programs as a user runs them: `vxqt70 demo`, `vxqt70 --trace demo`,
// `vxqt70 term` fed a script, and a Win32 sample program built with
// vxqt70_win32_program, each checked by its exit status and its output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Outcome {
    int status = -1; // exit status; -1 if it did not exit normally
    std::string out;
};

// Runs a shell command line, capturing its standard output.
Outcome Shell(const std::string& command) {
    Outcome run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string Vxqt70(const std::string& arguments) {
    // The machine picks its own COM names; the environment must not.
    return std::string("env -u VXQT70_COM_NAMES ") + VXQT70_EXE + " " + arguments;
}

bool Has(const std::string& text, const std::string& what) {
    return text.find(what) != std::string::npos;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

// A request of a trace, from its two lines (issue: sequence, 0.00000000,
// process, request, device, details; completion: sequence, duration,
// status, details) or its one line.
struct TraceLine {
    unsigned long sequence = 0;
    std::string request, device, status, details;
    std::vector<std::string> lines; // as printed
};

// The requests of an output's live trace, in the order issued; their lines
// must come in Portmon's order: issue lines numbered in sequence, each
// completion after its issue.
std::vector<TraceLine> Trace(const std::string& out) {
    std::vector<TraceLine> trace;
    for (const std::string& line : Lines(out)) {
        const std::vector<std::string> f = Fields(line);
        if ((f.size() != 6 && f.size() != 4) || f[0].empty() ||
            f[0].find_first_not_of("0123456789") != std::string::npos)
            continue;
        const unsigned long sequence = std::stoul(f[0]);
        if (f.size() == 6) {
            EXPECT_EQ(sequence, trace.size()) << line;
            EXPECT_EQ(f[1], "0.00000000") << line;
            TraceLine t;
            t.sequence = sequence;
            t.request = f[3];
            t.device = f[4];
            t.details = f[5];
            t.lines.push_back(line);
            trace.push_back(t);
        } else if (sequence < trace.size() && trace[sequence].lines.size() == 1) {
            trace[sequence].status = f[2];
            if (!f[3].empty())
                trace[sequence].details = f[3];
            trace[sequence].lines.push_back(line);
        } else {
            ADD_FAILURE() << "a completion without its issue line: " << line;
        }
    }
    return trace;
}

std::vector<std::string> Requests(const std::vector<TraceLine>& trace, size_t from, size_t count) {
    std::vector<std::string> names;
    for (size_t i = from; i < from + count && i < trace.size(); i++)
        names.push_back(trace[i].request);
    return names;
}

std::string Slurp(const std::string& path) {
    std::string text;
    if (FILE* f = fopen(path.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
            text.append(buffer, n);
        fclose(f);
    }
    return text;
}

std::string TempPath(const std::string& name) {
    const char* dir = getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/vxqt70-test-" +
           std::to_string(getpid()) + "-" + name;
}

// ---------------------------------------------------------------- the demo

class DemoRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() { demo_ = new Outcome(Shell(Vxqt70("demo"))); }
    static void TearDownTestSuite() {
        delete demo_;
        demo_ = nullptr;
    }
    static Outcome* demo_;
};
Outcome* DemoRun::demo_ = nullptr;

TEST_F(DemoRun, EndsWithEverythingHeld) {
    EXPECT_EQ(demo_->status, 0) << demo_->out;
    EXPECT_TRUE(Has(demo_->out, "verdict: everything held")) << demo_->out;
    EXPECT_FALSE(Has(demo_->out, "UNEXPECTED")) << demo_->out;
    EXPECT_FALSE(Has(demo_->out, "FINDING")) << demo_->out;
}

TEST_F(DemoRun, ShowsBothPortsWithTheirNames) {
    EXPECT_TRUE(Has(demo_->out, "modem interface -> vxqt70modem, device \\Device\\VXNTQT70MDM0, Started"))
        << demo_->out;
    EXPECT_TRUE(Has(demo_->out, "diagnostics interface -> vxqt70diag, device \\Device\\VXNTQT70DIAG"))
        << demo_->out;
    EXPECT_TRUE(Has(demo_->out, "= COM2")) << demo_->out;
    bool named = false;
    for (const std::string& line : Lines(demo_->out))
        named = named || (Has(line, "\\Device\\VXNTQT70MDM0 ") && Has(line, " = COM1"));
    EXPECT_TRUE(named) << demo_->out;
    EXPECT_TRUE(Has(demo_->out, "\\DosDevices\\COM1")) << demo_->out;
    EXPECT_TRUE(Has(demo_->out, "(enabled)")) << demo_->out;
}

TEST_F(DemoRun, TalksToTheModemAndSeesTheCarrierComeAndGo) {
    const std::string& out = demo_->out;
    EXPECT_TRUE(Has(out, "> ATI")) << out;
    EXPECT_TRUE(Has(out, "< CONNECT")) << out;
    EXPECT_TRUE(Has(out, "WaitCommEvent completed: RLSD; GetCommModemStatus: DCD on   DSR on")) << out;
    EXPECT_TRUE(Has(out, "WaitCommEvent completed: RLSD; GetCommModemStatus: DCD off")) << out;
    EXPECT_TRUE(Has(out, "10000 bytes back, identical")) << out;
    // The carrier comes up on the dial and goes with the hang-up.
    EXPECT_LT(out.find("> ATD5551234"), out.find("GetCommModemStatus: DCD on "));
    EXPECT_LT(out.find("> ATH"), out.find("RLSD; GetCommModemStatus: DCD off"));
    EXPECT_TRUE(Has(out, "< NO CARRIER")) << out;
}

TEST_F(DemoRun, UnplugUnloadsBothDrivers) {
    EXPECT_TRUE(Has(demo_->out, "vxqt70modem: loaded 1 time(s), unloaded 1 time(s)")) << demo_->out;
    EXPECT_TRUE(Has(demo_->out, "vxqt70diag: loaded 1 time(s), unloaded 1 time(s)")) << demo_->out;
}

TEST_F(DemoRun, IsTheSameEveryTime) {
    EXPECT_EQ(Shell(Vxqt70("")).out, demo_->out);
}

// ---------------------------------------------------------------- --trace

class TraceRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        log_ = new std::string(TempPath("demo.log"));
        run_ = new Outcome(Shell(Vxqt70("--trace --trace-log " + *log_ + " demo")));
        trace_ = new std::vector<TraceLine>(Trace(run_->out));
    }
    static void TearDownTestSuite() {
        remove(log_->c_str());
        delete run_;
        delete trace_;
        delete log_;
    }
    static Outcome* run_;
    static std::vector<TraceLine>* trace_;
    static std::string* log_;
};
Outcome* TraceRun::run_ = nullptr;
std::vector<TraceLine>* TraceRun::trace_ = nullptr;
std::string* TraceRun::log_ = nullptr;

TEST_F(TraceRun, EveryRequestIsIssuedInOrderAndCompletedOnce) {
    ASSERT_EQ(run_->status, 0) << run_->out;
    ASSERT_GT(trace_->size(), 40u);
    for (const TraceLine& t : *trace_) {
        EXPECT_EQ(t.device, "VXNTQT70MDM0");
        EXPECT_EQ(t.lines.size(), 2u) << "request " << t.sequence << " never completed";
    }
    EXPECT_EQ(trace_->back().request, "IRP_MJ_CLOSE");
}

// The open and setup, whole lines as Portmon writes them live: what
// CreateFile, GetCommState, SetCommState, SetCommTimeouts and SetCommMask
// send, each completed before the next is issued.
TEST_F(TraceRun, OpenAndSetupReadAsPortmonWritesThem) {
    static const char* const kExpected[] = {
        "0\t0.00000000\tvxqt70.exe\tIRP_MJ_CREATE\tVXNTQT70MDM0\tOptions: Open ",
        "1\t0.00000000\tvxqt70.exe\tIOCTL_SERIAL_GET_BAUD_RATE\tVXNTQT70MDM0\t",
        "2\t0.00000000\tvxqt70.exe\tIOCTL_SERIAL_GET_LINE_CONTROL\tVXNTQT70MDM0\t",
        "3\t0.00000000\tvxqt70.exe\tIOCTL_SERIAL_GET_CHARS\tVXNTQT70MDM0\t",
        "4\t0.00000000\tvxqt70.exe\tIOCTL_SERIAL_GET_HANDFLOW\tVXNTQT70MDM0\t",
        "5\t0.00000000\tvxqt70.exe\tIOCTL_SERIAL_GET_BAUD_RATE\tVXNTQT70MDM0\t",
        "6\t0.00000000\tvxqt70.exe\tIOCTL_SERIAL_GET_LINE_CONTROL\tVXNTQT70MDM0\t",
        "7\t0.00000000\tvxqt70.exe\tIOCTL_SERIAL_GET_CHARS\tVXNTQT70MDM0\t",
        "8\t0.00000000\tvxqt70.exe\tIOCTL_SERIAL_GET_HANDFLOW\tVXNTQT70MDM0\t",
        "9\t0.00000000\tvxqt70.exe\tIOCTL_SERIAL_SET_BAUD_RATE\tVXNTQT70MDM0\tRate: 115200",
        "10\t0.00000000\tvxqt70.exe\tIOCTL_SERIAL_SET_RTS\tVXNTQT70MDM0\t",
        "11\t0.00000000\tvxqt70.exe\tIOCTL_SERIAL_SET_DTR\tVXNTQT70MDM0\t",
        "12\t0.00000000\tvxqt70.exe\tIOCTL_SERIAL_SET_LINE_CONTROL\tVXNTQT70MDM0\tStopBits: 1 "
        "Parity: NONE WordLength: 8",
        "13\t0.00000000\tvxqt70.exe\tIOCTL_SERIAL_SET_CHAR\tVXNTQT70MDM0\tEOF:0 ERR:0 BRK:0 EVT:0 "
        "XON:11 XOFF:13",
        "14\t0.00000000\tvxqt70.exe\tIOCTL_SERIAL_SET_HANDFLOW\tVXNTQT70MDM0\tShake:1 Replace:40 "
        "XonLimit:0 XoffLimit:0",
        "15\t0.00000000\tvxqt70.exe\tIOCTL_SERIAL_SET_TIMEOUTS\tVXNTQT70MDM0\tRI:-1 RM:-1 RC:1000 "
        "WM:0 WC:0",
        "16\t0.00000000\tvxqt70.exe\tIOCTL_SERIAL_SET_WAIT_MASK\tVXNTQT70MDM0\tMask: CTS DSR RLSD "
        "BRK ERR RING ",
    };
    const std::vector<TraceLine>& t = *trace_;
    ASSERT_GT(t.size(), std::size(kExpected));
    for (size_t i = 0; i < std::size(kExpected); i++) {
        EXPECT_EQ(t[i].lines[0], kExpected[i]);
        EXPECT_EQ(t[i].lines.at(1), std::to_string(i) + "\t0.00000000\tSUCCESS\t");
    }
    // The wait stays pending while the program goes on.
    EXPECT_EQ(t[17].lines[0], "17\t0.00000000\tvxqt70.exe\tIOCTL_SERIAL_WAIT_ON_MASK\tVXNTQT70MDM0\t");
    const std::vector<std::string> lines = Lines(run_->out);
    EXPECT_LT(std::find(lines.begin(), lines.end(), t[18].lines[0]),
              std::find(lines.begin(), lines.end(), t[17].lines[1]));
}

TEST_F(TraceRun, CommandsGoOutAsWritesAndRepliesComeBackAsReads) {
    bool wroteAti = false, readOk = false, waitSawCarrier = false;
    for (const TraceLine& line : *trace_) {
        wroteAti = wroteAti || (line.request == "IRP_MJ_WRITE" && line.details == "Length 4: ATI.");
        readOk = readOk || (line.request == "IRP_MJ_READ" && Has(line.details, "OK.."));
        // A wait's completion shows no details; the carrier shows in the
        // next GET_MODEMSTATUS.
        waitSawCarrier = waitSawCarrier || (line.request == "IOCTL_SERIAL_WAIT_ON_MASK" &&
                                            line.status == "SUCCESS" && line.details.empty());
    }
    EXPECT_TRUE(wroteAti);
    EXPECT_TRUE(readOk);
    EXPECT_TRUE(waitSawCarrier);
}

// The one-line log holds the same requests in issue order, each line made
// from its two live lines: status and duration from the completion, the
// result's details where there are some, else the request's; a tab at the
// end.
TEST_F(TraceRun, TheOneLineLogIsTheLiveTraceInIssueOrder) {
    const std::vector<std::string> log = Lines(Slurp(*log_));
    ASSERT_EQ(log.size(), trace_->size());
    for (size_t i = 0; i < log.size(); i++) {
        const std::vector<std::string> issue = Fields((*trace_)[i].lines[0]);
        const std::vector<std::string> done = Fields((*trace_)[i].lines[1]);
        const std::string details = done[3].empty() ? issue[5] : done[3];
        EXPECT_EQ(log[i], issue[0] + "\t" + done[1] + "\t" + issue[2] + "\t" + issue[3] + "\t" +
                              issue[4] + "\t" + done[2] + "\t" + details + "\t");
    }
}

TEST_F(TraceRun, ReplaysItsOwnLogToTheEnd) {
    const Outcome replay = Shell(Vxqt70("replay " + *log_));
    EXPECT_EQ(replay.status, 0) << replay.out;
    EXPECT_TRUE(Has(replay.out, "; 0 unreadable line(s)\n")) << replay.out;
    EXPECT_TRUE(Has(replay.out, "0 not replayable")) << replay.out;
    EXPECT_TRUE(Has(replay.out, "verifier: clean")) << replay.out;
}

TEST(TraceHex, ShowsDataAsPortmonsHexView) {
    const Outcome run = Shell(Vxqt70("--trace --hex demo"));
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(Has(run.out, "\tIRP_MJ_WRITE\tVXNTQT70MDM0\tLength 4: 41 54 49 0D \n")) << run.out;
}

// ---------------------------------------------------------------- replay

struct ReplayCase {
    const char* options;
    const char* log;
    const char* summary;
    std::vector<const char*> rows; // side-by-side lines expected among the rest
};

const ReplayCase kReplays[] = {
    {"", "dotnet-1.log",
     "summary: 17 requests: 17 same, 0 different, 0 no status in the log, 0 not replayable; 1 "
     "unreadable line(s)",
     {"     5  IOCTL_SERIAL_GET_CHARS            SUCCESS               SUCCESS               same",
      "unreadable line 43: \"0.00024103 OBDTest.vshost IOCTL_SERIAL_GET_BAUD_\" (unknown request "
      "IOCTL_SERIAL_GET_BAUD_ (cut short?))"}},
    {"--phone data", "progbase-1.log",
     "summary: 51 requests: 50 same, 0 different, 1 no status in the log, 0 not replayable; 0 "
     "unreadable line(s)",
     {"    19  IRP_MJ_READ                       SUCCESS               SUCCESS               same",
      "   109  IOCTL_SERIAL_GET_TIMEOUTS         (none)                SUCCESS               no "
      "status in the log",
      "(the log starts with the port open: the replay opened it first)"}},
    {"--phone data --packet 1", "progbase-1.log",
     "summary: 51 requests: 50 same, 0 different, 1 no status in the log, 0 not replayable; 0 "
     "unreadable line(s)",
     {}},
    // Nothing answers reads of a protocol the AT modem does not speak, and
    // the mid-session log never set time-outs before its first read.
    {"--phone at", "progbase-1.log",
     "summary: 51 requests: 21 same, 29 different, 1 no status in the log, 0 not replayable; 0 "
     "unreadable line(s)",
     {}},
    // The drivers raise EV_RXFLAG for every transfer (they do not search
    // for the event character), so the second wait finds an event recorded
    // instead of being refused while another is pending.
    {"--phone data --dot 0D", "rupsmon-1.log",
     "summary: 41 requests: 40 same, 1 different, 0 no status in the log, 0 not replayable; 0 "
     "unreadable line(s)",
     {"    37  IOCTL_SERIAL_WAIT_ON_MASK         INVALID PARAMETER     SUCCESS               "
      "DIFFERENT",
      "    40  IRP_MJ_READ                       SUCCESS               SUCCESS               same"}},
    {"", "rupsmon-1.log",
     "summary: 41 requests: 40 same, 1 different, 0 no status in the log, 0 not replayable; 0 "
     "unreadable line(s)",
     {}},
};

TEST(Replay, RunsEverySampleLogToTheEndWithTheVerifierClean) {
    for (const ReplayCase& c : kReplays) {
        SCOPED_TRACE(std::string(c.options) + " " + c.log);
        const Outcome run =
            Shell(Vxqt70(std::string("replay ") + c.options + " " + PORTMON_SAMPLES + "/" + c.log));
        EXPECT_EQ(run.status, 0) << run.out;
        const std::vector<std::string> lines = Lines(run.out);
        EXPECT_NE(std::find(lines.begin(), lines.end(), c.summary), lines.end()) << run.out;
        for (const char* row : c.rows)
            EXPECT_NE(std::find(lines.begin(), lines.end(), row), lines.end()) << row;
        EXPECT_EQ(lines.back(), "verifier: clean") << run.out;
    }
}

TEST(Replay, TracesUnderTheLogsProcessNameInTheLogsView) {
    const Outcome run = Shell(Vxqt70(std::string("--trace replay --phone data ") +
                                     PORTMON_SAMPLES + "/progbase-1.log"));
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(Has(run.out, "\n19\t0.00000000\tProgBase.exe\tIRP_MJ_WRITE\tVXNTQT70MDM0\tLength "
                             "3: 48 01 49 \n"))
        << run.out;
    EXPECT_TRUE(Has(run.out, "\tSUCCESS\tLength 1: 48 \n")) << run.out;
}

TEST(Replay, RefusesWhatIsNotALog) {
    for (const char* arguments : {"replay /nonexistent.log", "replay /etc/hostname",
                                  "replay --phone fax x.log", "replay --packet 0 x.log",
                                  "replay --dot ZZ x.log", "replay"}) {
        const Outcome run = Shell(Vxqt70(std::string(arguments) + " 2>&1"));
        EXPECT_EQ(run.status, 2) << arguments << ": " << run.out;
    }
}

// ---------------------------------------------------------------- USB capture

// tshark's fields of every record, one line each, '|' between fields. With
// `raw`, the generic USB dissector only (no CDC or AT decoding on top), so
// that setup packets and data show as the bytes they are.
std::vector<std::string> Tshark(const std::string& pcap, const std::string& options,
                                const std::string& fields) {
    std::string command = "tshark -r " + pcap + " " + options + " -T fields -E separator='|'";
    size_t at = 0;
    while (at < fields.size()) {
        const size_t space = fields.find(' ', at);
        command += " -e " + fields.substr(at, space - at);
        at = space == std::string::npos ? fields.size() : space + 1;
    }
    return Lines(Shell(command + " 2>/dev/null").out);
}

TEST(UsbCapture, WiresharkSeesTheDemosUrbs) {
    if (Shell("command -v tshark >/dev/null").status != 0)
        GTEST_SKIP() << "tshark not installed (scripts/setup installs it)";
    const std::string pcap = TempPath("demo.pcap");
    ASSERT_EQ(Shell(Vxqt70("--pcap " + pcap + " demo >/dev/null")).status, 0);
    // Direction (0x00 submitted, 0x01 completed), URB function, endpoint,
    // transfer type, control stage, setup packet, data.
    const std::vector<std::string> records =
        Tshark(pcap, "--disable-protocol usbcom --disable-protocol at",
               "usb.irp_info.direction usb.function usb.endpoint_address usb.transfer_type "
               "usb.control_stage usb.bmRequestType usb.setup.bRequest usb.setup.wValue "
               "usb.setup.wLength usb.capdata usb.data_fragment");
    // What Wireshark's CDC dissector makes of the class requests and the
    // notifications.
    const std::vector<std::string> decoded =
        Tshark(pcap, "", "usbcom.control.request_code usbcom.interrupt.notification_code");
    remove(pcap.c_str());
    ASSERT_GT(records.size(), 50u);
    auto count = [](const std::vector<std::string>& lines, const std::string& start,
                    const std::string& contains = "") {
        size_t n = 0;
        for (const std::string& r : lines)
            n += r.rfind(start, 0) == 0 && Has(r, contains);
        return n;
    };
    // SET_LINE_CODING at 115200 8N1: the setup packet, then its 7 bytes.
    EXPECT_GE(count(records, "0x00|0x001b|0x00|0x02|0|0x21|32|0x0000|7|"), 1u);
    EXPECT_GE(count(records, "0x00|0x001b|0x00|0x02|1|0x21|32|0x0000|7||00c20100000008"), 1u);
    // SET_CONTROL_LINE_STATE with DTR and RTS on, and both off at close.
    EXPECT_GE(count(records, "0x00|0x001b|0x00|0x02|0|0x21|34|0x0003|0|"), 1u);
    EXPECT_GE(count(records, "0x00|0x001b|0x00|0x02|0|0x21|34|0x0000|0|"), 1u);
    // The application's bytes out on bulk-out, the modem's answer in.
    EXPECT_GE(count(records, "0x00|0x0009|0x02|0x03||||||4154490d|"), 1u);
    EXPECT_GE(count(records, "0x01|0x0009|0x81|0x03|", "4f4b0d0a"), 1u);
    // A SERIAL_STATE notification completes on the interrupt endpoint.
    EXPECT_GE(count(records, "0x01|0x0009|0x83|0x01||||||a1200000000002000"), 1u);
    // Every abort and reset, at submission and at completion.
    for (const char* function : {"0x0002", "0x001e"}) {
        const std::string submitted = std::string("0x00|") + function;
        EXPECT_GE(count(records, submitted), 3u) << function;
        EXPECT_EQ(count(records, submitted), count(records, std::string("0x01|") + function))
            << function;
    }
    EXPECT_GE(count(decoded, "0x20|"), 2u);  // SET LINE CODING
    EXPECT_GE(count(decoded, "0x22|"), 2u);  // SET CONTROL LINE STATE
    EXPECT_GE(count(decoded, "|0x20"), 1u);  // SERIAL STATE
}

// ---------------------------------------------------------------- term

TEST(TermScript, RunsAnAtSessionFromStandardInput) {
    const Outcome run = Shell("printf 'ATE0\\nATI\\nATD123\\nhello far end\\n~sleep 1100\\n"
                          "~raw +++\\n~sleep 1100\\nATH\\n' | " +
                          Vxqt70("term COM1"));
    EXPECT_EQ(run.status, 0) << run.out;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "[vxqt70 term on COM1: DCD off  DSR on   CTS on]") << run.out;
    // ATE0 is echoed (echo was still on), the commands after it are not.
    EXPECT_TRUE(Has(run.out, "ATE0\nOK\n")) << run.out;
    EXPECT_FALSE(Has(run.out, "ATI")) << run.out;
    EXPECT_TRUE(Has(run.out, "SPW-70 USB handset modem\n")) << run.out;
    EXPECT_TRUE(Has(run.out, "CONNECT\n")) << run.out;
    EXPECT_TRUE(Has(run.out, "[RLSD: DCD on   DSR on   CTS on]")) << run.out;
    // The far end's echo of the data line, then the modem's echo of the
    // escape once it is back in command mode.
    EXPECT_TRUE(Has(run.out, "hello far end+++\nOK\n")) << run.out;
    EXPECT_TRUE(Has(run.out, "[RLSD: DCD off  DSR on   CTS on]")) << run.out;
    EXPECT_TRUE(Has(run.out, "NO CARRIER\n")) << run.out;
    EXPECT_EQ(lines.back(), "[end: DCD off  DSR on   CTS on  rx 93  tx 37]") << run.out;
}

// What an application sees when the cable is pulled, the PC sleeps or a
// transfer fails, in script mode.
TEST(TermScript, PullsTheCableSleepsAndInjectsFaults) {
    const Outcome run = Shell("printf 'AT\\n~unplug\\nAT\\n~plug\\nAT\\n~suspend\\n~wake\\nAT\\n"
                              "~fault bulk-out\\nAT\\n~fault bulk-in\\n' | " +
                              Vxqt70("term 2>&1"));
    EXPECT_EQ(run.status, 0) << run.out;
    static const char* const kExpected[] = {
        "[unplugging the phone]",
        "[ReadFile failed: Win32 error 995 (ERROR_OPERATION_ABORTED)]",
        "[COM1 is gone]",
        "[not sent: COM1 is not open]",
        "[phone plugged in]",
        "[COM1 is back: DCD off  DSR on   CTS on]",
        "[the PC is asleep (S3)]",
        "[the PC is awake (S0)]",
        "[the next bulk-out transfer fails (USBD_STATUS_CRC)]",
        "[WriteFile wrote 0 of 3 bytes: Win32 error 23 (ERROR_CRC)]",
        "[the next bulk-in transfer fails (USBD_STATUS_CRC)]",
        "vxqt70 term: verifier found nothing",
    };
    const std::vector<std::string> lines = Lines(run.out);
    auto from = lines.begin();
    for (const char* expected : kExpected) {
        from = std::find(from, lines.end(), expected);
        ASSERT_NE(from, lines.end()) << "missing, or out of order: " << expected << "\n" << run.out;
    }
    // The data path works after the replug and after the wake.
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "OK"), 3) << run.out;
}

TEST(TermScript, RefusesAPortThePhoneDoesNotHave) {
    const Outcome run = Shell("echo AT | " + Vxqt70("term COM9 2>&1"));
    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_TRUE(Has(run.out, "cannot open COM9")) << run.out;
    EXPECT_TRUE(Has(run.out, "COM1 (modem), COM2 (diagnostics)")) << run.out;
}

TEST(TermScript, OpensTheDiagnosticsPortByName) {
    const Outcome run = Shell("printf 'x\\n' | " + Vxqt70("term COM2"));
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(Has(run.out, "[vxqt70 term on COM2:")) << run.out;
}

// ---------------------------------------------------------------- the command line

TEST(CommandLine, HelpListsTheCommands) {
    const Outcome run = Shell(Vxqt70("--help"));
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(Has(run.out, "term [COMn]"));
    EXPECT_TRUE(Has(run.out, "--trace"));
}

TEST(CommandLine, BadArgumentsAreRefusedWithStatus2) {
    for (const char* arguments : {"--bogus", "dance", "demo extra", "term COM1 COM2", "term LPT1",
                                  "--com COM0 demo", "--com COM3,COM3 demo"}) {
        const Outcome run = Shell(Vxqt70(std::string(arguments) + " 2>&1 </dev/null"));
        EXPECT_EQ(run.status, 2) << arguments << ": " << run.out;
        EXPECT_TRUE(Has(run.out, "vxqt70")) << arguments << ": " << run.out;
    }
}

TEST(CommandLine, ComNamesPutTheModemWhereAsked) {
    const Outcome run = Shell("printf 'AT\\n' | " + Vxqt70("--com COM7,COM3 term COM7"));
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(Has(run.out, "OK")) << run.out;
}

// ---------------------------------------------------------------- a Win32 program

TEST(Win32Sample, AtpingGetsOkFromTheModemOnCom1) {
    const Outcome run = Shell(std::string("env -u VXQT70_COM_NAMES ") + ATPING_EXE);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(Has(run.out, "\\\\.\\COM1: BaudRate = 115200, ByteSize = 8, Parity = 0, StopBits = 0"))
        << run.out;
    EXPECT_TRUE(Has(run.out, "OK received")) << run.out;
}

// Plain C, TCHAR and _tmain; the program leaves its port and its event open
// and Windows' process exit closes them: no finding, and the driver sees the
// CLEANUP and CLOSE.
TEST(Win32Sample, ACProgramLeavesItsHandlesToTheProcessExit) {
    const Outcome run = Shell(std::string("env -u VXQT70_COM_NAMES VXQT70_TRACE=1 ") + ATINFO_EXE +
                              " 2>&1");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(Has(run.out, "\\\\.\\COM1 answered:\nATI\r\r\nSPW-70 USB handset modem\r\n")) << run.out;
    EXPECT_FALSE(Has(run.out, "FINDING")) << run.out;
    const std::vector<TraceLine> trace = Trace(run.out);
    ASSERT_GT(trace.size(), 2u) << run.out;
    EXPECT_EQ(Requests(trace, trace.size() - 2, 2),
              (std::vector<std::string>{"IRP_MJ_CLEANUP", "IRP_MJ_CLOSE"}));
    EXPECT_EQ(trace.back().status, "SUCCESS");
}

TEST(Win32Sample, FindsItsPortWhereTheEnvironmentPutIt) {
    const Outcome moved = Shell(std::string("VXQT70_COM_NAMES=COM4,COM5 ") + ATPING_EXE + " 2>&1");
    EXPECT_EQ(moved.status, 1) << moved.out; // COM1 is gone
    EXPECT_TRUE(Has(moved.out, "CreateFile failed with error 2")) << moved.out;
    const Outcome found =
        Shell(std::string("VXQT70_COM_NAMES=COM4,COM5 ") + ATPING_EXE + " '\\\\.\\COM4'");
    EXPECT_EQ(found.status, 0) << found.out;
}

TEST(Win32Sample, TracesItsRequestsOnRequest) {
    const Outcome run = Shell(std::string("env -u VXQT70_COM_NAMES VXQT70_TRACE=1 ") + ATPING_EXE +
                          " 2>&1 >/dev/null");
    EXPECT_EQ(run.status, 0) << run.out;
    const std::vector<TraceLine> trace = Trace(run.out);
    ASSERT_FALSE(trace.empty()) << run.out;
    EXPECT_TRUE(Has(run.out, "\tatping.exe\tIRP_MJ_CREATE\t")) << run.out;
    EXPECT_EQ(trace.back().request, "IRP_MJ_CLOSE");
}

} // namespace
