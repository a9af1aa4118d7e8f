// kernel32's comm routines over the simulated I/O manager. Each one is the
// serial control requests kernel32 sends for it, in its order (SetCommState:
// the four GETs, then SET_BAUD_RATE, the RTS request, the DTR request,
// SET_LINE_CONTROL, SET_CHARS, SET_HANDFLOW), and a failed request fails the
// call with the Win32 error ntdll maps its status to.
#include "platform/win32/win32.h"

#include <cstring>
#include <string>

namespace {

// A serial control request, waited for on any handle: kernel32 gives the
// requests of its comm routines an event of its own and waits, so they are
// synchronous even on an overlapped handle.
BOOL Control(HANDLE h, DWORD code, const void* in, DWORD inLength, void* out = nullptr,
             DWORD outLength = 0, DWORD* returned = nullptr) {
    DWORD n = 0;
    const BOOL ok =
        DeviceIoControl(h, code, const_cast<void*>(in), inLength, out, outLength, &n, nullptr);
    if (returned != nullptr)
        *returned = n;
    return ok;
}

BOOL Invalid() {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

struct SerialSettings {
    SERIAL_BAUD_RATE baud;
    SERIAL_LINE_CONTROL line;
    SERIAL_CHARS chars;
    SERIAL_HANDFLOW handflow;
};

// The four GETs every GetCommState and SetCommState begins with.
BOOL ReadSettings(HANDLE h, SerialSettings* s) {
    std::memset(s, 0, sizeof *s);
    return Control(h, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &s->baud, sizeof s->baud) &&
           Control(h, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &s->line, sizeof s->line) &&
           Control(h, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &s->chars, sizeof s->chars) &&
           Control(h, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &s->handflow, sizeof s->handflow);
}

void DcbFromSettings(const SerialSettings& s, LPDCB dcb) {
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = s.baud.BaudRate;
    dcb->fBinary = 1;
    dcb->ByteSize = s.line.WordLength;
    dcb->Parity = s.line.Parity;
    dcb->StopBits = s.line.StopBits;
    dcb->fParity = s.line.Parity != NOPARITY;

    const ULONG shake = s.handflow.ControlHandShake;
    const ULONG replace = s.handflow.FlowReplace;
    dcb->fOutxCtsFlow = (shake & SERIAL_CTS_HANDSHAKE) != 0;
    dcb->fOutxDsrFlow = (shake & SERIAL_DSR_HANDSHAKE) != 0;
    if (shake & SERIAL_DTR_HANDSHAKE)
        dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
    else if (shake & SERIAL_DTR_CONTROL)
        dcb->fDtrControl = DTR_CONTROL_ENABLE;
    else
        dcb->fDtrControl = DTR_CONTROL_DISABLE;
    dcb->fDsrSensitivity = (shake & SERIAL_DSR_SENSITIVITY) != 0;
    dcb->fAbortOnError = (shake & SERIAL_ERROR_ABORT) != 0;
    switch (replace & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL:
        dcb->fRtsControl = RTS_CONTROL_ENABLE;
        break;
    case SERIAL_RTS_HANDSHAKE:
        dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
        break;
    case SERIAL_TRANSMIT_TOGGLE:
        dcb->fRtsControl = RTS_CONTROL_TOGGLE;
        break;
    default:
        dcb->fRtsControl = RTS_CONTROL_DISABLE;
        break;
    }
    dcb->fOutX = (replace & SERIAL_AUTO_TRANSMIT) != 0;
    dcb->fInX = (replace & SERIAL_AUTO_RECEIVE) != 0;
    dcb->fErrorChar = (replace & SERIAL_ERROR_CHAR) != 0;
    dcb->fNull = (replace & SERIAL_NULL_STRIPPING) != 0;
    dcb->fTXContinueOnXoff = (replace & SERIAL_XOFF_CONTINUE) != 0;
    dcb->XonLim = static_cast<WORD>(s.handflow.XonLimit);
    dcb->XoffLim = static_cast<WORD>(s.handflow.XoffLimit);

    dcb->XonChar = static_cast<char>(s.chars.XonChar);
    dcb->XoffChar = static_cast<char>(s.chars.XoffChar);
    dcb->ErrorChar = static_cast<char>(s.chars.ErrorChar);
    dcb->EofChar = static_cast<char>(s.chars.EofChar);
    dcb->EvtChar = static_cast<char>(s.chars.EventChar);
}

// The port's settings with what a DCB says applied. Bits and characters a
// DCB has no member for (DCD handshake, break-character replacement, the
// break character) keep what the port reported.
void ApplyDcb(const DCB& dcb, SerialSettings* s) {
    s->baud.BaudRate = dcb.BaudRate;
    s->line.StopBits = dcb.StopBits;
    s->line.Parity = dcb.Parity;
    s->line.WordLength = dcb.ByteSize;

    s->chars.EofChar = static_cast<UCHAR>(dcb.EofChar);
    s->chars.ErrorChar = static_cast<UCHAR>(dcb.ErrorChar);
    s->chars.EventChar = static_cast<UCHAR>(dcb.EvtChar);
    s->chars.XonChar = static_cast<UCHAR>(dcb.XonChar);
    s->chars.XoffChar = static_cast<UCHAR>(dcb.XoffChar);

    ULONG shake = s->handflow.ControlHandShake &
                  ~static_cast<ULONG>(SERIAL_DTR_MASK | SERIAL_CTS_HANDSHAKE |
                                      SERIAL_DSR_HANDSHAKE | SERIAL_DSR_SENSITIVITY |
                                      SERIAL_ERROR_ABORT);
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE)
        shake |= SERIAL_DTR_CONTROL;
    else if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE)
        shake |= SERIAL_DTR_HANDSHAKE;
    if (dcb.fOutxCtsFlow)
        shake |= SERIAL_CTS_HANDSHAKE;
    if (dcb.fOutxDsrFlow)
        shake |= SERIAL_DSR_HANDSHAKE;
    if (dcb.fDsrSensitivity)
        shake |= SERIAL_DSR_SENSITIVITY;
    if (dcb.fAbortOnError)
        shake |= SERIAL_ERROR_ABORT;

