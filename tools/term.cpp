// `vxqt70 term [COMn]`: a serial terminal on a port of the simulated phone.
//
// On a real terminal the keyboard goes to the port byte by byte (the tty in
// raw mode, no local echo: the modem echoes per ATE) and what the port
// receives goes to the screen; a status line at the bottom shows DCD, DSR,
// CTS and the byte counts; Ctrl-] then a key works the hardware: q quits,
// u pulls the phone's cable and p plugs it back, s puts the PC to sleep and w
// wakes it, r/t/n make the next transfer on the bulk-in, bulk-out or
// interrupt-in pipe fail. The machine stays in deterministic mode, its
// virtual clock driven from real time between keystrokes, so guard times and
// time-outs last as long as they say.
//
// With standard input not a terminal it is a script: each line is sent
// followed by CR (what the Enter key sends), and the terminal waits until the
// port has been quiet for a moment before the next line. Lines starting with
// '~' are the terminal's own: "~sleep MS" lets time pass, "~raw TEXT" sends
// TEXT without CR ("~raw +++" escapes to command mode), "~unplug", "~plug",
// "~suspend", "~wake" and "~fault PIPE" do what the keys above do (named so
// that "~sleep" keeps meaning a pause), "~quit" stops. At the
// end of input it lets the machine drain, prints a status line, closes the
// port and unplugs the phone. Carriage returns received are dropped so that
// the output reads as lines. Here the clock is purely virtual: a script runs
// in an instant whatever it sleeps.
#include "tools/commands.h"
#include "tools/instruments.h"
#include "tools/machine.h"
#include "tools/port.h"
#include "tools/portmon.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace vxqt70 {

namespace {

constexpr unsigned char kEscapeKey = 0x1D; // Ctrl-]
constexpr DWORD kQuietMs = 300;          // a script's next line waits for this much silence

bool SetUp(Port& port);
bool ComNameExists(const std::string& name);

class Terminal {
public:
    Terminal(Machine& machine, Port& port, std::string path, bool diagnostics)
        : machine_(machine), port_(port), path_(std::move(path)), name_(path_.substr(4)),
          diagnostics_(diagnostics) {}

    int Scripted();
    int Interactive();

private:
    // Handles what has completed on the port; returns true if data came.
    bool Service(bool script);
    void Output(const std::string& data, bool script);
    void StatusChanged(DWORD events, bool script);
    // A line about the port or the hardware, in the text (and the status line).
    void Note(const std::string& what, bool script);
    std::string StatusText() const;
    // Script mode: runs the machine until `quietMs` pass with nothing
    // received, or `forMs` pass when nonzero.
    void Drain(DWORD quietMs, DWORD forMs = 0);
    void Send(const std::string& data);
    void DrawStatus();
    // The hardware: "unplug", "plug", "suspend", "wake", "fault PIPE". Returns
    // false for an unknown action.
    bool Hardware(const std::string& action, bool script);
    // A failed request: what the application sees, and the port closed when
    // the device is gone.
    void RequestFailed(const char* what, DWORD error, bool script);
    usb::Interface& PhonePort();

