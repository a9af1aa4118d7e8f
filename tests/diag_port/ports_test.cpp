// Both ports of one phone under the same scenarios: open and close, the
// writer, reads and their endings, receive events and a lost device. Where
// the two drivers part ways the expectation names each port's value.
#include "common/port_test.h"

namespace {

using rig::Bytes;
using rig::ComPort;
using rig::EachOpenPort;
using rig::EachPort;
using rig::kAllLineErrors;
using rig::kLinesDropped;
using rig::Request;
using rig::Which;
using OnePhone = rig::PortTest;
using usb::EventKind;
using usb::Pipe;

// ---------------------------------------------------------------- open and close

using Opening = EachPort;
RIG_ON_BOTH_PORTS(Opening);

// The three pipes are reset in order, whether the bus answers a reset later
// or at once; one bulk-in transfer waits, and only the modem port arms its
// status pipe. Nothing goes to the phone's control pipe. Close drops DTR and
// RTS on the modem port (the diagnostics port never sends them), aborts the
// pipes it uses in order and leaves nothing in flight.
TEST_P(Opening, ResetsThePipesAndStartsReceptionUntilClose) {
    for (bool atOnce : {false, true}) {
        SCOPED_TRACE(atOnce ? "reset answered at once" : "reset answered later");
        Port().Usb()->CompleteAtOnce(Pipe::BulkOut, atOnce);
        Port().Usb()->ClearClassRequests();
        Phone().ClearTimeline();
        ASSERT_EQ(Port().Open(), 0u);
        EXPECT_EQ(Port().Pipes(EventKind::Reset),
                  (std::vector<Pipe>{Pipe::BulkIn, Pipe::BulkOut, Pipe::InterruptIn}));
        EXPECT_EQ(Port().Usb()->Outstanding(Pipe::BulkIn), 1u);
        EXPECT_EQ(Port().Usb()->Outstanding(Pipe::InterruptIn), Pick(1u, 0u));
        EXPECT_TRUE(Port().Usb()->ClassRequests().empty());
        EXPECT_EQ(Port().InQueue(), 0u);

        ASSERT_EQ(Port().Ioctl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
        ASSERT_EQ(Port().Ioctl(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
        Port().Usb()->ClearClassRequests();
        Phone().ClearTimeline();
        ASSERT_TRUE(Port().Close());
        EXPECT_EQ(Port().ControlLineRequests(),
                  Pick(std::vector<USHORT>{0}, std::vector<USHORT>{}));
        EXPECT_EQ(Port().Usb()->ControlLines(), 0);
        EXPECT_EQ(Port().Pipes(EventKind::Abort),
                  Pick(std::vector<Pipe>{Pipe::InterruptIn, Pipe::BulkIn, Pipe::BulkOut},
                       std::vector<Pipe>{Pipe::BulkIn, Pipe::BulkOut}));
        EXPECT_EQ(Port().Outstanding(), 0u);
        EXPECT_EQ(sim::OutstandingIrps(), 0u);
    }
}

// The diagnostics port's pipe reset waits on an event it allocates: without
// it nothing is sent, and the open fails as unsuccessful; the next one works.
TEST_F(OnePhone, DiagnosticsOpenFailsWithoutMemoryForItsPipeReset) {
    Diag().FailAllocation(sim::AllocKind::Pool);
    EXPECT_EQ(Diag().Open(), RtlNtStatusToDosError(STATUS_UNSUCCESSFUL)) << sim::FaultLog();
    EXPECT_EQ(Diag().Usb()->Resets(Pipe::BulkIn), 0u);
    sim::ClearFaultPlans();
    EXPECT_EQ(Diag().Open(), 0u);
}

using OpenPort = EachOpenPort;
RIG_ON_BOTH_PORTS(OpenPort);

// The settings an open gives. Every emulated line is off until the host
// raises its own; the modem port starts with DSR.
TEST_P(OpenPort, GivesItsDefaults) {
    EXPECT_EQ(Port().Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate,
              Pick(460800u, 115200u));
    EXPECT_EQ(Bytes(Port().Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL)),
              Bytes(SERIAL_LINE_CONTROL{STOP_BITS_2, NO_PARITY, 8}));
    EXPECT_EQ(Bytes(Port().Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW)),
              Bytes(SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0}));
    EXPECT_EQ(Bytes(Port().Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS)),
              Bytes(SERIAL_CHARS{0, 0, 0, 0, UCHAR(Pick(0x11, 0)), UCHAR(Pick(0x13, 0))}));
    EXPECT_EQ(Bytes(Port().Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS)),
              Bytes(SERIAL_TIMEOUTS{}));
    EXPECT_EQ(Port().Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), 0u);
    EXPECT_EQ(Port().ModemStatus(), Pick(ULONG(SERIAL_MSR_DSR), 0UL));
    EXPECT_EQ(Bytes(Port().CommStatus()), Bytes(SERIAL_STATUS{}));
}

