// The harness's COM-port exercise, a plain Win32 console program:
//
//   vxcomm modem \\.\COM5   settings, AT commands, a call with data echoed by
//                           the far end, wait-on-mask, purge, hang-up, close
//   vxcomm diag \\.\COM6    settings and a loop-back exchange
//   vxcomm lost \\.\COM5    a bulk-in failure from the phone's fault plan marks
//                           the modem port lost: every request then fails
//                           with STATUS_DELETE_PENDING (ERROR_ACCESS_DENIED),
//                           a new open too, until the port is removed
//   vxcomm recover \\.\COM6 one diagnostics bulk-in transfer fails; the port
//                           retries and the loop-back goes on
//   vxcomm exclusive \\.\COMn ASK ANSWER
//                           a second open while open, and the first handle
//                           still working once the second is closed (sends
//                           ASK and CR, waits for ANSWER)
//
// Each step prints "ok: ..." or "FAIL: ..."; the exit status is the number
// of failed steps.
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "wine/phonebus/phonebus_ioctl.h"

namespace {

int g_failures = 0;

void Check(bool ok, const char* what) {
    printf("%s: %s\n", ok ? "ok" : "FAIL", what);
    if (!ok) {
        printf("      (last error %lu)\n", (unsigned long)GetLastError());
        ++g_failures;
    }
}

struct Port {
    HANDLE h = INVALID_HANDLE_VALUE;
    OVERLAPPED rd = {}, wr = {};
};

bool Write(Port& p, const void* data, DWORD length) {
    DWORD done = 0;
    ResetEvent(p.wr.hEvent);
    if (!WriteFile(p.h, data, length, &done, &p.wr)) {
        if (GetLastError() != ERROR_IO_PENDING)
            return false;
        if (WaitForSingleObject(p.wr.hEvent, 10000) != WAIT_OBJECT_0) {
            CancelIo(p.h);
            return false;
        }
        if (!GetOverlappedResult(p.h, &p.wr, &done, TRUE))
            return false;
    }
    return done == length;
}

bool WriteText(Port& p, const char* text) { return Write(p, text, (DWORD)strlen(text)); }

// A read the time-outs ended short completes with STATUS_TIMEOUT, a success
// status: Windows reports it as a successful read. Wine's ReadFile and
// GetOverlappedResult fail it with ERROR_TIMEOUT, though they still report
// the bytes moved; those bytes count here as they would on Windows.
bool ReadOk(BOOL ok) { return ok || GetLastError() == ERROR_TIMEOUT; }

// One read as the time-outs allow it (some bytes, or none after the total).
DWORD ReadSome(Port& p, char* buffer, DWORD size) {
    DWORD done = 0;
    ResetEvent(p.rd.hEvent);
    BOOL ok = ReadFile(p.h, buffer, size, &done, &p.rd);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(p.rd.hEvent, 10000) != WAIT_OBJECT_0) {
            CancelIo(p.h);
            GetOverlappedResult(p.h, &p.rd, &done, TRUE);
            return 0;
        }
        done = 0;
        ok = GetOverlappedResult(p.h, &p.rd, &done, TRUE);
    }
    return ReadOk(ok) ? done : 0;
}

// Reads until `want` shows up in what came, or `ms` pass. The text read is
// left in `got` (NUL-terminated).
bool ReadUntil(Port& p, const char* want, char* got, DWORD size, DWORD ms) {
    DWORD have = 0;
    got[0] = 0;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms && have + 1 < size) {
        have += ReadSome(p, got + have, size - 1 - have);
        got[have] = 0;
        if (strstr(got, want))
            return true;
    }
    printf("      read %lu bytes without \"%s\": ", (unsigned long)have, want);
    for (DWORD i = 0; i < have && i < 64; ++i)
        printf(got[i] >= 32 && got[i] < 127 ? "%c" : "<%02X>", (unsigned char)got[i]);
    printf("\n");
    return false;
}

bool Open(Port& p, const char* name) {
    p.h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                      NULL);
    p.rd.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    p.wr.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    return p.h != INVALID_HANDLE_VALUE;
}

void Close(Port& p) {
    Check(CloseHandle(p.h) != 0, "close");
    CloseHandle(p.rd.hEvent);
    CloseHandle(p.wr.hEvent);
}