    ULONG replace = s->handflow.FlowReplace &
                    ~static_cast<ULONG>(SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE |
                                        SERIAL_ERROR_CHAR | SERIAL_NULL_STRIPPING |
                                        SERIAL_RTS_MASK | SERIAL_XOFF_CONTINUE);
    if (dcb.fOutX)
        replace |= SERIAL_AUTO_TRANSMIT;
    if (dcb.fInX)
        replace |= SERIAL_AUTO_RECEIVE;
    if (dcb.fErrorChar)
        replace |= SERIAL_ERROR_CHAR;
    if (dcb.fNull)
        replace |= SERIAL_NULL_STRIPPING;
    if (dcb.fTXContinueOnXoff)
        replace |= SERIAL_XOFF_CONTINUE;
    switch (dcb.fRtsControl) {
    case RTS_CONTROL_ENABLE:
        replace |= SERIAL_RTS_CONTROL;
        break;
    case RTS_CONTROL_HANDSHAKE:
        replace |= SERIAL_RTS_HANDSHAKE;
        break;
    case RTS_CONTROL_TOGGLE:
        replace |= SERIAL_TRANSMIT_TOGGLE;
        break;
    default:
        break;
    }
    s->handflow.ControlHandShake = shake;
    s->handflow.FlowReplace = replace;
    s->handflow.XonLimit = dcb.XonLim;
    s->handflow.XoffLimit = dcb.XoffLim;
}

// ---------------------------------------------------------------- mode strings

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string Trim(const std::string& text) {
    size_t b = text.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    size_t e = text.find_last_not_of(" \t");
    return text.substr(b, e - b + 1);
}

