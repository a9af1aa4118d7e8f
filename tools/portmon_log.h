// Reading a Portmon log as users send them: a one-line save (fields split by
// tabs, or by spaces where a tab became a space on its way), a two-line save
// (a line at issue and one at completion, "[\\MACHINE]" header included),
// with or without sequence numbers, ASCII or hex view, excerpts with lines
// left out or cut short. Lines that are not requests are counted and kept
// with the reason, never dropped in silence; '#' lines are comments.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace vxqt70 {

struct LogRequest {
    size_t line = 0;            // where it was issued (its one line, or its first)
    unsigned long sequence = 0; // the log's number (line order when it has none)
    std::string process, request, device;
    std::string issued;         // the details at issue (the one line's details)
    bool completed = false;     // the log gives a status
    std::string status;
    std::string duration;       // as written
    std::string result;         // the completion line's details (one-line: = issued)
    size_t completionLine = 0;  // two-line: where it completed (0: never)
};

struct UnreadableLine {
    size_t line = 0;
    std::string text, why;
};

struct PortmonLog {
    std::vector<LogRequest> requests; // in issue order
    std::vector<UnreadableLine> unreadable;
    bool twoLine = false;
    bool hex = false; // its data is in the hex view
};

PortmonLog ReadPortmonLog(std::istream& in);

// The data of "Length N: ..." details: the bytes in either view (a dot of
// the ASCII view becomes `dot`), padded or cut to N. False when the details
// carry no data.
bool LogData(const std::string& details, bool hex, int dot, std::vector<uint8_t>* data);
// N of "Length N" or "Length N: ..."; false when there is none.
bool LogLength(const std::string& details, unsigned long* length);

} // namespace vxqt70
