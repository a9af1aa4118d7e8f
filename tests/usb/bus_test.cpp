// The bus under a minimal function driver: transfers and how the phone ends
// them (data, short packets, faults, holds, delays), the URBs it refuses,
// class requests on the default pipe, aborts, cancels and resets, the PDO's
// Plug and Play answers, and pulling the phone.
#include "usb_test.h"

#include "common/pnp_rows.h"

#include "platform/usb/phonecore/phonecore.h"

namespace usbtest {
namespace {

using Phone = void (*)(usb::Interface&);

class UsbBus : public UsbTest {};

// One transfer on interface 0: what the phone does before it is sent and
// once it waits at the bus, how it ends, and what the pipe does next (a
// halted pipe refuses until RESET_PIPE; after the reset, with the faults
// cleared, a read of the same length gets `next` with "after" pushed, a
// write of "after" gives the phone `next`).
struct TransferRow {
    const char* name;
    Pipe pipe;
    std::string data; // written (bulk-out)
    ULONG length;     // read (bulk-in, interrupt-in)
    Phone before, after;
    NTSTATUS status;
    USBD_STATUS usbd;
    ULONG bytes;      // TransferBufferLength at the end
    std::string text; // what the read's buffer holds, or what the phone got
    bool halted;
    std::string next;
    ULONG ms = 0;         // the virtual time it takes
    bool shortOk = true;  // USBD_SHORT_TRANSFER_OK
    bool inCall = false;  // completed inside IofCallDriver, at PASSIVE_LEVEL
};

const TransferRow kTransfers[] = {
    // 8-byte packets are short on a 64-byte endpoint: one transfer each.
    {"ShortPacketsEndTransfers", Pipe::BulkIn, "", 4096,
     [](usb::Interface& i) { i.Push("abcdefghij", 10, Pipe::BulkIn, 8); }, nullptr,
     STATUS_SUCCESS, USBD_STATUS_SUCCESS, 8, "abcdefgh", false, "ij"},
    {"FullPacketsWaitForAZeroLengthOne", Pipe::BulkIn, "", 4096,
     [](usb::Interface& i) { i.Push(std::string(128, 'x').data(), 128, Pipe::BulkIn, 0, false); },
     [](usb::Interface& i) { i.PushPacket({}); }, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 128,
     std::string(128, 'x'), false, "after"},
    {"NoMoreThanTheBufferTheRestWaits", Pipe::BulkIn, "", 4,
     [](usb::Interface& i) { i.Push("0123456789"); }, nullptr, STATUS_SUCCESS,
     USBD_STATUS_SUCCESS, 4, "0123", false, "4567"},
    {"ShortPacketWithoutShortTransferOk", Pipe::BulkIn, "", 64, nullptr,
     [](usb::Interface& i) { i.Push("hi"); }, STATUS_UNSUCCESSFUL,
     USBD_STATUS_ERROR_SHORT_TRANSFER, 2, "hi", false, "after", 0, false},
    {"HeldWriteWaits", Pipe::BulkOut, "ATI\r", 0, [](usb::Interface& i) { i.HoldBulkOut(true); },
     [](usb::Interface& i) { i.HoldBulkOut(false); }, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 4,
     "ATI\r", false, "after"},
    {"OneShotErrorFailsTheWaitingTransferOnly", Pipe::BulkIn, "", 4096, nullptr,
     [](usb::Interface& i) { i.FailNext(Pipe::BulkIn, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC); },
     STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC, 0, "", false, "after"},
    {"HaltingErrorNeedsAReset", Pipe::InterruptIn, "", 16,
     [](usb::Interface& i) {
         i.FailNext(Pipe::InterruptIn, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING, false,
                    true);
     },
     nullptr, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING, 0, "", true, "after"},
    {"StallHaltsUntilReset", Pipe::BulkIn, "", 4096, [](usb::Interface& i) { i.Stall(Pipe::BulkIn); },
     nullptr, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0, "", true, "after"},
    {"DelayHoldsCompletionOnTheClock", Pipe::BulkOut, "slow", 0,
     [](usb::Interface& i) { i.Delay(Pipe::BulkOut, 20); }, nullptr, STATUS_SUCCESS,
     USBD_STATUS_SUCCESS, 4, "slow", false, "after", 20},
    {"EmptyPacketEndsAWaitingRead", Pipe::BulkIn, "", 4096, nullptr,
     [](usb::Interface& i) { i.ShortNext(Pipe::BulkIn, 0); }, STATUS_SUCCESS, USBD_STATUS_SUCCESS,
     0, "", false, "after"},
    {"ShortNextEndsATransferEarly", Pipe::BulkIn, "", 4096,
     [](usb::Interface& i) {
         i.Push("0123456789");
         i.ShortNext(Pipe::BulkIn, 3);
     },
     nullptr, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 3, "012", false, "3456789"},
    {"PartialWrite", Pipe::BulkOut, "abcd", 0, [](usb::Interface& i) { i.ShortNext(Pipe::BulkOut, 2); },
     nullptr, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 2, "ab", false, "after"},
    {"BabbleFailsWithoutWritingPastTheBuffer", Pipe::BulkIn, "", 16,
     [](usb::Interface& i) {
         i.Push("0123456789ABCDEFGHIJ");
         i.BabbleNext(Pipe::BulkIn, 48);
     },
     nullptr, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_BUFFER_OVERRUN, 16, "0123456789ABCDEF", true,
     "GHIJ"},
    // Reported larger than the buffer (the lie), never written past the data.
    {"OverstatedLengthIsNeverWritten", Pipe::BulkIn, "", 16,
     [](usb::Interface& i) {
         i.OverstateNext(Pipe::BulkIn, 100);
         i.Push("hello");
     },
     nullptr, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 116, std::string("hello") + std::string(11, '\0'),
     false, "after"},
    {"AtOnceWriteCompletesInsideTheCall", Pipe::BulkOut, "now", 0,
     [](usb::Interface& i) { i.CompleteAtOnce(Pipe::BulkOut); }, nullptr, STATUS_SUCCESS,
     USBD_STATUS_SUCCESS, 3, "now", false, "after", 0, true, true},
    {"AtOnceReadWithNothingToGivePends", Pipe::BulkIn, "", 4096,
     [](usb::Interface& i) { i.CompleteAtOnce(Pipe::BulkIn); },
     [](usb::Interface& i) { i.Push("x"); }, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 1, "x", false,
     "after"},
};

class Transfers : public UsbTest, public ::testing::WithParamInterface<TransferRow> {};

TEST_P(Transfers, EndAsThePhoneMakesThem) {
    const TransferRow& row = GetParam();
    Plug();
    usb::Interface& ifc = *ports_[0].ifc;
    const bool in = row.pipe != Pipe::BulkOut;
    auto transfer = [&](const std::string& data, bool shortOk) -> Request& {
        Request& r = Transfer(row.pipe, in ? row.length : ULONG(data.size()), 0, shortOk);
        std::copy(data.begin(), data.end(), r.buffer.begin());
        return Send(r);
    };
    if (row.before)
        row.before(ifc);
    const LONGLONG start = sim::Now();
    Request& r = transfer(row.data, row.shortOk);
    EXPECT_EQ(r.completedInsideCall, row.inCall);
    EXPECT_EQ(r.returned, row.inCall ? row.status : STATUS_PENDING); // never a refusal inside
    sim::RunUntilIdle();
    if (row.after || row.ms) {
        EXPECT_FALSE(r.done);
        EXPECT_EQ(ifc.Outstanding(row.pipe), 1u);
        EXPECT_EQ(ifc.TakeReceived().size(), 0u);
    }
    if (row.ms) {
        sim::AdvanceClockMs(row.ms - 1);
        EXPECT_FALSE(r.done);
        sim::AdvanceClockMs(1);
        EXPECT_EQ(sim::Now() - start, LONGLONG(row.ms) * 10000);
    }
    if (row.after) {
        row.after(ifc);
        EXPECT_FALSE(r.done); // nothing completes inside the phone's call
        sim::RunUntilIdle();
    }
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.completionIrql, row.inCall ? PASSIVE_LEVEL : DISPATCH_LEVEL);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.Usbd(), row.usbd);
    EXPECT_EQ(r.Length(), row.bytes);
    EXPECT_EQ(in ? r.Text() : ifc.TakeReceivedText(), row.text);
    EXPECT_TRUE(r.GuardIntact());
    EXPECT_EQ(ifc.Halted(row.pipe), row.halted);

