// A recording serial driver for the comm-layer tests: one exclusive device
// "\Device\CommRec0" reachable as COM7 that logs every request it gets (by
// name, with its input bytes), keeps plausible serial settings so that GETs
// read back what SETs stored, holds one WAIT_ON_MASK until the test raises
// events, and fails a chosen request with a chosen status.
#pragma once

#include "platform/kernel.h"

#include <cstdint>
#include <string>
#include <vector>

namespace commrec {

struct Logged {
    std::string name;           // "GET_BAUD_RATE", "FLUSH", "0x001B00A0" for an unknown code
    std::vector<uint8_t> input; // the request's input bytes
    ULONG outputLength = 0;
};

struct RecState {
    std::vector<Logged> log;
    SERIAL_BAUD_RATE baud{};
    SERIAL_LINE_CONTROL line{};
    SERIAL_CHARS chars{};
    SERIAL_HANDFLOW handflow{};
    SERIAL_TIMEOUTS timeouts{};
    SERIAL_STATUS status{};
    ULONG waitMask = 0;
    ULONG modemStatus = 0;
    // Requests named here fail with failStatus (every time).
    std::string failName;
    NTSTATUS failStatus = STATUS_SUCCESS;

    std::vector<std::string> Names() const;
    void Clear() { log.clear(); }
    template <typename T> T Input(size_t index) const {
        T value{};
        const auto& bytes = log.at(index).input;
        if (bytes.size() >= sizeof value)
            __builtin_memcpy(&value, bytes.data(), sizeof value);
        return value;
    }
};
RecState& State();

// Completes the queued WAIT_ON_MASK with this event mask. False when none.
bool RaiseEvents(ULONG mask);
bool WaitPending();

DRIVER_INITIALIZE RecDriverEntry;

} // namespace commrec
