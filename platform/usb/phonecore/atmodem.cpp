// The phone's modem function: command line collection and echo, the
// commands, result codes in both framings, calls and the "+++" escape, the
// far end, DTR handling. See atmodem.h for the contract.
#include "platform/usb/phonecore/atmodem.h"

const char AtModemManufacturer[] = "Simulated Phone Works";
const char AtModemModel[] = "SPW-70 USB handset modem";
const char AtModemRevision[] = "SPW70-1.04";
const char AtModemSerialNumber[] = "000000000700001";

namespace {

// Registers the interpreter itself reads.
enum {
    RegAutoAnswer = 0,
    RegEscapeChar = 2,
    RegCr = 3,
    RegLf = 4,
    RegBackspace = 5,
    RegGuardTime = 12, // in fiftieths of a second
};

const unsigned char FactoryRegisters[13] = {
    0,  // S0 rings before auto-answer (off)
    0,  // S1 ring count
    43, // S2 escape character '+'
    13, // S3 command line terminator CR
    10, // S4 response formatting LF
    8,  // S5 command line editing BS
    2,  // S6 pause before blind dialling
    50, // S7 connection completion time-out
    2,  // S8 comma dial modifier time
    6,  // S9
    14, // S10 automatic disconnect delay
    95, // S11 DTMF duration
    50, // S12 escape guard time: one second
};

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// ---------------------------------------------------------------- output

void PutByte(PATMODEM m, unsigned char c) {
    if (m->OutLength < ATMODEM_OUT_MAX)
        m->Out[m->OutLength++] = c;
    else
        m->OutDropped++;
}

void PutText(PATMODEM m, const char* text) {
    for (; *text; ++text)
        PutByte(m, static_cast<unsigned char>(*text));
}

void PutChars(PATMODEM m, const char* text, unsigned length) {
    for (unsigned i = 0; i < length; ++i)
        PutByte(m, static_cast<unsigned char>(text[i]));
}

void PutDecimal(PATMODEM m, unsigned value, unsigned minDigits) {
    char digits[12];
    unsigned n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && n < sizeof digits);
    while (n < minDigits && n < sizeof digits)
        digits[n++] = '0';
    while (n > 0)
        PutByte(m, static_cast<unsigned char>(digits[--n]));
}

void PutEol(PATMODEM m) {
    PutByte(m, m->S[RegCr]);
    PutByte(m, m->S[RegLf]);
}

// Information text: <CR><LF>text<CR><LF> when verbose, text<CR><LF> when not.
void BeginInfo(PATMODEM m) {
    if (m->Verbose)
        PutEol(m);
}
void EndInfo(PATMODEM m) { PutEol(m); }

void Info(PATMODEM m, const char* text) {
    BeginInfo(m);
    PutText(m, text);
    EndInfo(m);
}

const char* ResultText(int code) {
    switch (code) {
    case AtResultOk:
        return "OK";
    case AtResultConnect:
        return "CONNECT";
    case AtResultRing:
        return "RING";
    case AtResultNoCarrier:
        return "NO CARRIER";
    case AtResultError:
        return "ERROR";
    case AtResultNoDialtone:
        return "NO DIALTONE";
    case AtResultBusy:
        return "BUSY";
    case AtResultNoAnswer:
        return "NO ANSWER";
    default:
        return "ERROR";
    }
}

// A final or unsolicited result code: <CR><LF>text<CR><LF> or digit<CR>.
void Result(PATMODEM m, int code) {
    if (m->Quiet)
        return;
    if (m->Verbose) {
        PutEol(m);
        PutText(m, ResultText(code));
        PutEol(m);
    } else {
        PutDecimal(m, static_cast<unsigned>(code), 1);
        PutByte(m, m->S[RegCr]);
    }
}

// ---------------------------------------------------------------- state changes

