// Portmon's way of writing serial requests, and the watcher that prints them.
#include "tools/portmon.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace vxqt70 {

namespace {

struct Named {
    ULONG value;
    const char* name;
};

// Portmon's spelling; note SET_CHAR without the S (GET_CHARS keeps it).
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
    {IOCTL_SERIAL_GET_CHARS, "IOCTL_SERIAL_GET_CHARS"},
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

// Each flag followed by a space, as Portmon writes them; bits without a
// name in hex.
std::string Flags(ULONG mask, const Named* names, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; i++) {
        if ((mask & names[i].value) != 0) {
            text.append(names[i].name).append(" ");
            mask &= ~names[i].value;
        }
    }
    if (mask != 0)
        text.append(Format("0x%lX ", (unsigned long)mask));
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
        return InputAs(e, &mask) ? std::string("Mask: ").append(PortmonEventMask(mask)) : "";
    }
    case IOCTL_SERIAL_PURGE: {
        ULONG mask;
        return InputAs(e, &mask) ? std::string("Purge: ").append(PortmonPurgeMask(mask)) : "";
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

std::string PortmonControlName(ULONG ioControlCode) {
    for (const Named& code : kControlCodes)
        if (code.value == ioControlCode)
            return code.name;
    return "";
}

std::string PortmonRequestName(UCHAR major, ULONG ioControlCode) {
    if (major == IRP_MJ_DEVICE_CONTROL) {
        // A code with no name (a probe) is the major function, its number in
        // the details.
        const std::string name = PortmonControlName(ioControlCode);
        return name.empty() ? "IRP_MJ_DEVICE_CONTROL" : name;
    }
    switch (major) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    case IRP_MJ_READ: return "IRP_MJ_READ";
    case IRP_MJ_WRITE: return "IRP_MJ_WRITE";
    case IRP_MJ_QUERY_INFORMATION: return "IRP_MJ_QUERY_INFORMATION";
    case IRP_MJ_SET_INFORMATION: return "IRP_MJ_SET_INFORMATION";
    case IRP_MJ_FLUSH_BUFFERS: return "IRP_MJ_FLUSH_BUFFERS";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
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
    return Flags(mask, kEvents, sizeof kEvents / sizeof kEvents[0]);
}

std::string PortmonPurgeMask(ULONG mask) {
    return Flags(mask, kPurges, sizeof kPurges / sizeof kPurges[0]);
}

std::string PortmonData(const void* data, size_t length, PortmonView view, size_t limit) {
    std::string text;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < length && i < limit; i++) {
        if (view == PortmonView::Hex)
            text.append(Format("%02X ", bytes[i]));
        else
            text.push_back(bytes[i] >= 0x20 && bytes[i] < 0x7F ? (char)bytes[i] : '.');
    }
    return text;
}

bool PortmonControlCode(const std::string& name, ULONG* code) {
    for (const Named& c : kControlCodes) {
        if (name == c.name) {
            *code = c.value;
            return true;
        }
    }
    static const Named kOlderNames[] = {{IOCTL_SERIAL_GET_CHARS, "IOCTL_SERIAL_GET_CHAR"},
                                        {IOCTL_SERIAL_SET_CHARS, "IOCTL_SERIAL_SET_CHARS"}};
    for (const Named& c : kOlderNames) {
        if (name == c.name) {
            *code = c.value;
            return true;
        }
    }
    return false;
}

size_t PortmonStatusPrefix(const std::string& text) {
    size_t best = 0;
    for (const Named& s : kStatuses) {
        const size_t n = strlen(s.name);
        if (n > best && text.compare(0, n, s.name) == 0 &&
            (text.size() == n || text[n] == ' ' || text[n] == '\t'))
            best = n;
    }
    return best;
}

namespace {

bool ParseFlags(const std::string& text, const Named* names, size_t count, ULONG* mask) {
    *mask = 0;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find_first_of(" \t", at);
        const std::string word = text.substr(at, end == std::string::npos ? end : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        if (word.empty())
            continue;
        bool known = false;
        for (size_t i = 0; i < count && !known; i++)
            if (word == names[i].name) {
                *mask |= names[i].value;
                known = true;
            }
        if (!known) {
            char* rest = nullptr;
            const unsigned long value = strtoul(word.c_str(), &rest, 16);
            if (word.rfind("0x", 0) != 0 || *rest != 0)
                return false;
            *mask |= (ULONG)value;
        }
    }
    return true;
}

} // namespace

bool PortmonParseEventMask(const std::string& text, ULONG* mask) {
    return ParseFlags(text, kEvents, sizeof kEvents / sizeof kEvents[0], mask);
}

bool PortmonParsePurgeMask(const std::string& text, ULONG* mask) {
    return ParseFlags(text, kPurges, sizeof kPurges / sizeof kPurges[0], mask);
}