    ifc.ClearFaults(row.pipe);
    if (in)
        ifc.Push("after", row.pipe);
    if (row.halted) {
        Request& refused = transfer("x", true); // the data waits behind the halt
        sim::RunUntilIdle();
        EXPECT_EQ(refused.Usbd(), USBD_STATUS_ENDPOINT_HALTED);
    }
    Request& reset = PipeRequest(URB_FUNCTION_RESET_PIPE, row.pipe);
    sim::AdvanceClockMs(row.ms);
    EXPECT_EQ(reset.status, STATUS_SUCCESS);
    EXPECT_EQ(ifc.Resets(row.pipe), 1u);
    EXPECT_FALSE(ifc.Halted(row.pipe));
    Request& next = transfer("after", true);
    sim::AdvanceClockMs(row.ms);
    EXPECT_EQ(next.status, STATUS_SUCCESS);
    EXPECT_EQ(in ? next.Text() : ifc.TakeReceivedText(), row.next);
}

INSTANTIATE_TEST_SUITE_P(Table, Transfers, ::testing::ValuesIn(kTransfers),
                         rig::RowName<TransferRow>);

// Every URB the bus refuses, and what it answers: the phone's verdicts, the
// same ones the Wine bus driver gives, since both ask platform/usb/phonecore.
// A row changes a 16-byte bulk-in read of interface 0 (a class request's
// buffer fields lie where a transfer's do); unset columns leave it as built.
enum class Handle { Kept, Null, OwnBulkOut, OtherBulkIn, OtherStatus };
struct UrbCase {
    const char* name;
    USHORT function = 0; // the header's
    USHORT length = 0;
    Handle pipe = Handle::Kept;
    ULONG keepFlags = ~0u; // the transfer flags left set
    bool noBuffer = false;
    LONG bufferLength = -1;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    USBD_STATUS usbd = USBD_STATUS_INVALID_PARAMETER;
};

