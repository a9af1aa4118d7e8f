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
    const std::string pcap =
        ::testing::TempDir() + "vxqt70-test-" + std::to_string(getpid()) + "-demo.pcap";
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
    EXPECT_GE(count(decoded, "0x20|"), 2u); // SET LINE CODING
    EXPECT_GE(count(decoded, "0x22|"), 2u); // SET CONTROL LINE STATE
    EXPECT_GE(count(decoded, "|0x20"), 1u); // SERIAL STATE
}

// ---------------------------------------------------------------- runs as rows
// A program run as a user runs it: the command line, the exit status, what
// its output holds in this order ("^..." at its very start, "...$" at its
// very end), what it must not hold, another command line whose output must
// be the same, and the last requests of its trace with their status.
struct ProgramRun {
    std::string name;
    std::string command;
    int status;
    std::vector<std::string> inOrder;
    std::vector<std::string> absent = {};
    std::string sameAs = {};
    std::vector<std::string> lastRequests = {};
};
void PrintTo(const ProgramRun& run, std::ostream* os) {
    *os << run.name;
}

std::string Term(const std::string& script, const std::string& arguments) {
    return "printf '" + script + "' | " + Vxqt70(arguments);
}

std::string Replay(const std::string& arguments) {
    const size_t log = arguments.rfind(' ') + 1; // npos + 1: no options
    return Vxqt70("replay " + arguments.substr(0, log) + PORTMON_SAMPLES + "/" +
                  arguments.substr(log));
}

