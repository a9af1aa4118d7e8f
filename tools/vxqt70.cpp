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
    "usage: vxqt70 [options] [demo]\n"
    "       vxqt70 [options] term [COMn]\n"
    "       vxqt70 [options] replay [--phone at|data] [--packet N] [--port modem|diag]\n"
    "                               [--dot HEX] LOG\n"
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
    "               keys go to the port, the bottom line shows DCD, DSR, CTS and byte\n"
    "               counts, the clock follows real time; Ctrl-] then a key: q quit,\n"
    "               u unplug, p plug in, s suspend the PC, w wake it, r/t/n fail the\n"
    "               next transfer on bulk-in/bulk-out/interrupt-in. Otherwise stdin is\n"
    "               a script: each line is sent with CR and the reply printed; lines\n"
    "               '~sleep MS' (let time pass), '~raw TEXT' (sent without CR, e.g.\n"
    "               ~raw +++), '~unplug', '~plug', '~suspend', '~wake',\n"
    "               '~fault PIPE' (bulk-in, bulk-out or interrupt-in) and '~quit'\n"
    "               are the terminal's own.\n"
    "  replay LOG   send the requests of a Portmon log (one-line or two-line, ASCII or\n"
    "               hex view) to the port in issue order and print the log's status\n"
    "               next to ours for each, a summary and the verifier's verdict. Exit\n"
    "               0 when the replay ran and the verifier is clean (differences are\n"
    "               findings, not failures).\n"
    "               --phone at    the phone's AT modem answers (default)\n"
    "               --phone data  the phone sends the log's read data where the log\n"
    "                             shows it arrived\n"
    "               --packet N    the phone sends that data in packets of N bytes\n"
    "               --port diag   replay on the diagnostics port\n"
    "               --dot HEX     the byte a '.' in ASCII-view data stands for (e.g. 0D)\n"
    "\n"
    "options:\n"
    "  --trace      log every request at the ports as Portmon does, live in its\n"
    "               two-line form (a line at issue, another at completion): on stdout\n"
    "               for demo and replay, on stderr for term\n"
    "  --hex        data in the trace in Portmon's hex view (41 54 0D) instead of ASCII\n"
    "  --trace-log FILE  write Portmon's one-line log (issue order) to FILE\n"
    "  --pcap FILE  capture every URB the drivers send, for Wireshark (USBPcap format)\n"
    "  --wire fs|hs demo: time the USB bus at full or high speed, with the host\n"
    "               controller's usual 1 ms completion moderation (Portmon's\n"
    "               durations in --trace become a real bus's)\n"
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

// "--name VALUE" or "--name=VALUE" at argv[*i]; false when it is another
// option. An empty value left in *value means it was missing.
bool OptionValue(int argc, char** argv, int* i, const std::string& name, std::string* value) {
    const std::string arg = argv[*i];
    if (arg.rfind(name + "=", 0) == 0) {
        *value = arg.substr(name.size() + 1);
        return true;
    }
    if (arg != name)
        return false;
    *value = *i + 1 < argc ? argv[++*i] : "";
    return true;
}

} // namespace

int main(int argc, char** argv) {
    vxqt70::CommonOptions options;
    vxqt70::ReplayOptions replay;
    if (const char* names = getenv("VXQT70_COM_NAMES"))
        options.comNames = names;
    std::vector<std::string> words;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        std::string value;
        if (arg == "-h" || arg == "--help") {
            fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--trace") {
            options.instruments.trace = true;
        } else if (arg == "--hex") {
            options.instruments.view = vxqt70::PortmonView::Hex;
        } else if (OptionValue(argc, argv, &i, "--trace-log", &value)) {
            if (value.empty())
                return Usage("--trace-log needs a file name");
            options.instruments.traceLog = value;
        } else if (OptionValue(argc, argv, &i, "--pcap", &value)) {
            if (value.empty())
                return Usage("--pcap needs a file name");
            options.instruments.pcap = value;
        } else if (OptionValue(argc, argv, &i, "--com", &value)) {
            if (value.empty())
                return Usage("--com needs the COM names (e.g. --com COM3,COM4)");
            options.comNames = value;
            vxqt70::MachineOptions check;
            const std::string error = vxqt70::ParseComNames(options.comNames, &check);
            if (!error.empty())
                return Usage(error);
        } else if (OptionValue(argc, argv, &i, "--wire", &value)) {
            if (value != "fs" && value != "hs")
                return Usage("--wire takes fs or hs");
            options.wire = value == "fs" ? WireFullSpeed : WireHighSpeed;
        } else if (OptionValue(argc, argv, &i, "--phone", &value)) {
            if (value != "at" && value != "data")
                return Usage("--phone takes at or data");
            replay.phoneData = value == "data";
        } else if (OptionValue(argc, argv, &i, "--packet", &value)) {
            char* end = nullptr;
            const unsigned long n = strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end != 0 || n < 1 || n > 4096)
                return Usage("--packet takes a packet size from 1 to 4096");
            replay.packetSize = n;
        } else if (OptionValue(argc, argv, &i, "--port", &value)) {
            if (value != "modem" && value != "diag")
                return Usage("--port takes modem or diag");
            replay.diagnostics = value == "diag";
        } else if (OptionValue(argc, argv, &i, "--dot", &value)) {
            char* end = nullptr;
            const unsigned long n = strtoul(value.c_str(), &end, 16);
            if (value.empty() || *end != 0 || n > 0xFF)
                return Usage("--dot takes a byte in hex (e.g. 0D)");
            replay.dot = static_cast<int>(n);
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
    if (command == "replay") {
        if (words.size() != 2)
            return Usage("replay takes one Portmon log");
        replay.log = words[1];
        return vxqt70::RunReplay(options, replay);
    }
    return Usage("unknown command " + command);
}
