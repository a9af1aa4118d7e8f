// The phone's AT modem on its own: command lines and their framing, the
// commands, calls, the "+++" escape on a fake clock, DTR and line state.
// Each row is a dialogue: what the host does, and what the modem answers.
#include "platform/usb/phonecore/atmodem.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

namespace {

// One exchange. `in` is bytes the host sends at the current time, or an
// action starting with '~':
//   ~+N       N ms pass (the host glue does not poll)
//   ~wait N   N ms pass, then the glue polls
//   ~take     what the modem has to say unprompted
//   ~dtr on|off, ~power on|off, ~hangup (the far end), ~far lines,
//   ~dial busy|nocarrier|noanswer|nodialtone|connect
//   ~state    the line state if it changed since last taken: "DSR", "DSR DCD",
//             "none" (all off), "-" (no change)
//   ~mode     "command", "data" or "online", and " call" while a call is up
//   ~deadline when the modem next needs a poll, relative to now ("-": never)
//   ~reg N    register N's value; ~dropped: output bytes dropped so far
//   ~csq R B  the signal the phone reports from now on
// `out` is what the modem answered (for bytes and ~wait, ~take) or the
// action's report.
struct Say {
    std::string in;
    std::string out;
};

struct Dialogue {
    const char* name;
    std::vector<Say> says;
};
void PrintTo(const Dialogue& dialogue, std::ostream* os) {
    *os << dialogue.name;
}

class Modem {
public:
    Modem() : m_(std::make_unique<ATMODEM>()) { AtModemInit(m_.get()); }

    std::string Do(const std::string& in) {
        if (in.empty() || in[0] != '~') {
            AtModemInput(m_.get(), reinterpret_cast<const unsigned char*>(in.data()),
                         static_cast<unsigned>(in.size()), now_);
            return Take();
        }
        std::istringstream words(in.substr(1));
        std::string verb, arg, arg2;
        words >> verb >> arg >> arg2;
        if (verb[0] == '+')
            now_ += std::stoull(verb.substr(1));
        else if (verb == "wait") {
            now_ += std::stoull(arg);
            AtModemPoll(m_.get(), now_);
            return Take();
        } else if (verb == "take")
            return Take();
        else if (verb == "dtr")
            AtModemSetControlLines(m_.get(), arg == "on" ? 0x0003 : 0x0002, now_);
        else if (verb == "power")
            AtModemSetPower(m_.get(), arg == "on");
        else if (verb == "hangup")
            AtModemRemoteHangup(m_.get());
        else if (verb == "far")
            AtModemSetFarEnd(m_.get(), AtFarEndLines);
        else if (verb == "dial")
            AtModemSetDialAnswer(m_.get(), DialAnswer(arg));
        else if (verb == "state")
            return State();
        else if (verb == "mode")
            return Mode();
        else if (verb == "deadline")
            return Deadline();
        else if (verb == "reg")
            return std::to_string(m_->S[std::stoi(arg)]);
        else if (verb == "dropped")
            return std::to_string(m_->OutDropped);
        else if (verb == "csq") {
            m_->SignalRssi = static_cast<unsigned char>(std::stoi(arg));
            m_->SignalBer = static_cast<unsigned char>(std::stoi(arg2));
        } else
            return "unknown action " + in;
        return "";
    }

private:
    std::string Take() {
        std::string out;
        unsigned char buffer[100];
        unsigned n;
        while ((n = AtModemTakeOutput(m_.get(), buffer, sizeof buffer)) != 0)
            out.append(reinterpret_cast<char*>(buffer), n);
        return out;
    }
    static int DialAnswer(const std::string& name) {
        const std::pair<const char*, int> answers[] = {{"busy", AtDialBusy},
                                                       {"nocarrier", AtDialNoCarrier},
                                                       {"noanswer", AtDialNoAnswer},
                                                       {"nodialtone", AtDialNoDialtone}};
        for (const auto& answer : answers)
            if (name == answer.first)
                return answer.second;
        return AtDialConnect;
    }
    std::string State() {
        unsigned short state = 0;
        if (!AtModemTakeLineState(m_.get(), &state))
            return "-";
        if (state == 0)
            return "none";
        const bool dsr = state & ATMODEM_STATE_DSR, dcd = state & ATMODEM_STATE_DCD;
        return std::string(dsr ? "DSR" : "") + (dsr && dcd ? " " : "") + (dcd ? "DCD" : "");
    }
    std::string Mode() {
        std::string mode = m_->Mode == AtModeCommand ? "command"
                           : m_->Mode == AtModeData  ? "data"
                                                     : "online";
        return m_->InCall ? mode + " call" : mode;
    }
    std::string Deadline() {
        unsigned long long when = 0;
        return AtModemNextDeadline(m_.get(), &when) ? std::to_string(when - now_) : "-";
    }