// Cleanup cancels what the handle left waiting: a read, a wait and a queued
// write; a write the phone never takes is ended by the abort, with no bytes,
// so the close comes. The next handle starts afresh.
TEST_P(OpenPort, CleanupEndsEverythingTheHandleLeft) {
    Port().SetTimeouts(0, 0, 0);
    ASSERT_EQ(Port().Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RXFLAG)), STATUS_SUCCESS);
    Request& read = Port().StartRead(10);
    Request& wait = Port().StartWaitOnMask();
    Port().Usb()->HoldBulkOut(true);
    Request& onBus = Port().StartWrite(rig::Pattern(100));
    Request& queued = Port().StartWrite(rig::Pattern(20));
    sim::RunUntilIdle();
    ASSERT_FALSE(read.Done() || wait.Done() || onBus.Done() || queued.Done());

    ASSERT_TRUE(Port().Close());
    for (const Request* r : {&read, &wait, &queued}) {
        EXPECT_EQ(r->Status(), STATUS_CANCELLED);
        EXPECT_EQ(r->Bytes(), 0u);
    }
    EXPECT_EQ(onBus.Status(), Pick(STATUS_CANCELLED, onBus.Status()));
    EXPECT_FALSE(NT_SUCCESS(onBus.Status()));
    EXPECT_EQ(onBus.Bytes(), 0u);
    EXPECT_EQ(Port().Outstanding(), 0u);
    Port().Usb()->HoldBulkOut(false);
    EXPECT_TRUE(Port().Usb()->TakeReceived().empty());
    ASSERT_EQ(Port().Open(), 0u);
    EXPECT_EQ(Port().Write("again").Bytes(), 5u);
}

// Bytes that arrive while the handle is being cleaned up: the modem port
// still stores them and reads on until close; the diagnostics port stopped
// reception at cleanup, drops them and issues no further transfer.
TEST_P(OpenPort, BytesArrivingDuringCleanup) {
    // A write held at the bus keeps cleanup waiting while the bytes come in.
    Port().Usb()->HoldBulkOut(true);
    Port().StartWrite("held");
    Port().Usb()->Push("late bytes");
    ASSERT_TRUE(Port().Close());
    Port().Usb()->HoldBulkOut(false);
    size_t submitsAfterData = 0;
    bool sawData = false;
    for (const auto& e : Phone().Timeline()) {
        if (e.interfaceNumber != Port().Usb()->Number() || e.pipe != Pipe::BulkIn)
            continue;
        if (e.kind == EventKind::Complete && e.length != 0)
            sawData = true;
        else if (sawData && e.kind == EventKind::Submit)
            submitsAfterData++;
    }
    if (IsModem()) {
        EXPECT_GE(submitsAfterData, 1u);
    } else {
        EXPECT_EQ(submitsAfterData, 0u);
    }
    EXPECT_EQ(Port().Outstanding(), 0u);
}

