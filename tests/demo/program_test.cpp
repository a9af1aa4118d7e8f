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

// A trace line's columns: sequence, duration, process, request, device,
// status, details.
struct TraceLine {
    unsigned long sequence = 0;
    std::string request, device, status, details;
};

// The trace lines of an output, in sequence (issue) order.
std::vector<TraceLine> Trace(const std::string& out) {
    std::vector<TraceLine> trace;
    for (const std::string& line : Lines(out)) {
        const std::vector<std::string> f = Fields(line);
        if (f.size() != 7)
            continue;
        TraceLine t;
        t.sequence = std::stoul(f[0]);
        t.request = f[3];
        t.device = f[4];
        t.status = f[5];
        t.details = f[6];
        trace.push_back(t);
    }
    std::sort(trace.begin(), trace.end(),
              [](const TraceLine& a, const TraceLine& b) { return a.sequence < b.sequence; });
    return trace;
}

std::vector<std::string> Requests(const std::vector<TraceLine>& trace, size_t from, size_t count) {
    std::vector<std::string> names;
    for (size_t i = from; i < from + count && i < trace.size(); i++)
        names.push_back(trace[i].request);
    return names;
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
        run_ = new Outcome(Shell(Vxqt70("--trace demo")));
        trace_ = new std::vector<TraceLine>(Trace(run_->out));
    }
    static void TearDownTestSuite() {
        delete run_;
        delete trace_;
    }
    static Outcome* run_;
    static std::vector<TraceLine>* trace_;
};
Outcome* TraceRun::run_ = nullptr;
std::vector<TraceLine>* TraceRun::trace_ = nullptr;

TEST_F(TraceRun, EveryRequestIsLoggedOnceAndCompleted) {
    ASSERT_EQ(run_->status, 0) << run_->out;
    ASSERT_GT(trace_->size(), 40u);
    for (size_t i = 0; i < trace_->size(); i++) {
        EXPECT_EQ((*trace_)[i].sequence, i) << "a request missing or logged twice";
        EXPECT_EQ((*trace_)[i].device, "VXNTQT70MDM0");
        EXPECT_FALSE((*trace_)[i].status.empty()) << "request " << i << " never completed";
    }
}

TEST_F(TraceRun, OpenAndSetupSendWhatKernel32Sends) {
    const std::vector<TraceLine>& t = *trace_;
    ASSERT_GT(t.size(), 18u);
    EXPECT_EQ(t[0].request, "IRP_MJ_CREATE");
    EXPECT_EQ(t[0].status, "SUCCESS");
    EXPECT_EQ(t[0].details, "Options: Open");
    // GetCommState, then SetCommState (which reads the four again first).
    const std::vector<std::string> getState = {
        "IOCTL_SERIAL_GET_BAUD_RATE", "IOCTL_SERIAL_GET_LINE_CONTROL", "IOCTL_SERIAL_GET_CHAR",
        "IOCTL_SERIAL_GET_HANDFLOW"};
    EXPECT_EQ(Requests(t, 1, 4), getState);
    EXPECT_EQ(Requests(t, 5, 4), getState);
    const std::vector<std::string> setState = {
        "IOCTL_SERIAL_SET_BAUD_RATE", "IOCTL_SERIAL_SET_RTS",   "IOCTL_SERIAL_SET_DTR",
        "IOCTL_SERIAL_SET_LINE_CONTROL", "IOCTL_SERIAL_SET_CHAR", "IOCTL_SERIAL_SET_HANDFLOW"};
    EXPECT_EQ(Requests(t, 9, 6), setState);
    EXPECT_EQ(t[9].details, "Rate: 115200");
    EXPECT_EQ(t[12].details, "StopBits: 1 Parity: NONE WordLength: 8");
    EXPECT_EQ(t[15].request, "IOCTL_SERIAL_SET_TIMEOUTS");
    EXPECT_EQ(t[15].details, "RI:-1 RM:-1 RC:1000 WM:0 WC:0");
    EXPECT_EQ(t[16].request, "IOCTL_SERIAL_SET_WAIT_MASK");
    EXPECT_EQ(t[16].details, "Mask: CTS DSR RLSD BRK ERR RING");
    EXPECT_EQ(t[17].request, "IOCTL_SERIAL_WAIT_ON_MASK");
    for (size_t i = 0; i < 17; i++)
        EXPECT_EQ(t[i].status, "SUCCESS") << t[i].request;
}

TEST_F(TraceRun, CommandsGoOutAsWritesAndRepliesComeBackAsReads) {
    bool wroteAti = false, readOk = false, waitSawCarrier = false;
    for (const TraceLine& line : *trace_) {
        wroteAti = wroteAti || (line.request == "IRP_MJ_WRITE" && line.details == "Length 4: ATI.");
        readOk = readOk || (line.request == "IRP_MJ_READ" && Has(line.details, "OK.."));
        waitSawCarrier = waitSawCarrier || (line.request == "IOCTL_SERIAL_WAIT_ON_MASK" &&
                                            line.details == "Mask: RLSD");
    }
    EXPECT_TRUE(wroteAti);
    EXPECT_TRUE(readOk);
    EXPECT_TRUE(waitSawCarrier);
}

TEST_F(TraceRun, CloseIsCleanupThenClose) {
    const std::vector<TraceLine>& t = *trace_;
    ASSERT_GT(t.size(), 2u);
    EXPECT_EQ(t[t.size() - 2].request, "IRP_MJ_CLEANUP");
    EXPECT_EQ(t.back().request, "IRP_MJ_CLOSE");
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