bool Decimal(const std::string& text, DWORD* value) {
    if (text.empty() || text.size() > 9)
        return false;
    DWORD v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<DWORD>(c - '0');
    }
    *value = v;
    return true;
}

bool ParseParity(const std::string& text, BYTE* parity) {
    static const char letters[] = "noems";
    if (text.size() != 1)
        return false;
    const char* at = std::strchr(letters, text[0]);
    if (at == nullptr || text[0] == '\0')
        return false;
    *parity = static_cast<BYTE>(at - letters); // NOPARITY .. SPACEPARITY
    return true;
}

bool ParseData(const std::string& text, BYTE* size) {
    DWORD v = 0;
    if (!Decimal(text, &v) || v < 5 || v > 8)
        return false;
    *size = static_cast<BYTE>(v);
    return true;
}

bool ParseStop(const std::string& text, BYTE* stop) {
    if (text == "1")
        *stop = ONESTOPBIT;
    else if (text == "1.5")
        *stop = ONE5STOPBITS;
    else if (text == "2")
        *stop = TWOSTOPBITS;
    else
        return false;
    return true;
}

bool ParseOnOff(const std::string& text, bool* on) {
    if (text == "on")
        *on = true;
    else if (text == "off")
        *on = false;
    else
        return false;
    return true;
}

// What a mode string does to flow control when it says nothing: no XON/XOFF,
// no hardware handshake, DTR and RTS simply on.
void NoFlowControl(DCB* d) {
    d->fInX = 0;
    d->fOutX = 0;
    d->fOutxCtsFlow = 0;
    d->fOutxDsrFlow = 0;
    d->fDsrSensitivity = 0;
    d->fDtrControl = DTR_CONTROL_ENABLE;
    d->fRtsControl = RTS_CONTROL_ENABLE;
}

// "baud=9600 parity=n data=8 stop=1 xon=off dtr=hs ..."
bool ParseNewForm(const std::string& def, DCB* d) {
    bool stopGiven = false;
    size_t pos = 0;
    while (pos < def.size()) {
        size_t end = def.find_first_of(" \t", pos);
        if (end == std::string::npos)
            end = def.size();
        const std::string item = def.substr(pos, end - pos);
        pos = end + 1;
        if (item.empty())
            continue;
        const size_t eq = item.find('=');
        if (eq == std::string::npos)
            return false;
        const std::string key = item.substr(0, eq);
        const std::string value = item.substr(eq + 1);
        bool on = false;
        if (key == "baud") {
            if (!Decimal(value, &d->BaudRate))
                return false;
        } else if (key == "parity") {
            if (!ParseParity(value, &d->Parity))
                return false;
            d->fParity = d->Parity != NOPARITY;
        } else if (key == "data") {
            if (!ParseData(value, &d->ByteSize))
                return false;
        } else if (key == "stop") {
            if (!ParseStop(value, &d->StopBits))
                return false;
            stopGiven = true;
        } else if (key == "to") {
            if (!ParseOnOff(value, &on)) // a time-out setting: not a DCB member
                return false;
        } else if (key == "xon") {
            if (!ParseOnOff(value, &on))
                return false;
            d->fInX = d->fOutX = on;
        } else if (key == "odsr") {
            if (!ParseOnOff(value, &on))
                return false;
            d->fOutxDsrFlow = on;
        } else if (key == "octs") {
            if (!ParseOnOff(value, &on))
                return false;
            d->fOutxCtsFlow = on;
        } else if (key == "idsr") {
            if (!ParseOnOff(value, &on))
                return false;
            d->fDsrSensitivity = on;
        } else if (key == "dtr") {
            if (value == "hs")
                d->fDtrControl = DTR_CONTROL_HANDSHAKE;
            else if (ParseOnOff(value, &on))
                d->fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
            else
                return false;
        } else if (key == "rts") {
            if (value == "hs")
                d->fRtsControl = RTS_CONTROL_HANDSHAKE;
            else if (value == "tg")
                d->fRtsControl = RTS_CONTROL_TOGGLE;
            else if (ParseOnOff(value, &on))
                d->fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
            else
                return false;
        } else {
            return false;
        }
    }
    // MODE's rule: 110 bit/s means two stop bits unless told otherwise.
    if (!stopGiven && d->BaudRate == 110)
        d->StopBits = TWOSTOPBITS;
    return true;
}

