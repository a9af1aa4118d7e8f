// The overlapped COM port a terminal program keeps open.
#include "tools/port.h"

#include <cstring>

namespace vxqt70 {

Port::~Port() { Close(); }

bool Port::Open(const std::string& path, DWORD* error) {
    handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    readOv_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    waitOv_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return true;
}

bool Port::StartRead(DWORD size) {
    if (reading_)
        return true;
    readSize_ = size < sizeof readBuffer_ ? size : sizeof readBuffer_;
    ResetEvent(readOv_.hEvent);
    DWORD got = 0;
    const BOOL ok = ReadFile(handle_, readBuffer_, readSize_, &got, &readOv_);
    if (!ok && GetLastError() != ERROR_IO_PENDING)
        return false;
    reading_ = true;
    return true;
}

bool Port::TakeRead(std::string* data, DWORD* error) {
    if (!reading_ || !HasOverlappedIoCompleted(&readOv_))
        return false;
    DWORD got = 0;
    const BOOL ok = GetOverlappedResult(handle_, &readOv_, &got, FALSE);
    if (error != nullptr)
        *error = ok ? 0 : GetLastError();
    data->append(readBuffer_, got);
    reading_ = false;
    return true;
}

bool Port::StartWait() {
    if (waiting_)
        return true;
    ResetEvent(waitOv_.hEvent);
    waitMask_ = 0;
    const BOOL ok = WaitCommEvent(handle_, &waitMask_, &waitOv_);
    if (!ok && GetLastError() != ERROR_IO_PENDING)
        return false;
    // A wait that is satisfied at once completes inside the call; it is
    // still taken through TakeWait like one that pended.
    waiting_ = true;
    return true;
}

bool Port::TakeWait(DWORD* events, DWORD* error) {
    if (!waiting_ || !HasOverlappedIoCompleted(&waitOv_))
        return false;
    DWORD got = 0;
    const BOOL ok = GetOverlappedResult(handle_, &waitOv_, &got, FALSE);
    if (error != nullptr)
        *error = ok ? 0 : GetLastError();
    *events = waitMask_;
    waiting_ = false;
    return true;
}

DWORD Port::Write(const std::string& data) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    if (WriteFile(handle_, data.data(), static_cast<DWORD>(data.size()), &written, &ov) ||
        GetLastError() == ERROR_IO_PENDING)
        GetOverlappedResult(handle_, &ov, &written, TRUE);
    CloseHandle(ov.hEvent);
    return written;
}

DWORD Port::ModemStatus() {
    DWORD lines = 0;
    GetCommModemStatus(handle_, &lines);
    return lines;
}

bool Port::Stats(SERIALPERF_STATS* stats) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    memset(stats, 0, sizeof *stats);
    BOOL ok = DeviceIoControl(handle_, IOCTL_SERIAL_GET_STATS, nullptr, 0, stats, sizeof *stats,
                              &bytes, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(handle_, &ov, &bytes, TRUE);
    CloseHandle(ov.hEvent);
    return ok && bytes == sizeof *stats;
}

void Port::Close() {
    if (handle_ == INVALID_HANDLE_VALUE)
        return;
    DWORD done = 0;
    if (waiting_) {
        SetCommMask(handle_, 0);
        GetOverlappedResult(handle_, &waitOv_, &done, TRUE);
        waiting_ = false;
    }
    if (reading_) {
        CancelIoEx(handle_, &readOv_);
        GetOverlappedResult(handle_, &readOv_, &done, TRUE);
        reading_ = false;
    }
    CloseHandle(handle_);
    CloseHandle(readOv_.hEvent);
    CloseHandle(waitOv_.hEvent);
    handle_ = INVALID_HANDLE_VALUE;
}

std::string LinesText(DWORD modemStatus) {
    std::string text;
    text += (modemStatus & MS_RLSD_ON) ? "DCD on " : "DCD off";
    text += (modemStatus & MS_DSR_ON) ? "  DSR on " : "  DSR off";
    text += (modemStatus & MS_CTS_ON) ? "  CTS on " : "  CTS off";
    if (modemStatus & MS_RING_ON)
        text += "  RING";
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

std::string EventsText(DWORD events) {
    static const struct {
        DWORD bit;
        const char* name;
    } kNames[] = {{EV_RXCHAR, "RXCHAR"}, {EV_RXFLAG, "RXFLAG"}, {EV_TXEMPTY, "TXEMPTY"},
                  {EV_CTS, "CTS"},       {EV_DSR, "DSR"},       {EV_RLSD, "RLSD"},
                  {EV_BREAK, "BREAK"},   {EV_ERR, "ERR"},       {EV_RING, "RING"}};
    std::string text;
    for (const auto& n : kNames)
        if (events & n.bit)
            text.append(text.empty() ? "" : " ").append(n.name);
    return text.empty() ? "0" : text;
}

} // namespace vxqt70
