// The serial control requests of the modem port: every control code, the
// buffer checks and refused values, what reaches the phone, the requests
// kernel32 and the common serial libraries send, and requests sent from
// above PASSIVE_LEVEL.
#include "port_fixture.h"

namespace modem_port {
namespace {

using usb::Pipe;

// ---------------------------------------------------------------- settings

using SerialSettings = ModemPort;

TEST_F(SerialSettings, BaudRatesOfTheListAreSentToThePhone) {
    Open();
    for (ULONG rate : {300UL, 9600UL, 115200UL, 128000UL, 230400UL, 3686400UL}) {
        Modem().ClearClassRequests();
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{rate}), STATUS_SUCCESS) << rate;
        EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, rate);
        EXPECT_EQ(LineCodingRequests(), 1u);
        std::vector<uint8_t> coding = Modem().LineCoding();
        ASSERT_EQ(coding.size(), 7u);
        ULONG sent = 0;
        memcpy(&sent, coding.data(), 4);
        EXPECT_EQ(sent, rate);
    }
}

TEST_F(SerialSettings, BaudRatesOffTheListAreRefusedAndNotSent) {
    Open();
    for (ULONG rate :
         {921600UL, 56000UL, 75UL, 110UL, 134UL, 150UL, 10000UL, 230404UL, 0UL, 0xFFFFFFFFUL}) {
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{rate}), STATUS_INVALID_PARAMETER)
            << rate;
    }
    EXPECT_EQ(LineCodingRequests(), 0u);
    EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 460800u);
}

TEST_F(SerialSettings, LineControlIsValidatedStoredAndSent) {
    Open();
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{9600}), STATUS_SUCCESS);
    SERIAL_LINE_CONTROL line{STOP_BIT_1, EVEN_PARITY, 7};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, line), STATUS_SUCCESS);
    EXPECT_EQ(Modem().LineCoding(), (std::vector<uint8_t>{0x80, 0x25, 0, 0, 0, 2, 7}));
    SERIAL_LINE_CONTROL back = Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
    EXPECT_EQ(back.StopBits, STOP_BIT_1);
    EXPECT_EQ(back.Parity, EVEN_PARITY);
    EXPECT_EQ(back.WordLength, 7);

    Modem().ClearClassRequests();
    for (SERIAL_LINE_CONTROL bad : {SERIAL_LINE_CONTROL{0, 0, 4}, SERIAL_LINE_CONTROL{0, 0, 9},
                                    SERIAL_LINE_CONTROL{3, 0, 8}, SERIAL_LINE_CONTROL{0, 5, 8}}) {
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, bad), STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(LineCodingRequests(), 0u);
    back = Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
    EXPECT_EQ(back.WordLength, 7) << "a refused value changes nothing";

    uint8_t two[2] = {0, 0};
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, two, 2, nullptr, 0).status,
              STATUS_BUFFER_TOO_SMALL);
}

TEST_F(SerialSettings, ALineCodingThePhoneRefusesFailsButIsKept) {
    Open();
    Modem().Stall(Pipe::Control);
    NTSTATUS status = Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{19200});
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 19200u);
}

TEST_F(SerialSettings, TimeoutsTakeEveryValue) {
    Open();
    for (SERIAL_TIMEOUTS timeouts :
         {SERIAL_TIMEOUTS{MAXDWORD, MAXDWORD, MAXDWORD, MAXDWORD, MAXDWORD},
          SERIAL_TIMEOUTS{MAXDWORD, MAXDWORD, 0xFFFFFFFE, 0, 0}, SERIAL_TIMEOUTS{0, 0, 0, 0, 0},
          SERIAL_TIMEOUTS{20, 0, 0, 0, 0}}) {
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts), STATUS_SUCCESS);
        SERIAL_TIMEOUTS back = Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
        EXPECT_EQ(memcmp(&back, &timeouts, sizeof back), 0);
    }
}

