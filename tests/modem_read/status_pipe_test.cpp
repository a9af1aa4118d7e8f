// The modem port's status pipe and line control as the phone sees them:
// SERIAL_STATE notifications turned into the modem status and its wait
// events, and the bytes of the class requests the serial control codes send.
#include "read_fixture.h"

namespace modem_read {
namespace {

using usb::Pipe;

// A notification as the phone would send it, with any notification code.
std::vector<uint8_t> Notification(UCHAR code, USHORT uartState) {
    return {0xA1,
            code,
            0,
            0,
            0,
            0,
            2,
            0,
            static_cast<uint8_t>(uartState & 0xFF),
            static_cast<uint8_t>(uartState >> 8)};
}

// ---------------------------------------------------------------- modem status

using ModemStatusFromPhone = ModemRead;

TEST_F(ModemStatusFromPhone, CarrierSetsDcdAndTransmitCarrierSetsDsrAndCtsTogether) {
    SerialState(usb::kStateDcd | usb::kStateDsr);
    EXPECT_EQ(ModemStatus(), 0xB0u);
    SerialState(0);
    EXPECT_EQ(ModemStatus(), 0u) << "the DSR set at open is cleared too";
    SerialState(usb::kStateDsr);
    EXPECT_EQ(ModemStatus(), ULONG(SERIAL_MSR_DSR | SERIAL_MSR_CTS));
}

TEST_F(ModemStatusFromPhone, RingBreakAndLineErrorsAreNotReported) {
    SerialState(usb::kStateRing | usb::kStateBreak | usb::kStateFraming | usb::kStateParity |
                usb::kStateOverrun);
    EXPECT_EQ(ModemStatus(), 0u) << "no RI, and no delta bits";
}

TEST_F(ModemStatusFromPhone, ANotificationOfAnotherKindChangesNothingAndThePipeStaysArmed) {
    SerialState(usb::kStateDcd);
    Modem().Push(Notification(0x2A, 0).data(), 10, Pipe::InterruptIn);
    sim::RunUntilIdle();
    EXPECT_EQ(ModemStatus(), ULONG(SERIAL_MSR_DCD));
    EXPECT_EQ(Modem().Outstanding(Pipe::InterruptIn), 1u);
    SerialState(0);
    EXPECT_EQ(ModemStatus(), 0u);
}

TEST_F(ModemStatusFromPhone, EachNotificationRearmsTheStatusTransfer) {
    for (int i = 0; i < 5; i++) {
        SerialState(i % 2 ? usb::kStateDcd : 0);
        EXPECT_EQ(Modem().Outstanding(Pipe::InterruptIn), 1u);
    }
    size_t submits = 0;
    for (const auto& event : Events(usb::EventKind::Submit)) {
        if (event.pipe == Pipe::InterruptIn) {
            EXPECT_EQ(event.length, 16u);
            submits++;
        }
    }
    EXPECT_EQ(submits, 5u);
}

// ---------------------------------------------------------------- status events

using StatusEvents = ModemRead;

TEST_F(StatusEvents, CarrierComingCompletesAnRlsdWaiter) {
    SetWaitMask(SERIAL_EV_RLSD);
    auto wait = StartWait();
    SerialState(usb::kStateDcd);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(EventsOf(*wait), ULONG(SERIAL_EV_RLSD));
    auto next = StartWait();
    EXPECT_FALSE(next->Done()) << "a delivered status event is not kept";
}

TEST_F(StatusEvents, ADsrChangeWithNobodyWaitingIsKeptForTheNextWait) {
    SetWaitMask(SERIAL_EV_DSR);
    SerialState(0); // DSR was set at open
    auto wait = StartWait();
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(EventsOf(*wait), ULONG(SERIAL_EV_DSR));
}

TEST_F(StatusEvents, UnchangedLinesRaiseNothing) {
    SerialState(usb::kStateDcd);
    SetWaitMask(SERIAL_EV_RLSD | SERIAL_EV_DSR);
    auto wait = StartWait();
    SerialState(usb::kStateDcd);
    EXPECT_FALSE(wait->Done());
}

TEST_F(StatusEvents, CtsRingBreakAndErrorsAreNeverRaisedByNotifications) {
    SetWaitMask(SERIAL_EV_CTS | SERIAL_EV_RING | SERIAL_EV_BREAK | SERIAL_EV_ERR | SERIAL_EV_PERR);
    auto wait = StartWait();
    SerialState(usb::kStateDcd | usb::kStateDsr | usb::kStateRing | usb::kStateBreak |
                usb::kStateFraming | usb::kStateParity | usb::kStateOverrun);
    SerialState(0);
    EXPECT_FALSE(wait->Done());
    EXPECT_EQ(Modem().Outstanding(Pipe::InterruptIn), 1u);
}

// ---------------------------------------------------------------- line control on the wire

using LineControl = ModemRead;

TEST_F(LineControl, NothingIsSentAtOpen) {
    Close();
    Modem().ClearClassRequests();
    Open();
    sim::RunUntilIdle();
    EXPECT_TRUE(Modem().ClassRequests().empty());
}

TEST_F(LineControl, BaudRateAndLineControlGoOutAsSevenLittleEndianBytes) {
    SERIAL_BAUD_RATE rate{9600};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, rate), STATUS_SUCCESS);
    SERIAL_LINE_CONTROL line{};
    line.StopBits = STOP_BIT_1;
    line.Parity = EVEN_PARITY;
    line.WordLength = 7;
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, line), STATUS_SUCCESS);

    auto requests = Modem().ClassRequests();
    ASSERT_EQ(requests.size(), 2u);
    const usb::ClassRequest& last = requests.back();
    EXPECT_EQ(last.setup.bmRequestType, 0x21);
    EXPECT_EQ(last.setup.bRequest, usb::kSetLineCoding);
    EXPECT_EQ(last.setup.wValue, 0);
    EXPECT_EQ(last.setup.wIndex, 0);
    EXPECT_EQ(last.setup.wLength, 7);
    EXPECT_EQ(last.data, (std::vector<uint8_t>{0x80, 0x25, 0x00, 0x00, 0x00, 0x02, 0x07}));
    EXPECT_EQ(last.status, STATUS_SUCCESS);
}

