// The serial control requests on both ports as rows: each code with its
// input and output lengths, and the status and Information each port answers
// it with; the rates each port takes; and, for every code and every output
// length, a reply that never claims more than the caller's buffer holds.
#include "common/port_test.h"

#include <algorithm>

namespace {

using rig::EachOpenPort;
using rig::Request;

struct Answer {
    NTSTATUS status;
    ULONG_PTR information;
};
constexpr Answer kTooSmall{STATUS_BUFFER_TOO_SMALL, 0};
constexpr Answer kRefused{STATUS_INVALID_PARAMETER, 0};
constexpr Answer kNothing{STATUS_SUCCESS, 0};

struct Row {
    const char* name;
    ULONG code;
    ULONG value; // the input's first word; the rest is zeros
    DWORD inLength;
    DWORD outLength;
    Answer modem;
    Answer diag;
};

constexpr ULONG kSerialPast =
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 40, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kOtherDevice =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

#define ROW(code, ...)                                                                             \
    Row {                                                                                          \
#code, code, __VA_ARGS__                                                                   \
    }
const Row kRows[] = {
    // Every buffer one byte short of what the request needs.
    ROW(IOCTL_SERIAL_SET_BAUD_RATE, 115200, 3, 0, kTooSmall, kTooSmall),
    ROW(IOCTL_SERIAL_SET_LINE_CONTROL, 0, 2, 0, kTooSmall, kTooSmall),
    ROW(IOCTL_SERIAL_IMMEDIATE_CHAR, 0, 0, 0, kTooSmall, kTooSmall),
    ROW(IOCTL_SERIAL_SET_TIMEOUTS, 0, 19, 0, kTooSmall, kTooSmall),
    ROW(IOCTL_SERIAL_GET_TIMEOUTS, 0, 0, 19, kTooSmall, kTooSmall),
    ROW(IOCTL_SERIAL_GET_WAIT_MASK, 0, 0, 3, kTooSmall, kTooSmall),
    ROW(IOCTL_SERIAL_SET_WAIT_MASK, 0, 3, 0, kTooSmall, kTooSmall),
    ROW(IOCTL_SERIAL_WAIT_ON_MASK, 0, 0, 3, kTooSmall, kTooSmall),
    ROW(IOCTL_SERIAL_PURGE, 0, 3, 0, kTooSmall, kTooSmall),
    ROW(IOCTL_SERIAL_GET_BAUD_RATE, 0, 0, 3, kTooSmall, kTooSmall),
    ROW(IOCTL_SERIAL_GET_LINE_CONTROL, 0, 0, 2, kTooSmall, kTooSmall),
    ROW(IOCTL_SERIAL_GET_CHARS, 0, 0, 5, kTooSmall, kTooSmall),
    ROW(IOCTL_SERIAL_SET_CHARS, 0, 5, 0, kTooSmall, kTooSmall),
    ROW(IOCTL_SERIAL_GET_HANDFLOW, 0, 0, 15, kTooSmall, kTooSmall),
    ROW(IOCTL_SERIAL_SET_HANDFLOW, 0, 15, 0, kTooSmall, kTooSmall),
    ROW(IOCTL_SERIAL_GET_MODEMSTATUS, 0, 0, 3, kTooSmall, kTooSmall),
    ROW(IOCTL_SERIAL_GET_COMMSTATUS, 0, 0, 19, kTooSmall, kTooSmall),
    ROW(IOCTL_SERIAL_GET_PROPERTIES, 0, 0, 63, kTooSmall, kNothing),
    ROW(IOCTL_SERIAL_GET_STATS, 0, 0, 23, kTooSmall, kTooSmall),
    // Accepted without effect; the modem port cannot reset or send XON/XOFF.
    ROW(IOCTL_SERIAL_SET_QUEUE_SIZE, 0, 8, 0, kNothing, kNothing),
    ROW(IOCTL_SERIAL_XOFF_COUNTER, 0, 8, 0, kNothing, kNothing),
    ROW(IOCTL_SERIAL_LSRMST_INSERT, 0, 8, 0, kNothing, kNothing),
    ROW(IOCTL_SERIAL_SET_MODEM_CONTROL, 0, 8, 0, kNothing, kNothing),
    ROW(IOCTL_SERIAL_SET_FIFO_CONTROL, 0, 8, 0, kNothing, kNothing),
    ROW(IOCTL_SERIAL_SET_BREAK_ON, 0, 0, 0, kNothing, kNothing),
    ROW(IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, 0, kNothing, kNothing),
    ROW(IOCTL_SERIAL_RESET_DEVICE, 0, 8, 8, kRefused, kNothing),
    ROW(IOCTL_SERIAL_SET_XON, 0, 8, 8, kRefused, kNothing),
    ROW(IOCTL_SERIAL_SET_XOFF, 0, 8, 8, kRefused, kNothing),
    // Answered with nothing, even with room for an answer.
    ROW(IOCTL_SERIAL_GET_DTRRTS, 0, 0, 4, kNothing, kNothing),
    ROW(IOCTL_SERIAL_CONFIG_SIZE, 0, 0, 4, kNothing, kNothing),
    ROW(IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 0, 4, kNothing, kNothing),
    ROW(IOCTL_SERIAL_GET_PROPERTIES, 0, 0, 64, Answer{STATUS_SUCCESS, 64}, kNothing),
    // No configuration block; codes past the last and of other devices.
    ROW(IOCTL_SERIAL_GET_COMMCONFIG, 0, 8, 64, kRefused, kRefused),
    ROW(IOCTL_SERIAL_SET_COMMCONFIG, 0, 64, 8, kRefused, kRefused),
    ROW(kSerialPast, 0, 8, 8, kRefused, kRefused),
    ROW(kOtherDevice, 0, 8, 8, kRefused, kRefused),
    // Masks up to event twelve; a refused one leaves the mask as it was.
    ROW(IOCTL_SERIAL_SET_WAIT_MASK, 0x1FFF, 4, 0, Answer{STATUS_SUCCESS, 4}, kNothing),
    ROW(IOCTL_SERIAL_SET_WAIT_MASK, 0x2000, 4, 0, kRefused, kRefused),
    ROW(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR, 4, 0, kNothing, Answer{STATUS_SUCCESS, 4}),
};
#undef ROW

using Requests = EachOpenPort;
RIG_ON_BOTH_PORTS(Requests);

// No row reaches the phone's control pipe or its bulk-out pipe: a refused or
// short request changes nothing, and break and the other settings accepted
// without effect have no USB request.
TEST_P(Requests, EachCodeIsAnsweredAsItsRowSays) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(testing::Message() << row.name << " in " << row.inLength << " out "
                                        << row.outLength << " value " << std::hex << row.value);
        std::vector<uint8_t> input(std::max<DWORD>(row.inLength, 4), 0);
        memcpy(input.data(), &row.value, sizeof row.value);
        Port().Usb()->ClearClassRequests();
        Phone().ClearTimeline();
        const Request& r = Port().Control(row.code, input.data(), row.inLength, row.outLength);
        const Answer& want = Pick(row.modem, row.diag);
        EXPECT_EQ(r.Status(), want.status);
        EXPECT_EQ(r.Bytes(), want.information);
        EXPECT_TRUE(Port().Usb()->ClassRequests().empty());
        EXPECT_TRUE(Port().Submits().empty());
    }
    EXPECT_EQ(Port().Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), 0x1FFFu);
    EXPECT_EQ(Port().Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate,
              Pick(460800UL, 115200UL));
    EXPECT_EQ(Port().Write("still usable").Status(), STATUS_SUCCESS);
}