TEST_F(SerialSettings, HandFlowKeepsOnlyTheFlagWords) {
    Open();
    SERIAL_HANDFLOW flow{SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE | SERIAL_ERROR_ABORT,
                         SERIAL_TRANSMIT_TOGGLE | SERIAL_XOFF_CONTINUE, 2048, 512};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, flow), STATUS_SUCCESS);
    SERIAL_HANDFLOW back = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(back.ControlHandShake, flow.ControlHandShake);
    EXPECT_EQ(back.FlowReplace, flow.FlowReplace);
    EXPECT_EQ(back.XonLimit, 0) << "the limits are not stored";
    EXPECT_EQ(back.XoffLimit, 0);
}

TEST_F(SerialSettings, SpecialCharactersTakeAnyValue) {
    Open();
    SERIAL_CHARS zero{};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_CHARS, zero), STATUS_SUCCESS);
    SERIAL_CHARS back = Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS);
    EXPECT_EQ(memcmp(&back, &zero, sizeof back), 0);
}

TEST_F(SerialSettings, StatisticsCountWritesAndClear) {
    Open();
    ASSERT_EQ(Write("12345").status, STATUS_SUCCESS);
    EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).TransmittedCount, 5u);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_CLEAR_STATS), STATUS_SUCCESS);
    SERIALPERF_STATS stats = Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(stats.TransmittedCount, 0u);
    EXPECT_EQ(stats.ReceivedCount, 0u);
}

TEST_F(SerialSettings, PropertiesDescribeAUserBaudRs232Port) {
    Open();
    uint8_t short63[63];
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, short63, 63).status,
              STATUS_BUFFER_TOO_SMALL);
    SERIAL_COMMPROP props = Get<SERIAL_COMMPROP>(IOCTL_SERIAL_GET_PROPERTIES);
    EXPECT_EQ(props.PacketLength, 64);
    EXPECT_EQ(props.PacketVersion, 2);
    EXPECT_EQ(props.ServiceMask, ULONG(SERIAL_SP_SERIALCOMM));
    EXPECT_EQ(props.MaxTxQueue, 0u);
    EXPECT_EQ(props.MaxRxQueue, 0u);
    EXPECT_EQ(props.MaxBaud, ULONG(SERIAL_BAUD_USER));
    EXPECT_EQ(props.ProvSubType, ULONG(SERIAL_SP_RS232));
    EXPECT_EQ(props.ProvCapabilities, 0xCFu);
    EXPECT_EQ(props.SettableParams, 0x7Fu);
    EXPECT_EQ(props.SettableBaud, 0x1007FFFFu);
    EXPECT_EQ(props.SettableData, 0x000F);
    EXPECT_EQ(props.SettableStopParity, 0x1F07);
    EXPECT_EQ(props.CurrentTxQueue, 0u);
    EXPECT_EQ(props.CurrentRxQueue, 1024000u);
    EXPECT_EQ(props.ProvSpec1, 0u);
    EXPECT_EQ(props.ProvSpec2, 0u);
}

// ---------------------------------------------------------------- codes without effect, and
// refused

using SerialCodes = ModemPort;

TEST_F(SerialCodes, CommonCodesSucceedWithoutEffect) {
    Open();
    uint8_t buffer[64] = {};
    for (ULONG code :
         {IOCTL_SERIAL_SET_QUEUE_SIZE, IOCTL_SERIAL_XOFF_COUNTER, IOCTL_SERIAL_LSRMST_INSERT,
          IOCTL_SERIAL_SET_MODEM_CONTROL, IOCTL_SERIAL_SET_FIFO_CONTROL, IOCTL_SERIAL_SET_BREAK_ON,
          IOCTL_SERIAL_SET_BREAK_OFF}) {
        EXPECT_EQ(Ioctl(code, buffer, 8, nullptr, 0).status, STATUS_SUCCESS) << std::hex << code;
    }
    // These return nothing, even with room for an answer.
    for (ULONG code :
         {IOCTL_SERIAL_GET_DTRRTS, IOCTL_SERIAL_CONFIG_SIZE, IOCTL_SERIAL_GET_MODEM_CONTROL}) {
        Result result = Ioctl(code, nullptr, 0, buffer, 4);
        EXPECT_EQ(result.status, STATUS_SUCCESS) << std::hex << code;
        EXPECT_EQ(result.bytes, 0u) << std::hex << code;
    }
    // Break has no USB request: nothing reaches the phone.
    EXPECT_TRUE(Modem().ClassRequests().empty());
}

