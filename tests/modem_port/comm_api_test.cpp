// The modem port under the kernel32 communications calls serial programs
// make: each call sends exactly the requests kernel32 sends, and the port
// must accept them and answer what the program then reads back.
#include "port_fixture.h"

namespace modem_port {
namespace {

using usb::Pipe;

using Kernel32Comm = ModemPort;

DCB StateOf(HANDLE port) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(port, &dcb)) << "error " << GetLastError();
    return dcb;
}

TEST_F(Kernel32Comm, GetCommStateReadsTheOpenDefaults) {
    Open();
    DCB dcb = StateOf(port_);
    EXPECT_EQ(dcb.BaudRate, 460800u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.fDtrControl, DWORD(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, DWORD(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
}

TEST_F(Kernel32Comm, SetCommStateIsAcceptedAndReachesThePhone) {
    Open();
    DCB dcb = StateOf(port_);
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.EvtChar = 0x7E;
    ASSERT_TRUE(SetCommState(port_, &dcb)) << "error " << GetLastError();

    // SET_RTS with DSR reported, then SET_DTR without carrier.
    EXPECT_EQ(ControlLineRequests(), (std::vector<USHORT>{3, 1}));
    EXPECT_EQ(Modem().LineCoding(), (std::vector<uint8_t>{0x00, 0xC2, 0x01, 0, 0, 0, 8}));
    DCB back = StateOf(port_);
    EXPECT_EQ(back.BaudRate, DWORD(CBR_115200));
    EXPECT_EQ(back.StopBits, ONESTOPBIT);
    EXPECT_EQ(back.EvtChar, 0x7E);
}

TEST_F(Kernel32Comm, SetCommStateFromAModeString) {
    Open();
    DCB dcb = StateOf(port_);
    ASSERT_TRUE(BuildCommDCBA("baud=9600 parity=E data=7 stop=1", &dcb));
    ASSERT_TRUE(SetCommState(port_, &dcb)) << "error " << GetLastError();
    EXPECT_EQ(Modem().LineCoding(), (std::vector<uint8_t>{0x80, 0x25, 0, 0, 0, 2, 7}));
}

TEST_F(Kernel32Comm, SetCommStateWithARateOffTheListFailsAndLeavesThePortReadable) {
    Open();
    DCB dcb = StateOf(port_);
    dcb.BaudRate = 921600;
    SetLastError(0);
    EXPECT_FALSE(SetCommState(port_, &dcb));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(StateOf(port_).BaudRate, 460800u);
    EXPECT_EQ(LineCodingRequests(), 0u);
}

TEST_F(Kernel32Comm, TimeoutsRoundTripUnchanged) {
    Open();
    for (COMMTIMEOUTS timeouts :
         {COMMTIMEOUTS{MAXDWORD, 0, 0, 0, 0}, COMMTIMEOUTS{MAXDWORD, MAXDWORD, 0xFFFFFFFE, 0, 0},
          COMMTIMEOUTS{MAXDWORD, 5, 80, 0, 0}, COMMTIMEOUTS{20, 0, 0, 0, 0},
          COMMTIMEOUTS{0, 0, 0, 0, 0}}) {
        ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
        COMMTIMEOUTS back{};
        ASSERT_TRUE(GetCommTimeouts(port_, &back));
        EXPECT_EQ(memcmp(&back, &timeouts, sizeof back), 0);
    }
}

TEST_F(Kernel32Comm, PropertiesAndModemStatus) {
    Open();
    EXPECT_TRUE(SetupComm(port_, 4096, 2048));
    COMMPROP props{};
    ASSERT_TRUE(GetCommProperties(port_, &props));
    EXPECT_EQ(props.dwMaxBaud, DWORD(BAUD_USER));
    EXPECT_EQ(props.dwProvSubType, DWORD(PST_RS232));
    EXPECT_EQ(props.dwCurrentRxQueue, 1024000u);
    EXPECT_EQ(props.dwProvCapabilities & PCF_XONXOFF, 0u);
    DWORD modem = 0;
    ASSERT_TRUE(GetCommModemStatus(port_, &modem));
    EXPECT_EQ(modem, DWORD(MS_DSR_ON));
}

TEST_F(Kernel32Comm, ClearCommErrorReportsBothQueues) {
    Open();
    Modem().Push("RING\r\n");
    Modem().HoldBulkOut(true);
    auto write = StartWrite(Pattern(300));
    sim::RunUntilIdle();
    DWORD errors = 0xFFFF;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 6u);
    EXPECT_EQ(stat.cbOutQue, 300u);
    Modem().HoldBulkOut(false);
    Wait(*write);
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(stat.cbOutQue, 0u);
}

TEST_F(Kernel32Comm, EscapeFunctionsTheModemCanAndCannotDo) {
    Open();
    EXPECT_TRUE(EscapeCommFunction(port_, SETDTR));
    EXPECT_TRUE(EscapeCommFunction(port_, CLRDTR));
    EXPECT_TRUE(EscapeCommFunction(port_, SETRTS));
    EXPECT_TRUE(EscapeCommFunction(port_, CLRRTS));
    EXPECT_TRUE(EscapeCommFunction(port_, SETBREAK));
    EXPECT_TRUE(EscapeCommFunction(port_, CLRBREAK));
    EXPECT_TRUE(SetCommBreak(port_));
    EXPECT_TRUE(ClearCommBreak(port_));
    EXPECT_EQ(ControlLineRequests(), (std::vector<USHORT>{1, 0, 3, 1}));
    for (DWORD refused : {DWORD(SETXON), DWORD(SETXOFF), DWORD(RESETDEV)}) {
        SetLastError(0);
        EXPECT_FALSE(EscapeCommFunction(port_, refused)) << refused;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    }
}

TEST_F(Kernel32Comm, TransmitCommCharSendsOneByte) {
    Open();
    EXPECT_TRUE(TransmitCommChar(port_, '+'));
    EXPECT_EQ(Modem().TakeReceivedText(), "+");
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port_, nullptr, &stat));
    EXPECT_EQ(stat.cbOutQue, 0u);
}

