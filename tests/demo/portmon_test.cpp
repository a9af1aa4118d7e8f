// The Portmon-style log lines, checked against lines of real Portmon logs:
// a user compares our trace with theirs, so the words and number formats
// must be Portmon's.
#include "tools/portmon.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using vxqt70::PortmonLine;
using vxqt70::PortmonParameters;
using vxqt70::PortmonResult;

sim::IoTraceEvent Control(ULONG code, const void* input, ULONG length) {
    sim::IoTraceEvent e;
    e.major = IRP_MJ_DEVICE_CONTROL;
    e.ioControlCode = code;
    e.input = input;
    e.inputLength = length;
    e.deviceName = u"\\Device\\Serial0";
    return e;
}

template <typename T> std::string ParametersOf(ULONG code, const T& value) {
    return PortmonParameters(Control(code, &value, sizeof value));
}

TEST(PortmonFormat, SettingsReadAsInAUpsMonitorsLog) {
    SERIAL_TIMEOUTS timeouts = {0xFFFFFFFF, 5, 80, 0, 0};
    EXPECT_EQ(ParametersOf(IOCTL_SERIAL_SET_TIMEOUTS, timeouts), "RI:-1 RM:5 RC:80 WM:0 WC:0");
    SERIAL_BAUD_RATE baud = {2400};
    EXPECT_EQ(ParametersOf(IOCTL_SERIAL_SET_BAUD_RATE, baud), "Rate: 2400");
    SERIAL_LINE_CONTROL line = {STOP_BIT_1, NO_PARITY, 8};
    EXPECT_EQ(ParametersOf(IOCTL_SERIAL_SET_LINE_CONTROL, line),
              "StopBits: 1 Parity: NONE WordLength: 8");
    SERIAL_CHARS chars = {0, 0, 0, 0x0D, 0x11, 0x13};
    EXPECT_EQ(ParametersOf(IOCTL_SERIAL_SET_CHARS, chars),
              "EOF:0 ERR:0 BRK:0 EVT:d XON:11 XOFF:13");
    SERIAL_HANDFLOW flow = {1, 0x40, 2048, 512};
    EXPECT_EQ(ParametersOf(IOCTL_SERIAL_SET_HANDFLOW, flow),
              "Shake:1 Replace:40 XonLimit:2048 XoffLimit:512");
    ULONG mask = SERIAL_EV_RXCHAR;
    EXPECT_EQ(ParametersOf(IOCTL_SERIAL_SET_WAIT_MASK, mask), "Mask: RXCHAR");
}

TEST(PortmonFormat, OtherLineSettingsAndMasksAreSpelledOut) {
    SERIAL_LINE_CONTROL line = {STOP_BITS_2, EVEN_PARITY, 7};
    EXPECT_EQ(ParametersOf(IOCTL_SERIAL_SET_LINE_CONTROL, line),
              "StopBits: 2 Parity: EVEN WordLength: 7");
    ULONG mask = SERIAL_EV_RLSD | SERIAL_EV_DSR | 0x8000;
    EXPECT_EQ(ParametersOf(IOCTL_SERIAL_SET_WAIT_MASK, mask), "Mask: DSR RLSD 0x8000");
    ULONG none = 0;
    EXPECT_EQ(ParametersOf(IOCTL_SERIAL_SET_WAIT_MASK, none), "Mask: 0");
    ULONG purge = SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR;
    EXPECT_EQ(ParametersOf(IOCTL_SERIAL_PURGE, purge), "Purge: RXABORT RXCLEAR");
    SERIAL_QUEUE_SIZE queue = {4096, 2048};
    EXPECT_EQ(ParametersOf(IOCTL_SERIAL_SET_QUEUE_SIZE, queue), "InSize: 4096 OutSize: 2048");
}

TEST(PortmonFormat, AShortInputBufferIsNotDecoded) {
    SERIAL_BAUD_RATE baud = {9600};
    EXPECT_EQ(PortmonParameters(Control(IOCTL_SERIAL_SET_BAUD_RATE, &baud, 2)), "");
    EXPECT_EQ(PortmonParameters(Control(IOCTL_SERIAL_SET_BAUD_RATE, nullptr, 0)), "");
}

