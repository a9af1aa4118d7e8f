// Opening, cleaning up, closing and flushing the modem port, as the phone and
// the application see them.
#include "port_fixture.h"

namespace modem_port {
namespace {

using usb::EventKind;
using usb::Pipe;

// ---------------------------------------------------------------- open

using PortOpen = ModemPort;

TEST_F(PortOpen, ResetsThePipesInOrderAndStartsReception) {
    phone_->ClearTimeline();
    port_ = OpenHandle();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);

    std::vector<Pipe> resets;
    for (const auto& event : Events(EventKind::Reset)) {
        resets.push_back(event.pipe);
    }
    EXPECT_EQ(resets, (std::vector<Pipe>{Pipe::BulkIn, Pipe::BulkOut, Pipe::InterruptIn}));
    sim::RunUntilIdle();
    EXPECT_EQ(Modem().Outstanding(Pipe::BulkIn), 1u);
    EXPECT_EQ(Modem().Outstanding(Pipe::InterruptIn), 1u);
    // Neither line coding nor the control lines are sent at open.
    EXPECT_TRUE(Modem().ClassRequests().empty());
}

TEST_F(PortOpen, GivesTheModemDefaults) {
    Open();
    EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 460800u);
    SERIAL_LINE_CONTROL line = Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
    EXPECT_EQ(line.StopBits, STOP_BITS_2);
    EXPECT_EQ(line.Parity, NO_PARITY);
    EXPECT_EQ(line.WordLength, 8);
    SERIAL_HANDFLOW flow = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(flow.ControlHandShake, ULONG(SERIAL_DTR_CONTROL));
    EXPECT_EQ(flow.FlowReplace, ULONG(SERIAL_RTS_CONTROL));
    EXPECT_EQ(flow.XonLimit, 0);
    EXPECT_EQ(flow.XoffLimit, 0);
    SERIAL_CHARS chars = Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS);
    EXPECT_EQ(chars.XonChar, 0x11);
    EXPECT_EQ(chars.XoffChar, 0x13);
    EXPECT_EQ(chars.EofChar, 0);
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS) & SERIAL_MSR_DSR, ULONG(SERIAL_MSR_DSR));
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), 0u);
    SERIAL_TIMEOUTS timeouts = Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
    SERIAL_STATUS status = CommStatus();
    EXPECT_EQ(status.AmountInInQueue, 0u);
    EXPECT_EQ(status.AmountInOutQueue, 0u);
}

TEST_F(PortOpen, AdmitsOneHandleAndLeavesTheFirstUntouched) {
    Open();
    SetLastError(0);
    EXPECT_EQ(OpenHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 460800u);
    EXPECT_EQ(Write("AT\r").status, STATUS_SUCCESS);

    Close();
    port_ = OpenHandle();
    EXPECT_NE(port_, INVALID_HANDLE_VALUE) << "the port opens again once the first is closed";
}

TEST_F(PortOpen, KeepsTimeoutsAndStatisticsButResetsTheLineAcrossHandles) {
    Open();
    SERIAL_TIMEOUTS timeouts{MAXDWORD, 5, 80, 1, 2};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts), STATUS_SUCCESS);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{9600}), STATUS_SUCCESS);
    SERIAL_HANDFLOW flow{SERIAL_DTR_HANDSHAKE, SERIAL_AUTO_TRANSMIT, 0, 0};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, flow), STATUS_SUCCESS);
    SERIAL_CHARS chars{0x1A, 0x3F, 0x00, 0x7E, 0x21, 0x22};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
    ASSERT_EQ(Write("ATZ\r").status, STATUS_SUCCESS);
    Close();

    Open();
    SERIAL_TIMEOUTS after = Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
    EXPECT_EQ(memcmp(&after, &timeouts, sizeof timeouts), 0);
    EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).TransmittedCount, 4u);
    EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 460800u);
    SERIAL_HANDFLOW flowAfter = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(flowAfter.ControlHandShake, ULONG(SERIAL_DTR_CONTROL));
    EXPECT_EQ(flowAfter.FlowReplace, ULONG(SERIAL_RTS_CONTROL));
    // XON and XOFF are the open's own; the other four characters persist.
    SERIAL_CHARS charsAfter = Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS);
    EXPECT_EQ(charsAfter.EofChar, 0x1A);
    EXPECT_EQ(charsAfter.ErrorChar, 0x3F);
    EXPECT_EQ(charsAfter.EventChar, 0x7E);
    EXPECT_EQ(charsAfter.XonChar, 0x11);
    EXPECT_EQ(charsAfter.XoffChar, 0x13);
}

// ---------------------------------------------------------------- cleanup and close

using PortClose = ModemPort;

