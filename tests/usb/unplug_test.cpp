// Pulling the phone: in the middle of transfers, and the removal that follows.
#include "usb_test.h"

namespace usbtest {
namespace {

using usb::Pipe;
using Strings = std::vector<std::string>;

class UsbUnplug : public UsbTest {};

TEST_F(UsbUnplug, OutstandingAndLaterTransfersFailAsNotConnected) {
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
}

TEST_F(UsbUnplug, UnplugFromInsideACompletionIsSafe) {
    // A hook pulls the cable the moment a read completes (at DISPATCH_LEVEL,
    // in the frame tick): the write the phone is holding ends as gone, once.
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

TEST_F(UsbUnplug, SurpriseRemovalFailsTransfersAndRemoveDeletesTheGonePdo) {
    Plug();
    Request& read = Read();
    sim::RunUntilIdle();
    phone_->Unplug();
    EXPECT_EQ(SendPnp(ports_[0], IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(read.status, STATUS_DEVICE_NOT_CONNECTED);
    RemoveStacks(); // REMOVE, then the function device detaches
    EXPECT_EQ(ports_[0].ifc->Pdo(), nullptr);
    EXPECT_EQ(ports_[1].ifc->Pdo(), nullptr);
}

TEST_F(UsbUnplug, RemoveOfAPresentDeviceKeepsThePdo) {
    Plug();
    RemoveStacks();
    EXPECT_NE(ports_[0].ifc->Pdo(), nullptr);
    EXPECT_EQ(ports_[0].ifc->PipeHandle(Pipe::BulkIn), 0u); // handles die with the removal
}

TEST_F(UsbUnplug, SurpriseRemovalWithoutUnplugFailsUntilStartedAgain) {
    Plug();
    Request& read = Read();
    EXPECT_EQ(SendPnp(ports_[0], IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(read.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(SendPnp(ports_[0], IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ports_[0].ifc->Push("back");
    Request& again = Read();
    sim::RunUntilIdle();
    EXPECT_EQ(again.Text(), "back");
}

} // namespace
} // namespace usbtest