TEST(PortmonFormat, RequestNamesArePortmons) {
    EXPECT_EQ(vxqt70::PortmonRequestName(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_CHARS),
              "IOCTL_SERIAL_SET_CHAR");
    EXPECT_EQ(vxqt70::PortmonRequestName(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_CHARS),
              "IOCTL_SERIAL_GET_CHAR");
    EXPECT_EQ(vxqt70::PortmonRequestName(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK),
              "IOCTL_SERIAL_WAIT_ON_MASK");
    EXPECT_EQ(vxqt70::PortmonRequestName(IRP_MJ_CLEANUP, 0), "IRP_MJ_CLEANUP");
    // A code a program probes with shows by number, not as a serial request.
    EXPECT_EQ(vxqt70::PortmonRequestName(IRP_MJ_DEVICE_CONTROL, 0x001B0FFC),
              "IOCTL: 0x001B0FFC");
}

TEST(PortmonFormat, StatusesAreWordsAndUnknownOnesHex) {
    EXPECT_EQ(vxqt70::PortmonStatus(STATUS_SUCCESS), "SUCCESS");
    EXPECT_EQ(vxqt70::PortmonStatus(STATUS_TIMEOUT), "TIMEOUT");
    EXPECT_EQ(vxqt70::PortmonStatus(STATUS_CANCELLED), "CANCELLED");
    EXPECT_EQ(vxqt70::PortmonStatus(STATUS_INVALID_PARAMETER), "INVALID PARAMETER");
    EXPECT_EQ(vxqt70::PortmonStatus(STATUS_DELETE_PENDING), "DELETE PENDING");
    EXPECT_EQ(vxqt70::PortmonStatus((NTSTATUS)0xC0001234), "0xC0001234");
}

TEST(PortmonFormat, DataShowsPrintableBytesAndDotsCutShort) {
    const char write[] = {'Q', '1', '\r'};
    sim::IoTraceEvent e;
    e.major = IRP_MJ_WRITE;
    e.length = 3;
    e.input = write;
    e.inputLength = 3;
    EXPECT_EQ(PortmonParameters(e), "Length 3: Q1.");
    const std::string longer(100, 'x');
    EXPECT_EQ(vxqt70::PortmonData(longer.data(), longer.size()).size(), 64u);
}

TEST(PortmonFormat, AReadShowsWhatItReturnedNotWhatItAskedFor) {
    const char buffer[] = "OK\r\nleftover";
    sim::IoTraceEvent e;
    e.major = IRP_MJ_READ;
    e.length = sizeof buffer;
    e.outputLength = sizeof buffer;
    e.output = buffer;
    e.information = 4;
    EXPECT_EQ(PortmonResult(e), "Length 4: OK..");
    // A lying Information never reads past the caller's buffer.
    e.outputLength = 2;
    EXPECT_EQ(PortmonResult(e), "Length 2: OK");
    e.output = nullptr;
    e.information = 0;
    EXPECT_EQ(PortmonResult(e), "Length 0: ");
}

TEST(PortmonFormat, AWaitShowsTheEventsItEndedWith) {
    const ULONG events = SERIAL_EV_RLSD;
    sim::IoTraceEvent e = Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0);
    e.output = &events;
    e.outputLength = sizeof events;
    e.information = sizeof events;
    EXPECT_EQ(PortmonResult(e), "Mask: RLSD");
}

TEST(PortmonFormat, AWholeLineHasPortmonsColumnsSeparatedByTabs) {
    SERIAL_BAUD_RATE baud = {2400};
    sim::IoTraceEvent e = Control(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud);
    e.sequence = 10;
    e.sentTime = 5000000;
    e.completedTime = 5000069; // 6.9 us, in 100 ns units
    e.status = STATUS_SUCCESS;
    const std::string parameters = PortmonParameters(e);
    EXPECT_EQ(PortmonLine("RupsMon.exe", e, parameters, true),
              "10\t0.00000690\tRupsMon.exe\tIOCTL_SERIAL_SET_BAUD_RATE\tSerial0\tSUCCESS\tRate: 2400");
    // Still pending when the log is written: no status, no duration.
    EXPECT_EQ(PortmonLine("RupsMon.exe", e, parameters, false),
              "10\t0.00000000\tRupsMon.exe\tIOCTL_SERIAL_SET_BAUD_RATE\tSerial0\t\tRate: 2400");
}

} // namespace
