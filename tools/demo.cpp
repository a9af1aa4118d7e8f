// `vxqt70 demo`: plug a phone in, watch its ports appear, use the modem port
// the way a terminal program does, pull the phone out and ask the verifier.
// Every step says what it expects; the run fails (exit 1) if the drivers do
// anything else, so the tour doubles as an end-to-end check.
#include "tools/commands.h"
#include "tools/instruments.h"
#include "tools/machine.h"
#include "tools/port.h"
#include "tools/portmon.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace vxqt70 {

namespace {

const char* const kFinalResults[] = {"OK",   "ERROR",     "CONNECT",    "NO CARRIER",
                                     "BUSY", "NO ANSWER", "NO DIALTONE"};

class Demo {
public:
    Demo(Machine& machine) : machine_(machine) {}

    int Run();

private:
    void Section(const char* title) { printf("\n== %s\n", title); }
    // A line of the session, stamped with the simulated time.
    void Say(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Fail(const std::string& what) {
        Say("UNEXPECTED: %s", what.c_str());
        ok_ = false;
    }
    void ShowDebugOutput();
    void ShowPorts();
    bool OpenPort();
    void Command(const std::string& command, const char* expected);
    // Runs the port until `done` says the received text is complete or
    // `timeoutMs` of simulated time pass, printing lines and events.
    bool Receive(const std::function<bool()>& done, DWORD timeoutMs);
    void TakeLines(bool all);
    void ReportEvents(DWORD events);
    void DataExchange();
    void Escape();
    void ShowStatistics();

    Machine& machine_;
    Port port_;
    bool ok_ = true;
    std::string received_;       // everything received since the last command
    std::string unprinted_;      // received, not yet printed as a line
    std::vector<std::string> lines_; // complete lines received since the last command
    bool dataMode_ = false;
};

void Demo::Say(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    const LONGLONG ms = sim::Now() / 10000;
    printf("[%3lld.%03lld] %s\n", (long long)(ms / 1000), (long long)(ms % 1000), text);
    fflush(stdout);
}

void Demo::ShowDebugOutput() {
    for (const std::string& line : machine_.TakeDebugOutput())
        Say("debugger: %s", line.c_str());
}

void Demo::ShowPorts() {
    for (const PortInfo& port : machine_.Ports()) {
        Say("%s interface -> %s, device %s, %s", port.kind.c_str(), port.service.c_str(),
            port.deviceName.empty() ? "(none)" : port.deviceName.c_str(), port.state.c_str());
        if (port.state != "Started")
            Fail(port.kind + " port did not start");
    }
    Say("HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM:");
    for (const auto& entry : sim::SerialComm())
        Say("    %-24s = %s", sim::U8(entry.device).c_str(), sim::U8(entry.portName).c_str());
    Say("DOS device names:");
    for (const auto& link : sim::SymbolicLinks()) {
        const std::string name = sim::U8(link.name);
        if (name.find("\\DosDevices\\") == 0 || name.find("\\??\\COM") == 0)
            Say("    %-24s -> %s", name.c_str(), sim::U8(link.target).c_str());
    }
    Say("device interfaces:");
    for (const PortInfo& port : machine_.Ports()) {
        Say("    %s (%s)", port.interfaceLink.empty() ? "(none)" : port.interfaceLink.c_str(),
            port.interfaceEnabled ? "enabled" : "disabled");
        if (!port.interfaceEnabled)
            Fail(port.kind + " port's interface is not enabled");
    }
}

bool Demo::OpenPort() {
    const std::string path = machine_.ModemPath();
    DWORD error = 0;
    if (path.empty() || !port_.Open(path, &error)) {
        Fail("cannot open the modem port " + path + ": error " + std::to_string(error));
        return false;
    }
    Say("CreateFile(\"%s\", GENERIC_READ|GENERIC_WRITE, exclusive, FILE_FLAG_OVERLAPPED): ok",
        path.c_str());

    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port_.Handle(), &dcb)) {
        Fail("GetCommState failed: " + std::to_string(GetLastError()));
        return false;
    }
    static const char* const kParity[] = {"no", "odd", "even", "mark", "space"};
    static const char* const kStopBits[] = {"1", "1.5", "2"};
    Say("GetCommState: the port opened at %lu baud, %u data bits, %s parity, %s stop bits",
        (unsigned long)dcb.BaudRate, dcb.ByteSize, dcb.Parity < 5 ? kParity[dcb.Parity] : "?",
        dcb.StopBits < 3 ? kStopBits[dcb.StopBits] : "?");
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    if (!SetCommState(port_.Handle(), &dcb)) {
        Fail("SetCommState failed: " + std::to_string(GetLastError()));
        return false;
    }
    Say("SetCommState: 115200 8N1, DTR on, RTS on, no flow control");
    const std::vector<uint8_t> coding = machine_.ModemInterface().LineCoding();
    if (coding.size() >= 7) {
        const unsigned long rate =
            coding[0] | (coding[1] << 8) | (coding[2] << 16) | ((unsigned long)coding[3] << 24);
        Say("    the phone received SET_LINE_CODING %lu baud, %u data bits, stop %u, parity %u",
            rate, coding[6], coding[4], coding[5]);
        if (rate != 115200)
            Fail("the phone did not get 115200 baud");
    }
    const USHORT lines = machine_.ModemInterface().ControlLines();
    Say("    the phone's last SET_CONTROL_LINE_STATE: DTR %s, RTS %s",
        (lines & usb::kLineDtr) ? "on" : "off", (lines & usb::kLineRts) ? "on" : "off");

