// What only the modem port does with its settings, its handle and its writer:
// settings sent to the phone and kept across handles, the requests kernel32
// and common serial libraries send, requests from a driver above (from a DPC
// too), immediate characters ordered among writes, and lengths the output
// count cannot hold.
#include "common/port_test.h"

namespace {

using rig::Bytes;
using rig::Request;
using rig::SentIrp;
using usb::Pipe;
using usb::SetupPacket;

using ModemPort = rig::ModemTest;

TEST_F(ModemPort, LineControlIsValidatedStoredAndSent) {
    ASSERT_EQ(Modem().Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{9600}), STATUS_SUCCESS);
    SERIAL_LINE_CONTROL line{STOP_BIT_1, EVEN_PARITY, 7};
    ASSERT_EQ(Modem().Set(IOCTL_SERIAL_SET_LINE_CONTROL, line), STATUS_SUCCESS);
    // SET_LINE_CODING: class request to the interface, seven little-endian bytes.
    std::vector<usb::ClassRequest> requests = Modem().Usb()->ClassRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(Bytes(requests.back().setup), Bytes(SetupPacket{0x21, usb::kSetLineCoding, 0, 0, 7}));
    EXPECT_EQ(requests.back().data, (std::vector<uint8_t>{0x80, 0x25, 0, 0, 0, 2, 7}));
    EXPECT_EQ(Bytes(Modem().Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL)), Bytes(line));

    Modem().Usb()->ClearClassRequests();
    for (SERIAL_LINE_CONTROL bad : {SERIAL_LINE_CONTROL{0, 0, 4}, SERIAL_LINE_CONTROL{0, 0, 9},
                                    SERIAL_LINE_CONTROL{3, 0, 8}, SERIAL_LINE_CONTROL{0, 5, 8}})
        EXPECT_EQ(Modem().Set(IOCTL_SERIAL_SET_LINE_CONTROL, bad), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Modem().LineCodingRequests(), 0u);
    EXPECT_EQ(Modem().Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL).WordLength, 7)
        << "a refused value changes nothing";
    // The oddest line SetCommState can ask for is taken.
    ASSERT_EQ(Modem().Set(IOCTL_SERIAL_SET_LINE_CONTROL,
                          SERIAL_LINE_CONTROL{STOP_BITS_1_5, MARK_PARITY, 5}),
              STATUS_SUCCESS);

    // A high rate fills the upper bytes; the line keeps what was set.
    ASSERT_EQ(Modem().Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{3686400}), STATUS_SUCCESS);
    EXPECT_EQ(Modem().Usb()->LineCoding(), (std::vector<uint8_t>{0x00, 0x40, 0x38, 0, 1, 3, 5}));

    // A line coding the phone refuses fails the request, but the value is kept.
    Modem().Usb()->ClearClassRequests();
    Modem().Usb()->Stall(Pipe::Control);
    EXPECT_FALSE(NT_SUCCESS(Modem().Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{19200})));
    EXPECT_EQ(Modem().LineCodingRequests(), 1u);
    EXPECT_EQ(Modem().Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 19200u);
    // A refused control-line request still succeeds.
    EXPECT_EQ(Modem().Ioctl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
}

// Settings that round-trip unchanged, whatever their values; the hand-flow
// limits are not stored.
TEST_F(ModemPort, SettingsRoundTrip) {
    for (SERIAL_TIMEOUTS t : {SERIAL_TIMEOUTS{MAXDWORD, MAXDWORD, MAXDWORD, MAXDWORD, MAXDWORD},
                              SERIAL_TIMEOUTS{MAXDWORD, MAXDWORD, 0xFFFFFFFE, 0, 0},
                              SERIAL_TIMEOUTS{MAXDWORD, 5, 80, 0, 0},
                              SERIAL_TIMEOUTS{20, 0, 0, 0, 0}, SERIAL_TIMEOUTS{0, 0, 0, 0, 0}}) {
        ASSERT_EQ(Modem().Set(IOCTL_SERIAL_SET_TIMEOUTS, t), STATUS_SUCCESS);
        EXPECT_EQ(Bytes(Modem().Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS)), Bytes(t));
    }
    SERIAL_HANDFLOW flow{SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_SENSITIVITY |
                             SERIAL_ERROR_ABORT,
                         SERIAL_TRANSMIT_TOGGLE | SERIAL_XOFF_CONTINUE, 2048, 512};
    ASSERT_EQ(Modem().Set(IOCTL_SERIAL_SET_HANDFLOW, flow), STATUS_SUCCESS);
    flow.XonLimit = flow.XoffLimit = 0; // the limits are not stored
    EXPECT_EQ(Bytes(Modem().Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW)), Bytes(flow));
    SERIAL_CHARS zero{};
    ASSERT_EQ(Modem().Set(IOCTL_SERIAL_SET_CHARS, zero), STATUS_SUCCESS);
    EXPECT_EQ(Bytes(Modem().Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS)), Bytes(zero));
}