// A create, cleanup and close for a file object other than the open handle's,
// sent straight to the port as an I/O manager that lets a refused create keep
// its handle sends them (Wine's does). The refused handle going must leave
// the open one working: its waiting read, reception, the lines and the pipes.
TEST_P(OpenPort, AnotherFileObjectsCleanupAndCloseLeaveTheOpenHandleAlone) {
    const std::string later = "still receiving";
    Request& read = Port().StartRead(static_cast<DWORD>(later.size()));
    sim::RunUntilIdle();
    ASSERT_FALSE(read.Done());
    FILE_OBJECT second{};
    second.Type = 5; // IO_TYPE_FILE
    second.Size = sizeof second;
    second.DeviceObject = Port().Node()->fdo;
    for (auto [major, status] :
         {std::pair{IRP_MJ_CREATE, STATUS_ACCESS_DENIED}, std::pair{IRP_MJ_CLEANUP, STATUS_SUCCESS},
          std::pair{IRP_MJ_CLOSE, STATUS_SUCCESS}}) {
        rig::IrpToSend what;
        what.major = static_cast<UCHAR>(major);
        what.file = &second;
        rig::SentIrp& sent = Port().Send(what);
        EXPECT_TRUE(sent.done);
        EXPECT_EQ(sent.status, status) << major;
    }
    EXPECT_FALSE(read.Done()) << "the open handle's read was ended";
    EXPECT_TRUE(Port().Events(EventKind::Abort).empty());
    EXPECT_TRUE(Port().Usb()->ClassRequests().empty()) << "DTR and RTS were touched";
    Port().Receive(later);
    EXPECT_EQ(read.Text(), later);
    EXPECT_EQ(Port().Write("still sending").Status(), STATUS_SUCCESS);
    EXPECT_EQ(Port().OpenSecond(), DWORD(ERROR_ACCESS_DENIED))
        << "the port no longer counts its open";
    ASSERT_TRUE(Port().Close());
    EXPECT_EQ(Port().Outstanding(), 0u);
    EXPECT_EQ(Port().Open(), 0u);
}

// ---------------------------------------------------------------- the writer

using Writes = EachOpenPort;
RIG_ON_BOTH_PORTS(Writes);

// Pieces of at most 4096 bytes; a zero-length write succeeds at once and
// sends nothing. A bus that reports more bytes sent than the piece had is
// not believed.
TEST_P(Writes, GoOutInPiecesOfAtMost4096) {
    const struct {
        size_t length;
        std::vector<ULONG> pieces;
        bool overstated = false;
    } rows[] = {
        {0, {}},       {1, {1}}, {4096, {4096}}, {4097, {4096, 1}}, {10000, {4096, 4096, 1808}},
        {5, {5}, true}};
    ULONG sent = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.length);
        Phone().ClearTimeline();
        if (row.overstated)
            Port().Usb()->OverstateNext(Pipe::BulkOut, 1000);
        std::vector<uint8_t> data = rig::Pattern(row.length);
        Request& write = Port().Write(data);
        EXPECT_EQ(write.Status(), STATUS_SUCCESS);
        EXPECT_EQ(write.Bytes(), row.length);
        EXPECT_EQ(Port().Submits(), row.pieces);
        EXPECT_EQ(Port().Usb()->TakeReceived(), data);
        sent += static_cast<ULONG>(row.length);
        EXPECT_EQ(Port().Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).TransmittedCount, sent);
        EXPECT_EQ(Port().OutQueue(), 0u);
    }
}

// Writes queued behind a busy pipe count in the output queue and go out in
// order, one request at a time; FlushFileBuffers succeeds at once and leaves
// them alone, as does a TXCLEAR purge.
TEST_P(Writes, QueuedWritesGoOutInOrder) {
    Port().Usb()->HoldBulkOut(true);
    Request& first = Port().StartWrite("first ");
    Request& second = Port().StartWrite("second ");
    Request& third = Port().StartWrite("third");
    sim::RunUntilIdle();
    EXPECT_EQ(Port().OutQueue(), 18u);
    EXPECT_EQ(Port().Submits().size(), 1u) << "one request at a time";
    EXPECT_TRUE(FlushFileBuffers(Port().Handle()));
    ASSERT_EQ(Port().Set(IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_TXCLEAR)), STATUS_SUCCESS);
    EXPECT_FALSE(second.Done() || third.Done());
    EXPECT_EQ(Port().OutQueue(), 18u);

    Port().Usb()->HoldBulkOut(false);
    EXPECT_EQ(Port().Finish(third).Status(), STATUS_SUCCESS);
    EXPECT_TRUE(first.Done() && second.Done());
    EXPECT_EQ(Port().Usb()->TakeReceivedText(), "first second third");
    EXPECT_EQ(Port().OutQueue(), 0u);
}

