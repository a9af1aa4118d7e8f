// Reads on the modem port as a serial program issues them: answered from the
// input ring at once when it holds bytes, otherwise completed by the next
// bulk-in transfer or by the read time-outs, on the virtual clock.
#include "read_fixture.h"

namespace modem_read {
namespace {

using usb::Pipe;

// ---------------------------------------------------------------- bytes already there

using ReadFromRing = ModemRead;

TEST_F(ReadFromRing, BytesWaitingCompleteAReadAtOnceWhateverTheTimeouts) {
    SetTimeouts(0, 10, 100);
    Deliver("abc");
    auto read = StartRead(100);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Text(*read), "abc");
    EXPECT_EQ(sim::QueuedTimers(), 0u) << "a read answered at once arms no time-out";
}

TEST_F(ReadFromRing, AShortReadTakesTheOldestBytesAndLeavesTheRestInOrder) {
    SetTimeouts(0, 0, 0);
    Deliver("abcdefghij");
    auto first = StartRead(4);
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(Text(*first), "abcd");
    auto second = StartRead(100);
    ASSERT_TRUE(second->Done());
    EXPECT_EQ(Text(*second), "efghij");
    EXPECT_EQ(second->Status(), STATUS_SUCCESS);
}

TEST_F(ReadFromRing, TransfersArrivingWithNoReaderAccumulate) {
    Deliver("one ");
    Deliver("two ");
    Deliver("three");
    EXPECT_EQ(CommStatus().AmountInInQueue, 13u);
    EXPECT_EQ(Drain(), "one two three");
}

TEST_F(ReadFromRing, AZeroLengthReadSucceedsAtOnceAndTakesNothing) {
    Deliver("xy");
    auto read = StartRead(0);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Bytes(), 0u);
    EXPECT_EQ(CommStatus().AmountInInQueue, 2u);
}

TEST_F(ReadFromRing, ReceivedBytesAreCountedWhenReadsTakeThem) {
    Deliver("12345");
    EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).ReceivedCount, 0u);
    Drain(3);
    EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).ReceivedCount, 3u);
}

// ---------------------------------------------------------------- immediate

using ReadTimeouts = ModemRead;

TEST_F(ReadTimeouts, IntervalMaxWithNoTotalsReturnsAtOnceWithNothing) {
    SetTimeouts(kMaxUlong, 0, 0);
    auto read = StartRead(100);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Bytes(), 0u);
    EXPECT_EQ(Modem().Outstanding(Pipe::BulkIn), 1u) << "reception goes on";
}

TEST_F(ReadTimeouts, IntervalMaxWithNoTotalsReturnsWhatTheRingHolds) {
    SetTimeouts(kMaxUlong, 0, 0);
    Deliver("ok");
    auto read = StartRead(100);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Text(*read), "ok");
}

// ---------------------------------------------------------------- no time-out: blocking

TEST_F(ReadTimeouts, WithoutTimeoutsAReadWaitsForTheNextTransferHoweverLong) {
    SetTimeouts(0, 0, 0);
    auto read = StartRead(10);
    sim::AdvanceClockMs(3600 * 1000);
    EXPECT_FALSE(read->Done());
    Deliver("ring");
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT) << "fewer bytes than asked";
    EXPECT_EQ(Text(*read), "ring");
}

TEST_F(ReadTimeouts, ATransferThatFillsTheReadCompletesItWithSuccess) {
    SetTimeouts(0, 0, 0);
    auto read = StartRead(4);
    Deliver("full");
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Text(*read), "full");
}

TEST_F(ReadTimeouts, ATransferLargerThanTheReadLeavesTheRestInTheRing) {
    SetTimeouts(0, 0, 0);
    auto read = StartRead(3);
    Deliver("abcdef");
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Text(*read), "abc");
    EXPECT_EQ(Drain(), "def");
}

TEST_F(ReadTimeouts, AnEmptyPacketCompletesAWaitingReadWithNothing) {
    SetTimeouts(0, 0, 0);
    auto read = StartRead(10);
    Modem().PushPacket({});
    sim::RunUntilIdle();
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(read->Bytes(), 0u);
}

