// Requests at the top of the port's stack, printed one a line the way a
// Portmon log shows them: sequence number, duration in seconds, process,
// request, device, status, details. Users compare these lines with Portmon
// logs taken on Windows, so the vocabulary is Portmon's: its request names
// (IOCTL_SERIAL_SET_CHARS appears as IOCTL_SERIAL_SET_CHAR), its status words
// (SUCCESS, TIMEOUT, CANCELLED, INVALID PARAMETER) and its parameter text
// ("Rate: 115200", "RI:-1 RM:0 RC:0 WM:0 WC:0", "Length 3: AT.").
#pragma once

#include "platform/sim/sim.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

namespace vxqt70 {

// Portmon's names for a request, a status and the device.
std::string PortmonRequestName(UCHAR major, ULONG ioControlCode);
std::string PortmonStatus(NTSTATUS status);
std::string PortmonDeviceName(const std::u16string& kernelName); // "\Device\X0" -> "X0"
// "RXCHAR RLSD" for an SERIAL_EV_* mask, "RXABORT RXCLEAR" for purge flags.
std::string PortmonEventMask(ULONG mask);
std::string PortmonPurgeMask(ULONG mask);
// Printable bytes as they are, a dot for each other byte, at most `limit`.
std::string PortmonData(const void* data, size_t length, size_t limit = 64);
// The details column, in two halves because the request's input is gone by
// the time it completes: its parameters as sent ("Rate: 115200", a write's
// data), and what it returned where that is the point (a read's data, the
// events a wait ended with). A line shows both, parameters first.
std::string PortmonParameters(const sim::IoTraceEvent& sent);
std::string PortmonResult(const sim::IoTraceEvent& completed);
// One whole line, fields separated by tabs as in Portmon's saved logs; a
// request still pending has an empty status.
std::string PortmonLine(const std::string& process, const sim::IoTraceEvent& request,
                        const std::string& parameters, bool completed);

// Installs itself as the I/O manager's request watcher and writes a line to
// `out` as each request completes (so lines follow completion order while
// their numbers follow issue order, as in Portmon). Requests still pending
// when it is flushed are printed with an empty status.
class PortmonTrace {
public:
    PortmonTrace(FILE* out, std::string process);
    ~PortmonTrace(); // removes the watcher, printing what is still pending
    PortmonTrace(const PortmonTrace&) = delete;
    PortmonTrace& operator=(const PortmonTrace&) = delete;

    void FlushPending();
    unsigned long Lines() const;

private:
    void OnEvent(const sim::IoTraceEvent& e);

    FILE* out_;
    std::string process_;
    mutable std::mutex lock_;
    // Sent requests waiting for their completion, with their parameters as
    // text (the input buffer is gone by then).
    struct Pending {
        sim::IoTraceEvent sent;
        std::u16string deviceName;
        std::string details;
    };
    std::map<uint64_t, Pending> pending_;
    unsigned long lines_ = 0;
};

} // namespace vxqt70
