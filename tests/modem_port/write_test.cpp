// The write path of the modem port: what the phone receives and in which
// pieces, the order of queued writes and immediate characters, the output
// queue count and TXEMPTY, and how the writer carries on after a failure.
#include "port_fixture.h"

namespace modem_port {
namespace {

using usb::Pipe;

// ---------------------------------------------------------------- pieces

using WritePieces = ModemPort;

TEST_F(WritePieces, TenThousandBytesGoOutAs4096And4096And1808) {
    Open();
    std::vector<uint8_t> data = Pattern(10000);
    auto write = StartWrite(data);
    Result result = Wait(*write);

    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.bytes, 10000u);
    EXPECT_EQ(BulkOutSubmits(), (std::vector<ULONG>{4096, 4096, 1808}));
    EXPECT_EQ(Modem().TakeReceived(), data);
    EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).TransmittedCount, 10000u);
    EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
}

TEST_F(WritePieces, A4096ByteWriteIsOnePieceWithNothingAfterIt) {
    Open();
    EXPECT_EQ(Wait(*StartWrite(Pattern(4096))).bytes, 4096u);
    EXPECT_EQ(BulkOutSubmits(), (std::vector<ULONG>{4096}));
}

TEST_F(WritePieces, AZeroLengthWriteSucceedsAtOnceAndSendsNothing) {
    Open();
    Result result = Wait(*StartWrite(std::vector<uint8_t>()));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.bytes, 0u);
    EXPECT_TRUE(BulkOutSubmits().empty());
}

TEST_F(WritePieces, WritesQueuedBehindABusyPipeGoOutInOrder) {
    Open();
    Modem().HoldBulkOut(true);
    auto first = StartWrite("first ");
    auto second = StartWrite("second ");
    auto third = StartWrite("third");
    sim::RunUntilIdle();
    EXPECT_EQ(CommStatus().AmountInOutQueue, 18u);
    EXPECT_EQ(BulkOutSubmits().size(), 1u) << "one request at a time";

    Modem().HoldBulkOut(false);
    EXPECT_EQ(Wait(*third).status, STATUS_SUCCESS);
    EXPECT_TRUE(first->Done() && second->Done());
    EXPECT_EQ(Modem().TakeReceivedText(), "first second third");
    EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
}

// ---------------------------------------------------------------- immediate characters

using ImmediateChar = ModemPort;

TEST_F(ImmediateChar, GoesAfterTheWriteOnTheBusAndBeforeQueuedWrites) {
    Open();
    Modem().HoldBulkOut(true);
    std::vector<uint8_t> big(9000, 'A');
    auto sending = StartWrite(big);
    auto queued = StartWrite("B");
    sim::RunUntilIdle();
    UCHAR x = 'X';
    auto immediate = StartIoctl(IOCTL_SERIAL_IMMEDIATE_CHAR, &x, 1, 0);
    sim::RunUntilIdle();
    EXPECT_FALSE(immediate->Done());
    EXPECT_EQ(CommStatus().AmountInOutQueue, 9000u + 1 + 1);

    Modem().HoldBulkOut(false);
    EXPECT_EQ(Wait(*queued).status, STATUS_SUCCESS);
    EXPECT_EQ(Wait(*immediate).status, STATUS_SUCCESS);
    std::string received = Modem().TakeReceivedText();
    EXPECT_EQ(received, std::string(9000, 'A') + "XB");
    EXPECT_EQ(BulkOutSubmits(), (std::vector<ULONG>{4096, 4096, 808, 1, 1}));
}

TEST_F(ImmediateChar, AnEmptyInputIsTooSmall) {
    Open();
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_IMMEDIATE_CHAR, nullptr, 0, nullptr, 0).status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(BulkOutSubmits().empty());
}

// ---------------------------------------------------------------- the output queue

using WriteQueue = ModemPort;

TEST_F(WriteQueue, CancellingQueuedRequestsTakesTheirBytesOffTheCount) {
    Open();
    Modem().HoldBulkOut(true);
    auto sending = StartWrite(Pattern(100));
    auto queued = StartWrite(Pattern(500));
    UCHAR x = 'X';
    auto immediate = StartIoctl(IOCTL_SERIAL_IMMEDIATE_CHAR, &x, 1, 0);
    sim::RunUntilIdle();
    ASSERT_EQ(CommStatus().AmountInOutQueue, 601u);

    // CancelIo cancels all three; only the queued two can be cancelled by
    // the driver, the one on the bus comes back from the bus.
    EXPECT_TRUE(CancelIo(port_));
    sim::RunUntilIdle();
    EXPECT_EQ(queued->Status(), STATUS_CANCELLED);
    EXPECT_EQ(queued->Bytes(), 0u);
    EXPECT_EQ(immediate->Status(), STATUS_CANCELLED);
    Modem().HoldBulkOut(false);
    Wait(*sending);
    EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
}

