// The receive side: the input ring's bounds on both ports, the modem port's
// read queue, its wait-on-mask events, its status pipe turned into the modem
// status and line events, and how its receive pipes fail, including the phone
// pulled with requests waiting (pulled at every step of a stream is a
// scenario of the fault sweep).
#include "common/port_test.h"

namespace {

using rig::Request;
using usb::Pipe;

constexpr ULONG kRing = 1024000;

using Ring = rig::EachOpenPort;
RIG_ON_BOTH_PORTS(Ring);

// Transfers with no read waiting accumulate; the ring holds exactly its
// capacity, keeps the first bytes and drops the rest while reception goes
// on; a purge empties it and makes room for all of it again. Bytes are
// counted as received when reads take them. A bus that reports more bytes
// than a transfer's buffer holds is held to the buffer.
TEST_P(Ring, HoldsItsCapacityAndKeepsTheFirstBytes) {
    Port().Receive("one ");
    Port().Receive("two ");
    EXPECT_EQ(Port().InQueue(), 8u);
    EXPECT_EQ(Port().Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).ReceivedCount, 0u);
    EXPECT_EQ(Port().Drain(3), "one");
    EXPECT_EQ(Port().Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).ReceivedCount, 3u);
    EXPECT_EQ(Port().Drain(), " two ");

    std::vector<uint8_t> flood = rig::Pattern(kRing + 5000);
    Port().Usb()->OverstateNext(Pipe::BulkIn, 1000);
    Port().Receive(flood);
    EXPECT_EQ(Port().InQueue(), kRing);
    EXPECT_EQ(Port().Usb()->Outstanding(Pipe::BulkIn), 1u);
    Request& all = Port().Finish(Port().StartRead(kRing + 5000));
    ASSERT_EQ(all.Bytes(), kRing);
    EXPECT_TRUE(std::equal(flood.begin(), flood.begin() + kRing, all.output.begin()));

    Port().Receive(rig::Pattern(kRing));
    ASSERT_EQ(Port().Set(IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_RXCLEAR)), STATUS_SUCCESS);
    EXPECT_EQ(Port().InQueue(), 0u);
    Port().Receive(rig::Pattern(kRing, 1));
    EXPECT_EQ(Port().InQueue(), kRing);
    ASSERT_EQ(Port().Set(IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_RXCLEAR)), STATUS_SUCCESS);
    Port().Receive("fresh");
    EXPECT_EQ(Port().Drain(), "fresh");
}

// The phone pulled with a read, a wait and queued writes pending: the
// surprise removal cancels them, later requests are refused, no read timer
// fires on the going device, and the removal completes after close, which
// touches nothing on the bus. Alone, the diagnostics port first sees the
// write on the bus fail, ends the writes queued behind it and tells the
// waiter the lines dropped; with the phone's other port open too, the
// removal reaches it first.
TEST_P(Ring, PhonePulledWithRequestsWaiting) {
    for (bool otherOpen : {false, true}) {
        SCOPED_TRACE(otherOpen ? "the other port open" : "alone");
        if (otherOpen) {
            m_.Plug();
            Open(Port());
            ASSERT_EQ(m_.Port(IsModem() ? rig::Which::Diag : rig::Which::Modem).Open(), 0u);
        }
        const bool failedFirst = !IsModem() && !otherOpen;
        Port().SetTimeouts(0, 0, 1000);
        ASSERT_EQ(Port().Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RXCHAR)), STATUS_SUCCESS);
        Request& wait = Port().StartWaitOnMask();
        Request& read = Port().StartRead(10);
        Port().Usb()->HoldBulkOut(true);
        Request& onBus = Port().StartWrite("on the bus");
        Request& queued1 = Port().StartWrite("queued one");
        Request& queued2 = Port().StartWrite("queued two");
        sim::RunUntilIdle();
        m_.Unplug();
        EXPECT_FALSE(NT_SUCCESS(onBus.Status()));
        for (const Request* r : {&queued1, &queued2})
            EXPECT_EQ(r->Status(), failedFirst ? STATUS_DELETE_PENDING : STATUS_CANCELLED);
        ASSERT_TRUE(wait.Done());
        EXPECT_EQ(wait.Status(), failedFirst ? STATUS_SUCCESS : STATUS_CANCELLED);
        if (failedFirst) {
            EXPECT_EQ(wait.OutputAs<ULONG>(), rig::kLinesDropped);
        }
        ASSERT_TRUE(read.Done());
        EXPECT_EQ(read.Status(), STATUS_CANCELLED);
        EXPECT_EQ(Port().Node()->state, sim::DevNodeState::SurpriseRemoved);
        EXPECT_EQ(Port().Outstanding(), 0u);
        EXPECT_EQ(Port().Finish(Port().StartRead(10)).Status(), STATUS_DELETE_PENDING);
        sim::AdvanceClockMs(5000);
        Phone().ClearTimeline();
        ASSERT_TRUE(Port().Close());
        EXPECT_TRUE(Port().Events(usb::EventKind::Abort).empty())
            << "close touched a phone that is gone";
        EXPECT_TRUE(Port().Events(usb::EventKind::ClassRequest).empty());
        EXPECT_EQ(Port().Node()->state, sim::DevNodeState::Deleted) << "the last handle let it go";
    }
}