TEST_F(ModemPort, PropertiesDescribeAUserBaudRs232Port) {
    const SERIAL_COMMPROP want{
        64,   2,    SERIAL_SP_SERIALCOMM, 0,      0,      0, SERIAL_BAUD_USER, SERIAL_SP_RS232,
        0xCF, 0x7F, 0x1007FFFF,           0x000F, 0x1F07, 0, 1024000,          0,
        0,    {0}};
    EXPECT_EQ(Bytes(Modem().Get<SERIAL_COMMPROP>(IOCTL_SERIAL_GET_PROPERTIES)), Bytes(want));
}

// Each line request sends its line with the other taken from the phone's
// report: carrier stands for RTS, DSR for DTR (DSR is set at open); the modem
// status stays what the phone reported. Break has no USB request (the break
// rows of the request table).
TEST_F(ModemPort, ControlLinesFollowThePhonesReport) {
    const struct {
        USHORT uart; // the phone's serial state before the request
        ULONG code;
        USHORT sent;
    } rows[] = {
        {usb::kStateDsr, IOCTL_SERIAL_SET_DTR, 1},
        {usb::kStateDsr, IOCTL_SERIAL_CLR_DTR, 0},
        {usb::kStateDsr, IOCTL_SERIAL_SET_RTS, 3},
        {usb::kStateDsr, IOCTL_SERIAL_CLR_RTS, 1},
        {usb::kStateDcd | usb::kStateDsr, IOCTL_SERIAL_SET_DTR, 3},
        {usb::kStateDcd | usb::kStateDsr, IOCTL_SERIAL_CLR_DTR, 2},
        {0, IOCTL_SERIAL_SET_RTS, 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << row.code << " after state " << row.uart);
        Modem().SerialState(row.uart);
        Modem().Usb()->ClearClassRequests();
        const ULONG reported = Modem().ModemStatus();
        ASSERT_EQ(Modem().Ioctl(row.code), STATUS_SUCCESS);
        EXPECT_EQ(Modem().ControlLineRequests(), std::vector<USHORT>{row.sent});
        EXPECT_EQ(Modem().ModemStatus(), reported) << "the port's own lines looped back";
        const usb::ClassRequest sent = Modem().Usb()->ClassRequests().back();
        EXPECT_EQ(Bytes(sent.setup), Bytes(SetupPacket{0x21, usb::kSetControlLineState, row.sent}));
        EXPECT_TRUE(sent.data.empty());
    }
}

// Time-outs and statistics are the device's (until CLEAR_STATS); the line,
// hand flow and XON and XOFF characters are the open's own. The other
// characters persist. Between handles, a driver above may still send a
// control request: settings requests need an open port and leave
// Information as it came.
TEST_F(ModemPort, WhatANewHandleKeeps) {
    SERIAL_TIMEOUTS timeouts{MAXDWORD, 5, 80, 1, 2};
    ASSERT_EQ(Modem().Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts), STATUS_SUCCESS);
    ASSERT_EQ(Modem().Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{9600}), STATUS_SUCCESS);
    ASSERT_EQ(Modem().Set(IOCTL_SERIAL_SET_HANDFLOW,
                          SERIAL_HANDFLOW{SERIAL_DTR_HANDSHAKE, SERIAL_AUTO_TRANSMIT, 0, 0}),
              STATUS_SUCCESS);
    ASSERT_EQ(Modem().Set(IOCTL_SERIAL_SET_CHARS, SERIAL_CHARS{0x1A, 0x3F, 0x00, 0x7E, 0x21, 0x22}),
              STATUS_SUCCESS);
    ASSERT_EQ(Modem().Write("ATZ\r").Status(), STATUS_SUCCESS);
    ASSERT_TRUE(Modem().Close());
    Modem().Usb()->ClearClassRequests();
    SentIrp& get = Modem().SendControl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, sizeof(ULONG));
    EXPECT_EQ(get.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(get.information, rig::kUntouched);
    EXPECT_EQ(Modem().SendControl(IOCTL_SERIAL_SET_DTR, nullptr, 0, 0).status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(Modem().Usb()->ClassRequests().empty());
    Open(Modem());
    EXPECT_EQ(Bytes(Modem().Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS)), Bytes(timeouts));
    EXPECT_EQ(Modem().Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).TransmittedCount, 4u);
    ASSERT_EQ(Modem().Ioctl(IOCTL_SERIAL_CLEAR_STATS), STATUS_SUCCESS);
    EXPECT_EQ(Bytes(Modem().Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS)),
              Bytes(SERIALPERF_STATS{}));
    EXPECT_EQ(Modem().Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 460800u);
    EXPECT_EQ(Bytes(Modem().Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW)),
              Bytes(SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0}));
    EXPECT_EQ(Bytes(Modem().Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS)),
              Bytes(SERIAL_CHARS{0x1A, 0x3F, 0x00, 0x7E, 0x11, 0x13}));
}