void SetCarrier(PATMODEM m, bool on) {
    if (on)
        m->LineState = static_cast<unsigned short>(m->LineState | ATMODEM_STATE_DCD);
    else
        m->LineState = static_cast<unsigned short>(m->LineState & ~ATMODEM_STATE_DCD);
}

void FactorySettings(PATMODEM m) {
    m->Echo = 1;
    m->Verbose = 1;
    m->Quiet = 0;
    m->DtrMode = 2;
    m->DcdMode = 1;
    for (unsigned i = 0; i < ATMODEM_REGISTERS; ++i)
        m->S[i] = i < sizeof FactoryRegisters ? FactoryRegisters[i] : 0;
    m->LastRegister = 0;
}

void HangUp(PATMODEM m) {
    m->InCall = 0;
    m->Mode = AtModeCommand;
    m->EscapeCount = 0;
    m->FarLineLength = 0;
    SetCarrier(m, false);
}

void EnterData(PATMODEM m, unsigned long long now) {
    m->Mode = AtModeData;
    m->LastDataTime = now;
    m->EscapeCount = 0;
}

unsigned long long GuardMs(const ATMODEM* m) {
    return static_cast<unsigned long long>(m->S[RegGuardTime]) * 20;
}

// ---------------------------------------------------------------- the far end

void FarEndLine(PATMODEM m) {
    PutText(m, "you said: ");
    PutChars(m, m->FarLine, m->FarLineLength);
    PutText(m, "\r\n");
    m->FarLineLength = 0;
}

void FarEndByte(PATMODEM m, unsigned char c) {
    if (m->FarEnd == AtFarEndEcho) {
        PutByte(m, c);
        return;
    }
    if (c == '\r' || c == '\n') {
        if (m->FarLineLength > 0)
            FarEndLine(m);
        return;
    }
    m->FarLine[m->FarLineLength++] = static_cast<char>(c);
    if (m->FarLineLength == ATMODEM_FAR_LINE_MAX)
        FarEndLine(m);
}

// ---------------------------------------------------------------- commands

// One command line being executed.
struct Cursor {
    const char* text;
    unsigned length;
    unsigned pos;
};

bool AtEnd(const Cursor& c) { return c.pos >= c.length; }
char Peek(const Cursor& c) { return AtEnd(c) ? '\0' : Upper(c.text[c.pos]); }

// A decimal argument; `fallback` when there are no digits (V.250: a missing
// numeric argument is 0). Large values saturate so that they fail range checks.
unsigned Number(Cursor& c, unsigned fallback) {
    if (!IsDigit(Peek(c)))
        return fallback;
    unsigned value = 0;
    while (IsDigit(Peek(c))) {
        if (value < 100000)
            value = value * 10 + static_cast<unsigned>(c.text[c.pos] - '0');
        c.pos++;
    }
    return value;
}

// Outcome of one command: keep going, stop with this final result, or stop
// with a result that is not followed by OK (CONNECT, NO CARRIER, ...).
enum Outcome { Continue, Fail, Final };

struct Step {
    Outcome outcome;
    int result;
};

Step Go() { return Step{Continue, AtResultOk}; }
Step Error() { return Step{Fail, AtResultError}; }
Step Finish(int result) { return Step{Final, result}; }

Step Flag(Cursor& c, unsigned char* flag, unsigned max) {
    unsigned n = Number(c, 0);
    if (n > max)
        return Error();
    *flag = static_cast<unsigned char>(n);
    return Go();
}

Step Identify(PATMODEM m, Cursor& c) {
    switch (Number(c, 0)) {
    case 0:
        Info(m, AtModemModel);
        return Go();
    case 1:
        Info(m, AtModemManufacturer);
        return Go();
    case 2:
        Info(m, AtModemRevision);
        return Go();
    case 3:
        Info(m, AtModemSerialNumber);
        return Go();
    default:
        return Error();
    }
}

