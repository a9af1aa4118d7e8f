// A COM port opened the way terminal programs open one: overlapped, so that
// a read and a WaitCommEvent can both be outstanding while the program does
// other things, and each one's completion is an event to wait on.
#pragma once

#include "platform/win32/win32.h"

#include <string>

namespace vxqt70 {

class Port {
public:
    Port() = default;
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    // CreateFile on "\\.\COMn"; on failure returns false with the Win32 error.
    bool Open(const std::string& path, DWORD* error);
    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Handle() const { return handle_; }

    // An overlapped ReadFile of up to `size` bytes, left running.
    bool StartRead(DWORD size = 512);
    bool ReadPending() const { return reading_; }
    // The read's event, signalled when it completes.
    HANDLE ReadEvent() const { return readOv_.hEvent; }
    // If the read has completed, appends its bytes to `data` and returns
    // true; `error` (if given) gets its Win32 error, 0 when it succeeded.
    bool TakeRead(std::string* data, DWORD* error = nullptr);

    // WaitCommEvent with an OVERLAPPED, left running.
    bool StartWait();
    bool WaitPending() const { return waiting_; }
    HANDLE WaitEvent() const { return waitOv_.hEvent; }
    // If the wait has completed, stores the events it ended with.
    bool TakeWait(DWORD* events, DWORD* error = nullptr);

    // WriteFile, waited for; returns the bytes written.
    DWORD Write(const std::string& data);
    DWORD ModemStatus();
    bool Stats(SERIALPERF_STATS* stats);

    // Ends what is still running (SetCommMask(0) ends the wait as programs
    // do; CancelIo ends the read) and closes the handle.
    void Close();

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    OVERLAPPED readOv_{};
    OVERLAPPED waitOv_{};
    char readBuffer_[4096];
    DWORD readSize_ = 0;
    DWORD waitMask_ = 0;
    bool reading_ = false;
    bool waiting_ = false;
};

// "DCD on  DSR on  CTS on" for a GetCommModemStatus value.
std::string LinesText(DWORD modemStatus);
// "RLSD DSR" for an EV_* mask ("0" when empty).
std::string EventsText(DWORD events);

} // namespace vxqt70
