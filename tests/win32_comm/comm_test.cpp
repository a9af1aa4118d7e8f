// The Win32 comm routines against a recording driver: the requests each one
// sends and in what order, what travels in them, what comes back into the
// caller's records, and the errors GetLastError reports.
#include "comm_fixture.h"

#include <cstring>

namespace {

const Names kFourGets = {"GET_BAUD_RATE", "GET_LINE_CONTROL", "GET_CHARS", "GET_HANDFLOW"};

Names Cat(Names a, const Names& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// ---------------------------------------------------------------- GetCommState / SetCommState

class CommState : public CommTest {};

TEST_F(CommState, GetSendsTheFourGetsAndDecodesThem) {
    Rec().baud.BaudRate = 57600;
    Rec().line = {TWOSTOPBITS, EVENPARITY, 7};
    Rec().chars = {0x1A, 0x3F, 0x00, 0x7E, 0x11, 0x13};
    Rec().handflow.ControlHandShake =
        SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT;
    Rec().handflow.FlowReplace =
        SERIAL_TRANSMIT_TOGGLE | SERIAL_AUTO_RECEIVE | SERIAL_XOFF_CONTINUE;
    Rec().handflow.XonLimit = 2048;
    Rec().handflow.XoffLimit = 512;
    DCB dcb;
    std::memset(&dcb, 0xCC, sizeof dcb);
    ASSERT_TRUE(GetCommState(port_, &dcb));
    EXPECT_EQ(Sent(), kFourGets);
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_TOGGLE));
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fDsrSensitivity, 1u);
    EXPECT_EQ(dcb.fAbortOnError, 1u);
    EXPECT_EQ(dcb.fInX, 1u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
    EXPECT_EQ(dcb.XonLim, 2048);
    EXPECT_EQ(dcb.XoffLim, 512);
    EXPECT_EQ(dcb.EofChar, 0x1A);
    EXPECT_EQ(dcb.ErrorChar, 0x3F);
    EXPECT_EQ(dcb.EvtChar, 0x7E);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.fDummy2, 0u);
}

TEST_F(CommState, SetSendsGetsThenSetsWithTheControlLinesBetween) {
    DCB dcb;
    ASSERT_TRUE(GetCommState(port_, &dcb));
    Sent();
    const struct {
        DWORD rts, dtr;
        Names lines;
    } cases[] = {
        {RTS_CONTROL_ENABLE, DTR_CONTROL_ENABLE, {"SET_RTS", "SET_DTR"}},
        {RTS_CONTROL_DISABLE, DTR_CONTROL_DISABLE, {"CLR_RTS", "CLR_DTR"}},
        {RTS_CONTROL_TOGGLE, DTR_CONTROL_HANDSHAKE, {"SET_RTS"}},
        {RTS_CONTROL_HANDSHAKE, DTR_CONTROL_ENABLE, {"SET_DTR"}},
        {RTS_CONTROL_HANDSHAKE, DTR_CONTROL_HANDSHAKE, {}},
    };
    for (const auto& c : cases) {
        dcb.fRtsControl = c.rts;
        dcb.fDtrControl = c.dtr;
        ASSERT_TRUE(SetCommState(port_, &dcb));
        EXPECT_EQ(Sent(), Cat(Cat(Cat(kFourGets, {"SET_BAUD_RATE"}), c.lines),
                              {"SET_LINE_CONTROL", "SET_CHARS", "SET_HANDFLOW"}))
            << "rts " << c.rts << " dtr " << c.dtr;
    }
}

