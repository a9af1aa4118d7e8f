// When the receive pipes fail: a bulk-in or status transfer that fails while
// the port is open marks the device lost, tells a waiting WAIT_ON_MASK that
// the lines are gone, and every later request but close is refused. Also the
// phone pulled with requests waiting and transfers in flight, transfers the
// driver cannot get an IRP for, and a bus that overstates a length.
#include "read_fixture.h"

namespace modem_read {
namespace {

using usb::Pipe;

constexpr ULONG kLinesGone = SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD;

class LostDevice : public ModemRead {
protected:
    // The port's requests are refused as a removed device's are.
    void ExpectRefused() {
        auto read = StartRead(10);
        EXPECT_TRUE(Refused(*read, STATUS_DELETE_PENDING));
        auto wait = StartWait();
        EXPECT_TRUE(Refused(*wait, STATUS_DELETE_PENDING));
    }
    // Close comes back, the phone has nothing left in flight, and the port
    // can never be opened again while the device lives.
    void ExpectCloseEndsAndStaysLost() {
        Close();
        EXPECT_EQ(Outstanding(), 0u);
        HANDLE again = OpenHandle();
        EXPECT_EQ(again, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), RtlNtStatusToDosError(STATUS_DELETE_PENDING));
        if (again != INVALID_HANDLE_VALUE) {
            CloseHandle(again);
        }
    }
};

// ---------------------------------------------------------------- a receive pipe fails

TEST_F(LostDevice, ABulkInFailureReportsTheLinesGoneAndRefusesWhatFollows) {
    SetWaitMask(SERIAL_EV_RXCHAR);
    auto wait = StartWait();
    Modem().FailNext(Pipe::BulkIn, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
    sim::RunUntilIdle();
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    EXPECT_EQ(EventsOf(*wait), kLinesGone) << "whatever the mask holds";
    EXPECT_EQ(Modem().Outstanding(Pipe::BulkIn), 0u) << "no retry";
    ExpectRefused();
}

TEST_F(LostDevice, CloseAfterABulkInFailureDoesNotWaitForTheStatusTransfer) {
    // The phone is still attached and sends no notification: the status
    // transfer would stay pending at the bus for ever.
    Modem().Stall(Pipe::BulkIn);
    sim::RunUntilIdle();
    EXPECT_EQ(Modem().Outstanding(Pipe::InterruptIn), 0u);
    EXPECT_GE(Modem().Aborts(Pipe::InterruptIn), 1u);
    ExpectCloseEndsAndStaysLost();
}

TEST_F(LostDevice, AStatusFailureReportsTheLinesGoneEvenToAnRxcharWaiter) {
    SetWaitMask(SERIAL_EV_RXCHAR);
    auto wait = StartWait();
    Modem().Stall(Pipe::InterruptIn);
    sim::RunUntilIdle();
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(EventsOf(*wait), kLinesGone);
    EXPECT_EQ(Modem().Outstanding(Pipe::InterruptIn), 0u) << "the status pipe is not re-armed";
    ExpectRefused();
}

TEST_F(LostDevice, CloseAfterAStatusFailureDoesNotWaitForTheBulkInTransfer) {
    Modem().FailNext(Pipe::InterruptIn, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC);
    sim::RunUntilIdle();
    EXPECT_EQ(Modem().Outstanding(Pipe::BulkIn), 0u);
    ExpectCloseEndsAndStaysLost();
}

TEST_F(LostDevice, AReadWaitingWhenTheDeviceIsLostWaitsUntilCleanup) {
    SetTimeouts(0, 0, 200);
    auto read = StartRead(10);
    Modem().Stall(Pipe::BulkIn);
    sim::RunUntilIdle();
    sim::AdvanceClockMs(1000);
    EXPECT_FALSE(read->Done()) << "its time-out went with the transfer";
    Close();
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
}

TEST_F(LostDevice, ClosingThePortIsNotAFailure) {
    Deliver("x");
    Close();
    EXPECT_EQ(Outstanding(), 0u);
    Open();
    sim::RunUntilIdle();
    Deliver("still here");
    EXPECT_EQ(Drain(), "still here");
}

// ---------------------------------------------------------------- the phone pulled

using PhonePulled = ModemRead;

TEST_F(PhonePulled, WaitingRequestsEndAndTheRemovalCompletesAfterClose) {
    SetTimeouts(0, 0, 1000);
    SetWaitMask(SERIAL_EV_RXCHAR);
    auto wait = StartWait();
    auto read = StartRead(10);
    phone_->Unplug();
    sim::RunUntilIdle();

    // The surprise removal cancels what waits; a transfer failure that comes
    // first reports the lines gone to the waiter instead.
    ASSERT_TRUE(wait->Done());
    if (wait->Status() == STATUS_SUCCESS) {
        EXPECT_EQ(EventsOf(*wait), kLinesGone);
    } else {
        EXPECT_EQ(wait->Status(), STATUS_CANCELLED);
    }
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(node_->state, sim::DevNodeState::SurpriseRemoved);
    EXPECT_EQ(Outstanding(), 0u);

    auto late = StartRead(10);
    EXPECT_TRUE(Refused(*late, STATUS_DELETE_PENDING));
    sim::AdvanceClockMs(5000); // no read timer may fire on the going device
    Close();
    sim::RunUntilIdle();
    EXPECT_EQ(node_->state, sim::DevNodeState::Deleted) << "the last handle let the removal run";
}

TEST_F(PhonePulled, InTheMiddleOfAStreamOfData) {
    SetTimeouts(0, 0, 0);
    Modem().Delay(Pipe::BulkIn, 2);
    std::vector<uint8_t> stream = modem_port::Pattern(64 * 1024);
    Modem().Push(stream.data(), stream.size());
    sim::AdvanceClockMs(9);
    auto read = StartRead(100000);
    phone_->Unplug();
    sim::AdvanceClockMs(50);
    EXPECT_TRUE(read->Done());
    EXPECT_EQ(Outstanding(), 0u);
    Close();
    sim::RunUntilIdle();
}

// ---------------------------------------------------------------- transfers without an IRP

class NoIrp : public ModemRead {
protected:
    // The next IRP the modem driver allocates for itself is refused.
    void FailNextIrp() {
        sim::FaultPlan plan;
        plan.kind = sim::AllocKind::Irp;
        plan.driver = sim::LoadedDriver("vxqt70modem");
        plan.failNth = 1;
        plan_ = sim::AddFaultPlan(plan);
    }
    void TearDown() override {
        if (plan_ != 0) {
            sim::RemoveFaultPlan(plan_);
        }
    }
    int plan_ = 0;
};

TEST_F(NoIrp, ForTheNextBulkInTransferReceptionStopsAndCloseStillEnds) {
    FailNextIrp();
    Deliver("last");
    EXPECT_EQ(sim::InjectedFaults().size(), 1u);
    EXPECT_EQ(Modem().Outstanding(Pipe::BulkIn), 0u);
    EXPECT_EQ(Drain(), "last");
    Close();
    EXPECT_EQ(Outstanding(), 0u);
}

TEST_F(NoIrp, ForTheNextStatusTransferTheLinesFreezeAndCloseStillEnds) {
    FailNextIrp();
    SerialState(usb::kStateDcd);
    EXPECT_EQ(sim::InjectedFaults().size(), 1u);
    EXPECT_EQ(Modem().Outstanding(Pipe::InterruptIn), 0u);
    EXPECT_EQ(ModemStatus() & SERIAL_MSR_DCD, ULONG(SERIAL_MSR_DCD));
    Deliver("reads go on");
    EXPECT_EQ(Drain(), "reads go on");
    Close();
}

TEST_F(NoIrp, ForTheStatusTransferAtOpenTheOpenAndCloseStillEnd) {
    Close();
    FailNextIrp();
    Open();
    sim::RunUntilIdle();
    EXPECT_EQ(Modem().Outstanding(Pipe::InterruptIn), 0u);
    EXPECT_EQ(Modem().Outstanding(Pipe::BulkIn), 1u);
    Close();
    EXPECT_EQ(Outstanding(), 0u);
}

// ---------------------------------------------------------------- a bus that lies

using LyingBus = ModemRead;

TEST_F(LyingBus, ALengthBeyondTheTransferBufferStoresNoMoreThanTheBuffer) {
    Modem().OverstateNext(Pipe::BulkIn, 100);
    Deliver("hello");
    EXPECT_EQ(CommStatus().AmountInInQueue, 4096u);
    EXPECT_EQ(Drain(5), "hello");
    EXPECT_EQ(Modem().Outstanding(Pipe::BulkIn), 1u);
    Drain();
    Deliver("next");
    EXPECT_EQ(Drain(), "next");
}

} // namespace
} // namespace modem_read
