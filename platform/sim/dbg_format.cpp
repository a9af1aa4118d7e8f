// The kernel's printf: one formatter behind DbgPrint (narrow format) and
// swprintf (wide format). It follows the Microsoft conventions the drivers
// were written against, not the C library's: %ld and %lu are 32-bit (LONG and
// ULONG), %I64 and %ll are 64-bit, %ws and %wZ take wide text and counted
// strings, and in a wide format %s is wide while %S is narrow.
#include "platform/sim/ex_internal.h"

#include <cstdint>

namespace sim {

namespace {

struct Directive {
    bool left = false, zero = false, plus = false, space = false, alt = false;
    int width = 0;
    int precision = -1;
    enum { Default, Short, Char, Long32, Long64, Pointer, Wide, Narrow } size = Default;
};

class Formatter {
public:
    Formatter(const void* format, bool wideFormat) : format_(format), wide_(wideFormat) {}

    std::u16string Run(va_list& args) {
        size_t i = 0;
        for (;;) {
            char16_t c = At(i++);
            if (c == 0)
                break;
            if (c != u'%') {
                out_.push_back(c);
                continue;
            }
            Directive directive;
            for (;; ++i) {
                char16_t f = At(i);
                if (f == u'-')
                    directive.left = true;
                else if (f == u'0')
                    directive.zero = true;
                else if (f == u'+')
                    directive.plus = true;
                else if (f == u' ')
                    directive.space = true;
                else if (f == u'#')
                    directive.alt = true;
                else
                    break;
            }
            if (At(i) == u'*') {
                directive.width = va_arg(args, int);
                if (directive.width < 0) {
                    directive.left = true;
                    directive.width = -directive.width;
                }
                ++i;
            } else {
                while (At(i) >= u'0' && At(i) <= u'9')
                    directive.width = directive.width * 10 + (At(i++) - u'0');
            }
            if (At(i) == u'.') {
                ++i;
                directive.precision = 0;
                if (At(i) == u'*') {
                    directive.precision = va_arg(args, int);
                    ++i;
                } else {
                    while (At(i) >= u'0' && At(i) <= u'9')
                        directive.precision = directive.precision * 10 + (At(i++) - u'0');
                }
            }
            // Length modifiers.
            char16_t m = At(i);
            if (m == u'h') {
                ++i;
                directive.size = Directive::Short;
                if (At(i) == u'h') {
                    ++i;
                    directive.size = Directive::Char;
                }
            } else if (m == u'l') {
                ++i;
                directive.size = Directive::Long32;
                if (At(i) == u'l') {
                    ++i;
                    directive.size = Directive::Long64;
                }
            } else if (m == u'w') {
                ++i;
                directive.size = Directive::Wide;
            } else if (m == u'L' || m == u'q') {
                ++i;
                directive.size = Directive::Long64;
            } else if (m == u'z' || m == u'j' || m == u't') {
                ++i;
                directive.size = Directive::Pointer;
            } else if (m == u'I') {
                ++i;
                if (At(i) == u'6' && At(i + 1) == u'4') {
                    i += 2;
                    directive.size = Directive::Long64;
                } else if (At(i) == u'3' && At(i + 1) == u'2') {
                    i += 2;
                    directive.size = Directive::Long32;
                } else {
                    directive.size = Directive::Pointer;
                }
            }
            char16_t conv = At(i++);
            if (conv == 0)
                break;
            Convert(conv, directive, args);
        }
        return out_;
    }

private:
    char16_t At(size_t i) const {
        return wide_ ? (char16_t) static_cast<const WCHAR*>(format_)[i]
                     : (char16_t)(unsigned char)static_cast<const char*>(format_)[i];
    }

    void Pad(size_t length, const Directive& directive, char16_t fill = u' ') {
        for (size_t n = length; n < (size_t)directive.width; ++n)
            out_.push_back(fill);
    }

    void Text(const std::u16string& text, const Directive& directive) {
        if (!directive.left)
            Pad(text.size(), directive);
        out_ += text;
        if (directive.left)
            Pad(text.size(), directive);
    }

    void NarrowText(const char* s, int length, const Directive& directive) {
        std::u16string text;
        if (s == nullptr) {
            text = u"(null)";
        } else {
            for (int k = 0; (length < 0 || k < length) && s[k] != 0; ++k) {
                if (directive.precision >= 0 && k >= directive.precision)
                    break;
                text.push_back((char16_t)(unsigned char)s[k]);
            }
        }
        Text(text, directive);
    }

    void WideText(const WCHAR* s, int length, const Directive& directive) {
        std::u16string text;
        if (s == nullptr) {
            text = u"(null)";
        } else {
            for (int k = 0; (length < 0 || k < length) && (length >= 0 || s[k] != 0); ++k) {
                if (directive.precision >= 0 && k >= directive.precision)
                    break;
                text.push_back((char16_t)s[k]);
            }
        }
        Text(text, directive);
    }