    std::unique_ptr<ATMODEM> m_;
    unsigned long long now_ = 5000;
};

const std::string kOk = "\r\nOK\r\n";
const std::string kError = "\r\nERROR\r\n";
const std::string kConnect = "\r\nCONNECT\r\n";
const std::string kNoCarrier = "\r\nNO CARRIER\r\n";
const std::string kCsq = "\r\n+CSQ: 23,99\r\n" + kOk;
std::string Info(const char* text) {
    return "\r\n" + std::string(text) + "\r\n" + kOk;
}
// Quiet command mode (no echo, answers only), then a call up.
const Say kQuiet = {"ATE0\r", "ATE0\r" + kOk};
const Say kDial = {"ATD5551234\r", kConnect};
// A correct escape: guard, "+++", guard.
const std::vector<Say> kEscape = {{"~+1000", ""}, {"+++", "+++"}, {"~wait 1000", kOk}};

std::vector<Say> Join(std::initializer_list<std::vector<Say>> parts) {
    std::vector<Say> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// clang-format off
const Dialogue kDialogues[] = {
    // ---- command lines
    // The echo follows each byte as it arrives, the answer only the CR.
    {"EchoesTheLineThenAnswersInVerboseFraming",
     {{"AT\r", "AT\r" + kOk}, {"at", "at"}, {"\r", "\r" + kOk}}},
    {"V0GivesDigitAndCrAndAppliesToItsOwnLine",
     {kQuiet, {"ATV0\r", "0\r"}, {"ATXYZ\r", "4\r"},
      {"ATI\r", std::string(AtModemModel) + "\r\n0\r"}, {"ATV1\r", kOk}}},
    {"SeveralCommandsOnOneLine",
     {{"ATE0V0\r", "ATE0V0\r0\r"}, {"AT E1 V1 Q0\r", kOk}, {"AT\r", "AT\r" + kOk}}},
    {"AnErrorStopsTheLineButKeepsWhatCameBefore",
     {kQuiet, {"ATV0E7V1\r", "4\r"}, {"AT\r", "0\r"}, {"ATV1\r", kOk}, {"ATE2\r", kError},
      {"ATJ\r", kError}, {"AT&Q\r", kError}, {"AT+FOO\r", kError}, {"AT+GMI=3\r", kError},
      {"ATH2\r", kError}, {"ATI9\r", kError}, {"ATD\r", kError}, {"ATDXYZ\r", kError}}},
    {"BackspaceEditsTheLineAndRubsItOut",
     {{"ATX", "ATX"}, {"\b", "\b \b"}, {"E0\r", "E0\r" + kOk}, {"AT\r", kOk}}},
    // S3 and S4 are the line end and the framing; S5 the backspace.
    {"S3S4AndS5AreTheCharactersTheModemUses",
     {kQuiet, {"ATS3=33S4=42\r", "!*OK!*"}, {"AT\r", ""}, {"!", "!*OK!*"},
      {"ATS5=35S3=13S4=10!", kOk}, {"ATX#E1\r", kOk}, {"AT\r", "AT\r" + kOk}}},
    {"BytesBeforeThePrefixAreIgnored",
     {kQuiet, {"hello\r\n", ""}, {"xxAAT\r", kOk}, {"\r", ""}}},
    {"ASlashRepeatsTheLastLineWithoutCr", {kQuiet, {"AT+CSQ\r", kCsq}, {"A/", kCsq}}},
    {"ALineTooLongIsAnError",
     {kQuiet, {"AT" + std::string(ATMODEM_LINE_MAX + 1, 'E') + "\r", kError}, {"AT\r", kOk}}},
    {"QuietModeSuppressesResultsNotInformation",
     {kQuiet, {"ATQ1\r", ""}, {"AT+GMI\r", "\r\n" + std::string(AtModemManufacturer) + "\r\n"},
      {"ATBAD\r", ""}, {"ATQ0\r", kOk}}},
    // What follows Z is ignored.
    {"ZAndAmpFRestoreFactorySettings",
     {kQuiet, {"ATV0S12=5&D0\r", "0\r"}, {"ATZV0\r", kOk}, {"~reg 12", "50"}, {"~dtr on", ""},
      {"ATD1\r", "ATD1\r" + kConnect}, {"~dtr off", ""}, {"~take", kNoCarrier},
      {"ATE0S7=9&F\r", "ATE0S7=9&F\r" + kOk}, {"~reg 7", "50"}}},
    // ---- information
    {"IdentityCommands",
     {kQuiet, {"ATI\r", Info(AtModemModel)}, {"ATI1\r", Info(AtModemManufacturer)},
      {"AT+GMI\r", Info(AtModemManufacturer)}, {"AT+GMM\r", Info(AtModemModel)},
      {"AT+GMR\r", Info(AtModemRevision)}, {"AT+CGMI\r", Info(AtModemManufacturer)},
      {"AT+GMI=?\r", kOk},
      {"AT+GMI;+GMR\r", "\r\n" + std::string(AtModemManufacturer) + "\r\n" + Info(AtModemRevision)}}},
    {"SignalQuality",
     {kQuiet, {"AT+CSQ\r", kCsq}, {"AT+CSQ=?\r", "\r\n+CSQ: (0-31,99),(0-7,99)\r\n" + kOk},
      {"~csq 5 0", ""}, {"ATV0+CSQ\r", "+CSQ: 5,0\r\n0\r"}}},
    // "Sn" alone selects; "S?" then reads the selected register.
    {"RegistersReadAndWrite",
     {kQuiet, {"ATS3?\r", "\r\n013\r\n" + kOk}, {"ATS7=30\r", kOk}, {"ATS7?\r", "\r\n030\r\n" + kOk},
      {"ATS12=255S12?\r", "\r\n255\r\n" + kOk}, {"ATS12=256\r", kError}, {"ATS64=1\r", kError},
      {"ATS2S?\r", "\r\n043\r\n" + kOk}}},
    // ---- calls: in data mode nothing is a command, the far end echoes it
    {"BytesAfterConnectInTheSameWriteGoToTheFarEnd",
     {kQuiet, {"ATDT123\rhello", kConnect + "hello"}}},
    {"LineResponderAnswersEachLine",
     {{"~far lines", ""}, kQuiet, kDial, {"hel", ""}, {"lo\r\n", "you said: hello\r\n"},
      {"a\rb\n", "you said: a\r\nyou said: b\r\n"}}},
    {"ConfiguredAnswersLeaveTheModemInCommandMode",
     {kQuiet, {"~dial busy", ""}, {"ATD1\r", "\r\nBUSY\r\n"}, {"ATV0D1\r", "7\r"},
      {"ATV1\r", kOk}, {"~dial nocarrier", ""}, {"ATD1\r", kNoCarrier}, {"ATV0D1\r", "3\r"},
      {"ATV1\r", kOk}, {"~dial noanswer", ""}, {"ATD1\r", "\r\nNO ANSWER\r\n"},
      {"ATV0D1\r", "8\r"}, {"ATV1\r", kOk}, {"~dial nodialtone", ""},
      {"ATD1\r", "\r\nNO DIALTONE\r\n"}, {"ATV0D1\r", "6\r"}, {"~mode", "command"},
      {"~state", "DSR"}, {"~dial connect", ""}, {"ATD1\r", "1\r"}, {"~mode", "data call"}}},
    // A call is already up; then nothing to go back to.
    {"HangUpInOnlineCommandModeDropsTheCarrier",
     Join({{kQuiet, kDial, {"~state", "DSR DCD"}}, kEscape,
           {{"ATD123\r", kError}, {"ATH\r", kNoCarrier}, {"~state", "DSR"}, {"ATH\r", kOk},
            {"ATO\r", kNoCarrier}}})},
    {"OnlineGoesBackToTheCall",
     Join({{kQuiet, kDial}, kEscape, {{"AT+CSQ\r", kCsq}, {"ATO\r", kConnect}, {"AT\r", "AT\r"}}})},
    {"FarEndHangingUpEndsTheCall",
     {kQuiet, kDial, {"~state", "DSR DCD"}, {"~hangup", ""}, {"~take", kNoCarrier},
      {"~state", "DSR"}, {"AT\r", kOk}}},
    {"ZInACallHangsUpWithoutNoCarrier",
     Join({{kQuiet, kDial}, kEscape, {{"ATZ\r", kOk}, {"~mode", "command"}}})},
    // ---- the escape
    {"NeedsTheTrailingGuardTimeBeforeOk",
     {kQuiet, kDial, {"~+1000", ""}, {"+++", "+++"}, {"~deadline", "1000"}, {"~wait 999", ""},
      {"~mode", "data call"}, {"~wait 1", kOk}, {"~mode", "online call"}, {"~deadline", "-"}}},
    {"NoEscapeWithoutTheLeadingGuardTime",
     {kQuiet, kDial, {"~+500", ""}, {"+++", "+++"}, {"~wait 5000", ""}, {"~mode", "data call"}}},
    {"DataWithinTheTrailingGuardCancelsIt",
     {kQuiet, kDial, {"~+1000", ""}, {"+++", "+++"}, {"~+200", ""}, {"x", "x"},
      {"~wait 5000", ""}, {"~mode", "data call"}}},
    // More than S12 between two: the second starts over, and still counts
    // when completed properly; four are data.
    {"PlusesTooFarApartOrTooManyAreData",
     {kQuiet, kDial, {"~+1000", ""}, {"+", "+"}, {"~+1500", ""}, {"+", "+"}, {"~+10", ""},
      {"+", "+"}, {"~wait 2000", ""}, {"~+1000", ""}, {"++++", "++++"}, {"~wait 2000", ""},
      {"~mode", "data call"}, {"~+1000", ""}, {"+", "+"}, {"~+100", ""}, {"+", "+"},
      {"~+100", ""}, {"+", "+"}, {"~wait 1000", kOk}}},
    {"S12SetsTheGuardTimeInFiftieths",
     {kQuiet, {"ATS12=10\r", kOk}, {"ATD1\r", kConnect}, {"~+200", ""}, {"+++", "+++"},
      {"~wait 199", ""}, {"~wait 1", kOk}}},
    // The host glue missed the deadline; the next bytes still find the
    // escape done and are a command line.
    {"CompletesBeforeLateInputIsReadAsCommands",
     {kQuiet, kDial, {"~+1000", ""}, {"+++", "+++"}, {"~+3000", ""}, {"AT\r", kOk + kOk},
      {"~mode", "online call"}}},
    {"ADifferentEscapeCharacter",
     {kQuiet, {"ATS2=42D1\r", kConnect}, {"~+1000", ""}, {"+++", "+++"}, {"~wait 1000", ""},
      {"~+1000", ""}, {"***", "***"}, {"~wait 1000", kOk}}},
    // ---- DTR and power
    {"ADtrThatWasNeverRaisedCannotDrop",
     {kQuiet, kDial, {"~dtr off", ""}, {"~take", ""}, {"~mode", "data call"}}},
    {"AmpD1GoesToOnlineCommandModeAndAmpD0Ignores",
     {{"~dtr on", ""}, kQuiet, {"AT&D1D1\r", kConnect}, {"~dtr off", ""}, {"~take", kOk},
      {"~mode", "online call"}, {"AT&D0O\r", kConnect}, {"~dtr on", ""}, {"~dtr off", ""},
      {"~take", ""}, {"~mode", "data call"}}},
    // Echo back on, &D back to 2: dropping DTR then hangs up.
    {"AmpD3ResetsTheModem",
     {{"~dtr on", ""}, kQuiet, {"AT&D3D1\r", kConnect}, {"~dtr off", ""}, {"~mode", "command"},
      {"~dtr on", ""}, {"ATD1\r", "ATD1\r" + kConnect}, {"~state", "DSR DCD"}, {"~dtr off", ""},
      {"~take", kNoCarrier}, {"~mode", "command"}, {"~state", "DSR"}}},
    {"LineStateReportedOnceFromPowerOnThenOnlyOnChange",
     {{"~state", "DSR"}, {"~state", "-"}, kQuiet, kDial, {"~state", "DSR DCD"}, {"~state", "-"}}},
    // Factory settings again (echo on), the world's answer kept.
    {"PowerOffDropsEverythingAndIgnoresInput",
     {kQuiet, kDial, {"~state", "DSR DCD"}, {"~power off", ""}, {"~state", "none"},
      {"AT\r", ""}, {"~dial busy", ""}, {"~power on", ""}, {"~state", "DSR"},
      {"ATD1\r", "ATD1\r\r\nBUSY\r\n"}}},
    // Output nobody drains is kept up to the buffer and the rest counted.
    {"OutputThatIsNotDrainedIsCountedNotOverrun",
     {kQuiet, kDial,
      {std::string(ATMODEM_OUT_MAX + 10, 'x'), std::string(ATMODEM_OUT_MAX, 'x')},
      {"~dropped", "10"}}},
};
// clang-format on

class AtModem : public ::testing::TestWithParam<Dialogue> {};

TEST_P(AtModem, Dialogue) {
    Modem modem;
    for (const Say& say : GetParam().says) {
        const std::string got = modem.Do(say.in);
        EXPECT_EQ(got, say.out) << "after " << ::testing::PrintToString(say.in);
        if (got != say.out)
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(, AtModem, ::testing::ValuesIn(kDialogues),
                         [](const auto& p) { return std::string(p.param.name); });

} // namespace