const UrbCase kUrbCases[] = {
    {.name = "UnknownFunction", .function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
     .length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), .usbd = USBD_STATUS_INVALID_URB_FUNCTION},
    {.name = "TransferHeaderTooShort", .length = 71},
    {.name = "ForeignPipeHandle", .pipe = Handle::OtherBulkIn,
     .usbd = USBD_STATUS_INVALID_PIPE_HANDLE},
    // Also what a driver that did not wait for START sends: the handle is 0.
    {.name = "NullPipeHandle", .pipe = Handle::Null, .usbd = USBD_STATUS_INVALID_PIPE_HANDLE},
    {.name = "NoBufferForALength", .noBuffer = true},
    {.name = "OutFlagOnAnInPipe", .keepFlags = ~ULONG(USBD_TRANSFER_DIRECTION_IN)},
    {.name = "InFlagOnBulkOut", .pipe = Handle::OwnBulkOut},
    {.name = "EmptyTransferWithoutABuffer", .pipe = Handle::OwnBulkOut, .keepFlags = 0,
     .noBuffer = true, .bufferLength = 0, .status = STATUS_SUCCESS, .usbd = USBD_STATUS_SUCCESS},
    {.name = "AbortHeaderTooShort", .function = URB_FUNCTION_ABORT_PIPE, .length = 23},
    {.name = "ResetOfAForeignPipe", .function = URB_FUNCTION_RESET_PIPE,
     .length = sizeof(_URB_PIPE_REQUEST), .pipe = Handle::OtherStatus,
     .usbd = USBD_STATUS_INVALID_PIPE_HANDLE},
    {.name = "ClassHeaderTooShort", .function = URB_FUNCTION_CLASS_INTERFACE, .length = 79},
    {.name = "ClassDataStageWithoutABuffer", .function = URB_FUNCTION_CLASS_INTERFACE,
     .length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), .noBuffer = true, .bufferLength = 7},
};

class UrbVerdicts : public UsbTest, public ::testing::WithParamInterface<UrbCase> {};

