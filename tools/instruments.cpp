// Starting and stopping the trace and the capture of a run.
#include "tools/instruments.h"

#include <cerrno>
#include <cstring>

namespace vxqt70 {

Instruments::~Instruments() {
    StopTrace();
    pcap_.reset();
}

std::string Instruments::Start(const InstrumentOptions& options, Machine& machine, FILE* live,
                               const std::string& process, bool alwaysTrace) {
    if (!options.pcap.empty()) {
        std::string error;
        pcap_ = PcapCapture::Start(options.pcap, machine.Phone(), &error);
        if (pcap_ == nullptr)
            return error;
    }
    if (!options.traceLog.empty()) {
        log_ = fopen(options.traceLog.c_str(), "w");
        if (log_ == nullptr)
            return "cannot write " + options.traceLog + ": " + strerror(errno);
    }
    if (options.trace || log_ != nullptr || alwaysTrace)
        trace_ = std::make_unique<PortmonTrace>(options.trace ? live : nullptr, process,
                                                options.view, log_, alwaysTrace);
    return "";
}

void Instruments::StopTrace() {
    trace_.reset();
    if (log_ != nullptr)
        fclose(log_);
    log_ = nullptr;
}

} // namespace vxqt70
