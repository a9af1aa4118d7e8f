// The serial state the diagnostics port keeps for itself: defaults of an
// open, control lines looped back into the modem status with nothing sent to
// the phone, its own list of rates, and the line requests it accepts without
// effect. Contrasted with the modem port, which asks the phone.
#include "diag_port/diag_fixture.h"

namespace diag_port {
namespace {

using SerialEmulation = BothPorts;

TEST_F(SerialEmulation, OpenDefaults) {
    EXPECT_EQ(Diag().Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 115200u);
    EXPECT_EQ(Modem().Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 460800u);
    SERIAL_LINE_CONTROL line = Diag().Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
    EXPECT_EQ(line.StopBits, STOP_BITS_2);
    EXPECT_EQ(line.Parity, NO_PARITY);
    EXPECT_EQ(line.WordLength, 8);
    SERIAL_HANDFLOW flow = Diag().Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(flow.ControlHandShake, static_cast<ULONG>(SERIAL_DTR_CONTROL));
    EXPECT_EQ(flow.FlowReplace, static_cast<ULONG>(SERIAL_RTS_CONTROL));
    SERIAL_CHARS diagChars = Diag().Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS);
    SERIAL_CHARS modemChars = Modem().Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS);
    EXPECT_EQ(diagChars.XonChar, 0);
    EXPECT_EQ(diagChars.XoffChar, 0);
    EXPECT_EQ(modemChars.XonChar, 0x11);
    EXPECT_EQ(modemChars.XoffChar, 0x13);
    EXPECT_EQ(Diag().Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), 0u);
    // Every emulated line is off until the host raises its own.
    EXPECT_EQ(Diag().ModemStatus(), 0u);
    EXPECT_EQ(Modem().ModemStatus() & SERIAL_MSR_DSR, static_cast<ULONG>(SERIAL_MSR_DSR));
}

// DTR comes back as DSR, RTS as CTS and carrier. The modem port sends the
// lines to the phone instead and reports what the phone says.
TEST_F(SerialEmulation, ControlLinesLoopBackIntoModemStatus) {
    Modem().Usb().ClearClassRequests();
    EXPECT_EQ(Diag().Ioctl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    EXPECT_EQ(Diag().ModemStatus(), static_cast<ULONG>(SERIAL_MSR_DSR));
    EXPECT_EQ(Diag().Ioctl(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
    EXPECT_EQ(Diag().ModemStatus(), 0xB0u);
    EXPECT_EQ(Diag().Ioctl(IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);
    EXPECT_EQ(Diag().ModemStatus(), static_cast<ULONG>(SERIAL_MSR_DSR));
    EXPECT_EQ(Diag().Ioctl(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    EXPECT_EQ(Diag().ModemStatus(), 0u);
    EXPECT_TRUE(Diag().Usb().ClassRequests().empty());

    ULONG before = Modem().ModemStatus();
    EXPECT_EQ(Modem().Ioctl(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
    EXPECT_NE(Modem().Usb().ControlLines() & usb::kLineRts, 0);
    EXPECT_EQ(Modem().ModemStatus(), before);
}

// The loop-back raises no event: a WAIT_ON_MASK for DSR stays pending.
TEST_F(SerialEmulation, RaisingDtrRaisesNoEvent) {
    Diag().SetWaitMask(SERIAL_EV_DSR | SERIAL_EV_CTS | SERIAL_EV_RLSD);
    auto wait = Diag().StartWaitOnMask();
    EXPECT_EQ(Diag().Ioctl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    EXPECT_EQ(Diag().Ioctl(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
    sim::RunUntilIdle();
    EXPECT_FALSE(wait->Done());
}

TEST_F(SerialEmulation, BaudRatesStopAt128000) {
    SERIAL_BAUD_RATE fast{230400};
    SERIAL_BAUD_RATE top{128000};
    EXPECT_EQ(Diag().Set(IOCTL_SERIAL_SET_BAUD_RATE, fast), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Modem().Set(IOCTL_SERIAL_SET_BAUD_RATE, fast), STATUS_SUCCESS);
    EXPECT_EQ(Diag().Set(IOCTL_SERIAL_SET_BAUD_RATE, top), STATUS_SUCCESS);
    EXPECT_EQ(Diag().Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 128000u);
    EXPECT_TRUE(Diag().Usb().ClassRequests().empty());
}

// Line requests a real port would act on are accepted and do nothing here;
// the modem port refuses reset and XON/XOFF.
TEST_F(SerialEmulation, LineRequestsSucceedWithoutEffect) {
    for (ULONG code : {IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_SET_XOFF,
                       IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF}) {
        EXPECT_EQ(Diag().Ioctl(code), STATUS_SUCCESS) << std::hex << code;
    }
    EXPECT_EQ(Modem().Ioctl(IOCTL_SERIAL_RESET_DEVICE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Modem().Ioctl(IOCTL_SERIAL_SET_XON), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Diag().Usb().ClassRequests().empty());
}

TEST_F(SerialEmulation, ImmediateCharNeedsOneByteAndSendsNothing) {
    EXPECT_EQ(Diag().Ioctl(IOCTL_SERIAL_IMMEDIATE_CHAR), STATUS_BUFFER_TOO_SMALL);
    UCHAR c = 'Z';
    EXPECT_EQ(Diag().Set(IOCTL_SERIAL_IMMEDIATE_CHAR, c), STATUS_SUCCESS);
    sim::RunUntilIdle();
    EXPECT_EQ(Submits(Diag(), usb::Pipe::BulkOut), 0u);
}

TEST_F(SerialEmulation, PropertiesReturnNothing) {
    uint8_t buffer[64] = {};
    Result diag = Diag().Ioctl(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, buffer, sizeof(buffer));
    EXPECT_EQ(diag.status, STATUS_SUCCESS);
    EXPECT_EQ(diag.bytes, 0u);
    Result modem = Modem().Ioctl(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, buffer, sizeof(buffer));
    EXPECT_EQ(modem.bytes, 64u);
}

TEST_F(SerialEmulation, SetWaitMaskReportsNoBytes) {
    ULONG mask = SERIAL_EV_RXCHAR;
    Result diag = Diag().Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), nullptr, 0);
    EXPECT_EQ(diag.status, STATUS_SUCCESS);
    EXPECT_EQ(diag.bytes, 0u);
    ULONG refused = 0x2000;
    EXPECT_EQ(Diag().Set(IOCTL_SERIAL_SET_WAIT_MASK, refused), STATUS_INVALID_PARAMETER);
}

// A second WAIT_ON_MASK is refused and the first one stays (the modem port
// ends the first one with no events).
TEST_F(SerialEmulation, SecondWaitIsRefusedAndFirstStays) {
    std::vector<std::shared_ptr<Request>> first;
    for (Port* port : Both()) {
        port->SetWaitMask(SERIAL_EV_RXCHAR);
        first.push_back(port->StartWaitOnMask());
        auto second = port->StartWaitOnMask();
        EXPECT_EQ(port->Wait(*second).status, STATUS_INVALID_PARAMETER) << port->Name();
    }
    EXPECT_TRUE(first[0]->Done());
    EXPECT_FALSE(first[1]->Done());
    Diag().Receive("x");
    ASSERT_TRUE(first[1]->Done());
    EXPECT_EQ(first[1]->OutputAs<ULONG>(), static_cast<ULONG>(SERIAL_EV_RXCHAR));
}

} // namespace
} // namespace diag_port
