// The Win32 comm routines against the recording driver: the requests each one
// sends and in what order, what travels in them, what comes back into the
// caller's records, and the errors GetLastError reports.
#include "comm_fixture.h"

#include <cstring>
#include <functional>

namespace {

// GetCommState and SetCommState begin with these (output lengths).
const Names kFourGets = {"GET_BAUD_RATE/4", "GET_LINE_CONTROL/3", "GET_CHARS/6", "GET_HANDFLOW/16"};

Names Cat(Names a, const Names& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The fields of `to` that differ from `from`, as "Name=value" in layout order.
std::string Changes(const DCB& from, const DCB& to) {
    auto fields = [](const DCB& d) -> std::vector<std::pair<const char*, DWORD>> {
        // clang-format off
        return {{"DCBlength", d.DCBlength},       {"BaudRate", d.BaudRate},
                {"fBinary", d.fBinary},           {"fParity", d.fParity},
                {"fOutxCtsFlow", d.fOutxCtsFlow}, {"fOutxDsrFlow", d.fOutxDsrFlow},
                {"fDtrControl", d.fDtrControl},   {"fDsrSensitivity", d.fDsrSensitivity},
                {"fTXContinueOnXoff", d.fTXContinueOnXoff},
                {"fOutX", d.fOutX},               {"fInX", d.fInX},
                {"fErrorChar", d.fErrorChar},     {"fNull", d.fNull},
                {"fRtsControl", d.fRtsControl},   {"fAbortOnError", d.fAbortOnError},
                {"fDummy2", d.fDummy2},           {"wReserved", d.wReserved},
                {"XonLim", d.XonLim},             {"XoffLim", d.XoffLim},
                {"ByteSize", d.ByteSize},         {"Parity", d.Parity},
                {"StopBits", d.StopBits},         {"XonChar", BYTE(d.XonChar)},
                {"XoffChar", BYTE(d.XoffChar)},   {"ErrorChar", BYTE(d.ErrorChar)},
                {"EofChar", BYTE(d.EofChar)},     {"EvtChar", BYTE(d.EvtChar)},
                {"wReserved1", d.wReserved1}};
        // clang-format on
    };
    std::string out;
    const auto before = fields(from), after = fields(to);
    for (size_t i = 0; i < after.size(); i++)
        if (before[i].second != after[i].second)
            out.append(out.empty() ? "" : " ")
                .append(after[i].first)
                .append("=")
                .append(std::to_string(after[i].second));
    return out;
}

// ---------------------------------------------------------------- one call each

// A call's result, with what it handed back in `value` rendered into `got`.
template <typename T> BOOL Out(BOOL ok, const T& value, std::string& got) {
    got = Hex(value);
    return ok;
}

// The call (setting the driver's state first where it needs to), rendering
// into `got` what it handed back; the Win32 error it fails with (0: it
// succeeds); the requests the driver saw (Sent()); and `got`.
struct CallRow {
    std::string name;
    std::function<BOOL(CommTest&, std::string&)> call;
    DWORD error;
    Names sent;
    std::string got = "";
};

void PrintTo(const CallRow& row, std::ostream* os) {
    *os << row.name;
}

// SetCommState on the DCB the port reads back (both lines disabled), with
// these line modes: the control line requests come between the baud rate
// and the line control, and the modes go into the handflow record.
CallRow LineModes(const char* name, DWORD rts, DWORD dtr, const Names& lines, const char* flow) {
    return {name,
            [rts, dtr](CommTest& t, std::string&) {
                DCB dcb;
                GetCommState(t.port, &dcb);
                t.Sent();
                dcb.fRtsControl = rts;
                dcb.fDtrControl = dtr;
                return SetCommState(t.port, &dcb);
            },
            0,
            Cat(Cat(Cat(kFourGets, {"SET_BAUD_RATE 2580"}), lines),
                {"SET_LINE_CONTROL 00 00 08", "SET_CHARS 00 00 00 00 11 13",
                 std::string("SET_HANDFLOW ") + flow})};
}

std::vector<CallRow> Calls() {
    std::vector<CallRow> rows = {
        {"GetCommStateDecodesTheFourRecords",
         [](CommTest& t, std::string& got) {
             t.baud.BaudRate = 57600;
             t.line = {TWOSTOPBITS, EVENPARITY, 7};
             t.chars = {0x1A, 0x3F, 0x00, 0x7E, 0x11, 0x13};
             t.handflow = {SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_SENSITIVITY |
                               SERIAL_ERROR_ABORT,
                           SERIAL_TRANSMIT_TOGGLE | SERIAL_AUTO_RECEIVE | SERIAL_XOFF_CONTINUE,
                           2048, 512};
             DCB dcb;
             std::memset(&dcb, 0xCC, sizeof dcb);
             const BOOL ok = GetCommState(t.port, &dcb);
             got = Changes(DCB{}, dcb);
             return ok;
         },
         0, kFourGets,
         "DCBlength=28 BaudRate=57600 fBinary=1 fParity=1 fOutxCtsFlow=1 fDtrControl=2 "
         "fDsrSensitivity=1 fTXContinueOnXoff=1 fInX=1 fRtsControl=3 fAbortOnError=1 XonLim=2048 "
         "XoffLim=512 ByteSize=7 Parity=2 StopBits=2 XonChar=17 XoffChar=19 ErrorChar=63 "
         "EofChar=26 "
         "EvtChar=126"},
        LineModes("SetCommStateDisablesBothLines", RTS_CONTROL_DISABLE, DTR_CONTROL_DISABLE,
                  {"CLR_RTS", "CLR_DTR"}, "0 0 0 0"),
        LineModes("SetCommStateRaisesRtsForToggle", RTS_CONTROL_TOGGLE, DTR_CONTROL_HANDSHAKE,
                  {"SET_RTS"}, "2 c0 0 0"),
        LineModes("SetCommStateLeavesBothHandshakesAlone", RTS_CONTROL_HANDSHAKE,
                  DTR_CONTROL_HANDSHAKE, {}, "2 80 0 0"),
        // Bits a DCB cannot express (the DCD handshake, the break
        // character) survive a SetCommState; a handshake RTS is left alone.
        {"SetCommStateEncodesTheDcb",
         [](CommTest& t, std::string&) {
             t.chars.BreakChar = 0x55;
             t.handflow.ControlHandShake = SERIAL_DCD_HANDSHAKE;
             t.handflow.FlowReplace = SERIAL_BREAK_CHAR;
             // clang-format off
             DCB dcb{.DCBlength = sizeof(DCB), .BaudRate = 230404, .fOutxDsrFlow = 1,
                     .fDtrControl = DTR_CONTROL_ENABLE, .fTXContinueOnXoff = 1, .fOutX = 1,
                     .fErrorChar = 1, .fNull = 1, .fRtsControl = RTS_CONTROL_HANDSHAKE,
                     .fAbortOnError = 1, .XonLim = 100, .XoffLim = 200, .ByteSize = 7,
                     .Parity = ODDPARITY, .StopBits = ONE5STOPBITS, .XonChar = 0x11,
                     .XoffChar = 0x13, .EofChar = 0x1A, .EvtChar = 0x7E};
             // clang-format on
             return SetCommState(t.port, &dcb);
         },
         0,
         // ERROR_ABORT | DCD_HANDSHAKE | DTR_CONTROL | DSR_HANDSHAKE; XOFF_CONTINUE |
         // BREAK_CHAR | RTS_HANDSHAKE | AUTO_TRANSMIT | ERROR_CHAR | NULL_STRIPPING;
         // XonLimit 100, XoffLimit 200.
         Cat(kFourGets, {"SET_BAUD_RATE 38404", "SET_DTR", "SET_LINE_CONTROL 01 01 07",
                         "SET_CHARS 1a 00 55 7e 11 13", "SET_HANDFLOW 80000031 8000009d 64 c8"})},
        // The port came up with both lines disabled, so the DCB read back
        // says so; the port stays readable, with what did get through.
        {"AFailedSetStopsTheSequenceAndReportsItsError",
         [](CommTest& t, std::string& got) {
             t.Fail(IOCTL_SERIAL_SET_LINE_CONTROL, STATUS_INVALID_PARAMETER);
             DCB dcb;
             GetCommState(t.port, &dcb);
             t.Sent();
             dcb.BaudRate = 19200;
             const BOOL ok = SetCommState(t.port, &dcb);
             const DWORD error = GetLastError();
             t.Succeed();
             GetCommState(t.port, &dcb);
             got = std::to_string(dcb.BaudRate);
             SetLastError(error);
             return ok;
         },
         ERROR_INVALID_PARAMETER,
         Cat(Cat(kFourGets,
                 {"SET_BAUD_RATE 4b00", "CLR_RTS", "CLR_DTR", "SET_LINE_CONTROL 00 00 08"}),
             kFourGets),
         "19200"},
        {"AFailedGetFailsGetAndSetCommState",
         [](CommTest& t, std::string& got) {
             t.Fail(IOCTL_SERIAL_GET_CHARS, STATUS_DELETE_PENDING);
             DCB dcb{};
             const BOOL ok = GetCommState(t.port, &dcb);
             got = std::to_string(GetLastError());
             return ok || SetCommState(t.port, &dcb);
         },
         ERROR_ACCESS_DENIED,
         {"GET_BAUD_RATE/4", "GET_LINE_CONTROL/3", "GET_CHARS/6", "GET_BAUD_RATE/4",
          "GET_LINE_CONTROL/3", "GET_CHARS/6"},
         std::to_string(ERROR_ACCESS_DENIED)},
        {"SetupCommCarriesBothSizes",
         [](CommTest& t, std::string&) { return SetupComm(t.port, 1514, 65520); },
         0,
         {"SET_QUEUE_SIZE 5ea fff0"}},
        {"TimeoutsPassThroughUnchanged",
         [](CommTest& t, std::string& got) {
             COMMTIMEOUTS set = {MAXDWORD, MAXDWORD, 0xFFFFFFFE, 5, 80}, back{};
             return Out(SetCommTimeouts(t.port, &set) && GetCommTimeouts(t.port, &back), back, got);
         },
         0,
         {"SET_TIMEOUTS ffffffff ffffffff fffffffe 5 50", "GET_TIMEOUTS/20"},
         "ffffffff ffffffff fffffffe 5 50"},
        {"MasksAndPurge",
         [](CommTest& t, std::string& got) {
             DWORD mask = 0;
             return Out(SetCommMask(t.port, 0x1FB) && GetCommMask(t.port, &mask) &&
                            PurgeComm(t.port, PURGE_RXABORT | PURGE_RXCLEAR),
                        mask, got);
         },
         0,
         {"SET_WAIT_MASK 1fb", "GET_WAIT_MASK/4", "PURGE a"},
         "1fb"},
        {"GetCommPropertiesReadsTheDriversRecord",
         [](CommTest& t, std::string& got) {
             COMMPROP p{};
             const BOOL ok = GetCommProperties(t.port, &p);
             got = Hex(DWORD(p.wPacketLength)) + " " + Hex(p.dwMaxBaud) + " " +
                   Hex(DWORD(p.wSettableStopParity)) + " " + Hex(p.dwCurrentRxQueue);
             return ok;
         },
         0,
         {"GET_PROPERTIES/64"},
         "40 10000000 1f07 1000"},
        // Refused before reaching the driver.
        {"AnUnknownEscapeFunction",
         [](CommTest& t, std::string&) { return EscapeCommFunction(t.port, 10); },
         ERROR_INVALID_PARAMETER,
         {}},
        {"SetAndClearCommBreak",
         [](CommTest& t, std::string&) { return SetCommBreak(t.port) && ClearCommBreak(t.port); },
         0,
         {"SET_BREAK_ON", "SET_BREAK_OFF"}},
        {"TransmitCommCharSendsOneByte",
         [](CommTest& t, std::string&) { return TransmitCommChar(t.port, '\x13'); },
         0,
         {"IMMEDIATE_CHAR 13"}},
        // Delta bits included.
        {"ModemStatusIsTheDriversValue",
         [](CommTest& t, std::string& got) {
             t.modemStatus = SERIAL_MSR_DCD | SERIAL_MSR_DSR | SERIAL_MSR_DDCD;
             DWORD lines = 0;
             return Out(GetCommModemStatus(t.port, &lines), lines, got);
         },
         0,
         {"GET_MODEMSTATUS/4"},
         Hex(DWORD(MS_RLSD_ON | MS_DSR_ON | SERIAL_MSR_DDCD))},
        // A failed GET writes nothing into the caller's variable (which
        // status becomes which error is the Win32 suite's table).
        {"AFailedGetWritesNothing",
         [](CommTest& t, std::string& got) {
             t.Fail(IOCTL_SERIAL_GET_MODEMSTATUS, STATUS_DEVICE_NOT_CONNECTED);
             DWORD lines = 0x1234;
             return Out(GetCommModemStatus(t.port, &lines), lines, got);
         },
         ERROR_DEVICE_NOT_CONNECTED,
         {"GET_MODEMSTATUS/4"},
         "1234"},
        // Errors CE_RXOVER | CE_FRAME | CE_BREAK; COMSTAT fCtsHold, fXoffSent
        // and fEof, 37 in, 5 out. Both out-parameters are optional.
        {"ClearCommErrorTranslatesTheStatusRecord",
         [](CommTest& t, std::string& got) {
             t.commStatus.Errors =
                 SERIAL_ERROR_QUEUEOVERRUN | SERIAL_ERROR_FRAMING | SERIAL_ERROR_BREAK;
             t.commStatus.HoldReasons = SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_XOFF_SENT;
             t.commStatus.AmountInInQueue = 37;
             t.commStatus.AmountInOutQueue = 5;
             t.commStatus.EofReceived = TRUE;
             DWORD errors = 0;
             COMSTAT stat;
             std::memset(&stat, 0xFF, sizeof stat);
             const BOOL ok =
                 ClearCommError(t.port, &errors, &stat) && ClearCommError(t.port, nullptr, nullptr);
             got = Hex(errors) + " " + Hex(stat);
             return ok;
         },
         0,
         {"GET_COMMSTATUS/20", "GET_COMMSTATUS/20"},
         "19 31 25 5"},
    };
    const struct {
        DWORD function;
        const char* request;
    } escapes[] = {
        {SETXOFF, "SET_XOFF"},      {SETXON, "SET_XON"},        {SETRTS, "SET_RTS"},
        {CLRRTS, "CLR_RTS"},        {SETDTR, "SET_DTR"},        {CLRDTR, "CLR_DTR"},
        {RESETDEV, "RESET_DEVICE"}, {SETBREAK, "SET_BREAK_ON"}, {CLRBREAK, "SET_BREAK_OFF"}};
    for (const auto& e : escapes)
        rows.push_back(
            {std::string("Escape_") + e.request,
             [f = e.function](CommTest& t, std::string&) { return EscapeCommFunction(t.port, f); },
             0,
             {e.request}});
    return rows;
}

class CommCalls : public CommTest, public ::testing::WithParamInterface<CallRow> {};

TEST_P(CommCalls, SendTheirRequestsAndReturnTheDriversAnswer) {
    const CallRow& row = GetParam();
    std::string got;
    SetLastError(0);
    const BOOL ok = row.call(*this, got);
    EXPECT_EQ(ok, row.error == 0);
    EXPECT_EQ(GetLastError(), row.error);
    EXPECT_EQ(Sent(), row.sent);
    EXPECT_EQ(got, row.got);
}

INSTANTIATE_TEST_SUITE_P(, CommCalls, ::testing::ValuesIn(Calls()),
                         [](const auto& p) { return p.param.name; });

// ---------------------------------------------------------------- WaitCommEvent

using CommWait = OverlappedRig;

TEST_F(CommTest, BlockingWaitReturnsWhenTheEventComes) {
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    DWORD mask = 0xDEAD;
    BOOL ok = FALSE;
    {
        sim::Thread waiter("waiter", [&] { ok = WaitCommEvent(port, &mask, nullptr); });
        sim::RunUntilIdle();
        ASSERT_TRUE(WaitPending());
        EXPECT_FALSE(waiter.Finished());
        ASSERT_TRUE(RaiseEvents(EV_RXCHAR));
    }
    EXPECT_TRUE(ok);
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
}

// CancelIoEx takes back only the request named; without one, every request.
TEST_F(CommWait, CancelIoExTakesBackTheNamedRequestOrAll) {
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_RLSD));
    DWORD mask = 0;
    EXPECT_FALSE(WaitCommEvent(port, &mask, &ov));
    OVERLAPPED other{};
    SetLastError(0);
    EXPECT_FALSE(CancelIoEx(port, &other));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_TRUE(WaitPending());
    ASSERT_TRUE(CancelIoEx(port, &ov));
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(WaitPending());
    // Nothing left to cancel.
    EXPECT_FALSE(CancelIoEx(port, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

    ASSERT_TRUE(ResetEvent(event));
    EXPECT_FALSE(WaitCommEvent(port, &mask, &ov));
    ASSERT_TRUE(CancelIoEx(port, nullptr));
    EXPECT_TRUE(Signalled());
    EXPECT_EQ(static_cast<NTSTATUS>(ov.Internal), STATUS_CANCELLED);
}

// ---------------------------------------------------------------- BuildCommDCB

// A string and the fields it changes in a DCB that started with CTS flow,
// XON input and XonLim 77 (to see BuildCommDCB turn flow control off and
// keep what the string does not name); none: refused, the DCB left alone.
struct DcbRow {
    const char* text;
    const char* changes = nullptr;
};

const DcbRow kDcbRows[] = {
    {"baud=115200 parity=E data=7 stop=2",
     "DCBlength=28 BaudRate=115200 fBinary=1 fParity=1 fOutxCtsFlow=0 fDtrControl=1 fInX=0 "
     "fRtsControl=1 ByteSize=7 Parity=2 StopBits=2"},
    {"baud=115200 parity=n data=8 stop=1",
     "DCBlength=28 BaudRate=115200 fBinary=1 fOutxCtsFlow=0 fDtrControl=1 fInX=0 fRtsControl=1 "
     "ByteSize=8"},
    {"baud=9600 xon=on octs=on odsr=on idsr=on dtr=hs rts=tg to=off",
     "DCBlength=28 BaudRate=9600 fBinary=1 fOutxDsrFlow=1 fDtrControl=2 fDsrSensitivity=1 fOutX=1 "
     "fRtsControl=3"},
    {"COM1: 96,n,8,1",
     "DCBlength=28 BaudRate=9600 fBinary=1 fOutxCtsFlow=0 fDtrControl=1 fInX=0 fRtsControl=1 "
     "ByteSize=8"},
    {"19,o,7,1.5,p",
     "DCBlength=28 BaudRate=19200 fBinary=1 fParity=1 fOutxDsrFlow=1 fDtrControl=2 fInX=0 "
     "fRtsControl=2 ByteSize=7 Parity=1 StopBits=1"},
    {"57600,s,8,2,x",
     "DCBlength=28 BaudRate=57600 fBinary=1 fParity=1 fOutxCtsFlow=0 fDtrControl=1 fOutX=1 "
     "fRtsControl=1 ByteSize=8 Parity=4 StopBits=2"},
    {"baud=38400 parity=m data=6 stop=1",
     "DCBlength=28 BaudRate=38400 fBinary=1 fParity=1 fOutxCtsFlow=0 fDtrControl=1 fInX=0 "
     "fRtsControl=1 ByteSize=6 Parity=3"},
    // 110 baud means two stop bits unless the string says otherwise.
    {"11,n,8",
     "DCBlength=28 BaudRate=110 fBinary=1 fOutxCtsFlow=0 fDtrControl=1 fInX=0 fRtsControl=1 "
     "ByteSize=8 StopBits=2"},
    {"baud=110",
     "DCBlength=28 BaudRate=110 fBinary=1 fOutxCtsFlow=0 fDtrControl=1 fInX=0 fRtsControl=1 "
     "StopBits=2"},
    {"baud=110 stop=1",
     "DCBlength=28 BaudRate=110 fBinary=1 fOutxCtsFlow=0 fDtrControl=1 fInX=0 fRtsControl=1"},
    // clang-format off
    {"baud=fast"}, {"parity=q"}, {"data=9"}, {"stop=3"}, {"dtr=maybe"}, {"speed=9600"},
    {"96,n,8,1,z"}, {"96,n,4"}, {"x,n,8,1"}, {"96,n,8,1,x,extra"},
    // clang-format on
};

DCB StartingDcb() {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.fOutxCtsFlow = 1;
    dcb.fInX = 1;
    dcb.XonLim = 77;
    return dcb;
}

TEST(CommBuildDcb, StringsSetTheFieldsTheyNameOrChangeNothing) {
    for (const DcbRow& row : kDcbRows) {
        DCB dcb = StartingDcb();
        SetLastError(0);
        EXPECT_EQ(BuildCommDCBA(row.text, &dcb), row.changes != nullptr) << row.text;
        EXPECT_EQ(GetLastError(), row.changes ? 0u : DWORD(ERROR_INVALID_PARAMETER)) << row.text;
        EXPECT_EQ(Changes(StartingDcb(), dcb), row.changes ? row.changes : "") << row.text;
    }
    // The wide form parses the same.
    DCB wide = StartingDcb();
    DCB narrow = StartingDcb();
    ASSERT_TRUE(BuildCommDCBW(L"baud=38400 parity=m data=6 stop=1", &wide));
    ASSERT_TRUE(BuildCommDCBA("baud=38400 parity=m data=6 stop=1", &narrow));
    EXPECT_EQ(Changes(narrow, wide), "");
}

TEST(CommRecords, LayoutsAreTheWindowsOnes) {
    EXPECT_EQ(sizeof(DCB), 28u);
    EXPECT_EQ(offsetof(DCB, wReserved), 12u);
    EXPECT_EQ(offsetof(DCB, ByteSize), 18u);
    EXPECT_EQ(offsetof(DCB, EvtChar), 25u);
    EXPECT_EQ(sizeof(COMMTIMEOUTS), 20u);
    EXPECT_EQ(sizeof(COMSTAT), 12u);
    EXPECT_EQ(sizeof(COMMPROP), 64u);
    EXPECT_EQ(offsetof(COMMPROP, wSettableData), 40u);
    EXPECT_EQ(offsetof(COMMPROP, wcProvChar), 60u);
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.fDtrControl = 3;
    dcb.fRtsControl = 3;
    DWORD bits;
    std::memcpy(&bits, reinterpret_cast<const char*>(&dcb) + 8, sizeof bits);
    EXPECT_EQ(bits, 0x3030u); // fDtrControl at bits 4-5, fRtsControl at 12-13
}

} // namespace
