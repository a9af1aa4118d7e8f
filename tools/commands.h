// The commands of the vxqt70 program.
#pragma once

#include "tools/instruments.h"

#include <string>

namespace vxqt70 {

struct CommonOptions {
    InstrumentOptions instruments; // --trace, --hex, --trace-log, --pcap
    std::string comNames;          // VXQT70_COM_NAMES or --com
    int wire = -1;                 // --wire: a WIRE_SPEED to time the bus at; -1 untimed
};

// The guided tour; returns the process exit status.
int RunDemo(const CommonOptions& options);
// A terminal on a port ("" : the modem port); returns the exit status.
int RunTerm(const CommonOptions& options, const std::string& port);

struct ReplayOptions {
    std::string log;          // the Portmon log
    bool phoneData = false;   // --phone data: the log's read data; else the AT modem
    size_t packetSize = 0;    // --packet: the phone's packet size for that data (0: the pipe's)
    bool diagnostics = false; // --port diag: the diagnostics port instead of the modem's
    int dot = '.';            // --dot: the byte a dot of ASCII-view data stands for
};
// Replays a Portmon log against the simulated port; returns the exit status.
int RunReplay(const CommonOptions& options, const ReplayOptions& replay);

} // namespace vxqt70