// "96,n,8,1" with an optional "COMn:" in front and an optional ",x" or ",p".
bool ParseOldForm(const std::string& def, DCB* d) {
    std::string rest = def;
    if (rest.compare(0, 3, "com") == 0) {
        size_t at = 3;
        while (at < rest.size() && rest[at] >= '0' && rest[at] <= '9')
            ++at;
        if (at < rest.size() && rest[at] == ':')
            ++at;
        rest = Trim(rest.substr(at));
    }
    std::string fields[5];
    int count = 0;
    size_t pos = 0;
    for (;;) {
        size_t comma = rest.find(',', pos);
        if (count == 5)
            return false;
        fields[count++] = Trim(rest.substr(pos, comma == std::string::npos ? comma : comma - pos));
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    DWORD baud = 0;
    if (!Decimal(fields[0], &baud))
        return false;
    // MODE's two-digit abbreviations.
    static const struct {
        DWORD abbreviation, rate;
    } shortRates[] = {{11, 110},   {15, 150},   {30, 300},   {60, 600},  {12, 1200},
                      {24, 2400},  {48, 4800},  {96, 9600},  {19, 19200}};
    for (const auto& r : shortRates)
        if (baud == r.abbreviation)
            baud = r.rate;
    d->BaudRate = baud;
    if (count > 1 && !fields[1].empty()) {
        if (!ParseParity(fields[1], &d->Parity))
            return false;
        d->fParity = d->Parity != NOPARITY;
    }
    if (count > 2 && !fields[2].empty() && !ParseData(fields[2], &d->ByteSize))
        return false;
    if (count > 3 && !fields[3].empty()) {
        if (!ParseStop(fields[3], &d->StopBits))
            return false;
    } else if (baud == 110) {
        d->StopBits = TWOSTOPBITS;
    }
    if (count > 4 && !fields[4].empty()) {
        if (fields[4] == "x") {
            d->fInX = d->fOutX = 1;
        } else if (fields[4] == "p") {
            d->fOutxCtsFlow = 1;
            d->fOutxDsrFlow = 1;
            d->fDtrControl = DTR_CONTROL_HANDSHAKE;
            d->fRtsControl = RTS_CONTROL_HANDSHAKE;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

// ---------------------------------------------------------------- settings

extern "C" BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    SERIAL_QUEUE_SIZE size;
    size.InSize = dwInQueue;
    size.OutSize = dwOutQueue;
    return Control(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof size);
}

extern "C" BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (lpDCB == nullptr)
        return Invalid();
    SerialSettings s;
    if (!ReadSettings(hFile, &s))
        return FALSE;
    DcbFromSettings(s, lpDCB);
    return TRUE;
}

extern "C" BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (lpDCB == nullptr)
        return Invalid();
    SerialSettings s;
    if (!ReadSettings(hFile, &s))
        return FALSE;
    ApplyDcb(*lpDCB, &s);
    if (!Control(hFile, IOCTL_SERIAL_SET_BAUD_RATE, &s.baud, sizeof s.baud))
        return FALSE;
    // The control lines follow their modes; a handshake mode leaves the line
    // to the driver.
    switch (lpDCB->fRtsControl) {
    case RTS_CONTROL_ENABLE:
    case RTS_CONTROL_TOGGLE:
        if (!Control(hFile, IOCTL_SERIAL_SET_RTS, nullptr, 0))
            return FALSE;
        break;
    case RTS_CONTROL_DISABLE:
        if (!Control(hFile, IOCTL_SERIAL_CLR_RTS, nullptr, 0))
            return FALSE;
        break;
    default:
        break;
    }
    switch (lpDCB->fDtrControl) {
    case DTR_CONTROL_ENABLE:
        if (!Control(hFile, IOCTL_SERIAL_SET_DTR, nullptr, 0))
            return FALSE;
        break;
    case DTR_CONTROL_DISABLE:
        if (!Control(hFile, IOCTL_SERIAL_CLR_DTR, nullptr, 0))
            return FALSE;
        break;
    default:
        break;
    }
    return Control(hFile, IOCTL_SERIAL_SET_LINE_CONTROL, &s.line, sizeof s.line) &&
           Control(hFile, IOCTL_SERIAL_SET_CHARS, &s.chars, sizeof s.chars) &&
           Control(hFile, IOCTL_SERIAL_SET_HANDFLOW, &s.handflow, sizeof s.handflow);
}

extern "C" BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB) {
    if (lpDef == nullptr || lpDCB == nullptr)
        return Invalid();
    DCB d = *lpDCB;
    d.DCBlength = sizeof(DCB);
    d.fBinary = 1;
    NoFlowControl(&d);
    const std::string def = Lower(Trim(lpDef));
    const bool ok = def.find('=') != std::string::npos ? ParseNewForm(def, &d)
                                                       : ParseOldForm(def, &d);
    if (!ok)
        return Invalid();
    *lpDCB = d;
    return TRUE;
}