TEST_F(ReadTimeouts, ConstantMaxWithIntervalMaxMeansWaitForData) {
    SetTimeouts(kMaxUlong, 5, kMaxUlong);
    auto read = StartRead(10);
    EXPECT_EQ(sim::QueuedTimers(), 0u);
    sim::AdvanceClockMs(3600 * 1000);
    EXPECT_FALSE(read->Done());
    Deliver("late");
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(Text(*read), "late");
}

// ---------------------------------------------------------------- total time-out

TEST_F(ReadTimeouts, IntervalMaxAndMultiplierMaxTimeOutAfterTheConstantAlone) {
    SetTimeouts(kMaxUlong, kMaxUlong, 500);
    auto read = StartRead(100);
    sim::AdvanceClockMs(499);
    EXPECT_FALSE(read->Done());
    sim::AdvanceClockMs(1);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(read->Bytes(), 0u);
}

TEST_F(ReadTimeouts, TheTotalTimeoutCountsTheMultiplierPerByteWanted) {
    SetTimeouts(0, 10, 100);
    auto read = StartRead(64); // 10 * 64 + 100 = 740 ms
    sim::AdvanceClockMs(739);
    EXPECT_FALSE(read->Done());
    sim::AdvanceClockMs(1);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
}

TEST_F(ReadTimeouts, IntervalMaxWithAMultiplierAndConstantUsesBoth) {
    SetTimeouts(kMaxUlong, 2, 10);
    auto read = StartRead(20); // 2 * 20 + 10 = 50 ms
    sim::AdvanceClockMs(49);
    EXPECT_FALSE(read->Done());
    sim::AdvanceClockMs(1);
    EXPECT_TRUE(read->Done());
}

TEST_F(ReadTimeouts, DataBeforeTheTotalTimeoutEndsTheReadAndStopsTheTimer) {
    SetTimeouts(0, 0, 1000);
    auto read = StartRead(10);
    sim::AdvanceClockMs(300);
    Deliver("hi");
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(Text(*read), "hi");

    // The next read must not be ended by the first one's timer.
    SetTimeouts(0, 0, 0);
    auto next = StartRead(10);
    sim::AdvanceClockMs(2000);
    EXPECT_FALSE(next->Done());
    Deliver("!");
    EXPECT_EQ(Text(*next), "!");
}

TEST_F(ReadTimeouts, MaxValuesAreTakenLiterallyWhenTheIntervalIsFinite) {
    SetTimeouts(5, kMaxUlong, kMaxUlong);
    auto read = StartRead(1000);
    sim::AdvanceClockMs(24 * 3600 * 1000);
    EXPECT_FALSE(read->Done()) << "a total of (2^32-1) * 1001 ms has not run out";
    Deliver("x");
    EXPECT_TRUE(read->Done());
}

// ---------------------------------------------------------------- interval time-out

TEST_F(ReadTimeouts, TheIntervalNeverRunsBeforeTheFirstByte) {
    SetTimeouts(50, 0, 0);
    auto read = StartRead(10);
    sim::AdvanceClockMs(10 * 1000);
    EXPECT_FALSE(read->Done());
    Deliver("ab");
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(Text(*read), "ab");
}

TEST_F(ReadTimeouts, AnIntervalTimerLeftFromOneReadDoesNotEndTheNext) {
    for (ULONG interval : {50u, 19999u, 20000u, 60000u}) {
        SCOPED_TRACE(interval);
        SetTimeouts(interval, 0, 0);
        auto read = StartRead(10);
        Deliver("x");
        ASSERT_TRUE(read->Done());
        Deliver("y"); // bytes with no read waiting

        auto found = StartRead(10);
        ASSERT_TRUE(found->Done());
        EXPECT_EQ(Text(*found), "y");

        auto waiting = StartRead(10);
        sim::AdvanceClockMs(interval + 5000);
        EXPECT_FALSE(waiting->Done());
        Deliver("z");
        ASSERT_TRUE(waiting->Done());
        EXPECT_EQ(Text(*waiting), "z");
    }
}