// Sn=v, Sn?, and Sn alone (selects the register).
Step Register(PATMODEM m, Cursor& c) {
    unsigned reg = Number(c, m->LastRegister);
    if (reg >= ATMODEM_REGISTERS)
        return Error();
    m->LastRegister = static_cast<unsigned char>(reg);
    if (Peek(c) == '=') {
        c.pos++;
        unsigned value = Number(c, 0);
        if (value > 255)
            return Error();
        m->S[reg] = static_cast<unsigned char>(value);
        return Go();
    }
    if (Peek(c) == '?') {
        c.pos++;
        BeginInfo(m);
        PutDecimal(m, m->S[reg], 3);
        EndInfo(m);
    }
    return Go();
}

// D<dial string>: the rest of the line up to a ';' is the number.
Step Dial(PATMODEM m, Cursor& c, unsigned long long now) {
    if (m->InCall)
        return Error();
    bool digits = false;
    bool voice = false;
    for (; !AtEnd(c); c.pos++) {
        char ch = Peek(c);
        if (ch == ';') {
            voice = true;
            c.pos = c.length;
            break;
        }
        if (IsDigit(ch) || ch == '*' || ch == '#')
            digits = true;
        else if (ch != ' ' && ch != 'T' && ch != 'P' && ch != 'W' && ch != ',' && ch != '!' &&
                 ch != '@' && ch != '+' && ch != '-' && ch != '(' && ch != ')' &&
                 !(ch >= 'A' && ch <= 'D'))
            return Error();
    }
    if (!digits)
        return Error();
    // Voice calls are not modelled: the phone accepts the number and stays
    // in command mode.
    if (voice)
        return Go();
    switch (m->DialAnswer) {
    case AtDialConnect:
        m->InCall = 1;
        m->Calls++;
        m->FarLineLength = 0;
        SetCarrier(m, true);
        EnterData(m, now);
        return Finish(AtResultConnect);
    case AtDialBusy:
        return Finish(AtResultBusy);
    case AtDialNoAnswer:
        return Finish(AtResultNoAnswer);
    case AtDialNoDialtone:
        return Finish(AtResultNoDialtone);
    default:
        return Finish(AtResultNoCarrier);
    }
}

Step Online(PATMODEM m, Cursor& c, unsigned long long now) {
    if (Number(c, 0) > 1)
        return Error();
    if (!m->InCall)
        return Finish(AtResultNoCarrier);
    EnterData(m, now);
    return Finish(AtResultConnect);
}

Step Hook(PATMODEM m, Cursor& c) {
    unsigned n = Number(c, 0);
    if (n > 1)
        return Error();
    if (n == 0 && m->InCall) {
        HangUp(m);
        return Finish(AtResultNoCarrier);
    }
    return Go();
}

Step Reset(PATMODEM m, Cursor& c) {
    if (Number(c, 0) > 0)
        return Error();
    if (m->InCall)
        HangUp(m);
    FactorySettings(m);
    // Whatever follows Z on the line is ignored.
    c.pos = c.length;
    return Go();
}

Step Ampersand(PATMODEM m, Cursor& c) {
    char which = Peek(c);
    if (which == '\0')
        return Error();
    c.pos++;
    switch (which) {
    case 'F':
        if (Number(c, 0) > 0)
            return Error();
        FactorySettings(m);
        return Go();
    case 'D':
        return Flag(c, &m->DtrMode, 3);
    case 'C':
        return Flag(c, &m->DcdMode, 1);
    case 'W': // no stored profile: the factory one is what ATZ restores
        return Number(c, 0) > 0 ? Error() : Go();
    default:
        return Error();
    }
}

