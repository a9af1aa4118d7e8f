// The kernel's printf: one formatter behind DbgPrint (narrow format) and
// swprintf (wide format). It follows the Microsoft conventions the drivers
// were written against, not the C library's: %ld and %lu are 32-bit (LONG and
// ULONG), %I64 and %ll are 64-bit, %ws and %wZ take wide text and counted
// strings, and in a wide format %s is wide while %S is narrow.
#include "platform/sim/ex_internal.h"

#include <cstdint>

namespace sim {

namespace {

struct Spec {
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
            Spec spec;
            for (;; ++i) {
                char16_t f = At(i);
                if (f == u'-')
                    spec.left = true;
                else if (f == u'0')
                    spec.zero = true;
                else if (f == u'+')
                    spec.plus = true;
                else if (f == u' ')
                    spec.space = true;
                else if (f == u'#')
                    spec.alt = true;
                else
                    break;
            }
            if (At(i) == u'*') {
                spec.width = va_arg(args, int);
                if (spec.width < 0) {
                    spec.left = true;
                    spec.width = -spec.width;
                }
                ++i;
            } else {
                while (At(i) >= u'0' && At(i) <= u'9')
                    spec.width = spec.width * 10 + (At(i++) - u'0');
            }
            if (At(i) == u'.') {
                ++i;
                spec.precision = 0;
                if (At(i) == u'*') {
                    spec.precision = va_arg(args, int);
                    ++i;
                } else {
                    while (At(i) >= u'0' && At(i) <= u'9')
                        spec.precision = spec.precision * 10 + (At(i++) - u'0');
                }
            }
            // Length modifiers.
            char16_t m = At(i);
            if (m == u'h') {
                ++i;
                spec.size = Spec::Short;
                if (At(i) == u'h') {
                    ++i;
                    spec.size = Spec::Char;
                }
            } else if (m == u'l') {
                ++i;
                spec.size = Spec::Long32;
                if (At(i) == u'l') {
                    ++i;
                    spec.size = Spec::Long64;
                }
            } else if (m == u'w') {
                ++i;
                spec.size = Spec::Wide;
            } else if (m == u'L' || m == u'q') {
                ++i;
                spec.size = Spec::Long64;
            } else if (m == u'z' || m == u'j' || m == u't') {
                ++i;
                spec.size = Spec::Pointer;
            } else if (m == u'I') {
                ++i;
                if (At(i) == u'6' && At(i + 1) == u'4') {
                    i += 2;
                    spec.size = Spec::Long64;
                } else if (At(i) == u'3' && At(i + 1) == u'2') {
                    i += 2;
                    spec.size = Spec::Long32;
                } else {
                    spec.size = Spec::Pointer;
                }
            }
            char16_t conv = At(i++);
            if (conv == 0)
                break;
            Convert(conv, spec, args);
        }
        return out_;
    }

private:
    char16_t At(size_t i) const {
        return wide_ ? (char16_t) static_cast<const WCHAR*>(format_)[i]
                     : (char16_t)(unsigned char)static_cast<const char*>(format_)[i];
    }

    void Pad(size_t length, const Spec& spec, char16_t fill = u' ') {
        for (size_t n = length; n < (size_t)spec.width; ++n)
            out_.push_back(fill);
    }

    void Text(const std::u16string& text, const Spec& spec) {
        if (!spec.left)
            Pad(text.size(), spec);
        out_ += text;
        if (spec.left)
            Pad(text.size(), spec);
    }

    void NarrowText(const char* s, int length, const Spec& spec) {
        std::u16string text;
        if (s == nullptr) {
            text = u"(null)";
        } else {
            for (int k = 0; (length < 0 || k < length) && s[k] != 0; ++k) {
                if (spec.precision >= 0 && k >= spec.precision)
                    break;
                text.push_back((char16_t)(unsigned char)s[k]);
            }
        }
        Text(text, spec);
    }

    void WideText(const WCHAR* s, int length, const Spec& spec) {
        std::u16string text;
        if (s == nullptr) {
            text = u"(null)";
        } else {
            for (int k = 0; (length < 0 || k < length) && (length >= 0 || s[k] != 0); ++k) {
                if (spec.precision >= 0 && k >= spec.precision)
                    break;
                text.push_back((char16_t)s[k]);
            }
        }
        Text(text, spec);
    }