TEST_F(SerialCodes, WhatThePortCannotDoIsRefused) {
    Open();
    uint8_t buffer[64] = {};
    const ULONG refused[] = {
        IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_SET_XOFF,
        IOCTL_SERIAL_GET_COMMCONFIG, IOCTL_SERIAL_SET_COMMCONFIG,
        // A serial code past the last one, and a probe of another device type.
        CTL_CODE(FILE_DEVICE_SERIAL_PORT, 40, METHOD_BUFFERED, FILE_ANY_ACCESS),
        CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)};
    for (ULONG code : refused) {
        Result result = Ioctl(code, buffer, 8, buffer, 8);
        EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER) << std::hex << code;
        EXPECT_EQ(result.bytes, 0u);
    }
    EXPECT_EQ(Write("still usable").status, STATUS_SUCCESS);
}

struct ShortBuffer {
    ULONG code;
    DWORD input; // what the request needs of each, 0 when none
    DWORD output;
};

TEST_F(SerialCodes, EveryShortBufferIsTooSmallAndChangesNothing) {
    Open();
    const ShortBuffer cases[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0},
        {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0},
        {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0},
        {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0},
        {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20},
        {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4},
        {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0},
        {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4},
        {IOCTL_SERIAL_PURGE, 4, 0},
        {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4},
        {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3},
        {IOCTL_SERIAL_GET_CHARS, 0, 6},
        {IOCTL_SERIAL_SET_CHARS, 6, 0},
        {IOCTL_SERIAL_GET_HANDFLOW, 0, 16},
        {IOCTL_SERIAL_SET_HANDFLOW, 16, 0},
        {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4},
        {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20},
        {IOCTL_SERIAL_GET_PROPERTIES, 0, 64},
        {IOCTL_SERIAL_GET_STATS, 0, 24},
    };
    uint8_t buffer[64];
    memset(buffer, 0xEE, sizeof buffer);
    for (const ShortBuffer& c : cases) {
        DWORD in = c.input != 0 ? c.input - 1 : 0;
        DWORD out = c.output != 0 ? c.output - 1 : 0;
        Result result = Ioctl(c.code, buffer, in, out != 0 ? buffer : nullptr, out);
        EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL) << std::hex << c.code;
        EXPECT_EQ(result.bytes, 0u) << std::hex << c.code;
    }
    EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 460800u);
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), 0u);
    EXPECT_TRUE(Modem().ClassRequests().empty());
    EXPECT_TRUE(BulkOutSubmits().empty());
}

// ---------------------------------------------------------------- control lines

using ControlLines = ModemPort;

// The port states the line a request does not name from the phone's report:
// carrier for RTS, DSR for DTR (DSR is set at open).
TEST_F(ControlLines, EachRequestSendsItsLineWithTheOtherFromTheModemStatus) {
    Open();
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS); // no carrier: RTS off
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS); // DSR: DTR on
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);
    EXPECT_EQ(ControlLineRequests(), (std::vector<USHORT>{1, 0, 3, 1}));
}

