// vxqt70: the drivers at work on a simulated PC with a phone plugged in.
#include "tools/commands.h"
#include "tools/machine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: vxqt70 [--trace] [--com COMm[,COMd]] [demo]\n"
    "       vxqt70 [--trace] [--com COMm[,COMd]] term [COMn]\n"
    "       vxqt70 --help\n"
    "\n"
    "Runs the modem and diagnostics port drivers on a simulated Windows kernel with a\n"
    "simulated USB phone plugged in (its modem answers AT commands), through the same\n"
    "Win32 calls a serial program makes, and ends with the verifier's verdict.\n"
    "\n"
    "commands:\n"
    "  demo         (default) plug the phone, list its ports, run an AT session on the\n"
    "               modem port (identity, signal, dial, data both ways, +++ escape,\n"
    "               hang-up) showing line changes and wait events, print the port's\n"
    "               statistics, close, unplug, verify. Exit 0 only if all of it held.\n"
    "  term [COMn]  a serial terminal on a port (default: the modem port). On a tty:\n"
    "               keys go to the port, Ctrl-] quits, the bottom line shows DCD, DSR,\n"
    "               CTS and byte counts, the clock follows real time. Otherwise stdin is\n"
    "               a script: each line is sent with CR and the reply printed; lines\n"
    "               '~sleep MS', '~raw TEXT' (sent without CR, e.g. ~raw +++) and\n"
    "               '~quit' are the terminal's own.\n"
    "\n"
    "options:\n"
    "  --trace      log every request at the ports as Portmon does (sequence, duration,\n"
    "               process, request, device, status, details): on stdout for demo,\n"
    "               on stderr for term\n"
    "  --com NAMES  COM names for the modem and the diagnostics port, e.g. COM3,COM4\n"
    "               (default: $VXQT70_COM_NAMES, else COM1 and COM2)\n"
    "  -h, --help   this text\n"
    "\n"
    "exit status: 0 all held; 1 a driver did not do what was expected; 2 bad usage;\n"
    "3 the verifier found a problem (a bug check stops the run with its report).\n";

int Usage(const std::string& error) {
    fprintf(stderr, "vxqt70: %s\n(vxqt70 --help lists the commands and options)\n",
            error.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    vxqt70::CommonOptions options;
    if (const char* names = getenv("VXQT70_COM_NAMES"))
        options.comNames = names;
    std::vector<std::string> words;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--trace") {
            options.trace = true;
        } else if (arg == "--com" || arg.rfind("--com=", 0) == 0) {
            if (arg == "--com") {
                if (i + 1 >= argc)
                    return Usage("--com needs the COM names (e.g. --com COM3,COM4)");
                options.comNames = argv[++i];
            } else {
                options.comNames = arg.substr(6);
            }
            vxqt70::MachineOptions check;
            const std::string error = vxqt70::ParseComNames(options.comNames, &check);
            if (!error.empty())
                return Usage(error);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option " + arg);
        } else {
            words.push_back(arg);
        }
    }
    // A bug check prints its report and stops the run; the exit status says so.
    vxqt70::ReportBugChecksAsExit("vxqt70", 3);
    const std::string command = words.empty() ? "demo" : words[0];
    if (command == "demo") {
        if (words.size() > 1)
            return Usage("demo takes no arguments");
        return vxqt70::RunDemo(options);
    }
    if (command == "term") {
        if (words.size() > 2)
            return Usage("term takes at most one port name");
        return vxqt70::RunTerm(options, words.size() == 2 ? words[1] : "");
    }
    return Usage("unknown command " + command);
}
