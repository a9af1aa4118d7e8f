// The Portmon-style lines, whole, against lines of real Portmon logs (the
// samples in samples/portmon/): a user holds our trace next to theirs, so
// words, numbers, separators and trailing blanks must be Portmon's. Then the
// other way: reading such logs back for `vxqt70 replay`.
#include "tools/portmon.h"
#include "tools/portmon_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

namespace {

using vxqt70::PortmonView;

// Inputs the rows below point at.
const SERIAL_TIMEOUTS kUpsTimeouts = {0xFFFFFFFF, 5, 80, 0, 0};
const SERIAL_LINE_CONTROL k8N1 = {STOP_BIT_1, NO_PARITY, 8};
const SERIAL_LINE_CONTROL k7E2 = {STOP_BITS_2, EVEN_PARITY, 7};
const SERIAL_CHARS kUpsChars = {0, 0, 0, 0x0D, 0x11, 0x13};
const SERIAL_HANDFLOW kUpsFlow = {1, 0x40, 2048, 512};
const SERIAL_QUEUE_SIZE kQueue = {4096, 2048};
const ULONG kRxFlag = SERIAL_EV_RXFLAG;
const ULONG kDsrRlsdAndMore = SERIAL_EV_DSR | SERIAL_EV_RLSD | 0x8000;
const ULONG kNone = 0;
const ULONG kTxClear = SERIAL_PURGE_TXCLEAR;
const ULONG kAborts = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT;
const ULONG kRlsd = SERIAL_EV_RLSD;
const ULONG kConfigSize = 0;
const SERIAL_BAUD_RATE k2400 = {2400};
const char kQ1[] = "Q1\r";
const char kReply[] = "#230.0 2.2 12.00 50.0\r";
const unsigned char kEcuReply[] = {0x02, 0x41, 0x4D, 0x31, 0x03};
const unsigned char kZero[] = {0x00};

// A request and its answer, and the words Portmon shows for it: the request,
// its details at issue, its status and the details of its result. The
// duration's seconds, the process and the device come from the row too.
struct Row {
    const char* what;
    UCHAR major;
    ULONG code;
    const void* input;
    ULONG inputLength;
    ULONG length; // READ / WRITE length
    bool completes;
    NTSTATUS status;
    LONGLONG duration;  // 100 ns
    const void* output; // what the request returned
    ULONG_PTR information;
    PortmonView view;
    unsigned long sequence;
    const char* request;
    const char* issued;
    const char* statusWord;
    const char* result;
    bool progBase = false; // ProgBase.exe on Silabser0, else RupsMon.exe on Serial0
};

#define INPUT(x) &(x), sizeof(x)
constexpr auto kAscii = PortmonView::Ascii;
constexpr auto kHex = PortmonView::Hex;

// From rupsmon-1.log (one-line, ASCII) and progbase-1.log (two-line, hex),
// with durations the 100 ns virtual clock can give, and the other forms the
// trace meets.
const Row kRows[] = {
    {"open", IRP_MJ_CREATE, 0, nullptr, 0, 0, true, STATUS_SUCCESS, 443, nullptr, 0, kAscii, 0,
     "IRP_MJ_CREATE", "Options: Open ", "SUCCESS", ""},
    {"time-outs signed", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_TIMEOUTS, INPUT(kUpsTimeouts), 0,
     true, STATUS_SUCCESS, 18, nullptr, 0, kAscii, 1, "IOCTL_SERIAL_SET_TIMEOUTS",
     "RI:-1 RM:5 RC:80 WM:0 WC:0", "SUCCESS", ""},
    {"GET_CHARS keeps its S", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_CHARS, nullptr, 0, 0, true,
     STATUS_SUCCESS, 8, nullptr, 0, kAscii, 4, "IOCTL_SERIAL_GET_CHARS", "", "SUCCESS", ""},
    {"SET_CHARS without it", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_CHARS, INPUT(kUpsChars), 0,
     true, STATUS_SUCCESS, 12, nullptr, 0, kAscii, 14, "IOCTL_SERIAL_SET_CHAR",
     "EOF:0 ERR:0 BRK:0 EVT:d XON:11 XOFF:13", "SUCCESS", ""},
    {"baud rate", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_BAUD_RATE, INPUT(k2400), 0, true,
     STATUS_SUCCESS, 69, nullptr, 0, kAscii, 10, "IOCTL_SERIAL_SET_BAUD_RATE", "Rate: 2400",
     "SUCCESS", ""},
    {"a baud rate too short to read", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_BAUD_RATE, &k2400, 2,
     0, true, STATUS_INVALID_PARAMETER, 0, nullptr, 0, kAscii, 10, "IOCTL_SERIAL_SET_BAUD_RATE", "",
     "INVALID PARAMETER", ""},
    {"line control", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_LINE_CONTROL, INPUT(k8N1), 0, true,
     STATUS_SUCCESS, 25, nullptr, 0, kAscii, 13, "IOCTL_SERIAL_SET_LINE_CONTROL",
     "StopBits: 1 Parity: NONE WordLength: 8", "SUCCESS", ""},
    {"other line settings", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_LINE_CONTROL, INPUT(k7E2), 0,
     true, STATUS_SUCCESS, 0, nullptr, 0, kAscii, 13, "IOCTL_SERIAL_SET_LINE_CONTROL",
     "StopBits: 2 Parity: EVEN WordLength: 7", "SUCCESS", ""},
    {"handflow", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_HANDFLOW, INPUT(kUpsFlow), 0, true,
     STATUS_SUCCESS, 24, nullptr, 0, kAscii, 15, "IOCTL_SERIAL_SET_HANDFLOW",
     "Shake:1 Replace:40 XonLimit:2048 XoffLimit:512", "SUCCESS", ""},
    {"queue sizes", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_QUEUE_SIZE, INPUT(kQueue), 0, true,
     STATUS_SUCCESS, 0, nullptr, 0, kAscii, 3, "IOCTL_SERIAL_SET_QUEUE_SIZE",
     "InSize: 4096 OutSize: 2048", "SUCCESS", ""},
    {"a mask ends with a space", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_WAIT_MASK, INPUT(kRxFlag),
     0, true, STATUS_SUCCESS, 26, nullptr, 0, kAscii, 17, "IOCTL_SERIAL_SET_WAIT_MASK",
     "Mask: RXFLAG ", "SUCCESS", ""},
    {"a mask with bits without a name", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_WAIT_MASK,
     INPUT(kDsrRlsdAndMore), 0, true, STATUS_SUCCESS, 0, nullptr, 0, kAscii, 17,
     "IOCTL_SERIAL_SET_WAIT_MASK", "Mask: DSR RLSD 0x8000 ", "SUCCESS", ""},
    {"an empty mask", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_WAIT_MASK, INPUT(kNone), 0, true,
     STATUS_SUCCESS, 0, nullptr, 0, kAscii, 17, "IOCTL_SERIAL_SET_WAIT_MASK", "Mask: ", "SUCCESS",
     ""},
    {"purge", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_PURGE, INPUT(kTxClear), 0, true, STATUS_SUCCESS,
     56, nullptr, 0, kAscii, 35, "IOCTL_SERIAL_PURGE", "Purge: TXCLEAR ", "SUCCESS", ""},
    {"purge of both aborts", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_PURGE, INPUT(kAborts), 0, true,
     STATUS_SUCCESS, 0, nullptr, 0, kAscii, 35, "IOCTL_SERIAL_PURGE", "Purge: TXABORT RXABORT ",
     "SUCCESS", ""},
    {"a wait's events are not shown", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0,
     0, true, STATUS_SUCCESS, 20937008, &kRlsd, sizeof kRlsd, kAscii, 34,
     "IOCTL_SERIAL_WAIT_ON_MASK", "", "SUCCESS", ""},
    {"a second wait refused", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 0, true,
     STATUS_INVALID_PARAMETER, 33, nullptr, 0, kAscii, 37, "IOCTL_SERIAL_WAIT_ON_MASK", "",
     "INVALID PARAMETER", ""},
    {"config size", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_CONFIG_SIZE, nullptr, 0, 0, true,
     STATUS_SUCCESS, 0, &kConfigSize, sizeof kConfigSize, kAscii, 5, "IOCTL_SERIAL_CONFIG_SIZE", "",
     "SUCCESS", "Size: 0"},
    {"a code with no name", IRP_MJ_DEVICE_CONTROL, 0x2B0008, nullptr, 0, 0, true,
     STATUS_INVALID_DEVICE_REQUEST, 0, nullptr, 0, kAscii, 6, "IRP_MJ_DEVICE_CONTROL",
     "IOCTL: 0x2B0008", "INVALID DEVICE REQUEST", ""},
    {"a write, ASCII", IRP_MJ_WRITE, 0, kQ1, 3, 3, true, STATUS_SUCCESS, 290, nullptr, 0, kAscii,
     36, "IRP_MJ_WRITE", "Length 3: Q1.", "SUCCESS", ""},
    {"the same write, hex", IRP_MJ_WRITE, 0, kQ1, 3, 3, true, STATUS_SUCCESS, 290, nullptr, 0, kHex,
     36, "IRP_MJ_WRITE", "Length 3: 51 31 0D ", "SUCCESS", ""},
    {"a read with data", IRP_MJ_READ, 0, nullptr, 0, 22, true, STATUS_SUCCESS, 58, kReply, 22,
     kAscii, 33, "IRP_MJ_READ", "Length 22", "SUCCESS", "Length 22: #230.0 2.2 12.00 50.0."},
    {"a one-byte read, hex", IRP_MJ_READ, 0, nullptr, 0, 1, true, STATUS_SUCCESS, 5646, kZero, 1,
     kHex, 2, "IRP_MJ_READ", "Length 1", "SUCCESS", "Length 1: 00 ", true},
    {"hex data as Portmon shows it", IRP_MJ_READ, 0, nullptr, 0, 10, true, STATUS_SUCCESS, 0,
     kEcuReply, 5, kHex, 2, "IRP_MJ_READ", "Length 10", "SUCCESS", "Length 5: 02 41 4D 31 03 ",
     true},
    {"a read cancelled empty", IRP_MJ_READ, 0, nullptr, 0, 256, true, STATUS_CANCELLED, 10000000,
     nullptr, 0, kAscii, 7, "IRP_MJ_READ", "Length 256", "CANCELLED", ""},
    {"a read timed out empty", IRP_MJ_READ, 0, nullptr, 0, 256, true, STATUS_TIMEOUT, 0, nullptr, 0,
     kAscii, 7, "IRP_MJ_READ", "Length 256", "TIMEOUT", ""},
    {"a read still pending", IRP_MJ_READ, 0, nullptr, 0, 256, false, STATUS_PENDING, 0, nullptr, 0,
     kAscii, 7, "IRP_MJ_READ", "Length 256", "", ""},
    {"a status without a word", IRP_MJ_CLEANUP, 0, nullptr, 0, 0, true, (NTSTATUS)0xC0001234, 0,
     nullptr, 0, kAscii, 8, "IRP_MJ_CLEANUP", "", "0xC0001234", ""},
};

// Live, a request's issue line and its completion line; in a log, one line
// made of both: status and duration from the completion, the result's
// details where there are some, else the request's; a tab at the end.
TEST(PortmonLines, AreThoseOfPortmonsLogs) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.what);
        const std::string process = row.progBase ? "ProgBase.exe" : "RupsMon.exe";
        const std::string device = row.progBase ? "Silabser0" : "Serial0";
        sim::IoTraceEvent sent;
        sent.major = row.major;
        sent.ioControlCode = row.code;
        sent.input = row.input;
        sent.inputLength = row.inputLength;
        sent.length = row.length;
        sent.deviceName = row.progBase ? u"\\Device\\Silabser0" : u"\\Device\\Serial0";
        sent.sentTime = 5000000;
        vxqt70::PortmonRecord record = vxqt70::PortmonIssued(row.sequence, process, sent, row.view);
        const std::string head = std::to_string(row.sequence) + "\t";
        EXPECT_EQ(vxqt70::PortmonIssueLine(record), head + "0.00000000\t" + process + "\t" +
                                                        row.request + "\t" + device + "\t" +
                                                        row.issued);
        if (row.completes) {
            sim::IoTraceEvent done = sent;
            done.phase = sim::IoTraceEvent::Phase::Completed;
            done.input = nullptr; // gone by completion
            done.completedTime = sent.sentTime + row.duration;
            done.status = row.status;
            done.output = row.output;
            done.outputLength = row.major == IRP_MJ_READ ? row.length : (ULONG)row.information;
            done.information = row.information;
            vxqt70::PortmonCompleted(&record, done, row.view);
        }
        char seconds[32];
        snprintf(seconds, sizeof seconds, "%.8f", row.completes ? row.duration / 1e7 : 0.0);
        EXPECT_EQ(vxqt70::PortmonCompletionLine(record),
                  head + seconds + "\t" + row.statusWord + "\t" + row.result);
        EXPECT_EQ(vxqt70::PortmonOneLine(record),
                  head + seconds + "\t" + process + "\t" + row.request + "\t" + device + "\t" +
                      row.statusWord + "\t" + (*row.result ? row.result : row.issued) + "\t");
    }
}