std::vector<ProgramRun> Runs() {
    const std::string kClean = "\nverifier: clean\n$";
    const std::string kProgbaseSummary =
        "\nsummary: 51 requests: 50 same, 0 different, 1 no status in the log, 0 not replayable; "
        "0 unreadable line(s)";
    const std::string kRupsmonSummary =
        "\nsummary: 41 requests: 40 same, 1 different, 0 no status in the log, 0 not replayable; "
        "0 unreadable line(s)";
    const std::string traced = "env -u VXQT70_COM_NAMES VXQT70_TRACE=1 ";
    const std::string atping = std::string("env -u VXQT70_COM_NAMES ") + ATPING_EXE;
    const std::string moved = std::string("VXQT70_COM_NAMES=COM4,COM5 ") + ATPING_EXE;
    std::vector<ProgramRun> runs = {
        // The demo: both ports named, an AT session that sees the carrier
        // come with the dial and go with the hang-up, the unplug unloading
        // both drivers, and the same output every time.
        {"Demo",
         Vxqt70("demo"),
         0,
         {"modem interface -> vxqt70modem, device \\Device\\VXNTQT70MDM0, Started",
          "diagnostics interface -> vxqt70diag, device \\Device\\VXNTQT70DIAG",
          "\\Device\\VXNTQT70MDM0     = COM1", "= COM2", "\\DosDevices\\COM1", "(enabled)", "> ATI",
          "> ATD5551234", "WaitCommEvent completed: RLSD; GetCommModemStatus: DCD on   DSR on",
          "< CONNECT", "10000 bytes back, identical", "> ATH",
          "WaitCommEvent completed: RLSD; GetCommModemStatus: DCD off", "< NO CARRIER",
          "vxqt70modem: loaded 1 time(s), unloaded 1 time(s)",
          "vxqt70diag: loaded 1 time(s), unloaded 1 time(s)", "verdict: everything held"},
         {"UNEXPECTED", "FINDING"},
         Vxqt70("")},
        {"TraceHex",
         Vxqt70("--trace --hex demo"),
         0,
         {"\tIRP_MJ_WRITE\tVXNTQT70MDM0\tLength 4: 41 54 49 0D \n"}},
        // A replay traces under the log's process name, in the log's view.
        {"ReplayTrace",
         Vxqt70(std::string("--trace replay --phone data ") + PORTMON_SAMPLES + "/progbase-1.log"),
         0,
         {"\n19\t0.00000000\tProgBase.exe\tIRP_MJ_WRITE\tVXNTQT70MDM0\tLength 3: 48 01 49 \n",
          "\tSUCCESS\tLength 1: 48 \n"}},
        // ATE0 is echoed (echo was still on), the commands after it are not;
        // the far end's echo of the data line, then the modem's echo of the
        // escape once it is back in command mode.
        {"TermAtSession",
         Term("ATE0\\nATI\\nATD123\\nhello far end\\n~sleep 1100\\n~raw +++\\n~sleep 1100\\nATH\\n",
              "term COM1"),
         0,
         {"^[vxqt70 term on COM1: DCD off  DSR on   CTS on]\n", "ATE0\nOK\n",
          "SPW-70 USB handset modem\n", "[RLSD: DCD on   DSR on   CTS on]", "CONNECT\n",
          "hello far end+++\nOK\n", "[RLSD: DCD off  DSR on   CTS on]", "NO CARRIER\n",
          "[end: DCD off  DSR on   CTS on  rx 93  tx 37]\n$"},
         {"ATI"}},
        // What an application sees when the cable is pulled, the PC sleeps
        // or a transfer fails; the data path works after the replug and the
        // wake.
        {"TermPullsTheCableSleepsAndInjectsFaults",
         Term("AT\\n~unplug\\nAT\\n~plug\\nAT\\n~suspend\\n~wake\\nAT\\n~fault bulk-out\\nAT\\n"
              "~fault bulk-in\\n",
              "term 2>&1"),
         0,
         {"\nOK\n[unplugging the phone]\n",
          "\n[ReadFile failed: Win32 error 995 (ERROR_OPERATION_ABORTED)]\n",
          "\n[COM1 is gone]\n[not sent: COM1 is not open]\n[phone plugged in]\n"
          "[COM1 is back: DCD off  DSR on   CTS on]\nAT\nOK\n[the PC is asleep (S3)]\n"
          "[the PC is awake (S0)]\nAT\nOK\n[the next bulk-out transfer fails (USBD_STATUS_CRC)]\n"
          "[WriteFile wrote 0 of 3 bytes: Win32 error 23 (ERROR_CRC)]\n"
          "[the next bulk-in transfer fails (USBD_STATUS_CRC)]\n",
          "\nvxqt70 term: verifier found nothing\n"}},
        {"TermRefusesAPortThePhoneDoesNotHave",
         "echo AT | " + Vxqt70("term COM9 2>&1"),
         2,
         {"cannot open COM9", "COM1 (modem), COM2 (diagnostics)"}},
        {"TermOpensTheDiagnosticsPortByName",
         Term("x\\n", "term COM2"),
         0,
         {"^[vxqt70 term on COM2:"}},
        {"HelpListsTheCommands", Vxqt70("--help"), 0, {"term [COMn]", "--trace"}},
        // Every sample log replays to the end with the verifier clean: the
        // side-by-side lines named, then the summary.
        {"ReplayDotnet",
         Replay("dotnet-1.log"),
         0,
         {"\n     5  IOCTL_SERIAL_GET_CHARS            SUCCESS               SUCCESS  "
          "             same",
          "\nunreadable line 43: \"0.00024103 OBDTest.vshost IOCTL_SERIAL_GET_BAUD_\" (unknown "
          "request IOCTL_SERIAL_GET_BAUD_ (cut short?))",
          "\nsummary: 17 requests: 17 same, 0 different, 0 no status in the log, 0 not "
          "replayable; 1 unreadable line(s)",
          kClean}},
        {"ReplayProgbase",
         Replay("--phone data progbase-1.log"),
         0,
         {"\n    19  IRP_MJ_READ                       SUCCESS               SUCCESS  "
          "             same",
          "\n   109  IOCTL_SERIAL_GET_TIMEOUTS         (none)                SUCCESS  "
          "             no status in the log",
          "\n(the log starts with the port open: the replay opened it first)", kProgbaseSummary,
          kClean}},
        {"ReplayProgbaseInOneBytePackets",
         Replay("--phone data --packet 1 progbase-1.log"),
         0,
         {kProgbaseSummary, kClean}},
        // Nothing answers reads of a protocol the AT modem does not speak,
        // and the mid-session log never set time-outs before its first read.
        {"ReplayProgbaseToTheAtModem",
         Replay("--phone at progbase-1.log"),
         0,
         {"\nsummary: 51 requests: 21 same, 29 different, 1 no status in the log, 0 not "
          "replayable; 0 unreadable line(s)",
          kClean}},
        // The drivers raise EV_RXFLAG for every transfer (they do not search
        // for the event character), so the second wait finds an event
        // recorded instead of being refused while another is pending.
        {"ReplayRupsmon",
         Replay("--phone data --dot 0D rupsmon-1.log"),
         0,
         {"\n    37  IOCTL_SERIAL_WAIT_ON_MASK         INVALID PARAMETER     SUCCESS  "
          "             DIFFERENT",
          "\n    40  IRP_MJ_READ                       SUCCESS               SUCCESS  "
          "             same",
          kRupsmonSummary, kClean}},
        {"ReplayRupsmonDefaultPhone", Replay("rupsmon-1.log"), 0, {kRupsmonSummary, kClean}},
        // A traced run's own one-line log replays to the end.
        {"ReplaysItsOwnTraceLog",
         "f=$(mktemp) && " + Vxqt70("--trace --trace-log $f demo >/dev/null") + " && " +
             Vxqt70("replay $f") + "; s=$?; rm -f $f; exit $s",
         0,
         {"\nsummary: 70 requests: 68 same, 2 different, 0 no status in the log, 0 not "
          "replayable; 0 unreadable line(s)\n",
          kClean}},
        {"ComNamesPutTheModemWhereAsked",
         Term("AT\\n", "--com COM7,COM3 term COM7"),
         0,
         {"^[vxqt70 term on COM7:", "\nOK\n"}},
        // A Win32 sample program finds the modem on COM1, or where the
        // environment put it.
        {"AtpingGetsOkFromTheModemOnCom1",
         atping,
         0,
         {"\\\\.\\COM1: BaudRate = 115200, ByteSize = 8, Parity = 0, StopBits = 0", "OK received"}},
        {"AtpingFindsNoCom1WhenTheEnvironmentMovedIt",
         moved + " 2>&1",
         1,
         {"CreateFile failed with error 2"}},
        {"AtpingFindsItsPortWhereTheEnvironmentPutIt",
         moved + " '\\\\.\\COM4'",
         0,
         {"OK received"}},
        {"AtpingTracesItsRequestsOnRequest",
         traced + ATPING_EXE + " 2>&1 >/dev/null",
         0,
         {"\tatping.exe\tIRP_MJ_CREATE\t"},
         {},
         {},
         {"IRP_MJ_CLOSE SUCCESS"}},
        // Plain C, TCHAR and _tmain; the program leaves its port and its
        // event open and Windows' process exit closes them: no finding, and
        // the driver sees the CLEANUP and CLOSE.
        {"ACProgramLeavesItsHandlesToTheProcessExit",
         traced + ATINFO_EXE + " 2>&1",
         0,
         {"\\\\.\\COM1 answered:\nATI\r\r\nSPW-70 USB handset modem\r\n"},
         {"FINDING"},
         {},
         {"IRP_MJ_CLEANUP SUCCESS", "IRP_MJ_CLOSE SUCCESS"}},
    };
    // The open and setup as Portmon writes them live, whole lines: what
    // CreateFile, GetCommState, SetCommState, SetCommTimeouts and SetCommMask
    // send, each completed before the next is issued; the wait (the last)
    // stays pending while the program goes on.
    ProgramRun setup{"TraceOfTheOpenAndSetup", Vxqt70("--trace demo"), 0, {}};
    const std::pair<const char*, const char*> kSetup[] = {
        {"IRP_MJ_CREATE", "Options: Open "},
        {"IOCTL_SERIAL_GET_BAUD_RATE", ""},
        {"IOCTL_SERIAL_GET_LINE_CONTROL", ""},
        {"IOCTL_SERIAL_GET_CHARS", ""},
        {"IOCTL_SERIAL_GET_HANDFLOW", ""},
        {"IOCTL_SERIAL_GET_BAUD_RATE", ""},
        {"IOCTL_SERIAL_GET_LINE_CONTROL", ""},
        {"IOCTL_SERIAL_GET_CHARS", ""},
        {"IOCTL_SERIAL_GET_HANDFLOW", ""},
        {"IOCTL_SERIAL_SET_BAUD_RATE", "Rate: 115200"},
        {"IOCTL_SERIAL_SET_RTS", ""},
        {"IOCTL_SERIAL_SET_DTR", ""},
        {"IOCTL_SERIAL_SET_LINE_CONTROL", "StopBits: 1 Parity: NONE WordLength: 8"},
        {"IOCTL_SERIAL_SET_CHAR", "EOF:0 ERR:0 BRK:0 EVT:0 XON:11 XOFF:13"},
        {"IOCTL_SERIAL_SET_HANDFLOW", "Shake:1 Replace:40 XonLimit:0 XoffLimit:0"},
        {"IOCTL_SERIAL_SET_TIMEOUTS", "RI:-1 RM:-1 RC:1000 WM:0 WC:0"},
        {"IOCTL_SERIAL_SET_WAIT_MASK", "Mask: CTS DSR RLSD BRK ERR RING "},
        {"IOCTL_SERIAL_WAIT_ON_MASK", ""},
    };
    for (size_t i = 0; i < std::size(kSetup); i++) {
        const std::string n = std::to_string(i);
        setup.inOrder.push_back((i == 0 ? "\n" : "") + n + "\t0.00000000\tvxqt70.exe\t" +
                                kSetup[i].first + "\tVXNTQT70MDM0\t" + kSetup[i].second + "\n" +
                                (i + 1 < std::size(kSetup) ? n + "\t0.00000000\tSUCCESS\t\n" : ""));
    }
    // Then the AT commands go out as writes and the replies come back as
    // reads, the wait ends with the carrier, and the close is the last request.
    setup.inOrder.insert(setup.inOrder.end(),
                         {"\n18\t0.00000000\tvxqt70.exe\t",
                          "\tIRP_MJ_WRITE\tVXNTQT70MDM0\tLength 4: ATI.\n",
                          "\tSUCCESS\tLength 38: ATI.", "....OK..\n", "\n17\t"});
    setup.lastRequests = {"IRP_MJ_CLOSE SUCCESS"};
    runs.push_back(setup);
    // Refused with status 2, saying who refused.
    int n = 0;
    for (const char* arguments : {"--bogus", "dance", "demo extra", "term COM1 COM2", "term LPT1",
                                  "--com COM0 demo", "--com COM3,COM3 demo"})
        runs.push_back({"BadArguments" + std::to_string(n++),
                        Vxqt70(std::string(arguments) + " 2>&1 </dev/null"),
                        2,
                        {"vxqt70"}});
    for (const char* arguments :
         {"replay /nonexistent.log", "replay /etc/hostname", "replay --phone fax x.log",
          "replay --packet 0 x.log", "replay --dot ZZ x.log", "replay"})
        runs.push_back(
            {"NotALog" + std::to_string(n++), Vxqt70(std::string(arguments) + " 2>&1"), 2, {}});
    return runs;
}

