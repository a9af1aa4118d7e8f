// A small Win32 console program of the kind people write against a COM port:
// opens the port named on its command line, sets 115200 8N1 with DTR and
// RTS on, reports the modem lines and properties, sends a command and waits
// for the port to report received data. Plain Win32; nothing in it knows
// about the simulated machine.
#include <windows.h>
#include <tchar.h>
#include <stdio.h>

int _tmain(int argc, TCHAR* argv[]) {
    if (argc < 2) {
        _ftprintf(stderr, _T("usage: %s \\\\.\\COMn\n"), argv[0]);
        return 2;
    }
    HANDLE port = CreateFile(argv[1], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        _tprintf(TEXT("open failed: %lu\n"), (unsigned long)GetLastError());
        return 1;
    }
    SetupComm(port, 4096, 4096);
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb) || !BuildCommDCB(TEXT("baud=115200 parity=n data=8 stop=1"), &dcb) ||
        !SetCommState(port, &dcb)) {
        _tprintf(TEXT("setup failed: %lu\n"), (unsigned long)GetLastError());
        CloseHandle(port);
        return 1;
    }
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(port, &timeouts);

    DWORD lines = 0;
    GetCommModemStatus(port, &lines);
    _tprintf(TEXT("CTS %s DSR %s RLSD %s\n"), (lines & MS_CTS_ON) ? _T("on") : _T("off"),
             (lines & MS_DSR_ON) ? _T("on") : _T("off"), (lines & MS_RLSD_ON) ? _T("on") : _T("off"));
    COMMPROP props;
    if (GetCommProperties(port, &props))
        _tprintf(TEXT("max baud 0x%08lX rx queue %lu\n"), (unsigned long)props.dwMaxBaud,
                 (unsigned long)props.dwCurrentRxQueue);

    SetCommMask(port, EV_RXCHAR | EV_ERR);
    OVERLAPPED ov;
    ZeroMemory(&ov, sizeof ov);
    ov.hEvent = CreateEvent(NULL, TRUE, FALSE, NULL);
    DWORD events = 0;
    if (!WaitCommEvent(port, &events, &ov) && GetLastError() != ERROR_IO_PENDING) {
        _tprintf(TEXT("wait failed: %lu\n"), (unsigned long)GetLastError());
    } else if (WaitForSingleObject(ov.hEvent, 5000) == WAIT_OBJECT_0) {
        DWORD n = 0;
        GetOverlappedResult(port, &ov, &n, FALSE);
        _tprintf(TEXT("events 0x%04lX\n"), (unsigned long)events);
    } else {
        _tprintf(TEXT("no events\n"));
        CancelIoEx(port, &ov);
        DWORD n = 0;
        GetOverlappedResult(port, &ov, &n, TRUE);
    }
    COMSTAT stat;
    DWORD errors = 0;
    ClearCommError(port, &errors, &stat);
    _tprintf(TEXT("in queue %lu errors %lu\n"), (unsigned long)stat.cbInQue, (unsigned long)errors);
    PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    EscapeCommFunction(port, CLRDTR);
    CloseHandle(ov.hEvent);
    CloseHandle(port);
    return 0;
}
