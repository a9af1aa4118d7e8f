// Portmon's way of writing serial requests, and the watcher that prints them.
#include "tools/portmon.h"

#include <cinttypes>
#include <cstdarg>
#include <cstring>

namespace vxqt70 {

namespace {

struct Named {
    ULONG value;
    const char* name;
};

// Portmon's spelling; note SET_CHAR and GET_CHAR without the S.
const Named kControlCodes[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, "IOCTL_SERIAL_SET_BAUD_RATE"},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, "IOCTL_SERIAL_SET_QUEUE_SIZE"},
    {IOCTL_SERIAL_SET_LINE_CONTROL, "IOCTL_SERIAL_SET_LINE_CONTROL"},
    {IOCTL_SERIAL_SET_BREAK_ON, "IOCTL_SERIAL_SET_BREAK_ON"},
    {IOCTL_SERIAL_SET_BREAK_OFF, "IOCTL_SERIAL_SET_BREAK_OFF"},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, "IOCTL_SERIAL_IMMEDIATE_CHAR"},
    {IOCTL_SERIAL_SET_TIMEOUTS, "IOCTL_SERIAL_SET_TIMEOUTS"},
    {IOCTL_SERIAL_GET_TIMEOUTS, "IOCTL_SERIAL_GET_TIMEOUTS"},
    {IOCTL_SERIAL_SET_DTR, "IOCTL_SERIAL_SET_DTR"},
    {IOCTL_SERIAL_CLR_DTR, "IOCTL_SERIAL_CLR_DTR"},
    {IOCTL_SERIAL_RESET_DEVICE, "IOCTL_SERIAL_RESET_DEVICE"},
    {IOCTL_SERIAL_SET_RTS, "IOCTL_SERIAL_SET_RTS"},
    {IOCTL_SERIAL_CLR_RTS, "IOCTL_SERIAL_CLR_RTS"},
    {IOCTL_SERIAL_SET_XOFF, "IOCTL_SERIAL_SET_XOFF"},
    {IOCTL_SERIAL_SET_XON, "IOCTL_SERIAL_SET_XON"},
    {IOCTL_SERIAL_GET_WAIT_MASK, "IOCTL_SERIAL_GET_WAIT_MASK"},
    {IOCTL_SERIAL_SET_WAIT_MASK, "IOCTL_SERIAL_SET_WAIT_MASK"},
    {IOCTL_SERIAL_WAIT_ON_MASK, "IOCTL_SERIAL_WAIT_ON_MASK"},
    {IOCTL_SERIAL_PURGE, "IOCTL_SERIAL_PURGE"},
    {IOCTL_SERIAL_GET_BAUD_RATE, "IOCTL_SERIAL_GET_BAUD_RATE"},
    {IOCTL_SERIAL_GET_LINE_CONTROL, "IOCTL_SERIAL_GET_LINE_CONTROL"},
    {IOCTL_SERIAL_GET_CHARS, "IOCTL_SERIAL_GET_CHAR"},
    {IOCTL_SERIAL_SET_CHARS, "IOCTL_SERIAL_SET_CHAR"},
    {IOCTL_SERIAL_GET_HANDFLOW, "IOCTL_SERIAL_GET_HANDFLOW"},
    {IOCTL_SERIAL_SET_HANDFLOW, "IOCTL_SERIAL_SET_HANDFLOW"},
    {IOCTL_SERIAL_GET_MODEMSTATUS, "IOCTL_SERIAL_GET_MODEMSTATUS"},
    {IOCTL_SERIAL_GET_COMMSTATUS, "IOCTL_SERIAL_GET_COMMSTATUS"},
    {IOCTL_SERIAL_XOFF_COUNTER, "IOCTL_SERIAL_XOFF_COUNTER"},
    {IOCTL_SERIAL_GET_PROPERTIES, "IOCTL_SERIAL_GET_PROPERTIES"},
    {IOCTL_SERIAL_GET_DTRRTS, "IOCTL_SERIAL_GET_DTRRTS"},
    {IOCTL_SERIAL_LSRMST_INSERT, "IOCTL_SERIAL_LSRMST_INSERT"},
    {IOCTL_SERIAL_CONFIG_SIZE, "IOCTL_SERIAL_CONFIG_SIZE"},
    {IOCTL_SERIAL_GET_COMMCONFIG, "IOCTL_SERIAL_GET_COMMCONFIG"},
    {IOCTL_SERIAL_SET_COMMCONFIG, "IOCTL_SERIAL_SET_COMMCONFIG"},
    {IOCTL_SERIAL_GET_STATS, "IOCTL_SERIAL_GET_STATS"},
    {IOCTL_SERIAL_CLEAR_STATS, "IOCTL_SERIAL_CLEAR_STATS"},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, "IOCTL_SERIAL_GET_MODEM_CONTROL"},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, "IOCTL_SERIAL_SET_MODEM_CONTROL"},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, "IOCTL_SERIAL_SET_FIFO_CONTROL"},
};

