// Counted strings, wcslen and swprintf with the kernel's semantics: byte
// lengths, terminators only where room remains, nothing changed on failure.
#include "platform/sim/ex_internal.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr ULONG kWdm = 0x206D6457;
constexpr WCHAR kFill = 0x7E7E; // what the test put in the buffer beforehand

std::u16string Text(const UNICODE_STRING& s) {
    return std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / 2);
}

// A counted string over a local buffer of `units` WCHARs plus sentinels
// beyond MaximumLength, to catch writes past it.
struct Buffer {
    WCHAR storage[64];
    UNICODE_STRING s;
    explicit Buffer(USHORT maxBytes) : s{0, maxBytes, storage} {
        std::fill(std::begin(storage), std::end(storage), kFill);
    }
    bool UntouchedFrom(size_t unit) const {
        return std::all_of(storage + unit, std::end(storage), [](WCHAR c) { return c == kFill; });
    }
};

TEST(RtlStrings, InitCountsTheTextAndItsTerminatorAndWcslenUnits) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, L"COM5");
    EXPECT_EQ(s.Length, 8);
    EXPECT_EQ(s.MaximumLength, 10);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);
    RtlInitUnicodeString(&s, L"");
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 2);
    // wcslen counts 16-bit units, whatever they hold.
    const WCHAR high[] = {0x263A, 0x0100, 0};
    EXPECT_EQ(wcslen(high), 2u);
    EXPECT_EQ(wcslen(L""), 0u);
}

// One call on a counted string over a buffer of `maxBytes`, which holds
// `before` (appended first): its status, the text after it, where a
// terminator must be (none when -1) and from which unit nothing was written.
// Whatever does not fit changes nothing; a terminator is written only where
// room remains within MaximumLength.
using Call = NTSTATUS (*)(PUNICODE_STRING);
struct StringRow {
    const char* name;
    USHORT maxBytes;
    const wchar_t* before;
    Call call;
    NTSTATUS status;
    const char16_t* text;
    int terminatorAt;
    size_t untouchedFrom;
};
void PrintTo(const StringRow& row, std::ostream* os) {
    *os << row.name;
}

NTSTATUS AppendCounted(PUNICODE_STRING s, PCWSTR text, USHORT bytes) {
    UNICODE_STRING tail;
    RtlInitUnicodeString(&tail, text);
    tail.Length = bytes;
    return RtlAppendUnicodeStringToString(s, &tail);
}
NTSTATUS Copy(PUNICODE_STRING s, PCWSTR text) {
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, text);
    RtlCopyUnicodeString(s, text != nullptr ? &source : nullptr);
    return STATUS_SUCCESS;
}
template <ULONG value, ULONG base> NTSTATUS Integer(PUNICODE_STRING s) {
    return RtlIntegerToUnicodeString(value, base, s);
}