TEST_F(CommState, SetEncodesTheDcbIntoTheSerialRecords) {
    Rec().chars.BreakChar = 0x55;
    // Bits a DCB cannot express survive a SetCommState.
    Rec().handflow.ControlHandShake = SERIAL_DCD_HANDSHAKE;
    Rec().handflow.FlowReplace = SERIAL_BREAK_CHAR;
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 230404;
    dcb.ByteSize = 7;
    dcb.Parity = ODDPARITY;
    dcb.StopBits = ONE5STOPBITS;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fOutxDsrFlow = 1;
    dcb.fOutX = 1;
    dcb.fErrorChar = 1;
    dcb.fNull = 1;
    dcb.XonLim = 100;
    dcb.XoffLim = 200;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.EvtChar = 0x7E;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    const Names names = Rec().Names();
    // RTS handshake: no RTS request; DTR enabled: SET_DTR.
    ASSERT_EQ(names, Cat(kFourGets, {"SET_BAUD_RATE", "SET_DTR", "SET_LINE_CONTROL", "SET_CHARS",
                                     "SET_HANDFLOW"}));
    EXPECT_EQ(Rec().Input<ULONG>(4), 230404u);
    const auto line = Rec().Input<SERIAL_LINE_CONTROL>(6);
    EXPECT_EQ(line.StopBits, ONE5STOPBITS);
    EXPECT_EQ(line.Parity, ODDPARITY);
    EXPECT_EQ(line.WordLength, 7);
    const auto chars = Rec().Input<SERIAL_CHARS>(7);
    EXPECT_EQ(chars.BreakChar, 0x55);
    EXPECT_EQ(chars.EventChar, 0x7E);
    const auto hf = Rec().Input<SERIAL_HANDFLOW>(8);
    EXPECT_EQ(hf.ControlHandShake,
              static_cast<ULONG>(SERIAL_DCD_HANDSHAKE | SERIAL_DTR_CONTROL | SERIAL_DSR_HANDSHAKE));
    EXPECT_EQ(hf.FlowReplace,
              static_cast<ULONG>(SERIAL_BREAK_CHAR | SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_TRANSMIT |
                                 SERIAL_ERROR_CHAR | SERIAL_NULL_STRIPPING));
    EXPECT_EQ(hf.XonLimit, 100);
    EXPECT_EQ(hf.XoffLimit, 200);
}

TEST_F(CommState, RoundTripThroughTheDriverKeepsEveryField) {
    DCB in;
    ASSERT_TRUE(GetCommState(port_, &in));
    in.BaudRate = 921600;
    in.fRtsControl = RTS_CONTROL_TOGGLE;
    in.fDtrControl = DTR_CONTROL_HANDSHAKE;
    in.fTXContinueOnXoff = 1;
    in.fAbortOnError = 1;
    in.EofChar = 0x1A;
    ASSERT_TRUE(SetCommState(port_, &in));
    DCB out;
    ASSERT_TRUE(GetCommState(port_, &out));
    EXPECT_EQ(std::memcmp(&in, &out, sizeof in), 0);
}