// No IRP for the next bulk-in transfer: reception stops, what came stays
// readable, and close and removal still end.
TEST_P(Ring, NoIrpForTheNextBulkInTransfer) {
    Port().FailAllocation(sim::AllocKind::Irp);
    Port().Receive("last");
    EXPECT_EQ(sim::InjectedFaults().size(), 1u) << sim::FaultLog();
    EXPECT_EQ(Port().Usb()->Outstanding(Pipe::BulkIn), 0u);
    EXPECT_EQ(Port().Drain(), "last");
    ASSERT_TRUE(Port().Close());
    EXPECT_EQ(Port().Outstanding(), 0u);
    // What the failed transfer counted was given back: the removal ends.
    EXPECT_EQ(sim::PnpRemoveDevice(Port().Node()), STATUS_SUCCESS);
}

using ModemRead = rig::ModemTest;

// A read longer than a signed count is served from the ring: the user buffer
// only has to hold what is returned.
TEST_F(ModemRead, AReadLongerThanASignedCountIsServedFromTheRing) {
    Modem().Receive("abc");
    std::vector<uint8_t> buffer(16, 0);
    OVERLAPPED overlapped{};
    DWORD bytes = 0;
    ReadFile(Modem().Handle(), buffer.data(), 0x80000010u, &bytes, &overlapped);
    sim::RunUntilIdle();
    ASSERT_TRUE(HasOverlappedIoCompleted(&overlapped));
    EXPECT_EQ(static_cast<NTSTATUS>(overlapped.Internal), STATUS_SUCCESS);
    EXPECT_EQ(overlapped.InternalHigh, 3u);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 3), "abc");
    EXPECT_EQ(Modem().InQueue(), 0u);
    EXPECT_EQ(Modem().Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).ReceivedCount, 3u);
}

// ---------------------------------------------------------------- receive events