    Machine& machine_;
    Port& port_;
    std::string path_;
    std::string name_;
    bool diagnostics_;
    DWORD lines_ = 0;
    unsigned long rx_ = 0;
    unsigned long tx_ = 0;
    bool atLineStart_ = true;
    bool failed_ = false;
    bool asleep_ = false;
    std::string state_; // "" while the port is open and the PC awake
    int rows_ = 0;
};

usb::Interface& Terminal::PhonePort() {
    return diagnostics_ ? machine_.Phone().Diagnostics() : machine_.Phone().Modem();
}

void Terminal::Note(const std::string& what, bool script) {
    if (!script) {
        printf("\r\n[%s]\r\n", what.c_str());
        fflush(stdout);
        return;
    }
    if (!atLineStart_)
        fputc('\n', stdout);
    printf("[%s]\n", what.c_str());
    atLineStart_ = true;
    fflush(stdout);
}

// "995 (ERROR_OPERATION_ABORTED)" for the errors a port's requests end with.
std::string ErrorText(DWORD error) {
    static const struct {
        DWORD code;
        const char* name;
    } kErrors[] = {{ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
                   {ERROR_CRC, "ERROR_CRC"},
                   {ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE"},
                   {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
                   {ERROR_OPERATION_ABORTED, "ERROR_OPERATION_ABORTED"},
                   {ERROR_IO_DEVICE, "ERROR_IO_DEVICE"},
                   {ERROR_DEVICE_NOT_CONNECTED, "ERROR_DEVICE_NOT_CONNECTED"},
                   {ERROR_DEVICE_REMOVED, "ERROR_DEVICE_REMOVED"},
                   {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"}};
    std::string text = std::to_string(error);
    for (const auto& e : kErrors)
        if (e.code == error)
            text.append(" (").append(e.name).append(")");
    return text;
}

void Terminal::RequestFailed(const char* what, DWORD error, bool script) {
    Note(std::string(what) + " failed: Win32 error " + ErrorText(error), script);
    if (error == ERROR_OPERATION_ABORTED || !port_.IsOpen())
        return;
    // Gone for good (removed) or broken: a program closes the handle, so
    // that the removal can finish, and opens the port again later.
    DWORD status = 0;
    if (!GetCommModemStatus(port_.Handle(), &status)) {
        port_.Close();
        state_ = "port closed";
        Note(name_ + " closed: GetCommModemStatus failed with Win32 error " +
                 ErrorText(GetLastError()),
             script);
    }
}

bool Terminal::Hardware(const std::string& action, bool script) {
    if (action == "unplug") {
        if (!machine_.Phone().Plugged()) {
            Note("the phone is not plugged in", script);
            return true;
        }
        Note("unplugging the phone", script);
        machine_.Unplug();
        Service(script);
        if (port_.IsOpen()) {
            port_.Close();
            Note(name_ + " closed", script);
        }
        sim::RunUntilIdle();
        state_ = "unplugged";
        Note(ComNameExists(name_) ? name_ + " is still there" : name_ + " is gone",
             script);
    } else if (action == "plug") {
        if (!machine_.PlugIn()) {
            Note("the phone is already plugged in", script);
            return true;
        }
        Note("phone plugged in", script);
        DWORD error = 0;
        if (port_.Open(path_, &error) && SetUp(port_)) {
            state_.clear();
            lines_ = port_.ModemStatus();
            Note(name_ + " is back: " + LinesText(lines_), script);
        } else {
            state_ = "port closed";
            Note("cannot open " + name_ + " again: Win32 error " + ErrorText(error), script);
        }
    } else if (action == "suspend") {
        const NTSTATUS status = sim::SetSystemPowerState(PowerSystemSleeping3, PowerActionSleep);
        asleep_ = NT_SUCCESS(status);
        Note(asleep_ ? "the PC is asleep (S3)"
                     : "the system refused to sleep: status " + PortmonStatus(status),
             script);
        Service(script);
    } else if (action == "wake") {
        sim::SetSystemPowerState(PowerSystemWorking);
        asleep_ = false;
        Note("the PC is awake (S0)", script);
        Service(script);
    } else if (action.rfind("fault ", 0) == 0) {
        const std::string pipe = action.substr(6);
        const usb::Pipe pipes[] = {usb::Pipe::BulkIn, usb::Pipe::BulkOut, usb::Pipe::InterruptIn};
        for (usb::Pipe p : pipes) {
            if (pipe == usb::PipeName(p)) {
                if (!machine_.Phone().Plugged()) {
                    Note("the phone is not plugged in", script);
                    return true;
                }
                PhonePort().FailNext(p, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC);
                Note("the next " + pipe + " transfer fails (USBD_STATUS_CRC)", script);
                return true;
            }
        }
        return false;
    } else {
        return false;
    }
    return true;
}

std::string Terminal::StatusText() const {
    std::string text = state_.empty() ? LinesText(lines_) : state_;
    if (asleep_)
        text += "  asleep";
    return text.append("  rx ").append(std::to_string(rx_)).append("  tx ").append(
        std::to_string(tx_));
}

void Terminal::Output(const std::string& data, bool script) {
    rx_ += data.size();
    std::string shown;
    for (char c : data)
        if (!(script && c == '\r'))
            shown += c;
    if (shown.empty())
        return;
    fwrite(shown.data(), 1, shown.size(), stdout);
    atLineStart_ = shown.back() == '\n';
    fflush(stdout);
}

void Terminal::StatusChanged(DWORD events, bool script) {
    lines_ = port_.ModemStatus();
    if (script) {
        if (!atLineStart_)
            fputc('\n', stdout);
        printf("[%s: %s]\n", EventsText(events).c_str(), LinesText(lines_).c_str());
        atLineStart_ = true;
        fflush(stdout);
    }
}

bool Terminal::Service(bool script) {
    if (!port_.IsOpen())
        return false;
    bool data = false;
    DWORD events = 0;
    DWORD error = 0;
    if (port_.TakeWait(&events, &error)) {
        if (error != 0)
            RequestFailed("WaitCommEvent", error, script);
        else
            StatusChanged(events, script);
        if (port_.IsOpen() && error == 0 && !port_.StartWait())
            RequestFailed("WaitCommEvent", GetLastError(), script);
    }
    std::string received;
    if (port_.IsOpen() && port_.TakeRead(&received, &error)) {
        if (!received.empty()) {
            Output(received, script);
            data = true;
        }
        if (error != 0)
            RequestFailed("ReadFile", error, script);
    }
    if (port_.IsOpen() && !port_.ReadPending() && !port_.StartRead())
        RequestFailed("ReadFile", GetLastError(), script);
    return data;
}

void Terminal::Send(const std::string& data) {
    if (!port_.IsOpen()) {
        Note("not sent: " + name_ + " is not open", true);
        return;
    }
    const DWORD written = port_.Write(data);
    tx_ += written;
    if (written != data.size())
        Note("WriteFile wrote " + std::to_string(written) + " of " + std::to_string(data.size()) +
                 " bytes: Win32 error " + ErrorText(GetLastError()),
             true);
}

void Terminal::Drain(DWORD quietMs, DWORD forMs) {
    LONGLONG quietSince = sim::Now();
    const LONGLONG until = sim::Now() + (LONGLONG)forMs * 10000;
    for (;;) {
        const LONGLONG end = forMs != 0 ? until : quietSince + (LONGLONG)quietMs * 10000;
        const LONGLONG now = sim::Now();
        if (now >= end || failed_)
            return;
        const DWORD ms = (DWORD)((end - now + 9999) / 10000);
        if (port_.IsOpen()) {
            const HANDLE handles[2] = {port_.ReadEvent(), port_.WaitEvent()};
            WaitForMultipleObjects(2, handles, FALSE, ms);
        } else {
            Sleep(ms);
        }
        if (Service(true))
            quietSince = sim::Now();
    }
}

int Terminal::Scripted() {
    lines_ = port_.ModemStatus();
    printf("[vxqt70 term on %s: %s]\n", name_.c_str(), LinesText(lines_).c_str());
    Service(true);
    std::string line;
    while (!failed_ && std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind("~sleep ", 0) == 0) {
            char* end = nullptr;
            const unsigned long ms = strtoul(line.c_str() + 7, &end, 10);
            if (*end != 0 || ms == 0) {
                fprintf(stderr, "vxqt70 term: bad line \"%s\" (expected ~sleep MS)\n",
                        line.c_str());
                return 2;
            }
            Drain(0, static_cast<DWORD>(ms));
        } else if (line.rfind("~raw ", 0) == 0) {
            Send(line.substr(5));
            Drain(kQuietMs);
        } else if (line == "~quit") {
            break;
        } else if (line.size() > 1 && line[0] == '~' && Hardware(line.substr(1), true)) {
            Drain(kQuietMs);
        } else if (!line.empty() && line[0] == '~') {
            fprintf(stderr, "vxqt70 term: unknown terminal command \"%s\"\n", line.c_str());
            return 2;
        } else {
            Send(line + "\r");
            Drain(kQuietMs);
        }
    }
    Drain(kQuietMs);
    if (!atLineStart_)
        fputc('\n', stdout);
    printf("[end: %s]\n", StatusText().c_str());
    fflush(stdout);
    return failed_ ? 1 : 0;
}

void Terminal::DrawStatus() {
    // On the last row, outside the scrolling region set in Interactive().
    const std::string text = " " + name_ + " | " + StatusText() + " | Ctrl-] then q quits ";
    printf("\0337\033[%d;1H\033[2K\033[7m%s\033[0m\0338", rows_, text.c_str());
    fflush(stdout);
}

int Terminal::Interactive() {
    struct winsize size {};
    rows_ = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 2 ? size.ws_row : 24;
    termios saved{};
    tcgetattr(STDIN_FILENO, &saved);
    termios raw = saved;
    cfmakeraw(&raw);
    // Output keeps its newline translation so messages stay readable.
    raw.c_oflag |= OPOST;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    printf("\033[1;%dr\033[%d;1H", rows_ - 1, rows_ - 1);
    printf("vxqt70 term on %s (try ATI, ATD123, +++ after a pause, ATH)\r\n", name_.c_str());
    lines_ = port_.ModemStatus();
    DrawStatus();
    std::string lastStatus = StatusText();
    auto lastDraw = std::chrono::steady_clock::now();
    bool quit = false;
    bool escaped = false;
    while (!quit && !failed_) {
        pollfd in{STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&in, 1, 20);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0) {
            char keys[256];
            const ssize_t n = read(STDIN_FILENO, keys, sizeof keys);
            if (n <= 0)
                break;
            std::string data;
            for (ssize_t i = 0; i < n && !quit; i++) {
                const unsigned char key = (unsigned char)keys[i];
                if (!escaped && key == kEscapeKey) {
                    escaped = true;
                    continue;
                }
                if (!escaped) {
                    data += keys[i];
                    continue;
                }
                escaped = false;
                if (!data.empty())
                    Send(data);
                data.clear();
                static const struct {
                    char key;
                    const char* action;
                } kKeys[] = {{'u', "unplug"},        {'p', "plug"},
                             {'s', "suspend"},       {'w', "wake"},
                             {'r', "fault bulk-in"}, {'t', "fault bulk-out"},
                             {'n', "fault interrupt-in"}};
                if (key == 'q') {
                    quit = true;
                } else if (key == kEscapeKey) {
                    data += keys[i]; // Ctrl-] twice sends one
                } else {
                    bool known = false;
                    for (const auto& k : kKeys)
                        if (k.key == key)
                            known = Hardware(k.action, false);
                    if (!known)
                        Note("Ctrl-] then: q quit, u unplug, p plug in, s sleep, w wake, "
                             "r/t/n fail the next bulk-in/bulk-out/interrupt-in transfer",
                             false);
                }
            }
            if (!data.empty())
                Send(data);
        }
        machine_.AdvanceToRealTime();
        Service(false);
        const auto now = std::chrono::steady_clock::now();
        if (StatusText() != lastStatus && now - lastDraw > std::chrono::milliseconds(100)) {
            DrawStatus();
            lastStatus = StatusText();
            lastDraw = now;
        }
    }
    printf("\033[r\033[%d;1H\033[2K", rows_);
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    printf("\n[%s: %s]\n", name_.c_str(), StatusText().c_str());
    return failed_ ? 1 : 0;
}

// "COM3", "com3" or "\\.\COM3" -> "\\.\COM3"; "" when it is not a COM name.
std::string PortPath(const std::string& text) {
    std::string name = text;
    if (name.rfind("\\\\.\\", 0) == 0)
        name = name.substr(4);
    if (name.size() < 4 || strncasecmp(name.c_str(), "COM", 3) != 0)
        return "";
    for (size_t i = 3; i < name.size(); i++)
        if (name[i] < '0' || name[i] > '9')
            return "";
    return "\\\\.\\COM" + name.substr(3);
}

// Whether "COMn" is a DOS device name now.
bool ComNameExists(const std::string& name) {
    for (const auto& link : sim::SymbolicLinks()) {
        const std::string text = sim::U8(link.name);
        if (text == "\\DosDevices\\" + name || text == "\\??\\" + name)
            return true;
    }
    return false;
}

bool SetUp(Port& port) {
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port.Handle(), &dcb))
        return false;
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
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 1000, 0, 0};
    return SetCommState(port.Handle(), &dcb) && SetCommTimeouts(port.Handle(), &timeouts) &&
           SetCommMask(port.Handle(), EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_ERR | EV_BREAK) &&
           port.StartWait() && port.StartRead();
}

} // namespace

