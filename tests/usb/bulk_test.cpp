// Bulk and interrupt transfers: when they complete, with what, and how.
#include "usb_test.h"

#include <cstring>

namespace usbtest {
namespace {

using usb::Pipe;
using Strings = std::vector<std::string>;

class UsbBulkTransfers : public UsbTest {};

TEST_F(UsbBulkTransfers, StartPutsThreeDistinctHandlesAtOffsets12To20) {
    Plug();
    for (Port& port : ports_) {
        for (int p = 0; p < 3; ++p) {
            EXPECT_NE(port.pipe[p], nullptr);
            EXPECT_EQ(reinterpret_cast<ULONG_PTR>(port.pipe[p]),
                      port.ifc->PipeHandle(static_cast<Pipe>(p)));
        }
        EXPECT_NE(port.pipe[0], port.pipe[1]);
        EXPECT_NE(port.pipe[1], port.pipe[2]);
    }
    // Each interface has its own pipes.
    EXPECT_NE(ports_[0].pipe[0], ports_[1].pipe[0]);
    EXPECT_TRUE(ports_[0].pdo->Flags & DO_BUS_ENUMERATED_DEVICE);
}

TEST_F(UsbBulkTransfers, HandlesAreZeroBeforeStartAndRefusedThere) {
    Plug(usb::PhoneConfig(), false);
    auto* bytes = static_cast<const uint8_t*>(ports_[0].pdo->DeviceExtension);
    ULONG bulkIn = 1;
    std::memcpy(&bulkIn, bytes + usb::kBulkInHandleOffset, 4);
    EXPECT_EQ(bulkIn, 0u);
    Request& r = Read(); // handle 0: a driver that did not wait for START
    sim::RunUntilIdle();
    EXPECT_EQ(r.returned, STATUS_PENDING); // refusals, too, come from the tick
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.Usbd(), USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(UsbBulkTransfers, ReadStaysPendingUntilThePhoneHasData) {
    Plug();
    Request& r = Read();
    EXPECT_EQ(r.returned, STATUS_PENDING);
    sim::RunUntilIdle();
    sim::AdvanceClockMs(1000);
    EXPECT_FALSE(r.done);
    EXPECT_EQ(ports_[0].ifc->Outstanding(Pipe::BulkIn), 1u);

    ports_[0].ifc->Push("OK\r\n");
    EXPECT_FALSE(r.done); // nothing completes inside the phone's call
    sim::RunUntilIdle();
    ASSERT_TRUE(r.done);
    EXPECT_FALSE(r.completedInsideCall);
    EXPECT_EQ(r.completionIrql, DISPATCH_LEVEL);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.Usbd(), USBD_STATUS_SUCCESS);
    EXPECT_EQ(r.Length(), 4u);
    EXPECT_EQ(r.Text(), "OK\r\n");
    EXPECT_EQ(phone_->TimelineText(0), (Strings{"submit bulk-in 4096", "complete bulk-in 4 ok"}));
}

TEST_F(UsbBulkTransfers, ShortPacketsEndTransfersAndFullOnesDoNot) {
    Plug();
    // 8-byte packets are short on a 64-byte endpoint: one transfer each.
    ports_[0].ifc->Push("abcdefghij", 10, Pipe::BulkIn, 8);
    Request& a = Read();
    Request& b = Read();
    sim::RunUntilIdle();
    EXPECT_EQ(a.Text(), "abcdefgh");
    EXPECT_EQ(b.Text(), "ij");

    // 128 bytes in full packets, no terminator: a 4096-byte read keeps
    // waiting for the end of the burst, which a zero-length packet gives.
    std::string burst(128, 'x');
    ports_[0].ifc->Push(burst.data(), burst.size(), Pipe::BulkIn, 0, false);
    Request& c = Read();
    sim::RunUntilIdle();
    EXPECT_FALSE(c.done);
    ports_[0].ifc->PushPacket({});
    sim::RunUntilIdle();
    ASSERT_TRUE(c.done);
    EXPECT_EQ(c.Length(), 128u);
}

TEST_F(UsbBulkTransfers, ATransferTakesNoMoreThanItsBufferAndTheRestWaits) {
    Plug();
    ports_[0].ifc->Push("0123456789");
    Request& a = Read(Pipe::BulkIn, 4);
    sim::RunUntilIdle();
    EXPECT_EQ(a.Text(), "0123");
    EXPECT_EQ(ports_[0].ifc->QueuedBytes(), 6u);
    Request& b = Read();
    sim::RunUntilIdle();
    EXPECT_EQ(b.Text(), "456789");
    EXPECT_EQ(ports_[0].ifc->QueuedBytes(), 0u);
}

TEST_F(UsbBulkTransfers, WithoutShortTransferOkAShortPacketIsAnError) {
    Plug();
    requests_.push_back(std::make_unique<Request>());
    Request& r = *requests_.back();
    BuildTransfer(r, ports_[0], Pipe::BulkIn, 64, false);
    Send(r, ports_[0]);
    ports_[0].ifc->Push("hi");
    sim::RunUntilIdle();
    EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.Usbd(), USBD_STATUS_ERROR_SHORT_TRANSFER);
    EXPECT_EQ(r.Length(), 2u);
}

TEST_F(UsbBulkTransfers, WritesReachThePhoneAndHoldKeepsThemPending) {
    Plug();
    Request& w = Write("ATZ\r");
    sim::RunUntilIdle();
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.Length(), 4u);
    EXPECT_EQ(ports_[0].ifc->TakeReceivedText(), "ATZ\r");
    EXPECT_EQ(ports_[0].ifc->TakeReceivedText(), ""); // read and cleared