    void Number(uint64_t magnitude, bool negative, unsigned base, bool upper, const Spec& spec,
                const char16_t* prefix) {
        std::u16string digits;
        const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        do {
            digits.insert(digits.begin(), (char16_t)set[magnitude % base]);
            magnitude /= base;
        } while (magnitude != 0);
        if (spec.precision == 0 && digits == u"0")
            digits.clear();
        while (spec.precision > 0 && digits.size() < (size_t)spec.precision)
            digits.insert(digits.begin(), u'0');
        std::u16string sign;
        if (negative)
            sign = u"-";
        else if (spec.plus)
            sign = u"+";
        else if (spec.space)
            sign = u" ";
        if (prefix != nullptr)
            sign += prefix;
        size_t total = sign.size() + digits.size();
        if (spec.left) {
            out_ += sign + digits;
            Pad(total, spec);
        } else if (spec.zero && spec.precision < 0) {
            out_ += sign;
            Pad(total, spec, u'0');
            out_ += digits;
        } else {
            Pad(total, spec);
            out_ += sign + digits;
        }
    }

    static int64_t Signed(const Spec& spec, va_list& args) {
        switch (spec.size) {
        case Spec::Long64:
            return va_arg(args, long long);
        case Spec::Pointer:
            return (int64_t)va_arg(args, intptr_t);
        case Spec::Short:
            return (short)va_arg(args, int);
        case Spec::Char:
            return (signed char)va_arg(args, int);
        default:
            return va_arg(args, int); // %d and %ld: LONG is 32 bits
        }
    }

    static uint64_t Unsigned(const Spec& spec, va_list& args) {
        switch (spec.size) {
        case Spec::Long64:
            return va_arg(args, unsigned long long);
        case Spec::Pointer:
            return (uint64_t)va_arg(args, uintptr_t);
        case Spec::Short:
            return (unsigned short)va_arg(args, unsigned);
        case Spec::Char:
            return (unsigned char)va_arg(args, unsigned);
        default:
            return va_arg(args, unsigned);
        }
    }

    void Convert(char16_t conv, Spec spec, va_list& args) {
        switch (conv) {
        case u'%':
            out_.push_back(u'%');
            return;
        case u'd':
        case u'i': {
            int64_t v = Signed(spec, args);
            Number(v < 0 ? (uint64_t)0 - (uint64_t)v : (uint64_t)v, v < 0, 10, false, spec,
                   nullptr);
            return;
        }
        case u'u':
            spec.plus = spec.space = false;
            Number(Unsigned(spec, args), false, 10, false, spec, nullptr);
            return;
        case u'o': {
            spec.plus = spec.space = false;
            uint64_t v = Unsigned(spec, args);
            Number(v, false, 8, false, spec, spec.alt && v != 0 ? u"0" : nullptr);
            return;
        }
        case u'x':
        case u'X': {
            spec.plus = spec.space = false;
            uint64_t v = Unsigned(spec, args);
            const char16_t* prefix = nullptr;
            if (spec.alt && v != 0)
                prefix = conv == u'x' ? u"0x" : u"0X";
            Number(v, false, 16, conv == u'X', spec, prefix);
            return;
        }
        case u'p': {
            // As the debugger shows pointers: every digit, upper case.
            Spec p = spec;
            p.plus = p.space = false;
            if (p.precision < 0)
                p.precision = (int)sizeof(void*) * 2;
            Number((uint64_t)(uintptr_t)va_arg(args, void*), false, 16, true, p, nullptr);
            return;
        }
        case u'c':
        case u'C': {
            bool wideChar = spec.size == Spec::Wide || spec.size == Spec::Long32 ||
                            (spec.size != Spec::Short && ((conv == u'c') == wide_));
            int v = va_arg(args, int);
            std::u16string text(1, wideChar ? (char16_t)(uint16_t)v : (char16_t)(unsigned char)v);
            Text(text, spec);
            return;
        }
        case u's':
        case u'S': {
            bool wideText = spec.size == Spec::Wide || spec.size == Spec::Long32 ||
                            (spec.size != Spec::Short && ((conv == u's') == wide_));
            if (wideText)
                WideText(va_arg(args, const WCHAR*), -1, spec);
            else
                NarrowText(va_arg(args, const char*), -1, spec);
            return;
        }
        case u'Z': {
            // %wZ: a UNICODE_STRING; %Z: an ANSI_STRING. Counted, not terminated.
            if (spec.size == Spec::Wide) {
                auto* s = va_arg(args, const UNICODE_STRING*);
                if (s == nullptr || s->Buffer == nullptr)
                    WideText(nullptr, -1, spec);
                else
                    WideText(s->Buffer, s->Length / 2, spec);
            } else {
                auto* s = va_arg(args, const STRING*);
                if (s == nullptr || s->Buffer == nullptr)
                    NarrowText(nullptr, -1, spec);
                else
                    NarrowText(s->Buffer, s->Length, spec);
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