int RunTerm(const CommonOptions& options, const std::string& portName) {
    std::string path;
    if (!portName.empty()) {
        path = PortPath(portName);
        if (path.empty()) {
            fprintf(stderr, "vxqt70 term: \"%s\" is not a COM port name (expected COMn)\n",
                    portName.c_str());
            return 2;
        }
    }
    MachineOptions machineOptions;
    if (!options.comNames.empty()) {
        const std::string error = ParseComNames(options.comNames, &machineOptions);
        if (!error.empty()) {
            fprintf(stderr, "vxqt70: %s\n", error.c_str());
            return 2;
        }
    }
    Machine machine(machineOptions);
    if (path.empty())
        path = machine.ModemPath();
    Instruments instruments;
    const std::string problem =
        instruments.Start(options.instruments, machine, stderr, "vxqt70.exe");
    if (!problem.empty()) {
        fprintf(stderr, "vxqt70 term: %s\n", problem.c_str());
        return 2;
    }
    int status = 0;
    {
        Port port;
        DWORD error = 0;
        if (!port.Open(path, &error)) {
            std::string known;
            for (const PortInfo& info : machine.Ports())
                known += (known.empty() ? "" : ", ") + info.comName + " (" + info.kind + ")";
            fprintf(stderr, "vxqt70 term: cannot open %s: Win32 error %lu; the phone's ports: %s\n",
                    path.c_str() + 4, (unsigned long)error, known.c_str());
            status = 2;
        } else if (!SetUp(port)) {
            fprintf(stderr, "vxqt70 term: setting up %s failed: Win32 error %lu\n",
                    path.c_str() + 4, (unsigned long)GetLastError());
            status = 1;
        } else {
            Terminal terminal(machine, port, path, path == machine.DiagPath());
            status = isatty(STDIN_FILENO) ? terminal.Interactive() : terminal.Scripted();
        }
        port.Close();
    }
    instruments.StopTrace();
    const bool clean = machine.Verdict(stderr, false);
    fprintf(stderr, "vxqt70 term: verifier %s\n", clean ? "found nothing" : "FOUND PROBLEMS");
    return clean ? status : 3;
}

} // namespace vxqt70
