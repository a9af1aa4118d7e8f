// The Portmon log reader.
#include "tools/portmon_log.h"

#include "tools/portmon.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace vxqt70 {

namespace {

struct Token {
    std::string text;
    size_t end; // offset just past it in the line
};

std::vector<Token> Tokens(const std::string& line) {
    std::vector<Token> tokens;
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && isspace((unsigned char)line[at]))
            at++;
        if (at >= line.size())
            break;
        size_t end = at;
        while (end < line.size() && !isspace((unsigned char)line[end]))
            end++;
        tokens.push_back({line.substr(at, end - at), end});
        at = end;
    }
    return tokens;
}

bool AllDigits(const std::string& text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (!isdigit((unsigned char)c))
            return false;
    return true;
}

bool IsDuration(const std::string& text) {
    const size_t dot = text.find('.');
    return dot != std::string::npos && AllDigits(text.substr(0, dot)) &&
           AllDigits(text.substr(dot + 1));
}

bool IsRequestName(const std::string& name) {
    static const char* const kMajors[] = {
        "IRP_MJ_CREATE",         "IRP_MJ_CLOSE",          "IRP_MJ_READ",
        "IRP_MJ_WRITE",          "IRP_MJ_CLEANUP",        "IRP_MJ_DEVICE_CONTROL",
        "IRP_MJ_FLUSH_BUFFERS",  "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION",
        "IRP_MJ_INTERNAL_DEVICE_CONTROL"};
    for (const char* major : kMajors)
        if (name == major)
            return true;
    ULONG code;
    return PortmonControlCode(name, &code);
}

std::string Rest(const std::string& line, size_t from) {
    while (from < line.size() && isspace((unsigned char)line[from]))
        from++;
    std::string rest = line.substr(std::min(from, line.size()));
    while (!rest.empty() && isspace((unsigned char)rest.back()))
        rest.pop_back();
    return rest;
}

// Splits "STATUS details" when `text` starts with a status word.
bool SplitStatus(const std::string& text, std::string* status, std::string* details) {
    const size_t n = PortmonStatusPrefix(text);
    if (n == 0)
        return false;
    *status = text.substr(0, n);
    *details = Rest(text, n);
    return true;
}

bool IsHexPair(const std::string& text) {
    return text.size() == 2 && isxdigit((unsigned char)text[0]) && isxdigit((unsigned char)text[1]);
}

} // namespace

bool LogLength(const std::string& details, unsigned long* length) {
    if (details.rfind("Length ", 0) != 0)
        return false;
    char* end = nullptr;
    *length = strtoul(details.c_str() + 7, &end, 10);
    return end != details.c_str() + 7 && (*end == 0 || *end == ':');
}

bool LogData(const std::string& details, bool hex, int dot, std::vector<uint8_t>* data) {
    unsigned long length = 0;
    const size_t colon = details.find(": ");
    if (!LogLength(details, &length) || details.find(':') == std::string::npos)
        return false;
    const std::string text = colon == std::string::npos ? "" : details.substr(colon + 2);
    data->clear();
    if (hex) {
        for (const Token& t : Tokens(text))
            if (IsHexPair(t.text))
                data->push_back((uint8_t)strtoul(t.text.c_str(), nullptr, 16));
    } else {
        for (char c : text)
            data->push_back(c == '.' ? (uint8_t)dot : (uint8_t)c);
    }
    // A log keeps only so many bytes, and an excerpt may have lost trailing
    // blanks: what is missing is taken as spaces.
    data->resize(length, hex ? 0 : ' ');
    return true;
}

PortmonLog ReadPortmonLog(std::istream& in) {
    PortmonLog log;
    std::string line;
    size_t number = 0;
    unsigned long unnumbered = 0;
    auto unreadable = [&](const std::string& why) {
        log.unreadable.push_back({number, line, why});
    };
    while (std::getline(in, line)) {
        number++;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::vector<Token> t = Tokens(line);
        if (t.empty() || t[0].text[0] == '#' || (t.size() == 1 && t[0].text.rfind("[\\\\", 0) == 0))
            continue;
        size_t i = 0;
        unsigned long sequence = unnumbered;
        const bool numbered = AllDigits(t[0].text);
        if (numbered)
            sequence = strtoul(t[i++].text.c_str(), nullptr, 10);
        if (i >= t.size() || !IsDuration(t[i].text)) {
            unreadable("no duration where Portmon writes one");
            continue;
        }
        const std::string duration = t[i].text;
        // A completion line of the two-line form: sequence, duration, status.
        if (numbered && (i + 2 >= t.size() || !IsRequestName(t[i + 2].text))) {
            std::string status, details;
            if (!SplitStatus(Rest(line, t[i].end), &status, &details)) {
                unreadable(i + 2 < t.size() ? "unknown request " + t[i + 2].text
                                            : "cut short: no request or status");
                continue;
            }
            LogRequest* issued = nullptr;
            for (auto r = log.requests.rbegin(); r != log.requests.rend() && issued == nullptr; ++r)
                if (r->sequence == sequence && r->completionLine == 0 && !r->completed)
                    issued = &*r;
            if (issued == nullptr) {
                unreadable("the completion of a request the log does not show issued");
                continue;
            }
            issued->completed = true;
            issued->status = status;
            issued->duration = duration;
            issued->result = details;
            issued->completionLine = number;
            log.twoLine = true;
            continue;
        }
        if (i + 2 >= t.size()) {
            unreadable("cut short: no request or device");
            continue;
        }
        if (!IsRequestName(t[i + 2].text)) {
            unreadable("unknown request " + t[i + 2].text + " (cut short?)");
            continue;
        }
        if (i + 3 >= t.size()) {
            unreadable("cut short: no device");
            continue;
        }
        LogRequest r;
        r.line = number;
        r.sequence = sequence;
        r.process = t[i + 1].text;
        r.request = t[i + 2].text;
        r.device = t[i + 3].text;
        r.duration = duration;
        const std::string rest = Rest(line, t[i + 3].end);
        if (SplitStatus(rest, &r.status, &r.issued))
            r.completed = true;
        else
            r.issued = rest;
        r.result = r.issued;
        log.requests.push_back(r);
        unnumbered = numbered ? unnumbered : unnumbered + 1;
    }
    // The hex view shows every byte as a pair and a space; one "Length N: "
    // with N pairs and nothing else decides it.
    for (const LogRequest& r : log.requests) {
        for (const std::string* details : {&r.issued, &r.result}) {
            unsigned long length = 0;
            const size_t colon = details->find(": ");
            if (!LogLength(*details, &length) || colon == std::string::npos || length == 0)
                continue;
            const std::vector<Token> pairs = Tokens(details->substr(colon + 2));
            bool all = pairs.size() == length;
            for (const Token& p : pairs)
                all = all && IsHexPair(p.text);
            log.hex = log.hex || all;
        }
    }
    return log;
}

} // namespace vxqt70