TEST_F(ReadTimeouts, AnIntervalWithATotalStillTimesOutOnTheTotal) {
    SetTimeouts(20, 0, 300);
    auto read = StartRead(10);
    sim::AdvanceClockMs(299);
    EXPECT_FALSE(read->Done());
    sim::AdvanceClockMs(1);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
}

// ---------------------------------------------------------------- one read at a time

using ReadQueueing = ModemRead;

TEST_F(ReadQueueing, ASecondReadWhileOneWaitsIsRefused) {
    SetTimeouts(0, 0, 500);
    auto first = StartRead(100);
    auto second = StartRead(10);
    EXPECT_TRUE(Refused(*second, STATUS_INVALID_PARAMETER));
    EXPECT_FALSE(first->Done());

    // The refused read went through the dispatch first: the waiting read has
    // lost its total time-out and is judged against the second read's length.
    sim::AdvanceClockMs(5000);
    EXPECT_FALSE(first->Done());
    Deliver("0123456789");
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(Text(*first), "0123456789");
    EXPECT_EQ(first->Status(), STATUS_SUCCESS);
}

TEST_F(ReadQueueing, ALongerSecondReadCannotMakeTheWaitingOneOverflow) {
    SetTimeouts(0, 0, 0);
    auto first = StartRead(4);
    auto second = StartRead(64);
    EXPECT_TRUE(Refused(*second, STATUS_INVALID_PARAMETER));
    std::string sixty(60, 'q');
    Deliver(sixty);
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(first->Bytes(), 4u);
    EXPECT_EQ(Drain().size(), 56u);
}

TEST_F(ReadQueueing, CancellingAWaitingReadEndsItWithNothingAndFreesTheQueue) {
    SetTimeouts(0, 0, 0);
    auto read = StartRead(10);
    ASSERT_TRUE(CancelIo(port_));
    sim::RunUntilIdle();
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(read->Bytes(), 0u);

    auto next = StartRead(10);
    EXPECT_FALSE(next->Done());
    Deliver("again");
    EXPECT_EQ(Text(*next), "again");
}

TEST_F(ReadQueueing, PurgeRxAbortEndsTheWaitingReadWithWhatIsThere) {
    SetTimeouts(0, 0, 0);
    auto read = StartRead(10);
    ULONG flags = SERIAL_PURGE_RXABORT;
    ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, flags), STATUS_SUCCESS);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(read->Bytes(), 0u);
}

TEST_F(ReadQueueing, PurgeRxClearForgetsTheRing) {
    Deliver("stale");
    ULONG flags = SERIAL_PURGE_RXCLEAR;
    ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, flags), STATUS_SUCCESS);
    EXPECT_EQ(CommStatus().AmountInInQueue, 0u);
    Deliver("fresh");
    EXPECT_EQ(Drain(), "fresh");
}

TEST_F(ReadQueueing, CleanupCancelsTheWaitingRead) {
    SetTimeouts(0, 0, 0);
    auto read = StartRead(10);
    Close();
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
}

// ---------------------------------------------------------------- lengths the ring cannot count

TEST_F(ReadQueueing, AReadLongerThanASignedCountIsServedFromTheRing) {
    Deliver("abc");
    // The user buffer only has to hold what is returned; the I/O manager's
    // system buffer is the length asked.
    std::vector<uint8_t> buffer(16, 0);
    OVERLAPPED overlapped{};
    DWORD bytes = 0;
    ReadFile(port_, buffer.data(), 0x80000010u, &bytes, &overlapped);
    sim::RunUntilIdle();
    ASSERT_TRUE(HasOverlappedIoCompleted(&overlapped));
    EXPECT_EQ(static_cast<NTSTATUS>(overlapped.Internal), STATUS_SUCCESS);
    EXPECT_EQ(overlapped.InternalHigh, 3u);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 3), "abc");
    EXPECT_EQ(CommStatus().AmountInInQueue, 0u);
    EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).ReceivedCount, 3u);
}

} // namespace
} // namespace modem_read
