// The AT modem behind the phone's modem interface, seen from the host's side
// of the bus: commands written on bulk-out are answered on bulk-in, the line
// state comes as SERIAL_STATE notifications, DTR arrives as a class request,
// and the escape's guard time runs on the bus's own clock.
#include "usb_test.h"

namespace usbtest {
namespace {

using usb::Pipe;

class UsbAtModem : public UsbTest {
protected:
    void PlugModem() {
        usb::PhoneConfig config;
        config.atModem = true;
        Plug(config);
    }
    // What the phone sends on bulk-in now (the transfer ends on a short
    // packet, so each burst of output is one read).
    std::string ReadNow() {
        Request& r = Read();
        sim::RunUntilIdle();
        if (!r.done) {
            PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe::BulkIn);
            sim::RunUntilIdle();
            return "";
        }
        return r.Text();
    }
    std::string Say(const std::string& text) {
        Write(text);
        sim::RunUntilIdle();
        return ReadNow();
    }
    // The UART state of the next notification on the interrupt pipe, or -1.
    int NextState() {
        Request& r = Read(Pipe::InterruptIn, 16);
        sim::RunUntilIdle();
        if (!r.done) {
            PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe::InterruptIn);
            sim::RunUntilIdle();
            return -1;
        }
        EXPECT_EQ(r.Length(), 10u);
        EXPECT_EQ(r.buffer[1], 0x20);
        return r.buffer[8] | (r.buffer[9] << 8);
    }
};

TEST_F(UsbAtModem, OffUnlessConfigured) {
    Plug();
    EXPECT_FALSE(ports_[0].ifc->HasAtModem());
    Write("AT\r");
    sim::RunUntilIdle();
    EXPECT_EQ(ports_[0].ifc->QueuedBytes(), 0u);
    EXPECT_EQ(NextState(), -1);
}

TEST_F(UsbAtModem, OnlyTheModemInterfaceGetsOne) {
    PlugModem();
    EXPECT_TRUE(ports_[0].ifc->HasAtModem());
    EXPECT_FALSE(ports_[1].ifc->HasAtModem());
}

TEST_F(UsbAtModem, AnswersCommandsOnBulkInAndStillRecordsThem) {
    PlugModem();
    EXPECT_EQ(Say("ATE0\r"), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(Say("AT+CSQ\r"), "\r\n+CSQ: 23,99\r\n\r\nOK\r\n");
    EXPECT_EQ(ports_[0].ifc->TakeReceivedText(), "ATE0\rAT+CSQ\r");
}

// A function driver keeps a bulk-in transfer pending all the time: the
// answer must reach that transfer in the same frame tick that served the
// command, not wait for some later bus activity.
TEST_F(UsbAtModem, AnswersIntoTheTransferAlreadyWaiting) {
    PlugModem();
    Request& waiting = Read();
    sim::RunUntilIdle();
    ASSERT_FALSE(waiting.done);
    Write("AT\r");
    sim::RunUntilIdle();
    ASSERT_TRUE(waiting.done);
    EXPECT_EQ(waiting.Text(), "AT\r\r\nOK\r\n");
}

TEST_F(UsbAtModem, DsrFromPlugInAndCarrierWithTheCall) {
    PlugModem();
    EXPECT_EQ(NextState(), usb::kStateDsr);
    EXPECT_EQ(NextState(), -1); // nothing changed since
    EXPECT_EQ(Say("ATE0D5551234\r"), "ATE0D5551234\r\r\nCONNECT\r\n");
    EXPECT_EQ(NextState(), usb::kStateDsr | usb::kStateDcd);
    EXPECT_EQ(Say("ping"), "ping");
}

TEST_F(UsbAtModem, DroppingDtrHangsUp) {
    PlugModem();
    NextState();
    Class(usb::kSetControlLineState, usb::kLineDtr | usb::kLineRts);
    EXPECT_EQ(Say("ATE0D1\r"), "ATE0D1\r\r\nCONNECT\r\n");
    EXPECT_EQ(NextState(), usb::kStateDsr | usb::kStateDcd);
    Class(usb::kSetControlLineState, usb::kLineRts);
    sim::RunUntilIdle();
    EXPECT_EQ(ReadNow(), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(NextState(), usb::kStateDsr);
    EXPECT_EQ(ports_[0].ifc->AtModemSnapshot().ControlLines, usb::kLineRts);
}

TEST_F(UsbAtModem, EscapeGuardTimeRunsOnTheBusClock) {
    PlugModem();
    EXPECT_EQ(Say("ATE0D1\r"), "ATE0D1\r\r\nCONNECT\r\n");
    sim::AdvanceClockMs(1000);
    EXPECT_EQ(Say("+++"), "+++");
    Request& r = Read();
    sim::RunUntilIdle();
    EXPECT_FALSE(r.done);
    // Nobody writes: the bus wakes itself when the guard time is over.
    sim::AdvanceClockMs(999);
    EXPECT_FALSE(r.done);
    sim::AdvanceClockMs(1);
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.Text(), "\r\nOK\r\n");
    EXPECT_EQ(Say("ATH\r"), "\r\nNO CARRIER\r\n");
}

TEST_F(UsbAtModem, TestsSteerTheWorldOutside) {
    PlugModem();
    ports_[0].ifc->WithAtModem([](ATMODEM& m) { AtModemSetDialAnswer(&m, AtDialBusy); });
    EXPECT_EQ(Say("ATE0D1\r"), "ATE0D1\r\r\nBUSY\r\n");
    ports_[0].ifc->WithAtModem([](ATMODEM& m) {
        AtModemSetDialAnswer(&m, AtDialConnect);
        AtModemSetFarEnd(&m, AtFarEndLines);
    });
    EXPECT_EQ(Say("ATD1\r"), "\r\nCONNECT\r\n");
    EXPECT_EQ(Say("hi\r"), "you said: hi\r\n");
    ports_[0].ifc->WithAtModem([](ATMODEM& m) { AtModemRemoteHangup(&m); });
    EXPECT_EQ(ReadNow(), "\r\nNO CARRIER\r\n");
}

TEST_F(UsbAtModem, LongOutputEndsWithAZeroLengthPacketOnAFullOne) {
    PlugModem();
    EXPECT_EQ(Say("ATE0D1\r"), "ATE0D1\r\r\nCONNECT\r\n");
    std::string block(128, 'z'); // two full 64-byte packets
    Write(block);
    sim::RunUntilIdle();
    Request& r = Read(Pipe::BulkIn, 4096);
    sim::RunUntilIdle();
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.Length(), 128u);
    EXPECT_EQ(ports_[0].ifc->QueuedBytes(), 0u);
}

} // namespace
} // namespace usbtest