// A refused request ends at the next frame tick (never inside the call),
// moves no data, and leaves a "refused" line in the timeline and the debug
// log.
TEST_P(UrbVerdicts, RefusedOrCarried) {
    const UrbCase& c = GetParam();
    Plug();
    Request& r = Transfer(Pipe::BulkIn, 16);
    auto& t = r.urb.UrbBulkOrInterruptTransfer;
    r.urb.UrbHeader.Function = c.function != 0 ? c.function : r.urb.UrbHeader.Function;
    r.urb.UrbHeader.Length = c.length != 0 ? c.length : r.urb.UrbHeader.Length;
    const USBD_PIPE_HANDLE handles[] = {t.PipeHandle, nullptr, ports_[0].pipe[1], ports_[1].pipe[0],
                                        ports_[1].pipe[2]};
    t.PipeHandle = handles[static_cast<int>(c.pipe)];
    t.TransferFlags &= c.keepFlags;
    t.TransferBuffer = c.noBuffer ? nullptr : t.TransferBuffer;
    t.TransferBufferLength = c.bufferLength >= 0 ? ULONG(c.bufferLength) : t.TransferBufferLength;
    Send(r);
    EXPECT_FALSE(r.completedInsideCall);
    sim::RunUntilIdle();
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.Usbd(), c.usbd);
    EXPECT_TRUE(ports_[0].ifc->TakeReceived().empty());
    const bool refused = !NT_SUCCESS(c.status);
    EXPECT_EQ(sim::DebugLog().find("interface 0 refused") != std::string::npos, refused);
    auto timeline = phone_->TimelineText(0);
    EXPECT_EQ(timeline.front().rfind("refused", 0) == 0, refused) << timeline.front();
}

INSTANTIATE_TEST_SUITE_P(Table, UrbVerdicts, ::testing::ValuesIn(kUrbCases), rig::RowName<UrbCase>);

// One class request on the default pipe: how it ends, the setup packet the
// phone saw (recorded even when stalled), what it changed; then the next
// request goes through (a control pipe's stall ends one request only).
struct ClassRow {
    const char* name;
    Phone before;
    UCHAR request;
    USHORT value;
    std::vector<uint8_t> data;
    NTSTATUS status;
    USBD_STATUS usbd;
    ULONG ms = 0;
};

const ClassRow kClassRows[] = {
    // 9600 bit/s, one stop bit, even parity, 7 data bits.
    {"SetLineCodingCarriesItsSevenBytes", nullptr, usb::kSetLineCoding, 0,
     {0x80, 0x25, 0x00, 0x00, 0x00, 0x02, 0x07}, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
    {"BreakHasNoDataStage", nullptr, usb::kSendBreak, 0xFFFF, {}, STATUS_SUCCESS,
     USBD_STATUS_SUCCESS},
    {"ThreeByteLineCodingStalls", nullptr, usb::kSetLineCoding, 0, {1, 2, 3}, STATUS_UNSUCCESSFUL,
     USBD_STATUS_STALL_PID},
    {"UnknownRequestStalls", nullptr, 0x42, 0, {}, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
    {"ControlPipeStallFailsOneRequest", [](usb::Interface& i) { i.Stall(Pipe::Control); },
     usb::kSetControlLineState, 3, {}, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
    // DTR and RTS up, then (as every row ends) RTS down.
    {"SlowControlPipeWaitsOnTheClock", [](usb::Interface& i) { i.Delay(Pipe::Control, 5); },
     usb::kSetControlLineState, usb::kLineDtr | usb::kLineRts, {}, STATUS_SUCCESS,
     USBD_STATUS_SUCCESS, 5},
};

class ClassRequests : public UsbTest, public ::testing::WithParamInterface<ClassRow> {};

TEST_P(ClassRequests, ReachThePhoneOnTheDefaultPipe) {
    const ClassRow& row = GetParam();
    Plug();
    usb::Interface& ifc = *ports_[0].ifc;
    if (row.before)
        row.before(ifc);
    Request& r = Class(row.request, row.value, row.data);
    EXPECT_EQ(r.returned, STATUS_PENDING);
    if (row.ms) {
        sim::AdvanceClockMs(row.ms - 1);
        EXPECT_FALSE(r.done);
    }
    sim::AdvanceClockMs(row.ms ? 1 : 0);
    sim::RunUntilIdle();
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.Usbd(), row.usbd);
    auto seen = ifc.ClassRequests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].setup.bmRequestType, 0x21);
    EXPECT_EQ(seen[0].setup.bRequest, row.request);
    EXPECT_EQ(seen[0].setup.wValue, row.value);
    EXPECT_EQ(seen[0].setup.wIndex, 0);
    EXPECT_EQ(seen[0].setup.wLength, row.data.size());
    EXPECT_EQ(seen[0].data, row.data);
    EXPECT_EQ(seen[0].usbdStatus, row.usbd);
    if (NT_SUCCESS(row.status) && row.request == usb::kSetControlLineState) {
        EXPECT_EQ(ifc.ControlLines(), row.value);
    }
    if (NT_SUCCESS(row.status) && row.request == usb::kSetLineCoding) {
        EXPECT_EQ(ifc.LineCoding(), row.data);
    }

    Request& ok = Class(usb::kSetControlLineState, 1);
    sim::AdvanceClockMs(row.ms);
    sim::RunUntilIdle();
    EXPECT_EQ(ok.status, STATUS_SUCCESS);
    EXPECT_EQ(ifc.ClassRequests().size(), 2u);
    EXPECT_EQ(ifc.ControlLines(), 1);
}