extern "C" BOOL WINAPI BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB) {
    if (lpDef == nullptr)
        return Invalid();
    std::string narrow;
    for (; *lpDef != 0; ++lpDef) {
        if (*lpDef > 0x7F)
            return Invalid(); // nothing in a mode string is outside ASCII
        narrow.push_back(static_cast<char>(*lpDef));
    }
    return BuildCommDCBA(narrow.c_str(), lpDCB);
}

extern "C" BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (lpCommTimeouts == nullptr)
        return Invalid();
    SERIAL_TIMEOUTS t;
    if (!Control(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &t, sizeof t))
        return FALSE;
    lpCommTimeouts->ReadIntervalTimeout = t.ReadIntervalTimeout;
    lpCommTimeouts->ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
    lpCommTimeouts->ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
    lpCommTimeouts->WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
    lpCommTimeouts->WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
    return TRUE;
}

extern "C" BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (lpCommTimeouts == nullptr)
        return Invalid();
    SERIAL_TIMEOUTS t;
    t.ReadIntervalTimeout = lpCommTimeouts->ReadIntervalTimeout;
    t.ReadTotalTimeoutMultiplier = lpCommTimeouts->ReadTotalTimeoutMultiplier;
    t.ReadTotalTimeoutConstant = lpCommTimeouts->ReadTotalTimeoutConstant;
    t.WriteTotalTimeoutMultiplier = lpCommTimeouts->WriteTotalTimeoutMultiplier;
    t.WriteTotalTimeoutConstant = lpCommTimeouts->WriteTotalTimeoutConstant;
    return Control(hFile, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t);
}

// ---------------------------------------------------------------- events

extern "C" BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    ULONG mask = dwEvtMask;
    return Control(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask);
}

extern "C" BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    if (lpEvtMask == nullptr)
        return Invalid();
    ULONG mask = 0;
    if (!Control(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, sizeof mask))
        return FALSE;
    *lpEvtMask = mask;
    return TRUE;
}

extern "C" BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    // The event mask is the request's output: on an overlapped wait the
    // driver's answer lands in *lpEvtMask when the wait completes.
    DWORD returned = 0;
    return DeviceIoControl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask,
                           sizeof(DWORD), &returned, lpOverlapped);
}

// ---------------------------------------------------------------- queues and status

extern "C" BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
    ULONG flags = dwFlags;
    return Control(hFile, IOCTL_SERIAL_PURGE, &flags, sizeof flags);
}