    ports_[0].ifc->HoldBulkOut(true);
    Request& held = Write("ATI\r");
    sim::AdvanceClockMs(500);
    EXPECT_FALSE(held.done);
    EXPECT_EQ(ports_[0].ifc->TakeReceivedText(), "");
    ports_[0].ifc->HoldBulkOut(false);
    sim::RunUntilIdle();
    EXPECT_TRUE(held.done);
    EXPECT_EQ(ports_[0].ifc->TakeReceivedText(), "ATI\r");
}

TEST_F(UsbBulkTransfers, InterfacesAreIndependent) {
    Plug();
    Request& modem = Read(Pipe::BulkIn, 4096, 0);
    Request& diag = Read(Pipe::BulkIn, 4096, 1);
    ports_[1].ifc->Push("\x7e\x01", 2);
    sim::RunUntilIdle();
    EXPECT_FALSE(modem.done);
    ASSERT_TRUE(diag.done);
    EXPECT_EQ(diag.Length(), 2u);
    Request& w = Write("to-diag", 1);
    sim::RunUntilIdle();
    EXPECT_TRUE(w.done);
    EXPECT_EQ(ports_[0].ifc->TakeReceivedText(), "");
    EXPECT_EQ(ports_[1].ifc->TakeReceivedText(), "to-diag");
    PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe::BulkIn, 0);
    sim::RunUntilIdle();
}

TEST_F(UsbBulkTransfers, SerialStateNotificationHasTheCdcLayout) {
    Plug();
    Request& r = Read(Pipe::InterruptIn, 16);
    ports_[0].ifc->SendSerialState(usb::kStateDcd | usb::kStateDsr | usb::kStateRing);
    sim::RunUntilIdle();
    ASSERT_TRUE(r.done);
    ASSERT_EQ(r.Length(), 10u);
    const std::vector<uint8_t> expected = {0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x0B, 0};
    EXPECT_EQ(std::vector<uint8_t>(r.buffer.begin(), r.buffer.begin() + 10), expected);
    // wIndex names the interface that sends it.
    Request& d = Read(Pipe::InterruptIn, 16, 1);
    ports_[1].ifc->SendSerialState(usb::kStateOverrun);
    sim::RunUntilIdle();
    EXPECT_EQ(d.buffer[4], 1);
    EXPECT_EQ(d.buffer[8], 0x40);
}

TEST_F(UsbBulkTransfers, AbortCompletesEveryTransferOnThePipeBeforeItself) {
    Plug();
    Request& a = Read();
    Request& b = Read();
    Request& status = Read(Pipe::InterruptIn, 16);
    sim::RunUntilIdle();
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
}

TEST_F(UsbBulkTransfers, IoCancelIrpReachesTheBusCancelRoutine) {
    Plug();
    Request& r = Read();
    sim::RunUntilIdle();
    ASSERT_NE(r.irp, nullptr);
    EXPECT_TRUE(IoCancelIrp(r.irp));
    ASSERT_TRUE(r.done); // a cancel routine completes at once
    EXPECT_EQ(r.status, STATUS_CANCELLED);
    EXPECT_EQ(r.Usbd(), USBD_STATUS_CANCELED);
    EXPECT_EQ(ports_[0].ifc->Outstanding(Pipe::BulkIn), 0u);
    // Data that arrives later is not lost to the cancelled transfer.
    ports_[0].ifc->Push("late");
    Request& next = Read();
    sim::RunUntilIdle();
    EXPECT_EQ(next.Text(), "late");
}

TEST_F(UsbBulkTransfers, CompletionRoutineMayResubmitTheSameUrb) {
    // The port drivers reuse one URB for every bulk-in transfer, sending the
    // next from the completion of the last; that is not a double submit.
    Plug();
    Request& r = Read();
    ports_[0].ifc->Push("one");
    sim::RunUntilIdle();
    ASSERT_TRUE(r.done);
    r.done = false;
    r.urb.UrbBulkOrInterruptTransfer.TransferBufferLength = 4096;
    Send(r, ports_[0]);
    ports_[0].ifc->Push("two");
    sim::RunUntilIdle();
    EXPECT_TRUE(r.done);
    EXPECT_EQ(r.Text(), "two");
}

using UsbBulkTransfersDeathTest = UsbBulkTransfers;

TEST_F(UsbBulkTransfersDeathTest, UrbSubmittedTwiceWhilePendingStopsWithFe2) {
    EXPECT_DEATH(
        {
            Plug();
            Request& r = Read();
            sim::RunUntilIdle();
            Send(r, ports_[0]); // same URB, new IRP, first still pending
        },
        "STOP: 0x000000FE \\(0x00000002");
}

} // namespace
} // namespace usbtest