// TXABORT (here with the other three flags) cancels the queued requests and
// leaves the one on the bus, whose bytes alone stay counted; the writer then takes the next write
// at once.
TEST_P(Writes, PurgeTxAbortLeavesOnlyTheWriteOnTheBus) {
    Port().Usb()->HoldBulkOut(true);
    Request& sending = Port().StartWrite("on the bus");
    Request& queued1 = Port().StartWrite(std::string(100, 'a'));
    Request& queued2 = Port().StartWrite(std::string(500, 'b'));
    Port().Receive("xyz");
    ASSERT_EQ(Port().Set(IOCTL_SERIAL_PURGE, ULONG(0xF)), STATUS_SUCCESS); // all four
    EXPECT_EQ(Port().InQueue(), 0u);
    EXPECT_EQ(queued1.Status(), STATUS_CANCELLED);
    EXPECT_EQ(queued2.Status(), STATUS_CANCELLED);
    EXPECT_FALSE(sending.Done());
    EXPECT_EQ(Port().OutQueue(), 10u);
    Port().Usb()->HoldBulkOut(false);
    EXPECT_EQ(Port().Finish(sending).Bytes(), 10u);
    EXPECT_EQ(Port().Usb()->TakeReceivedText(), "on the bus");
    EXPECT_EQ(Port().Write("after").Bytes(), 5u);
    EXPECT_EQ(Port().Usb()->TakeReceivedText(), "after");
}

// A write cancelled while a later piece is on the bus has already sent the
// pieces before it: it ends STATUS_CANCELLED reporting exactly those bytes,
// which is what the phone has of it.
TEST_P(Writes, CancelledWriteReportsThePiecesAlreadySent) {
    // The phone stops taking bytes once the first piece is in.
    Phone().SetEventHook([this](const usb::BusEvent& e) {
        if (e.kind == EventKind::Complete && e.pipe == Pipe::BulkOut)
            Port().Usb()->HoldBulkOut(true);
    });
    std::vector<uint8_t> data = rig::Pattern(10000);
    Request& write = Port().StartWrite(data);
    sim::RunUntilIdle();
    ASSERT_FALSE(write.Done());
    Port().CancelIo();
    Port().Finish(write);
    Phone().SetEventHook(nullptr);
    Port().Usb()->HoldBulkOut(false);
    EXPECT_EQ(write.Status(), STATUS_CANCELLED);
    EXPECT_EQ(write.Bytes(), 4096u);
    EXPECT_EQ(Port().Usb()->TakeReceived(),
              std::vector<uint8_t>(data.begin(), data.begin() + 4096));
    EXPECT_EQ(Port().OutQueue(), 0u);
}

// A piece that fails ends its own request with the bus driver's status and no
// bytes; the request queued behind it still goes out, and a read waiting
// meanwhile keeps its own total time-out. Only the diagnostics port tells a
// waiting WAIT_ON_MASK that the lines dropped, whatever its mask.
TEST_P(Writes, AFailedWriteLetsTheNextOneGo) {
    ASSERT_EQ(Port().Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RXCHAR)), STATUS_SUCCESS);
    Request& wait = Port().StartWaitOnMask();
    Port().SetTimeouts(0, 0, 100);
    Request& read = Port().StartRead(10);
    Port().Usb()->HoldBulkOut(true);
    Request& doomed = Port().StartWrite(rig::Pattern(5000));
    Request& next = Port().StartWrite("next");
    sim::RunUntilIdle();
    Port().Usb()->FailNext(Pipe::BulkOut, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC);
    Port().Usb()->HoldBulkOut(false);

    EXPECT_EQ(Port().Finish(doomed).Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(doomed.Bytes(), 0u);
    EXPECT_EQ(Port().Finish(next).Bytes(), 4u);
    EXPECT_EQ(Port().Usb()->TakeReceivedText(), "next");
    EXPECT_EQ(Port().Write("later").Bytes(), 5u);
    EXPECT_EQ(Port().OutQueue(), 0u) << "the failed request is no longer counted";
    EXPECT_EQ(Port().Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).TransmittedCount, 9u);
    EXPECT_EQ(wait.Done(), !IsModem());
    if (!IsModem()) {
        EXPECT_EQ(wait.OutputAs<ULONG>(), kLinesDropped);
    }
    ASSERT_FALSE(read.Done());
    sim::AdvanceClockMs(100);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_TIMEOUT);
}