void Settings(Port& p);

// Opens the port and sets it up; FALSE (and a failure counted) when it does not open.
bool OpenSet(Port& p, const char* name, const char* what) {
    Check(Open(p, name), what);
    if (p.h == INVALID_HANDLE_VALUE)
        return false;
    Settings(p);
    return true;
}

void Settings(Port& p) {
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    Check(GetCommState(p.h, &dcb) != 0, "GetCommState");
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutX = dcb.fInX = FALSE;
    Check(SetCommState(p.h, &dcb) != 0, "SetCommState 115200 8N1, DTR and RTS on");
    DCB back = {};
    back.DCBlength = sizeof back;
    Check(GetCommState(p.h, &back) && back.BaudRate == CBR_115200 && back.ByteSize == 8 &&
              back.Parity == NOPARITY && back.StopBits == ONESTOPBIT,
          "GetCommState reads the settings back");
    // A read returns as soon as a byte is there, or after one second.
    COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, 1000, 0, 5000};
    Check(SetCommTimeouts(p.h, &t) != 0, "SetCommTimeouts");
    COMMTIMEOUTS tb = {};
    Check(GetCommTimeouts(p.h, &tb) && tb.ReadTotalTimeoutConstant == 1000, "GetCommTimeouts");
}

DWORD ModemLines(Port& p) {
    DWORD lines = 0;
    GetCommModemStatus(p.h, &lines);
    return lines;
}

// Polls until `done` holds or `ms` pass.
template <typename F> bool Within(DWORD ms, F done) {
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > ms)
            return false;
        Sleep(50);
    }
    return true;
}

bool WaitLines(Port& p, DWORD mask, DWORD want, DWORD ms) {
    return Within(ms, [&] { return (ModemLines(p) & mask) == want; });
}

int Modem(const char* name) {
    Port p;
    if (!OpenSet(p, name, "open the modem port"))
        return 1;
    Check(WaitLines(p, MS_DSR_ON, MS_DSR_ON, 5000), "DSR on (the phone's SERIAL_STATE)");

    // Wait-on-mask: a pending wait ends with EV_RXCHAR when the answer comes.
    Check(SetCommMask(p.h, EV_RXCHAR) != 0, "SetCommMask EV_RXCHAR");
    OVERLAPPED ev = {};
    ev.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD events = 0;
    BOOL immediate = WaitCommEvent(p.h, &events, &ev);
    Check(!immediate && GetLastError() == ERROR_IO_PENDING, "WaitCommEvent pends");
    Check(WriteText(p, "AT\r"), "write AT");
    DWORD got = 0;
    Check(WaitForSingleObject(ev.hEvent, 5000) == WAIT_OBJECT_0 &&
              GetOverlappedResult(p.h, &ev, &got, FALSE) && (events & EV_RXCHAR),
          "wait-on-mask reports EV_RXCHAR");
    char text[2048];
    Check(ReadUntil(p, "OK\r\n", text, sizeof text, 5000), "AT answers OK");

    Check(WriteText(p, "ATI\r"), "write ATI");
    Check(ReadUntil(p, "OK\r\n", text, sizeof text, 5000), "ATI answers");
    printf("      ATI: %s\n", text);

    // A call: CONNECT, carrier up, then the far end echoes what we send.
    Check(WriteText(p, "ATD5551234\r"), "write ATD5551234");
    Check(ReadUntil(p, "CONNECT", text, sizeof text, 5000), "dial answers CONNECT");
    Check(WaitLines(p, MS_RLSD_ON, MS_RLSD_ON, 5000), "carrier (RLSD) on");
    const char* payload = "hello through a real kernel\r\n";
    Check(WriteText(p, payload), "write data in the call");
    Check(ReadUntil(p, "real kernel", text, sizeof text, 5000), "far end echoes the data");

    // A larger block both ways, across several bulk transfers.
    static char big[6000], back[6100];
    for (int i = 0; i < (int)sizeof big; ++i)
        big[i] = (char)('a' + i % 26);
    big[sizeof big - 1] = '#';
    Check(Write(p, big, sizeof big), "write 6000 bytes");
    DWORD have = 0, start = GetTickCount();
    while (have < sizeof big && GetTickCount() - start < 10000)
        have += ReadSome(p, back + have, (DWORD)(sizeof back - have));
    Check(have == sizeof big && memcmp(big, back, sizeof big) == 0, "6000 bytes echoed intact");

    COMSTAT stat = {};
    DWORD errors = 0;
    Check(ClearCommError(p.h, &errors, &stat) != 0, "ClearCommError");
    Check(PurgeComm(p.h, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT) != 0, "PurgeComm");

    // Back to command mode with the guarded escape, then hang up.
    Sleep(1200);
    Check(WriteText(p, "+++"), "write +++");
    Check(ReadUntil(p, "OK\r\n", text, sizeof text, 5000), "escape answers OK");
    Check(WriteText(p, "ATH\r"), "write ATH");
    // The phone reports the dropped call rather than a plain OK.
    Check(ReadUntil(p, "NO CARRIER\r\n", text, sizeof text, 5000), "hang-up answers NO CARRIER");
    Check(WaitLines(p, MS_RLSD_ON, 0, 5000), "carrier (RLSD) off");

    Check(EscapeCommFunction(p.h, CLRDTR) != 0, "EscapeCommFunction CLRDTR");
    CloseHandle(ev.hEvent);
    Close(p);

    // The port opens again after a close.
    Port again;
    Check(Open(again, name), "open again after close");
    if (again.h != INVALID_HANDLE_VALUE)
        Close(again);
    return g_failures;
}

