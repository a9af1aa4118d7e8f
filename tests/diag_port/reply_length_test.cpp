// What a device-control request reports back may never be more than the
// caller's output buffer holds: buffered I/O copies Information bytes of the
// system buffer into it. Every serial control code on both ports, with every
// output length from none to one past the reply, sent with an input the
// request accepts: no bug check, and Information within the buffer (a request
// without an output buffer may still be told the word it would report, as
// PurgeComm and SetCommMask are; nothing is copied back then).
#include "diag_port/diag_fixture.h"

#include <algorithm>

namespace diag_port {
namespace {

struct ControlCode {
    const char* name;
    ULONG code;
    std::vector<uint8_t> input; // what the request accepts
    DWORD reply;                // the most it reports back
};

template <typename T> std::vector<uint8_t> Bytes(const T& value) {
    const auto* first = reinterpret_cast<const uint8_t*>(&value);
    return std::vector<uint8_t>(first, first + sizeof(T));
}

std::vector<ControlCode> AllCodes() {
    SERIAL_BAUD_RATE rate{115200};
    SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
    ULONG purge = SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR;
    ULONG mask = SERIAL_EV_RXCHAR;
    std::vector<uint8_t> word(sizeof(ULONG), 0);
#define CODE(code, input, reply) ControlCode{#code, code, input, reply}
    return {
        CODE(IOCTL_SERIAL_SET_BAUD_RATE, Bytes(rate), 4),
        CODE(IOCTL_SERIAL_SET_QUEUE_SIZE, std::vector<uint8_t>(sizeof(SERIAL_QUEUE_SIZE)), 4),
        CODE(IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(line), 4),
        CODE(IOCTL_SERIAL_SET_BREAK_ON, {}, 4),
        CODE(IOCTL_SERIAL_SET_BREAK_OFF, {}, 4),
        CODE(IOCTL_SERIAL_IMMEDIATE_CHAR, {'!'}, 4),
        CODE(IOCTL_SERIAL_SET_TIMEOUTS, std::vector<uint8_t>(sizeof(SERIAL_TIMEOUTS)), 4),
        CODE(IOCTL_SERIAL_GET_TIMEOUTS, {}, sizeof(SERIAL_TIMEOUTS)),
        CODE(IOCTL_SERIAL_SET_DTR, {}, 4),
        CODE(IOCTL_SERIAL_CLR_DTR, {}, 4),
        CODE(IOCTL_SERIAL_RESET_DEVICE, {}, 4),
        CODE(IOCTL_SERIAL_SET_RTS, {}, 4),
        CODE(IOCTL_SERIAL_CLR_RTS, {}, 4),
        CODE(IOCTL_SERIAL_SET_XOFF, {}, 4),
        CODE(IOCTL_SERIAL_SET_XON, {}, 4),
        CODE(IOCTL_SERIAL_GET_WAIT_MASK, {}, sizeof(ULONG)),
        CODE(IOCTL_SERIAL_SET_WAIT_MASK, Bytes(mask), sizeof(ULONG)),
        CODE(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG)),
        CODE(IOCTL_SERIAL_PURGE, Bytes(purge), sizeof(ULONG)),
        CODE(IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(SERIAL_BAUD_RATE)),
        CODE(IOCTL_SERIAL_GET_LINE_CONTROL, {}, sizeof(SERIAL_LINE_CONTROL)),
        CODE(IOCTL_SERIAL_GET_CHARS, {}, sizeof(SERIAL_CHARS)),
        CODE(IOCTL_SERIAL_SET_CHARS, std::vector<uint8_t>(sizeof(SERIAL_CHARS)), 4),
        CODE(IOCTL_SERIAL_GET_HANDFLOW, {}, sizeof(SERIAL_HANDFLOW)),
        CODE(IOCTL_SERIAL_SET_HANDFLOW, std::vector<uint8_t>(sizeof(SERIAL_HANDFLOW)), 4),
        CODE(IOCTL_SERIAL_GET_MODEMSTATUS, {}, sizeof(ULONG)),
        CODE(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS)),
        CODE(IOCTL_SERIAL_XOFF_COUNTER, std::vector<uint8_t>(sizeof(SERIAL_XOFF_COUNTER)), 4),
        CODE(IOCTL_SERIAL_GET_PROPERTIES, {}, sizeof(SERIAL_COMMPROP)),
        CODE(IOCTL_SERIAL_GET_DTRRTS, {}, sizeof(ULONG)),
        CODE(IOCTL_SERIAL_LSRMST_INSERT, {0}, 4),
        CODE(IOCTL_SERIAL_CONFIG_SIZE, {}, sizeof(ULONG)),
        CODE(IOCTL_SERIAL_GET_COMMCONFIG, {}, 4),
        CODE(IOCTL_SERIAL_SET_COMMCONFIG, word, 4),
        CODE(IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS)),
        CODE(IOCTL_SERIAL_CLEAR_STATS, {}, 4),
        CODE(IOCTL_SERIAL_GET_MODEM_CONTROL, {}, sizeof(ULONG)),
        CODE(IOCTL_SERIAL_SET_MODEM_CONTROL, word, 4),
        CODE(IOCTL_SERIAL_SET_FIFO_CONTROL, word, 4),
        CODE(IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, {}, 4),
        CODE(IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, {}, 4),
        CODE(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, 4),
        CODE(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, {}, 4),
    };
#undef CODE
}

class ReplyLength : public BothPorts, public ::testing::WithParamInterface<ControlCode> {};

TEST_P(ReplyLength, NeverMoreThanTheOutputBufferHolds) {
    const ControlCode& code = GetParam();
    for (Port* port : Both()) {
        for (DWORD length = 0; length <= code.reply + 1; length++) {
            auto request = port->StartIoctl(code.code, code.input.data(),
                                            static_cast<DWORD>(code.input.size()), length);
            Result result = port->Wait(*request);
            EXPECT_LE(result.bytes, std::max<DWORD>(length, length == 0 ? sizeof(ULONG) : 0))
                << port->Name() << " output " << length << " status " << std::hex
                << result.status;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryCode, ReplyLength, ::testing::ValuesIn(AllCodes()),
    [](const ::testing::TestParamInfo<ControlCode>& param) { return param.param.name + 13; });

} // namespace
} // namespace diag_port