// A request that cannot get its write context fails on its own; the one
// behind it and later writes still go out.
TEST_P(Writes, NoMemoryForOneRequestFailsOnlyThatOne) {
    Port().Usb()->HoldBulkOut(true);
    Request& onBus = Port().StartWrite("a");
    Request& unlucky = Port().StartWrite("b");
    Request& behind = Port().StartWrite("c");
    sim::RunUntilIdle();
    Port().FailAllocation(sim::AllocKind::Pool, Pick("", "PassiveWrite"));
    Port().Usb()->HoldBulkOut(false);
    EXPECT_EQ(Port().Finish(onBus).Status(), STATUS_SUCCESS);
    EXPECT_EQ(Port().Finish(unlucky).Status(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(unlucky.Bytes(), 0u);
    EXPECT_EQ(Port().Finish(behind).Status(), STATUS_SUCCESS);
    EXPECT_EQ(sim::InjectedFaults().size(), 1u) << sim::FaultLog();
    sim::ClearFaultPlans();
    EXPECT_EQ(Port().Write("d").Status(), STATUS_SUCCESS);
    EXPECT_EQ(Port().Usb()->TakeReceivedText(), "acd");
    EXPECT_EQ(Port().OutQueue(), 0u);
}

// TXEMPTY reaches a waiting request when the last queued write finishes. With
// nobody waiting, the modem port records it with the rest and forgets the lot
// at the drain; the diagnostics port never records it, so what was recorded
// stays.
TEST_P(Writes, TxEmpty) {
    ASSERT_EQ(Port().Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_TXEMPTY)), STATUS_SUCCESS);
    Request& idle = Port().StartWaitOnMask();
    sim::AdvanceClockMs(100);
    EXPECT_FALSE(idle.Done()) << "a writer that was never busy reports nothing";
    ASSERT_EQ(Port().Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_TXEMPTY)), STATUS_SUCCESS);
    Port().Usb()->HoldBulkOut(true);
    Port().StartWrite("one");
    Request& second = Port().StartWrite("two");
    Request& wait = Port().StartWaitOnMask();
    sim::RunUntilIdle();
    EXPECT_FALSE(wait.Done());
    Port().Usb()->HoldBulkOut(false);
    EXPECT_EQ(Port().Finish(wait).OutputAs<ULONG>(), ULONG(SERIAL_EV_TXEMPTY));
    EXPECT_TRUE(second.Done());

    ASSERT_EQ(Port().Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY)),
              STATUS_SUCCESS);
    Port().Receive("in");
    EXPECT_EQ(Port().Write("out").Status(), STATUS_SUCCESS);
    Request& after = Port().StartWaitOnMask();
    sim::RunUntilIdle();
    EXPECT_EQ(after.Done(), !IsModem());
    if (!IsModem()) {
        EXPECT_EQ(after.OutputAs<ULONG>(), ULONG(SERIAL_EV_RXCHAR));
    }
}

// ---------------------------------------------------------------- reads

using Reads = EachOpenPort;
RIG_ON_BOTH_PORTS(Reads);