// A request sent from a DPC is handed to a worker thread, which can wait for
// the phone's answer; the sender sees STATUS_PENDING and a completion at
// PASSIVE_LEVEL, answered as a direct request would be.
TEST_F(ModemPort, RequestsFromADpcRunOnAWorkerThread) {
    SERIAL_BAUD_RATE rate{57600};
    SentIrp& set = Modem().SendControl(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate, 0, true);
    EXPECT_EQ(set.sentIrql, DISPATCH_LEVEL);
    EXPECT_EQ(set.returned, STATUS_PENDING);
    ASSERT_TRUE(set.done);
    EXPECT_EQ(set.status, STATUS_SUCCESS);
    EXPECT_EQ(set.completionIrql, PASSIVE_LEVEL);
    EXPECT_EQ(Modem().LineCodingRequests(), 1u);
    EXPECT_EQ(sim::QueuedWorkItems(), 0u);

    const struct {
        ULONG code;
        ULONG outLength;
        NTSTATUS status;
        ULONG_PTR information;
    } rows[] = {{IOCTL_SERIAL_GET_BAUD_RATE, 4, STATUS_SUCCESS, 4},
                {IOCTL_SERIAL_GET_BAUD_RATE, 2, STATUS_BUFFER_TOO_SMALL, 0},
                {IOCTL_SERIAL_RESET_DEVICE, 0, STATUS_INVALID_PARAMETER, 0}};
    for (const auto& row : rows) {
        ULONG baud = 0;
        SentIrp& sent = Modem().SendControl(row.code, &baud, 0, row.outLength, true);
        EXPECT_EQ(sent.returned, STATUS_PENDING);
        EXPECT_EQ(sent.status, row.status) << std::hex << row.code;
        EXPECT_EQ(sent.information, row.information);
        EXPECT_EQ(baud, row.status == STATUS_SUCCESS ? 57600u : 0u);
    }

    // A deferred wait stays queued until its event.
    ASSERT_EQ(Modem().Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_TXEMPTY)), STATUS_SUCCESS);
    ULONG events = 0xFFFFFFFF;
    SentIrp& wait = Modem().SendControl(IOCTL_SERIAL_WAIT_ON_MASK, &events, 0, sizeof events, true);
    EXPECT_FALSE(wait.done);
    ASSERT_EQ(Modem().Write("x").Status(), STATUS_SUCCESS);
    sim::RunUntilIdle();
    EXPECT_TRUE(wait.done);
    EXPECT_EQ(wait.status, STATUS_SUCCESS);
    EXPECT_EQ(events, ULONG(SERIAL_EV_TXEMPTY));

    // No memory for the deferred request's record: unsuccessful, nothing sent.
    int plan = Modem().FailAllocation(sim::AllocKind::Pool);
    Modem().Usb()->ClearClassRequests();
    SentIrp& starved = Modem().SendControl(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate, 0, true);
    sim::RemoveFaultPlan(plan);
    EXPECT_EQ(starved.returned, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(starved.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(starved.information, 0u);
    EXPECT_EQ(Modem().LineCodingRequests(), 0u);
}

// ---------------------------------------------------------------- the writer

// An immediate character goes after the write on the bus and before queued
// writes; cancelling one queued request takes exactly its bytes off the
// output queue (500 for a write, 1 for an immediate character).
TEST_F(ModemPort, ImmediateCharactersAndTheOutputQueue) {
    Modem().Usb()->HoldBulkOut(true);
    Request& sending = Modem().StartWrite(std::string(9000, 'A'));
    Request& queued = Modem().StartWrite("B");
    Request& cancelled = Modem().StartWrite(rig::Pattern(500));
    UCHAR x = 'X';
    Request& immediate = Modem().StartIoctl(IOCTL_SERIAL_IMMEDIATE_CHAR, &x, 1, 0);
    Request& dropped = Modem().StartIoctl(IOCTL_SERIAL_IMMEDIATE_CHAR, &x, 1, 0);
    sim::RunUntilIdle();
    EXPECT_FALSE(immediate.Done());
    EXPECT_EQ(Modem().OutQueue(), 9000u + 1 + 500 + 1 + 1);
    ASSERT_TRUE(CancelIoEx(Modem().Handle(), &cancelled.overlapped));
    sim::RunUntilIdle();
    EXPECT_EQ(cancelled.Status(), STATUS_CANCELLED);
    EXPECT_EQ(Modem().OutQueue(), 9000u + 1 + 1 + 1);
    ASSERT_TRUE(CancelIoEx(Modem().Handle(), &dropped.overlapped));
    sim::RunUntilIdle();
    EXPECT_EQ(dropped.Status(), STATUS_CANCELLED);
    EXPECT_EQ(Modem().OutQueue(), 9000u + 1 + 1);

    Modem().Usb()->HoldBulkOut(false);
    EXPECT_EQ(Modem().Finish(queued).Status(), STATUS_SUCCESS);
    EXPECT_EQ(Modem().Finish(immediate).Status(), STATUS_SUCCESS);
    EXPECT_TRUE(sending.Done());
    EXPECT_EQ(Modem().Usb()->TakeReceivedText(), std::string(9000, 'A') + "XB");
    EXPECT_EQ(Modem().Submits(), (std::vector<ULONG>{4096, 4096, 808, 1, 1}));
    EXPECT_EQ(Modem().OutQueue(), 0u);
}

// A driver above can hand down any 32-bit length. One that does not fit the
// signed counts is refused before anything is counted or read; one that fits
// but would carry the queue's count past the limit is refused too, while a
// byte still below it is taken.
TEST_F(ModemPort, WriteLengthsTheCountsCannotHold) {
    uint8_t small[8] = {};
    for (ULONG length : {0x80000000UL, 0xFFFFFFFFUL}) {
        rig::IrpToSend write;
        write.major = IRP_MJ_WRITE;
        write.buffer = small;
        write.length = length;
        SentIrp& sent = Modem().Send(write);
        EXPECT_TRUE(sent.done);
        EXPECT_EQ(sent.status, STATUS_INVALID_PARAMETER) << std::hex << length;
        EXPECT_EQ(sent.information, 0u);
    }
    EXPECT_EQ(Modem().OutQueue(), 0u);
    EXPECT_TRUE(Modem().Submits().empty());

    Modem().Usb()->HoldBulkOut(true);
    Request& sending = Modem().StartWrite(rig::Pattern(50));
    sim::RunUntilIdle();
    // Queued behind the held write, never sent: its buffer is not read.
    rig::IrpToSend huge;
    huge.major = IRP_MJ_WRITE;
    huge.buffer = small;
    huge.length = 0x7FFFFFFFUL - 100;
    SentIrp& hugeSent = Modem().Send(huge);
    EXPECT_EQ(hugeSent.returned, STATUS_PENDING);
    EXPECT_EQ(Modem().OutQueue(), 0x7FFFFFFFUL - 50);
    EXPECT_EQ(Modem().Write(std::string(60, 'z')).Status(), STATUS_INSUFFICIENT_RESOURCES);
    UCHAR x = 'X';
    Request& immediate = Modem().StartIoctl(IOCTL_SERIAL_IMMEDIATE_CHAR, &x, 1, 0);
    sim::RunUntilIdle();
    EXPECT_FALSE(immediate.Done()) << "one byte still fits below the limit";
    ASSERT_EQ(Modem().Set(IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_TXABORT)), STATUS_SUCCESS);
    EXPECT_TRUE(hugeSent.done);
    EXPECT_EQ(hugeSent.status, STATUS_CANCELLED);
    EXPECT_EQ(immediate.Status(), STATUS_CANCELLED);
    EXPECT_EQ(Modem().OutQueue(), 50u);
    Modem().Usb()->HoldBulkOut(false);
    EXPECT_EQ(Modem().Finish(sending).Bytes(), 50u);
    EXPECT_EQ(Modem().OutQueue(), 0u);
}

} // namespace