INSTANTIATE_TEST_SUITE_P(Table, ClassRequests, ::testing::ValuesIn(kClassRows),
                         rig::RowName<ClassRow>);

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
    {"ErrorTwiceAfterTwo", usb::FaultKind::Error,
     {.skip = 2, .count = 2, .usbdStatus = USBD_STATUS_CRC}, "..xx.", "abe"},
    {"ErrorUntilCleared", usb::FaultKind::Error,
     {.skip = 1, .count = 0, .usbdStatus = USBD_STATUS_CRC}, ".xxxx", "a"},
    {"ShortAfterOne", usb::FaultKind::Short, {.skip = 1, .value = 0}, ".....", "acde"},
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

INSTANTIATE_TEST_SUITE_P(Table, FaultPlanByCount, ::testing::ValuesIn(kPlanCases),
                         rig::RowName<PlanCase>);

TEST_F(UsbBus, SerialStateNotificationHasTheCdcLayout) {
    Plug();
    Request& r = Read(Pipe::InterruptIn, 16);
    ports_[0].ifc->SendSerialState(usb::kStateDcd | usb::kStateDsr | usb::kStateRing);
    sim::RunUntilIdle();
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.Text(), std::string("\xA1\x20\0\0\0\0\x02\0\x0B\0", 10));
    // wIndex names the interface that sends it.
    Request& d = Read(Pipe::InterruptIn, 16, 1);
    ports_[1].ifc->SendSerialState(usb::kStateOverrun);
    sim::RunUntilIdle();
    EXPECT_EQ(d.buffer[4], 1);
    EXPECT_EQ(d.buffer[8], 0x40);
}