TEST(PortmonLines, DataIsCutWhereLogsCutIt) {
    const std::string longer(100, 'x');
    EXPECT_EQ(vxqt70::PortmonData(longer.data(), longer.size()).size(), 64u);
    EXPECT_EQ(vxqt70::PortmonData(longer.data(), longer.size(), PortmonView::Hex).size(), 64u * 3);
}

// ---------------------------------------------------------------- reading logs

struct LogCase {
    const char* what;
    const char* text;
    // The first request, "SEQ REQUEST|STATUS|ISSUED|RESULT" ("" for none),
    // then how many requests and unreadable lines, and the form.
    const char* first;
    size_t requests, unreadable;
    bool twoLine, hex;
};

const LogCase kLogs[] = {
    {"one-line, tabs become spaces",
     "28 0.00002172 RupsMon.exe IRP_MJ_WRITE Serial0 SUCCESS Length 2: F. \n"
     "37 0.00000333 RupsMon.exe IOCTL_SERIAL_WAIT_ON_MASK Serial0 INVALID PARAMETER \n",
     "28 IRP_MJ_WRITE|SUCCESS|Length 2: F.|Length 2: F.", 2, 0, false, false},
    {"one-line with tabs, a request still pending",
     "7\t0.00000000\tvxqt70.exe\tIRP_MJ_READ\tVXNTQT70MDM0\t\tLength 256\t\n",
     "7 IRP_MJ_READ||Length 256|Length 256", 1, 0, false, false},
    {"two-line, hex",
     "[\\\\SILVDOWN-58C615]\n"
     "19  0.00000000  ProgBase.exe  IRP_MJ_READ  Silabser0  Length 1\n"
     "18  0.00148930  SUCCESS  \n"
     "19  0.00335685  SUCCESS  Length 1: 48 \n",
     "19 IRP_MJ_READ|SUCCESS|Length 1|Length 1: 48", 1, 1, true, true},
    {"no sequence numbers, the last line cut short",
     "0.00001836 OBDTest.vshost IRP_MJ_CREATE USBSER000 SUCCESS Options: Open\n"
     "# a comment\n\n"
     "0.00024103 OBDTest.vshost IOCTL_SERIAL_GET_BAUD_\n",
     "0 IRP_MJ_CREATE|SUCCESS|Options: Open|Options: Open", 1, 1, false, false},
    {"older spellings", "4 0.00000083 App.exe IOCTL_SERIAL_GET_CHAR Serial0 SUCCESS \n",
     "4 IOCTL_SERIAL_GET_CHAR|SUCCESS||", 1, 0, false, false},
    {"lines that are not requests", "hello world\n12 abc\n3 0.1 App.exe\n", "", 0, 3, false, false},
};