const Named kStatuses[] = {
    {(ULONG)STATUS_SUCCESS, "SUCCESS"},
    {(ULONG)STATUS_TIMEOUT, "TIMEOUT"},
    {(ULONG)STATUS_PENDING, "PENDING"},
    {(ULONG)STATUS_BUFFER_OVERFLOW, "BUFFER OVERFLOW"},
    {(ULONG)STATUS_UNSUCCESSFUL, "UNSUCCESSFUL"},
    {(ULONG)STATUS_NOT_IMPLEMENTED, "NOT IMPLEMENTED"},
    {(ULONG)STATUS_INVALID_HANDLE, "INVALID HANDLE"},
    {(ULONG)STATUS_INVALID_PARAMETER, "INVALID PARAMETER"},
    {(ULONG)STATUS_NO_SUCH_DEVICE, "NO SUCH DEVICE"},
    {(ULONG)STATUS_INVALID_DEVICE_REQUEST, "INVALID DEVICE REQUEST"},
    {(ULONG)STATUS_ACCESS_DENIED, "ACCESS DENIED"},
    {(ULONG)STATUS_BUFFER_TOO_SMALL, "BUFFER TOO SMALL"},
    {(ULONG)STATUS_DELETE_PENDING, "DELETE PENDING"},
    {(ULONG)STATUS_INSUFFICIENT_RESOURCES, "INSUFFICIENT RESOURCES"},
    {(ULONG)STATUS_DEVICE_DATA_ERROR, "DEVICE DATA ERROR"},
    {(ULONG)STATUS_DEVICE_NOT_CONNECTED, "DEVICE NOT CONNECTED"},
    {(ULONG)STATUS_DEVICE_NOT_READY, "DEVICE NOT READY"},
    {(ULONG)STATUS_IO_TIMEOUT, "IO TIMEOUT"},
    {(ULONG)STATUS_NOT_SUPPORTED, "NOT SUPPORTED"},
    {(ULONG)STATUS_CANCELLED, "CANCELLED"},
    {(ULONG)STATUS_INVALID_DEVICE_STATE, "INVALID DEVICE STATE"},
    {(ULONG)STATUS_IO_DEVICE_ERROR, "IO DEVICE ERROR"},
    {(ULONG)STATUS_DEVICE_REMOVED, "DEVICE REMOVED"},
};

const Named kEvents[] = {
    {SERIAL_EV_RXCHAR, "RXCHAR"}, {SERIAL_EV_RXFLAG, "RXFLAG"}, {SERIAL_EV_TXEMPTY, "TXEMPTY"},
    {SERIAL_EV_CTS, "CTS"},       {SERIAL_EV_DSR, "DSR"},       {SERIAL_EV_RLSD, "RLSD"},
    {SERIAL_EV_BREAK, "BRK"},     {SERIAL_EV_ERR, "ERR"},       {SERIAL_EV_RING, "RING"},
    {SERIAL_EV_PERR, "PERR"},     {SERIAL_EV_RX80FULL, "RX80FULL"},
    {SERIAL_EV_EVENT1, "EVENT1"}, {SERIAL_EV_EVENT2, "EVENT2"},
};

const Named kPurges[] = {
    {SERIAL_PURGE_TXABORT, "TXABORT"},
    {SERIAL_PURGE_RXABORT, "RXABORT"},
    {SERIAL_PURGE_TXCLEAR, "TXCLEAR"},
    {SERIAL_PURGE_RXCLEAR, "RXCLEAR"},
};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

std::string Flags(ULONG mask, const Named* names, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; i++) {
        if ((mask & names[i].value) != 0) {
            text += text.empty() ? "" : " ";
            text += names[i].name;
            mask &= ~names[i].value;
        }
    }
    if (mask != 0)
        text += (text.empty() ? "" : " ") + Format("0x%lX", (unsigned long)mask);
    return text;
}

// The input as a record, when the caller gave at least that much.
template <typename T> bool InputAs(const sim::IoTraceEvent& e, T* value) {
    if (e.input == nullptr || e.inputLength < sizeof(T))
        return false;
    memcpy(value, e.input, sizeof(T));
    return true;
}

ULONG Shown(const sim::IoTraceEvent& e) {
    return e.output == nullptr ? 0
                               : (ULONG)(e.information < e.outputLength ? e.information
                                                                        : e.outputLength);
}