// A write cancelled while one of its later pieces is on the bus has already
// sent the pieces before it: it ends STATUS_CANCELLED reporting exactly those
// bytes, which is what the phone has of it.
TEST_F(WriteQueue, CancelledWriteReportsThePiecesAlreadySent) {
    Open();
    // The phone stops taking bytes once the first piece is in.
    phone_->SetEventHook([this](const usb::BusEvent& e) {
        if (e.kind == usb::EventKind::Complete && e.pipe == Pipe::BulkOut)
            Modem().HoldBulkOut(true);
    });
    std::vector<uint8_t> data = Pattern(10000);
    auto write = StartWrite(data);
    sim::RunUntilIdle();
    ASSERT_FALSE(write->Done());
    EXPECT_TRUE(CancelIo(port_));
    Result result = Wait(*write);
    phone_->SetEventHook(nullptr);
    Modem().HoldBulkOut(false);

    EXPECT_EQ(result.status, STATUS_CANCELLED);
    EXPECT_EQ(result.bytes, 4096u);
    EXPECT_EQ(Modem().TakeReceived(), std::vector<uint8_t>(data.begin(), data.begin() + 4096));
    EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
}

TEST_F(WriteQueue, PurgeTxAbortCancelsQueuedRequestsAndLeavesTheOneOnTheBus) {
    Open();
    Modem().HoldBulkOut(true);
    auto sending = StartWrite("on the bus");
    auto queued1 = StartWrite("queued one");
    auto queued2 = StartWrite("queued two");
    sim::RunUntilIdle();

    ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_TXABORT)), STATUS_SUCCESS);
    EXPECT_EQ(queued1->Status(), STATUS_CANCELLED);
    EXPECT_EQ(queued2->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(sending->Done());
    EXPECT_EQ(CommStatus().AmountInOutQueue, 10u);

    Modem().HoldBulkOut(false);
    EXPECT_EQ(Wait(*sending).bytes, 10u);
    EXPECT_EQ(Modem().TakeReceivedText(), "on the bus");
    // The writer is idle again and takes the next write at once.
    EXPECT_EQ(Write("after").bytes, 5u);
    EXPECT_EQ(Modem().TakeReceivedText(), "after");
}

TEST_F(WriteQueue, PurgeTxClearChangesNothing) {
    Open();
    Modem().HoldBulkOut(true);
    auto sending = StartWrite("x");
    auto queued = StartWrite("y");
    sim::RunUntilIdle();
    ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_TXCLEAR)), STATUS_SUCCESS);
    EXPECT_FALSE(queued->Done());
    Modem().HoldBulkOut(false);
    EXPECT_EQ(Wait(*queued).status, STATUS_SUCCESS);
}

// ---------------------------------------------------------------- TXEMPTY

using TxEmpty = ModemPort;

TEST_F(TxEmpty, IsReportedWhenTheLastQueuedWriteFinishes) {
    Open();
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_TXEMPTY)), STATUS_SUCCESS);
    Modem().HoldBulkOut(true);
    auto first = StartWrite("one");
    auto second = StartWrite("two");
    auto wait = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    sim::RunUntilIdle();
    EXPECT_FALSE(wait->Done());

    Modem().HoldBulkOut(false);
    EXPECT_EQ(Wait(*wait).status, STATUS_SUCCESS);
    EXPECT_EQ(wait->OutputAs<ULONG>(), ULONG(SERIAL_EV_TXEMPTY));
    EXPECT_TRUE(second->Done());
}

TEST_F(TxEmpty, AWriterThatWasNeverBusyReportsNothing) {
    Open();
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_TXEMPTY)), STATUS_SUCCESS);
    auto wait = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    sim::AdvanceClockMs(100);
    EXPECT_FALSE(wait->Done());
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(0)), STATUS_SUCCESS);
    EXPECT_EQ(Wait(*wait).status, STATUS_SUCCESS);
    EXPECT_EQ(wait->OutputAs<ULONG>(), 0u);
}

TEST_F(TxEmpty, ADrainWithNobodyWaitingLosesWhatWasRecorded) {
    Open();
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_TXEMPTY)), STATUS_SUCCESS);
    ASSERT_EQ(Write("x").status, STATUS_SUCCESS);
    auto wait = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    sim::RunUntilIdle();
    EXPECT_FALSE(wait->Done()) << "the drain's TXEMPTY was not kept for a later wait";
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(0)), STATUS_SUCCESS);
}

// ---------------------------------------------------------------- failures

using WriteFailure = ModemPort;

