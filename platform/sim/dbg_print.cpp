// The kernel debugger's output: what DbgPrint writes, kept for tests and
// echoed to stderr when VXQT70_DBGPRINT=1.
#include "platform/sim/ex_internal.h"
#include "platform/sim/sim.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace sim {

namespace {
std::mutex g_logMutex;
std::string g_log;

bool EchoToStderr() {
    const char* v = std::getenv("VXQT70_DBGPRINT");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

// Windows documents the Unicode conversions of DbgPrint as PASSIVE_LEVEL
// only (converting them may touch pageable tables).
bool HasUnicodeConversion(const char* format) {
    for (const char* p = format; *p != 0; ++p) {
        if (*p != '%')
            continue;
        ++p;
        if (*p == '%')
            continue;
        while (*p != 0 && std::strchr("-+ #0123456789.*", *p) != nullptr)
            ++p;
        if ((p[0] == 'w' || p[0] == 'l') && (p[1] == 's' || p[1] == 'c' || p[1] == 'Z'))
            return true;
        if (p[0] == 'S' || p[0] == 'C')
            return true;
        if (*p == 0)
            break;
    }
    return false;
}
} // namespace

void DbgStart() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log.clear();
}

std::string DebugLog() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_log;
}

std::vector<std::string> DebugLogLines() {
    std::string log = DebugLog();
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < log.size()) {
        size_t nl = log.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(log.substr(start));
            break;
        }
        lines.push_back(log.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

void ClearDebugLog() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log.clear();
}

void DbgPrintV(const char* format, va_list args) {
    if (HasUnicodeConversion(format))
        RequireIrqlAtMost(PASSIVE_LEVEL, "DbgPrint with a Unicode conversion (%ws, %wZ, %S)");
    std::u16string text = FormatKernel(format, false, args);
    // The debugger shows wide text converted to the ANSI code page; what does
    // not fit becomes '?'.
    std::string narrow;
    narrow.reserve(text.size());
    for (char16_t c : text)
        narrow.push_back(c < 0x100 ? (char)c : '?');
    {
        std::lock_guard<std::mutex> lock(g_logMutex);
        g_log += narrow;
    }
    if (EchoToStderr()) {
        ssize_t ignored = write(STDERR_FILENO, narrow.data(), narrow.size());
        (void)ignored;
    }
}

} // namespace sim

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
    if (Format == nullptr)
        return STATUS_SUCCESS;
    va_list args;
    va_start(args, Format);
    sim::DbgPrintV(Format, args);
    va_end(args);
    return STATUS_SUCCESS;
}