// Extended commands: +NAME, +NAME?, +NAME=?, +NAME=value.
Step Extended(PATMODEM m, Cursor& c) {
    char name[16];
    unsigned n = 0;
    while (!AtEnd(c)) {
        char ch = Peek(c);
        if (ch == '=' || ch == '?' || ch == ';')
            break;
        if (n + 1 >= sizeof name)
            return Error();
        name[n++] = ch;
        c.pos++;
    }
    name[n] = '\0';
    bool test = false;
    if (Peek(c) == '=' && c.pos + 1 < c.length && c.text[c.pos + 1] == '?') {
        test = true;
        c.pos += 2;
    } else if (Peek(c) == '=' || Peek(c) == '?') {
        return Error(); // none of ours takes a value or can be read
    }
    if (!AtEnd(c) && Peek(c) != ';')
        return Error();

    auto is = [&](const char* a) {
        unsigned i = 0;
        for (; a[i] && i < n; ++i)
            if (a[i] != name[i])
                return false;
        return a[i] == '\0' && i == n;
    };
    const char* text = nullptr;
    if (is("GMI") || is("CGMI"))
        text = AtModemManufacturer;
    else if (is("GMM") || is("CGMM"))
        text = AtModemModel;
    else if (is("GMR") || is("CGMR"))
        text = AtModemRevision;
    else if (is("GSN") || is("CGSN"))
        text = AtModemSerialNumber;
    if (text != nullptr) {
        if (!test)
            Info(m, text);
        return Go();
    }
    if (is("CSQ")) {
        BeginInfo(m);
        if (test) {
            PutText(m, "+CSQ: (0-31,99),(0-7,99)");
        } else {
            PutText(m, "+CSQ: ");
            PutDecimal(m, m->SignalRssi, 1);
            PutByte(m, ',');
            PutDecimal(m, m->SignalBer, 1);
        }
        EndInfo(m);
        return Go();
    }
    return Error();
}

Step Command(PATMODEM m, Cursor& c, unsigned long long now) {
    char ch = Peek(c);
    c.pos++;
    switch (ch) {
    case ' ':
    case ';':
        return Go();
    case 'E':
        return Flag(c, &m->Echo, 1);
    case 'V':
        return Flag(c, &m->Verbose, 1);
    case 'Q':
        return Flag(c, &m->Quiet, 1);
    case 'Z':
        return Reset(m, c);
    case 'I':
        return Identify(m, c);
    case 'S':
        return Register(m, c);
    case 'D':
        return Dial(m, c, now);
    case 'O':
        return Online(m, c, now);
    case 'H':
        return Hook(m, c);
    case 'A':
        // Nobody is calling: answering finds no carrier.
        return m->InCall ? Error() : Finish(AtResultNoCarrier);
    case 'L': // speaker volume, speaker mode, result code set: accepted
    case 'M':
    case 'X':
        Number(c, 0);
        return Go();
    case 'T': // tone and pulse dialling: the network does not care
    case 'P':
        return Go();
    case '&':
        return Ampersand(m, c);
    case '+':
        return Extended(m, c);
    default:
        return Error();
    }
}

void Execute(PATMODEM m, const char* text, unsigned length, unsigned long long now) {
    m->Commands++;
    Cursor c{text, length, 0};
    int final = AtResultOk;
    while (!AtEnd(c)) {
        Step s = Command(m, c, now);
        if (s.outcome == Continue)
            continue;
        final = s.result;
        break;
    }
    Result(m, final);
}

void Remember(PATMODEM m) {
    for (unsigned i = 0; i < m->LineLength; ++i)
        m->LastLine[i] = m->Line[i];
    m->LastLineLength = m->LineLength;
}

// ---------------------------------------------------------------- input by mode

