// Failed bulk transfers on the diagnostics port: retried until one shows the
// phone gone or more than twenty have failed since the open, where the modem
// port gives up at the first. A lost device fails every request but the
// status query, which reports every line error.
#include "diag_port/diag_fixture.h"

namespace diag_port {
namespace {

using TransferErrors = BothPorts;

// One ordinary failure: the modem port judges its device lost, the
// diagnostics port issues the next transfer and reads on.
TEST_F(TransferErrors, OneFailedReadIsRetriedOnlyOnDiagnosticsPort) {
    for (Port* port : Both()) {
        port->Usb().FailNext(usb::Pipe::BulkIn, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC);
    }
    sim::RunUntilIdle();

    EXPECT_EQ(Submits(Modem(), usb::Pipe::BulkIn), 0u);
    EXPECT_EQ(Submits(Diag(), usb::Pipe::BulkIn), 1u);

    auto modemRead = Modem().StartRead(4);
    EXPECT_EQ(Modem().Wait(*modemRead).status, STATUS_DELETE_PENDING);
    Diag().Receive("ping");
    auto diagRead = Diag().StartRead(4);
    ASSERT_TRUE(diagRead->Done());
    EXPECT_EQ(Text(*diagRead), "ping");
}

// A failed read tells nobody: a waiting WAIT_ON_MASK stays (the modem port
// reports CTS, DSR and RLSD).
TEST_F(TransferErrors, FailedReadReportsNothingOnDiagnosticsPort) {
    for (Port* port : Both()) {
        port->SetWaitMask(SERIAL_EV_RXCHAR);
    }
    auto modemWait = Modem().StartWaitOnMask();
    auto diagWait = Diag().StartWaitOnMask();
    for (Port* port : Both()) {
        port->Usb().FailNext(usb::Pipe::BulkIn, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC);
    }
    sim::RunUntilIdle();

    ASSERT_TRUE(modemWait->Done());
    EXPECT_EQ(modemWait->OutputAs<ULONG>(), kLinesDropped);
    EXPECT_FALSE(diagWait->Done());
}

using ErrorCount = DiagPort;

// Twenty failures are each retried; the port still works after them.
TEST_F(ErrorCount, TwentyFailuresAreRetried) {
    int failed = 0;
    Diag().Usb().FailNext(usb::Pipe::BulkIn, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC, true);
    phone_->SetEventHook([&](const usb::BusEvent& event) {
        if (event.kind == usb::EventKind::Complete && event.pipe == usb::Pipe::BulkIn &&
            event.interfaceNumber == Diag().Usb().Number() && !NT_SUCCESS(event.status) &&
            ++failed == 20) {
            Diag().Usb().ClearFaults(usb::Pipe::BulkIn);
        }
    });
    sim::RunUntilIdle();
    phone_->SetEventHook(nullptr);

    EXPECT_EQ(failed, 20);
    EXPECT_EQ(Submits(Diag(), usb::Pipe::BulkIn), 20u);
    EXPECT_EQ(Diag().CommStatus().Errors, 0u);
    Diag().Receive("still here");
    auto read = Diag().StartRead(64);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(Text(*read), "still here");
}

// The twenty-first failure since the open is fatal: no further transfer, the
// device is lost. A fresh open would start counting again, but a lost device
// cannot be opened again while it lives.
TEST_F(ErrorCount, TwentyFirstFailureIsFatal) {
    Diag().Usb().FailNext(usb::Pipe::BulkIn, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC, true);
    sim::RunUntilIdle();

    // The open's transfer and twenty retries.
    EXPECT_EQ(Events(Diag(), usb::EventKind::Complete, usb::Pipe::BulkIn).size(), 21u);
    EXPECT_EQ(Submits(Diag(), usb::Pipe::BulkIn), 20u);
    EXPECT_EQ(Diag().Usb().Outstanding(usb::Pipe::BulkIn), 0u);
    auto read = Diag().StartRead(4);
    EXPECT_EQ(Diag().Wait(*read).status, STATUS_DELETE_PENDING);
    Diag().Close();
    EXPECT_EQ(Diag().OpenHandle(), INVALID_HANDLE_VALUE);
}

// Failed writes count as well: ten failed writes and eleven failed reads make
// the twenty-first failure.
TEST_F(ErrorCount, FailedWritesCountWithFailedReads) {
    for (int i = 0; i < 10; i++) {
        Diag().Usb().FailNext(usb::Pipe::BulkOut, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC);
        EXPECT_EQ(Diag().Write("x").status, STATUS_UNSUCCESSFUL);
    }
    EXPECT_EQ(Diag().CommStatus().Errors, 0u);
    Diag().Usb().FailNext(usb::Pipe::BulkIn, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC, true);
    sim::RunUntilIdle();
    EXPECT_EQ(Events(Diag(), usb::EventKind::Complete, usb::Pipe::BulkIn).size(), 11u);
    EXPECT_EQ(Diag().CommStatus().Errors, kAllLineErrors);
}

// A write the application cancels while its piece is on the bus is not a
// transfer error: twenty-one of them leave the device judged healthy and
// reception going, and each reports the bytes that went out before the
// cancel (none here).
TEST_F(ErrorCount, CancelledWritesAreNoTransferErrors) {
    Diag().Usb().HoldBulkOut(true);
    for (int i = 0; i < 21; i++) {
        auto write = Diag().StartWrite("x");
        sim::RunUntilIdle();
        ASSERT_FALSE(write->Done());
        EXPECT_TRUE(CancelIo(Diag().Handle()));
        Result cancelled = Diag().Wait(*write);
        EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
        EXPECT_EQ(cancelled.bytes, 0u);
    }
    Diag().Usb().HoldBulkOut(false);
    EXPECT_EQ(Diag().CommStatus().Errors, 0u);
    Diag().Receive("ping");
    auto read = Diag().StartRead(4);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(Text(*read), "ping");
}

// Each of the failures that show the phone gone is fatal at once.
struct FatalFailure {
    const char* name;
    NTSTATUS status;
    LONG usbdStatus;
};

class FatalFailures : public DiagPort, public ::testing::WithParamInterface<FatalFailure> {};

TEST_P(FatalFailures, OneFailureMarksTheDeviceLost) {
    const FatalFailure& failure = GetParam();
    Diag().Usb().FailNext(usb::Pipe::BulkIn, failure.status, failure.usbdStatus);
    sim::RunUntilIdle();

    EXPECT_EQ(Submits(Diag(), usb::Pipe::BulkIn), 0u);
    auto read = Diag().StartRead(4);
    EXPECT_EQ(Diag().Wait(*read).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(Diag().Write("x").status, STATUS_DELETE_PENDING);
    EXPECT_EQ(Diag().CommStatus().Errors, kAllLineErrors);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, FatalFailures,
    ::testing::Values(
        FatalFailure{"DeviceNotResponding", STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING},
        FatalFailure{"DeviceNotConnected", STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_CRC},
        FatalFailure{"DeviceDataError", STATUS_DEVICE_DATA_ERROR, USBD_STATUS_BUFFER_OVERRUN}),
    [](const ::testing::TestParamInfo<FatalFailure>& param) { return param.param.name; });

// A babbling phone overruns the transfer: the host controller reports a data
// error, which is fatal.
TEST_F(ErrorCount, BabbleIsFatal) {
    Diag().Usb().BabbleNext(usb::Pipe::BulkIn, 16);
    std::vector<uint8_t> bytes = Pattern(4096);
    Diag().Usb().Push(bytes.data(), bytes.size());
    sim::RunUntilIdle();
    EXPECT_EQ(Diag().CommStatus().Errors, kAllLineErrors);
}

// A fatal write failure is the same: the device is lost, later writes fail.
TEST_F(ErrorCount, FatalWriteFailureMarksTheDeviceLost) {
    Diag().Usb().FailNext(usb::Pipe::BulkOut, STATUS_DEVICE_NOT_CONNECTED,
                          USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(Diag().Write("x").status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Diag().Write("y").status, STATUS_DELETE_PENDING);
}

// ---------------------------------------------------------------- the status query
using LostDevice = BothPorts;

// Once the device is lost, the diagnostics port still answers GET_COMMSTATUS
// with every error bit and empty queues, while other requests fail; the modem
// port refuses the status query too.
TEST_F(LostDevice, CommStatusStillAnsweredOnlyOnDiagnosticsPort) {
    Diag().Receive("unread");
    ASSERT_EQ(Diag().CommStatus().AmountInInQueue, 6u);
    Modem().Usb().FailNext(usb::Pipe::BulkIn, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_CRC);
    Diag().Usb().FailNext(usb::Pipe::BulkIn, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_CRC);
    sim::RunUntilIdle();

    SERIAL_STATUS status{};
    Result diag = Diag().Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof(status));
    EXPECT_EQ(diag.status, STATUS_SUCCESS);
    EXPECT_EQ(diag.bytes, sizeof(SERIAL_STATUS));
    EXPECT_EQ(status.Errors, kAllLineErrors);
    EXPECT_EQ(status.AmountInInQueue, 0u);
    EXPECT_EQ(status.AmountInOutQueue, 0u);
    EXPECT_EQ(status.HoldReasons, 0u);

    Result modem = Modem().Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof(status));
    EXPECT_EQ(modem.status, STATUS_DELETE_PENDING);

    ULONG baud = 0;
    EXPECT_EQ(Diag().Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof(baud)).status,
              STATUS_DELETE_PENDING);
}

// ---------------------------------------------------------------- allocation failures
using AllocationFailures = DiagPort;

// A read restart that cannot get its work item is issued directly, so
// reception does not stop while the port stays open.
TEST_F(AllocationFailures, ReadRestartWithoutWorkItemStillReads) {
    sim::FaultPlan plan;
    plan.kind = sim::AllocKind::Pool;
    plan.driver = Diag().Node()->driver;
    plan.site = "NextRead";
    plan.failNth = 1;
    sim::AddFaultPlan(plan);
    Diag().Receive("one");
    ASSERT_EQ(sim::InjectedFaults().size(), 1u) << sim::FaultLog();

    Diag().Receive("two");
    auto read = Diag().StartRead(16);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(Text(*read), "onetwo");
}

// A bulk-in transfer that cannot get its IRP gives its count back, so close
// does not wait for a transfer that never went out.
TEST_F(AllocationFailures, ReadTransferWithoutIrpDoesNotHoldUpClose) {
    sim::FaultPlan plan;
    plan.kind = sim::AllocKind::Irp;
    plan.driver = Diag().Node()->driver;
    plan.failNth = 1;
    sim::AddFaultPlan(plan);
    Diag().Receive("x");
    ASSERT_EQ(sim::InjectedFaults().size(), 1u) << sim::FaultLog();
    EXPECT_EQ(Diag().Usb().Outstanding(usb::Pipe::BulkIn), 0u);

    Diag().Close();
    EXPECT_EQ(Diag().Usb().Outstanding(usb::Pipe::BulkIn), 0u);
}

} // namespace
} // namespace diag_port
