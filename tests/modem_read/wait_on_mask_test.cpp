// IOCTL_SERIAL_WAIT_ON_MASK on the modem port: which events reach a waiting
// request, what is kept for the next one when nobody waits, and how a
// waiting request ends other than by an event.
#include "read_fixture.h"

namespace modem_read {
namespace {

using usb::Pipe;

// ---------------------------------------------------------------- receive events

using WaitOnMask = ModemRead;

TEST_F(WaitOnMask, BytesArrivingWithNobodyWaitingAreRecordedForTheNextWait) {
    SetWaitMask(SERIAL_EV_RXCHAR);
    Deliver("a");
    auto wait = StartWait();
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait->Bytes(), sizeof(ULONG));
    EXPECT_EQ(EventsOf(*wait), ULONG(SERIAL_EV_RXCHAR));

    auto next = StartWait();
    EXPECT_FALSE(next->Done()) << "the record was handed out and cleared";
}

TEST_F(WaitOnMask, AWaiterIsCompletedByTheTransferAndTheBitStaysRecorded) {
    SetWaitMask(SERIAL_EV_RXCHAR);
    auto wait = StartWait();
    EXPECT_FALSE(wait->Done());
    Deliver("b");
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(EventsOf(*wait), ULONG(SERIAL_EV_RXCHAR));

    auto next = StartWait();
    ASSERT_TRUE(next->Done());
    EXPECT_EQ(EventsOf(*next), ULONG(SERIAL_EV_RXCHAR));
}

TEST_F(WaitOnMask, AnEmptyPacketStillRaisesRxchar) {
    SetWaitMask(SERIAL_EV_RXCHAR);
    auto wait = StartWait();
    Modem().PushPacket({});
    sim::RunUntilIdle();
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(EventsOf(*wait), ULONG(SERIAL_EV_RXCHAR));
}

TEST_F(WaitOnMask, RxflagIsRaisedByEveryTransferWithoutLookingForTheCharacter) {
    SetWaitMask(SERIAL_EV_RXFLAG);
    auto wait = StartWait();
    Deliver("no event character here");
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(EventsOf(*wait), ULONG(SERIAL_EV_RXFLAG));
}

TEST_F(WaitOnMask, ReceiveEventsOutsideTheMaskAreNotRaised) {
    SetWaitMask(SERIAL_EV_DSR);
    auto wait = StartWait();
    Deliver("c");
    EXPECT_FALSE(wait->Done());
}

TEST_F(WaitOnMask, Rx80FullCountsFrom820000BytesNotFromEightyPercent) {
    SetWaitMask(SERIAL_EV_RX80FULL);
    auto wait = StartWait();
    Deliver(std::vector<uint8_t>(819200, 'r')); // exactly 80 % of the ring
    EXPECT_EQ(CommStatus().AmountInInQueue, 819200u);
    EXPECT_FALSE(wait->Done());
    Deliver(std::vector<uint8_t>(800, 's'));
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(EventsOf(*wait), ULONG(SERIAL_EV_RX80FULL));
}

TEST_F(WaitOnMask, BytesBeyondTheRingAreDroppedAndReceptionGoesOn) {
    Deliver(std::vector<uint8_t>(1024000 + 5000, 'f'));
    EXPECT_EQ(CommStatus().AmountInInQueue, 1024000u);
    EXPECT_EQ(Modem().Outstanding(Pipe::BulkIn), 1u);
    ULONG flags = SERIAL_PURGE_RXCLEAR;
    ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, flags), STATUS_SUCCESS);
    Deliver("after");
    EXPECT_EQ(Drain(), "after");
}

// ---------------------------------------------------------------- one waiter

using WaitOnMaskQueue = ModemRead;

TEST_F(WaitOnMaskQueue, ASecondWaitCompletesTheFirstWithNoEventsAndIsRefused) {
    SetWaitMask(SERIAL_EV_RXCHAR);
    auto first = StartWait();
    auto second = StartWait();
    EXPECT_TRUE(Refused(*second, STATUS_INVALID_PARAMETER));
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(first->Status(), STATUS_SUCCESS);
    EXPECT_EQ(EventsOf(*first), 0u);
}

TEST_F(WaitOnMaskQueue, SettingTheMaskCompletesTheWaiterWithNoEvents) {
    SetWaitMask(SERIAL_EV_RXCHAR);
    auto wait = StartWait();
    SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_DSR);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait->Bytes(), sizeof(ULONG));
    EXPECT_EQ(EventsOf(*wait), 0u);
}

TEST_F(WaitOnMaskQueue, EventsRecordedUnderTheOldMaskSurviveAMaskChange) {
    SetWaitMask(SERIAL_EV_RXCHAR);
    Deliver("d");
    SetWaitMask(SERIAL_EV_DSR);
    auto wait = StartWait();
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(EventsOf(*wait), ULONG(SERIAL_EV_RXCHAR)) << "returned as recorded, unfiltered";
}

TEST_F(WaitOnMaskQueue, CancellingTheWaiterEndsItWithNothingAndANewOneCanWait) {
    SetWaitMask(SERIAL_EV_RXCHAR);
    auto wait = StartWait();
    ASSERT_TRUE(CancelIo(port_));
    sim::RunUntilIdle();
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Status(), STATUS_CANCELLED);
    EXPECT_EQ(wait->Bytes(), 0u);

    auto next = StartWait();
    EXPECT_FALSE(next->Done());
    Deliver("e");
    ASSERT_TRUE(next->Done());
    EXPECT_EQ(EventsOf(*next), ULONG(SERIAL_EV_RXCHAR));
}

TEST_F(WaitOnMaskQueue, CleanupCancelsTheWaiter) {
    SetWaitMask(SERIAL_EV_RXCHAR);
    auto wait = StartWait();
    Close();
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Status(), STATUS_CANCELLED);
}

TEST_F(WaitOnMaskQueue, AWaitAndAReadWaitSideBySideAndEndTogether) {
    SetTimeouts(0, 0, 0);
    SetWaitMask(SERIAL_EV_RXCHAR);
    auto wait = StartWait();
    auto read = StartRead(8);
    Deliver("both");
    ASSERT_TRUE(read->Done());
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(Text(*read), "both");
    EXPECT_EQ(EventsOf(*wait), ULONG(SERIAL_EV_RXCHAR));
}

TEST_F(WaitOnMaskQueue, CancelIoEndsTheReadAndTheWaiterAlike) {
    SetTimeouts(0, 0, 0);
    SetWaitMask(SERIAL_EV_RXCHAR);
    auto wait = StartWait();
    auto read = StartRead(8);
    ASSERT_TRUE(CancelIo(port_));
    sim::RunUntilIdle();
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(wait->Status(), STATUS_CANCELLED) << "CancelIo cancels every request of the handle";
    auto again = StartWait();
    Deliver("x");
    EXPECT_TRUE(again->Done());
}

} // namespace
} // namespace modem_read