// clang-format off
const StringRow kStringRows[] = {
    {"AppendTerminatesWhenRoomRemains", 12, L"", [](PUNICODE_STRING s) { return RtlAppendUnicodeToString(s, L"COM"); }, STATUS_SUCCESS, u"COM", 3, 4},
    {"AppendExactlyFullWritesNoTerminator", 12, L"COM", [](PUNICODE_STRING s) { return RtlAppendUnicodeToString(s, L"123"); }, STATUS_SUCCESS, u"COM123", -1, 6},
    {"AppendNothing", 12, L"COM", [](PUNICODE_STRING s) { return RtlAppendUnicodeToString(s, nullptr); }, STATUS_SUCCESS, u"COM", 3, 4},
    {"AppendThatDoesNotFit", 10, L"\\Dev", [](PUNICODE_STRING s) { return RtlAppendUnicodeToString(s, L"ice"); }, STATUS_BUFFER_TOO_SMALL, u"\\Dev", 4, 5},
    {"AppendStringThatDoesNotFit", 10, L"\\Dev", [](PUNICODE_STRING s) { return AppendCounted(s, L"ice", 6); }, STATUS_BUFFER_TOO_SMALL, u"\\Dev", 4, 5},
    {"AppendStringTakesItsCountOnly", 10, L"\\Dev", [](PUNICODE_STRING s) { return AppendCounted(s, L"ice", 2); }, STATUS_SUCCESS, u"\\Devi", -1, 5},
    {"CopyTruncatesToTheDestination", 8, L"", [](PUNICODE_STRING s) { return Copy(s, L"\\DosDevices\\COM5"); }, STATUS_SUCCESS, u"\\Dos", -1, 4},
    {"CopyReplacesAndTerminates", 64, L"abc", [](PUNICODE_STRING s) { return Copy(s, L"\\DosDevices\\COM5"); }, STATUS_SUCCESS, u"\\DosDevices\\COM5", 16, 17},
    {"CopyOfNothingEmpties", 64, L"abc", [](PUNICODE_STRING s) { return Copy(s, nullptr); }, STATUS_SUCCESS, u"", -1, 4},
    // In each base, and only with room for the terminator.
    {"IntegerZero", 100, L"", Integer<0, 10>, STATUS_SUCCESS, u"0", 1, 2},
    {"IntegerBase10", 100, L"", Integer<1234, 10>, STATUS_SUCCESS, u"1234", 4, 5},
    {"IntegerBase0IsTen", 100, L"", Integer<1234, 0>, STATUS_SUCCESS, u"1234", 4, 5},
    {"IntegerBase2", 100, L"", Integer<5, 2>, STATUS_SUCCESS, u"101", 3, 4},
    {"IntegerBase8", 100, L"", Integer<8, 8>, STATUS_SUCCESS, u"10", 2, 3},
    {"IntegerBase16", 100, L"", Integer<0xBEEF, 16>, STATUS_SUCCESS, u"BEEF", 4, 5},
    {"IntegerLargestBase10", 100, L"", Integer<0xFFFFFFFF, 10>, STATUS_SUCCESS, u"4294967295", 10, 11},
    {"IntegerLargestBase2", 100, L"", Integer<0xFFFFFFFF, 2>, STATUS_SUCCESS, u"11111111111111111111111111111111", 32, 33},
    {"IntegerBase3IsRefused", 6, L"", Integer<10, 3>, STATUS_INVALID_PARAMETER, u"", 0, 1},
    {"IntegerAndTerminatorJustFit", 6, L"", Integer<12, 10>, STATUS_SUCCESS, u"12", 2, 3},
    {"IntegerThatDoesNotFit", 6, L"12", Integer<123, 10>, STATUS_BUFFER_OVERFLOW, u"12", 2, 3},
};
// clang-format on

class RtlStringCalls : public ::testing::TestWithParam<StringRow> {};

TEST_P(RtlStringCalls, ChangeOnlyWhatFits) {
    const StringRow& row = GetParam();
    Buffer b(row.maxBytes);
    ASSERT_EQ(RtlAppendUnicodeToString(&b.s, row.before), STATUS_SUCCESS);
    EXPECT_EQ(row.call(&b.s), row.status);
    EXPECT_EQ(Text(b.s), row.text);
    if (row.terminatorAt >= 0) {
        EXPECT_EQ(b.storage[row.terminatorAt], 0);
    }
    EXPECT_TRUE(b.UntouchedFrom(row.untouchedFrom));
}

INSTANTIATE_TEST_SUITE_P(Rtl, RtlStringCalls, ::testing::ValuesIn(kStringRows),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(RtlStrings, FreeReturnsThePoolAndEmptiesTheString) {
    sim::Kernel kernel;
    UNICODE_STRING s;
    s.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, 258, kWdm));
    s.Length = 0;
    s.MaximumLength = 256;
    ASSERT_EQ(sim::PoolAllocations(), 1u);
    RtlFreeUnicodeString(&s);
    EXPECT_EQ(sim::PoolAllocations(), 0u);
    EXPECT_EQ(s.Buffer, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    RtlFreeUnicodeString(&s); // an empty string frees nothing
}

TEST(RtlStrings, CompareAndEqual) {
    UNICODE_STRING a, b, c;
    RtlInitUnicodeString(&a, L"\\Device\\VXNTQT70MDM0");
    RtlInitUnicodeString(&b, L"\\device\\vxntqt70mdm0");
    RtlInitUnicodeString(&c, L"\\Device\\VXNTQT70MDM");
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_LT(RtlCompareUnicodeString(&a, &b, FALSE), 0); // 'D' < 'd'
    EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&a, &c, FALSE), 0); // longer sorts after its prefix
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &c, TRUE));
}

TEST(RtlStrings, SwprintfLikeTheKernels) {
    WCHAR out[64];
    EXPECT_EQ(swprintf(out, L"\\DosDevices\\%ws", L"COM5"), 16);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(out)), u"\\DosDevices\\COM5");
    // In a wide format %s is wide and %S narrow.
    swprintf(out, L"%s-%S-%c-%C", L"wide", "narrow", L'w', 'n');
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(out)), u"wide-narrow-w-n");
    swprintf(out, L"[%d][%u][%x][%X][%04d][%-3d][%%]", -7, 7u, 0xabu, 0xabu, 42, 1);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(out)), u"[-7][7][ab][AB][0042][1  ][%]");
}

} // namespace