namespace {

std::string LengthAndData(ULONG length, const void* data, PortmonView view) {
    return Format("Length %lu: ", (unsigned long)length)
        .append(data != nullptr ? PortmonData(data, length, view) : "");
}

// What the request asked, as Portmon shows it at issue.
std::string Issued(const sim::IoTraceEvent& sent, PortmonView view) {
    switch (sent.major) {
    case IRP_MJ_CREATE:
        return "Options: Open ";
    case IRP_MJ_READ:
        return Format("Length %lu", (unsigned long)sent.length);
    case IRP_MJ_WRITE:
        return LengthAndData(sent.length, sent.input, view);
    case IRP_MJ_DEVICE_CONTROL:
        if (PortmonControlName(sent.ioControlCode).empty())
            return Format("IOCTL: 0x%lX", (unsigned long)sent.ioControlCode);
        return ControlParameters(sent);
    default:
        return "";
    }
}

// What it returned, where that is the point.
std::string Result(const sim::IoTraceEvent& completed, PortmonView view) {
    const ULONG shown = Shown(completed);
    if (completed.major == IRP_MJ_READ)
        return shown != 0 ? LengthAndData(shown, completed.output, view) : "";
    if (completed.major == IRP_MJ_DEVICE_CONTROL &&
        completed.ioControlCode == IOCTL_SERIAL_CONFIG_SIZE && shown >= sizeof(ULONG)) {
        ULONG size;
        memcpy(&size, completed.output, sizeof size);
        return Format("Size: %lu", (unsigned long)size);
    }
    return "";
}

} // namespace

PortmonRecord PortmonIssued(unsigned long sequence, const std::string& process,
                            const sim::IoTraceEvent& sent, PortmonView view) {
    PortmonRecord r;
    r.sequence = sequence;
    r.process = process;
    r.request = PortmonRequestName(sent.major, sent.ioControlCode);
    r.device = PortmonDeviceName(sent.deviceName != nullptr ? sent.deviceName : u"");
    r.issued = Issued(sent, view);
    return r;
}

void PortmonCompleted(PortmonRecord* record, const sim::IoTraceEvent& completed,
                      PortmonView view) {
    record->completed = true;
    record->duration = completed.completedTime - completed.sentTime;
    record->status = PortmonStatus(completed.status);
    record->result = Result(completed, view);
}

std::string PortmonDetails(const PortmonRecord& record) {
    return record.result.empty() ? record.issued : record.result;
}

std::string PortmonDuration(LONGLONG duration) {
    return Format("%lld.%08lld", (long long)(duration / 10000000),
                  (long long)(duration % 10000000) * 10);
}

std::string PortmonIssueLine(const PortmonRecord& r) {
    return Format("%lu\t0.00000000\t", r.sequence)
        .append(r.process).append("\t").append(r.request).append("\t")
        .append(r.device).append("\t").append(r.issued);
}

std::string PortmonCompletionLine(const PortmonRecord& r) {
    return Format("%lu\t", r.sequence)
        .append(PortmonDuration(r.duration)).append("\t")
        .append(r.status).append("\t").append(r.result);
}

std::string PortmonOneLine(const PortmonRecord& r) {
    return Format("%lu\t", r.sequence)
        .append(PortmonDuration(r.completed ? r.duration : 0)).append("\t")
        .append(r.process).append("\t").append(r.request).append("\t")
        .append(r.device).append("\t").append(r.status).append("\t")
        .append(PortmonDetails(r)).append("\t");
}

PortmonTrace::PortmonTrace(FILE* live, std::string process, PortmonView view, FILE* log,
                           bool keep)
    : live_(live), log_(log), process_(std::move(process)), view_(view), keep_(keep) {
    sim::SetIoTraceHook([this](const sim::IoTraceEvent& e) { OnEvent(e); });
}

PortmonTrace::~PortmonTrace() {
    sim::SetIoTraceHook(nullptr);
    FlushPending();
}

void PortmonTrace::OnEvent(const sim::IoTraceEvent& e) {
    std::lock_guard<std::mutex> guard(lock_);
    if (e.phase == sim::IoTraceEvent::Phase::Sent) {
        const unsigned long number = next_++;
        numbers_[e.sequence] = number;
        PortmonRecord& r = records_[number] = PortmonIssued(number, process_, e, view_);
        if (live_ != nullptr) {
            fprintf(live_, "%s\n", PortmonIssueLine(r).c_str());
            fflush(live_);
        }
        return;
    }
    const auto number = numbers_.find(e.sequence);
    if (number == numbers_.end())
        return; // sent before the watcher was installed
    const auto it = records_.find(number->second);
    numbers_.erase(number);
    if (it == records_.end())
        return; // written to the log as pending and forgotten
    PortmonCompleted(&it->second, e, view_);
    if (live_ != nullptr) {
        fprintf(live_, "%s\n", PortmonCompletionLine(it->second).c_str());
        fflush(live_);
    }
    if (log_ != nullptr)
        WriteCompletedPrefix();
    else if (!keep_)
        records_.erase(it);
}

// Caller holds lock_.
void PortmonTrace::WriteCompletedPrefix() {
    for (auto it = records_.find(firstUnwritten_);
         it != records_.end() && it->first == firstUnwritten_ && it->second.completed;) {
        fprintf(log_, "%s\n", PortmonOneLine(it->second).c_str());
        firstUnwritten_++;
        it = keep_ ? std::next(it) : records_.erase(it);
    }
    fflush(log_);
}

void PortmonTrace::FlushPending() {
    std::lock_guard<std::mutex> guard(lock_);
    if (log_ != nullptr) {
        for (auto it = records_.lower_bound(firstUnwritten_); it != records_.end(); ++it)
            fprintf(log_, "%s\n", PortmonOneLine(it->second).c_str());
        fflush(log_);
        firstUnwritten_ = next_;
    }
    if (!keep_)
        records_.clear();
}

unsigned long PortmonTrace::Requests() const {
    std::lock_guard<std::mutex> guard(lock_);
    return next_;
}

std::optional<PortmonRecord> PortmonTrace::Record(unsigned long number) const {
    std::lock_guard<std::mutex> guard(lock_);
    const auto it = records_.find(number);
    if (it == records_.end())
        return std::nullopt;
    return it->second;
}

} // namespace vxqt70
