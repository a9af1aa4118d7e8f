// Text helpers of the object-manager family: UTF-8/UTF-16 conversion, name
// folding for case-insensitive lookups, GUID text, capturing a driver's
// counted strings with the checks the object manager makes when it probes them.
#include "platform/sim/ex_internal.h"
#include "platform/sim/ke_internal.h"
#include "platform/sim/ob_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

std::u16string U16(const std::string& utf8) {
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        uint32_t cp = b;
        size_t extra = 0;
        if (b >= 0xF0) {
            cp = b & 0x07u;
            extra = 3;
        } else if (b >= 0xE0) {
            cp = b & 0x0Fu;
            extra = 2;
        } else if (b >= 0xC0) {
            cp = b & 0x1Fu;
            extra = 1;
        }
        ++i;
        for (size_t k = 0; k < extra && i < utf8.size(); ++k, ++i)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3Fu);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string U8(const std::u16string& utf16) {
    std::string out;
    for (size_t i = 0; i < utf16.size(); ++i) {
        uint32_t cp = utf16[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::u16string U16(PCUNICODE_STRING string) {
    if (string == nullptr || string->Buffer == nullptr)
        return {};
    return std::u16string(reinterpret_cast<const char16_t*>(string->Buffer), string->Length / 2);
}

std::u16string ObCapture(PCUNICODE_STRING string, const char* routine) {
    if (string == nullptr)
        BugCheck(kDriverVerifierDetectedViolation, kC4BadStringArgument, 0, 0, 0,
                 std::string(routine) + ": NULL UNICODE_STRING pointer");
    if ((string->Length & 1) != 0 || string->Length > string->MaximumLength ||
        (string->Buffer == nullptr && string->Length != 0)) {
        char detail[160];
        std::snprintf(detail, sizeof detail,
                      ": UNICODE_STRING contradicts itself (Length %u, MaximumLength %u, "
                      "Buffer %p)",
                      string->Length, string->MaximumLength,
                      static_cast<const void*>(string->Buffer));
        BugCheck(kDriverVerifierDetectedViolation, kC4BadStringArgument,
                 reinterpret_cast<ULONG_PTR>(string), string->Length, string->MaximumLength,
                 std::string(routine) + detail);
    }
    return U16(string);
}

std::u16string ObCapture(PCWSTR text, const char* routine) {
    if (text == nullptr)
        BugCheck(kDriverVerifierDetectedViolation, kC4BadStringArgument, 0, 0, 0,
                 std::string(routine) + ": NULL string pointer");
    std::u16string out;
    for (const WCHAR* p = text; *p != 0; ++p)
        out.push_back(static_cast<char16_t>(*p));
    return out;
}

std::u16string ObFold(const std::u16string& text) {
    std::u16string out(text);
    for (auto& c : out) {
        if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
            c = static_cast<char16_t>(c - 0x20);
    }
    return out;
}

bool ObEqualNoCase(const std::u16string& a, const std::u16string& b) {
    return a.size() == b.size() && ObFold(a) == ObFold(b);
}

std::u16string ObGuidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return U16(text);
}

std::vector<std::u16string> ObSplitPath(const std::u16string& path) {
    std::vector<std::u16string> parts;
    std::u16string current;
    for (char16_t c : path) {
        if (c == u'\\') {
            if (!current.empty())
                parts.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty())
        parts.push_back(current);
    return parts;
}

bool SameGuid(const GUID& a, const GUID& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

} // namespace sim