void CommandByte(PATMODEM m, unsigned char c, unsigned long long now) {
    const unsigned char cr = m->S[RegCr];
    const unsigned char bs = m->S[RegBackspace];
    if (m->Echo) {
        if (c == bs && m->Prefix == AtPrefixBody && m->LineLength > 0) {
            // Rub the character out on the host's screen.
            PutByte(m, bs);
            PutByte(m, ' ');
            PutByte(m, bs);
        } else if (c != bs) {
            PutByte(m, c);
        }
    }
    switch (m->Prefix) {
    case AtPrefixNone:
        if (c == 'A' || c == 'a') {
            m->Prefix = AtPrefixA;
            m->PrefixA = static_cast<char>(c);
        }
        return;
    case AtPrefixA:
        if (c == 'T' || c == 't') {
            m->Prefix = AtPrefixBody;
            m->LineLength = 0;
            m->LineOverflow = 0;
        } else if (c == '/') {
            // "A/" repeats the last command line at once.
            m->Prefix = AtPrefixNone;
            Execute(m, m->LastLine, m->LastLineLength, now);
        } else if (c != 'A' && c != 'a') {
            m->Prefix = AtPrefixNone;
        }
        return;
    case AtPrefixBody:
    default:
        break;
    }
    if (c == cr) {
        m->Prefix = AtPrefixNone;
        if (m->LineOverflow) {
            m->Commands++;
            Result(m, AtResultError);
            return;
        }
        Remember(m);
        Execute(m, m->Line, m->LineLength, now);
        return;
    }
    if (c == bs) {
        if (m->LineLength > 0)
            m->LineLength--;
        return;
    }
    if (c < 0x20 || c == 0x7F)
        return; // other control characters are ignored
    if (m->LineLength < ATMODEM_LINE_MAX)
        m->Line[m->LineLength++] = static_cast<char>(c);
    else
        m->LineOverflow = 1;
}

// Escape detection: S12 of silence, three escape characters each within S12
// of the one before, then S12 of silence again (AtModemPoll finishes it).
// The escape characters also go to the far end, as on a real line: the
// modem cannot know they were an escape until the trailing guard time.
void DataByte(PATMODEM m, unsigned char c, unsigned long long now) {
    const unsigned long long guard = GuardMs(m);
    const bool quietBefore = now - m->LastDataTime >= guard;
    const unsigned char escape = m->S[RegEscapeChar];
    if (escape <= 127 && c == escape) {
        if (m->EscapeCount >= 1 && m->EscapeCount < 3 && (guard == 0 || !quietBefore))
            m->EscapeCount++;
        else if (quietBefore)
            m->EscapeCount = 1;
        else
            m->EscapeCount = 0;
    } else {
        m->EscapeCount = 0;
    }
    m->LastDataTime = now;
    FarEndByte(m, c);
}

} // namespace

// ================================================================ interface

void AtModemInit(PATMODEM Modem) {
    unsigned char* raw = reinterpret_cast<unsigned char*>(Modem);
    for (unsigned i = 0; i < sizeof *Modem; ++i)
        raw[i] = 0;
    FactorySettings(Modem);
    Modem->DialAnswer = AtDialConnect;
    Modem->FarEnd = AtFarEndEcho;
    Modem->SignalRssi = 23;
    Modem->SignalBer = 99;
    Modem->Mode = AtModeCommand;
    Modem->Powered = 1;
    Modem->Prefix = AtPrefixNone;
    Modem->LineState = ATMODEM_STATE_DSR;
}

void AtModemInput(PATMODEM Modem, const unsigned char* Data, unsigned Length,
                  unsigned long long NowMs) {
    if (!Modem->Powered)
        return;
    // An escape whose guard time ran out before these bytes came is over.
    AtModemPoll(Modem, NowMs);
    for (unsigned i = 0; i < Length; ++i) {
        if (Modem->Mode == AtModeData)
            DataByte(Modem, Data[i], NowMs);
        else
            CommandByte(Modem, Data[i], NowMs);
    }
}

void AtModemPoll(PATMODEM Modem, unsigned long long NowMs) {
    if (Modem->Mode != AtModeData || Modem->EscapeCount != 3)
        return;
    if (NowMs - Modem->LastDataTime < GuardMs(Modem))
        return;
    Modem->EscapeCount = 0;
    Modem->Mode = AtModeOnlineCommand;
    Modem->Prefix = AtPrefixNone;
    Result(Modem, AtResultOk);
}