// A piece that fails ends its own request with the bus's status; the
// requests queued behind it go out and report their own results.
TEST_F(WriteFailure, LaterWritesStillGoOut) {
    Open();
    Modem().HoldBulkOut(true);
    auto failing = StartWrite(Pattern(5000));
    auto next = StartWrite("next");
    sim::RunUntilIdle();
    Modem().FailNext(Pipe::BulkOut, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
    Modem().HoldBulkOut(false);

    EXPECT_EQ(Wait(*failing).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(failing->Bytes(), 0u);
    EXPECT_EQ(Wait(*next).status, STATUS_SUCCESS);
    EXPECT_EQ(next->Bytes(), 4u);
    EXPECT_EQ(Modem().TakeReceivedText(), "next");
    EXPECT_EQ(Write("later").bytes, 5u);
    EXPECT_EQ(CommStatus().AmountInOutQueue, 0u) << "the failed request is no longer counted";
    EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).TransmittedCount, 9u);
}

// A request the writer cannot start for want of memory fails on its own; the
// one behind it still goes out.
TEST_F(WriteFailure, NoMemoryForOneRequestFailsOnlyThatOne) {
    Open();
    Modem().HoldBulkOut(true);
    auto sending = StartWrite("first");
    auto starved = StartWrite("starved");
    auto next = StartWrite("next");
    sim::RunUntilIdle();
    sim::FaultPlan plan;
    plan.kind = sim::AllocKind::Pool;
    plan.driver = node_->driver;
    plan.failNth = 1;
    int number = sim::AddFaultPlan(plan);
    Modem().HoldBulkOut(false);

    EXPECT_EQ(Wait(*starved).status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(starved->Bytes(), 0u);
    EXPECT_EQ(Wait(*next).status, STATUS_SUCCESS);
    sim::RemoveFaultPlan(number);
    EXPECT_EQ(Modem().TakeReceivedText(), "firstnext");
    EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
}

TEST_F(WriteFailure, ABusThatOverstatesWhatItSentIsNotBelieved) {
    Open();
    Modem().OverstateNext(Pipe::BulkOut, 1000);
    Result result = Write("hello");
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.bytes, 5u);
    EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).TransmittedCount, 5u);
    EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
}

TEST_F(WriteFailure, AWriteOnALostDeviceIsRefusedAtOnce) {
    Open();
    Modem().FailNext(Pipe::BulkIn, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    sim::RunUntilIdle();
    EXPECT_EQ(Write("AT\r").status, STATUS_DELETE_PENDING);
    EXPECT_TRUE(BulkOutSubmits().empty());
}

// ---------------------------------------------------------------- lengths the counts cannot hold

using WriteLength = ModemPort;

// A driver above can hand down any 32-bit length. One that does not fit the
// signed counts is refused before anything is counted or read.
TEST_F(WriteLength, ALengthBeyondASignedCountIsRefusedUntouched) {
    Open();
    uint8_t small[8] = {};
    for (ULONG length : {0x80000000UL, 0xFFFFFFFFUL}) {
        IrpToSend write;
        write.major = IRP_MJ_WRITE;
        write.buffer = small;
        write.outputLength = length;
        SentIrp& sent = SendIrp(write);
        EXPECT_TRUE(sent.done);
        EXPECT_EQ(sent.status, STATUS_INVALID_PARAMETER) << std::hex << length;
        EXPECT_EQ(sent.information, 0u);
    }
    EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
    EXPECT_TRUE(BulkOutSubmits().empty());
    EXPECT_EQ(Write("still fine").bytes, 10u);
}

TEST_F(WriteLength, TheQueueRefusesWhatWouldCarryItsCountPastTheLimit) {
    Open();
    Modem().HoldBulkOut(true);
    auto sending = StartWrite(Pattern(50));
    sim::RunUntilIdle();
    // Queued behind the held write, never sent: its buffer is not read.
    uint8_t small[8] = {};
    IrpToSend huge;
    huge.major = IRP_MJ_WRITE;
    huge.buffer = small;
    huge.outputLength = 0x7FFFFFFFUL - 100;
    SentIrp& hugeSent = SendIrp(huge);
    EXPECT_EQ(hugeSent.returned, STATUS_PENDING);
    EXPECT_EQ(CommStatus().AmountInOutQueue, 0x7FFFFFFFUL - 50);

    Result refused = Write(std::string(60, 'z'));
    EXPECT_EQ(refused.status, STATUS_INSUFFICIENT_RESOURCES);
    UCHAR x = 'X';
    auto immediate = StartIoctl(IOCTL_SERIAL_IMMEDIATE_CHAR, &x, 1, 0);
    sim::RunUntilIdle();
    EXPECT_FALSE(immediate->Done()) << "one byte still fits below the limit";

    ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_TXABORT)), STATUS_SUCCESS);
    sim::RunUntilIdle();
    EXPECT_TRUE(hugeSent.done);
    EXPECT_EQ(hugeSent.status, STATUS_CANCELLED);
    EXPECT_EQ(immediate->Status(), STATUS_CANCELLED);
    EXPECT_EQ(CommStatus().AmountInOutQueue, 50u);
    Modem().HoldBulkOut(false);
    EXPECT_EQ(Wait(*sending).bytes, 50u);
    EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
}

} // namespace
} // namespace modem_port
