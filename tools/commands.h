// The commands of the vxqt70 program.
#pragma once

#include <string>

namespace vxqt70 {

struct CommonOptions {
    bool trace = false;     // Portmon-style log of every request at the ports
    std::string comNames;   // VXQT70_COM_NAMES or --com
};

// The guided tour; returns the process exit status.
int RunDemo(const CommonOptions& options);
// A terminal on a port ("" : the modem port); returns the exit status.
int RunTerm(const CommonOptions& options, const std::string& port);

} // namespace vxqt70