int AtModemNextDeadline(const ATMODEM* Modem, unsigned long long* WhenMs) {
    if (Modem->Mode != AtModeData || Modem->EscapeCount != 3)
        return 0;
    *WhenMs = Modem->LastDataTime + GuardMs(Modem);
    return 1;
}

unsigned AtModemTakeOutput(PATMODEM Modem, unsigned char* Buffer, unsigned Size) {
    unsigned n = Modem->OutLength < Size ? Modem->OutLength : Size;
    for (unsigned i = 0; i < n; ++i)
        Buffer[i] = Modem->Out[i];
    for (unsigned i = n; i < Modem->OutLength; ++i)
        Modem->Out[i - n] = Modem->Out[i];
    Modem->OutLength -= n;
    return n;
}

int AtModemTakeLineState(PATMODEM Modem, unsigned short* State) {
    *State = Modem->LineState;
    if (Modem->LineStateReported && Modem->ReportedLineState == Modem->LineState)
        return 0;
    Modem->LineStateReported = 1;
    Modem->ReportedLineState = Modem->LineState;
    return 1;
}

void AtModemSetControlLines(PATMODEM Modem, unsigned short Value, unsigned long long NowMs) {
    const unsigned char dtr = (Value & 0x0001) ? 1 : 0;
    const bool dropped = Modem->Dtr && !dtr;
    Modem->ControlLines = Value;
    Modem->Dtr = dtr;
    if (!dropped || !Modem->Powered)
        return;
    switch (Modem->DtrMode) {
    case 1:
        // Back to command mode, the call stays up.
        if (Modem->Mode == AtModeData) {
            Modem->Mode = AtModeOnlineCommand;
            Modem->Prefix = AtPrefixNone;
            Result(Modem, AtResultOk);
        }
        break;
    case 2:
        if (Modem->InCall) {
            HangUp(Modem);
            Result(Modem, AtResultNoCarrier);
        }
        break;
    case 3:
        if (Modem->InCall)
            HangUp(Modem);
        FactorySettings(Modem);
        break;
    default:
        break;
    }
    (void)NowMs;
}

void AtModemSetLineCoding(PATMODEM Modem, const unsigned char Coding[7]) {
    for (unsigned i = 0; i < 7; ++i)
        Modem->LineCoding[i] = Coding[i];
    Modem->LineCodingSeen = 1;
}

void AtModemSetDialAnswer(PATMODEM Modem, int Answer) { Modem->DialAnswer = Answer; }

void AtModemSetFarEnd(PATMODEM Modem, int FarEnd) {
    Modem->FarEnd = FarEnd;
    Modem->FarLineLength = 0;
}

void AtModemRemoteHangup(PATMODEM Modem) {
    if (!Modem->InCall)
        return;
    HangUp(Modem);
    Result(Modem, AtResultNoCarrier);
}

void AtModemSetPower(PATMODEM Modem, int On) {
    if (!On) {
        if (Modem->InCall)
            HangUp(Modem);
        Modem->Powered = 0;
        Modem->Prefix = AtPrefixNone;
        Modem->LineState = 0;
        return;
    }
    if (Modem->Powered)
        return;
    // What the outside world set, and what the host was last told, outlive
    // the modem's own power cycle.
    const int answer = Modem->DialAnswer;
    const int farEnd = Modem->FarEnd;
    const unsigned char rssi = Modem->SignalRssi;
    const unsigned char ber = Modem->SignalBer;
    const unsigned short reported = Modem->ReportedLineState;
    const unsigned char wasReported = Modem->LineStateReported;
    const unsigned short lines = Modem->ControlLines;
    AtModemInit(Modem);
    Modem->DialAnswer = answer;
    Modem->FarEnd = farEnd;
    Modem->SignalRssi = rssi;
    Modem->SignalBer = ber;
    Modem->ReportedLineState = reported;
    Modem->LineStateReported = wasReported;
    Modem->ControlLines = lines;
    Modem->Dtr = (lines & 0x0001) ? 1 : 0;
}
