// Counted strings, wcslen and swprintf with the kernel's semantics: byte
// lengths, terminators only where room remains, nothing changed on failure.
#include "platform/sim/ex_internal.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

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
    explicit Buffer(USHORT maxBytes) {
        for (WCHAR& c : storage)
            c = kFill;
        s.Buffer = storage;
        s.Length = 0;
        s.MaximumLength = maxBytes;
    }
    bool UntouchedFrom(size_t unit) const {
        for (size_t i = unit; i < 64; ++i)
            if (storage[i] != kFill)
                return false;
        return true;
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

TEST(RtlStrings, AppendTerminatesOnlyWhenRoomRemains) {
    Buffer b(12); // six units
    EXPECT_EQ(RtlAppendUnicodeToString(&b.s, L"COM"), STATUS_SUCCESS);
    EXPECT_EQ(Text(b.s), u"COM");
    EXPECT_EQ(b.storage[3], 0);
    EXPECT_EQ(RtlAppendUnicodeToString(&b.s, L"123"), STATUS_SUCCESS); // exactly full
    EXPECT_EQ(Text(b.s), u"COM123");
    EXPECT_TRUE(b.UntouchedFrom(6)); // no terminator written past MaximumLength
    EXPECT_EQ(RtlAppendUnicodeToString(&b.s, nullptr), STATUS_SUCCESS);
}

TEST(RtlStrings, AppendThatDoesNotFitChangesNothing) {
    Buffer b(10);
    RtlAppendUnicodeToString(&b.s, L"\\Dev");
    EXPECT_EQ(RtlAppendUnicodeToString(&b.s, L"ice"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Text(b.s), u"\\Dev");
    EXPECT_EQ(b.storage[4], 0);
    EXPECT_TRUE(b.UntouchedFrom(5));

    UNICODE_STRING tail;
    RtlInitUnicodeString(&tail, L"ice");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&b.s, &tail), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Text(b.s), u"\\Dev");
    tail.Length = 2; // counted: only "i"
    EXPECT_EQ(RtlAppendUnicodeStringToString(&b.s, &tail), STATUS_SUCCESS);
    EXPECT_EQ(Text(b.s), u"\\Devi");
    EXPECT_TRUE(b.UntouchedFrom(5));
}

TEST(RtlStrings, CopyTruncatesToTheDestination) {
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, L"\\DosDevices\\COM5");
    Buffer small(8);
    RtlCopyUnicodeString(&small.s, &source);
    EXPECT_EQ(Text(small.s), u"\\Dos");
    EXPECT_TRUE(small.UntouchedFrom(4));

    Buffer roomy(64);
    roomy.s.Length = 6;
    RtlCopyUnicodeString(&roomy.s, &source);
    EXPECT_EQ(Text(roomy.s), u"\\DosDevices\\COM5");
    EXPECT_EQ(roomy.storage[16], 0);

    RtlCopyUnicodeString(&roomy.s, nullptr);
    EXPECT_EQ(roomy.s.Length, 0);
}

// In each base, and only with room for the terminator.
TEST(RtlStrings, IntegerConversion) {
    struct Case {
        ULONG value, base;
        const char16_t* text;
    } cases[] = {{0, 10, u"0"},       {1234, 10, u"1234"},     {1234, 0, u"1234"},
                 {5, 2, u"101"},      {8, 8, u"10"},           {0xBEEF, 16, u"BEEF"},
                 {0xFFFFFFFF, 10, u"4294967295"}, {0xFFFFFFFF, 2, u"11111111111111111111111111111111"}};
    for (const Case& c : cases) {
        Buffer b(100);
        EXPECT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &b.s), STATUS_SUCCESS);
        EXPECT_EQ(Text(b.s), c.text) << c.value << " base " << c.base;
        EXPECT_EQ(b.storage[b.s.Length / 2], 0);
    }
    Buffer b(6); // three units: "12" and its terminator fit, "123" does not
    EXPECT_EQ(RtlIntegerToUnicodeString(10, 3, &b.s), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlIntegerToUnicodeString(12, 10, &b.s), STATUS_SUCCESS);
    EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, &b.s), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Text(b.s), u"12"); // a refused conversion leaves the string as it was
    EXPECT_TRUE(b.UntouchedFrom(3));
}

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