TEST_F(Kernel32Comm, WaitCommEventSeesTheOutputQueueDrain) {
    Open();
    ASSERT_TRUE(SetCommMask(port_, EV_TXEMPTY | EV_RLSD));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(port_, &mask));
    EXPECT_EQ(mask, DWORD(EV_TXEMPTY | EV_RLSD));
    OVERLAPPED overlapped{};
    DWORD events = 0;
    EXPECT_FALSE(WaitCommEvent(port_, &events, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));

    EXPECT_EQ(Write("ATDT123\r").bytes, 8u);
    DWORD bytes = 0;
    ASSERT_TRUE(GetOverlappedResult(port_, &overlapped, &bytes, TRUE));
    EXPECT_EQ(events, DWORD(EV_TXEMPTY));
}

TEST_F(Kernel32Comm, PurgeCommAbortsQueuedWrites) {
    Open();
    Modem().HoldBulkOut(true);
    auto sending = StartWrite("sending");
    auto queued = StartWrite("queued");
    sim::RunUntilIdle();
    ASSERT_TRUE(PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR));
    EXPECT_EQ(queued->Status(), STATUS_CANCELLED);
    Modem().HoldBulkOut(false);
    EXPECT_EQ(Wait(*sending).status, STATUS_SUCCESS);
    EXPECT_EQ(Modem().TakeReceivedText(), "sending");
}

// CancelIoEx on one queued request takes exactly its bytes off the output
// queue: 500 for a write, 1 for an immediate character.
TEST_F(Kernel32Comm, CancellingOneQueuedRequestLowersTheQueueByItsLength) {
    Open();
    Modem().HoldBulkOut(true);
    auto sending = StartWrite(Pattern(100));
    auto write = StartWrite(Pattern(500));
    UCHAR x = 'X';
    auto immediate = StartIoctl(IOCTL_SERIAL_IMMEDIATE_CHAR, &x, 1, 0);
    sim::RunUntilIdle();
    ASSERT_EQ(CommStatus().AmountInOutQueue, 601u);

    ASSERT_TRUE(CancelIoEx(port_, &write->overlapped));
    sim::RunUntilIdle();
    EXPECT_EQ(write->Status(), STATUS_CANCELLED);
    EXPECT_EQ(CommStatus().AmountInOutQueue, 101u);
    ASSERT_TRUE(CancelIoEx(port_, &immediate->overlapped));
    sim::RunUntilIdle();
    EXPECT_EQ(immediate->Status(), STATUS_CANCELLED);
    EXPECT_EQ(CommStatus().AmountInOutQueue, 100u);

    Modem().HoldBulkOut(false);
    EXPECT_EQ(Wait(*sending).status, STATUS_SUCCESS);
    EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
}

} // namespace
} // namespace modem_port