TEST_F(PortClose, DropsDtrAndRtsAbortsThePipesAndLeavesNothingInFlight) {
    Open();
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
    Modem().ClearClassRequests();
    phone_->ClearTimeline();

    Close();
    EXPECT_EQ(ControlLineRequests(), (std::vector<USHORT>{0}));
    EXPECT_EQ(Modem().ControlLines(), 0);
    std::vector<Pipe> aborts;
    for (const auto& event : Events(EventKind::Abort)) {
        aborts.push_back(event.pipe);
    }
    EXPECT_EQ(aborts, (std::vector<Pipe>{Pipe::InterruptIn, Pipe::BulkIn, Pipe::BulkOut}));
    EXPECT_EQ(Outstanding(), 0u);
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
}

// A phone that has stopped taking bytes must not keep the handle from
// closing: cleanup ends the write on the bus as well.
TEST_F(PortClose, EndsAWriteThePhoneNeverTakes) {
    Open();
    Modem().HoldBulkOut(true);
    auto write = StartWrite(Pattern(100));
    sim::RunUntilIdle();
    ASSERT_FALSE(write->Done());

    Close();
    EXPECT_EQ(write->Status(), STATUS_CANCELLED);
    EXPECT_EQ(write->Bytes(), 0u);
    EXPECT_EQ(Outstanding(), 0u);
    Modem().HoldBulkOut(false);
    port_ = OpenHandle();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Write("again").bytes, 5u) << "the next handle writes normally";
}

TEST_F(PortClose, CleanupCancelsEveryWaitingRequest) {
    Open();
    Modem().Delay(Pipe::BulkOut, 50);
    auto sent = StartWrite(Pattern(10));
    auto queued = StartWrite(Pattern(20));
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RXFLAG)), STATUS_SUCCESS);
    auto wait = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    auto read = StartRead(10);
    sim::RunUntilIdle();
    ASSERT_FALSE(queued->Done());
    ASSERT_FALSE(wait->Done());
    ASSERT_FALSE(read->Done());

    Close();
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(queued->Status(), STATUS_CANCELLED);
    EXPECT_EQ(queued->Bytes(), 0u);
    EXPECT_EQ(wait->Status(), STATUS_CANCELLED);
    EXPECT_EQ(sent->Status(), STATUS_CANCELLED) << "the write on the bus ends with the handle";
    EXPECT_TRUE(Modem().TakeReceived().empty());
    EXPECT_EQ(Outstanding(), 0u);
}

TEST_F(PortClose, FlushSucceedsAtOnceAndLeavesQueuedWritesAlone) {
    Open();
    Modem().HoldBulkOut(true);
    auto sent = StartWrite(Pattern(10));
    auto queued = StartWrite(Pattern(20));
    sim::RunUntilIdle();

    EXPECT_TRUE(FlushFileBuffers(port_));
    EXPECT_FALSE(queued->Done());
    EXPECT_EQ(CommStatus().AmountInOutQueue, 30u);

    Modem().HoldBulkOut(false);
    EXPECT_EQ(Wait(*queued).status, STATUS_SUCCESS);
    EXPECT_EQ(Modem().TakeReceived().size(), 30u);
}

TEST_F(PortClose, SettingsRequestsNeedAnOpenPort) {
    // A driver above may send a control request with no handle open.
    SentIrp& sent = SendControl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, sizeof(ULONG));
    EXPECT_EQ(sent.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(sent.information, kUntouched) << "Information is left as it came";

    Open();
    Close();
    Modem().ClearClassRequests();
    EXPECT_EQ(SendControl(IOCTL_SERIAL_SET_DTR, nullptr, 0, 0).status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(Modem().ClassRequests().empty());
}

// ---------------------------------------------------------------- a lost device

using LostDevice = ModemPort;

// A status transfer that fails while the phone stays attached marks the
// device lost; the bulk-in transfer is still pending at the bus. Close must
// still end, with nothing left in flight.
TEST_F(LostDevice, CloseEndsWhileThePhoneIsStillAttached) {
    Open();
    Modem().FailNext(Pipe::InterruptIn, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    sim::RunUntilIdle();
    Modem().ClearFaults(Pipe::InterruptIn);

    EXPECT_EQ(Write("AT\r").status, STATUS_DELETE_PENDING);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, nullptr, 0).status,
              STATUS_DELETE_PENDING);

    Close();
    EXPECT_EQ(Outstanding(), 0u);
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
    SetLastError(0);
    EXPECT_EQ(OpenHandle(), INVALID_HANDLE_VALUE) << "a lost device stays lost";
}

TEST_F(LostDevice, CloseAfterUnplugSucceedsWithoutTouchingTheBus) {
    Open();
    phone_->Unplug();
    sim::RunUntilIdle();
    phone_->ClearTimeline();

    Close();
    EXPECT_TRUE(Events(EventKind::Abort).empty());
    EXPECT_TRUE(Events(EventKind::ClassRequest).empty());
    sim::RunUntilIdle();
    EXPECT_EQ(node_->state, sim::DevNodeState::Deleted) << "the last handle let the removal run";
}

} // namespace
} // namespace modem_port
