// How reads end on the diagnostics port, against the modem port where the two
// part ways: a short read succeeds, a second read is answered instead of
// refused, a purge cancels instead of completing, and receive events are
// raised only for bytes nobody has taken.
#include "diag_port/diag_fixture.h"

namespace diag_port {
namespace {

using ReadStatuses = BothPorts;

// A read that waits is completed by the next transfer with whatever it
// brought. The modem port calls a short read a time-out; the diagnostics port
// calls it a success.
TEST_F(ReadStatuses, ShortReadCompletedByTransferSucceedsOnlyOnDiagnosticsPort) {
    auto modemRead = Modem().StartRead(100);
    auto diagRead = Diag().StartRead(100);
    sim::RunUntilIdle();
    ASSERT_FALSE(modemRead->Done());
    ASSERT_FALSE(diagRead->Done());

    Modem().Receive("abc");
    Diag().Receive("abc");

    Result modem = Modem().Wait(*modemRead);
    Result diag = Diag().Wait(*diagRead);
    EXPECT_EQ(modem.status, STATUS_TIMEOUT);
    EXPECT_EQ(diag.status, STATUS_SUCCESS);
    EXPECT_EQ(modem.bytes, 3u);
    EXPECT_EQ(diag.bytes, 3u);
    EXPECT_EQ(Text(*diagRead), "abc");
}

// A read that finds bytes waiting takes them at once on both ports.
TEST_F(ReadStatuses, BytesAlreadyReceivedAreReturnedAtOnce) {
    for (Port* port : Both()) {
        port->Receive("hello");
        auto read = port->StartRead(3);
        ASSERT_TRUE(read->Done()) << port->Name();
        EXPECT_EQ(read->Status(), STATUS_SUCCESS) << port->Name();
        EXPECT_EQ(Text(*read), "hel") << port->Name();
        EXPECT_EQ(port->CommStatus().AmountInInQueue, 2u) << port->Name();
    }
}

// The total time-out ends a read that got nothing: no bytes, STATUS_TIMEOUT.
TEST_F(ReadStatuses, TotalTimeoutWithNothingReceivedEndsAsTimeout) {
    Diag().SetTimeouts(0, 0, 50);
    auto read = Diag().StartRead(10);
    sim::AdvanceClockMs(49);
    EXPECT_FALSE(read->Done());
    sim::AdvanceClockMs(1);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(read->Bytes(), 0u);
}

// A write that fails while a read waits leaves the read its own total
// time-out: the read still ends when that runs out, not only when data come.
TEST_F(ReadStatuses, FailedWriteLeavesWaitingReadItsTimeout) {
    for (Port* port : Both()) {
        port->SetTimeouts(0, 0, 100);
        auto read = port->StartRead(10);
        port->Usb().FailNext(usb::Pipe::BulkOut, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC);
        EXPECT_FALSE(NT_SUCCESS(port->Write("lost").status)) << port->Name();
        ASSERT_FALSE(read->Done()) << port->Name();
        sim::AdvanceClockMs(100);
        ASSERT_TRUE(read->Done()) << port->Name();
        EXPECT_EQ(read->Status(), STATUS_TIMEOUT) << port->Name();
    }
}

// MAXULONG interval with both totals 0 returns at once, even with nothing.
TEST_F(ReadStatuses, ImmediateReadReturnsNothingAtOnce) {
    Diag().SetTimeouts(kMaxUlong, 0, 0);
    auto read = Diag().StartRead(10);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Bytes(), 0u);
}

// Only one read waits. The modem port refuses a second one; the diagnostics
// port answers it at once with no bytes, and its waiting read keeps its own
// time-out and still ends when that runs out.
TEST_F(ReadStatuses, SecondReadWhileOneWaits) {
    for (Port* port : Both()) {
        port->SetTimeouts(0, 0, 100);
    }
    auto modemFirst = Modem().StartRead(10);
    auto diagFirst = Diag().StartRead(10);
    sim::AdvanceClockMs(50);

    auto modemSecond = Modem().StartRead(10);
    auto diagSecond = Diag().StartRead(10);
    Result modem = Modem().Wait(*modemSecond);
    Result diag = Diag().Wait(*diagSecond);
    EXPECT_EQ(modem.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(diag.status, STATUS_SUCCESS);
    EXPECT_EQ(diag.bytes, 0u);
    EXPECT_FALSE(diagFirst->Done());

    sim::AdvanceClockMs(50);
    ASSERT_TRUE(diagFirst->Done());
    EXPECT_EQ(diagFirst->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(diagFirst->Bytes(), 0u);
}

// SERIAL_PURGE_RXABORT: the modem port completes the waiting read with what
// the ring holds (nothing: a time-out); the diagnostics port cancels it. Both
// report the four input bytes of the purge request back.
TEST_F(ReadStatuses, PurgeRxAbortCancelsWaitingReadOnlyOnDiagnosticsPort) {
    auto modemRead = Modem().StartRead(10);
    auto diagRead = Diag().StartRead(10);
    sim::RunUntilIdle();
    ULONG flags = SERIAL_PURGE_RXABORT;

    Result modemPurge = Modem().Ioctl(IOCTL_SERIAL_PURGE, &flags, sizeof(flags), nullptr, 0);
    Result diagPurge = Diag().Ioctl(IOCTL_SERIAL_PURGE, &flags, sizeof(flags), nullptr, 0);
    EXPECT_EQ(modemPurge.status, STATUS_SUCCESS);
    EXPECT_EQ(diagPurge.status, STATUS_SUCCESS);
    EXPECT_EQ(diagPurge.bytes, sizeof(ULONG));

    ASSERT_TRUE(diagRead->Done());
    EXPECT_EQ(diagRead->Status(), STATUS_CANCELLED);
    EXPECT_EQ(diagRead->Bytes(), 0u);
    ASSERT_TRUE(modemRead->Done());
    EXPECT_EQ(modemRead->Status(), STATUS_TIMEOUT);

    // Reception goes on: the next read gets the next bytes.
    Diag().Receive("after");
    auto next = Diag().StartRead(10);
    ASSERT_TRUE(next->Done());
    EXPECT_EQ(Text(*next), "after");
}

TEST_F(ReadStatuses, CancelledReadEndsCancelled) {
    auto read = Diag().StartRead(10);
    sim::RunUntilIdle();
    ASSERT_TRUE(CancelIo(Diag().Handle()));
    Result result = Diag().Wait(*read);
    EXPECT_EQ(result.status, STATUS_CANCELLED);
    // The port still reads after the cancel.
    Diag().Receive("x");
    auto next = Diag().StartRead(1);
    ASSERT_TRUE(next->Done());
    EXPECT_EQ(Text(*next), "x");
}

// ---------------------------------------------------------------- receive events
using ReceiveEvents = DiagPort;

// A transfer whose bytes all go to the waiting read raises no RXCHAR; one
// that leaves bytes in the ring does. (The modem port raises it for every
// good transfer.)
TEST_F(ReceiveEvents, RxCharOnlyForBytesLeftInTheRing) {
    Diag().SetWaitMask(SERIAL_EV_RXCHAR);
    auto read = Diag().StartRead(10);
    auto wait = Diag().StartWaitOnMask();
    sim::RunUntilIdle();
    ASSERT_FALSE(wait->Done());

    Diag().Receive("abc");
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(Text(*read), "abc");
    EXPECT_FALSE(wait->Done());

    Diag().Receive("defg");
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait->OutputAs<ULONG>(), static_cast<ULONG>(SERIAL_EV_RXCHAR));
}

// With RXFLAG in the mask a good transfer starts the record afresh: the
// events recorded before it are dropped.
TEST_F(ReceiveEvents, RxFlagReplacesRecordedEvents) {
    Diag().SetWaitMask(SERIAL_EV_RXCHAR);
    Diag().Receive("a"); // records RXCHAR, nobody waits
    Diag().SetWaitMask(SERIAL_EV_RXFLAG | SERIAL_EV_TXEMPTY);
    Diag().Receive("b");
    auto wait = Diag().StartWaitOnMask();
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->OutputAs<ULONG>(), static_cast<ULONG>(SERIAL_EV_RXFLAG));
}

// With the mask empty WAIT_ON_MASK answers at once with the record (the modem
// port refuses it).
TEST_F(ReceiveEvents, WaitWithEmptyMaskAnswersAtOnce) {
    auto wait = Diag().StartWaitOnMask();
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait->Bytes(), sizeof(ULONG));
    EXPECT_EQ(wait->OutputAs<ULONG>(), 0u);
}

// A bus that reports more bytes than the transfer buffer holds: only the
// buffer's worth reaches the ring, and nothing beyond it.
TEST_F(ReceiveEvents, OverstatedTransferLengthIsHeldToTheBuffer) {
    Diag().Usb().OverstateNext(usb::Pipe::BulkIn, 1000);
    std::vector<uint8_t> bytes = Pattern(4096);
    Diag().Usb().Push(bytes.data(), bytes.size());
    sim::RunUntilIdle();
    EXPECT_EQ(Diag().CommStatus().AmountInInQueue, 4096u);
    auto read = Diag().StartRead(8192);
    ASSERT_TRUE(read->Done());
    ASSERT_EQ(read->Bytes(), 4096u);
    EXPECT_EQ(std::vector<uint8_t>(read->output.begin(), read->output.begin() + 4096), bytes);
}

} // namespace
} // namespace diag_port