int Diag(const char* name) {
    Port p;
    if (!OpenSet(p, name, "open the diagnostics port"))
        return 1;
    static char out[3000], in[3100];
    for (int i = 0; i < (int)sizeof out; ++i)
        out[i] = (char)(i * 7 + 3);
    Check(Write(p, out, sizeof out), "write 3000 bytes");
    DWORD have = 0, start = GetTickCount();
    while (have < sizeof out && GetTickCount() - start < 10000)
        have += ReadSome(p, in + have, (DWORD)(sizeof in - have));
    Check(have == sizeof out && memcmp(out, in, sizeof out) == 0, "3000 bytes come back intact");
    Check(PurgeComm(p.h, PURGE_RXCLEAR | PURGE_TXCLEAR) != 0, "PurgeComm");
    Close(p);
    return g_failures;
}

// A second open while the port is open: Windows refuses it (the I/O manager
// for an exclusive device, the driver for a create that reaches it anyway).
// Wine hands out a handle even though the driver refused the create, and
// closes it like any other; either way the first handle must keep working
// once the second is gone, which the driver sees to by acting only on the
// cleanup and close of the handle that opened the port. The port answers
// `ask` with `answer` (the modem its OK, the diagnostics loop-back the bytes).
int Exclusive(const char* name, const char* ask, const char* answer) {
    Port p;
    if (!OpenSet(p, name, "open the port"))
        return 1;
    HANDLE second =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (second == INVALID_HANDLE_VALUE) {
        printf("ok: a second open is refused (error %lu)\n", (unsigned long)GetLastError());
    } else {
        printf("note: a second open got a handle (Wine does not keep it away); closing it\n");
        Check(CloseHandle(second) != 0, "close the second handle");
    }
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    Check(GetCommState(p.h, &dcb) != 0 && dcb.BaudRate == CBR_115200,
          "the first handle keeps its settings");
    char line[128], text[256];
    snprintf(line, sizeof line, "%s\r", ask);
    Check(WriteText(p, line), "the first handle still writes");
    Check(ReadUntil(p, answer, text, sizeof text, 5000), "the first handle still receives");
    Close(p);
    Port again;
    Check(Open(again, name), "the port opens again after its close");
    if (again.h != INVALID_HANDLE_VALUE)
        Close(again);
    return g_failures;
}

// ---- the phone's fault plan, through the bus's control device

// USB statuses the faults below use (usb.h is a kernel-mode header).
const long kStatusUnsuccessful = (long)0xC0000001;
const long kUsbdCrc = (long)0xC0000001;
const long kUsbdDevNotResponding = (long)0xC0000005;