TEST_F(ControlLines, CarrierFromThePhoneStandsForRts) {
    Open();
    Modem().SendSerialState(usb::kStateDcd | usb::kStateDsr);
    sim::RunUntilIdle();
    ASSERT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS) & SERIAL_MSR_DCD, ULONG(SERIAL_MSR_DCD));
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    EXPECT_EQ(ControlLineRequests(), (std::vector<USHORT>{3, 2}));

    Modem().SendSerialState(0);
    sim::RunUntilIdle();
    Modem().ClearClassRequests();
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
    EXPECT_EQ(ControlLineRequests(), (std::vector<USHORT>{2})) << "DSR dropped: DTR off";
}

TEST_F(ControlLines, ARefusedControlRequestStillSucceeds) {
    Open();
    Modem().Stall(Pipe::Control);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
}

// ---------------------------------------------------------------- waits

using WaitRequests = ModemPort;

TEST_F(WaitRequests, MasksBeyondEventTwoAreRefused) {
    Open();
    ULONG all = 0x1FFF;
    Result set = Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &all, sizeof all, nullptr, 0);
    EXPECT_EQ(set.status, STATUS_SUCCESS);
    EXPECT_EQ(set.bytes, 4u);
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), 0x1FFFu);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(0x2000)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), 0x1FFFu);
}

TEST_F(WaitRequests, AWaitWithoutAMaskFailsAndWritesZero) {
    Open();
    auto wait = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    EXPECT_EQ(Wait(*wait).status, STATUS_INVALID_PARAMETER);
    // A failed request's buffer is not copied back to an application; a
    // driver above sees the word the port wrote.
    ULONG events = 0xFFFFFFFF;
    SentIrp& sent = SendControl(IOCTL_SERIAL_WAIT_ON_MASK, &events, 0, sizeof events);
    EXPECT_EQ(sent.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sent.information, 0u);
    EXPECT_EQ(events, 0u);
}

TEST_F(WaitRequests, ASecondWaitEndsTheFirstWithNoEventsAndIsRefused) {
    Open();
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RXFLAG)), STATUS_SUCCESS);
    auto first = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    sim::RunUntilIdle();
    ASSERT_FALSE(first->Done());
    auto second = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    EXPECT_EQ(Wait(*second).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Wait(*first).status, STATUS_SUCCESS);
    EXPECT_EQ(first->Bytes(), 4u);
    EXPECT_EQ(first->OutputAs<ULONG>(), 0u);
}

TEST_F(WaitRequests, SettingTheMaskEndsAQueuedWait) {
    Open();
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RLSD)), STATUS_SUCCESS);
    auto wait = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    sim::RunUntilIdle();
    ASSERT_FALSE(wait->Done());
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(0)), STATUS_SUCCESS);
    EXPECT_EQ(Wait(*wait).status, STATUS_SUCCESS);
    EXPECT_EQ(wait->OutputAs<ULONG>(), 0u);
}

// ---------------------------------------------------------------- purge

using Purge = ModemPort;

TEST_F(Purge, RxClearEmptiesTheInputQueue) {
    Open();
    Modem().Push("OK\r\n");
    sim::RunUntilIdle();
    ASSERT_EQ(CommStatus().AmountInInQueue, 4u);
    ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_RXCLEAR)), STATUS_SUCCESS);
    EXPECT_EQ(CommStatus().AmountInInQueue, 0u);
}

TEST_F(Purge, RxAbortEndsAWaitingReadAndThePortStaysUsable) {
    Open();
    SERIAL_TIMEOUTS none{};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, none), STATUS_SUCCESS);
    auto read = StartRead(16);
    sim::RunUntilIdle();
    ASSERT_FALSE(read->Done());
    ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_RXABORT)), STATUS_SUCCESS);
    sim::RunUntilIdle();
    EXPECT_TRUE(read->Done());
    EXPECT_EQ(read->Bytes(), 0u);

    Modem().Push("data");
    sim::RunUntilIdle();
    auto again = StartRead(4);
    EXPECT_EQ(Wait(*again).bytes, 4u);
}

