// A tiny port driver for the Win32 tests: one exclusive device
// "\Device\TestPort0" reachable as COM5, buffered I/O, reads that wait for
// data in a cancel-safe queue, and control codes that let a test steer it
// (feed bytes, fail with a chosen status, leave a request pending).
#pragma once

#include "platform/kernel.h"

#include <string>

namespace porttest {

constexpr ULONG Code(ULONG function) {
    return CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + function, METHOD_BUFFERED, FILE_ANY_ACCESS);
}
constexpr ULONG kEcho = Code(0);      // output = input; short output: STATUS_BUFFER_OVERFLOW
constexpr ULONG kFailWith = Code(1);  // completes with the NTSTATUS given as input
constexpr ULONG kPend = Code(2);      // stays queued until cancelled
constexpr ULONG kFeed = Code(3);      // input bytes arrive; a queued read takes them
constexpr ULONG kShortNext = Code(4); // the next read ends STATUS_TIMEOUT with what there is

struct PortState {
    std::string written;  // every byte written, in order
    std::string received; // bytes fed and not yet read
    int creates = 0;
    int cleanups = 0;
    int closes = 0;
    int flushes = 0;
    int zeroLengthReads = 0;
};
PortState& State();

DRIVER_INITIALIZE PortDriverEntry;

} // namespace porttest
