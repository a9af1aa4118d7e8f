// The phone misbehaving on purpose: each fault kind, as a driver meets it.
#include "usb_test.h"

#include "platform/usb/phonecore/phonecore.h"

namespace usbtest {
namespace {

using usb::Pipe;
using Strings = std::vector<std::string>;

class UsbFaults : public UsbTest {};

TEST_F(UsbFaults, OneShotErrorFailsThePendingTransferOnly) {
    Plug();
    Request& a = Read();
    sim::RunUntilIdle();
    ports_[0].ifc->FailNext(Pipe::BulkIn, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC);
    sim::RunUntilIdle();
    ASSERT_TRUE(a.done); // the fault reaches the transfer already waiting
    EXPECT_EQ(a.status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(a.Usbd(), USBD_STATUS_CRC);
    EXPECT_FALSE(ports_[0].ifc->Halted(Pipe::BulkIn));
    ports_[0].ifc->Push("after");
    Request& b = Read();
    sim::RunUntilIdle();
    EXPECT_EQ(b.status, STATUS_SUCCESS);
    EXPECT_EQ(b.Text(), "after");
}

TEST_F(UsbFaults, HaltingErrorNeedsAReset) {
    Plug();
    ports_[0].ifc->FailNext(Pipe::InterruptIn, STATUS_UNSUCCESSFUL,
                            USBD_STATUS_DEV_NOT_RESPONDING, false, true);
    Request& a = Read(Pipe::InterruptIn, 16);
    sim::RunUntilIdle();
    EXPECT_EQ(a.Usbd(), USBD_STATUS_DEV_NOT_RESPONDING);
    ports_[0].ifc->SendSerialState(usb::kStateDcd);
    Request& b = Read(Pipe::InterruptIn, 16);
    sim::RunUntilIdle();
    EXPECT_EQ(b.Usbd(), USBD_STATUS_ENDPOINT_HALTED);
    PipeRequest(URB_FUNCTION_RESET_PIPE, Pipe::InterruptIn);
    Request& c = Read(Pipe::InterruptIn, 16);
    sim::RunUntilIdle();
    EXPECT_EQ(c.Length(), 10u);
}

TEST_F(UsbFaults, StallOnTheControlPipeFailsOneClassRequest) {
    Plug();
    ports_[0].ifc->Stall(Pipe::Control);
    Request& a = Class(usb::kSetControlLineState, 1);
    Request& b = Class(usb::kSetControlLineState, 3);
    sim::RunUntilIdle();
    EXPECT_EQ(a.Usbd(), USBD_STATUS_STALL_PID);
    EXPECT_EQ(b.status, STATUS_SUCCESS);
    auto seen = ports_[0].ifc->ClassRequests();
    ASSERT_EQ(seen.size(), 2u); // the stalled one is seen too
    EXPECT_EQ(seen[0].usbdStatus, USBD_STATUS_STALL_PID);
    EXPECT_EQ(ports_[0].ifc->ControlLines(), 3);
}

TEST_F(UsbFaults, DelayHoldsCompletionOnTheVirtualClock) {
    Plug();
    ports_[0].ifc->Delay(Pipe::BulkOut, 20);
    LONGLONG start = sim::Now();
    Request& w = Write("slow");
    sim::RunUntilIdle();
    sim::AdvanceClockMs(19);
    EXPECT_FALSE(w.done);
    sim::AdvanceClockMs(1);
    ASSERT_TRUE(w.done);
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(sim::Now() - start, 20 * 10000);
    // Class requests wait the same way when the control pipe is slow.
    ports_[0].ifc->Delay(Pipe::Control, 5);
    Request& c = Class(usb::kSetControlLineState, 1);
    sim::AdvanceClockMs(4);
    EXPECT_FALSE(c.done);
    sim::AdvanceClockMs(1);
    EXPECT_TRUE(c.done);
}

TEST_F(UsbFaults, ShortAndEmptyPackets) {
    Plug();
    Request& empty = Read();
    sim::RunUntilIdle();
    ports_[0].ifc->ShortNext(Pipe::BulkIn, 0);
    sim::RunUntilIdle();
    ASSERT_TRUE(empty.done);
    EXPECT_EQ(empty.status, STATUS_SUCCESS);
    EXPECT_EQ(empty.Length(), 0u);

    ports_[0].ifc->Push("0123456789");
    ports_[0].ifc->ShortNext(Pipe::BulkIn, 3);
    Request& part = Read();
    Request& rest = Read();
    sim::RunUntilIdle();
    EXPECT_EQ(part.Text(), "012");
    EXPECT_EQ(rest.Text(), "3456789");

    // A partial write: the phone takes only two bytes.
    ports_[0].ifc->ShortNext(Pipe::BulkOut, 2);
    Request& w = Write("abcd");
    sim::RunUntilIdle();
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.Length(), 2u);
    EXPECT_EQ(ports_[0].ifc->TakeReceivedText(), "ab");
}

TEST_F(UsbFaults, BabbleFailsTheTransferWithoutWritingPastItsBuffer) {
    Plug();
    // The request's buffer sits inside a larger block so a write past it
    // would show.
    requests_.push_back(std::make_unique<Request>());
    Request& r = *requests_.back();
    BuildTransfer(r, ports_[0], Pipe::BulkIn, 16);
    r.buffer.resize(32, 0x55);
    r.urb.UrbBulkOrInterruptTransfer.TransferBuffer = r.buffer.data();
    ports_[0].ifc->Push("0123456789ABCDEFGHIJ");
    ports_[0].ifc->BabbleNext(Pipe::BulkIn, 48);
    Send(r, ports_[0]);
    sim::RunUntilIdle();
    EXPECT_EQ(r.status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(r.Usbd(), USBD_STATUS_BUFFER_OVERRUN);
    EXPECT_EQ(r.Length(), 16u);
    EXPECT_EQ(std::string(r.buffer.begin(), r.buffer.begin() + 16), "0123456789ABCDEF");
    for (size_t i = 16; i < 32; ++i)
        EXPECT_EQ(r.buffer[i], 0x55) << i;
    EXPECT_TRUE(ports_[0].ifc->Halted(Pipe::BulkIn));
}

TEST_F(UsbFaults, OverstatedLengthIsReportedButNeverWritten) {
    Plug();
    requests_.push_back(std::make_unique<Request>());
    Request& r = *requests_.back();
    BuildTransfer(r, ports_[0], Pipe::BulkIn, 16);
    r.buffer.resize(32, 0x55);
    r.urb.UrbBulkOrInterruptTransfer.TransferBuffer = r.buffer.data();
    ports_[0].ifc->OverstateNext(Pipe::BulkIn, 100);
    ports_[0].ifc->Push("hello");
    Send(r, ports_[0]);
    sim::RunUntilIdle();
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.Length(), 116u); // larger than the 16-byte buffer: the lie
    EXPECT_EQ(r.buffer[5], 0);   // inside the buffer, past the data: untouched
    EXPECT_EQ(r.buffer[16], 0x55);
}

TEST_F(UsbFaults, CompleteAtOnceCompletesInsideTheCall) {
    Plug();
    ports_[0].ifc->CompleteAtOnce(Pipe::BulkOut);
    Request& w = Write("now");
    EXPECT_TRUE(w.done);
    EXPECT_TRUE(w.completedInsideCall);
    EXPECT_EQ(w.returned, STATUS_SUCCESS);
    EXPECT_EQ(w.completionIrql, PASSIVE_LEVEL);

    // With nothing to give, an IN transfer still pends.
    ports_[0].ifc->CompleteAtOnce(Pipe::BulkIn);
    Request& r = Read();
    EXPECT_EQ(r.returned, STATUS_PENDING);
    ports_[0].ifc->Push("x");
    Request& again = Read(); // queued behind the first: FIFO order holds
    EXPECT_EQ(again.returned, STATUS_PENDING);
    sim::RunUntilIdle();
    EXPECT_EQ(r.Text(), "x");

    Request& reset = PipeRequest(URB_FUNCTION_RESET_PIPE, Pipe::BulkIn);
    EXPECT_TRUE(reset.completedInsideCall);
    EXPECT_EQ(reset.returned, STATUS_SUCCESS);
    PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe::BulkIn);
    sim::RunUntilIdle();
    EXPECT_EQ(again.status, STATUS_CANCELLED);
}

// The plan by count: each kind waits `skip` transfers, then hits `count`
// (0: until cleared). Five writes, one letter each; the row says which end
// as the fault makes them end ('.' ok, 'x' failed, 'g' gone).
struct PlanCase {
    const char* name;
    usb::FaultKind kind;
    usb::FaultPlan plan;
    const char* outcomes;
    const char* received;
};

const PlanCase kPlanCases[] = {
    {"ErrorOnce", usb::FaultKind::Error, {.skip = 0, .count = 1, .usbdStatus = USBD_STATUS_CRC},
     "x....", "bcde"},
    {"ErrorTwiceAfterTwo", usb::FaultKind::Error,
     {.skip = 2, .count = 2, .usbdStatus = USBD_STATUS_CRC}, "..xx.", "abe"},
    {"ErrorUntilCleared", usb::FaultKind::Error,
     {.skip = 1, .count = 0, .usbdStatus = USBD_STATUS_CRC}, ".xxxx", "a"},
    {"ShortAfterOne", usb::FaultKind::Short, {.skip = 1, .value = 0}, ".....", "acde"},
    {"StallHaltsUntilReset", usb::FaultKind::Stall, {.skip = 3}, "...xx", "abc"},
    {"UnplugOnTheFourth", usb::FaultKind::Unplug, {.skip = 3}, "...gg", "abc"},
};

class FaultPlanByCount : public UsbTest, public ::testing::WithParamInterface<PlanCase> {};

TEST_P(FaultPlanByCount, HitsTheTransfersItCounts) {
    const PlanCase& c = GetParam();
    Plug();
    ports_[0].ifc->Arm(Pipe::BulkOut, c.kind, c.plan);
    std::string outcomes;
    for (char letter : std::string("abcde")) {
        Request& w = Write(std::string(1, letter));
        sim::RunUntilIdle();
        outcomes += w.status == STATUS_SUCCESS                ? '.'
                    : w.status == STATUS_DEVICE_NOT_CONNECTED ? 'g'
                                                              : 'x';
    }
    EXPECT_EQ(outcomes, c.outcomes);
    EXPECT_EQ(ports_[0].ifc->TakeReceivedText(), c.received);
    EXPECT_EQ(phone_->Plugged(), c.kind != usb::FaultKind::Unplug);
    if (c.kind == usb::FaultKind::Unplug)
        return;
    // Cleared, and a halt reset: the pipe carries data again.
    ports_[0].ifc->ClearFaults(Pipe::BulkOut);
    PipeRequest(URB_FUNCTION_RESET_PIPE, Pipe::BulkOut);
    Request& after = Write("f");
    sim::RunUntilIdle();
    EXPECT_EQ(after.status, STATUS_SUCCESS);
    EXPECT_EQ(ports_[0].ifc->TakeReceivedText(), "f");
}

std::string PlanName(const ::testing::TestParamInfo<PlanCase>& row) { return row.param.name; }
INSTANTIATE_TEST_SUITE_P(Table, FaultPlanByCount, ::testing::ValuesIn(kPlanCases), PlanName);

// The diagnostics responder the Wine bus always runs: bulk-out comes back on
// bulk-in, and while it holds a full buffer for the host it NAKs.
TEST_F(UsbFaults, LoopBackAnswersAndHoldsBackWhenFull) {
    usb::PhoneConfig config;
    config.loopBack = true;
    Plug(config);
    Request& r = Read(Pipe::BulkIn, 64, 1);
    Write("ping", 1);
    sim::RunUntilIdle();
    EXPECT_EQ(r.Text(), "ping");
    Write(std::string(PHONE_LOOPBACK_LIMIT, 'a'), 1);
    Request& held = Write("b", 1);
    sim::RunUntilIdle();
    EXPECT_FALSE(held.done);
    EXPECT_EQ(ports_[1].ifc->QueuedBytes(), size_t(PHONE_LOOPBACK_LIMIT));
    Request& drain = Read(Pipe::BulkIn, PHONE_LOOPBACK_LIMIT, 1);
    sim::RunUntilIdle();
    EXPECT_EQ(drain.Length(), ULONG(PHONE_LOOPBACK_LIMIT));
    EXPECT_TRUE(held.done);
}

} // namespace
} // namespace usbtest