    // Reads return as soon as bytes are there, or empty after a second.
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 1000, 0, 0};
    if (!SetCommTimeouts(port_.Handle(), &timeouts))
        Fail("SetCommTimeouts failed");
    Say("SetCommTimeouts: a read returns what has arrived, or nothing after 1 s");
    const DWORD mask = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_ERR | EV_BREAK;
    if (!SetCommMask(port_.Handle(), mask))
        Fail("SetCommMask failed");
    Say("SetCommMask: %s", EventsText(mask).c_str());
    if (!port_.StartWait())
        Fail("WaitCommEvent failed: " + std::to_string(GetLastError()));
    else
        Say("WaitCommEvent: pending, to report line changes as they happen");
    const DWORD status = port_.ModemStatus();
    Say("GetCommModemStatus: %s", LinesText(status).c_str());
    if (!(status & MS_DSR_ON))
        Fail("DSR should be on: the phone's modem is powered");
    if (status & MS_RLSD_ON)
        Fail("DCD should be off before a call");
    return true;
}

void Demo::ReportEvents(DWORD events) {
    Say("  * WaitCommEvent completed: %s; GetCommModemStatus: %s", EventsText(events).c_str(),
        LinesText(port_.ModemStatus()).c_str());
    if (!port_.StartWait())
        Fail("WaitCommEvent could not be started again");
}

void Demo::TakeLines(bool all) {
    size_t end;
    while ((end = unprinted_.find_first_of("\r\n")) != std::string::npos) {
        const std::string line = unprinted_.substr(0, end);
        unprinted_.erase(0, end + 1);
        if (!line.empty()) {
            Say("  < %s", line.c_str());
            lines_.push_back(line);
        }
    }
    if (all && !unprinted_.empty()) {
        Say("  < %s", unprinted_.c_str());
        lines_.push_back(unprinted_);
        unprinted_.clear();
    }
}

bool Demo::Receive(const std::function<bool()>& done, DWORD timeoutMs) {
    const LONGLONG deadline = sim::Now() + (LONGLONG)timeoutMs * 10000;
    while (!done()) {
        if (sim::Now() >= deadline)
            return false;
        if (!port_.StartRead()) {
            Fail("ReadFile failed: " + std::to_string(GetLastError()));
            return false;
        }
        const HANDLE events[2] = {port_.ReadEvent(), port_.WaitEvent()};
        const DWORD left = (DWORD)((deadline - sim::Now()) / 10000);
        WaitForMultipleObjects(port_.WaitPending() ? 2 : 1, events, FALSE, left + 1);
        DWORD mask = 0;
        if (port_.TakeWait(&mask))
            ReportEvents(mask);
        std::string data;
        if (port_.TakeRead(&data) && !data.empty()) {
            received_ += data;
            unprinted_ += data;
            if (!dataMode_)
                TakeLines(false);
        }
    }
    return true;
}

void Demo::Command(const std::string& command, const char* expected) {
    received_.clear();
    lines_.clear();
    Say("  > %s", command.c_str());
    port_.Write(command + "\r");
    std::string final;
    const bool complete = Receive(
        [&] {
            for (const std::string& line : lines_)
                for (const char* result : kFinalResults)
                    if (line == result) {
                        final = line;
                        return true;
                    }
            return false;
        },
        5000);
    if (!complete)
        Fail("no result code for " + command);
    else if (final != expected)
        Fail(command + " answered " + final + ", expected " + expected);
}

void Demo::DataExchange() {
    dataMode_ = true;
    const std::string hello = "Hello from the PC, over the simulated phone's modem port.\r\n";
    received_.clear();
    Say("  > (data) %zu bytes: %s", hello.size(), PortmonData(hello.data(), hello.size(), PortmonView::Ascii).c_str());
    port_.Write(hello);
    if (!Receive([&] { return received_.size() >= hello.size(); }, 3000))
        Fail("the far end's echo did not come back");
    Say("  < (data) %zu bytes: %s", received_.size(),
        PortmonData(received_.data(), received_.size(), PortmonView::Ascii).c_str());
    if (received_ != hello)
        Fail("the echo differs from what was sent");

    // A larger block: more than one USB transfer each way.
    std::string block;
    for (int i = 0; i < 10000; i++)
        block += static_cast<char>('0' + i % 10);
    received_.clear();
    Say("  > (data) %zu bytes of digits", block.size());
    const DWORD written = port_.Write(block);
    if (written != block.size())
        Fail("WriteFile wrote " + std::to_string(written) + " bytes");
    if (!Receive([&] { return received_.size() >= block.size(); }, 5000))
        Fail("only " + std::to_string(received_.size()) + " bytes of the block came back");
    Say("  < (data) %zu bytes back, %s", received_.size(),
        received_ == block ? "identical" : "DIFFERENT");
    if (received_ != block)
        Fail("the block came back altered");
    received_.clear();
    unprinted_.clear();
    dataMode_ = false;
}