TEST_F(CommState, AFailedSetStopsTheSequenceAndReportsItsError) {
    DCB dcb;
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.BaudRate = 19200;
    Sent();
    Rec().Fail(IOCTL_SERIAL_SET_LINE_CONTROL, STATUS_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_FALSE(SetCommState(port_, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // The port came up with both lines disabled, so the DCB read back says so.
    EXPECT_EQ(Sent(), Cat(kFourGets, {"SET_BAUD_RATE", "CLR_RTS", "CLR_DTR", "SET_LINE_CONTROL"}));
    // The port is still readable, with what did get through.
    Rec().Succeed();
    ASSERT_TRUE(GetCommState(port_, &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
}

TEST_F(CommState, AFailedGetFailsBothCalls) {
    Rec().Fail(IOCTL_SERIAL_GET_CHARS, STATUS_DELETE_PENDING);
    DCB dcb;
    EXPECT_FALSE(GetCommState(port_, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Sent(), Names({"GET_BAUD_RATE", "GET_LINE_CONTROL", "GET_CHARS"}));
    EXPECT_FALSE(SetCommState(port_, &dcb));
    EXPECT_EQ(Sent(), Names({"GET_BAUD_RATE", "GET_LINE_CONTROL", "GET_CHARS"}));
}

// ---------------------------------------------------------------- one request each

class CommRequests : public CommTest {};

TEST_F(CommRequests, SetupCommCarriesBothSizes) {
    ASSERT_TRUE(SetupComm(port_, 1514, 65520));
    EXPECT_EQ(Rec().Names(), Names({"SET_QUEUE_SIZE"}));
    const auto q = Rec().Input<SERIAL_QUEUE_SIZE>(0);
    EXPECT_EQ(q.InSize, 1514u);
    EXPECT_EQ(q.OutSize, 65520u);
}

TEST_F(CommRequests, TimeoutsPassThroughUnchanged) {
    COMMTIMEOUTS set = {MAXDWORD, MAXDWORD, 0xFFFFFFFE, 5, 80};
    ASSERT_TRUE(SetCommTimeouts(port_, &set));
    COMMTIMEOUTS got{};
    ASSERT_TRUE(GetCommTimeouts(port_, &got));
    EXPECT_EQ(Sent(), Names({"SET_TIMEOUTS", "GET_TIMEOUTS"}));
    EXPECT_EQ(std::memcmp(&set, &got, sizeof set), 0);
}

TEST_F(CommRequests, MasksAndPurge) {
    ASSERT_TRUE(SetCommMask(port_, 0x1FB));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(port_, &mask));
    EXPECT_EQ(mask, 0x1FBu);
    ASSERT_TRUE(PurgeComm(port_, PURGE_RXABORT | PURGE_RXCLEAR));
    EXPECT_EQ(Rec().Names(), Names({"SET_WAIT_MASK", "GET_WAIT_MASK", "PURGE"}));
    EXPECT_EQ(Rec().Input<ULONG>(2), static_cast<ULONG>(PURGE_RXABORT | PURGE_RXCLEAR));
}

TEST_F(CommRequests, EscapeFunctionsMapOneToOne) {
    const struct {
        DWORD function;
        const char* request;
    } cases[] = {
        {SETXOFF, "SET_XOFF"},      {SETXON, "SET_XON"},        {SETRTS, "SET_RTS"},
        {CLRRTS, "CLR_RTS"},        {SETDTR, "SET_DTR"},        {CLRDTR, "CLR_DTR"},
        {RESETDEV, "RESET_DEVICE"}, {SETBREAK, "SET_BREAK_ON"}, {CLRBREAK, "SET_BREAK_OFF"}};
    for (const auto& c : cases) {
        EXPECT_TRUE(EscapeCommFunction(port_, c.function));
        EXPECT_EQ(Sent(), Names({c.request}));
    }
    SetLastError(0);
    EXPECT_FALSE(EscapeCommFunction(port_, 10));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(Sent().empty()); // refused before reaching the driver
    ASSERT_TRUE(SetCommBreak(port_));
    ASSERT_TRUE(ClearCommBreak(port_));
    EXPECT_EQ(Sent(), Names({"SET_BREAK_ON", "SET_BREAK_OFF"}));
}

TEST_F(CommRequests, TransmitCommCharSendsOneByte) {
    ASSERT_TRUE(TransmitCommChar(port_, '\x13'));
    EXPECT_EQ(Rec().Names(), Names({"IMMEDIATE_CHAR"}));
    EXPECT_EQ(Rec().Log()[0].input, std::vector<uint8_t>({0x13}));
}

TEST_F(CommRequests, ModemStatusIsTheDriversValue) {
    Rec().modemStatus = SERIAL_MSR_DCD | SERIAL_MSR_DSR | SERIAL_MSR_DDCD;
    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(port_, &status));
    EXPECT_EQ(status, static_cast<DWORD>(MS_RLSD_ON | MS_DSR_ON | SERIAL_MSR_DDCD));
    EXPECT_EQ(Sent(), Names({"GET_MODEMSTATUS"}));
}

TEST_F(CommRequests, PropertiesAskForSixtyFourBytes) {
    COMMPROP props;
    std::memset(&props, 0, sizeof props);
    ASSERT_TRUE(GetCommProperties(port_, &props));
    ASSERT_EQ(Rec().Names(), Names({"GET_PROPERTIES"}));
    EXPECT_EQ(Rec().Log()[0].outputLength, 64u);
    EXPECT_EQ(props.wPacketLength, 64);
    EXPECT_EQ(props.dwMaxBaud, static_cast<DWORD>(BAUD_USER));
    EXPECT_EQ(props.wSettableStopParity, 0x1F07u);
    EXPECT_EQ(props.dwCurrentRxQueue, 4096u);
    EXPECT_EQ(sizeof(COMMPROP), 64u);
}

TEST_F(CommRequests, ClearCommErrorTranslatesTheStatusRecord) {
    Rec().status.Errors = SERIAL_ERROR_QUEUEOVERRUN | SERIAL_ERROR_FRAMING | SERIAL_ERROR_BREAK;
    Rec().status.HoldReasons = SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_XOFF_SENT;
    Rec().status.AmountInInQueue = 37;
    Rec().status.AmountInOutQueue = 5;
    Rec().status.EofReceived = TRUE;
    DWORD errors = 0;
    COMSTAT stat;
    std::memset(&stat, 0xFF, sizeof stat);
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(errors, static_cast<DWORD>(CE_RXOVER | CE_FRAME | CE_BREAK));
    EXPECT_EQ(stat.fCtsHold, 1u);
    EXPECT_EQ(stat.fDsrHold, 0u);
    EXPECT_EQ(stat.fXoffSent, 1u);
    EXPECT_EQ(stat.fEof, 1u);
    EXPECT_EQ(stat.fTxim, 0u);
    EXPECT_EQ(stat.fReserved, 0u);
    EXPECT_EQ(stat.cbInQue, 37u);
    EXPECT_EQ(stat.cbOutQue, 5u);
    // Both out-parameters are optional.
    ASSERT_TRUE(ClearCommError(port_, nullptr, nullptr));
    EXPECT_EQ(Rec().Names(), Names({"GET_COMMSTATUS", "GET_COMMSTATUS"}));
    EXPECT_EQ(Rec().Log()[0].outputLength, 20u);
}

TEST_F(CommRequests, FlushFileBuffersIsAFlushRequest) {
    ASSERT_TRUE(FlushFileBuffers(port_));
    EXPECT_EQ(Rec().Names(), Names({"FLUSH"}));
}

// Which status becomes which error is the Win32 suite's table; here, that a
// failed GET writes nothing into the caller's variable.
TEST_F(CommRequests, AFailedGetWritesNothing) {
    Rec().Fail(IOCTL_SERIAL_GET_MODEMSTATUS, STATUS_DEVICE_NOT_CONNECTED);
    DWORD status = 0x1234;
    EXPECT_FALSE(GetCommModemStatus(port_, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(status, 0x1234u);
}

TEST_F(CommRequests, OverlappedHandlesStillWaitForTheirRequests) {
    ReopenOverlapped();
    Sent();
    DCB dcb;
    ASSERT_TRUE(GetCommState(port_, &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    EXPECT_EQ(Sent(), Cat(kFourGets, {"SET_WAIT_MASK"}));
}

// ---------------------------------------------------------------- WaitCommEvent

class CommWait : public CommTest {
protected:
    void SetUp() override {
        CommTest::SetUp();
        ReopenOverlapped();
        ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_RLSD));
        Sent();
        event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ov_.hEvent = event_;
    }
    void TearDown() override {
        EXPECT_TRUE(CloseHandle(event_));
        CommTest::TearDown();
    }
    HANDLE event_ = nullptr;
    OVERLAPPED ov_{};
};

TEST_F(CommWait, OverlappedWaitPendsThenDeliversTheMask) {
    DWORD mask = 0xDEAD;
    EXPECT_FALSE(WaitCommEvent(port_, &mask, &ov_));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(Sent(), Names({"WAIT_ON_MASK"}));
    EXPECT_EQ(Rec().Names(), Names{});
    EXPECT_EQ(WaitForSingleObject(event_, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(Rec().RaiseEvents(EV_RLSD));
    EXPECT_EQ(WaitForSingleObject(event_, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD n = 0;
    ASSERT_TRUE(GetOverlappedResult(port_, &ov_, &n, FALSE));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RLSD));
}

TEST_F(CommWait, SetCommMaskEndsAPendingWaitWithNoEvents) {
    DWORD mask = 0xDEAD;
    EXPECT_FALSE(WaitCommEvent(port_, &mask, &ov_));
    ASSERT_TRUE(SetCommMask(port_, 0));
    DWORD n = 0;
    ASSERT_TRUE(GetOverlappedResult(port_, &ov_, &n, TRUE));
    EXPECT_EQ(mask, 0u);
}

TEST_F(CommWait, ARefusedWaitFailsAtOnceWithoutTouchingTheOverlapped) {
    ASSERT_TRUE(SetCommMask(port_, 0));
    DWORD mask = 0;
    ov_.Internal = 0x55;
    EXPECT_FALSE(WaitCommEvent(port_, &mask, &ov_));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForSingleObject(event_, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(CommWait, BlockingWaitReturnsWhenTheEventComes) {
    ASSERT_TRUE(CloseHandle(port_));
    port_ = Open(0);
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    DWORD mask = 0;
    BOOL ok = FALSE;
    {
        sim::Thread waiter("waiter", [&] { ok = WaitCommEvent(port_, &mask, nullptr); });
        sim::RunUntilIdle();
        ASSERT_TRUE(Rec().WaitPending());
        EXPECT_FALSE(waiter.Finished());
        ASSERT_TRUE(Rec().RaiseEvents(EV_RXCHAR));
    }
    EXPECT_TRUE(ok);
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
}

TEST_F(CommWait, CancelIoExTakesBackOnlyTheNamedRequest) {
    DWORD mask = 0;
    EXPECT_FALSE(WaitCommEvent(port_, &mask, &ov_));
    OVERLAPPED other{};
    SetLastError(0);
    EXPECT_FALSE(CancelIoEx(port_, &other));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_TRUE(Rec().WaitPending());
    ASSERT_TRUE(CancelIoEx(port_, &ov_));
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(port_, &ov_, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(Rec().WaitPending());
    // Nothing left to cancel.
    EXPECT_FALSE(CancelIoEx(port_, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
}

TEST_F(CommWait, CancelIoExWithoutOverlappedCancelsEverything) {
    DWORD mask = 0;
    EXPECT_FALSE(WaitCommEvent(port_, &mask, &ov_));
    ASSERT_TRUE(CancelIoEx(port_, nullptr));
    EXPECT_EQ(WaitForSingleObject(event_, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(static_cast<NTSTATUS>(ov_.Internal), STATUS_CANCELLED);
}

// ---------------------------------------------------------------- BuildCommDCB

// One string and the fields it must leave in a DCB that started with CTS
// flow, XON input and XonLim 77 (to see BuildCommDCB turn flow control off
// and keep what the string does not name). -1: the field is not checked.
struct DcbRow {
    const char* text;
    int baud, parity, fParity, byteSize, stopBits, outxCts, outxDsr, dsrSens, inX, outX, dtr, rts;
};

const DcbRow kDcbRows[] = {
    {"baud=115200 parity=E data=7 stop=2", 115200, EVENPARITY, 1, 7, TWOSTOPBITS, 0, -1, -1, 0, -1,
     DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE},
    {"baud=9600 xon=on octs=on odsr=on idsr=on dtr=hs rts=tg to=off", 9600, -1, -1, -1, -1, 1, 1, 1,
     1, 1, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE},
    {"COM1: 96,n,8,1", 9600, NOPARITY, -1, 8, ONESTOPBIT, -1, -1, -1, -1, -1, -1, -1},
    {"19,o,7,1.5,p", 19200, ODDPARITY, -1, 7, ONE5STOPBITS, 1, -1, -1, -1, -1, -1,
     RTS_CONTROL_HANDSHAKE},
    {"57600,s,8,2,x", 57600, SPACEPARITY, -1, 8, TWOSTOPBITS, 0, -1, -1, -1, 1, -1, -1},
    {"baud=38400 parity=m data=6 stop=1", 38400, MARKPARITY, -1, 6, ONESTOPBIT, -1, -1, -1, -1, -1,
     -1, -1},
    // 110 baud means two stop bits unless the string says otherwise.
    {"11,n,8", 110, -1, -1, -1, TWOSTOPBITS, -1, -1, -1, -1, -1, -1, -1},
    {"baud=110", 110, -1, -1, -1, TWOSTOPBITS, -1, -1, -1, -1, -1, -1, -1},
    {"baud=110 stop=1", 110, -1, -1, -1, ONESTOPBIT, -1, -1, -1, -1, -1, -1, -1},
};

DCB StartingDcb() {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.fOutxCtsFlow = 1;
    dcb.fInX = 1;
    dcb.XonLim = 77;
    return dcb;
}

TEST(CommBuildDcb, StringsSetTheFieldsTheyName) {
    for (const DcbRow& row : kDcbRows) {
        DCB dcb = StartingDcb();
        ASSERT_TRUE(BuildCommDCBA(row.text, &dcb)) << row.text;
        const int got[] = {int(dcb.BaudRate),     dcb.Parity,
                           int(dcb.fParity),      dcb.ByteSize,
                           dcb.StopBits,          int(dcb.fOutxCtsFlow),
                           int(dcb.fOutxDsrFlow), int(dcb.fDsrSensitivity),
                           int(dcb.fInX),         int(dcb.fOutX),
                           int(dcb.fDtrControl),  int(dcb.fRtsControl)};
        const int want[] = {row.baud,     row.parity,  row.fParity, row.byteSize,
                            row.stopBits, row.outxCts, row.outxDsr, row.dsrSens,
                            row.inX,      row.outX,    row.dtr,     row.rts};
        for (size_t i = 0; i < sizeof want / sizeof want[0]; ++i)
            if (want[i] >= 0) {
                EXPECT_EQ(got[i], want[i]) << row.text << " field " << i;
            }
        EXPECT_EQ(dcb.fBinary, 1u) << row.text;
        EXPECT_EQ(dcb.DCBlength, sizeof(DCB)) << row.text;
        EXPECT_EQ(dcb.XonLim, 77) << row.text;
    }
    // The wide form parses the same.
    DCB wide = StartingDcb();
    DCB narrow = StartingDcb();
    ASSERT_TRUE(BuildCommDCBW(L"baud=38400 parity=m data=6 stop=1", &wide));
    ASSERT_TRUE(BuildCommDCBA("baud=38400 parity=m data=6 stop=1", &narrow));
    EXPECT_EQ(std::memcmp(&wide, &narrow, sizeof wide), 0);
}

TEST(CommBuildDcb, BadStringsFailAndLeaveTheDcbAlone) {
    const DCB before = StartingDcb();
    for (const char* bad : {"baud=fast", "parity=q", "data=9", "stop=3", "dtr=maybe", "speed=9600",
                            "96,n,8,1,z", "96,n,4", "x,n,8,1", "96,n,8,1,x,extra"}) {
        DCB dcb = before;
        SetLastError(0);
        EXPECT_FALSE(BuildCommDCBA(bad, &dcb)) << bad;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << bad;
        EXPECT_EQ(std::memcmp(&before, &dcb, sizeof dcb), 0) << bad;
    }
}

TEST(CommRecords, LayoutsAreTheWindowsOnes) {
    EXPECT_EQ(sizeof(DCB), 28u);
    EXPECT_EQ(offsetof(DCB, wReserved), 12u);
    EXPECT_EQ(offsetof(DCB, ByteSize), 18u);
    EXPECT_EQ(offsetof(DCB, EvtChar), 25u);
    EXPECT_EQ(sizeof(COMMTIMEOUTS), 20u);
    EXPECT_EQ(sizeof(COMSTAT), 12u);
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
