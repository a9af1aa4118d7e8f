// The run-time library's counted-string routines, wcslen and swprintf, with
// the semantics of ntoskrnl: lengths in bytes, no terminator counted, a
// terminator written only where room remains.
#include "platform/sim/ex_internal.h"

#include <cstdarg>
#include <cstdio>

namespace sim {

std::string Narrow(const WCHAR* text, size_t units) {
    std::string out;
    if (text == nullptr)
        return out;
    out.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        uint16_t c = (uint16_t)text[i];
        out.push_back(c < 0x100 ? (char)c : '?');
    }
    return out;
}

std::string Narrow(PCUNICODE_STRING string) {
    if (string == nullptr || string->Buffer == nullptr)
        return std::string();
    return Narrow(string->Buffer, string->Length / sizeof(WCHAR));
}

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        unsigned char c = (unsigned char)(tag >> (8 * i));
        if (c >= 0x20 && c < 0x7F) {
            text.push_back((char)c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        }
    }
    return "'" + text + "'";
}

namespace {

// A counted string that contradicts itself would have Windows write outside
// its buffer; here it stops the run at the call that received it.
void CheckString(PCUNICODE_STRING s, const char* routine, const char* which) {
    if (s == nullptr)
        return;
    const char* problem = nullptr;
    if (s->Length > s->MaximumLength)
        problem = "its Length is greater than its MaximumLength";
    else if ((s->Length & 1) != 0)
        problem = "its Length is an odd number of bytes";
    else if (s->Buffer == nullptr && s->MaximumLength != 0)
        problem = "it has a MaximumLength but no Buffer";
    if (problem == nullptr)
        return;
    BugCheck(kDriverVerifierDetectedViolation, kC4BadStringArgument, (ULONG_PTR)s, s->Length,
             s->MaximumLength,
             std::string(routine) + ": the " + which + " string is malformed: " + problem +
                 " (Length " + std::to_string(s->Length) + ", MaximumLength " +
                 std::to_string(s->MaximumLength) + ")");
}

size_t Units(const WCHAR* s) {
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

// The longest text a counted string can describe, in bytes, keeping room for
// a terminator (MAX_USTRING rounded down to whole characters).
constexpr size_t kMaxStringBytes = 0xFFFC;

} // namespace
} // namespace sim

using sim::CheckString;

extern "C" {

size_t SimWcslen(const WCHAR* s) { return sim::Units(s); }

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    // A longer text cannot be described by a USHORT length; Windows XP let
    // the length wrap silently, later versions clamp. Clamp.
    size_t bytes = sim::Units(SourceString) * sizeof(WCHAR);
    if (bytes > sim::kMaxStringBytes)
        bytes = sim::kMaxStringBytes;
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                PCUNICODE_STRING SourceString) {
    CheckString(DestinationString, "RtlCopyUnicodeString", "destination");
    CheckString(SourceString, "RtlCopyUnicodeString", "source");
    if (SourceString == nullptr || SourceString->Buffer == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = SourceString->Length;
    if (n > DestinationString->MaximumLength)
        n = DestinationString->MaximumLength & ~1;
    memmove(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    if (n < DestinationString->MaximumLength)
        DestinationString->Buffer[n / sizeof(WCHAR)] = 0;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    CheckString(Destination, "RtlAppendUnicodeToString", "destination");
    if (Source == nullptr)
        return STATUS_SUCCESS;
    size_t n = sim::Units(Source) * sizeof(WCHAR);
    if (n + Destination->Length > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memmove((PUCHAR)Destination->Buffer + Destination->Length, Source, n);
    Destination->Length = (USHORT)(Destination->Length + n);
    if (Destination->Length < Destination->MaximumLength)
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source) {
    CheckString(Destination, "RtlAppendUnicodeStringToString", "destination");
    CheckString(Source, "RtlAppendUnicodeStringToString", "source");
    USHORT n = Source->Length;
    if (n == 0)
        return STATUS_SUCCESS;
    if ((size_t)n + Destination->Length > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memmove((PUCHAR)Destination->Buffer + Destination->Length, Source->Buffer, n);
    Destination->Length = (USHORT)(Destination->Length + n);
    if (Destination->Length < Destination->MaximumLength)
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlIntegerToUnicodeString");
    CheckString(String, "RtlIntegerToUnicodeString", "destination");
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    WCHAR digits[33];
    size_t n = 0;
    do {
        digits[n++] = (WCHAR) "0123456789ABCDEF"[Value % Base];
        Value /= Base;
    } while (Value != 0);
    // The text and its terminator must fit. Windows sets Length before it
    // finds out that they do not, leaving a string that claims text it does
    // not hold; here a refused conversion leaves the string as it was.
    size_t bytes = n * sizeof(WCHAR);
    if (bytes >= String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < n; ++i)
        String->Buffer[i] = digits[n - 1 - i];
    String->Buffer[n] = 0;
    String->Length = (USHORT)bytes;
    return STATUS_SUCCESS;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlFreeUnicodeString");
    if (UnicodeString->Buffer != nullptr)
        ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

} // extern "C"

namespace {

WCHAR Upcase(WCHAR c) {
    uint16_t u = (uint16_t)c;
    if (u >= 'a' && u <= 'z')
        return (WCHAR)(u - 0x20);
    // Latin-1 letters; the rest of the upcase table is not needed by any
    // name the drivers compare.
    if (u >= 0xE0 && u <= 0xFE && u != 0xF7)
        return (WCHAR)(u - 0x20);
    return c;
}

} // namespace

extern "C" {

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive) {
    // The case-insensitive form reads the pageable upcase table.
    if (CaseInSensitive)
        sim::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlCompareUnicodeString (case-insensitive)");
    CheckString(String1, "RtlCompareUnicodeString", "first");
    CheckString(String2, "RtlCompareUnicodeString", "second");
    size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = Upcase(a);
            b = Upcase(b);
        }
        if (a != b)
            return (LONG)(uint16_t)a - (LONG)(uint16_t)b;
    }
    return (LONG)n1 - (LONG)n2;
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length)
        return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

// ntoskrnl's swprintf has no size argument. When the buffer is a pool block
// the simulation knows its end, and writing past it stops the run here
// rather than corrupting the next block.
int SimSwprintf(WCHAR* buffer, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    std::u16string text = sim::FormatKernel(format, true, args);
    va_end(args);
    size_t bytes = (text.size() + 1) * sizeof(WCHAR);
    const void* base = nullptr;
    size_t size = 0;
    if (sim::PoolBlockContaining(buffer, &base, &size)) {
        size_t room = size - (size_t)((const char*)buffer - (const char*)base);
        if (bytes > room)
            sim::BugCheck(sim::kDriverVerifierDetectedViolation, sim::kC4FormatOverrunsBlock,
                          (ULONG_PTR)buffer, bytes, room,
                          "swprintf wrote " + std::to_string(bytes) +
                              " bytes (with its terminator) where its pool block has " +
                              std::to_string(room) + " bytes left");
    }
    for (size_t i = 0; i < text.size(); ++i)
        buffer[i] = (WCHAR)text[i];
    buffer[text.size()] = 0;
    return (int)text.size();
}

} // extern "C"