const char* StopBitsText(UCHAR stopBits) {
    switch (stopBits) {
    case STOP_BIT_1: return "1";
    case STOP_BITS_1_5: return "1.5";
    case STOP_BITS_2: return "2";
    default: return "?";
    }
}

const char* ParityText(UCHAR parity) {
    static const char* const kNames[] = {"NONE", "ODD", "EVEN", "MARK", "SPACE"};
    return parity < 5 ? kNames[parity] : "?";
}

std::string ControlParameters(const sim::IoTraceEvent& e) {
    switch (e.ioControlCode) {
    case IOCTL_SERIAL_SET_BAUD_RATE: {
        SERIAL_BAUD_RATE baud;
        return InputAs(e, &baud) ? Format("Rate: %lu", (unsigned long)baud.BaudRate) : "";
    }
    case IOCTL_SERIAL_SET_LINE_CONTROL: {
        SERIAL_LINE_CONTROL line;
        return InputAs(e, &line) ? Format("StopBits: %s Parity: %s WordLength: %u",
                                          StopBitsText(line.StopBits), ParityText(line.Parity),
                                          line.WordLength)
                                 : "";
    }
    case IOCTL_SERIAL_SET_CHARS: {
        SERIAL_CHARS chars;
        return InputAs(e, &chars)
                   ? Format("EOF:%x ERR:%x BRK:%x EVT:%x XON:%x XOFF:%x", chars.EofChar,
                            chars.ErrorChar, chars.BreakChar, chars.EventChar, chars.XonChar,
                            chars.XoffChar)
                   : "";
    }
    case IOCTL_SERIAL_SET_HANDFLOW: {
        SERIAL_HANDFLOW flow;
        return InputAs(e, &flow) ? Format("Shake:%lx Replace:%lx XonLimit:%ld XoffLimit:%ld",
                                          (unsigned long)flow.ControlHandShake,
                                          (unsigned long)flow.FlowReplace, (long)flow.XonLimit,
                                          (long)flow.XoffLimit)
                                 : "";
    }
    case IOCTL_SERIAL_SET_TIMEOUTS: {
        SERIAL_TIMEOUTS t;
        // Portmon prints the values signed: MAXDWORD shows as -1.
        return InputAs(e, &t) ? Format("RI:%ld RM:%ld RC:%ld WM:%ld WC:%ld",
                                       (long)(LONG)t.ReadIntervalTimeout,
                                       (long)(LONG)t.ReadTotalTimeoutMultiplier,
                                       (long)(LONG)t.ReadTotalTimeoutConstant,
                                       (long)(LONG)t.WriteTotalTimeoutMultiplier,
                                       (long)(LONG)t.WriteTotalTimeoutConstant)
                              : "";
    }
    case IOCTL_SERIAL_SET_WAIT_MASK: {
        ULONG mask;
        return InputAs(e, &mask) ? "Mask: " + PortmonEventMask(mask) : "";
    }
    case IOCTL_SERIAL_PURGE: {
        ULONG mask;
        return InputAs(e, &mask) ? "Purge: " + PortmonPurgeMask(mask) : "";
    }
    case IOCTL_SERIAL_SET_QUEUE_SIZE: {
        SERIAL_QUEUE_SIZE size;
        return InputAs(e, &size) ? Format("InSize: %lu OutSize: %lu", (unsigned long)size.InSize,
                                          (unsigned long)size.OutSize)
                                 : "";
    }
    case IOCTL_SERIAL_IMMEDIATE_CHAR: {
        UCHAR c;
        return InputAs(e, &c) ? Format("Char: %x", c) : "";
    }
    default:
        return "";
    }
}

} // namespace

std::string PortmonRequestName(UCHAR major, ULONG ioControlCode) {
    if (major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        for (const Named& code : kControlCodes)
            if (code.value == ioControlCode)
                return code.name;
        // An unknown code (a probe) shows as Portmon shows it: by number.
        return Format("IOCTL: 0x%08lX", (unsigned long)ioControlCode);
    }
    switch (major) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    case IRP_MJ_READ: return "IRP_MJ_READ";
    case IRP_MJ_WRITE: return "IRP_MJ_WRITE";
    case IRP_MJ_QUERY_INFORMATION: return "IRP_MJ_QUERY_INFORMATION";
    case IRP_MJ_SET_INFORMATION: return "IRP_MJ_SET_INFORMATION";
    case IRP_MJ_FLUSH_BUFFERS: return "IRP_MJ_FLUSH_BUFFERS";
    case IRP_MJ_CLEANUP: return "IRP_MJ_CLEANUP";
    default: return Format("IRP_MJ_0x%02X", major);
    }
}

