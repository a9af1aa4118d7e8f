// The process around a Win32 program built with vxqt70_win32_program: the
// simulated PC is up before the program's main runs (a phone plugged in with
// its modem answering AT commands, both drivers loaded, the ports named as
// VXQT70_COM_NAMES says, COM1 for the modem by default) and the verifier
// looks at what is left after main returns. A finding makes the exit status
// 3 whatever main returned; a bug check on the way stops the run with 3 too.
// Handles the program left open are closed first, as Windows closes them at
// process exit, so that only what the drivers leave behind is a finding.
// VXQT70_TRACE=1 (or hex) logs every request at the ports on stderr in
// Portmon's two-line form, VXQT70_TRACE_LOG=FILE writes its one-line log and
// VXQT70_PCAP=FILE captures the drivers' URBs for Wireshark.
//
// The program's main is compiled under another name (the CMake function
// defines main as vxqt70_program_main for C++, with either of main's two
// forms, and vxqt70_program_main_c for C).
#include "tools/instruments.h"
#include "tools/machine.h"
#include "platform/win32/win32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

int vxqt70_program_main(int argc, char** argv) __attribute__((weak));
int vxqt70_program_main() __attribute__((weak));
// C has one symbol whichever form main has; calling `int main(void)` with
// two arguments is harmless in the C calling convention.
extern "C" int vxqt70_program_main_c(int argc, char** argv) __attribute__((weak));

namespace {

std::string ProgramName(const char* argv0) {
    std::string name = argv0 != nullptr ? argv0 : "program";
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos)
        name = name.substr(slash + 1);
    return name;
}

std::string Environment(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

} // namespace

int main(int argc, char** argv) {
    const std::string program = ProgramName(argc > 0 ? argv[0] : nullptr);
    static std::string stoppedBy = program;
    vxqt70::ReportBugChecksAsExit(stoppedBy.c_str(), 3);
    vxqt70::MachineOptions options;
    if (const char* names = getenv("VXQT70_COM_NAMES")) {
        const std::string error = vxqt70::ParseComNames(names, &options);
        if (!error.empty()) {
            fprintf(stderr, "%s: VXQT70_COM_NAMES: %s\n", program.c_str(), error.c_str());
            return 2;
        }
    } else {
        options.modemCom = 1;
        options.diagCom = 2;
    }
    vxqt70::Machine machine(options);
    vxqt70::InstrumentOptions watch;
    const std::string trace = Environment("VXQT70_TRACE");
    watch.trace = !trace.empty() && trace != "0";
    watch.view = trace == "hex" ? vxqt70::PortmonView::Hex : vxqt70::PortmonView::Ascii;
    watch.traceLog = Environment("VXQT70_TRACE_LOG");
    watch.pcap = Environment("VXQT70_PCAP");
    vxqt70::Instruments instruments;
    const std::string error = instruments.Start(watch, machine, stderr, program + ".exe");
    if (!error.empty()) {
        fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
        return 2;
    }
    int status;
    int (*const withArguments)(int, char**) = vxqt70_program_main;
    int (*const withoutArguments)() = vxqt70_program_main;
    if (withArguments != nullptr) {
        status = withArguments(argc, argv);
    } else if (withoutArguments != nullptr) {
        status = withoutArguments();
    } else if (vxqt70_program_main_c != nullptr) {
        status = vxqt70_program_main_c(argc, argv);
    } else {
        fprintf(stderr, "%s: the program has no main\n", program.c_str());
        status = 2;
    }
    fflush(stdout);
    // The process exits: Windows cancels its I/O and closes its handles.
    sim::Win32CloseAtExit();
    instruments.StopTrace();
    if (!machine.Verdict(stderr, false)) {
        fprintf(stderr, "%s: the verifier found problems after main returned\n",
                program.c_str());
        return 3;
    }
    return status;
}