bool BusIoctl(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength) {
    HANDLE bus = CreateFileA(VXPHONEBUS_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                             OPEN_EXISTING, 0, NULL);
    if (bus == INVALID_HANDLE_VALUE)
        return false;
    DWORD got = 0;
    BOOL ok = DeviceIoControl(bus, code, (void*)in, inLength, out, outLength, &got, NULL);
    CloseHandle(bus);
    return ok != 0;
}

// One failing transfer on an interface's bulk-in pipe.
bool FailBulkInOnce(unsigned long interfaceNumber, long usbd) {
    VXPHONEBUS_FAULT f = {};
    f.Interface = interfaceNumber;
    f.Pipe = VXPHONEBUS_PIPE_BULK_IN;
    f.Kind = VXPHONEBUS_FAULT_ERROR;
    f.Count = 1;
    f.Status = kStatusUnsuccessful;
    f.Usbd = usbd;
    return BusIoctl(IOCTL_VXPHONEBUS_FAULT, &f, sizeof f, NULL, 0);
}

unsigned long FailedTransfers(unsigned long interfaceNumber) {
    VXPHONEBUS_STATUS s = {};
    BusIoctl(IOCTL_VXPHONEBUS_STATUS, NULL, 0, &s, sizeof s);
    return s.FailedTransfers[interfaceNumber];
}

int Lost(const char* name) {
    Port p;
    if (!OpenSet(p, name, "open the modem port"))
        return 1;
    char text[256];
    Check(WriteText(p, "ATE0\r") && ReadUntil(p, "OK", text, sizeof text, 5000), "the modem answers");
    Check(FailBulkInOnce(0, kUsbdDevNotResponding), "the phone's bulk-in fails once");
    // The failure reaches the port when the bus serves its waiting read.
    Check(Within(10000, [&] { return !WriteText(p, "AT\r") && GetLastError() == ERROR_ACCESS_DENIED; }),
          "writes fail with ERROR_ACCESS_DENIED (STATUS_DELETE_PENDING)");
    DWORD lines = 0;
    Check(!GetCommModemStatus(p.h, &lines) && GetLastError() == ERROR_ACCESS_DENIED,
          "GetCommModemStatus fails the same way");
    Close(p);
    // Wine hands out a handle even for a create the driver failed (see
    // Exclusive); the driver then refuses every request on it, since that
    // handle never opened the port.
    HANDLE again = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (again == INVALID_HANDLE_VALUE) {
        Check(GetLastError() == ERROR_ACCESS_DENIED, "a new open fails until the port is removed");
    } else {
        BOOL served = GetCommModemStatus(again, &lines);
        printf("note: a new open got a handle (Wine); its request failed with error %lu\n",
               (unsigned long)GetLastError());
        Check(!served, "a new open (Wine gives a handle) gets nothing until the port is removed");
        CloseHandle(again);
    }
    return g_failures;
}

int Recover(const char* name) {
    Port p;
    if (!OpenSet(p, name, "open the diagnostics port"))
        return 1;
    unsigned long before = FailedTransfers(1);
    Check(FailBulkInOnce(1, kUsbdCrc), "the phone's bulk-in fails once (CRC)");
    Check(Within(10000, [&] { return FailedTransfers(1) == before + 1; }),
          "the bus failed one diagnostics transfer");
    char text[256];
    Check(WriteText(p, "after the error\r") && ReadUntil(p, "after the error", text, sizeof text, 5000),
          "the loop-back goes on: the port retried");
    Check(FailedTransfers(1) == before + 1, "no transfer failed since");
    Close(p);
    return g_failures;
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc == 3 && !strcmp(argv[1], "modem"))
        return Modem(argv[2]);
    if (argc == 5 && !strcmp(argv[1], "exclusive"))
        return Exclusive(argv[2], argv[3], argv[4]);
    if (argc == 3 && !strcmp(argv[1], "diag"))
        return Diag(argv[2]);
    if (argc == 3 && !strcmp(argv[1], "lost"))
        return Lost(argv[2]);
    if (argc == 3 && !strcmp(argv[1], "recover"))
        return Recover(argv[2]);
    printf("usage: vxcomm modem|diag|lost|recover \\\\.\\COMn | exclusive \\\\.\\COMn ASK ANSWER\n");
    return 100;
}
