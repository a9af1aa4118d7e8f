// The diagnostics port's writer: pieces of at most 4096 bytes, a failed
// request that reports the lines dropping and lets the next one go, and a
// TXEMPTY that only a waiting request ever sees.
#include "diag_port/diag_fixture.h"

namespace diag_port {
namespace {

using Writes = DiagPort;

TEST_F(Writes, LongWriteGoesOutInPieces) {
    std::vector<uint8_t> data = Pattern(10000);
    auto write = Diag().StartWrite(data);
    Result result = Diag().Wait(*write);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.bytes, 10000u);
    std::vector<ULONG> pieces;
    for (const auto& event : Events(Diag(), usb::EventKind::Submit, usb::Pipe::BulkOut)) {
        pieces.push_back(event.length);
    }
    EXPECT_EQ(pieces, (std::vector<ULONG>{4096, 4096, 1808}));
    EXPECT_EQ(Diag().Usb().TakeReceived(), data);
    EXPECT_EQ(Diag().Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).TransmittedCount, 10000u);
}

TEST_F(Writes, QueuedWritesGoOutInOrderAndCountInTheOutQueue) {
    Diag().Usb().HoldBulkOut(true);
    auto first = Diag().StartWrite("first,");
    auto second = Diag().StartWrite("second");
    sim::RunUntilIdle();
    EXPECT_EQ(Diag().CommStatus().AmountInOutQueue, 12u);
    Diag().Usb().HoldBulkOut(false);
    EXPECT_EQ(Diag().Wait(*first).status, STATUS_SUCCESS);
    EXPECT_EQ(Diag().Wait(*second).status, STATUS_SUCCESS);
    EXPECT_EQ(Diag().Usb().TakeReceivedText(), "first,second");
    EXPECT_EQ(Diag().CommStatus().AmountInOutQueue, 0u);
}

TEST_F(Writes, CancelledQueuedWriteLeavesTheOutQueue) {
    Diag().Usb().HoldBulkOut(true);
    auto first = Diag().StartWrite(std::string(100, 'a'));
    auto second = Diag().StartWrite(std::string(500, 'b'));
    sim::RunUntilIdle();
    ULONG flags = SERIAL_PURGE_TXABORT;
    ASSERT_EQ(Diag().Set(IOCTL_SERIAL_PURGE, flags), STATUS_SUCCESS);
    ASSERT_TRUE(second->Done());
    EXPECT_EQ(second->Status(), STATUS_CANCELLED);
    EXPECT_EQ(Diag().CommStatus().AmountInOutQueue, 100u);
    EXPECT_FALSE(first->Done());
    Diag().Usb().HoldBulkOut(false);
    EXPECT_EQ(Diag().Wait(*first).status, STATUS_SUCCESS);
}

// ---------------------------------------------------------------- failures
using WriteFailures = BothPorts;

// A piece fails while a second request waits: the failing request ends with
// the bus driver's status and no bytes, the second one still goes out. Only
// the diagnostics port tells the waiting WAIT_ON_MASK that the lines dropped
// (CTS, DSR, RLSD: 0x38), whatever its mask.
TEST_F(WriteFailures, FailedWriteReportsLinesDroppedAndNextRequestGoesOut) {
    std::vector<std::shared_ptr<Request>> first, second, waits;
    for (Port* port : Both()) {
        port->SetWaitMask(SERIAL_EV_RXCHAR);
        waits.push_back(port->StartWaitOnMask());
        port->Usb().HoldBulkOut(true);
        first.push_back(port->StartWrite("doomed"));
        second.push_back(port->StartWrite("survivor"));
    }
    sim::RunUntilIdle();
    for (Port* port : Both()) {
        port->Usb().FailNext(usb::Pipe::BulkOut, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC);
        port->Usb().HoldBulkOut(false);
    }
    sim::RunUntilIdle();

    for (size_t i = 0; i < 2; i++) {
        Port& port = *Both()[i];
        Result failed = port.Wait(*first[i]);
        EXPECT_EQ(failed.status, STATUS_UNSUCCESSFUL) << port.Name();
        EXPECT_EQ(failed.bytes, 0u) << port.Name();
        Result next = port.Wait(*second[i]);
        EXPECT_EQ(next.status, STATUS_SUCCESS) << port.Name();
        EXPECT_EQ(port.Usb().TakeReceivedText(), "survivor") << port.Name();
        // A finished request, failed or not, no longer counts as queued.
        EXPECT_EQ(port.CommStatus().AmountInOutQueue, 0u) << port.Name();
    }
    ASSERT_TRUE(waits[1]->Done());
    EXPECT_EQ(waits[1]->Status(), STATUS_SUCCESS);
    EXPECT_EQ(waits[1]->OutputAs<ULONG>(), kLinesDropped);
    EXPECT_FALSE(waits[0]->Done());
}

// TXEMPTY is handed to a waiting request and never recorded on the
// diagnostics port, so it leaves what was recorded alone; the modem port
// records it with the rest and then forgets the lot.
TEST_F(WriteFailures, TxEmptyWithNobodyWaitingIsNotRecorded) {
    for (Port* port : Both()) {
        port->SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
        port->Receive("in");
        EXPECT_EQ(port->Write("out").status, STATUS_SUCCESS) << port->Name();
    }
    auto diagWait = Diag().StartWaitOnMask();
    ASSERT_TRUE(diagWait->Done());
    EXPECT_EQ(diagWait->OutputAs<ULONG>(), static_cast<ULONG>(SERIAL_EV_RXCHAR));

    auto modemWait = Modem().StartWaitOnMask();
    sim::RunUntilIdle();
    EXPECT_FALSE(modemWait->Done());
}

// With a request waiting, the queue running empty delivers TXEMPTY alone.
TEST_F(WriteFailures, TxEmptyReachesAWaitingRequest) {
    Diag().SetWaitMask(SERIAL_EV_TXEMPTY);
    auto wait = Diag().StartWaitOnMask();
    ASSERT_EQ(Diag().Write("out").status, STATUS_SUCCESS);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->OutputAs<ULONG>(), static_cast<ULONG>(SERIAL_EV_TXEMPTY));
}

using WriteAllocation = DiagPort;

// A request that cannot get its write context fails on its own; the request
// behind it is still sent, and later writes too.
TEST_F(WriteAllocation, MissingContextFailsOnlyItsOwnRequest) {
    Diag().Usb().HoldBulkOut(true);
    auto onBus = Diag().StartWrite("a");
    auto unlucky = Diag().StartWrite("b");
    auto behind = Diag().StartWrite("c");
    sim::RunUntilIdle();

    sim::FaultPlan plan;
    plan.kind = sim::AllocKind::Pool;
    plan.driver = Diag().Node()->driver;
    plan.site = "PassiveWrite";
    plan.failNth = 1;
    sim::AddFaultPlan(plan);
    Diag().Usb().HoldBulkOut(false);

    EXPECT_EQ(Diag().Wait(*onBus).status, STATUS_SUCCESS);
    Result failed = Diag().Wait(*unlucky);
    EXPECT_EQ(failed.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(failed.bytes, 0u);
    EXPECT_EQ(Diag().Wait(*behind).status, STATUS_SUCCESS);
    EXPECT_EQ(Diag().Write("d").status, STATUS_SUCCESS);
    EXPECT_EQ(Diag().Usb().TakeReceivedText(), "acd");
    EXPECT_EQ(Diag().CommStatus().AmountInOutQueue, 0u);
    EXPECT_EQ(sim::InjectedFaults().size(), 1u) << sim::FaultLog();
}

} // namespace
} // namespace diag_port
