/* atinfo: asks the modem on a COM port who it is (ATI) and prints the answer.
 *
 * Plain Win32 C as written for Windows: TCHAR strings, _tmain, an overlapped
 * WaitCommEvent for the reply's first byte. Like many small tools it does
 * not close what it opened: the port and the event are left to Windows,
 * which closes them when the process exits.
 *
 *   atinfo [port]      (default \\.\COM1)
 */
#include <windows.h>
#include <tchar.h>
#include <stdio.h>

static void Report(const TCHAR *what)
{
    _tprintf(TEXT("%s failed with error %u\n"), what, (unsigned)GetLastError());
}

int _tmain(int argc, TCHAR *argv[])
{
    TCHAR *name = TEXT("\\\\.\\COM1");
    HANDLE port;
    DCB dcb;
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 1000};
    OVERLAPPED ov;
    DWORD events = 0, got = 0, written = 0, total = 0;
    char reply[256];
    const char command[] = "ATI\r";

    if (argc > 1)
        name = argv[1];
    port = CreateFile(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                      FILE_FLAG_OVERLAPPED, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        Report(TEXT("CreateFile"));
        return 1;
    }
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        Report(TEXT("GetCommState"));
        return 1;
    }
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    if (!SetCommState(port, &dcb) || !SetCommTimeouts(port, &timeouts) ||
        !SetCommMask(port, EV_RXCHAR)) {
        Report(TEXT("setting up the port"));
        return 1;
    }

    ZeroMemory(&ov, sizeof ov);
    ov.hEvent = CreateEvent(NULL, TRUE, FALSE, NULL);
    if (!WaitCommEvent(port, &events, &ov) && GetLastError() != ERROR_IO_PENDING) {
        Report(TEXT("WaitCommEvent"));
        return 1;
    }
    {
        OVERLAPPED wov;
        ZeroMemory(&wov, sizeof wov);
        if (!WriteFile(port, command, (DWORD)strlen(command), &written, &wov) &&
            (GetLastError() != ERROR_IO_PENDING ||
             !GetOverlappedResult(port, &wov, &written, TRUE))) {
            Report(TEXT("WriteFile"));
            return 1;
        }
    }
    if (WaitForSingleObject(ov.hEvent, 2000) != WAIT_OBJECT_0) {
        _tprintf(TEXT("%s: no answer\n"), name);
        return 1;
    }
    /* The reply comes in pieces: read until "OK" or a quiet second. */
    while (total + 1 < sizeof reply) {
        OVERLAPPED rov;
        ZeroMemory(&rov, sizeof rov);
        if (!ReadFile(port, reply + total, (DWORD)(sizeof reply - 1 - total), &got, &rov) &&
            (GetLastError() != ERROR_IO_PENDING ||
             !GetOverlappedResult(port, &rov, &got, TRUE)))
            break;
        if (got == 0) {
            Sleep(100);
            if (++events > 10)
                break;
            continue;
        }
        total += got;
        reply[total] = 0;
        if (strstr(reply, "OK\r\n") != NULL)
            break;
    }
    reply[total] = 0;
    _tprintf(TEXT("%s answered:\n%s"), name, reply);
    /* No CloseHandle: the port and the event go with the process. */
    return strstr(reply, "OK") != NULL ? 0 : 1;
}
