// What only the diagnostics port does: control lines looped back into the
// modem status with nothing sent to the phone, failed transfers retried until
// one shows the phone gone or more than twenty have failed since the open,
// receive events kept its own way, and the read restart's work item.
#include "common/port_test.h"

namespace {

using rig::kAllLineErrors;
using rig::Request;
using usb::EventKind;
using usb::Pipe;

using Emulation = rig::PortTest;

// DTR comes back as DSR, RTS as CTS and carrier, and no event is raised for
// it; nothing reaches the phone, not even an immediate character. (The modem
// port sends the lines to the phone instead and reports what the phone says.)
TEST_F(Emulation, ControlLinesLoopBackIntoTheModemStatus) {
    Open(Diag());
    ASSERT_EQ(Diag().Set(IOCTL_SERIAL_SET_WAIT_MASK,
                         ULONG(SERIAL_EV_DSR | SERIAL_EV_CTS | SERIAL_EV_RLSD)),
              STATUS_SUCCESS);
    Request& wait = Diag().StartWaitOnMask();
    const std::pair<ULONG, ULONG> steps[] = {{IOCTL_SERIAL_SET_DTR, SERIAL_MSR_DSR},
                                             {IOCTL_SERIAL_SET_RTS, 0xB0},
                                             {IOCTL_SERIAL_CLR_RTS, SERIAL_MSR_DSR},
                                             {IOCTL_SERIAL_CLR_DTR, 0}};
    for (auto [code, status] : steps) {
        EXPECT_EQ(Diag().Ioctl(code), STATUS_SUCCESS) << std::hex << code;
        EXPECT_EQ(Diag().ModemStatus(), status) << std::hex << code;
    }
    EXPECT_TRUE(Diag().Usb()->ClassRequests().empty());
    EXPECT_FALSE(wait.Done());
    EXPECT_EQ(Diag().Set(IOCTL_SERIAL_IMMEDIATE_CHAR, UCHAR('Z')), STATUS_SUCCESS);
    sim::RunUntilIdle();
    EXPECT_TRUE(Diag().Submits().empty()) << "an immediate character is accepted, never sent";
}

using Diagnostics = rig::DiagTest;

// With RXFLAG in the mask a good transfer starts the record afresh: the
// events recorded before it are dropped.
TEST_F(Diagnostics, RxFlagReplacesRecordedEvents) {
    ASSERT_EQ(Diag().Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RXCHAR)), STATUS_SUCCESS);
    Diag().Receive("a"); // records RXCHAR, nobody waits
    ASSERT_EQ(Diag().Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RXFLAG | SERIAL_EV_TXEMPTY)),
              STATUS_SUCCESS);
    Diag().Receive("b");
    Request& wait = Diag().StartWaitOnMask();
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(wait.OutputAs<ULONG>(), ULONG(SERIAL_EV_RXFLAG));
}

// ---------------------------------------------------------------- failed transfers

// Twenty ordinary failures since the open are each retried and tell nobody,
// not even a waiter whose mask has every line; the port still works after
// them. The twenty-first is fatal: the open's transfer and twenty retries,
// then nothing more, and the device is lost. Failed writes count with failed
// reads (and only they tell the waiter the lines dropped); a write the
// application cancels is no failure.
struct Count {
    const char* name;
    int failedWrites;
    int cancelledWrites;
    size_t failedReads; // all the bulk-in transfers that end; 20: the last twenty fail
};

class ErrorCount : public rig::DiagTest, public ::testing::WithParamInterface<Count> {};

