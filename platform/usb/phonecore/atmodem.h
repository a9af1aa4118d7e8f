// The phone's modem function: a Hayes / V.250 command interpreter with a
// simple far end behind it. The host's bulk-out bytes go in, the bytes the
// phone sends on bulk-in and its line state (DCD, DSR) come out.
//
// Freestanding on purpose: no library, no allocation, no clock of its own.
// Whoever hosts it (the simulated bus on Linux, a kernel-mode bus driver under
// Wine) owns the record, serialises the calls, passes "now" in milliseconds
// and drains the output. The record is plain data and may be copied.
//
// Modes: command mode (lines of AT commands, echoed per E), data mode (bytes
// go to the far end, whose answer comes back), and online command mode (a
// call is up but the host typed "+++" and gets command mode until ATO).
#pragma once

// Sizes of the fixed buffers.
#define ATMODEM_LINE_MAX 128      // one command line, "AT" excluded
#define ATMODEM_OUT_MAX 8192      // bytes waiting for the host
#define ATMODEM_FAR_LINE_MAX 256  // a line the line-oriented far end collects
#define ATMODEM_REGISTERS 64      // S0..S63

// V.250 numeric result codes.
enum AT_RESULT {
    AtResultOk = 0,
    AtResultConnect = 1,
    AtResultRing = 2,
    AtResultNoCarrier = 3,
    AtResultError = 4,
    AtResultNoDialtone = 6,
    AtResultBusy = 7,
    AtResultNoAnswer = 8,
};

// What the network answers to ATD.
enum AT_DIAL_ANSWER {
    AtDialConnect,
    AtDialBusy,
    AtDialNoCarrier,
    AtDialNoAnswer,
    AtDialNoDialtone,
};

// The service at the far end of a call.
enum AT_FAR_END {
    AtFarEndEcho,  // every byte comes straight back
    AtFarEndLines, // each line comes back as "you said: <line>" CR LF
};

enum AT_MODE {
    AtModeCommand,
    AtModeData,
    AtModeOnlineCommand,
};

// Line state bits, as the phone reports them in a SERIAL_STATE notification.
#define ATMODEM_STATE_DCD 0x0001 // bRxCarrier: a call is up
#define ATMODEM_STATE_DSR 0x0002 // bTxCarrier: the modem is powered

// Where the interpreter is inside a command line.
enum AT_PREFIX {
    AtPrefixNone,  // waiting for 'A'
    AtPrefixA,     // saw 'A', waiting for 'T' (or '/')
    AtPrefixBody,  // collecting the line after "AT"
};

typedef struct _ATMODEM {
    // ---- settings (ATZ and AT&F restore them)
    unsigned char Echo;        // E: echo command characters
    unsigned char Verbose;     // V: text result codes
    unsigned char Quiet;       // Q: no result codes at all
    unsigned char DtrMode;     // &D: 0 ignore, 1 to online command mode, 2 hang up, 3 reset
    unsigned char DcdMode;     // &C: accepted, DCD always follows the carrier here
    unsigned char S[ATMODEM_REGISTERS];
    unsigned char LastRegister; // the register "ATSn" selected

    // ---- behaviour of the world outside, set by whoever hosts the model
    int DialAnswer;            // AT_DIAL_ANSWER
    int FarEnd;                // AT_FAR_END
    unsigned char SignalRssi;  // +CSQ first value (0-31, 99 unknown)
    unsigned char SignalBer;   // +CSQ second value (0-7, 99 unknown)

    // ---- state
    int Mode;                  // AT_MODE
    unsigned char Powered;
    unsigned char InCall;
    unsigned char Dtr;         // the host's DTR as last received
    unsigned short ControlLines; // last SET_CONTROL_LINE_STATE value
    unsigned char LineCoding[7]; // last SET_LINE_CODING data
    unsigned char LineCodingSeen;

    // Command line being collected.
    int Prefix;                // AT_PREFIX
    char PrefixA;              // the 'A' or 'a' that started the line
    char Line[ATMODEM_LINE_MAX];
    unsigned LineLength;
    unsigned char LineOverflow;
    char LastLine[ATMODEM_LINE_MAX]; // for "A/"
    unsigned LastLineLength;

    // Escape detection in data mode: time of the last byte from the host
    // and how many escape characters in a row followed a guard time.
    unsigned long long LastDataTime;
    unsigned EscapeCount;

    // The line-oriented far end's line so far.
    char FarLine[ATMODEM_FAR_LINE_MAX];
    unsigned FarLineLength;

    // Bytes for the host, oldest first.
    unsigned char Out[ATMODEM_OUT_MAX];
    unsigned OutLength;
    unsigned long OutDropped;  // bytes lost because the host did not drain

    // Line state now and as last taken by the host glue.
    unsigned short LineState;
    unsigned short ReportedLineState;
    unsigned char LineStateReported; // nothing reported yet: report even an unchanged state

    // Counters a test or a log may look at.
    unsigned long Commands;    // command lines executed
    unsigned long Calls;       // calls connected
} ATMODEM, *PATMODEM;

// Power-on: factory settings, command mode, DSR up, no call.
void AtModemInit(PATMODEM Modem);
// Bytes the host wrote (bulk-out) at time `NowMs`.
void AtModemInput(PATMODEM Modem, const unsigned char* Data, unsigned Length,
                  unsigned long long NowMs);
// Time has passed: completes an escape whose trailing guard time is over.
void AtModemPoll(PATMODEM Modem, unsigned long long NowMs);
// When AtModemPoll next has something to do. Nonzero with *WhenMs set, or 0
// when nothing is waiting for time.
int AtModemNextDeadline(const ATMODEM* Modem, unsigned long long* WhenMs);
// Moves up to `Size` bytes of output for the host into `Buffer`.
unsigned AtModemTakeOutput(PATMODEM Modem, unsigned char* Buffer, unsigned Size);
// Nonzero when the line state changed since the last call (or was never
// taken); *State gets the ATMODEM_STATE_* bits.
int AtModemTakeLineState(PATMODEM Modem, unsigned short* State);

// Class requests the host sent.
void AtModemSetControlLines(PATMODEM Modem, unsigned short Value, unsigned long long NowMs);
void AtModemSetLineCoding(PATMODEM Modem, const unsigned char Coding[7]);

// The world outside.
void AtModemSetDialAnswer(PATMODEM Modem, int Answer);
void AtModemSetFarEnd(PATMODEM Modem, int FarEnd);
// The far end hangs up: NO CARRIER, DCD down.
void AtModemRemoteHangup(PATMODEM Modem);
// Power off drops DSR (and any call); power on is AtModemInit's state.
void AtModemSetPower(PATMODEM Modem, int On);

// Identity strings the modem reports.
extern const char AtModemManufacturer[];
extern const char AtModemModel[];
extern const char AtModemRevision[];
extern const char AtModemSerialNumber[];