// Which receive events a transfer raises, given the mask and whether a wait
// was pending, and whether the record survives for the next wait. RX80FULL
// counts from 820000 bytes, not from eighty per cent of the ring; events
// recorded under an old mask are returned as recorded.
TEST_F(ModemRead, ReceiveEvents) {
    const struct {
        const char* name;
        ULONG mask;
        bool waitFirst;
        const char* text;   // nullptr: an empty packet
        ULONG events;       // 0: the wait stays pending
        bool nextDone;      // a second wait finds the bit still recorded
        size_t before = 0;  // bytes already in the ring
        ULONG waitMask = 0; // the mask set before a late wait (0: the same)
    } rows[] = {
        {"recorded for the next wait", SERIAL_EV_RXCHAR, false, "a", SERIAL_EV_RXCHAR, false},
        {"stays recorded after a waiter", SERIAL_EV_RXCHAR, true, "b", SERIAL_EV_RXCHAR, true},
        {"empty packet", SERIAL_EV_RXCHAR, true, nullptr, SERIAL_EV_RXCHAR, true},
        {"rxflag by every transfer", SERIAL_EV_RXFLAG, true, "no flag", SERIAL_EV_RXFLAG, true},
        {"outside the mask", SERIAL_EV_DSR, true, "c", 0, false},
        {"80 per cent of the ring", SERIAL_EV_RX80FULL, true, "r", 0, false, 819199},
        {"820000 bytes", SERIAL_EV_RX80FULL, true, "s", SERIAL_EV_RX80FULL, true, 819999},
        {"returned unfiltered", SERIAL_EV_RXCHAR, false, "d", SERIAL_EV_RXCHAR, false, 0,
         SERIAL_EV_DSR},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(Modem().Set(IOCTL_SERIAL_SET_WAIT_MASK, row.mask), STATUS_SUCCESS);
        if (row.before != 0)
            Modem().Receive(std::vector<uint8_t>(row.before, 'r'));
        Request* wait = row.waitFirst ? &Modem().StartWaitOnMask() : nullptr;
        if (row.text != nullptr) {
            Modem().Receive(row.text);
        } else {
            Modem().Usb()->PushPacket({});
            sim::RunUntilIdle();
        }
        if (row.waitMask != 0) {
            ASSERT_EQ(Modem().Set(IOCTL_SERIAL_SET_WAIT_MASK, row.waitMask), STATUS_SUCCESS);
        }
        if (wait == nullptr)
            wait = &Modem().StartWaitOnMask();
        ASSERT_EQ(wait->Done(), row.events != 0);
        if (row.events != 0) {
            EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
            EXPECT_EQ(wait->Bytes(), sizeof(ULONG));
            EXPECT_EQ(wait->OutputAs<ULONG>(), row.events);
            Request& next = Modem().StartWaitOnMask();
            sim::RunUntilIdle();
            EXPECT_EQ(next.Done(), row.nextDone);
            if (row.nextDone) {
                EXPECT_EQ(next.OutputAs<ULONG>(), row.events) << "handed out again";
            }
        }
        // A wait still pending outlives the settings a serial library sends
        // around it; setting the mask ends it with no events.
        ASSERT_EQ(Modem().Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{4096, 2048}),
                  STATUS_SUCCESS);
        EXPECT_TRUE(FlushFileBuffers(Modem().Handle()));
        EXPECT_EQ(wait->Done(), row.events != 0);
        ASSERT_EQ(Modem().Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(0)), STATUS_SUCCESS);
        if (row.events == 0) {
            EXPECT_EQ(wait->OutputAs<ULONG>(), 0u);
        }
        ASSERT_EQ(Modem().Set(IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_RXCLEAR)), STATUS_SUCCESS);
        ASSERT_TRUE(Modem().AllDone());
        for (const auto& r : Modem().Requests())
            EXPECT_EQ(r->Status(), STATUS_SUCCESS);
    }
}

// ---------------------------------------------------------------- the status pipe