TEST_F(LineControl, AHighRateFillsTheUpperRateBytes) {
    SERIAL_BAUD_RATE rate{3686400}; // 0x00384000
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, rate), STATUS_SUCCESS);
    std::vector<uint8_t> coding = Modem().LineCoding();
    ASSERT_EQ(coding.size(), 7u);
    EXPECT_EQ(coding[0], 0x00);
    EXPECT_EQ(coding[1], 0x40);
    EXPECT_EQ(coding[2], 0x38);
    EXPECT_EQ(coding[3], 0x00);
    EXPECT_EQ(coding[4], STOP_BITS_2) << "open's two stop bits";
    EXPECT_EQ(coding[5], NO_PARITY);
    EXPECT_EQ(coding[6], 8);
}

TEST_F(LineControl, AStalledLineCodingRequestFailsTheControlCode) {
    Modem().Stall(Pipe::Control);
    SERIAL_BAUD_RATE rate{19200};
    OVERLAPPED overlapped{};
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(port_, IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof(rate), nullptr, 0,
                              &bytes, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        ok = GetOverlappedResult(port_, &overlapped, &bytes, TRUE);
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(LineCodingRequests(), 1u);
    EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 19200u)
        << "nothing is rolled back";
}

TEST_F(LineControl, SetDtrWithoutCarrierSendsDtrAloneAndCloseDropsBoth) {
    SerialState(0);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    auto requests = Modem().ClassRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].setup.bmRequestType, 0x21);
    EXPECT_EQ(requests[0].setup.bRequest, usb::kSetControlLineState);
    EXPECT_EQ(requests[0].setup.wValue, usb::kLineDtr);
    EXPECT_EQ(requests[0].setup.wIndex, 0);
    EXPECT_EQ(requests[0].setup.wLength, 0);
    EXPECT_TRUE(requests[0].data.empty());

    Close();
    EXPECT_EQ(ControlLineRequests(), (std::vector<USHORT>{usb::kLineDtr, 0}));
    EXPECT_EQ(Modem().ControlLines(), 0);
}

TEST_F(LineControl, SetRtsWithDsrKeepsDtrUp) {
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS); // DSR is set at open
    EXPECT_EQ(ControlLineRequests(), (std::vector<USHORT>{usb::kLineDtr | usb::kLineRts}));
}

TEST_F(LineControl, BreakSucceedsAndPutsNothingOnTheBus) {
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_BREAK_ON), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_BREAK_OFF), STATUS_SUCCESS);
    EXPECT_TRUE(Modem().ClassRequests().empty());
}

} // namespace
} // namespace modem_read