TEST_F(Purge, AllFourFlagsTogether) {
    Open();
    Modem().HoldBulkOut(true);
    auto sending = StartWrite("a");
    auto queued = StartWrite("b");
    Modem().Push("xyz");
    sim::RunUntilIdle();
    ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG(0xF)), STATUS_SUCCESS);
    EXPECT_EQ(queued->Status(), STATUS_CANCELLED);
    SERIAL_STATUS status = CommStatus();
    EXPECT_EQ(status.AmountInInQueue, 0u);
    EXPECT_EQ(status.AmountInOutQueue, 1u);
    Modem().HoldBulkOut(false);
    Wait(*sending);
}

// ---------------------------------------------------------------- what kernel32 sends

using Kernel32Sequences = ModemPort;

// SetCommState with odd values real programs send: all-zero characters,
// zero limits, XOFF_CONTINUE and transmit toggle; none may be refused.
TEST_F(Kernel32Sequences, SetCommStateWithOddValues) {
    Open();
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{2400}), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    EXPECT_EQ(
        Set(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BITS_1_5, MARK_PARITY, 5}),
        STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_CHARS, SERIAL_CHARS{}), STATUS_SUCCESS);
    SERIAL_HANDFLOW flow{SERIAL_DSR_SENSITIVITY, SERIAL_TRANSMIT_TOGGLE | SERIAL_XOFF_CONTINUE, 0,
                         0};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, flow), STATUS_SUCCESS);
}

// GetCommConfig / SetCommConfig: the port has no configuration block.
TEST_F(Kernel32Sequences, CommConfigIsRefusedAndTheStateRequestsStillWork) {
    Open();
    uint8_t config[64] = {};
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_CONFIG_SIZE, nullptr, 0, config, 4).bytes, 0u);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_COMMCONFIG, nullptr, 0, config, 64).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_COMMCONFIG, config, 64, nullptr, 0).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 460800u);
}

// .NET SerialPort.Open and Close around a pending event wait.
TEST_F(Kernel32Sequences, DotNetOpenAndClose) {
    Open();
    Get<SERIAL_COMMPROP>(IOCTL_SERIAL_GET_PROPERTIES);
    Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS);
    SERIAL_TIMEOUTS timeouts{MAXDWORD, MAXDWORD, 0xFFFFFFFE, 0, 0};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts), STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(0x1FB)), STATUS_SUCCESS);
    auto events = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{4096, 2048}), STATUS_SUCCESS);
    sim::RunUntilIdle();
    EXPECT_FALSE(events->Done());

    EXPECT_TRUE(FlushFileBuffers(port_));
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(0)), STATUS_SUCCESS);
    EXPECT_EQ(Wait(*events).status, STATUS_SUCCESS) << "the wait ends with the mask change";
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    EXPECT_TRUE(FlushFileBuffers(port_));
    EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_RXABORT)),
              STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_TXABORT)),
              STATUS_SUCCESS);
    Close();
    EXPECT_EQ(Outstanding(), 0u);
}

// pyserial's Serial.open(), then a read that polls the status first and a
// close that puts the saved time-outs back.
TEST_F(Kernel32Sequences, PyserialOpenReadAndClose) {
    Open();
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{4096, 4096}), STATUS_SUCCESS);
    SERIAL_TIMEOUTS saved = Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
    SERIAL_TIMEOUTS nonBlocking{MAXDWORD, 0, 0, 0, 0};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, nonBlocking), STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_ERR)), STATUS_SUCCESS);
    Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE);
    Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
    Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS);
    Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{115200}), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8}),
              STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_CHARS, SERIAL_CHARS{0, 0, 0, 0, 0x11, 0x13}), STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW,
                  SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, 512}),
              STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG(0xF)), STATUS_SUCCESS);

    Modem().Push("OK\r\n");
    sim::RunUntilIdle();
    SERIAL_STATUS status = CommStatus();
    EXPECT_EQ(status.AmountInInQueue, 4u);
    auto read = StartRead(status.AmountInInQueue);
    EXPECT_EQ(Wait(*read).bytes, 4u);
    EXPECT_EQ(std::string(read->output.begin(), read->output.end()), "OK\r\n");

    EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, saved), STATUS_SUCCESS);
    EXPECT_TRUE(CancelIo(port_));
    Close();
    EXPECT_EQ(Outstanding(), 0u);
}