TEST(PortmonLogReading, TakesEveryFormAndCountsWhatItCannotRead) {
    for (const LogCase& c : kLogs) {
        SCOPED_TRACE(c.what);
        std::istringstream in(c.text);
        const vxqt70::PortmonLog log = vxqt70::ReadPortmonLog(in);
        EXPECT_EQ(log.requests.size(), c.requests);
        EXPECT_EQ(log.unreadable.size(), c.unreadable);
        EXPECT_EQ(log.twoLine, c.twoLine);
        EXPECT_EQ(log.hex, c.hex);
        for (const vxqt70::UnreadableLine& u : log.unreadable)
            EXPECT_FALSE(u.why.empty()) << u.text;
        if (log.requests.empty())
            continue;
        const vxqt70::LogRequest& r = log.requests.front();
        EXPECT_EQ(std::to_string(r.sequence) + " " + r.request + "|" + r.status + "|" + r.issued +
                      "|" + r.result,
                  c.first);
    }
}

TEST(PortmonLogReading, DataComesBackInEitherView) {
    std::vector<uint8_t> data;
    ASSERT_TRUE(vxqt70::LogData("Length 3: 48 01 49", true, '.', &data));
    EXPECT_EQ(data, (std::vector<uint8_t>{0x48, 0x01, 0x49}));
    ASSERT_TRUE(vxqt70::LogData("Length 3: Q1.", false, 0x0D, &data));
    EXPECT_EQ(data, (std::vector<uint8_t>{'Q', '1', 0x0D}));
    // Trailing blanks an excerpt lost come back as spaces.
    ASSERT_TRUE(vxqt70::LogData("Length 4: ab", false, '.', &data));
    EXPECT_EQ(data, (std::vector<uint8_t>{'a', 'b', ' ', ' '}));
    EXPECT_FALSE(vxqt70::LogData("Length 4", false, '.', &data));
}

} // namespace
