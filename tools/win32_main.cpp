// The process around a Win32 program built with vxqt70_win32_program: the
// simulated PC is up before the program's main runs (a phone plugged in with
// its modem answering AT commands, both drivers loaded, the ports named as
// VXQT70_COM_NAMES says, COM1 for the modem by default) and the verifier
// looks at what is left after main returns. A finding makes the exit status
// 3 whatever main returned; a bug check on the way stops the run with 3 too.
// VXQT70_TRACE=1 logs every request at the ports on stderr, as Portmon does.
//
// The program's main is compiled under another name (the CMake function
// defines main as vxqt70_program_main), with either of main's two forms.
#include "tools/machine.h"
#include "tools/portmon.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

int vxqt70_program_main(int argc, char** argv) __attribute__((weak));
int vxqt70_program_main() __attribute__((weak));

namespace {

std::string ProgramName(const char* argv0) {
    std::string name = argv0 != nullptr ? argv0 : "program";
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos)
        name = name.substr(slash + 1);
    return name;
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
    int status;
    {
        std::unique_ptr<vxqt70::PortmonTrace> trace;
        const char* traceVar = getenv("VXQT70_TRACE");
        if (traceVar != nullptr && strcmp(traceVar, "0") != 0 && *traceVar != 0)
            trace = std::make_unique<vxqt70::PortmonTrace>(stderr, program + ".exe");
        int (*const withArguments)(int, char**) = vxqt70_program_main;
        int (*const withoutArguments)() = vxqt70_program_main;
        if (withArguments != nullptr) {
            status = withArguments(argc, argv);
        } else if (withoutArguments != nullptr) {
            status = withoutArguments();
        } else {
            fprintf(stderr, "%s: the program has no main\n", program.c_str());
            status = 2;
        }
    }
    fflush(stdout);
    if (!machine.Verdict(stderr, false)) {
        fprintf(stderr, "%s: the verifier found problems after main returned\n",
                program.c_str());
        return 3;
    }
    return status;
}
