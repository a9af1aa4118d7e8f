// The phone's AT modem on its own: command lines and their framing, the
// commands, calls, the "+++" escape on a fake clock, DTR and line state.
#include "platform/usb/phonecore/atmodem.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

class Modem : public ::testing::Test {
protected:
    Modem() : m_(std::make_unique<ATMODEM>()) { AtModemInit(m_.get()); }

    // Sends bytes at the current time and returns what the modem answered.
    std::string Send(const std::string& bytes) {
        AtModemInput(m_.get(), reinterpret_cast<const unsigned char*>(bytes.data()),
                     static_cast<unsigned>(bytes.size()), now_);
        return Take();
    }
    std::string Take() {
        std::string out;
        unsigned char buffer[100];
        unsigned n;
        while ((n = AtModemTakeOutput(m_.get(), buffer, sizeof buffer)) != 0)
            out.append(reinterpret_cast<char*>(buffer), n);
        return out;
    }
    // Lets `ms` pass and polls as the host glue does.
    std::string Wait(unsigned long long ms) {
        now_ += ms;
        AtModemPoll(m_.get(), now_);
        return Take();
    }
    void Dtr(bool on) { AtModemSetControlLines(m_.get(), on ? 0x0003 : 0x0002, now_); }
    // Quiet command mode: no echo, so answers are only the responses.
    void Quiet() { ASSERT_EQ(Send("ATE0\r"), "ATE0\r\r\nOK\r\n"); }
    void Connect() {
        Quiet();
        ASSERT_EQ(Send("ATD5551234\r"), "\r\nCONNECT\r\n");
        ASSERT_EQ(m_->Mode, AtModeData);
    }
    // A correct escape: guard, "+++", guard.
    std::string Escape() {
        now_ += 1000;
        std::string out = Send("+++");
        return out + Wait(1000);
    }
    unsigned short LineState() {
        unsigned short state = 0;
        AtModemTakeLineState(m_.get(), &state);
        return state;
    }

    std::unique_ptr<ATMODEM> m_;
    unsigned long long now_ = 5000;
};

// ---------------------------------------------------------------- command lines

class AtCommandLine : public Modem {};

TEST_F(AtCommandLine, EchoesTheLineThenAnswersInVerboseFraming) {
    EXPECT_EQ(Send("AT\r"), "AT\r\r\nOK\r\n");
    // Echo follows each byte as it arrives, the answer only the CR.
    EXPECT_EQ(Send("at"), "at");
    EXPECT_EQ(Send("\r"), "\r\r\nOK\r\n");
}