// Only one read waits. The modem port refuses a second one, which went
// through the dispatch first: the waiting read has lost its total time-out
// and is judged against the second read's length (so ten bytes end a read of
// a hundred with success), yet never overflows its own buffer. The
// diagnostics port answers the second at once with no bytes, and its
// waiting read keeps its own time-out.
TEST_P(Reads, ASecondReadWhileOneWaits) {
    Port().SetTimeouts(0, 0, 100);
    Request& first = Port().StartRead(100);
    sim::AdvanceClockMs(50);
    Request& second = Port().Finish(Port().StartRead(10));
    EXPECT_EQ(second.Status(), Pick(STATUS_INVALID_PARAMETER, STATUS_SUCCESS));
    EXPECT_EQ(second.Bytes(), 0u);
    EXPECT_FALSE(first.Done());
    sim::AdvanceClockMs(Pick(5000, 50));
    EXPECT_EQ(first.Done(), !IsModem());
    Port().Receive("0123456789");
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(first.Status(), Pick(STATUS_SUCCESS, STATUS_TIMEOUT));
    EXPECT_EQ(first.Text(), Pick("0123456789", ""));
    if (!IsModem())
        return;
    Port().SetTimeouts(0, 0, 0);
    Request& small = Port().StartRead(4);
    EXPECT_EQ(Port().Finish(Port().StartRead(64)).Status(), STATUS_INVALID_PARAMETER);
    Port().Receive(std::string(60, 'q'));
    ASSERT_TRUE(small.Done());
    EXPECT_EQ(small.Bytes(), 4u);
    EXPECT_EQ(Port().Drain().size(), 56u);
}

// RXABORT: the modem port completes the waiting read with what the ring
// holds (nothing: a time-out); the diagnostics port cancels it and reports
// the purge's four input bytes back. CancelIo ends a read and a waiting
// WAIT_ON_MASK with nothing. Reception goes on: the next read waits and gets
// the next bytes.
TEST_P(Reads, PurgeRxAbortAndCancelIoEndTheWaitingRead) {
    Port().SetTimeouts(0, 0, 0);
    ASSERT_EQ(Port().Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_DSR)), STATUS_SUCCESS);
    Request& read = Port().StartRead(10);
    sim::RunUntilIdle();
    ULONG flags = SERIAL_PURGE_RXABORT;
    Request& purge = Port().Control(IOCTL_SERIAL_PURGE, &flags, sizeof flags, 0);
    EXPECT_EQ(purge.Status(), STATUS_SUCCESS);
    if (!IsModem()) {
        EXPECT_EQ(purge.Bytes(), sizeof(ULONG));
    }
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), Pick(STATUS_TIMEOUT, STATUS_CANCELLED));
    EXPECT_EQ(read.Bytes(), 0u);

    Request& wait = Port().StartWaitOnMask();
    Request& second = Port().StartRead(10);
    sim::RunUntilIdle();
    Port().CancelIo();
    for (const Request* r : {&second, &wait}) {
        ASSERT_TRUE(r->Done());
        EXPECT_EQ(r->Status(), STATUS_CANCELLED);
        EXPECT_EQ(r->Bytes(), 0u);
    }
    Request& next = Port().StartRead(10);
    EXPECT_FALSE(next.Done());
    Port().Receive("again");
    EXPECT_EQ(next.Text(), "again");
}

// A stream far longer than the ring, in transfers of uneven sizes taken by
// reads of uneven sizes, comes out whole and in order: the ring wraps many
// times, at every offset the sizes reach.
TEST_P(Reads, AStreamComesOutWholeAndInOrder) {
    Port().SetTimeouts(0xFFFFFFFF, 0, 0);
    std::vector<uint8_t> got;
    size_t sent = 0;
    uint32_t seed = 12345;
    auto next = [&seed](uint32_t below) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % below;
    };
    while (sent < 3u * 1024 * 1024) {
        size_t length = 1 + next(300000);
        Port().Receive(rig::Pattern(length, sent));
        sent += length;
        while (got.size() < sent) {
            Request& read = Port().Finish(Port().StartRead(1 + next(400000)));
            ASSERT_EQ(read.Status(), STATUS_SUCCESS);
            ASSERT_NE(read.Bytes(), 0u) << "bytes the ring held were lost";
            got.insert(got.end(), read.output.begin(), read.output.begin() + read.Bytes());
        }
    }
    ASSERT_EQ(got.size(), sent);
    EXPECT_TRUE(got == rig::Pattern(sent)) << "the stream came out changed";
    EXPECT_EQ(Port().Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).ReceivedCount, ULONG(sent));
}