// IoCancelIrp reaches the bus's cancel routine, which ends the transfer at
// once; ABORT_PIPE ends every transfer on its pipe before itself, at the next
// frame tick, and leaves the other pipes alone. Data arriving later is not
// lost to the cancelled transfers.
TEST_F(UsbBus, CancelAndAbortEndTransfersAndLoseNoLaterData) {
    Plug();
    Request& cancelled = Read();
    Request& a = Read();
    Request& b = Read();
    Request& status = Read(Pipe::InterruptIn, 16);
    sim::RunUntilIdle();
    ASSERT_NE(cancelled.irp, nullptr);
    EXPECT_TRUE(IoCancelIrp(cancelled.irp));
    ASSERT_TRUE(cancelled.done);
    EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
    EXPECT_EQ(cancelled.Usbd(), USBD_STATUS_CANCELED);
    EXPECT_EQ(ports_[0].ifc->Outstanding(Pipe::BulkIn), 2u);
    phone_->ClearTimeline();
    Request& abort = PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe::BulkIn);
    EXPECT_EQ(abort.returned, STATUS_PENDING);
    EXPECT_FALSE(a.done);
    sim::RunUntilIdle();
    for (Request* r : {&a, &b}) {
        EXPECT_EQ(r->status, STATUS_CANCELLED);
        EXPECT_EQ(r->Usbd(), USBD_STATUS_CANCELED);
    }
    EXPECT_EQ(abort.status, STATUS_SUCCESS);
    EXPECT_FALSE(status.done); // other pipes untouched
    EXPECT_EQ(ports_[0].ifc->Aborts(Pipe::BulkIn), 1u);
    EXPECT_EQ(phone_->TimelineText(0),
              (Strings{"abort bulk-in", "complete bulk-in 0 cancelled",
                       "complete bulk-in 0 cancelled", "complete bulk-in 0 ok"}));
    PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe::InterruptIn);
    sim::RunUntilIdle();
    EXPECT_EQ(status.status, STATUS_CANCELLED);
    ports_[0].ifc->Push("late");
    Request& next = Read();
    sim::RunUntilIdle();
    EXPECT_EQ(next.Text(), "late");
}

// Pipe requests complete inside the call on a pipe that completes at once;
// transfers queued on it keep their order.
TEST_F(UsbBus, AtOncePipeRequestsCompleteInsideTheCall) {
    Plug();
    ports_[0].ifc->CompleteAtOnce(Pipe::BulkIn);
    Request& r = Read();
    Request& again = Read();
    ports_[0].ifc->Push("x");
    sim::RunUntilIdle();
    EXPECT_EQ(r.Text(), "x");
    EXPECT_FALSE(again.done);
    Request& reset = PipeRequest(URB_FUNCTION_RESET_PIPE, Pipe::BulkIn);
    EXPECT_TRUE(reset.completedInsideCall);
    EXPECT_EQ(reset.returned, STATUS_SUCCESS);
    PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe::BulkIn);
    sim::RunUntilIdle();
    EXPECT_EQ(again.status, STATUS_CANCELLED);
}

// The port drivers reuse one URB for every bulk-in transfer, sending the
// next from the completion of the last: not a double submit (every read of
// the driver suites does it). The same URB sent again while the first is
// still pending is one: bug check 0xFE/2.
using UsbBusDeathTest = UsbBus;
TEST_F(UsbBusDeathTest, UrbSubmittedTwiceWhilePendingStopsWithFe2) {
    EXPECT_DEATH(
        {
            Plug();
            Request& r = Read();
            sim::RunUntilIdle();
            Send(r); // same URB, new IRP, first still pending
        },
        "STOP: 0x000000FE \\(0x00000002");
}