TEST_F(AtCommandLine, E0StopsTheEchoFromTheNextLine) {
    EXPECT_EQ(Send("ATE0\r"), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(Send("AT\r"), "\r\nOK\r\n");
    EXPECT_EQ(Send("ATE1\r"), "\r\nOK\r\n");
    EXPECT_EQ(Send("AT\r"), "AT\r\r\nOK\r\n");
}

TEST_F(AtCommandLine, V0GivesDigitAndCrAndAppliesToItsOwnLine) {
    Quiet();
    EXPECT_EQ(Send("ATV0\r"), "0\r");
    EXPECT_EQ(Send("ATXYZ\r"), "4\r");
    EXPECT_EQ(Send("ATI\r"), std::string(AtModemModel) + "\r\n0\r");
    EXPECT_EQ(Send("ATV1\r"), "\r\nOK\r\n");
}

TEST_F(AtCommandLine, SeveralCommandsOnOneLine) {
    EXPECT_EQ(Send("ATE0V0\r"), "ATE0V0\r0\r");
    EXPECT_EQ(m_->Echo, 0);
    EXPECT_EQ(m_->Verbose, 0);
    EXPECT_EQ(Send("AT E1 V1 Q0\r"), "\r\nOK\r\n");
    EXPECT_EQ(Send("AT\r"), "AT\r\r\nOK\r\n");
}

TEST_F(AtCommandLine, AnErrorStopsTheLineButKeepsWhatCameBefore) {
    Quiet();
    EXPECT_EQ(Send("ATV0E7V1\r"), "4\r");
    EXPECT_EQ(m_->Verbose, 0);
    EXPECT_EQ(Send("ATV1\r"), "\r\nOK\r\n");
    for (const char* bad : {"ATE2\r", "ATJ\r", "AT&Q\r", "AT+FOO\r", "AT+GMI=3\r", "ATH2\r",
                            "ATI9\r", "ATD\r", "ATDXYZ\r"})
        EXPECT_EQ(Send(bad), "\r\nERROR\r\n") << bad;
}

TEST_F(AtCommandLine, BackspaceEditsTheLineAndRubsItOut) {
    EXPECT_EQ(Send("ATX"), "ATX");
    EXPECT_EQ(Send("\b"), "\b \b");
    EXPECT_EQ(Send("E0\r"), "E0\r\r\nOK\r\n");
    EXPECT_EQ(m_->Echo, 0);
}

TEST_F(AtCommandLine, S3S4AndS5AreTheCharactersTheModemUses) {
    Quiet();
    EXPECT_EQ(Send("ATS3=33S4=42\r"), "!*OK!*");
    EXPECT_EQ(Send("AT\r"), ""); // CR no longer ends a line, it is ignored
    EXPECT_EQ(Send("!"), "!*OK!*");
    EXPECT_EQ(Send("ATS5=35S3=13S4=10!"), "\r\nOK\r\n");
    EXPECT_EQ(Send("ATX#E1\r"), "\r\nOK\r\n");
    EXPECT_EQ(m_->Echo, 1);
}

TEST_F(AtCommandLine, BytesBeforeThePrefixAreIgnored) {
    Quiet();
    EXPECT_EQ(Send("hello\r\n"), "");
    EXPECT_EQ(Send("xxAAT\r"), "\r\nOK\r\n");
    EXPECT_EQ(Send("\r"), ""); // an empty line is not a command
}

TEST_F(AtCommandLine, ASlashRepeatsTheLastLineWithoutCr) {
    Quiet();
    EXPECT_EQ(Send("AT+CSQ\r"), "\r\n+CSQ: 23,99\r\n\r\nOK\r\n");
    EXPECT_EQ(Send("A/"), "\r\n+CSQ: 23,99\r\n\r\nOK\r\n");
}

TEST_F(AtCommandLine, ALineTooLongIsAnError) {
    Quiet();
    EXPECT_EQ(Send("AT" + std::string(ATMODEM_LINE_MAX + 1, 'E') + "\r"), "\r\nERROR\r\n");
    EXPECT_EQ(Send("AT\r"), "\r\nOK\r\n");
}

TEST_F(AtCommandLine, QuietModeSuppressesResultsNotInformation) {
    Quiet();
    EXPECT_EQ(Send("ATQ1\r"), "");
    EXPECT_EQ(Send("AT+GMI\r"), "\r\n" + std::string(AtModemManufacturer) + "\r\n");
    EXPECT_EQ(Send("ATBAD\r"), "");
    EXPECT_EQ(Send("ATQ0\r"), "\r\nOK\r\n");
}

TEST_F(AtCommandLine, ZAndAmpFRestoreFactorySettings) {
    Quiet();
    EXPECT_EQ(Send("ATV0S12=5&D0\r"), "0\r");
    EXPECT_EQ(Send("ATZV0\r"), "\r\nOK\r\n"); // what follows Z is ignored
    EXPECT_EQ(m_->Verbose, 1);
    EXPECT_EQ(m_->S[12], 50);
    EXPECT_EQ(m_->DtrMode, 2);
    EXPECT_EQ(Send("ATE0S7=9&F\r"), "AT" "E0S7=9&F\r\r\nOK\r\n");
    EXPECT_EQ(m_->S[7], 50);
}

// ---------------------------------------------------------------- information

class AtInformation : public Modem {};

TEST_F(AtInformation, IdentityCommands) {
    Quiet();
    auto info = [](const char* text) { return "\r\n" + std::string(text) + "\r\n\r\nOK\r\n"; };
    EXPECT_EQ(Send("ATI\r"), info(AtModemModel));
    EXPECT_EQ(Send("ATI1\r"), info(AtModemManufacturer));
    EXPECT_EQ(Send("AT+GMI\r"), info(AtModemManufacturer));
    EXPECT_EQ(Send("AT+GMM\r"), info(AtModemModel));
    EXPECT_EQ(Send("AT+GMR\r"), info(AtModemRevision));
    EXPECT_EQ(Send("AT+CGMI\r"), info(AtModemManufacturer));
    EXPECT_EQ(Send("AT+GMI=?\r"), "\r\nOK\r\n");
    EXPECT_EQ(Send("AT+GMI;+GMR\r"), "\r\n" + std::string(AtModemManufacturer) + "\r\n\r\n" +
                                         AtModemRevision + "\r\n\r\nOK\r\n");
}

TEST_F(AtInformation, SignalQuality) {
    Quiet();
    EXPECT_EQ(Send("AT+CSQ\r"), "\r\n+CSQ: 23,99\r\n\r\nOK\r\n");
    EXPECT_EQ(Send("AT+CSQ=?\r"), "\r\n+CSQ: (0-31,99),(0-7,99)\r\n\r\nOK\r\n");
    m_->SignalRssi = 5;
    m_->SignalBer = 0;
    EXPECT_EQ(Send("ATV0+CSQ\r"), "+CSQ: 5,0\r\n0\r");
}

TEST_F(AtInformation, RegistersReadAndWrite) {
    Quiet();
    EXPECT_EQ(Send("ATS3?\r"), "\r\n013\r\n\r\nOK\r\n");
    EXPECT_EQ(Send("ATS7=30\r"), "\r\nOK\r\n");
    EXPECT_EQ(Send("ATS7?\r"), "\r\n030\r\n\r\nOK\r\n");
    EXPECT_EQ(Send("ATS12=255S12?\r"), "\r\n255\r\n\r\nOK\r\n");
    EXPECT_EQ(Send("ATS12=256\r"), "\r\nERROR\r\n");
    EXPECT_EQ(Send("ATS64=1\r"), "\r\nERROR\r\n");
    // "Sn" alone selects; "S?" then reads the selected register.
    EXPECT_EQ(Send("ATS2S?\r"), "\r\n043\r\n\r\nOK\r\n");
}

// ---------------------------------------------------------------- calls

class AtCalls : public Modem {};

TEST_F(AtCalls, DialConnectsRaisesCarrierAndEchoesData) {
    EXPECT_EQ(LineState(), ATMODEM_STATE_DSR);
    Connect();
    EXPECT_EQ(LineState(), ATMODEM_STATE_DSR | ATMODEM_STATE_DCD);
    // In data mode nothing is a command: the far end echoes it.
    now_ += 10;
    EXPECT_EQ(Send("ATH\r"), "ATH\r");
    EXPECT_EQ(m_->Mode, AtModeData);
    EXPECT_EQ(m_->Calls, 1u);
}

TEST_F(AtCalls, BytesAfterConnectInTheSameWriteGoToTheFarEnd) {
    Quiet();
    EXPECT_EQ(Send("ATDT123\rhello"), "\r\nCONNECT\r\nhello");
}

TEST_F(AtCalls, LineResponderAnswersEachLine) {
    AtModemSetFarEnd(m_.get(), AtFarEndLines);
    Connect();
    EXPECT_EQ(Send("hel"), "");
    EXPECT_EQ(Send("lo\r\n"), "you said: hello\r\n");
    EXPECT_EQ(Send("a\rb\n"), "you said: a\r\nyou said: b\r\n");
}

TEST_F(AtCalls, ConfiguredAnswersLeaveTheModemInCommandMode) {
    Quiet();
    const struct {
        int answer;
        const char* verbose;
        const char* numeric;
    } cases[] = {{AtDialBusy, "BUSY", "7"},
                 {AtDialNoCarrier, "NO CARRIER", "3"},
                 {AtDialNoAnswer, "NO ANSWER", "8"},
                 {AtDialNoDialtone, "NO DIALTONE", "6"}};
    for (const auto& c : cases) {
        AtModemSetDialAnswer(m_.get(), c.answer);
        EXPECT_EQ(Send("ATD1\r"), "\r\n" + std::string(c.verbose) + "\r\n");
        EXPECT_EQ(Send("ATV0D1\r"), std::string(c.numeric) + "\r");
        EXPECT_EQ(Send("ATV1\r"), "\r\nOK\r\n");
        EXPECT_EQ(m_->Mode, AtModeCommand);
        EXPECT_FALSE(m_->InCall);
    }
    EXPECT_EQ(LineState(), ATMODEM_STATE_DSR);
    AtModemSetDialAnswer(m_.get(), AtDialConnect);
    EXPECT_EQ(Send("ATV0D1\r"), "1\r");
}

TEST_F(AtCalls, HangUpInOnlineCommandModeDropsTheCarrier) {
    Connect();
    LineState();
    EXPECT_EQ(Escape(), "+++\r\nOK\r\n");
    EXPECT_EQ(Send("ATD123\r"), "\r\nERROR\r\n"); // a call is already up
    EXPECT_EQ(Send("ATH\r"), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(LineState(), ATMODEM_STATE_DSR);
    EXPECT_EQ(Send("ATH\r"), "\r\nOK\r\n");
    EXPECT_EQ(Send("ATO\r"), "\r\nNO CARRIER\r\n"); // nothing to go back to
}

TEST_F(AtCalls, OnlineGoesBackToTheCall) {
    Connect();
    EXPECT_EQ(Escape(), "+++\r\nOK\r\n");
    EXPECT_EQ(Send("AT+CSQ\r"), "\r\n+CSQ: 23,99\r\n\r\nOK\r\n");
    EXPECT_EQ(Send("ATO\r"), "\r\nCONNECT\r\n");
    EXPECT_EQ(Send("AT\r"), "AT\r");
}

TEST_F(AtCalls, FarEndHangingUpEndsTheCall) {
    Connect();
    LineState();
    AtModemRemoteHangup(m_.get());
    EXPECT_EQ(Take(), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(LineState(), ATMODEM_STATE_DSR);
    EXPECT_EQ(Send("AT\r"), "\r\nOK\r\n");
}

TEST_F(AtCalls, ZInACallHangsUpWithoutNoCarrier) {
    Connect();
    EXPECT_EQ(Escape(), "+++\r\nOK\r\n");
    EXPECT_EQ(Send("ATZ\r"), "\r\nOK\r\n");
    EXPECT_FALSE(m_->InCall);
}

// ---------------------------------------------------------------- the escape

class AtEscape : public Modem {};

TEST_F(AtEscape, NeedsTheTrailingGuardTimeBeforeOk) {
    Connect();
    now_ += 1000;
    EXPECT_EQ(Send("+++"), "+++");
    unsigned long long when = 0;
    ASSERT_TRUE(AtModemNextDeadline(m_.get(), &when));
    EXPECT_EQ(when, now_ + 1000);
    EXPECT_EQ(Wait(999), "");
    EXPECT_EQ(m_->Mode, AtModeData);
    EXPECT_EQ(Wait(1), "\r\nOK\r\n");
    EXPECT_EQ(m_->Mode, AtModeOnlineCommand);
    EXPECT_FALSE(AtModemNextDeadline(m_.get(), &when));
    EXPECT_TRUE(m_->InCall);
}

TEST_F(AtEscape, NoEscapeWithoutTheLeadingGuardTime) {
    Connect();
    now_ += 500;
    EXPECT_EQ(Send("+++"), "+++");
    EXPECT_EQ(Wait(5000), "");
    EXPECT_EQ(m_->Mode, AtModeData);
}

TEST_F(AtEscape, DataWithinTheTrailingGuardCancelsIt) {
    Connect();
    now_ += 1000;
    Send("+++");
    now_ += 200;
    EXPECT_EQ(Send("x"), "x");
    EXPECT_EQ(Wait(5000), "");
    EXPECT_EQ(m_->Mode, AtModeData);
}

TEST_F(AtEscape, PlusesTooFarApartOrTooManyAreData) {
    Connect();
    now_ += 1000;
    Send("+");
    now_ += 1500; // more than S12 between them: this one starts over
    Send("+");
    now_ += 10;
    Send("+");
    EXPECT_EQ(Wait(2000), "");
    now_ += 1000;
    Send("++++");
    EXPECT_EQ(Wait(2000), "");
    EXPECT_EQ(m_->Mode, AtModeData);
    // The one that started over still counts when completed properly.
    now_ += 1000;
    Send("+");
    now_ += 100;
    Send("+");
    now_ += 100;
    Send("+");
    EXPECT_EQ(Wait(1000), "\r\nOK\r\n");
}

TEST_F(AtEscape, S12SetsTheGuardTimeInFiftieths) {
    Quiet();
    EXPECT_EQ(Send("ATS12=10\r"), "\r\nOK\r\n"); // 200 ms
    EXPECT_EQ(Send("ATD1\r"), "\r\nCONNECT\r\n");
    now_ += 200;
    Send("+++");
    EXPECT_EQ(Wait(199), "");
    EXPECT_EQ(Wait(1), "\r\nOK\r\n");
}

TEST_F(AtEscape, CompletesBeforeLateInputIsReadAsCommands) {
    // The host glue missed the deadline; the next bytes still find the
    // escape done and are a command line.
    Connect();
    now_ += 1000;
    Send("+++");
    now_ += 3000;
    EXPECT_EQ(Send("AT\r"), "\r\nOK\r\n\r\nOK\r\n");
    EXPECT_EQ(m_->Mode, AtModeOnlineCommand);
}

TEST_F(AtEscape, ADifferentEscapeCharacter) {
    Quiet();
    EXPECT_EQ(Send("ATS2=42D1\r"), "\r\nCONNECT\r\n");
    now_ += 1000;
    Send("+++");
    EXPECT_EQ(Wait(1000), "");
    now_ += 1000;
    Send("***");
    EXPECT_EQ(Wait(1000), "\r\nOK\r\n");
}

// ---------------------------------------------------------------- DTR and power

class AtDtr : public Modem {};

TEST_F(AtDtr, DroppingDtrHangsUpUnderAmpD2) {
    Dtr(true);
    Connect();
    LineState();
    Dtr(false);
    EXPECT_EQ(Take(), "\r\nNO CARRIER\r\n");
    EXPECT_FALSE(m_->InCall);
    EXPECT_EQ(LineState(), ATMODEM_STATE_DSR);
    EXPECT_EQ(m_->ControlLines, 0x0002);
}

TEST_F(AtDtr, ADtrThatWasNeverRaisedCannotDrop) {
    Connect();
    Dtr(false);
    EXPECT_EQ(Take(), "");
    EXPECT_TRUE(m_->InCall);
}

TEST_F(AtDtr, AmpD1GoesToOnlineCommandModeAndAmpD0Ignores) {
    Dtr(true);
    Quiet();
    EXPECT_EQ(Send("AT&D1D1\r"), "\r\nCONNECT\r\n");
    Dtr(false);
    EXPECT_EQ(Take(), "\r\nOK\r\n");
    EXPECT_EQ(m_->Mode, AtModeOnlineCommand);
    EXPECT_TRUE(m_->InCall);
    EXPECT_EQ(Send("AT&D0O\r"), "\r\nCONNECT\r\n");
    Dtr(true);
    Dtr(false);
    EXPECT_EQ(Take(), "");
    EXPECT_EQ(m_->Mode, AtModeData);
}

TEST_F(AtDtr, AmpD3ResetsTheModem) {
    Dtr(true);
    Quiet();
    EXPECT_EQ(Send("AT&D3D1\r"), "\r\nCONNECT\r\n");
    Dtr(false);
    EXPECT_FALSE(m_->InCall);
    EXPECT_EQ(m_->Echo, 1);
    EXPECT_EQ(m_->DtrMode, 2);
}

class AtLineState : public Modem {};

TEST_F(AtLineState, ReportedOnceFromPowerOnThenOnlyOnChange) {
    unsigned short state = 0;
    EXPECT_TRUE(AtModemTakeLineState(m_.get(), &state));
    EXPECT_EQ(state, ATMODEM_STATE_DSR);
    EXPECT_FALSE(AtModemTakeLineState(m_.get(), &state));
    Connect();
    EXPECT_TRUE(AtModemTakeLineState(m_.get(), &state));
    EXPECT_EQ(state, ATMODEM_STATE_DSR | ATMODEM_STATE_DCD);
    EXPECT_FALSE(AtModemTakeLineState(m_.get(), &state));
}

TEST_F(AtLineState, PowerOffDropsEverythingAndIgnoresInput) {
    Connect();
    LineState();
    AtModemSetPower(m_.get(), 0);
    EXPECT_EQ(LineState(), 0);
    EXPECT_EQ(Send("AT\r"), "");
    AtModemSetDialAnswer(m_.get(), AtDialBusy);
    AtModemSetPower(m_.get(), 1);
    EXPECT_EQ(LineState(), ATMODEM_STATE_DSR);
    // Factory settings again (echo on), the world's answer kept.
    EXPECT_EQ(Send("ATD1\r"), "ATD1\r\r\nBUSY\r\n");
}

TEST_F(AtLineState, OutputThatIsNotDrainedIsCountedNotOverrun) {
    Connect();
    std::string big(ATMODEM_OUT_MAX + 10, 'x');
    AtModemInput(m_.get(), reinterpret_cast<const unsigned char*>(big.data()),
                 static_cast<unsigned>(big.size()), now_);
    EXPECT_EQ(m_->OutLength, static_cast<unsigned>(ATMODEM_OUT_MAX));
    EXPECT_EQ(m_->OutDropped, 10u);
    EXPECT_EQ(Take().size(), static_cast<size_t>(ATMODEM_OUT_MAX));
}

TEST_F(AtLineState, LineCodingIsRecorded) {
    const unsigned char coding[7] = {0x80, 0x25, 0, 0, 0, 2, 7};
    AtModemSetLineCoding(m_.get(), coding);
    EXPECT_TRUE(m_->LineCodingSeen);
    EXPECT_EQ(m_->LineCoding[0], 0x80);
    EXPECT_EQ(m_->LineCoding[6], 7);
}

} // namespace