// ---------------------------------------------------------------- waits

using Waits = EachOpenPort;
RIG_ON_BOTH_PORTS(Waits);

// With the mask empty WAIT_ON_MASK: refused on the modem port, answered at
// once with the (empty) record on the diagnostics port; a driver above sees
// the word the modem port wrote into its buffer. With a mask, a second
// WAIT_ON_MASK is refused; the modem port ends the first one with no events,
// the diagnostics port keeps it for the next event.
TEST_P(Waits, ASecondWaitOrOneWithAnEmptyMask) {
    Request& empty = Port().Finish(Port().StartWaitOnMask());
    EXPECT_EQ(empty.Status(), Pick(STATUS_INVALID_PARAMETER, STATUS_SUCCESS));
    EXPECT_EQ(empty.Bytes(), Pick(0u, 4u));
    if (!IsModem()) {
        EXPECT_EQ(empty.OutputAs<ULONG>(), 0u);
    }
    ULONG events = 0xFFFFFFFF;
    rig::SentIrp& sent = Port().SendControl(IOCTL_SERIAL_WAIT_ON_MASK, &events, 0, sizeof events);
    EXPECT_EQ(sent.status, Pick(STATUS_INVALID_PARAMETER, STATUS_SUCCESS));
    EXPECT_EQ(sent.information, Pick(0u, 4u));
    EXPECT_EQ(events, 0u);

    ASSERT_EQ(Port().Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RXCHAR)), STATUS_SUCCESS);
    Request& first = Port().StartWaitOnMask();
    EXPECT_EQ(Port().Finish(Port().StartWaitOnMask()).Status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(first.Done(), IsModem());
    Port().Receive("x");
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(first.Status(), STATUS_SUCCESS);
    EXPECT_EQ(first.OutputAs<ULONG>(), Pick(0UL, ULONG(SERIAL_EV_RXCHAR)));
}

// A transfer whose bytes all go to a waiting read raises RXCHAR on the modem
// port; the diagnostics port raises it only for bytes left in the ring.
TEST_P(Waits, RxCharForATransferTakenByAWaitingRead) {
    Port().SetTimeouts(0, 0, 0);
    ASSERT_EQ(Port().Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RXCHAR)), STATUS_SUCCESS);
    Request& read = Port().StartRead(10);
    Request& wait = Port().StartWaitOnMask();
    Port().Receive("abc");
    EXPECT_EQ(read.Text(), "abc");
    EXPECT_EQ(wait.Done(), IsModem());
    Port().Receive("defg");
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait.OutputAs<ULONG>(), ULONG(SERIAL_EV_RXCHAR));
}

// ---------------------------------------------------------------- a lost device

// A transfer failure that shows the phone gone (on the modem port, any
// failure of a receive pipe) marks the device lost while the phone stays
// attached: nothing is re-armed or retried, a waiter hears the lines drop
// (on the diagnostics port, only from a failed write), reads, writes, waits
// and settings are refused (the diagnostics port still answers the status
// query, with every line error and empty queues); close ends what is still
// at the bus, the port never opens again (a cancelled removal does not bring
// it back) and the device can be removed.
struct Loss {
    const char* name;
    Which which;
    Pipe pipe;
    NTSTATUS status; // 0: a stall; on bulk-out, what the write ends with
    LONG usbd;
    bool babble = false;
};

class LostDevice : public OnePhone, public ::testing::WithParamInterface<Loss> {
protected:
    ComPort& Port() { return m_.Port(GetParam().which); }
};