void Demo::Escape() {
    Say("  (1.1 s of silence: the guard time before the escape)");
    Sleep(1100);
    lines_.clear();
    Say("  > +++");
    port_.Write("+++");
    Say("  (the modem answers after the guard time after the escape)");
    bool ok = false;
    if (!Receive(
            [&] {
                for (const std::string& line : lines_)
                    ok = ok || line == "OK";
                return ok;
            },
            3000))
        Fail("no OK after +++");
}

void Demo::ShowStatistics() {
    SERIALPERF_STATS stats;
    if (!port_.Stats(&stats)) {
        Fail("IOCTL_SERIAL_GET_STATS failed");
        return;
    }
    Say("IOCTL_SERIAL_GET_STATS: received %lu, transmitted %lu, frame errors %lu, "
        "overruns %lu, buffer overruns %lu, parity errors %lu",
        (unsigned long)stats.ReceivedCount, (unsigned long)stats.TransmittedCount,
        (unsigned long)stats.FrameErrorCount, (unsigned long)stats.SerialOverrunErrorCount,
        (unsigned long)stats.BufferOverrunErrorCount, (unsigned long)stats.ParityErrorCount);
    if (stats.ReceivedCount == 0 || stats.TransmittedCount == 0)
        Fail("the counters did not move");
    COMSTAT comstat;
    DWORD errors = 0;
    if (ClearCommError(port_.Handle(), &errors, &comstat))
        Say("ClearCommError: errors 0x%lx, %lu bytes waiting in, %lu out",
            (unsigned long)errors, (unsigned long)comstat.cbInQue,
            (unsigned long)comstat.cbOutQue);
}

int Demo::Run() {
    Section("Plug in a phone: modem and diagnostics interfaces");
    ShowDebugOutput();
    Section("Ports that appeared");
    ShowPorts();

    Section("Open the modem port as a terminal program does");
    if (OpenPort()) {
        Section("AT session");
        Command("ATZ", "OK");
        Command("ATI", "OK");
        Command("AT+GMI", "OK");
        Command("AT+GMR", "OK");
        Command("AT+CSQ", "OK");
        Command("ATD5551234", "CONNECT");
        DataExchange();
        Escape();
        // Hanging up a call ends it: the modem reports the carrier gone.
        Command("ATH", "NO CARRIER");
        Receive([] { return false; }, 200);

        Section("Port statistics");
        ShowStatistics();

        Section("Close the port");
        port_.Close();
        Say("CloseHandle: the phone's control lines are now DTR %s, RTS %s",
            (machine_.ModemInterface().ControlLines() & usb::kLineDtr) ? "on" : "off",
            (machine_.ModemInterface().ControlLines() & usb::kLineRts) ? "on" : "off");
    }

    Section("Unplug the phone");
    machine_.Unplug();
    ShowDebugOutput();
    for (const PortInfo& port : machine_.Ports())
        Say("%s port: %s", port.kind.c_str(), port.state.c_str());
    return ok_ ? 0 : 1;
}

} // namespace

int RunDemo(const CommonOptions& options) {
    MachineOptions machineOptions;
    machineOptions.wire = options.wire;
    if (!options.comNames.empty()) {
        const std::string error = ParseComNames(options.comNames, &machineOptions);
        if (!error.empty()) {
            fprintf(stderr, "vxqt70: %s\n", error.c_str());
            return 2;
        }
    }
    printf("vxqt70 demo: the modem and diagnostics port drivers on a simulated Windows kernel,\n"
           "USB bus and phone. Times are the simulation's virtual clock.\n");
    Machine machine(machineOptions);
    Instruments instruments;
    const std::string error = instruments.Start(options.instruments, machine, stdout, "vxqt70.exe");
    if (!error.empty()) {
        fprintf(stderr, "vxqt70: %s\n", error.c_str());
        return 2;
    }
    if (options.instruments.trace)
        printf("(--trace: each request at a port is logged as Portmon logs it live: at issue\n"
               " sequence, 0.00000000, process, request, device, details; at completion\n"
               " sequence, duration, status, details)\n");
    Demo demo(machine);
    const int status = demo.Run();
    instruments.StopTrace();
    printf("\n== Verifier\n");
    const bool clean = machine.Verdict(stdout, true);
    printf("verdict: %s\n", clean && status == 0 ? "everything held"
                                                 : clean ? "the drivers misbehaved (see UNEXPECTED above)"
                                                         : "FINDINGS (see above)");
    fflush(stdout);
    return !clean ? 3 : status;
}

} // namespace vxqt70
