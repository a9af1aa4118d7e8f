// atping: asks the modem on COM1 whether it is there.
//
// Opens the port, sets 115200 baud 8N1, sends "AT" and waits for the
// modem's "OK", using an overlapped WaitCommEvent to learn when characters
// arrive. Usage: atping [port]   (default \\.\COM1)
#include <windows.h>
#include <tchar.h>
#include <stdio.h>

static void PrintError(LPCTSTR what)
{
    _tprintf(TEXT("%s failed with error %d\n"), what, GetLastError());
}

int _tmain(int argc, TCHAR *argv[])
{
    LPCTSTR portName = TEXT("\\\\.\\COM1");
    if (argc > 1)
        portName = argv[1];

    //  Open the port for overlapped I/O, as WaitCommEvent below needs.
    HANDLE hCom = CreateFile(portName,
                             GENERIC_READ | GENERIC_WRITE,
                             0,             //  must be opened with exclusive access
                             NULL,          //  default security attributes
                             OPEN_EXISTING, //  must use OPEN_EXISTING
                             FILE_FLAG_OVERLAPPED,
                             NULL);         //  hTemplate must be NULL for comm devices
    if (hCom == INVALID_HANDLE_VALUE)
    {
        PrintError(TEXT("CreateFile"));
        return 1;
    }

    //  Build on the current configuration and set the values we need.
    DCB dcb;
    SecureZeroMemory(&dcb, sizeof(DCB));
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(hCom, &dcb))
    {
        PrintError(TEXT("GetCommState"));
        CloseHandle(hCom);
        return 2;
    }
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!SetCommState(hCom, &dcb))
    {
        PrintError(TEXT("SetCommState"));
        CloseHandle(hCom);
        return 3;
    }
    _tprintf(TEXT("%s: BaudRate = %d, ByteSize = %d, Parity = %d, StopBits = %d\n"),
             portName, dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits);

    //  Reads return at once with whatever has arrived.
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 1000;
    if (!SetCommTimeouts(hCom, &timeouts))
    {
        PrintError(TEXT("SetCommTimeouts"));
        CloseHandle(hCom);
        return 4;
    }

    //  Be told when a character arrives.
    if (!SetCommMask(hCom, EV_RXCHAR))
    {
        PrintError(TEXT("SetCommMask"));
        CloseHandle(hCom);
        return 5;
    }

    OVERLAPPED o;
    SecureZeroMemory(&o, sizeof(OVERLAPPED));
    o.hEvent = CreateEvent(NULL, TRUE, FALSE, NULL);

    OVERLAPPED ow;
    SecureZeroMemory(&ow, sizeof(OVERLAPPED));
    ow.hEvent = CreateEvent(NULL, TRUE, FALSE, NULL);

    const char command[] = "AT\r";
    DWORD written = 0;
    if (!WriteFile(hCom, command, (DWORD)strlen(command), &written, &ow))
    {
        if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(hCom, &ow, &written, TRUE))
            PrintError(TEXT("WriteFile"));
    }
    _tprintf(TEXT("sent AT (%d bytes)\n"), written);

    char reply[256];
    DWORD total = 0;
    BOOL gotOk = FALSE;
    int waits = 0;
    while (!gotOk && waits < 10)
    {
        DWORD dwEvtMask = 0;
        waits++;
        ResetEvent(o.hEvent);
        if (!WaitCommEvent(hCom, &dwEvtMask, &o))
        {
            if (GetLastError() != ERROR_IO_PENDING)
            {
                PrintError(TEXT("WaitCommEvent"));
                break;
            }
            //  Give the modem two seconds to answer.
            if (WaitForSingleObject(o.hEvent, 2000) != WAIT_OBJECT_0)
            {
                _tprintf(TEXT("no answer\n"));
                CancelIo(hCom);
                DWORD ignored;
                GetOverlappedResult(hCom, &o, &ignored, TRUE);
                break;
            }
            DWORD ignored;
            GetOverlappedResult(hCom, &o, &ignored, FALSE);
        }
        if (dwEvtMask & EV_RXCHAR)
        {
            DWORD n = 0;
            ResetEvent(ow.hEvent);
            if (!ReadFile(hCom, reply + total, sizeof(reply) - 1 - total, &n, &ow))
            {
                if (GetLastError() == ERROR_IO_PENDING)
                    GetOverlappedResult(hCom, &ow, &n, TRUE);
                else
                    PrintError(TEXT("ReadFile"));
            }
            total += n;
            reply[total] = '\0';
            if (strstr(reply, "OK\r\n") != NULL)
                gotOk = TRUE;
        }
    }

    if (gotOk)
        _tprintf(TEXT("OK received after %d bytes\n"), total);
    else
        _tprintf(TEXT("the modem did not answer OK (%d bytes: %s)\n"), total, reply);

    CloseHandle(ow.hEvent);
    CloseHandle(o.hEvent);
    CloseHandle(hCom);
    return gotOk ? 0 : 6;
}
