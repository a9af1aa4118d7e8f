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
            i = Flags(i, &directive);
            i = WidthAndPrecision(i, &directive, args);
            i = LengthModifier(i, &directive);
            char16_t conv = At(i++);
            if (conv == 0)
                break;
            Convert(conv, directive, args);
        }
        return out_;
    }

private:
    // Each step reads its part of a directive from position i and returns
    // the position after it.
    size_t Flags(size_t i, Directive* directive) const {
        for (;; ++i) {
            char16_t f = At(i);
            if (f == u'-')
                directive->left = true;
            else if (f == u'0')
                directive->zero = true;
            else if (f == u'+')
                directive->plus = true;
            else if (f == u' ')
                directive->space = true;
            else if (f == u'#')
                directive->alt = true;
            else
                return i;
        }
    }

    // A '*' takes the value from the arguments; a negative width means
    // left-justified, as in C.
    size_t WidthAndPrecision(size_t i, Directive* directive, va_list& args) const {
        if (At(i) == u'*') {
            directive->width = va_arg(args, int);
            if (directive->width < 0) {
                directive->left = true;
                directive->width = -directive->width;
            }
            ++i;
        } else {
            i = Digits(i, &directive->width);
        }
        if (At(i) != u'.')
            return i;
        ++i;
        directive->precision = 0;
        if (At(i) != u'*')
            return Digits(i, &directive->precision);
        directive->precision = va_arg(args, int);
        return i + 1;
    }

    size_t Digits(size_t i, int* value) const {
        while (At(i) >= u'0' && At(i) <= u'9')
            *value = *value * 10 + (At(i++) - u'0');
        return i;
    }

    // The C modifiers plus Microsoft's w (wide), I (pointer-sized), I32 and I64.
    size_t LengthModifier(size_t i, Directive* directive) const {
        const char16_t m = At(i);
        if (m == u'h') {
            directive->size = At(i + 1) == u'h' ? Directive::Char : Directive::Short;
            return directive->size == Directive::Char ? i + 2 : i + 1;
        }
        if (m == u'l') {
            directive->size = At(i + 1) == u'l' ? Directive::Long64 : Directive::Long32;
            return directive->size == Directive::Long64 ? i + 2 : i + 1;
        }
        if (m == u'w') {
            directive->size = Directive::Wide;
            return i + 1;
        }
        if (m == u'L' || m == u'q') {
            directive->size = Directive::Long64;
            return i + 1;
        }
        if (m == u'z' || m == u'j' || m == u't') {
            directive->size = Directive::Pointer;
            return i + 1;
        }
        if (m != u'I')
            return i;
        if (At(i + 1) == u'6' && At(i + 2) == u'4') {
            directive->size = Directive::Long64;
            return i + 3;
        }
        if (At(i + 1) == u'3' && At(i + 2) == u'2') {
            directive->size = Directive::Long32;
            return i + 3;
        }
        directive->size = Directive::Pointer;
        return i + 1;
    }

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
        case u'i':
        case u'u':
        case u'o':
        case u'x':
        case u'X':
        case u'p':
            ConvertNumber(conv, directive, args);
            return;
        case u'c':
        case u'C':
        case u's':
        case u'S':
        case u'Z':
            ConvertText(conv, directive, args);
            return;
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

    void ConvertNumber(char16_t conv, Directive directive, va_list& args) {
        if (conv == u'd' || conv == u'i') {
            int64_t v = Signed(directive, args);
            Number(v < 0 ? (uint64_t)0 - (uint64_t)v : (uint64_t)v, v < 0, 10, false, directive,
                   nullptr);
            return;
        }
        // Unsigned conversions have no sign to show.
        directive.plus = directive.space = false;
        if (conv == u'p') {
            // As the debugger shows pointers: every digit, upper case.
            if (directive.precision < 0)
                directive.precision = (int)sizeof(void*) * 2;
            Number((uint64_t)(uintptr_t)va_arg(args, void*), false, 16, true, directive, nullptr);
            return;
        }
        uint64_t v = Unsigned(directive, args);
        if (conv == u'u') {
            Number(v, false, 10, false, directive, nullptr);
        } else if (conv == u'o') {
            Number(v, false, 8, false, directive, directive.alt && v != 0 ? u"0" : nullptr);
        } else {
            const char16_t* prefix = nullptr;
            if (directive.alt && v != 0)
                prefix = conv == u'x' ? u"0x" : u"0X";
            Number(v, false, 16, conv == u'X', directive, prefix);
        }
    }

    void ConvertText(char16_t conv, const Directive& directive, va_list& args) {
        if (conv == u'Z') {
            CountedText(directive, args);
            return;
        }
        // w and l make it wide, h narrow; otherwise %c and %s follow the
        // format's own width and %C and %S the other one.
        const bool lower = conv == u'c' || conv == u's';
        const bool wide = directive.size == Directive::Wide ||
                          directive.size == Directive::Long32 ||
                          (directive.size != Directive::Short && lower == wide_);
        if (conv == u'c' || conv == u'C') {
            int v = va_arg(args, int);
            std::u16string text(1, wide ? (char16_t)(uint16_t)v : (char16_t)(unsigned char)v);
            Text(text, directive);
        } else if (wide) {
            WideText(va_arg(args, const WCHAR*), -1, directive);
        } else {
            NarrowText(va_arg(args, const char*), -1, directive);
        }
    }

    // %wZ: a UNICODE_STRING; %Z: an ANSI_STRING. Counted, not terminated.
    void CountedText(const Directive& directive, va_list& args) {
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
