// What a run can be watched with, shared by every front end (demo, term,
// replay, Win32 programs): the Portmon-style trace, live and as a one-line
// log, and the USB capture.
#pragma once

#include "tools/machine.h"
#include "tools/pcap.h"
#include "tools/portmon.h"

#include <cstdio>
#include <memory>
#include <string>

namespace vxqt70 {

struct InstrumentOptions {
    bool trace = false;                     // the two-line form, live
    PortmonView view = PortmonView::Ascii;  // ASCII or hex data
    std::string traceLog;                   // the one-line log's file ("" none)
    std::string pcap;                       // the USB capture's file ("" none)
};

class Instruments {
public:
    Instruments() = default;
    ~Instruments();
    Instruments(const Instruments&) = delete;
    Instruments& operator=(const Instruments&) = delete;

    // Starts what `options` ask for on `machine`: the live trace on `live`,
    // `process` as the trace's process name. A trace is kept anyway when
    // `alwaysTrace` (for its records). Returns "" or an error.
    std::string Start(const InstrumentOptions& options, Machine& machine, FILE* live,
                      const std::string& process, bool alwaysTrace = false);
    PortmonTrace* Trace() { return trace_.get(); }
    // Ends the trace (writing the log's pending records); the capture goes
    // on until the end of the run, the unplug included.
    void StopTrace();

private:
    std::unique_ptr<PortmonTrace> trace_;
    FILE* log_ = nullptr;
    std::unique_ptr<PcapCapture> pcap_;
};

} // namespace vxqt70