// The rates each port takes. The modem port sends a rate it takes to the
// phone as the line coding's first four bytes, the open's line (eight data
// bits) after them; the diagnostics port keeps it to itself. A refused rate
// is not sent and changes nothing.
TEST_P(Requests, BaudRates) {
    const struct {
        ULONG rate;
        bool modem;
        bool diag;
    } rows[] = {{300, true, true},      {2400, true, true},        {9600, true, true},
                {115200, true, true},   {128000, true, true},      {230400, true, false},
                {3686400, true, false}, {921600, false, false},    {56000, false, false},
                {75, false, false},     {110, false, false},       {134, false, false},
                {150, false, false},    {10000, false, false},     {230404, false, false},
                {0, false, false},      {0xFFFFFFFF, false, false}};
    ULONG current = Pick(460800UL, 115200UL);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rate);
        Port().Usb()->ClearClassRequests();
        bool takes = Pick(row.modem, row.diag);
        EXPECT_EQ(Port().Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{row.rate}),
                  takes ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        current = takes ? row.rate : current;
        EXPECT_EQ(Port().Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, current);
        EXPECT_EQ(Port().LineCodingRequests(), IsModem() && takes ? 1u : 0u);
        if (IsModem() && takes) {
            std::vector<uint8_t> coding = Port().Usb()->LineCoding();
            ASSERT_EQ(coding.size(), 7u);
            ULONG sent = 0;
            memcpy(&sent, coding.data(), 4);
            EXPECT_EQ(sent, row.rate);
            EXPECT_EQ(std::vector<uint8_t>(coding.begin() + 4, coding.end()),
                      (std::vector<uint8_t>{STOP_BITS_2, NO_PARITY, 8}))
                << "the open's line";
        }
    }
}

// What a device-control request reports back may never be more than the
// caller's output buffer holds: buffered I/O copies Information bytes of the
// system buffer into it. Every serial function code up to two past the last,
// each with no input and with one it accepts (zeros, but for the few whose
// zero is refused), with every output length from none to one past the
// longest reply (a request without an output buffer may still be told the
// word it would report, as PurgeComm and SetCommMask are; nothing is copied
// back then).
TEST_P(Requests, NoReplyIsLongerThanTheOutputBuffer) {
    const std::pair<ULONG, ULONG> firstWords[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, 115200},
        {IOCTL_SERIAL_SET_LINE_CONTROL, 8u << 16}, // one stop bit, no parity, eight bits
        {IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR}};
    for (ULONG function = 0; function <= 41; function++) {
        const ULONG code =
            CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS);
        std::vector<uint8_t> input(sizeof(SERIAL_COMMPROP), 0);
        for (auto [known, word] : firstWords)
            if (known == code)
                memcpy(input.data(), &word, sizeof word);
        for (DWORD inLength : {DWORD(0), DWORD(input.size())}) {
            for (DWORD length = 0; length <= sizeof(SERIAL_COMMPROP) + 1; length++) {
                const Request& r = Port().Control(code, input.data(), inLength, length);
                EXPECT_LE(r.Bytes(), std::max<DWORD>(length, length == 0 ? sizeof(ULONG) : 0))
                    << "function " << function << " input " << inLength << " output " << length
                    << " status " << std::hex << r.Status();
            }
        }
    }
}

} // namespace