// The diagnostics responder the Wine bus always runs: bulk-out comes back on
// bulk-in, and while it holds a full buffer for the host it NAKs.
TEST_F(UsbBus, LoopBackAnswersAndHoldsBackWhenFull) {
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

// A bus-enumerated PDO per interface whose pipe handles appear in its
// extension only at START (the transfer rows use them, and would stray if
// two pipes shared one); its ids and capabilities.
TEST_F(UsbBus, PdoAnswersCapabilitiesAndIds) {
    Plug(usb::PhoneConfig(), false);
    EXPECT_EQ(ExtensionHandle(ports_[0], 0), 0u);
    EXPECT_TRUE(ports_[0].pdo->Flags & DO_BUS_ENUMERATED_DEVICE);
    Start();
    EXPECT_NE(ports_[0].pipe[0], nullptr);
    EXPECT_EQ(ports_[0].ifc->HardwareIds()[1], u"USB\\VID_FFF0&PID_7070&MI_00");
    EXPECT_EQ(ports_[1].ifc->DeviceId(), u"USB\\VID_FFF0&PID_7070&MI_01");
    EXPECT_NE(ports_[0].ifc->InstanceId(), ports_[1].ifc->InstanceId());
    // Capabilities as the Plug and Play manager asks for them.
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = caps.UINumber = 0xFFFFFFFF;
    EXPECT_EQ(SendPnp(ports_[0], IRP_MN_QUERY_CAPABILITIES, &caps), STATUS_SUCCESS);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    EXPECT_TRUE(caps.Removable);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    for (int s = PowerSystemSleeping1; s <= PowerSystemSleeping3; ++s)
        EXPECT_TRUE(caps.DeviceState[s] == PowerDeviceD2 || caps.DeviceState[s] == PowerDeviceD3);
    EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], PowerDeviceD3);
    EXPECT_EQ(caps.DeviceState[PowerSystemShutdown], PowerDeviceD3);
    // Stop and start again keep the handles a started driver holds.
    EXPECT_EQ(SendPnp(ports_[0], IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(ports_[0], IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(ports_[0], IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(ports_[0].ifc->PipeHandle(Pipe::BulkIn),
              reinterpret_cast<ULONG_PTR>(ports_[0].pipe[0]));
    // A minor the bus has nothing to say about keeps its status.
    EXPECT_EQ(SendPnp(ports_[0], IRP_MN_QUERY_RESOURCES), STATUS_NOT_SUPPORTED);
}

// ---------------------------------------------------------------- pulling the phone

TEST_F(UsbBus, UnplugFailsOutstandingAndLaterTransfersAsNotConnected) {
    Plug();
    Request& read = Read();
    ports_[0].ifc->HoldBulkOut(true);
    Request& write = Write("lost");
    Request& status = Read(Pipe::InterruptIn, 16, 1);
    sim::RunUntilIdle();
    phone_->Unplug();
    EXPECT_FALSE(read.done); // they end at the next frame tick
    sim::RunUntilIdle();
    for (Request* r : {&read, &write, &status}) {
        ASSERT_TRUE(r->done);
        EXPECT_EQ(r->status, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(r->Usbd(), USBD_STATUS_DEVICE_GONE);
        EXPECT_EQ(r->completionIrql, DISPATCH_LEVEL);
    }
    EXPECT_EQ(ports_[0].ifc->TakeReceivedText(), "");
    Request& later = Read();
    Request& reset = PipeRequest(URB_FUNCTION_RESET_PIPE, Pipe::BulkIn);
    sim::RunUntilIdle();
    EXPECT_EQ(later.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(reset.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(phone_->Plugged());
    // The surprise removal that follows succeeds, and REMOVE deletes a gone phone's PDOs.
    EXPECT_EQ(SendPnp(ports_[0], IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    RemoveStacks();
    for (const Port& port : ports_)
        EXPECT_EQ(port.ifc->Pdo(), nullptr);
}

// A hook pulls the cable the moment a read completes (at DISPATCH_LEVEL, in
// the frame tick): the write the phone is holding ends as gone, once.
TEST_F(UsbBus, UnplugFromInsideACompletionIsSafe) {
    Plug();
    phone_->SetEventHook([this](const usb::BusEvent& e) {
        if (e.kind == usb::EventKind::Complete && e.pipe == Pipe::BulkIn)
            phone_->Unplug();
    });
    ports_[0].ifc->HoldBulkOut(true);
    Request& write = Write("held");
    Request& read = Read();
    ports_[0].ifc->Push("bye");
    sim::RunUntilIdle();
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(write.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(phone_->TimelineText(0),
              (Strings{"submit bulk-out 4", "submit bulk-in 4096", "complete bulk-in 3 ok",
                       "unplug", "complete bulk-out 0 gone"}));
}

// Surprise removal of a present phone fails what is pending; START brings
// it back. At REMOVE its PDOs are kept, their pipe handles dying with the
// removal.
TEST_F(UsbBus, SurpriseRemovalFailsTransfersAndRemoveKeepsAPresentPdo) {
    Plug();
    Request& read = Read();
    sim::RunUntilIdle();
    EXPECT_EQ(SendPnp(ports_[0], IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(read.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(SendPnp(ports_[0], IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ports_[0].ifc->Push("back");
    Request& again = Read();
    sim::RunUntilIdle();
    EXPECT_EQ(again.Text(), "back");
    RemoveStacks();
    for (const Port& port : ports_) {
        EXPECT_NE(port.ifc->Pdo(), nullptr);
        EXPECT_EQ(port.ifc->PipeHandle(Pipe::BulkIn), 0u);
    }
}

} // namespace
} // namespace usbtest