extern "C" BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    SERIAL_STATUS status;
    std::memset(&status, 0, sizeof status);
    if (!Control(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status))
        return FALSE;
    if (lpErrors != nullptr) {
        DWORD errors = 0;
        if (status.Errors & SERIAL_ERROR_QUEUEOVERRUN)
            errors |= CE_RXOVER;
        if (status.Errors & SERIAL_ERROR_OVERRUN)
            errors |= CE_OVERRUN;
        if (status.Errors & SERIAL_ERROR_PARITY)
            errors |= CE_RXPARITY;
        if (status.Errors & SERIAL_ERROR_FRAMING)
            errors |= CE_FRAME;
        if (status.Errors & SERIAL_ERROR_BREAK)
            errors |= CE_BREAK;
        *lpErrors = errors;
    }
    if (lpStat != nullptr) {
        std::memset(lpStat, 0, sizeof *lpStat);
        const ULONG hold = status.HoldReasons;
        lpStat->fCtsHold = (hold & SERIAL_TX_WAITING_FOR_CTS) != 0;
        lpStat->fDsrHold = (hold & SERIAL_TX_WAITING_FOR_DSR) != 0;
        lpStat->fRlsdHold = (hold & SERIAL_TX_WAITING_FOR_DCD) != 0;
        lpStat->fXoffHold = (hold & SERIAL_TX_WAITING_FOR_XON) != 0;
        lpStat->fXoffSent = (hold & SERIAL_TX_WAITING_XOFF_SENT) != 0;
        lpStat->fEof = status.EofReceived != 0;
        lpStat->fTxim = status.WaitForImmediate != 0;
        lpStat->cbInQue = status.AmountInInQueue;
        lpStat->cbOutQue = status.AmountInOutQueue;
    }
    return TRUE;
}

extern "C" BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    if (lpModemStat == nullptr)
        return Invalid();
    ULONG status = 0;
    if (!Control(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof status))
        return FALSE;
    *lpModemStat = status;
    return TRUE;
}

extern "C" BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
    if (lpCommProp == nullptr)
        return Invalid();
    // A caller asking for provider-specific data says how big its block is.
    DWORD size = sizeof(COMMPROP);
    if (lpCommProp->dwProvSpec1 == COMMPROP_INITIALIZED && lpCommProp->wPacketLength > size)
        size = lpCommProp->wPacketLength;
    static_assert(sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP), "COMMPROP is SERIAL_COMMPROP");
    return Control(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, size);
}

// ---------------------------------------------------------------- lines

extern "C" BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    DWORD code = 0;
    switch (dwFunc) {
    case SETXOFF:
        code = IOCTL_SERIAL_SET_XOFF;
        break;
    case SETXON:
        code = IOCTL_SERIAL_SET_XON;
        break;
    case SETRTS:
        code = IOCTL_SERIAL_SET_RTS;
        break;
    case CLRRTS:
        code = IOCTL_SERIAL_CLR_RTS;
        break;
    case SETDTR:
        code = IOCTL_SERIAL_SET_DTR;
        break;
    case CLRDTR:
        code = IOCTL_SERIAL_CLR_DTR;
        break;
    case RESETDEV:
        code = IOCTL_SERIAL_RESET_DEVICE;
        break;
    case SETBREAK:
        code = IOCTL_SERIAL_SET_BREAK_ON;
        break;
    case CLRBREAK:
        code = IOCTL_SERIAL_SET_BREAK_OFF;
        break;
    default:
        return Invalid();
    }
    return Control(hFile, code, nullptr, 0);
}

extern "C" BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar) {
    UCHAR c = static_cast<UCHAR>(cChar);
    return Control(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &c, sizeof c);
}

extern "C" BOOL WINAPI SetCommBreak(HANDLE hFile) {
    return Control(hFile, IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0);
}

extern "C" BOOL WINAPI ClearCommBreak(HANDLE hFile) {
    return Control(hFile, IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0);
}