TEST_P(LostDevice, RefusesAllButTheStatusQueryAndClose) {
    const Loss& row = GetParam();
    const bool modem = row.which == Which::Modem;
    Open(Port());
    Port().Receive("unread");
    ASSERT_EQ(Port().Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RXCHAR)), STATUS_SUCCESS);
    Request& wait = Port().StartWaitOnMask();
    Phone().ClearTimeline();
    if (row.babble) {
        Port().Usb()->BabbleNext(row.pipe, 16);
        Port().Receive(rig::Pattern(4096));
    } else if (row.status == 0) {
        Port().Usb()->Stall(row.pipe);
    } else {
        Port().Usb()->FailNext(row.pipe, row.status, row.usbd);
    }
    if (row.pipe == Pipe::BulkOut) {
        EXPECT_EQ(Port().Write("x").Status(), row.status);
    }
    sim::RunUntilIdle();
    Port().Usb()->ClearFaults(row.pipe);
    EXPECT_TRUE(Port().Submits(Pipe::BulkIn).empty()) << "a failed transfer was retried";
    const bool hears = modem || row.pipe == Pipe::BulkOut;
    EXPECT_EQ(wait.Done(), hears);
    if (hears) {
        EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
        EXPECT_EQ(wait.OutputAs<ULONG>(), kLinesDropped);
    }
    EXPECT_EQ(Port().Usb()->Outstanding(Pipe::InterruptIn), 0u);
    // A write failure leaves the diagnostics port's bulk-in transfer at the
    // bus until close.
    EXPECT_EQ(Port().Usb()->Outstanding(Pipe::BulkIn), !modem && row.pipe == Pipe::BulkOut);

    Phone().ClearTimeline();
    EXPECT_EQ(Port().Finish(Port().StartRead(4)).Status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(Port().Write("y").Status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(Port().Finish(Port().StartWaitOnMask()).Status(), STATUS_DELETE_PENDING);
    ULONG baud = 0;
    EXPECT_EQ(Port().Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud),
              STATUS_DELETE_PENDING);
    EXPECT_TRUE(Port().Events(EventKind::Submit).empty());
    Request& status =
        Port().Control(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS));
    EXPECT_EQ(status.Status(), modem ? STATUS_DELETE_PENDING : STATUS_SUCCESS);
    if (!modem) {
        SERIAL_STATUS all{};
        all.Errors = kAllLineErrors;
        EXPECT_EQ(status.Bytes(), sizeof(SERIAL_STATUS));
        EXPECT_EQ(rig::Bytes(status.OutputAs<SERIAL_STATUS>()), rig::Bytes(all));
    }
    ASSERT_TRUE(Port().Close());
    EXPECT_EQ(Port().Outstanding(), 0u);
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
    EXPECT_EQ(sim::PnpSendIrp(Port().Node(), IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(sim::PnpSendIrp(Port().Node(), IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Port().Open(), RtlNtStatusToDosError(STATUS_DELETE_PENDING))
        << "a lost device stays lost while it lives, even across a cancelled removal";
    EXPECT_EQ(sim::PnpRemoveDevice(Port().Node()), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LostDevice,
    ::testing::Values(Loss{"ModemNotConnected", Which::Modem, Pipe::BulkIn,
                           STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_CRC},
                      Loss{"ModemBulkInFailure", Which::Modem, Pipe::BulkIn, STATUS_UNSUCCESSFUL,
                           USBD_STATUS_CRC},
                      Loss{"ModemBulkInStall", Which::Modem, Pipe::BulkIn, 0, 0},
                      Loss{"ModemStatusFailure", Which::Modem, Pipe::InterruptIn,
                           STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
                      Loss{"ModemStatusStall", Which::Modem, Pipe::InterruptIn, 0, 0},
                      Loss{"DiagNotConnected", Which::Diag, Pipe::BulkIn,
                           STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_CRC},
                      Loss{"DiagNotResponding", Which::Diag, Pipe::BulkIn, STATUS_UNSUCCESSFUL,
                           USBD_STATUS_DEV_NOT_RESPONDING},
                      Loss{"DiagDataError", Which::Diag, Pipe::BulkIn, STATUS_DEVICE_DATA_ERROR,
                           USBD_STATUS_BUFFER_OVERRUN},
                      Loss{"DiagBabble", Which::Diag, Pipe::BulkIn, 0, 0, true},
                      Loss{"DiagWriteNotConnected", Which::Diag, Pipe::BulkOut,
                           STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEV_NOT_RESPONDING}),
    rig::RowName<Loss>);

} // namespace
