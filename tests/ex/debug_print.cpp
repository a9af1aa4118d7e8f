// DbgPrint as the kernel debugger shows it: Microsoft's printf conventions,
// collected into the debugger log.
#include "platform/sim/ex_internal.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

namespace {

// %ld and %lu are 32-bit, as LONG and ULONG are; %I64 is 64-bit. %ws, %S
// and %wZ are wide text, %wZ counted (no terminator needed); a NULL string
// prints as "(null)"; %p shows every digit of a pointer. Each newline ends
// a line of the log, an empty one too, and text without one is a line.
TEST(DebugPrint, FormatsFollowTheKernelsConventions) {
    sim::Kernel kernel;
    LONG minusOne = -1;
    ULONG big = 0xFFFFFFFFu;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\VXNTQT70MDM0-not-this-part");
    name.Length = (USHORT)(20 * sizeof(WCHAR));
    DbgPrint("%d %u %ld %lu %x %X %lx|%I64x|%I64d\n", -5, 7u, minusOne, big, 0xabcu, 0xabcu, big,
             0x123456789ULL, -3LL);
    DbgPrint("[%5d][%-5d][%05d][%+d][%.3d][%5.3x][%#x]\n", 42, 42, -42, 3, 7, 0xau, 255u);
    DbgPrint("[%c][%%][%3c]\n", 'A', 'z');
    DbgPrint("%ws|%S|%wZ|%s|%-6s|%.2s\n", L"COM5", L"wide", &name, "narrow", "ab", "xyz");
    DbgPrint("%s|%ws|%wZ\n", (const char*)nullptr, (const WCHAR*)nullptr,
             (const UNICODE_STRING*)nullptr);
    DbgPrint("%p\n\n", (void*)0x1234);
    DbgPrint("no newline");
    EXPECT_EQ(sim::DebugLogLines(),
              (std::vector<std::string>{
                  "-5 7 -1 4294967295 abc ABC ffffffff|123456789|-3",
                  "[   42][42   ][-0042][+3][007][  00a][0xff]", "[A][%][  z]",
                  "COM5|wide|\\Device\\VXNTQT70MDM0|narrow|ab    |xy", "(null)|(null)|(null)",
                  std::string(sizeof(void*) * 2 - 4, '0') + "1234", "", "no newline"}));
    sim::ClearDebugLog();
    EXPECT_EQ(sim::DebugLog(), "");
}

TEST(BugCheckReport, NamesCodeDriverAndCaller) {
    EXPECT_DEATH(
        {
            DRIVER_OBJECT driver{};
            RtlInitUnicodeString(&driver.DriverName, L"\\Driver\\vxqt70diag");
            sim::DriverScope scope(&driver);
            KeBugCheckEx(0xE2, 1, 2, 3, 4);
        },
        "\\*\\*\\* STOP: 0x000000E2 \\(0x00000001, 0x00000002, 0x00000003, 0x00000004\\)\n"
        "MANUALLY_INITIATED_CRASH\n"
        "the driver called KeBugCheckEx\n"
        "driver: vxqt70diag\n"
        "at: .*NamesCodeDriverAndCaller.* \\(in KeBugCheckEx\\)");
}

} // namespace