std::string PortmonStatus(NTSTATUS status) {
    for (const Named& s : kStatuses)
        if (s.value == (ULONG)status)
            return s.name;
    return Format("0x%08lX", (unsigned long)(ULONG)status);
}

std::string PortmonDeviceName(const std::u16string& kernelName) {
    std::u16string name = kernelName;
    const std::u16string prefix = u"\\Device\\";
    if (name.compare(0, prefix.size(), prefix) == 0)
        name = name.substr(prefix.size());
    std::string narrow;
    for (char16_t c : name)
        narrow += c < 0x80 ? (char)c : '?';
    return narrow;
}

std::string PortmonEventMask(ULONG mask) {
    return mask == 0 ? "0" : Flags(mask, kEvents, sizeof kEvents / sizeof kEvents[0]);
}

std::string PortmonPurgeMask(ULONG mask) {
    return mask == 0 ? "0" : Flags(mask, kPurges, sizeof kPurges / sizeof kPurges[0]);
}

std::string PortmonData(const void* data, size_t length, size_t limit) {
    std::string text;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < length && i < limit; i++)
        text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? (char)bytes[i] : '.';
    return text;
}

std::string PortmonParameters(const sim::IoTraceEvent& sent) {
    switch (sent.major) {
    case IRP_MJ_CREATE:
        return "Options: Open";
    case IRP_MJ_WRITE:
        return Format("Length %lu: ", (unsigned long)sent.length) +
               PortmonData(sent.input, sent.input != nullptr ? sent.length : 0);
    case IRP_MJ_DEVICE_CONTROL:
        return ControlParameters(sent);
    default:
        return "";
    }
}

std::string PortmonResult(const sim::IoTraceEvent& completed) {
    if (completed.major == IRP_MJ_READ)
        return Format("Length %lu: ", (unsigned long)Shown(completed)) +
               PortmonData(completed.output, Shown(completed));
    if (completed.major == IRP_MJ_DEVICE_CONTROL &&
        completed.ioControlCode == IOCTL_SERIAL_WAIT_ON_MASK && Shown(completed) >= sizeof(ULONG)) {
        ULONG mask;
        memcpy(&mask, completed.output, sizeof mask);
        return "Mask: " + PortmonEventMask(mask);
    }
    return "";
}

std::string PortmonLine(const std::string& process, const sim::IoTraceEvent& request,
                        const std::string& parameters, bool completed) {
    std::string details = parameters;
    if (completed) {
        const std::string result = PortmonResult(request);
        if (!result.empty())
            details += (details.empty() ? "" : " ") + result;
    }
    const LONGLONG duration = completed ? request.completedTime - request.sentTime : 0;
    return Format("%" PRIu64 "\t%lld.%08lld\t", request.sequence,
                  (long long)(duration / 10000000), (long long)(duration % 10000000) * 10) +
           process + "\t" + PortmonRequestName(request.major, request.ioControlCode) + "\t" +
           PortmonDeviceName(request.deviceName != nullptr ? request.deviceName : u"") + "\t" +
           (completed ? PortmonStatus(request.status) : "") + "\t" + details;
}

PortmonTrace::PortmonTrace(FILE* out, std::string process)
    : out_(out), process_(std::move(process)) {
    sim::SetIoTraceHook([this](const sim::IoTraceEvent& e) { OnEvent(e); });
}

PortmonTrace::~PortmonTrace() {
    sim::SetIoTraceHook(nullptr);
    FlushPending();
}

void PortmonTrace::OnEvent(const sim::IoTraceEvent& e) {
    std::lock_guard<std::mutex> guard(lock_);
    if (e.phase == sim::IoTraceEvent::Phase::Sent) {
        Pending& p = pending_[e.sequence];
        p.sent = e;
        p.sent.input = nullptr;
        // The name's storage belongs to the request; keep a copy that
        // outlives it, for a request still pending at the end.
        p.deviceName = e.deviceName != nullptr ? e.deviceName : u"";
        p.sent.deviceName = p.deviceName.c_str();
        p.details = PortmonParameters(e);
        return;
    }
    const auto it = pending_.find(e.sequence);
    const std::string parameters = it != pending_.end() ? it->second.details : std::string();
    if (it != pending_.end())
        pending_.erase(it);
    fprintf(out_, "%s\n", PortmonLine(process_, e, parameters, true).c_str());
    fflush(out_);
    lines_++;
}

void PortmonTrace::FlushPending() {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& [sequence, p] : pending_) {
        fprintf(out_, "%s\n", PortmonLine(process_, p.sent, p.details, false).c_str());
        lines_++;
    }
    pending_.clear();
    fflush(out_);
}

unsigned long PortmonTrace::Lines() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lines_;
}

} // namespace vxqt70