// SERIAL_STATE notifications become the modem status and line events.
// Carrier sets DCD, transmission carrier DSR and CTS together; ring, break
// and line errors are not reported, nor delta bits. A change of carrier
// raises RLSD and one of DSR raises DSR, for a waiter or kept for the next
// wait; a delivered event is not kept, unchanged lines raise nothing, and
// CTS, ring, break and errors are never raised. Each notification re-arms a
// 16-byte status transfer; one of another kind changes nothing.
TEST_F(ModemRead, Notifications) {
    constexpr USHORT kDcd = usb::kStateDcd;
    constexpr USHORT kDsr = usb::kStateDsr;
    constexpr USHORT kNoise = usb::kStateRing | usb::kStateBreak | usb::kStateFraming |
                              usb::kStateParity | usb::kStateOverrun;
    constexpr ULONG kBoth = SERIAL_EV_RLSD | SERIAL_EV_DSR;
    const struct {
        USHORT uart;
        bool waitFirst; // a wait is pending when the notification comes
        ULONG status;
        ULONG events; // 0: the wait stays pending
    } rows[] = {
        {kDcd | kDsr, true, 0xB0, SERIAL_EV_RLSD},
        {kDcd | kDsr, true, 0xB0, 0},
        {0, false, 0, kBoth},
        {kDsr, true, SERIAL_MSR_DSR | SERIAL_MSR_CTS, SERIAL_EV_DSR},
        {kDcd, false, SERIAL_MSR_DCD, kBoth},
        {kDcd | kDsr | kNoise, true, 0xB0, SERIAL_EV_DSR},
        {kNoise, true, 0, kBoth},
        {kNoise, false, 0, 0},
    };
    ASSERT_EQ(Modem().Set(IOCTL_SERIAL_SET_WAIT_MASK,
                          ULONG(kBoth | SERIAL_EV_CTS | SERIAL_EV_RING | SERIAL_EV_BREAK |
                                SERIAL_EV_ERR | SERIAL_EV_PERR)),
              STATUS_SUCCESS);
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << row.uart << (row.waitFirst ? " waited" : ""));
        Request* wait = row.waitFirst ? &Modem().StartWaitOnMask() : nullptr;
        Modem().SerialState(row.uart);
        EXPECT_EQ(Modem().ModemStatus(), row.status);
        EXPECT_EQ(Modem().Usb()->Outstanding(Pipe::InterruptIn), 1u);
        if (wait == nullptr)
            wait = &Modem().StartWaitOnMask();
        sim::RunUntilIdle();
        ASSERT_EQ(wait->Done(), row.events != 0);
        if (row.events != 0) {
            EXPECT_EQ(wait->OutputAs<ULONG>(), row.events);
        } else {
            Modem().CancelIo();
        }
    }
    EXPECT_EQ(Modem().Submits(Pipe::InterruptIn), std::vector<ULONG>(std::size(rows), 16));
    Modem().SerialState(kDcd);
    const uint8_t other[10] = {0xA1, 0x2A, 0, 0, 0, 0, 2, 0, 0, 0};
    Modem().Usb()->Push(other, sizeof other, Pipe::InterruptIn);
    sim::RunUntilIdle();
    EXPECT_EQ(Modem().ModemStatus(), ULONG(SERIAL_MSR_DCD));
    EXPECT_EQ(Modem().Usb()->Outstanding(Pipe::InterruptIn), 1u);
}

// No IRP for the next status transfer: the lines freeze, reads go on. No IRP
// for the one at open: the open and close still end.
TEST_F(ModemRead, NoIrpForAStatusTransfer) {
    Modem().FailAllocation(sim::AllocKind::Irp);
    Modem().SerialState(usb::kStateDcd);
    EXPECT_EQ(sim::InjectedFaults().size(), 1u);
    EXPECT_EQ(Modem().Usb()->Outstanding(Pipe::InterruptIn), 0u);
    EXPECT_EQ(Modem().ModemStatus() & SERIAL_MSR_DCD, ULONG(SERIAL_MSR_DCD));
    Modem().Receive("reads go on");
    EXPECT_EQ(Modem().Drain(), "reads go on");
    ASSERT_TRUE(Modem().Close());

    // The open's own IRPs (the pipe-abort reserve) come first: aim at the
    // status transfer's.
    Modem().FailAllocation(sim::AllocKind::Irp, "SubmitReceiveTransfer");
    ASSERT_EQ(Modem().Open(), 0u);
    EXPECT_EQ(Modem().Usb()->Outstanding(Pipe::InterruptIn), 0u);
    EXPECT_EQ(Modem().Usb()->Outstanding(Pipe::BulkIn), 1u);
    ASSERT_TRUE(Modem().Close());
    EXPECT_EQ(Modem().Outstanding(), 0u);
}

// ---------------------------------------------------------------- a receive pipe fails

// A read waiting when the device is lost keeps waiting until cleanup: its
// time-out went with the transfer.
TEST_F(ModemRead, AReadWaitingWhenTheDeviceIsLostWaitsUntilCleanup) {
    Modem().SetTimeouts(0, 0, 200);
    Request& read = Modem().StartRead(10);
    Modem().Usb()->Stall(Pipe::BulkIn);
    sim::RunUntilIdle();
    sim::AdvanceClockMs(1000);
    EXPECT_FALSE(read.Done());
    ASSERT_TRUE(Modem().Close());
    EXPECT_EQ(read.Status(), STATUS_CANCELLED);
}

} // namespace