TEST_P(ErrorCount, TheTwentyFirstFailureIsFatal) {
    const Count& row = GetParam();
    ASSERT_EQ(Diag().Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(0x1FFF)), STATUS_SUCCESS);
    Request& wait = Diag().StartWaitOnMask();
    for (int i = 0; i < row.failedWrites; i++) {
        Diag().Usb()->FailNext(Pipe::BulkOut, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC);
        EXPECT_EQ(Diag().Write("x").Status(), STATUS_UNSUCCESSFUL);
    }
    Diag().Usb()->HoldBulkOut(true);
    for (int i = 0; i < row.cancelledWrites; i++) {
        Request& write = Diag().StartWrite("x");
        sim::RunUntilIdle();
        Diag().CancelIo();
        EXPECT_EQ(write.Status(), STATUS_CANCELLED);
        EXPECT_EQ(write.Bytes(), 0u);
    }
    Diag().Usb()->HoldBulkOut(false);
    EXPECT_EQ(wait.Done(), row.failedWrites + row.cancelledWrites > 0); // CancelIo ends it too
    EXPECT_EQ(Diag().CommStatus().Errors, 0u);
    Phone().ClearTimeline();
    Diag().Usb()->FailNext(Pipe::BulkIn, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC, true);
    int failed = 0;
    Phone().SetEventHook([&](const usb::BusEvent& e) {
        if (e.kind == EventKind::Complete && e.pipe == Pipe::BulkIn &&
            e.interfaceNumber == Diag().Usb()->Number() && ++failed == 20 && row.failedReads == 20)
            Diag().Usb()->ClearFaults(Pipe::BulkIn);
    });
    sim::RunUntilIdle();
    Phone().SetEventHook(nullptr);
    EXPECT_EQ(Diag().Events(EventKind::Complete, Pipe::BulkIn).size(), row.failedReads);
    if (row.failedReads == 20) {
        EXPECT_EQ(Diag().Submits(Pipe::BulkIn).size(), 20u);
        EXPECT_EQ(Diag().CommStatus().Errors, 0u);
        EXPECT_FALSE(wait.Done());
        Diag().Receive("still here");
        EXPECT_EQ(Diag().Drain(), "still here");
        return;
    }
    EXPECT_EQ(Diag().Usb()->Outstanding(Pipe::BulkIn), 0u);
    EXPECT_EQ(Diag().CommStatus().Errors, kAllLineErrors);
    EXPECT_EQ(Diag().Finish(Diag().StartRead(4)).Status(), STATUS_DELETE_PENDING);
    ASSERT_TRUE(Diag().Close());
    EXPECT_EQ(Diag().Open(), RtlNtStatusToDosError(STATUS_DELETE_PENDING))
        << "a lost device cannot be opened again while it lives";
}

INSTANTIATE_TEST_SUITE_P(Rows, ErrorCount,
                         ::testing::Values(Count{"twentyReadsRetried", 0, 0, 20},
                                           Count{"reads", 0, 0, 21},
                                           Count{"writesAndReads", 10, 0, 11},
                                           Count{"afterCancelledWrites", 0, 21, 21}),
                         rig::RowName<Count>);

// ---------------------------------------------------------------- the read restart

// A read restart that cannot get its work item is issued directly, so
// reception does not stop while the port stays open.
TEST_F(Diagnostics, ReadRestartWithoutAWorkItemStillReads) {
    Diag().FailAllocation(sim::AllocKind::Pool, "NextRead");
    Diag().Receive("one");
    ASSERT_EQ(sim::InjectedFaults().size(), 1u) << sim::FaultLog();
    Diag().Receive("two");
    EXPECT_EQ(Diag().Drain(16), "onetwo");
}

// A transfer that completed just before the handle went has queued its read
// restart; close waits for that worker too, which then issues nothing.
TEST_F(Diagnostics, CloseWaitsForAQueuedReadRestart) {
    Diag().Usb()->Push("data");
    HANDLE handle = Diag().Release();
    size_t queuedAtClose = 0;
    bool closed = false;
    {
        sim::Thread closer("closer", [&] {
            queuedAtClose = sim::QueuedWorkItems();
            closed = CloseHandle(handle) != FALSE;
        });
        sim::RunUntilIdle();
    }
    EXPECT_EQ(queuedAtClose, 1u);
    EXPECT_TRUE(closed);
    EXPECT_EQ(sim::QueuedWorkItems(), 0u);
    EXPECT_EQ(Diag().Usb()->Outstanding(Pipe::BulkIn), 0u);
    EXPECT_TRUE(Diag().Submits(Pipe::BulkIn).empty());
}

} // namespace
