// The AT modem behind the phone's modem interface, seen from the host's side
// of the bus (its command language is tests/atmodem's): commands written on
// bulk-out are answered into the bulk-in transfer a function driver keeps
// waiting, the line state comes as SERIAL_STATE notifications, DTR arrives as
// a class request, and the escape's guard time runs on the bus's own clock.
#include "usb_test.h"

#include "common/pnp_rows.h"

namespace usbtest {
namespace {

// One step of a script: Say writes `text` with a read already waiting,
// which must end with `expect` in the same frame tick, the whole answer
// (nothing left queued); Read takes what the phone sends now ("" when
// nothing: the read is aborted); State the next notification's UART state
// (-1: none); Lines sends SET_CONTROL_LINE_STATE; After waits `value` ms
// with a read waiting, which must end just then with `expect`; Pause lets
// the clock run; Steer changes the world outside.
enum class Op { Say, Read, State, Lines, After, Pause, Steer };
struct Step {
    Op op;
    std::string text, expect;
    int value = 0;
    void (*steer)(ATMODEM&) = nullptr;
};
Step Say(std::string text, std::string expect) { return {Op::Say, std::move(text), std::move(expect)}; }
Step Read(std::string expect) { return {Op::Read, "", std::move(expect)}; }
Step State(int state) { return {Op::State, "", "", state}; }
Step Lines(int lines) { return {Op::Lines, "", "", lines}; }
Step After(int ms, std::string expect) { return {Op::After, "", std::move(expect), ms}; }
Step Pause(int ms) { return {Op::Pause, "", "", ms}; }
Step Steer(void (*steer)(ATMODEM&)) { return {Op::Steer, "", "", 0, steer}; }

const std::string kDialed = "ATE0D1\r\r\nCONNECT\r\n";

struct Script {
    const char* name;
    bool atModem;
    std::vector<Step> steps;
};

const Script kScripts[] = {
    {"OffUnlessConfigured", false, {Say("AT\r", ""), State(-1)}},
    // DSR from the plug-in, reported once; carrier with the call.
    {"DroppingDtrHangsUp", true,
     {State(usb::kStateDsr), Lines(usb::kLineDtr | usb::kLineRts), Say("ATE0D1\r", kDialed),
      State(usb::kStateDsr | usb::kStateDcd), Lines(usb::kLineRts), Read("\r\nNO CARRIER\r\n"),
      State(usb::kStateDsr)}},
    // Nobody writes after "+++": the bus wakes itself when the guard time is over.
    {"EscapeGuardTimeRunsOnTheBusClock", true,
     {Say("ATE0D1\r", kDialed), Pause(1000), Say("+++", "+++"), After(1000, "\r\nOK\r\n"),
      Say("ATH\r", "\r\nNO CARRIER\r\n")}},
    {"TestsSteerTheWorldOutside", true,
     {Steer([](ATMODEM& m) { AtModemSetDialAnswer(&m, AtDialBusy); }),
      Say("ATE0D1\r", "ATE0D1\r\r\nBUSY\r\n"),
      Steer([](ATMODEM& m) {
          AtModemSetDialAnswer(&m, AtDialConnect);
          AtModemSetFarEnd(&m, AtFarEndLines);
      }),
      Say("ATD1\r", "\r\nCONNECT\r\n"), Say("hi\r", "you said: hi\r\n"),
      Steer([](ATMODEM& m) { AtModemRemoteHangup(&m); }), Read("\r\nNO CARRIER\r\n")}},
    // Two full 64-byte packets: the echo ends with a zero-length packet.
    {"LongOutputEndsWithAZeroLengthPacket", true,
     {Say("ATE0D1\r", kDialed), Say(std::string(128, 'z'), std::string(128, 'z'))}},
};

class UsbAtModem : public UsbTest, public ::testing::WithParamInterface<Script> {
protected:
    // A read that did not end is aborted: "" (or -1 for a notification).
    std::string Take(Request& r) {
        if (!r.done) {
            PipeRequest(URB_FUNCTION_ABORT_PIPE, r.asked == 16 ? Pipe::InterruptIn : Pipe::BulkIn);
            sim::RunUntilIdle();
            return "";
        }
        return r.Text();
    }
    int NextState() {
        Request& r = Read(Pipe::InterruptIn, 16);
        sim::RunUntilIdle();
        if (!r.done) {
            Take(r);
            return -1;
        }
        EXPECT_EQ(r.Length(), 10u);
        EXPECT_EQ(r.buffer[1], 0x20);
        return r.buffer[8] | (r.buffer[9] << 8);
    }
};

TEST_P(UsbAtModem, Script) {
    const Script& script = GetParam();
    usb::PhoneConfig config;
    config.atModem = script.atModem;
    Plug(config);
    usb::Interface& ifc = *ports_[0].ifc;
    EXPECT_EQ(ifc.HasAtModem(), script.atModem);
    EXPECT_FALSE(ports_[1].ifc->HasAtModem()); // only the modem interface gets one
    std::string written;
    for (size_t i = 0; i < script.steps.size(); ++i) {
        const Step& step = script.steps[i];
        SCOPED_TRACE(testing::Message() << "step " << i);
        switch (step.op) {
        case Op::Say: {
            Request& waiting = Read();
            sim::RunUntilIdle();
            ASSERT_FALSE(waiting.done);
            Write(step.text);
            written += step.text;
            sim::RunUntilIdle();
            EXPECT_EQ(Take(waiting), step.expect);
            EXPECT_EQ(ifc.QueuedBytes(), 0u);
            break;
        }
        case Op::Read: {
            Request& r = Read();
            sim::RunUntilIdle();
            EXPECT_EQ(Take(r), step.expect);
            break;
        }
        case Op::State:
            EXPECT_EQ(NextState(), step.value);
            break;
        case Op::Lines:
            Class(usb::kSetControlLineState, USHORT(step.value));
            sim::RunUntilIdle();
            EXPECT_EQ(ifc.AtModemSnapshot().ControlLines, step.value);
            break;
        case Op::After: {
            Request& r = Read();
            sim::RunUntilIdle();
            sim::AdvanceClockMs(step.value - 1);
            EXPECT_FALSE(r.done);
            sim::AdvanceClockMs(1);
            ASSERT_TRUE(r.done);
            EXPECT_EQ(r.Text(), step.expect);
            break;
        }
        case Op::Pause:
            sim::AdvanceClockMs(step.value);
            break;
        case Op::Steer:
            ifc.WithAtModem(step.steer);
            break;
        }
    }
    // Answered or not, everything written is still recorded.
    EXPECT_EQ(ifc.TakeReceivedText(), written);
}

INSTANTIATE_TEST_SUITE_P(Scripts, UsbAtModem, ::testing::ValuesIn(kScripts),
                         rig::RowName<Script>);

} // namespace
} // namespace usbtest