    void Number(uint64_t magnitude, bool negative, unsigned base, bool upper, const Directive& directive,
                const char16_t* prefix) {
        std::u16string digits;
        const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        do {
            digits.insert(digits.begin(), (char16_t)set[magnitude % base]);
            magnitude /= base;
        } while (magnitude != 0);
        if (directive.precision == 0 && digits == u"0")
            digits.clear();
        while (directive.precision > 0 && digits.size() < (size_t)directive.precision)
            digits.insert(digits.begin(), u'0');
        std::u16string sign;
        if (negative)
            sign = u"-";
        else if (directive.plus)
            sign = u"+";
        else if (directive.space)
            sign = u" ";
        if (prefix != nullptr)
            sign += prefix;
        size_t total = sign.size() + digits.size();
        if (directive.left) {
            out_ += sign + digits;
            Pad(total, directive);
        } else if (directive.zero && directive.precision < 0) {
            out_ += sign;
            Pad(total, directive, u'0');
            out_ += digits;
        } else {
            Pad(total, directive);
            out_ += sign + digits;
        }
    }

    static int64_t Signed(const Directive& directive, va_list& args) {
        switch (directive.size) {
        case Directive::Long64:
            return va_arg(args, long long);
        case Directive::Pointer:
            return (int64_t)va_arg(args, intptr_t);
        case Directive::Short:
            return (short)va_arg(args, int);
        case Directive::Char:
            return (signed char)va_arg(args, int);
        default:
            return va_arg(args, int); // %d and %ld: LONG is 32 bits
        }
    }

    static uint64_t Unsigned(const Directive& directive, va_list& args) {
        switch (directive.size) {
        case Directive::Long64:
            return va_arg(args, unsigned long long);
        case Directive::Pointer:
            return (uint64_t)va_arg(args, uintptr_t);
        case Directive::Short:
            return (unsigned short)va_arg(args, unsigned);
        case Directive::Char:
            return (unsigned char)va_arg(args, unsigned);
        default:
            return va_arg(args, unsigned);
        }
    }

    void Convert(char16_t conv, Directive directive, va_list& args) {
        switch (conv) {
        case u'%':
            out_.push_back(u'%');
            return;
        case u'd':
        case u'i': {
            int64_t v = Signed(directive, args);
            Number(v < 0 ? (uint64_t)0 - (uint64_t)v : (uint64_t)v, v < 0, 10, false, directive,
                   nullptr);
            return;
        }
        case u'u':
            directive.plus = directive.space = false;
            Number(Unsigned(directive, args), false, 10, false, directive, nullptr);
            return;
        case u'o': {
            directive.plus = directive.space = false;
            uint64_t v = Unsigned(directive, args);
            Number(v, false, 8, false, directive, directive.alt && v != 0 ? u"0" : nullptr);
            return;
        }
        case u'x':
        case u'X': {
            directive.plus = directive.space = false;
            uint64_t v = Unsigned(directive, args);
            const char16_t* prefix = nullptr;
            if (directive.alt && v != 0)
                prefix = conv == u'x' ? u"0x" : u"0X";
            Number(v, false, 16, conv == u'X', directive, prefix);
            return;
        }
        case u'p': {
            // As the debugger shows pointers: every digit, upper case.
            Directive p = directive;
            p.plus = p.space = false;
            if (p.precision < 0)
                p.precision = (int)sizeof(void*) * 2;
            Number((uint64_t)(uintptr_t)va_arg(args, void*), false, 16, true, p, nullptr);
            return;
        }
        case u'c':
        case u'C': {
            bool wideChar = directive.size == Directive::Wide || directive.size == Directive::Long32 ||
                            (directive.size != Directive::Short && ((conv == u'c') == wide_));
            int v = va_arg(args, int);
            std::u16string text(1, wideChar ? (char16_t)(uint16_t)v : (char16_t)(unsigned char)v);
            Text(text, directive);
            return;
        }
        case u's':
        case u'S': {
            bool wideText = directive.size == Directive::Wide || directive.size == Directive::Long32 ||
                            (directive.size != Directive::Short && ((conv == u's') == wide_));
            if (wideText)
                WideText(va_arg(args, const WCHAR*), -1, directive);
            else
                NarrowText(va_arg(args, const char*), -1, directive);
            return;
        }
        case u'Z': {
            // %wZ: a UNICODE_STRING; %Z: an ANSI_STRING. Counted, not terminated.
            if (directive.size == Directive::Wide) {
                auto* s = va_arg(args, const UNICODE_STRING*);
                if (s == nullptr || s->Buffer == nullptr)
                    WideText(nullptr, -1, directive);
                else
                    WideText(s->Buffer, s->Length / 2, directive);
            } else {
                auto* s = va_arg(args, const STRING*);
                if (s == nullptr || s->Buffer == nullptr)
                    NarrowText(nullptr, -1, directive);
                else
                    NarrowText(s->Buffer, s->Length, directive);
            }
            return;
        }
        case u'n':
            // Writing through a caller's pointer from a format string is how
            // format-string attacks work; the kernel's printf does not do it.
            (void)va_arg(args, void*);
            return;
        default:
            // An unknown conversion is shown as written, so the mistake is visible.
            out_.push_back(u'%');
            out_.push_back(conv);
            return;
        }
    }

    const void* format_;
    bool wide_;
    std::u16string out_;
};

} // namespace

std::u16string FormatKernel(const void* format, bool wideFormat, va_list args) {
    if (format == nullptr)
        return std::u16string();
    va_list copy;
    va_copy(copy, args);
    std::u16string out = Formatter(format, wideFormat).Run(copy);
    va_end(copy);
    return out;
}

} // namespace sim