class Programs : public ::testing::TestWithParam<ProgramRun> {};

TEST_P(Programs, OutputHoldsWhatTheRowSays) {
    const ProgramRun& row = GetParam();
    const Outcome run = Shell(row.command);
    EXPECT_EQ(run.status, row.status) << run.out;
    size_t at = 0;
    for (std::string want : row.inOrder) {
        const bool atStart = want.front() == '^';
        const bool atEnd = want.back() == '$';
        want = want.substr(atStart ? 1 : 0, want.size() - atStart - atEnd);
        const size_t found = run.out.find(want, at);
        EXPECT_TRUE(found != std::string::npos && (!atStart || found == 0) &&
                    (!atEnd || found + want.size() == run.out.size()))
            << "missing, out of order or misplaced: " << want << "\n"
            << run.out;
        at = found == std::string::npos ? at : found + want.size();
    }
    for (const std::string& unwanted : row.absent)
        EXPECT_FALSE(Has(run.out, unwanted)) << unwanted << "\n" << run.out;
    if (!row.sameAs.empty()) {
        EXPECT_EQ(Shell(row.sameAs).out, run.out);
    }
    if (!row.lastRequests.empty()) {
        // By the program's end every request went to the modem port and
        // completed once.
        const std::vector<TraceLine> trace = Trace(run.out);
        for (const TraceLine& t : trace) {
            EXPECT_EQ(t.device, "VXNTQT70MDM0") << t.lines[0];
            EXPECT_EQ(t.lines.size(), 2u) << "never completed: " << t.lines[0];
        }
        std::vector<std::string> last;
        for (size_t i = trace.size() - std::min(trace.size(), row.lastRequests.size());
             i < trace.size(); i++)
            last.push_back(trace[i].request + " " + trace[i].status);
        EXPECT_EQ(last, row.lastRequests) << run.out;
    }
}

INSTANTIATE_TEST_SUITE_P(, Programs, ::testing::ValuesIn(Runs()),
                         [](const auto& p) { return p.param.name; });

} // namespace