// ---------------------------------------------------------------- above PASSIVE_LEVEL

using DeferredRequests = ModemPort;

// A request sent from a DPC is handed to a worker thread, which can wait for
// the phone's answer to the line coding; the sender sees STATUS_PENDING and
// a completion at PASSIVE_LEVEL.
TEST_F(DeferredRequests, ARequestFromADpcRunsOnAWorkerThread) {
    Open();
    SERIAL_BAUD_RATE rate{57600};
    SentIrp& sent = SendControlFromDpc(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate, 0);
    EXPECT_EQ(sent.sentIrql, DISPATCH_LEVEL);
    EXPECT_EQ(sent.returned, STATUS_PENDING);
    ASSERT_TRUE(sent.done);
    EXPECT_EQ(sent.status, STATUS_SUCCESS);
    EXPECT_EQ(sent.completionIrql, PASSIVE_LEVEL);
    EXPECT_EQ(LineCodingRequests(), 1u);
    EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 57600u);
    EXPECT_EQ(sim::QueuedWorkItems(), 0u);
}

TEST_F(DeferredRequests, ADeferredRequestAnswersLikeADirectOne) {
    Open();
    ULONG baud = 0;
    SentIrp& get = SendControlFromDpc(IOCTL_SERIAL_GET_BAUD_RATE, &baud, 0, sizeof baud);
    EXPECT_EQ(get.status, STATUS_SUCCESS);
    EXPECT_EQ(get.information, sizeof(ULONG));
    EXPECT_EQ(baud, 460800u);

    SentIrp& tooSmall = SendControlFromDpc(IOCTL_SERIAL_GET_BAUD_RATE, &baud, 0, 2);
    EXPECT_EQ(tooSmall.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall.information, 0u);

    SentIrp& unknown = SendControlFromDpc(IOCTL_SERIAL_RESET_DEVICE, nullptr, 0, 0);
    EXPECT_EQ(unknown.returned, STATUS_PENDING);
    EXPECT_EQ(unknown.status, STATUS_INVALID_PARAMETER);
}

TEST_F(DeferredRequests, ADeferredWaitStaysQueuedUntilItsEvent) {
    Open();
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_TXEMPTY)), STATUS_SUCCESS);
    ULONG events = 0xFFFFFFFF;
    SentIrp& wait = SendControlFromDpc(IOCTL_SERIAL_WAIT_ON_MASK, &events, 0, sizeof events);
    EXPECT_FALSE(wait.done);
    ASSERT_EQ(Write("x").status, STATUS_SUCCESS);
    sim::RunUntilIdle();
    EXPECT_TRUE(wait.done);
    EXPECT_EQ(wait.status, STATUS_SUCCESS);
    EXPECT_EQ(events, ULONG(SERIAL_EV_TXEMPTY));
}

TEST_F(DeferredRequests, NoMemoryForTheRecordFailsTheRequestUnsuccessful) {
    Open();
    sim::FaultPlan plan;
    plan.kind = sim::AllocKind::Pool;
    plan.driver = node_->driver;
    plan.failNth = 1;
    int number = sim::AddFaultPlan(plan);
    SERIAL_BAUD_RATE rate{9600};
    SentIrp& sent = SendControlFromDpc(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate, 0);
    sim::RemoveFaultPlan(number);
    EXPECT_EQ(sent.returned, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(sent.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(sent.information, 0u);
    EXPECT_EQ(LineCodingRequests(), 0u);
}

} // namespace
} // namespace modem_port
